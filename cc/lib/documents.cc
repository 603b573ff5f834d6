#include "documents.h"

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <mutex>
#include <span>
#include <vector>

namespace cc {

namespace {

constexpr std::string_view kCertificateHeader = "VORNAK2-CC CERTIFICATE 1";
constexpr std::string_view kRequestHeader = "VORNAK2-CC REQUEST 1";
constexpr std::string_view kSecretKeyHeader = "VORNAK2-CC SECRET KEY 1";

constexpr std::size_t kMaxFields = 12;

struct Field {
  std::string_view name;
  std::string_view value;
};

// A document split into its header line and fields. Blank lines are skipped, "\r" before a line
// end and blanks at a line's end are ignored.
struct RawDocument {
  std::string_view header;
  std::array<Field, kMaxFields> fields{};
  std::size_t count = 0;

  std::optional<std::string_view> Get(std::string_view name) const {
    for (std::size_t i = 0; i < count; ++i) {
      if (fields[i].name == name) return fields[i].value;
    }
    return std::nullopt;
  }
};

std::string_view TrimLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  return line;
}

// False when a line has no "Name: value" shape, a name repeats or there are too many fields.
bool SplitDocument(std::string_view text, RawDocument& out) {
  bool haveHeader = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = TrimLineEnd(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty()) continue;
    if (!haveHeader) {
      out.header = line;
      haveHeader = true;
      continue;
    }
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos || colon == 0) return false;
    const Field field{line.substr(0, colon), line.substr(colon + 2)};
    if (out.count == kMaxFields || out.Get(field.name)) return false;
    out.fields[out.count++] = field;
  }
  return haveHeader;
}

// True when the document has exactly the given fields.
bool HasExactly(const RawDocument& doc, std::initializer_list<std::string_view> names) {
  if (doc.count != names.size()) return false;
  return std::all_of(names.begin(), names.end(),
                     [&](std::string_view n) { return doc.Get(n).has_value(); });
}

void AppendField(std::string& out, std::string_view name, std::string_view value) {
  out.append(name).append(": ").append(value).push_back('\n');
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
SuccessMemo<Digest>& CheckedSecretKeys() {
  static SuccessMemo<Digest> memo;
  return memo;
}

// Reads the validity fields; false when missing, malformed or reversed.
bool ReadValidity(const RawDocument& doc, Minutes& from, Minutes& to) {
  const auto f = ParseDate(doc.Get("Not-Before").value_or(""));
  const auto t = ParseDate(doc.Get("Not-After").value_or(""));
  if (!f || !t || *f > *t) return false;
  from = *f;
  to = *t;
  return true;
}

void SecretKeyCanonical(const SecretKey& key, SecretText& out) {
  std::string& s = out.str();
  s.clear();
  s.append(kSecretKeyHeader).push_back('\n');
  AppendField(s, "UID", key.uid);
  AppendField(s, "Key-Number", std::to_string(key.keyNumber));
  AppendField(s, "Not-Before", FormatDate(key.notBefore));
  AppendField(s, "Not-After", FormatDate(key.notAfter));
  AppendField(s, "Curve", CurveName(key.curve));
  s.append("Private-Key: ");
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::uint8_t b : key.privateKey.span()) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  s.push_back('\n');
  AppendField(s, "Public-Key", HexEncode(key.publicKey));
}

}  // namespace

std::string_view CurveName(ccgost::Curve curve) noexcept {
  return curve == ccgost::Curve::CryptoPro_A ? "cryptopro-A" : "tc26-256-A";
}

std::optional<ccgost::Curve> CurveFromName(std::string_view name) noexcept {
  if (name == "tc26-256-A") return ccgost::Curve::Tc26_256_A;
  if (name == "cryptopro-A") return ccgost::Curve::CryptoPro_A;
  return std::nullopt;
}

std::int32_t CurveCode(ccgost::Curve curve) noexcept {
  return curve == ccgost::Curve::CryptoPro_A ? CC_CURVE_CRYPTOPRO_A : CC_CURVE_TC26_256_A;
}

std::string PublicDocument::ToBeSigned() const {
  std::string s;
  s.reserve(512);
  s.append(kind == DocKind::Certificate ? kCertificateHeader : kRequestHeader).push_back('\n');
  AppendField(s, "UID", uid);
  AppendField(s, "Key-Number", std::to_string(keyNumber));
  if (kind == DocKind::Certificate) {
    AppendField(s, "Issuer", issuer);
    AppendField(s, "Issuer-Key-Number", std::to_string(issuerKeyNumber));
  }
  AppendField(s, "Not-Before", FormatDate(notBefore));
  AppendField(s, "Not-After", FormatDate(notAfter));
  AppendField(s, "Curve", CurveName(curve));
  AppendField(s, "Public-Key", HexEncode(publicKey));
  return s;
}

std::string PublicDocument::Text() const {
  std::string s = ToBeSigned();
  AppendField(s, "Signature", HexEncode(signature));
  return s;
}

int ParsePublicDocument(std::string_view text, PublicDocument& out) {
  RawDocument raw;
  const bool split = SplitDocument(text, raw);
  if (raw.header != kCertificateHeader && raw.header != kRequestHeader) return CC_E_CERT_HEADER;
  if (!split) return CC_E_CERT_FORMAT;
  PublicDocument doc;
  doc.kind = raw.header == kCertificateHeader ? DocKind::Certificate : DocKind::Request;
  if (doc.kind == DocKind::Certificate) {
    if (!HasExactly(raw, {"UID", "Key-Number", "Issuer", "Issuer-Key-Number", "Not-Before",
                          "Not-After", "Curve", "Public-Key", "Signature"}))
      return CC_E_CERT_FORMAT;
    doc.issuer = std::string(*raw.Get("Issuer"));
    const auto ikn = ParseKeyNumber(*raw.Get("Issuer-Key-Number"));
    if (!IsValidUid(doc.issuer) || !ikn) return CC_E_CERT_FORMAT;
    doc.issuerKeyNumber = *ikn;
  } else if (!HasExactly(raw, {"UID", "Key-Number", "Not-Before", "Not-After", "Curve",
                               "Public-Key", "Signature"})) {
    return CC_E_CERT_FORMAT;
  }
  doc.uid = std::string(*raw.Get("UID"));
  const auto kn = ParseKeyNumber(*raw.Get("Key-Number"));
  const auto curve = CurveFromName(*raw.Get("Curve"));
  if (!IsValidUid(doc.uid) || !kn || !curve || !ReadValidity(raw, doc.notBefore, doc.notAfter) ||
      !HexDecode(*raw.Get("Public-Key"), doc.publicKey) ||
      !HexDecode(*raw.Get("Signature"), doc.signature))
    return CC_E_CERT_FORMAT;
  doc.keyNumber = *kn;
  doc.curve = *curve;
  out = std::move(doc);
  return CC_OK;
}

void SecretKey::ToText(SecretText& out) const {
  SecretKeyCanonical(*this, out);
  const auto check = DigestOf(out.str());
  AppendField(out.str(), "Check", HexEncode(check));
}

int ParseSecretKey(std::string_view text, SecretKey& out) {
  RawDocument raw;
  const bool split = SplitDocument(text, raw);
  if (raw.header != kSecretKeyHeader) return CC_E_SECRET_FORMAT;
  // Whatever can be read describes the key even when the rest is damaged.
  if (const auto uid = raw.Get("UID"); uid && IsValidUid(*uid)) out.uid = std::string(*uid);
  if (const auto kn = ParseKeyNumber(raw.Get("Key-Number").value_or(""))) out.keyNumber = *kn;
  ReadValidity(raw, out.notBefore, out.notAfter);
  if (const auto curve = CurveFromName(raw.Get("Curve").value_or(""))) out.curve = *curve;

  if (!split || !HasExactly(raw, {"UID", "Key-Number", "Not-Before", "Not-After", "Curve",
                                  "Private-Key", "Public-Key", "Check"}))
    return CC_E_SECRET_INTEGRITY;
  SecretKey key;
  key.uid = std::string(*raw.Get("UID"));
  const auto kn = ParseKeyNumber(*raw.Get("Key-Number"));
  const auto curve = CurveFromName(*raw.Get("Curve"));
  key.privateKey = ccgost::SecureBytes(ccgost::kPrivateKeySize);
  std::array<std::uint8_t, ccgost::kStreebog256Size> check{};
  if (!IsValidUid(key.uid) || !kn || !curve || !ReadValidity(raw, key.notBefore, key.notAfter) ||
      !HexDecode(*raw.Get("Private-Key"), key.privateKey.span()) ||
      !HexDecode(*raw.Get("Public-Key"), key.publicKey) || !HexDecode(*raw.Get("Check"), check))
    return CC_E_SECRET_INTEGRITY;
  key.keyNumber = *kn;
  key.curve = *curve;
  // A key text that passed before is known by its fingerprint: the same bytes give the same
  // answer, so its check digest (Streebog, the slow part of every signing) and the derivation of
  // its public key are not done again. The fingerprint reveals nothing of the key.
  const auto fingerprint =
      ccgost::Fingerprint({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  if (!CheckedSecretKeys().Contains(fingerprint)) {
    SecretText canonical;
    SecretKeyCanonical(key, canonical);
    if (DigestOf(canonical.str()) != check) return CC_E_SECRET_INTEGRITY;
    const auto derived = ccgost::PublicFromPrivate(key.curve, key.privateKey.span());
    if (!derived || *derived != key.publicKey) return CC_E_SECRET_INTEGRITY;
    CheckedSecretKeys().Add(fingerprint);
  }
  out = std::move(key);
  return CC_OK;
}

void SignDocument(PublicDocument& doc, const SecretKey& signer) {
  const auto digest = DigestOf(doc.ToBeSigned());
  doc.signature = ccgost::SignDigest(signer.curve, signer.privateKey.span(), digest);
}

bool VerifyDocument(const PublicDocument& doc, ccgost::Curve signerCurve,
                    const PublicKey& signerKey) {
  const std::string signedText = doc.ToBeSigned();
  SignedInputs inputs;
  inputs.bytes.reserve(signedText.size() + doc.signature.size() + 1 + signerKey.size());
  inputs.bytes.append(signedText);
  inputs.bytes.append(doc.signature.begin(), doc.signature.end());
  inputs.bytes.push_back(signerCurve == ccgost::Curve::Tc26_256_A ? '\0' : '\1');
  inputs.bytes.append(signerKey.begin(), signerKey.end());
  inputs.hash = std::hash<std::string_view>{}(inputs.bytes);
  if (VerifiedSignatures().Contains(inputs)) return true;
  if (!ccgost::VerifyDigest(signerCurve, signerKey, DigestOf(signedText), doc.signature))
    return false;
  VerifiedSignatures().Add(std::move(inputs));
  return true;
}

int CertificateStatus(const PublicDocument& cert, CcAuthorityLookup lookup, Minutes now) {
  if (cert.kind != DocKind::Certificate) return RequestStatus(cert);
  if (lookup == nullptr) return CC_E_AUTHORITY_NOT_FOUND;
  const char* found = lookup(cert.issuer.c_str(), cert.issuerKeyNumber);
  if (found == nullptr) return CC_E_AUTHORITY_NOT_FOUND;
  const auto text = BoundedText(found, CC_MAX_TEXT);
  PublicDocument authority;
  if (!text || ParsePublicDocument(*text, authority) != CC_OK ||
      authority.kind != DocKind::Certificate)
    return CC_E_AUTHORITY_FORMAT;
  if (authority.uid != cert.issuer || authority.keyNumber != cert.issuerKeyNumber)
    return CC_E_AUTHORITY_NOT_FOUND;
  if (!authority.SelfIssued() || !VerifyDocument(authority, authority.curve, authority.publicKey))
    return CC_E_AUTHORITY_DAMAGED;
  if (now < authority.notBefore || now > authority.notAfter) return CC_E_AUTHORITY_EXPIRED;
  if (!VerifyDocument(cert, authority.curve, authority.publicKey)) return CC_E_ISSUER_SIGNATURE;
  if (now < cert.notBefore) return CC_E_NOT_YET_VALID;
  if (now > cert.notAfter) return CC_E_CERT_EXPIRED;
  return CC_OK;
}

int RequestStatus(const PublicDocument& request) {
  return VerifyDocument(request, request.curve, request.publicKey) ? CC_E_UNCERTIFIED
                                                                   : CC_E_PUBLIC_INTEGRITY;
}

int SecretKeyStatus(const SecretKey& key, Minutes now) noexcept {
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
  cert.issuer = authorityCert.uid;
  cert.issuerKeyNumber = authorityCert.keyNumber;
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
  cert.uid = key.uid;
  cert.keyNumber = key.keyNumber;
  cert.issuer = key.uid;
  cert.issuerKeyNumber = key.keyNumber;
  cert.notBefore = key.notBefore;
  cert.notAfter = key.notAfter;
  cert.curve = key.curve;
  cert.publicKey = key.publicKey;
  SignDocument(cert, key);
  return cert;
}

}  // namespace cc
