#include "engine/cryptobj.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/platform.h"
#include "root/rootpath.h"
#include "support/files.h"
#include "support/text.h"

namespace vornak2 {
namespace {

constexpr char kSep = platform::kPathSeparator;

template <typename T>
T* Require(T* p, const char* what) {
  if (p == nullptr) throw EInvalidPointer(what);
  return p;
}

}  // namespace

std::int32_t Saturate(std::int64_t value) noexcept {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// ---- TSyncExceptStr ----

void TSyncExceptStr::SetText(std::string text) {
  WriteLock guard(lock_);
  text_ = std::move(text);
}

std::string TSyncExceptStr::GetText() const {
  ReadLock guard(lock_);
  return text_;
}

// ---- construction ----

TCryptoEngine::TCryptoEngine() = default;
TCryptoEngine::~TCryptoEngine() = default;

void TCryptoEngine::AddParam(std::string name, std::string defaultValue) {
  paramNames_.push_back(std::move(name));
  paramValues_.push_back(std::move(defaultValue));
}

const std::string& TCryptoEngine::ParamValue(std::int32_t number) const {
  static const std::string kEmpty;
  if (number < 1 || static_cast<std::size_t>(number) > paramValues_.size()) return kEmpty;
  return paramValues_[number - 1];
}

// ---- stored settings ----

std::int32_t TCryptoEngine::IncludeKind19(OpaqueArg, void* x) {
  std::int32_t value;
  std::memcpy(&value, Require(x, "kind-19 value"), sizeof value);
  kind19Value_ = value;
  return kOk;
}

void TCryptoEngine::SetRemoteGeneratePath(const std::string& path) {
  remoteGeneratePath_ = ExpandDirPath(path);
}

void TCryptoEngine::SetEngineRoot(const std::string& path) {
  rootPath_ = AddPathSeparator(path);
}

// ---- parameters ----

std::int32_t TCryptoEngine::GetCryptoParamNumber() { return static_cast<std::int32_t>(paramNames_.size()); }

void TCryptoEngine::GetCryptoParamName(std::int32_t number, char* buffer) {
  Require(buffer, "parameter name buffer");
  if (number < 1 || static_cast<std::size_t>(number) > paramNames_.size()) {
    buffer[0] = '\0';
    return;
  }
  const std::string& name = paramNames_[number - 1];
  std::memcpy(buffer, name.c_str(), name.size() + 1);
}

void TCryptoEngine::GetCryptoParamValue(std::int32_t number, char* buffer) {
  Require(buffer, "parameter value buffer");
  const std::string& value = ParamValue(number);
  const std::size_t limit = static_cast<std::size_t>(std::max(GetMaxCryptoParamValueLength() - 1, 0));
  const std::size_t n = std::min(value.size(), limit);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
}

std::int32_t TCryptoEngine::SetCryptoParamValue(std::int32_t number, const char* value) {
  std::string text = value ? value : "";
  if (number < 1 || static_cast<std::size_t>(number) > paramValues_.size()) return kNotProvided;
  paramValues_[number - 1] = std::move(text);
  paramsChanged_ = true;
  return kOk;
}

// ---- operations a concrete engine must supply ----

void TCryptoEngine::GetEngineName(char*) { throw EAbstractError(); }
std::int32_t TCryptoEngine::GetEncodeUIDBySignUID(const char*, char*) { throw EAbstractError(); }
std::int32_t TCryptoEngine::GetCurrentUserUID(char*) { throw EAbstractError(); }
std::int32_t TCryptoEngine::EncodeData(void*, std::int32_t*, const char*) { throw EAbstractError(); }
std::int32_t TCryptoEngine::DecodeData(void*, std::int32_t*, void*) { throw EAbstractError(); }
std::int32_t TCryptoEngine::SignData(const void*, std::int32_t, void*, std::int32_t*, const char*) {
  throw EAbstractError();
}
std::int32_t TCryptoEngine::VerifyData(const void*, std::int32_t, const void*, std::int32_t, char*) {
  throw EAbstractError();
}

// ---- messages ----

void TCryptoEngine::GetCryptoErrorString(std::int32_t code, char* buffer) {
  if (buffer == nullptr) return;
  try {
    const std::int32_t n = GetMaxErrorStringLength();
    if (n <= 0) return;
    std::memset(buffer, 0, static_cast<std::size_t>(n));
    const std::string text = "CRYPTO ENGINE ERROR : " + std::to_string(code);
    std::memcpy(buffer, text.data(), std::min(text.size(), static_cast<std::size_t>(n) - 1));
  } catch (...) {
  }
}

void TCryptoEngine::GetLastErrorMessage(char* buffer) {
  if (buffer == nullptr) throw EAssertionFailed("cryptobj", __LINE__);
  buffer[0] = '\0';
}

// ---- sizes ----

std::int32_t TCryptoEngine::GetMaxSignAddition() {
  return Saturate(std::int64_t{GetMaxSignatureLength()} + kBaseTextLength);
}

std::int32_t TCryptoEngine::GetMaxEncodeAdditionForUsers(std::int32_t count) {
  return Saturate(std::int64_t{GetMaxEncodeAddition()} * count);
}

std::int32_t TCryptoEngine::GetMaxAdditionEx(const char* recipients) {
  if (recipients == nullptr || *recipients == '\0') return GetMaxEncodeAddition();
  std::vector<std::string> list;
  return Saturate(std::int64_t{GetMaxEncodeAddition()} * SplitBySemicolon(recipients, list));
}

// ---- verification and transfers ----

std::int32_t TCryptoEngine::VerifySignWOCheckValidity(const void* data, std::int32_t length, const void* signature,
                                                      std::int32_t signatureLength, char* signerUID) {
  return VerifyData(data, length, signature, signatureLength, signerUID);
}

std::int32_t TCryptoEngine::CertAndRequestTransferMatch(const char*, const char*, std::int32_t* match) {
  *Require(match, "match flag") = -1;
  return kOk;
}

// ---- routines ----

bool TCryptoEngine::CopyToBuffer(const char* text, char* buffer, std::int32_t n) noexcept {
  if (text == nullptr || buffer == nullptr || n <= 0) return false;
  const std::size_t count = std::min(static_cast<std::size_t>(n), std::strlen(text) + 1);
  std::memcpy(buffer, text, count);
  return true;
}

std::string TCryptoEngine::ExpandRootPath(const std::string& path) const {
  if (path.size() < kRootMacro.size() ||
      AsciiUpper(std::string_view(path).substr(0, kRootMacro.size())) != AsciiUpper(kRootMacro))
    return path;
  std::string_view rest = std::string_view(path).substr(kRootMacro.size());
  if (!rest.empty() && rest.front() == kSep) rest.remove_prefix(1);
  std::string result = rootPath_;
  result.append(rest);
  // Where file names ignore letter case the expansion is upper-cased whole; where they do not, it
  // keeps the letter case of both parts.
  if constexpr (platform::kCaseInsensitiveFileNames) return AsciiUpper(result);
  return result;
}

std::string TCryptoEngine::ExpandDirPath(const std::string& path) const {
  // AddPathSeparator also turns a lone drive letter into its drive root ("A" -> "A:\").
  return AddPathSeparator(ExpandRootPath(path));
}

}  // namespace vornak2
