#include "context.h"

#include <algorithm>
#include <cstring>

namespace cc {

EcbStream::EcbStream(bool encipher, std::span<const std::uint8_t> key)
    : encipher_(encipher), key_(key.data(), key.size()) {
  if (!encipher_) paddingBlock_ = ccgost::EcbEncrypt(key_.span(), {});
}

std::size_t EcbStream::Update(std::span<const std::uint8_t> in, std::uint8_t* out) {
  const std::size_t total = pending_.size() + in.size();
  std::size_t keep = total % ccgost::kBlockSize;
  if (!encipher_ && keep == 0 && total != 0) keep = ccgost::kBlockSize;
  const std::size_t run = total - keep;
  ccgost::SecureBytes next(keep);
  // The tail that stays pending comes from the end of pending_ + in.
  for (std::size_t i = 0; i < keep; ++i) {
    const std::size_t pos = run + i;
    next.data()[i] = pos < pending_.size() ? pending_.data()[pos] : in[pos - pending_.size()];
  }
  if (run != 0) {
    ccgost::SecureBytes work(run + (encipher_ ? 0 : ccgost::kBlockSize));
    const std::size_t fromPending = std::min(run, pending_.size());
    std::copy_n(pending_.data(), fromPending, work.data());
    std::copy_n(in.data(), run - fromPending, work.data() + fromPending);
    if (encipher_) {
      // A whole number of blocks gets one full padding block, which is dropped here.
      const std::vector<std::uint8_t> c = ccgost::EcbEncrypt(key_.span(), work.span());
      std::copy_n(c.data(), run, out);
    } else {
      // Completing the run with the enciphered padding block makes it a valid padded message
      // whose plaintext is exactly the run's blocks.
      std::copy(paddingBlock_.begin(), paddingBlock_.end(), work.data() + run);
      const auto p = ccgost::EcbDecrypt(key_.span(), work.span());
      if (!p || p->size() != run) throw std::runtime_error("ECB block run");
      std::copy_n(p->data(), run, out);
    }
  }
  pending_ = std::move(next);
  return run;
}

std::optional<std::size_t> EcbStream::Finish(std::uint8_t* out) {
  if (encipher_) {
    const std::vector<std::uint8_t> c = ccgost::EcbEncrypt(key_.span(), pending_.span());
    std::copy(c.begin(), c.end(), out);
    return c.size();
  }
  if (pending_.size() != ccgost::kBlockSize) return std::nullopt;
  const auto p = ccgost::EcbDecrypt(key_.span(), pending_.span());
  if (!p) return std::nullopt;
  std::copy_n(p->data(), p->size(), out);
  return p->size();
}

void ContextImpl::EndHash() {
  hashMode = HashMode::None;
  hash.reset();
  signer = SecretKey{};
}

void ContextImpl::EndCipher() {
  cfb.reset();
  ecb.reset();
}

ContextImpl* ContextOf(CcContext* ctx) noexcept {
  if (ctx == nullptr || ctx->magic != kContextMagic) return nullptr;
  auto* impl = static_cast<ContextImpl*>(ctx->impl);
  if (impl == nullptr || &impl->abi != ctx) return nullptr;
  return impl;
}

}  // namespace cc
