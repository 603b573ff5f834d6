// Runs the primitives from several threads at once; the ThreadSanitizer configuration runs it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gost.h"
#include "test_util.h"

namespace ccgost {
namespace {

using test::Pattern;

TEST(Threads, ConcurrentPrimitives) {
  // Every call keeps its state on its own; run the primitives side by side, starting with the
  // first use of the library (its one-time initialisation).
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const KeyPair kp = GenerateKeyPair(t % 2 ? Curve::CryptoPro_A : Curve::Tc26_256_A);
        const auto digest = HashOnce(HashAlg::Streebog256, Pattern(100, t * 10 + i));
        const auto sig = SignDigest(kp.curve, kp.privateKey.span(), digest);
        if (!VerifyDigest(kp.curve, kp.publicKey, digest, sig)) ++failures;
        const auto cipher = EcbEncrypt(kp.privateKey.span(), digest);
        const auto plain = EcbDecrypt(kp.privateKey.span(), cipher);
        const KeyPair peer = GenerateKeyPair(kp.curve);
        const auto ukm = Pattern(kUkmSize, t);
        const auto kek = Vko256(kp.curve, kp.privateKey.span(), peer.publicKey, ukm);
        const auto wrapped = WrapKey(kek.span(), ukm, digest);
        const auto kek2 = Vko256(kp.curve, peer.privateKey.span(), kp.publicKey, ukm);
        if (!UnwrapKey(kek2.span(), ukm, wrapped)) ++failures;
        if (!plain ||
            std::vector<std::uint8_t>(plain->data(), plain->data() + plain->size()) != digest)
          ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace ccgost
