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
  const KeyPair kp = GenerateKeyPair(curve);
  ASSERT_EQ(kp.privateKey.size(), kPrivateKeySize);
  const auto digest = HashOnce(HashAlg::Streebog256, test::Bytes("message to sign"));
  const auto sig = SignDigest(curve, kp.privateKey.span(), digest);
  ASSERT_TRUE(VerifyDigest(curve, kp.publicKey, digest, sig));
  // Signing is randomised; both signatures verify.
  const auto sig2 = SignDigest(curve, kp.privateKey.span(), digest);
  EXPECT_NE(sig, sig2);
  EXPECT_TRUE(VerifyDigest(curve, kp.publicKey, digest, sig2));

  for (std::size_t i : {0u, 15u, 31u}) {
    auto d = digest;
    d[i] ^= 0x01;
    EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, d, sig)) << "digest byte " << i;
  }
  for (std::size_t i : {0u, 31u, 32u, 63u}) {
    auto s = sig;
    s[i] ^= 0x80;
    EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, s)) << "signature byte " << i;
  }
  const KeyPair other = GenerateKeyPair(curve);
  EXPECT_FALSE(VerifyDigest(curve, other.publicKey, digest, sig));
  const Curve otherCurve = curve == Curve::Tc26_256_A ? Curve::CryptoPro_A : Curve::Tc26_256_A;
  EXPECT_FALSE(VerifyDigest(otherCurve, kp.publicKey, digest, sig));
}

TEST_P(SignatureOnCurve, MalformedInputsDoNotVerify) {
  const Curve curve = GetParam();
  const KeyPair kp = GenerateKeyPair(curve);
  const auto digest = HashOnce(HashAlg::Streebog256, test::Bytes("abc"));
  const auto sig = SignDigest(curve, kp.privateKey.span(), digest);
  const std::vector<std::uint8_t> zeros(kSignatureSize, 0), ones(kSignatureSize, 0xff);
  auto offCurve = kp.publicKey;
  offCurve[63] ^= 1;
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, std::span(sig).first(63)));
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, std::span(digest).first(31), sig));
  EXPECT_FALSE(VerifyDigest(curve, std::span(kp.publicKey).first(32), digest, sig));
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, zeros));  // r = s = 0
  EXPECT_FALSE(VerifyDigest(curve, kp.publicKey, digest, ones));   // r, s >= n
  EXPECT_FALSE(VerifyDigest(curve, offCurve, digest, sig));
  EXPECT_FALSE(VerifyDigest(curve, std::vector<std::uint8_t>(kPublicKeySize, 0), digest, sig));
}

TEST_P(SignatureOnCurve, PublicKeyDerivation) {
  const Curve curve = GetParam();
  const KeyPair kp = GenerateKeyPair(curve);
  const auto pub = PublicFromPrivate(curve, kp.privateKey.span());
  ASSERT_TRUE(pub.has_value());
  EXPECT_EQ(*pub, kp.publicKey);
  EXPECT_FALSE(PublicFromPrivate(curve, std::vector<std::uint8_t>(kPrivateKeySize, 0)));
  EXPECT_FALSE(PublicFromPrivate(curve, std::vector<std::uint8_t>(kPrivateKeySize, 0xff)));
  EXPECT_FALSE(PublicFromPrivate(curve, std::vector<std::uint8_t>(31, 1)));
  std::vector<std::uint8_t> one(kPrivateKeySize, 0);
  one.back() = 1;
  EXPECT_TRUE(PublicFromPrivate(curve, one).has_value());
  EXPECT_THROW(SignDigest(curve, std::vector<std::uint8_t>(kPrivateKeySize, 0),
                          std::vector<std::uint8_t>(32, 1)),
               std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Curves, SignatureOnCurve,
                         ::testing::Values(Curve::Tc26_256_A, Curve::CryptoPro_A), test::CurveName);

}  // namespace
}  // namespace ccgost
