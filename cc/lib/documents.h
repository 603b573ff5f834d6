// The library's text documents: certificates (also the self-signed authority certificates,
// ".aut"), certificate requests (".pub") and secret keys (".sec"). Each is a header line and
// "Name: value" lines; binary values are upper-case hexadecimal. Signatures and the secret key's
// integrity check cover the canonical form (header and fields in fixed order, "\n" line ends),
// so a file whose line ends were changed still verifies, while any changed value does not.
//
//   VORNAK2-CC CERTIFICATE 1         VORNAK2-CC REQUEST 1          VORNAK2-CC SECRET KEY 1
//   UID: H.0                         UID: H.0                      UID: H.0
//   Key-Number: 0                    Key-Number: 0                 Key-Number: 0
//   Issuer: CA.0                     Not-Before: ...               Not-Before: ...
//   Issuer-Key-Number: 0             Not-After: ...                Not-After: ...
//   Not-Before: 07.12.2026 21:00     Curve: tc26-256-A             Curve: tc26-256-A
//   Not-After: 07.12.2027 21:00      Public-Key: <64 bytes>        Private-Key: <32 bytes>
//   Curve: tc26-256-A                Signature: <64 bytes>         Public-Key: <64 bytes>
//   Public-Key: <64 bytes>           (proof of possession,         Check: <Streebog-256 of
//   Signature: <64 bytes>             by the key itself)            the canonical form>
//   (by the issuer's key)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cc_abi.h"
#include "gost.h"
#include "util.h"

namespace cc {

using PublicKey = std::array<std::uint8_t, ccgost::kPublicKeySize>;
using Signature = std::array<std::uint8_t, ccgost::kSignatureSize>;

std::string_view CurveName(ccgost::Curve curve) noexcept;
std::optional<ccgost::Curve> CurveFromName(std::string_view name) noexcept;
std::int32_t CurveCode(ccgost::Curve curve) noexcept;  // CC_CURVE_...

enum class DocKind { Certificate, Request };

// A certificate or a request.
struct PublicDocument {
  DocKind kind = DocKind::Certificate;
  std::string uid;
  std::int32_t keyNumber = 0;
  std::string issuer;  // certificates only
  std::int32_t issuerKeyNumber = 0;
  Minutes notBefore = 0;
  Minutes notAfter = 0;
  ccgost::Curve curve = ccgost::Curve::Tc26_256_A;
  PublicKey publicKey{};
  Signature signature{};

  std::string ToBeSigned() const;  // canonical form without the signature line
  std::string Text() const;        // the whole document
  bool SelfIssued() const {
    return kind == DocKind::Certificate && issuer == uid && issuerKeyNumber == keyNumber;
  }
};

// 0; CC_E_CERT_HEADER when the text is no certificate or request; CC_E_CERT_FORMAT when a field
// is missing, repeated, unknown or malformed.
int ParsePublicDocument(std::string_view text, PublicDocument& out);

struct SecretKey {
  std::string uid;
  std::int32_t keyNumber = 0;
  Minutes notBefore = 0;
  Minutes notAfter = 0;
  ccgost::Curve curve = ccgost::Curve::Tc26_256_A;
  ccgost::SecureBytes privateKey;
  PublicKey publicKey{};

  void ToText(SecretText& out) const;
};

// 0; CC_E_SECRET_FORMAT when the text is no secret key at all; CC_E_SECRET_INTEGRITY when it is
// one but damaged (a field malformed, the check or the key pair wrong). After a damage `out`
// keeps the descriptive fields that could be read.
int ParseSecretKey(std::string_view text, SecretKey& out);

// Signs the document with the signer's key (the issuer's, or the owner's for a request).
void SignDocument(PublicDocument& doc, const SecretKey& signer);
bool VerifyDocument(const PublicDocument& doc, ccgost::Curve signerCurve,
                    const PublicKey& signerKey);

// Status of a certificate (see cc_abi.h): the lookup gives the issuer's authority certificate.
int CertificateStatus(const PublicDocument& cert, CcAuthorityLookup lookup, Minutes now);
// Status of a request: CC_E_UNCERTIFIED when its proof of possession verifies, else
// CC_E_PUBLIC_INTEGRITY.
int RequestStatus(const PublicDocument& request);
// Status of a well-formed secret key: 0, CC_E_SECRET_NOT_YET_VALID or CC_E_SECRET_EXPIRED.
int SecretKeyStatus(const SecretKey& key, Minutes now) noexcept;

// A new key pair: the secret key and its signed request, both with the given validity.
struct NewKeys {
  SecretKey secret;
  PublicDocument request;
};
NewKeys GenerateKeys(std::string_view uid, std::int32_t keyNumber, ccgost::Curve curve,
                     Minutes notBefore, Minutes notAfter);

// The certificate of the request's key and owner, issued by the authority (its secret key and
// its certificate), with the given validity. The request's proof of possession is not checked.
PublicDocument IssueCertificate(const PublicDocument& request, const SecretKey& authorityKey,
                                const PublicDocument& authorityCert, Minutes notBefore,
                                Minutes notAfter);

// The self-signed authority certificate of a secret key.
PublicDocument SelfSignedCertificate(const SecretKey& key);

}  // namespace cc
