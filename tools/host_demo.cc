// vornak2-host demo: a deployment with two users made by the test authority, and one engine per
// user doing what two correspondents do: sign and verify, append and remove signatures, encrypt
// for both or for one, and decrypt.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host_commands.h"
#include "host_explain.h"
#include "host_ops.h"
#include "platform/platform.h"

namespace vornak2::host {

namespace {

namespace fs = std::filesystem;

struct User {
  const char* name;  // the directory of the key set under the root
  const char* uid;
};
constexpr User kAlice = {"alice", "H.1"};
constexpr User kBob = {"bob", "H.2"};
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

// What a deployment has: the vendor library in ROOT/EXE/, an authority in ROOT/ca/, and the key
// sets of both users in ROOT/NAME/, each user's certificate in both certificate stores. The
// vendor library comes from VORNAK2_CC, else from beside the library the tool loaded (in the
// build tree and in an installed tree alike).
// A user's key set counts as laid out when its certificate and both users' certificates in its
// store are there.
bool KeySetPresent(const std::string& root, const User& user) {
  const fs::path dir = fs::path(root) / user.name;
  std::error_code error;
  if (!fs::exists(dir / "self.crt", error)) return false;
  for (const User& owner : {kAlice, kBob}) {
    const std::string_view uid = owner.uid;  // "H.N" -> crt/H/@/N.crt
    const std::size_t dot = uid.find('.');
    if (!fs::exists(
            dir / "crt" / uid.substr(0, dot) / "@" / (std::string(uid.substr(dot + 1)) + ".crt"),
            error))
      return false;
  }
  return true;
}

bool PrepareRoot(const Library& library, const std::string& root, bool keepKeys) {
  std::error_code error;
  fs::create_directories(fs::path(root) / "EXE", error);
  const std::string cc =
      platform::GetEnv("VORNAK2_CC")
          .value_or((fs::path(library.path()).parent_path() / kVendorLibrary).string());
  fs::copy_file(cc, fs::path(root) / "EXE" / kVendorLibrary, fs::copy_options::overwrite_existing,
                error);
  if (error) {
    std::fprintf(stderr, "vornak2-host: cannot place %s in %sEXE/: %s\n", cc.c_str(), root.c_str(),
                 error.message().c_str());
    return false;
  }
  std::printf("vendor library: %s -> %sEXE%c%s\n", cc.c_str(), root.c_str(), kSep, kVendorLibrary);

  if (keepKeys && KeySetPresent(root, kAlice) && KeySetPresent(root, kBob)) {
    std::printf("key sets of %s and %s: already in %s, kept\n", kAlice.name, kBob.name,
                root.c_str());
    return true;
  }
  std::printf("authority %s:\n", kAuthorityUid);
  if (fs::exists(fs::path(root) / "ca" / "authority.aut"))
    std::printf("  (already in %sca/)\n", root.c_str());
  else if (!RunAuthority({"create-authority", "--dir", root + "ca", "--uid", kAuthorityUid}))
    return false;
  for (const User& user : {kAlice, kBob}) {
    std::printf("key set of %s (%s):\n", user.name, user.uid);
    if (!RunAuthority({"bootstrap", "--authority", root + "ca", "--root", root + user.name, "--uid",
                       user.uid, "--force"}))
      return false;
  }
  std::printf("certificate exchange:\n");
  for (const User& owner : {kAlice, kBob}) {
    for (const User& store : {kAlice, kBob}) {
      if (!RunAuthority({"install-cert", "--cert", root + owner.name + kSep + "self.crt", "--root",
                         root + store.name}))
        return false;
    }
  }
  return true;
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

// Configures an engine for a user's key set; true when its UID is the user's.
bool OpenUser(Steps& steps, const Library& library, Engine& engine, const std::string& root,
              const User& user) {
  EngineSetup setup;
  setup.root = root;
  setup.AddUser(user.name);
  if (!steps.Check(static_cast<bool>(engine), std::string("engine for ") + user.name)) return false;
  if (Configure(library, engine, setup) != kExitSuccess)
    return steps.Check(false, std::string("configuring ") + user.name + "'s engine");
  std::string uid;
  const std::int32_t code = engine.CurrentUserUid(uid);
  return steps.Check(code == 0 && uid == user.uid, std::string(user.name) + "'s engine: " +
                                                       Call(engine, "GetCurrentUserUID", code) +
                                                       ", current user " + uid);
}

void DetachedSignature(Steps& steps, const Engine& alice, const Engine& bob, const Bytes& text) {
  std::printf("detached signature:\n");
  std::vector<std::uint8_t> signature;
  std::int32_t code = Sign(alice, text, "", signature);
  if (!steps.Check(code == 0, "alice signs the sample text: " + Call(alice, "SignData", code) +
                                  ", " + std::to_string(signature.size()) + "-byte signature"))
    return;
  std::string signer;
  code = Verify(bob, text, signature, true, signer);
  if (!steps.Check(code == 0 && signer == kAlice.uid,
                   "bob verifies it: " + Call(bob, "VerifyData", code) + ", signer " + signer))
    return;
  signer.clear();
  code = Verify(bob, text, signature, false, signer);
  if (!steps.Check(code == 0 && signer == kAlice.uid,
                   "bob verifies it without the validity check: " +
                       Call(bob, "VerifySignWOCheckValidity", code) + ", signer " + signer))
    return;
  Bytes altered(text.view());
  altered.data()[0] ^= 1;
  code = Verify(bob, altered, signature, true, signer);
  steps.Check(code != 0, "bob checks it against the altered text: " +
                             Call(bob, "VerifyData", code) + " (must be refused)");
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

// A user's engine, for the steps that several users take in turn.
struct Reader {
  const User& user;
  const Engine& engine;
};

// Alice encrypts for `recipients`; each reader decrypts and compares with the original.
void Encryption(Steps& steps, const Engine& alice, const std::string& recipients,
                const std::vector<Reader>& readers, const Bytes& text) {
  std::printf("encryption for %s:\n", recipients.c_str());
  Bytes cipher(text.view());
  const std::int32_t code = Encrypt(alice, cipher, recipients);
  if (!steps.Check(code == 0 && !(cipher == text),
                   "alice encrypts the sample text: " + Call(alice, "EncodeData", code) + ", " +
                       std::to_string(text.size()) + " -> " + std::to_string(cipher.size()) +
                       " bytes"))
    return;
  for (const Reader& reader : readers) {
    Bytes plain(cipher.view());
    const std::int32_t rc = Decrypt(reader.engine, plain);
    const std::string outcome = rc != 0         ? ""
                                : plain == text ? ", the original text"
                                                : ", another text";
    steps.Check(rc == 0 && plain == text, std::string(reader.user.name) + " decrypts it: " +
                                              Call(reader.engine, "DecodeData", rc) + outcome);
  }
}

int RunDemo(const Library& library, std::string root, bool temporary, bool keepKeys) {
  if (!root.empty() && root.back() != kSep) root.push_back(kSep);
  std::printf("loaded %s\nroot: %s%s\n", library.path().c_str(), root.c_str(),
              temporary ? " (temporary)" : "");
  if (!PrepareRoot(library, root, keepKeys)) {
    std::printf("demo: the deployment could not be laid out\n");
    return kExitFailed;
  }

  Steps steps;
  std::printf("engines:\n");
  Engine alice(library.api());
  Engine bob(library.api());
  if (OpenUser(steps, library, alice, root, kAlice) && OpenUser(steps, library, bob, root, kBob)) {
    const Bytes text(kSampleText);
    DetachedSignature(steps, alice, bob, text);
    AppendedSignature(steps, alice, bob, text);
    Encryption(steps, alice, std::string(kAlice.uid) + ";" + kBob.uid,
               {{kAlice, alice}, {kBob, bob}}, text);
    Encryption(steps, alice, kBob.uid, {{kBob, bob}}, text);
  }
  if (steps.failed() == 0)
    std::printf("demo: all %d steps succeeded\n", steps.count());
  else
    std::printf("demo: %d of %d steps failed\n", steps.failed(), steps.count());
  return steps.failed() == 0 ? kExitSuccess : kExitFailed;
}

}  // namespace

int DemoCommand(const Library& library, const Invocation& call) {
  const bool temporary = call.args.empty();
  const std::string root = temporary ? TemporaryRoot() : fs::absolute(call.args[0]).string();
  const int exit = RunDemo(library, root, temporary, call.Flag("--keep-keys"));
  if (temporary) {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  return exit;
}

}  // namespace vornak2::host
