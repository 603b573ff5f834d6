// libFuzzer target for our cc's text files: certificates, requests, authority certificates and
// secret keys (seeds from fuzz/make_corpus). A text the parsers accept must check as such without
// a crash, and write out again to a text that reads back the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "documents.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vornak2::fuzz::Check;
  if (size > 4096) return 0;
  // An exact-size copy, so that a read past the text is caught.
  const std::string copy(reinterpret_cast<const char*>(data), size);
  const std::string_view text(copy);

  cc::PublicDocument doc;
  if (cc::ParsePublicDocument(text, doc) == 0) {
    if (doc.kind == cc::DocKind::Request) (void)cc::RequestStatus(doc);
    cc::PublicDocument again;
    Check(cc::ParsePublicDocument(doc.Text(), again) == 0 && again.Text() == doc.Text());
  }
  cc::SecretKey key;
  if (cc::ParseSecretKey(text, key) == 0) {
    (void)cc::SecretKeyStatus(key, 0);
    cc::SecretText out;
    key.ToText(out);
    cc::SecretKey again;
    Check(cc::ParseSecretKey(out.str(), again) == 0);
  }
  return 0;
}
