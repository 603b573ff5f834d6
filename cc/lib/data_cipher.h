// The ciphers of the buffer calls and the form of what they write.
//
// Enciphering seals: the data cannot be changed unnoticed. With the caller's 32-byte key K and the
// 8-byte vector IV that enciphering draws, KDF_TREE_GOSTR3411_2012_256(K, label, IV || carrier)
// gives a cipher key and a one-time authenticator key (the carrier is the enciphered session key
// that delivered K in the same context, or nothing). The output has one of two forms.
//
// The full form, for "28147" and for "28147-ECB" data of any length but 32 bytes:
//   0      8   the form's marker (one for "28147", another for "28147-ECB")
//   8      n   the data under GOST 28147-89 with the cipher key: CFB with key meshing ("28147",
//              n = the data's length) or ECB with padding ("28147-ECB", n = the padded length)
//   8 + n  16  Poly1305 tag over the marker and the n enciphered bytes
//
// The compact form, for "28147-ECB" data of exactly 32 bytes (a session key in a key slot):
//   0      32  the data under ECB with the cipher key, without padding
//   32     12  the first 12 bytes of the Poly1305 tag over kCompactDomain (8 bytes that are not
//              written) and the 32 enciphered bytes
// A key slot holds the ECB block of a 32-byte session key for one recipient in at most 252 bytes:
// 16 bytes of framing, the enciphered session key (116 bytes for a 256-bit recipient key, 180
// for a 512-bit one), the IV and the ECB data. With the full form (64 bytes) the block for a
// 512-bit recipient would have 268 bytes; with the compact form it has 248 (184 for a 256-bit
// one). The compact form is told apart by its length alone, with certainty: every ECB output of the
// full form and of the older form below is a whole number of blocks (an older slot has 40 bytes),
// 44 bytes are not. Deciphering ECB therefore decides the form only once it has seen 45 bytes or
// the end. The padding goes because the length is fixed; the tag is 12 bytes instead of 16, which
// still leaves a forger a chance below 2^-69 per attempt, and the data are a session key:
// deciphering the payload under a changed key fails the payload's own 16-byte tag as well. The
// domain bytes in the tag keep the two forms' tags apart: a full-form output cut to 44 bytes is no
// compact one.
//
// Deciphering checks the tag in its final step, and refuses the data there (CC_E_DECRYPT) when it
// fails; the plaintext it gave before that is then not the data's and must be discarded.
//
// Data enciphered before the sealed forms (the cipher under K itself, without marker or tag) still
// deciphers: its first eight bytes are random, and the form is told by them. Bytes that differ from
// a marker in at most kMarkerSlack bits are taken as that marker, damaged: such data is refused,
// so that no change of a few bits can make sealed data pass for the older form. Older data whose
// first eight bytes fall that close to the marker (a chance below 3 in 10^10) cannot be read; an
// older key slot is never taken for a compact one, nor the other way round.
// Whoever rewrites more of the marker makes sealed data read as older data: the reader then gets
// noise of the data's length, since the sealed form enciphers under a derived key, not under K.
// That noise tells nothing of the plaintext and nobody can steer it, so it is no more than what
// anyone holding the recipient's certificate can send anyway (data of his own, enciphered for
// it); what sealing rules out is a change that the reader takes for the sender's data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "gost.h"

namespace cc {

enum class CipherKind { Cfb, Ecb };

// GOST 28147-89 ECB with padding, fed in pieces. Enciphering emits every complete block at once
// and pads the rest in Finish; deciphering keeps the last complete block back until Finish,
// because only then is it known to carry the padding.
class EcbStream {
 public:
  EcbStream(bool encipher, std::span<const std::uint8_t> key);
  // Writes at most pending + in.size() bytes to `out`; returns the count written.
  std::size_t Update(std::span<const std::uint8_t> in, std::uint8_t* out);
  // Writes at most 8 bytes; nullopt when deciphered data is no whole block count or the padding
  // is wrong. Without padding (the compact form), the data must be a whole block count.
  enum class Padding { Padded, None };
  std::optional<std::size_t> Finish(std::uint8_t* out, Padding padding = Padding::Padded);

 private:
  bool encipher_;
  ccgost::SecureBytes key_;
  ccgost::SecureBytes pending_;  // at most one block (plus one held-back block when deciphering)
  std::vector<std::uint8_t> paddingBlock_;  // E(8 x 0x08): completes a block run for deciphering
};

inline constexpr std::size_t kMarkerSize = 8;
inline constexpr std::size_t kMarkerSlack = 8;  // bits
inline constexpr std::size_t kTagSize = ccgost::OneTimeMac::kTagSize;
// The compact form: ECB data of this length, its tag's length, and the whole output's.
inline constexpr std::size_t kCompactDataSize = 32;
inline constexpr std::size_t kCompactTagSize = 12;
inline constexpr std::size_t kCompactSize = kCompactDataSize + kCompactTagSize;
static_assert(kCompactSize % ccgost::kBlockSize != 0, "the compact form is told by its length");
// The most one Update call writes beyond its input's length: what earlier calls left back while
// the form was not known (enciphering ECB: the marker and at most 32 bytes; deciphering: at
// most 44 bytes).
inline constexpr std::size_t kMaxUpdateGrowth = kCompactSize;
// The most a Final call writes: the marker, up to 31 bytes kept back and padded to 32, the tag.
inline constexpr std::size_t kMaxFinalOutput = kMarkerSize + kCompactDataSize + kTagSize;

// One run of the cipher, from the buffer calls' init to their final step. What the stream cipher
// needs is allocated when the run is made, so that it fails part-way only when the data are
// refused (ECB works on small pieces of its own, and input that shares memory with the output is
// copied).
class DataCipher {
 public:
  // `iv` (8 bytes) is filled when enciphering and read when deciphering.
  DataCipher(CipherKind kind, bool encipher, std::span<const std::uint8_t> key, std::uint8_t* iv,
             std::span<const std::uint8_t> carrier);
  ~DataCipher();
  DataCipher(const DataCipher&) = delete;
  DataCipher& operator=(const DataCipher&) = delete;

  // Writes the output that `in` allows at `out` (which may be `in` itself, or lie anywhere apart
  // from it); CC_OK or a refusal code, and the count written in `produced`.
  std::int32_t Update(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t& produced);
  std::int32_t Final(std::uint8_t* out, std::size_t& produced);

 private:
  // Compact: ECB data of kCompactDataSize bytes (see above); Older: from before sealing.
  enum class Form { Unknown, Sealed, Compact, Older };
  // The count of first bytes a decipherer takes before it decides the form: the marker's, and
  // for ECB one more than the compact form's length.
  std::size_t DecisionPoint() const;
  // Takes the first eight enciphered bytes: the form, or a refusal.
  std::int32_t Decide(std::span<const std::uint8_t> head);
  // Deciphering: decides the form by the bytes in head_ and feeds them to it.
  std::int32_t OpenHead(std::uint8_t* out, std::size_t& produced);
  std::size_t Body(std::span<const std::uint8_t> in, std::uint8_t* out);
  std::int32_t SealedUpdate(std::span<const std::uint8_t> in, std::uint8_t* out,
                            std::size_t& produced);
  // Enciphering: writes the marker once, and counts it in the tag.
  std::size_t WriteMarker(std::uint8_t* out);
  std::int32_t CompactFinal(std::uint8_t* out, std::size_t& produced);

  CipherKind kind_;
  bool encipher_;
  Form form_;
  std::unique_ptr<ccgost::CfbCipher> cfb_;
  std::unique_ptr<EcbStream> ecb_;
  std::unique_ptr<ccgost::OneTimeMac> mac_;
  // Deciphering only: the cipher of the older form, until the form is known.
  std::unique_ptr<ccgost::CfbCipher> olderCfb_;
  std::unique_ptr<EcbStream> olderEcb_;
  bool markerWritten_ = false;
  // The first bytes, until the form is known (enciphering ECB: the plaintext, at most
  // kCompactDataSize bytes; deciphering: at most DecisionPoint() bytes).
  std::array<std::uint8_t, kCompactSize + 1> head_{};
  std::size_t headCount_ = 0;
  // Deciphering the full form: the last kTagSize bytes seen (the tag, once the data end).
  std::array<std::uint8_t, kTagSize> held_{};
  std::size_t heldCount_ = 0;
  ccgost::SecureBytes scratch_;  // a copy of input that shares memory with the output
};

}  // namespace cc
