#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "gost.h"
#include "test_util.h"

namespace ccgost {
namespace {

using test::Pattern;

std::vector<std::uint8_t> Vec(const SecureBytes& b) {
  return {b.data(), b.data() + b.size()};
}

class Agreement : public ::testing::TestWithParam<Curve> {};

TEST_P(Agreement, BothSidesDeriveTheSameKek) {
  const Curve curve = GetParam();
  const KeyPair recipient = GenerateKeyPair(curve);
  const KeyPair ephemeral = GenerateKeyPair(curve);
  for (const auto& ukm : {Pattern(kUkmSize, 1), std::vector<std::uint8_t>(kUkmSize, 0)}) {
    const SecureBytes sender = Vko256(curve, ephemeral.privateKey.span(), recipient.publicKey, ukm);
    const SecureBytes receiver =
        Vko256(curve, recipient.privateKey.span(), ephemeral.publicKey, ukm);
    ASSERT_EQ(sender.size(), 32u);
    EXPECT_EQ(Vec(sender), Vec(receiver));
  }
  const auto a = Vko256(curve, ephemeral.privateKey.span(), recipient.publicKey, Pattern(8, 1));
  const auto b = Vko256(curve, ephemeral.privateKey.span(), recipient.publicKey, Pattern(8, 2));
  EXPECT_NE(Vec(a), Vec(b));
}

TEST_P(Agreement, RejectsBadPeerKeysAndSizes) {
  const Curve curve = GetParam();
  const KeyPair kp = GenerateKeyPair(curve);
  auto offCurve = kp.publicKey;
  offCurve[10] ^= 4;
  const auto ukm = Pattern(kUkmSize, 3);
  EXPECT_THROW(Vko256(curve, kp.privateKey.span(), offCurve, ukm), std::invalid_argument);
  EXPECT_THROW(Vko256(curve, kp.privateKey.span(), std::span(kp.publicKey).first(63), ukm),
               std::invalid_argument);
  EXPECT_THROW(Vko256(curve, kp.privateKey.span(), kp.publicKey, std::span(ukm).first(7)),
               std::invalid_argument);
  EXPECT_THROW(Vko256(curve, std::vector<std::uint8_t>(32, 0), kp.publicKey, ukm),
               std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Curves, Agreement,
                         ::testing::Values(Curve::Tc26_256_A, Curve::CryptoPro_A), test::CurveName);

TEST(KeyWrap, RoundTripAndTampering) {
  const auto kek = Pattern(32, 10);
  const auto ukm = Pattern(kUkmSize, 11);
  const auto cek = Pattern(32, 12);
  const auto wrapped = WrapKey(kek, ukm, cek);
  const auto back = UnwrapKey(kek, ukm, wrapped);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(Vec(*back), cek);
  // The key does not appear in clear, and the UKM diversifies the result.
  EXPECT_FALSE(std::equal(cek.begin(), cek.end(), wrapped.begin()));
  EXPECT_NE(WrapKey(kek, Pattern(kUkmSize, 13), cek), wrapped);

  EXPECT_FALSE(UnwrapKey(Pattern(32, 14), ukm, wrapped).has_value());
  EXPECT_FALSE(UnwrapKey(kek, Pattern(kUkmSize, 13), wrapped).has_value());
  for (std::size_t i : {0u, 17u, 31u, 32u, 35u}) {
    auto bad = wrapped;
    bad[i] ^= 0x10;
    EXPECT_FALSE(UnwrapKey(kek, ukm, bad).has_value()) << "byte " << i;
  }
  EXPECT_FALSE(UnwrapKey(kek, ukm, std::span(wrapped).first(35)).has_value());
  EXPECT_THROW(WrapKey(kek, ukm, std::span(cek).first(16)), std::invalid_argument);
  EXPECT_THROW(WrapKey(std::span(kek).first(31), ukm, cek), std::invalid_argument);
}

// Sender and recipient of a session key, as the library's encryption uses them.
TEST(KeyWrap, TransportThroughAgreement) {
  const KeyPair recipient = GenerateKeyPair(Curve::Tc26_256_A);
  const KeyPair ephemeral = GenerateKeyPair(Curve::Tc26_256_A);
  std::vector<std::uint8_t> ukm(kUkmSize), cek(32);
  RandomBytes(ukm);
  RandomBytes(cek);
  const auto kekSend =
      Vko256(Curve::Tc26_256_A, ephemeral.privateKey.span(), recipient.publicKey, ukm);
  const auto wrapped = WrapKey(kekSend.span(), ukm, cek);
  const auto kekRecv =
      Vko256(Curve::Tc26_256_A, recipient.privateKey.span(), ephemeral.publicKey, ukm);
  const auto back = UnwrapKey(kekRecv.span(), ukm, wrapped);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(Vec(*back), cek);
}

TEST(SecureBytes, CopyMoveResize) {
  const auto bytes = Pattern(5, 1);
  SecureBytes a(bytes.data(), bytes.size());
  SecureBytes b = a;
  EXPECT_EQ(Vec(b), Vec(a));
  b.resize(100);
  EXPECT_EQ(std::vector<std::uint8_t>(b.data(), b.data() + 5), bytes);
  EXPECT_EQ(b.data()[99], 0);
  b.resize(2);
  EXPECT_EQ(Vec(b), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 2));
  SecureBytes c = std::move(b);
  EXPECT_EQ(c.size(), 2u);
  EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  c = a;
  EXPECT_EQ(Vec(c), Vec(a));
  c = SecureBytes(3);
  EXPECT_EQ(Vec(c), std::vector<std::uint8_t>(3, 0));
}

TEST(Random, FillsAndDiffers) {
  std::vector<std::uint8_t> a(64), b(64);
  AddSeed(Pattern(100, 5));
  AddSeed({});
  RandomBytes(a);
  RandomBytes(b);
  RandomBytes({});
  EXPECT_NE(a, b);
  EXPECT_NE(a, std::vector<std::uint8_t>(64, 0));
}

#ifndef _WIN32
// Small draws come from a reserve that one generator call fills: a forked child must not hand out
// the bytes its parent reserved.
TEST(Random, AForkedChildNeverRepeatsItsParentsBytes) {
  std::array<std::uint8_t, 16> first{}, parent{}, child{};
  RandomBytes(first);  // fills the reserve; what follows would come from the same fill
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    RandomBytes(child);
    _exit(write(fds[1], child.data(), child.size()) == static_cast<ssize_t>(child.size()) ? 0 : 1);
  }
  RandomBytes(parent);
  ASSERT_EQ(read(fds[0], child.data(), child.size()), static_cast<ssize_t>(child.size()));
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_NE(parent, child);
}
#endif

}  // namespace
}  // namespace ccgost
