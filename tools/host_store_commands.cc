// vornak2-host: the commands of the certificate store, key generation and public-key transfers.
// Transfers are read from and written to files; "-" stands for standard input or output (the
// command's report then goes to standard error, so that the output is the transfer alone).
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "host_commands.h"
#include "host_store_ops.h"

namespace vornak2::host {

namespace {

// Where a command reports: standard output, which is standard error when the command's output
// is standard output (see SetUpStreams).
std::FILE* ReportStream(const std::string&) {
  return stdout;
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

// The session of the command line with the transfer named by --in read first.
template <typename Body>
int WithTransfer(const Library& library, const Invocation& call, Body body) {
  return WithSession(library, call, [&](const Session& session) {
    const auto transfer = ReadTransferInput(call.Option("--in"));
    if (!transfer) return kExitFailed;
    return body(session, *transfer);
  });
}

int Exit(bool ok) {
  return ok ? kExitSuccess : kExitFailed;
}

int InstallCertCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string& file = call.args[0];
    std::printf("install %s into the certificate store (the file is moved there)\n", file.c_str());
    // The file leaves its directory.
    std::error_code error;
    const DiskChanges changes = session.WatchKeySet(
        {{std::filesystem::absolute(file, error).parent_path().string(), 0}});
    const std::int32_t code = engine.api().IncludePublicKey(engine.handle(), file.c_str());
    return Exit(session.Report("IncludePublicKey", code, stdout, &changes));
  });
}

int RemoveCertCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string& uid = call.args[0];
    std::printf("remove the certificate of %s from the store\n", uid.c_str());
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code = engine.api().RemoveCertificate(engine.handle(), uid.c_str());
    return Exit(session.Report("RemoveCertificate", code, stdout, &changes));
  });
}

int RefreshCertCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string& uid = call.args[0];
    std::printf("read the stored certificate of %s again\n", uid.c_str());
    return Exit(session.Report("UpdateCertificateCash",
                               engine.api().UpdateCertificateCash(engine.handle(), uid.c_str())));
  });
}

int ClearCacheCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    session.engine().api().ClearCash(session.engine().handle());
    std::printf("ClearCash: the UID and key-file caches are empty\n");
    return kExitSuccess;
  });
}

int GenerateKeysCommand(const Library& library, const Invocation& call) {
  Invocation withSettings = call;
  if (!call.Option("--dir").empty())
    withSettings.setup.AddParam(kParamKeyGenDir, call.Option("--dir"));
  if (!call.Option("--subject").empty())
    withSettings.setup.AddParam(kParamKeyGenSubject, call.Option("--subject"));
  return WithSession(library, withSettings, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string subject = engine.ParamValue(kParamKeyGenSubject);
    std::printf("generate a key pair for %s in %s\n",
                subject.empty() ? "the current user" : subject.c_str(),
                engine.ParamValue(kParamKeyGenDir).c_str());
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code = engine.api().GenerateNewSSK(engine.handle());
    return Exit(session.Report("GenerateNewSSK", code, stdout, &changes));
  });
}

// The three ways to write a transfer share their output handling.
template <typename Make>
int TransferCommand(const Library& library, const Invocation& call, const std::string& what,
                    const char* operation, Make make) {
  return WithSession(library, call, [&](const Session& session) {
    const std::string out = call.Option("--out");
    std::FILE* report = ReportStream(out);
    std::fprintf(report, "write the transfer of %s\n", what.c_str());
    std::string transfer;
    if (!session.Report(operation, make(session.engine(), transfer), report)) return kExitFailed;
    return WriteTransferOutput(out, transfer);
  });
}

int TransferOwnCommand(const Library& library, const Invocation& call) {
  return TransferCommand(library, call, "the own certificate", "ExcludeSelfPublicKeyTransfer",
                         [](const Engine& e, std::string& t) { return OwnTransfer(e, t); });
}

int TransferUserCommand(const Library& library, const Invocation& call) {
  return TransferCommand(
      library, call, "the stored certificate of " + call.args[0], "GetPublicKeyTransfer",
      [&](const Engine& e, std::string& t) { return UserTransfer(e, call.args[0], t); });
}

int TransferFileCommand(const Library& library, const Invocation& call) {
  return TransferCommand(
      library, call, call.args[0], "GetPublicKeyTransferByFile",
      [&](const Engine& e, std::string& t) { return FileTransfer(e, call.args[0], t); });
}

int TransferUidCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Session& session, const std::string& transfer) {
    std::string uid;
    if (!session.Report("GetUIDByPublicKeyTransfer", TransferUid(session.engine(), transfer, uid)))
      return kExitFailed;
    std::printf("uid: %s\n", uid.c_str());
    return kExitSuccess;
  });
}

int SaveTransferCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Session& session, const std::string& transfer) {
    const Engine& engine = session.engine();
    const std::string dir = call.Option("--dir");
    // The tool's configuration is not a place for a correspondent's file.
    if (IsConfigPlace(call.setup.root, dir)) {
      std::fprintf(stderr,
                   "vornak2-host: %s is the tool's configuration directory: a transfer's file "
                   "cannot be saved there\n",
                   dir.c_str());
      return kExitFailed;
    }
    std::printf("save the file a transfer carries into %s\n", dir.c_str());
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code =
        engine.api().SavePublicKeyFromTransfer(engine.handle(), dir.c_str(), transfer.c_str());
    return Exit(session.Report("SavePublicKeyFromTransfer", code, stdout, &changes));
  });
}

int IncludeTransferCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Session& session, const std::string& transfer) {
    const Engine& engine = session.engine();
    std::printf("install the certificate a transfer carries (through %s)\n",
                engine.ParamValue(kParamTemplateDir).c_str());
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code =
        engine.api().IncludePublicKeyTransfer(engine.handle(), transfer.c_str());
    return Exit(session.Report("IncludePublicKeyTransfer", code, stdout, &changes));
  });
}

int IncludeAuthorityCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Session& session, const std::string& transfer) {
    const Engine& engine = session.engine();
    std::printf("install the authority certificate a transfer carries\n");
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code =
        engine.api().IncludeCACertificateFromTransfer(engine.handle(), transfer.c_str());
    return Exit(session.Report("IncludeCACertificateFromTransfer", code, stdout, &changes));
  });
}

int MatchTransfersCommand(const Library& library, const Invocation& call) {
  return WithTransfer(library, call, [&](const Session& session, const std::string& first) {
    const auto second = ReadTransferInput(call.Option("--with"));
    if (!second) return kExitFailed;
    bool same = false;
    if (!session.Report("CertAndRequestTransferMatch",
                        TransfersMatch(session.engine(), first, *second, same)))
      return kExitFailed;
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
      {.name = "install-cert",
       .synopsis = "FILE",
       .summary = "install a correspondent's certificate into the store",
       .help = "Installs the certificate FILE into the certificate store under the path of its\n"
               "UID (IncludePublicKey). The file is moved there, not copied; a certificate it\n"
               "replaces is kept beside it with the extension .old.\n",
       .minArgs = 1,
       .maxArgs = 1,
       .run = InstallCertCommand},
      {.name = "remove-cert",
       .synopsis = "UID",
       .summary = "remove a correspondent's certificate from the store",
       .help = "Deletes UID's certificate from the certificate store and forgets it\n"
               "(RemoveCertificate). The own certificate is never removed.\n",
       .minArgs = 1,
       .maxArgs = 1,
       .run = RemoveCertCommand},
      {.name = "refresh-cert",
       .synopsis = "UID",
       .summary = "read a stored certificate into the key-file cache again",
       .help = "Reads UID's certificate in the store into the key-file cache again\n"
               "(UpdateCertificateCash), for a store file that changed on disk.\n",
       .minArgs = 1,
       .maxArgs = 1,
       .run = RefreshCertCommand},
      {.name = "clear-cache",
       .synopsis = "",
       .summary = "empty the UID and key-file caches",
       .help = "Empties the path-to-UID cache and the key-file cache (ClearCash); the next\n"
               "operation reads every key and certificate file again.\n",
       .run = ClearCacheCommand},
      {.name = "generate-keys",
       .synopsis = "[--dir DIR] [--subject UID]",
       .summary = "generate a key pair and its certificate request",
       .help = "Generates a key pair (GenerateNewSSK) into DIR (parameter 14, Key gen - Dir,\n"
               "which must exist): the secret key N.sec, readable by its owner only, and the\n"
               "request C.pub (C the last character of the UID) that an authority certifies.\n"
               "The subject is --subject (parameter 13), or the current user, whose next key\n"
               "number the new key then takes.\n",
       .optional = {"--dir", "--subject"},
       .run = GenerateKeysCommand},
      {.name = "transfer-own",
       .synopsis = "--out FILE|-",
       .summary = "write the transfer of the own certificate",
       .help = "Writes the public-key transfer of the current user's own certificate\n"
               "(ExcludeSelfPublicKeyTransfer): a Base64 text that carries the file, signed\n"
               "with the current key. - writes it to standard output.\n",
       .required = {"--out"},
       .run = TransferOwnCommand},
      {.name = "transfer-user",
       .synopsis = "UID --out FILE|-",
       .summary = "write the transfer of a stored certificate",
       .help = "Writes the transfer of UID's certificate in the store (GetPublicKeyTransfer),\n"
               "signed with the current key: how a party vouches for a certificate it holds.\n",
       .required = {"--out"},
       .minArgs = 1,
       .maxArgs = 1,
       .run = TransferUserCommand},
      {.name = "transfer-file",
       .synopsis = "FILE --out FILE|-",
       .summary = "write the transfer of a certificate or request file",
       .help = "Writes the transfer of a certificate, authority certificate or request file\n"
               "(GetPublicKeyTransferByFile), signed with the current key.\n",
       .required = {"--out"},
       .minArgs = 1,
       .maxArgs = 1,
       .run = TransferFileCommand},
      {.name = "transfer-uid",
       .synopsis = "--in FILE|-",
       .summary = "print the UID a transfer carries",
       .help = "Checks the transfer's signature and prints the UID it carries\n"
               "(GetUIDByPublicKeyTransfer). The signer's certificate must be in the store.\n",
       .required = {"--in"},
       .run = TransferUidCommand},
      {.name = "save-transfer",
       .synopsis = "--in FILE|- --dir DIR",
       .summary = "write the file a transfer carries into a directory",
       .help = "Checks the transfer's signature and writes the file it carries into DIR under\n"
               "the last component of its name (SavePublicKeyFromTransfer).\n",
       .required = {"--in", "--dir"},
       .run = SaveTransferCommand},
      {.name = "include-transfer",
       .synopsis = "--in FILE|-",
       .summary = "install the certificate a transfer carries",
       .help = "Checks the transfer's signature, writes the certificate it carries into the\n"
               "template directory (parameter 15) and installs it into the store from there\n"
               "(IncludePublicKeyTransfer).\n",
       .required = {"--in"},
       .run = IncludeTransferCommand},
      {.name = "include-authority",
       .synopsis = "--in FILE|-",
       .summary = "install the authority certificate a transfer carries",
       .help = "Checks the transfer's signature and installs the authority certificate it\n"
               "carries (a file N.aut) into the secret-key directory under the authority's\n"
               "UID (IncludeCACertificateFromTransfer). An authority certificate already\n"
               "there is never replaced.\n",
       .required = {"--in"},
       .run = IncludeAuthorityCommand},
      {.name = "match-transfers",
       .synopsis = "--in FILE --with FILE",
       .summary = "tell whether two transfers carry the same UID",
       .help = "Checks both transfers' signatures and tells whether they carry the same UID\n"
               "(CertAndRequestTransferMatch).\n",
       .required = {"--in", "--with"},
       .run = MatchTransfersCommand},
  };
}

}  // namespace vornak2::host
