// The library's state behind a context record: configuration texts, the algorithm choices, the
// key-generation settings and the running hash and cipher of the buffer calls.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "cc_abi.h"
#include "documents.h"
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

inline constexpr std::uint32_t kContextMagic = 0x58544343;  // "CCTX"

struct ContextImpl {
  CcContext abi{};  // the record the caller sees; abi.impl points back here

  std::string identifier;
  std::string secretPath;
  std::string publicPath;
  std::string certPath;  // last result of _GetCertPath
  std::string secPath;   // last result of _GetSecPath

  ccgost::HashAlg hashAlg = ccgost::HashAlg::Streebog256;
  CipherKind cipherKind = CipherKind::Cfb;
  std::int32_t pksFirst = 0;
  std::int32_t pksSecond = 0;
  std::int32_t periodDays = CC_DEFAULT_PERIOD_DAYS;

  // The certificate of the context's identifier (the caller's own) as __CertInfo last read it on
  // this context: a secret key of another tool takes its UID, key number and validity from it,
  // and new keys follow its parameter set.
  std::optional<PublicDocument> ownCertificate;

  // Buffer signing or verification in progress.
  enum class HashMode { None, Sign, Verify } hashMode = HashMode::None;
  std::unique_ptr<ccgost::Hash> hash;
  SecretKey signer;
  ccgost::Curve verifyCurve = ccgost::Curve::Tc26_256_A;
  PublicKey verifyKey;

  // Buffer ciphering in progress.
  std::unique_ptr<ccgost::CfbCipher> cfb;
  std::unique_ptr<EcbStream> ecb;

  void EndHash();    // forgets the running hash and the signing key
  void EndCipher();  // forgets the running cipher and its key
};

// The state of a live context record; null for a null, foreign or released record.
ContextImpl* ContextOf(CcContext* ctx) noexcept;

}  // namespace cc
