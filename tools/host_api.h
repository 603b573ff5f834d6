// vornak2-host: the library as a host application sees it. The exported functions are looked up
// by name in the module loaded at run time; an engine handle lives in an object that releases it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "vornak2.h"

namespace vornak2::host {

// Every export the tool calls; the list drives both the table and the look-up.
#define VORNAK2_HOST_EXPORTS(X)   \
  X(GetCryptObj)                  \
  X(DoneEngine)                   \
  X(SetRootPath)                  \
  X(GetCryptoParamNumber)         \
  X(GetCryptoParamName)           \
  X(GetCryptoParamValue)          \
  X(SetCryptoParamValue)          \
  X(GetParamInfo)                 \
  X(GetMaxCryptoParamNameLength)  \
  X(GetMaxCryptoParamValueLength) \
  X(GetMaxErrorStringLength)      \
  X(GetCryptoErrorString)         \
  X(GetMaxUIDLength)              \
  X(GetMaxSignatureLength)        \
  X(GetMaxSignAddition)           \
  X(GetMaxEncodeAddition)         \
  X(GetMaxAdditionEx)             \
  X(GetCurrentUserUID)            \
  X(SignData)                     \
  X(VerifyData)                   \
  X(VerifySignWOCheckValidity)    \
  X(AddSign)                      \
  X(RemoveSign)                   \
  X(EncodeData)                   \
  X(DecodeData)

// The exports of the certificate store, key generation, transfers, renewal and reports.
#define VORNAK2_HOST_STORE_EXPORTS(X) \
  X(GetMaxPublicKeyTransferSize)      \
  X(IncludePublicKey)                 \
  X(RemoveCertificate)                \
  X(UpdateCertificateCash)            \
  X(ClearCash)                        \
  X(GenerateNewSSK)                   \
  X(ExcludeSelfPublicKeyTransfer)     \
  X(GetPublicKeyTransfer)             \
  X(GetPublicKeyTransferByFile)       \
  X(GetUIDByPublicKeyTransfer)        \
  X(SavePublicKeyFromTransfer)        \
  X(IncludePublicKeyTransfer)         \
  X(IncludeCACertificateFromTransfer) \
  X(CertAndRequestTransferMatch)      \
  X(SetRemoteGeneratePath)            \
  X(RemoteGenerateStart)              \
  X(RemoteGenerateStartEx)            \
  X(RemoteGenerateFinish)             \
  X(RemoteGenerateFinishEx)           \
  X(GetMaxReportSize)                 \
  X(GetReport)                        \
  X(GetMaxPublicKeyPropertiesLength)  \
  X(GetPublicKeyProperties)           \
  X(GetPublicKeyPropertiesByFile)     \
  X(GetPublicKeyPropertiesByTransfer) \
  X(CreateDirStructure)               \
  X(SaveSignedDataToFile)

// Numbers of the engine parameters the tool sets or reads.
inline constexpr std::int32_t kParamSecretPath = 2;
inline constexpr std::int32_t kParamPublicPath = 3;
inline constexpr std::int32_t kParamUserId = 4;
inline constexpr std::int32_t kParamHash = 5;
inline constexpr std::int32_t kParamCipher = 6;
inline constexpr std::int32_t kParamRandomFile = 7;
inline constexpr std::int32_t kParamEncryptFor = 8;
inline constexpr std::int32_t kParamKeyGenSubject = 13;
inline constexpr std::int32_t kParamKeyGenDir = 14;
inline constexpr std::int32_t kParamTemplateDir = 15;
inline constexpr std::int32_t kParamKeyGenSecretLength = 16;
inline constexpr std::int32_t kParamKeyGenPublicLength = 17;
inline constexpr std::int32_t kParamKeyGenPeriod = 18;
inline constexpr std::int32_t kParamUserCertificate = 19;

struct Api {
#define VORNAK2_HOST_SLOT(name) decltype(&::name) name = nullptr;
  VORNAK2_HOST_EXPORTS(VORNAK2_HOST_SLOT)
  VORNAK2_HOST_STORE_EXPORTS(VORNAK2_HOST_SLOT)
#undef VORNAK2_HOST_SLOT
};

// The library this tool loads: the file the environment variable VORNAK2_LIBRARY names; else
// libvornak2.so of the build tree (../lib/ beside the tool) or of the installed tree (the library
// directory relative to the tool's); else its SONAME, left to the loader's search.
std::string DefaultLibraryPath();
// The directory of this tool, with its separator.
std::string ToolDir();
// The path separator of this platform.
inline constexpr char kSep = platform::kPathSeparator;

// The text in a buffer the library filled: up to its first zero byte, never beyond the buffer.
std::string BufferText(const std::vector<char>& buffer);
// A text of the library (Windows-1251) in the encoding of the user's locale. The C locale names
// no encoding that holds Cyrillic letters; there the text is UTF-8, what terminals show today.
std::string TerminalText(std::string_view cp1251);
// Whether the tool's text is UTF-8 whatever the locale: on a Windows console, which the tool
// writes through the wide console API (see StartConsoleOutput).
void SetTerminalUtf8(bool utf8);

// The loaded library with its exports; the module is released with the object.
class Library {
 public:
  explicit Library(const std::string& path);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // False when the module could not be loaded or lacks an export; error() says which.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // The file loaded: the path it was asked for by, or where the loader found it by its name.
  const std::string& path() const { return path_; }
  const Api& api() const { return api_; }
  platform::ModuleHandle module() const { return module_; }

 private:
  std::string path_;
  platform::ModuleHandle module_ = nullptr;
  Api api_;
  std::string error_;
};

// One engine, released (DoneEngine) when the object goes.
class Engine {
 public:
  explicit Engine(const Api& api) : api_(api), handle_(api.GetCryptObj(0)) {}
  ~Engine() {
    if (handle_ != nullptr) api_.DoneEngine(handle_);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  explicit operator bool() const { return handle_ != nullptr; }
  VORNAK2_HANDLE handle() const { return handle_; }
  const Api& api() const { return api_; }

  // The message of a result code, in the terminal's encoding (empty for 0).
  std::string Message(std::int32_t code) const;
  // The same as the library gives it (Windows-1251).
  std::string RawMessage(std::int32_t code) const;
  // "CODE" for success, "CODE: message" otherwise.
  std::string Describe(std::int32_t code) const;
  // The name and the value of a parameter, as the engine stores them (8-bit texts).
  std::string ParamName(std::int32_t number) const;
  std::string ParamValue(std::int32_t number) const;
  // The kind of a parameter and its hint; nullopt when the engine gives none.
  std::optional<std::pair<std::int32_t, std::string>> ParamInfo(std::int32_t number) const;
  // The current user's UID, or the result code that refused it.
  std::int32_t CurrentUserUid(std::string& uid) const;

 private:
  const Api& api_;
  VORNAK2_HANDLE handle_;
};

}  // namespace vornak2::host
