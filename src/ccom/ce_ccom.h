// TCcom22Engine: the engine over the vendor library cc, the one that GetCryptObj hands out. It
// holds nineteen numbered parameters and at most one binding (TCComDLL), created on the first
// operation that needs the library and dropped again when the library proves unusable.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "ccom/library_lock.h"
#include "engine/cryptobj.h"
#include "support/file_change.h"
#include "support/result_codes.h"

namespace vornak2 {

// The binding to the vendor library; the engine holds one and only its own code reaches into it.
class TCComDLL;
struct KeyGenerationArgs;

// Parameter numbers of this engine.
enum EngineParam : std::int32_t {
  kParamCurrentDir = 1,
  kParamSecretPath = 2,
  kParamPublicPath = 3,
  kParamUserId = 4,
  kParamHashAlgorithm = 5,
  kParamCipherAlgorithm = 6,
  kParamRandomFile = 7,
  kParamEncryptForUID = 8,
  kParamKeyRequestTimeout = 9,
  kParamLastOperationTimeout = 10,
  kParamVerifyValidity = 11,
  kParamHardwareRandom = 12,
  kParamKeyGenSubject = 13,
  kParamKeyGenDir = 14,
  kParamTemplateDir = 15,
  kParamKeyGenSecretKeyLength = 16,
  kParamKeyGenPublicKeyLength = 17,
  kParamKeyGenExpirePeriod = 18,
  kParamCurrentUserCertificate = 19,
};
inline constexpr std::int32_t kEngineParamCount = 19;

// The sizes this engine announces to the host (the block sizes are those of layouts/layouts.h).
inline constexpr std::int32_t kMaxEncodeAddition = 4104;
inline constexpr std::int32_t kMaxSignatureLength = 544;
inline constexpr std::int32_t kMaxPublicKeyTransferSize = 5128;
inline constexpr std::int32_t kMaxReportSize = 2048;
inline constexpr std::int32_t kNoPassword = 0;

// The flag rule: "yes" in any letter case or "ДА" (Windows-1251), blanks and control characters
// around them ignored, give true; anything else false.
bool ParamFlag(const std::string& value);
// The integer rule: empty gives 0; otherwise a signed 32-bit decimal number (leading blanks and a
// sign allowed). False when the text is not such a number.
bool ParamInteger(const std::string& value, std::int32_t& out);

// What an operation reads from the parameters at its start.
struct OperationSettings {
  std::string certFile;    // current certificate file, expanded
  std::string secretPath;  // secret-key directory, with its separator
  std::string publicPath;  // certificate directory, with its separator
  std::string hash;
  std::string cipher;
  std::string randomFile;
  bool checkValidity = false;
  std::int32_t hardwareRandom = 0;  // random-source kind: 0 software, 1 hardware
  std::int32_t keyRequestTimeout = 0;
  std::int32_t lastOperationTimeout = 0;
};

// The content of a public-key transfer once its signature has been checked: the owner's UID, the
// name of the carried file as the sender knew it, and the file's bytes (at most 2047; `data` can
// also be read as text, since a std::string ends with a zero byte).
struct TPublicKeyBlock {
  std::string uid;
  std::string fileName;
  std::string data;
};

class TCcom22Engine : public TCryptoEngine {
 public:
  TCcom22Engine();
  ~TCcom22Engine() override;

  // ---- identity, sizes, parameters ----
  void GetEngineName(char* buffer) override;
  std::int32_t GetMaxEncodeAddition() override { return kMaxEncodeAddition; }
  std::int32_t GetMaxSignatureLength() override { return kMaxSignatureLength; }
  std::int32_t GetMaxSignAddition() override;
  std::int32_t GetMaxEncodeAdditionForUsers(std::int32_t count) override;
  std::int32_t GetMaxPublicKeyTransferSize() override { return kMaxPublicKeyTransferSize; }
  std::int32_t GetMaxPasswordLength() override { return kNoPassword; }
  bool IsDifferentKeys() override { return false; }
  std::int32_t GetParamInfo(std::int32_t number, std::int32_t* kind, char* buffer,
                            std::int32_t* size) override;

  // ---- users and messages ----
  std::int32_t GetCurrentUserUID(char* uid) override;
  std::int32_t GetEncodeUIDBySignUID(const char* signUID, char* encodeUID) override;
  void GetCryptoErrorString(std::int32_t code, char* buffer) override;

  // ---- signatures ----
  std::int32_t SignData(const void* data, std::int32_t length, void* signature,
                        std::int32_t* signatureLength, const char* signerUID) override;
  std::int32_t VerifyData(const void* data, std::int32_t length, const void* signature,
                          std::int32_t signatureLength, char* signerUID) override;
  std::int32_t VerifySignWOCheckValidity(const void* data, std::int32_t length,
                                         const void* signature, std::int32_t signatureLength,
                                         char* signerUID) override;
  std::int32_t AddSign(void* data, std::int32_t* size, const char* signerUID) override;
  std::int32_t RemoveSign(void* data, std::int32_t* size, char* signerUID) override;

  // ---- encryption ----
  std::int32_t EncodeData(void* data, std::int32_t* size, const char* recipients) override;
  std::int32_t DecodeData(void* data, std::int32_t* size, void* unused) override;
  // The multi-recipient container: the data under a fresh key, that key for every recipient.
  std::int32_t EncodeDataForUsers(void* data, std::int32_t* size,
                                  const std::vector<std::string>& recipients);

  // ---- certificate store and keys (store_ops.cc) ----
  // Moves a correspondent's certificate file into the store under its UID and registers it.
  std::int32_t IncludePublicKey(const char* fileName) override;
  // The installation step behind IncludePublicKey: moves the certificate file `path` (expanded)
  // to the store file of its UID and registers it with the binding.
  struct Timeouts {
    std::int32_t keyRequest = 0;     // "Key request time out"
    std::int32_t lastOperation = 0;  // "Last operation key time out"
  };
  // The caller holds the key set's locks. A certificate that replaces the store's keeps the
  // ".old" name; the given file goes once the store holds it.
  std::int32_t InstallCertificate(const std::string& path, const Timeouts& timeouts);
  // Puts the certificate of `certUid` into the store and registers it for `uid`: the file `source`
  // (which goes once the store holds it) or, without one, the bytes `content`.
  std::int32_t StoreCertificate(const std::string& uid, const std::string& certUid,
                                const Timeouts& timeouts, const std::string* source,
                                std::span<const std::uint8_t> content);
  // Where changes of the store keep their records: the secret-key directory, or the store itself
  // for a user without one.
  std::string StoreChangeHome() const;
  // Creates the store directories of `uid`; false when they cannot be (or the UID has none).
  bool ForceCertDirs(const std::string& uid);
  std::int32_t UpdateCertificateCash(const char* uid) override;
  void ClearCash() override;
  std::int32_t RemoveCertificate(const char* uid) override;
  std::int32_t GenerateNewSSK() override;
  // Key operations this engine does not offer.
  std::int32_t GenerateNewSEK() override { return kNotSupported; }
  std::int32_t IncludePublicEncodeKey(OpaqueArg) override { return kNotSupported; }
  std::int32_t TransPrivateKeyFromFileToTM() override { return kNotSupported; }
  std::int32_t TransSignatureFromFileToTM() override { return kNotSupported; }

  // ---- public-key transfers (transfer_ops.cc) ----
  std::int32_t ExcludeSelfPublicKeyTransfer(char* transfer) override;
  std::int32_t GetPublicKeyTransfer(const char* uid, char* transfer) override;
  std::int32_t GetPublicKeyTransferByFile(char* transfer, const char* fileName) override;
  std::int32_t GetUIDByPublicKeyTransfer(const char* transfer, char* uid) override;
  std::int32_t SavePublicKeyFromTransfer(const char* directory, const char* transfer) override;
  std::int32_t IncludePublicKeyTransfer(const char* transfer) override;
  std::int32_t IncludeCACertificateFromTransfer(const char* transfer) override;
  std::int32_t CertAndRequestTransferMatch(const char* first, const char* second,
                                           std::int32_t* match) override;
  // Builds the transfer of the file `fileName` as `uid`'s, signed by the current user, into
  // `buffer` (GetMaxPublicKeyTransferSize() + 1 bytes); `length` receives its length.
  std::int32_t PreparePublicKeyTransfer(const std::string& uid, char* buffer,
                                        const std::string& fileName, std::int32_t& length);
  // The same for the file's bytes `data`, carried under the name `fileName`.
  std::int32_t PrepareTransferOfBytes(const std::string& uid, char* buffer,
                                      const std::string& fileName,
                                      std::span<const std::uint8_t> data, std::int32_t& length);
  // Decodes a transfer, checks its signature and reads its block.
  std::int32_t GetPublicKeyBlockByTransfer(const char* transfer, TPublicKeyBlock& block);
  // Writes a transfer's carried file into `directory`; `path` receives the file's full name.
  std::int32_t InternalSavePublicKeyFromTransfer(const std::string& directory, const char* transfer,
                                                 std::string& path);

  // ---- remote key renewal (renewal_ops.cc) ----
  std::int32_t RemoteGenerateStart(char* transfer) override;
  std::int32_t RemoteGenerateStartEx(const char* uid, char* transfer, std::int32_t* mode) override;
  std::int32_t RemoteGenerateFinish(const char* transfer) override;
  std::int32_t RemoteGenerateFinishEx(const char* transfer, std::int32_t* mode) override;
  // The start step: a new key pair for `uid` in the renewal directory, its request as a transfer
  // in `transfer`, the new secret key kept in "key.dat" encrypted for the current user.
  std::int32_t InternalRemoteGenerateStart(char* transfer, const std::string& uid);
  // The finish step: the authority's transfer of the new certificate, the waiting secret key
  // decrypted into the secret-key directory, the certificate installed as the own one.
  std::int32_t InternalRemoteGenerateFinish(const char* transfer);
  // With the validity check on: whether the answer's certificate (text) is revoked by its
  // authority, as the vendor library finds it for the current user `uid`.
  bool AnswerRevoked(const std::string& uid, const std::string& certificate);

  // ---- reports (report_ops.cc) ----
  std::int32_t GetMaxReportSize() override { return kMaxReportSize; }
  std::int32_t GetReport(const char* uid, char* report) override;
  std::int32_t GetPublicKeyPropertiesByFile(const char* fileName, char* report) override;
  std::int32_t GetPublicKeyPropertiesByTransfer(const char* transfer, char* report) override;
  // The report on certificate text held in memory.
  std::int32_t GetReportByBuffer(const char* data, char* report);

  // ---- directory set-up and signed-data files (structure_ops.cc) ----
  std::int32_t SaveSignedDataToFile(const void* data, std::int32_t length, const void* signature,
                                    std::int32_t signatureLength, const char* fileName) override;
  std::int32_t CreateDirStructure(const char* certificateFile, const char* authorityList) override;
  std::int32_t GetMaxAdditionEx(const char* recipients) override;

  // ---- changes of key, certificate and store files (key_set.cc) ----
  // The directories whose files this engine's operations change: the secret-key and certificate
  // directories, those of the current certificate and of the random-state file, the template,
  // key-generation and renewal directories.
  std::vector<std::string> KeySetDirs() const;
  // The user's own key set, which only this user's operations change: the secret-key and
  // certificate directories and the current certificate's directory. Changes of the key set keep
  // their records in the secret-key directory.
  std::vector<std::string> OwnKeySetDirs() const;
  // The template directory of transfers (parameter 15, the root when empty), expanded.
  std::string TemplateDir() const;
  // For an operation that changes files: takes the locks of the own key set's directories and of
  // `writes` (the other directories it writes in), then finishes or undoes the changes that a
  // stopped operation left recorded in them. kKeyFilesBusy (with the reason as the last exception
  // text) when the locks cannot be had within LockWait().
  std::int32_t LockForChange(std::optional<DirectoryLocks>& locks,
                             const std::vector<std::string>& writes = {});
  // Recovers the changes recorded in the directories `locks` holds; records that are not obeyed
  // are named in the last exception text.
  void RecoverLocked(const DirectoryLocks& locks);
  // Once per configuration, at an engine's first operation: changes recorded in the key set's
  // directories are finished or undone when no other process holds their locks (this never
  // waits).
  void RecoverKeySetOnce();
  std::int32_t SetCryptoParamValue(std::int32_t number, const char* value) override;
  void SetRemoteGeneratePath(const std::string& path) override;

  // ---- what every operation starts with ----
  // The current user's certificate file, not yet expanded.
  std::string GetCurrentCertFile() const;
  // Makes sure the engine has a usable binding (134, 135, 136 otherwise) and gives the UID of
  // the certificate file `path`, from the process-wide path-to-UID cache or from the file. An
  // unreadable certificate gives 0 with an empty UID.
  std::int32_t GetCryptoAPI(const std::string& path, std::string& uid);
  // The standard start: the current certificate's UID; 116 when it yields none.
  std::int32_t StandardStart(std::string& uid);
  // Reads the operation settings; 115 when a time-out is not an integer.
  std::int32_t ReadOperationSettings(OperationSettings& settings) const;
  // Under LibraryLock (which the caller holds): the key-file cache prepared for `uid` with the
  // operation settings.
  std::int32_t PrepareKeyCacheFor(const OperationSettings& s, const std::string& uid);
  // Reads only the two time-outs; 115 when one is not an integer.
  std::int32_t ReadTimeouts(std::int32_t& keyRequestTimeout,
                            std::int32_t& lastOperationTimeout) const;
  // The two time-outs, then the standard start: how the operations that register files with the
  // key-file cache begin.
  std::int32_t StartWithTimeouts(std::string& uid, Timeouts& timeouts);
  // The binding, once GetCryptoAPI has succeeded; null before.
  TCComDLL* Binding() noexcept { return binding_.get(); }

  // ---- process-wide state ----
  // Three re-entrant locks guard what all engines share. Where several are held they are taken in
  // this order, never the other way: LibraryLock, the path-to-UID cache's lock, the key-file
  // cache's lock (KeyFileCache::Mutex).
  // The fair library lock; operations hold it through LibraryGuard (ccom/library_lock.h), which
  // says when it is held alone and when shared. Its lock() and unlock() are the exclusive hold.
  static FairLock& LibraryLock();
  // Forgets every cached path-to-UID pair.
  static void ClearCertUIDCache();
  // Records (or replaces) the UID of a certificate file in the path-to-UID cache.
  static void SetCachedCertUID(const std::string& path, const std::string& uid);
  // The path-to-UID cache's lock, for a step that must keep the cache still across several calls.
  static std::recursive_mutex& CertUIDCacheLock();

 private:
  // Records "TCcom22Engine.<operation><separator><class>: <message>" as the last exception text.
  void RecordException(const char* operationTag, const std::exception& e) noexcept;
  // Files a carried file must never replace: secret keys (which no operation overwrites), and the
  // current certificate, the random-state file and a pending renewal's "key.dat", which a
  // transfer's file of the same name would otherwise destroy.
  bool IsProtectedFile(const std::string& path);
  // Whether the file holds a secret key: by its content, as this library knows the forms of
  // secret keys, or as the vendor library reads one.
  bool HoldsSecretKey(const std::string& path);
  // The arguments of a key generation for `newUid` from the settings and the three key-generation
  // parameters (1024, 256 and 730 when empty); 128 when one of these is not a number.
  std::int32_t KeyGenerationFor(const OperationSettings& s, const std::string& currentUid,
                                const std::string& newUid, KeyGenerationArgs& args) const;
  // The engine's exception barrier, around the whole of an operation (its standard start
  // included): runs `op` and gives its result; an allocation failure gives kEngineOutOfMemory,
  // any other exception kEngineException with the exception recorded under `operationTag`
  // (the operation's name and its separator, "SignData " for example).
  template <typename Op>
  std::int32_t Guarded(const char* operationTag, Op&& op) noexcept {
    try {
      return op();
    } catch (const std::bad_alloc&) {
      return kEngineOutOfMemory;
    } catch (const std::exception& e) {
      RecordException(operationTag, e);
      return kEngineException;
    } catch (...) {
      RecordException(operationTag, std::runtime_error("unknown exception"));
      return kEngineException;
    }
  }
  // Holding LibraryLock for data work: prepares the key-file cache for `uid`, then runs `call` on
  // the binding.
  template <typename Call>
  std::int32_t WithPreparedLibrary(const OperationSettings& s, const std::string& uid, Call&& call);
  std::int32_t Verify(const void* data, std::int32_t length, const void* signature,
                      std::int32_t signatureLength, char* signerUID, bool checkValidity);

  std::unique_ptr<TCComDLL> binding_;
  // Whether RecoverKeySetOnce has run since the configuration last changed.
  std::atomic<bool> keySetChecked_{false};
};

}  // namespace vornak2
