#include "ca.h"

#include <getopt.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "documents.h"
#include "files.h"
#include "gost.h"
#include "operator_host.h"
#include "paths.h"
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
      Every certificate the authority issues (here, in bootstrap and in renew) is entered in
      DIR/index.txt: serial number, UID, key number, validity, time of issue.
  bootstrap --authority DIR --root ROOT --uid UID [--key-number N] [--days N] [--force]
      Creates a user's key set in ROOT: ROOT/sec/N.sec, ROOT/self.crt, the authority certificate
      ROOT/sec/AUTHORITY-UID/AUTHORITY-KEY-NUMBER.aut, an empty store ROOT/crt/ and the
      random-state file ROOT/@rand. Refuses to overwrite a secret key unless --force is given.
  rollover --authority DIR --out DIR [--key-number N] [--days N]
      Makes the authority's next key in the new directory: its secret key (authority.sec), its
      self-signed certificate (authority.aut), and rollover.aut, the certificate of the next key
      issued by the current key of DIR (a CA certificate, so that a user who trusts the current
      key can take the next one). The next key number is the current one + 1 unless given.
  install-cert --cert FILE --root ROOT
      Copies a certificate into ROOT's certificate store, ROOT/crt/, at the path of its UID
      ("H.0" -> ROOT/crt/H/@/0.crt).
  renew --authority DIR --root ROOT --operator NAME --in FILE --out FILE [--days N]
      Answers a remote key renewal. FILE is the transfer that the user's start step wrote: the
      authority's operator (the key set ROOT/NAME, opened through libvornak2.so with ROOT as
      its root) checks the sender's signature on it, then the request it carries is checked
      (its UID is the transfer's, its proof of possession verifies), the authority in DIR
      issues the certificate (the requested validity, or N days), and the answer written to
      --out is the transfer of that certificate, named after the UID's last character + ".crt"
      and signed by the operator. The user must hold the operator's certificate, the operator
      the user's current one.
  help, --help, COMMAND --help
      Shows this text, or the part of it on COMMAND.
  --version
      Shows the version.

Options take their value as "--name value" or "--name=value".
Defaults: --key-number 0, --days 365, --curve tc26-256-A (or cryptopro-A).
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

ccgost::Curve CurveOption(const Options& o) {
  const auto text = o.Optional("--curve");
  if (!text) return ccgost::Curve::Tc26_256_A;
  const auto curve = cc::CurveFromName(*text);
  if (!curve) throw UsageError("unknown curve '" + *text + "': tc26-256-A or cryptopro-A");
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
// serial number (hexadecimal), UID, key number, validity and the time it was issued, separated
// by tabs. A certificate is entered before its files are written; when writing them fails, the
// index is put back as it was, so that a failed command changes nothing.
constexpr std::string_view kIndexHeader =
    "# serial\tUID\tkey number\tnot before\tnot after\tissued\n";
constexpr std::size_t kMaxIndex = 64u << 20;

class IndexEntry {
 public:
  IndexEntry() = default;
  IndexEntry(const IndexEntry&) = delete;
  IndexEntry& operator=(const IndexEntry&) = delete;
  ~IndexEntry() {
    if (path_.empty() || kept_) return;
    if (previous_)
      (void)cc::WriteFileAtomically(path_, *previous_, 0644);
    else {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }
  void Record(const Authority& a, const cc::PublicDocument& cert, cc::Minutes now) {
    const std::string path = cc::AddPathSeparator(a.dir) + "index.txt";
    std::string index;
    if (Exists(path)) {
      auto text = cc::ReadSmallFile(path, kMaxIndex);
      if (!text) throw Failure("cannot read the authority's index " + path);
      index = std::move(*text);
      previous_ = index;
    } else {
      index = kIndexHeader;
      previous_.reset();
    }
    index.append(cc::HexEncode(cert.serial)).push_back('\t');
    index.append(cert.uid).push_back('\t');
    index.append(std::to_string(cert.keyNumber)).push_back('\t');
    index.append(cc::FormatDate(cert.notBefore)).push_back('\t');
    index.append(cc::FormatDate(cert.notAfter)).push_back('\t');
    index.append(cc::FormatDate(now)).push_back('\n');
    WriteFile(path, index, 0644);
    path_ = path;
  }
  // The certificate's files are written: the entry stays.
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  std::optional<std::string> previous_;
  bool kept_ = false;
};

// A certificate for the request, valid from..to clipped to the authority's validity, entered in
// the authority's index.
cc::PublicDocument Issue(const Authority& a, const cc::PublicDocument& request, cc::Minutes from,
                         cc::Minutes to, IndexEntry& entry) {
  const cc::Minutes now = cc::NowMinutes();
  if (now > a.cert.notAfter) throw Failure("the authority certificate has expired");
  from = std::max(from, a.cert.notBefore);
  to = std::min(to, a.cert.notAfter);
  if (from > to) throw Failure("the requested validity lies outside the authority's validity");
  cc::PublicDocument cert = cc::IssueCertificate(request, a.key, a.cert, from, to);
  entry.Record(a, cert, now);
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
  IndexEntry entry;
  const cc::PublicDocument cert = Issue(a, request, from, to, entry);
  WriteFile(outPath, cert.Text(), 0644);
  entry.Keep();
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
      cc::GenerateKeys(uid, kn, a.cert.curve, now, now + days * cc::kMinutesPerDay);
  IndexEntry entry;
  const cc::PublicDocument cert =
      Issue(a, keys.request, keys.secret.notBefore, keys.secret.notAfter, entry);
  WriteSecretKey(secPath, keys.secret);
  WriteFile(root + "self.crt", cert.Text(), 0644);
  WriteFile(cc::AddPathSeparator(autDir) + std::to_string(a.cert.keyNumber) + ".aut", a.cert.Text(),
            0644);
  if (cc::WriteRandomState(root + "@rand") != CC_OK)
    throw Failure("cannot write " + root + "@rand");
  entry.Keep();
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
  IndexEntry entry;
  entry.Record(a, next, now);
  WriteSecretKey(secPath, keys.secret);
  WriteFile(autPath, self.Text(), 0644);
  WriteFile(rolloverPath, next.Text(), 0644);
  entry.Keep();
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

int Renew(const Options& o, std::ostream& out) {
  const Authority a = LoadAuthority(o.Required("--authority"));
  const std::string root = cc::AddPathSeparator(o.Required("--root"));
  const std::string name = o.Required("--operator");
  const auto transfer = cc::ReadSmallFile(o.Required("--in"), 2 * kMaxFile + 4096);
  if (!transfer) throw Failure("cannot read the transfer " + o.Required("--in"));
  const std::string outPath = o.Required("--out");

  const OperatorHost op(root, name);
  const std::string dir = RenewalDir(root + name + cc::kPathSeparator);
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};

  const std::string uid = op.Open(*transfer, dir);
  if (!cc::IsValidUid(uid)) throw Failure("the transfer carries the UID '" + uid + "'");
  const std::string reqPath = dir + uid.back() + ".pub";
  const cc::PublicDocument request = ReadPublic(reqPath, "request");
  if (request.kind != cc::DocKind::Request) throw Failure("the transfer carries no request");
  if (request.uid != uid)
    throw Failure("the request is for " + request.uid + ", the transfer for " + uid);
  if (cc::RequestStatus(request) != CC_E_UNCERTIFIED)
    throw Failure("the request's proof of possession does not verify");
  cc::Minutes from = request.notBefore, to = request.notAfter;
  if (o.Has("--days") || !request.hasValidity) {
    from = cc::NowMinutes();
    to = from + Days(o, 365) * cc::kMinutesPerDay;
  }
  IndexEntry entry;
  const cc::PublicDocument cert = Issue(a, request, from, to, entry);
  const std::string certPath = dir + uid.back() + ".crt";
  WriteFile(certPath, cert.Text(), 0644);
  WriteFile(outPath, op.TransferOf(certPath) + "\n", 0644);
  entry.Keep();
  out << "renewal of " << uid << ": certificate key " << cert.keyNumber << " issued by "
      << a.cert.uid << " key " << a.cert.keyNumber << ", answer signed by " << op.Uid()
      << " written to " << outPath << "\n";
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
          Options(rest, {"--authority", "--root", "--uid", "--key-number", "--days"}, {"--force"}),
          out);
    if (command == "rollover")
      return Rollover(Options(rest, {"--authority", "--out", "--key-number", "--days"}, {}), out);
    if (command == "install-cert") return InstallCert(Options(rest, {"--cert", "--root"}, {}), out);
    if (command == "renew")
      return Renew(
          Options(rest, {"--authority", "--root", "--operator", "--in", "--out", "--days"}, {}),
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
