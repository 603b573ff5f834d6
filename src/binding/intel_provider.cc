#include "binding/intel_provider.h"

#include <cerrno>

#include "platform/platform.h"

namespace vornak2 {

HardwareRandomSource PlatformHardwareRandom() noexcept {
  HardwareRandomSource s;
  s.supported = platform::HardwareRandomSupported();
  s.present = s.supported && platform::HardwareRandomPresent();
  s.fill = &platform::HardwareRandomFill;
  s.lastError = &platform::LastErrorCode;
  return s;
}

TIntelProvider::TIntelProvider(const HardwareRandomSource& source) noexcept : source_(source) {
  if (!source_.supported) return;
  loaded_ = true;
  if (source_.present && source_.fill != nullptr) {
    active_ = true;
    complete_ = true;
  }
}

TIntelProvider::~TIntelProvider() {
  active_ = false;
  acquired_ = false;
}

bool TIntelProvider::GetRandom(void* buffer, std::int32_t count) noexcept {
  if (!active_ || count < 0 || (buffer == nullptr && count > 0)) {
    lastError_ = EINVAL;
    return false;
  }
  if (source_.fill(buffer, static_cast<std::size_t>(count))) {
    acquired_ = true;
    return true;
  }
  const int error = source_.lastError ? source_.lastError() : 0;
  // A failure must never read as success to a caller that returns the error code as its result.
  lastError_ = error != 0 ? error : EIO;
  return false;
}

}  // namespace vornak2
