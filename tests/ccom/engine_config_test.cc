// The engine's configuration: parameters, their rules, the current certificate and UID, sizes,
// and the composed messages.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "ccom/messages.h"
#include "key_sets.h"
#include "root/rootpath.h"
#include "scratch_dir.h"
#include "support/text.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;

TEST(EngineParams, DefaultsKindsAndHints) {
  struct Row {
    std::int32_t number;
    const char* name;
    const char* value;
    std::int32_t kind;
    const char* hint;
  };
  const Row rows[] = {
      {1, "Current dir", "%QVXRoot%/", 11, "*.*"},
      {4, "User Id", "H.0", 2, "255"},
      {5, "Hash Algorithm", "34.11", 7, "34.11\r\nMD5\r\nSQR"},
      {6, "Cipher Algorithm", "28147", 7, "28147\r\n28147-ECB\r\nDES\r\nDES-ECB"},
      {9, "Key request time out", "60", 1, "0..2147483640"},
      {11, "Verify validity of cert and key files", "Yes", 3, ""},
      {13, "Key gen - Subject", "", 2, "255"},
      {15, "Template dir", "%QVXRoot%/", 11, "*.*"},
      {16, "Key gen - Secret key length", "1024", 1, "512..1024"},
      {19, "Current user certificate", "%QVXRoot%/self.crt", 10, "*.crt"},
  };
#ifdef _WIN32
  GTEST_SKIP() << "POSIX defaults; WindowsPaths checks the drive-based ones";
#endif
  TCcom22Engine engine;
  ASSERT_EQ(engine.GetCryptoParamNumber(), 19);
  for (const Row& r : rows) {
    char name[256], value[1024], hint[64];
    engine.GetCryptoParamName(r.number, name);
    engine.GetCryptoParamValue(r.number, value);
    EXPECT_STREQ(name, r.name);
    EXPECT_STREQ(value, r.value) << r.name;
    std::int32_t kind = 0, size = sizeof hint;
    ASSERT_EQ(engine.GetParamInfo(r.number, &kind, hint, &size), 0) << r.name;
    EXPECT_EQ(kind, r.kind) << r.name;
    const std::int32_t expectedSize =
        *r.hint ? static_cast<std::int32_t>(std::strlen(r.hint) + 1) : 0;
    EXPECT_EQ(size, expectedSize) << r.name;
    if (expectedSize > 0) {
      EXPECT_STREQ(hint, r.hint);
    }
  }
  EXPECT_EQ(engine.SetCryptoParamValue(0, "x"), -1);
  EXPECT_EQ(engine.SetCryptoParamValue(20, "x"), -1);
  EXPECT_EQ(engine.SetCryptoParamValue(9, "abc"), 0);
}

TEST(EngineParams, ParamInfoSizeProtocol) {
  TCcom22Engine engine;
  std::int32_t kind = 0, size = 0;
  char hint[32] = "untouched";
  EXPECT_EQ(engine.GetParamInfo(5, &kind, nullptr, &size), 0);
  EXPECT_EQ(size, 16);
  size = 15;
  EXPECT_EQ(engine.GetParamInfo(5, &kind, hint, &size), 104);
  EXPECT_EQ(size, 16);
  EXPECT_STREQ(hint, "untouched");
  EXPECT_EQ(engine.GetParamInfo(11, &kind, hint, &size), 0);
  EXPECT_EQ(kind, 3);
  EXPECT_EQ(size, 0);
  EXPECT_STREQ(hint, "untouched");
  for (std::int32_t number : {0, 20, -1})
    EXPECT_EQ(engine.GetParamInfo(number, &kind, hint, &size), 133);
  EXPECT_EQ(engine.GetParamInfo(5, nullptr, hint, &size), 110);
  EXPECT_EQ(engine.GetParamInfo(5, &kind, hint, nullptr), 110);
}

TEST(EngineParams, FlagRule) {
  const std::string yesCyrillic = Utf8ToCp1251("ДА");
  const std::pair<std::string, bool> cases[] = {
      {"Yes", true},
      {"yEs", true},
      {" \t yes \r\n", true},
      {yesCyrillic, true},
      {"No", false},
      {"", false},
      {"1", false},
      {Utf8ToCp1251("да"), false},
      {"yes!", false},
      {"y es", false},
      {std::string("\0yes", 4), true},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(ParamFlag(value), expected) << value;
}

TEST(EngineParams, IntegerRule) {
  const std::tuple<std::string, bool, std::int32_t> cases[] = {
      {"", true, 0},
      {"60", true, 60},
      {"-5", true, -5},
      {"+7", true, 7},
      {"  12", true, 12},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"abc", false, 0},
      {"12 ", false, 0},
      {"1.5", false, 0},
      {"-", false, 0},
      {" ", false, 0},
  };
  for (const auto& [text, ok, value] : cases) {
    std::int32_t out = -99;
    EXPECT_EQ(ParamInteger(text, out), ok) << text;
    if (ok) {
      EXPECT_EQ(out, value) << text;
    }
  }
}

TEST(EngineConfig, CurrentCertificateFile) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX paths; the Windows forms are checked by WindowsRules";
#endif
  TCcom22Engine engine;
  engine.SetEngineRoot("/r");
  EXPECT_EQ(engine.GetCurrentCertFile(), "%QVXRoot%/self.crt");
  engine.SetCryptoParamValue(kParamCurrentUserCertificate, "");
  engine.SetCryptoParamValue(kParamPublicPath, "/keys/crt");
  EXPECT_EQ(engine.GetCurrentCertFile(), "/keys/crt/H/@/0.crt");
  engine.SetCryptoParamValue(kParamPublicPath, "%QVXRoot%/crt");
  EXPECT_EQ(engine.GetCurrentCertFile(), "/r/crt/H/@/0.crt");
  engine.SetCryptoParamValue(kParamUserId, "");
  engine.SetCryptoParamValue(kParamCurrentDir, "/keys");
  EXPECT_EQ(engine.GetCurrentCertFile(), "/keys/self.crt");
}

TEST(EngineConfig, SizesAndName) {
  TCcom22Engine engine;
  char name[32];
  engine.GetEngineName(name);
  EXPECT_STREQ(name, "Zureza VOZ/2.2");
  EXPECT_EQ(engine.GetMaxEncodeAddition(), 4104);
  EXPECT_EQ(engine.GetMaxSignatureLength(), 544);
  EXPECT_EQ(engine.GetMaxSignAddition(), 554);
  EXPECT_EQ(engine.GetMaxEncodeAdditionForUsers(3), 4104 + 8 + 192);
  EXPECT_EQ(engine.GetMaxEncodeAdditionForUsers(INT32_MAX), INT32_MAX);
  EXPECT_EQ(engine.GetMaxPublicKeyTransferSize(), 5128);
  EXPECT_EQ(engine.GetMaxPasswordLength(), 0);
  EXPECT_EQ(engine.GetMaxUIDLength(), 255);
  EXPECT_EQ(engine.GetMaxCryptoParamValueLength(), 1024);
}

TEST(EngineConfig, EncodeUIDIsTheSignUIDWhenItFits) {
  TCcom22Engine engine;
  char out[256] = "untouched";
  EXPECT_EQ(engine.GetEncodeUIDBySignUID(nullptr, out), 110);
  EXPECT_EQ(engine.GetEncodeUIDBySignUID("H.0", nullptr), 110);
  EXPECT_EQ(engine.GetEncodeUIDBySignUID(std::string(255, 'u').c_str(), out), 104);
  EXPECT_STREQ(out, "untouched");
  const std::string longest(254, 'u');
  EXPECT_EQ(engine.GetEncodeUIDBySignUID(longest.c_str(), out), 0);
  EXPECT_EQ(std::string(out), longest);
}

TEST(EngineConfig, MessagesComposeWithTheEngineState) {
  TCcom22Engine engine;
  char buffer[300];
  std::memset(buffer, 'x', sizeof buffer);
  engine.GetCryptoErrorString(3, buffer);  // no binding: the row's text alone
  EXPECT_EQ(std::string(buffer), std::string(ResultCodeText(3)));
  EXPECT_EQ(buffer[255], 'x');  // never beyond GetMaxErrorStringLength()

  engine.LastException().SetText("TCcom22Engine.EncodeData EAbstractError: Abstract Error");
  engine.GetCryptoErrorString(136, buffer);
  EXPECT_EQ(std::string(buffer), std::string(ResultCodeText(136)) +
                                     "TCcom22Engine.EncodeData EAbstractError: Abstract Error");
  engine.LastException().SetText(std::string(400, 'e'));
  engine.GetCryptoErrorString(136, buffer);
  EXPECT_EQ(std::strlen(buffer), 254u);

  engine.GetCryptoErrorString(0, buffer);
  EXPECT_EQ(std::string(buffer, 255), std::string(255, '\0'));
  engine.GetCryptoErrorString(-87, nullptr);
}

// ---- with a key set ----

class EngineUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = &TestRoot::Get();
    SetGlobalRoot(root_->dir());
  }
  void Configure(TCcom22Engine& engine, const UserKeys& u) {
    engine.SetEngineRoot(root_->dir());
    for (const auto& [number, value] : u.Params())
      engine.SetCryptoParamValue(number, value.c_str());
  }
  TestRoot* root_ = nullptr;
};

TEST_F(EngineUserTest, CurrentUserUIDIsReadOnceFromTheCertificate) {
  const UserKeys& u = root_->User("uid_once", "Q.3");
  TCcom22Engine engine;
  Configure(engine, u);
  char uid[256];
  ASSERT_EQ(engine.GetCurrentUserUID(uid), 0);
  EXPECT_STREQ(uid, "Q.3");
  EXPECT_EQ(engine.GetCurrentUserUID(nullptr), 110);

  // The UID now comes from the process-wide cache, not from the file.
  const std::string saved = ReadText(u.certFile);
  fs::remove(u.certFile);
  TCcom22Engine other;
  Configure(other, u);
  ASSERT_EQ(other.GetCurrentUserUID(uid), 0);
  EXPECT_STREQ(uid, "Q.3");
  TCcom22Engine::ClearCertUIDCache();
  EXPECT_EQ(other.GetCurrentUserUID(uid), 116);
  WriteText(u.certFile, saved);
  EXPECT_EQ(other.GetCurrentUserUID(uid), 0);
}

TEST_F(EngineUserTest, OperationSettingsFromTheParameters) {
  const UserKeys& u = root_->User("settings", "S.1");
  TCcom22Engine engine;
  Configure(engine, u);
  engine.SetCryptoParamValue(kParamHardwareRandom, " YES ");
  engine.SetCryptoParamValue(kParamVerifyValidity, "no");
  OperationSettings s;
  ASSERT_EQ(engine.ReadOperationSettings(s), 0);
  EXPECT_EQ(s.certFile, AsExpanded(u.certFile));
  EXPECT_EQ(s.secretPath, AsExpanded(u.secretDir));
  EXPECT_EQ(s.publicPath, AsExpanded(u.certDir));
  EXPECT_EQ(s.randomFile, AsExpanded(u.randomFile));
  EXPECT_EQ(s.hash, "34.11");
  EXPECT_EQ(s.cipher, "28147");
  EXPECT_EQ(s.hardwareRandom, 1);
  EXPECT_FALSE(s.checkValidity);
  EXPECT_EQ(s.keyRequestTimeout, 60);
  EXPECT_EQ(s.lastOperationTimeout, 5);
  engine.SetCryptoParamValue(kParamLastOperationTimeout, "5s");
  EXPECT_EQ(engine.ReadOperationSettings(s), 115);
}

TEST_F(EngineUserTest, UIDThatDoesNotFitIsRefused) {
  ScratchDir scratch;
  TCcom22Engine engine;
  engine.SetEngineRoot(root_->dir());
  const std::string path = scratch / "self.crt";
  engine.SetCryptoParamValue(kParamCurrentUserCertificate, path.c_str());
  char uid[256] = "untouched";
  for (const std::size_t length : {255u, 400u}) {
    TCcom22Engine::SetCachedCertUID(path, "L." + std::string(length - 2, '1'));
    EXPECT_EQ(engine.GetCurrentUserUID(uid), 104) << length;
    EXPECT_STREQ(uid, "untouched");
  }
  TCcom22Engine::SetCachedCertUID(path, "L." + std::string(252, '1'));
  EXPECT_EQ(engine.GetCurrentUserUID(uid), 0);
  EXPECT_EQ(std::strlen(uid), 254u);
  TCcom22Engine::ClearCertUIDCache();
}

}  // namespace
}  // namespace vornak2::testing
