#include "host_api.h"

#include <cstring>

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
  const auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

std::string DefaultLibraryPath() {
  if (auto env = platform::GetEnv("VORNAK2_LIBRARY")) return *env;
  return ToolDir() + "../lib/libvornak2.so";
}

Library::Library(const std::string& path) : path_(path) {
  module_ = platform::LoadModule(path);
  if (module_ == nullptr) {
    error_ = "cannot load " + path;
    return;
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
  std::vector<char> buffer = TextBuffer(api_.GetMaxErrorStringLength(handle_));
  api_.GetCryptoErrorString(handle_, code, buffer.data());
  return Cp1251ToUtf8(BufferText(buffer));
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

void EngineSetup::AddUser(const std::string& name) {
  const std::string dir = "%QVXRoot%/" + name + "/";
  params.emplace_back(kParamSecretPath, dir + "sec");
  params.emplace_back(kParamPublicPath, dir + "crt");
  params.emplace_back(kParamRandomFile, dir + "@rand");
  params.emplace_back(kParamUserCertificate, dir + "self.crt");
}

std::string Configure(const Engine& engine, const EngineSetup& setup) {
  const Api& api = engine.api();
  if (setup.root) api.SetRootPath(engine.handle(), setup.root->c_str());
  for (const auto& [number, value] : setup.params) {
    if (api.SetCryptoParamValue(engine.handle(), number, value.c_str()) != 0)
      return "the engine has no parameter " + std::to_string(number) + " (it has 1 to " +
             std::to_string(api.GetCryptoParamNumber(engine.handle())) + ")";
  }
  return {};
}

}  // namespace vornak2::host
