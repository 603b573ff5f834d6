#include "host_commands.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "host_explain.h"
#include "host_io.h"
#include "host_ops.h"
#include "host_store_ops.h"
#include "platform/platform.h"
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

bool Session::Report(const char* call, std::int32_t code, std::FILE* out,
                     const DiskChanges* changes) const {
  if (changes != nullptr) {
    // What the call wrote and removed, for the --json line as well.
    std::vector<std::string> written, removed;
    for (const DiskChanges::Change& change : changes->Compare())
      (change.removed ? removed : written).push_back(change.path);
    Result().AddList("written", written).AddList("removed", removed);
  }
  if (code == 0) {
    std::fprintf(out, "%s -> 0\n", call);
    if (changes != nullptr) changes->Print(out);
    return true;
  }
  Explain(call, code);
  // A failed operation may still have written a file (one that a transfer carries stays in the
  // template directory when it is no certificate): say what is there, not what should be.
  if (changes != nullptr)
    changes->Print(stderr);
  else
    std::fprintf(stderr, "nothing written\n");
  return false;
}

DiskChanges Session::WatchKeySet(std::vector<DiskChanges::Place> extra) const {
  const auto& root = call_.setup.root;
  const auto dir = [&](std::int32_t number) {
    return ExpandRoot(root, engine_.ParamValue(number));
  };
  const auto directoryOf = [&](std::int32_t number) {
    return std::filesystem::path(dir(number)).parent_path().string();
  };
  const std::string& templateDir = engine_.ParamValue(kParamTemplateDir);
  // The store keeps a certificate a level per character of its UID's tail, below its prefix.
  constexpr int kStoreDepth = 2 + 256;
  std::vector<DiskChanges::Place> places = {
      {dir(kParamSecretPath), 1},
      {dir(kParamPublicPath), kStoreDepth},
      {directoryOf(kParamUserCertificate), 0},
      {directoryOf(kParamRandomFile), 0},
      {ExpandRoot(root, templateDir.empty() ? std::string("%QVXRoot%") : templateDir), 0},
      {dir(kParamKeyGenDir), 0},
  };
  if (!call_.Option("--dir").empty())
    places.push_back({ExpandRoot(root, call_.Option("--dir")), 0});
  places.insert(places.end(), extra.begin(), extra.end());
  return DiskChanges(std::move(places));
}

void Session::Explain(const char* call, std::int32_t code) const {
  Result::Code(code);
  Result().Add("call", call).Add("message", Cp1251ToUtf8(engine_.RawMessage(code)));
  ExplainFailure(library_, engine_, call_.setup.root, call, code);
  const std::string name = call;
  if (code == 112) {
    // Whose certificate is missing, and from which store.
    std::string missing;
    if (name == "EncodeData") {
      std::string list = call_.Option("--to");
      if (list.empty()) list = engine_.ParamValue(kParamEncryptFor);
      for (std::size_t start = 0; start <= list.size();) {
        const std::size_t end = std::min(list.find(';', start), list.size());
        const std::string uid = list.substr(start, end - start);
        std::string report;
        if (StoredReport(engine_, uid, report) == 112)
          missing += (missing.empty() ? "" : ", ") + uid;
        start = end + 1;
      }
      if (missing.empty()) missing = list;
    } else if (name == "SignData" || name == "AddSign") {
      missing = engine_.ParamValue(kParamUserId) + " (the current user)";
    } else if (name.rfind("Verify", 0) == 0 || name == "RemoveSign") {
      missing = "the signer named in the signature";
    } else if (!call_.args.empty() && call_.args[0].find_first_of("/\\") == std::string::npos) {
      missing = call_.args[0];
    }
    if (!missing.empty())
      std::fprintf(stderr, "  not in the certificate store %s: %s\n",
                   ExpandRoot(call_.setup.root, engine_.ParamValue(kParamPublicPath)).c_str(),
                   missing.c_str());
  } else if (code == 116 && name == "IncludePublicKeyTransfer") {
    std::fprintf(stderr,
                 "  the file the transfer carries is no certificate: it is not installed\n");
  } else if (code == 113) {
    const std::string dir = call_.Option("--dir");
    if (dir.empty())
      std::fprintf(stderr, "  no renewal directory was given: name it with --dir DIR\n");
    else
      std::fprintf(stderr, "  the renewal directory %s: %s\n", dir.c_str(),
                   platform::IsDirectory(dir) ? "the engine refused it"
                                              : "does not exist or is not a directory");
  }
}

namespace {

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
  ResultText("%s\n", line.c_str());
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
    UsageError(std::string(command) + " keeps values in ROOT" + kSep + kConfigDirName + kSep +
               kRootConfigName + " or ROOT" + kSep + kConfigDirName + kSep + kUserConfigDirName +
               kSep + "NAME.conf: give --root ROOT (and --user NAME)");
  return path;
}

}  // namespace

std::string Invocation::Option(const std::string& name) const {
  const auto it = options.find(name);
  return it == options.end() ? std::string() : it->second;
}

namespace {

// The result of the run.
struct RunResult {
  JsonObject fields;
  std::int32_t code = 0;
  std::string error;
};
RunResult& Run() {
  static RunResult run;
  return run;
}

}  // namespace

Result& Result::Add(const char* key, const std::string& value) {
  Run().fields.Add(key, value);
  return *this;
}

Result& Result::Add(const char* key, std::int64_t value) {
  Run().fields.Add(key, value);
  return *this;
}

Result& Result::AddFlag(const char* key, bool value) {
  Run().fields.AddFlag(key, value);
  return *this;
}

Result& Result::AddNumber(const char* key, const std::string& digits) {
  Run().fields.AddNumber(key, digits);
  return *this;
}

Result& Result::AddList(const char* key, const std::vector<std::string>& values) {
  Run().fields.AddList(key, values);
  return *this;
}

Result& Result::AddObjects(const char* key, const std::vector<JsonObject>& objects) {
  Run().fields.AddObjects(key, objects);
  return *this;
}

Result& Result::Merge(const JsonObject& object) {
  Run().fields.Merge(object);
  return *this;
}

int Result::Finish(int exit, std::int32_t code) {
  Code(code);
  return exit;
}

void Result::Code(std::int32_t code) {
  if (Run().code == 0) Run().code = code;
}

void Result::Error(const std::string& text) {
  if (Run().error.empty()) Run().error = text;
}

void Result::Print(const std::string& command, int exit) {
  const RunResult& run = Run();
  std::FILE* out = ResultOut();
  std::fprintf(out, "{\"command\":%s,\"exit\":%d,\"code\":%d%s%s}\n", JsonString(command).c_str(),
               exit, run.code, run.fields.Fields().c_str(),
               run.error.empty() ? "" : (",\"error\":" + JsonString(run.error)).c_str());
  std::fflush(out);
}

void ResultText(const char* format, ...) {
  if (JsonResults()) return;
  std::fflush(stdout);  // status text printed before it comes first
  std::FILE* out = ResultOut();
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fflush(out);
}

int UsageError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "vornak2-host: %s (see vornak2-host --help)\n", message.c_str());
  Result::Error(message);
  return kExitUsage;
}

int FileFailure(const std::string& problem) {
  std::fflush(stdout);
  std::fprintf(stderr, "vornak2-host: %s\n", problem.c_str());
  Result::Error(problem);
  return kExitFailed;
}

namespace {

// The exit code of a failed call: the data's own answer (a signature that does not hold, data
// not encrypted for this user) or any other failure.
int FailureExit(std::int32_t code) {
  return Rejection(code) ? kExitRejected : kExitFailed;
}

// A finished output: said in the status text and recorded in the result.
void Written(const char* what, const Output& out, std::size_t size, bool secret, Result& result) {
  std::printf("%s: %zu bytes written to %s%s\n", what, size,
              out.toStdout() ? "standard output" : out.path().c_str(),
              secret && !out.toStdout() ? " (readable by its owner only)" : "");
  result.Add("out", out.path()).Add("out_bytes", static_cast<std::int64_t>(size));
}

std::string InputName(const std::string& path) {
  return path == "-" ? std::string("standard input") : path;
}

// An in-place operation: the input read into a buffer with `room` bytes after it, the output's
// place checked first, `body` run on the buffer (its result code), the buffer written out.
template <typename Body>
int InPlaceCommand(const Invocation& call, Result& result, std::size_t room, bool secret,
                   const char* doing, const char* what, Body body) {
  std::string problem;
  auto out = Output::Open(call.Option("--out"), secret, problem);
  if (!out) return result.Finish(FileFailure(problem));
  const std::string in = call.Option("--in");
  auto data = Region::ReadIntoOutput(in, *out, kMaxCallLength - room, room, problem);
  if (!data && problem.empty()) data = Region::Read(in, kMaxCallLength - room, room, problem);
  if (!data) return result.Finish(FileFailure(problem));
  result.Add("in", in).Add("in_bytes", static_cast<std::int64_t>(data->size()));
  std::size_t size = data->size();
  const std::int32_t code = Progress(InputName(in), size).During(doing, [&] {
    return body(std::span(data->data(), data->capacity()), size);
  });
  if (code != 0) return result.Finish(FailureExit(code), code);
  data->Resize(size);
  const bool written =
      data->inOutput() ? out->CommitInPlace(size, problem) : out->Commit(data->view(), problem);
  if (!written) return result.Finish(FileFailure(problem));
  Written(what, *out, size, secret, result);
  return result.Finish(kExitSuccess);
}

}  // namespace

bool Rejection(std::int32_t code) {
  // -65 a signature that does not match, -35 data not encrypted for this user, and the signer's
  // certificate not valid or not vouched for by its authority.
  switch (code) {
    case -65:
    case -35:
    case -5:
    case -77:
    case -78:
    case -82:
    case -83:
    case -84:
    case -85:
    case -86:
      return true;
    default:
      return false;
  }
}

int SignCommand(const Library& library, const Invocation& call) {
  Result result;
  const Session session(library, call);
  if (!session) return session.exit();
  std::string problem;
  auto out = Output::Open(call.Option("--out"), false, problem);
  if (!out) return FileFailure(problem);
  const std::string in = call.Option("--in");
  const auto data = Region::Map(in, kMaxCallLength, problem);
  if (!data) return FileFailure(problem);
  const std::string signer = call.Option("--signer");
  std::printf("sign %s (%zu bytes) as %s\n", InputName(in).c_str(), data->size(),
              SignerText(signer).c_str());
  result.Add("in", in).Add("in_bytes", static_cast<std::int64_t>(data->size()));
  std::vector<std::uint8_t> signature;
  const std::int32_t code = Progress(InputName(in), data->size()).During("signing", [&] {
    return Sign(session.engine(), data->view(), signer, signature);
  });
  if (!session.Report("SignData", code)) return result.Finish(FailureExit(code), code);
  if (!out->Commit(signature, problem)) return FileFailure(problem);
  Written("signature", *out, signature.size(), false, result);
  return kExitSuccess;
}

int VerifyCommand(const Library& library, const Invocation& call) {
  Result result;
  const Session session(library, call);
  if (!session) return session.exit();
  const std::string in = call.Option("--in");
  const std::string sig = call.Option("--sig");
  if (in == "-" && sig == "-") return UsageError("--in and --sig cannot both be -");
  std::string problem;
  const auto signature = Region::Read(sig, kMaxCallLength, 0, problem);
  if (!signature) return FileFailure(problem);
  const auto data = Region::Map(in, kMaxCallLength, problem);
  if (!data) return FileFailure(problem);
  const bool validity = !call.Flag("--no-validity");
  std::printf("verify %s (%zu bytes) against %s (%zu bytes)%s\n", InputName(in).c_str(),
              data->size(), InputName(sig).c_str(), signature->size(),
              validity ? "" : ", without the validity check");
  result.Add("in", in).Add("in_bytes", static_cast<std::int64_t>(data->size())).Add("sig", sig);
  std::string signer;
  const std::int32_t code = Progress(InputName(in), data->size()).During("verifying", [&] {
    return Verify(session.engine(), data->view(), signature->view(), validity, signer);
  });
  const char* name = validity ? "VerifyData" : "VerifySignWOCheckValidity";
  if (code != 0) {
    session.Explain(name, code);
    return FailureExit(code);
  }
  std::printf("%s -> 0\n", name);
  ResultText("signer: %s\n", signer.c_str());
  result.Add("signer", signer);
  // The signature holds; whether it is the signer the caller expects is the data's answer too.
  const std::string expected = call.Option("--signer");
  if (expected.empty()) return kExitSuccess;
  result.Add("signer_expected", expected);
  if (signer == expected) return kExitSuccess;
  std::fflush(stdout);
  std::fprintf(stderr, "vornak2-host: the signature holds, but %s signed it, not %s\n",
               signer.c_str(), expected.c_str());
  Result::Error("signed by " + signer + ", not by " + expected);
  return kExitRejected;
}

int AddSignCommand(const Library& library, const Invocation& call) {
  Result result;
  const Session session(library, call);
  if (!session) return session.exit();
  const std::string signer = call.Option("--signer");
  std::printf("append a signature to %s as %s\n", InputName(call.Option("--in")).c_str(),
              SignerText(signer).c_str());
  const Engine& engine = session.engine();
  return InPlaceCommand(call, result, SignGrowth(engine), false, "signing", "signed data",
                        [&](std::span<std::uint8_t> buffer, std::size_t& size) {
                          const std::int32_t code = AddSignIn(engine, buffer, size, signer);
                          if (session.Report("AddSign", code))
                            std::printf("signed data: %zu bytes\n", size);
                          return code;
                        });
}

int RemoveSignCommand(const Library& library, const Invocation& call) {
  Result result;
  const Session session(library, call);
  if (!session) return session.exit();
  std::printf("verify and remove the appended signature of %s\n",
              InputName(call.Option("--in")).c_str());
  const Engine& engine = session.engine();
  return InPlaceCommand(call, result, 0, false, "verifying", "data",
                        [&](std::span<std::uint8_t> buffer, std::size_t& size) {
                          std::string signer;
                          const std::int32_t code = RemoveSignIn(engine, buffer, size, signer);
                          if (session.Report("RemoveSign", code)) {
                            ResultText("signer: %s\n", signer.c_str());
                            result.Add("signer", signer);
                          }
                          return code;
                        });
}

int EncryptCommand(const Library& library, const Invocation& call) {
  Result result;
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  const std::string to = call.Option("--to");
  const std::string shown =
      to.empty() ? engine.ParamValue(kParamEncryptFor) + " (parameter 8)" : to;
  std::printf("encrypt %s for %s\n", InputName(call.Option("--in")).c_str(), shown.c_str());
  result.Add("to", to.empty() ? engine.ParamValue(kParamEncryptFor) : to);
  // The buffer is read with the room the encryption needs, so that it works in the one copy.
  return InPlaceCommand(call, result, EncryptGrowth(engine, to), false, "encrypting",
                        "encrypted data", [&](std::span<std::uint8_t> buffer, std::size_t& size) {
                          const std::int32_t code = EncryptIn(engine, buffer, size, to);
                          session.Report("EncodeData", code);
                          return code;
                        });
}

int DecryptCommand(const Library& library, const Invocation& call) {
  Result result;
  const Session session(library, call);
  if (!session) return session.exit();
  std::printf("decrypt %s as the current user\n", InputName(call.Option("--in")).c_str());
  const Engine& engine = session.engine();
  return InPlaceCommand(call, result, 0, true, "decrypting", "plaintext",
                        [&](std::span<std::uint8_t> buffer, std::size_t& size) {
                          const std::int32_t code = DecryptIn(engine, buffer, size);
                          session.Report("DecodeData", code);
                          return code;
                        });
}

int UidCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  Result result;
  std::string uid;
  const std::int32_t code = engine.CurrentUserUid(uid);
  if (code != 0) {
    session.Explain("GetCurrentUserUID", code);
    return kExitFailed;
  }
  ResultText("current user: %s\n", uid.c_str());
  result.Add("uid", uid);
  const auto& root = call.setup.root;
  for (const auto& [number, what, key] :
       {std::tuple{kParamUserCertificate, "certificate", "certificate"},
        std::tuple{kParamSecretPath, "secret keys", "secret_keys"},
        std::tuple{kParamPublicPath, "certificate store", "store"},
        std::tuple{kParamRandomFile, "random-state file", "random_file"}}) {
    const std::string path = ExpandRoot(root, engine.ParamValue(number));
    ResultText("  %-18s %s\n", what, path.c_str());
    result.Add(key, path);
  }
  return kExitSuccess;
}

namespace {

// One parameter as its fields in the --json line.
JsonObject ParamObject(const Session& session, std::int32_t number) {
  const Engine& engine = session.engine();
  JsonObject object;
  object.Add("number", std::int64_t{number})
      .Add("name", Cp1251ToUtf8(engine.ParamName(number)))
      .Add("value", Cp1251ToUtf8(engine.ParamValue(number)));
  if (const auto info = engine.ParamInfo(number)) {
    std::string hint = Cp1251ToUtf8(info->second);
    for (std::size_t at; (at = hint.find("\r\n")) != std::string::npos;) hint.replace(at, 2, ", ");
    object.Add("kind", KindName(info->first)).Add("hint", hint);
  }
  const auto origin = session.origins().find(number);
  object.Add("origin", origin == session.origins().end() ? std::string("default") : origin->second);
  return object;
}

}  // namespace

int ParamsCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  const std::int32_t count = engine.api().GetCryptoParamNumber(engine.handle());
  ResultText("parameters: %d\n", count);
  std::vector<JsonObject> params;
  for (std::int32_t i = 1; i <= count; ++i) {
    PrintParam(session, i);
    params.push_back(ParamObject(session, i));
  }
  Result().AddObjects("parameters", params);
  return kExitSuccess;
}

int GetParamCommand(const Library& library, const Invocation& call) {
  const Session session(library, call);
  if (!session) return session.exit();
  const std::int32_t number = ParamNumber(session.engine(), call.args[0]);
  if (number == 0) return kExitUsage;
  PrintParam(session, number);
  Result().Merge(ParamObject(session, number));
  return kExitSuccess;
}

int SetParamCommand(const Library& library, const Invocation& call) {
  const std::string& assignment = call.args[0];
  const auto equals = assignment.find('=');
  if (equals == std::string::npos) return UsageError("set-param takes N=VALUE or NAME=VALUE");
  // The configuration keeps one line a value: a line break would add lines of its own.
  if (assignment.find_first_of("\r\n") != std::string::npos)
    return UsageError("set-param: a value cannot hold a line break");
  const std::string path = ConfigToChange(call, "set-param");
  if (path.empty()) return kExitUsage;
  Invocation changing = call;
  changing.setup.changesConfiguration = true;
  const Session session(library, changing);
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
  // A value that lets transfers write into the configuration is not kept.
  if (const std::string problem = ConfigPlaceProblem(engine, call.setup.root); !problem.empty())
    return FileFailure(problem + "; " + TerminalText(engine.ParamName(number)) + " is not kept");
  Result()
      .Add("number", std::int64_t{number})
      .Add("name", Cp1251ToUtf8(engine.ParamName(number)))
      .Add("value", Cp1251ToUtf8(engine.ParamValue(number)))
      .Add("file", path);
  std::string error;
  if (!ChangeConfig(*call.setup.root, call.setup.User(), error, [&](ConfigFile& file) {
        file.Set(number, engine.ParamName(number), value);
        return true;
      }))
    return FileFailure(error);
  std::printf("%s = %s, kept in %s\n", TerminalText(engine.ParamName(number)).c_str(),
              TerminalText(engine.ParamValue(number)).c_str(), path.c_str());
  return kExitSuccess;
}

int UnsetParamCommand(const Library& library, const Invocation& call) {
  const std::string path = ConfigToChange(call, "unset-param");
  if (path.empty()) return kExitUsage;
  Invocation changing = call;
  changing.setup.changesConfiguration = true;
  const Session session(library, changing);
  if (!session) return session.exit();
  const Engine& engine = session.engine();
  const std::int32_t number = ParamNumber(engine, call.args[0]);
  if (number == 0) return kExitUsage;
  const std::string name = engine.ParamName(number);
  Result().Add("number", std::int64_t{number}).Add("name", Cp1251ToUtf8(name)).Add("file", path);
  std::string error;
  bool removed = false;
  // Nothing to remove: the file is left as it is (and not made).
  if (platform::PathExists(path) &&
      !ChangeConfig(*call.setup.root, call.setup.User(), error,
                    [&](ConfigFile& file) { return removed = file.Remove(number, name); }))
    return FileFailure(error);
  Result().AddFlag("removed", removed);
  if (!removed)
    std::printf("%s is not kept in %s\n", TerminalText(name).c_str(), path.c_str());
  else
    std::printf("%s removed from %s\n", TerminalText(name).c_str(), path.c_str());
  return kExitSuccess;
}

int MessageCommand(const Library& library, const Invocation& call) {
  std::int32_t code = 0;
  if (!ParseInt32(call.args[0], code)) return UsageError("not a result code: " + call.args[0]);
  Engine engine(library.api());
  if (!engine) return FileFailure("GetCryptObj returned no engine");
  const std::string message = engine.Message(code);
  ResultText("%d: %s\n", code, message.empty() ? "(success, no message)" : message.c_str());
  if (code != 0) ResultText("  %s\n", Hint(code).c_str());
  Result()
      .Add("result_code", std::int64_t{code})
      .Add("message", Cp1251ToUtf8(engine.RawMessage(code)))
      .Add("hint", code != 0 ? Hint(code) : std::string());
  return kExitSuccess;
}

}  // namespace vornak2::host
