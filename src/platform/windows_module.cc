// Run-time loading of DLLs and the paths of the program and of loaded modules (Windows).
#include <windows.h>
// windows.h defines FreeModule as a macro; the platform layer has a function of that name.
#undef FreeModule

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vornak2::platform {

ModuleHandle LoadModule(const std::string& path) noexcept {
  if (path.empty()) return nullptr;
  // A DLL that cannot be loaded must not pop up a message box in the host's process.
  DWORD previous = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE module = LoadLibraryA(path.c_str());
  SetThreadErrorMode(previous, nullptr);
  return module;
}

void* FindSymbol(ModuleHandle module, const char* name) noexcept {
  if (module == nullptr || name == nullptr) return nullptr;
  // FARPROC is a function pointer type of its own; callers cast the address to the entry's type.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void FreeModule(ModuleHandle module) noexcept {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

namespace {

// GetModuleFileNameA with room enough; empty on failure.
std::string ModuleFileName(HMODULE module) {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    // Truncated: try again with more room.
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

std::string ExecutablePath() {
  return ModuleFileName(nullptr);
}

std::string LoadedModulePath(std::string_view fileName) {
  // A module that is not loaded gives a null handle, and the file name of a null handle is the
  // program's own, as the system answers.
  HMODULE module = nullptr;
  if (!fileName.empty()) module = GetModuleHandleA(std::string(fileName).c_str());
  return ModuleFileName(module);
}

std::string OwnModulePath() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&OwnModulePath), &self))
    return {};
  return ModuleFileName(self);
}

}  // namespace vornak2::platform
