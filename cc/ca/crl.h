// The certificate revocation lists of the test authority: X.509 v2 CRLs (RFC 5280, section 5)
// signed by the authority key that issued the certificates they list, with the
// authorityKeyIdentifier and cRLNumber extensions, PEM armoured ("X509 CRL"), as
// "openssl ca -gencrl" makes them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "authority.h"
#include "util.h"

namespace ca {

struct RevokedCertificate {
  std::vector<std::uint8_t> serial;  // the certificate's serial number, as its INTEGER's bytes
  cc::Minutes when = 0;              // revocationDate
};

// The PEM text of the CRL of the authority key `a`: `number` is its cRLNumber, `thisUpdate` and
// `nextUpdate` its validity. Throws Failure when the encoding or the signature fails.
std::string MakeCrl(const Authority& a, std::span<const RevokedCertificate> revoked,
                    cc::Minutes thisUpdate, cc::Minutes nextUpdate, std::int64_t number);

}  // namespace ca
