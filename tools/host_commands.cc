#include "host_commands.h"

#include <charconv>
#include <cstdio>

#include "host_explain.h"
#include "host_ops.h"
#include "support/text.h"

namespace vornak2::host {

Session::Session(const Library& library, const Invocation& call)
    : library_(library), call_(call), engine_(library.api()) {
  if (!engine_) {
    std::fprintf(stderr, "vornak2-host: GetCryptObj returned no engine\n");
    exit_ = kExitFailed;
    return;
  }
  exit_ = Configure(library, engine_, call.setup, &origins_);
}

bool Session::Report(const char* call, std::int32_t code, std::FILE* out) const {
  if (code == 0) {
    std::fprintf(out, "%s -> 0\n", call);
    return true;
  }
  Explain(call, code);
  std::fprintf(stderr, "nothing written\n");
  return false;
}

void Session::Explain(const char* call, std::int32_t code) const {
  ExplainFailure(library_, engine_, call_.setup.root, call, code);
}

namespace {

// Reads an input file of at most `limit` bytes into a store with `room` bytes to spare behind the
// data, so that an operation that grows the data works in the one copy; nullopt, after saying why,
// when it cannot be read.
std::optional<Bytes> ReadInput(const std::string& path, std::size_t limit = kMaxCallLength,
                               std::size_t room = 0) {
  if (const auto problem = InputProblem(path, limit)) {
    std::fprintf(stderr, "vornak2-host: %s\n", problem->c_str());
    return std::nullopt;
  }
  auto bytes = Bytes::ReadFile(path, room);
  if (!bytes) std::fprintf(stderr, "vornak2-host: cannot read %s\n", path.c_str());
  return bytes;
}

bool WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes, bool secret,
                 const char* what) {
  if (!WriteFile(path, bytes, secret)) {
    std::fprintf(stderr, "vornak2-host: %s\n", OutputProblem(path).c_str());
    return false;
  }
  std::printf("%s: %zu bytes written to %s%s\n", what, bytes.size(), path.c_str(),
              secret ? " (readable by its owner only)" : "");
  return true;
}

std::string SignerText(const std::string& signer) {
  return signer.empty() ? std::string("the current user") : signer;
}

// What GetParamInfo's kinds mean.
const char* KindName(std::int32_t kind) {
  switch (kind) {
    case 1:
      return "integer";
    case 2:
      return "text, length";
    case 3:
      return "yes/no";
    case 4:
      return "UID, length";
    case 7:
      return "one of";
    case 10:
      return "file";
    case 11:
      return "directory";
    default:
      return "kind";
  }
}

// One parameter as "N  name = value  [kind hint]  (origin)"; choices in the hint are CR LF
// separated.
void PrintParam(const Session& session, std::int32_t number) {
  const Engine& engine = session.engine();
  std::string line = "  " + std::to_string(number) + "  " + TerminalText(engine.ParamName(number)) +
                     " = " + TerminalText(engine.ParamValue(number));
  if (const auto info = engine.ParamInfo(number)) {
    std::string hint = TerminalText(info->second);
    for (std::size_t at; (at = hint.find("\r\n")) != std::string::npos;) hint.replace(at, 2, ", ");
    line += std::string("  [") + KindName(info->first) + (hint.empty() ? "" : " " + hint) + "]";
  }
  const auto origin = session.origins().find(number);
  line +=
      "  (" + (origin == session.origins().end() ? std::string("default") : origin->second) + ")";
  std::printf("%s\n", line.c_str());
}

// A parameter named on the command line by number or name; 0, after saying why, when the engine
// has no such parameter.
std::int32_t ParamNumber(const Engine& engine, const std::string& key) {
  if (const std::int32_t number = ParamByKey(engine, key)) return number;
  UsageError("no parameter '" + key + "': the engine has 1 to " +
             std::to_string(engine.api().GetCryptoParamNumber(engine.handle())) +
             " (vornak2-host params lists them)");
  return 0;
}

// The configuration file that set-param and unset-param change; empty, after saying why, without
// a root.
std::string ConfigToChange(const Invocation& call, const char* command) {
  const std::string path = call.setup.ConfigPath();
  if (path.empty())
    UsageError(std::string(command) + " keeps values in ROOT/" + kConfigFileName +
               " or ROOT/NAME/" + kConfigFileName + ": give --root ROOT (and --user NAME)");
  return path;
}

}  // namespace

std::string Invocation::Option(const std::string& name) const {
  const auto it = options.find(name);
  return it == options.end() ? std::string() : it->second;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vornak2-host: %s (see vornak2-host --help)\n", message.c_str());
  return kExitUsage;
}

int SignCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const auto data = ReadInput(call.Option("--in"));
  if (!data) return kExitFailed;
  const std::string signer = call.Option("--signer");
  std::printf("sign %s (%zu bytes) as %s\n", call.Option("--in").c_str(), data->size(),
              SignerText(signer).c_str());
  std::vector<std::uint8_t> signature;
  if (!session.Report("SignData", Sign(session.engine(), *data, signer, signature)))
    return kExitFailed;
  return WriteOutput(call.Option("--out"), signature, false, "signature") ? kExitSuccess
                                                                          : kExitFailed;
}

int VerifyCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const auto data = ReadInput(call.Option("--in"));
  const auto signature = data ? ReadInput(call.Option("--sig")) : std::nullopt;
  if (!data || !signature) return kExitFailed;
  const bool validity = !call.Flag("--no-validity");
  std::printf("verify %s (%zu bytes) against %s (%zu bytes)%s\n", call.Option("--in").c_str(),
              data->size(), call.Option("--sig").c_str(), signature->size(),
              validity ? "" : ", without the validity check");
  std::string signer;
  const std::int32_t code = Verify(session.engine(), *data, signature->view(), validity, signer);
  const char* name = validity ? "VerifyData" : "VerifySignWOCheckValidity";
  if (code != 0) {
    session.Explain(name, code);
    return kExitFailed;
  }
  std::printf("%s -> 0\nsigner: %s\n", name, signer.c_str());
  return kExitSuccess;
}

int AddSignCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  auto data = ReadInput(call.Option("--in"), kMaxCallLength - SignGrowth(session.engine()));
  if (!data) return kExitFailed;
  const std::string signer = call.Option("--signer");
  std::printf("append a signature to %s (%zu bytes) as %s\n", call.Option("--in").c_str(),
              data->size(), SignerText(signer).c_str());
  if (!session.Report("AddSign", AddSign(session.engine(), *data, signer))) return kExitFailed;
  return WriteOutput(call.Option("--out"), data->view(), false, "signed data") ? kExitSuccess
                                                                               : kExitFailed;
}

int RemoveSignCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  auto data = ReadInput(call.Option("--in"));
  if (!data) return kExitFailed;
  std::printf("verify and remove the appended signature of %s (%zu bytes)\n",
              call.Option("--in").c_str(), data->size());
  std::string signer;
  if (!session.Report("RemoveSign", RemoveSign(session.engine(), *data, signer)))
    return kExitFailed;
  std::printf("signer: %s\n", signer.c_str());
  return WriteOutput(call.Option("--out"), data->view(), false, "data") ? kExitSuccess
                                                                        : kExitFailed;
}

int EncryptCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  const std::string to = call.Option("--to");
  // Read with the room the encryption needs, so that it works in the one copy of the data.
  const std::size_t growth = EncryptGrowth(engine, to);
  auto data = ReadInput(call.Option("--in"), kMaxCallLength - growth, growth);
  if (!data) return kExitFailed;
  const std::string shown =
      to.empty() ? engine.ParamValue(kParamEncryptFor) + " (parameter 8)" : to;
  std::printf("encrypt %s (%zu bytes) for %s\n", call.Option("--in").c_str(), data->size(),
              shown.c_str());
  if (!session.Report("EncodeData", Encrypt(engine, *data, to))) return kExitFailed;
  return WriteOutput(call.Option("--out"), data->view(), false, "encrypted data") ? kExitSuccess
                                                                                  : kExitFailed;
}

int DecryptCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  auto data = ReadInput(call.Option("--in"));
  if (!data) return kExitFailed;
  std::printf("decrypt %s (%zu bytes) as the current user\n", call.Option("--in").c_str(),
              data->size());
  if (!session.Report("DecodeData", Decrypt(session.engine(), *data))) return kExitFailed;
  return WriteOutput(call.Option("--out"), data->view(), true, "plaintext") ? kExitSuccess
                                                                            : kExitFailed;
}

int UidCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  std::string uid;
  const std::int32_t code = engine.CurrentUserUid(uid);
  if (code != 0) {
    session.Explain("GetCurrentUserUID", code);
    return kExitFailed;
  }
  std::printf("current user: %s\n", uid.c_str());
  const auto& root = call.setup.root;
  for (const auto& [number, what] :
       {std::pair{kParamUserCertificate, "certificate"}, std::pair{kParamSecretPath, "secret keys"},
        std::pair{kParamPublicPath, "certificate store"},
        std::pair{kParamRandomFile, "random-state file"}}) {
    std::printf("  %-18s %s\n", what, ExpandRoot(root, engine.ParamValue(number)).c_str());
  }
  return kExitSuccess;
}

int ParamsCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  const std::int32_t count = engine.api().GetCryptoParamNumber(engine.handle());
  std::printf("parameters: %d\n", count);
  for (std::int32_t i = 1; i <= count; ++i) PrintParam(session, i);
  return kExitSuccess;
}

int GetParamCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const std::int32_t number = ParamNumber(session.engine(), call.args[0]);
  if (number == 0) return kExitUsage;
  PrintParam(session, number);
  return kExitSuccess;
}

int SetParamCommand(const Library& library, const Invocation& call) {
  const std::string& assignment = call.args[0];
  const auto equals = assignment.find('=');
  if (equals == std::string::npos) return UsageError("set-param takes N=VALUE or NAME=VALUE");
  const std::string path = ConfigToChange(call, "set-param");
  if (path.empty()) return kExitUsage;
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  const std::int32_t number = ParamNumber(engine, assignment.substr(0, equals));
  if (number == 0) return kExitUsage;
  const std::string value = assignment.substr(equals + 1);
  if (const std::int32_t code =
          engine.api().SetCryptoParamValue(engine.handle(), number, value.c_str())) {
    session.Explain("SetCryptoParamValue", code);
    return kExitFailed;
  }
  std::string error;
  auto file = ConfigFile::Load(path, error);
  if (file) file->Set(number, engine.ParamName(number), value);
  if (!file || !file->Save(error)) {
    std::fprintf(stderr, "vornak2-host: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("%s = %s, kept in %s\n", TerminalText(engine.ParamName(number)).c_str(),
              TerminalText(engine.ParamValue(number)).c_str(), path.c_str());
  return kExitSuccess;
}

int UnsetParamCommand(const Library& library, const Invocation& call) {
  const std::string path = ConfigToChange(call, "unset-param");
  if (path.empty()) return kExitUsage;
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  const std::int32_t number = ParamNumber(engine, call.args[0]);
  if (number == 0) return kExitUsage;
  std::string error;
  auto file = ConfigFile::Load(path, error);
  if (!file) {
    std::fprintf(stderr, "vornak2-host: %s\n", error.c_str());
    return kExitFailed;
  }
  const std::string name = engine.ParamName(number);
  if (!file->Remove(number, name)) {
    std::printf("%s is not kept in %s\n", TerminalText(name).c_str(), path.c_str());
    return kExitSuccess;
  }
  if (!file->Save(error)) {
    std::fprintf(stderr, "vornak2-host: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("%s removed from %s\n", TerminalText(name).c_str(), path.c_str());
  return kExitSuccess;
}

int MessageCommand(const Library& library, const Invocation& call) {
  std::int32_t code = 0;
  if (!ParseInt32(call.args[0], code)) return UsageError("not a result code: " + call.args[0]);
  Engine engine(library.api());
  if (!engine) {
    std::fprintf(stderr, "vornak2-host: GetCryptObj returned no engine\n");
    return kExitFailed;
  }
  const std::string message = engine.Message(code);
  std::printf("%d: %s\n", code, message.empty() ? "(success, no message)" : message.c_str());
  if (code != 0) std::printf("  %s\n", Hint(code).c_str());
  return kExitSuccess;
}

}  // namespace vornak2::host
