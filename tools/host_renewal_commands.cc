// vornak2-host: the commands of remote key renewal, reports, directory set-up and signed-data
// files. Reports are the library's 8-bit text; they are printed in the terminal's encoding.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "host_commands.h"
#include "host_explain.h"
#include "host_io.h"
#include "host_ops.h"
#include "host_store_ops.h"
#include "platform/platform.h"
#include "support/text.h"

namespace vornak2::host {

namespace {

// The --mode option: absent, or a number that the Ex export takes and updates.
bool ModeOption(const Invocation& call, std::optional<std::int32_t>& mode) {
  const std::string text = call.Option("--mode");
  if (text.empty()) return true;
  std::int32_t value = 0;
  if (!ParseInt32(text, value)) return false;
  mode = value;
  return true;
}

void PrintMode(const std::optional<std::int32_t>& mode, std::FILE* out) {
  if (mode) Result().Add("mode", std::int64_t{*mode});
  if (mode)
    std::fprintf(out, "mode: %d%s\n", *mode,
                 *mode == 1   ? " (done)"
                 : *mode == 2 ? " (the local key set is not in place)"
                              : "");
}

int RenewStartCommand(const Library& library, const Invocation& call) {
  std::optional<std::int32_t> mode;
  if (!ModeOption(call, mode)) return UsageError("--mode takes a number");
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string out = call.Option("--out");
    std::FILE* report = stdout;  // standard error when the transfer goes to standard output
    const auto uid =
        call.options.count("--uid") ? std::optional(call.Option("--uid")) : std::nullopt;
    std::fprintf(
        report, "start a key renewal in %s%s\n", call.Option("--dir").c_str(),
        uid ? (" for " + (uid->empty() ? std::string("the own UID + 0") : *uid)).c_str() : "");
    std::string transfer;
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code =
        RenewalStart(engine, call.Option("--dir"), uid, mode ? &*mode : nullptr, transfer);
    const bool ok = session.Report(uid || mode ? "RemoteGenerateStartEx" : "RemoteGenerateStart",
                                   code, report, &changes);
    PrintMode(mode, report);
    if (!ok) return kExitFailed;
    if (transfer.empty()) return kExitSuccess;  // mode 2: nothing was done
    std::string problem;
    if (!WriteTransferText(out, transfer, problem)) return FileFailure(problem);
    Result().Add("out", out);
    std::fprintf(report, "the request's transfer goes to the authority: %s\n", out.c_str());
    return kExitSuccess;
  });
}

int RenewFinishCommand(const Library& library, const Invocation& call) {
  std::optional<std::int32_t> mode;
  if (!ModeOption(call, mode)) return UsageError("--mode takes a number");
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const auto transfer = ReadTransferInput(call.Option("--in"));
    if (!transfer) return kExitFailed;
    std::printf("finish the key renewal in %s with the authority's answer\n",
                call.Option("--dir").c_str());
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code =
        RenewalFinish(engine, call.Option("--dir"), *transfer, mode ? &*mode : nullptr);
    const bool ok = session.Report(mode ? "RemoteGenerateFinishEx" : "RemoteGenerateFinish", code,
                                   stdout, &changes);
    PrintMode(mode, stdout);
    if (!ok) return kExitFailed;
    std::string uid;
    if (engine.CurrentUserUid(uid) == 0) {
      std::printf("current user: %s\n", uid.c_str());
      Result().Add("uid", uid);
    }
    return kExitSuccess;
  });
}

// Prints a report in the terminal's encoding; its fields go into the --json line.
int PrintReport(const Session& session, const char* operation, std::int32_t code,
                const std::string& report) {
  if (!session.Report(operation, code)) return kExitFailed;
  std::string text = TerminalText(report);
  for (std::size_t at; (at = text.find('\r')) != std::string::npos;) text.erase(at, 1);
  ResultText("%s", text.c_str());
  const ReportFields fields = ParseReport(Cp1251ToUtf8(report));
  Result()
      .Add("uid", fields.uid)
      .AddNumber("key_number", fields.keyNumber)
      .Add("issuer", fields.issuer)
      .AddNumber("issuer_key_number", fields.issuerKeyNumber)
      .Add("not_before", IsoDate(fields.notBefore))
      .Add("not_after", IsoDate(fields.notAfter))
      .Add("certificate", fields.certificate);
  return kExitSuccess;
}

// `report` and `properties`: the same operation under its two export names.
int StoredReportCommand(const Library& library, const Invocation& call, bool properties) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string uid = call.args.empty() ? std::string() : call.args[0];
    if (!call.Option("--dir").empty())
      engine.api().SetRemoteGeneratePath(engine.handle(), call.Option("--dir").c_str());
    std::string report;
    std::int32_t code = 0;
    if (properties) {
      std::vector<char> buffer(
          static_cast<std::size_t>(engine.api().GetMaxPublicKeyPropertiesLength(engine.handle())) +
              1,
          '\0');
      code = engine.api().GetPublicKeyProperties(engine.handle(), uid.c_str(), buffer.data());
      if (code == 0) report = BufferText(buffer);
    } else {
      code = StoredReport(engine, uid, report);
    }
    const int exit =
        PrintReport(session, properties ? "GetPublicKeyProperties" : "GetReport", code, report);
    if (exit == kExitSuccess && !properties) PrintRevocation(session, call, uid, report);
    return exit;
  });
}

int ReportCommand(const Library& library, const Invocation& call) {
  return StoredReportCommand(library, call, false);
}

int PropertiesCommand(const Library& library, const Invocation& call) {
  return StoredReportCommand(library, call, true);
}

int ReportFileCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    std::string report;
    const std::int32_t code = FileReport(engine, call.args[0], report);
    return PrintReport(session, "GetPublicKeyPropertiesByFile", code, report);
  });
}

int ReportTransferCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const auto transfer = ReadTransferInput(call.Option("--in"));
    if (!transfer) return kExitFailed;
    std::string report;
    const std::int32_t code = TransferReport(engine, *transfer, report);
    return PrintReport(session, "GetPublicKeyPropertiesByTransfer", code, report);
  });
}

int CreateDirsCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string authorities = call.args.size() > 1 ? call.args[1] : std::string();
    std::printf("set up the key directories from %s%s%s\n", call.args[0].c_str(),
                authorities.empty() ? "" : " with the authorities ", authorities.c_str());
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code =
        engine.api().CreateDirStructure(engine.handle(), call.args[0].c_str(), authorities.c_str());
    return session.Report("CreateDirStructure", code, stdout, &changes) ? kExitSuccess
                                                                        : kExitFailed;
  });
}

// A private directory for the file that SaveSignedDataToFile writes when the result goes to
// standard output: new, in the system's temporary directory, the owner's alone, removed with
// what is in it when the object goes and when the command is interrupted.
class PrivateDir {
 public:
  PrivateDir() = default;
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  ~PrivateDir() {
    if (dir_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool Make(std::string& problem) {
    std::error_code error;
    const auto base = std::filesystem::temp_directory_path(error);
    const std::string dir = (base / ("vornak2-host-" + RandomToken())).string();
    guard_ = RemoveOnInterrupt(dir, RemoveOnInterrupt::Kind::kDirectory);
    if (error || !std::filesystem::create_directory(dir, error) || error) {
      problem = "cannot make a private temporary directory " + dir;
      return false;
    }
    dir_ = dir;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, error);
    return true;
  }
  const std::string& path() const { return dir_; }

 private:
  std::string dir_;
  RemoveOnInterrupt guard_;
};

// Copies a file to standard output in pieces, without holding it in memory.
bool CopyToStandardOutput(const std::string& file, std::string& problem) {
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) {
    problem = "cannot read " + file;
    return false;
  }
  std::vector<char> chunk(1u << 20);
  bool ok = true;
  for (std::size_t n; ok && (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0;)
    ok = std::fwrite(chunk.data(), 1, n, DataOut()) == n;
  ok = ok && !std::ferror(in) && std::fflush(DataOut()) == 0;
  std::fclose(in);
  if (!ok) problem = "cannot write standard output";
  return ok;
}

int SaveSignedCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string in = call.Option("--in");
    const std::string sig = call.Option("--sig");
    if (in == "-" && sig == "-") return UsageError("--in and --sig cannot both be -");
    std::string problem;
    const auto signature = Region::Read(sig, kMaxCallLength, 0, problem);
    const auto data = signature ? Region::Map(in, kMaxCallLength, problem) : std::nullopt;
    if (!data || !signature) return FileFailure(problem);
    // The library writes the file itself; for standard output it writes one in a private
    // directory that is then copied there.
    const std::string out = call.Option("--out");
    const bool toStdout = out == "-";
    PrivateDir scratch;
    if (toStdout && !scratch.Make(problem)) return FileFailure(problem);
    const std::string file = toStdout ? scratch.path() + kSep + "signed" : out;
    const RemoveOnInterrupt fileGuard(toStdout ? file : std::string(),
                                      RemoveOnInterrupt::Kind::kFile);
    const std::int32_t code = engine.api().SaveSignedDataToFile(
        engine.handle(), data->data(), static_cast<std::int32_t>(data->size()), signature->data(),
        static_cast<std::int32_t>(signature->size()), file.c_str());
    if (!session.Report("SaveSignedDataToFile", code)) return kExitFailed;
    if (toStdout && !CopyToStandardOutput(file, problem)) return FileFailure(problem);
    std::printf("%s: %zu bytes of data and %zu of signature\n",
                toStdout ? "standard output" : out.c_str(), data->size(), signature->size());
    Result()
        .Add("in", in)
        .Add("in_bytes", static_cast<std::int64_t>(data->size()))
        .Add("sig", sig)
        .Add("out", out);
    return kExitSuccess;
  });
}

}  // namespace

std::vector<Command> RenewalCommands() {
  return {
      {.name = "renew-start",
       .synopsis = "--dir DIR --out FILE|- [--uid UID] [--mode N]",
       .summary = "start a key renewal through the authority",
       .help = "Starts a key renewal in the renewal directory DIR (SetRemoteGeneratePath): a new\n"
               "key pair is generated there, its request written as a transfer for the\n"
               "authority, signed with the current key, and the new secret key kept in\n"
               "DIR/key.dat, encrypted for the current user (RemoteGenerateStart). With --uid\n"
               "the new key is for that UID (an empty one means the own UID + \"0\"), with\n"
               "--mode N the Ex export runs (RemoteGenerateStartEx): mode 0 asks to learn\n"
               "through mode 2 that the local key set is not in place. The working key set\n"
               "does not change before renew-finish.\n"
               "--json fields: mode, written, removed, out.\n",
       .required = {"--dir", "--out"},
       .optional = {"--uid", "--mode"},
       .run = RenewStartCommand},
      {.name = "renew-finish",
       .synopsis = "--dir DIR --in FILE|- [--mode N]",
       .summary = "finish a key renewal with the authority's answer",
       .help = "Finishes the renewal waiting in DIR with the authority's transfer of the new\n"
               "certificate (RemoteGenerateFinish, RemoteGenerateFinishEx with --mode): the new\n"
               "secret key goes into the secret-key directory, the certificate becomes the own\n"
               "one (the previous kept as .old, or in the store under the previous UID), and\n"
               "DIR/key.dat is deleted. A failed finish keeps key.dat for the next attempt.\n"
               "--json fields: written, removed, mode, uid.\n",
       .required = {"--dir", "--in"},
       .optional = {"--mode"},
       .run = RenewFinishCommand},
      {.name = "report",
       .synopsis = "[UID] [--dir DIR]",
       .summary = "print the report on a stored certificate or pending request",
       .help = "Prints the report on UID's certificate in the store (GetReport): UID, key\n"
               "number, issuer, validity and the certificate text. The engine writes the\n"
               "validity month first, MM-DD.YYYY hh:mm:ss (UTC). Without UID, the report on\n"
               "the request of the renewal pending in DIR (its pub.pub). For a stored\n"
               "certificate, also what the CRL beside its issuer's certificate says of it.\n"
               "--json fields: uid, key_number, issuer, issuer_key_number, not_before and\n"
               "not_after (YYYY-MM-DD hh:mm, UTC), certificate; revocation (no crl, crl\n"
               "ignored, not revoked, revoked, crl not honoured) for a stored certificate.\n",
       .optional = {"--dir"},
       .maxArgs = 1,
       .run = ReportCommand},
      {.name = "properties",
       .synopsis = "[UID] [--dir DIR]",
       .summary = "the same report through its other export",
       .help = "As report, through the export GetPublicKeyProperties.\n"
               "--json fields: as report.\n",
       .optional = {"--dir"},
       .maxArgs = 1,
       .run = PropertiesCommand},
      {.name = "report-file",
       .synopsis = "FILE",
       .summary = "print the report on a certificate or request file",
       .help = "Prints the report on a certificate or request file of at most 2048 bytes\n"
               "(GetPublicKeyPropertiesByFile).\n"
               "--json fields: as report.\n",
       .minArgs = 1,
       .maxArgs = 1,
       .run = ReportFileCommand},
      {.name = "report-transfer",
       .synopsis = "--in FILE|-",
       .summary = "print the report on the certificate a transfer carries",
       .help = "Checks the transfer's signature and prints the report on the certificate it\n"
               "carries (GetPublicKeyPropertiesByTransfer): what to read before trusting it.\n"
               "--json fields: as report.\n",
       .required = {"--in"},
       .run = ReportTransferCommand},
      {.name = "create-dirs",
       .synopsis = "CERT [AUTHORITY[;AUTHORITY...]]",
       .summary = "set up a user's key directories from a certificate",
       .help = "Creates the secret-key directory and the certificate store where parameters 2\n"
               "and 3 point, copies CERT to the current certificate file (parameter 19) and\n"
               "each authority certificate to SECRET/UID/N.aut (CreateDirStructure). With\n"
               "--user NAME the user need not have a certificate yet: CERT becomes it.\n"
               "--json fields: written, removed.\n",
       .minArgs = 1,
       .maxArgs = 2,
       .installsCertificate = true,
       .run = CreateDirsCommand},
      {.name = "save-signed",
       .synopsis = "--in FILE|- --sig SIGFILE|- --out FILE|-",
       .summary = "save data and its signature in one file",
       .help = "Writes the data of --in and the signature SIGFILE into one file\n"
               "(SaveSignedDataToFile): the data's length in 4 bytes, the data, the signature.\n"
               "--json fields: in, in_bytes, sig, out.\n",
       .required = {"--in", "--sig", "--out"},
       .run = SaveSignedCommand},
  };
}

}  // namespace vornak2::host
