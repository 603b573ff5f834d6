// Remote key renewal in two steps around a round trip to the certification authority.
//
// Start: a new key pair is generated in the renewal directory D; its request goes to the host as
// a transfer signed with the current key, and the new secret key waits in D/"key.dat", behind the
// label number + ".sec" and encrypted for the current user. D/"pub.pub" keeps the request for the
// reports. The new key files are removed from D on every path, so no secret key is left there in
// clear; the working key set does not change.
//
// Finish: the authority's transfer brings the certificate (D/c + ".crt", c the last character of
// the new UID). The waiting key is decrypted into the secret-key directory, the certificate
// installed as the own one, and only then is "key.dat" deleted: a finish that fails anywhere
// leaves "key.dat" for the next attempt and puts back whatever it had changed. No secret key file
// is overwritten: one of the new key's number is moved to the first free name number.old,
// number.old.1, ... first.
#include <mutex>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "ccom/library_lock.h"
#include "support/files.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

constexpr const char* kKeyFile = "key.dat";
constexpr const char* kPendingRequest = "pub.pub";

// The name a renewed certificate file keeps: the name without its last three characters, "old".
std::string OldCertificateName(const std::string& path) {
  return path.substr(0, path.size() >= 3 ? path.size() - 3 : 0) + "old";
}

// Reads a whole small file into a buffer that wipes itself, with `room` more bytes after the
// data; nullopt when the file cannot be read.
std::optional<SecretBytes> ReadSecretFile(const std::string& path, std::size_t room,
                                          std::int32_t& size) {
  const auto fileSize = FileSize(path);
  if (!fileSize || *fileSize > static_cast<std::uint64_t>(INT32_MAX) - room) return std::nullopt;
  SecretBytes buffer(static_cast<std::size_t>(*fileSize) + room);
  size = static_cast<std::int32_t>(*fileSize);
  if (!ReadFileToBuffer(path, buffer.data(), size)) return std::nullopt;
  return buffer;
}

// Deletes the files of a generated key pair when the start step leaves, whatever the outcome.
class GeneratedKeyFiles {
 public:
  GeneratedKeyFiles(std::string secretKey, std::string request)
      : secretKey_(std::move(secretKey)), request_(std::move(request)) {}
  GeneratedKeyFiles(const GeneratedKeyFiles&) = delete;
  GeneratedKeyFiles& operator=(const GeneratedKeyFiles&) = delete;
  ~GeneratedKeyFiles() { Remove(); }
  // Deletes both files now (each deletion tried twice: a secret key must not stay in clear
  // for a passing fault); false when one of them is still there.
  bool Remove() {
    auto gone = [](std::string& file) {
      const bool ok = file.empty() || DeleteFile(file) || DeleteFile(file) || !FileExists(file);
      file.clear();
      return ok;
    };
    const bool secretGone = gone(secretKey_);
    return gone(request_) && secretGone;
  }

 private:
  std::string secretKey_;
  std::string request_;
};

}  // namespace

// ---- the four exports ----

std::int32_t TCcom22Engine::RemoteGenerateStart(char* transfer) {
  std::vector<char> uid(static_cast<std::size_t>(GetMaxUIDLength()) + 1, '\0');
  if (const std::int32_t r = GetCurrentUserUID(uid.data()); r != kOk) return r;
  return InternalRemoteGenerateStart(transfer, uid.data());
}

std::int32_t TCcom22Engine::RemoteGenerateFinish(const char* transfer) {
  return InternalRemoteGenerateFinish(transfer);
}

namespace {

// The mode rule of the two Ex exports: a caller that passes 0 learns through mode 2, with the
// result 0, that the local key set is not in place; any other caller gets the plain code.
template <typename Step>
std::int32_t WithMode(std::int32_t* mode, Step step) {
  const bool asked = mode != nullptr && *mode == 0;
  const std::int32_t result = step();
  if (asked && (result == kFileOperationFailed || result == kBadSecretPath ||
                result == kCertificateFileNotFound || result == kNoCertificateDir)) {
    *mode = 2;
    return kOk;
  }
  if (result == kOk && mode != nullptr) *mode = 1;
  return result;
}

}  // namespace

std::int32_t TCcom22Engine::RemoteGenerateStartEx(const char* uid, char* transfer,
                                                  std::int32_t* mode) {
  if (ParamValue(kParamCurrentUserCertificate).empty()) return kCertificateFileNotFound;
  return WithMode(mode,
                  [&] { return InternalRemoteGenerateStart(transfer, uid != nullptr ? uid : ""); });
}

std::int32_t TCcom22Engine::RemoteGenerateFinishEx(const char* transfer, std::int32_t* mode) {
  if (ParamValue(kParamCurrentUserCertificate).empty()) return kCertificateFileNotFound;
  return WithMode(mode, [&] { return InternalRemoteGenerateFinish(transfer); });
}

// ---- the start step ----

std::int32_t TCcom22Engine::InternalRemoteGenerateStart(char* transfer, const std::string& uid) {
  const std::string& renewalDir = RemoteGeneratePath();
  if (renewalDir.empty() || !DirExists(ExpandDirPath(renewalDir))) return kBadRemoteGenerationDir;
  const std::string certFile = ExpandRootPath(GetCurrentCertFile());
  if (!FileExists(certFile)) return kCertificateFileNotFound;
  if (!DirExists(ExpandDirPath(ParamValue(kParamPublicPath)))) return kNoCertificateDir;
  if (!DirExists(ExpandDirPath(ParamValue(kParamSecretPath)))) return kBadSecretPath;
  std::string ownUid;
  if (const std::int32_t r = GetCryptoAPI(certFile, ownUid); r != kOk) return r;
  if (ownUid.empty()) return kNoUidInCertificate;
  const std::string newUid = uid.empty() ? ownUid + "0" : uid;

  return Guarded("InternalRemoteGenerateStart: ", [&]() -> std::int32_t {
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != kOk) return r;
    KeyGenerationArgs args;
    if (const std::int32_t r = KeyGenerationFor(s, ownUid, newUid, args); r != kOk) return r;
    const std::string dir = ExpandDirPath(renewalDir);
    if (!DirExists(dir)) return kBadKeyGenDir;
    args.outputDir = dir;

    std::int32_t number = -1;
    std::int32_t generated = kOk;
    {
      LibraryGuard lock(LibraryWork::Exclusive, *binding_);
      if (const std::int32_t r = PrepareKeyCacheFor(s, ownUid); r != kOk) return r;
      generated = binding_->GenerateKeys(args, number);
    }
    // From here on the new key files leave the renewal directory on every path (a secret key
    // file is written also when only the request could not be).
    const std::string request = dir + newUid.back() + ".pub";
    const std::string secretKey = dir + std::to_string(number) + ".sec";
    GeneratedKeyFiles cleanup(number >= 0 ? secretKey : std::string(), request);
    if (generated != kOk) return generated;

    std::int32_t length = 0;
    if (const std::int32_t r = PreparePublicKeyTransfer(newUid, transfer, request, length);
        r != kOk)
      return r;

    // The work buffer holds the label, its zero, the key file and the encryption's growth.
    const std::string label = std::to_string(number) + ".sec";
    const std::size_t room = label.size() + 1 + static_cast<std::size_t>(GetMaxEncodeAddition());
    std::int32_t size = 0;
    auto work = ReadSecretFile(secretKey, room, size);
    if (!work) return kRemoteGenerationDirFailed;
    if (const std::int32_t r = EncodeAfterLabel(label.c_str(), work->data(), &size, ownUid.c_str());
        r != kOk)
      return r;
    if (!WriteBufferToFile(dir + kKeyFile, work->data(), size, /*ownerOnly=*/true))
      return kRemoteGenerationDirFailed;
    // The request is kept for the reports once the step has succeeded, so that "pub.pub" always
    // belongs to the waiting "key.dat". A step that cannot keep it, or cannot remove the secret
    // key in clear, has failed: "key.dat" goes again.
    if (!CopyFileContents(request, dir + kPendingRequest) || !cleanup.Remove()) {
      DeleteFile(dir + kKeyFile);
      DeleteFile(dir + kPendingRequest);
      return kRemoteGenerationDirFailed;
    }
    return kOk;
  });
}

// ---- the finish step ----

std::int32_t TCcom22Engine::InternalRemoteGenerateFinish(const char* transfer) {
  Timeouts timeouts;
  if (const std::int32_t r = ReadTimeouts(timeouts.keyRequest, timeouts.lastOperation); r != kOk)
    return r;
  const std::string certFile = ExpandRootPath(GetCurrentCertFile());
  if (!FileExists(certFile)) return kCertificateFileNotFound;
  const std::string publicPath = ExpandDirPath(ParamValue(kParamPublicPath));
  if (!DirExists(publicPath)) return kNoCertificateDir;
  const std::string secretPath = ExpandDirPath(ParamValue(kParamSecretPath));
  if (!DirExists(secretPath)) return kBadSecretPath;
  std::vector<char> oldUid(static_cast<std::size_t>(GetMaxUIDLength()) + 1, '\0');
  if (const std::int32_t r = GetCurrentUserUID(oldUid.data()); r != kOk) return r;
  const std::string& dir = RemoteGeneratePath();
  if (dir.empty()) return kBadRemoteGenerationDir;
  if (transfer == nullptr) return kNullPointer;
  std::vector<char> newUidBuffer(static_cast<std::size_t>(GetMaxUIDLength()) + 1, '\0');
  if (const std::int32_t r = GetUIDByPublicKeyTransfer(transfer, newUidBuffer.data()); r != kOk)
    return r;
  const std::string newUid = newUidBuffer.data();
  if (newUid.empty()) return kNoUidInCertificate;
  if (const std::int32_t r = SavePublicKeyFromTransfer(dir.c_str(), transfer); r != kOk) return r;
  const std::string certificate = dir + newUid.back() + ".crt";
  if (!FileExists(certificate)) return kCertificateFileNotFound;
  // The certificate is moved into place by a finish that completes; any other leaves none.
  struct RemoveCertificateFile {
    const std::string& file;
    ~RemoveCertificateFile() { DeleteFile(file); }
  } removeCertificate{certificate};
  if (!DirExists(secretPath)) return kBadSecretPath;

  // "key.dat" is read here and deleted only when the renewal is complete.
  const std::string keyFile = dir + kKeyFile;
  std::int32_t total = 0;
  auto work = ReadSecretFile(keyFile, 0, total);
  if (!work) return kRemoteGenerationDirFailed;
  void* secretKey = nullptr;
  std::int32_t secretKeySize = 0;
  if (const std::int32_t r = DecodeAfterLabel(work->data(), total, &secretKey, &secretKeySize);
      r != kOk)
    return r;

  LibraryGuard libraryLock(LibraryWork::Exclusive, *binding_);
  std::lock_guard uidLock(CertUIDCacheLock());
  // The current certificate file is about to hold the new certificate: its cached UID becomes the
  // new UID now, and goes back to what it was when the finish does not complete. It is set even
  // when no entry is cached (another engine may have cleared the cache since the old UID was
  // read): the file's UID read now would be the old one, and would stay cached after the finish.
  const std::optional<std::string> previousUid = ReplaceCachedCertUID(certFile, newUid);
  bool complete = false;
  struct RestoreUid {
    const std::string& file;
    const std::optional<std::string>& uid;
    const bool& complete;
    ~RestoreUid() {
      if (complete) return;
      if (uid)
        SetCachedCertUID(file, *uid);
      else
        ForgetCachedCertUID(file);
    }
  } restoreUid{certFile, previousUid, complete};
  std::string uid;
  if (const std::int32_t r = GetCryptoAPI(certFile, uid); r != kOk) return r;
  if (uid.empty()) return kNoUidInCertificate;

  return Guarded("InternalRemoteGenerateFinish: ", [&]() -> std::int32_t {
    const std::int32_t number = binding_->GetCertificateKeyNumber(certificate);
    if (number < 0) return kCertificateNotInStore;
    const std::string target = secretPath + std::to_string(number) + ".sec";
    std::string parked;
    if (FileExists(target)) {
      parked = FreeOldKeyName(secretPath, number);
      if (!RenameNoReplace(target, parked)) return kNewSecretKeyWriteFailed;
    }
    // Puts the secret-key directory back as it was; the new key is still in "key.dat".
    auto undo = [&] {
      DeleteFile(target);
      if (!parked.empty()) RenameNoReplace(parked, target);
      binding_->ClearKeyCache();
    };
    if (!WriteBufferToFile(target, secretKey, secretKeySize, /*ownerOnly=*/true) ||
        !binding_->AddToKeyCache(uid, "", publicPath, target, timeouts.keyRequest,
                                 timeouts.lastOperation)) {
      undo();
      return kNewSecretKeyWriteFailed;
    }
    if (const std::int32_t r = InstallCertificate(certificate, timeouts, true); r != kOk) {
      undo();
      return r;
    }
    complete = true;
    // A new UID: the previous certificate goes into the store under the previous UID.
    if (uid != oldUid.data()) InstallCertificate(OldCertificateName(certFile), timeouts, false);
    binding_->ClearKeyCache();
    DeleteFile(keyFile);
    return kOk;
  });
}

}  // namespace vornak2
