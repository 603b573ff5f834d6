// Public-key transfers: one certificate (or request) file with its owner's UID and its name,
// signed by the sending engine and carried as Base64 text. The sender builds the block, appends
// its signature and encodes it; the receiver decodes it, checks the signature against the
// sender's certificate in its store and only then uses the block, whose every field is checked
// against its bounds first.
//
// Carried files are written through a temporary file and a rename; their name is the last
// component of the sender's name for them, and a name that is empty, "." or ".." is refused, so
// that a transfer writes only into the directory it is given.
#include <cstring>
#include <mutex>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "ccom/library_lock.h"
#include "layouts/layouts.h"
#include "platform/platform.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/mimecode.h"
#include "support/secret_files.h"
#include "support/text.h"

namespace vornak2 {
namespace {

constexpr std::string_view kAuthorityExtension = ".aut";

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Library codes that say why an authority key is not trusted, in words a user understands:
// unreadable, expired, not found among the trusted keys, revoked, not allowed to certify, or with
// a critical extension that is not understood.
bool ExplainsDistrust(std::int32_t status) {
  return status == kVendorAuthorityFormat || status == kVendorAuthorityExpired ||
         status == kVendorAuthorityNotFound || status == kVendorRevoked ||
         status == kVendorUnknownCriticalExtension || status == kVendorNotForThisUse;
}

// Whether `text` is an authority certificate a transfer may bring: certified by an authority key
// the user trusts (not self-signed), and an authority's certificate where the vendor library
// tells; kOk, or the code of the refusal (130, or why the certifying key is not trusted).
std::int32_t CheckAuthorityCertificate(TCComDLL& dll, const std::string& uid,
                                       const OperationSettings& s,
                                       const TCcom22Engine::Timeouts& timeouts,
                                       const std::string& text, TCComDLL::CertificateCheck& cert) {
  // The user's authority certificates are what the check reads: each is registered with the
  // key-file cache, without preparing the whole key set (its random state, its other files).
  std::vector<std::string> authorities;
  FindFilesByExtension(s.secretPath, "aut", authorities, /*recursive=*/true);
  for (const std::string& file : authorities)
    dll.AddToKeyCache(uid, "", s.publicPath, file, timeouts.keyRequest, timeouts.lastOperation);
  if (dll.CheckCertificateText(uid, s.secretPath, s.publicPath, text.c_str(), cert) != kOk ||
      cert.uid.empty() || cert.issuer.empty())
    return kNoAuthorityCertificate;
  // A self-signed certificate is a new root: roots become trusted only by a local act.
  if (cert.issuer == cert.uid && cert.issuerKeyNumber == cert.keyNumber)
    return kNoAuthorityCertificate;
  if (cert.status != 0)
    return ExplainsDistrust(cert.status) ? cert.status : kNoAuthorityCertificate;
  // Where the vendor library says whether a certificate is an authority's, a user's is refused.
  if (dll.IsAuthorityCertificate(text.c_str()) == TCComDLL::Answer::kNo)
    return kNoAuthorityCertificate;
  return kOk;
}

}  // namespace

bool TCcom22Engine::HoldsSecretKey(const std::string& path) {
  return FileLooksLikeSecretKey(path) || (binding_ && binding_->IsSecretKeyFile(path));
}

bool TCcom22Engine::IsProtectedFile(const std::string& path) {
  // Secret keys, by the names they are kept under and by their content, whatever their name: no
  // operation overwrites one, and a transfer neither replaces nor parks over one.
  const std::string_view name = FileNamePart(path);
  if (IsSecretKeyFileName(name)) return true;
  // The names the library keeps for its changes in progress.
  if (IsReservedFileName(name)) return true;
  if (!FileExists(path)) return false;
  if (HoldsSecretKey(path)) return true;
  const std::string& remote = RemoteGeneratePath();
  return SameFile(path, ExpandRootPath(GetCurrentCertFile())) ||
         SameFile(path, ExpandRootPath(ParamValue(kParamRandomFile))) ||
         (!remote.empty() && SameFile(path, remote + "key.dat"));
}

std::int32_t TCcom22Engine::PreparePublicKeyTransfer(const std::string& uid, char* buffer,
                                                     const std::string& fileName,
                                                     std::int32_t& length) {
  if (fileName.empty()) {
    LastException().SetText(
        "TCcom22Engine.PreparePublicKeyTransfer: Unable to prepare transfer with empty filename!");
    return kEngineException;
  }
  return Guarded("PreparePublicKeyTransfer: ", [&]() -> std::int32_t {
    // A secret key never travels, whatever its name: it is told by its content.
    if (HoldsSecretKey(fileName)) return kCertificateOrRequestUnreadable;
    std::vector<std::uint8_t> data(layouts::kMaxCarriedFile);
    std::int32_t dataSize = static_cast<std::int32_t>(data.size());
    if (!ReadFileToBuffer(fileName, data.data(), dataSize)) return kCertificateOrRequestUnreadable;
    return PrepareTransferOfBytes(
        uid, buffer, fileName,
        std::span<const std::uint8_t>(data).first(static_cast<std::size_t>(dataSize)), length);
  });
}

std::int32_t TCcom22Engine::PrepareTransferOfBytes(const std::string& uid, char* buffer,
                                                   const std::string& fileName,
                                                   std::span<const std::uint8_t> data,
                                                   std::int32_t& length) {
  return Guarded("PreparePublicKeyTransfer: ", [&]() -> std::int32_t {
    if (data.size() > layouts::kMaxCarriedFile) return kCertificateOrRequestUnreadable;
    std::vector<std::uint8_t> block(layouts::kPublicKeyTransferBlockSize +
                                    static_cast<std::size_t>(GetMaxSignAddition()));
    // The receiver uses only the last component of the name, so that is what travels when the
    // whole name does not fit its field.
    std::string_view carriedName = fileName;
    if (carriedName.size() >= layouts::kTransferTextField) carriedName = FileNamePart(fileName);
    if (uid.size() >= layouts::kTransferTextField ||
        carriedName.size() >= layouts::kTransferTextField)
      return kBadLength;
    std::vector<char> signer(static_cast<std::size_t>(GetMaxUIDLength()) + 1, '\0');
    if (const std::int32_t r = GetCurrentUserUID(signer.data()); r != kOk) return r;
    if (!layouts::WritePublicKeyBlock(block, uid, carriedName, data)) return kBadLength;
    std::int32_t signedSize = static_cast<std::int32_t>(layouts::kPublicKeyTransferBlockSize);
    if (const std::int32_t r = AddSign(block.data(), &signedSize, signer.data()); r != kOk)
      return r;
    const std::vector<std::uint8_t> text = TryEncodeBuffer(block.data(), signedSize);
    if (text.empty()) {
      LastException().SetText(
          "TCcom22Engine.PreparePublicKeyTransfer: Unable to encode existing buffer to BASE64!");
      return kEngineException;
    }
    if (text.size() > static_cast<std::size_t>(GetMaxPublicKeyTransferSize())) {
      LastException().SetText(
          "TCcom22Engine.PreparePublicKeyTransfer: Data size error. Operation need too many "
          "memory!");
      return kEngineException;
    }
    if (buffer == nullptr) return kNullPointer;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    length = static_cast<std::int32_t>(text.size());
    return kOk;
  });
}

std::int32_t TCcom22Engine::GetPublicKeyBlockByTransfer(const char* transfer,
                                                        TPublicKeyBlock& block) {
  if (transfer == nullptr || *transfer == '\0') return kNullPointer;
  return Guarded("GetPublicKeyBlockByTransfer: ", [&]() -> std::int32_t {
    const std::size_t textLength = std::strlen(transfer);
    if (textLength > static_cast<std::size_t>(INT32_MAX)) return kNullPointer;
    std::vector<std::uint8_t> decoded =
        TryDecodeBuffer(transfer, static_cast<std::int32_t>(textLength));
    if (decoded.empty()) return kNullPointer;
    std::int32_t signedSize = static_cast<std::int32_t>(decoded.size());
    std::vector<char> signer(static_cast<std::size_t>(GetMaxUIDLength()) + 1, '\0');
    if (const std::int32_t r = RemoveSign(decoded.data(), &signedSize, signer.data()); r != kOk)
      return r;
    // Only a block of exactly its size, with terminated texts and a carried length within its
    // field, is a transfer.
    const auto view = layouts::ReadPublicKeyBlock(
        layouts::Bytes(decoded).first(static_cast<std::size_t>(signedSize)));
    if (!view) return kNullPointer;
    block.uid.assign(view->uid);
    block.fileName.assign(view->fileName);
    block.data.assign(reinterpret_cast<const char*>(view->data.data()), view->data.size());
    return kOk;
  });
}

std::int32_t TCcom22Engine::InternalSavePublicKeyFromTransfer(const std::string& directory,
                                                              const char* transfer,
                                                              std::string& path) {
  TPublicKeyBlock block;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(transfer, block); r != kOk) return r;
  return Guarded("InternalSavePublicKeyFromTransfer: ", [&]() -> std::int32_t {
    const std::string_view name = FileNamePart(block.fileName);
    // No directory means no place to write: the name alone would land wherever the process is.
    if (!IsPlainFileName(name) || directory.empty()) return kTransferFileFailed;
    path = AddPathSeparator(directory).append(name);
    if (IsProtectedFile(path)) return kTransferFileFailed;
    if (!WriteBufferToFile(path, block.data.data(), static_cast<std::int32_t>(block.data.size())))
      return kTransferFileFailed;
    return kOk;
  });
}

std::int32_t TCcom22Engine::ExcludeSelfPublicKeyTransfer(char* transfer) {
  const std::string certFile = ExpandRootPath(GetCurrentCertFile());
  std::string uid;
  if (const std::int32_t r = GetCryptoAPI(certFile, uid); r != kOk) return r;
  if (uid.empty()) return kNoUidInCertificate;
  if (!FileExists(certFile)) return kCertificateNotInStore;
  std::int32_t length = 0;
  return PreparePublicKeyTransfer(uid, transfer, certFile, length);
}

std::int32_t TCcom22Engine::GetPublicKeyTransfer(const char* uid, char* transfer) {
  std::vector<char> current(static_cast<std::size_t>(GetMaxUIDLength()) + 1, '\0');
  if (const std::int32_t r = GetCurrentUserUID(current.data()); r != kOk) return r;
  const std::string given = uid != nullptr ? uid : "";
  if (given == current.data()) return ExcludeSelfPublicKeyTransfer(transfer);
  const std::string file = CertPathByUID(given, ExpandDirPath(ParamValue(kParamPublicPath)));
  if (file.empty()) return kCertificateNotInStore;
  std::int32_t length = 0;
  return PreparePublicKeyTransfer(given, transfer, file, length);
}

std::int32_t TCcom22Engine::GetPublicKeyTransferByFile(char* transfer, const char* fileName) {
  const std::string file = ExpandRootPath(fileName != nullptr ? fileName : "");
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != kOk) return r;
  std::string owner;
  if (const std::int32_t r = Guarded("GetPublicKeyTransferByFile: ",
                                     [&] {
                                       owner = binding_->GetCertificateUID(file);
                                       return kOk;
                                     });
      r != kOk)
    return r;
  std::int32_t length = 0;
  return PreparePublicKeyTransfer(owner, transfer, file, length);
}

std::int32_t TCcom22Engine::GetUIDByPublicKeyTransfer(const char* transfer, char* uid) {
  if (uid == nullptr) return kNullPointer;
  TPublicKeyBlock block;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(transfer, block); r != kOk) return r;
  // The host's buffer holds GetMaxUIDLength() bytes with the zero; a longer UID is refused.
  if (block.uid.size() >= static_cast<std::size_t>(GetMaxUIDLength())) return kBadLength;
  std::memcpy(uid, block.uid.c_str(), block.uid.size() + 1);
  return kOk;
}

std::int32_t TCcom22Engine::SavePublicKeyFromTransfer(const char* directory, const char* transfer) {
  const std::string dir = ExpandDirPath(directory != nullptr ? directory : "");
  // Only the given directory changes; the user's key set is read, not written.
  const DirectoryLocks locks({dir}, LockWait());
  if (!locks.Held()) return kKeyFilesBusy;
  std::string path;
  return InternalSavePublicKeyFromTransfer(dir, transfer, path);
}

std::int32_t TCcom22Engine::IncludePublicKeyTransfer(const char* transfer) {
  // The transfer is checked first; then, as the installation begins, the time-outs.
  TPublicKeyBlock block;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(transfer, block); r != kOk) return r;
  Timeouts timeouts;
  std::string uid;
  if (const std::int32_t r = StartWithTimeouts(uid, timeouts); r != kOk) return r;
  return Guarded("IncludePublicKeyTransfer: ", [&]() -> std::int32_t {
    const std::string_view name = FileNamePart(block.fileName);
    if (!IsPlainFileName(name)) return kTransferFileFailed;
    const std::string carried = TemplateDir().append(name);
    if (IsProtectedFile(carried)) return kTransferFileFailed;
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(block.data.data()), block.data.size());
    std::optional<DirectoryLocks> locks;
    if (const std::int32_t r = LockForChange(locks); r != kOk) return r;
    LibraryGuard lock(LibraryWork::Exclusive, *binding_);
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != kOk) return r;
    // Only a certificate is installed: a document the library reads with an issuer. A request (a
    // document without one) is refused and written nowhere; a file that is no document at all
    // stays in the template directory where it is written.
    TCComDLL::CertificateCheck cert;
    const std::string text(block.data.begin(), block.data.end());
    const bool document = binding_->CheckCertificateText(uid, s.secretPath, s.publicPath,
                                                         text.c_str(), cert) == kOk &&
                          !cert.uid.empty();
    const bool certificate = document && !cert.issuer.empty();
    if (document && !certificate) return kNoUidInCertificate;
    if (!certificate || CertPathByUID(cert.uid, s.publicPath).empty()) {
      const DirectoryLocks templateLock({TemplateDir()}, LockWait());
      if (!templateLock.Held()) return kKeyFilesBusy;
      if (!WriteBufferToFile(carried, bytes.data(), static_cast<std::int32_t>(bytes.size())))
        return kTransferFileFailed;
      return certificate ? kFileOrUidError : kNoUidInCertificate;
    }
    // A certificate that verifies against a trusted authority is replaced only by one that
    // verifies too: a correspondent cannot put a certificate of its own making, or of an
    // authority the user does not trust, in the place of one the user relies on.
    if (cert.status != 0) {
      const std::string stored = CertPathByUID(cert.uid, s.publicPath);
      std::vector<char> storedText(kMaxReportSize + 1, '\0');
      std::int32_t size = kMaxReportSize;
      TCComDLL::CertificateCheck current;
      if (ReadFileToBuffer(stored, storedText.data(), size) &&
          binding_->CheckCertificateText(uid, s.secretPath, s.publicPath, storedText.data(),
                                         current) == kOk &&
          current.status == 0)
        return cert.status;
    }
    return StoreCertificate(uid, cert.uid, timeouts, nullptr, bytes);
  });
}

std::int32_t TCcom22Engine::IncludeCACertificateFromTransfer(const char* transfer) {
  Timeouts timeouts;
  std::string uid;
  if (const std::int32_t r = StartWithTimeouts(uid, timeouts); r != kOk) return r;
  TPublicKeyBlock block;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(transfer, block); r != kOk) return r;
  const std::string_view name = FileNamePart(block.fileName);
  if (!EndsWith(name, kAuthorityExtension) || !IsPlainFileName(name) || IsReservedFileName(name))
    return kNoAuthorityCertificate;
  std::optional<DirectoryLocks> locks;
  if (const std::int32_t r = LockForChange(locks); r != kOk) return r;
  OperationSettings s;
  if (const std::int32_t r = ReadOperationSettings(s); r != kOk) return r;
  // A UID that may not become a directory name has no authority directory.
  const std::string dir = AuthorityDirByUID(s.secretPath, block.uid);
  if (dir.empty()) return kFileOrUidError;
  const std::string target = AddPathSeparator(dir).append(name);
  // An issuer's certificate is never replaced.
  if (FileExists(target)) return kCannotReplaceIssuer;
  // The store and the key-file cache change: data operations that read them wait.
  LibraryGuard lock(LibraryWork::Exclusive, *binding_);
  // A peer's transfer never creates a root of trust: an authority certificate is taken only when
  // an authority key the user already trusts certified it (the next key of that authority, or an
  // intermediate authority below it), and only when it is an authority's certificate.
  const std::string text(block.data.begin(), block.data.end());
  TCComDLL::CertificateCheck cert;
  if (const std::int32_t r = CheckAuthorityCertificate(*binding_, uid, s, timeouts, text, cert);
      r != kOk)
    return r;
  if (cert.uid != block.uid) return kNoAuthorityCertificate;
  if (!DirExists(dir) && !MakeDir(dir)) throw EInOutError("Unable to create directory " + dir);
  if (!DirExists(dir)) return kFileOrUidError;
  FileChange change(s.secretPath);
  change.Write(
      s.secretPath, target,
      std::span(reinterpret_cast<const std::uint8_t*>(block.data.data()), block.data.size()));
  if (!change.Prepare() || !change.Commit()) return kFileOrUidError;
  return binding_->AddToKeyCache(uid, "", s.publicPath, target, timeouts.keyRequest,
                                 timeouts.lastOperation)
             ? kOk
             : kFileOrUidError;
}

std::int32_t TCcom22Engine::CertAndRequestTransferMatch(const char* first, const char* second,
                                                        std::int32_t* match) {
  TPublicKeyBlock a;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(first, a); r != kOk) return r;
  TPublicKeyBlock b;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(second, b); r != kOk) return r;
  if (match == nullptr) return kNullPointer;
  *match = a.uid == b.uid ? -1 : 0;
  return kOk;
}

}  // namespace vornak2
