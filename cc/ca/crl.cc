#include "crl.h"

#include <algorithm>
#include <stdexcept>

#include "der.h"
#include "errors.h"

namespace ca {

namespace {

using Bytes = std::vector<std::uint8_t>;

// DER tags.
constexpr std::uint8_t kInteger = 0x02, kOctetString = 0x04, kOid = 0x06, kUtcTime = 0x17,
                       kGeneralizedTime = 0x18, kSequence = 0x30;
constexpr std::uint8_t kExplicit0 = 0xA0;  // [0] EXPLICIT, constructed
constexpr std::uint8_t kImplicit0 = 0x80;  // [0] IMPLICIT OCTET STRING, primitive

Bytes Tlv(std::uint8_t tag, std::span<const std::uint8_t> content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    Bytes length;
    for (std::size_t v = n; v != 0; v >>= 8)
      length.insert(length.begin(), static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A non-negative INTEGER from big-endian bytes, in its minimal form.
Bytes Integer(std::span<const std::uint8_t> value) {
  std::size_t skip = 0;
  while (skip + 1 < value.size() && value[skip] == 0) ++skip;
  const auto digits = value.subspan(skip);
  // A leading zero byte keeps a value whose top bit is set positive.
  const bool pad = digits.empty() || (digits.front() & 0x80) != 0;
  Bytes content(digits.size() + (pad ? 1 : 0), 0);
  std::copy(digits.begin(), digits.end(), content.begin() + (pad ? 1 : 0));
  return Tlv(kInteger, content);
}

Bytes Integer(std::uint64_t value) {
  Bytes bytes;
  for (int shift = 56; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  return Integer(bytes);
}

// An OBJECT IDENTIFIER from its dotted text (at least two arcs, the first two combined).
Bytes Oid(std::string_view dotted) {
  std::vector<std::uint64_t> arcs;
  std::uint64_t arc = 0;
  bool digits = false;
  for (char c : std::string(dotted) + ".") {
    if (c == '.') {
      if (!digits) throw std::logic_error("bad OID");
      arcs.push_back(arc);
      arc = 0;
      digits = false;
    } else {
      arc = arc * 10 + static_cast<std::uint64_t>(c - '0');
      digits = true;
    }
  }
  if (arcs.size() < 2) throw std::logic_error("bad OID");
  Bytes content;
  const auto base128 = [&](std::uint64_t v) {
    Bytes groups{static_cast<std::uint8_t>(v & 0x7F)};
    for (v >>= 7; v != 0; v >>= 7)
      groups.insert(groups.begin(), static_cast<std::uint8_t>(0x80 | (v & 0x7F)));
    content.insert(content.end(), groups.begin(), groups.end());
  };
  base128(arcs[0] * 40 + arcs[1]);
  for (std::size_t i = 2; i < arcs.size(); ++i) base128(arcs[i]);
  return Tlv(kOid, content);
}

// UTCTime for the years 1950-2049, GeneralizedTime after (RFC 5280, 5.1.2.4), to the second.
Bytes Time(cc::Minutes t) {
  const std::string d = cc::FormatDate(t);  // dd.mm.yyyy hh:mm
  const bool generalized = d.compare(6, 4, "2050") >= 0;
  std::string text = generalized ? d.substr(6, 4) : d.substr(8, 2);
  text.append(d, 3, 2).append(d, 0, 2).append(d, 11, 2).append(d, 14, 2).append("00Z");
  return Tlv(generalized ? kGeneralizedTime : kUtcTime,
             std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Bytes Extension(std::string_view oid, const Bytes& value) {
  return Tlv(kSequence, Concat({Oid(oid), Tlv(kOctetString, value)}));
}

constexpr std::string_view kOidAuthorityKeyId = "2.5.29.35";
constexpr std::string_view kOidCrlNumber = "2.5.29.20";

}  // namespace

std::string MakeCrl(const Authority& a, std::span<const RevokedCertificate> revoked,
                    cc::Minutes thisUpdate, cc::Minutes nextUpdate, std::int64_t number) {
  try {
    Bytes entries;
    for (const RevokedCertificate& r : revoked) {
      const Bytes entry = Tlv(kSequence, Concat({Integer(r.serial), Time(r.when)}));
      entries.insert(entries.end(), entry.begin(), entry.end());
    }
    Bytes extensions;
    if (!a.cert.keyId.empty()) {
      const Bytes aki = Tlv(kSequence, Tlv(kImplicit0, a.cert.keyId));
      extensions = Extension(kOidAuthorityKeyId, aki);
    }
    const Bytes crlNumber = Extension(kOidCrlNumber, Integer(static_cast<std::uint64_t>(number)));
    extensions.insert(extensions.end(), crlNumber.begin(), crlNumber.end());

    Bytes tbs = Concat({Integer(Bytes{1}),  // version v2
                        cc::SignatureAlgorithmDer(a.key), a.cert.subjectName, Time(thisUpdate),
                        Time(nextUpdate)});
    // With no certificate revoked the list is left out, not written empty (RFC 5280, 5.1.2.6).
    if (!entries.empty()) {
      const Bytes list = Tlv(kSequence, entries);
      tbs.insert(tbs.end(), list.begin(), list.end());
    }
    const Bytes exts = Tlv(kExplicit0, Tlv(kSequence, extensions));
    tbs.insert(tbs.end(), exts.begin(), exts.end());
    const Bytes der = cc::SignStructure(Tlv(kSequence, tbs), a.key);
    return cc::der::ToPem("X509 CRL", der);
  } catch (const std::runtime_error& e) {
    throw Failure(std::string("the CRL cannot be made: ") + e.what());
  }
}

}  // namespace ca
