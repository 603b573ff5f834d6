// Cross-check against an independent implementation: the openssl command with the GOST engine.
// The engine is a test dependency (Debian: openssl, libengine-gost-openssl); without it these
// tests fail rather than skip.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
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

  // Streebog-256 (or -512) of `data` as lower-case hex, or an error text starting with "error".
  std::string Digest(std::span<const std::uint8_t> data, bool big = false) {
    Write("in", data);
    std::string err;
    if (!Run(std::string("dgst ") + (big ? "-md_gost12_512" : "-md_gost12_256") + " -r -out " +
                 Quote(dir_ / "out") + " " + Quote(dir_ / "in"),
             err)) {
      return "error: " + err;
    }
    const auto out = Read("out");
    return std::string(out.begin(),
                       out.begin() + std::min<std::size_t>(out.size(), big ? 128 : 64));
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

  static std::string Quote(const fs::path& p) {
    std::string quoted(1, '\'');
    quoted += p.string();
    quoted += '\'';
    return quoted;
  }
  std::string Path(const char* name) const { return Quote(dir_ / name); }

  // Runs "openssl <args>" with our configuration; false with `err` set on failure.
  bool Run(const std::string& args, std::string& err) {
    const std::string cmd = "OPENSSL_CONF=" + Quote(dir_ / "openssl.cnf") + " openssl " + args +
                            " >" + Quote(dir_ / "stdout") + " 2>" + Quote(dir_ / "err");
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

  // A GOST R 34.10-2012 key pair of `size`-byte numbers made by openssl (algorithm
  // gost2012_256 or gost2012_512) in <name>.pem and <name>_pub.pem; the numbers are read back
  // from its text form.
  bool GenerateKey(const char* algorithm, const char* paramset, std::size_t size,
                   const std::string& name, std::vector<std::uint8_t>& priv,
                   std::vector<std::uint8_t>& pub, std::string& err) {
    const std::string pem = name + ".pem", pubPem = name + "_pub.pem", text = name + ".txt";
    if (!Run(std::string("genpkey -algorithm ") + algorithm + " -pkeyopt paramset:" + paramset +
                 " -out " + Path(pem.c_str()),
             err) ||
        !Run("pkey -in " + Path(pem.c_str()) + " -pubout -out " + Path(pubPem.c_str()), err) ||
        !Run("pkey -in " + Path(pem.c_str()) + " -text -noout -out " + Path(text.c_str()), err)) {
      return false;
    }
    const auto raw = Read(text.c_str());
    std::istringstream in(std::string(raw.begin(), raw.end()));
    std::string line, d, x, y;
    while (std::getline(in, line)) {
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string label = line.substr(0, colon), value = line.substr(colon + 1);
      std::erase_if(label, [](char c) { return c == ' '; });
      std::erase_if(value, [](char c) { return !std::isxdigit(static_cast<unsigned char>(c)); });
      if (label == "Privatekey") d = value;
      if (label == "X") x = value;
      if (label == "Y") y = value;
    }
    const std::size_t digits = 2 * size;
    if (d.empty() || x.empty() || y.empty() || d.size() > digits || x.size() > digits ||
        y.size() > digits) {
      err = "unexpected key text: " + std::string(raw.begin(), raw.end());
      return false;
    }
    auto pad = [&](const std::string& h) { return std::string(digits - h.size(), '0') + h; };
    priv = test::FromHex(pad(d));
    pub = test::FromHex(pad(x) + pad(y));
    return true;
  }

 private:
  fs::path dir_;
};

TEST(OpenSslCrossCheck, Streebog) {
  OpenSslGost ossl;
  for (const bool big : {false, true}) {
    for (std::size_t len : {0u, 1u, 63u, 64u, 65u, 1000u, 100003u}) {
      const auto data = Pattern(len, static_cast<std::uint32_t>(len) + 1);
      const std::string theirs = ossl.Digest(data, big);
      ASSERT_EQ(theirs.rfind("error", 0), std::string::npos) << theirs;
      EXPECT_EQ(ToHex(HashOnce(big ? HashAlg::Streebog512 : HashAlg::Streebog256, data)), theirs)
          << "length " << len << (big ? ", 512-bit" : "");
    }
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

struct OpenSslCurve {
  Curve curve;
  const char* paramset;  // the engine's name for the same parameter set
};

void PrintTo(const OpenSslCurve& c, std::ostream* os) {
  *os << test::CurveText(c.curve) << " (" << c.paramset << ")";
}

class OpenSslKeys : public ::testing::TestWithParam<OpenSslCurve> {};

// Keys made by openssl: our public-key derivation, VKO and signatures agree with the engine's.
TEST_P(OpenSslKeys, DerivationAgreementAndSignatures) {
  const auto [curve, paramset] = GetParam();
  const std::size_t n = KeySize(curve);
  const char* algorithm = n == 64 ? "gost2012_512" : "gost2012_256";
  const std::string md = n == 64 ? "-md_gost12_512" : "-md_gost12_256";
  OpenSslGost ossl;
  std::vector<std::uint8_t> privA, pubA, privB, pubB;
  std::string err;
  ASSERT_TRUE(ossl.GenerateKey(algorithm, paramset, n, "a", privA, pubA, err)) << err;
  ASSERT_TRUE(ossl.GenerateKey(algorithm, paramset, n, "b", privB, pubB, err)) << err;

  const auto derived = PublicFromPrivate(curve, privA);
  ASSERT_TRUE(derived.has_value());
  EXPECT_EQ(ToHex(*derived), ToHex(pubA));

  // VKO with an 8-byte UKM (a 256-bit result for keys of either size).
  const auto ukm = Pattern(kUkmSize, 77);
  ASSERT_TRUE(ossl.Run("pkeyutl -derive -inkey " + ossl.Path("a.pem") + " -peerkey " +
                           ossl.Path("b_pub.pem") + " -pkeyopt ukmhex:" + ToHex(ukm) + " -out " +
                           ossl.Path("kek"),
                       err))
      << err;
  const auto theirKek = ossl.Read("kek");
  const auto ourKek = Vko256(curve, privA, pubB, ukm);
  EXPECT_EQ(ToHex(ourKek.span()), ToHex(theirKek));

  // The engine writes a signature as s || r, big-endian; ours is r || s.
  const auto msg = Pattern(1500, 78);
  ossl.Write("msg", msg);
  ASSERT_TRUE(ossl.Run("dgst " + md + " -sign " + ossl.Path("a.pem") + " -out " + ossl.Path("sig") +
                           " " + ossl.Path("msg"),
                       err))
      << err;
  const auto theirSig = ossl.Read("sig");
  ASSERT_EQ(theirSig.size(), SignatureSize(curve));
  const auto half = static_cast<std::ptrdiff_t>(n);
  std::vector<std::uint8_t> rs(theirSig.begin() + half, theirSig.end());
  rs.insert(rs.end(), theirSig.begin(), theirSig.begin() + half);
  const auto digest = HashOnce(SignatureDigest(curve), msg);
  EXPECT_TRUE(VerifyDigest(curve, pubA, digest, rs));

  const auto ours = SignDigest(curve, privA, digest);
  std::vector<std::uint8_t> sr(ours.begin() + half, ours.end());
  sr.insert(sr.end(), ours.begin(), ours.begin() + half);
  ossl.Write("oursig", sr);
  EXPECT_TRUE(ossl.Run("dgst " + md + " -verify " + ossl.Path("a_pub.pem") + " -signature " +
                           ossl.Path("oursig") + " " + ossl.Path("msg"),
                       err))
      << err;
  auto bad = sr;
  bad[5] ^= 1;
  ossl.Write("oursig", bad);
  EXPECT_FALSE(ossl.Run("dgst " + md + " -verify " + ossl.Path("a_pub.pem") + " -signature " +
                            ossl.Path("oursig") + " " + ossl.Path("msg"),
                        err));
}

// Every parameter set, by the engine's names for it.
INSTANTIATE_TEST_SUITE_P(
    Curves, OpenSslKeys,
    ::testing::Values(
        OpenSslCurve{Curve::Tc26_256_A, "TCA"}, OpenSslCurve{Curve::CryptoPro_A, "A"},
        OpenSslCurve{Curve::Tc26_256_B, "TCB"}, OpenSslCurve{Curve::Tc26_256_C, "TCC"},
        OpenSslCurve{Curve::Tc26_256_D, "TCD"}, OpenSslCurve{Curve::CryptoPro_B, "B"},
        OpenSslCurve{Curve::CryptoPro_C, "C"}, OpenSslCurve{Curve::CryptoPro_XchA, "XA"},
        OpenSslCurve{Curve::CryptoPro_XchB, "XB"}, OpenSslCurve{Curve::Tc26_512_A, "A"},
        OpenSslCurve{Curve::Tc26_512_B, "B"}, OpenSslCurve{Curve::Tc26_512_C, "C"}),
    [](const auto& info) { return test::CurveText(info.param.curve); });

}  // namespace
}  // namespace ccgost
