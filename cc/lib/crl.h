// Certificate revocation lists: X.509 v2 CRLs (RFC 5280) of our GOST authorities, PEM
// ("X509 CRL") or DER, as the authorities' tools write them, kept beside the authority's
// certificate in the secret-key directory: <dir>/<authority UID>/<key number>.crl.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "documents.h"
#include "util.h"

namespace cc {

struct Crl {
  std::string issuer;  // the authority's UID and key number, from the issuer name
  std::int32_t issuerKeyNumber = 0;
  Minutes thisUpdate = 0;
  std::optional<Minutes> nextUpdate;
  std::vector<std::vector<std::uint8_t>> revoked;  // serial numbers (INTEGER contents), shortest
                                                   // first, then in byte order
  PublicDocument signedPart;                       // tbs and signature only, for VerifyDocument
};

// 0; CC_E_CERT_FORMAT when the file is no CRL of ours (not PEM "X509 CRL" or DER, malformed,
// another version, algorithm or name form); CC_E_UNKNOWN_CRITICAL when the list or an entry
// carries a critical extension this library does not process (a delta CRL, an indirect one, one
// limited to some certificates): such a CRL cannot say that a certificate is not revoked.
int ParseCrl(std::string_view file, Crl& out);

// True when the CRL found beside `authority`'s certificate under the secret-key directory lists
// `serial` (a certificate `authority` issued). `note` becomes CC_REVOCATION_NONE when there is
// no such file, CC_REVOCATION_CHECKED when it was used, or the code why it was ignored
// (see CcCertInfo.revocation): a CRL is used only when it parses, names the authority as its
// issuer, verifies with the authority's key and that key may sign CRLs. The verdicts of the last
// few files are kept while their contents stay the same.
bool IsRevoked(std::string_view secretDir, const PublicDocument& authority,
               std::span<const std::uint8_t> serial, std::int32_t& note);

}  // namespace cc
