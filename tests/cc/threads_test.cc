// Several threads, each with its own contexts, use the library at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support.h"

namespace cctest {
namespace {

TEST(CcThreads, ParallelUseWithOwnContexts) {
  const Pki& pki = TestPki();
  constexpr int kThreads = 4;
  std::vector<User> users;
  for (int i = 0; i < kThreads; ++i) users.push_back(pki.MakeUser("T." + std::to_string(i), i));
  std::atomic<int> failures{0};
  auto work = [&](int index) {
    std::mt19937 rng(static_cast<unsigned>(index));
    const User& me = users[static_cast<std::size_t>(index)];
    const User& peer = users[static_cast<std::size_t>((index + 1) % kThreads)];
    SetAuthorityText(pki.autText);
    for (int round = 0; round < 4; ++round) {
      Ctx ctx = NewCtx(round % 2 ? "28147-ECB" : "28147");
      ctx->authorityLookup = &AuthorityLookup;
      // Certificate record.
      CcCertInfo* raw = nullptr;
      if (Cc().__CertInfo(ctx.get(), peer.certText.c_str(), &raw) != 0 || raw->status != 0)
        ++failures;
      CertInfo info(raw);
      // Signature.
      const auto data = RandomBytes(3000, rng);
      const auto sig = SignChunked(ctx.get(), me.secretText, data, RandomSplit(data.size(), rng));
      if (sig.size() != CC_SIGNATURE_SIZE ||
          VerifyChunked(ctx.get(), me.certText, data, sig.data()) != 0)
        ++failures;
      // Session key for the peer, then ciphering with it.
      std::uint8_t *key = nullptr, *blob = nullptr;
      std::int32_t keyLen = 0, blobLen = 0;
      if (Cc()._SessionKeyEncrypt(ctx.get(), peer.certText.c_str(), &key, &keyLen, &blob,
                                  &blobLen) != 0) {
        ++failures;
        continue;
      }
      CleanBuffer keyGuard(key, CleanBufferDeleter{keyLen});
      Buffer blobGuard(blob);
      std::uint8_t* back = nullptr;
      std::int32_t backLen = 0;
      if (Cc()._SessionKeyDecrypt(ctx.get(), peer.secretText.c_str(), &back, &backLen, blob) != 0)
        ++failures;
      CleanBuffer backGuard(back, CleanBufferDeleter{backLen});
      std::uint8_t iv[CC_IV_SIZE] = {};
      std::vector<std::uint8_t> c, p;
      if (CipherChunked(ctx.get(), CC_ENCIPHER, key, iv, data, c, RandomSplit(data.size(), rng)) !=
              0 ||
          CipherChunked(ctx.get(), CC_DECIPHER, back, iv, c, p) != 0 || p != data)
        ++failures;
      // Key generation.
      char *s = nullptr, *r = nullptr;
      if (Cc()._NewKeys(ctx.get(), "N.1", round, &s, &r, 0, 0) != 0) ++failures;
      Text sg(s), rg(r);
      std::uint8_t buf[64];
      if (Cc()._GetRandom(buf, sizeof buf) != 0) ++failures;
    }
    SetAuthorityText("");
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(work, i);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace cctest
