// TIntelProvider: the hardware random source. On x86 it is the CPU's RDRAND generator; a build
// for another processor has none ("not loaded"), and a CPU without the instruction gives an
// incomplete source. The binding creates one on first use and answers 7 while it cannot serve.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/crypto_dll.h"

namespace vornak2 {

// Where the bytes come from; tests substitute a source that fails.
struct HardwareRandomSource {
  bool supported = false;  // the build can reach a generator at all
  bool present = false;    // the running machine offers it
  bool (*fill)(void* buffer, std::size_t count) noexcept = nullptr;
  int (*lastError)() noexcept = nullptr;
};
// The platform's generator.
HardwareRandomSource PlatformHardwareRandom() noexcept;

class TIntelProvider : public TCrypto_DLL {
 public:
  TIntelProvider() : TIntelProvider(PlatformHardwareRandom()) {}
  explicit TIntelProvider(const HardwareRandomSource& source) noexcept;
  ~TIntelProvider();

  // True once a request succeeded (the "provider" is acquired on the first successful draw).
  bool Acquired() const noexcept { return acquired_; }
  // Fills `count` bytes; false on failure, with the cause in LastError(). A negative count or a
  // null buffer with a positive count fails as well.
  bool GetRandom(void* buffer, std::int32_t count) noexcept;
  // The error code of the last failed request; never 0 after a failure.
  int LastError() const noexcept { return lastError_; }

 private:
  HardwareRandomSource source_;
  bool active_ = false;
  bool acquired_ = false;
  int lastError_ = 0;
};

}  // namespace vornak2
