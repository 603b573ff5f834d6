// The binding's buffer operations: signing and verifying memory, and enciphering it for a
// certificate or under a random key. Each runs one random-generator bracket and one context, and
// builds or reads the block layouts the engine hands to the host. Blocks that come back from the
// host are checked against their given length before any part of them is used, and a failed
// operation leaves the host's buffer as it was: every step that can fail (keys, session key, sizes)
// comes before the host's data is touched; the stream cipher then works in place in the host's
// buffer, undoing its pass should the library fail part-way, and other ciphers build their
// output in a buffer of the binding's own, copied over the host's data only on success.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "binding/ccom_dll.h"
#include "binding/guards.h"
#include "binding/key_cache.h"
#include "layouts/layouts.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

using layouts::kIvSize;
using layouts::kUidFieldSize;
constexpr std::int32_t kCipherSlack = 4096;  // the library's cipher may add up to this much
// Room behind a copied enciphered session key: the library finds its end by itself.
constexpr std::size_t kEncipheredKeyPadding = 512;

using Bytes = std::span<const std::uint8_t>;

// Feeds the concatenation of two byte ranges to `update` in pieces of at most kChunkSize bytes,
// each byte exactly once and in order, with at least one call (of length 0 for empty input). A
// piece that straddles the two ranges is put together in `scratch`; all others are passed in place.
template <typename Update>
std::int32_t FeedChunks(Bytes first, Bytes second, std::vector<std::uint8_t>& scratch,
                        Update&& update) {
  static const std::uint8_t kNothing = 0;
  const std::uint64_t total = std::uint64_t{first.size()} + second.size();
  if (total == 0) return update(&kNothing, 0);
  for (std::uint64_t pos = 0; pos < total;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, total - pos));
    const std::uint8_t* piece;
    if (pos + n <= first.size()) {
      piece = first.data() + pos;
    } else if (pos >= first.size()) {
      piece = second.data() + (pos - first.size());
    } else {
      const std::size_t head = first.size() - static_cast<std::size_t>(pos);
      scratch.resize(n);
      std::memcpy(scratch.data(), first.data() + pos, head);
      // A straddling piece implies a non-empty second range; the check says so to the optimiser,
      // which otherwise sees the empty range of a single-range caller reach this copy.
      if (second.data() != nullptr) std::memcpy(scratch.data() + head, second.data(), n - head);
      piece = scratch.data();
    }
    if (const std::int32_t r = update(piece, static_cast<std::int32_t>(n)); r != 0) return r;
    pos += n;
  }
  return kOk;
}

// Runs the cipher over `input` into `out` (which has `capacity` bytes) in chunks, then its final
// step; `produced` is the output length. An output count outside the room left is refused (4).
std::int32_t RunCipher(const CcEntryTable& cc, CcContext* ctx, Bytes input, std::uint8_t* out,
                       std::size_t capacity, std::size_t& produced) {
  produced = 0;
  auto take = [&](std::int32_t n) {
    if (n < 0 || static_cast<std::size_t>(n) > capacity - produced) return false;
    produced += static_cast<std::size_t>(n);
    return true;
  };
  std::vector<std::uint8_t> unused;
  std::int32_t r =
      FeedChunks(input, {}, unused, [&](const std::uint8_t* piece, std::int32_t n) -> std::int32_t {
        std::int32_t count = 0;
        const std::int32_t result = cc._BufferCipherUpdate(ctx, piece, n, out + produced, &count);
        if (result != 0) return result;
        return take(count) ? kOk : kBadEncryptedData;
      });
  if (r != 0) return r;
  std::int32_t count = 0;
  r = cc._BufferCipherFinal(ctx, out + produced, &count);
  if (r != 0) return r;
  return take(count) ? kOk : kBadEncryptedData;
}

// The stream cipher (the library's "28147", also its default): its output has exactly the input's
// length and it ciphers in place, so data is ciphered where it lies in the host's buffer.
bool StreamCipher(const std::string& name) {
  return name.empty() || name == "28147";
}

// Runs the stream cipher, initialised in `direction` with `key` and `iv`, over `n` bytes at `data`
// in place. When the library fails part-way (or answers another length than a stream cipher
// gives), the bytes done so far are run back through the other direction from the same key and
// vector, which gives them back as they were: a failure leaves the host's data unchanged.
std::int32_t CipherInPlace(const CcEntryTable& cc, CcContext* ctx, std::int32_t direction,
                           const std::uint8_t* key, std::uint8_t* iv, std::uint8_t* data,
                           std::size_t n) {
  auto pass = [&](std::int32_t dir, std::size_t length, std::size_t& done) -> std::int32_t {
    done = 0;
    if (const std::int32_t r = cc._BufferCipherInit(ctx, dir, key, iv); r != 0) return r;
    std::vector<std::uint8_t> unused;
    const std::int32_t fed =
        FeedChunks(Bytes(data, length), {}, unused,
                   [&](const std::uint8_t*, std::int32_t piece) -> std::int32_t {
                     std::int32_t count = 0;
                     const std::int32_t r =
                         cc._BufferCipherUpdate(ctx, data + done, piece, data + done, &count);
                     if (r != 0) return r;
                     if (count != piece) return kBadEncryptedData;
                     done += static_cast<std::size_t>(piece);
                     return kOk;
                   });
    if (fed != 0) return fed;
    std::int32_t count = 0;
    if (const std::int32_t r = cc._BufferCipherFinal(ctx, data + done, &count); r != 0) return r;
    return count == 0 ? kOk : kBadEncryptedData;
  };
  std::size_t done = 0;
  const std::int32_t result = pass(direction, n, done);
  if (result != 0 && done > 0) {
    std::size_t undone = 0;
    pass(direction == CC_ENCIPHER ? CC_DECIPHER : CC_ENCIPHER, done, undone);
  }
  return result;
}

bool ValidLength(const void* data, std::int32_t length) {
  return length >= 0 && (data != nullptr || length == 0);
}

// The initialisation vector of a block; a short one is padded with zeros so that the library
// never reads beyond the block.
std::array<std::uint8_t, kIvSize> BlockIv(Bytes iv) {
  std::array<std::uint8_t, kIvSize> out{};
  std::memcpy(out.data(), iv.data(), std::min(iv.size(), kIvSize));
  return out;
}

// The host's buffer of `length` bytes of data with the room it reserves for their enciphered
// form: nothing larger than the growth announced to the host is ever written into it.
layouts::MutableBytes EncipherRoom(std::uint8_t* data, std::int32_t length) {
  return {data, static_cast<std::size_t>(length) + layouts::kMaxEncodeAddition};
}

// Deciphers `input` (which lies inside the host's block of `length` bytes at `data`) with `key`
// and `iv` and, on success only, puts the plaintext at the start of the block and sets `length`
// to its size. The stream cipher deciphers in place; any other into a buffer of our own.
std::int32_t DecipherOver(const CcEntryTable& cc, CcContext* ctx, const std::string& cipher,
                          const std::uint8_t* key, std::uint8_t* iv, Bytes input,
                          std::uint8_t* data, std::int32_t& length) {
  if (StreamCipher(cipher)) {
    auto* at = data + (input.data() - data);
    if (const std::int32_t r = CipherInPlace(cc, ctx, CC_DECIPHER, key, iv, at, input.size());
        r != 0)
      return r;
    std::memmove(data, at, input.size());
    length = static_cast<std::int32_t>(input.size());
    return kOk;
  }
  if (const std::int32_t r = cc._BufferCipherInit(ctx, CC_DECIPHER, key, iv); r != 0) return r;
  const std::size_t room = input.size() + kCipherSlack;
  SecretBytes plain = SecretBytes::ForOverwrite(room);
  std::size_t produced = 0;
  if (const std::int32_t r = RunCipher(cc, ctx, input, plain.data(), room, produced); r != 0)
    return r;
  if (produced > static_cast<std::size_t>(length)) return kBadEncryptedData;
  std::memcpy(data, plain.data(), produced);
  length = static_cast<std::int32_t>(produced);
  return kOk;
}

// A context without identity for enciphering under a key the caller holds: the generator started
// and seeded, the algorithms set ("28147" and "34.11" for empty names).
std::int32_t OpenKeyContext(TCComDLL& dll, const BufferCallSettings& s, RandomSession& random,
                            Context& ctx) {
  const CcEntryTable& cc = dll.Entries();
  ctx.Ref() = cc._InitCryptCtx();
  if (ctx.get() == nullptr) return kOutOfMemory;
  if (const std::int32_t r = dll.InitRandom(s.randomKind); r != 0) return r;
  random.Started();
  dll.SeedRandom(s.randomKind);
  if (const std::int32_t r =
          cc._SetCipherAlgorithm(ctx.get(), s.cipher.empty() ? "28147" : s.cipher.c_str());
      r != 0)
    return r;
  if (const std::int32_t r =
          cc._SetHashAlgorithm(ctx.get(), s.hash.empty() ? "34.11" : s.hash.c_str());
      r != 0)
    return r;
  dll.SeedRandom(s.randomKind);
  return kOk;
}

}  // namespace

std::int32_t TCComDLL::SignBuffer(const BufferCallSettings& s, const void* data,
                                  std::int32_t length, std::uint8_t* block,
                                  std::int32_t& blockLength) {
  if (s.uid.empty()) return kNoUid;
  if (s.currentKeyPath.empty()) return kNoCurrentKeyPath;
  if (s.secretDir.empty()) return kNoSecretDir;
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length) || block == nullptr) return kNullPointer;
  const auto uidField = layouts::MakeUidField(s.uid);
  if (!uidField) return kBadLength;  // no room for its terminator
  return Guarded([&]() -> std::int32_t {
    CertRecord cert(cc_);
    SecRecord sec(cc_);
    LibraryBuffer signature(cc_);
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, s.randomKind, random, ctx, s.uid, s.secretDir,
                                              s.certDir, "", s.hash);
        r != 0)
      return r;

    std::vector<char> certText;
    if (!CachedCertificate(ctx.get(), s.uid, s.uid, certText)) return kCertificateNotInStore;
    CertInfoFromCache(s.secretDir, s.uid, ctx.get(), certText.data(), cert.Out());
    if (cert.get() == nullptr) return kVendorCertificateRead;
    if (s.checkValidity && cert.get()->status != 0) return cert.get()->status;

    SecretBytes secretText(kCacheTextSize);
    const char* secPath = cc_._GetSecPath(ctx.get(), cert.get()->keyNumber);
    if (secPath == nullptr || !CacheLookup(s.uid, secPath, kCacheTextSize, secretText.chars()))
      return kSecretKeyNotFound;
    const std::int32_t parsed = cc_.__SecInfo(ctx.get(), secretText.chars(), sec.Out());
    if (s.checkValidity) {
      if (sec.get() == nullptr) return parsed != kOk ? parsed : kVendorSecretKeyFormat;
      if (sec.get()->status != 0) return sec.get()->status;
    }

    if (const std::int32_t r = cc_._BufferSignInit(ctx.get(), secretText.chars()); r != 0) return r;
    std::vector<std::uint8_t> scratch;
    const Bytes input(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length));
    const std::int32_t fed =
        FeedChunks(input, Bytes(*uidField), scratch, [&](const std::uint8_t* p, std::int32_t n) {
          return cc_._BufferSignUpdate(ctx.get(), p, n);
        });
    if (fed != 0) return fed;
    std::int32_t n = 0;
    if (const std::int32_t r = cc_._BufferSignFinal(ctx.get(), signature.Out(), &n); r != 0)
      return r;
    if (n > static_cast<std::int32_t>(layouts::kMaxLibrarySignature)) {
      blockLength = n + static_cast<std::int32_t>(kUidFieldSize);
      return kOutOfMemory;
    }
    if (n < 0 || signature.get() == nullptr) return kOutOfMemory;
    const auto written = layouts::WriteSignatureBlock({block, layouts::kMaxSignatureBlock},
                                                      *uidField, Bytes(signature.get(), n));
    if (!written) return kOutOfMemory;
    blockLength = static_cast<std::int32_t>(*written);
    return kOk;
  });
}

std::int32_t TCComDLL::KeyMatchesCertificate(const BufferCallSettings& s, const char* secretText,
                                             const char* certText) {
  if (secretText == nullptr || certText == nullptr) return kNullPointer;
  return Guarded([&]() -> std::int32_t {
    static constexpr std::uint8_t kProbe[] = "does this key belong to this certificate";
    LibraryBuffer signature(cc_);
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, s.randomKind, random, ctx, s.uid, s.secretDir,
                                              s.certDir, "", s.hash);
        r != 0)
      return r;
    if (const std::int32_t r = cc_._BufferSignInit(ctx.get(), secretText); r != 0) return r;
    if (const std::int32_t r = cc_._BufferSignUpdate(ctx.get(), kProbe, sizeof kProbe); r != 0)
      return r;
    std::int32_t n = 0;
    if (const std::int32_t r = cc_._BufferSignFinal(ctx.get(), signature.Out(), &n); r != 0)
      return r;
    if (n <= 0 || n > static_cast<std::int32_t>(layouts::kMaxLibrarySignature) ||
        signature.get() == nullptr)
      return kOutOfMemory;
    // The library finds the signature's end itself: it reads from a copy padded with zeros.
    std::vector<std::uint8_t> padded(layouts::kMaxLibrarySignature, 0);
    std::memcpy(padded.data(), signature.get(), static_cast<std::size_t>(n));
    if (const std::int32_t r = cc_._BufferVerifyInit(ctx.get(), certText); r != 0) return r;
    if (const std::int32_t r = cc_._BufferSignUpdate(ctx.get(), kProbe, sizeof kProbe); r != 0)
      return r;
    return cc_._BufferVerifyFinal(ctx.get(), padded.data());
  });
}

std::int32_t TCComDLL::VerifyBuffer(const BufferCallSettings& s, const void* data,
                                    std::int32_t length, const std::uint8_t* block,
                                    std::int32_t blockLength, char* signerUid) {
  if (s.certDir.empty()) return kNoCertificateDir;
  if (s.currentKeyPath.empty()) return kNoCurrentKeyPath;
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length) || block == nullptr || signerUid == nullptr) return kNullPointer;
  // With a known length nothing past it is read: a block must hold the UID field and a signature.
  // Without one only the UID field is read here, and the library finds the signature's end.
  std::optional<layouts::SignatureBlockView> known;
  if (blockLength > 0) {
    known = layouts::ReadSignatureBlock(Bytes(block, static_cast<std::size_t>(blockLength)));
    if (!known && blockLength <= static_cast<std::int32_t>(kUidFieldSize)) return kNoSignature;
  }
  const auto signer =
      known ? std::optional(known->signerUid) : layouts::ReadSignerUid(Bytes(block, kUidFieldSize));
  if (!signer) return kNullPointer;  // a UID of 32 characters or more
  const Bytes uidField(block, kUidFieldSize);
  return Guarded([&]() -> std::int32_t {
    // The signer's UID reaches the caller whatever the verification gives.
    std::memcpy(signerUid, signer->data(), signer->size());
    signerUid[signer->size()] = '\0';

    // The signature: in place when the host gave no length, else a copy padded with zeros so that
    // the library, which finds the signature's end by itself, reads only the bytes given.
    std::vector<std::uint8_t> signatureCopy;
    const std::uint8_t* signature = layouts::UnboundedSignature(block);
    if (known) {
      signatureCopy.assign(layouts::kMaxLibrarySignature, 0);
      std::memcpy(signatureCopy.data(), known->signature.data(), known->signature.size());
      signature = signatureCopy.data();
    }

    CertRecord cert(cc_);
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, s.randomKind, random, ctx, s.uid, s.secretDir,
                                              s.certDir, "", s.hash);
        r != 0)
      return r;

    std::vector<char> certText;
    if (!CachedCertificate(ctx.get(), s.uid, std::string(*signer), certText))
      return kCertificateNotInStore;
    if (s.checkValidity) {
      const std::int32_t parsed =
          CertInfoFromCache(s.secretDir, s.uid, ctx.get(), certText.data(), cert.Out());
      if (parsed != 0) return parsed;
      if (cert.get() == nullptr) return kVendorCertificateRead;
      if (cert.get()->status != 0) return cert.get()->status;
    }
    if (const std::int32_t r = cc_._BufferVerifyInit(ctx.get(), certText.data()); r != 0) return r;
    std::vector<std::uint8_t> scratch;
    const Bytes input(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length));
    const std::int32_t fed =
        FeedChunks(input, uidField, scratch, [&](const std::uint8_t* p, std::int32_t n) {
          return cc_._BufferSignUpdate(ctx.get(), p, n);
        });
    if (fed != 0) return fed;
    return cc_._BufferVerifyFinal(ctx.get(), signature);
  });
}

std::int32_t TCComDLL::EncryptBuffer(const BufferCallSettings& s, const std::string& recipientUid,
                                     std::uint8_t* data, std::int32_t& length) {
  if (recipientUid.empty()) return kNoUid;
  if (s.certDir.empty()) return kNoCertificateDir;
  if (s.currentKeyPath.empty()) return kNoCurrentKeyPath;
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length)) return kNullPointer;
  return Guarded([&]() -> std::int32_t {
    CertRecord cert(cc_);
    SessionKey sessionKey(cc_);
    LibraryBuffer encipheredKey(cc_);
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, s.randomKind, random, ctx, s.uid, s.secretDir,
                                              s.certDir, s.cipher, s.hash);
        r != 0)
      return r;

    std::vector<char> certText;
    if (!CachedCertificate(ctx.get(), s.uid, recipientUid, certText)) return kCertificateNotInStore;
    CertInfoFromCache(s.secretDir, s.uid, ctx.get(), certText.data(), cert.Out());
    if (cert.get() == nullptr) return kVendorCertificateRead;
    if (s.checkValidity && cert.get()->status != 0) return cert.get()->status;
    const std::int32_t keyNumber = cert.get()->keyNumber;

    std::int32_t keyLength = 0;
    if (const std::int32_t r =
            cc_._SessionKeyEncrypt(ctx.get(), certText.data(), sessionKey.Out(),
                                   sessionKey.Length(), encipheredKey.Out(), &keyLength);
        r != 0)
      return r;
    if (keyLength < 0 || (keyLength > 0 && encipheredKey.get() == nullptr) ||
        sessionKey.get() == nullptr)
      return kOutOfMemory;
    SeedRandom(s.randomKind);

    std::uint8_t iv[kIvSize] = {};
    const Bytes wrappedKey(encipheredKey.get(), static_cast<std::size_t>(keyLength));
    if (StreamCipher(s.cipher)) {
      // Everything that can fail is done; the block must fit the room the host reserved. The
      // data is enciphered where it lies, then moved behind the header it gets.
      const layouts::MutableBytes room = EncipherRoom(data, length);
      if (layouts::kCertBlockHeader + static_cast<std::uint64_t>(length) + wrappedKey.size() +
              kIvSize >
          room.size())
        return kBadLength;
      // The library draws the vector as the cipher starts (and an undo starts from it).
      if (const std::int32_t r = CipherInPlace(cc_, ctx.get(), CC_ENCIPHER, sessionKey.get(), iv,
                                               data, static_cast<std::size_t>(length));
          r != 0)
        return r;
      std::memmove(data + layouts::kCertBlockHeader, data, static_cast<std::size_t>(length));
      const auto written = layouts::FinishCertBlock(
          room, keyNumber, static_cast<std::size_t>(length), wrappedKey, Bytes(iv));
      if (!written) return kBadLength;  // cannot happen: the size was checked above
      length = static_cast<std::int32_t>(*written);
      return kOk;
    }
    if (const std::int32_t r = cc_._BufferCipherInit(ctx.get(), CC_ENCIPHER, sessionKey.get(), iv);
        r != 0)
      return r;
    // Any other cipher may change the data's length: it is enciphered into a buffer of our own,
    // and the block goes over the host's data only when it is complete and fits the room the
    // host reserved.
    const std::size_t room = static_cast<std::size_t>(length) + kCipherSlack;
    std::vector<std::uint8_t> enciphered(room);
    std::size_t produced = 0;
    if (const std::int32_t r =
            RunCipher(cc_, ctx.get(), Bytes(data, static_cast<std::size_t>(length)),
                      enciphered.data(), room, produced);
        r != 0)
      return r;
    const auto written =
        layouts::WriteCertBlock(EncipherRoom(data, length), keyNumber,
                                Bytes(enciphered.data(), produced), wrappedKey, Bytes(iv));
    if (!written) return kBadLength;
    length = static_cast<std::int32_t>(*written);
    return kOk;
  });
}

std::int32_t TCComDLL::DecryptBuffer(const BufferCallSettings& s, std::uint8_t* data,
                                     std::int32_t& length) {
  if (s.uid.empty()) return kNoUid;
  if (s.currentKeyPath.empty()) return kNoCurrentKeyPath;
  if (s.secretDir.empty()) return kNoSecretDir;
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length)) return kNullPointer;
  const auto block = layouts::ReadCertBlock(Bytes(data, static_cast<std::size_t>(length)));
  if (!block) return kBadEncryptedData;
  return Guarded([&]() -> std::int32_t {
    SecRecord sec(cc_);
    SessionKey sessionKey(cc_);
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, s.randomKind, random, ctx, s.uid, s.secretDir,
                                              "", s.cipher, s.hash);
        r != 0)
      return r;

    std::vector<std::uint8_t> encipheredKey(block->key.size() + kEncipheredKeyPadding, 0);
    std::memcpy(encipheredKey.data(), block->key.data(), block->key.size());
    auto iv = BlockIv(block->iv);

    SecretBytes secretText(kCacheTextSize);
    const char* secPath = cc_._GetSecPath(ctx.get(), block->keyNumber);
    if (secPath == nullptr || !CacheLookup(s.uid, secPath, kCacheTextSize, secretText.chars()))
      return kSecretKeyNotFound;
    const std::int32_t parsed = cc_.__SecInfo(ctx.get(), secretText.chars(), sec.Out());
    if (s.checkValidity) {
      if (sec.get() == nullptr) return parsed != kOk ? parsed : kVendorSecretKeyFormat;
      if (sec.get()->status != 0) return sec.get()->status;
    }
    if (const std::int32_t r =
            cc_._SessionKeyDecrypt(ctx.get(), secretText.chars(), sessionKey.Out(),
                                   sessionKey.Length(), encipheredKey.data());
        r != 0)
      return r;
    if (sessionKey.get() == nullptr) return kOutOfMemory;
    return DecipherOver(cc_, ctx.get(), s.cipher, sessionKey.get(), iv.data(), block->data, data,
                        length);
  });
}

std::int32_t TCComDLL::EncryptWithRandomKey(const BufferCallSettings& s,
                                            std::span<const std::uint8_t> input,
                                            std::vector<std::uint8_t>& block, std::uint8_t* key) {
  if (s.randomFile.empty()) return kNoRandomFile;
  if (key == nullptr ||
      input.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    return kNullPointer;
  return Guarded([&]() -> std::int32_t {
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = OpenKeyContext(*this, s, random, ctx); r != 0) return r;
    SecretBytes fresh(kSessionKeySize);
    if (const std::int32_t r = GetRandomBytes(s.randomKind, fresh.data(), kSessionKeySize); r != 0)
      return r;

    std::uint8_t iv[kIvSize] = {};
    if (const std::int32_t r = cc_._BufferCipherInit(ctx.get(), CC_ENCIPHER, fresh.data(), iv);
        r != 0)
      return r;
    // The data is enciphered straight into the block's data area, then the block is completed.
    const std::size_t room = input.size() + kCipherSlack;
    block.resize(layouts::KeyBlockSize(room));
    const layouts::MutableBytes area = layouts::KeyBlockDataArea(block);
    std::size_t produced = 0;
    if (const std::int32_t r = RunCipher(cc_, ctx.get(), input, area.data(), area.size(), produced);
        r != 0)
      return r;
    const auto total = layouts::FinishKeyBlock(block, produced, Bytes(iv));
    if (!total) return kOutOfMemory;
    block.resize(*total);
    std::memcpy(key, fresh.data(), kSessionKeySize);
    return kOk;
  });
}

bool TCComDLL::CiphersInPlace(const BufferCallSettings& s) {
  return StreamCipher(s.cipher);
}

std::int32_t TCComDLL::NewSessionKey(const BufferCallSettings& s, std::uint8_t* key) {
  if (s.randomFile.empty()) return kNoRandomFile;
  if (key == nullptr) return kNullPointer;
  return Guarded([&]() -> std::int32_t {
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = OpenKeyContext(*this, s, random, ctx); r != 0) return r;
    return GetRandomBytes(s.randomKind, key, kSessionKeySize);
  });
}

std::int32_t TCComDLL::EncryptInPlaceWithKey(const BufferCallSettings& s, std::uint8_t* data,
                                             std::size_t length, const std::uint8_t* key,
                                             std::uint8_t* iv) {
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!StreamCipher(s.cipher)) return kBadParameters;
  if (key == nullptr || iv == nullptr || (data == nullptr && length > 0) ||
      length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    return kNullPointer;
  return Guarded([&]() -> std::int32_t {
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = OpenKeyContext(*this, s, random, ctx); r != 0) return r;
    std::memset(iv, 0, kIvSize);
    return CipherInPlace(cc_, ctx.get(), CC_ENCIPHER, key, iv, data, length);
  });
}

std::int32_t TCComDLL::DecryptWithKey(const BufferCallSettings& s, std::uint8_t* data,
                                      std::int32_t& length, const std::uint8_t* key) {
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length) || key == nullptr) return kNullPointer;
  const auto block = layouts::ReadKeyBlock(Bytes(data, static_cast<std::size_t>(length)));
  if (!block) return kBadEncryptedData;
  return Guarded([&]() -> std::int32_t {
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = OpenKeyContext(*this, s, random, ctx); r != 0) return r;

    auto iv = BlockIv(block->iv);
    return DecipherOver(cc_, ctx.get(), s.cipher, key, iv.data(), block->data, data, length);
  });
}

}  // namespace vornak2
