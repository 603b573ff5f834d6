// The binding over the real vendor library: loading, contexts, random sources, certificate
// queries, reports and key generation.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include <cstring>

#include "binding_test_util.h"
#include "scratch_dir.h"
#include "support/files.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;

TEST(BindingLoad, MissingOrIncompleteLibraryIsReportedNotThrown) {
  TestRoot::Get();
  TCComDLL missing("/no/such/dir/libcc.so");
  EXPECT_FALSE(missing.Loaded());
  EXPECT_FALSE(missing.Complete());
  EXPECT_EQ(missing.Entries()._InitCryptCtx, nullptr);

  TCComDLL incomplete(IncompleteLibraryFile());
  EXPECT_TRUE(incomplete.Loaded());
  EXPECT_FALSE(incomplete.Complete());
  EXPECT_EQ(incomplete.Entries()._GetLibraryVersion, nullptr);
  EXPECT_NE(incomplete.Entries().__CertInfo, nullptr);  // the lookups went on past the gap
}

// ---- contexts ----

class ContextTest : public BindingTest {};

TEST_F(ContextTest, ConfigurationFollowsTheUID) {
  const UserKeys& u = root_->User("ctx", "X.0");
  CcContext* ctx = nullptr;
  ASSERT_EQ(dll_->CreateContext(ctx, "", u.secretDir, u.certDir, "", ""), 0);
  EXPECT_EQ(ctx->authorityLookup, nullptr);  // no UID: no identifier, paths or lookup
  dll_->FreeContext(ctx);

  ASSERT_EQ(dll_->CreateContext(ctx, u.uid, u.secretDir, u.certDir, "", ""), 0);
  EXPECT_EQ(ctx->authorityLookup, &AuthorityKeyLookup);
  dll_->FreeContext(ctx);
  dll_->FreeContext(nullptr);
}

TEST_F(ContextTest, FailingStepReleasesTheContext) {
  struct Case {
    std::string uid, publicDir, cipher, hash;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"X.0", "", "DES", "", -67},
      {"X.0", "", "", "SQR", -66},
      {"X.0", std::string(5000, 'p'), "", "", -45},  // the library refuses such a path
      {"", "", "28147-ECB", "MD5", 0},
  };
  for (const Case& c : cases) {
    CcContext* ctx = reinterpret_cast<CcContext*>(&ctx);
    EXPECT_EQ(dll_->CreateContext(ctx, c.uid, "", c.publicDir, c.cipher, c.hash), c.expected)
        << c.cipher << c.hash;
    EXPECT_EQ(ctx == nullptr, c.expected != 0);
    dll_->FreeContext(ctx);
  }
}

// ---- random sources ----

bool FailingFill(void*, std::size_t) noexcept {
  errno = EIO;
  return false;
}
bool SilentFailingFill(void*, std::size_t) noexcept {
  errno = 0;
  return false;
}
int Errno() noexcept {
  return errno;
}

TEST_F(ContextTest, HardwareSourceFailuresMapToTheirCodes) {
  std::uint8_t bytes[16] = {};
  // A build without a generator, and a machine without one.
  dll_->SetHardwareRandom(std::make_unique<TIntelProvider>(HardwareRandomSource{}));
  EXPECT_EQ(dll_->InitRandom(1), 7);
  EXPECT_EQ(dll_->GetRandomBytes(1, bytes, 16), 7);
  dll_->SetHardwareRandom(
      std::make_unique<TIntelProvider>(HardwareRandomSource{true, false, &FailingFill, &Errno}));
  EXPECT_EQ(dll_->InitRandom(1), 7);

  // A generator that refuses: the error code, retried on every request.
  dll_->SetHardwareRandom(
      std::make_unique<TIntelProvider>(HardwareRandomSource{true, true, &FailingFill, &Errno}));
  EXPECT_EQ(dll_->InitRandom(1), 7);
  EXPECT_EQ(dll_->GetRandomBytes(1, bytes, 16), EIO);
  EXPECT_EQ(dll_->GetRandomBytes(1, bytes, 16), EIO);
  EXPECT_FALSE(dll_->HardwareRandom()->Acquired());
  EXPECT_EQ(dll_->SeedRandom(1), 0);
  // A refusal that leaves no error code must still not read as success.
  dll_->SetHardwareRandom(std::make_unique<TIntelProvider>(
      HardwareRandomSource{true, true, &SilentFailingFill, &Errno}));
  EXPECT_NE(dll_->GetRandomBytes(1, bytes, 16), 0);
}

TEST_F(ContextTest, RandomSourcesDeliverBytes) {
  for (std::int32_t kind : {0, 1}) {
    if (kind == 1 && !PlatformHardwareRandom().present) continue;
#ifdef _WIN32
    // CryptoAPI is there, but the hardware provider need not be installed (it is not under wine).
    if (kind == 1 && dll_->InitRandom(kind) != 0) continue;
#endif
    ASSERT_EQ(dll_->InitRandom(kind), 0) << kind;
    std::uint8_t a[32] = {}, b[32] = {};
    ASSERT_EQ(dll_->GetRandomBytes(kind, a, sizeof a), 0);
    ASSERT_EQ(dll_->GetRandomBytes(kind, b, sizeof b), 0);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_EQ(dll_->SeedRandom(kind), 0);
    dll_->Entries()._FreeRand();
  }
}

// ---- certificates, reports, key generation ----

class CertificateTest : public BindingTest {
 protected:
  void SetUp() override {
    BindingTest::SetUp();
    user_ = &root_->User("certs", "R.0");
    ASSERT_EQ(Prepare(*user_), 0);
  }
  const UserKeys* user_ = nullptr;
};

TEST_F(CertificateTest, UIDAndKeyNumberOfACertificateFile) {
  ScratchDir scratch;
  WriteText(scratch / "junk.crt", "not a certificate");
  EXPECT_EQ(dll_->GetCertificateUID(user_->certFile), "R.0");
  EXPECT_EQ(dll_->GetCertificateKeyNumber(user_->certFile), 0);
  for (const std::string& bad : {scratch / "missing.crt", scratch / "junk.crt"}) {
    EXPECT_EQ(dll_->GetCertificateUID(bad), "");
    EXPECT_EQ(dll_->GetCertificateKeyNumber(bad), -1);
  }
}

TEST_F(CertificateTest, ReportOnAStoredCertificate) {
  const UserKeys& u = *user_;
  char report[2048];
  ASSERT_EQ(dll_->GetCertificateReport(u.uid, u.secretDir, u.certDir, u.randomFile, u.uid, report,
                                       sizeof report),
            0);
  const std::string text = report;
  const std::string cert = ReadText(u.certFile);
  EXPECT_EQ(text.rfind("UID=R.0\r\nKN=0\r\nICN=CA.1\r\nIKN=0\r\nNotBefore=", 0), 0u) << text;
  EXPECT_NE(text.find(":00\r\nPKey=\r\n" + cert + "\r\n\r\n"), std::string::npos);
  EXPECT_EQ(text.size() - text.rfind("PKey=\r\n"), 7 + cert.size() + 4);

  char fromText[2048];
  ASSERT_EQ(dll_->GetCertificateReportFromText(u.uid, u.secretDir, u.certDir, u.randomFile,
                                               cert.c_str(), fromText, sizeof fromText),
            0);
  EXPECT_STREQ(fromText, report);
}

TEST_F(CertificateTest, ReportFailuresWriteNothing) {
  const UserKeys& u = *user_;
  struct Case {
    std::string own, certDir, random, reported;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"", u.certDir, u.randomFile, u.uid, 121},
      {u.uid, u.certDir, u.randomFile, "", 121},
      {u.uid, "", u.randomFile, u.uid, 123},
      {u.uid, u.certDir, "", u.uid, 122},
      {u.uid, u.certDir, u.randomFile, "Nobody.1", 112},
  };
  for (const Case& c : cases) {
    char report[2048] = "untouched";
    EXPECT_EQ(dll_->GetCertificateReport(c.own, u.secretDir, c.certDir, c.random, c.reported,
                                         report, sizeof report),
              c.expected);
    EXPECT_STREQ(report, "untouched");
  }
  char report[2048] = "untouched";
  const std::string cert = ReadText(u.certFile);
  auto fromText = [&](const char* text, char* buffer, std::int32_t capacity) {
    return dll_->GetCertificateReportFromText(u.uid, u.secretDir, u.certDir, u.randomFile, text,
                                              buffer, capacity);
  };
  EXPECT_EQ(fromText(nullptr, report, 2048), 104);
  EXPECT_EQ(fromText(cert.c_str(), nullptr, 2048), 104);
  EXPECT_EQ(fromText("garbage", report, 2048), -2);
  EXPECT_EQ(fromText(cert.c_str(), report, 100), 104);  // the report does not fit: nothing written
  EXPECT_STREQ(report, "untouched");
}

TEST(ReportDate, RearrangesWhateverTheLibraryGives) {
  const std::pair<const char*, const char*> cases[] = {
      {"31.12.2003 23:59", "12-31.2003 23:59:00"},
      {"01.02.2030 00:00", "02-01.2030 00:00:00"},
      {"31.1", "1-31:00"},
      {"", "-:00"},
      {nullptr, "-:00"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(ReportDate(in), out) << (in ? in : "null");
}

class KeyGenerationTest : public CertificateTest {
 protected:
  KeyGenerationArgs Args(const std::string& newUid, const std::string& out) const {
    KeyGenerationArgs a;
    a.newUid = newUid;
    a.currentKeyPath = user_->certFile;
    a.certDir = user_->certDir;
    a.secretDir = user_->secretDir;
    a.currentUid = user_->uid;
    a.randomFile = user_->randomFile;
    a.checkValidity = true;
    a.outputDir = out;
    a.first = 1024;
    a.second = 256;
    a.period = 730;
    return a;
  }
};

TEST_F(KeyGenerationTest, RenewalTakesTheNextKeyNumber) {
  ScratchDir out;
  std::int32_t kn = 99;
  ASSERT_EQ(dll_->GenerateKeys(Args("R.0", out.dir()), kn), 0);
  EXPECT_EQ(kn, 1);
#ifndef _WIN32  // Windows keeps who may read a file in its access list, not in a mode
  struct stat st {};
  ASSERT_EQ(::stat((out / "1.sec").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  EXPECT_EQ(ReadText(out / "0.pub").rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u);

  ASSERT_EQ(dll_->GenerateKeys(Args("New.5", out.dir()), kn), 0);  // another UID starts at 0
  EXPECT_EQ(kn, 0);
  EXPECT_TRUE(fs::exists(out / "0.sec"));
  EXPECT_TRUE(fs::exists(out / "5.pub"));
}

TEST_F(KeyGenerationTest, FailuresReportTheirCodes) {
  ScratchDir out;
  struct Case {
    const char* what;
    void (*change)(KeyGenerationArgs&);
    std::int32_t expected;
  };
  const Case cases[] = {
      {"no certificate directory", [](KeyGenerationArgs& a) { a.certDir.clear(); }, 123},
      {"no current key", [](KeyGenerationArgs& a) { a.currentKeyPath.clear(); }, 124},
      {"no random file", [](KeyGenerationArgs& a) { a.randomFile.clear(); }, 122},
      {"unknown curve setting", [](KeyGenerationArgs& a) { a.first = 12; }, -76},
      {"output directory missing", [](KeyGenerationArgs& a) { a.outputDir += "missing/"; }, 117},
      {"hardware source missing", [](KeyGenerationArgs& a) { a.randomKind = 1; }, 7},
  };
  dll_->SetHardwareRandom(std::make_unique<TIntelProvider>(HardwareRandomSource{}));
  for (const Case& c : cases) {
    KeyGenerationArgs a = Args("R.0", out.dir());
    c.change(a);
    std::int32_t kn = 99;
    EXPECT_EQ(dll_->GenerateKeys(a, kn), c.expected) << c.what;
    EXPECT_EQ(kn, -1) << c.what;
  }
  EXPECT_TRUE(Names(out.dir()).empty());

  // The request cannot be written: the secret key stays and its number is reported.
  fs::create_directories(out / "0.pub");
  std::int32_t kn = 99;
  EXPECT_EQ(dll_->GenerateKeys(Args("R.0", out.dir()), kn), 127);
  EXPECT_EQ(kn, 1);
  EXPECT_TRUE(fs::exists(out / "1.sec"));
}

TEST_F(KeyGenerationTest, RenewalWithoutTheCertificateInTheCache) {
  ScratchDir out;
  dll_->ClearKeyCache();
  std::int32_t kn = 99;
  EXPECT_EQ(dll_->GenerateKeys(Args("R.0", out.dir()), kn), 112);
  EXPECT_EQ(kn, -1);
}

}  // namespace
}  // namespace vornak2::testing
