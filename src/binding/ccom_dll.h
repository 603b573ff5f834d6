// TCComDLL: the binding to the vendor library cc. It loads the library at run time, resolves its
// 62 entry points and drives them in the sequences that the engine's operations need. Every
// context, buffer and record that the library hands out lives within one binding operation and
// is released through the library's own release entry points on every path.
//
// Result convention: kOk is success; a nonzero library result ends an operation and is returned
// unchanged; the binding's own failures are the codes of support/result_codes.h, an exception
// inside a call being kLibraryCallException with its text in LastCallError.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/crypto_dll.h"
#include "binding/intel_provider.h"
#include "cc_abi.h"
#include "platform/platform.h"
#include "support/result_codes.h"
#include "support/secure.h"

namespace vornak2 {

using PasswordRequestCallback = void (*)();

// Arguments of GenerateKeys.
struct KeyGenerationArgs {
  std::string newUid;          // UID of the new key pair
  std::string currentKeyPath;  // the current certificate file (must be set when currentUid is)
  std::string certDir;         // certificate directory
  std::string secretDir;       // secret-key directory
  std::string currentUid;      // the engine's user; empty when there is none
  std::string cipher;
  std::string hash;
  std::string randomFile;
  bool checkValidity = false;  // a renewal requires a valid current certificate
  std::int32_t randomKind = 0;
  std::string outputDir;  // where N.sec and C.pub are written
  // When both are set, the new secret key and request are handed back here instead of being
  // written to outputDir (a renewal keeps the secret key only encrypted on disk).
  std::optional<SecretBytes>* secretKeyOut = nullptr;
  std::string* requestOut = nullptr;
  std::int32_t first = 0;  // key-generation parameters handed to the library as they are
  std::int32_t second = 0;
  std::int32_t period = 0;  // validity period, passed as a 16-bit value
};

// The settings a buffer operation works with, read by the engine from its parameters.
struct BufferCallSettings {
  std::string uid;             // the engine's user: the context's identifier and cache owner
  std::string currentKeyPath;  // the current certificate file; only tested for emptiness
  std::string secretDir;
  std::string certDir;
  std::string cipher;  // empty: the library default
  std::string hash;    // empty: the library default
  std::string randomFile;
  bool checkValidity = false;  // refuse certificates and secret keys whose status is not 0
  std::int32_t randomKind = 0;
};

// The longest piece of data fed to one update call of the library.
inline constexpr std::int32_t kChunkSize = 65528;
// What GetCertificateKeyNumber answers for a file without a readable certificate.
inline constexpr std::int32_t kNoKeyNumber = -1;
// The session key of a multi-recipient container.
inline constexpr std::int32_t kSessionKeySize = 32;

class TCComDLL : public TCrypto_DLL {
 public:
  // Loads the library through the library search order (see LoadCryptoLibrary).
  TCComDLL();
  // Loads the named library file instead; for tests.
  explicit TCComDLL(const std::string& libraryName);
  ~TCComDLL();

  const CcEntryTable& Entries() const noexcept { return cc_; }
  // True when the library declares that distinct contexts may be used by several threads at
  // once (its optional entry point _ConcurrentContexts); false for a library without it.
  bool ConcurrentContexts() const noexcept { return concurrentContexts_; }
  const std::string& LastCallError() const noexcept { return lastCallError_; }
  void SetPasswordRequestFunc(PasswordRequestCallback f) noexcept { passwordRequestFunc_ = f; }
  PasswordRequestCallback PasswordRequestFunc() const noexcept { return passwordRequestFunc_; }
  const std::string& RandomFile() const noexcept { return randomFile_; }
  std::int32_t RandomKind() const noexcept { return randomKind_; }
  // The hardware random source, null until first needed. Tests may install their own.
  TIntelProvider* HardwareRandom() noexcept { return hardwareRandom_.get(); }
  void SetHardwareRandom(std::unique_ptr<TIntelProvider> provider) noexcept {
    hardwareRandom_ = std::move(provider);
  }

  // ---- contexts and random numbers ----
  // Creates a context and sets UID (with the authority-key lookup and both directories) and the
  // algorithms ("28147" and "34.11" for empty names). On failure `ctx` is null.
  std::int32_t CreateContext(CcContext*& ctx, const std::string& uid, const std::string& secretDir,
                             const std::string& publicDir, const std::string& cipher,
                             const std::string& hash);
  void FreeContext(CcContext* ctx) noexcept;
  // Starts the library's generator and seeds it from the random pool (kind 0) or from the
  // hardware source as well (other kinds); stirs the pool. The caller stops the generator.
  std::int32_t InitRandom(std::int32_t kind);
  // Adds fresh seed material to the running generator; always 0.
  std::int32_t SeedRandom(std::int32_t kind) noexcept;
  std::int32_t GetRandomBytes(std::int32_t kind, void* buffer, std::int32_t count);

  // ---- the key-file cache ----
  // Refreshes the user's cached key, certificate and authority files or reloads them when any
  // expired, and keeps the random-state file current.
  std::int32_t PrepareKeyCache(const std::string& uid, const std::string& ownCertFile,
                               const std::string& certDir, const std::string& secretDir,
                               const std::string& randomFile, std::int32_t randomKind,
                               std::int32_t keyRequestTimeout, std::int32_t lastOperationTimeout);
  // Writes the random state back and forgets every entry of every user.
  void ClearKeyCache();
  bool AddToKeyCache(const std::string& uid, const std::string& secondUid,
                     const std::string& certDir, const std::string& filePath,
                     std::int32_t keyRequestTimeout, std::int32_t lastOperationTimeout);
  bool RemoveFromKeyCache(const std::string& uid, const std::string& filePath);
  // Copies the cached text of (uid, path) with its terminator; false when it is not cached or
  // does not fit `capacity` bytes.
  bool CacheLookup(const std::string& uid, const std::string& filePath, std::int32_t capacity,
                   char* buffer);
  // Parses a certificate with the user's authority certificates reachable from the cache.
  std::int32_t CertInfoFromCache(const std::string& secretDir, const std::string& uid,
                                 CcContext* ctx, const char* certText, CcCertInfo** record);

  // ---- certificates, reports, key generation ----
  // UID of a certificate file; empty on any failure.
  std::string GetCertificateUID(const std::string& path);
  // Key number of a certificate file; kNoKeyNumber on any failure.
  std::int32_t GetCertificateKeyNumber(const std::string& path);
  // The UID and key number of certificate text held in memory (as a file of those bytes would
  // give them); false when it has no record.
  bool ReadCertificateText(std::span<const std::uint8_t> text, std::string* uid,
                           std::int32_t* keyNumber);
  // Whether the file holds a secret key the library can read.
  bool IsSecretKeyFile(const std::string& path);
  // Whether `certText` certifies the key of `secretText`: a short text signed with the secret key
  // verifies with the certificate (the buffer entry points only, as every vendor library has
  // them). kOk when it does; the library's answer (-65 for a signature that does not hold) or
  // the binding's failure otherwise.
  std::int32_t KeyMatchesCertificate(const BufferCallSettings& s, const char* secretText,
                                     const char* certText);
  // Whether a certificate is an authority's, where the library tells (its optional entry point
  // _CertIsAuthority); kUnknown from a library without it, or for a text it cannot read.
  enum class Answer { kYes, kNo, kUnknown };
  Answer IsAuthorityCertificate(const char* certText);
  // Parses a certificate text and checks it against `ownUid`'s authority certificates in the
  // key-file cache: the owner, key number, issuer and the library's status (0: the issuer's
  // signature verifies with a trusted authority key and the date is inside the validity).
  // kVendorCertificateRead when the text is no certificate or request.
  struct CertificateCheck {
    std::string uid;
    std::string issuer;
    std::int32_t keyNumber = 0;
    std::int32_t issuerKeyNumber = 0;
    std::int32_t status = 0;
  };
  std::int32_t CheckCertificateText(const std::string& ownUid, const std::string& secretDir,
                                    const std::string& certDir, const char* certText,
                                    CertificateCheck& out);
  // The report on `reportedUid`'s certificate in the store, written into `buffer` of `capacity`
  // bytes (kBadLength when it does not fit; nothing is written on failure).
  std::int32_t GetCertificateReport(const std::string& ownUid, const std::string& secretDir,
                                    const std::string& certDir, const std::string& randomFile,
                                    const std::string& reportedUid, char* buffer,
                                    std::int32_t capacity);
  std::int32_t GetCertificateReportFromText(const std::string& ownUid, const std::string& secretDir,
                                            const std::string& certDir,
                                            const std::string& randomFile, const char* certText,
                                            char* buffer, std::int32_t capacity);
  // Generates a key pair: output N.sec (owner-only) and C.pub. keyNumber is kNoKeyNumber unless the
  // secret key was written.
  std::int32_t GenerateKeys(const KeyGenerationArgs& args, std::int32_t& keyNumber);

  // ---- buffer cryptography (the secret key and certificates come from the key-file cache) ----
  // Signs `data` followed by the 32-byte UID field of `s.uid` as the signer; writes the signature
  // block (UID field, then the library's signature) into `block`, which holds at least
  // 32 + 512 bytes, and its length into `blockLength`.
  std::int32_t SignBuffer(const BufferCallSettings& s, const void* data, std::int32_t length,
                          std::uint8_t* block, std::int32_t& blockLength);
  // Verifies a signature block over `data`; the signer's certificate is the one the store holds for
  // the UID in the block. `blockLength` > 0 bounds what is read of the block (32 or less:
  // kNoSignature); 0 or less leaves the bound to the library. The signer UID (at most 31 characters
  // and a zero) is written to `signerUid` whatever the verification gives.
  std::int32_t VerifyBuffer(const BufferCallSettings& s, const void* data, std::int32_t length,
                            const std::uint8_t* block, std::int32_t blockLength, char* signerUid);
  // Encrypts `length` bytes of `data` for `recipientUid`'s certificate and writes the
  // certificate-enciphered block over `data` (the host reserves length + 4104 bytes). A failure
  // before the cipher ran leaves the buffer and the length as they were.
  std::int32_t EncryptBuffer(const BufferCallSettings& s, const std::string& recipientUid,
                             std::uint8_t* data, std::int32_t& length);
  // Decrypts a certificate-enciphered block of `length` bytes with the user's secret key and writes
  // the plaintext over its start. On failure the length is unchanged, and so is the buffer unless
  // the library refused the data while deciphering: then the block's header and enciphered data
  // are wiped (the enciphered session key and the vector stay).
  std::int32_t DecryptBuffer(const BufferCallSettings& s, std::uint8_t* data, std::int32_t& length);
  // A fresh 32-byte session key from the settings' random source.
  std::int32_t NewSessionKey(const BufferCallSettings& s, std::uint8_t* key);
  // Enciphers the `length` bytes at the start of `room` under `key` into a key-enciphered block at
  // offset `blockAt` of `room`, whose size is given in `blockLength`; the enciphered data may use
  // all of the room behind the block's header and vector. A failure before the cipher ran leaves
  // the room as it was.
  std::int32_t EncryptInPlaceWithKey(const BufferCallSettings& s, std::span<std::uint8_t> room,
                                     std::size_t length, std::size_t blockAt,
                                     const std::uint8_t* key, std::size_t& blockLength);
  // Decrypts a key-enciphered block of `length` bytes with `key` and writes the plaintext over its
  // start; failures as for DecryptBuffer.
  std::int32_t DecryptWithKey(const BufferCallSettings& s, std::uint8_t* data, std::int32_t& length,
                              const std::uint8_t* key);

 private:
  void Load(const std::string& libraryName);
  // The cached text of `uid`'s certificate in the store, as `ownUid`'s cache holds it.
  bool CachedCertificate(CcContext* ctx, const std::string& ownUid, const std::string& uid,
                         std::vector<char>& text);
  // The report on the stored certificate of `reportedUid` or, when that is null, on `certText`.
  std::int32_t BuildReport(const std::string& ownUid, const std::string& secretDir,
                           const std::string& certDir, const std::string* reportedUid,
                           const char* certText, char* buffer, std::int32_t capacity);
  // Parses a certificate or request file (no cache, no random generator): its UID and key number.
  bool ReadCertificateFile(const std::string& path, std::string* uid, std::int32_t* keyNumber);
  // The binding's exception barrier: runs `op` and gives its result; an allocation failure gives
  // kOutOfMemory, any other exception kLibraryCallException with its class name and message in
  // LastCallError.
  template <typename Op>
  std::int32_t Guarded(Op&& op) noexcept {
    try {
      return op();
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    } catch (const std::exception& e) {
      return Fail(e);
    } catch (...) {
      return Fail(std::runtime_error("unknown exception"));
    }
  }
  std::int32_t Fail(const std::exception& e) noexcept;
  TIntelProvider* Hardware();

  std::unique_ptr<TIntelProvider> hardwareRandom_;
  platform::ModuleHandle libHandle_ = nullptr;
  std::string lastCallError_;
  PasswordRequestCallback passwordRequestFunc_ = nullptr;
  std::string randomFile_;
  std::int32_t randomKind_ = -1;
  bool concurrentContexts_ = false;
  CcFnCertIsAuthority certIsAuthority_ = nullptr;
  CcEntryTable cc_{};
};

// The certificate report text: UID, key number, issuer, validity and the certificate text, lines
// ended by CR LF.
std::string CertificateReportText(const CcCertInfo& info, const char* certText);
// A library date "dd.mm.yyyy hh:mm" as the report shows it: "mm-dd.yyyy hh:mm:00".
std::string ReportDate(const char* libraryDate);

}  // namespace vornak2
