// The certificate store and key management: correspondents' certificates enter the store under
// their UID's path and leave it again, the two caches in front of the store are refreshed and
// cleared, and new key pairs are generated.
//
// A certificate that installation replaces keeps the ".old" name beside it ("0.crt" becomes
// "0.old"). Each change holds the locks of the key set's directories and is made as one
// FileChange, so that another process never finds the store without the certificate, and a
// stop leaves either the old files or the new ones.
#include <mutex>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "ccom/key_set.h"
#include "ccom/library_lock.h"
#include "platform/platform.h"
#include "support/files.h"

namespace vornak2 {
namespace {

// A key-generation number: the default when empty, otherwise a signed 32-bit decimal number.
bool KeyGenNumber(const std::string& value, std::int32_t fallback, std::int32_t& out) {
  if (value.empty()) {
    out = fallback;
    return true;
  }
  return ParamInteger(value, out);
}

}  // namespace

std::int32_t TCcom22Engine::KeyGenerationFor(const OperationSettings& s,
                                             const std::string& currentUid,
                                             const std::string& newUid,
                                             KeyGenerationArgs& args) const {
  if (!KeyGenNumber(ParamValue(kParamKeyGenSecretKeyLength), 1024, args.first) ||
      !KeyGenNumber(ParamValue(kParamKeyGenPublicKeyLength), 256, args.second) ||
      !KeyGenNumber(ParamValue(kParamKeyGenExpirePeriod), 730, args.period))
    return kBadKeyGenSettings;
  args.newUid = newUid;
  args.currentKeyPath = s.certFile;
  args.certDir = s.publicPath;
  args.secretDir = s.secretPath;
  args.currentUid = currentUid;
  args.cipher = s.cipher;
  args.hash = s.hash;
  args.randomFile = s.randomFile;
  args.checkValidity = s.checkValidity;
  args.randomKind = s.hardwareRandom;
  return kOk;
}

std::int32_t TCcom22Engine::IncludePublicKey(const char* fileName) {
  Timeouts timeouts;
  std::string uid;
  if (const std::int32_t r = StartWithTimeouts(uid, timeouts); r != kOk) return r;
  std::optional<DirectoryLocks> locks;
  if (const std::int32_t r = LockForChange(locks); r != kOk) return r;
  LibraryGuard lock(LibraryWork::Exclusive, *binding_);
  return InstallCertificate(ExpandRootPath(fileName != nullptr ? fileName : ""), timeouts);
}

std::string TCcom22Engine::StoreChangeHome() const {
  const std::string secretPath = ExpandDirPath(ParamValue(kParamSecretPath));
  return DirExists(secretPath) ? secretPath : ExpandDirPath(ParamValue(kParamPublicPath));
}

std::int32_t TCcom22Engine::InstallCertificate(const std::string& path, const Timeouts& timeouts) {
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != kOk) return r;
  return Guarded("IncludePublicKey ", [&]() -> std::int32_t {
    const std::string certUid = binding_->GetCertificateUID(path);
    if (certUid.empty()) return kNoUidInCertificate;
    return StoreCertificate(uid, certUid, timeouts, &path, {});
  });
}

std::int32_t TCcom22Engine::StoreCertificate(const std::string& uid, const std::string& certUid,
                                             const Timeouts& timeouts, const std::string* source,
                                             std::span<const std::uint8_t> content) {
  const std::string publicPath = ExpandDirPath(ParamValue(kParamPublicPath));
  if (!ForceCertDirs(certUid)) return kFileOrUidError;
  const std::string target = CertPathByUID(certUid, publicPath);
  if (target.empty()) return kBadUid;
  // The file that already is the target is only registered: moving it aside first would lose
  // it. The target's own ".old" file is not installed over it either, for the same reason.
  if (source == nullptr || !SameFile(*source, target)) {
    if (source != nullptr && SameFile(*source, OldFileName(target))) return kFileOrUidError;
    FileChange change(StoreChangeHome());
    if (source != nullptr)
      PlanInstallation(change, publicPath, target, *source);
    else
      PlanInstallation(change, publicPath, target, content);
    // A given file goes once the store holds it; when it cannot go, the store is put back as it
    // was, so that a failure leaves the file where it was and the store unchanged.
    if (source != nullptr) change.RemoveGiven(*source, target);
    if (!change.Prepare() || !change.Commit()) return kFileOrUidError;
  }
  return binding_->AddToKeyCache(uid, certUid, publicPath, target, timeouts.keyRequest,
                                 timeouts.lastOperation)
             ? kOk
             : kFileOrUidError;
}

bool TCcom22Engine::ForceCertDirs(const std::string& uid) {
  const std::string root = ExpandDirPath(ParamValue(kParamPublicPath));
  if (uid.empty() || root.empty() || !DirExists(root)) return false;
  const std::vector<std::string> dirs = CertDirsByUID(uid, root);
  if (dirs.empty()) return false;
  for (const std::string& dir : dirs) {
    if (!ForceDirs(dir)) return false;
  }
  return DirExists(dirs.back());
}

std::int32_t TCcom22Engine::UpdateCertificateCash(const char* uid) {
  Timeouts timeouts;
  std::string current;
  if (const std::int32_t r = StartWithTimeouts(current, timeouts); r != kOk) return r;
  return Guarded("UpdateCertificateCash: ", [&]() -> std::int32_t {
    // Changes to what the key-file cache holds wait for the data operations that rely on it.
    LibraryGuard lock(LibraryWork::Exclusive, *binding_);
    const std::string given = uid != nullptr ? uid : "";
    const std::string publicPath = ExpandDirPath(ParamValue(kParamPublicPath));
    const std::string file = CertPathByUID(given, publicPath);
    if (file.empty()) return kBadUid;
    if (!FileExists(file)) return kCertificateOrRequestUnreadable;
    return binding_->AddToKeyCache(current, given, publicPath, file, timeouts.keyRequest,
                                   timeouts.lastOperation)
               ? kOk
               : kCertificateNotInStore;
  });
}

void TCcom22Engine::ClearCash() {
  std::string uid;
  if (StandardStart(uid) != kOk) return;
  // Only the caches: the random state the binding writes back is one file, replaced where it lies,
  // and no lock is waited for.
  LibraryGuard lock(LibraryWork::Exclusive, *binding_);
  ClearCertUIDCache();
  binding_->ClearKeyCache();
}

std::int32_t TCcom22Engine::RemoveCertificate(const char* uid) {
  if (uid == nullptr || *uid == '\0') return kNullPointer;
  std::string current;
  if (const std::int32_t r = StandardStart(current); r != kOk) return r;
  if (current == uid) return kCannotRemoveOwnCertificate;
  std::optional<DirectoryLocks> locks;
  if (const std::int32_t r = LockForChange(locks); r != kOk) return r;
  LibraryGuard lock(LibraryWork::Exclusive, *binding_);
  const std::string file = CertPathByUID(uid, ExpandDirPath(ParamValue(kParamPublicPath)));
  if (file.empty() || !DeleteFile(file)) return kVendorDeleteFile;
  platform::SyncDirectory(DirectoryPart(file));
  return Guarded("RemoveCertificate: ", [&] {
    return binding_->RemoveFromKeyCache(current, file) ? kOk : kFileOrUidError;
  });
}

std::int32_t TCcom22Engine::GenerateNewSSK() {
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != kOk) return r;
  return Guarded("GenerateNewSSK ", [&]() -> std::int32_t {
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != kOk) return r;
    const std::string& subjectParam = ParamValue(kParamKeyGenSubject);
    const std::string subject = subjectParam.empty() ? uid : subjectParam;
    KeyGenerationArgs args;
    if (const std::int32_t r = KeyGenerationFor(s, uid, subject, args); r != kOk) return r;
    args.outputDir = ExpandDirPath(ParamValue(kParamKeyGenDir));
    if (!DirExists(args.outputDir)) return kBadKeyGenDir;

    std::optional<DirectoryLocks> locks;
    if (const std::int32_t r = LockForChange(locks, {args.outputDir}); r != kOk) return r;
    LibraryGuard lock(LibraryWork::Exclusive, *binding_);
    // The current key set is read only when the new key continues it.
    if (subject == uid) {
      if (const std::int32_t r = PrepareKeyCacheFor(s, uid); r != kOk) return r;
    }
    std::int32_t keyNumber = -1;
    return binding_->GenerateKeys(args, keyNumber);
  });
}

}  // namespace vornak2
