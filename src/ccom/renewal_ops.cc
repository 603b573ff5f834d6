// Remote key renewal in two steps around a round trip to the certification authority.
//
// Start: a new key pair is generated in memory for the renewal directory D; its request goes to
// the host as a transfer signed with the current key, and the new secret key waits in
// D/"key.dat", behind the label number + ".sec" and encrypted for the current user: it never
// reaches the disk in clear. D/"pub.pub" keeps the request for the reports. The working key set
// does not change.
//
// Finish: the authority's transfer brings the certificate (named c + ".crt", c the last
// character of the new UID). The waiting key is decrypted into the secret-key directory, the
// certificate installed as the own one (a new UID's previous certificate goes into the store),
// and "key.dat" is deleted, all as one FileChange under the key set's locks: a stop anywhere
// leaves either the old key set with "key.dat" waiting, or the renewed one. No secret key file is
// overwritten: one of the new key's number is kept under the first free name number.old,
// number.old.1, ...
#include <mutex>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "ccom/key_set.h"
#include "ccom/library_lock.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

constexpr const char* kKeyFile = "key.dat";
constexpr const char* kPendingRequest = "pub.pub";

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

// True when the file `path` holds exactly `content`.
bool SameContent(const std::string& path, std::span<const std::uint8_t> content) {
  const auto size = FileSize(path);
  if (!size || *size != content.size()) return false;
  SecretBytes data(content.size() + 1);
  std::int32_t length = static_cast<std::int32_t>(content.size());
  return ReadFileToBuffer(path, data.data(), length) &&
         static_cast<std::size_t>(length) == content.size() &&
         std::memcmp(data.data(), content.data(), content.size()) == 0;
}

// The waiting key's file goes last, once the renewed key set is in place. A stop before leaves
// it beside the renewed key set, and the finish repeated with the same answer only removes it
// then. Its removal is the finish's last act and is not flushed on purpose: a file that a power
// cut brings back is removed the same way, whereas a stop between a removal and its flush would
// leave a finish that is complete but whose repetition finds no waiting key.
void RemoveFinishedRenewal(const std::string& keyFile) {
  DeleteFile(keyFile);
}

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
    std::optional<SecretBytes> secretKey;
    std::string request;
    args.secretKeyOut = &secretKey;
    args.requestOut = &request;

    std::optional<DirectoryLocks> locks;
    if (const std::int32_t r = LockForChange(locks, {dir}); r != kOk) return r;
    std::int32_t number = -1;
    {
      LibraryGuard lock(LibraryWork::Exclusive, *binding_);
      if (const std::int32_t r = PrepareKeyCacheFor(s, ownUid); r != kOk) return r;
      if (const std::int32_t r = binding_->GenerateKeys(args, number); r != kOk) return r;
    }
    if (!secretKey) return kNewSecretKeyNotFound;

    // The request travels under the name a written request has: the last character of the new
    // UID with ".pub", in the renewal directory.
    std::int32_t length = 0;
    if (const std::int32_t r = PrepareTransferOfBytes(
            newUid, transfer, dir + newUid.back() + ".pub",
            std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()),
            length);
        r != kOk)
      return r;

    // The work buffer holds the label, its zero, the key file and the encryption's growth.
    const std::string label = std::to_string(number) + ".sec";
    const std::size_t room = label.size() + 1 + static_cast<std::size_t>(GetMaxEncodeAddition());
    SecretBytes work(secretKey->size() + room);
    std::memcpy(work.data(), secretKey->data(), secretKey->size());
    std::int32_t size = static_cast<std::int32_t>(secretKey->size());
    if (const std::int32_t r = EncodeAfterLabel(label.c_str(), work.data(), &size, ownUid.c_str());
        r != kOk)
      return r;
    // "pub.pub" always belongs to the waiting "key.dat": both are replaced in one change.
    FileChange change(dir);
    change.Write(dir, dir + kKeyFile, std::span(work.data(), static_cast<std::size_t>(size)),
                 /*secret=*/true);
    change.Write(dir, dir + kPendingRequest,
                 std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()));
    return change.Prepare() && change.Commit() ? kOk : kRemoteGenerationDirFailed;
  });
}

// ---- the finish step ----

// With the validity check on, whether the vendor library finds the answer's certificate revoked
// by its authority. Only that answer refuses the finish: a library that knows no revocation, or
// a key set whose cache cannot be prepared now, leaves the finish as it was.
bool TCcom22Engine::AnswerRevoked(const std::string& uid, const std::string& certificate) {
  OperationSettings s;
  if (ReadOperationSettings(s) != kOk || !s.checkValidity || PrepareKeyCacheFor(s, uid) != kOk)
    return false;
  TCComDLL::CertificateCheck check;
  return binding_->CheckCertificateText(uid, s.secretPath, s.publicPath, certificate.c_str(),
                                        check) == kOk &&
         check.status == kVendorRevoked;
}

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
  std::vector<char> oldUidBuffer(static_cast<std::size_t>(GetMaxUIDLength()) + 1, '\0');
  if (const std::int32_t r = GetCurrentUserUID(oldUidBuffer.data()); r != kOk) return r;
  const std::string oldUid = oldUidBuffer.data();
  const std::string& dir = RemoteGeneratePath();
  if (dir.empty()) return kBadRemoteGenerationDir;
  if (transfer == nullptr) return kNullPointer;
  TPublicKeyBlock block;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(transfer, block); r != kOk) return r;
  const std::string& newUid = block.uid;
  if (newUid.empty()) return kNoUidInCertificate;
  // The answer carries the certificate under the name the renewal expects.
  const std::string certificate = dir + newUid.back() + ".crt";
  if (FileNamePart(block.fileName) != FileNamePart(certificate)) return kCertificateFileNotFound;

  std::optional<DirectoryLocks> locks;
  if (const std::int32_t r = LockForChange(locks, {dir}); r != kOk) return r;
  LibraryGuard libraryLock(LibraryWork::Exclusive, *binding_);
  std::lock_guard uidLock(CertUIDCacheLock());

  // "key.dat" is read under the locks: of two finishes fed one answer, the second finds none.
  const std::string keyFile = dir + kKeyFile;
  std::int32_t total = 0;
  auto work = ReadSecretFile(keyFile, 0, total);
  if (!work) return kRemoteGenerationDirFailed;
  const std::span<const std::uint8_t> answer(
      reinterpret_cast<const std::uint8_t*>(block.data.data()), block.data.size());

  return Guarded("InternalRemoteGenerateFinish: ", [&]() -> std::int32_t {
    std::string answerUid;
    std::int32_t number = kNoKeyNumber;
    if (!binding_->ReadCertificateText(answer, &answerUid, &number) || number < 0)
      return kCertificateNotInStore;
    if (answerUid != newUid) return kBadUid;
    // The request the start step kept, where the host left it: the answer must be for its UID and
    // its key number, not an answer to an earlier start.
    const std::string request = dir + kPendingRequest;
    const bool requestKept = FileExists(request);
    if (requestKept) {
      if (binding_->GetCertificateUID(request) != newUid) return kBadUid;
      if (binding_->GetCertificateKeyNumber(request) != number) return kNewSecretKeyNotFound;
    }

    // A finish that a stop interrupted once the new key set was in place, and that another
    // operation completed since: the answer already is the own certificate, and only the waiting
    // key's file is left to go (a waiting key of a later start is newer than that certificate).
    if (SameContent(certFile, answer)) {
      if (!requestKept &&
          platform::FileModifiedTime(keyFile) > platform::FileModifiedTime(certFile))
        return kNewSecretKeyNotFound;
      RemoveFinishedRenewal(keyFile);
      return kOk;
    }

    void* secretKey = nullptr;
    std::int32_t secretKeySize = 0;
    if (const std::int32_t r = DecodeAfterLabel(work->data(), total, &secretKey, &secretKeySize);
        r != kOk)
      return r;
    const std::span<const std::uint8_t> key(static_cast<const std::uint8_t*>(secretKey),
                                            static_cast<std::size_t>(secretKeySize));
    // The answer must certify the waiting key: a text signed with it verifies with the answer.
    // Any other certificate (an answer to an earlier start, a correspondent's copy of a current
    // certificate) would install a certificate that no key here signs for.
    {
      SecretBytes keyText(key.size() + 1);
      std::memcpy(keyText.data(), key.data(), key.size());
      BufferCallSettings probe;
      probe.uid = oldUid;
      probe.secretDir = secretPath;
      probe.certDir = publicPath;
      probe.hash = ParamValue(kParamHashAlgorithm);
      probe.randomKind = ParamFlag(ParamValue(kParamHardwareRandom)) ? 1 : 0;
      if (binding_->KeyMatchesCertificate(probe, keyText.chars(), block.data.c_str()) != kOk)
        return kNewSecretKeyNotFound;
    }
    if (AnswerRevoked(oldUid, block.data)) return kVendorRevoked;
    const std::string target = secretPath + std::to_string(number) + ".sec";

    // One change, recorded in the secret-key directory, where every later operation of this user
    // meets it: the new secret key (a key of its number kept under a free ".old" name), the own
    // certificate and, under a new UID, the previous one in the store under the previous UID
    // instead of the ".old" file.
    FileChange change(secretPath);
    if (FileExists(target))
      change.Copy(secretPath, FreeOldKeyName(secretPath, number), target, /*secret=*/true);
    change.Write(secretPath, target, key, /*secret=*/true);
    const std::string certificateDir = DirectoryPart(certFile);
    // (An own certificate that is the store file of the previous UID keeps it as its ".old".)
    const std::string storeFile = CertPathByUID(oldUid, publicPath);
    if (newUid != oldUid && storeFile != certFile && !SameFile(storeFile, certFile)) {
      if (!ForceCertDirs(oldUid)) return kFileOrUidError;
      if (storeFile.empty()) return kBadUid;
      PlanInstallation(change, publicPath, storeFile, certFile);
      change.Remove(certificateDir, OldFileName(certFile));
      change.Write(certificateDir, certFile, answer);
    } else {
      PlanInstallation(change, certificateDir, certFile, answer);
    }
    if (!change.Prepare() || !change.Commit()) return kNewSecretKeyWriteFailed;

    // The current certificate file now holds the new certificate: its cached UID is the new
    // UID, and every cached key file is read again.
    SetCachedCertUID(certFile, newUid);
    binding_->ClearKeyCache();
    RemoveFinishedRenewal(keyFile);
    return kOk;
  });
}

}  // namespace vornak2
