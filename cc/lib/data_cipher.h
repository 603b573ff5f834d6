// The ciphers of the buffer calls and the form of what they write.
//
// Enciphering seals: the data cannot be changed unnoticed. With the caller's 32-byte key K and the
// 8-byte vector IV that enciphering draws, KDF_TREE_GOSTR3411_2012_256(K, label, IV || carrier)
// gives a cipher key and a one-time authenticator key (the carrier is the enciphered session key
// that delivered K in the same context, or nothing). The output is
//   0      8   the form's marker (one for "28147", another for "28147-ECB")
//   8      n   the data under GOST 28147-89 with the cipher key: CFB with key meshing ("28147",
//              n = the data's length) or ECB with padding ("28147-ECB", n = the padded length)
//   8 + n  16  Poly1305 tag over the marker and the n enciphered bytes
// Deciphering checks the tag in its final step, and refuses the data there (CC_E_DECRYPT) when it
// fails; the plaintext it gave before that is then not the data's and must be discarded.
//
// Data enciphered before the sealed form (the cipher under K itself, without marker or tag) still
// deciphers: its first eight bytes are random, and the form is told by them. Bytes that differ from
// a marker in at most kMarkerSlack bits are taken as that marker, damaged: such data is refused,
// so that no change of a few bits can make sealed data pass for the older form. Older data whose
// first eight bytes fall that close to the marker (a chance below 3 in 10^10) cannot be read.
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
  // is wrong.
  std::optional<std::size_t> Finish(std::uint8_t* out);

 private:
  bool encipher_;
  ccgost::SecureBytes key_;
  ccgost::SecureBytes pending_;  // at most one block (plus one held-back block when deciphering)
  std::vector<std::uint8_t> paddingBlock_;  // E(8 x 0x08): completes a block run for deciphering
};

inline constexpr std::size_t kMarkerSize = 8;
inline constexpr std::size_t kMarkerSlack = 8;  // bits
inline constexpr std::size_t kTagSize = ccgost::OneTimeMac::kTagSize;
// The most one Update call writes beyond its input's length (enciphering: the marker; deciphering:
// the bytes kept back while the form was not known yet).
inline constexpr std::size_t kMaxUpdateGrowth = kMarkerSize;
// The most a Final call writes: the marker, a padding block and the tag.
inline constexpr std::size_t kMaxFinalOutput = kMarkerSize + ccgost::kBlockSize + kTagSize;

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
  enum class Form { Unknown, Sealed, Older };
  // Takes the first eight enciphered bytes: the form, or a refusal.
  std::int32_t Decide(std::span<const std::uint8_t> head);
  std::size_t Body(std::span<const std::uint8_t> in, std::uint8_t* out);
  std::int32_t SealedUpdate(std::span<const std::uint8_t> in, std::uint8_t* out,
                            std::size_t& produced);

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
  // Deciphering: the first bytes until the form is known, then the last kTagSize bytes seen (the
  // tag, once the data end).
  std::array<std::uint8_t, kTagSize> held_{};
  std::size_t heldCount_ = 0;
  ccgost::SecureBytes scratch_;  // a copy of input that shares memory with the output
};

}  // namespace cc
