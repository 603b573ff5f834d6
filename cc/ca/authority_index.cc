#include "authority_index.h"

#include <algorithm>

#include "errors.h"
#include "files.h"
#include "gost.h"
#include "paths.h"
#include "util.h"

namespace ca {

namespace {

constexpr std::string_view kHeader6 = "# serial\tUID\tkey number\tnot before\tnot after\tissued";
constexpr std::string_view kHeader8 =
    "# serial\tUID\tkey number\tnot before\tnot after\tissued\tkey digest\tholder";
constexpr std::string_view kHeader =
    "# serial\tUID\tkey number\tnot before\tnot after\tissued\tkey digest\tholder\t"
    "issuer key number";
constexpr std::string_view kClosing = "# end: ";
constexpr std::string_view kRevoked = "revoked", kCrl = "crl";
constexpr std::size_t kMaxIndex = 64u << 20;

constexpr std::string_view kRepair =
    "; nothing is issued, revoked or listed until the operator repairs it (see REPAIRING THE "
    "INDEX in vornak2-ca(1))";

bool IsHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  });
}

bool IsSerial(std::string_view text) {
  return !text.empty() && text.size() <= 64 && text.size() % 2 == 0 && IsHex(text);
}

std::string Upper(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return fields;
}

std::optional<std::int64_t> ParseCount(std::string_view text) {
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  std::int64_t n = 0;
  for (char c : text) n = n * 10 + (c - '0');
  return n;
}

}  // namespace

std::string AuthorityIndex::PathIn(const std::string& home) {
  return cc::AddPathSeparator(home) + "index.txt";
}

std::string AuthorityIndex::Fresh() {
  return std::string(kHeader) + "\n" + std::string(kClosing) + "0 lines\n";
}

AuthorityIndex::AuthorityIndex(const std::string& home) : path_(PathIn(home)) {
  const auto damaged = [&](const std::string& what) {
    return Failure("the authority's index " + path_ + " " + what + std::string(kRepair));
  };
  if (!cc::PathExists(path_)) throw damaged("is missing");
  const auto text = cc::ReadSmallFile(path_, kMaxIndex);
  if (!text) throw damaged("cannot be read");
  const std::string_view all = *text;
  if (all.empty()) throw damaged("is empty");
  if (all.back() != '\n') throw damaged("ends inside a line: it was cut short");

  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = all.find('\n', start);
    lines.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  const bool current = lines.front() == kHeader;
  if (!current && lines.front() != kHeader8 && lines.front() != kHeader6)
    throw damaged("is damaged at line 1: no header of an index");
  // The closing line of the current format counts the entries: an index cut short at a line's
  // end lacks it.
  const bool closed = current && lines.size() >= 2 && lines.back().starts_with(kClosing);
  const std::size_t last = closed ? lines.size() - 1 : lines.size();
  for (std::size_t i = 1; i < last; ++i) {
    const std::string_view line = lines[i];
    lines_.emplace_back(line);
    if (line.starts_with("#")) continue;  // a remark of the operator's, kept as it is
    ++entries_;
    const auto fields = Fields(line);
    const auto bad = [&] { return damaged("is damaged at line " + std::to_string(i + 1)); };
    if (fields[0] == kRevoked) {
      if (fields.size() != 4 || !IsSerial(fields[1])) throw bad();
      const auto issuer = cc::ParseKeyNumber(fields[2]);
      const auto when = cc::ParseDate(fields[3]);
      if (!issuer || !when) throw bad();
      revocations_.push_back({Upper(fields[1]), *issuer, *when});
    } else if (fields[0] == kCrl) {
      if (fields.size() != 4) throw bad();
      const auto issuer = cc::ParseKeyNumber(fields[1]);
      const auto number = ParseCount(fields[2]);
      if (!issuer || !number || !cc::ParseDate(fields[3])) throw bad();
      crls_.emplace_back(*issuer, *number);
    } else {
      if (fields.size() != 6 && fields.size() != 8 && fields.size() != 9) throw bad();
      if (!IsSerial(fields[0]) || !cc::IsValidUid(fields[1]) || !cc::ParseKeyNumber(fields[2]) ||
          !cc::ParseDate(fields[3]) || !cc::ParseDate(fields[4]) || !cc::ParseDate(fields[5]))
        throw bad();
      Certificate c{Upper(fields[0]),
                    std::string(fields[1]),
                    *cc::ParseKeyNumber(fields[2]),
                    {},
                    std::nullopt};
      if (fields.size() >= 8) {
        const std::string_view digest = fields[6], holder = fields[7];
        if (digest.size() != 2 * ccgost::kStreebog256Size || !IsHex(digest)) throw bad();
        if (holder != kLocalAct && !cc::IsValidUid(holder)) throw bad();
        c.holder = holder;
      }
      if (fields.size() == 9) {
        c.issuer = cc::ParseKeyNumber(fields[8]);
        if (!c.issuer) throw bad();
      }
      certificates_.push_back(std::move(c));
    }
  }
  if (!current) return;
  const std::string_view closing = lines.back();
  if (!closed || !closing.ends_with(" lines"))
    throw damaged("lacks its closing line \"# end: N lines\": it was cut short");
  const auto count =
      ParseCount(closing.substr(kClosing.size(), closing.size() - kClosing.size() - 6));
  if (!count) throw damaged("is damaged at line " + std::to_string(lines.size()));
  if (static_cast<std::int64_t>(entries_) != *count)
    throw damaged("holds " + std::to_string(entries_) + " lines where its closing line counts " +
                  std::to_string(*count) + ": it was cut short or changed");
}

bool AuthorityIndex::MayIssueTo(const std::string& uid, const std::string& sender) const {
  bool issued = false;
  for (const Certificate& c : certificates_) {
    if (c.uid != uid) continue;
    issued = true;
    if (c.holder == sender && c.holder != kLocalAct) return true;
  }
  return !issued || sender == uid;
}

const AuthorityIndex::Certificate* AuthorityIndex::FindCertificate(std::string_view serial) const {
  const std::string key = Upper(serial);
  for (const Certificate& c : certificates_)
    if (c.serial == key) return &c;
  return nullptr;
}

bool AuthorityIndex::Issued(std::string_view uid, std::int32_t keyNumber) const {
  return std::any_of(certificates_.begin(), certificates_.end(), [&](const Certificate& c) {
    return c.uid == uid && c.keyNumber == keyNumber;
  });
}

const AuthorityIndex::Revocation* AuthorityIndex::FindRevocation(std::string_view serial,
                                                                 std::int32_t issuer) const {
  const std::string key = Upper(serial);
  for (const Revocation& r : revocations_)
    if (r.serial == key && r.issuer == issuer) return &r;
  return nullptr;
}

std::vector<AuthorityIndex::Revocation> AuthorityIndex::RevokedBy(std::int32_t issuer) const {
  std::vector<Revocation> out;
  for (const Revocation& r : revocations_)
    if (r.issuer == issuer) out.push_back(r);
  return out;
}

std::int64_t AuthorityIndex::LastCrlNumber(std::int32_t issuer) const {
  std::int64_t last = 0;
  for (const auto& [key, number] : crls_)
    if (key == issuer) last = std::max(last, number);
  return last;
}

void AuthorityIndex::AddCertificate(const cc::PublicDocument& cert, cc::Minutes issued,
                                    std::string_view holder) {
  const std::string serial = cc::HexEncode(cert.serial);
  std::string line = serial;
  line.append("\t").append(cert.uid);
  line.append("\t").append(std::to_string(cert.keyNumber));
  line.append("\t").append(cc::FormatDate(cert.notBefore));
  line.append("\t").append(cc::FormatDate(cert.notAfter));
  line.append("\t").append(cc::FormatDate(issued));
  line.append("\t").append(
      cc::HexEncode(ccgost::HashOnce(ccgost::HashAlg::Streebog256, cert.publicKey)));
  line.append("\t").append(holder);
  line.append("\t").append(std::to_string(cert.issuerKeyNumber));
  lines_.push_back(std::move(line));
  ++entries_;
  certificates_.push_back(
      {serial, cert.uid, cert.keyNumber, std::string(holder), cert.issuerKeyNumber});
}

void AuthorityIndex::AddRevocation(const std::string& serial, std::int32_t issuer,
                                   cc::Minutes when) {
  lines_.push_back(std::string(kRevoked) + "\t" + Upper(serial) + "\t" + std::to_string(issuer) +
                   "\t" + cc::FormatDate(when));
  ++entries_;
  revocations_.push_back({Upper(serial), issuer, when});
}

void AuthorityIndex::AddCrl(std::int32_t issuer, std::int64_t number, cc::Minutes issued) {
  lines_.push_back(std::string(kCrl) + "\t" + std::to_string(issuer) + "\t" +
                   std::to_string(number) + "\t" + cc::FormatDate(issued));
  ++entries_;
  crls_.emplace_back(issuer, number);
}

std::string AuthorityIndex::Text() const {
  std::string out(kHeader);
  out.push_back('\n');
  for (const std::string& line : lines_) out.append(line).push_back('\n');
  out.append(kClosing).append(std::to_string(entries_)).append(" lines\n");
  return out;
}

}  // namespace ca
