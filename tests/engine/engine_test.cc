// The base engine's own behaviour: parameters, paths, the dispatchers and the base routines.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "engine/cryptobj.h"
#include "scratch_dir.h"

namespace vornak2 {
namespace {

namespace fs = std::filesystem;

// An engine with three parameters and toy data operations, enough to drive the base routines.
class ToyEngine : public TCryptoEngine {
 public:
  ToyEngine() {
    AddParam("First", "one");
    AddParam("Second", "");
    AddParam("Third", "three");
  }
  // "Signs" by writing the signer's UID; verifies by checking the data and returning the UID.
  std::int32_t SignData(const void* data, std::int32_t length, void* signature,
                        std::int32_t* signatureLength, const char* signer) override {
    if (failSign) return 77;
    lastSigned.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
    const std::string uid = *signer ? signer : "H.0";
    std::memcpy(signature, uid.c_str(), uid.size() + 1);
    *signatureLength = static_cast<std::int32_t>(uid.size() + 1);
    return 0;
  }
  std::int32_t VerifyData(const void* data, std::int32_t length, const void* signature,
                          std::int32_t, char* signer) override {
    if (lastSigned != std::string(static_cast<const char*>(data), static_cast<std::size_t>(length)))
      return -65;
    std::strcpy(signer, static_cast<const char*>(signature));
    return 0;
  }
  // "Encrypts" by flipping every byte and appending one marker byte.
  std::int32_t EncodeData(void* data, std::int32_t* size, const char*) override {
    auto* p = static_cast<std::uint8_t*>(data);
    for (std::int32_t i = 0; i < *size; ++i) p[i] ^= 0xFF;
    p[(*size)++] = 0xA5;
    return 0;
  }
  std::int32_t DecodeData(void* data, std::int32_t* size, void*) override {
    auto* p = static_cast<std::uint8_t*>(data);
    if (*size < 1 || p[*size - 1] != 0xA5) return 4;
    --*size;
    for (std::int32_t i = 0; i < *size; ++i) p[i] ^= 0xFF;
    return 0;
  }
  std::int32_t QueryEngineKind(const std::string& name, void*, std::uint8_t* flag) override {
    *flag = name == "Zureza VOZ/2.2";
    return 0;
  }
  using TCryptoEngine::ParamValue;
  bool failSign = false;
  std::string lastSigned;
};

TEST(Parameters, NamesValuesAndRanges) {
  ToyEngine e;
  char buf[1100];
  EXPECT_EQ(e.GetCryptoParamNumber(), 3);
  struct {
    std::int32_t n;
    const char* name;
    const char* value;
  } rows[] = {{0, "", ""},         {-1, "", ""},      {4, "", ""},
              {1, "First", "one"}, {2, "Second", ""}, {3, "Third", "three"}};
  for (const auto& r : rows) {
    std::strcpy(buf, "junk");
    e.GetCryptoParamName(r.n, buf);
    EXPECT_STREQ(buf, r.name) << r.n;
    std::strcpy(buf, "junk");
    e.GetCryptoParamValue(r.n, buf);
    EXPECT_STREQ(buf, r.value) << r.n;
  }
  for (std::int32_t n : {0, -1, 4}) EXPECT_EQ(e.SetCryptoParamValue(n, "x"), -1) << n;
  EXPECT_EQ(e.SetCryptoParamValue(3, nullptr), 0);
  EXPECT_EQ(e.ParamValue(3), "");

  const std::string longValue(2000, 'v');
  EXPECT_EQ(e.SetCryptoParamValue(1, longValue.c_str()), 0);
  EXPECT_EQ(e.ParamValue(1), longValue) << "stored whole";
  std::memset(buf, 'x', sizeof buf);
  e.GetCryptoParamValue(1, buf);
  EXPECT_EQ(std::strlen(buf), 1023u) << "read back cut to the announced size";
  EXPECT_THROW(e.GetCryptoParamValue(1, nullptr), EInvalidPointer);
}

TEST(Routines, CopyToBuffer) {
  char out[8];
  std::memset(out, '#', sizeof out);
  EXPECT_TRUE(TCryptoEngine::CopyToBuffer("abc", out, 2));
  EXPECT_EQ(std::string(out, 3), "ab#") << "cut to n bytes without a terminator";
  EXPECT_TRUE(TCryptoEngine::CopyToBuffer("abc", out, 8));
  EXPECT_STREQ(out, "abc");
  EXPECT_FALSE(TCryptoEngine::CopyToBuffer(nullptr, out, 8));
  EXPECT_FALSE(TCryptoEngine::CopyToBuffer("abc", nullptr, 8));
  EXPECT_FALSE(TCryptoEngine::CopyToBuffer("abc", out, 0));
}

TEST(Paths, RootExpansionAndRemoteGeneratePath) {
  VORNAK2_POSIX_PATHS_ONLY();
  ToyEngine e;
  e.SetEngineRoot("/work");
  EXPECT_EQ(e.RootPath(), "/work/");
  struct {
    const char* in;
    const char* expanded;
    const char* dir;
  } rows[] = {
      {"%QVXRoot%/Keys/A", "/work/Keys/A", "/work/Keys/A/"},
      {"%qvxroot%keys", "/work/keys", "/work/keys/"},
      {"%QVXRoot%", "/work/", "/work/"},
      {"", "", ""},
      {"A", "A", "A/"},
      {"/abs/%QVXRoot%", "/abs/%QVXRoot%", "/abs/%QVXRoot%/"},
      {"%QVXRoo", "%QVXRoo", "%QVXRoo/"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(e.ExpandRootPath(r.in), r.expanded) << r.in;
    EXPECT_EQ(e.ExpandDirPath(r.in), r.dir) << r.in;
  }
  ToyEngine noRoot;
  EXPECT_EQ(noRoot.ExpandRootPath("%QVXRoot%/Keys"), "Keys");

  struct {
    const char* in;
    const char* stored;
  } gen[] = {{"/gen", "/gen/"}, {"/gen/", "/gen/"}, {"", ""}, {"%QVXRoot%gen", "/work/gen/"}};
  for (const auto& r : gen) {
    e.SetRemoteGeneratePath(r.in);
    EXPECT_EQ(e.RemoteGeneratePath(), r.stored) << r.in;
  }
}

TEST(Dispatchers, IncludeByKindAndEngineKindQuery) {
  ToyEngine e;
  std::int32_t value = 42;
  EXPECT_EQ(e.IncludeByKind(19, 0, &value, nullptr), 0);
  EXPECT_EQ(e.Kind19Value(), 42);
  for (std::int32_t kind : {0, 16, 17, 18, 20, 2, 7})
    EXPECT_EQ(e.IncludeByKind(kind, 0, nullptr, nullptr), -1);

  std::int32_t size = 0;
  EXPECT_EQ(e.QueryByCode(27, nullptr, 0, 6, nullptr, &size), 0);
  EXPECT_EQ(size, 4);
  std::int32_t out = 99;
  size = 3;
  EXPECT_EQ(e.QueryByCode(27, nullptr, 0, 6, &out, &size), -1);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(e.QueryByCode(27, nullptr, 0, 6, &out, &size), 0);
  EXPECT_EQ(out, 1) << "kind 7 is our own engine";
  EXPECT_EQ(e.QueryByCode(27, nullptr, 0, 0, &out, &size), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(EngineKindName(1), EngineKindName(21));
  EXPECT_EQ(EngineKindName(27), "");

  TCryptoEngine& base = e;
  out = 99;
  EXPECT_EQ(
      base.TCryptoEngine::QueryEngineKind("x", nullptr, reinterpret_cast<std::uint8_t*>(&out)), -1);
  for (std::int32_t code : {2, 3, 23, 25, 33, 1000})
    EXPECT_EQ(e.QueryByCode(code, nullptr, 0, 0, &out, &size), -1);
}

TEST(Routines, SecretKeySelfTest) {
  ToyEngine e;
  char uid[256] = "";
  std::int32_t size = 255;
  EXPECT_EQ(e.QueryByCode(20, nullptr, 0, 0, uid, &size), 0);
  EXPECT_STREQ(uid, "H.0");
  EXPECT_EQ(size, 3);
  EXPECT_EQ(e.lastSigned, "Data for sign to check secret key ready");

  size = 1;
  EXPECT_EQ(e.CheckSecretKeyReady(0, nullptr, &size), 0);
  EXPECT_EQ(size, 255) << "a null buffer is a size query";
  e.failSign = true;
  EXPECT_EQ(e.CheckSecretKeyReady(0, uid, &size), 77);
}

TEST(Routines, SaveSignedDataToFile) {
  testing::ScratchDir dir;
  const fs::path dir_ = dir.dir();
  auto Read = [](const fs::path& p) { return testing::ReadText(p.string()); };
  ToyEngine e;
  e.SetEngineRoot(dir_.string());
  const fs::path file = dir_ / "signed.bin";
  EXPECT_EQ(e.SaveSignedDataToFile("data", 0, "sig", 3, "%QVXRoot%signed.bin"), 0);
  EXPECT_FALSE(fs::exists(file)) << "nothing to save, nothing written";
  EXPECT_EQ(e.SaveSignedDataToFile("data", 4, "sig", 3, "%QVXRoot%signed.bin"), 0);
  EXPECT_EQ(Read(file), "datasig");
  EXPECT_EQ(e.SaveSignedDataToFile("new", 3, nullptr, 0, file.string().c_str()), 0);
  EXPECT_EQ(Read(file), "new");
  EXPECT_EQ(e.SaveSignedDataToFile("x", 1, "y", 1, (dir_ / "missing" / "f").string().c_str()), -106);
  EXPECT_EQ(e.SaveSignedDataToFile("x", 1, "y", -1, file.string().c_str()), 0);
  EXPECT_EQ(Read(file), "new");
}

TEST(Routines, LabelledEncryptionRoundTrip) {
  ToyEngine e;
  std::uint8_t buffer[64] = {'s', 'e', 'c', 'r', 'e', 't'};
  std::int32_t size = 6;
  ASSERT_EQ(e.EncodeAfterLabel("LBL", buffer, &size, ""), 0);
  EXPECT_EQ(size, 4 + 7);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "LBL");
  void* start = nullptr;
  std::int32_t plain = 0;
  ASSERT_EQ(e.DecodeAfterLabel(buffer, size, &start, &plain), 0);
  EXPECT_EQ(start, buffer + 4);
  EXPECT_EQ(std::string(static_cast<char*>(start), static_cast<std::size_t>(plain)), "secret");

  std::uint8_t unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(e.DecodeAfterLabel(unterminated, 4, &start, &plain), 4)
      << "label must end inside the data";
  EXPECT_EQ(e.EncodeAfterLabel("L", buffer, nullptr, ""), 110);
}

TEST(LastException, TextIsStoredAndReadBack) {
  TSyncExceptStr text;
  EXPECT_EQ(text.GetText(), "");
  text.SetText("TCcom22Engine.SignData: EAbstractError: Abstract Error");
  EXPECT_EQ(text.GetText(), "TCcom22Engine.SignData: EAbstractError: Abstract Error");
}

}  // namespace
}  // namespace vornak2
