// vornak2-host demo: the whole life of a key in a deployment made by the test authority, with
// the authority's operator and two users, one engine per party. Each party's key directories are
// set up from what the authority delivered (CreateDirStructure); trust starts from one
// certificate each party takes from outside the system, and every other certificate travels as a
// signed public-key transfer, its report read before it is trusted. The users sign and verify,
// append and remove signatures, encrypt and decrypt; a removed certificate is refused. Then alice
// renews her key through the authority, signs with the new key, and bob, given the new
// certificate by transfer, verifies it, while her signature made with the old key still verifies.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "host_commands.h"
#include "host_explain.h"
#include "host_ops.h"
#include "host_store_ops.h"
#include "platform/platform.h"
#include "support/text.h"

namespace vornak2::host {

namespace {

namespace fs = std::filesystem;

struct User {
  const char* name;  // the directory of the key set under the root
  const char* uid;
};
constexpr User kAlice = {"alice", "H.1"};
constexpr User kBob = {"bob", "H.2"};
// The authority's operator: a user with a key set of its own, who hands out certificates.
constexpr User kOperator = {"operator", "OP.1"};
constexpr const char* kAuthorityUid = "CA.1";

constexpr std::string_view kSampleText =
    "Payment order 17: transfer 1250.00 to account 40702810900000012345, due 01.07.\n";

// Runs the test authority tool (beside this tool), echoing the command and its indented output;
// true when it exits with 0.
bool RunAuthority(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ToolDir() + "vornak2-ca"};
  std::string shown = "vornak2-ca";
  for (const auto& a : args) {
    argv.push_back(a);
    shown += ' ';
    shown += a;
  }
  std::printf("  $ %s\n", shown.c_str());
  std::string output;
  const std::optional<int> status = platform::RunProgram(argv, &output);
  for (std::size_t start = 0; start < output.size();) {
    const std::size_t end = std::min(output.find('\n', start), output.size());
    std::printf("    %.*s\n", static_cast<int>(end - start), output.data() + start);
    start = end + 1;
  }
  return status == 0;
}

// A new directory for a demo root.
std::string TemporaryRoot() {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::temp_directory_path() / ("vornak2-demo-" + std::to_string(stamp));
  fs::create_directories(dir);
  return dir.string() + kSep;
}

// A path written with '/' between its levels, in the system's own form.
std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', kSep);
  return path;
}

// A party counts as provided for when the authority's delivery to it is in the root: its
// certificate and the random-state file beside its secret key.
bool Delivered(const std::string& root, const User& user) {
  std::error_code error;
  return fs::exists(Native(root + "delivery/" + user.name + ".crt"), error) &&
         fs::exists(Native(root + user.name + "/@rand"), error);
}

// What a deployment has: the vendor library in ROOT/EXE/, an authority in ROOT/ca/ (with its
// next key and that key's roll-over certificate in ROOT/ca-1/), and for the operator and both
// users what the authority delivers: a secret key generated in ROOT/NAME/sec/, the certificate
// issued for its request in ROOT/delivery/NAME.crt, and a random-state file. The engines set up the
// rest. The vendor library comes from VORNAK2_CC, else from beside the library the tool loaded (the
// build tree), else from that library's private directory (an installed tree). With `keepKeys`,
// what the authority already delivered to a party is kept.
bool PrepareRoot(const Library& library, const std::string& root, bool keepKeys) {
  std::error_code error;
  fs::create_directories(fs::path(root) / "EXE", error);
  const fs::path engineDir = fs::path(library.path()).parent_path();
  std::string cc = (engineDir / kVendorLibrary).string();
  if (!fs::exists(cc)) cc = (engineDir / "vornak2" / kVendorLibrary).string();
  if (auto given = platform::GetEnv("VORNAK2_CC")) cc = *given;
  fs::copy_file(cc, fs::path(root) / "EXE" / kVendorLibrary, fs::copy_options::overwrite_existing,
                error);
  if (error) {
    std::fprintf(stderr, "vornak2-host: cannot place %s in %sEXE/: %s\n", cc.c_str(), root.c_str(),
                 error.message().c_str());
    return false;
  }
  std::printf("vendor library: %s -> %sEXE%c%s\n", cc.c_str(), root.c_str(), kSep, kVendorLibrary);

  // Key 0 is the authority's self-signed root; key 1, its next key, is certified by key 0 (a
  // roll-over), which is how the users' engines come to trust it.
  for (const auto& [dir, number] : {std::pair{"ca", "0"}, std::pair{"ca-1", "1"}}) {
    std::printf("authority %s, key %s:\n", kAuthorityUid, number);
    const bool first = std::string_view(number) == "0";
    if (fs::exists(fs::path(root) / dir / (first ? "authority.aut" : "rollover.aut")))
      std::printf("  (already in %s%s%c)\n", root.c_str(), dir, kSep);
    else if (!(first ? RunAuthority({"create-authority", "--dir", root + dir, "--uid",
                                     kAuthorityUid, "--key-number", number})
                     : RunAuthority({"rollover", "--authority", root + "ca", "--out", root + dir,
                                     "--key-number", number})))
      return false;
  }
  for (const std::string dir : {"delivery", "requests", "transfers"})
    fs::create_directories(fs::path(root) / dir, error);
  std::random_device device;
  for (const User& user : {kOperator, kAlice, kBob}) {
    std::printf("key pair of %s (%s), certified by the authority:\n", user.name, user.uid);
    if (keepKeys && Delivered(root, user)) {
      std::printf("  (delivered already, kept)\n");
      continue;
    }
    const std::string dir = Native(root + user.name + "/");
    fs::remove_all(dir, error);
    const std::string request = Native(root + "requests/" + user.name + ".pub");
    if (!RunAuthority({"keygen", "--dir", dir + "sec", "--uid", user.uid})) return false;
    fs::rename(Native(dir + "sec/" + std::string(1, user.uid[std::strlen(user.uid) - 1]) + ".pub"),
               request, error);
    if (error || !RunAuthority({"issue", "--authority", root + "ca", "--request", request, "--out",
                                Native(root + "delivery/" + user.name + ".crt")}))
      return false;
    // The random-state file that starts the library's generator.
    std::string seed(1024, '\0');
    for (char& c : seed) c = static_cast<char>(device());
    if (!WriteFile(dir + "@rand",
                   std::span(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size()),
                   true))
      return false;
    fs::create_directories(dir + "inbox", error);
  }
  return !error;
}

// Counts and prints the demo's steps.
class Steps {
 public:
  // Prints one step; true when it succeeded.
  bool Check(bool ok, const std::string& text) {
    ++count_;
    if (!ok) ++failed_;
    std::printf("  [%s] %s\n", ok ? "ok" : "FAILED", text.c_str());
    return ok;
  }
  int count() const { return count_; }
  int failed() const { return failed_; }

 private:
  int count_ = 0;
  int failed_ = 0;
};

std::string Call(const Engine& engine, const char* name, std::int32_t code) {
  return std::string(name) + " -> " + engine.Describe(code);
}

// Configures an engine for a user's key set (its inbox as the template directory, where the
// files of installed transfers arrive) and sets up its directories from what the authority
// delivered; true when its UID is then the user's.
bool OpenUser(Steps& steps, const Library& library, Engine& engine, const std::string& root,
              const User& user) {
  // The key set's parameters one by one: --user would read the certificate that the set-up
  // below puts in place.
  EngineSetup setup;
  setup.root = root;
  const std::string dir = Native(std::string("%QVXRoot%/") + user.name + "/");
  setup.AddParam(kParamSecretPath, dir + "sec");
  setup.AddParam(kParamPublicPath, dir + "crt");
  setup.AddParam(kParamRandomFile, dir + "@rand");
  setup.AddParam(kParamUserCertificate, dir + "self.crt");
  setup.AddParam(kParamTemplateDir, dir + "inbox");
  if (!steps.Check(static_cast<bool>(engine), std::string("engine for ") + user.name)) return false;
  if (Configure(library, engine, setup) != kExitSuccess)
    return steps.Check(false, std::string("configuring ") + user.name + "'s engine");
  const std::string delivered = Native(root + "delivery/" + user.name + ".crt");
  const std::int32_t created = engine.api().CreateDirStructure(
      engine.handle(), delivered.c_str(), Native(root + "ca/authority.aut").c_str());
  if (!steps.Check(created == 0, std::string(user.name) + " sets up the key directories from " +
                                     "the delivered certificate and the authority's: " +
                                     Call(engine, "CreateDirStructure", created)))
    return false;
  std::string uid;
  const std::int32_t code = engine.CurrentUserUid(uid);
  return steps.Check(code == 0 && uid == user.uid, std::string(user.name) + "'s engine: " +
                                                       Call(engine, "GetCurrentUserUID", code) +
                                                       ", current user " + uid);
}

// A user's engine, for the steps that several parties take in turn.
struct Party {
  const User& user;
  const Engine& engine;
};

// Installs a copy of a certificate file directly (IncludePublicKey moves the file it is given).
bool InstallCopy(Steps& steps, const std::string& root, const Party& to, const std::string& file,
                 const std::string& what) {
  const std::string copy = Native(root + to.user.name + "/inbox/direct.crt");
  std::error_code error;
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing, error);
  const std::int32_t code =
      error ? -1 : to.engine.api().IncludePublicKey(to.engine.handle(), copy.c_str());
  return steps.Check(code == 0, std::string(to.user.name) + " installs " + what + ": " +
                                    Call(to.engine, "IncludePublicKey", code));
}

// Writes a transfer text where the demo keeps what parties send each other.
std::string Sent(const std::string& root, const std::string& name, const std::string& text) {
  const std::string path = Native(root + "transfers/" + name);
  std::string problem;
  if (!WriteTransferText(path, text, problem, false))
    std::fprintf(stderr, "vornak2-host: %s\n", problem.c_str());
  return path;
}

// Trust starts outside the system: each user takes the operator's certificate as handed over
// in person, and the operator registers the certificates the authority issued to the users.
void BootstrapTrust(Steps& steps, const std::string& root, const Party& op,
                    const std::vector<Party>& users) {
  std::printf("trust from outside the system:\n");
  for (const Party& user : users)
    InstallCopy(steps, root, user, Native(root + kOperator.name + "/self.crt"),
                std::string("the operator's certificate (") + kOperator.uid + "), handed over");
  for (const Party& user : users)
    InstallCopy(steps, root, op, Native(root + user.user.name + "/self.crt"),
                std::string("the certificate the authority issued to ") + user.user.name);
}

// Prints the report on the certificate a transfer carries, which a user reads before trusting it.
void ShowReport(Steps& steps, const Party& reader, const std::string& transfer,
                const std::string& what) {
  std::string report;
  const std::int32_t code = TransferReport(reader.engine, transfer, report);
  if (!steps.Check(code == 0, std::string(reader.user.name) + " reads the report on " + what +
                                  ": " +
                                  Call(reader.engine, "GetPublicKeyPropertiesByTransfer", code)))
    return;
  // The report's first six lines; the certificate text follows them.
  std::string text = Cp1251ToUtf8(report);
  std::size_t at = 0;
  for (int line = 0; line < 6 && at < text.size(); ++line) {
    const std::size_t end = text.find("\r\n", at);
    std::printf("         %s\n", text.substr(at, end - at).c_str());
    at = end == std::string::npos ? text.size() : end + 2;
  }
}

// Installs a transfer as `to` after reading its UID; true when both succeed.
bool Receive(Steps& steps, const Party& to, const std::string& transfer, const std::string& what) {
  std::string uid;
  std::int32_t code = TransferUid(to.engine, transfer, uid);
  if (!steps.Check(code == 0, std::string(to.user.name) + " reads the UID of " + what + ": " +
                                  Call(to.engine, "GetUIDByPublicKeyTransfer", code) + ", " + uid))
    return false;
  code = to.engine.api().IncludePublicKeyTransfer(to.engine.handle(), transfer.c_str());
  return steps.Check(code == 0, std::string(to.user.name) + " installs it: " +
                                    Call(to.engine, "IncludePublicKeyTransfer", code));
}

// Every other certificate travels as a transfer: the operator's transfers of the users'
// certificates, the users' transfers of their own (checked against the operator's), and the
// authority's new certificate.
void ExchangeThroughTransfers(Steps& steps, const std::string& root, const Party& op,
                              const Party& alice, const Party& bob) {
  std::printf("certificates through transfers:\n");
  std::map<std::string, std::string> fromOperator;
  for (const Party& owner : {alice, bob}) {
    std::string t;
    const std::int32_t code = UserTransfer(op.engine, owner.user.uid, t);
    const std::string path = Sent(root, std::string(owner.user.uid) + "-from-operator.txt", t);
    if (steps.Check(code == 0,
                    std::string("the operator writes the transfer of ") + owner.user.name +
                        "'s certificate: " + Call(op.engine, "GetPublicKeyTransfer", code) + ", " +
                        std::to_string(t.size()) + " characters in " + path))
      fromOperator[owner.user.uid] = t;
  }
  for (const auto& [to, from] : {std::pair{bob, alice}, std::pair{alice, bob}}) {
    const auto it = fromOperator.find(from.user.uid);
    if (it == fromOperator.end()) continue;
    ShowReport(steps, to, it->second,
               std::string("the certificate in the operator's transfer of ") + from.user.uid);
    Receive(steps, to, it->second, std::string("the operator's transfer of ") + from.user.uid);
  }
  for (const auto& [from, to] : {std::pair{alice, bob}, std::pair{bob, alice}}) {
    std::string own;
    std::int32_t code = OwnTransfer(from.engine, own);
    const std::string path = Sent(root, std::string(from.user.uid) + "-own.txt", own);
    if (!steps.Check(code == 0,
                     std::string(from.user.name) + " writes the transfer of the own " +
                         "certificate: " + Call(from.engine, "ExcludeSelfPublicKeyTransfer", code) +
                         " (" + path + ")"))
      continue;
    bool same = false;
    code = TransfersMatch(to.engine, own, fromOperator[from.user.uid], same);
    steps.Check(code == 0 && same, std::string(to.user.name) +
                                       " checks it names the user the operator vouched for: " +
                                       Call(to.engine, "CertAndRequestTransferMatch", code) +
                                       (same ? ", the same UID" : ", another UID"));
    code = to.engine.api().IncludePublicKeyTransfer(to.engine.handle(), own.c_str());
    steps.Check(code == 0, std::string(to.user.name) + " installs it, the stored copy kept as " +
                               ".old: " + Call(to.engine, "IncludePublicKeyTransfer", code));
  }

  // The authority's next key: its roll-over certificate (certified by key 0, which the users
  // trust) goes out under the name the users' engines look it up by (key number + ".aut").
  const std::string aut = Native(root + kOperator.name + "/inbox/1.aut");
  std::error_code error;
  fs::copy_file(Native(root + "ca-1/rollover.aut"), aut, fs::copy_options::overwrite_existing,
                error);
  std::string t;
  std::int32_t code = FileTransfer(op.engine, aut, t);
  if (!steps.Check(code == 0, "the operator writes the transfer of the authority's key 1: " +
                                  Call(op.engine, "GetPublicKeyTransferByFile", code)))
    return;
  Sent(root, "CA.1-key-1.txt", t);
  for (const Party& user : {alice, bob}) {
    code = user.engine.api().IncludeCACertificateFromTransfer(user.engine.handle(), t.c_str());
    steps.Check(code == 0,
                std::string(user.user.name) + " installs it as an authority " +
                    "certificate: " + Call(user.engine, "IncludeCACertificateFromTransfer", code));
  }
}

// Alice's detached signature, checked by bob; the signature, for the steps after the renewal.
std::vector<std::uint8_t> DetachedSignature(Steps& steps, const Engine& alice, const Engine& bob,
                                            const Bytes& text) {
  std::printf("detached signature:\n");
  std::vector<std::uint8_t> signature;
  std::int32_t code = Sign(alice, text, "", signature);
  if (!steps.Check(code == 0, "alice signs the sample text: " + Call(alice, "SignData", code) +
                                  ", " + std::to_string(signature.size()) + "-byte signature"))
    return signature;
  std::string signer;
  code = Verify(bob, text, signature, true, signer);
  if (!steps.Check(code == 0 && signer == kAlice.uid,
                   "bob verifies it: " + Call(bob, "VerifyData", code) + ", signer " + signer))
    return signature;
  signer.clear();
  code = Verify(bob, text, signature, false, signer);
  if (!steps.Check(code == 0 && signer == kAlice.uid,
                   "bob verifies it without the validity check: " +
                       Call(bob, "VerifySignWOCheckValidity", code) + ", signer " + signer))
    return signature;
  Bytes altered(text.view());
  altered.data()[0] ^= 1;
  code = Verify(bob, altered, signature, true, signer);
  steps.Check(code != 0, "bob checks it against the altered text: " +
                             Call(bob, "VerifyData", code) + " (must be refused)");
  return signature;
}

void AppendedSignature(Steps& steps, const Engine& alice, const Engine& bob, const Bytes& text) {
  std::printf("appended signature:\n");
  Bytes signedText(text.view());
  std::int32_t code = AddSign(alice, signedText, "");
  if (!steps.Check(code == 0, "alice appends her signature: " + Call(alice, "AddSign", code) +
                                  ", " + std::to_string(text.size()) + " -> " +
                                  std::to_string(signedText.size()) + " bytes"))
    return;
  std::string signer;
  code = RemoveSign(bob, signedText, signer);
  steps.Check(code == 0 && signer == kAlice.uid && signedText == text,
              "bob verifies and removes it: " + Call(bob, "RemoveSign", code) + ", signer " +
                  signer + (signedText == text ? ", the text as before" : ", the text differs"));
}

// Alice encrypts for `recipients`; each reader decrypts and compares with the original.
void Encryption(Steps& steps, const Engine& alice, const std::string& recipients,
                const std::vector<Party>& readers, const Bytes& text) {
  std::printf("encryption for %s:\n", recipients.c_str());
  Bytes cipher(text.view());
  const std::int32_t code = Encrypt(alice, cipher, recipients);
  if (!steps.Check(code == 0 && !(cipher == text),
                   "alice encrypts the sample text: " + Call(alice, "EncodeData", code) + ", " +
                       std::to_string(text.size()) + " -> " + std::to_string(cipher.size()) +
                       " bytes"))
    return;
  for (const Party& reader : readers) {
    Bytes plain(cipher.view());
    const std::int32_t rc = Decrypt(reader.engine, plain);
    const std::string outcome = rc != 0         ? ""
                                : plain == text ? ", the original text"
                                                : ", another text";
    steps.Check(rc == 0 && plain == text, std::string(reader.user.name) + " decrypts it: " +
                                              Call(reader.engine, "DecodeData", rc) + outcome);
  }
}

// A removed certificate is refused, until the operator's transfer installs it again.
void RemovedCertificate(Steps& steps, const Party& alice, const Party& bob, const Bytes& text,
                        const std::string& fromOperator) {
  std::printf("a removed certificate:\n");
  std::int32_t code = bob.engine.api().RemoveCertificate(bob.engine.handle(), alice.user.uid);
  steps.Check(code == 0, std::string("bob removes alice's certificate: ") +
                             Call(bob.engine, "RemoveCertificate", code));
  std::vector<std::uint8_t> signature;
  code = Sign(alice.engine, text, "", signature);
  steps.Check(code == 0, "alice signs the sample text: " + Call(alice.engine, "SignData", code));
  std::string signer;
  code = Verify(bob.engine, text, signature, true, signer);
  steps.Check(code != 0, "bob checks her signature: " + Call(bob.engine, "VerifyData", code) +
                             " (must be refused)");
  code = bob.engine.api().IncludePublicKeyTransfer(bob.engine.handle(), fromOperator.c_str());
  steps.Check(code == 0, "bob installs the operator's transfer of it again: " +
                             Call(bob.engine, "IncludePublicKeyTransfer", code));
  code = Verify(bob.engine, text, signature, true, signer);
  steps.Check(code == 0 && signer == alice.user.uid,
              "bob checks her signature again: " + Call(bob.engine, "VerifyData", code));
}

// Alice renews her key through the authority under a new UID (her UID + "0"): the start step
// in her renewal directory, the authority's answer signed by its operator, the finish step. Bob
// installs the new certificate from the same transfer; alice's new signatures verify under the
// new UID, her earlier one under the old UID, whose certificate stays in the stores.
void Renewal(Steps& steps, const std::string& root, const Party& alice, const Party& bob,
             const Bytes& text, const std::vector<std::uint8_t>& oldSignature) {
  std::printf("key renewal through the authority:\n");
  const std::string dir = Native(root + kAlice.name + "/renewal/");
  std::error_code error;
  fs::create_directories(dir, error);
  std::int32_t mode = 0;
  std::string request;
  std::int32_t code = RenewalStart(alice.engine, dir, std::string(), &mode, request);
  const std::string requestFile = Sent(root, "renewal-request.txt", request);
  if (!steps.Check(code == 0 && mode == 1, "alice starts a renewal for a new UID: " +
                                               Call(alice.engine, "RemoteGenerateStartEx", code) +
                                               ", mode " + std::to_string(mode) +
                                               ", the request's transfer in " + requestFile))
    return;
  std::string report;
  code = StoredReport(alice.engine, "", report);
  const std::string firstLine = report.substr(0, report.find('\r'));
  steps.Check(code == 0, "alice reads the report on the pending request: " +
                             Call(alice.engine, "GetReport", code) + ", " + firstLine);
  const std::string answerFile = Native(root + "transfers/renewal-certificate.txt");
  if (!steps.Check(
          RunAuthority({"renew", "--authority", root + "ca-1", "--root", root, "--operator",
                        kOperator.name, "--in", requestFile, "--out", answerFile}),
          "the authority checks the request and its sender and answers with the "
          "certificate, signed by the operator"))
    return;
  const std::string answer = ReadTransferText(answerFile).value_or("");
  mode = 0;
  code = RenewalFinish(alice.engine, dir, answer, &mode);
  std::string uid;
  alice.engine.CurrentUserUid(uid);
  const std::string renewed = std::string(kAlice.uid) + "0";
  if (!steps.Check(code == 0 && uid == renewed,
                   "alice finishes it: " + Call(alice.engine, "RemoteGenerateFinishEx", code) +
                       ", mode " + std::to_string(mode) + ", current user " + uid))
    return;
  ShowReport(steps, bob, answer, "alice's new certificate");
  code = bob.engine.api().IncludePublicKeyTransfer(bob.engine.handle(), answer.c_str());
  steps.Check(code == 0, "bob installs it from the authority's transfer: " +
                             Call(bob.engine, "IncludePublicKeyTransfer", code));
  std::vector<std::uint8_t> signature;
  code = Sign(alice.engine, text, "", signature);
  steps.Check(code == 0, "alice signs with the new key: " + Call(alice.engine, "SignData", code));
  std::string signer;
  code = Verify(bob.engine, text, signature, true, signer);
  steps.Check(code == 0 && signer == renewed,
              "bob verifies it: " + Call(bob.engine, "VerifyData", code) + ", signer " + signer);
  code = Verify(bob.engine, text, oldSignature, true, signer);
  steps.Check(code == 0 && signer == kAlice.uid,
              "bob verifies her signature made with the old key: " +
                  Call(bob.engine, "VerifyData", code) + ", signer " + signer);
  const std::string saved = Native(root + "transfers/order-17.signed");
  code = alice.engine.api().SaveSignedDataToFile(
      alice.engine.handle(), text.data(), static_cast<std::int32_t>(text.size()), signature.data(),
      static_cast<std::int32_t>(signature.size()), saved.c_str());
  steps.Check(code == 0, "alice keeps the text with her new signature in one file: " +
                             Call(alice.engine, "SaveSignedDataToFile", code) + ", " + saved);
}

int RunDemo(const Library& library, std::string root, bool temporary, bool keepKeys,
            bool layOutOnly) {
  if (!root.empty() && root.back() != kSep) root.push_back(kSep);
  std::printf("loaded %s\nroot: %s%s\n", library.path().c_str(), root.c_str(),
              temporary ? " (temporary)" : "");
  if (!PrepareRoot(library, root, keepKeys)) {
    std::printf("demo: the deployment could not be laid out\n");
    return kExitFailed;
  }
  if (layOutOnly) {
    std::printf("demo: the deployment is laid out in %s\n", root.c_str());
    return kExitSuccess;
  }

  Steps steps;
  std::printf("engines:\n");
  Engine op(library.api());
  Engine alice(library.api());
  Engine bob(library.api());
  if (OpenUser(steps, library, op, root, kOperator) &&
      OpenUser(steps, library, alice, root, kAlice) && OpenUser(steps, library, bob, root, kBob)) {
    const Party o{kOperator, op}, a{kAlice, alice}, b{kBob, bob};
    BootstrapTrust(steps, root, o, {a, b});
    ExchangeThroughTransfers(steps, root, o, a, b);
    const Bytes text(kSampleText);
    const auto oldSignature = DetachedSignature(steps, alice, bob, text);
    AppendedSignature(steps, alice, bob, text);
    Encryption(steps, alice, std::string(kAlice.uid) + ";" + kBob.uid, {a, b}, text);
    Encryption(steps, alice, kBob.uid, {b}, text);
    const auto fromOperator = ReadTransferText(Native(root + "transfers/H.1-from-operator.txt"));
    RemovedCertificate(steps, a, b, text, fromOperator.value_or(""));
    Renewal(steps, root, a, b, text, oldSignature);
  }
  if (steps.failed() == 0)
    std::printf("demo: all %d steps succeeded\n", steps.count());
  else
    std::printf("demo: %d of %d steps failed\n", steps.failed(), steps.count());
  Result().Add("steps", std::int64_t{steps.count()}).Add("failed", std::int64_t{steps.failed()});
  return steps.failed() == 0 ? kExitSuccess : kExitFailed;
}

}  // namespace

int DemoCommand(const Library& library, const Invocation& call) {
  const bool temporary = call.args.empty();
  const std::string root = temporary ? TemporaryRoot() : fs::absolute(call.args[0]).string();
  // A root in use holds keys, certificates and kept settings that the demo would replace with
  // new ones: only --force (lay it out anew) or --keep-keys (keep what is there) may touch it.
  std::error_code error;
  if (!temporary && !call.Flag("--force") && !call.Flag("--keep-keys") && fs::exists(root, error) &&
      !fs::is_empty(root, error)) {
    return FileFailure(root +
                       " is not empty: the demo would make new keys for every party there.\n"
                       "  Give an empty or new directory, --keep-keys to keep the parties "
                       "already made, or --force to make them anew.");
  }
  Result().Add("root", temporary ? std::string() : root);
  const int exit =
      RunDemo(library, root, temporary, call.Flag("--keep-keys"), call.Flag("--lay-out-only"));
  if (temporary) {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  return exit;
}

}  // namespace vornak2::host
