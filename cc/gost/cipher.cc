// GOST 28147-89 with parameter set Z: CFB with CryptoPro key meshing, ECB with padding, and the
// MAC (imitovstavka).
#include <gcrypt.h>

#include <cstring>
#include <stdexcept>

#include "gost.h"
#include "internal.h"

namespace ccgost {

namespace detail {

CipherHandle OpenGost28147(int algo, int mode, std::span<const std::uint8_t> key) {
  if (key.size() != kCipherKeySize) throw std::invalid_argument("GOST 28147 key must be 32 bytes");
  Init();
  gcry_cipher_hd_t h = nullptr;
  Check(gcry_cipher_open(&h, algo, mode, GCRY_CIPHER_SECURE), "opening GOST 28147");
  CipherHandle handle(h);
  Check(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(kSboxZ), sizeof kSboxZ),
        "selecting parameter set Z");
  Check(gcry_cipher_setkey(h, key.data(), key.size()), "setting the GOST 28147 key");
  return handle;
}

}  // namespace detail

// ---- CFB with key meshing ----

// libgcrypt's CFB keeps the unused part of the last keystream block between calls, and its
// meshing cipher counts block encryptions (one per 8 bytes of data), so splitting the input
// over several Update calls changes nothing.
struct CfbCipher::Impl {
  detail::CipherHandle h;
  Direction dir;
};

CfbCipher::CfbCipher(Direction dir, std::span<const std::uint8_t> key,
                     std::span<const std::uint8_t> iv)
    : impl_(std::make_unique<Impl>()) {
  if (iv.size() != kBlockSize) throw std::invalid_argument("GOST 28147 CFB IV must be 8 bytes");
  impl_->h = detail::OpenGost28147(GCRY_CIPHER_GOST28147_MESH, GCRY_CIPHER_MODE_CFB, key);
  impl_->dir = dir;
  detail::Check(gcry_cipher_setiv(impl_->h.get(), iv.data(), iv.size()), "setting the CFB IV");
}

CfbCipher::~CfbCipher() = default;

void CfbCipher::Update(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (out.size() < in.size()) throw std::invalid_argument("CFB output shorter than the input");
  if (in.empty()) return;
  // In place when both spans start at the same byte (libgcrypt's in-place form).
  const bool inPlace = in.data() == out.data();
  const void* src = inPlace ? nullptr : in.data();
  const std::size_t srcLen = inPlace ? 0 : in.size();
  gcry_error_t err = impl_->dir == Direction::Encrypt
                         ? gcry_cipher_encrypt(impl_->h.get(), out.data(), in.size(), src, srcLen)
                         : gcry_cipher_decrypt(impl_->h.get(), out.data(), in.size(), src, srcLen);
  detail::Check(err, "GOST 28147 CFB");
}

// ---- ECB with padding ----

std::vector<std::uint8_t> EcbEncrypt(std::span<const std::uint8_t> key,
                                     std::span<const std::uint8_t> plain) {
  auto h = detail::OpenGost28147(GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, key);
  const std::size_t pad = kBlockSize - plain.size() % kBlockSize;  // 1..8
  std::vector<std::uint8_t> out(plain.size() + pad, static_cast<std::uint8_t>(pad));
  if (!plain.empty()) std::memcpy(out.data(), plain.data(), plain.size());
  gcry_error_t err = gcry_cipher_encrypt(h.get(), out.data(), out.size(), nullptr, 0);
  if (err != 0) {
    Wipe(out.data(), out.size());
    detail::Check(err, "GOST 28147 ECB");
  }
  return out;
}

std::optional<SecureBytes> EcbDecrypt(std::span<const std::uint8_t> key,
                                      std::span<const std::uint8_t> cipher) {
  if (cipher.empty() || cipher.size() % kBlockSize != 0) return std::nullopt;
  auto h = detail::OpenGost28147(GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, key);
  SecureBytes plain(cipher.data(), cipher.size());
  detail::Check(gcry_cipher_decrypt(h.get(), plain.data(), plain.size(), nullptr, 0),
                "GOST 28147 ECB");
  // Check the padding without branching on its bytes.
  const std::uint8_t pad = plain.data()[plain.size() - 1];
  unsigned bad = static_cast<unsigned>(pad == 0) | static_cast<unsigned>(pad > kBlockSize);
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    const unsigned inPad = static_cast<unsigned>(i < pad);
    bad |= inPad & static_cast<unsigned>(plain.data()[plain.size() - 1 - i] != pad);
  }
  if (bad != 0) return std::nullopt;
  plain.resize(plain.size() - pad);
  return plain;
}

// ---- MAC ----

std::array<std::uint8_t, 4> Mac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                std::span<const std::uint8_t> data) {
  if (key.size() != kCipherKeySize) throw std::invalid_argument("GOST 28147 key must be 32 bytes");
  if (!iv.empty() && iv.size() != kBlockSize) throw std::invalid_argument("MAC IV must be 8 bytes");
  Init();
  gcry_mac_hd_t raw = nullptr;
  detail::Check(gcry_mac_open(&raw, GCRY_MAC_GOST28147_IMIT, GCRY_MAC_FLAG_SECURE, nullptr),
                "opening the GOST 28147 MAC");
  detail::MacHandle h(raw);
  detail::Check(
      gcry_mac_ctl(raw, GCRYCTL_SET_SBOX, const_cast<char*>(detail::kSboxZ), sizeof detail::kSboxZ),
      "selecting parameter set Z");
  detail::Check(gcry_mac_setkey(raw, key.data(), key.size()), "setting the MAC key");
  if (!iv.empty()) detail::Check(gcry_mac_setiv(raw, iv.data(), iv.size()), "setting the MAC IV");
  if (!data.empty())
    detail::Check(gcry_mac_write(raw, data.data(), data.size()), "computing the MAC");
  std::array<std::uint8_t, 4> out{};
  std::size_t len = out.size();
  detail::Check(gcry_mac_read(raw, out.data(), &len), "reading the MAC");
  if (len != out.size()) detail::Fail("reading the MAC: unexpected length");
  return out;
}

}  // namespace ccgost
