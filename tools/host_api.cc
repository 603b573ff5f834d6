#include "host_api.h"

#include <cstring>

#include "platform/diagnostics.h"
#include "support/text.h"

namespace vornak2::host {

namespace {

template <typename F>
void Bind(platform::ModuleHandle module, const char* name, F& slot, std::string& missing) {
  slot = reinterpret_cast<F>(platform::FindSymbol(module, name));
  if (slot == nullptr) missing += missing.empty() ? name : std::string(", ") + name;
}

// A zeroed buffer for a text of at most `size` bytes (a size query's answer) and a terminator.
std::vector<char> TextBuffer(std::int32_t size) {
  return std::vector<char>(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
}

}  // namespace

std::string BufferText(const std::vector<char>& buffer) {
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

std::string ToolDir() {
  const std::string exe = platform::ExecutablePath();
  const auto slash = exe.rfind(kSep);
  return slash == std::string::npos ? std::string(".") + kSep : exe.substr(0, slash + 1);
}

namespace {
bool g_terminalUtf8 = false;
}  // namespace

void SetTerminalUtf8(bool utf8) {
  g_terminalUtf8 = utf8;
}

std::string TerminalText(std::string_view cp1251) {
  static const std::string encoding = platform::LocaleEncoding();
  if (!g_terminalUtf8 && encoding != "UTF-8" && encoding != "ANSI_X3.4-1968") {
    if (auto converted = platform::ConvertText(cp1251, "CP1251", encoding)) return *converted;
  }
  return Cp1251ToUtf8(cp1251);
}

std::string DefaultLibraryPath() {
  if (auto env = platform::GetEnv("VORNAK2_LIBRARY")) return *env;
  // On Windows the DLL lies beside the tool, where the loader's search starts.
  for (const std::string& candidate :
       {ToolDir() + ".." + kSep + "lib" + kSep + platform::SharedLibraryFileName("vornak2"),
        ToolDir() + VORNAK2_TOOL_TO_LIBDIR + kSep + VORNAK2_SONAME}) {
    if (platform::IsRegularFile(candidate)) return candidate;
  }
  return VORNAK2_SONAME;
}

Library::Library(const std::string& path) : path_(path) {
  module_ = platform::LoadModule(path);
  if (module_ == nullptr) {
    // A second attempt to hear the loader's reason; it fails the same way.
    error_ = "cannot load " + path + ": " + platform::ProbeModule(path, {}).reason;
    return;
  }
  if (path.find(kSep) == std::string::npos) {
    // Loaded by name: where the loader found it.
    const std::string found = platform::LoadedModulePath(path);
    if (found.size() > path.size() &&
        found.compare(found.size() - path.size(), path.size(), path) == 0)
      path_ = found;
  }
  std::string missing;
#define VORNAK2_HOST_BIND(name) Bind(module_, #name, api_.name, missing);
  VORNAK2_HOST_EXPORTS(VORNAK2_HOST_BIND)
  VORNAK2_HOST_STORE_EXPORTS(VORNAK2_HOST_BIND)
#undef VORNAK2_HOST_BIND
  if (!missing.empty()) error_ = path + " does not export " + missing;
}

Library::~Library() {
  if (module_ != nullptr) platform::FreeModule(module_);
}

std::string Engine::Message(std::int32_t code) const {
  return TerminalText(RawMessage(code));
}

std::string Engine::RawMessage(std::int32_t code) const {
  std::vector<char> buffer = TextBuffer(api_.GetMaxErrorStringLength(handle_));
  api_.GetCryptoErrorString(handle_, code, buffer.data());
  return BufferText(buffer);
}

std::string Engine::Describe(std::int32_t code) const {
  const std::string message = Message(code);
  return message.empty() ? std::to_string(code) : std::to_string(code) + ": " + message;
}

std::string Engine::ParamName(std::int32_t number) const {
  std::vector<char> buffer = TextBuffer(api_.GetMaxCryptoParamNameLength(handle_));
  api_.GetCryptoParamName(handle_, number, buffer.data());
  return BufferText(buffer);
}

std::string Engine::ParamValue(std::int32_t number) const {
  std::vector<char> buffer = TextBuffer(api_.GetMaxCryptoParamValueLength(handle_));
  api_.GetCryptoParamValue(handle_, number, buffer.data());
  return BufferText(buffer);
}

std::optional<std::pair<std::int32_t, std::string>> Engine::ParamInfo(std::int32_t number) const {
  std::int32_t kind = 0;
  std::int32_t size = 0;
  // A null buffer asks for the hint's size first.
  if (api_.GetParamInfo(handle_, number, &kind, nullptr, &size) != 0) return std::nullopt;
  if (size <= 0) return std::make_pair(kind, std::string());
  std::vector<char> hint = TextBuffer(size);
  if (api_.GetParamInfo(handle_, number, &kind, hint.data(), &size) != 0) return std::nullopt;
  return std::make_pair(kind, BufferText(hint));
}

std::int32_t Engine::CurrentUserUid(std::string& uid) const {
  std::vector<char> buffer = TextBuffer(api_.GetMaxUIDLength(handle_));
  const std::int32_t code = api_.GetCurrentUserUID(handle_, buffer.data());
  uid = code == 0 ? BufferText(buffer) : std::string();
  return code;
}

}  // namespace vornak2::host
