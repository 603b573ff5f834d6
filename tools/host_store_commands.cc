// vornak2-host: the commands of the certificate store, key generation and public-key transfers.
// Transfers are read from and written to files; "-" stands for standard input or output (the
// command's report then goes to standard error, so that the output is the transfer alone).
#include <cstdio>

#include "host_commands.h"
#include "host_store_ops.h"

namespace vornak2::host {

namespace {

// Where a command reports when its output may be standard output.
std::FILE* ReportStream(const std::string& out) {
  return out == "-" ? stderr : stdout;
}

int WriteTransferOutput(const std::string& path, const std::string& transfer) {
  if (!WriteTransferText(path, transfer)) {
    std::fprintf(stderr, "vornak2-host: cannot write %s\n", path.c_str());
    return kExitFailed;
  }
  if (path != "-")
    std::printf("transfer: %zu characters written to %s\n", transfer.size(), path.c_str());
  return kExitSuccess;
}

// The same with the transfer named by --in read first.
template <typename Body>
int WithTransfer(const Library& library, const Invocation& call, Body body) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const auto transfer = ReadTransferInput(call.Option("--in"));
    if (!transfer) return kExitFailed;
    return body(engine, *transfer);
  });
}

int Exit(bool ok) {
  return ok ? kExitSuccess : kExitFailed;
}

int InstallCertCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const std::string& file = call.args[0];
    std::printf("install %s into the certificate store (the file is moved there)\n", file.c_str());
    return Exit(Report(engine, "IncludePublicKey",
                       engine.api().IncludePublicKey(engine.handle(), file.c_str())));
  });
}

int RemoveCertCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const std::string& uid = call.args[0];
    std::printf("remove the certificate of %s from the store\n", uid.c_str());
    return Exit(Report(engine, "RemoveCertificate",
                       engine.api().RemoveCertificate(engine.handle(), uid.c_str())));
  });
}

int RefreshCertCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const std::string& uid = call.args[0];
    std::printf("read the stored certificate of %s again\n", uid.c_str());
    return Exit(Report(engine, "UpdateCertificateCash",
                       engine.api().UpdateCertificateCash(engine.handle(), uid.c_str())));
  });
}

int ClearCacheCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    engine.api().ClearCash(engine.handle());
    std::printf("ClearCash: the UID and key-file caches are empty\n");
    return kExitSuccess;
  });
}

int GenerateKeysCommand(const Library& library, const Invocation& call) {
  Invocation withSettings = call;
  if (!call.Option("--dir").empty())
    withSettings.setup.params.emplace_back(kParamKeyGenDir, call.Option("--dir"));
  if (!call.Option("--subject").empty())
    withSettings.setup.params.emplace_back(kParamKeyGenSubject, call.Option("--subject"));
  return WithEngine(library, withSettings, [&](const Engine& engine) {
    const std::string subject = engine.ParamValue(kParamKeyGenSubject);
    std::printf("generate a key pair for %s in %s\n",
                subject.empty() ? "the current user" : subject.c_str(),
                engine.ParamValue(kParamKeyGenDir).c_str());
    return Exit(Report(engine, "GenerateNewSSK", engine.api().GenerateNewSSK(engine.handle())));
  });
}

// The three ways to write a transfer share their output handling.
template <typename Make>
int TransferCommand(const Library& library, const Invocation& call, const char* what,
                    const char* operation, Make make) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const std::string out = call.Option("--out");
    std::FILE* report = ReportStream(out);
    std::fprintf(report, "write the transfer of %s\n", what);
    std::string transfer;
    if (!Report(engine, operation, make(engine, transfer), report)) return kExitFailed;
    return WriteTransferOutput(out, transfer);
  });
}

int TransferOwnCommand(const Library& library, const Invocation& call) {
  return TransferCommand(library, call, "the own certificate", "ExcludeSelfPublicKeyTransfer",
                         [](const Engine& e, std::string& t) { return OwnTransfer(e, t); });
}

int TransferUserCommand(const Library& library, const Invocation& call) {
  const std::string what = "the stored certificate of " + call.args[0];
  return TransferCommand(
      library, call, what.c_str(), "GetPublicKeyTransfer",
      [&](const Engine& e, std::string& t) { return UserTransfer(e, call.args[0], t); });
}

int TransferFileCommand(const Library& library, const Invocation& call) {
  return TransferCommand(
      library, call, call.args[0].c_str(), "GetPublicKeyTransferByFile",
      [&](const Engine& e, std::string& t) { return FileTransfer(e, call.args[0], t); });
}

int TransferUidCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Engine& engine, const std::string& transfer) {
    std::string uid;
    const std::int32_t code = TransferUid(engine, transfer, uid);
    std::printf("GetUIDByPublicKeyTransfer -> %s\n", engine.Describe(code).c_str());
    if (code != 0) return kExitFailed;
    std::printf("uid: %s\n", uid.c_str());
    return kExitSuccess;
  });
}

int SaveTransferCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Engine& engine, const std::string& transfer) {
    const std::string dir = call.Option("--dir");
    std::printf("save the file a transfer carries into %s\n", dir.c_str());
    return Exit(Report(
        engine, "SavePublicKeyFromTransfer",
        engine.api().SavePublicKeyFromTransfer(engine.handle(), dir.c_str(), transfer.c_str())));
  });
}

int IncludeTransferCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Engine& engine, const std::string& transfer) {
    std::printf("install the certificate a transfer carries (through %s)\n",
                engine.ParamValue(kParamTemplateDir).c_str());
    return Exit(Report(engine, "IncludePublicKeyTransfer",
                       engine.api().IncludePublicKeyTransfer(engine.handle(), transfer.c_str())));
  });
}

int IncludeAuthorityCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Engine& engine, const std::string& transfer) {
    std::printf("install the authority certificate a transfer carries\n");
    return Exit(
        Report(engine, "IncludeCACertificateFromTransfer",
               engine.api().IncludeCACertificateFromTransfer(engine.handle(), transfer.c_str())));
  });
}

int MatchTransfersCommand(const Library& library, const Invocation& call) {
  return WithEngine(library, call, [&](const Engine& engine) {
    const auto first = ReadTransferInput(call.Option("--in"));
    const auto second = ReadTransferInput(call.Option("--with"));
    if (!first || !second) return kExitFailed;
    bool same = false;
    const std::int32_t code = TransfersMatch(engine, *first, *second, same);
    std::printf("CertAndRequestTransferMatch -> %s\n", engine.Describe(code).c_str());
    if (code != 0) return kExitFailed;
    std::printf("%s\n", same ? "the same UID" : "different UIDs");
    return kExitSuccess;
  });
}

}  // namespace

std::optional<std::string> ReadTransferInput(const std::string& path) {
  auto text = ReadTransferText(path);
  if (!text) std::fprintf(stderr, "vornak2-host: cannot read the transfer %s\n", path.c_str());
  return text;
}

std::vector<Command> StoreCommands() {
  return {
      {"install-cert",
       "FILE",
       "install a correspondent's certificate into the store (IncludePublicKey); the\n"
       "file is moved there, a certificate it replaces is kept as .old",
       {},
       {},
       {},
       1,
       1,
       true,
       InstallCertCommand},
      {"remove-cert",
       "UID",
       "remove a correspondent's certificate from the store (RemoveCertificate)",
       {},
       {},
       {},
       1,
       1,
       true,
       RemoveCertCommand},
      {"refresh-cert",
       "UID",
       "read a stored certificate into the key-file cache again (UpdateCertificateCash)",
       {},
       {},
       {},
       1,
       1,
       true,
       RefreshCertCommand},
      {"clear-cache",
       "",
       "empty the UID and key-file caches (ClearCash)",
       {},
       {},
       {},
       0,
       0,
       true,
       ClearCacheCommand},
      {"generate-keys",
       "[--dir DIR] [--subject UID]",
       "generate a key pair and its request in DIR (GenerateNewSSK; parameters 14 and\n"
       "13, the current user when no subject is given)",
       {},
       {"--dir", "--subject"},
       {},
       0,
       0,
       true,
       GenerateKeysCommand},
      {"transfer-own",
       "--out FILE|-",
       "write the transfer of the own certificate (ExcludeSelfPublicKeyTransfer)",
       {"--out"},
       {},
       {},
       0,
       0,
       true,
       TransferOwnCommand},
      {"transfer-user",
       "UID --out FILE|-",
       "write the transfer of a stored certificate (GetPublicKeyTransfer)",
       {"--out"},
       {},
       {},
       1,
       1,
       true,
       TransferUserCommand},
      {"transfer-file",
       "FILE --out FILE|-",
       "write the transfer of a certificate or request file (GetPublicKeyTransferByFile)",
       {"--out"},
       {},
       {},
       1,
       1,
       true,
       TransferFileCommand},
      {"transfer-uid",
       "--in FILE|-",
       "print the UID a transfer carries (GetUIDByPublicKeyTransfer)",
       {"--in"},
       {},
       {},
       0,
       0,
       true,
       TransferUidCommand},
      {"save-transfer",
       "--in FILE|- --dir DIR",
       "write the file a transfer carries into DIR (SavePublicKeyFromTransfer)",
       {"--in", "--dir"},
       {},
       {},
       0,
       0,
       true,
       SaveTransferCommand},
      {"include-transfer",
       "--in FILE|-",
       "install the certificate a transfer carries into the store\n"
       "(IncludePublicKeyTransfer, through the template directory, parameter 15)",
       {"--in"},
       {},
       {},
       0,
       0,
       true,
       IncludeTransferCommand},
      {"include-authority",
       "--in FILE|-",
       "install the authority certificate a transfer carries\n"
       "(IncludeCACertificateFromTransfer)",
       {"--in"},
       {},
       {},
       0,
       0,
       true,
       IncludeAuthorityCommand},
      {"match-transfers",
       "--in FILE --with FILE",
       "tell whether two transfers carry the same UID (CertAndRequestTransferMatch)",
       {"--in", "--with"},
       {},
       {},
       0,
       0,
       true,
       MatchTransfersCommand},
  };
}

}  // namespace vornak2::host
