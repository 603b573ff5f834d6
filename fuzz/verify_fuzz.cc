// libFuzzer target for VerifyData and VerifySignWOCheckValidity as FZ.2 of a real deployment, who
// holds FZ.1's certificate. The input is two bytes of data length (little-endian), the data and
// the detached signature (seeds from fuzz/make_corpus verify). Neither call writes anything, and
// the signer's UID they give back always fits its buffer.
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
  if (size < 2 || size > 1 << 16) return 0;
  const std::size_t dataLength = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
  // Exact-size copies, so that a read past either is caught.
  const std::vector<std::uint8_t> message(data + 2, data + 2 + dataLength);
  const std::vector<std::uint8_t> signature(data + 2 + dataLength, data + size);
  for (const bool validity : {true, false}) {
    char uid[257];
    std::memset(uid, 0x55, sizeof uid);
    vornak2::fuzz::Deployment::Get().StartCounting();
    const auto call = validity ? VerifyData : VerifySignWOCheckValidity;
    call(engine, message.data(), static_cast<std::int32_t>(message.size()), signature.data(),
         static_cast<std::int32_t>(signature.size()), uid);
    Check(std::memchr(uid, 0, 256) != nullptr || uid[0] == 0x55);
    Check(uid[256] == 0x55);
    Check(!vornak2::fuzz::Deployment::Get().Wrote());
  }
  return 0;
}
