// Signatures, ciphers and session keys through the entry points.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "support.h"

namespace cctest {
namespace {

class CcCrypto : public ::testing::Test {
 protected:
  const Pki& pki = TestPki();
  const User alice = pki.MakeUser("H.0", 0);
  std::mt19937 rng{12345};
};

TEST_F(CcCrypto, SignatureVerifiesAndAnyChangeIsRefused) {
  for (const char* hash : {"34.11", "MD5"}) {
    SCOPED_TRACE(hash);
    Ctx ctx = NewCtx("28147", hash);
    const std::vector<std::uint8_t> data = RandomBytes(1000, rng);
    const std::vector<std::uint8_t> sig = SignChunked(ctx.get(), alice.secretText, data);
    ASSERT_EQ(sig.size(), std::size_t{CC_SIGNATURE_SIZE});
    EXPECT_EQ(VerifyChunked(ctx.get(), alice.certText, data, sig.data()), 0);

    std::vector<std::uint8_t> changed = data;
    changed[rng() % changed.size()] ^= 0x01;
    EXPECT_EQ(VerifyChunked(ctx.get(), alice.certText, changed, sig.data()), CC_E_SIGNATURE);
    std::vector<std::uint8_t> longer = data;
    longer.push_back(0);
    EXPECT_EQ(VerifyChunked(ctx.get(), alice.certText, longer, sig.data()), CC_E_SIGNATURE);
    for (std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
      std::vector<std::uint8_t> badSig = sig;
      badSig[at] ^= 0x80;
      EXPECT_EQ(VerifyChunked(ctx.get(), alice.certText, data, badSig.data()), CC_E_SIGNATURE)
          << "signature byte " << at;
    }
    // Another signer's certificate.
    const User bob = pki.MakeUser("B.1", 1);
    EXPECT_EQ(VerifyChunked(ctx.get(), bob.certText, data, sig.data()), CC_E_SIGNATURE);
  }
}

TEST_F(CcCrypto, SignaturesOverEmptyAndLargeData) {
  Ctx ctx = NewCtx();
  const std::vector<std::uint8_t> empty;
  const auto sig0 = SignChunked(ctx.get(), alice.secretText, empty);
  EXPECT_EQ(VerifyChunked(ctx.get(), alice.certText, empty, sig0.data()), 0);
  // Exactly two full 65 528-byte chunks, as the adapter feeds them.
  const std::vector<std::uint8_t> big = RandomBytes(2 * 65528, rng);
  const std::vector<std::size_t> chunks = {65528, 65528};
  const auto sig = SignChunked(ctx.get(), alice.secretText, big, chunks);
  EXPECT_EQ(VerifyChunked(ctx.get(), alice.certText, big, sig.data()), 0);
}

// Any split of the data over update calls signs and verifies the same bytes.
TEST_F(CcCrypto, ChunkedSigningEqualsOneShot) {
  Ctx ctx = NewCtx();
  for (std::size_t size :
       {std::size_t{1}, std::size_t{100}, std::size_t{5000}, std::size_t{140000}}) {
    const std::vector<std::uint8_t> data = RandomBytes(size, rng);
    for (int round = 0; round < 3; ++round) {
      const auto split = RandomSplit(size, rng);
      const auto chunkedSig = SignChunked(ctx.get(), alice.secretText, data, split);
      EXPECT_EQ(VerifyChunked(ctx.get(), alice.certText, data, chunkedSig.data()), 0) << size;
      const auto oneShotSig = SignChunked(ctx.get(), alice.secretText, data);
      EXPECT_EQ(
          VerifyChunked(ctx.get(), alice.certText, data, oneShotSig.data(), RandomSplit(size, rng)),
          0)
          << size;
    }
  }
}

TEST_F(CcCrypto, SigningRefusesBadInput) {
  Ctx ctx = NewCtx();
  EXPECT_EQ(Cc()._BufferSignInit(ctx.get(), "garbage"), CC_E_SECRET_FORMAT);
  EXPECT_EQ(Cc()._BufferSignInit(ctx.get(), nullptr), CC_E_SECRET_FORMAT);
  EXPECT_EQ(Cc()._BufferVerifyInit(ctx.get(), "garbage"), CC_E_CERT_HEADER);
  EXPECT_EQ(Cc()._BufferVerifyInit(ctx.get(), nullptr), CC_E_CERT_READ);
  ASSERT_EQ(Cc()._BufferSignInit(ctx.get(), alice.secretText.c_str()), 0);
  EXPECT_EQ(Cc()._BufferSignUpdate(ctx.get(), nullptr, 5), CC_E_BAD_ARGUMENT);
  EXPECT_EQ(Cc()._BufferSignUpdate(ctx.get(), "x", -1), CC_E_BAD_ARGUMENT);
  EXPECT_EQ(Cc()._BufferSignUpdate(ctx.get(), "x", CC_MAX_CHUNK + 1), CC_E_BAD_ARGUMENT);
  EXPECT_EQ(Cc()._BufferSignFinal(ctx.get(), nullptr, nullptr), CC_E_BAD_ARGUMENT);
  // A text longer than any key file is refused without being read to its end.
  std::string huge = alice.secretText + std::string(5000, '\n');
  EXPECT_EQ(Cc()._BufferSignInit(ctx.get(), huge.c_str()), CC_E_SECRET_FORMAT);
}

TEST_F(CcCrypto, UnknownAlgorithmNamesAreRefused) {
  Ctx ctx = NewCtx();
  for (const char* name : {"SQR", "DES", "DES-ECB", "", "28147-CBC", "GOST"})
    EXPECT_EQ(Cc()._SetCipherAlgorithm(ctx.get(), name), CC_E_UNKNOWN_CIPHER) << name;
  for (const char* name : {"SQR", "DES", "SHA1", "", "34.11-512", "MD4"})
    EXPECT_EQ(Cc()._SetHashAlgorithm(ctx.get(), name), CC_E_UNKNOWN_HASH) << name;
  EXPECT_EQ(Cc()._SetCipherAlgorithm(ctx.get(), nullptr), CC_E_UNKNOWN_CIPHER);
  EXPECT_EQ(Cc()._SetHashAlgorithm(ctx.get(), nullptr), CC_E_UNKNOWN_HASH);
  for (const char* name : {"28147", "28147-ECB", "28147-ecb"})
    EXPECT_EQ(Cc()._SetCipherAlgorithm(ctx.get(), name), 0) << name;
  for (const char* name : {"34.11", "MD5", "md5"})
    EXPECT_EQ(Cc()._SetHashAlgorithm(ctx.get(), name), 0) << name;
}

// Whatever the pieces, enciphered data deciphers to itself: the marker, the enciphered data
// (padded for ECB) and the 16-byte tag; 32 bytes under ECB without marker and padding, with a
// 12-byte tag.
TEST_F(CcCrypto, ChunkedCipheringRoundTrips) {
  const std::vector<std::uint8_t> key = RandomBytes(32, rng);
  for (const char* cipher : {"28147", "28147-ECB"}) {
    Ctx ctx = NewCtx(cipher);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{8}, std::size_t{31},
                             std::size_t{32}, std::size_t{1029}, std::size_t{70000}}) {
      SCOPED_TRACE(std::string(cipher) + " size " + std::to_string(size));
      const std::vector<std::uint8_t> plain = RandomBytes(size, rng);
      const bool ecb = std::string(cipher) == "28147-ECB";
      for (int round = 0; round < 3; ++round) {
        std::uint8_t iv[CC_IV_SIZE] = {};
        std::vector<std::uint8_t> sealed, back;
        ASSERT_EQ(CipherChunked(ctx.get(), CC_ENCIPHER, key.data(), iv, plain, sealed,
                                round == 0 ? std::vector<std::size_t>{} : RandomSplit(size, rng)),
                  0);
        EXPECT_EQ(sealed.size(),
                  ecb && size == 32 ? 44 : 8 + (ecb ? (size / 8 + 1) * 8 : size) + 16);
        ASSERT_EQ(CipherChunked(ctx.get(), CC_DECIPHER, key.data(), iv, sealed, back,
                                RandomSplit(sealed.size(), rng)),
                  0);
        EXPECT_EQ(back, plain);
      }
    }
  }
}

// Enciphered data with any bit changed, cut, lengthened, or deciphered with another vector or key
// is refused by the final step (a changed marker at once), in both forms: the compact one cut or
// lengthened is no whole number of blocks.
TEST_F(CcCrypto, SealedDataRefusesEveryChange) {
  const std::vector<std::uint8_t> key = RandomBytes(32, rng);
  for (const auto& [cipher, size] :
       {std::pair{"28147", 40}, std::pair{"28147-ECB", 40}, std::pair{"28147-ECB", 32}}) {
    SCOPED_TRACE(std::string(cipher) + " size " + std::to_string(size));
    const std::vector<std::uint8_t> plain = RandomBytes(static_cast<std::size_t>(size), rng);
    Ctx ctx = NewCtx(cipher);
    std::uint8_t iv[CC_IV_SIZE] = {};
    std::vector<std::uint8_t> sealed, back;
    ASSERT_EQ(CipherChunked(ctx.get(), CC_ENCIPHER, key.data(), iv, plain, sealed), 0);
    struct Case {
      std::string what;
      std::vector<std::uint8_t> data;
      std::vector<std::uint8_t> iv, key;
      std::int32_t expected = CC_E_DECRYPT;
    };
    const std::int32_t lengthChanged = sealed.size() == 44 ? CC_E_BLOCK_FORMAT : CC_E_DECRYPT;
    const std::vector<std::uint8_t> ivBytes(iv, iv + CC_IV_SIZE);
    std::vector<Case> cases;
    for (std::size_t at = 0; at < sealed.size(); ++at) {
      std::vector<std::uint8_t> changed = sealed;
      changed[at] ^= static_cast<std::uint8_t>(1u << (at % 8));
      cases.push_back({"bit flipped at " + std::to_string(at), changed, ivBytes, key});
    }
    cases.push_back(
        {"last byte cut", {sealed.begin(), sealed.end() - 1}, ivBytes, key, lengthChanged});
    std::vector<std::uint8_t> longer = sealed;
    longer.push_back(0);
    cases.push_back({"a byte added", longer, ivBytes, key, lengthChanged});
    std::vector<std::uint8_t> otherIv = ivBytes;
    otherIv[7] ^= 0x40;
    cases.push_back({"another vector", sealed, otherIv, key});
    cases.push_back({"another key", sealed, ivBytes, RandomBytes(32, rng)});
    for (Case& c : cases) {
      EXPECT_EQ(CipherChunked(ctx.get(), CC_DECIPHER, c.key.data(), c.iv.data(), c.data, back,
                              RandomSplit(c.data.size(), rng)),
                c.expected)
          << c.what;
    }
    ASSERT_EQ(CipherChunked(ctx.get(), CC_DECIPHER, key.data(), iv, sealed, back), 0);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(Cc()._BufferCipherInit(ctx.get(), 2, key.data(), iv), CC_E_BAD_ARGUMENT);
    EXPECT_EQ(Cc()._BufferCipherInit(ctx.get(), CC_ENCIPHER, nullptr, iv), CC_E_BAD_ARGUMENT);
  }
}

// Data enciphered before the sealed form (the plain cipher under the session key) deciphers as it
// always did, in any pieces.
TEST_F(CcCrypto, DataOfTheOlderFormStillDeciphers) {
  const std::vector<std::uint8_t> key = RandomBytes(32, rng);
  // 32 bytes: a key slot of the older form (40 bytes under ECB).
  for (std::size_t size : {std::size_t{0}, std::size_t{3}, std::size_t{8}, std::size_t{9},
                           std::size_t{32}, std::size_t{70000}}) {
    const std::vector<std::uint8_t> plain = RandomBytes(size, rng);
    std::uint8_t iv[CC_IV_SIZE] = {9, 8, 7, 6, 5, 4, 3, 2};
    std::vector<std::uint8_t> cfb(size);
    ccgost::CfbCipher(ccgost::CfbCipher::Direction::Encrypt, key, std::span(iv)).Update(plain, cfb);
    const std::vector<std::uint8_t> ecb = ccgost::EcbEncrypt(key, plain);
    for (const auto& [cipher, older] : {std::pair{"28147", cfb}, std::pair{"28147-ECB", ecb}}) {
      SCOPED_TRACE(std::string(cipher) + " size " + std::to_string(size));
      Ctx ctx = NewCtx(cipher);
      std::vector<std::uint8_t> back;
      ASSERT_EQ(CipherChunked(ctx.get(), CC_DECIPHER, key.data(), iv, older, back,
                              RandomSplit(older.size(), rng)),
                0);
      EXPECT_EQ(back, plain);
    }
  }
  // ECB data is never empty: nothing at all is no block.
  Ctx ecb = NewCtx("28147-ECB");
  std::uint8_t iv[CC_IV_SIZE] = {};
  std::vector<std::uint8_t> back;
  EXPECT_EQ(CipherChunked(ecb.get(), CC_DECIPHER, key.data(), iv, {}, back), CC_E_BLOCK_FORMAT);
}

// Data enciphered under a session key that a context made for a certificate is sealed together
// with the enciphered key (of the size of the recipient's key): deciphered in a context that
// opened that same enciphered key, it reads; with the key alone, or after the enciphered key's
// unchecked header bytes were changed, it is refused.
TEST_F(CcCrypto, EncipheredSessionKeyIsSealedWithTheData) {
  const std::vector<std::uint8_t> plain = RandomBytes(100, rng);
  const std::pair<User, std::int32_t> recipients[] = {
      {alice, CC_ENCIPHERED_KEY_SIZE},
      {pki.MakeUser("H.9", 9, -60, 60 * 24, ccgost::Curve::Tc26_512_A),
       CC_ENCIPHERED_KEY_SIZE_512}};
  for (const auto& entry : recipients) {
    const auto& recipient = entry.first;
    const auto& carrierSize = entry.second;
    SCOPED_TRACE("enciphered key of " + std::to_string(carrierSize) + " bytes");
    Ctx sender = NewCtx();
    std::uint8_t *key = nullptr, *blob = nullptr;
    std::int32_t keyLen = 0, blobLen = 0;
    ASSERT_EQ(Cc()._SessionKeyEncrypt(sender.get(), recipient.certText.c_str(), &key, &keyLen,
                                      &blob, &blobLen),
              0);
    CleanBuffer keyGuard(key, CleanBufferDeleter{keyLen});
    Buffer blobGuard(blob);
    ASSERT_EQ(blobLen, carrierSize);
    std::uint8_t iv[CC_IV_SIZE] = {};
    std::vector<std::uint8_t> sealed, back;
    ASSERT_EQ(CipherChunked(sender.get(), CC_ENCIPHER, key, iv, plain, sealed), 0);

    // Reading: the enciphered key is opened in the reader's context, then the data deciphered
    // with the key it gives.
    auto read = [&](const std::vector<std::uint8_t>& carrier, bool open) {
      Ctx reader = NewCtx();
      if (open) {
        std::uint8_t* opened = nullptr;
        std::int32_t openedLen = 0;
        const std::int32_t rc = Cc()._SessionKeyDecrypt(reader.get(), recipient.secretText.c_str(),
                                                        &opened, &openedLen, carrier.data());
        CleanBuffer guard(opened, CleanBufferDeleter{openedLen});
        if (rc != 0) return rc;
      }
      return CipherChunked(reader.get(), CC_DECIPHER, key, iv, sealed, back);
    };
    const std::vector<std::uint8_t> carrier(blob, blob + blobLen);
    EXPECT_EQ(read(carrier, true), 0);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(read(carrier, false), CC_E_DECRYPT);
    for (std::size_t at = 4; at < 8; ++at) {  // the recipient's key number
      std::vector<std::uint8_t> changed = carrier;
      changed[at] ^= 0x01;
      EXPECT_EQ(read(changed, true), CC_E_DECRYPT) << "byte " << at;
    }
  }
}

TEST_F(CcCrypto, CfbDecipheringIsTheSameInAnyPieces) {
  Ctx ctx = NewCtx("28147");
  const std::vector<std::uint8_t> key = RandomBytes(32, rng), data = RandomBytes(3000, rng);
  std::uint8_t iv[CC_IV_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<std::uint8_t> oneShot, chunked;
  ASSERT_EQ(CipherChunked(ctx.get(), CC_DECIPHER, key.data(), iv, data, oneShot), 0);
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(CipherChunked(ctx.get(), CC_DECIPHER, key.data(), iv, data, chunked,
                            RandomSplit(data.size(), rng)),
              0);
    EXPECT_EQ(chunked, oneShot);
  }
}

TEST_F(CcCrypto, EncipheringDrawsAFreshIv) {
  Ctx ctx = NewCtx("28147");
  const std::vector<std::uint8_t> key = RandomBytes(32, rng), plain = RandomBytes(64, rng);
  std::uint8_t iv1[CC_IV_SIZE] = {}, iv2[CC_IV_SIZE] = {};
  std::vector<std::uint8_t> c1, c2;
  ASSERT_EQ(CipherChunked(ctx.get(), CC_ENCIPHER, key.data(), iv1, plain, c1), 0);
  ASSERT_EQ(CipherChunked(ctx.get(), CC_ENCIPHER, key.data(), iv2, plain, c2), 0);
  EXPECT_NE(std::vector<std::uint8_t>(iv1, iv1 + 8), std::vector<std::uint8_t>(iv2, iv2 + 8));
  EXPECT_NE(c1, c2);
}

TEST_F(CcCrypto, SessionKeyReachesOnlyItsRecipient) {
  const User bob = pki.MakeUser("B.1", 1);
  Ctx ctx = NewCtx();
  std::uint8_t *key = nullptr, *blob = nullptr;
  std::int32_t keyLen = 0, blobLen = 0;
  ASSERT_EQ(
      Cc()._SessionKeyEncrypt(ctx.get(), alice.certText.c_str(), &key, &keyLen, &blob, &blobLen),
      0);
  CleanBuffer keyGuard(key, CleanBufferDeleter{keyLen});
  Buffer blobGuard(blob);
  ASSERT_EQ(keyLen, CC_SESSION_KEY_SIZE);
  ASSERT_EQ(blobLen, CC_ENCIPHERED_KEY_SIZE);

  std::uint8_t* back = nullptr;
  std::int32_t backLen = 0;
  ASSERT_EQ(Cc()._SessionKeyDecrypt(ctx.get(), alice.secretText.c_str(), &back, &backLen, blob), 0);
  CleanBuffer backGuard(back, CleanBufferDeleter{backLen});
  ASSERT_EQ(backLen, keyLen);
  EXPECT_EQ(0, std::memcmp(back, key, 32));

  std::uint8_t* wrong = nullptr;
  std::int32_t wrongLen = 0;
  EXPECT_EQ(Cc()._SessionKeyDecrypt(ctx.get(), bob.secretText.c_str(), &wrong, &wrongLen, blob),
            CC_E_DECRYPT);
  EXPECT_EQ(wrong, nullptr);
  // Damaged blocks: a flipped bit anywhere in the key material is caught by the MAC or the
  // point check; a wrong header is a format error.
  for (std::size_t at : {std::size_t{10}, std::size_t{75}, std::size_t{90}, std::size_t{113}}) {
    std::vector<std::uint8_t> damaged(blob, blob + blobLen);
    damaged[at] ^= 0x04;
    EXPECT_EQ(Cc()._SessionKeyDecrypt(ctx.get(), alice.secretText.c_str(), &wrong, &wrongLen,
                                      damaged.data()),
              CC_E_DECRYPT)
        << "byte " << at;
  }
  std::vector<std::uint8_t> badTag(blob, blob + blobLen);
  badTag[0] ^= 0xFF;
  EXPECT_EQ(Cc()._SessionKeyDecrypt(ctx.get(), alice.secretText.c_str(), &wrong, &wrongLen,
                                    badTag.data()),
            CC_E_BLOCK_FORMAT);
  EXPECT_EQ(wrong, nullptr);
}

TEST_F(CcCrypto, SessionKeyRefusesBadCertificates) {
  Ctx ctx = NewCtx();
  std::uint8_t *key = nullptr, *blob = nullptr;
  std::int32_t keyLen = 0, blobLen = 0;
  EXPECT_EQ(Cc()._SessionKeyEncrypt(ctx.get(), "nonsense", &key, &keyLen, &blob, &blobLen),
            CC_E_CERT_HEADER);
  EXPECT_EQ(
      Cc()._SessionKeyEncrypt(ctx.get(), alice.requestText.c_str(), &key, &keyLen, &blob, &blobLen),
      CC_E_CERT_FORMAT);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(blob, nullptr);
  EXPECT_EQ(
      Cc()._SessionKeyEncrypt(ctx.get(), alice.certText.c_str(), nullptr, &keyLen, &blob, &blobLen),
      CC_E_BAD_ARGUMENT);
}

// The enciphered session key and a 32-byte input sealed under "28147-ECB" must fit the
// multi-recipient key slot with its 24 bytes of framing, for a recipient key of either size.
TEST_F(CcCrypto, MultiRecipientSlotBudget) {
  const User recipients[] = {alice,
                             pki.MakeUser("H.9", 9, -60, 60 * 24, ccgost::Curve::Tc26_512_C)};
  for (const User& recipient : recipients) {
    Ctx ctx = NewCtx("28147-ECB");
    std::uint8_t *key = nullptr, *blob = nullptr;
    std::int32_t keyLen = 0, blobLen = 0;
    ASSERT_EQ(Cc()._SessionKeyEncrypt(ctx.get(), recipient.certText.c_str(), &key, &keyLen, &blob,
                                      &blobLen),
              0);
    CleanBuffer keyGuard(key, CleanBufferDeleter{keyLen});
    Buffer blobGuard(blob);
    const std::vector<std::uint8_t> input = RandomBytes(32, rng);
    std::uint8_t iv[CC_IV_SIZE] = {};
    std::vector<std::uint8_t> out;
    ASSERT_EQ(CipherChunked(ctx.get(), CC_ENCIPHER, key, iv, input, out), 0);
    const std::size_t total = static_cast<std::size_t>(blobLen) + out.size() + 24;
    std::printf(
        "multi-recipient key slot: enciphered session key %d + ECB output %zu + framing 24 = %zu "
        "(limit 252)\n",
        blobLen, out.size(), total);
    EXPECT_EQ(out.size(), 44u);  // the compact form: 32 bytes of key, a 12-byte tag
    EXPECT_LE(total, 252u);
  }
}

}  // namespace
}  // namespace cctest
