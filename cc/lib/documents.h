// The library's documents, in the formats of the public key infrastructure with GOST R 34.10-2012
// keys (DER through libtasn1, PEM armour):
//  - certificates (also the authority certificates, ".aut"): X.509 v3, "CERTIFICATE";
//  - requests (".pub"): PKCS#10, "CERTIFICATE REQUEST", signed by the requested key itself;
//  - secret keys (".sec"): unencrypted PKCS#8, "PRIVATE KEY".
//
// Profile (how the library's fields sit in the standard ones):
//  - UID = the subject's commonName; key number = the subject's serialNumber attribute in
//    decimal (0 when the name has none);
//  - issuer name and issuer key number = the issuer's commonName and serialNumber;
//  - validity = notBefore/notAfter, whole minutes (seconds are dropped), UTC;
//  - keys: algorithm id-tc26-gost3410-12-256 with a 256-bit parameter set (tc26 A-D, CryptoPro
//    A, B, C, XchA, XchB) or id-tc26-gost3410-12-512 with a 512-bit one (tc26 A-C); the public
//    key is an OCTET STRING of X then Y, each little-endian; signatures
//    id-tc26-signwithdigest-gost3410-12-256 over Streebog-256 by a 256-bit key, ...-512 over
//    Streebog-512 by a 512-bit key, the value s || r big-endian;
//  - authority certificates carry basicConstraints cA=TRUE and keyUsage keyCertSign; a
//    certificate's status needs a chain of them up to a self-signed one (see CertificateStatus);
//  - keyUsage is honoured as read (absent: any use); a critical extension other than
//    basicConstraints, keyUsage, the key identifiers, extKeyUsage, subjectAltName and
//    certificatePolicies makes a certificate unusable, though it still parses (see
//    unknownCritical);
//  - a request carries its requested validity as the privateKeyUsagePeriod extension in an
//    extensionRequest attribute (optional: requests of other tools may have none);
//  - a secret key carries as attributes the UID (commonName), the key number (serialNumber),
//    the validity (privateKeyUsagePeriod) and an integrity check (messageDigest: Streebog-256 of
//    all these values and the key), so that a damaged file is told from a good one. Keys of other
//    tools are read as well: the private key as the bare little-endian scalar, as an OCTET STRING
//    of it, or as an INTEGER, with or without those attributes; what a key does not carry comes
//    from its owner's certificate when the caller has it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cc_abi.h"
#include "gost.h"
#include "util.h"

namespace cc {

namespace der {
class Node;
}

// X || Y and r || s, big-endian, ccgost::PublicKeySize(curve) and SignatureSize(curve) bytes.
using PublicKey = std::vector<std::uint8_t>;
using Signature = std::vector<std::uint8_t>;

// The parameter sets by name ("tc26-256-A", "cryptopro-XchB", "tc26-512-C", ...; the names the
// test authority takes and the integrity check of a secret key covers) and by their code in the
// information records (CC_CURVE_...).
std::string_view CurveName(ccgost::Curve curve) noexcept;
std::optional<ccgost::Curve> CurveFromName(std::string_view name) noexcept;
std::int32_t CurveCode(ccgost::Curve curve) noexcept;
std::optional<ccgost::Curve> CurveOfCode(std::int32_t code) noexcept;
// Every name, separated by ", " (for help texts and messages).
std::string CurveNames();

enum class DocKind { Certificate, Request };

// The named bits of keyUsage: bit i of RFC 5280's list is 1 << i.
enum KeyUsage : std::uint16_t {
  kDigitalSignature = 1 << 0,
  kNonRepudiation = 1 << 1,
  kKeyEncipherment = 1 << 2,
  kDataEncipherment = 1 << 3,
  kKeyAgreement = 1 << 4,
  kKeyCertSign = 1 << 5,
  kCrlSign = 1 << 6,
  kEncipherOnly = 1 << 7,
  kDecipherOnly = 1 << 8,
};

// A certificate or a request.
struct PublicDocument {
  DocKind kind = DocKind::Certificate;
  std::string uid;
  std::int32_t keyNumber = 0;
  std::string issuer;  // certificates only
  std::int32_t issuerKeyNumber = 0;
  Minutes notBefore = 0;
  Minutes notAfter = 0;
  bool hasValidity = true;  // false for a request without a requested validity
  bool authority = false;   // certificates: basicConstraints cA=TRUE
  // Certificates: keyUsage as read (written as given; absent: the profile's usage), the
  // pathLenConstraint of basicConstraints, and whether a critical extension this library does not
  // process makes the certificate unusable.
  std::optional<std::uint16_t> keyUsage;
  std::optional<std::int32_t> pathLength;
  bool unknownCritical = false;
  ccgost::Curve curve = ccgost::Curve::Tc26_256_A;
  PublicKey publicKey;
  Signature signature;  // r || s, as the primitives take it
  // The size of the signer's numbers: 32 bytes (a 256-bit key, Streebog-256) or 64 (a 512-bit
  // key, Streebog-512). It selects the signature algorithm written; SignDocument sets it.
  std::size_t signerKeySize = 32;
  // As read from a file, or as built by Encode(): the subject and issuer names, the key
  // identifiers, the certificate's serial number, the signed part and the whole DER.
  std::vector<std::uint8_t> subjectName, issuerName, keyId, authorityKeyId, serial;
  std::vector<std::uint8_t> tbs, der;

  // Builds the names (when empty), the signed part and the DER from the fields and the
  // signature. Throws std::runtime_error when the encoding fails.
  void Encode();
  std::string Text() const;  // PEM of der
  bool SelfIssued() const {
    return kind == DocKind::Certificate && issuer == uid && issuerKeyNumber == keyNumber;
  }
  // True when keyUsage is absent or allows one of the uses in `mask` (KeyUsage bits).
  bool Allows(std::uint16_t mask) const { return !keyUsage || (*keyUsage & mask) != 0; }
};

// 0; CC_E_CERT_HEADER when the text is no certificate or request (no PEM block of those kinds,
// also the library's former "VORNAK2-CC" texts); CC_E_CERT_FORMAT when the block is broken, the
// DER malformed, or a field outside the profile (no commonName that is a UID, another algorithm,
// a malformed or repeated basicConstraints or keyUsage).
int ParsePublicDocument(std::string_view text, PublicDocument& out);

struct SecretKey {
  std::string uid;
  std::int32_t keyNumber = 0;
  Minutes notBefore = 0;
  Minutes notAfter = 0;
  // False for a key of another tool that carries no validity and whose certificate was not at
  // hand: its certificate's validity is the only one it has.
  bool hasValidity = true;
  ccgost::Curve curve = ccgost::Curve::Tc26_256_A;
  ccgost::SecureBytes privateKey;  // big-endian, ccgost::KeySize(curve) bytes
  PublicKey publicKey;

  void ToText(SecretText& out) const;
};

// 0; CC_E_SECRET_FORMAT when the text is no secret key we can read (no "PRIVATE KEY" block, also
// the library's former texts; a broken block or structure; a key of another algorithm or
// parameter set; no private key of the curve in any of the standard forms);
// CC_E_SECRET_INTEGRITY when it is a key in our own form (it carries our integrity check) that
// is damaged: a field malformed, the check or the key pair wrong. After a damage `out` keeps the
// descriptive fields that could be read.
// `owner`, when given, is the certificate of the key's owner: a key without our attributes takes
// the UID, key number and validity from it when it holds the key's public key.
int ParseSecretKey(std::string_view text, SecretKey& out, const PublicDocument* owner = nullptr);

// For other signed structures read with the same rules (CRLs): the signed part `tbsName` of
// `der` as decoded in `n`, its signature algorithm (inside it at `innerAlgorithm`, and after it)
// and the signature, into doc.tbs and doc.signature for VerifyDocument; false when any of them
// is not ours.
bool ReadSignedParts(const der::Node& n, std::span<const std::uint8_t> der, const char* tbsName,
                     const char* innerAlgorithm, PublicDocument& doc);
// The UID and key number a DER Name stands for, read as a certificate's are.
bool ReadNameOf(std::span<const std::uint8_t> name, std::string& uid, std::int32_t& keyNumber);
// A Time element (UTCTime or GeneralizedTime) of `n`.
std::optional<Minutes> ReadTimeOf(const der::Node& n, const std::string& at);

// Signs the document with the signer's key (the issuer's, or the owner's for a request).
void SignDocument(PublicDocument& doc, const SecretKey& signer);
bool VerifyDocument(const PublicDocument& doc, ccgost::Curve signerCurve,
                    const PublicKey& signerKey);

// Status of a certificate (see cc_abi.h): the lookup gives the issuer's authority certificate,
// and that one's, up to a self-signed one. With a secret-key directory, the CRLs beside those
// authority certificates are honoured; `revocation` (when given) says what became of them
// (CcCertInfo.revocation).
int CertificateStatus(const PublicDocument& cert, CcAuthorityLookup lookup, Minutes now,
                      std::string_view secretDir = {}, std::int32_t* revocation = nullptr);
// Status of a request: CC_E_UNCERTIFIED when its proof of possession verifies, else
// CC_E_PUBLIC_INTEGRITY.
int RequestStatus(const PublicDocument& request);
// Status of a well-formed secret key: 0, CC_E_SECRET_NOT_YET_VALID or CC_E_SECRET_EXPIRED (0 for
// a key without a validity of its own).
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

// Other structures signed the way certificates are (the test authority's CRLs): the DER of the
// AlgorithmIdentifier of the signatures `signer` makes, which the signed part carries, and the
// whole signed structure (the signed part, that algorithm and the signature). Throw
// std::runtime_error when the encoding fails.
std::vector<std::uint8_t> SignatureAlgorithmDer(const SecretKey& signer);
std::vector<std::uint8_t> SignStructure(std::span<const std::uint8_t> tbs, const SecretKey& signer);

}  // namespace cc
