// The CPU's hardware random-number generator (RDRAND on x86), and the thread's error code.
#include <cerrno>
#include <cstring>

#include "platform/platform.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define VORNAK2_HAVE_RDRAND 1
#endif

namespace vornak2::platform {

namespace {
// Intel recommends ten attempts before a draw is taken as a failure of the generator.
constexpr int kDrawAttempts = 10;
}  // namespace

#ifdef VORNAK2_HAVE_RDRAND

bool HardwareRandomSupported() noexcept {
  return true;
}

bool HardwareRandomPresent() noexcept {
  static const bool present = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & bit_RDRND) != 0;
  }();
  return present;
}

namespace {
__attribute__((target("rdrnd"))) bool DrawWord(unsigned int& word) noexcept {
  for (int i = 0; i < kDrawAttempts; ++i) {
    if (_rdrand32_step(&word) != 0) return true;
  }
  return false;
}
}  // namespace

bool HardwareRandomFill(void* buffer, std::size_t count) noexcept {
  if (!HardwareRandomPresent()) {
    errno = ENODEV;
    return false;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    unsigned int word = 0;
    if (!DrawWord(word)) {
      errno = EIO;
      return false;
    }
    const std::size_t n = count < sizeof word ? count : sizeof word;
    std::memcpy(out, &word, n);
    out += n;
    count -= n;
  }
  return true;
}

#else

bool HardwareRandomSupported() noexcept {
  return false;
}
bool HardwareRandomPresent() noexcept {
  return false;
}
bool HardwareRandomFill(void*, std::size_t) noexcept {
  errno = ENODEV;
  return false;
}

#endif

int LastErrorCode() noexcept {
  return errno;
}

}  // namespace vornak2::platform
