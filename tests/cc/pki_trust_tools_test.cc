// Trust decisions against two independent implementations of the same standards: authorities,
// certificates and CRLs made by the openssl command with its GOST engine and by GnuTLS' certtool
// (Debian: openssl libengine-gost-openssl, gnutls-bin; scripts/deps installs them), used through
// the adapter's exports by users whose keys our library made; and each tool's own verdict on the
// same files, which agrees with ours. A tool that is missing skips its tests and says why.
//  - keyUsage and critical extensions: what a certificate may be used for;
//  - intermediate authorities: a chain verifies and encrypts, a path length or 17 links refuse;
//  - CRLs: a revoked signer and recipient refused, an unrevoked one accepted, a CRL that does not
//    verify ignored (and shown so by vornak2-host report), a renewal answer that is revoked
//    refused.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "host_engine.h"
#include "key_sets.h"
#include "support.h"
#include "vornak2.h"

namespace cctest {
namespace {

namespace fs = std::filesystem;
using vornak2::testing::HostEngine;
using vornak2::testing::RunAuthorityTool;
using vornak2::testing::TestRoot;
using vornak2::testing::UserKeys;

// The uses a certificate is issued for.
enum Usage : unsigned {
  kSign = 1,
  kNonRepudiation = 2,
  kEncipher = 4,
  kAgree = 8,
  kCertSign = 16,
  kCrlSign = 32,
};

struct Profile {
  bool authority = false;
  unsigned usage = 0;  // Usage bits; 0: no keyUsage extension
  std::optional<int> pathLength;
  bool unknownCritical = false;  // the critical extension 1.2.3.4
};
Profile EndEntity(unsigned usage, bool unknownCritical = false) {
  Profile p;
  p.usage = usage;
  p.unknownCritical = unknownCritical;
  return p;
}
Profile AuthorityProfile(unsigned usage, std::optional<int> pathLength = {}) {
  Profile p = EndEntity(usage);
  p.authority = true;
  p.pathLength = pathLength;
  return p;
}

struct Authority {
  std::string uid;
  int number = 0;
  std::string key, cert;  // files
};

// An authority's tool: makes keys and authority certificates of its own (CryptoPro-A, which both
// tools offer), certifies our requests, writes CRLs, and gives its own verdict on certificates
// and CRLs.
class PkiTool {
 public:
  virtual ~PkiTool() = default;
  // Why the tool cannot run here; empty when it can.
  virtual std::string Missing() = 0;
  // A new key and its authority certificate, self-signed or certified by `by`.
  virtual Authority MakeAuthority(const std::string& uid, int number, const Profile& p,
                                  const Authority* by) = 0;
  // The certificate of one of our requests, issued by `by` with the serial number `serial`.
  virtual std::string Certify(const std::string& request, const Authority& by, int serial,
                              const Profile& p) = 0;
  // A CRL of `by` that lists the certificates.
  virtual std::string Crl(const Authority& by, const std::vector<std::string>& revoked) = 0;
  // The tool's verdict: `cert` holds under the trusted `root` through the intermediates `chain`.
  virtual bool Accepts(const std::string& root, const std::vector<std::string>& chain,
                       const std::string& cert) = 0;
  virtual bool CrlVerifies(const std::string& crl, const std::string& authority) = 0;

 protected:
  // Runs a shell command in the scratch directory; its output in `out`.
  bool Run(const std::string& command, std::string& out) {
    const std::string log = Path("log");
    const int status = std::system(
        ("cd " + Quote(dir_.path()) + " && " + command + " >" + Quote(log) + " 2>&1").c_str());
    out = Slurp(log);
    if (status != 0) out = "'" + command + "' failed: " + out;
    return status == 0;
  }
  // Runs a command that must succeed.
  void Must(const std::string& command) {
    std::string out;
    EXPECT_TRUE(Run(command, out)) << out;
  }
  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }
  std::string Fresh(const std::string& suffix) { return Path(std::to_string(++files_) + suffix); }

 private:
  TempDir dir_;
  int files_ = 0;
};

class OpenSslTool : public PkiTool {
 public:
  OpenSslTool() {
    conf_ = Path("openssl.cnf");
    Spill(conf_,
          "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n"
          "[engine_section]\ngost = gost_section\n[gost_section]\nengine_id = gost\n"
          "default_algorithms = ALL\n");
  }
  std::string Missing() override {
    std::string out;
    if (!Run(Ossl("engine gost -t"), out) || out.find("available") == std::string::npos)
      return "openssl with the GOST engine is not installed (Debian packages: openssl "
             "libengine-gost-openssl): " +
             out;
    return "";
  }
  Authority MakeAuthority(const std::string& uid, int number, const Profile& p,
                          const Authority* by) override {
    Authority a{uid, number, Fresh(".key"), Fresh(".crt")};
    // One command: the key, and its certificate self-signed or issued by `by`.
    std::string command = "req -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout " +
                          a.key + " -subj /CN=" + uid + "/serialNumber=" + std::to_string(number) +
                          " -days 30 -md_gost12_256 -out " + a.cert;
    if (by != nullptr)
      command += " -CA " + by->cert + " -CAkey " + by->key + " -set_serial " +
                 std::to_string(1000 + ++serials_);
    for (const std::string& line : Extensions(p)) command += " -addext " + Quote(line);
    Must(Ossl(command));
    return a;
  }
  std::string Certify(const std::string& request, const Authority& by, int serial,
                      const Profile& p) override {
    const std::string ext = Fresh(".ext"), cert = Fresh(".crt");
    std::string lines;
    for (const std::string& line : Extensions(p)) lines += line + "\n";
    Spill(ext, lines);
    Must(Ossl("x509 -req -in " + Quote(request) + " -CA " + by.cert + " -CAkey " + by.key +
              " -set_serial " + std::to_string(serial) + " -days 10 -md_gost12_256 -extfile " +
              ext + " -out " + cert));
    return cert;
  }
  // openssl ca -revoke for each, then -gencrl, with a database of its own.
  std::string Crl(const Authority& by, const std::vector<std::string>& revoked) override {
    const std::string base = Fresh(""), conf = base + ".cnf", crl = base + ".crl";
    Spill(base + ".index", "");
    Spill(base + ".number", "01\n");
    Spill(conf, Slurp(conf_) + "[ca]\ndefault_ca = authority\n[authority]\ndatabase = " + base +
                    ".index\ncrlnumber = " + base +
                    ".number\ndefault_md = md_gost12_256\ndefault_crl_days = 7\n");
    const std::string ca = "OPENSSL_CONF=" + conf + " openssl ca -config " + conf + " -keyfile " +
                           by.key + " -cert " + by.cert;
    for (const std::string& cert : revoked) Must(ca + " -revoke " + Quote(cert));
    Must(ca + " -gencrl -out " + crl);
    return crl;
  }
  bool Accepts(const std::string& root, const std::vector<std::string>& chain,
               const std::string& cert) override {
    std::string untrusted, out;
    if (!chain.empty()) {
      const std::string file = Fresh(".pem");
      std::string all;
      for (const std::string& c : chain) all += Slurp(c);
      Spill(file, all);
      untrusted = " -untrusted " + file;
    }
    return Run(Ossl("verify -CAfile " + Quote(root) + untrusted + " " + Quote(cert)), out);
  }
  bool CrlVerifies(const std::string& crl, const std::string& authority) override {
    std::string out;
    // openssl crl says "verify failure" and still exits with 0.
    return Run(Ossl("crl -noout -in " + Quote(crl) + " -CAfile " + Quote(authority)), out) &&
           out.find("verify OK") != std::string::npos;
  }

 private:
  std::string Ossl(const std::string& args) const {
    return "OPENSSL_CONF=" + conf_ + " openssl " + args;
  }
  static std::vector<std::string> Extensions(const Profile& p) {
    std::vector<std::string> out;
    std::string bc =
        p.authority ? "basicConstraints=critical,CA:TRUE" : "basicConstraints=CA:FALSE";
    if (p.pathLength) bc += ",pathlen:" + std::to_string(*p.pathLength);
    out.push_back(bc);
    std::string ku;
    for (const auto& [bit, name] :
         {std::pair{kSign, "digitalSignature"}, std::pair{kNonRepudiation, "nonRepudiation"},
          std::pair{kEncipher, "keyEncipherment"}, std::pair{kAgree, "keyAgreement"},
          std::pair{kCertSign, "keyCertSign"}, std::pair{kCrlSign, "cRLSign"}})
      if ((p.usage & bit) != 0) ku += std::string(",") + name;
    if (!ku.empty()) out.push_back("keyUsage=critical" + ku);
    if (p.unknownCritical) out.push_back("1.2.3.4=critical,DER:05:00");
    return out;
  }
  std::string conf_;
  int serials_ = 0;
};

class CertTool : public PkiTool {
 public:
  std::string Missing() override {
    std::string out;
    if (!Run("certtool --version", out))
      return "GnuTLS' certtool is not installed (Debian package: gnutls-bin): " + out;
    return "";
  }
  Authority MakeAuthority(const std::string& uid, int number, const Profile& p,
                          const Authority* by) override {
    Authority a{uid, number, Fresh(".key"), Fresh(".crt")};
    Must("certtool --generate-privkey --key-type gost12-256 --curve CryptoPro-A --outfile " +
         a.key);
    const std::string tmpl =
        Template(p, 1000 + ++serials_,
                 "dn = \"CN=" + uid + ",serialNumber=" + std::to_string(number) + "\"\n");
    if (by == nullptr)
      Must("certtool --generate-self-signed --load-privkey " + a.key + " --template " + tmpl +
           " --outfile " + a.cert);
    else
      Must("certtool --generate-certificate --load-privkey " + a.key + " --load-ca-certificate " +
           by->cert + " --load-ca-privkey " + by->key + " --template " + tmpl + " --outfile " +
           a.cert);
    return a;
  }
  std::string Certify(const std::string& request, const Authority& by, int serial,
                      const Profile& p) override {
    const std::string cert = Fresh(".crt");
    Must("certtool --generate-certificate --load-request " + Quote(request) +
         " --load-ca-certificate " + by.cert + " --load-ca-privkey " + by.key + " --template " +
         Template(p, serial, "") + " --outfile " + cert);
    return cert;
  }
  std::string Crl(const Authority& by, const std::vector<std::string>& revoked) override {
    const std::string tmpl = Fresh(".tmpl"), crl = Fresh(".crl");
    Spill(tmpl, "crl_next_update = 7\ncrl_number = 5\n");
    std::string load;
    if (!revoked.empty()) {
      const std::string list = Fresh(".pem");
      std::string all;
      for (const std::string& c : revoked) all += Slurp(c);
      Spill(list, all);
      load = " --load-certificate " + list;
    }
    Must("certtool --generate-crl --load-ca-privkey " + Quote(by.key) + " --load-ca-certificate " +
         Quote(by.cert) + load + " --template " + tmpl + " --outfile " + crl);
    return crl;
  }
  bool Accepts(const std::string& root, const std::vector<std::string>& chain,
               const std::string& cert) override {
    const std::string file = Fresh(".pem");
    std::string all = Slurp(cert);
    for (auto c = chain.rbegin(); c != chain.rend(); ++c) all += Slurp(*c);
    Spill(file, all);
    std::string out;
    return Run("certtool --verify --load-ca-certificate " + Quote(root) + " --infile " + file, out);
  }
  bool CrlVerifies(const std::string& crl, const std::string& authority) override {
    std::string out;
    return Run("certtool --verify-crl --load-ca-certificate " + Quote(authority) + " --infile " +
                   Quote(crl),
               out);
  }

 private:
  std::string Template(const Profile& p, int serial, const std::string& dn) {
    std::string t = dn + "serial = " + std::to_string(serial) + "\nexpiration_days = 10\n";
    if (p.authority) t += "ca\n";
    if (p.pathLength) t += "path_len = " + std::to_string(*p.pathLength) + "\n";
    for (const auto& [bit, name] :
         {std::pair{kSign, "signing_key"}, std::pair{kNonRepudiation, "non_repudiation"},
          std::pair{kEncipher, "encryption_key"}, std::pair{kAgree, "key_agreement"},
          std::pair{kCertSign, "cert_signing_key"}, std::pair{kCrlSign, "crl_signing_key"}})
      if ((p.usage & bit) != 0) t += std::string(name) + "\n";
    if (p.unknownCritical) t += "add_critical_extension = \"1.2.3.4 0500\"\n";
    const std::string file = Fresh(".tmpl");
    Spill(file, t);
    return file;
  }
  int serials_ = 0;
};

std::unique_ptr<PkiTool> MakeTool(const std::string& name) {
  if (name == "openssl") return std::make_unique<OpenSslTool>();
  return std::make_unique<CertTool>();
}

// A user's key set in the test root: a secret key our library made, its certificate from the
// tool, and the authority certificates it trusts in SECRET/UID/N.aut.
UserKeys KeySet(const std::string& name, const std::string& uid, const std::string& secret,
                const std::string& cert, const std::vector<const Authority*>& trusts) {
  UserKeys u;
  u.name = name;
  u.uid = uid;
  u.dir = TestRoot::Get().dir() + name + "/";
  u.secretDir = u.dir + "sec/";
  u.certDir = u.dir + "crt/";
  u.certFile = u.dir + "self.crt";
  u.randomFile = u.dir + "@rand";
  fs::create_directories(u.certDir);
  fs::create_directories(u.secretDir);
  if (!secret.empty()) fs::copy_file(secret, u.secretDir + "0.sec");
  if (!cert.empty()) fs::copy_file(cert, u.certFile);
  for (const Authority* a : trusts) {
    fs::create_directories(u.secretDir + a->uid);
    fs::copy_file(a->cert, u.secretDir + a->uid + "/" + std::to_string(a->number) + ".aut",
                  fs::copy_options::overwrite_existing);
  }
  std::string random(1024, '\0');
  std::random_device device;
  for (char& c : random) c = static_cast<char>(device());
  Spill(u.randomFile, random);
  return u;
}

// A key pair of ours for `uid` (key number 0, CryptoPro-A, which both tools can certify): the
// secret key file and the request file.
std::pair<std::string, std::string> OurKeys(const std::string& dir, const std::string& uid) {
  EXPECT_EQ(RunAuthorityTool({"keygen", "--dir", dir, "--uid", uid, "--curve", "cryptopro-A"}), 0);
  return {dir + "/0.sec", dir + "/" + uid.back() + ".pub"};
}

// Installs a certificate into a key set's store through the export.
void Install(const HostEngine& engine, const std::string& cert) {
  const std::string copy = TestRoot::Get().dir() + "incoming.crt";
  fs::remove(copy);
  fs::copy_file(cert, copy);
  ASSERT_EQ(IncludePublicKey(engine.get(), copy.c_str()), 0) << cert;
}

// Encrypts a few bytes for `uid` with the validity check on; the result code.
std::int32_t EncryptFor(const HostEngine& engine, const std::string& uid) {
  std::vector<std::uint8_t> data(64 + 4096, 'x');
  std::int32_t size = 64;
  return EncodeData(engine.get(), data.data(), &size, uid.c_str());
}

// The parties of one scenario: signers whose certificates a tool issued, and a relying party
// that holds the tool's authority certificates and the signers' certificates, and verifies and
// encrypts with the validity check on.
class Scenario {
 public:
  Scenario(PkiTool& tool, const std::string& tag) : tool_(tool), tag_(tag) {
    TestRoot& root = TestRoot::Get();
    const UserKeys& party = root.User(tag + "_party", "RP." + std::to_string(++parties_));
    party_ = std::make_unique<HostEngine>(root, party);
    partyDir_ = party.dir;
  }
  // A signer `uid` whose request the tool certifies under `by`; the file of the certificate.
  std::string Signer(const std::string& uid, const Authority& by, const Profile& profile,
                     const std::vector<const Authority*>& trusts) {
    const std::string dir = TestRoot::Get().dir() + tag_ + "_keys_" + uid;
    const auto [secret, request] = OurKeys(dir, uid);
    const std::string cert = tool_.Certify(request, by, ++serial_, profile);
    signers_.emplace(
        uid, std::make_unique<HostEngine>(TestRoot::Get(),
                                          KeySet(tag_ + "_" + uid, uid, secret, cert, trusts)));
    signers_.at(uid)->Set(11, "No");  // signs whatever its certificate says
    Install(*party_, cert);
    return cert;
  }
  void Trust(const Authority& a) {
    fs::create_directories(partyDir_ + "sec/" + a.uid);
    fs::copy_file(a.cert, partyDir_ + "sec/" + a.uid + "/" + std::to_string(a.number) + ".aut",
                  fs::copy_options::overwrite_existing);
  }
  void PlaceCrl(const Authority& a, const std::string& crl) {
    fs::copy_file(crl, partyDir_ + "sec/" + a.uid + "/" + std::to_string(a.number) + ".crl",
                  fs::copy_options::overwrite_existing);
  }
  // The party's verdicts on a signature of `uid` and on encrypting for `uid`.
  std::int32_t Verify(const std::string& uid) {
    const std::string data = "signed by " + uid;
    const auto signature = signers_.at(uid)->Sign(data);
    EXPECT_FALSE(signature.empty()) << uid;
    return party_->Verify(data, signature);
  }
  std::int32_t Encrypt(const std::string& uid) { return EncryptFor(*party_, uid); }
  const std::string& PartyDir() const { return partyDir_; }
  // The signer `from` sends the authority certificate `file` under the name `name`; what the
  // party's IncludeCACertificateFromTransfer answers.
  std::int32_t ReceiveAuthority(const std::string& from, const std::string& file,
                                const std::string& name) {
    const std::string dir = TestRoot::Get().dir() + tag_ + "_send/";
    fs::create_directories(dir);
    fs::copy_file(file, dir + name, fs::copy_options::overwrite_existing);
    const HostEngine::Transfer t = signers_.at(from)->TransferOfFile(dir + name);
    EXPECT_EQ(t.code, 0) << name;
    return IncludeCACertificateFromTransfer(party_->get(), t.text.c_str());
  }

 private:
  PkiTool& tool_;
  std::string tag_;
  std::unique_ptr<HostEngine> party_;
  std::string partyDir_;
  std::map<std::string, std::unique_ptr<HostEngine>> signers_;
  int serial_ = 100;
  static inline int parties_ = 0;
};

class ToolTrust : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    tool_ = MakeTool(GetParam());
    if (const std::string why = tool_->Missing(); !why.empty()) GTEST_SKIP() << why;
  }
  std::string Tag(const char* test) const { return std::string(test) + "_" + GetParam(); }
  // A UID of this tool's run: the key-file cache keeps one user's files by UID, so that two key
  // sets of one UID in one process would share them ("KU.1" -> "KUO.1" for openssl).
  std::string U(const std::string& uid) const {
    return uid.substr(0, uid.find('.')) + static_cast<char>(std::toupper(GetParam()[0])) +
           uid.substr(uid.find('.'));
  }
  std::unique_ptr<PkiTool> tool_;
};

const Profile kAuthority = AuthorityProfile(kCertSign | kCrlSign);

// keyUsage and critical extensions: a signature verifies only from a certificate that allows
// digitalSignature or nonRepudiation, encryption goes only to one that allows keyEncipherment or
// keyAgreement, an authority certifies only with keyCertSign, and a certificate with an unknown
// critical extension is not used. The tool's own verdict on each certificate agrees where it
// has one (it checks no end-entity usage without a purpose).
TEST_P(ToolTrust, KeyUsageAndCriticalExtensions) {
  PkiTool& tool = *tool_;
  const Authority good = tool.MakeAuthority("KA.1", 2, kAuthority, nullptr);
  const Authority noCertSign =
      tool.MakeAuthority("KB.1", 0, AuthorityProfile(kSign | kCrlSign), nullptr);
  Scenario s(tool, Tag("ku"));
  s.Trust(good);
  s.Trust(noCertSign);
  const struct {
    const char* uid;
    const Authority& by;
    Profile profile;
    std::int32_t verify, encrypt;
    bool toolAccepts;
  } cases[] = {
      {"KU.1", good, EndEntity(kSign | kEncipher), 0, 0, true},
      {"KU.2", good, EndEntity(kAgree), -46, 0, true},
      {"KU.3", good, EndEntity(kSign), 0, -46, true},
      {"KU.4", good, EndEntity(kNonRepudiation | kEncipher), 0, 0, true},
      {"KU.5", good, EndEntity(0), 0, 0, true},  // no keyUsage: any use
      {"KU.6", good, EndEntity(kSign | kEncipher, true), -34, -34, false},
      {"KU.7", noCertSign, EndEntity(kSign | kEncipher), -83, -83, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    const std::string cert = s.Signer(U(c.uid), c.by, c.profile, {&c.by});
    EXPECT_EQ(s.Verify(U(c.uid)), c.verify);
    EXPECT_EQ(s.Encrypt(U(c.uid)), c.encrypt);
    EXPECT_EQ(tool.Accepts(c.by.cert, {}, cert), c.toolAccepts);
  }
}

// An authority that issues users may be an intermediate certified by a trusted root: verify and
// encrypt work through it; a root whose path length allows no intermediate, or a chain of 17
// authorities, refuses (-83). The tool's own verdict agrees on the first two; a chain of roll-
// overs made by our test authority is accepted by the tool.
TEST_P(ToolTrust, IntermediateAuthorities) {
  PkiTool& tool = *tool_;
  const Authority root = tool.MakeAuthority("RT.1", 0, kAuthority, nullptr);
  const Authority middle = tool.MakeAuthority("IM.1", 3, kAuthority, &root);
  const Authority strict =
      tool.MakeAuthority("RT.2", 0, AuthorityProfile(kCertSign | kCrlSign, 0), nullptr);
  const Authority below = tool.MakeAuthority("IM.2", 0, kAuthority, &strict);
  // L.0 and 16 authorities below it, each certified by the one before.
  std::vector<Authority> chain{tool.MakeAuthority("L.0", 0, kAuthority, nullptr)};
  for (int i = 1; i <= 16; ++i)
    chain.push_back(tool.MakeAuthority("L." + std::to_string(i), 0, kAuthority, &chain.back()));
  Scenario s(tool, Tag("chain"));
  for (const Authority* a : {&root, &middle, &strict, &below}) s.Trust(*a);
  for (const Authority& a : chain) s.Trust(a);
  const Profile user = EndEntity(kSign | kEncipher);
  const struct {
    const char* uid;
    const Authority& by;
    std::int32_t code;
  } cases[] = {
      {"CH.1", middle, 0}, {"CH.2", below, -83}, {"CH.3", chain[15], 0}, {"CH.4", chain[16], -83}};
  std::map<std::string, std::string> certs;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    certs[c.uid] = s.Signer(U(c.uid), c.by, user, {&c.by});
    EXPECT_EQ(s.Verify(U(c.uid)), c.code);
    EXPECT_EQ(s.Encrypt(U(c.uid)), c.code);
  }
  EXPECT_TRUE(tool.Accepts(root.cert, {middle.cert}, certs["CH.1"]));
  EXPECT_FALSE(tool.Accepts(strict.cert, {below.cert}, certs["CH.2"]));

  // By transfer, to a party that trusts only the root: the intermediate the root certified is
  // taken (then the signer it issued verifies), one below a root the party does not trust is not
  // (-12), nor is a user's certificate the root issued, sent as an authority's (130).
  {
    Scenario t(tool, Tag("sent"));
    t.Trust(root);
    t.Signer(U("CT.1"), middle, user, {&middle});
    EXPECT_EQ(t.Verify(U("CT.1")), -12);
    // The sender: a user of the root, whose transfers the party can check.
    const std::string impostor = t.Signer(U("IM.9"), root, user, {&root});
    EXPECT_EQ(t.ReceiveAuthority(U("IM.9"), below.cert, "0.aut"), -12);
    EXPECT_EQ(t.ReceiveAuthority(U("IM.9"), impostor, "0.aut"), 130);
    EXPECT_EQ(t.ReceiveAuthority(U("IM.9"), middle.cert, "3.aut"), 0);
    EXPECT_TRUE(fs::exists(t.PartyDir() + "sec/IM.1/3.aut"));
    EXPECT_EQ(t.Verify(U("CT.1")), 0);
  }

  // The other way: a user issued by the next key of an authority of ours, certified by its
  // current key (vornak2-ca rollover), holds for the tool under the current key.
  const std::string d = TestRoot::Get().dir() + Tag("ours") + "/";
  ASSERT_EQ(RunAuthorityTool(
                {"create-authority", "--dir", d + "ca", "--uid", "OC.1", "--curve", "cryptopro-A"}),
            0);
  ASSERT_EQ(RunAuthorityTool({"rollover", "--authority", d + "ca", "--out", d + "next"}), 0);
  ASSERT_EQ(
      RunAuthorityTool({"keygen", "--dir", d + "u", "--uid", "OU.1", "--curve", "cryptopro-A"}), 0);
  ASSERT_EQ(RunAuthorityTool({"issue", "--authority", d + "next", "--request", d + "u/1.pub",
                              "--out", d + "u.crt"}),
            0);
  EXPECT_TRUE(tool.Accepts(d + "ca/authority.aut", {d + "next/rollover.aut"}, d + "u.crt"));
}

// CRLs the tool writes: with the validity check on, a listed signer's signature and encryption
// for it are refused (-84), an unlisted one's accepted; a CRL signed by another key under the
// authority's name is ignored, and vornak2-host report says the engine does not honour it. The
// tool agrees on which CRL verifies.
TEST_P(ToolTrust, RevocationLists) {
  PkiTool& tool = *tool_;
  const Authority ca = tool.MakeAuthority("RC.1", 4, kAuthority, nullptr);
  const Authority forger = tool.MakeAuthority("RC.1", 4, kAuthority, nullptr);
  const Authority stranger = tool.MakeAuthority("RX.1", 0, kAuthority, nullptr);
  Scenario s(tool, Tag("crl"));
  s.Trust(ca);
  const Profile user = EndEntity(kSign | kEncipher);
  const std::string revoked = s.Signer(U("RS.1"), ca, user, {&ca});
  s.Signer(U("RS.2"), ca, user, {&ca});
  const std::string genuine = tool.Crl(ca, {revoked});
  const std::string forged = tool.Crl(forger, {revoked});
  EXPECT_TRUE(tool.CrlVerifies(genuine, ca.cert));
  EXPECT_FALSE(tool.CrlVerifies(forged, ca.cert));
  // The party's vornak2-host: its exit code, its output in `out`.
  std::string out;
  auto host = [&](const std::string& args) {
#ifdef HOST_TOOL_PATH
    const std::string file = TestRoot::Get().dir() + "host.txt";
    const std::string party = fs::path(s.PartyDir()).parent_path().filename().string();
    const int status = std::system((std::string(HOST_TOOL_PATH) + " " + args + " --root " +
                                    Quote(TestRoot::Get().dir()) + " --user " + party + " >" +
                                    Quote(file) + " 2>&1")
                                       .c_str());
    out = Slurp(file);
    return status;
#else
    (void)args;
    return -1;
#endif
  };
#ifdef HOST_TOOL_PATH
  // A CRL of an authority the party does not hold is not installed.
  EXPECT_NE(host("install-crl " + Quote(tool.Crl(stranger, {}))), 0);
  EXPECT_FALSE(fs::exists(s.PartyDir() + "sec/RX.1"));
#endif
  const struct {
    const char* name;
    std::string crl;
    std::int32_t revokedCode;
    const char* reported;
  } cases[] = {
      {"no CRL", "", 0, "revocation: no CRL of RC.1 key 4"},
      {"the authority's CRL", genuine, -84, "the engine refuses the certificate as revoked"},
      {"a CRL of another key", forged, 0, "the engine does not honour this CRL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
#ifdef HOST_TOOL_PATH
    if (!c.crl.empty()) {
      EXPECT_EQ(host("install-crl " + Quote(c.crl)), 0) << out;
    }
#else
    if (!c.crl.empty()) s.PlaceCrl(ca, c.crl);
#endif
    EXPECT_EQ(s.Verify(U("RS.1")), c.revokedCode);
    EXPECT_EQ(s.Encrypt(U("RS.1")), c.revokedCode);
    EXPECT_EQ(s.Verify(U("RS.2")), 0);
    EXPECT_EQ(s.Encrypt(U("RS.2")), 0);
#ifdef HOST_TOOL_PATH
    // What the user sees: the report on the revoked signer's certificate.
    EXPECT_EQ(host("report " + U("RS.1")), 0);
    EXPECT_NE(out.find(c.reported), std::string::npos) << out;
#endif
  }
}

// A renewal answer whose certificate the authority revoked (in a CRL the tool made with our test
// authority's key) is refused with -84 and changes nothing; one that the CRL does not list
// finishes.
TEST_P(ToolTrust, RenewalAnswerOfARevokedKey) {
  PkiTool& tool = *tool_;
  TestRoot& root = TestRoot::Get();
  const std::string tag = Tag("renew");
  // Our authority on CryptoPro-A, which both tools can sign CRLs with.
  const std::string caDir = root.dir() + tag + "_ca";
  ASSERT_EQ(RunAuthorityTool(
                {"create-authority", "--dir", caDir, "--uid", "RA.1", "--curve", "cryptopro-A"}),
            0);
  const Authority ca{"RA.1", 0, caDir + "/authority.sec", caDir + "/authority.aut"};
  const UserKeys& op = root.User(tag + "_op", U("RO.1"), tag + "_ca");
  HostEngine o(root, op);
  for (const bool revoke : {true, false}) {
    SCOPED_TRACE(revoke ? "revoked" : "not revoked");
    const std::string name = tag + (revoke ? "_r" : "_k");
    const UserKeys& user = root.User(name, U(revoke ? "RR.1" : "RK.1"), tag + "_ca");
    HostEngine u(root, user);
    Install(o, user.certFile);
    Install(u, op.certFile);
    const std::string renewal = root.dir() + name + "_renewal/";
    fs::create_directories(renewal);
    SetRemoteGeneratePath(u.get(), renewal.c_str());
    std::string start(5129, '\0');
    ASSERT_EQ(RemoteGenerateStart(u.get(), start.data()), 0);
    Spill(renewal + "../" + name + "_start.txt", start.c_str());
    const std::string answerFile = renewal + "../" + name + "_answer.txt";
    ASSERT_EQ(RunAuthorityTool({"renew", "--authority", caDir, "--root", root.dir(), "--operator",
                                op.name, "--in", renewal + "../" + name + "_start.txt", "--out",
                                answerFile}),
              0);
    const std::string answer = Slurp(answerFile);
    // The new certificate, as the answer carries it.
    const std::string carried = root.dir() + name + "_carried/";
    fs::create_directories(carried);
    ASSERT_EQ(SavePublicKeyFromTransfer(u.get(), carried.c_str(), answer.c_str()), 0);
    const std::string newCert =
        carried + fs::directory_iterator(carried)->path().filename().string();
    const std::string crl =
        tool.Crl(ca, revoke ? std::vector{newCert} : std::vector<std::string>{});
    fs::copy_file(crl, user.secretDir + "RA.1/0.crl");
    const auto before = vornak2::testing::TreeListing(user.dir);
    EXPECT_EQ(RemoteGenerateFinish(u.get(), answer.c_str()), revoke ? -84 : 0);
    if (revoke) {
      EXPECT_EQ(vornak2::testing::TreeListing(user.dir), before) << "nothing written";
      EXPECT_TRUE(fs::exists(renewal + "key.dat"));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolTrust, ::testing::Values("openssl", "certtool"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace cctest
