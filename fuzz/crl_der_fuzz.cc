// The CRL reader of our cc on DER input (the form authorities publish; PEM only adds base64).
// Whatever reads must hold together: the revoked serial numbers sorted, the signed part inside
// the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crl.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cc::Crl crl;
  if (cc::ParseCrl({reinterpret_cast<const char*>(data), size}, crl) == 0) {
    Check(std::is_sorted(crl.revoked.begin(), crl.revoked.end()));
    Check(!crl.signedPart.tbs.empty() && crl.signedPart.tbs.size() < size);
  }
  return 0;
}
