// KDF_TREE_GOSTR3411_2012_256: keys derived from a key by HMAC-Streebog-256.
#include <gcrypt.h>

#include <stdexcept>

#include "gost.h"
#include "internal.h"

namespace ccgost {

void KdfTree256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> label,
                std::span<const std::uint8_t> seed, std::span<std::uint8_t> out) {
  constexpr std::size_t kBlock = kStreebog256Size;
  if (out.empty() || out.size() % kBlock != 0 || out.size() / kBlock > 255)
    throw std::invalid_argument("KDF_TREE output must be 1 to 255 blocks of 32 bytes");
  Init();
  const std::size_t bits = out.size() * 8;
  const std::uint8_t length[2] = {static_cast<std::uint8_t>(bits >> 8),
                                  static_cast<std::uint8_t>(bits & 0xFF)};
  const std::uint8_t zero = 0;
  for (std::size_t i = 1; i <= out.size() / kBlock; ++i) {
    gcry_mac_hd_t raw = nullptr;
    detail::Check(gcry_mac_open(&raw, GCRY_MAC_HMAC_STRIBOG256, GCRY_MAC_FLAG_SECURE, nullptr),
                  "opening HMAC-Streebog-256");
    detail::MacHandle h(raw);
    detail::Check(gcry_mac_setkey(raw, key.data(), key.size()), "setting the KDF key");
    const auto counter = static_cast<std::uint8_t>(i);
    detail::Check(gcry_mac_write(raw, &counter, 1), "deriving a key");
    if (!label.empty())
      detail::Check(gcry_mac_write(raw, label.data(), label.size()), "deriving a key");
    detail::Check(gcry_mac_write(raw, &zero, 1), "deriving a key");
    if (!seed.empty())
      detail::Check(gcry_mac_write(raw, seed.data(), seed.size()), "deriving a key");
    detail::Check(gcry_mac_write(raw, length, sizeof length), "deriving a key");
    std::size_t n = kBlock;
    detail::Check(gcry_mac_read(raw, out.data() + (i - 1) * kBlock, &n), "reading a derived key");
    if (n != kBlock) detail::Fail("reading a derived key: unexpected length");
  }
}

}  // namespace ccgost
