// libFuzzer target for DecodeData as the recipient FZ.2 of a real deployment: encrypted blocks for
// one recipient and containers for several (seeds from fuzz/make_corpus, in the form before
// sealing and sealed). A refused input leaves its length as it was and writes nothing, and its
// buffer as it was but for bytes wiped to zero (data refused while being deciphered); an accepted
// one shrinks.
#include <cstdint>
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
  // An exact-size copy, so that a read or write past the data is caught.
  std::vector<std::uint8_t> buffer(data, data + size);
  auto length = static_cast<std::int32_t>(size);
  vornak2::fuzz::Deployment::Get().StartCounting();
  const std::int32_t code = DecodeData(engine, buffer.data(), &length, nullptr);
  if (code != 0) {
    Check(length == static_cast<std::int32_t>(size));
    for (std::size_t i = 0; i < size; ++i) Check(buffer[i] == data[i] || buffer[i] == 0);
    Check(!vornak2::fuzz::Deployment::Get().Wrote());
  } else {
    Check(length >= 0 && static_cast<std::size_t>(length) < size);
  }
  return 0;
}
