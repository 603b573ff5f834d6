#include "ca.h"

#include <getopt.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "documents.h"
#include "files.h"
#include "gost.h"
#include "operator_host.h"
#include "paths.h"
#include "platform/platform.h"
#include "util.h"

namespace ca {

namespace {

constexpr std::string_view kHelp = R"(vornak2-ca: test certification authority of the cc library

Usage: vornak2-ca COMMAND [OPTIONS]

Commands:
  create-authority --dir DIR --uid UID [--key-number N] [--days N] [--curve NAME]
      Creates an authority in DIR: DIR/authority.sec (its secret key, owner-only) and
      DIR/authority.aut (its self-signed certificate). Refuses to overwrite an authority.
  keygen --dir DIR --uid UID [--key-number N] [--days N] [--curve NAME]
      Generates a key pair: DIR/N.sec (secret key, owner-only) and DIR/C.pub (the request;
      C is the last character of UID).
  issue --authority DIR --request FILE --out FILE [--days N] [--not-before DATE --not-after DATE]
      Issues the certificate of a request (".pub") signed by the authority in DIR. The validity
      is the requested one, or N days from now, or the two dates, always within the authority's.
      Every certificate the authority issues (here, in bootstrap, rollover and renew) is
      entered in DIR/index.txt: serial number, UID, key number, validity, time of issue, the
      Streebog-256 digest of the certified public key and the holder (the sender of a renewal,
      "-" for the operator's own acts).
  bootstrap --authority DIR --root ROOT --uid UID [--key-number N] [--days N] [--curve NAME]
            [--force]
      Creates a user's key set in ROOT: ROOT/sec/N.sec, ROOT/self.crt, the authority certificate
      ROOT/sec/AUTHORITY-UID/AUTHORITY-KEY-NUMBER.aut, an empty store ROOT/crt/ and the
      random-state file ROOT/@rand. The user's key has the authority's parameter set unless
      --curve names another. Refuses to overwrite a secret key unless --force is given.
  rollover --authority DIR --out DIR [--key-number N] [--days N]
      Makes the authority's next key in the new directory: its secret key (authority.sec), its
      self-signed certificate (authority.aut), rollover.aut, the certificate of the next key
      issued by the current key of DIR (a CA certificate, so that a user who trusts the current
      key can take the next one), and index.txt, a copy of the authority's index with this
      certificate entered. The next key number is the current one + 1 unless given.
  install-cert --cert FILE --root ROOT
      Copies a certificate into ROOT's certificate store, ROOT/crt/, at the path of its UID
      ("H.0" -> ROOT/crt/H/@/0.crt).
  renew --authority DIR --root ROOT --operator NAME --in FILE --out FILE [--days N] [--uid UID]
      Answers a remote key renewal. FILE is the transfer that the user's start step wrote: the
      authority's operator (the key set ROOT/NAME, opened through libvornak2.so with ROOT as
      its root) checks the sender's signature on it; the sender is the UID of the certificate
      in the operator's store whose key signed it. The certificate is issued only for the
      sender's own UID or the sender's UID followed by "0" (what the start step asks for when
      the user names no UID), or, with --uid, for exactly UID and no other. A UID that the
      index shows issued already goes only to its own holder (the sender is that UID) or to the
      sender recorded for it, never to a second key holder, --uid or not. Then the request it
      carries is checked (its UID is the transfer's, its proof of possession verifies), the
      authority in DIR issues the certificate (the requested validity, or N days), and the
      answer written to --out is the transfer of that certificate, named after the UID's last
      character + ".crt" and signed by the operator. The user must hold the operator's
      certificate, the operator the user's current one. A refused renewal exits with 1 and
      writes nothing: no certificate, no line in the index, no answer.
  help, --help, COMMAND --help
      Shows this text, or the part of it on COMMAND.
  --version
      Shows the version.

Options take their value as "--name value" or "--name=value".
Defaults: --key-number 0, --days 365, --curve tc26-256-A. The parameter sets of --curve:
tc26-256-A, tc26-256-B, tc26-256-C, tc26-256-D, cryptopro-A, cryptopro-B, cryptopro-C,
cryptopro-XchA, cryptopro-XchB (256-bit keys, Streebog-256 signatures) and tc26-512-A,
tc26-512-B, tc26-512-C (512-bit keys, Streebog-512 signatures).
Dates are "dd.mm.yyyy hh:mm" in UTC. Exit codes: 0 success, 1 failure, 2 bad command line.
)";

// A command-line mistake: exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A failed operation: exit code 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr std::size_t kMaxFile = CC_MAX_TEXT;

// The options of one command, read with getopt_long: "--name value" and "--name=value" (a
// unique abbreviation of a name is accepted too). Anything else on the line, an option given
// twice or a value missing is a usage error.
class Options {
 public:
  Options(std::span<const std::string_view> args, std::initializer_list<std::string_view> valued,
          std::initializer_list<std::string_view> flags) {
    std::vector<std::string> names;
    for (auto n : valued) names.emplace_back(n.substr(2));
    for (auto n : flags) names.emplace_back(n.substr(2));
    std::vector<option> table;
    for (std::size_t i = 0; i < names.size(); ++i)
      table.push_back({names[i].c_str(), i < valued.size() ? required_argument : no_argument,
                       nullptr, static_cast<int>(i)});
    table.push_back({nullptr, 0, nullptr, 0});
    // getopt_long wants a program name first and writable texts.
    std::vector<std::string> storage{"vornak2-ca"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    static std::mutex getoptState;  // getopt keeps its position in globals
    std::lock_guard lock(getoptState);
    optind = 0;  // start afresh (also after an earlier command in the same process)
    opterr = 0;
    for (;;) {
      int index = -1;
      const int c = getopt_long(argc, argv.data(), "+:", table.data(), &index);
      if (c == -1) break;
      const std::string seen = argv[std::max(1, optind - 1)];
      if (c == ':') throw UsageError("option " + seen.substr(0, seen.find('=')) + " needs a value");
      if (c < 0 || static_cast<std::size_t>(c) >= names.size())
        throw UsageError("unknown option '" + seen + "'");
      const std::string name = "--" + names[static_cast<std::size_t>(c)];
      if (values_.count(name)) throw UsageError("option " + name + " given twice");
      values_[name] = optarg != nullptr ? optarg : "";
    }
    if (optind < argc) throw UsageError("unknown option '" + std::string(argv[optind]) + "'");
  }
  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::string Required(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end() || it->second.empty()) throw UsageError("missing " + name);
    return it->second;
  }
  std::optional<std::string> Optional(const std::string& name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::string, std::string> values_;
};

std::string Uid(const Options& o) {
  const std::string uid = o.Required("--uid");
  if (!cc::IsValidUid(uid))
    throw UsageError("bad UID '" + uid + "': 1 to 31 printable characters, no blank, no / or \\");
  return uid;
}

std::int32_t KeyNumber(const Options& o) {
  const auto text = o.Optional("--key-number");
  if (!text) return 0;
  const auto kn = cc::ParseKeyNumber(*text);
  if (!kn) throw UsageError("bad key number '" + *text + "': 0 to 2147483647");
  return *kn;
}

std::int64_t Days(const Options& o, std::int64_t fallback) {
  const auto text = o.Optional("--days");
  if (!text) return fallback;
  const auto days = cc::ParseKeyNumber(*text);
  if (!days || *days < 1 || *days > 65535)
    throw UsageError("bad --days '" + *text + "': 1 to 65535");
  return *days;
}

ccgost::Curve CurveOption(const Options& o, ccgost::Curve fallback = ccgost::Curve::Tc26_256_A) {
  const auto text = o.Optional("--curve");
  if (!text) return fallback;
  const auto curve = cc::CurveFromName(*text);
  if (!curve) throw UsageError("unknown curve '" + *text + "': one of " + cc::CurveNames());
  return *curve;
}

cc::Minutes DateOption(const Options& o, const std::string& name) {
  const std::string text = o.Required(name);
  const auto t = cc::ParseDate(text);
  if (!t) throw UsageError("bad date for " + name + " '" + text + "': dd.mm.yyyy hh:mm");
  return *t;
}

bool Exists(const std::string& path) {
  return cc::PathExists(path);
}

void MakeDir(const std::string& path, cc::FileMode mode) {
  if (!cc::MakeDirs(path, mode)) throw Failure("cannot create directory " + path);
}

void WriteFile(const std::string& path, std::string_view data, cc::FileMode mode) {
  if (cc::WriteFileAtomically(path, data, mode) != CC_OK) throw Failure("cannot write " + path);
}

cc::PublicDocument ReadPublic(const std::string& path, std::string_view what) {
  const auto text = cc::ReadSmallFile(path, kMaxFile);
  if (!text) throw Failure("cannot read " + std::string(what) + " " + path);
  cc::PublicDocument doc;
  if (cc::ParsePublicDocument(*text, doc) != CC_OK)
    throw Failure(path + " is not a well-formed " + std::string(what));
  return doc;
}

// The authority in a directory: its secret key and its certificate, checked to belong together.
struct Authority {
  std::string dir;
  cc::SecretKey key;
  cc::PublicDocument cert;
};

Authority LoadAuthority(const std::string& dir) {
  Authority a;
  a.dir = dir;
  const std::string secPath = cc::AddPathSeparator(dir) + "authority.sec";
  auto text = cc::ReadSmallFile(secPath, kMaxFile);
  if (!text) throw Failure("cannot read the authority's secret key " + secPath);
  cc::SecretText secret;
  secret.str() = std::move(*text);
  if (cc::ParseSecretKey(secret.str(), a.key) != CC_OK)
    throw Failure("the authority's secret key " + secPath + " is damaged");
  a.cert = ReadPublic(cc::AddPathSeparator(dir) + "authority.aut", "authority certificate");
  if (!a.cert.SelfIssued() || a.cert.publicKey != a.key.publicKey ||
      !cc::VerifyDocument(a.cert, a.cert.curve, a.cert.publicKey))
    throw Failure("the authority certificate in " + dir + " does not match its secret key");
  return a;
}

void WriteSecretKey(const std::string& path, const cc::SecretKey& key) {
  cc::SecretText text;
  key.ToText(text);
  WriteFile(path, text.str(), 0600);
}

// The authority's index of what it issued, DIR/index.txt: one line per certificate, its
// serial number (hexadecimal), UID, key number, validity, the time it was issued, the digest of
// the certified public key (Streebog-256 of its 64 bytes, hexadecimal) and the holder, the UID
// whose signed renewal asked for it ("-" for the operator's own acts: issue, bootstrap,
// rollover), separated by tabs. Indexes written before the last two columns existed are read as
// they are; their lines name no holder.
//
// A command that issues takes the index's lock (DIR/index.lock) before it reads the index and
// keeps it until it is done, so that two commands never decide on the same old index. The new
// line is entered before the certificate's files are written; when writing them fails, the index
// is put back as it was, so that a failed command changes nothing.
constexpr std::string_view kIndexHeader =
    "# serial\tUID\tkey number\tnot before\tnot after\tissued\tkey digest\tholder\n";
constexpr std::string_view kOldIndexHeader =
    "# serial\tUID\tkey number\tnot before\tnot after\tissued\n";
constexpr std::string_view kLocalAct = "-";
constexpr std::size_t kMaxIndex = 64u << 20;

// One line of the index, as far as the checks need it.
struct IndexLine {
  std::string uid;
  std::string holder;  // empty when the line predates the holder column
};

bool IsHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  });
}

// One line of the index; nullopt when it is not one the authority writes.
std::optional<IndexLine> ParseIndexLine(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (fields.size() != 6 && fields.size() != 8) return std::nullopt;
  const std::string_view serial = fields[0];
  if (serial.empty() || serial.size() > 64 || serial.size() % 2 != 0 || !IsHex(serial) ||
      !cc::IsValidUid(fields[1]) || !cc::ParseKeyNumber(fields[2]) || !cc::ParseDate(fields[3]) ||
      !cc::ParseDate(fields[4]) || !cc::ParseDate(fields[5]))
    return std::nullopt;
  IndexLine entry{std::string(fields[1]), {}};
  if (fields.size() == 8) {
    const std::string_view digest = fields[6], holder = fields[7];
    if (digest.size() != 2 * ccgost::kStreebog256Size || !IsHex(digest)) return std::nullopt;
    if (holder != kLocalAct && !cc::IsValidUid(holder)) return std::nullopt;
    entry.holder = holder;
  }
  return entry;
}

// Streebog-256 of a public key, as the index shows it.
std::string KeyDigest(const cc::PublicKey& key) {
  return cc::HexEncode(ccgost::HashOnce(ccgost::HashAlg::Streebog256, key));
}

class Index {
 public:
  // Locks and reads the index of the authority in `dir`. Throws Failure when it is locked for
  // too long, cannot be read, or holds a line the authority does not write.
  explicit Index(const std::string& dir) : path_(cc::AddPathSeparator(dir) + "index.txt") {
    Lock(cc::AddPathSeparator(dir) + "index.lock");
    if (!Exists(path_)) return;
    auto text = cc::ReadSmallFile(path_, kMaxIndex);
    if (!text) throw Failure("cannot read the authority's index " + path_);
    previous_ = std::move(*text);
    const std::string_view all = *previous_;
    std::size_t number = 0;
    for (std::size_t start = 0; start < all.size();) {
      ++number;
      const std::size_t end = all.find('\n', start);
      if (end == std::string_view::npos) throw Damaged(number);  // every line ends
      const std::string_view line = all.substr(start, end - start);
      start = end + 1;
      if (line.empty() || line.front() == '#') continue;
      auto entry = ParseIndexLine(line);
      if (!entry) throw Damaged(number);
      lines_.push_back(std::move(*entry));
    }
  }
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  ~Index() {
    if (!written_ || kept_) return;
    if (previous_)
      (void)cc::WriteFileAtomically(path_, *previous_, 0644);
    else {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }

  // Whether `sender` may have a certificate for `uid`: a UID not yet issued goes to anyone the
  // caller allowed; an issued one only to its own holder (the sender is the UID) or to a sender
  // recorded as having asked for it, never to a second key holder.
  bool MayIssueTo(const std::string& uid, const std::string& sender) const {
    bool issued = false;
    for (const IndexLine& line : lines_) {
      if (line.uid != uid) continue;
      issued = true;
      if (line.holder == sender && line.holder != kLocalAct) return true;
    }
    return !issued || sender == uid;
  }

  // Enters the certificate; the index as written.
  std::string Record(const cc::PublicDocument& cert, cc::Minutes now, std::string_view holder) {
    std::string index;
    if (previous_) {
      index = *previous_;
      // An index of the older format gets the header of the current one; its lines stay.
      if (index.starts_with(kOldIndexHeader))
        index.replace(0, kOldIndexHeader.size(), kIndexHeader);
    } else {
      index = kIndexHeader;
    }
    index.append(cc::HexEncode(cert.serial)).push_back('\t');
    index.append(cert.uid).push_back('\t');
    index.append(std::to_string(cert.keyNumber)).push_back('\t');
    index.append(cc::FormatDate(cert.notBefore)).push_back('\t');
    index.append(cc::FormatDate(cert.notAfter)).push_back('\t');
    index.append(cc::FormatDate(now)).push_back('\t');
    index.append(KeyDigest(cert.publicKey)).push_back('\t');
    index.append(holder).push_back('\n');
    written_ = true;
    WriteFile(path_, index, 0644);
    return index;
  }
  // The certificate's files are written: the entry stays.
  void Keep() { kept_ = true; }

 private:
  Failure Damaged(std::size_t line) const {
    return Failure("the authority's index " + path_ + " is damaged at line " +
                   std::to_string(line));
  }
  void Lock(const std::string& lockPath) {
    using Attempt = vornak2::platform::FileLock::Attempt;
    // Another command of the authority holds it for a moment; wait up to a minute.
    for (int tries = 0; tries < 6000; ++tries) {
      switch (lock_.TryLock(lockPath)) {
        case Attempt::kLocked:
          return;
        case Attempt::kFailed:
          throw Failure("cannot lock the authority's index " + lockPath);
        case Attempt::kBusy:
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          break;
      }
    }
    throw Failure("the authority's index " + lockPath + " stays locked by another command");
  }

  std::string path_;
  vornak2::platform::FileLock lock_;
  std::optional<std::string> previous_;
  std::vector<IndexLine> lines_;
  bool written_ = false;
  bool kept_ = false;
};

// A certificate for the request, valid from..to clipped to the authority's validity, entered in
// the authority's index with its holder.
cc::PublicDocument Issue(const Authority& a, const cc::PublicDocument& request, cc::Minutes from,
                         cc::Minutes to, Index& index, std::string_view holder = kLocalAct) {
  const cc::Minutes now = cc::NowMinutes();
  if (now > a.cert.notAfter) throw Failure("the authority certificate has expired");
  from = std::max(from, a.cert.notBefore);
  to = std::min(to, a.cert.notAfter);
  if (from > to) throw Failure("the requested validity lies outside the authority's validity");
  cc::PublicDocument cert = cc::IssueCertificate(request, a.key, a.cert, from, to);
  index.Record(cert, now, holder);
  return cert;
}

int CreateAuthority(const Options& o, std::ostream& out) {
  const std::string dir = o.Required("--dir");
  const std::string uid = Uid(o);
  const std::int32_t kn = KeyNumber(o);
  const std::int64_t days = Days(o, 3650);
  const ccgost::Curve curve = CurveOption(o);
  const std::string secPath = cc::AddPathSeparator(dir) + "authority.sec";
  const std::string autPath = cc::AddPathSeparator(dir) + "authority.aut";
  if (Exists(secPath) || Exists(autPath)) throw Failure("an authority already exists in " + dir);
  MakeDir(dir, 0700);
  const cc::Minutes now = cc::NowMinutes();
  const cc::NewKeys keys = cc::GenerateKeys(uid, kn, curve, now, now + days * cc::kMinutesPerDay);
  const cc::PublicDocument cert = cc::SelfSignedCertificate(keys.secret);
  WriteSecretKey(secPath, keys.secret);
  WriteFile(autPath, cert.Text(), 0644);
  out << "authority " << uid << " key " << kn << " created in " << dir << "\n";
  return 0;
}

int Keygen(const Options& o, std::ostream& out) {
  const std::string dir = o.Required("--dir");
  const std::string uid = Uid(o);
  const std::int32_t kn = KeyNumber(o);
  const std::int64_t days = Days(o, 365);
  const ccgost::Curve curve = CurveOption(o);
  MakeDir(dir, 0700);
  const cc::Minutes now = cc::NowMinutes();
  const cc::NewKeys keys = cc::GenerateKeys(uid, kn, curve, now, now + days * cc::kMinutesPerDay);
  const std::string secPath = cc::SecretKeyPath(dir, kn);
  const std::string reqPath = cc::AddPathSeparator(dir) + uid.back() + ".pub";
  WriteSecretKey(secPath, keys.secret);
  WriteFile(reqPath, keys.request.Text(), 0644);
  out << "secret key " << secPath << ", request " << reqPath << "\n";
  return 0;
}

int IssueCommand(const Options& o, std::ostream& out) {
  const Authority a = LoadAuthority(o.Required("--authority"));
  const std::string reqPath = o.Required("--request");
  const std::string outPath = o.Required("--out");
  const cc::PublicDocument request = ReadPublic(reqPath, "request");
  if (request.kind != cc::DocKind::Request) throw Failure(reqPath + " is not a request");
  if (cc::RequestStatus(request) != CC_E_UNCERTIFIED)
    throw Failure("the request's signature does not verify: " + reqPath);
  cc::Minutes from = request.notBefore, to = request.notAfter;
  if (!request.hasValidity) {  // a request of another tool: a year from now unless told
    from = cc::NowMinutes();
    to = from + 365 * cc::kMinutesPerDay;
  }
  if (o.Has("--not-before") || o.Has("--not-after")) {
    from = DateOption(o, "--not-before");
    to = DateOption(o, "--not-after");
    if (from > to) throw UsageError("--not-before lies after --not-after");
  } else if (o.Has("--days")) {
    from = cc::NowMinutes();
    to = from + Days(o, 365) * cc::kMinutesPerDay;
  }
  Index index(a.dir);
  const cc::PublicDocument cert = Issue(a, request, from, to, index);
  WriteFile(outPath, cert.Text(), 0644);
  index.Keep();
  out << "certificate of " << cert.uid << " key " << cert.keyNumber << " written to " << outPath
      << "\n";
  return 0;
}

int Bootstrap(const Options& o, std::ostream& out) {
  const Authority a = LoadAuthority(o.Required("--authority"));
  const std::string root = cc::AddPathSeparator(o.Required("--root"));
  const std::string uid = Uid(o);
  const std::int32_t kn = KeyNumber(o);
  const std::int64_t days = Days(o, 365);
  const std::string secDir = root + "sec";
  const std::string secPath = cc::SecretKeyPath(secDir, kn);
  if (Exists(secPath) && !o.Has("--force"))
    throw Failure(secPath + " exists already (use --force to replace it)");
  MakeDir(root, 0700);
  MakeDir(secDir, 0700);
  MakeDir(root + "crt", 0755);
  const std::string autDir = cc::AddPathSeparator(secDir) + a.cert.uid;
  MakeDir(autDir, 0700);

  const cc::Minutes now = cc::NowMinutes();
  const cc::NewKeys keys =
      cc::GenerateKeys(uid, kn, CurveOption(o, a.cert.curve), now, now + days * cc::kMinutesPerDay);
  Index index(a.dir);
  const cc::PublicDocument cert =
      Issue(a, keys.request, keys.secret.notBefore, keys.secret.notAfter, index);
  WriteSecretKey(secPath, keys.secret);
  WriteFile(root + "self.crt", cert.Text(), 0644);
  WriteFile(cc::AddPathSeparator(autDir) + std::to_string(a.cert.keyNumber) + ".aut", a.cert.Text(),
            0644);
  if (cc::WriteRandomState(root + "@rand") != CC_OK)
    throw Failure("cannot write " + root + "@rand");
  index.Keep();
  out << "user " << uid << " key " << kn << " set up in " << root << "\n";
  return 0;
}

int Rollover(const Options& o, std::ostream& out) {
  const Authority a = LoadAuthority(o.Required("--authority"));
  const std::string dir = o.Required("--out");
  std::int32_t kn = a.cert.keyNumber + 1;
  if (o.Has("--key-number")) kn = KeyNumber(o);
  else if (a.cert.keyNumber == INT32_MAX) throw Failure("the authority's key number is the last");
  if (kn == a.cert.keyNumber) throw UsageError("the next key needs another key number");
  const std::int64_t days = Days(o, 3650);
  const std::string secPath = cc::AddPathSeparator(dir) + "authority.sec";
  const std::string autPath = cc::AddPathSeparator(dir) + "authority.aut";
  const std::string rolloverPath = cc::AddPathSeparator(dir) + "rollover.aut";
  if (Exists(secPath) || Exists(autPath)) throw Failure("an authority already exists in " + dir);
  const cc::Minutes now = cc::NowMinutes();
  if (now > a.cert.notAfter) throw Failure("the authority certificate has expired");
  MakeDir(dir, 0700);
  const cc::NewKeys keys =
      cc::GenerateKeys(a.cert.uid, kn, a.cert.curve, now, now + days * cc::kMinutesPerDay);
  const cc::PublicDocument self = cc::SelfSignedCertificate(keys.secret);
  // The next key's certificate under the current key: a CA certificate like the self-signed one.
  cc::PublicDocument next = self;
  next.serial.clear();
  next.issuer = a.cert.uid;
  next.issuerKeyNumber = a.cert.keyNumber;
  next.issuerName = a.cert.subjectName;
  next.authorityKeyId = a.cert.keyId;
  cc::SignDocument(next, a.key);
  Index index(a.dir);
  // The next key starts with what the authority issued so far, so that its renewals too never
  // give a UID to a second key holder.
  WriteFile(cc::AddPathSeparator(dir) + "index.txt", index.Record(next, now, kLocalAct), 0644);
  WriteSecretKey(secPath, keys.secret);
  WriteFile(autPath, self.Text(), 0644);
  WriteFile(rolloverPath, next.Text(), 0644);
  index.Keep();
  out << "authority " << a.cert.uid << " key " << kn << " created in " << dir
      << ", certified by key " << a.cert.keyNumber << " in " << rolloverPath << "\n";
  return 0;
}

int InstallCert(const Options& o, std::ostream& out) {
  const std::string certPath = o.Required("--cert");
  const std::string root = cc::AddPathSeparator(o.Required("--root"));
  const cc::PublicDocument cert = ReadPublic(certPath, "certificate");
  if (cert.kind != cc::DocKind::Certificate) throw Failure(certPath + " is not a certificate");
  const std::string target = cc::CertPathByUid(cert.uid, cc::AddPathSeparator(root + "crt"));
  if (target.empty())
    throw Failure("UID '" + cert.uid + "' has no place in a certificate store (it needs a '.')");
  MakeDir(target.substr(0, target.rfind(cc::kPathSeparator)), 0755);
  WriteFile(target, cert.Text(), 0644);
  out << "certificate of " << cert.uid << " installed as " << target << "\n";
  return 0;
}

// A fresh directory for one renewal's files, inside the operator's key set.
std::string RenewalDir(const std::string& operatorDir) {
  const std::string dir = cc::MakeUniqueDir(operatorDir + "renewal-", 0700);
  if (dir.empty()) throw Failure("cannot create a directory in " + operatorDir);
  return dir + cc::kPathSeparator;
}

// Which UID a renewal may be for. The sender is who signed the transfer, as the operator's
// engine verified it; the transfer's own UID field is only what the sender asks for. Without
// the operator's word that is the sender's own UID, or the UID the start step derives when the
// user names none (the sender's UID followed by "0"); with --uid exactly the UID the operator
// named. Throws Failure for anything else.
void CheckRequestedUid(const std::string& uid, const std::string& sender,
                       const std::optional<std::string>& allowed) {
  if (allowed) {
    if (uid != *allowed)
      throw Failure("refused: " + sender + " asks for the UID '" + uid +
                    "', the operator allowed " + *allowed + " only");
    return;
  }
  const std::string derived = sender + "0";
  if (uid != sender && uid != derived)
    throw Failure("refused: " + sender + " asks for the UID '" + uid +
                  "', which is neither its own nor " + derived +
                  " (the operator may allow another one with --uid)");
}

int Renew(const Options& o, std::ostream& out) {
  const Authority a = LoadAuthority(o.Required("--authority"));
  const std::string root = cc::AddPathSeparator(o.Required("--root"));
  const std::string name = o.Required("--operator");
  std::optional<std::string> allowed;
  if (o.Has("--uid")) allowed = Uid(o);
  const auto transfer = cc::ReadSmallFile(o.Required("--in"), 2 * kMaxFile + 4096);
  if (!transfer) throw Failure("cannot read the transfer " + o.Required("--in"));
  const std::string outPath = o.Required("--out");

  const OperatorHost op(root, name);
  const OperatorHost::Received received = op.Open(*transfer);
  const std::string& uid = received.uid;
  const std::string& sender = received.signer;
  if (!cc::IsValidUid(uid)) throw Failure("the transfer carries the UID '" + uid + "'");
  CheckRequestedUid(uid, sender, allowed);

  cc::PublicDocument request;
  if (cc::ParsePublicDocument(received.data, request) != CC_OK ||
      request.kind != cc::DocKind::Request)
    throw Failure("the transfer carries no request");
  if (request.uid != uid)
    throw Failure("the request is for " + request.uid + ", the transfer for " + uid);
  if (cc::RequestStatus(request) != CC_E_UNCERTIFIED)
    throw Failure("the request's proof of possession does not verify");
  cc::Minutes from = request.notBefore, to = request.notAfter;
  if (o.Has("--days") || !request.hasValidity) {
    from = cc::NowMinutes();
    to = from + Days(o, 365) * cc::kMinutesPerDay;
  }

  Index index(a.dir);
  if (!index.MayIssueTo(uid, sender))
    throw Failure("refused: the UID " + uid + " was issued to another key holder, not to " +
                  sender);
  const std::string dir = RenewalDir(root + name + cc::kPathSeparator);
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};
  const cc::PublicDocument cert = Issue(a, request, from, to, index, sender);
  const std::string certPath = dir + uid.back() + ".crt";
  WriteFile(certPath, cert.Text(), 0644);
  WriteFile(outPath, op.TransferOf(certPath) + "\n", 0644);
  index.Keep();
  out << "renewal of " << uid << " for " << sender << ": certificate key " << cert.keyNumber
      << " issued by " << a.cert.uid << " key " << a.cert.keyNumber << ", answer signed by "
      << op.Uid() << " written to " << outPath << "\n";
  return 0;
}

// The part of the help on one command: the lines before the list of commands, then the
// command's own lines (its synopsis, indented by two blanks, and its description below it).
std::string CommandHelp(std::string_view command) {
  std::string head, part;
  bool inList = false, inCommand = false;
  for (std::size_t start = 0; start < kHelp.size();) {
    const std::size_t end = std::min(kHelp.find('\n', start), kHelp.size()) + 1;
    const std::string_view line = kHelp.substr(start, end - start);
    start = end;
    if (!inList) {
      head += line;
      inList = line.starts_with("Commands:");
      continue;
    }
    if (line.starts_with("  ") && !line.starts_with("   "))
      inCommand = line.substr(2).starts_with(std::string(command) + " ");
    if (inCommand) part += line;
  }
  return part.empty() ? std::string(kHelp) : head + part;
}

}  // namespace

int Run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kHelp;
    return 2;
  }
  const std::string_view command = args[0];
  const auto rest = args.subspan(1);
  try {
    ccgost::Init();
    if (command == "help" || command == "--help" || command == "-h") {
      out << (rest.empty() ? std::string(kHelp) : CommandHelp(rest[0]));
      return 0;
    }
    if (command == "--version" || command == "version") {
      out << "vornak2-ca " << VORNAK2_VERSION << "\n";
      return 0;
    }
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
      out << CommandHelp(command);
      return 0;
    }
    if (command == "create-authority")
      return CreateAuthority(
          Options(rest, {"--dir", "--uid", "--key-number", "--days", "--curve"}, {}), out);
    if (command == "keygen")
      return Keygen(Options(rest, {"--dir", "--uid", "--key-number", "--days", "--curve"}, {}),
                    out);
    if (command == "issue")
      return IssueCommand(
          Options(rest,
                  {"--authority", "--request", "--out", "--days", "--not-before", "--not-after"},
                  {}),
          out);
    if (command == "bootstrap")
      return Bootstrap(
          Options(rest, {"--authority", "--root", "--uid", "--key-number", "--days", "--curve"},
                  {"--force"}),
          out);
    if (command == "rollover")
      return Rollover(Options(rest, {"--authority", "--out", "--key-number", "--days"}, {}), out);
    if (command == "install-cert") return InstallCert(Options(rest, {"--cert", "--root"}, {}), out);
    if (command == "renew")
      return Renew(
          Options(rest, {"--authority", "--root", "--operator", "--in", "--out", "--days", "--uid"},
                  {}),
          out);
    throw UsageError("unknown command '" + std::string(command) + "'");
  } catch (const UsageError& e) {
    err << "vornak2-ca: " << e.what() << "\n(see vornak2-ca --help)\n";
    return 2;
  } catch (const std::exception& e) {
    err << "vornak2-ca: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace ca
