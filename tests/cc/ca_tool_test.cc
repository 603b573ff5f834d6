// The test authority tool end to end: its files, their permissions, and the certificate it
// issues checked through the library's entry points.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/platform.h"
#include "support.h"

namespace cctest {
namespace {

// Runs the tool with the arguments, its output dropped; the exit code.
int RunCa(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {CA_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  return vornak2::platform::RunProgram(argv, &output).value_or(-1);
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
