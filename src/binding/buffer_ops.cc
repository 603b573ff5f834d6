// The binding's buffer operations: signing and verifying memory, and enciphering it for a
// certificate or under a key the caller holds. Each runs one random-generator bracket and one
// context, and builds or reads the block layouts the engine hands to the host. Blocks that come
// back from the host are checked against their given length before any part of them is used.
//
// The cipher works in the host's buffer, whatever the library's cipher does to the data's length:
// its output may grow (an authentication tag from the final step) and a decipher's final step may
// refuse the data after the plaintext has been produced. Every step that can fail for another
// reason (keys, session key, sizes, memory) comes before the host's data are touched. The library
// never reads and writes the same memory in one call: each piece of input is copied to a buffer of
// our own first, and no output may reach input that has not been read yet. A refused decryption
// leaves no plaintext behind: the area it was written to is wiped.
#include <algorithm>
#include <array>
#include <cstdint>
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

// How far a cipher run went: the output bytes it counted, and whether the library was given any
// of the input (from then on, the output area may hold output).
struct CipherRun {
  std::size_t produced = 0;
  bool started = false;
};

// Runs the library's cipher, initialised already, over `length` bytes at `in` and writes its
// output from `out` on, into an area of `capacity` bytes. The input may lie inside that area, ahead
// of `out`: every piece is copied to `bounce` (kChunkSize bytes) before the library reads it, and
// an output that would reach input not read yet, or pass the area's end, is refused (4).
std::int32_t RunCipher(const CcEntryTable& cc, CcContext* ctx, const std::uint8_t* in,
                       std::size_t length, std::uint8_t* out, std::size_t capacity,
                       SecretBytes& bounce, CipherRun& run) {
  const auto inAt = reinterpret_cast<std::uintptr_t>(in);
  const auto outAt = reinterpret_cast<std::uintptr_t>(out);
  const bool inputInArea = inAt >= outAt && inAt - outAt < capacity;
  std::size_t consumed = 0;
  auto take = [&](std::int32_t count) {
    if (count < 0 || static_cast<std::size_t>(count) > capacity - run.produced) return false;
    run.produced += static_cast<std::size_t>(count);
    return !inputInArea || run.produced <= inAt - outAt + consumed;
  };
  do {
    const std::size_t n = std::min<std::size_t>(kChunkSize, length - consumed);
    if (n != 0) std::memcpy(bounce.data(), in + consumed, n);
    consumed += n;
    run.started = true;
    std::int32_t count = 0;
    if (const std::int32_t r = cc._BufferCipherUpdate(
            ctx, bounce.data(), static_cast<std::int32_t>(n), out + run.produced, &count);
        r != 0)
      return r;
    if (!take(count)) return kBadEncryptedData;
  } while (consumed < length);
  std::int32_t count = 0;
  if (const std::int32_t r = cc._BufferCipherFinal(ctx, out + run.produced, &count); r != 0)
    return r;
  return take(count) ? kOk : kBadEncryptedData;
}

// Enciphers the `length` bytes at the start of `room` into the data area that starts at
// `area` (inside `room`) and has `capacity` bytes: the plaintext is first moved to the area's end,
// so that the enciphered data, written from the area's start, has all of the area's slack to grow
// into before it meets plaintext not yet read. The cipher must be initialised. Should the run fail
// before its output reached the moved plaintext, the plaintext is moved back.
std::int32_t EncipherInRoom(const CcEntryTable& cc, CcContext* ctx, std::uint8_t* room,
                            std::size_t length, std::uint8_t* area, std::size_t capacity,
                            SecretBytes& bounce, std::size_t& produced) {
  std::uint8_t* moved = area + (capacity - length);
  std::memmove(moved, room, length);
  CipherRun run;
  const std::int32_t r = RunCipher(cc, ctx, moved, length, area, capacity, bounce, run);
  if (r != 0) {
    if (run.produced <= capacity - length) std::memmove(room, moved, length);
    return r;
  }
  produced = run.produced;
  return kOk;
}

// Deciphers `input`, which lies in the host's block at `block` behind the block's header, into the
// block's start; on success `length` becomes the plaintext's size. A failure once deciphering has
// begun wipes everything from the block's start to the input's end, so that no plaintext (nor
// a part of it that the library gave before its final step refused the data) stays behind.
std::int32_t DecipherInBlock(const CcEntryTable& cc, CcContext* ctx, Bytes input,
                             std::uint8_t* block, std::int32_t& length, SecretBytes& bounce) {
  const std::size_t area = static_cast<std::size_t>(input.data() - block) + input.size();
  CipherRun run;
  const std::int32_t r = RunCipher(cc, ctx, input.data(), input.size(), block, area, bounce, run);
  if (r != 0) {
    if (run.started) SecureWipe(block, area);
    return r;
  }
  length = static_cast<std::int32_t>(run.produced);
  return kOk;
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

    // The block must fit the room the host reserved: its header, the key and the vector leave
    // the enciphered data an area of `capacity` bytes, at least the plaintext's length.
    const Bytes wrappedKey(encipheredKey.get(), static_cast<std::size_t>(keyLength));
    const std::size_t plain = static_cast<std::size_t>(length);
    const std::size_t room = plain + layouts::kMaxEncodeAddition;
    const std::uint64_t frame =
        std::uint64_t{layouts::kCertBlockHeader} + wrappedKey.size() + kIvSize;
    if (frame + plain > room) return kBadLength;
    const std::size_t capacity = room - static_cast<std::size_t>(frame);
    SecretBytes bounce(kChunkSize);
    std::uint8_t iv[kIvSize] = {};
    if (const std::int32_t r = cc_._BufferCipherInit(ctx.get(), CC_ENCIPHER, sessionKey.get(), iv);
        r != 0)
      return r;
    std::size_t produced = 0;
    if (const std::int32_t r =
            EncipherInRoom(cc_, ctx.get(), data, plain, data + layouts::kCertBlockHeader, capacity,
                           bounce, produced);
        r != 0)
      return r;
    const auto written =
        layouts::FinishCertBlock({data, room}, keyNumber, produced, wrappedKey, Bytes(iv));
    if (!written) return kBadLength;  // cannot happen: the data stayed inside their area
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
    SecretBytes bounce(kChunkSize);
    if (const std::int32_t r =
            cc_._BufferCipherInit(ctx.get(), CC_DECIPHER, sessionKey.get(), iv.data());
        r != 0)
      return r;
    return DecipherInBlock(cc_, ctx.get(), block->data, data, length, bounce);
  });
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

std::int32_t TCComDLL::EncryptInPlaceWithKey(const BufferCallSettings& s,
                                             std::span<std::uint8_t> room, std::size_t length,
                                             std::size_t blockAt, const std::uint8_t* key,
                                             std::size_t& blockLength) {
  if (s.randomFile.empty()) return kNoRandomFile;
  if (key == nullptr || (room.data() == nullptr && !room.empty()) ||
      length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    return kNullPointer;
  if (blockAt > room.size() || layouts::KeyBlockSize(length) > room.size() - blockAt)
    return kBadLength;
  return Guarded([&]() -> std::int32_t {
    RandomSession random(cc_);
    Context ctx(*this);
    if (const std::int32_t r = OpenKeyContext(*this, s, random, ctx); r != 0) return r;
    const layouts::MutableBytes block = room.subspan(blockAt);
    const layouts::MutableBytes area = layouts::KeyBlockDataArea(block);
    SecretBytes bounce(kChunkSize);
    std::uint8_t iv[kIvSize] = {};
    if (const std::int32_t r = cc_._BufferCipherInit(ctx.get(), CC_ENCIPHER, key, iv); r != 0)
      return r;
    std::size_t produced = 0;
    if (const std::int32_t r = EncipherInRoom(cc_, ctx.get(), room.data(), length, area.data(),
                                              area.size(), bounce, produced);
        r != 0)
      return r;
    const auto written = layouts::FinishKeyBlock(block, produced, Bytes(iv));
    if (!written) return kBadLength;  // cannot happen: the data stayed inside their area
    blockLength = *written;
    return kOk;
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
    SecretBytes bounce(kChunkSize);
    if (const std::int32_t r = cc_._BufferCipherInit(ctx.get(), CC_DECIPHER, key, iv.data());
        r != 0)
      return r;
    return DecipherInBlock(cc_, ctx.get(), block->data, data, length, bounce);
  });
}

}  // namespace vornak2
