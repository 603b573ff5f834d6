// The hardware random source on Windows: the CryptoAPI provider that the Intel chipset driver
// installs, reached through advapi32.dll loaded at run time. Without the provider every request
// fails, and the system's error code of the failed acquisition says why.
#include <windows.h>
// windows.h defines FreeModule as a macro; the platform layer has a function of that name.
#undef FreeModule

#include <mutex>

#include "platform/platform.h"

namespace vornak2::platform {

namespace {

constexpr const char* kProviderName = "Intel Hardware Cryptographic Service Provider";
constexpr DWORD kProviderType = 22;  // PROV_INTEL_SEC

using AcquireContextFn = BOOL(WINAPI*)(ULONG_PTR*, LPCSTR, LPCSTR, DWORD, DWORD);
using ReleaseContextFn = BOOL(WINAPI*)(ULONG_PTR, DWORD);
using GenRandomFn = BOOL(WINAPI*)(ULONG_PTR, DWORD, BYTE*);

// advapi32.dll and its three functions, resolved once; the provider, acquired on the first
// successful request and released when the process ends.
class CryptoApi {
 public:
  static CryptoApi& Instance() {
    static CryptoApi api;
    return api;
  }
  bool Loaded() const noexcept { return module_ != nullptr; }
  bool Complete() const noexcept {
    return acquire_ != nullptr && release_ != nullptr && generate_ != nullptr;
  }

  bool Fill(void* buffer, std::size_t count) noexcept {
    if (!Complete()) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return false;
    }
    if (count > MAXDWORD) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    std::lock_guard guard(lock_);
    if (provider_ == 0) {
      ULONG_PTR handle = 0;
      if (!acquire_(&handle, nullptr, kProviderName, kProviderType, 0)) return false;
      provider_ = handle;
    }
    return generate_(provider_, static_cast<DWORD>(count), static_cast<BYTE*>(buffer)) != 0;
  }

  CryptoApi(const CryptoApi&) = delete;
  CryptoApi& operator=(const CryptoApi&) = delete;

 private:
  CryptoApi() noexcept {
    // The system's own copy: a DLL of that name beside the program is never taken for it.
    module_ = LoadLibraryExA("advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module_ == nullptr) module_ = LoadLibraryA("advapi32.dll");
    if (module_ == nullptr) return;
    acquire_ = Resolve<AcquireContextFn>("CryptAcquireContextA");
    release_ = Resolve<ReleaseContextFn>("CryptReleaseContext");
    generate_ = Resolve<GenRandomFn>("CryptGenRandom");
  }
  ~CryptoApi() {
    if (provider_ != 0 && release_ != nullptr) release_(provider_, 0);
    if (module_ != nullptr) FreeLibrary(module_);
  }
  template <typename F>
  F Resolve(const char* name) noexcept {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  HMODULE module_ = nullptr;
  AcquireContextFn acquire_ = nullptr;
  ReleaseContextFn release_ = nullptr;
  GenRandomFn generate_ = nullptr;
  std::mutex lock_;
  ULONG_PTR provider_ = 0;
};

}  // namespace

bool HardwareRandomSupported() noexcept {
  return CryptoApi::Instance().Loaded();
}

bool HardwareRandomPresent() noexcept {
  return CryptoApi::Instance().Complete();
}

bool HardwareRandomFill(void* buffer, std::size_t count) noexcept {
  if (buffer == nullptr && count > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return CryptoApi::Instance().Fill(buffer, count);
}

int LastErrorCode() noexcept {
  return static_cast<int>(GetLastError());
}

}  // namespace vornak2::platform
