#include "documents.h"

#include <algorithm>
#include <array>
#include <functional>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "crl.h"
#include "der.h"

namespace cc {

namespace {

// The name of the `i`th element of a sequence in the ASN.1 library's notation ("?3"), after
// `prefix`. (Built by appending: GCC 12's -Wrestrict misreads "literal" + std::string.)
std::string Nth(std::string_view prefix, int i) {
  std::string name(prefix);
  name += std::to_string(i);
  return name;
}

using der::Bytes;
using der::Node;

constexpr std::string_view kCertificateLabel = "CERTIFICATE";
constexpr std::string_view kRequestLabel = "CERTIFICATE REQUEST";
constexpr std::string_view kOldRequestLabel = "NEW CERTIFICATE REQUEST";
constexpr std::string_view kSecretKeyLabel = "PRIVATE KEY";

// Object identifiers.
constexpr const char* kOidGost2012_256 = "1.2.643.7.1.1.1.1";      // id-tc26-gost3410-12-256
constexpr const char* kOidGost2012_512 = "1.2.643.7.1.1.1.2";      // id-tc26-gost3410-12-512
constexpr const char* kOidSignGost2012_256 = "1.2.643.7.1.1.3.2";  // ...-signwithdigest-...-256
constexpr const char* kOidSignGost2012_512 = "1.2.643.7.1.1.3.3";  // ...-signwithdigest-...-512
constexpr const char* kOidStreebog256 = "1.2.643.7.1.1.2.2";       // id-tc26-gost3411-12-256
constexpr const char* kOidStreebog512 = "1.2.643.7.1.1.2.3";       // id-tc26-gost3411-12-512
constexpr const char* kOidCommonName = "2.5.4.3";
constexpr const char* kOidSerialNumber = "2.5.4.5";
constexpr const char* kOidSubjectKeyId = "2.5.29.14";
constexpr const char* kOidKeyUsage = "2.5.29.15";
constexpr const char* kOidPrivateKeyUsagePeriod = "2.5.29.16";
constexpr const char* kOidSubjectAltName = "2.5.29.17";
constexpr const char* kOidBasicConstraints = "2.5.29.19";
constexpr const char* kOidCertificatePolicies = "2.5.29.32";
constexpr const char* kOidAuthorityKeyId = "2.5.29.35";
constexpr const char* kOidExtKeyUsage = "2.5.29.37";
constexpr const char* kOidExtensionRequest = "1.2.840.113549.1.9.14";
constexpr const char* kOidMessageDigest = "1.2.840.113549.1.9.4";

// keyUsage of an end entity: digitalSignature, nonRepudiation, keyEncipherment, keyAgreement;
// of an authority: digitalSignature, keyCertSign, cRLSign.
constexpr std::uint16_t kUsageEndEntity =
    kDigitalSignature | kNonRepudiation | kKeyEncipherment | kKeyAgreement;
constexpr std::uint16_t kUsageAuthority = kDigitalSignature | kKeyCertSign | kCrlSign;

struct Failed : std::runtime_error {
  explicit Failed(unsigned line)
      : std::runtime_error("DER encoding failed (documents.cc:" + std::to_string(line) + ")") {}
};
// The line of the failed step goes into the message (std::source_location is not in every
// standard library we build with; gcc and clang both offer the builtin).
void Must(bool ok, unsigned line = __builtin_LINE()) {
  if (!ok) throw Failed(line);
}
std::span<const std::uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
// "a.b", or "b" inside the structure itself.
std::string Path(std::string_view a, std::string_view b) {
  std::string s(a);
  if (!s.empty()) s.push_back('.');
  s.append(b);
  return s;
}

// ---- parameter sets ----

// Every parameter set: our name for it, its code in the information records, its identifier,
// and the digestParamSet written beside it. The CryptoPro sets always carry Streebog-256 there;
// the tc26 sets none, except 512-bit A and B, for which OpenSSL's GOST engine and GnuTLS write
// Streebog-512 (and older readers want it). Readers accept it absent or naming the digest of
// the key's size.
struct ParamSet {
  ccgost::Curve curve;
  const char* name;
  std::int32_t code;
  const char* oid;
  const char* digestOid;  // null: none written
};
constexpr ParamSet kParamSets[] = {
    {ccgost::Curve::Tc26_256_A, "tc26-256-A", CC_CURVE_TC26_256_A, "1.2.643.7.1.2.1.1.1", nullptr},
    {ccgost::Curve::CryptoPro_A, "cryptopro-A", CC_CURVE_CRYPTOPRO_A, "1.2.643.2.2.35.1",
     kOidStreebog256},
    {ccgost::Curve::Tc26_256_B, "tc26-256-B", CC_CURVE_TC26_256_B, "1.2.643.7.1.2.1.1.2", nullptr},
    {ccgost::Curve::Tc26_256_C, "tc26-256-C", CC_CURVE_TC26_256_C, "1.2.643.7.1.2.1.1.3", nullptr},
    {ccgost::Curve::Tc26_256_D, "tc26-256-D", CC_CURVE_TC26_256_D, "1.2.643.7.1.2.1.1.4", nullptr},
    {ccgost::Curve::CryptoPro_B, "cryptopro-B", CC_CURVE_CRYPTOPRO_B, "1.2.643.2.2.35.2",
     kOidStreebog256},
    {ccgost::Curve::CryptoPro_C, "cryptopro-C", CC_CURVE_CRYPTOPRO_C, "1.2.643.2.2.35.3",
     kOidStreebog256},
    {ccgost::Curve::CryptoPro_XchA, "cryptopro-XchA", CC_CURVE_CRYPTOPRO_XCHA, "1.2.643.2.2.36.0",
     kOidStreebog256},
    {ccgost::Curve::CryptoPro_XchB, "cryptopro-XchB", CC_CURVE_CRYPTOPRO_XCHB, "1.2.643.2.2.36.1",
     kOidStreebog256},
    {ccgost::Curve::Tc26_512_A, "tc26-512-A", CC_CURVE_TC26_512_A, "1.2.643.7.1.2.1.2.1",
     kOidStreebog512},
    {ccgost::Curve::Tc26_512_B, "tc26-512-B", CC_CURVE_TC26_512_B, "1.2.643.7.1.2.1.2.2",
     kOidStreebog512},
    {ccgost::Curve::Tc26_512_C, "tc26-512-C", CC_CURVE_TC26_512_C, "1.2.643.7.1.2.1.2.3", nullptr},
};

const ParamSet& SetOf(ccgost::Curve curve) {
  for (const ParamSet& p : kParamSets)
    if (p.curve == curve) return p;
  throw std::invalid_argument("unknown parameter set");
}

bool Is512(ccgost::Curve curve) {
  return ccgost::KeySize(curve) == 64;
}

// ---- keys and signatures: the primitives' big-endian forms and the standard encodings ----

// X || Y big-endian <-> each coordinate little-endian (also a lone scalar).
template <typename Out>
void ReverseHalves(std::span<const std::uint8_t> in, Out& out, std::size_t half) {
  for (std::size_t h = 0; h < in.size(); h += half)
    std::reverse_copy(in.begin() + static_cast<std::ptrdiff_t>(h),
                      in.begin() + static_cast<std::ptrdiff_t>(h + half),
                      out.begin() + static_cast<std::ptrdiff_t>(h));
}

// r || s <-> s || r
Signature SwapHalves(std::span<const std::uint8_t> in) {
  const std::size_t half = in.size() / 2;
  Signature out(in.size());
  std::copy(in.begin() + static_cast<std::ptrdiff_t>(half), in.end(), out.begin());
  std::copy(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(half),
            out.begin() + static_cast<std::ptrdiff_t>(half));
  return out;
}

// The algorithm parameters of a key: the parameter set, and the digest where the set has one.
Bytes KeyParameters(ccgost::Curve curve) {
  const ParamSet& set = SetOf(curve);
  Node p("VORNAK2-PKI.GostR3410-PublicKeyParameters");
  Must(p.Text("publicKeyParamSet", set.oid));
  if (set.digestOid != nullptr)
    Must(p.Text("digestParamSet", set.digestOid));
  else
    Must(p.Omit("digestParamSet"));
  Must(p.Omit("encryptionParamSet"));
  return p.Encode();
}

void WriteAlgorithm(Node& n, const std::string& at, ccgost::Curve curve) {
  Must(n.Text(Path(at, "algorithm").c_str(), Is512(curve) ? kOidGost2012_512 : kOidGost2012_256));
  const Bytes params = KeyParameters(curve);
  Must(!params.empty() && n.Value(Path(at, "parameters").c_str(), params));
}

// Whether the element holds a GOST R 34.10-2012 key algorithm at all (of either size).
bool IsGostAlgorithm(const Node& n, const std::string& at) {
  const auto oid = n.ReadText(Path(at, "algorithm").c_str());
  return oid && (*oid == kOidGost2012_256 || *oid == kOidGost2012_512);
}

// The parameter set of a GOST R 34.10-2012 key algorithm: a set of the algorithm's size, and a
// digest, if named, of that size too; nullopt for anything else.
std::optional<ccgost::Curve> ReadAlgorithm(const Node& n, const std::string& at) {
  const auto oid = n.ReadText(Path(at, "algorithm").c_str());
  const auto params = n.Read(Path(at, "parameters").c_str());
  if (!oid || (*oid != kOidGost2012_256 && *oid != kOidGost2012_512) || !params)
    return std::nullopt;
  const bool big = *oid == kOidGost2012_512;
  Node p("VORNAK2-PKI.GostR3410-PublicKeyParameters");
  if (!p.Decode(*params)) return std::nullopt;
  const auto set = p.ReadText("publicKeyParamSet");
  if (!set) return std::nullopt;
  if (const auto digest = p.ReadText("digestParamSet");
      digest && *digest != (big ? kOidStreebog512 : kOidStreebog256))
    return std::nullopt;
  for (const ParamSet& ps : kParamSets)
    if (*set == ps.oid && Is512(ps.curve) == big) return ps.curve;
  return std::nullopt;
}

void WritePublicKey(Node& n, const std::string& at, ccgost::Curve curve, const PublicKey& key) {
  WriteAlgorithm(n, Path(at, "algorithm"), curve);
  PublicKey le(key.size());
  ReverseHalves(key, le, key.size() / 2);
  const Bytes value = der::EncodeString(der::kTagOctetString,
                                        {reinterpret_cast<const char*>(le.data()), le.size()});
  Must(n.Bits(Path(at, "subjectPublicKey").c_str(), value));
}

bool ReadPublicKey(const Node& n, const std::string& at, ccgost::Curve& curve, PublicKey& key) {
  const auto c = ReadAlgorithm(n, Path(at, "algorithm"));
  const auto bits = n.ReadBits(Path(at, "subjectPublicKey").c_str());
  if (!c || !bits) return false;
  const auto value = der::DecodeOctetString(*bits);
  if (!value || value->size() != ccgost::PublicKeySize(*c)) return false;
  curve = *c;
  key.resize(value->size());
  ReverseHalves(*value, key, key.size() / 2);
  return true;
}

void WriteSignatureAlgorithm(Node& n, const std::string& at, std::size_t signerKeySize) {
  Must(n.Text(Path(at, "algorithm").c_str(),
              signerKeySize == 64 ? kOidSignGost2012_512 : kOidSignGost2012_256));
  Must(n.Omit(Path(at, "parameters").c_str()));
}

// The signature algorithm, without parameters (or, as some tools write it, with NULL): the size
// of the signer's numbers it stands for (32 or 64), 0 for another algorithm.
std::size_t ReadSignatureAlgorithm(const Node& n, const std::string& at) {
  const auto oid = n.ReadText(Path(at, "algorithm").c_str());
  if (!oid || (*oid != kOidSignGost2012_256 && *oid != kOidSignGost2012_512)) return 0;
  const auto params = n.Read(Path(at, "parameters").c_str());
  if (params && *params != Bytes{0x05, 0x00}) return 0;
  return *oid == kOidSignGost2012_512 ? 64 : 32;
}

bool ReadSignature(const Node& n, const char* at, std::size_t signerKeySize, Signature& out) {
  const auto bits = n.ReadBits(at);
  if (!bits || bits->size() != 2 * signerKeySize) return false;
  out = SwapHalves(*bits);
  return true;
}

// ---- names ----

Bytes EncodeName(std::string_view uid, std::int32_t keyNumber) {
  Node n("VORNAK2-PKI.Name");
  const auto rdn = [&](const char* type, unsigned tag, std::string_view value) {
    Must(n.Text("", "NEW"));
    Must(n.Text("?LAST", "NEW"));
    Must(n.Text("?LAST.?LAST.type", type));
    Must(n.Value("?LAST.?LAST.value", der::EncodeString(tag, value)));
  };
  rdn(kOidCommonName, der::kTagUtf8String, uid);
  rdn(kOidSerialNumber, der::kTagPrintableString, std::to_string(keyNumber));
  Bytes out = n.Encode();
  Must(!out.empty());
  return out;
}

// The UID and key number of a name: exactly one commonName, a UID; at most one serialNumber, a
// key number (none: 0).
bool DecodeName(std::span<const std::uint8_t> bytes, std::string& uid, std::int32_t& keyNumber) {
  Node n("VORNAK2-PKI.Name");
  if (!n.Decode(bytes)) return false;
  const int rdns = n.Count("");
  int names = 0, numbers = 0;
  keyNumber = 0;
  for (int i = 1; i <= rdns; ++i) {
    const std::string rdn = Nth("?", i);
    const int atvs = n.Count(rdn.c_str());
    for (int j = 1; j <= atvs; ++j) {
      const std::string atv = rdn + ".?" + std::to_string(j);
      const auto type = n.ReadText(Path(atv, "type").c_str());
      if (!type) return false;
      if (*type != kOidCommonName && *type != kOidSerialNumber) continue;
      const auto raw = n.Read(Path(atv, "value").c_str());
      const auto text = raw ? der::DecodeDirectoryString(*raw) : std::nullopt;
      if (!text) return false;
      if (*type == kOidCommonName) {
        if (++names > 1 || !IsValidUid(*text)) return false;
        uid = *text;
      } else {
        const auto kn = ParseKeyNumber(*text);
        if (++numbers > 1 || !kn) return false;
        keyNumber = *kn;
      }
    }
  }
  return names == 1;
}

// ---- times ----

// "YYMMDDHHMMSSZ" (UTCTime, years 1950-2049) or "YYYYMMDDHHMMSSZ" (GeneralizedTime).
std::string TimeText(Minutes t, bool generalized) {
  const std::string d = FormatDate(t);  // dd.mm.yyyy hh:mm
  std::string out = generalized ? d.substr(6, 4) : d.substr(8, 2);
  out.append(d, 3, 2).append(d, 0, 2).append(d, 11, 2).append(d, 14, 2).append("00Z");
  return out;
}

bool IsGeneralizedYear(Minutes t) {
  return FormatDate(t).compare(6, 4, "2050") >= 0;
}

std::optional<Minutes> ParseTime(std::string_view text, bool generalized) {
  const std::size_t yearDigits = generalized ? 4 : 2;
  if (text.size() != yearDigits + 11 || text.back() != 'Z') return std::nullopt;
  std::string year(text.substr(0, yearDigits));
  if (!generalized) year = (year < "50" ? "20" : "19") + year;
  const std::string_view rest = text.substr(yearDigits);  // MMDDHHMMSSZ
  if (!std::all_of(rest.begin(), rest.end() - 1, [](char c) { return c >= '0' && c <= '9'; }) ||
      rest.substr(8, 2) > "59")
    return std::nullopt;
  std::string d;
  d.append(rest.substr(2, 2)).push_back('.');
  d.append(rest.substr(0, 2)).push_back('.');
  d.append(year).push_back(' ');
  d.append(rest.substr(4, 2)).push_back(':');
  d.append(rest.substr(6, 2));
  return ParseDate(d);
}

void WriteTime(Node& n, const std::string& at, Minutes t) {
  const bool generalized = IsGeneralizedYear(t);
  Must(n.Text(at.c_str(), generalized ? "generalTime" : "utcTime"));
  Must(n.Text(Path(at, generalized ? "generalTime" : "utcTime").c_str(),
              TimeText(t, generalized).c_str()));
}

std::optional<Minutes> ReadTime(const Node& n, const std::string& at) {
  const auto choice = n.ReadText(at.c_str());
  if (!choice) return std::nullopt;
  const auto text = n.ReadText(Path(at, *choice).c_str());
  if (!text) return std::nullopt;
  return ParseTime(*text, *choice == "generalTime");
}

// PrivateKeyUsagePeriod with both times.
Bytes EncodeUsagePeriod(Minutes from, Minutes to) {
  Node p("VORNAK2-PKI.PrivateKeyUsagePeriod");
  Must(p.Text("notBefore", TimeText(from, true).c_str()));
  Must(p.Text("notAfter", TimeText(to, true).c_str()));
  return p.Encode();
}

bool DecodeUsagePeriod(std::span<const std::uint8_t> bytes, Minutes& from, Minutes& to) {
  Node p("VORNAK2-PKI.PrivateKeyUsagePeriod");
  if (!p.Decode(bytes)) return false;
  const auto f = p.ReadText("notBefore"), t = p.ReadText("notAfter");
  if (!f || !t) return false;
  const auto fm = ParseTime(*f, true), tm = ParseTime(*t, true);
  if (!fm.has_value() || !tm.has_value() || fm.value() > tm.value()) return false;
  from = fm.value();
  to = tm.value();
  return true;
}

// ---- extensions ----

void AddExtension(Node& n, const std::string& at, const char* oid, bool critical,
                  std::span<const std::uint8_t> value) {
  Must(n.Text(at.c_str(), "NEW"));
  const std::string e = Path(at, "?LAST");
  Must(n.Text(Path(e, "extnID").c_str(), oid));
  // A value equal to the DEFAULT is left out of the encoding by libtasn1.
  Must(n.Text(Path(e, "critical").c_str(), critical ? "TRUE" : "FALSE"));
  Must(n.Value(Path(e, "extnValue").c_str(), value));
}

Bytes KeyIdentifier(const PublicKey& key) {
  const auto d = ccgost::HashOnce(ccgost::HashAlg::Streebog256, key);
  return Bytes(d.begin(), d.begin() + 20);
}

Bytes OctetString(std::span<const std::uint8_t> bytes) {
  return der::EncodeString(der::kTagOctetString,
                           {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

// The value of a small non-negative INTEGER (pathLenConstraint), as libtasn1 reads it: its
// two's-complement bytes.
std::optional<std::int32_t> SmallInteger(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > 4 || (bytes[0] & 0x80) != 0) return std::nullopt;
  std::int32_t value = 0;
  for (const std::uint8_t b : bytes) value = value * 256 + b;
  return value;
}

// The named bits of a keyUsage value (a DER BIT STRING, strictly decoded first): bit i of the
// string is KeyUsage 1 << i; bits past decipherOnly are ignored. A keyUsage without any bit set
// is malformed.
std::optional<std::uint16_t> DecodeKeyUsage(std::span<const std::uint8_t> value) {
  Node ku("VORNAK2-PKI.KeyUsage");
  // The strict decoding leaves a short header: tag, length, the count of unused bits.
  if (!ku.Decode(value) || value.size() < 3 || value[1] != value.size() - 2) return std::nullopt;
  std::uint16_t bits = 0;
  for (std::size_t i = 3; i < value.size() && i < 5; ++i)
    for (int b = 0; b < 8; ++b)
      if ((value[i] & (0x80 >> b)) != 0 && (i - 3) * 8 + b <= 8)
        bits = static_cast<std::uint16_t>(bits | (1u << ((i - 3) * 8 + b)));
  if (bits == 0) return std::nullopt;
  return bits;
}

// The extensions whose criticality this library honours: those it reads, and those that
// restrict nothing it does (extended key usage, alternative names, policies).
bool Processed(std::string_view oid) {
  return oid == kOidBasicConstraints || oid == kOidKeyUsage || oid == kOidSubjectKeyId ||
         oid == kOidAuthorityKeyId || oid == kOidExtKeyUsage || oid == kOidSubjectAltName ||
         oid == kOidCertificatePolicies;
}

// Reads the extensions of a certificate: basicConstraints (cA, path length), keyUsage, the key
// identifiers. Any other critical extension makes the certificate unusable, not unreadable: it
// keeps its fields (a report shows it) and its status says why it cannot be used.
bool ReadExtensions(const Node& n, PublicDocument& doc) {
  const char* at = "tbsCertificate.extensions";
  const int count = n.Count(at);
  bool haveConstraints = false;
  for (int i = 1; i <= count; ++i) {
    const std::string e = std::string(at) + ".?" + std::to_string(i);
    const auto oid = n.ReadText(Path(e, "extnID").c_str());
    const auto critical = n.ReadText(Path(e, "critical").c_str());
    const auto value = n.Read(Path(e, "extnValue").c_str());
    if (!oid || !value) return false;
    if (*oid == kOidBasicConstraints) {
      Node bc("VORNAK2-PKI.BasicConstraints");
      if (haveConstraints || !bc.Decode(*value)) return false;
      haveConstraints = true;
      doc.authority = bc.ReadText("cA").value_or("FALSE") == "TRUE";
      if (const auto length = bc.Read("pathLenConstraint")) {
        doc.pathLength = SmallInteger(*length);
        if (!doc.pathLength) return false;
      }
    } else if (*oid == kOidKeyUsage) {
      if (doc.keyUsage) return false;
      doc.keyUsage = DecodeKeyUsage(*value);
      if (!doc.keyUsage) return false;
    } else if (*oid == kOidSubjectKeyId) {
      const auto id = der::DecodeOctetString(*value);
      if (!id) return false;
      doc.keyId = *id;
    } else if (*oid == kOidAuthorityKeyId) {
      Node aki("VORNAK2-PKI.AuthorityKeyIdentifier");
      if (!aki.Decode(*value)) return false;
      doc.authorityKeyId = aki.Read("keyIdentifier").value_or(Bytes{});
    } else if (critical.value_or("FALSE") == "TRUE" && !Processed(*oid)) {
      doc.unknownCritical = true;
    }
  }
  return true;
}

// keyUsage as a named BIT STRING: the bits of `usage`, without trailing zero bits.
Bytes EncodeKeyUsage(std::uint16_t usage) {
  std::array<std::uint8_t, 2> bits{};
  int count = 0;
  for (int i = 0; i < 9; ++i)
    if ((usage & (1u << i)) != 0) {
      bits[static_cast<std::size_t>(i / 8)] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
      count = i + 1;
    }
  Node ku("VORNAK2-PKI.KeyUsage");
  Must(count > 0 && ku.Bits("", std::span(bits.data(), count > 8 ? 2u : 1u), count));
  return ku.Encode();
}

// ---- signed documents ----

Bytes EncodeCertificateTbs(PublicDocument& doc) {
  Node n("VORNAK2-PKI.Certificate");
  const std::string t = "tbsCertificate";
  Must(n.Text(Path(t, "version").c_str(), "2"));
  if (doc.serial.empty()) {
    doc.serial.resize(16);
    ccgost::RandomBytes(doc.serial);
    doc.serial[0] = static_cast<std::uint8_t>((doc.serial[0] & 0x3F) | 0x40);  // positive, minimal
  }
  Must(n.Value(Path(t, "serialNumber").c_str(), doc.serial));
  WriteSignatureAlgorithm(n, Path(t, "signature"), doc.signerKeySize);
  if (doc.subjectName.empty()) doc.subjectName = EncodeName(doc.uid, doc.keyNumber);
  if (doc.issuerName.empty()) doc.issuerName = EncodeName(doc.issuer, doc.issuerKeyNumber);
  Must(n.Value(Path(t, "issuer").c_str(), doc.issuerName));
  WriteTime(n, Path(t, "validity.notBefore"), doc.notBefore);
  WriteTime(n, Path(t, "validity.notAfter"), doc.notAfter);
  Must(n.Value(Path(t, "subject").c_str(), doc.subjectName));
  WritePublicKey(n, Path(t, "subjectPublicKeyInfo"), doc.curve, doc.publicKey);
  Must(n.Omit(Path(t, "issuerUniqueID").c_str()));
  Must(n.Omit(Path(t, "subjectUniqueID").c_str()));

  const std::string ext = Path(t, "extensions");
  Node bc("VORNAK2-PKI.BasicConstraints");
  Must(bc.Text("cA", doc.authority ? "TRUE" : "FALSE"));
  if (doc.pathLength)
    Must(bc.Text("pathLenConstraint", std::to_string(*doc.pathLength).c_str()));
  else
    Must(bc.Omit("pathLenConstraint"));
  AddExtension(n, ext, kOidBasicConstraints, true, bc.Encode());
  AddExtension(
      n, ext, kOidKeyUsage, true,
      EncodeKeyUsage(doc.keyUsage.value_or(doc.authority ? kUsageAuthority : kUsageEndEntity)));
  if (doc.keyId.empty()) doc.keyId = KeyIdentifier(doc.publicKey);
  AddExtension(n, ext, kOidSubjectKeyId, false, OctetString(doc.keyId));
  if (!doc.authorityKeyId.empty()) {
    Node aki("VORNAK2-PKI.AuthorityKeyIdentifier");
    Must(aki.Value("keyIdentifier", doc.authorityKeyId));
    Must(aki.Omit("authorityCertIssuer"));
    Must(aki.Omit("authorityCertSerialNumber"));
    AddExtension(n, ext, kOidAuthorityKeyId, false, aki.Encode());
  }
  Bytes out = n.Encode("tbsCertificate");
  Must(!out.empty());
  return out;
}

Bytes EncodeRequestTbs(PublicDocument& doc) {
  Node n("VORNAK2-PKI.CertificationRequest");
  const std::string t = "certificationRequestInfo";
  Must(n.Text(Path(t, "version").c_str(), "0"));
  if (doc.subjectName.empty()) doc.subjectName = EncodeName(doc.uid, doc.keyNumber);
  Must(n.Value(Path(t, "subject").c_str(), doc.subjectName));
  WritePublicKey(n, Path(t, "subjectPKInfo"), doc.curve, doc.publicKey);
  if (doc.hasValidity) {
    Node ext("VORNAK2-PKI.Extensions");
    AddExtension(ext, "", kOidPrivateKeyUsagePeriod, false,
                 EncodeUsagePeriod(doc.notBefore, doc.notAfter));
    const std::string a = Path(t, "attributes");
    Must(n.Text(a.c_str(), "NEW"));
    Must(n.Text(Path(a, "?LAST.type").c_str(), kOidExtensionRequest));
    Must(n.Text(Path(a, "?LAST.values").c_str(), "NEW"));
    Must(n.Value(Path(a, "?LAST.values.?LAST").c_str(), ext.Encode()));
  }
  Bytes out = n.Encode("certificationRequestInfo");
  Must(!out.empty());
  return out;
}

// The requested validity of a request: its extensionRequest's privateKeyUsagePeriod, if any.
bool ReadRequestedValidity(const Node& n, PublicDocument& doc) {
  doc.hasValidity = false;
  const char* at = "certificationRequestInfo.attributes";
  const int count = n.Count(at);
  for (int i = 1; i <= count; ++i) {
    const std::string a = std::string(at) + ".?" + std::to_string(i);
    const auto type = n.ReadText(Path(a, "type").c_str());
    if (!type) return false;
    if (*type != kOidExtensionRequest) continue;
    if (n.Count(Path(a, "values").c_str()) != 1) return false;
    const auto value = n.Read(Path(a, "values.?1").c_str());
    Node ext("VORNAK2-PKI.Extensions");
    if (!value || !ext.Decode(*value)) return false;
    for (int j = 1, m = ext.Count(""); j <= m; ++j) {
      const std::string e = Nth("?", j);
      const auto oid = ext.ReadText(Path(e, "extnID").c_str());
      if (!oid) return false;
      if (*oid != kOidPrivateKeyUsagePeriod) continue;
      const auto v = ext.Read(Path(e, "extnValue").c_str());
      if (!v || !DecodeUsagePeriod(*v, doc.notBefore, doc.notAfter)) return false;
      doc.hasValidity = true;
    }
  }
  return true;
}

// A signed structure (certificate, request): the signed part as encoded, the signature
// algorithm and the signature (s || r).
Bytes WrapSigned(const PublicDocument& doc) {
  Node n("VORNAK2-PKI.Signed");
  Must(n.Value("toBeSigned", doc.tbs));
  WriteSignatureAlgorithm(n, "signatureAlgorithm", doc.signerKeySize);
  Must(n.Bits("signature", SwapHalves(doc.signature)));
  Bytes out = n.Encode();
  Must(!out.empty());
  return out;
}

std::array<std::uint8_t, ccgost::kStreebog256Size> DigestOf(std::string_view text) {
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  const std::vector<std::uint8_t> d = ccgost::HashOnce(ccgost::HashAlg::Streebog256, bytes);
  std::array<std::uint8_t, ccgost::kStreebog256Size> out{};
  std::copy_n(d.begin(), out.size(), out.begin());
  return out;
}

// Checks that are pure functions of their inputs and cost an elliptic-curve operation, remembered
// by the digest of those inputs: signatures that verified, and secret keys whose public half was
// derived again and matched. Applications check the same certificate and parse the same secret
// key over and over; a remembered success then costs one hash. Only successes are remembered, so
// a failing input is checked afresh every time.
// Remembers up to 64 inputs that passed a costly check (a signature verification, a secret key's
// public-key derivation), so that a certificate or key used over and over is checked once. Only
// exact equality of the whole key counts.
template <typename Key>
class SuccessMemo {
 public:
  // The remembered entry equal to `k` (entries may carry more than their equality compares).
  std::optional<Key> Find(const Key& k) {
    std::lock_guard guard(mutex_);
    const auto end = entries_.begin() + static_cast<std::ptrdiff_t>(count_);
    const auto it = std::find(entries_.begin(), end, k);
    if (it == end) return std::nullopt;
    return *it;
  }
  bool Contains(const Key& k) {
    std::lock_guard guard(mutex_);
    return std::find(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(count_), k) !=
           entries_.begin() + static_cast<std::ptrdiff_t>(count_);
  }
  void Add(Key k) {
    std::lock_guard guard(mutex_);
    entries_[next_] = std::move(k);
    next_ = (next_ + 1) % entries_.size();
    count_ = std::min(count_ + 1, entries_.size());
  }

 private:
  std::mutex mutex_;
  std::array<Key, 64> entries_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

using Digest = std::array<std::uint8_t, 32>;

// A verified signature is remembered by everything its result depends on, byte for byte: the
// signed text, the signature, the signer's curve and key. Comparing those is far cheaper than
// hashing them again on every use of a certificate, and exact, so a document from a peer can
// never pass as one checked before. The hash only sorts out unequal entries quickly.
struct SignedInputs {
  std::size_t hash = 0;
  std::string bytes;
  bool operator==(const SignedInputs& o) const { return hash == o.hash && bytes == o.bytes; }
};

SuccessMemo<SignedInputs>& VerifiedSignatures() {
  static SuccessMemo<SignedInputs> memo;
  return memo;
}
// A secret-key text that passed its checks, known by its fingerprint and the form its private key
// was read in (an index into PrivateKeyCandidates), with the public key derived from it (the file
// holds the private key only).
struct CheckedKey {
  Digest fingerprint{};
  std::size_t candidate = 0;
  PublicKey publicKey;
  bool operator==(const CheckedKey& o) const {
    return fingerprint == o.fingerprint && candidate == o.candidate;
  }
};
SuccessMemo<CheckedKey>& CheckedSecretKeys() {
  static SuccessMemo<CheckedKey> memo;
  return memo;
}

// The values a secret key's integrity check covers, in a fixed text form.
void SecretKeyCanonical(const SecretKey& key, SecretText& out) {
  std::string& s = out.str();
  s.clear();
  const auto field = [&](std::string_view name, std::string_view value) {
    s.append(name).append(": ").append(value).push_back('\n');
  };
  field("UID", key.uid);
  field("Key-Number", std::to_string(key.keyNumber));
  field("Not-Before", FormatDate(key.notBefore));
  field("Not-After", FormatDate(key.notAfter));
  field("Curve", CurveName(key.curve));
  s.append("Private-Key: ");
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::uint8_t b : key.privateKey.span()) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  s.push_back('\n');
  field("Public-Key", HexEncode(key.publicKey));
}

// Wipes a byte vector that held secret material.
struct WipeOnExit {
  Bytes& bytes;
  ~WipeOnExit() { ccgost::Wipe(bytes.data(), bytes.size()); }
};

void AddAttribute(Node& n, const char* at, const char* oid, std::span<const std::uint8_t> value) {
  Must(n.Text(at, "NEW"));
  Must(n.Text(Path(at, "?LAST.type").c_str(), oid));
  Must(n.Text(Path(at, "?LAST.values").c_str(), "NEW"));
  Must(n.Value(Path(at, "?LAST.values.?LAST").c_str(), value));
}

// The private scalar (big-endian, `size` bytes) in each of the forms the GOST key formats give
// the content of privateKey: the bare scalar little-endian (OpenSSL's GOST engine), an OCTET
// STRING of it (GnuTLS and ours), a DER INTEGER (older engines). A bare scalar may happen to
// read as an INTEGER too, so every form that fits is offered, in this order. GnuTLS writes the
// OCTET STRING without the scalar's high zero bytes (one key in 256 has 31 bytes), so a shorter
// one is the scalar with those bytes dropped.
std::vector<ccgost::SecureBytes> PrivateKeyCandidates(std::span<const std::uint8_t> content,
                                                      std::size_t size) {
  std::vector<ccgost::SecureBytes> out;
  const auto littleEndian = [&](std::span<const std::uint8_t> le) {
    ccgost::SecureBytes key(size);  // zero-filled: the dropped high bytes
    std::reverse_copy(le.begin(), le.end(), key.data() + (size - le.size()));
    out.push_back(std::move(key));
  };
  if (content.size() == size) littleEndian(content);
  if (content.size() >= 3 && content.size() <= size + 2 && content[0] == der::kTagOctetString &&
      content[1] == content.size() - 2)
    littleEndian(content.subspan(2));
  // INTEGER, short length form (at most size + 1 bytes of value): non-negative, at most `size`
  // bytes once a leading zero byte is dropped.
  if (content.size() >= 3 && content[0] == 0x02 && content[1] == content.size() - 2 &&
      content[1] < 0x80 && (content[2] & 0x80) == 0) {
    auto value = content.subspan(2);
    if (value.size() == size + 1 && value[0] == 0) value = value.subspan(1);
    if (value.size() <= size) {
      ccgost::SecureBytes key(size);
      std::copy(value.begin(), value.end(), key.data() + (size - value.size()));
      out.push_back(std::move(key));
    }
  }
  return out;
}

}  // namespace

std::string_view CurveName(ccgost::Curve curve) noexcept {
  for (const ParamSet& p : kParamSets)
    if (p.curve == curve) return p.name;
  return "";
}

std::optional<ccgost::Curve> CurveFromName(std::string_view name) noexcept {
  for (const ParamSet& p : kParamSets)
    if (name == p.name) return p.curve;
  return std::nullopt;
}

std::int32_t CurveCode(ccgost::Curve curve) noexcept {
  for (const ParamSet& p : kParamSets)
    if (p.curve == curve) return p.code;
  return -1;
}

std::optional<ccgost::Curve> CurveOfCode(std::int32_t code) noexcept {
  for (const ParamSet& p : kParamSets)
    if (p.code == code) return p.curve;
  return std::nullopt;
}

std::string CurveNames() {
  std::string out;
  for (const ParamSet& p : kParamSets) {
    if (!out.empty()) out += ", ";
    out += p.name;
  }
  return out;
}

void PublicDocument::Encode() {
  tbs = kind == DocKind::Certificate ? EncodeCertificateTbs(*this) : EncodeRequestTbs(*this);
  der = WrapSigned(*this);
}

std::string PublicDocument::Text() const {
  return der::ToPem(kind == DocKind::Certificate ? kCertificateLabel : kRequestLabel, der);
}

int ParsePublicDocument(std::string_view text, PublicDocument& out) {
  const auto pem = der::FromPem(text);
  if (!pem || (pem->label != kCertificateLabel && pem->label != kRequestLabel &&
               pem->label != kOldRequestLabel))
    return CC_E_CERT_HEADER;
  if (!pem->ok) return CC_E_CERT_FORMAT;
  PublicDocument doc;
  doc.der = std::move(pem->der);
  if (pem->label == kCertificateLabel) {
    doc.kind = DocKind::Certificate;
    Node n("VORNAK2-PKI.Certificate");
    if (!n.Decode(doc.der)) return CC_E_CERT_FORMAT;
    const auto tbs = n.RangeOf(doc.der, "tbsCertificate");
    const auto version = n.Read("tbsCertificate.version");
    const auto serial = n.Read("tbsCertificate.serialNumber");
    const auto issuer = n.Read("tbsCertificate.issuer");
    const auto subject = n.Read("tbsCertificate.subject");
    const auto from = ReadTime(n, "tbsCertificate.validity.notBefore");
    const auto to = ReadTime(n, "tbsCertificate.validity.notAfter");
    doc.signerKeySize = ReadSignatureAlgorithm(n, "signatureAlgorithm");
    if (!tbs || !serial || !issuer || !subject || !from || !to || *from > *to ||
        (version && (version->size() != 1 || (*version)[0] > 2)) || doc.signerKeySize == 0 ||
        ReadSignatureAlgorithm(n, "tbsCertificate.signature") != doc.signerKeySize ||
        !ReadSignature(n, "signature", doc.signerKeySize, doc.signature) ||
        !ReadPublicKey(n, "tbsCertificate.subjectPublicKeyInfo", doc.curve, doc.publicKey) ||
        !DecodeName(*subject, doc.uid, doc.keyNumber) ||
        !DecodeName(*issuer, doc.issuer, doc.issuerKeyNumber) || !ReadExtensions(n, doc))
      return CC_E_CERT_FORMAT;
    doc.tbs.assign(tbs->begin(), tbs->end());
    doc.serial = *serial;
    doc.issuerName = *issuer;
    doc.subjectName = *subject;
    doc.notBefore = *from;
    doc.notAfter = *to;
  } else {
    doc.kind = DocKind::Request;
    Node n("VORNAK2-PKI.CertificationRequest");
    if (!n.Decode(doc.der)) return CC_E_CERT_FORMAT;
    const auto tbs = n.RangeOf(doc.der, "certificationRequestInfo");
    const auto version = n.Read("certificationRequestInfo.version");
    const auto subject = n.Read("certificationRequestInfo.subject");
    doc.signerKeySize = ReadSignatureAlgorithm(n, "signatureAlgorithm");
    if (!tbs || !version || *version != Bytes{0} || !subject || doc.signerKeySize == 0 ||
        !ReadSignature(n, "signature", doc.signerKeySize, doc.signature) ||
        !ReadPublicKey(n, "certificationRequestInfo.subjectPKInfo", doc.curve, doc.publicKey) ||
        !DecodeName(*subject, doc.uid, doc.keyNumber) || !ReadRequestedValidity(n, doc))
      return CC_E_CERT_FORMAT;
    doc.tbs.assign(tbs->begin(), tbs->end());
    doc.subjectName = *subject;
  }
  out = std::move(doc);
  return CC_OK;
}

void SecretKey::ToText(SecretText& out) const {
  Node n("VORNAK2-PKI.PrivateKeyInfo");
  Must(n.Text("version", "0"));
  WriteAlgorithm(n, "privateKeyAlgorithm", curve);
  // The scalar little-endian in an OCTET STRING, as the GOST key formats have it.
  Bytes inner(2 + privateKey.size());
  WipeOnExit wipeInner{inner};
  inner[0] = der::kTagOctetString;
  inner[1] = static_cast<std::uint8_t>(privateKey.size());
  std::reverse_copy(privateKey.span().begin(), privateKey.span().end(), inner.begin() + 2);
  Must(n.Value("privateKey", inner));
  // Our attributes, as far as the key has them: a key of another tool read without its
  // certificate is written as it came, without a UID, a validity or the integrity check.
  if (!uid.empty())
    AddAttribute(n, "attributes", kOidCommonName, der::EncodeString(der::kTagUtf8String, uid));
  if (!uid.empty() || keyNumber != 0)
    AddAttribute(n, "attributes", kOidSerialNumber,
                 der::EncodeString(der::kTagPrintableString, std::to_string(keyNumber)));
  if (hasValidity)
    AddAttribute(n, "attributes", kOidPrivateKeyUsagePeriod,
                 EncodeUsagePeriod(notBefore, notAfter));
  if (!uid.empty() && hasValidity) {
    SecretText canonical;
    SecretKeyCanonical(*this, canonical);
    AddAttribute(n, "attributes", kOidMessageDigest, OctetString(DigestOf(canonical.str())));
  }
  if (uid.empty() && keyNumber == 0 && !hasValidity) Must(n.Omit("attributes"));
  Bytes encoded = n.Encode();
  WipeOnExit wipeEncoded{encoded};
  Must(!encoded.empty());
  out.str() = der::ToPem(kSecretKeyLabel, encoded);
}

int ParseSecretKey(std::string_view text, SecretKey& out, const PublicDocument* owner) {
  auto pem = der::FromPem(text);
  if (!pem || pem->label != kSecretKeyLabel) return CC_E_SECRET_FORMAT;
  WipeOnExit wipePem{pem->der};
  if (!pem->ok) return CC_E_SECRET_FORMAT;
  Node n("VORNAK2-PKI.PrivateKeyInfo");
  if (!n.Decode(pem->der)) return CC_E_SECRET_FORMAT;
  // A key of another algorithm is no key of ours at all.
  if (!IsGostAlgorithm(n, "privateKeyAlgorithm")) return CC_E_SECRET_FORMAT;

  // Our attributes. Other tools' attributes are passed over.
  SecretKey key;
  std::optional<Bytes> check;
  bool haveUid = false, haveNumber = false, haveValidity = false, malformed = false;
  const int count = n.Count("attributes");
  for (int i = 1; i <= count; ++i) {
    const std::string a = Nth("attributes.?", i);
    const auto type = n.ReadText(Path(a, "type").c_str());
    if (!type) {
      malformed = true;
      continue;
    }
    const bool known = *type == kOidCommonName || *type == kOidSerialNumber ||
                       *type == kOidPrivateKeyUsagePeriod || *type == kOidMessageDigest;
    if (!known) continue;
    const auto value = n.Count(Path(a, "values").c_str()) == 1
                           ? n.Read(Path(a, "values.?1").c_str())
                           : std::nullopt;
    if (!value) {
      malformed = true;
    } else if (*type == kOidCommonName) {
      const auto uid = der::DecodeDirectoryString(*value);
      haveUid = uid && IsValidUid(*uid);
      if (haveUid) out.uid = key.uid = *uid;
    } else if (*type == kOidSerialNumber) {
      const auto t = der::DecodeDirectoryString(*value);
      const auto kn = t ? ParseKeyNumber(*t) : std::nullopt;
      haveNumber = kn.has_value();
      if (haveNumber) out.keyNumber = key.keyNumber = *kn;
    } else if (*type == kOidPrivateKeyUsagePeriod) {
      haveValidity = DecodeUsagePeriod(*value, key.notBefore, key.notAfter);
      if (haveValidity) out.notBefore = key.notBefore, out.notAfter = key.notAfter;
    } else {
      check = der::DecodeOctetString(*value);
      malformed = malformed || !check;
      if (!check) check = Bytes{};  // present, but unreadable: still a key of ours
    }
  }
  // A key that carries our integrity check is one of ours: whatever is wrong with it from here on
  // is damage. Any other key we cannot read is of a format we do not know.
  const bool ours = check.has_value();
  const int failure = ours ? CC_E_SECRET_INTEGRITY : CC_E_SECRET_FORMAT;
  if (ours && (malformed || !haveUid || !haveNumber || !haveValidity ||
               check->size() != ccgost::kStreebog256Size))
    return CC_E_SECRET_INTEGRITY;

  const auto curve = ReadAlgorithm(n, "privateKeyAlgorithm");
  if (!curve) return failure;
  out.curve = key.curve = *curve;
  auto inner = n.Read("privateKey");
  if (!inner) return failure;
  WipeOnExit wipeInner{*inner};
  std::vector<ccgost::SecureBytes> candidates =
      PrivateKeyCandidates(*inner, ccgost::KeySize(*curve));
  if (candidates.empty()) return failure;

  // The owner's certificate counts only for a key of the same curve.
  if (owner != nullptr &&
      (owner->kind != DocKind::Certificate || !ccgost::SameCurve(owner->curve, *curve)))
    owner = nullptr;
  // The first form whose scalar is a key of the curve, or, with the owner's certificate at hand,
  // the one whose public key the certificate holds. A key text that passed before is known by its
  // fingerprint: the same bytes give the same answer, so neither its check digest nor its public
  // key (an elliptic-curve multiplication) is computed again. The fingerprint reveals nothing of
  // the key.
  const auto fingerprint = ccgost::Fingerprint(AsBytes(text));
  std::optional<std::size_t> chosen;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    PublicKey publicKey;
    bool remembered = false;
    if (const auto known = CheckedSecretKeys().Find(CheckedKey{fingerprint, i, {}})) {
      publicKey = known->publicKey;
      remembered = true;
    } else if (auto derived = ccgost::PublicFromPrivate(*curve, candidates[i].span())) {
      publicKey = std::move(*derived);
    } else {
      continue;  // out of the curve's range: not this form
    }
    const bool owned = owner != nullptr && owner->publicKey == publicKey;
    if (!chosen || owned) {
      chosen = i;
      key.publicKey = std::move(publicKey);
      if (ours && !remembered) {
        key.privateKey = candidates[i];
        SecretText canonical;
        SecretKeyCanonical(key, canonical);
        const auto digest = DigestOf(canonical.str());
        if (!std::equal(digest.begin(), digest.end(), check->begin())) return CC_E_SECRET_INTEGRITY;
      }
      if (!remembered) CheckedSecretKeys().Add(CheckedKey{fingerprint, i, key.publicKey});
    }
    if (ours || owner == nullptr || owned) break;
  }
  if (!chosen) return failure;
  key.privateKey = std::move(candidates[*chosen]);

  // What the key does not carry comes from its owner's certificate, when it is the key's.
  const bool fromOwner = !ours && owner != nullptr && owner->publicKey == key.publicKey;
  if (!haveUid && fromOwner) key.uid = owner->uid;
  if (!haveNumber && fromOwner) key.keyNumber = owner->keyNumber;
  if (!haveValidity && fromOwner) {
    key.notBefore = owner->notBefore;
    key.notAfter = owner->notAfter;
  }
  key.hasValidity = haveValidity || fromOwner;
  out = std::move(key);
  return CC_OK;
}

void SignDocument(PublicDocument& doc, const SecretKey& signer) {
  doc.signerKeySize = ccgost::KeySize(signer.curve);
  doc.tbs = doc.kind == DocKind::Certificate ? EncodeCertificateTbs(doc) : EncodeRequestTbs(doc);
  const auto digest = ccgost::HashOnce(ccgost::SignatureDigest(signer.curve), doc.tbs);
  doc.signature = ccgost::SignDigest(signer.curve, signer.privateKey.span(), digest);
  doc.der = WrapSigned(doc);
}

bool VerifyDocument(const PublicDocument& doc, ccgost::Curve signerCurve,
                    const PublicKey& signerKey) {
  // The signature algorithm must be the one of the signer's key size.
  if (doc.signerKeySize != ccgost::KeySize(signerCurve)) return false;
  SignedInputs inputs;
  inputs.bytes.reserve(doc.tbs.size() + doc.signature.size() + 1 + signerKey.size());
  inputs.bytes.append(doc.tbs.begin(), doc.tbs.end());
  inputs.bytes.append(doc.signature.begin(), doc.signature.end());
  inputs.bytes.push_back(static_cast<char>(CurveCode(signerCurve)));
  inputs.bytes.append(signerKey.begin(), signerKey.end());
  inputs.hash = std::hash<std::string_view>{}(inputs.bytes);
  if (VerifiedSignatures().Contains(inputs)) return true;
  const auto digest = ccgost::HashOnce(ccgost::SignatureDigest(signerCurve), doc.tbs);
  if (!ccgost::VerifyDigest(signerCurve, signerKey, digest, doc.signature)) return false;
  VerifiedSignatures().Add(std::move(inputs));
  return true;
}

bool ReadSignedParts(const der::Node& n, std::span<const std::uint8_t> der, const char* tbsName,
                     const char* innerAlgorithm, PublicDocument& doc) {
  const auto tbs = n.RangeOf(der, tbsName);
  doc.signerKeySize = ReadSignatureAlgorithm(n, "signatureAlgorithm");
  if (!tbs || doc.signerKeySize == 0 ||
      ReadSignatureAlgorithm(n, innerAlgorithm) != doc.signerKeySize ||
      !ReadSignature(n, "signature", doc.signerKeySize, doc.signature))
    return false;
  doc.tbs.assign(tbs->begin(), tbs->end());
  return true;
}

bool ReadNameOf(std::span<const std::uint8_t> name, std::string& uid, std::int32_t& keyNumber) {
  return DecodeName(name, uid, keyNumber);
}

std::optional<Minutes> ReadTimeOf(const der::Node& n, const std::string& at) {
  return ReadTime(n, at);
}

namespace {

// How many authority certificates a chain may hold, the self-signed one included.
constexpr int kMaxLinks = 16;

// The authority certificates `cert` rests on, from its issuer up to a self-signed one, each
// found through the lookup by the name and key number the one below names as its issuer. Every
// link must be an authority certificate inside its validity that may certify (keyCertSign when
// keyUsage is there; no more intermediate authorities below it than its path length allows, a
// roll-over under the same name not counted) and must have signed the link below it; the last
// one must be self-signed. The signature over `cert` itself is left to the caller.
int TrustChain(const PublicDocument& cert, CcAuthorityLookup lookup, Minutes now,
               std::vector<PublicDocument>& links) {
  links.clear();
  links.reserve(4);
  int intermediates = 0;  // authorities under other names between the current link and `cert`
  for (int step = 0; step < kMaxLinks; ++step) {
    const PublicDocument& below = links.empty() ? cert : links.back();
    const char* found = lookup(below.issuer.c_str(), below.issuerKeyNumber);
    if (found == nullptr) return CC_E_AUTHORITY_NOT_FOUND;
    const auto text = BoundedText(found, CC_MAX_TEXT);
    PublicDocument link;
    if (!text || ParsePublicDocument(*text, link) != CC_OK || link.kind != DocKind::Certificate ||
        !link.authority)
      return CC_E_AUTHORITY_FORMAT;
    if (link.uid != below.issuer || link.keyNumber != below.issuerKeyNumber)
      return CC_E_AUTHORITY_NOT_FOUND;
    if (link.unknownCritical) return CC_E_UNKNOWN_CRITICAL;
    if (now < link.notBefore || now > link.notAfter) return CC_E_AUTHORITY_EXPIRED;
    if (!link.Allows(kKeyCertSign) || (link.pathLength && intermediates > *link.pathLength))
      return CC_E_AUTHORITY_NOT_PERMITTED;
    if (!links.empty() && !VerifyDocument(below, link.curve, link.publicKey))
      return CC_E_AUTHORITY_DAMAGED;
    if (link.SelfIssued()) {
      if (!VerifyDocument(link, link.curve, link.publicKey)) return CC_E_AUTHORITY_DAMAGED;
      links.push_back(std::move(link));
      return CC_OK;
    }
    if (link.issuer != link.uid) ++intermediates;
    links.push_back(std::move(link));
  }
  return CC_E_AUTHORITY_NOT_PERMITTED;
}

// Keeps the most telling note of the CRLs looked at: an ignored one over a used one over none.
void Note(std::int32_t& revocation, std::int32_t note) {
  if (revocation < 0) return;
  if (note < 0 || note > revocation) revocation = note;
}

}  // namespace

int CertificateStatus(const PublicDocument& cert, CcAuthorityLookup lookup, Minutes now,
                      std::string_view secretDir, std::int32_t* revocation) {
  std::int32_t note = CC_REVOCATION_NONE;
  if (revocation != nullptr) *revocation = note;
  if (cert.kind != DocKind::Certificate) return RequestStatus(cert);
  if (cert.unknownCritical) return CC_E_UNKNOWN_CRITICAL;
  if (lookup == nullptr) return CC_E_AUTHORITY_NOT_FOUND;
  std::vector<PublicDocument> links;
  if (const int r = TrustChain(cert, lookup, now, links); r != CC_OK) return r;
  if (!VerifyDocument(cert, links.front().curve, links.front().publicKey))
    return CC_E_ISSUER_SIGNATURE;
  // Revocation, once the chain is trusted: each authority's CRL on what it certified (a
  // self-signed authority certificate is a root of trust, which no CRL revokes).
  if (!secretDir.empty() && !cert.SelfIssued()) {
    bool revoked = false;
    for (std::size_t i = 0; i < links.size() && !revoked; ++i) {
      std::int32_t crl = CC_REVOCATION_NONE;
      revoked = IsRevoked(secretDir, links[i], i == 0 ? cert.serial : links[i - 1].serial, crl);
      Note(note, crl);
    }
    if (revocation != nullptr) *revocation = note;
    if (revoked) return CC_E_REVOKED;
  }
  if (now < cert.notBefore) return CC_E_NOT_YET_VALID;
  if (now > cert.notAfter) return CC_E_CERT_EXPIRED;
  return CC_OK;
}

int RequestStatus(const PublicDocument& request) {
  return VerifyDocument(request, request.curve, request.publicKey) ? CC_E_UNCERTIFIED
                                                                   : CC_E_PUBLIC_INTEGRITY;
}

int SecretKeyStatus(const SecretKey& key, Minutes now) noexcept {
  if (!key.hasValidity) return CC_OK;
  if (now < key.notBefore) return CC_E_SECRET_NOT_YET_VALID;
  if (now > key.notAfter) return CC_E_SECRET_EXPIRED;
  return CC_OK;
}

NewKeys GenerateKeys(std::string_view uid, std::int32_t keyNumber, ccgost::Curve curve,
                     Minutes notBefore, Minutes notAfter) {
  ccgost::KeyPair pair = ccgost::GenerateKeyPair(curve);
  NewKeys out;
  out.secret.uid = std::string(uid);
  out.secret.keyNumber = keyNumber;
  out.secret.notBefore = notBefore;
  out.secret.notAfter = notAfter;
  out.secret.curve = curve;
  out.secret.privateKey = std::move(pair.privateKey);
  out.secret.publicKey = pair.publicKey;

  PublicDocument& req = out.request;
  req.kind = DocKind::Request;
  req.uid = out.secret.uid;
  req.keyNumber = keyNumber;
  req.notBefore = notBefore;
  req.notAfter = notAfter;
  req.curve = curve;
  req.publicKey = pair.publicKey;
  SignDocument(req, out.secret);
  return out;
}

PublicDocument IssueCertificate(const PublicDocument& request, const SecretKey& authorityKey,
                                const PublicDocument& authorityCert, Minutes notBefore,
                                Minutes notAfter) {
  PublicDocument cert;
  cert.kind = DocKind::Certificate;
  cert.uid = request.uid;
  cert.keyNumber = request.keyNumber;
  cert.subjectName = request.subjectName;
  cert.issuer = authorityCert.uid;
  cert.issuerKeyNumber = authorityCert.keyNumber;
  cert.issuerName = authorityCert.subjectName;
  cert.authorityKeyId = authorityCert.keyId;
  cert.notBefore = notBefore;
  cert.notAfter = notAfter;
  cert.curve = request.curve;
  cert.publicKey = request.publicKey;
  SignDocument(cert, authorityKey);
  return cert;
}

PublicDocument SelfSignedCertificate(const SecretKey& key) {
  PublicDocument cert;
  cert.kind = DocKind::Certificate;
  cert.authority = true;
  cert.uid = key.uid;
  cert.keyNumber = key.keyNumber;
  cert.issuer = key.uid;
  cert.issuerKeyNumber = key.keyNumber;
  cert.notBefore = key.notBefore;
  cert.notAfter = key.notAfter;
  cert.curve = key.curve;
  cert.publicKey = key.publicKey;
  cert.keyId = KeyIdentifier(key.publicKey);
  cert.authorityKeyId = cert.keyId;
  SignDocument(cert, key);
  return cert;
}

Bytes SignatureAlgorithmDer(const SecretKey& signer) {
  Node n("VORNAK2-PKI.AlgorithmIdentifier");
  WriteSignatureAlgorithm(n, "", ccgost::KeySize(signer.curve));
  Bytes out = n.Encode();
  Must(!out.empty());
  return out;
}

Bytes SignStructure(std::span<const std::uint8_t> tbs, const SecretKey& signer) {
  Node n("VORNAK2-PKI.Signed");
  Must(n.Value("toBeSigned", tbs));
  WriteSignatureAlgorithm(n, "signatureAlgorithm", ccgost::KeySize(signer.curve));
  const auto digest = ccgost::HashOnce(ccgost::SignatureDigest(signer.curve), tbs);
  Must(n.Bits("signature",
              SwapHalves(ccgost::SignDigest(signer.curve, signer.privateKey.span(), digest))));
  Bytes out = n.Encode();
  Must(!out.empty());
  return out;
}

}  // namespace cc
