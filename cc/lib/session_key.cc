#include "session_key.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace cc {

namespace {

// The layout of cc_abi.h: the fixed head, then the ephemeral key of the recipient's size, the UKM
// and the wrapped key.
constexpr std::size_t kTagOffset = 0;
constexpr std::size_t kCurveOffset = 1;
constexpr std::size_t kSizeOffset = 2;
constexpr std::size_t kKeyNumberOffset = 4;
constexpr std::size_t kEphemeralOffset = 8;
constexpr std::size_t kWrappedSize = 36;  // key + MAC

constexpr std::size_t EncipheredSize(std::size_t publicKeySize) {
  return kEphemeralOffset + publicKeySize + ccgost::kUkmSize + kWrappedSize;
}
static_assert(EncipheredSize(ccgost::kPublicKeySize) == CC_ENCIPHERED_KEY_SIZE);
static_assert(EncipheredSize(ccgost::kMaxPublicKeySize) == CC_ENCIPHERED_KEY_SIZE_512);

}  // namespace

void EncipherSessionKey(const PublicDocument& recipient, ccgost::SecureBytes& sessionKey,
                        EncipheredKey& enciphered) {
  sessionKey = ccgost::SecureBytes(CC_SESSION_KEY_SIZE);
  ccgost::RandomBytes(sessionKey.span());
  std::array<std::uint8_t, ccgost::kUkmSize> ukm{};
  do {
    ccgost::RandomBytes(ukm);  // a zero UKM would cancel the agreement
  } while (std::all_of(ukm.begin(), ukm.end(), [](std::uint8_t b) { return b == 0; }));
  const ccgost::KeyPair ephemeral = ccgost::GenerateKeyPair(recipient.curve);
  const ccgost::SecureBytes kek =
      ccgost::Vko256(recipient.curve, ephemeral.privateKey.span(), recipient.publicKey, ukm);
  const auto wrapped = ccgost::WrapKey(kek.span(), ukm, sessionKey.span());

  const std::size_t pub = ephemeral.publicKey.size();
  const std::size_t size = EncipheredSize(pub);
  enciphered.assign(size, 0);
  enciphered[kTagOffset] = CC_ENCIPHERED_KEY_TAG;
  enciphered[kCurveOffset] = static_cast<std::uint8_t>(CurveCode(recipient.curve));
  enciphered[kSizeOffset] = static_cast<std::uint8_t>(size & 0xFF);
  enciphered[kSizeOffset + 1] = static_cast<std::uint8_t>(size >> 8);
  const auto kn = static_cast<std::uint32_t>(recipient.keyNumber);
  for (std::size_t i = 0; i < 4; ++i)
    enciphered[kKeyNumberOffset + i] = static_cast<std::uint8_t>(kn >> (8 * i));
  auto out = enciphered.begin() + kEphemeralOffset;
  out = std::copy(ephemeral.publicKey.begin(), ephemeral.publicKey.end(), out);
  out = std::copy(ukm.begin(), ukm.end(), out);
  std::copy(wrapped.begin(), wrapped.end(), out);
}

int DecipherSessionKey(const SecretKey& key, const std::uint8_t* enciphered,
                       ccgost::SecureBytes& sessionKey, std::size_t& blockSize) {
  // The header is read first; only a block that announces the size of its curve is read further.
  if (enciphered[kTagOffset] != CC_ENCIPHERED_KEY_TAG) return CC_E_BLOCK_FORMAT;
  const std::size_t size = enciphered[kSizeOffset] | enciphered[kSizeOffset + 1] << 8;
  const auto curve = CurveOfCode(enciphered[kCurveOffset]);
  if (!curve) return CC_E_BLOCK_FORMAT;
  const std::size_t pub = ccgost::PublicKeySize(*curve);
  if (size != EncipheredSize(pub)) return CC_E_BLOCK_FORMAT;
  if (!ccgost::SameCurve(*curve, key.curve)) return CC_E_DECRYPT;
  const std::span<const std::uint8_t> block(enciphered, size);
  const auto ukm = block.subspan(kEphemeralOffset + pub, ccgost::kUkmSize);
  ccgost::SecureBytes kek;
  try {
    kek =
        ccgost::Vko256(key.curve, key.privateKey.span(), block.subspan(kEphemeralOffset, pub), ukm);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return CC_E_DECRYPT;  // the ephemeral key is no point of the curve
  }
  auto unwrapped = ccgost::UnwrapKey(
      kek.span(), ukm, block.subspan(kEphemeralOffset + pub + ccgost::kUkmSize, kWrappedSize));
  if (!unwrapped) return CC_E_DECRYPT;
  sessionKey = std::move(*unwrapped);
  blockSize = size;
  return CC_OK;
}

}  // namespace cc
