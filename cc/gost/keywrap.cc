// CryptoPro key wrap (RFC 4357 6.3) with the CryptoPro KEK diversification (RFC 4357 6.5), all
// with GOST 28147-89 parameter set Z.
#include <gcrypt.h>

#include <stdexcept>

#include "gost.h"
#include "internal.h"

namespace ccgost {

namespace {

constexpr std::size_t kCekSize = 32;

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Eight rounds, one per UKM byte: the key's eight 32-bit little-endian words are summed into s1
// where the round's UKM bit is set and into s2 where it is clear; the key is then encrypted with
// itself in CFB mode under the IV s1 || s2 (both little-endian).
SecureBytes DiversifyKek(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> ukm) {
  SecureBytes k(kek.data(), kek.size());
  for (std::size_t i = 0; i < kUkmSize; ++i) {
    std::uint32_t s1 = 0, s2 = 0;
    for (unsigned j = 0; j < 8; ++j) {
      const std::uint32_t word = Le32(k.data() + 4 * j);
      // Both sums are formed without branching on the key-dependent UKM bit.
      const std::uint32_t mask = 0u - ((ukm[i] >> j) & 1u);
      s1 += word & mask;
      s2 += word & ~mask;
    }
    std::array<std::uint8_t, kBlockSize> iv{};
    PutLe32(iv.data(), s1);
    PutLe32(iv.data() + 4, s2);
    auto h = detail::OpenGost28147(GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_CFB, k.span());
    detail::Check(gcry_cipher_setiv(h.get(), iv.data(), iv.size()), "setting the CFB IV");
    detail::Check(gcry_cipher_encrypt(h.get(), k.data(), k.size(), nullptr, 0),
                  "diversifying the KEK");
    Wipe(iv.data(), iv.size());
  }
  return k;
}

void CheckSizes(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> ukm) {
  if (kek.size() != kCipherKeySize) throw std::invalid_argument("KEK must be 32 bytes");
  if (ukm.size() != kUkmSize) throw std::invalid_argument("UKM must be 8 bytes");
}

}  // namespace

std::array<std::uint8_t, 36> WrapKey(std::span<const std::uint8_t> kek,
                                     std::span<const std::uint8_t> ukm,
                                     std::span<const std::uint8_t> cek) {
  CheckSizes(kek, ukm);
  if (cek.size() != kCekSize) throw std::invalid_argument("wrapped key must be 32 bytes");
  const SecureBytes k = DiversifyKek(kek, ukm);
  std::array<std::uint8_t, 36> out{};
  auto h = detail::OpenGost28147(GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, k.span());
  detail::Check(gcry_cipher_encrypt(h.get(), out.data(), kCekSize, cek.data(), cek.size()),
                "wrapping the key");
  const auto mac = Mac(k.span(), ukm, cek);
  std::copy(mac.begin(), mac.end(), out.begin() + kCekSize);
  return out;
}

std::optional<SecureBytes> UnwrapKey(std::span<const std::uint8_t> kek,
                                     std::span<const std::uint8_t> ukm,
                                     std::span<const std::uint8_t> wrapped) {
  CheckSizes(kek, ukm);
  if (wrapped.size() != kCekSize + 4) return std::nullopt;
  const SecureBytes k = DiversifyKek(kek, ukm);
  SecureBytes cek(kCekSize);
  auto h = detail::OpenGost28147(GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, k.span());
  detail::Check(gcry_cipher_decrypt(h.get(), cek.data(), cek.size(), wrapped.data(), kCekSize),
                "unwrapping the key");
  auto mac = Mac(k.span(), ukm, cek.span());
  unsigned diff = 0;
  for (std::size_t i = 0; i < mac.size(); ++i) diff |= mac[i] ^ wrapped[kCekSize + i];
  if (diff != 0) return std::nullopt;
  return cek;
}

}  // namespace ccgost
