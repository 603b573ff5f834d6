// The exported surface as a host sees it: fallbacks for null and stale handles, and the exports
// with behaviour of their own.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/text.h"
#include "vornak2.h"

namespace {

constexpr int32_t kSize = -1;
constexpr int32_t kCode = 136;

struct Row {
  const char* name;
  int32_t fallback;
  std::function<int32_t(VORNAK2_HANDLE)> call;
};

// Every value-returning export with its fallback, called with harmless arguments.
std::vector<Row> ValueExports() {
  static char buf[8192];
  static int32_t n = 0;
  return {
      {"GetMaxEncodeAddition", kSize, [](auto h) { return GetMaxEncodeAddition(h); }},
      {"GetMaxSignatureLength", kSize, [](auto h) { return GetMaxSignatureLength(h); }},
      {"GetMaxUIDLength", kSize, [](auto h) { return GetMaxUIDLength(h); }},
      {"GetMaxCryptoParamNameLength", kSize, [](auto h) { return GetMaxCryptoParamNameLength(h); }},
      {"GetMaxCryptoParamValueLength", kSize,
       [](auto h) { return GetMaxCryptoParamValueLength(h); }},
      {"GetMaxErrorStringLength", kSize, [](auto h) { return GetMaxErrorStringLength(h); }},
      {"GetCryptoParamNumber", kSize, [](auto h) { return GetCryptoParamNumber(h); }},
      {"SetCryptoParamValue", kCode, [](auto h) { return SetCryptoParamValue(h, 1, "x"); }},
      {"GetEncodeUIDBySignUID", kCode, [](auto h) { return GetEncodeUIDBySignUID(h, "H.0", buf); }},
      {"EncodeData", kCode,
       [](auto h) {
         n = 4;
         return EncodeData(h, buf, &n, "H.0");
       }},
      {"DecodeData", kCode,
       [](auto h) {
         n = 4;
         return DecodeData(h, buf, &n, nullptr);
       }},
      {"SignData", kCode, [](auto h) { return SignData(h, "ab", 2, buf, &n, ""); }},
      {"VerifyData", kCode, [](auto h) { return VerifyData(h, "ab", 2, buf, 10, buf); }},
      {"GetCurrentUserUID", kCode, [](auto h) { return GetCurrentUserUID(h, buf); }},
      {"GenerateNewSSK", kCode, [](auto h) { return GenerateNewSSK(h); }},
      {"GenerateNewSEK", kCode, [](auto h) { return GenerateNewSEK(h); }},
      {"IsDifferentKeys", -1, [](auto h) { return IsDifferentKeys(h); }},
      {"GetMaxPasswordLength", kSize, [](auto h) { return GetMaxPasswordLength(h); }},
      {"IncludePublicKey", kCode, [](auto h) { return IncludePublicKey(h, "x.crt"); }},
      {"IncludePublicEncodeKey", kCode, [](auto h) { return IncludePublicEncodeKey(h, 0); }},
      {"SignFile", kCode, [](auto h) { return SignFile(h, 0); }},
      {"VerifyFile", kCode, [](auto h) { return VerifyFile(h, 0, 0); }},
      {"RemoveSignaturesFromFile", kCode, [](auto h) { return RemoveSignaturesFromFile(h, 0); }},
      {"TransSignatureFromFileToTM", kCode, [](auto h) { return TransSignatureFromFileToTM(h); }},
      {"TransPrivateKeyFromFileToTM", kCode, [](auto h) { return TransPrivateKeyFromFileToTM(h); }},
      {"RemoteGenerateStart", kCode, [](auto h) { return RemoteGenerateStart(h, buf); }},
      {"AddSign", kCode,
       [](auto h) {
         n = 2;
         return AddSign(h, buf, &n, "");
       }},
      {"RemoveSign", kCode,
       [](auto h) {
         n = 2;
         return RemoveSign(h, buf, &n, buf);
       }},
      {"GetMaxSignAddition", kSize, [](auto h) { return GetMaxSignAddition(h); }},
      {"GetPublicKeyTransfer", kCode, [](auto h) { return GetPublicKeyTransfer(h, "H.0", buf); }},
      {"RemoteGenerateFinish", kCode, [](auto h) { return RemoteGenerateFinish(h, "x"); }},
      {"SavePublicKeyFromTransfer", kCode,
       [](auto h) { return SavePublicKeyFromTransfer(h, "/tmp", "x"); }},
      {"GetMaxPublicKeyTransferSize", kSize, [](auto h) { return GetMaxPublicKeyTransferSize(h); }},
      {"IncludePublicKeyTransfer", kCode, [](auto h) { return IncludePublicKeyTransfer(h, "x"); }},
      {"ExcludeSelfPublicKeyTransfer", kCode,
       [](auto h) { return ExcludeSelfPublicKeyTransfer(h, buf); }},
      {"GetRemoteGenType", kSize, [](auto h) { return GetRemoteGenType(h); }},
      {"SaveSignedDataToFile", kCode,
       [](auto h) { return SaveSignedDataToFile(h, "a", 0, "b", 1, nullptr); }},
      {"GetPublicKeyTransferByFile", kCode,
       [](auto h) { return GetPublicKeyTransferByFile(h, buf, "x"); }},
      {"GetMaxReportSize", kSize, [](auto h) { return GetMaxReportSize(h); }},
      {"GetReport", kCode, [](auto h) { return GetReport(h, "H.0", buf); }},
      {"GetMaxAdditionEx", kSize, [](auto h) { return GetMaxAdditionEx(h, "a;b"); }},
      {"GetUIDByPublicKeyTransfer", kCode,
       [](auto h) { return GetUIDByPublicKeyTransfer(h, "x", buf); }},
      {"UpdateCertificateCash", kCode, [](auto h) { return UpdateCertificateCash(h, "H.0"); }},
      {"GetMaxPublicKeyPropertiesLength", kSize,
       [](auto h) { return GetMaxPublicKeyPropertiesLength(h); }},
      {"GetPublicKeyProperties", kCode,
       [](auto h) { return GetPublicKeyProperties(h, "H.0", buf); }},
      {"RemoteGenerateStartEx", kCode,
       [](auto h) { return RemoteGenerateStartEx(h, "H.0", buf, &n); }},
      {"RemoteGenerateFinishEx", kCode, [](auto h) { return RemoteGenerateFinishEx(h, "x", &n); }},
      {"GetPublicKeyPropertiesByTransfer", kCode,
       [](auto h) { return GetPublicKeyPropertiesByTransfer(h, "x", buf); }},
      {"GetPublicKeyPropertiesByFile", kCode,
       [](auto h) { return GetPublicKeyPropertiesByFile(h, "x", buf); }},
      {"IncludeCACertificateFromTransfer", kCode,
       [](auto h) { return IncludeCACertificateFromTransfer(h, "x"); }},
      {"CreateDirStructure", kCode, [](auto h) { return CreateDirStructure(h, "x", "y"); }},
      {"RemoveCertificate", kCode, [](auto h) { return RemoveCertificate(h, "H.0"); }},
      {"VerifySignWOCheckValidity", kCode,
       [](auto h) { return VerifySignWOCheckValidity(h, "a", 1, buf, 1, buf); }},
      {"CertAndRequestTransferMatch", kCode,
       [](auto h) { return CertAndRequestTransferMatch(h, "a", "b", &n); }},
      {"IncludeCRL", kCode, [](auto h) { return IncludeCRL(h, 0); }},
      {"ConvertTransferToSignedRequest", kCode,
       [](auto h) { return ConvertTransferToSignedRequest(h, 0); }},
      {"HashData", kCode, [](auto h) { return HashData(h, 0, 0, 0, 0, 0); }},
      {"ShowCertificate", kCode, [](auto h) { return ShowCertificate(h, 0); }},
      {"GetPureSign", kCode,
       [](auto h) {
         n = 100;
         return GetPureSign(h, "ab", 2, 0, buf, &n);
       }},
      {"GetUIDByCertIdent", kCode, [](auto h) { return GetUIDByCertIdent(h, 0, 0); }},
      {"InstallCertsInMyStore", kCode, [](auto h) { return InstallCertsInMyStore(h, 0); }},
      {"RegisterOIDInfo", kCode, [](auto h) { return RegisterOIDInfo(h, "1.2", "x"); }},
      {"GetParamInfo", kCode,
       [](auto h) {
         n = 100;
         return GetParamInfo(h, 1, &n, buf, &n);
       }},
  };
}

// Procedures: with a null handle they must return without touching their output.
std::vector<std::pair<const char*, std::function<void(VORNAK2_HANDLE, char*)>>> Procedures() {
  return {
      {"DoneEngine", [](auto h, char*) { DoneEngine(h); }},
      {"GetCryptoParamName", [](auto h, char* out) { GetCryptoParamName(h, 1, out); }},
      {"GetCryptoParamValue", [](auto h, char* out) { GetCryptoParamValue(h, 1, out); }},
      {"GetCryptoErrorString", [](auto h, char* out) { GetCryptoErrorString(h, 5, out); }},
      {"SetPasswordRequestFunc", [](auto h, char*) { SetPasswordRequestFunc(h, nullptr); }},
      {"GetLastErrorMessage", [](auto h, char* out) { GetLastErrorMessage(h, out); }},
      {"SetTMRequestFunc", [](auto h, char*) { SetTMRequestFunc(h, nullptr); }},
      {"ClearCash", [](auto h, char*) { ClearCash(h); }},
      {"SetRemoteGeneratePath", [](auto h, char*) { SetRemoteGeneratePath(h, "/tmp/gen"); }},
  };
}

TEST(Exports, EveryExportAnswersItsFallbackForANullHandle) {
  const auto values = ValueExports();
  const auto procedures = Procedures();
  // With GetCryptObj, GetMaxFilePathLength and SetRootPath (which sets process-wide state and is
  // tested with the root path) the table covers all 75 exports.
  EXPECT_EQ(values.size() + procedures.size() + 3, 75u);
  for (const auto& row : values) EXPECT_EQ(row.call(nullptr), row.fallback) << row.name;
  for (const auto& [name, call] : procedures) {
    char out[300];
    std::memset(out, 'z', sizeof out);
    call(nullptr, out);
    EXPECT_EQ(out[0], 'z') << name;
  }
  EXPECT_EQ(GetMaxFilePathLength(nullptr), 255);
  VORNAK2_HANDLE engine = GetCryptObj(12345);
  EXPECT_NE(engine, nullptr) << "GetCryptObj ignores its argument";
  DoneEngine(engine);
}

TEST(Exports, ReleasedOrForgedHandlesAreTreatedLikeNull) {
  VORNAK2_HANDLE engine = GetCryptObj(0);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(GetMaxUIDLength(engine), 255);
  DoneEngine(engine);
  DoneEngine(engine);  // a second release is ignored
  EXPECT_EQ(GetMaxUIDLength(engine), -1);
  EXPECT_EQ(SignData(engine, "a", 1, nullptr, nullptr, nullptr),
            136);  // the fallback of a stale handle
  int local = 0;
  EXPECT_EQ(GetCryptoParamNumber(reinterpret_cast<VORNAK2_HANDLE>(&local)), -1);
}

TEST(Exports, SetRootPathFixesTheProcessRootOnce) {
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path() / "vornak2-exports-root";
  fs::remove_all(base);
  fs::create_directories(base / "first");
  fs::create_directories(base / "second" / "nested");
  const std::string first = (base / "first").string();
  const char sep = static_cast<char>(fs::path::preferred_separator);

  VORNAK2_HANDLE a = GetCryptObj(0);
  VORNAK2_HANDLE b = GetCryptObj(0);
  SetRootPath(nullptr, first.c_str());    // sets the process root even without an engine
  SetRootPath(a, (first + sep).c_str());  // the same directory: accepted
  EXPECT_EQ(SaveSignedDataToFile(a, "d", 1, "s", 1, "%QVXRoot%file"), 0);
  EXPECT_TRUE(fs::exists(base / "first" / "file"));

  SetRootPath(b, (base / "second").string().c_str());  // a different directory: refused silently
  EXPECT_NE(SaveSignedDataToFile(b, "d", 1, "s", 1,
                                 (std::string("%QVXRoot%nested") + sep + "file").c_str()),
            0);
  EXPECT_FALSE(fs::exists(base / "second" / "nested" / "file"));
  DoneEngine(a);
  DoneEngine(b);
  fs::remove_all(base);
}

#ifdef _WIN32
constexpr bool kVendorLibraryBesideTests = true;
#else
constexpr bool kVendorLibraryBesideTests = false;
#endif

class LiveEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = GetCryptObj(0);
    ASSERT_NE(engine_, nullptr);
  }
  void TearDown() override { DoneEngine(engine_); }
  VORNAK2_HANDLE engine_ = nullptr;
};

TEST_F(LiveEngine, SizesAndUnprovidedOperations) {
  struct {
    const char* name;
    int32_t got;
    int32_t want;
  } rows[] = {
      {"GetMaxEncodeAddition", GetMaxEncodeAddition(engine_), 4104},
      {"GetMaxSignatureLength", GetMaxSignatureLength(engine_), 544},
      {"GetMaxCryptoParamValueLength", GetMaxCryptoParamValueLength(engine_), 1024},
      {"GetMaxPublicKeyTransferSize", GetMaxPublicKeyTransferSize(engine_), 5128},
      {"GetMaxSignAddition", GetMaxSignAddition(engine_), 554},
      {"GetMaxPasswordLength", GetMaxPasswordLength(engine_), 0},
      {"GetCryptoParamNumber", GetCryptoParamNumber(engine_), 19},
      {"GetMaxReportSize", GetMaxReportSize(engine_), 2048},
      {"GetMaxPublicKeyPropertiesLength", GetMaxPublicKeyPropertiesLength(engine_), 2048},
      {"GetRemoteGenType", GetRemoteGenType(engine_), 1},
      {"IsDifferentKeys", IsDifferentKeys(engine_), 0},
      {"HashData", HashData(engine_, 1, 2, 3, 4, 5), -1},
      {"ShowCertificate", ShowCertificate(engine_, 7), -1},
      {"RegisterOIDInfo", RegisterOIDInfo(engine_, "1.2.3", "\xc0\xc1"), -1},
      {"SignFile", SignFile(engine_, 1), -1},
      {"GetParamInfo", GetParamInfo(engine_, 1, nullptr, nullptr, nullptr), 110},
      {"GetParamInfo(20)", GetParamInfo(engine_, 20, nullptr, nullptr, nullptr), 133},
      // No root and no vendor library where this process looks for it (on Windows the build
      // puts the vendor library beside the test program, where the search starts: not checked).
      {"SignData", SignData(engine_, "a", 1, nullptr, nullptr, nullptr), 134},
      {"GetCurrentUserUID", GetCurrentUserUID(engine_, nullptr), 134},
  };
  for (const auto& r : rows) {
    if (kVendorLibraryBesideTests && r.want == 134) continue;
    EXPECT_EQ(r.got, r.want) << r.name;
  }
}

TEST_F(LiveEngine, StoreOperationsNeedTheVendorLibrary) {
  if (kVendorLibraryBesideTests)
    GTEST_SKIP() << "the search finds the vendor library beside the tests";
  // The engine answers these itself (never -1), so the export returns its code unchanged.
  EXPECT_EQ(UpdateCertificateCash(engine_, "H.0"), 134);
  EXPECT_EQ(RemoveCertificate(engine_, "H.1"), 134);
  EXPECT_EQ(IncludePublicKey(engine_, "x.crt"), 134);
  EXPECT_EQ(GenerateNewSEK(engine_), 6);
}

TEST_F(LiveEngine, MessagesAndTheLastErrorMessage) {
  char message[256];
  std::memset(message, 'x', sizeof message);
  GetCryptoErrorString(engine_, -5, message);
  const std::string expected = vornak2::Utf8ToCp1251("Срок действия сертификата истек");
  EXPECT_EQ(std::string(message), expected);
  for (std::size_t i = expected.size(); i < 255; ++i) ASSERT_EQ(message[i], 0) << i;
  EXPECT_EQ(message[255], 'x') << "only GetMaxErrorStringLength bytes are written";

  SignData(engine_, "a", 1, nullptr, nullptr, nullptr);  // fails (134)
  std::strcpy(message, "stale");
  GetLastErrorMessage(engine_, message);
  EXPECT_STREQ(message, "");
  GetLastErrorMessage(engine_, nullptr);  // swallowed
}

TEST_F(LiveEngine, PureSignAndCertificateRequestMatch) {
  int32_t size = 0;
  EXPECT_EQ(GetPureSign(engine_, "\x0a\xff", 2, 0, nullptr, &size), 0);
  EXPECT_EQ(size, 5);
  char text[8] = {};
  size = 4;
  EXPECT_EQ(GetPureSign(engine_, "\x0a\xff", 2, 0, text, &size), -1);
  size = 5;
  EXPECT_EQ(GetPureSign(engine_, "\x0a\xff", 2, 0, text, &size), 0);
  EXPECT_STREQ(text, "0AFF");
  EXPECT_EQ(GetPureSign(engine_, nullptr, 2, 0, text, &size), -1);

  // Texts that do not decode are no transfers; the flag is left alone.
  int32_t match = 5;
  EXPECT_EQ(CertAndRequestTransferMatch(engine_, "a", "b", &match), 110);
  EXPECT_EQ(match, 5);
  EXPECT_EQ(CertAndRequestTransferMatch(engine_, nullptr, "b", &match), 110);
  EXPECT_EQ(GetPureSign(engine_, "a", 1, 0, nullptr, nullptr), 136);
}

}  // namespace
