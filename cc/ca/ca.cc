#include "ca.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "authority.h"
#include "authority_index.h"
#include "crl.h"
#include "documents.h"
#include "errors.h"
#include "files.h"
#include "gost.h"
#include "journal.h"
#include "operator_host.h"
#include "os.h"
#include "paths.h"
#include "util.h"

namespace ca {

namespace {

constexpr std::string_view kHelp = R"(vornak2-ca: test certification authority of the cc library

Usage: vornak2-ca COMMAND [OPTIONS]

Commands:
  create-authority --dir DIR --uid UID [--key-number N] [--days N] [--curve NAME]
      Creates an authority in DIR: DIR/authority.sec (its secret key, owner-only),
      DIR/authority.aut (its self-signed certificate, a CA certificate for certificate and CRL
      signing) and DIR/index.txt, the authority's index, empty. Refuses to overwrite an authority.
  keygen --dir DIR --uid UID [--key-number N] [--days N] [--curve NAME]
      Generates a key pair: DIR/N.sec (secret key, owner-only) and DIR/C.pub (the request;
      C is the last character of UID).
  issue --authority DIR --request FILE --out FILE [--days N] [--not-before DATE --not-after DATE]
      Issues the certificate of a request (".pub") signed by the authority key in DIR. The
      validity is the requested one, or N days from now, or the two dates, always within the
      authority's. Every certificate the authority issues (here, in bootstrap, rollover and
      renew) is entered in its index, one for all its keys (index.txt in the directory of its
      first key): serial number, UID, key number, validity, time of issue, the Streebog-256
      digest of the certified public key, the holder (the sender of a renewal, "-" for the
      operator's own acts) and the issuing key's number. An index that is missing, empty, cut
      short or damaged stops every command that issues, revokes or lists until it is repaired.
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
      key can take the next one; valid no longer than the current key), and index.ref, which
      names the directory of the authority's index: the next key shares it. The next key number
      is the current one + 1 unless given; one the authority has already is refused.
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
      index shows issued already, by any key of the authority, goes only to its own holder (the
      sender is that UID) or to the sender recorded for it, never to a second key holder,
      --uid or not. Then the request it carries is checked (its UID is the transfer's, its
      proof of possession verifies), the authority key in DIR issues the certificate (the
      requested validity, or N days), and the answer written to --out is the transfer of that
      certificate, named after the UID's last character + ".crt" and signed by the operator.
      The user must hold the operator's certificate, the operator the user's current one. A
      refused renewal exits with 1 and writes nothing: no certificate, no line in the index,
      no answer.
  revoke --authority DIR (--cert FILE | --serial HEX) [--days N]
      Revokes a certificate that the authority key in DIR issued (given as the certificate's
      file, or as its serial number when the index shows which key issued it): the revocation
      is entered in the index, and DIR/N.crl (N: the key number) is written anew.
  crl --authority DIR [--days N]
      Writes DIR/N.crl: the CRL of the authority key in DIR (N: its key number), an X.509 v2
      CRL signed by that key that lists every certificate the key issued and the index shows
      revoked, with a CRL number one above the key's last, valid from now for the days
      --days gives (default 30). Write it again before its next update.
  help, --help, COMMAND --help
      Shows this text, or the part of it on COMMAND.
  --version
      Shows the version.

Options take their value as "--name value" or "--name=value".
Defaults: --key-number 0, --days 365, --curve tc26-256-A. The parameter sets of --curve:
tc26-256-A, tc26-256-B, tc26-256-C, tc26-256-D, cryptopro-A, cryptopro-B, cryptopro-C,
cryptopro-XchA, cryptopro-XchB (256-bit keys, Streebog-256 signatures) and tc26-512-A,
tc26-512-B, tc26-512-C (512-bit keys, Streebog-512 signatures).
Dates are "dd.mm.yyyy hh:mm" in UTC. Exit codes: 0 success, 1 failure or refusal, 2 bad command
line. Every command writes its files as one change: a command that stops (a crash, a kill, a
power cut) leaves either all of them or none, and the next command in the same directory (its
retry, or any other) finishes or undoes what it left.
)";

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

void MakeDirs(const std::string& path, cc::FileMode mode) {
  if (!cc::MakeDirs(path, mode)) throw Failure("cannot create directory " + path);
}

std::string In(const std::string& dir, std::string_view name) {
  return cc::AddPathSeparator(dir) + std::string(name);
}

// What every command that writes gets: where it reports, and the identity of its command line
// (the working directory and every argument), by which its retry recognises a change it left.
struct Invocation {
  std::ostream& out;
  std::ostream& err;
  std::string id;
};

// The lock of the directory a command changes, held for the whole command: another command of
// the authority holds it for a moment, so a minute's wait is enough. Then the changes that a
// stopped command left there are finished or rolled back; when the stopped one was this very
// command line and its change was finished, its report, else nothing.
class Session {
 public:
  Session(const std::string& dir, const Invocation& inv) {
    using Attempt = DirLock::Attempt;
    for (int tries = 0;; ++tries) {
      const Attempt attempt = lock_.TryLock(dir);
      if (attempt == Attempt::kLocked) break;
      if (attempt == Attempt::kFailed)
        throw Failure("cannot lock the directory " + dir + " (is it there?)");
      if (tries == 6000) throw Failure("the directory " + dir + " stays locked by another command");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finished_ = Recover(dir, inv.id);
  }
  // True when the command is done: it was this command line's retry, and the change it left is
  // finished now (its report is printed again).
  bool Finished(const Invocation& inv) const {
    if (!finished_) return false;
    inv.out << *finished_
            << "\n(finished the change that an interrupted run of this command "
               "left)\n";
    return true;
  }

 private:
  DirLock lock_;
  std::optional<std::string> finished_;
};

// Commits a change; a step that failed after the commit is finished by the next command.
void CommitChange(Change& change, const Invocation& inv, const std::string& report) {
  if (!change.Commit())
    inv.err << "vornak2-ca: note: the change is recorded but a last step failed; the next command "
               "of the authority finishes it\n";
  inv.out << report << "\n";
}

cc::PublicDocument ReadRequest(const std::string& path) {
  const cc::PublicDocument request = ReadPublic(path, "request");
  if (request.kind != cc::DocKind::Request) throw Failure(path + " is not a request");
  if (cc::RequestStatus(request) != CC_E_UNCERTIFIED)
    throw Failure("the request's signature does not verify: " + path);
  return request;
}

// The secret key's text (wiped when it goes).
struct SecretKeyText {
  cc::SecretText text;
  explicit SecretKeyText(const cc::SecretKey& key) { key.ToText(text); }
};

// A certificate for the request, valid from..to clipped to the authority's validity.
cc::PublicDocument Issue(const Authority& a, const cc::PublicDocument& request, cc::Minutes from,
                         cc::Minutes to) {
  const cc::Minutes now = cc::NowMinutes();
  if (now > a.cert.notAfter) throw Failure("the authority certificate has expired");
  from = std::max(from, a.cert.notBefore);
  to = std::min(to, a.cert.notAfter);
  if (from > to) throw Failure("the requested validity lies outside the authority's validity");
  return cc::IssueCertificate(request, a.key, a.cert, from, to);
}

// An authority key and its index, for a command that issues, revokes or lists: the lock of the
// authority's index directory, the changes left there dealt with, then the key and the index
// read.
struct AuthoritySession {
  std::string home;
  Session session;
  AuthoritySession(const std::string& keyDir, const Invocation& inv)
      : home(HomeOf(keyDir)), session(home, inv) {}

 private:
  static std::string HomeOf(const std::string& keyDir) {
    if (!Exists(In(keyDir, kCertificateFile)))
      throw Failure("there is no authority key in " + keyDir + " (no " + kCertificateFile + ")");
    return IndexHome(keyDir);
  }
};

int CreateAuthority(const Options& o, const Invocation& inv) {
  const std::string dir = o.Required("--dir");
  const std::string uid = Uid(o);
  const std::int32_t kn = KeyNumber(o);
  const std::int64_t days = Days(o, 3650);
  const ccgost::Curve curve = CurveOption(o);
  MakeDirs(dir, 0700);
  Session session(dir, inv);
  if (session.Finished(inv)) return 0;
  for (const char* name :
       {kSecretFile, kCertificateFile, kIndexRefFile, kRolloverFile, "index.txt"})
    if (Exists(In(dir, name))) throw Failure("an authority already exists in " + dir);
  const cc::Minutes now = cc::NowMinutes();
  const cc::NewKeys keys = cc::GenerateKeys(uid, kn, curve, now, now + days * cc::kMinutesPerDay);
  const cc::PublicDocument cert = cc::SelfSignedCertificate(keys.secret);
  const SecretKeyText secret(keys.secret);
  const std::string secPath = In(dir, kSecretFile), autPath = In(dir, kCertificateFile),
                    indexPath = AuthorityIndex::PathIn(dir);
  Change change(dir, inv.id);
  change.WriteFile(secPath, 0600);
  change.WriteFile(autPath, 0644);
  change.WriteFile(indexPath, 0644);
  const std::string report =
      "authority " + uid + " key " + std::to_string(kn) + " created in " + dir;
  change.Begin(report);
  change.Put(secPath, secret.text.str());
  change.Put(autPath, cert.Text());
  change.Put(indexPath, AuthorityIndex::Fresh());
  CommitChange(change, inv, report);
  return 0;
}

int Keygen(const Options& o, const Invocation& inv) {
  const std::string dir = o.Required("--dir");
  const std::string uid = Uid(o);
  const std::int32_t kn = KeyNumber(o);
  const std::int64_t days = Days(o, 365);
  const ccgost::Curve curve = CurveOption(o);
  MakeDirs(dir, 0700);
  Session session(dir, inv);
  if (session.Finished(inv)) return 0;
  const cc::Minutes now = cc::NowMinutes();
  const cc::NewKeys keys = cc::GenerateKeys(uid, kn, curve, now, now + days * cc::kMinutesPerDay);
  const SecretKeyText secret(keys.secret);
  const std::string secPath = cc::SecretKeyPath(dir, kn);
  const std::string reqPath = In(dir, std::string(1, uid.back()) + ".pub");
  Change change(dir, inv.id);
  change.WriteFile(secPath, 0600);
  change.WriteFile(reqPath, 0644);
  const std::string report = "secret key " + secPath + ", request " + reqPath;
  change.Begin(report);
  change.Put(secPath, secret.text.str());
  change.Put(reqPath, keys.request.Text());
  CommitChange(change, inv, report);
  return 0;
}

int IssueCommand(const Options& o, const Invocation& inv) {
  const std::string keyDir = o.Required("--authority");
  const std::string reqPath = o.Required("--request");
  const std::string outPath = o.Required("--out");
  const cc::PublicDocument request = ReadRequest(reqPath);
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
  AuthoritySession session(keyDir, inv);
  if (session.session.Finished(inv)) return 0;
  const Authority a = LoadAuthority(keyDir, session.home);
  AuthorityIndex index(session.home);
  const cc::PublicDocument cert = Issue(a, request, from, to);
  index.AddCertificate(cert, cc::NowMinutes(), kLocalAct);
  Change change(session.home, inv.id);
  change.WriteFile(outPath, 0644);
  change.WriteFile(index.path(), 0644);
  const std::string report = "certificate of " + cert.uid + " key " +
                             std::to_string(cert.keyNumber) + " written to " + outPath;
  change.Begin(report);
  change.Put(outPath, cert.Text());
  change.Put(index.path(), index.Text());
  CommitChange(change, inv, report);
  return 0;
}

int Bootstrap(const Options& o, const Invocation& inv) {
  const std::string keyDir = o.Required("--authority");
  const std::string root = cc::AddPathSeparator(o.Required("--root"));
  const std::string uid = Uid(o);
  const std::int32_t kn = KeyNumber(o);
  const std::int64_t days = Days(o, 365);
  AuthoritySession session(keyDir, inv);
  if (session.session.Finished(inv)) return 0;
  const Authority a = LoadAuthority(keyDir, session.home);
  AuthorityIndex index(session.home);
  const std::string secDir = root + "sec";
  const std::string secPath = cc::SecretKeyPath(secDir, kn);
  if (Exists(secPath) && !o.Has("--force"))
    throw Failure(secPath + " exists already (use --force to replace it)");
  const std::string autDir = In(secDir, a.cert.uid);
  const std::string autPath = In(autDir, std::to_string(a.cert.keyNumber) + ".aut");

  const cc::Minutes now = cc::NowMinutes();
  const cc::NewKeys keys =
      cc::GenerateKeys(uid, kn, CurveOption(o, a.cert.curve), now, now + days * cc::kMinutesPerDay);
  const SecretKeyText secret(keys.secret);
  const cc::PublicDocument cert =
      Issue(a, keys.request, keys.secret.notBefore, keys.secret.notAfter);
  index.AddCertificate(cert, now, kLocalAct);
  cc::SecretText random;
  cc::RandomStateText(random);

  Change change(session.home, inv.id);
  change.CreateDirectories(root, 0700);
  change.CreateDirectories(secDir, 0700);
  change.CreateDirectories(root + "crt", 0755);
  change.CreateDirectories(autDir, 0700);
  change.WriteFile(secPath, 0600);
  change.WriteFile(root + "self.crt", 0644);
  change.WriteFile(autPath, 0644);
  change.WriteFile(root + "@rand", 0600);
  change.WriteFile(index.path(), 0644);
  const std::string report = "user " + uid + " key " + std::to_string(kn) + " set up in " + root;
  change.Begin(report);
  change.Put(secPath, secret.text.str());
  change.Put(root + "self.crt", cert.Text());
  change.Put(autPath, a.cert.Text());
  change.Put(root + "@rand", random.str());
  change.Put(index.path(), index.Text());
  CommitChange(change, inv, report);
  return 0;
}

int Rollover(const Options& o, const Invocation& inv) {
  const std::string keyDir = o.Required("--authority");
  const std::string dir = o.Required("--out");
  const std::int64_t days = Days(o, 3650);
  std::optional<std::int32_t> given;
  if (o.Has("--key-number")) given = KeyNumber(o);
  AuthoritySession session(keyDir, inv);
  if (session.session.Finished(inv)) return 0;
  const Authority a = LoadAuthority(keyDir, session.home);
  std::int32_t kn = a.cert.keyNumber + 1;
  if (given)
    kn = *given;
  else if (a.cert.keyNumber == INT32_MAX)
    throw Failure("the authority's key number is the last");
  if (kn == a.cert.keyNumber) throw UsageError("the next key needs another key number");
  for (const char* name :
       {kSecretFile, kCertificateFile, kIndexRefFile, kRolloverFile, "index.txt"})
    if (Exists(In(dir, name))) throw Failure("an authority already exists in " + dir);
  AuthorityIndex index(session.home);
  // Two keys of one number would be one name for two keys: users who trust one could not check
  // what the other certifies. The authority's first key and every roll-over are known.
  const cc::PublicDocument first =
      ReadPublic(In(session.home, kCertificateFile), "authority certificate");
  if (kn == first.keyNumber || index.Issued(a.cert.uid, kn))
    throw Failure("refused: the authority " + a.cert.uid + " has a key " + std::to_string(kn) +
                  " already; give the next key another --key-number");
  const cc::Minutes now = cc::NowMinutes();
  if (now > a.cert.notAfter) throw Failure("the authority certificate has expired");
  const cc::NewKeys keys =
      cc::GenerateKeys(a.cert.uid, kn, a.cert.curve, now, now + days * cc::kMinutesPerDay);
  const SecretKeyText secret(keys.secret);
  const cc::PublicDocument self = cc::SelfSignedCertificate(keys.secret);
  // The next key's certificate under the current key: a CA certificate like the self-signed one,
  // valid no longer than the key that certifies it.
  cc::PublicDocument next = self;
  next.serial.clear();
  next.issuer = a.cert.uid;
  next.issuerKeyNumber = a.cert.keyNumber;
  next.issuerName = a.cert.subjectName;
  next.authorityKeyId = a.cert.keyId;
  next.notBefore = std::max(next.notBefore, a.cert.notBefore);
  next.notAfter = std::min(next.notAfter, a.cert.notAfter);
  cc::SignDocument(next, a.key);
  index.AddCertificate(next, now, kLocalAct);

  const std::string secPath = In(dir, kSecretFile), autPath = In(dir, kCertificateFile),
                    rolloverPath = In(dir, kRolloverFile), refPath = In(dir, kIndexRefFile);
  Change change(session.home, inv.id);
  change.CreateDirectories(dir, 0700);
  change.WriteFile(secPath, 0600);
  change.WriteFile(autPath, 0644);
  change.WriteFile(rolloverPath, 0644);
  change.WriteFile(refPath, 0644);
  change.WriteFile(index.path(), 0644);
  const std::string report = "authority " + a.cert.uid + " key " + std::to_string(kn) +
                             " created in " + dir + ", certified by key " +
                             std::to_string(a.cert.keyNumber) + " in " + rolloverPath;
  change.Begin(report);
  change.Put(secPath, secret.text.str());
  change.Put(autPath, self.Text());
  change.Put(rolloverPath, next.Text());
  change.Put(refPath, IndexRefText(dir, session.home));
  change.Put(index.path(), index.Text());
  CommitChange(change, inv, report);
  return 0;
}

int InstallCert(const Options& o, const Invocation& inv) {
  const std::string certPath = o.Required("--cert");
  const std::string root = cc::AddPathSeparator(o.Required("--root"));
  const cc::PublicDocument cert = ReadPublic(certPath, "certificate");
  if (cert.kind != cc::DocKind::Certificate) throw Failure(certPath + " is not a certificate");
  const std::string target = cc::CertPathByUid(cert.uid, cc::AddPathSeparator(root + "crt"));
  if (target.empty())
    throw Failure("UID '" + cert.uid + "' has no place in a certificate store (it needs a '.')");
  MakeDirs(root, 0755);
  Session session(root, inv);
  if (session.Finished(inv)) return 0;
  Change change(root, inv.id);
  change.CreateDirectories(target.substr(0, target.rfind(cc::kPathSeparator)), 0755);
  change.WriteFile(target, 0644);
  const std::string report = "certificate of " + cert.uid + " installed as " + target;
  change.Begin(report);
  change.Put(target, cert.Text());
  CommitChange(change, inv, report);
  return 0;
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

int Renew(const Options& o, const Invocation& inv) {
  const std::string keyDir = o.Required("--authority");
  const std::string root = cc::AddPathSeparator(o.Required("--root"));
  const std::string name = o.Required("--operator");
  std::optional<std::string> allowed;
  if (o.Has("--uid")) allowed = Uid(o);
  const auto transfer = cc::ReadSmallFile(o.Required("--in"), 2 * kMaxFile + 4096);
  if (!transfer) throw Failure("cannot read the transfer " + o.Required("--in"));
  const std::string outPath = o.Required("--out");
  const bool daysGiven = o.Has("--days");
  const std::int64_t days = Days(o, 365);

  AuthoritySession session(keyDir, inv);
  if (session.session.Finished(inv)) return 0;
  const Authority a = LoadAuthority(keyDir, session.home);
  AuthorityIndex index(session.home);
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
  if (daysGiven || !request.hasValidity) {
    from = cc::NowMinutes();
    to = from + days * cc::kMinutesPerDay;
  }
  if (!index.MayIssueTo(uid, sender))
    throw Failure("refused: the UID " + uid + " was issued to another key holder, not to " +
                  sender);
  const cc::PublicDocument cert = Issue(a, request, from, to);
  index.AddCertificate(cert, cc::NowMinutes(), sender);

  // The answer carries the certificate as a file named after the UID's last character; the
  // library makes the transfer from that file, which lives only as long as the change.
  Change change(session.home, inv.id);
  const std::string certPath = change.ScratchFile(std::string(1, uid.back()) + ".crt");
  change.WriteFile(outPath, 0644);
  change.WriteFile(index.path(), 0644);
  const std::string report = "renewal of " + uid + " for " + sender + ": certificate key " +
                             std::to_string(cert.keyNumber) + " issued by " + a.cert.uid + " key " +
                             std::to_string(a.cert.keyNumber) + ", answer signed by " + op.Uid() +
                             " written to " + outPath;
  change.Begin(report);
  change.Put(certPath, cert.Text());
  change.Put(outPath, op.TransferOf(certPath) + "\n");
  change.Put(index.path(), index.Text());
  CommitChange(change, inv, report);
  return 0;
}

// The CRL of the key in `a` with what the index shows revoked under it: written to
// DIR/<key number>.crl, entered in the index, in the change.
std::string PlanCrl(const Authority& a, AuthorityIndex& index, Change& change, std::int64_t days,
                    std::string& crlText) {
  const cc::Minutes now = cc::NowMinutes();
  std::vector<RevokedCertificate> revoked;
  for (const AuthorityIndex::Revocation& r : index.RevokedBy(a.cert.keyNumber)) {
    RevokedCertificate entry;
    entry.serial.resize(r.serial.size() / 2);
    if (!cc::HexDecode(r.serial, entry.serial)) throw Failure("bad serial number " + r.serial);
    entry.when = r.when;
    revoked.push_back(std::move(entry));
  }
  const std::int64_t number = index.LastCrlNumber(a.cert.keyNumber) + 1;
  crlText = MakeCrl(a, revoked, now, now + days * cc::kMinutesPerDay, number);
  index.AddCrl(a.cert.keyNumber, number, now);
  const std::string path = In(a.dir, std::to_string(a.cert.keyNumber) + ".crl");
  change.WriteFile(path, 0644);
  return path + " (CRL number " + std::to_string(number) + ", " + std::to_string(revoked.size()) +
         " revoked, next update " + cc::FormatDate(now + days * cc::kMinutesPerDay) + ")";
}

int Revoke(const Options& o, const Invocation& inv) {
  const std::string keyDir = o.Required("--authority");
  const std::int64_t days = Days(o, 30);
  if (o.Has("--cert") == o.Has("--serial")) throw UsageError("give either --cert or --serial");
  std::optional<cc::PublicDocument> cert;
  std::string serial;
  if (o.Has("--cert")) {
    cert = ReadPublic(o.Required("--cert"), "certificate");
    if (cert->kind != cc::DocKind::Certificate)
      throw Failure(o.Required("--cert") + " is not a certificate");
    serial = cc::HexEncode(cert->serial);
  } else {
    serial = o.Required("--serial");
    if (serial.size() > 64 || serial.size() % 2 != 0 ||
        !std::all_of(serial.begin(), serial.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
      throw UsageError("bad --serial '" + serial + "': the serial number in hexadecimal");
    std::transform(serial.begin(), serial.end(), serial.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  }
  AuthoritySession session(keyDir, inv);
  if (session.session.Finished(inv)) return 0;
  const Authority a = LoadAuthority(keyDir, session.home);
  AuthorityIndex index(session.home);
  const AuthorityIndex::Certificate* entry = index.FindCertificate(serial);
  // The key that issued it: the certificate says so (and its signature shows it); the index
  // says so for what this version issued.
  std::int32_t issuer = 0;
  std::string uid;
  if (cert) {
    if (cert->issuer != a.cert.uid || !cc::VerifyDocument(*cert, a.cert.curve, a.cert.publicKey)) {
      if (cert->issuer == a.cert.uid && cert->issuerKeyNumber != a.cert.keyNumber)
        throw Failure("refused: the certificate was issued by key " +
                      std::to_string(cert->issuerKeyNumber) + " of " + a.cert.uid +
                      "; revoke it with that key's directory");
      throw Failure("refused: the certificate was not issued by " + a.cert.uid + " key " +
                    std::to_string(a.cert.keyNumber));
    }
    issuer = a.cert.keyNumber;
    uid = cert->uid;
  } else {
    if (entry == nullptr)
      throw Failure("refused: the index holds no certificate with the serial number " + serial);
    if (!entry->issuer)
      throw Failure("refused: the index does not show which key issued " + serial +
                    " (an entry of an earlier version); give the certificate with --cert");
    issuer = *entry->issuer;
    uid = entry->uid;
    if (issuer != a.cert.keyNumber)
      throw Failure("refused: " + serial + " was issued by key " + std::to_string(issuer) + " of " +
                    a.cert.uid + "; revoke it with that key's directory");
  }
  if (const auto* done = index.FindRevocation(serial, issuer))
    throw Failure("refused: " + serial + " was revoked already on " + cc::FormatDate(done->when));
  index.AddRevocation(serial, issuer, cc::NowMinutes());

  Change change(session.home, inv.id);
  std::string crl;
  const std::string listed = PlanCrl(a, index, change, days, crl);
  change.WriteFile(index.path(), 0644);
  const std::string report = "certificate " + serial + " (" + uid + ") revoked; CRL " + listed;
  change.Begin(report);
  change.Put(In(a.dir, std::to_string(a.cert.keyNumber) + ".crl"), crl);
  change.Put(index.path(), index.Text());
  CommitChange(change, inv, report);
  return 0;
}

int CrlCommand(const Options& o, const Invocation& inv) {
  const std::string keyDir = o.Required("--authority");
  const std::int64_t days = Days(o, 30);
  AuthoritySession session(keyDir, inv);
  if (session.session.Finished(inv)) return 0;
  const Authority a = LoadAuthority(keyDir, session.home);
  AuthorityIndex index(session.home);
  if (cc::NowMinutes() > a.cert.notAfter) throw Failure("the authority certificate has expired");
  Change change(session.home, inv.id);
  std::string crl;
  const std::string report = "CRL of " + a.cert.uid + " key " + std::to_string(a.cert.keyNumber) +
                             " written to " + PlanCrl(a, index, change, days, crl);
  change.WriteFile(index.path(), 0644);
  change.Begin(report);
  change.Put(In(a.dir, std::to_string(a.cert.keyNumber) + ".crl"), crl);
  change.Put(index.path(), index.Text());
  CommitChange(change, inv, report);
  return 0;
}

// The identity of a command line: a digest of the working directory and every argument.
std::string CommandId(std::span<const std::string_view> args) {
  std::error_code error;
  std::string text = std::filesystem::current_path(error).string();
  for (const std::string_view arg : args) text.append(1, '\0').append(arg);
  return cc::HexEncode(
      ccgost::HashOnce(ccgost::HashAlg::Streebog256,
                       std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
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
    const Invocation inv{out, err, CommandId(args)};
    if (command == "create-authority")
      return CreateAuthority(
          Options(rest, {"--dir", "--uid", "--key-number", "--days", "--curve"}, {}), inv);
    if (command == "keygen")
      return Keygen(Options(rest, {"--dir", "--uid", "--key-number", "--days", "--curve"}, {}),
                    inv);
    if (command == "issue")
      return IssueCommand(
          Options(rest,
                  {"--authority", "--request", "--out", "--days", "--not-before", "--not-after"},
                  {}),
          inv);
    if (command == "bootstrap")
      return Bootstrap(
          Options(rest, {"--authority", "--root", "--uid", "--key-number", "--days", "--curve"},
                  {"--force"}),
          inv);
    if (command == "rollover")
      return Rollover(Options(rest, {"--authority", "--out", "--key-number", "--days"}, {}), inv);
    if (command == "install-cert") return InstallCert(Options(rest, {"--cert", "--root"}, {}), inv);
    if (command == "renew")
      return Renew(
          Options(rest, {"--authority", "--root", "--operator", "--in", "--out", "--days", "--uid"},
                  {}),
          inv);
    if (command == "revoke")
      return Revoke(Options(rest, {"--authority", "--cert", "--serial", "--days"}, {}), inv);
    if (command == "crl") return CrlCommand(Options(rest, {"--authority", "--days"}, {}), inv);
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
