// vornak2-host: the commands of the certificate store, key generation and public-key transfers.
// Transfers are read from and written to files; "-" stands for standard input or output (the
// command's report then goes to standard error, so that the output is the transfer alone).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "host_commands.h"
#include "host_explain.h"
#include "host_fingerprint.h"
#include "host_io.h"
#include "host_store_ops.h"
#include "platform/platform.h"

namespace vornak2::host {

namespace {

// Where a command reports: standard output, which is standard error when the command's output
// is standard output (see SetUpStreams).
std::FILE* ReportStream(const std::string&) {
  return stdout;
}

int WriteTransferOutput(const std::string& path, const std::string& transfer) {
  std::string problem;
  if (!WriteTransferText(path, transfer, problem)) return FileFailure(problem);
  Result().Add("out", path).Add("characters", static_cast<std::int64_t>(transfer.size()));
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

// The key set whose own certificate `file` is, if any: the engine's current certificate
// (parameter 19), ROOT/NAME/self.crt of a user of the root, or a self.crt beside a secret-key
// directory sec/. The same file under any other name or link counts too.
std::optional<std::string> KeySetCertificate(const Session& session, const Invocation& call,
                                             const std::string& file) {
  const auto& root = call.setup.root;
  const std::string current = ExpandRoot(root, session.engine().ParamValue(kParamUserCertificate));
  if (platform::SameFile(file, current)) return current;
  if (root) {
    if (const auto users = platform::ListDirectory(*root))
      for (const platform::DirEntry& user : *users) {
        const std::string own = *root + kSep + user.name + kSep + "self.crt";
        if (user.isDirectory && platform::SameFile(file, own)) return own;
      }
  }
  const std::filesystem::path path(file);
  if (path.filename() == "self.crt" && platform::IsDirectory((path.parent_path() / "sec").string()))
    return file;
  return std::nullopt;
}

// A copy of a certificate file that IncludePublicKey may move into the store, in a new private
// directory of the tool's own: ROOT/.vornak2-host/incoming-TOKEN/ (held under the tool's lock,
// so that no other invocation takes it for a stopped one's), or a directory of that name in the
// system's temporary directory without a root. No one else's file is touched; the copy and the
// directory go when the object does, and when the command is interrupted.
class InstallCopy {
 public:
  InstallCopy() = default;
  InstallCopy(const InstallCopy&) = delete;
  InstallCopy& operator=(const InstallCopy&) = delete;
  ~InstallCopy() {
    if (dir_.empty()) return;
    platform::RemoveFile(copy_);
    // Whatever else is in it came with the installation (the directory's name is known to no one
    // else).
    if (const auto entries = platform::ListDirectory(dir_))
      for (const platform::DirEntry& entry : *entries)
        if (!entry.isDirectory) platform::RemoveFile(dir_ + kSep + entry.name);
    std::error_code ignored;
    std::filesystem::remove(dir_, ignored);
  }

  bool Make(const std::optional<std::string>& root, const std::string& file, std::string& problem) {
    if (const auto why = InputProblem(file, kMaxCertificateFile)) {
      problem = *why;
      return false;
    }
    const auto bytes = platform::ReadWholeFile(file, kMaxCertificateFile);
    if (!bytes) {
      problem = "cannot read " + file;
      return false;
    }
    std::string parent;
    if (root) {
      if (!MakeConfigDirs(*root, "", problem) ||
          !lock_.Lock(ConfigDirOf(*root), std::chrono::seconds(10), problem))
        return false;
      parent = ConfigDirOf(*root);
    } else {
      std::error_code error;
      parent = std::filesystem::temp_directory_path(error).string();
      if (error) {
        problem = "no temporary directory for a copy of " + file + ": " + error.message();
        return false;
      }
    }
    const std::string dir = parent + kSep + NewIncomingDirName();
    dirGuard_ = RemoveOnInterrupt(dir, RemoveOnInterrupt::Kind::kDirectory);
    // A new name (its token is random): nothing that is there already is taken for it.
    if (platform::PathExists(dir) || !platform::MakeDirectory(dir)) {
      problem = "cannot make a private directory for a copy of " + file + ": " + OutputProblem(dir);
      return false;
    }
    dir_ = dir;
    copy_ = dir + kSep + std::filesystem::path(file).filename().string();
    copyGuard_ = RemoveOnInterrupt(copy_, RemoveOnInterrupt::Kind::kFile);
    if (!platform::WriteNewFile(copy_, *bytes)) {
      problem = "cannot copy " + file + ": " + OutputProblem(copy_);
      return false;
    }
    return true;
  }
  const std::string& path() const { return copy_; }

 private:
  // What a certificate file can be at most, and more: the library reads 2048 bytes of one.
  static constexpr std::uint64_t kMaxCertificateFile = 1u << 20;
  ToolLock lock_;
  std::string dir_;
  std::string copy_;
  // Registered after the lock, so that they are forgotten before it is released.
  RemoveOnInterrupt dirGuard_;
  RemoveOnInterrupt copyGuard_;
};

int InstallCertCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string& file = call.args[0];
    const bool move = call.Flag("--move");
    Result().Add("file", file).AddFlag("moved", move);
    if (move) {
      // Moving a key set's own certificate would leave its owner unable to sign.
      if (const auto own = KeySetCertificate(session, call, file))
        return FileFailure(file + " is the own certificate of a key set (" + *own +
                           "): it is not moved; leave out --move to install a copy");
      std::printf("install %s into the certificate store (the file is moved there)\n",
                  file.c_str());
      // The file leaves its directory.
      std::error_code error;
      const DiskChanges changes =
          session.WatchKeySet({{std::filesystem::absolute(file, error).parent_path().string(), 0}});
      const std::int32_t code = engine.api().IncludePublicKey(engine.handle(), file.c_str());
      return Exit(session.Report("IncludePublicKey", code, stdout, &changes));
    }
    std::printf("install a copy of %s into the certificate store (%s stays where it is)\n",
                file.c_str(), file.c_str());
    InstallCopy copy;
    std::string problem;
    if (!copy.Make(call.setup.root, file, problem)) return FileFailure(problem);
    const DiskChanges changes = session.WatchKeySet();
    const std::int32_t code = engine.api().IncludePublicKey(engine.handle(), copy.path().c_str());
    return Exit(session.Report("IncludePublicKey", code, stdout, &changes));
  });
}

// The certificate files of the store below `dir`, sorted: *.crt, not the ".old" ones a
// replacement keeps, nor hidden files.
std::vector<std::string> StoreFiles(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(
           dir, std::filesystem::directory_options::skip_permission_denied, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (it->is_regular_file(error) && name.size() > 4 && name.ends_with(".crt") && name[0] != '.')
      files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

int ListCertsCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const std::string store = ExpandRoot(call.setup.root, engine.ParamValue(kParamPublicPath));
    if (!platform::IsDirectory(store))
      return FileFailure("the certificate store " + store + " is not a directory");
    std::printf("the certificate store %s\n", store.c_str());
    Result().Add("store", store);
    std::vector<JsonObject> listed;
    int exit = kExitSuccess;
    for (const std::string& file : StoreFiles(store)) {
      JsonObject entry;
      entry.Add("file", file);
      std::string report;
      const std::int32_t code = FileReport(engine, file, report);
      const auto bytes = platform::ReadWholeFile(file, 1u << 20);
      if (code != 0 || !bytes) {
        std::fflush(stdout);
        std::fprintf(stderr, "vornak2-host: %s: GetPublicKeyPropertiesByFile -> %s\n", file.c_str(),
                     engine.Describe(code).c_str());
        entry.Add("code", std::int64_t{code});
        listed.push_back(entry);
        exit = kExitFailed;
        continue;
      }
      const ReportFields fields = ParseReport(report);
      const auto digest = CertificateDigest(*bytes);
      ResultText("%s  key %s  issuer %s key %s  %s to %s  SHA256 %s\n", fields.uid.c_str(),
                 fields.keyNumber.c_str(), fields.issuer.c_str(), fields.issuerKeyNumber.c_str(),
                 IsoDate(fields.notBefore).c_str(), IsoDate(fields.notAfter).c_str(),
                 FingerprintText(digest, true).c_str());
      entry.Add("uid", fields.uid)
          .AddNumber("key_number", fields.keyNumber)
          .Add("issuer", fields.issuer)
          .AddNumber("issuer_key_number", fields.issuerKeyNumber)
          .Add("not_before", IsoDate(fields.notBefore))
          .Add("not_after", IsoDate(fields.notAfter))
          .Add("sha256", FingerprintText(digest, false));
      listed.push_back(entry);
    }
    Result().AddObjects("certificates", listed);
    return exit;
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
    ResultText("uid: %s\n", uid.c_str());
    Result().Add("uid", uid);
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
    ResultText("%s\n", same ? "the same UID" : "different UIDs");
    Result().AddFlag("same", same);
    return kExitSuccess;
  });
}

}  // namespace

std::optional<std::string> ReadTransferInput(const std::string& path) {
  auto text = ReadTransferText(path);
  if (!text)
    FileFailure("cannot read the transfer " + path + " (a text of at most " +
                std::to_string(kMaxTransferText) + " bytes)");
  return text;
}

std::vector<Command> StoreCommands() {
  return {
      {.name = "install-cert",
       .synopsis = "FILE [--move]",
       .summary = "install a correspondent's certificate into the store",
       .help = "Installs a copy of the certificate FILE into the certificate store under the\n"
               "path of its UID (IncludePublicKey); FILE stays where it is. The copy is made\n"
               "in a private directory of the tool (ROOT/.vornak2-host/incoming-TOKEN/) and\n"
               "never stays behind. With --move the file itself is moved into the store; a\n"
               "key set's own certificate (parameter 19, ROOT/NAME/self.crt, a self.crt beside\n"
               "a sec/ directory) is never moved. A certificate it replaces is kept beside it\n"
               "with the extension .old.\n"
               "--json fields: file, moved, written, removed.\n",
       .flags = {"--move"},
       .minArgs = 1,
       .maxArgs = 1,
       .run = InstallCertCommand},
      {.name = "list-certs",
       .synopsis = "",
       .summary = "list the certificate store with fingerprints",
       .help = "Lists the certificates in the certificate store (parameter 3), one line each:\n"
               "UID, key number, issuer and its key number, validity (UTC, year first) and the\n"
               "SHA-256 fingerprint of the certificate (of its DER bytes, as\n"
               "`openssl x509 -noout -fingerprint -sha256 -in FILE` shows it), read through\n"
               "GetPublicKeyPropertiesByFile. Compare the fingerprint with the owner's by\n"
               "another channel before trusting a certificate.\n"
               "--json fields: store, certificates (a list of {file, uid, key_number, issuer,\n"
               "issuer_key_number, not_before, not_after, sha256}, or {file, code}).\n",
       .run = ListCertsCommand},
      {.name = "remove-cert",
       .synopsis = "UID",
       .summary = "remove a correspondent's certificate from the store",
       .help = "Deletes UID's certificate from the certificate store and forgets it\n"
               "(RemoveCertificate). The own certificate is never removed.\n"
               "--json fields: written, removed.\n",
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
               "number the new key then takes.\n"
               "--json fields: written, removed.\n",
       .optional = {"--dir", "--subject"},
       .run = GenerateKeysCommand},
      {.name = "transfer-own",
       .synopsis = "--out FILE|-",
       .summary = "write the transfer of the own certificate",
       .help = "Writes the public-key transfer of the current user's own certificate\n"
               "(ExcludeSelfPublicKeyTransfer): a Base64 text that carries the file, signed\n"
               "with the current key. - writes it to standard output.\n"
               "--json fields: out, characters.\n",
       .required = {"--out"},
       .run = TransferOwnCommand},
      {.name = "transfer-user",
       .synopsis = "UID --out FILE|-",
       .summary = "write the transfer of a stored certificate",
       .help = "Writes the transfer of UID's certificate in the store (GetPublicKeyTransfer),\n"
               "signed with the current key: how a party vouches for a certificate it holds.\n"
               "--json fields: out, characters.\n",
       .required = {"--out"},
       .minArgs = 1,
       .maxArgs = 1,
       .run = TransferUserCommand},
      {.name = "transfer-file",
       .synopsis = "FILE --out FILE|-",
       .summary = "write the transfer of a certificate or request file",
       .help = "Writes the transfer of a certificate, authority certificate or request file\n"
               "(GetPublicKeyTransferByFile), signed with the current key.\n"
               "--json fields: out, characters.\n",
       .required = {"--out"},
       .minArgs = 1,
       .maxArgs = 1,
       .run = TransferFileCommand},
      {.name = "transfer-uid",
       .synopsis = "--in FILE|-",
       .summary = "print the UID a transfer carries",
       .help = "Checks the transfer's signature and prints the UID it carries\n"
               "(GetUIDByPublicKeyTransfer). The signer's certificate must be in the store.\n"
               "--json fields: uid.\n",
       .required = {"--in"},
       .run = TransferUidCommand},
      {.name = "save-transfer",
       .synopsis = "--in FILE|- --dir DIR",
       .summary = "write the file a transfer carries into a directory",
       .help = "Checks the transfer's signature and writes the file it carries into DIR under\n"
               "the last component of its name (SavePublicKeyFromTransfer).\n"
               "--json fields: written, removed.\n",
       .required = {"--in", "--dir"},
       .run = SaveTransferCommand},
      {.name = "include-transfer",
       .synopsis = "--in FILE|-",
       .summary = "install the certificate a transfer carries",
       .help = "Checks the transfer's signature, writes the certificate it carries into the\n"
               "template directory (parameter 15) and installs it into the store from there\n"
               "(IncludePublicKeyTransfer).\n"
               "--json fields: written, removed.\n",
       .required = {"--in"},
       .run = IncludeTransferCommand},
      {.name = "include-authority",
       .synopsis = "--in FILE|-",
       .summary = "install the authority certificate a transfer carries",
       .help = "Checks the transfer's signature and installs the authority certificate it\n"
               "carries (a file N.aut) into the secret-key directory under the authority's\n"
               "UID (IncludeCACertificateFromTransfer). An authority certificate already\n"
               "there is never replaced.\n"
               "--json fields: written, removed.\n",
       .required = {"--in"},
       .run = IncludeAuthorityCommand},
      {.name = "match-transfers",
       .synopsis = "--in FILE --with FILE",
       .summary = "tell whether two transfers carry the same UID",
       .help = "Checks both transfers' signatures and tells whether they carry the same UID\n"
               "(CertAndRequestTransferMatch).\n"
               "--json fields: same (true or false).\n",
       .required = {"--in", "--with"},
       .run = MatchTransfersCommand},
  };
}

}  // namespace vornak2::host
