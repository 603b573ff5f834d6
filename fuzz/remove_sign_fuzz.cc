// libFuzzer target for RemoveSign as FZ.2 of a real deployment: data with an appended signature
// and its trailer (seeds from fuzz/make_corpus). A refused input leaves the buffer as it was, and
// its length unless a signature was read; none writes anything; an accepted one gives back the
// data's part.
#include <cstdint>
#include <cstring>
#include <vector>

#include "deployment.h"

namespace {
VORNAK2_HANDLE engine = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  engine = vornak2::fuzz::Deployment::Get().Engine("b");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vornak2::fuzz::Check;
  if (size > 1 << 16) return 0;
  std::vector<std::uint8_t> buffer(data, data + size);
  auto length = static_cast<std::int32_t>(size);
  char uid[257];
  std::memset(uid, 0x55, sizeof uid);
  vornak2::fuzz::Deployment::Get().StartCounting();
  const std::int32_t code = RemoveSign(engine, buffer.data(), &length, uid);
  Check(!vornak2::fuzz::Deployment::Get().Wrote());
  Check(uid[256] == 0x55);
  if (code != 0) {
    // The bytes stay; the length too, except that a signature that was read and did not verify
    // is cut off all the same (the trailer's data length), the result telling not to trust it.
    Check(size == 0 || std::memcmp(buffer.data(), data, size) == 0);
    std::int32_t trailer = -1;
    if (size >= 10) std::memcpy(&trailer, data + size - 10, 4);
    Check(length == static_cast<std::int32_t>(size) || length == trailer);
  } else {
    Check(length >= 0 && static_cast<std::size_t>(length) <= size);
    Check(std::memcmp(buffer.data(), data, static_cast<std::size_t>(length)) == 0);
  }
  return 0;
}
