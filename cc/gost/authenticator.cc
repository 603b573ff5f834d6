// The one-time authenticator Poly1305, computed by libgcrypt.
#include <gcrypt.h>

#include <stdexcept>

#include "gost.h"
#include "internal.h"

namespace ccgost {

struct OneTimeMac::Impl {
  detail::MacHandle h;
};

OneTimeMac::OneTimeMac(std::span<const std::uint8_t> key) : impl_(std::make_unique<Impl>()) {
  if (key.size() != kKeySize) throw std::invalid_argument("Poly1305 key must be 32 bytes");
  Init();
  gcry_mac_hd_t raw = nullptr;
  detail::Check(gcry_mac_open(&raw, GCRY_MAC_POLY1305, GCRY_MAC_FLAG_SECURE, nullptr),
                "opening Poly1305");
  impl_->h.reset(raw);
  detail::Check(gcry_mac_setkey(raw, key.data(), key.size()), "setting the Poly1305 key");
}

OneTimeMac::~OneTimeMac() = default;

void OneTimeMac::Update(std::span<const std::uint8_t> data) {
  if (data.empty()) return;
  detail::Check(gcry_mac_write(impl_->h.get(), data.data(), data.size()), "Poly1305");
}

std::array<std::uint8_t, OneTimeMac::kTagSize> OneTimeMac::Tag() {
  std::array<std::uint8_t, kTagSize> tag{};
  std::size_t n = tag.size();
  detail::Check(gcry_mac_read(impl_->h.get(), tag.data(), &n), "reading the Poly1305 tag");
  if (n != tag.size()) detail::Fail("reading the Poly1305 tag: unexpected length");
  return tag;
}

bool OneTimeMac::Verify(std::span<const std::uint8_t> tag) {
  if (tag.size() < kMinTagSize || tag.size() > kTagSize) return false;
  if (tag.size() == kTagSize) {
    // libgcrypt compares the tags in constant time and answers GPG_ERR_CHECKSUM on a mismatch.
    return gcry_mac_verify(impl_->h.get(), tag.data(), tag.size()) == 0;
  }
  // A shortened tag: its bytes against the first bytes of the whole one, without an early exit.
  std::array<std::uint8_t, kTagSize> full = Tag();
  unsigned differ = 0;
  for (std::size_t i = 0; i < tag.size(); ++i) differ |= static_cast<unsigned>(full[i] ^ tag[i]);
  Wipe(full.data(), full.size());
  return differ == 0;
}

}  // namespace ccgost
