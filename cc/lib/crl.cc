#include "crl.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>

#include "der.h"
#include "files.h"
#include "paths.h"

namespace cc {

namespace {

using der::Bytes;

constexpr std::string_view kCrlLabel = "X509 CRL";

// Extensions whose criticality this library honours: of the list, its authority's key identifier
// and its number; of an entry, the reason, the invalidity date and the hold instruction. Each
// only describes; the list is still a complete list of what its authority revoked.
bool ProcessedListExtension(std::string_view oid) {
  return oid == "2.5.29.35" || oid == "2.5.29.20";
}
bool ProcessedEntryExtension(std::string_view oid) {
  return oid == "2.5.29.21" || oid == "2.5.29.24" || oid == "2.5.29.23";
}

// Whether every critical extension of the Extensions at `at` is one `processed` accepts;
// nullopt when one cannot be read.
template <typename Processed>
std::optional<bool> OnlyProcessedCritical(const der::Node& n, const std::string& at,
                                          Processed processed) {
  const int count = n.Count(at.c_str());
  for (int i = 1; i <= count; ++i) {
    const std::string e = at + ".?" + std::to_string(i);
    const auto oid = n.ReadText((e + ".extnID").c_str());
    if (!oid) return std::nullopt;
    const auto critical = n.ReadText((e + ".critical").c_str());
    if (critical.value_or("FALSE") == "TRUE" && !processed(*oid)) return false;
  }
  return true;
}

// A DER header at the start of `bytes`: its size and the length of the contents that follow;
// nullopt when either runs past the end.
struct Header {
  std::size_t size = 0;
  std::size_t length = 0;
};
std::optional<Header> ReadHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2) return std::nullopt;
  Header h{2, bytes[1]};
  if ((h.length & 0x80) != 0) {
    const std::size_t count = h.length & 0x7F;
    if (count == 0 || count > 4 || bytes.size() < 2 + count) return std::nullopt;
    h.length = 0;
    for (std::size_t i = 0; i < count; ++i) h.length = (h.length << 8) | bytes[2 + i];
    h.size += count;
  }
  if (h.length > bytes.size() - h.size) return std::nullopt;
  return h;
}

// The elements of a SEQUENCE OF, each with its header. libtasn1 has checked the encoding; this
// only splits it, in one pass (reading the n-th element by name would cost n steps each).
std::optional<std::vector<std::span<const std::uint8_t>>> Elements(
    std::span<const std::uint8_t> sequence) {
  const auto outer = ReadHeader(sequence);
  if (!outer || sequence[0] != 0x30 || outer->size + outer->length != sequence.size())
    return std::nullopt;
  std::vector<std::span<const std::uint8_t>> out;
  for (auto rest = sequence.subspan(outer->size); !rest.empty();) {
    const auto h = ReadHeader(rest);
    if (!h) return std::nullopt;
    out.push_back(rest.first(h->size + h->length));
    rest = rest.subspan(h->size + h->length);
  }
  return out;
}

// The order of serial numbers in a CRL's list: shorter first, then byte by byte. (The library's
// own loop: GCC 12 for 32-bit Windows takes std::vector's own comparison for an oversized memcmp.)
bool SerialBefore(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return a[i] < b[i];
  return false;
}

// Reads the revoked certificates' serial numbers; false when an entry is malformed, an entry of
// a version 1 list has extensions, or an entry has an unprocessed critical extension (`unknown`).
bool ReadEntries(const der::Node& n, std::span<const std::uint8_t> der, bool v1, Crl& crl,
                 bool& unknown) {
  if (n.Count("tbsCertList.revokedCertificates") <= 0) return true;
  const auto list = n.RangeOf(der, "tbsCertList.revokedCertificates");
  const auto entries = list ? Elements(*list) : std::nullopt;
  if (!entries) return false;
  crl.revoked.reserve(entries->size());
  for (const auto entry : *entries) {
    der::Node e("VORNAK2-PKI.RevokedCertificate");
    const auto serial = e.Decode(entry) ? e.Read("userCertificate") : std::nullopt;
    if (!serial) return false;
    if (e.Count("crlEntryExtensions") > 0) {
      const auto ok = OnlyProcessedCritical(e, "crlEntryExtensions", ProcessedEntryExtension);
      if (v1 || !ok) return false;
      if (!*ok) unknown = true;
    }
    crl.revoked.push_back(*serial);
  }
  std::sort(crl.revoked.begin(), crl.revoked.end(), SerialBefore);
  return true;
}

// What one CRL file says, checked against the authority certificate it was found beside.
struct Verdict {
  std::string path;
  std::string file;  // the contents the verdict was made from
  Bytes authority;   // the DER of the authority certificate it was checked against
  std::int32_t note = CC_REVOCATION_NONE;
  std::vector<Bytes> revoked;
};

std::shared_ptr<const Verdict> Judge(std::string path, std::string file,
                                     const PublicDocument& authority) {
  auto v = std::make_shared<Verdict>();
  Crl crl;
  if (const int rc = ParseCrl(file, crl); rc != CC_OK)
    v->note = rc;
  else if (crl.issuer != authority.uid || crl.issuerKeyNumber != authority.keyNumber)
    v->note = CC_E_AUTHORITY_NOT_FOUND;
  else if (!authority.Allows(kCrlSign))
    v->note = CC_E_AUTHORITY_NOT_PERMITTED;
  else if (!VerifyDocument(crl.signedPart, authority.curve, authority.publicKey))
    v->note = CC_E_SIGNATURE;
  else {
    v->note = CC_REVOCATION_CHECKED;
    v->revoked = std::move(crl.revoked);
  }
  v->path = std::move(path);
  v->file = std::move(file);
  v->authority = authority.der;
  return v;
}

// The verdicts on the last few CRL files: a file is parsed and its signature checked once, and
// again only when its contents or the authority certificate change. Lookups compare the
// contents byte for byte, which costs far less than parsing them again.
class Verdicts {
 public:
  std::shared_ptr<const Verdict> Find(const std::string& path, const std::string& file,
                                      const Bytes& authority) {
    std::lock_guard guard(mutex_);
    for (const auto& v : entries_)
      if (v && v->path == path && v->authority == authority && v->file == file) return v;
    return nullptr;
  }
  void Add(std::shared_ptr<const Verdict> v) {
    std::lock_guard guard(mutex_);
    entries_[next_] = std::move(v);
    next_ = (next_ + 1) % entries_.size();
  }

 private:
  std::mutex mutex_;
  std::array<std::shared_ptr<const Verdict>, 16> entries_;
  std::size_t next_ = 0;
};

Verdicts& KnownVerdicts() {
  static Verdicts verdicts;
  return verdicts;
}

}  // namespace

int ParseCrl(std::string_view file, Crl& out) {
  Bytes der;
  if (file.find("-----BEGIN ") != std::string_view::npos) {
    auto pem = der::FromPem(file);
    if (!pem || pem->label != kCrlLabel || !pem->ok) return CC_E_CERT_FORMAT;
    der = std::move(pem->der);
  } else {
    der.assign(file.begin(), file.end());
  }
  der::Node n("VORNAK2-PKI.CertificateList");
  if (!n.Decode(der, CC_MAX_CRL)) return CC_E_CERT_FORMAT;
  Crl crl;
  const auto version = n.Read("tbsCertList.version");
  const auto issuer = n.Read("tbsCertList.issuer");
  const auto thisUpdate = ReadTimeOf(n, "tbsCertList.thisUpdate");
  if ((version && *version != Bytes{1}) || !issuer || !thisUpdate ||
      !ReadNameOf(*issuer, crl.issuer, crl.issuerKeyNumber) ||
      !ReadSignedParts(n, der, "tbsCertList", "tbsCertList.signature", crl.signedPart))
    return CC_E_CERT_FORMAT;
  crl.thisUpdate = *thisUpdate;
  if (n.ReadText("tbsCertList.nextUpdate")) {
    crl.nextUpdate = ReadTimeOf(n, "tbsCertList.nextUpdate");
    if (!crl.nextUpdate) return CC_E_CERT_FORMAT;
  }
  bool unknown = false;
  if (n.Count("tbsCertList.crlExtensions") > 0) {
    const auto ok = OnlyProcessedCritical(n, "tbsCertList.crlExtensions", ProcessedListExtension);
    if (!version || !ok) return CC_E_CERT_FORMAT;
    unknown = !*ok;
  }
  if (!ReadEntries(n, der, !version, crl, unknown)) return CC_E_CERT_FORMAT;
  if (unknown) return CC_E_UNKNOWN_CRITICAL;
  out = std::move(crl);
  return CC_OK;
}

bool IsRevoked(std::string_view secretDir, const PublicDocument& authority,
               std::span<const std::uint8_t> serial, std::int32_t& note) {
  note = CC_REVOCATION_NONE;
  const std::string path = CrlPath(secretDir, authority.uid, authority.keyNumber);
  if (path.empty()) return false;
  auto file = ReadSmallFile(path, CC_MAX_CRL);
  if (!file) {
    if (PathExists(path)) note = CC_E_READ;
    return false;
  }
  auto verdict = KnownVerdicts().Find(path, *file, authority.der);
  if (!verdict) {
    verdict = Judge(path, std::move(*file), authority);
    KnownVerdicts().Add(verdict);
  }
  note = verdict->note;
  return note == CC_REVOCATION_CHECKED &&
         std::binary_search(verdict->revoked.begin(), verdict->revoked.end(),
                            Bytes(serial.begin(), serial.end()), SerialBefore);
}

}  // namespace cc
