// Cross-check against an independent implementation: the openssl command with the GOST engine.
// The engine is a test dependency (Debian: openssl, libengine-gost-openssl); without it these
// tests fail rather than skip.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "gost.h"
#include "test_util.h"

namespace ccgost {
namespace {

namespace fs = std::filesystem;
using test::Pattern;
using test::ToHex;

constexpr char kInstallHint[] =
    "openssl with the GOST engine is required for this test "
    "(Debian packages: openssl libengine-gost-openssl)";

// A scratch directory with an openssl configuration that loads the GOST engine and fixes the
// GOST 28147 parameter set.
class OpenSslGost {
 public:
  explicit OpenSslGost(const char* cryptParams = "id-tc26-gost-28147-param-Z") {
    std::vector<std::uint8_t> tag(8);
    RandomBytes(tag);
    dir_ = fs::temp_directory_path() / ("cc_gost_openssl_" + ToHex(tag));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "openssl.cnf") << "openssl_conf = openssl_def\n"
                                           "[openssl_def]\n"
                                           "engines = engine_section\n"
                                           "[engine_section]\n"
                                           "gost = gost_section\n"
                                           "[gost_section]\n"
                                           "engine_id = gost\n"
                                           "default_algorithms = ALL\n"
                                           "CRYPT_PARAMS = "
                                        << cryptParams << "\n";
  }
  ~OpenSslGost() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  OpenSslGost(const OpenSslGost&) = delete;
  OpenSslGost& operator=(const OpenSslGost&) = delete;

  // Streebog-256 of `data` as lower-case hex, or an error text starting with "error".
  std::string Digest(std::span<const std::uint8_t> data) {
    Write("in", data);
    std::string err;
    if (!Run("dgst -md_gost12_256 -r -out " + Quote(dir_ / "out") + " " + Quote(dir_ / "in"),
             err)) {
      return "error: " + err;
    }
    const auto out = Read("out");
    return std::string(out.begin(), out.begin() + std::min<std::size_t>(out.size(), 64));
  }

  // "gost89" encryption (CFB with key meshing) of `data`; false with `err` set on failure.
  bool Encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
               std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out,
               std::string& err) {
    Write("in", data);
    if (!Run("enc -gost89 -K " + ToHex(key) + " -iv " + ToHex(iv) + " -in " + Quote(dir_ / "in") +
                 " -out " + Quote(dir_ / "out"),
             err)) {
      return false;
    }
    out = Read("out");
    return true;
  }

 private:
  static std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

  bool Run(const std::string& args, std::string& err) {
    const std::string cmd = "OPENSSL_CONF=" + Quote(dir_ / "openssl.cnf") + " openssl " + args +
                            " 2>" + Quote(dir_ / "err");
    const int status = std::system(cmd.c_str());
    const auto e = Read("err");
    err = std::string(e.begin(), e.end());
    if (status != 0) {
      err = std::string(kInstallHint) + "; '" + cmd + "' failed: " + err;
      return false;
    }
    return true;
  }

  void Write(const char* name, std::span<const std::uint8_t> data) {
    std::ofstream f(dir_ / name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }

  std::vector<std::uint8_t> Read(const char* name) {
    std::ifstream f(dir_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
};

TEST(OpenSslCrossCheck, Streebog256) {
  OpenSslGost ossl;
  for (std::size_t len : {0u, 1u, 63u, 64u, 65u, 1000u, 100003u}) {
    const auto data = Pattern(len, static_cast<std::uint32_t>(len) + 1);
    const std::string theirs = ossl.Digest(data);
    ASSERT_EQ(theirs.rfind("error", 0), std::string::npos) << theirs;
    EXPECT_EQ(ToHex(HashOnce(HashAlg::Streebog256, data)), theirs) << "length " << len;
  }
}

// Lengths past the 1024-byte meshing period, odd lengths and partial last blocks.
TEST(OpenSslCrossCheck, CfbWithKeyMeshingParamZ) {
  OpenSslGost ossl;
  int round = 0;
  for (std::size_t len : {1u, 7u, 8u, 1023u, 1024u, 1025u, 1031u, 2048u, 3001u, 4099u, 10007u}) {
    ++round;
    const auto key = Pattern(kCipherKeySize, 1000 + round);
    const auto iv = Pattern(kBlockSize, 2000 + round);
    const auto plain = Pattern(len, 3000 + round);
    std::vector<std::uint8_t> theirs;
    std::string err;
    ASSERT_TRUE(ossl.Encrypt(key, iv, plain, theirs, err)) << err;

    std::vector<std::uint8_t> ours(len);
    CfbCipher enc(CfbCipher::Direction::Encrypt, key, iv);
    // Feed in uneven pieces: the streaming result must equal openssl's one-shot result.
    for (std::size_t pos = 0, step = 1; pos < len; pos += step, step = step * 3 % 997 + 1) {
      const std::size_t n = std::min(step, len - pos);
      enc.Update(std::span(plain).subspan(pos, n), std::span(ours).subspan(pos, n));
    }
    ASSERT_EQ(ToHex(ours), ToHex(theirs)) << "length " << len;

    std::vector<std::uint8_t> back(len);
    CfbCipher(CfbCipher::Direction::Decrypt, key, iv).Update(theirs, back);
    EXPECT_EQ(back, plain) << "length " << len;
  }
}

// The comparison above is only meaningful if the configured parameter set is the one in use:
// with CryptoPro-A the engine must produce something else.
TEST(OpenSslCrossCheck, ParameterSetIsEffective) {
  OpenSslGost paramA("id-Gost28147-89-CryptoPro-A-ParamSet");
  const auto key = Pattern(kCipherKeySize, 5);
  const auto iv = Pattern(kBlockSize, 6);
  const auto plain = Pattern(64, 7);
  std::vector<std::uint8_t> theirs;
  std::string err;
  ASSERT_TRUE(paramA.Encrypt(key, iv, plain, theirs, err)) << err;
  std::vector<std::uint8_t> ours(plain.size());
  CfbCipher(CfbCipher::Direction::Encrypt, key, iv).Update(plain, ours);
  EXPECT_NE(ToHex(ours), ToHex(theirs));
}

}  // namespace
}  // namespace ccgost
