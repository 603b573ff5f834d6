// The DER readers of our cc: certificates, requests and secret keys. The input is the DER itself
// (the target wraps it in its PEM armour), so that the fuzzer works on the structure and not on
// base64. Built three times, one reader each (PKI_DER_LABEL). Whatever reads well must write back
// to the same document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "der.h"
#include "documents.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = cc::der::ToPem(PKI_DER_LABEL, {data, size});
  if (std::string(PKI_DER_LABEL) == "PRIVATE KEY") {
    cc::SecretKey key;
    if (cc::ParseSecretKey(text, key) == 0) {
      (void)cc::SecretKeyStatus(key, 0);
      cc::SecretText out;
      key.ToText(out);
      cc::SecretKey again;
      Check(cc::ParseSecretKey(out.str(), again) == 0 && again.uid == key.uid &&
            again.keyNumber == key.keyNumber && again.publicKey == key.publicKey);
    }
    return 0;
  }
  cc::PublicDocument doc;
  if (cc::ParsePublicDocument(text, doc) == 0) {
    if (doc.kind == cc::DocKind::Request) (void)cc::RequestStatus(doc);
    cc::PublicDocument again;
    Check(cc::ParsePublicDocument(doc.Text(), again) == 0 && again.der == doc.der &&
          again.tbs == doc.tbs && again.uid == doc.uid && again.keyNumber == doc.keyNumber);
    // Written again from its fields, the document still reads.
    doc.Encode();
    Check(cc::ParsePublicDocument(doc.Text(), again) == 0);
  }
  return 0;
}
