// The test authority tool end to end: its files, their permissions, and the certificate it
// issues checked through the library's entry points.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "support.h"

namespace cctest {
namespace {

// Runs a program with the arguments; the exit code, its output in `output` when asked for.
int RunTool(const std::string& tool, const std::vector<std::string>& args,
            std::string* output = nullptr) {
  std::vector<std::string> argv = {tool};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string dropped;
  return vornak2::platform::RunProgram(argv, output != nullptr ? output : &dropped).value_or(-1);
}

// Runs the tool with the arguments, its output dropped; the exit code.
int RunCa(const std::vector<std::string>& args) {
  return RunTool(CA_TOOL_PATH, args);
}

// The permission bits of a file, 0 when it is missing. Windows keeps who may read a file in its
// access list, not in these bits: there only the file's presence is seen, and kOwnerOnly stands
// for any file.
#ifdef _WIN32
constexpr unsigned kOwnerOnly = 1;
unsigned Mode(const std::string& path) {
  return std::filesystem::exists(path) ? kOwnerOnly : 0;
}
#else
constexpr unsigned kOwnerOnly = 0600;
unsigned Mode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}
#endif

// Status of a certificate with a lookup that reads ".aut" files from a secret-key directory,
// the way the adapter finds them: SEC/<issuer>/<number>.aut.
std::int32_t StatusWithAutFiles(const std::string& certText, const std::string& secDir) {
  static thread_local std::string dir, text;
  dir = secDir;
  Ctx ctx = NewCtx();
  ctx->authorityLookup = [](const char* name, std::int32_t number) -> const char* {
    text = ReadFile(dir + "/" + name + "/" + std::to_string(number) + ".aut");
    return text.empty() ? nullptr : text.c_str();
  };
  CcCertInfo* raw = nullptr;
  const std::int32_t rc = Cc().__CertInfo(ctx.get(), certText.c_str(), &raw);
  CertInfo info(raw);
  return rc != 0 ? rc : info->status;
}

TEST(CcAuthorityTool, CreatesAuthorityAndBootstrapsUsers) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", alice = tmp.path() + "/alice",
                    bob = tmp.path() + "/bob";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.7", "--key-number", "3"}), 0);
  EXPECT_EQ(Mode(ca + "/authority.sec"), kOwnerOnly);
  ASSERT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", alice, "--uid", "H.0"}), 0);
  ASSERT_EQ(
      RunCa({"bootstrap", "--authority", ca, "--root", bob, "--uid", "AB.12", "--key-number", "4"}),
      0);

  EXPECT_EQ(Mode(alice + "/sec/0.sec"), kOwnerOnly);
  EXPECT_EQ(Mode(alice + "/@rand"), kOwnerOnly);
  EXPECT_NE(Mode(alice + "/self.crt"), 0u);
  EXPECT_NE(Mode(alice + "/sec/CA.7/3.aut"), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(alice + "/crt"));
  EXPECT_TRUE(std::filesystem::is_empty(alice + "/crt"));
  EXPECT_NE(Mode(bob + "/sec/4.sec"), 0u);

  // The user's certificate is valid through the library, with the authority from the .aut file.
  const std::string aliceCert = ReadFile(alice + "/self.crt");
  EXPECT_EQ(StatusWithAutFiles(aliceCert, alice + "/sec"), 0);
  // Without the authority file the issuer is missing.
  EXPECT_EQ(StatusWithAutFiles(aliceCert, tmp.path()), CC_E_AUTHORITY_NOT_FOUND);

  // The secret key and the certificate belong together: a signature verifies.
  std::mt19937 rng(5);
  const auto data = RandomBytes(500, rng);
  Ctx ctx = NewCtx();
  const auto sig = SignChunked(ctx.get(), ReadFile(alice + "/sec/0.sec"), data);
  EXPECT_EQ(VerifyChunked(ctx.get(), aliceCert, data, sig.data()), 0);

  // Alice's certificate lands in Bob's store at its UID's path.
  ASSERT_EQ(RunCa({"install-cert", "--cert", alice + "/self.crt", "--root", bob}), 0);
  EXPECT_EQ(ReadFile(bob + "/crt/H/@/0.crt"), aliceCert);
  ASSERT_EQ(RunCa({"install-cert", "--cert", bob + "/self.crt", "--root", alice}), 0);
  EXPECT_EQ(StatusWithAutFiles(ReadFile(alice + "/crt/AB/@/1/2.crt"), alice + "/sec"), 0);

  // A second bootstrap does not overwrite the secret key without --force.
  const std::string before = ReadFile(alice + "/sec/0.sec");
  EXPECT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", alice, "--uid", "H.0"}), 1);
  EXPECT_EQ(ReadFile(alice + "/sec/0.sec"), before);
  EXPECT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", alice, "--uid", "H.0", "--force"}), 0);
  EXPECT_NE(ReadFile(alice + "/sec/0.sec"), before);
}

TEST(CcAuthorityTool, IssuesCertificatesFromRequests) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", keys = tmp.path() + "/keys";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.0"}), 0);
  ASSERT_EQ(RunCa({"keygen", "--dir", keys, "--uid", "K.5", "--key-number", "2"}), 0);
  EXPECT_EQ(Mode(keys + "/2.sec"), kOwnerOnly);
  const std::string secDir = tmp.path() + "/sec";
  std::filesystem::create_directories(secDir + "/CA.0");
  std::filesystem::copy_file(ca + "/authority.aut", secDir + "/CA.0/0.aut");

  struct Case {
    std::vector<std::string> extra;
    std::int32_t status;
  } const cases[] = {
      {{}, 0},
      {{"--days", "30"}, 0},
      {{"--not-before", "01.01.2001 00:00", "--not-after", "02.01.2001 00:00"}, -1},  // outside
      {{"--not-before", "01.01.2020 00:00", "--not-after", "01.01.2099 00:00"}, 0},   // clipped
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {
        "issue", "--authority", ca, "--request", keys + "/5.pub", "--out", tmp.path() + "/k.crt"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::filesystem::remove(tmp.path() + "/k.crt");
    if (c.status < 0) {
      EXPECT_EQ(RunCa(args), 1);
      EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/k.crt"));
      continue;
    }
    ASSERT_EQ(RunCa(args), 0);
    EXPECT_EQ(StatusWithAutFiles(ReadFile(tmp.path() + "/k.crt"), secDir), c.status);
  }
  // The index lists the three certificates issued, by serial number, UID and key number.
  const std::string index = ReadFile(ca + "/index.txt");
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = index.find("\tK.5\t2\t", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 3u) << index;
  cc::PublicDocument last;
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(tmp.path() + "/k.crt"), last), 0);
  std::string line = "\n";
  line.append(cc::HexEncode(last.serial)).append("\tK.5\t2\t");
  line.append(cc::FormatDate(last.notBefore)).append("\t").append(cc::FormatDate(last.notAfter));
  EXPECT_NE(index.find(line), std::string::npos) << index;
}

// The authority's next key: a complete authority in the new directory, and the CA certificate
// of the next key signed by the current one.
TEST(CcAuthorityTool, RollsOverToTheNextKey) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", next = tmp.path() + "/ca-next";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.3", "--key-number", "4"}), 0);
  ASSERT_EQ(RunCa({"rollover", "--authority", ca, "--out", next}), 0);
  EXPECT_EQ(Mode(next + "/authority.sec"), kOwnerOnly);
  EXPECT_EQ(RunCa({"rollover", "--authority", ca, "--out", next}), 1);  // exists already
  EXPECT_EQ(RunCa({"rollover", "--authority", ca, "--out", tmp.path() + "/x", "--key-number",
                   "4"}),
            2);

  cc::PublicDocument current, self, rollover;
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(ca + "/authority.aut"), current), 0);
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(next + "/authority.aut"), self), 0);
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(next + "/rollover.aut"), rollover), 0);
  EXPECT_TRUE(self.SelfIssued() && self.authority);
  EXPECT_EQ(self.keyNumber, 5);
  EXPECT_TRUE(rollover.authority);
  EXPECT_EQ(rollover.uid, "CA.3");
  EXPECT_EQ(rollover.keyNumber, 5);
  EXPECT_EQ(rollover.issuerKeyNumber, 4);
  EXPECT_EQ(rollover.publicKey, self.publicKey);
  EXPECT_EQ(rollover.authorityKeyId, current.keyId);
  EXPECT_TRUE(cc::VerifyDocument(rollover, current.curve, current.publicKey));
  // The next key carries on the authority's index, the roll-over entered.
  const std::string index = ReadFile(ca + "/index.txt");
  EXPECT_EQ(ReadFile(next + "/index.txt"), index);
  EXPECT_NE(index.find(cc::HexEncode(rollover.serial) + "\tCA.3\t5\t"), std::string::npos) << index;
  EXPECT_FALSE(cc::VerifyDocument(rollover, self.curve, self.publicKey));

  // The next key issues certificates that check against its own authority certificate.
  ASSERT_EQ(RunCa({"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1"}), 0);
  ASSERT_EQ(RunCa({"issue", "--authority", next, "--request", tmp.path() + "/k/1.pub", "--out",
                   tmp.path() + "/k.crt"}),
            0);
  std::filesystem::create_directories(tmp.path() + "/sec/CA.3");
  std::filesystem::copy_file(next + "/authority.aut", tmp.path() + "/sec/CA.3/5.aut");
  EXPECT_EQ(StatusWithAutFiles(ReadFile(tmp.path() + "/k.crt"), tmp.path() + "/sec"), 0);
}

// Renewals through the library: the user's start step (the host tool) signs the request, and the
// authority issues only for the UID of whoever signed it, the UID its start step derives, or the
// one UID the operator names; an issued UID never goes to a second key holder. A refusal leaves
// no answer and the index as it was.
TEST(CcAuthorityTool, RenewsOnlyForTheSenderItsDerivedUidOrTheNamedUid) {
#ifndef HOST_TOOL_PATH
  GTEST_SKIP() << "built without the host tool";
#else
  TempDir tmp;
  // Paths in the system's own form: the library expands them as given.
  const auto native = [&](std::string path) {
    std::replace(path.begin(), path.end(), '/', vornak2::platform::kPathSeparator);
    return tmp.path() + vornak2::platform::kPathSeparator + path;
  };
  const std::string root = native("root/"), ca = native("root/ca"),
                    index = native("root/ca/index.txt");
  const std::filesystem::path library(CC_LIBRARY_PATH);
  std::filesystem::create_directories(native("root/EXE"));
  std::filesystem::copy_file(library, native("root/EXE/" + library.filename().string()));
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.1"}), 0);
  const std::map<std::string, std::string> uids = {
      {"operator", "OP.1"}, {"alice", "A.1"}, {"bob", "H.2"}};
  for (const auto& [name, uid] : uids)
    ASSERT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", root + name, "--uid", uid}), 0);
  for (const char* name : {"alice", "bob"})
    ASSERT_EQ(RunCa({"install-cert", "--cert", native("root/" + std::string(name) + "/self.crt"),
                     "--root", root + "operator"}),
              0);
  // The index so far in the older format, without key digests and holders.
  {
    std::string old, line;
    std::istringstream lines(ReadFile(index));
    while (std::getline(lines, line)) {
      std::size_t at = 0;
      for (int tab = 0; tab < 6 && at != std::string::npos; ++tab) at = line.find('\t', at + 1);
      old += line.substr(0, at) + "\n";
    }
    std::ofstream(index, std::ios::binary | std::ios::trunc) << old;
  }
  // carol's UID, issued by the operator's own act in the current format.
  ASSERT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", root + "carol", "--uid", "C.3"}), 0);

  int run = 0;
  // A renewal started by `user` (for `startUid` when given), answered with `extra` arguments.
  const auto renew = [&](const std::string& user, const std::optional<std::string>& startUid,
                         const std::vector<std::string>& extra, std::string& answer,
                         std::string& output) {
    const std::string dir = native("renewal-" + std::to_string(++run));
    const std::string request = dir + ".txt";
    answer = dir + "-answer.txt";
    std::filesystem::create_directories(dir);
    std::vector<std::string> start = {"renew-start", "--root", root,    "--user", user,
                                      "--dir",       dir,      "--out", request};
    if (startUid) start.insert(start.end(), {"--uid", *startUid});
    EXPECT_EQ(RunTool(HOST_TOOL_PATH, start, &output), 0) << output;
    std::vector<std::string> args = {"renew", "--authority", ca,         "--root",
                                     root,    "--operator",  "operator", "--in",
                                     request, "--out",       answer};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTool(CA_TOOL_PATH, args, &output);
  };

  struct Case {
    const char* what;
    std::string user;
    std::optional<std::string> startUid;  // the start step's --uid
    std::vector<std::string> extra;       // the authority's extra arguments
    std::string issued;                   // the UID issued; empty: refused
  } const cases[] = {
      {"own UID", "bob", std::nullopt, {}, "H.2"},
      {"derived UID", "bob", "", {}, "H.20"},
      {"derived UID again, for its recorded holder", "bob", "", {}, "H.20"},
      {"another user's UID", "alice", "H.2", {}, ""},
      {"another user's UID (older index line), named", "alice", "H.2", {"--uid", "H.2"}, ""},
      {"a UID issued by the operator, named", "alice", "C.3", {"--uid", "C.3"}, ""},
      {"a new UID, named", "alice", "A.7", {"--uid", "A.7"}, "A.7"},
      {"that UID for a second key holder, named", "bob", "A.7", {"--uid", "A.7"}, ""},
      {"the own UID where the operator named another", "alice", std::nullopt, {"--uid", "A.7"}, ""},
      {"its holder renews that UID", "alice", "A.7", {"--uid", "A.7"}, "A.7"},
  };
  for (const Case& c : cases) {
    const std::string before = ReadFile(index);
    std::string answer, output;
    const int exit = renew(c.user, c.startUid, c.extra, answer, output);
    const std::string after = ReadFile(index);
    if (c.issued.empty()) {
      EXPECT_EQ(exit, 1) << c.what << ": " << output;
      EXPECT_NE(output.find("refused"), std::string::npos) << c.what << ": " << output;
      EXPECT_FALSE(std::filesystem::exists(answer)) << c.what;
      EXPECT_EQ(after, before) << c.what;
      continue;
    }
    EXPECT_EQ(exit, 0) << c.what << ": " << output;
    EXPECT_TRUE(std::filesystem::exists(answer)) << c.what;
    // One line more: the UID issued, its key's digest and the sender as holder.
    const std::size_t last = after.rfind('\n', after.size() - 2) + 1;
    const std::string line = after.substr(last);
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'),
              std::count(before.begin(), before.end(), '\n') + 1)
        << c.what;
    EXPECT_NE(line.find("\t" + c.issued + "\t"), std::string::npos) << c.what << ": " << line;
    EXPECT_TRUE(line.ends_with("\t" + uids.at(c.user) + "\n")) << c.what << ": " << line;
  }

  // A line the authority never writes stops every renewal.
  std::ofstream(index, std::ios::binary | std::ios::app) << "not\tan\tindex line\n";
  const std::string damaged = ReadFile(index);
  std::string answer, output;
  EXPECT_EQ(renew("bob", std::nullopt, {}, answer, output), 1) << output;
  EXPECT_NE(output.find("is damaged at line"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(answer));
  EXPECT_EQ(ReadFile(index), damaged);
#endif
}

// Two commands never extend the index from the same old copy: while another holds the index's
// lock, a command waits, and what it writes comes after what the other wrote.
TEST(CcAuthorityTool, WaitsForTheIndexLock) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", out = tmp.path() + "/k.crt";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.0"}), 0);
  ASSERT_EQ(RunCa({"keygen", "--dir", tmp.path() + "/keys", "--uid", "K.5"}), 0);
  vornak2::platform::FileLock lock;
  ASSERT_EQ(lock.TryLock(ca + "/index.lock"), vornak2::platform::FileLock::Attempt::kLocked);
  int exit = -1;
  std::thread issue([&] {
    exit =
        RunCa({"issue", "--authority", ca, "--request", tmp.path() + "/keys/5.pub", "--out", out});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(ca + "/index.txt"));
  lock.Unlock();
  issue.join();
  EXPECT_EQ(exit, 0);
  EXPECT_NE(ReadFile(ca + "/index.txt").find("\tK.5\t0\t"), std::string::npos);
}

// Public files (certificates, requests, authority certificates) are created 0644 with the umask
// applied; secret files and the random state are 0600 whatever the umask.
TEST(CcAuthorityTool, PublicFilesFollowTheUmaskSecretFilesStayOwnerOnly) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no umask; who may read a file is in its access list";
#else
  const struct {
    mode_t umask;
    unsigned publicMode;
  } cases[] = {{022, 0644}, {077, 0600}, {027, 0640}, {0, 0644}};
  for (const auto& c : cases) {
    TempDir tmp;
    const std::string ca = tmp.path() + "/ca", user = tmp.path() + "/user",
                      keys = tmp.path() + "/keys";
    const mode_t saved = ::umask(c.umask);
    const bool made =
        RunCa({"create-authority", "--dir", ca, "--uid", "CA.1"}) == 0 &&
        RunCa({"bootstrap", "--authority", ca, "--root", user, "--uid", "U.1"}) == 0 &&
        RunCa({"keygen", "--dir", keys, "--uid", "K.5"}) == 0 &&
        RunCa({"issue", "--authority", ca, "--request", keys + "/5.pub", "--out",
               keys + "/k.crt"}) == 0;
    ::umask(saved);
    ASSERT_TRUE(made) << std::oct << c.umask;
    for (const std::string& file : {ca + "/authority.aut", user + "/self.crt",
                                    user + "/sec/CA.1/0.aut", keys + "/5.pub", keys + "/k.crt"})
      EXPECT_EQ(Mode(file), c.publicMode) << file << " under umask " << std::oct << c.umask;
    for (const std::string& file :
         {ca + "/authority.sec", user + "/sec/0.sec", user + "/@rand", keys + "/0.sec"})
      EXPECT_EQ(Mode(file), 0600u) << file << " under umask " << std::oct << c.umask;
  }
#endif
}

TEST(CcAuthorityTool, BadInputFailsWithClearExitCodes) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.0"}), 0);
  std::filesystem::create_directories(tmp.path() + "/junk");
  {
    std::FILE* f = std::fopen((tmp.path() + "/junk/bad.pub").c_str(), "w");
    std::fputs("not a request\n", f);
    std::fclose(f);
  }
  struct Case {
    std::vector<std::string> args;
    int exit;
  } const cases[] = {
      {{}, 2},
      {{"frobnicate"}, 2},
      {{"create-authority", "--dir", ca}, 2},                                 // no UID
      {{"create-authority", "--dir", ca, "--uid", "CA.0"}, 1},                // exists already
      {{"create-authority", "--dir", tmp.path() + "/x", "--uid", "a b"}, 2},  // bad UID
      {{"create-authority", "--dir", tmp.path() + "/x", "--uid", "X.1", "--days", "0"}, 2},
      {{"create-authority", "--dir", tmp.path() + "/x", "--uid", "X.1", "--curve", "p256"}, 2},
      {{"bootstrap", "--authority", tmp.path() + "/none", "--root", tmp.path() + "/r", "--uid",
        "H.0"},
       1},
      {{"bootstrap", "--authority", ca, "--root", tmp.path() + "/r", "--uid", "H.0", "--key-number",
        "x"},
       2},
      {{"issue", "--authority", ca, "--request", tmp.path() + "/junk/bad.pub", "--out",
        tmp.path() + "/o.crt"},
       1},
      {{"issue", "--authority", ca, "--request", tmp.path() + "/missing.pub", "--out",
        tmp.path() + "/o.crt"},
       1},
      {{"install-cert", "--cert", tmp.path() + "/junk/bad.pub", "--root", tmp.path() + "/r"}, 1},
      {{"install-cert", "--cert", ca + "/authority.aut"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "--unknown", "1"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "stray"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "--uid", "K.2"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "--days"}, 2},
      {{"keygen", "--dir=" + tmp.path() + "/k2", "--uid=K.2", "--days=30"}, 0},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(RunCa(c.args), c.exit) << joined;
  }
  EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/o.crt"));
  EXPECT_EQ(RunCa({"--help"}), 0);
}

}  // namespace
}  // namespace cctest
