// The binding's buffer operations: signing and verifying memory, and enciphering it for a
// certificate or under a random key. Each runs one random-generator bracket and one context, and
// builds or reads the block layouts the engine hands to the host. Blocks that come back from the
// host are checked against their given length before any part of them is used, and a failed
// operation leaves the host's buffer as it was: results are built in buffers of the binding's own
// and copied over the host's data only on success.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "binding/ccom_dll.h"
#include "binding/guards.h"
#include "binding/key_cache.h"
#include "support/bytes.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

constexpr std::int32_t kIvSize = 8;
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
      std::memcpy(scratch.data() + head, second.data(), n - head);
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

bool ValidLength(const void* data, std::int32_t length) {
  return length >= 0 && (data != nullptr || length == 0);
}

// The parts of an enciphered block after its header, checked to fill the block exactly.
struct BlockParts {
  std::int32_t data = 0;  // C
  std::int32_t key = 0;   // K
  std::int32_t iv = 0;    // I
};
bool ReadParts(Bytes block, std::size_t offset, std::int32_t header, BlockParts& parts) {
  const auto c = ReadInt32LE(block, offset);
  const auto k = ReadInt32LE(block, offset + 4);
  const auto i = ReadInt32LE(block, offset + 8);
  if (!c || !k || !i || *c < 0 || *k < 0 || *i < 0) return false;
  if (std::int64_t{header} + *c + *k + *i != static_cast<std::int64_t>(block.size())) return false;
  parts = {*c, *k, *i};
  return true;
}

// The initialisation vector of a block; a short one is padded with zeros so that the library
// never reads beyond the block.
std::array<std::uint8_t, kIvSize> BlockIv(const std::uint8_t* iv, std::int32_t size) {
  std::array<std::uint8_t, kIvSize> out{};
  std::memcpy(out.data(), iv, static_cast<std::size_t>(std::min(size, kIvSize)));
  return out;
}

// Deciphers `input` (which lies inside the host's block of `length` bytes at `data`) and, on
// success only, writes the plaintext over the start of the block and sets `length` to its size.
std::int32_t DecipherOver(const CcEntryTable& cc, CcContext* ctx, Bytes input, std::uint8_t* data,
                          std::int32_t& length) {
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
  if (s.uid.size() >= static_cast<std::size_t>(kUidFieldSize))
    return kBadLength;  // no room for its terminator
  try {
    std::uint8_t uidField[kUidFieldSize] = {};
    std::memcpy(uidField, s.uid.data(), s.uid.size());

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
        FeedChunks(input, Bytes(uidField), scratch, [&](const std::uint8_t* p, std::int32_t n) {
          return cc_._BufferSignUpdate(ctx.get(), p, n);
        });
    if (fed != 0) return fed;
    std::int32_t n = 0;
    if (const std::int32_t r = cc_._BufferSignFinal(ctx.get(), signature.Out(), &n); r != 0)
      return r;
    if (n < 0 || n > kMaxLibrarySignature || signature.get() == nullptr) {
      blockLength = n > kMaxLibrarySignature ? n + kUidFieldSize : blockLength;
      return kOutOfMemory;
    }
    std::memcpy(block, uidField, kUidFieldSize);
    std::memcpy(block + kUidFieldSize, signature.get(), static_cast<std::size_t>(n));
    blockLength = n + kUidFieldSize;
    return kOk;
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

std::int32_t TCComDLL::VerifyBuffer(const BufferCallSettings& s, const void* data,
                                    std::int32_t length, const std::uint8_t* block,
                                    std::int32_t blockLength, char* signerUid) {
  if (s.certDir.empty()) return kNoCertificateDir;
  if (s.currentKeyPath.empty()) return kNoCurrentKeyPath;
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length) || block == nullptr || signerUid == nullptr) return kNullPointer;
  // With a known length nothing past it is read: a block must hold the UID field and a signature.
  if (blockLength > 0 && blockLength <= kUidFieldSize) return kNoSignature;
  const std::size_t uidLength = ::strnlen(reinterpret_cast<const char*>(block), kUidFieldSize);
  if (uidLength >= static_cast<std::size_t>(kUidFieldSize)) return kNullPointer;
  const std::string signer(reinterpret_cast<const char*>(block), uidLength);
  try {
    // The signer's UID reaches the caller whatever the verification gives.
    std::memcpy(signerUid, signer.c_str(), signer.size() + 1);

    // The signature: in place when the host gave no length, else a copy padded with zeros so that
    // the library, which finds the signature's end by itself, reads only the bytes given.
    std::vector<std::uint8_t> signatureCopy;
    const std::uint8_t* signature = block + kUidFieldSize;
    if (blockLength > 0) {
      const auto given =
          static_cast<std::size_t>(std::min(blockLength - kUidFieldSize, kMaxLibrarySignature));
      signatureCopy.assign(kMaxLibrarySignature, 0);
      std::memcpy(signatureCopy.data(), signature, given);
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
    if (!CachedCertificate(ctx.get(), s.uid, signer, certText)) return kCertificateNotInStore;
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
    const std::int32_t fed = FeedChunks(input, Bytes(block, kUidFieldSize), scratch,
                                        [&](const std::uint8_t* p, std::int32_t n) {
                                          return cc_._BufferSignUpdate(ctx.get(), p, n);
                                        });
    if (fed != 0) return fed;
    return cc_._BufferVerifyFinal(ctx.get(), signature);
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

std::int32_t TCComDLL::EncryptBuffer(const BufferCallSettings& s, const std::string& recipientUid,
                                     std::uint8_t* data, std::int32_t& length) {
  if (recipientUid.empty()) return kNoUid;
  if (s.certDir.empty()) return kNoCertificateDir;
  if (s.currentKeyPath.empty()) return kNoCurrentKeyPath;
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length)) return kNullPointer;
  try {
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
    if (const std::int32_t r = cc_._BufferCipherInit(ctx.get(), CC_ENCIPHER, sessionKey.get(), iv);
        r != 0)
      return r;
    // The whole block is built here: header, enciphered data, enciphered key, vector.
    const std::size_t room = static_cast<std::size_t>(length) + kCipherSlack;
    std::vector<std::uint8_t> out(kCertBlockHeader + room + static_cast<std::size_t>(keyLength) +
                                  kIvSize);
    std::size_t produced = 0;
    if (const std::int32_t r =
            RunCipher(cc_, ctx.get(), Bytes(data, static_cast<std::size_t>(length)),
                      out.data() + kCertBlockHeader, room, produced);
        r != 0)
      return r;
    const std::int64_t total =
        std::int64_t{kCertBlockHeader} + static_cast<std::int64_t>(produced) + keyLength + kIvSize;
    if (total > std::numeric_limits<std::int32_t>::max()) return kOutOfMemory;
    WriteInt32LE(out.data(), keyNumber);
    WriteInt32LE(out.data() + 4, static_cast<std::int32_t>(produced));
    WriteInt32LE(out.data() + 8, keyLength);
    WriteInt32LE(out.data() + 12, kIvSize);
    std::uint8_t* tail = out.data() + kCertBlockHeader + produced;
    if (keyLength > 0) std::memcpy(tail, encipheredKey.get(), static_cast<std::size_t>(keyLength));
    std::memcpy(tail + keyLength, iv, kIvSize);
    std::memcpy(data, out.data(), static_cast<std::size_t>(total));
    length = static_cast<std::int32_t>(total);
    return kOk;
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

std::int32_t TCComDLL::DecryptBuffer(const BufferCallSettings& s, std::uint8_t* data,
                                     std::int32_t& length) {
  if (s.uid.empty()) return kNoUid;
  if (s.currentKeyPath.empty()) return kNoCurrentKeyPath;
  if (s.secretDir.empty()) return kNoSecretDir;
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length)) return kNullPointer;
  const Bytes block(data, static_cast<std::size_t>(length));
  const auto keyNumber = ReadInt32LE(block, 0);
  BlockParts parts;
  if (!keyNumber || !ReadParts(block, 4, kCertBlockHeader, parts)) return kBadEncryptedData;
  try {
    SecRecord sec(cc_);
    SessionKey sessionKey(cc_);
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, s.randomKind, random, ctx, s.uid, s.secretDir,
                                              "", s.cipher, s.hash);
        r != 0)
      return r;

    const std::uint8_t* enciphered = data + kCertBlockHeader;
    std::vector<std::uint8_t> encipheredKey(
        static_cast<std::size_t>(parts.key) + kEncipheredKeyPadding, 0);
    std::memcpy(encipheredKey.data(), enciphered + parts.data, static_cast<std::size_t>(parts.key));
    auto iv = BlockIv(enciphered + parts.data + parts.key, parts.iv);

    SecretBytes secretText(kCacheTextSize);
    const char* secPath = cc_._GetSecPath(ctx.get(), *keyNumber);
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
    if (const std::int32_t r =
            cc_._BufferCipherInit(ctx.get(), CC_DECIPHER, sessionKey.get(), iv.data());
        r != 0)
      return r;
    return DecipherOver(cc_, ctx.get(), Bytes(enciphered, static_cast<std::size_t>(parts.data)),
                        data, length);
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

std::int32_t TCComDLL::EncryptWithRandomKey(const BufferCallSettings& s, std::uint8_t* data,
                                            std::int32_t& length, std::uint8_t* key) {
  if (!ValidLength(data, length)) return kNullPointer;
  std::vector<std::uint8_t> block;
  const std::int32_t r =
      EncryptWithRandomKey(s, Bytes(data, static_cast<std::size_t>(length)), block, key);
  if (r != 0) return r;
  std::memcpy(data, block.data(), block.size());
  length = static_cast<std::int32_t>(block.size());
  return kOk;
}

std::int32_t TCComDLL::EncryptWithRandomKey(const BufferCallSettings& s,
                                            std::span<const std::uint8_t> input,
                                            std::vector<std::uint8_t>& block, std::uint8_t* key) {
  if (s.randomFile.empty()) return kNoRandomFile;
  if (key == nullptr ||
      input.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    return kNullPointer;
  try {
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
    const std::size_t room = input.size() + kCipherSlack;
    block.resize(kKeyBlockHeader + room + kIvSize);
    std::size_t produced = 0;
    if (const std::int32_t r =
            RunCipher(cc_, ctx.get(), input, block.data() + kKeyBlockHeader, room, produced);
        r != 0)
      return r;
    const std::int64_t total =
        std::int64_t{kKeyBlockHeader} + static_cast<std::int64_t>(produced) + kIvSize;
    if (total > std::numeric_limits<std::int32_t>::max()) return kOutOfMemory;
    WriteInt32LE(block.data(), static_cast<std::int32_t>(produced));
    WriteInt32LE(block.data() + 4, 0);
    WriteInt32LE(block.data() + 8, kIvSize);
    std::memcpy(block.data() + kKeyBlockHeader + produced, iv, kIvSize);
    block.resize(static_cast<std::size_t>(total));
    std::memcpy(key, fresh.data(), kSessionKeySize);
    return kOk;
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

std::int32_t TCComDLL::DecryptWithKey(const BufferCallSettings& s, std::uint8_t* data,
                                      std::int32_t& length, const std::uint8_t* key) {
  if (s.randomFile.empty()) return kNoRandomFile;
  if (!ValidLength(data, length) || key == nullptr) return kNullPointer;
  const Bytes block(data, static_cast<std::size_t>(length));
  BlockParts parts;
  if (!ReadParts(block, 0, kKeyBlockHeader, parts)) return kBadEncryptedData;
  try {
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = OpenKeyContext(*this, s, random, ctx); r != 0) return r;

    const std::uint8_t* enciphered = data + kKeyBlockHeader;
    auto iv = BlockIv(enciphered + parts.data + parts.key, parts.iv);
    if (const std::int32_t r = cc_._BufferCipherInit(ctx.get(), CC_DECIPHER, key, iv.data());
        r != 0)
      return r;
    return DecipherOver(cc_, ctx.get(), Bytes(enciphered, static_cast<std::size_t>(parts.data)),
                        data, length);
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

}  // namespace vornak2
