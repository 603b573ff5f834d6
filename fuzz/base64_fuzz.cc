// libFuzzer target for the Base64 codec (built with -DVORNAK2_FUZZ=ON, run by scripts/fuzz).
// Checks that arbitrary text never makes the decoder read or write out of bounds, that its result
// never passes its capacity, and that every encoding decodes back to its input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/mimecode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  const auto length = static_cast<std::int32_t>(size);

  // Decode the bytes as text, from an exact-size copy so that any over-read is caught.
  char* text = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  if (size != 0) std::memcpy(text, data, size);
  const auto decoded = vornak2::TryDecodeBuffer(text, length);
  std::free(text);
  if (decoded.size() > static_cast<std::size_t>(length / 4) * 3) std::abort();

  // Encode the bytes and decode them again.
  const auto encoded = vornak2::TryEncodeBuffer(data, length);
  if (size == 0) return encoded.empty() ? 0 : (std::abort(), 0);
  if (encoded.size() != (size + 2) / 3 * 4) std::abort();
  const auto back = vornak2::TryDecodeBuffer(reinterpret_cast<const char*>(encoded.data()),
                                             static_cast<std::int32_t>(encoded.size()));
  if (back.size() != size || std::memcmp(back.data(), data, size) != 0) std::abort();
  return 0;
}
