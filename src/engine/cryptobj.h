// TCryptoEngine: the abstract engine behind every handle. Its virtual operations, declared in
// slot order, are the operation table that the exports reach; each has a base behaviour that a
// concrete engine may override. The base class also keeps the state common to every engine:
// numbered parameters, host callbacks, root and remote-generation paths, the last exception text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/errors.h"
#include "support/result_codes.h"
#include "support/rwsyncs.h"

namespace vornak2 {

// Raised by an operation that the concrete engine must supply but does not.
class EAbstractError : public Error {
 public:
  EAbstractError() : Error("Abstract Error") {}
  const char* ClassName() const noexcept override { return "EAbstractError"; }
};

// Raised when the host passes a null pointer where an operation needs memory.
class EInvalidPointer : public Error {
 public:
  explicit EInvalidPointer(const char* what) : Error(std::string("Invalid pointer: ") + what) {}
  const char* ClassName() const noexcept override { return "EInvalidPointer"; }
};

// A text guarded by a reader-writer lock, so that one thread can read the last exception text
// while an operation on another thread records a new one.
class TSyncExceptStr {
 public:
  void SetText(std::string text);
  std::string GetText() const;

 private:
  mutable TRWCriticalSection lock_;
  std::string text_;
};

// The sizes the base engine announces; concrete engines override the ones that differ.
inline constexpr std::int32_t kBaseTextLength = 255;  // UIDs, names, messages, passwords, additions
inline constexpr std::int32_t kBaseParamValueLength = 1024;
inline constexpr std::int32_t kBaseTransferSize = 4096;
inline constexpr std::int32_t kRemoteGenerationKind = 1;

// Sizes are 32-bit on the interface; sums and products of sizes saturate instead of wrapping.
std::int32_t Saturate(std::int64_t value) noexcept;

using HostCallback = void (*)();
using OpaqueArg = std::intptr_t;

class TCryptoEngine {
 public:
  // Argument lists of the numbered query handlers (see QueryByCode).
#define VORNAK2_QUERY_A(op)                                            \
  virtual std::int32_t op(std::int32_t, void*, void*, std::int32_t*) { \
    return kNotProvided;                                               \
  }
#define VORNAK2_QUERY_B(op)                                     \
  virtual std::int32_t op(std::int32_t, void*, std::int32_t*) { \
    return kNotProvided;                                        \
  }
#define VORNAK2_QUERY_C(op)                                                          \
  virtual std::int32_t op(std::int32_t, void*, std::int32_t, void*, std::int32_t*) { \
    return kNotProvided;                                                             \
  }
#define VORNAK2_QUERY_D(op)                                                                        \
  virtual std::int32_t op(std::int32_t, void*, std::int32_t, std::int32_t, void*, std::int32_t*) { \
    return kNotProvided;                                                                           \
  }
#define VORNAK2_QUERY_E(op)                                                          \
  virtual std::int32_t op(void*, std::int32_t, std::int32_t, void*, std::int32_t*) { \
    return kNotProvided;                                                             \
  }
#define VORNAK2_INCLUDE_3(op)                        \
  virtual std::int32_t op(OpaqueArg, void*, void*) { \
    return kNotProvided;                             \
  }
#define VORNAK2_INCLUDE_2(op)                 \
  virtual std::int32_t op(OpaqueArg, void*) { \
    return kNotProvided;                      \
  }

  // Slot 54: construction; concrete engines append their parameters in their constructor.
  TCryptoEngine();
  virtual ~TCryptoEngine();
  TCryptoEngine(const TCryptoEngine&) = delete;
  TCryptoEngine& operator=(const TCryptoEngine&) = delete;

  // ---- slots 0 to 50: numbered requests, reached through IncludeByKind and QueryByCode ----
  virtual std::int32_t Reserved0() {
    return kNotProvided;
  }
  VORNAK2_INCLUDE_3(IncludeKind9)
  VORNAK2_INCLUDE_3(IncludeKind1)
  virtual std::int32_t IncludeKind3(OpaqueArg a, void* x, void* y) { return IncludeKind1(a, x, y); }
  VORNAK2_INCLUDE_3(IncludeKind5)
  VORNAK2_INCLUDE_2(IncludeKind6)
  VORNAK2_INCLUDE_3(IncludeKind11)
  VORNAK2_INCLUDE_3(IncludeKind13)
  VORNAK2_INCLUDE_3(IncludeKind12)
  virtual std::int32_t IncludeKind14() {
    return kNotProvided;
  }
  VORNAK2_INCLUDE_2(IncludeKind15)
  virtual std::int32_t IncludeKind19(OpaqueArg a, void* x);
  VORNAK2_QUERY_B(QueryCode4)
  VORNAK2_QUERY_A(QueryCode5)
  VORNAK2_QUERY_B(QueryCode12)
  VORNAK2_QUERY_B(QueryCode13)
  VORNAK2_QUERY_A(QueryCode1)
  VORNAK2_QUERY_A(QueryCode6)
  VORNAK2_QUERY_C(QueryCode7)
  VORNAK2_QUERY_D(QueryCode18)
  VORNAK2_QUERY_B(QueryCode8)
  VORNAK2_QUERY_C(QueryCode9)
  VORNAK2_QUERY_C(QueryCode15)
  VORNAK2_QUERY_C(QueryCode10)
  VORNAK2_QUERY_D(QueryCode101To103)
  VORNAK2_QUERY_B(QueryCode11)
  VORNAK2_QUERY_C(QueryCode14)
  VORNAK2_QUERY_C(QueryCode41)
  VORNAK2_QUERY_C(QueryCode16)
  VORNAK2_QUERY_B(QueryCode17)
  virtual std::int32_t CheckSecretKeyReady(std::int32_t index, void* uid, std::int32_t* size);
  VORNAK2_QUERY_B(QueryCode21)
  VORNAK2_QUERY_D(QueryCode201)
  VORNAK2_QUERY_E(QueryCode19)
  VORNAK2_QUERY_E(QueryCode22)
  VORNAK2_QUERY_E(QueryCode24)
  virtual std::int32_t QueryCode26(void*, std::int32_t) {
    return kNotProvided;
  }
  VORNAK2_QUERY_E(QueryCode31)
  VORNAK2_QUERY_E(QueryCode32)
  virtual std::int32_t QueryEngineKind(const std::string& name, void* input, std::uint8_t* flag);
  VORNAK2_QUERY_D(QueryCode35)
  VORNAK2_QUERY_E(QueryCode28)
  VORNAK2_QUERY_E(QueryCode29)
  VORNAK2_QUERY_E(QueryCode30)
  VORNAK2_QUERY_D(QueryCode40)
  VORNAK2_QUERY_E(QueryCode42)
  VORNAK2_QUERY_D(QueryCode45)
  VORNAK2_QUERY_D(QueryCode46)
  VORNAK2_QUERY_D(QueryCode47)
  VORNAK2_QUERY_D(QueryCode48)
  VORNAK2_QUERY_D(QueryCode49)
#undef VORNAK2_QUERY_A
#undef VORNAK2_QUERY_B
#undef VORNAK2_QUERY_C
#undef VORNAK2_QUERY_D
#undef VORNAK2_QUERY_E
#undef VORNAK2_INCLUDE_3
#undef VORNAK2_INCLUDE_2

  // ---- slots 51 to 53: stored settings ----
  virtual void SetPasswordRequestFunc(HostCallback callback) { passwordRequestFunc_ = callback; }
  virtual void SetReservedValue(std::int32_t value) { reservedValue_ = value; }
  virtual void SetRemoteGeneratePath(const std::string& path);

  // ---- slots 55 to 62: identity and sizes ----
  virtual void GetEngineName(char* buffer);
  virtual std::int32_t GetMaxEncodeAddition() {
    return kBaseTextLength;
  }
  virtual std::int32_t GetMaxSignatureLength() {
    return kBaseTextLength;
  }
  virtual std::int32_t GetMaxUIDLength() {
    return kBaseTextLength;
  }
  virtual std::int32_t GetMaxCryptoParamNameLength() {
    return kBaseTextLength;
  }
  virtual std::int32_t GetMaxCryptoParamValueLength() {
    return kBaseParamValueLength;
  }
  virtual std::int32_t GetMaxErrorStringLength() {
    return kBaseTextLength;
  }
  virtual std::int32_t GetMaxPasswordLength() {
    return kBaseTextLength;
  }

  // ---- slots 63 to 66: parameters ----
  virtual std::int32_t GetCryptoParamNumber();
  virtual void GetCryptoParamName(std::int32_t number, char* buffer);
  virtual void GetCryptoParamValue(std::int32_t number, char* buffer);
  virtual std::int32_t SetCryptoParamValue(std::int32_t number, const char* value);

  // ---- slots 67 to 82: users, messages, data ----
  virtual std::int32_t GetEncodeUIDBySignUID(const char* signUID, char* encodeUID);
  virtual std::int32_t GetCurrentUserUID(char* uid);
  virtual void GetCryptoErrorString(std::int32_t code, char* buffer);
  virtual std::int32_t EncodeData(void* data, std::int32_t* size, const char* recipients);
  virtual std::int32_t DecodeData(void* data, std::int32_t* size, void* third);
  virtual std::int32_t SignData(const void* data, std::int32_t length, void* signature,
                                std::int32_t* signatureLength, const char* signerUID);
  virtual std::int32_t VerifyData(const void* data, std::int32_t length, const void* signature,
                                  std::int32_t signatureLength, char* signerUID);
  virtual std::int32_t IncludePublicKey(const char*) {
    return kNotProvided;
  }
  virtual void ClearCash() {}
  virtual std::int32_t UpdateCertificateCash(const char*) {
    return kNotProvided;
  }
  virtual std::int32_t RemoveCertificate(const char*) {
    return kNotProvided;
  }
  virtual std::int32_t IncludeCRL(OpaqueArg) {
    return kNotProvided;
  }
  virtual void GetLastErrorMessage(char* buffer);
  virtual std::int32_t GenerateNewSSK() {
    return kNotProvided;
  }
  virtual std::int32_t GenerateNewSEK() {
    return kNotProvided;
  }
  virtual bool IsDifferentKeys() { return false; }

  // ---- slots 83 to 88: operations this library does not provide ----
  virtual std::int32_t IncludePublicEncodeKey(OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t SignFile(OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t VerifyFile(OpaqueArg, OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t RemoveSignaturesFromFile(OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t TransPrivateKeyFromFileToTM() {
    return kNotProvided;
  }
  virtual std::int32_t TransSignatureFromFileToTM() {
    return kNotProvided;
  }

  // ---- slots 89 to 101: transfers, remote generation, appended signatures ----
  virtual std::int32_t GetMaxPublicKeyTransferSize() {
    return kBaseTransferSize;
  }
  virtual std::int32_t RemoteGenerateStart(char*) {
    return kNotProvided;
  }
  virtual std::int32_t RemoteGenerateFinish(const char*) {
    return kNotProvided;
  }
  virtual std::int32_t ExcludeSelfPublicKeyTransfer(char*) {
    return kNotProvided;
  }
  virtual std::int32_t IncludePublicKeyTransfer(const char*) {
    return kNotProvided;
  }
  virtual std::int32_t GetPublicKeyTransfer(const char*, char*) {
    return kNotProvided;
  }
  virtual std::int32_t SavePublicKeyFromTransfer(const char*, const char*) {
    return kNotProvided;
  }
  virtual std::int32_t RemoteGenerateStartEx(const char*, char*, std::int32_t*) {
    return kNotProvided;
  }
  virtual std::int32_t RemoteGenerateFinishEx(const char*, std::int32_t*) {
    return kNotProvided;
  }
  virtual std::int32_t GetPublicKeyTransferByFile(char*, const char*) {
    return kNotProvided;
  }
  virtual std::int32_t IncludeCACertificateFromTransfer(const char*) {
    return kNotProvided;
  }
  virtual std::int32_t AddSign(void*, std::int32_t*, const char*) {
    return kNotProvided;
  }
  virtual std::int32_t RemoveSign(void*, std::int32_t*, char*) {
    return kNotProvided;
  }

  // ---- slots 102 to 122 ----
  virtual std::int32_t GetMaxSignAddition();
  virtual std::int32_t GetMaxEncodeAdditionForUsers(std::int32_t count);
  virtual std::int32_t SaveSignedDataToFile(const void* data, std::int32_t length, const void* signature,
                                            std::int32_t signatureLength, const char* fileName);
  virtual std::int32_t GetRemoteGenType() {
    return kLibraryNotLoaded;
  }
  virtual std::int32_t GetMaxReportSize() {
    return kNotProvided;
  }
  virtual std::int32_t GetReport(const char*, char*) {
    return kNotProvided;
  }
  virtual std::int32_t GetMaxAdditionEx(const char* recipients);
  virtual std::int32_t GetUIDByPublicKeyTransfer(const char*, char*) {
    return kNotProvided;
  }
  virtual std::int32_t GetPublicKeyPropertiesByTransfer(const char*, char*) {
    return kNotProvided;
  }
  virtual std::int32_t GetPublicKeyPropertiesByFile(const char*, char*) {
    return kNotProvided;
  }
  virtual std::int32_t CreateDirStructure(const char*, const char*) {
    return kNotProvided;
  }
  virtual std::int32_t VerifySignWOCheckValidity(const void* data, std::int32_t length, const void* signature,
                                                 std::int32_t signatureLength, char* signerUID);
  virtual std::int32_t CertAndRequestTransferMatch(const char* first, const char* second, std::int32_t* match);
  virtual std::int32_t ConvertTransferToSignedRequest(OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t HashData(OpaqueArg, OpaqueArg, OpaqueArg, OpaqueArg, OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t ShowCertificate(OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t GetPureSign(const void* data, std::int32_t length, std::int32_t ignored, char* text,
                                   std::int32_t* size);
  virtual std::int32_t GetUIDByCertIdent(OpaqueArg, OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t InstallCertsInMyStore(OpaqueArg) {
    return kNotProvided;
  }
  virtual std::int32_t RegisterOIDInfo(const std::string&, const std::u16string&) {
    return kNotProvided;
  }
  virtual std::int32_t GetParamInfo(std::int32_t, std::int32_t*, char*, std::int32_t*) {
    return kNotProvided;
  }

  // ---- slots 123, 124: the dispatchers ----
  virtual std::int32_t IncludeByKind(std::int32_t kind, OpaqueArg a, void* x, void* y);
  virtual std::int32_t QueryByCode(std::int32_t code, void* input, std::int32_t extra, std::int32_t index,
                                   void* output, std::int32_t* size);

  // ---- routines for engines ----
  // Copies min(n, strlen(text) + 1) bytes; false for a null text or buffer or n <= 0.
  static bool CopyToBuffer(const char* text, char* buffer, std::int32_t n) noexcept;
  // Replaces a leading "%QVXRoot%" by the engine's root path.
  std::string ExpandRootPath(const std::string& path) const;
  // ExpandRootPath, then a trailing separator so the result can prefix file names.
  std::string ExpandDirPath(const std::string& path) const;
  // Moves the data up, puts a zero-terminated label in front and encrypts the data in place.
  std::int32_t EncodeAfterLabel(const char* label, void* buffer, std::int32_t* size, const char* recipients);
  // Decrypts data that follows a zero-terminated label; *start points behind the label.
  std::int32_t DecodeAfterLabel(void* buffer, std::int32_t total, void** start, std::int32_t* size);

  // ---- common state ----
  void SetEngineRoot(const std::string& path);
  const std::string& RootPath() const noexcept { return rootPath_; }
  const std::string& RemoteGeneratePath() const noexcept { return remoteGeneratePath_; }
  void SetTMRequestFunc(HostCallback callback) noexcept { tmRequestFunc_ = callback; }
  HostCallback PasswordRequestFunc() const noexcept { return passwordRequestFunc_; }
  HostCallback TMRequestFunc() const noexcept { return tmRequestFunc_; }
  std::int32_t ReservedValue() const noexcept { return reservedValue_; }
  std::int32_t Kind19Value() const noexcept { return kind19Value_; }
  bool ParamsChanged() const noexcept { return paramsChanged_; }
  TSyncExceptStr& LastException() noexcept { return lastException_; }

 protected:
  // Concrete engines append their parameters in their constructor, names and defaults in step.
  void AddParam(std::string name, std::string defaultValue);
  // Value of parameter number (from 1); empty for a number out of range.
  const std::string& ParamValue(std::int32_t number) const;

 private:
  TSyncExceptStr lastException_;
  std::vector<std::string> paramNames_;
  std::vector<std::string> paramValues_;
  HostCallback passwordRequestFunc_ = nullptr;
  std::int32_t reservedValue_ = 0;
  HostCallback tmRequestFunc_ = nullptr;
  std::string rootPath_;
  std::int32_t kind19Value_ = 0;
  bool paramsChanged_ = true;
  std::string remoteGeneratePath_;
};

// Display name of an engine kind code (1 to 26); empty for any other code.
std::string_view EngineKindName(std::int32_t code) noexcept;

}  // namespace vornak2
