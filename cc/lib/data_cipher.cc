#include "data_cipher.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "cc_abi.h"

namespace cc {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::array<std::uint8_t, kMarkerSize> kCfbMarker = {0x3A, 0x9D, 0x51, 0xC6,
                                                              0x0E, 0xB7, 0x84, 0x2F};
constexpr std::array<std::uint8_t, kMarkerSize> kEcbMarker = {0xD4, 0x62, 0x1B, 0xF8,
                                                              0x95, 0x2C, 0x7E, 0x43};
// Counted first in the compact form's tag, never written: no full-form tag (which counts a
// marker first) is ever a compact one's.
constexpr std::array<std::uint8_t, kMarkerSize> kCompactDomain = {0x6B, 0x0F, 0xA8, 0x37,
                                                                  0xC2, 0x59, 0xE4, 0x1D};
constexpr std::string_view kCfbLabel = "cc 28147 sealed data";
constexpr std::string_view kEcbLabel = "cc 28147-ECB sealed data";
constexpr std::size_t kDerivedKeySize = 32;

const std::array<std::uint8_t, kMarkerSize>& Marker(CipherKind kind) {
  return kind == CipherKind::Cfb ? kCfbMarker : kEcbMarker;
}

Bytes Label(CipherKind kind) {
  const std::string_view label = kind == CipherKind::Cfb ? kCfbLabel : kEcbLabel;
  return {reinterpret_cast<const std::uint8_t*>(label.data()), label.size()};
}

// Whether `size` bytes at `out` and `in` share memory, compared as addresses.
bool Overlap(Bytes in, const std::uint8_t* out, std::size_t size) {
  const auto a = reinterpret_cast<std::uintptr_t>(in.data());
  const auto b = reinterpret_cast<std::uintptr_t>(out);
  return !in.empty() && a < b + size && b < a + in.size();
}

}  // namespace

// ---- ECB with padding, in pieces ----

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

std::optional<std::size_t> EcbStream::Finish(std::uint8_t* out, Padding padding) {
  if (padding == Padding::None) {
    // Enciphering has written every whole block already; deciphering holds the last one back.
    if (encipher_) return pending_.size() == 0 ? std::optional<std::size_t>(0) : std::nullopt;
    if (pending_.size() != ccgost::kBlockSize) return std::nullopt;
    ccgost::SecureBytes work(2 * ccgost::kBlockSize);
    std::copy_n(pending_.data(), ccgost::kBlockSize, work.data());
    std::copy(paddingBlock_.begin(), paddingBlock_.end(), work.data() + ccgost::kBlockSize);
    const auto p = ccgost::EcbDecrypt(key_.span(), work.span());
    if (!p || p->size() != ccgost::kBlockSize) return std::nullopt;
    std::copy_n(p->data(), p->size(), out);
    return p->size();
  }
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

// ---- one run of the cipher ----

DataCipher::DataCipher(CipherKind kind, bool encipher, std::span<const std::uint8_t> key,
                       std::uint8_t* iv, std::span<const std::uint8_t> carrier)
    // Enciphering "28147" writes the full form from the start; ECB waits for the data's length.
    : kind_(kind),
      encipher_(encipher),
      form_(encipher && kind == CipherKind::Cfb ? Form::Sealed : Form::Unknown) {
  if (key.size() != kDerivedKeySize) throw std::invalid_argument("the cipher key must be 32 bytes");
  const Bytes vector(iv, ccgost::kBlockSize);
  if (encipher) ccgost::RandomBytes({iv, ccgost::kBlockSize});
  std::vector<std::uint8_t> seed(vector.begin(), vector.end());
  seed.insert(seed.end(), carrier.begin(), carrier.end());
  ccgost::SecureBytes derived(2 * kDerivedKeySize);
  ccgost::KdfTree256(key, Label(kind), seed, derived.span());
  const Bytes cipherKey = derived.span().first(kDerivedKeySize);
  const Bytes macKey = derived.span().subspan(kDerivedKeySize);
  const auto direction =
      encipher ? ccgost::CfbCipher::Direction::Encrypt : ccgost::CfbCipher::Direction::Decrypt;
  if (kind == CipherKind::Cfb) {
    cfb_ = std::make_unique<ccgost::CfbCipher>(direction, cipherKey, vector);
    if (!encipher) olderCfb_ = std::make_unique<ccgost::CfbCipher>(direction, key, vector);
  } else {
    ecb_ = std::make_unique<EcbStream>(encipher, cipherKey);
    if (!encipher) olderEcb_ = std::make_unique<EcbStream>(false, key);
  }
  mac_ = std::make_unique<ccgost::OneTimeMac>(macKey);
}

DataCipher::~DataCipher() {
  ccgost::Wipe(head_.data(), head_.size());
  ccgost::Wipe(held_.data(), held_.size());
}

std::size_t DataCipher::DecisionPoint() const {
  return kind_ == CipherKind::Cfb ? kMarkerSize : kCompactSize + 1;
}

std::size_t DataCipher::WriteMarker(std::uint8_t* out) {
  if (markerWritten_) return 0;
  const auto& marker = Marker(kind_);
  std::copy(marker.begin(), marker.end(), out);
  mac_->Update(marker);
  markerWritten_ = true;
  return kMarkerSize;
}

std::size_t DataCipher::Body(std::span<const std::uint8_t> in, std::uint8_t* out) {
  if (cfb_) {
    cfb_->Update(in, {out, in.size()});
    return in.size();
  }
  return ecb_->Update(in, out);
}

std::int32_t DataCipher::Decide(std::span<const std::uint8_t> head) {
  const auto& marker = Marker(kind_);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < kMarkerSize; ++i)
    differing +=
        static_cast<std::size_t>(std::popcount(static_cast<unsigned>(head[i] ^ marker[i])));
  if (differing == 0) {
    form_ = Form::Sealed;
    olderCfb_.reset();
    olderEcb_.reset();
    mac_->Update(head);
    return CC_OK;
  }
  if (differing <= kMarkerSlack) return CC_E_DECRYPT;  // a marker with some bits changed
  form_ = Form::Older;
  cfb_ = std::move(olderCfb_);
  ecb_ = std::move(olderEcb_);
  mac_.reset();
  return CC_OK;
}

std::int32_t DataCipher::Update(std::span<const std::uint8_t> in, std::uint8_t* out,
                                std::size_t& produced) {
  produced = 0;
  // Output may run ahead of the input it comes from: input that shares memory with the output is
  // read from a copy.
  if (Overlap(in, out, in.size() + kMaxUpdateGrowth)) {
    scratch_ = ccgost::SecureBytes(in.data(), in.size());
    in = scratch_.span();
  }
  if (encipher_) {
    if (form_ == Form::Unknown) {
      // ECB: the first 32 bytes wait; data that go beyond them take the full form.
      const std::size_t take = std::min(kCompactDataSize - headCount_, in.size());
      std::copy_n(in.begin(), take, head_.begin() + static_cast<std::ptrdiff_t>(headCount_));
      headCount_ += take;
      in = in.subspan(take);
      if (in.empty()) return CC_OK;
      form_ = Form::Sealed;
      produced = WriteMarker(out);
      const std::size_t n = Body({head_.data(), headCount_}, out + produced);
      mac_->Update({out + produced, n});
      produced += n;
      ccgost::Wipe(head_.data(), headCount_);
      headCount_ = 0;
    }
    produced += WriteMarker(out + produced);
    const std::size_t n = Body(in, out + produced);
    mac_->Update({out + produced, n});
    produced += n;
    return CC_OK;
  }
  if (form_ == Form::Unknown) {
    const std::size_t take = std::min(DecisionPoint() - headCount_, in.size());
    std::copy_n(in.begin(), take, head_.begin() + static_cast<std::ptrdiff_t>(headCount_));
    headCount_ += take;
    in = in.subspan(take);
    if (headCount_ < DecisionPoint()) return CC_OK;
    if (const std::int32_t rc = OpenHead(out, produced); rc != CC_OK) return rc;
  }
  if (form_ == Form::Older) {
    produced += Body(in, out + produced);
    return CC_OK;
  }
  return SealedUpdate(in, out + produced, produced);
}

std::int32_t DataCipher::OpenHead(std::uint8_t* out, std::size_t& produced) {
  const Bytes head(head_.data(), headCount_);
  headCount_ = 0;
  if (head.size() < kMarkerSize) {
    // Fewer than eight bytes: no sealed data is that short.
    form_ = Form::Older;
    cfb_ = std::move(olderCfb_);
    ecb_ = std::move(olderEcb_);
    mac_.reset();
  } else if (const std::int32_t rc = Decide(head.first(kMarkerSize)); rc != CC_OK) {
    return rc;
  }
  if (form_ == Form::Older) {
    produced += Body(head, out);
    return CC_OK;
  }
  return SealedUpdate(head.subspan(kMarkerSize), out, produced);
}

// The last kTagSize bytes seen may be the tag: they stay back until more data follow them.
std::int32_t DataCipher::SealedUpdate(std::span<const std::uint8_t> in, std::uint8_t* out,
                                      std::size_t& produced) {
  const std::size_t total = heldCount_ + in.size();
  if (total <= kTagSize) {
    std::copy(in.begin(), in.end(), held_.begin() + static_cast<std::ptrdiff_t>(heldCount_));
    heldCount_ = total;
    return CC_OK;
  }
  const std::size_t release = total - kTagSize;
  const std::size_t fromHeld = std::min(heldCount_, release);
  const Bytes first(held_.data(), fromHeld);
  const Bytes second = in.first(release - fromHeld);
  mac_->Update(first);
  mac_->Update(second);
  std::size_t n = Body(first, out);
  n += Body(second, out + n);
  produced += n;
  // What stays back: the rest of the held bytes, then the rest of the input.
  const std::size_t keptHeld = heldCount_ - fromHeld;
  std::memmove(held_.data(), held_.data() + fromHeld, keptHeld);
  std::copy(in.begin() + static_cast<std::ptrdiff_t>(second.size()), in.end(),
            held_.begin() + static_cast<std::ptrdiff_t>(keptHeld));
  heldCount_ = kTagSize;
  return CC_OK;
}

std::int32_t DataCipher::CompactFinal(std::uint8_t* out, std::size_t& produced) {
  form_ = Form::Compact;
  olderEcb_.reset();
  mac_->Update(kCompactDomain);
  if (encipher_) {
    const std::size_t n = ecb_->Update({head_.data(), kCompactDataSize}, out);
    if (n != kCompactDataSize || !ecb_->Finish(out + n, EcbStream::Padding::None))
      return CC_E_BLOCK_FORMAT;
    mac_->Update({out, kCompactDataSize});
    const auto tag = mac_->Tag();
    std::copy_n(tag.begin(), kCompactTagSize, out + kCompactDataSize);
    produced = kCompactSize;
    return CC_OK;
  }
  const Bytes data(head_.data(), kCompactDataSize);
  mac_->Update(data);
  if (!mac_->Verify({head_.data() + kCompactDataSize, kCompactTagSize})) return CC_E_DECRYPT;
  const std::size_t n = ecb_->Update(data, out);
  const auto last = ecb_->Finish(out + n, EcbStream::Padding::None);
  if (!last) return CC_E_BLOCK_FORMAT;
  produced = n + *last;
  return CC_OK;
}

std::int32_t DataCipher::Final(std::uint8_t* out, std::size_t& produced) {
  produced = 0;
  if (encipher_) {
    if (form_ == Form::Unknown) {
      if (headCount_ == kCompactDataSize) return CompactFinal(out, produced);
      // Fewer than 32 bytes: the full form.
      form_ = Form::Sealed;
      produced = WriteMarker(out);
      const std::size_t n = Body({head_.data(), headCount_}, out + produced);
      mac_->Update({out + produced, n});
      produced += n;
    }
    produced += WriteMarker(out + produced);
    if (ecb_) {
      const auto n = ecb_->Finish(out + produced);
      if (!n) return CC_E_BLOCK_FORMAT;
      mac_->Update({out + produced, *n});
      produced += *n;
    }
    const auto tag = mac_->Tag();
    std::copy(tag.begin(), tag.end(), out + produced);
    produced += tag.size();
    return CC_OK;
  }
  if (form_ == Form::Unknown) {
    // The data end before the form was decided: 44 bytes of ECB data are the compact form,
    // anything else is told by its first bytes.
    if (kind_ == CipherKind::Ecb && headCount_ == kCompactSize) return CompactFinal(out, produced);
    if (const std::int32_t rc = OpenHead(out, produced); rc != CC_OK) return rc;
  }
  if (form_ == Form::Sealed && (heldCount_ != kTagSize || !mac_->Verify(held_)))
    return CC_E_DECRYPT;
  if (ecb_) {
    const auto n = ecb_->Finish(out + produced);
    if (!n) return CC_E_BLOCK_FORMAT;
    produced += *n;
  }
  return CC_OK;
}

}  // namespace cc
