// vornak2-host: certificate revocation lists. install-crl puts an authority's CRL where the
// vendor library looks for it, SECRET/AUTHORITY-UID/KEY-NUMBER.crl beside the authority's
// certificate; report shows what the CRL there says of the reported certificate, and whether the
// engine honours it (a CRL that does not verify with the authority's key is ignored).
//
// The tool reads a CRL's names, dates and serial numbers itself, with the small DER reader below;
// whether the CRL's signature holds only the vendor library knows, so the engine is asked about
// the certificate (an encryption of one byte for it with the validity check on: -84 means
// revoked).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host_commands.h"
#include "host_ops.h"
#include "platform/diagnostics.h"
#include "support/mimecode.h"

namespace vornak2::host {

namespace {

constexpr std::int32_t kParamVerifyValidity = 11;
constexpr std::int32_t kRevoked = -84;
// Larger CRLs are not read by the vendor library either.
constexpr std::size_t kMaxCrl = 1 << 20;

using ByteSpan = std::span<const std::uint8_t>;

// ---- DER, as far as CRLs and certificates need it ----

struct Element {
  std::uint8_t tag = 0;
  ByteSpan content;
};

// The element at the start of `in`, which moves past it; nullopt when it runs past the end or
// its length is not a definite one of at most four bytes.
std::optional<Element> Next(ByteSpan& in) {
  if (in.size() < 2) return std::nullopt;
  std::size_t length = in[1], header = 2;
  if ((length & 0x80) != 0) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4 || in.size() < 2 + count) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | in[2 + i];
    header += count;
  }
  if (length > in.size() - header) return std::nullopt;
  Element e{in[0], in.subspan(header, length)};
  in = in.subspan(header + length);
  return e;
}

// The elements inside a constructed one; nullopt when they do not fill it exactly.
std::optional<std::vector<Element>> Inside(const Element& e) {
  std::vector<Element> out;
  for (ByteSpan rest = e.content; !rest.empty();) {
    const auto next = Next(rest);
    if (!next) return std::nullopt;
    out.push_back(*next);
  }
  return out;
}

constexpr std::uint8_t kInteger = 0x02, kSequence = 0x30, kSet = 0x31, kUtcTime = 0x17,
                       kGeneralizedTime = 0x18;

std::string Text(ByteSpan bytes) {
  return {bytes.begin(), bytes.end()};
}

// A Name's commonName and serialNumber (the UID and key number of the profile; "0" without one).
bool ReadName(const Element& name, std::string& uid, std::string& number) {
  static constexpr std::uint8_t kCommonName[] = {0x55, 0x04, 0x03};
  static constexpr std::uint8_t kSerialNumber[] = {0x55, 0x04, 0x05};
  const auto rdns = Inside(name);
  if (name.tag != kSequence || !rdns) return false;
  // (Built by appending: GCC 12 for 32-bit Windows takes an assignment here for an overlapping
  // copy.)
  number.clear();
  number.push_back('0');
  for (const Element& rdn : *rdns) {
    const auto atvs = Inside(rdn);
    if (rdn.tag != kSet || !atvs) return false;
    for (const Element& atv : *atvs) {
      const auto parts = Inside(atv);
      if (!parts || parts->size() != 2) return false;
      const ByteSpan oid = (*parts)[0].content;
      if (std::equal(oid.begin(), oid.end(), std::begin(kCommonName), std::end(kCommonName)))
        uid = Text((*parts)[1].content);
      if (std::equal(oid.begin(), oid.end(), std::begin(kSerialNumber), std::end(kSerialNumber)))
        number = Text((*parts)[1].content);
    }
  }
  return !uid.empty();
}

// A UTCTime or GeneralizedTime as "YYYYMMDDHHMMSS" (sortable); empty when it is neither.
std::string ReadTime(const Element& e) {
  const std::string t = Text(e.content);
  if (e.tag == kUtcTime && t.size() == 13) return (t < "50" ? "20" : "19") + t.substr(0, 12);
  if (e.tag == kGeneralizedTime && t.size() == 15) return t.substr(0, 14);
  return {};
}

// "dd.mm.yyyy hh:mm:ss UTC".
std::string ShowTime(const std::string& t) {
  return t.substr(6, 2) + "." + t.substr(4, 2) + "." + t.substr(0, 4) + " " + t.substr(8, 2) + ":" +
         t.substr(10, 2) + ":" + t.substr(12, 2) + " UTC";
}

std::string NowTime() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{floor<seconds>(now - day)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::string Hex(ByteSpan bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const std::uint8_t b : bytes) out.append({kDigits[b >> 4], kDigits[b & 15]});
  return out;
}

// The DER of a file or text: the first PEM block with `label`, or the bytes themselves.
std::optional<std::vector<std::uint8_t>> DerOf(std::string_view file, const std::string& label) {
  const std::string begin = "-----BEGIN " + label + "-----", end = "-----END " + label + "-----";
  const std::size_t from = file.find(begin);
  if (from == std::string_view::npos) {
    if (file.find("-----BEGIN ") != std::string_view::npos) return std::nullopt;
    return std::vector<std::uint8_t>(file.begin(), file.end());
  }
  const std::size_t body = from + begin.size(), to = file.find(end, body);
  if (to == std::string_view::npos) return std::nullopt;
  auto der = TryDecodeBuffer(file.data() + body, static_cast<std::int32_t>(to - body));
  if (der.empty()) return std::nullopt;
  return der;
}

struct CrlFacts {
  std::string uid, number;  // the authority's
  std::string thisUpdate, nextUpdate;
  std::vector<std::pair<std::string, std::string>> revoked;  // serial in hex, date
};

// What a CRL file says, or why it is no CRL.
std::optional<CrlFacts> ReadCrl(std::string_view file, std::string& why) {
  const auto der = DerOf(file, "X509 CRL");
  ByteSpan in = der ? ByteSpan(*der) : ByteSpan();
  const auto list = Next(in);
  const auto parts = list ? Inside(*list) : std::nullopt;
  const auto tbs = parts && parts->size() == 3 ? Inside((*parts)[0]) : std::nullopt;
  if (!der || !in.empty() || !tbs || list->tag != kSequence) {
    why = "it is no CRL (PEM \"X509 CRL\" or DER)";
    return std::nullopt;
  }
  CrlFacts facts;
  std::size_t at = !tbs->empty() && (*tbs)[0].tag == kInteger ? 1 : 0;  // the version
  if (tbs->size() < at + 3 || !ReadName((*tbs)[at + 1], facts.uid, facts.number) ||
      (facts.thisUpdate = ReadTime((*tbs)[at + 2])).empty()) {
    why = "its issuer or date cannot be read";
    return std::nullopt;
  }
  at += 3;
  if (at < tbs->size() && !(facts.nextUpdate = ReadTime((*tbs)[at])).empty()) ++at;
  if (at < tbs->size() && (*tbs)[at].tag == kSequence) {
    const auto entries = Inside((*tbs)[at]);
    if (!entries) {
      why = "its list of revoked certificates is damaged";
      return std::nullopt;
    }
    for (const Element& entry : *entries) {
      const auto fields = Inside(entry);
      if (!fields || fields->size() < 2 || (*fields)[0].tag != kInteger ||
          ReadTime((*fields)[1]).empty()) {
        why = "an entry of its list of revoked certificates is damaged";
        return std::nullopt;
      }
      facts.revoked.emplace_back(Hex((*fields)[0].content), ReadTime((*fields)[1]));
    }
  }
  return facts;
}

// The serial number of the certificate in a report (the PEM block after "PKey="), in hex.
std::string ReportedSerial(const std::string& report) {
  const auto der = DerOf(report, "CERTIFICATE");
  ByteSpan in = der ? ByteSpan(*der) : ByteSpan();
  const auto cert = Next(in);
  const auto parts = cert ? Inside(*cert) : std::nullopt;
  const auto tbs = parts && !parts->empty() ? Inside((*parts)[0]) : std::nullopt;
  if (!der || !tbs || tbs->empty()) return {};
  const std::size_t at = (*tbs)[0].tag == 0xA0 ? 1 : 0;  // [0] version
  return at < tbs->size() && (*tbs)[at].tag == kInteger ? Hex((*tbs)[at].content) : "";
}

// The value of a report line "NAME=value".
std::string ReportField(const std::string& report, const std::string& name) {
  const std::size_t at = report.find(name + "=");
  if (at == std::string::npos) return {};
  const std::size_t from = at + name.size() + 1;
  return report.substr(from, report.find_first_of("\r\n", from) - from);
}

// An authority's UID and key number that name its files inside the secret-key directory: the
// UID stays one plain name there, as the engine requires of an authority's directory, and the
// key number is decimal.
bool PlainNames(const std::string& uid, const std::string& number) {
  if (uid.empty() || uid == "." || uid == ".." || number.empty() || number.size() > 10 ||
      !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  return std::none_of(uid.begin(), uid.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\' || c == ':';
  });
}

// A CRL file of at most kMaxCrl bytes; nullopt when it is missing, unreadable or larger.
std::optional<Bytes> ReadCrlFile(const std::string& path) {
  const platform::FileFacts facts = platform::ExamineFile(path);
  if (facts.kind != platform::FileKind::kRegular || facts.size > kMaxCrl) return std::nullopt;
  auto bytes = Bytes::ReadFile(path);
  if (bytes && bytes->size() > kMaxCrl) return std::nullopt;
  return bytes;
}

std::string SecretDir(const Session& session, const Invocation& call) {
  std::string dir = ExpandRoot(call.setup.root, session.engine().ParamValue(kParamSecretPath));
  if (!dir.empty() && dir.back() != kSep) dir.push_back(kSep);
  return dir;
}

std::string Listed(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " certificate" : " certificates") + " listed";
}

// What `report` adds: the CRL beside the issuer's certificate and what the engine makes of it.
void ShowRevocation(const Session& session, const Invocation& call, const std::string& uid,
                    const std::string& report) {
  const std::string issuer = ReportField(report, "ICN"), number = ReportField(report, "IKN");
  if (!PlainNames(issuer, number)) return;
  const std::string file = SecretDir(session, call) + issuer + kSep + number + ".crl";
  if (platform::ExamineFile(file).kind == platform::FileKind::kMissing) {
    ResultText("revocation: no CRL of %s key %s (%s)\n", issuer.c_str(), number.c_str(),
               file.c_str());
    Result().Add("revocation", "no crl");
    return;
  }
  const auto bytes = ReadCrlFile(file);
  if (!bytes) {
    ResultText("revocation: %s is ignored: it cannot be read, or is larger than %s bytes\n",
               file.c_str(), std::to_string(kMaxCrl).c_str());
    Result().Add("revocation", "crl ignored");
    return;
  }
  std::string why;
  const auto crl = ReadCrl({reinterpret_cast<const char*>(bytes->data()), bytes->size()}, why);
  if (!crl) {
    ResultText("revocation: %s is ignored: %s\n", file.c_str(), why.c_str());
    Result().Add("revocation", "crl ignored");
    return;
  }
  ResultText("revocation: the CRL %s of %s key %s, issued %s, %s\n", file.c_str(), crl->uid.c_str(),
             crl->number.c_str(), ShowTime(crl->thisUpdate).c_str(),
             Listed(crl->revoked.size()).c_str());
  if (crl->uid != issuer || crl->number != number)
    ResultText("  it is not the CRL of %s key %s: the engine ignores it\n", issuer.c_str(),
               number.c_str());
  if (crl->nextUpdate.empty())
    ResultText("  it names no next update\n");
  else if (crl->nextUpdate < NowTime())
    ResultText(
        "  its next update was due %s: what it lists stays revoked; ask the authority "
        "for a new one\n",
        ShowTime(crl->nextUpdate).c_str());
  else
    ResultText("  next update %s\n", ShowTime(crl->nextUpdate).c_str());
  const std::string serial = ReportedSerial(report);
  bool listed = false;
  for (const auto& [revoked, date] : crl->revoked)
    if (revoked == serial) {
      listed = true;
      ResultText("  it lists this certificate (serial %s), revoked %s\n", serial.c_str(),
                 ShowTime(date).c_str());
    }
  if (!listed) ResultText("  it does not list this certificate (serial %s)\n", serial.c_str());

  // The engine's own answer, with the validity check on.
  const Engine& engine = session.engine();
  const std::string validity = engine.ParamValue(kParamVerifyValidity);
  engine.api().SetCryptoParamValue(engine.handle(), kParamVerifyValidity, "Yes");
  Bytes probe(std::string_view("?"));
  const std::int32_t code = Encrypt(engine, probe, uid);
  engine.api().SetCryptoParamValue(engine.handle(), kParamVerifyValidity, validity.c_str());
  Result().Add("revocation", code == kRevoked ? "revoked"
                             : listed         ? "crl not honoured"
                                              : "not revoked");
  if (code == kRevoked)
    ResultText("  the engine refuses the certificate as revoked (%s)\n",
               engine.Describe(code).c_str());
  else if (listed)
    ResultText(
        "  the engine does not honour this CRL: its signature does not verify with the "
        "authority's certificate, or the vendor library reads no CRLs\n");
  else
    ResultText("  the engine does not find it revoked\n");
}

int InstallCrlCommand(const Library& library, const Invocation& call) {
  return WithSession(library, call, [&](const Session& session) {
    const std::string& source = call.args[0];
    const auto bytes = ReadCrlFile(source);
    if (!bytes) {
      std::fprintf(stderr, "vornak2-host: cannot read %s, or it is larger than %zu bytes\n",
                   source.c_str(), kMaxCrl);
      return kExitFailed;
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    std::string why;
    const auto crl = ReadCrl(text, why);
    if (!crl) {
      std::fprintf(stderr, "vornak2-host: %s cannot be installed: %s\n", source.c_str(),
                   why.c_str());
      return kExitFailed;
    }
    const std::string dir = SecretDir(session, call) + crl->uid + kSep;
    const std::string authority = dir + crl->number + ".aut";
    const std::string target = dir + crl->number + ".crl";
    if (!PlainNames(crl->uid, crl->number) || !Bytes::ReadFile(authority)) {
      std::fprintf(stderr,
                   "vornak2-host: the CRL is issued by %s key %s, whose certificate %s the user "
                   "does not hold: install the authority first\n",
                   crl->uid.c_str(), crl->number.c_str(), authority.c_str());
      return kExitFailed;
    }
    // A newer list already there stays: an older one would bring revoked certificates back.
    if (const auto installed = ReadCrlFile(target)) {
      std::string ignored;
      const auto old =
          ReadCrl({reinterpret_cast<const char*>(installed->data()), installed->size()}, ignored);
      if (old && old->thisUpdate > crl->thisUpdate && !call.Flag("--force")) {
        std::fprintf(stderr,
                     "vornak2-host: %s (issued %s) is newer than %s (issued %s); it stays "
                     "(--force replaces it)\n",
                     target.c_str(), ShowTime(old->thisUpdate).c_str(), source.c_str(),
                     ShowTime(crl->thisUpdate).c_str());
        return kExitFailed;
      }
    }
    if (!WriteFile(target, bytes->view(), false)) {
      std::fprintf(stderr, "vornak2-host: cannot write %s\n", target.c_str());
      return kExitFailed;
    }
    std::printf("installed the CRL of %s key %s (issued %s, %s) as %s\n", crl->uid.c_str(),
                crl->number.c_str(), ShowTime(crl->thisUpdate).c_str(),
                Listed(crl->revoked.size()).c_str(), target.c_str());
    return kExitSuccess;
  });
}

}  // namespace

void PrintRevocation(const Session& session, const Invocation& call, const std::string& uid,
                     const std::string& report) {
  if (!uid.empty()) ShowRevocation(session, call, uid, report);
}

std::vector<Command> CrlCommands() {
  return {
      {.name = "install-crl",
       .synopsis = "FILE",
       .summary = "install an authority's certificate revocation list",
       .help = "Checks that FILE is a CRL (PEM or DER) and copies it beside the certificate of\n"
               "the authority key that issued it, SECRET/UID/N.crl, where the vendor library\n"
               "reads it: with the validity check on (parameter 11), a certificate it lists\n"
               "neither verifies nor receives encrypted data. The user must hold the\n"
               "authority's certificate SECRET/UID/N.aut; a CRL older than the one installed\n"
               "is refused unless --force is given. report UID shows what the CRL says of\n"
               "UID's certificate and whether the engine honours it.\n",
       .flags = {"--force"},
       .minArgs = 1,
       .maxArgs = 1,
       .run = InstallCrlCommand},
  };
}

}  // namespace vornak2::host
