#include <gtest/gtest.h>

#include <algorithm>

#include "gost.h"
#include "internal.h"
#include "test_util.h"

namespace ccgost {
namespace {

using test::FromHex;
using test::ToHex;

// Example of GOST R 34.10-2012 (appendix A.1) on its test curve, which libgcrypt knows as
// "GOST2001-test". Numbers are big-endian; the digest is the integer e written little-endian.
constexpr char kTestCurve[] = "GOST2001-test";
constexpr char kExD[] = "7a929ade789bb9be10ed359dd39a72c11b60961f49397eee1d19ce9891ec3b28";
constexpr char kExQ[] =
    "7f2b49e270db6d90d8595bec458b50c58585ba1d4e9b788f6689dbd8e56fd80b"
    "26f1b489d6701dd185c8413a977b3cbbaf64d1c593d26627dffb101a87ff77da";
constexpr char kExE[] = "2dfbc1b372d89a1188c09c52e0eec61fce52032ab1022e8e67ece6672b043ee5";
constexpr char kExRS[] =
    "41aa28d2f1ab148280cd9ed56feda41974053554a42767b83ad043fd39dc0493"
    "01456c64ba4642a1653c235a98a60249bcd6d3f746b631df928014f6c5bf9c40";

std::vector<std::uint8_t> ExampleDigest() {
  auto e = FromHex(kExE);
  std::reverse(e.begin(), e.end());
  return e;
}

TEST(Signature, StandardExample) {
  const auto pub = detail::PublicFromPrivateOnCurve(kTestCurve, FromHex(kExD));
  ASSERT_TRUE(pub.has_value());
  EXPECT_EQ(ToHex(*pub), kExQ);
  EXPECT_TRUE(
      detail::VerifyDigestOnCurve(kTestCurve, FromHex(kExQ), ExampleDigest(), FromHex(kExRS)));
  auto digest = ExampleDigest();
  std::reverse(digest.begin(), digest.end());  // big-endian reading of the digest must not verify
  EXPECT_FALSE(detail::VerifyDigestOnCurve(kTestCurve, FromHex(kExQ), digest, FromHex(kExRS)));
}

class SignatureOnCurve : public ::testing::TestWithParam<Curve> {};

TEST_P(SignatureOnCurve, RoundTripAndTampering) {
  const Curve curve = GetParam();
  const std::size_t n = KeySize(curve);
  const KeyPair kp = GenerateKeyPair(curve);
  ASSERT_EQ(kp.privateKey.size(), n);
  ASSERT_EQ(kp.publicKey.size(), 2 * n);
  const auto digest = HashOnce(SignatureDigest(curve), test::Bytes("message to sign"));
  ASSERT_EQ(digest.size(), n);
  const auto sig = SignDigest(curve, kp.privateKey.span(), digest);
  ASSERT_EQ(sig.size(), SignatureSize(curve));
  ASSERT_TRUE(VerifyDigest(curve, kp.publicKey, digest, sig));
  // Signing is randomised; both signatures verify.
  const auto sig2 = SignDigest(curve, kp.privateKey.span(), digest);
  EXPECT_NE(sig, sig2);
  EXPECT_TRUE(VerifyDigest(curve, kp.publicKey, digest, sig2));

  for (std::size_t i : {std::size_t{0}, n / 2, n - 1}) {
    auto d = digest;
    d[i] ^= 0x01;
    EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, d, sig)) << "digest byte " << i;
  }
  for (std::size_t i : {std::size_t{0}, n - 1, n, 2 * n - 1}) {
    auto s = sig;
    s[i] ^= 0x80;
    EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, s)) << "signature byte " << i;
  }
  const KeyPair other = GenerateKeyPair(curve);
  EXPECT_FALSE(VerifyDigest(curve, other.publicKey, digest, sig));
  // A set of another curve (of the same size) does not verify it; one of the same curve does.
  for (Curve c : kAllCurves) {
    if (KeySize(c) != n) continue;
    EXPECT_EQ(VerifyDigest(c, kp.publicKey, digest, sig), SameCurve(c, curve))
        << test::CurveText(c);
  }
}

TEST_P(SignatureOnCurve, MalformedInputsDoNotVerify) {
  const Curve curve = GetParam();
  const std::size_t n = KeySize(curve);
  const KeyPair kp = GenerateKeyPair(curve);
  const auto digest = HashOnce(SignatureDigest(curve), test::Bytes("abc"));
  const auto sig = SignDigest(curve, kp.privateKey.span(), digest);
  const std::vector<std::uint8_t> zeros(2 * n, 0), ones(2 * n, 0xff);
  auto offCurve = kp.publicKey;
  offCurve[2 * n - 1] ^= 1;
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, std::span(sig).first(2 * n - 1)));
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, std::span(digest).first(n - 1), sig));
  EXPECT_FALSE(VerifyDigest(curve, std::span(kp.publicKey).first(n), digest, sig));
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, zeros));  // r = s = 0
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, ones));   // r, s >= n
  EXPECT_FALSE(VerifyDigest(curve, offCurve, digest, sig));
  EXPECT_FALSE(VerifyDigest(curve, std::vector<std::uint8_t>(2 * n, 0), digest, sig));
}

TEST_P(SignatureOnCurve, PublicKeyDerivation) {
  const Curve curve = GetParam();
  const std::size_t n = KeySize(curve);
  const KeyPair kp = GenerateKeyPair(curve);
  const auto pub = PublicFromPrivate(curve, kp.privateKey.span());
  ASSERT_TRUE(pub.has_value());
  EXPECT_EQ(*pub, kp.publicKey);
  EXPECT_FALSE(PublicFromPrivate(curve, std::vector<std::uint8_t>(n, 0)));
  EXPECT_FALSE(PublicFromPrivate(curve, std::vector<std::uint8_t>(n, 0xff)));
  EXPECT_FALSE(PublicFromPrivate(curve, std::vector<std::uint8_t>(n - 1, 1)));
  std::vector<std::uint8_t> one(n, 0);
  one.back() = 1;
  EXPECT_TRUE(PublicFromPrivate(curve, one).has_value());
  EXPECT_THROW(SignDigest(curve, std::vector<std::uint8_t>(n, 0), std::vector<std::uint8_t>(n, 1)),
               std::invalid_argument);
  EXPECT_THROW(SignDigest(curve, kp.privateKey.span(), std::vector<std::uint8_t>(n + 1, 1)),
               std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Curves, SignatureOnCurve, ::testing::ValuesIn(kAllCurves),
                         test::CurveName);

}  // namespace
}  // namespace ccgost
