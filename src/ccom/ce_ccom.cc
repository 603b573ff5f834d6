#include "ccom/ce_ccom.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "binding/ccom_dll.h"
#include "ccom/messages.h"
#include "layouts/layouts.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/text.h"

namespace vornak2 {
namespace {

struct ParamRow {
  const char* name;
  const char* defaultValue;
  std::int32_t kind;
  const char* hint;
};

// Directory and file defaults: on Windows the diskette and system drives where a user's key set
// traditionally lives; elsewhere relative to the root ("%QVXRoot%"), where it is laid out.
struct PathDefaults {
  const char* keyDrive;     // current dir, key generation dir
  const char* secretDir;    // secret path
  const char* publicDir;    // public path
  const char* randomFile;   // random file
  const char* templateDir;  // template dir
  const char* certificate;  // current user certificate
};
constexpr PathDefaults kPathDefaults =
    platform::kDriveLetterPaths
        ? PathDefaults{"A:\\", "A:\\sec", "A:\\crt", "A:\\@rand", "C:\\", "A:\\self.crt"}
        : PathDefaults{"%QVXRoot%/",      "%QVXRoot%/sec", "%QVXRoot%/crt",
                       "%QVXRoot%/@rand", "%QVXRoot%/",    "%QVXRoot%/self.crt"};

// The nineteen parameters in number order.
constexpr std::array<ParamRow, kEngineParamCount> kParams = {{
    {"Current dir", kPathDefaults.keyDrive, 11, "*.*"},
    {"Secret Path", kPathDefaults.secretDir, 11, "*.*"},
    {"Public Path", kPathDefaults.publicDir, 11, "*.*"},
    {"User Id", "H.0", 2, "255"},
    {"Hash Algorithm", "34.11", 7, "34.11\r\nMD5\r\nSQR"},
    {"Cipher Algorithm", "28147", 7, "28147\r\n28147-ECB\r\nDES\r\nDES-ECB"},
    {"Random file", kPathDefaults.randomFile, 10, "*.*"},
    {"Encrypt for UID", "H.0", 4, "255"},
    {"Key request time out", "60", 1, "0..2147483640"},
    {"Last operation key time out", "5", 1, "0..2147483640"},
    {"Verify validity of cert and key files", "Yes", 3, ""},
    {"Use Intel Hardware Random driver", "No", 3, ""},
    {"Key gen - Subject", "", 2, "255"},
    {"Key gen - Dir", kPathDefaults.keyDrive, 11, "*.*"},
    {"Template dir", kPathDefaults.templateDir, 11, "*.*"},
    {"Key gen - Secret key length", "1024", 1, "512..1024"},
    {"Key gen - Public key length", "256", 1, "0..512"},
    {"Key gen - Key expire period", "730", 1, "0..2147483640"},
    {"Current user certificate", kPathDefaults.certificate, 10, "*.crt"},
}};

constexpr std::string_view kEngineName = "Zureza VOZ/2.2";

// The path-to-UID cache of all engines. Paths are compared as the file system compares them:
// exactly, or without regard to letter case where file names ignore it.
struct CertUIDCacheState {
  std::recursive_mutex lock;
  std::unordered_map<std::string, std::string> uids;
};

std::string CertUIDCacheKey(const std::string& path) {
  if constexpr (platform::kCaseInsensitiveFileNames) return AsciiUpper(path);
  return path;
}

CertUIDCacheState& CertUIDCache() {
  static CertUIDCacheState state;
  return state;
}

}  // namespace

// ---- parameter rules ----

bool ParamFlag(const std::string& value) {
  static const std::string kYesCyrillic = Utf8ToCp1251("ДА");
  std::string upper = AsciiUpper(value);
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  const auto first = std::find_if_not(upper.begin(), upper.end(), blank);
  const auto last = std::find_if_not(upper.rbegin(), upper.rend(), blank).base();
  const std::string_view trimmed(first < last ? &*first : "",
                                 first < last ? static_cast<std::size_t>(last - first) : 0);
  return trimmed == "YES" || trimmed == kYesCyrillic;
}

bool ParamInteger(const std::string& value, std::int32_t& out) {
  if (value.empty()) {
    out = 0;
    return true;
  }
  std::string_view text(value);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  out = parsed;
  return true;
}

// ---- construction ----

TCcom22Engine::TCcom22Engine() {
  for (const ParamRow& row : kParams) AddParam(row.name, row.defaultValue);
}

TCcom22Engine::~TCcom22Engine() = default;

FairLock& TCcom22Engine::LibraryLock() {
  return ProcessLibraryLock();
}

void TCcom22Engine::ClearCertUIDCache() {
  CertUIDCacheState& cache = CertUIDCache();
  std::lock_guard guard(cache.lock);
  cache.uids.clear();
}

void TCcom22Engine::SetCachedCertUID(const std::string& path, const std::string& uid) {
  CertUIDCacheState& cache = CertUIDCache();
  std::lock_guard guard(cache.lock);
  cache.uids.insert_or_assign(CertUIDCacheKey(path), uid);
}

std::recursive_mutex& TCcom22Engine::CertUIDCacheLock() {
  return CertUIDCache().lock;
}

void TCcom22Engine::RecordException(const char* operationTag, const std::exception& e) noexcept {
  try {
    LastException().SetText(std::string("TCcom22Engine.") + operationTag + ExceptionClassName(e) +
                            ": " + e.what());
  } catch (...) {
  }
}

// ---- identity and sizes ----

void TCcom22Engine::GetEngineName(char* buffer) {
  if (buffer == nullptr) throw EInvalidPointer("engine name buffer");
  std::memcpy(buffer, kEngineName.data(), kEngineName.size());
  buffer[kEngineName.size()] = '\0';
}

std::int32_t TCcom22Engine::GetMaxSignAddition() {
  return Saturate(std::int64_t{GetMaxSignatureLength()} + layouts::kAppendedTrailerSize);
}

std::int32_t TCcom22Engine::GetMaxEncodeAdditionForUsers(std::int32_t count) {
  // The multi-recipient head without its key slots, as the engine has always announced it.
  constexpr std::int64_t kPerRecipientField = 64;
  return Saturate(std::int64_t{GetMaxEncodeAddition()} + std::int64_t{layouts::kContainerHeader} +
                  kPerRecipientField * count);
}

std::int32_t TCcom22Engine::GetParamInfo(std::int32_t number, std::int32_t* kind, char* buffer,
                                         std::int32_t* size) {
  if (number < 1 || number > kEngineParamCount) return kNoSuchParameter;
  if (kind == nullptr || size == nullptr) return kNullPointer;
  const ParamRow& row = kParams[static_cast<std::size_t>(number - 1)];
  *kind = row.kind;
  const std::size_t hintLength = std::strlen(row.hint);
  if (hintLength == 0) {
    *size = 0;
    return kOk;
  }
  const auto n = static_cast<std::int32_t>(hintLength + 1);
  if (buffer == nullptr) {
    *size = n;
    return kOk;
  }
  if (*size < n) {
    *size = n;
    return kBadLength;
  }
  std::memcpy(buffer, row.hint, static_cast<std::size_t>(n));
  *size = n;
  return kOk;
}

// ---- the standard start ----

std::string TCcom22Engine::GetCurrentCertFile() const {
  const std::string& certificate = ParamValue(kParamCurrentUserCertificate);
  if (!certificate.empty()) return certificate;
  const std::string& uid = ParamValue(kParamUserId);
  if (!uid.empty()) return CertPathByUID(uid, ExpandDirPath(ParamValue(kParamPublicPath)));
  return ExpandDirPath(ParamValue(kParamCurrentDir)) + "self.crt";
}

std::int32_t TCcom22Engine::GetCryptoAPI(const std::string& path, std::string& uid) {
  uid.clear();
  if (!binding_) {
    if (const std::int32_t r = Guarded("GetCryptoAPI ",
                                       [&]() -> std::int32_t {
                                         binding_ = std::make_unique<TCComDLL>();
                                         return kOk;
                                       });
        r != kOk)
      return r;
  }
  binding_->SetPasswordRequestFunc(PasswordRequestFunc());
  if (!binding_->Loaded()) {
    binding_.reset();
    return kLibraryLoadFailed;
  }
  if (!binding_->Complete()) {
    binding_.reset();
    return kLibraryIncomplete;
  }
  CertUIDCacheState& cache = CertUIDCache();
  std::lock_guard guard(cache.lock);
  const std::string key = CertUIDCacheKey(path);
  if (auto it = cache.uids.find(key); it != cache.uids.end()) {
    uid = it->second;
    return kOk;
  }
  std::string found = binding_->GetCertificateUID(path);
  if (found.empty()) return kOk;
  cache.uids.emplace(key, found);
  uid = std::move(found);
  return kOk;
}

std::int32_t TCcom22Engine::StandardStart(std::string& uid) {
  if (!keySetChecked_.load(std::memory_order_acquire)) RecoverKeySetOnce();
  const std::int32_t result = GetCryptoAPI(ExpandRootPath(GetCurrentCertFile()), uid);
  if (result != 0) return result;
  return uid.empty() ? kNoUidInCertificate : kOk;
}

std::int32_t TCcom22Engine::ReadTimeouts(std::int32_t& keyRequestTimeout,
                                         std::int32_t& lastOperationTimeout) const {
  if (!ParamInteger(ParamValue(kParamKeyRequestTimeout), keyRequestTimeout) ||
      !ParamInteger(ParamValue(kParamLastOperationTimeout), lastOperationTimeout))
    return kBadTimeout;
  return kOk;
}

std::int32_t TCcom22Engine::PrepareKeyCacheFor(const OperationSettings& s, const std::string& uid) {
  return binding_->PrepareKeyCache(uid, s.certFile, s.publicPath, s.secretPath, s.randomFile,
                                   s.hardwareRandom, s.keyRequestTimeout, s.lastOperationTimeout);
}

std::int32_t TCcom22Engine::StartWithTimeouts(std::string& uid, Timeouts& timeouts) {
  if (const std::int32_t r = ReadTimeouts(timeouts.keyRequest, timeouts.lastOperation); r != kOk)
    return r;
  return StandardStart(uid);
}

std::int32_t TCcom22Engine::ReadOperationSettings(OperationSettings& s) const {
  if (const std::int32_t r = ReadTimeouts(s.keyRequestTimeout, s.lastOperationTimeout); r != kOk)
    return r;
  s.certFile = ExpandRootPath(GetCurrentCertFile());
  s.secretPath = ExpandDirPath(ParamValue(kParamSecretPath));
  s.publicPath = ExpandDirPath(ParamValue(kParamPublicPath));
  s.hash = ParamValue(kParamHashAlgorithm);
  s.cipher = ParamValue(kParamCipherAlgorithm);
  s.randomFile = ExpandRootPath(ParamValue(kParamRandomFile));
  s.checkValidity = ParamFlag(ParamValue(kParamVerifyValidity));
  s.hardwareRandom = ParamFlag(ParamValue(kParamHardwareRandom)) ? 1 : 0;
  return kOk;
}

// ---- users ----

std::int32_t TCcom22Engine::GetCurrentUserUID(char* buffer) {
  return Guarded("GetCurrentUID ", [&]() -> std::int32_t {
    std::string uid;
    const std::int32_t result = StandardStart(uid);
    if (result != 0) return result;
    if (buffer == nullptr) return kNullPointer;
    // The host's buffer holds GetMaxUIDLength() bytes; a UID that does not fit is refused.
    if (uid.size() >= static_cast<std::size_t>(GetMaxUIDLength())) return kBadLength;
    std::memcpy(buffer, uid.c_str(), uid.size() + 1);
    return kOk;
  });
}

std::int32_t TCcom22Engine::GetEncodeUIDBySignUID(const char* signUID, char* encodeUID) {
  if (signUID == nullptr || encodeUID == nullptr) return kNullPointer;
  const std::int32_t limit = GetMaxUIDLength();
  // A UID that leaves no room for its terminator within the limit is refused.
  if (::strnlen(signUID, static_cast<std::size_t>(limit)) >= static_cast<std::size_t>(limit))
    return kBadLength;
  return CopyToBuffer(signUID, encodeUID, limit) ? kOk : kBadLength;
}

// ---- messages ----

void TCcom22Engine::GetCryptoErrorString(std::int32_t code, char* buffer) {
  if (buffer == nullptr) return;
  try {
    const std::int32_t capacity = GetMaxErrorStringLength();
    WriteResultMessage({}, buffer, capacity);
    const std::string* description = binding_ ? &binding_->LastCallError() : nullptr;
    const std::string lastException = code == 136 ? LastException().GetText() : std::string();
    WriteResultMessage(ComposeResultMessage(code, description, lastException), buffer, capacity);
  } catch (...) {
  }
}

}  // namespace vornak2
