#include "context.h"

#include <algorithm>
#include <cstring>

namespace cc {

void ContextImpl::EndHash() {
  hashMode = HashMode::None;
  hash.reset();
  signer = SecretKey{};
}

void ContextImpl::EndCipher() {
  cipher.reset();
}

std::span<const std::uint8_t> ContextImpl::CarrierOf(std::span<const std::uint8_t> key) const {
  if (carriedKey.size() != key.size() || key.empty()) return {};
  // Compared without an early exit: the key is secret.
  unsigned differ = 0;
  for (std::size_t i = 0; i < key.size(); ++i) differ |= carriedKey.data()[i] ^ key[i];
  if (differ != 0) return {};
  return carrier;
}

ContextImpl* ContextOf(CcContext* ctx) noexcept {
  if (ctx == nullptr || ctx->magic != kContextMagic) return nullptr;
  auto* impl = static_cast<ContextImpl*>(ctx->impl);
  if (impl == nullptr || &impl->abi != ctx) return nullptr;
  return impl;
}

}  // namespace cc
