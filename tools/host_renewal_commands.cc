// vornak2-host: the commands of remote key renewal, reports, directory set-up and signed-data
// files. Reports are the library's 8-bit text; they are printed in the terminal's encoding.
#include <cstdio>

#include "host_commands.h"
#include "host_ops.h"
#include "host_store_ops.h"
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
  if (mode)
    std::fprintf(out, "mode: %d%s\n", *mode,
                 *mode == 1   ? " (done)"
                 : *mode == 2 ? " (the local key set is not in place)"
                              : "");
}

int RenewStartCommand(const Library& library, const Invocation& call) {
  std::optional<std::int32_t> mode;
  if (!ModeOption(call, mode)) return UsageError("--mode takes a number");
  return WithEngine(library, call, [&](const Engine& engine) {
    const std::string out = call.Option("--out");
    std::FILE* report = out == "-" ? stderr : stdout;
    const auto uid =
        call.options.count("--uid") ? std::optional(call.Option("--uid")) : std::nullopt;
    std::fprintf(
        report, "start a key renewal in %s%s\n", call.Option("--dir").c_str(),
        uid ? (" for " + (uid->empty() ? std::string("the own UID + 0") : *uid)).c_str() : "");
    std::string transfer;
    const std::int32_t code =
        RenewalStart(engine, call.Option("--dir"), uid, mode ? &*mode : nullptr, transfer);
    const bool ok =
        Report(engine, uid || mode ? "RemoteGenerateStartEx" : "RemoteGenerateStart", code, report);
    PrintMode(mode, report);
    if (!ok) return kExitFailed;
    if (transfer.empty()) return kExitSuccess;  // mode 2: nothing was done
    if (!WriteTransferText(out, transfer)) {
      std::fprintf(stderr, "vornak2-host: cannot write %s\n", out.c_str());
      return kExitFailed;
    }
    std::fprintf(report, "the request's transfer goes to the authority: %s\n", out.c_str());
    return kExitSuccess;
  });
}

int RenewFinishCommand(const Library& library, const Invocation& call) {
  std::optional<std::int32_t> mode;
  if (!ModeOption(call, mode)) return UsageError("--mode takes a number");
  return WithEngine(library, call, [&](const Engine& engine) {
    const auto transfer = ReadTransferInput(call.Option("--in"));
    if (!transfer) return kExitFailed;
    std::printf("finish the key renewal in %s with the authority's answer\n",
                call.Option("--dir").c_str());
    const std::int32_t code =
        RenewalFinish(engine, call.Option("--dir"), *transfer, mode ? &*mode : nullptr);
    const bool ok = Report(engine, mode ? "RemoteGenerateFinishEx" : "RemoteGenerateFinish", code);
    PrintMode(mode, stdout);
    if (!ok) return kExitFailed;
    std::string uid;
    if (engine.CurrentUserUid(uid) == 0) std::printf("current user: %s\n", uid.c_str());
    return kExitSuccess;
  });
}

// Prints a report with every line indented, in the terminal's encoding.
int PrintReport(const Engine& engine, const char* operation, std::int32_t code,
                const std::string& report) {
  std::printf("%s -> %s\n", operation, engine.Describe(code).c_str());
  if (code != 0) return kExitFailed;
  std::string text = Cp1251ToUtf8(report);
  for (std::size_t at; (at = text.find('\r')) != std::string::npos;) text.erase(at, 1);
  std::printf("%s", text.c_str());
  return kExitSuccess;
}

// `report` and `properties`: the same operation under its two export names.
int StoredReportCommand(const Library& library, const Invocation& call, bool properties) {
  return WithEngine(library, call, [&](const Engine& engine) {
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
    return PrintReport(engine, properties ? "GetPublicKeyProperties" : "GetReport", code, report);
  });
}

int ReportCommand(const Library& library, const Invocation& call) {
  return StoredReportCommand(library, call, false);
}

int PropertiesCommand(const Library& library, const Invocation& call) {
  return StoredReportCommand(library, call, true);
}

int ReportFileCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    std::string report;
    const std::int32_t code = FileReport(engine, call.args[0], report);
    return PrintReport(engine, "GetPublicKeyPropertiesByFile", code, report);
  });
}

int ReportTransferCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const auto transfer = ReadTransferInput(call.Option("--in"));
    if (!transfer) return kExitFailed;
    std::string report;
    const std::int32_t code = TransferReport(engine, *transfer, report);
    return PrintReport(engine, "GetPublicKeyPropertiesByTransfer", code, report);
  });
}

int CreateDirsCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const std::string authorities = call.args.size() > 1 ? call.args[1] : std::string();
    std::printf("set up the key directories from %s%s%s\n", call.args[0].c_str(),
                authorities.empty() ? "" : " with the authorities ", authorities.c_str());
    const std::int32_t code =
        engine.api().CreateDirStructure(engine.handle(), call.args[0].c_str(), authorities.c_str());
    return Report(engine, "CreateDirStructure", code) ? kExitSuccess : kExitFailed;
  });
}

int SaveSignedCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const auto data = Bytes::ReadFile(call.Option("--in"));
    const auto signature = Bytes::ReadFile(call.Option("--sig"));
    if (!data || !signature) {
      std::fprintf(stderr, "vornak2-host: cannot read %s or %s\n", call.Option("--in").c_str(),
                   call.Option("--sig").c_str());
      return kExitFailed;
    }
    if (data->size() > INT32_MAX || signature->size() > INT32_MAX)
      return UsageError("the data is too large for one call");
    const std::string out = call.Option("--out");
    const std::int32_t code = engine.api().SaveSignedDataToFile(
        engine.handle(), data->data(), static_cast<std::int32_t>(data->size()), signature->data(),
        static_cast<std::int32_t>(signature->size()), out.c_str());
    if (!Report(engine, "SaveSignedDataToFile", code)) return kExitFailed;
    std::printf("%s: %zu bytes of data and %zu of signature\n", out.c_str(), data->size(),
                signature->size());
    return kExitSuccess;
  });
}

}  // namespace

std::vector<Command> RenewalCommands() {
  return {
      {"renew-start",
       "--dir DIR --out FILE|- [--uid UID] [--mode N]",
       "start a key renewal in DIR: a new key pair, its request as a transfer for the\n"
       "authority (RemoteGenerateStart; RemoteGenerateStartEx with --uid or --mode,\n"
       "an empty UID meaning the own UID + 0)",
       {"--dir", "--out"},
       {"--uid", "--mode"},
       {},
       0,
       0,
       true,
       RenewStartCommand},
      {"renew-finish",
       "--dir DIR --in FILE|- [--mode N]",
       "finish a key renewal with the authority's transfer of the new certificate\n"
       "(RemoteGenerateFinish, RemoteGenerateFinishEx with --mode)",
       {"--dir", "--in"},
       {"--mode"},
       {},
       0,
       0,
       true,
       RenewFinishCommand},
      {"report",
       "[UID] [--dir DIR]",
       "print the report on UID's certificate in the store, or without UID on the\n"
       "request of the renewal pending in DIR (GetReport)",
       {},
       {"--dir"},
       {},
       0,
       1,
       true,
       ReportCommand},
      {"properties",
       "[UID] [--dir DIR]",
       "the same through the other export name (GetPublicKeyProperties)",
       {},
       {"--dir"},
       {},
       0,
       1,
       true,
       PropertiesCommand},
      {"report-file",
       "FILE",
       "print the report on a certificate or request file (GetPublicKeyPropertiesByFile)",
       {},
       {},
       {},
       1,
       1,
       true,
       ReportFileCommand},
      {"report-transfer",
       "--in FILE|-",
       "print the report on the certificate a transfer carries\n"
       "(GetPublicKeyPropertiesByTransfer)",
       {"--in"},
       {},
       {},
       0,
       0,
       true,
       ReportTransferCommand},
      {"create-dirs",
       "CERT [AUTHORITY[;AUTHORITY...]]",
       "set up the key directories, the own certificate CERT and the authority\n"
       "certificates (CreateDirStructure)",
       {},
       {},
       {},
       1,
       2,
       true,
       CreateDirsCommand},
      {"save-signed",
       "--in FILE --sig SIGFILE --out FILE",
       "save data and its signature in one file (SaveSignedDataToFile)",
       {"--in", "--sig", "--out"},
       {},
       {},
       0,
       0,
       true,
       SaveSignedCommand},
  };
}

}  // namespace vornak2::host
