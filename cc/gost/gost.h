// GOST primitives of our cc library, all computed by libgcrypt. This header is the contract
// between the primitives and the library's entry points; nothing here knows about files,
// contexts or text formats.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ccgost {

// Initialises libgcrypt once per process (thread-safe, idempotent). Every other function calls it.
void Init();

// A byte buffer for secret material: wiped before its memory is released or reused.
class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(std::size_t n);
  SecureBytes(const std::uint8_t* p, std::size_t n);
  SecureBytes(const SecureBytes&);
  SecureBytes& operator=(const SecureBytes&);
  SecureBytes(SecureBytes&&) noexcept;
  SecureBytes& operator=(SecureBytes&&) noexcept;
  ~SecureBytes();
  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  std::size_t size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }
  void resize(std::size_t n);  // wipes the old storage when it moves
  std::span<std::uint8_t> span() noexcept { return bytes_; }
  std::span<const std::uint8_t> span() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Overwrites memory in a way the compiler cannot drop.
void Wipe(void* p, std::size_t n) noexcept;

// ---- random ----
// Fills `out` from libgcrypt's strong generator (GCRY_STRONG_RANDOM), after mixing in any seed
// material added with AddSeed. Thread-safe.
void RandomBytes(std::span<std::uint8_t> out);
// Adds caller-supplied seed material to the generator (gcry_random_add_bytes); never weakens it.
void AddSeed(std::span<const std::uint8_t> seed);

// ---- hashing ----
enum class HashAlg { Streebog256, Md5, Streebog512 };
inline constexpr std::size_t kStreebog256Size = 32;
inline constexpr std::size_t kStreebog512Size = 64;
// Incremental hash; Update may be called any number of times (also with empty input).
class Hash {
 public:
  explicit Hash(HashAlg alg);
  ~Hash();
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  void Update(std::span<const std::uint8_t> data);
  // Returns the digest (32 bytes for Streebog256, 64 for Streebog512, 16 for MD5); the object may
  // not be updated after.
  std::vector<std::uint8_t> Final();
  std::size_t DigestSize() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
std::vector<std::uint8_t> HashOnce(HashAlg alg, std::span<const std::uint8_t> data);
// A fast collision-resistant fingerprint (SHA-256) for remembering inputs that passed a check;
// never part of any format.
std::array<std::uint8_t, 32> Fingerprint(std::span<const std::uint8_t> data);

// ---- GOST R 34.10-2012 ----
// The parameter sets of the public standards, 256-bit and 512-bit. Some name one curve under two
// or three identifiers (tc26-256-B = CryptoPro-A = CryptoPro-XchA, tc26-256-C = CryptoPro-B,
// tc26-256-D = CryptoPro-C = CryptoPro-XchB): a key keeps the set it was made with, the arithmetic
// is its curve's. The first two keep the values they always had.
enum class Curve {
  Tc26_256_A,
  CryptoPro_A,
  Tc26_256_B,
  Tc26_256_C,
  Tc26_256_D,
  CryptoPro_B,
  CryptoPro_C,
  CryptoPro_XchA,
  CryptoPro_XchB,
  Tc26_512_A,
  Tc26_512_B,
  Tc26_512_C,
};
inline constexpr std::array<Curve, 12> kAllCurves = {
    Curve::Tc26_256_A,     Curve::CryptoPro_A, Curve::Tc26_256_B,  Curve::Tc26_256_C,
    Curve::Tc26_256_D,     Curve::CryptoPro_B, Curve::CryptoPro_C, Curve::CryptoPro_XchA,
    Curve::CryptoPro_XchB, Curve::Tc26_512_A,  Curve::Tc26_512_B,  Curve::Tc26_512_C};
// The size of the private scalar, of each public coordinate and of each half of a signature:
// 32 bytes for the 256-bit sets, 64 for the 512-bit ones. Throws std::invalid_argument for a
// value outside the enumeration.
std::size_t KeySize(Curve curve);
inline std::size_t PublicKeySize(Curve curve) {
  return 2 * KeySize(curve);
}
inline std::size_t SignatureSize(Curve curve) {
  return 2 * KeySize(curve);
}
// The digest a signature with such a key takes: Streebog-256 or Streebog-512.
inline HashAlg SignatureDigest(Curve curve) {
  return KeySize(curve) == 32 ? HashAlg::Streebog256 : HashAlg::Streebog512;
}
// True when both sets name the same curve (their keys work with each other).
bool SameCurve(Curve a, Curve b);

// Sizes of the 256-bit keys, and the largest of any key.
inline constexpr std::size_t kPrivateKeySize = 32;  // big-endian scalar d
inline constexpr std::size_t kPublicKeySize = 64;   // big-endian X || Y
inline constexpr std::size_t kSignatureSize = 64;   // big-endian r || s (32 bytes each)
inline constexpr std::size_t kMaxPrivateKeySize = 64;
inline constexpr std::size_t kMaxPublicKeySize = 128;
inline constexpr std::size_t kMaxSignatureSize = 128;

struct KeyPair {
  Curve curve = Curve::Tc26_256_A;
  SecureBytes privateKey;               // KeySize(curve) bytes
  std::vector<std::uint8_t> publicKey;  // PublicKeySize(curve) bytes
};
KeyPair GenerateKeyPair(Curve curve);
// Derives the public key of a private key; nullopt when the scalar is out of range or not of the
// curve's size.
std::optional<std::vector<std::uint8_t>> PublicFromPrivate(
    Curve curve, std::span<const std::uint8_t> privateKey);
// Signs a digest of KeySize(curve) bytes (Streebog-256 for the 256-bit sets, Streebog-512 for the
// 512-bit ones; read as a little-endian integer, as OpenSSL's GOST engine does). The result is
// r || s, SignatureSize(curve) bytes. Throws std::runtime_error on a libgcrypt failure,
// std::invalid_argument on wrong sizes or a private key out of range.
std::vector<std::uint8_t> SignDigest(Curve curve, std::span<const std::uint8_t> privateKey,
                                     std::span<const std::uint8_t> digest);
// True when the signature over the digest verifies with the public key. Malformed inputs give
// false.
bool VerifyDigest(Curve curve, std::span<const std::uint8_t> publicKey,
                  std::span<const std::uint8_t> digest, std::span<const std::uint8_t> signature);

// ---- GOST 28147-89, parameter set Z (id-tc26-gost-28147-param-Z) ----
inline constexpr std::size_t kCipherKeySize = 32;
inline constexpr std::size_t kBlockSize = 8;
// CFB mode with an 8-byte IV and CryptoPro key meshing (what OpenSSL's GOST engine calls "gost89").
// Streaming: any split of the input over Update calls gives the same output as one call.
class CfbCipher {
 public:
  enum class Direction { Encrypt, Decrypt };
  CfbCipher(Direction dir, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv);
  ~CfbCipher();
  CfbCipher(const CfbCipher&) = delete;
  CfbCipher& operator=(const CfbCipher&) = delete;
  // out.size() must be >= in.size(); writes exactly in.size() bytes.
  void Update(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
// ECB mode with padding: the plaintext gets 1..8 padding bytes (each equal to the pad count,
// PKCS#7 style) so the output is a whole number of blocks. Decrypt returns nullopt on a length that
// is not a positive multiple of 8 or on bad padding.
std::vector<std::uint8_t> EcbEncrypt(std::span<const std::uint8_t> key,
                                     std::span<const std::uint8_t> plain);
std::optional<SecureBytes> EcbDecrypt(std::span<const std::uint8_t> key,
                                      std::span<const std::uint8_t> cipher);
// GOST 28147-89 MAC (imitovstavka) with an optional 8-byte IV, 4-byte result.
std::array<std::uint8_t, 4> Mac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                std::span<const std::uint8_t> data);

// ---- key derivation ----
// KDF_TREE_GOSTR3411_2012_256 of R 50.1.113-2016 (RFC 7836, 4.5) with a one-byte counter: fills
// `out` (a whole number of 32-byte blocks, at most 255 of them) with
// HMAC-Streebog-256(key, i || label || 0x00 || seed || L), i = 1, 2, ..., L the output's length in
// bits as two big-endian bytes.
void KdfTree256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> label,
                std::span<const std::uint8_t> seed, std::span<std::uint8_t> out);

// ---- one-time authenticator ----
// Poly1305 (RFC 8439, 2.5): a 16-byte tag over any number of Update calls, under a 32-byte key
// that must authenticate one message only. Its strength is that of the key's secrecy and
// randomness, not of any cipher.
class OneTimeMac {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kTagSize = 16;
  static constexpr std::size_t kMinTagSize = 12;  // the shortest first part Verify accepts
  explicit OneTimeMac(std::span<const std::uint8_t> key);
  ~OneTimeMac();
  OneTimeMac(const OneTimeMac&) = delete;
  OneTimeMac& operator=(const OneTimeMac&) = delete;
  void Update(std::span<const std::uint8_t> data);
  std::array<std::uint8_t, kTagSize> Tag();
  // Whether `tag` is the tag of what was written, or its first tag.size() bytes (at least
  // kMinTagSize), compared in constant time.
  bool Verify(std::span<const std::uint8_t> tag);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- key transport ----
inline constexpr std::size_t kUkmSize = 8;
// VKO GOST R 34.10-2012 (256-bit result): KEK = Streebog-256 of the shared point
// (cofactor * UKM * d * Q, UKM read little-endian, 0 taken as 1), both coordinates little-endian
// as in R 50.1.113-2016, for keys of either size (the peer's key is of the same curve).
// Throws std::invalid_argument on an invalid point or wrong sizes.
SecureBytes Vko256(Curve curve, std::span<const std::uint8_t> privateKey,
                   std::span<const std::uint8_t> peerPublicKey, std::span<const std::uint8_t> ukm);
// CryptoPro key wrap (RFC 4357 section 6.3): diversifies the KEK with the UKM, encrypts the
// 32-byte CEK in ECB under parameter set Z and appends the 4-byte MAC. Result: 36 bytes.
std::array<std::uint8_t, 36> WrapKey(std::span<const std::uint8_t> kek,
                                     std::span<const std::uint8_t> ukm,
                                     std::span<const std::uint8_t> cek);
// Inverse of WrapKey; nullopt when the MAC does not match.
std::optional<SecureBytes> UnwrapKey(std::span<const std::uint8_t> kek,
                                     std::span<const std::uint8_t> ukm,
                                     std::span<const std::uint8_t> wrapped);

}  // namespace ccgost
