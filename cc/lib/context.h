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
#include "data_cipher.h"
#include "documents.h"
#include "gost.h"

namespace cc {

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
  std::unique_ptr<DataCipher> cipher;
  // The session key this context last made or opened (_SessionKeyEncrypt, _SessionKeyDecrypt)
  // and the enciphered key that carries it: data enciphered under that key is sealed together
  // with its carrier, so that neither can be changed alone.
  ccgost::SecureBytes carriedKey;
  std::vector<std::uint8_t> carrier;
  // The carrier of `key`, or nothing when this context did not make or open that key.
  std::span<const std::uint8_t> CarrierOf(std::span<const std::uint8_t> key) const;

  void EndHash();    // forgets the running hash and the signing key
  void EndCipher();  // forgets the running cipher and its key
};

// The state of a live context record; null for a null, foreign or released record.
ContextImpl* ContextOf(CcContext* ctx) noexcept;

}  // namespace cc
