// Environment, local time and thread identity.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace vornak2::platform {

std::optional<std::string> GetEnv(const char* name) {
  if (name == nullptr) return std::nullopt;
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool SetEnv(const char* name, const std::string& value) noexcept {
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '=') != nullptr) return false;
  return setenv(name, value.c_str(), 1) == 0;
}

std::uint16_t CurrentMilliseconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint16_t>(now.tv_nsec / 1000000);
}

std::tm LocalTime(std::optional<std::time_t> when) noexcept {
  const std::time_t moment = when ? *when : std::time(nullptr);
  std::tm result{};
  if (localtime_r(&moment, &result) == nullptr) result = std::tm{};
  return result;
}

std::uint32_t CurrentThreadId() noexcept {
  // Kernel thread identifiers are positive, so the result is never 0.
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

void YieldThread() noexcept {
  sched_yield();
}

}  // namespace vornak2::platform
