// Environment, local time and thread identity (Windows).
#include <windows.h>
// windows.h defines FreeModule as a macro; the platform layer has a function of that name.
#undef FreeModule

#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace vornak2::platform {

// The process environment block is read and written through the system, not the C runtime's
// copy, so that DLLs loaded later (which search "Path") see what was set.
std::optional<std::string> GetEnv(const char* name) {
  if (name == nullptr || name[0] == '\0') return std::nullopt;
  std::string value(256, '\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n counts the terminator when the buffer was too small
  }
}

bool SetEnv(const char* name, const std::string& value) noexcept {
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '=') != nullptr) return false;
  return SetEnvironmentVariableA(name, value.c_str()) != 0;
}

std::uint16_t CurrentMilliseconds() noexcept {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return now.wMilliseconds;
}

std::tm LocalTime(std::optional<std::time_t> when) noexcept {
  const std::time_t moment = when ? *when : std::time(nullptr);
  std::tm result{};
  if (localtime_s(&result, &moment) != 0) result = std::tm{};
  return result;
}

std::uint32_t CurrentThreadId() noexcept {
  // Windows thread identifiers are never 0.
  return static_cast<std::uint32_t>(GetCurrentThreadId());
}

void YieldThread() noexcept {
  SwitchToThread();
}

}  // namespace vornak2::platform
