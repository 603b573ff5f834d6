#include "host_commands.h"

#include <charconv>
#include <cstdio>

#include "host_ops.h"
#include "support/text.h"

namespace vornak2::host {

namespace {

// An engine configured from the command line; null, after saying why, when that fails, with the
// exit code left in `exit`.
std::unique_ptr<Engine> OpenEngine(const Library& library, const EngineSetup& setup, int& exit) {
  auto engine = std::make_unique<Engine>(library.api());
  if (!*engine) {
    std::fprintf(stderr, "vornak2-host: GetCryptObj returned no engine\n");
    exit = kExitFailed;
    return nullptr;
  }
  if (const std::string refused = Configure(*engine, setup); !refused.empty()) {
    exit = UsageError(refused);
    return nullptr;
  }
  return engine;
}

// Prints an export's result with its message; true for success.
bool Report(const Engine& engine, const char* call, std::int32_t code) {
  std::printf("%s -> %s\n", call, engine.Describe(code).c_str());
  if (code != 0) std::printf("nothing written\n");
  return code == 0;
}

std::optional<Bytes> ReadInput(const std::string& path, std::size_t room = 0) {
  auto bytes = Bytes::ReadFile(path, room);
  if (!bytes)
    std::fprintf(stderr, "vornak2-host: cannot read %s (missing, unreadable or over 2 GiB)\n",
                 path.c_str());
  return bytes;
}

bool WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes, bool secret,
                 const char* what) {
  if (!WriteFile(path, bytes, secret)) {
    std::fprintf(stderr, "vornak2-host: cannot write %s\n", path.c_str());
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

// One parameter as "N  name = value  [kind hint]"; choices in the hint are CR LF separated.
void PrintParam(const Engine& engine, std::int32_t number) {
  std::string line = "  " + std::to_string(number) + "  " + Cp1251ToUtf8(engine.ParamName(number)) +
                     " = " + Cp1251ToUtf8(engine.ParamValue(number));
  if (const auto info = engine.ParamInfo(number)) {
    std::string hint = Cp1251ToUtf8(info->second);
    for (std::size_t at; (at = hint.find("\r\n")) != std::string::npos;) hint.replace(at, 2, ", ");
    line += std::string("  [") + KindName(info->first) + (hint.empty() ? "" : " " + hint) + "]";
  }
  std::printf("%s\n", line.c_str());
}

// A parameter number given on the command line; false, after saying why, when the engine has no
// such parameter.
bool ParamNumber(const Engine& engine, const std::string& text, std::int32_t& number) {
  const std::int32_t count = engine.api().GetCryptoParamNumber(engine.handle());
  if (ParseInt32(text, number) && number >= 1 && number <= count) return true;
  UsageError("no parameter '" + text + "': the engine has 1 to " + std::to_string(count));
  return false;
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

bool ParseInt32(const std::string& text, std::int32_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && ptr == end;
}

int SignCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  const auto data = ReadInput(call.Option("--in"));
  if (!data) return kExitFailed;
  const std::string signer = call.Option("--signer");
  std::printf("sign %s (%zu bytes) as %s\n", call.Option("--in").c_str(), data->size(),
              SignerText(signer).c_str());
  std::vector<std::uint8_t> signature;
  if (!Report(*engine, "SignData", Sign(*engine, *data, signer, signature))) return kExitFailed;
  return WriteOutput(call.Option("--out"), signature, false, "signature") ? kExitSuccess
                                                                          : kExitFailed;
}

int VerifyCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  const auto data = ReadInput(call.Option("--in"));
  const auto signature = ReadInput(call.Option("--sig"));
  if (!data || !signature) return kExitFailed;
  const bool validity = !call.Flag("--no-validity");
  std::printf("verify %s (%zu bytes) against %s (%zu bytes)%s\n", call.Option("--in").c_str(),
              data->size(), call.Option("--sig").c_str(), signature->size(),
              validity ? "" : ", without the validity check");
  std::string signer;
  const std::int32_t code = Verify(*engine, *data, signature->view(), validity, signer);
  std::printf("%s -> %s\n", validity ? "VerifyData" : "VerifySignWOCheckValidity",
              engine->Describe(code).c_str());
  if (code != 0) return kExitFailed;
  std::printf("signer: %s\n", signer.c_str());
  return kExitSuccess;
}

int AddSignCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  auto data = ReadInput(call.Option("--in"));
  if (!data) return kExitFailed;
  const std::string signer = call.Option("--signer");
  std::printf("append a signature to %s (%zu bytes) as %s\n", call.Option("--in").c_str(),
              data->size(), SignerText(signer).c_str());
  if (!Report(*engine, "AddSign", AddSign(*engine, *data, signer))) return kExitFailed;
  return WriteOutput(call.Option("--out"), data->view(), false, "signed data") ? kExitSuccess
                                                                               : kExitFailed;
}

int RemoveSignCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  auto data = ReadInput(call.Option("--in"));
  if (!data) return kExitFailed;
  std::printf("verify and remove the appended signature of %s (%zu bytes)\n",
              call.Option("--in").c_str(), data->size());
  std::string signer;
  if (!Report(*engine, "RemoveSign", RemoveSign(*engine, *data, signer))) return kExitFailed;
  std::printf("signer: %s\n", signer.c_str());
  return WriteOutput(call.Option("--out"), data->view(), false, "data") ? kExitSuccess
                                                                        : kExitFailed;
}

int EncryptCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  const std::string to = call.Option("--to");
  // Read with the room the encryption needs, so that it works in the one copy of the data.
  auto data = ReadInput(call.Option("--in"), EncryptionRoom(*engine, to));
  if (!data) return kExitFailed;
  const std::string shown =
      to.empty() ? engine->ParamValue(kParamEncryptFor) + " (parameter 8)" : to;
  std::printf("encrypt %s (%zu bytes) for %s\n", call.Option("--in").c_str(), data->size(),
              shown.c_str());
  if (!Report(*engine, "EncodeData", Encrypt(*engine, *data, to))) return kExitFailed;
  return WriteOutput(call.Option("--out"), data->view(), false, "encrypted data") ? kExitSuccess
                                                                                  : kExitFailed;
}

int DecryptCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  auto data = ReadInput(call.Option("--in"));
  if (!data) return kExitFailed;
  std::printf("decrypt %s (%zu bytes) as the current user\n", call.Option("--in").c_str(),
              data->size());
  if (!Report(*engine, "DecodeData", Decrypt(*engine, *data))) return kExitFailed;
  return WriteOutput(call.Option("--out"), data->view(), true, "plaintext") ? kExitSuccess
                                                                            : kExitFailed;
}

int UidCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  std::string uid;
  const std::int32_t code = engine->CurrentUserUid(uid);
  std::printf("GetCurrentUserUID -> %s\n", engine->Describe(code).c_str());
  if (code != 0) return kExitFailed;
  std::printf("current user: %s (certificate %s)\n", uid.c_str(),
              engine->ParamValue(kParamUserCertificate).c_str());
  return kExitSuccess;
}

int ParamsCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  const std::int32_t count = engine->api().GetCryptoParamNumber(engine->handle());
  std::printf("parameters: %d\n", count);
  for (std::int32_t i = 1; i <= count; ++i) PrintParam(*engine, i);
  return kExitSuccess;
}

int GetParamCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  std::int32_t number = 0;
  if (!ParamNumber(*engine, call.args[0], number)) return kExitUsage;
  PrintParam(*engine, number);
  return kExitSuccess;
}

int SetParamCommand(const Library& library, const Invocation& call) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  const std::string& assignment = call.args[0];
  const auto equals = assignment.find('=');
  if (equals == std::string::npos) return UsageError("set-param takes N=VALUE");
  std::int32_t number = 0;
  if (!ParamNumber(*engine, assignment.substr(0, equals), number)) return kExitUsage;
  const std::string value = assignment.substr(equals + 1);
  const std::int32_t code =
      engine->api().SetCryptoParamValue(engine->handle(), number, value.c_str());
  std::printf("SetCryptoParamValue -> %d\n", code);
  if (code != 0) return kExitFailed;
  PrintParam(*engine, number);
  std::printf("(the engine keeps the value only while it lives: for this invocation)\n");
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
  return kExitSuccess;
}

}  // namespace vornak2::host
