#include "session_key.h"

#include <algorithm>
#include <stdexcept>

namespace cc {

namespace {

constexpr std::size_t kTagOffset = 0;
constexpr std::size_t kCurveOffset = 1;
constexpr std::size_t kSizeOffset = 2;
constexpr std::size_t kKeyNumberOffset = 4;
constexpr std::size_t kEphemeralOffset = 8;
constexpr std::size_t kUkmOffset = kEphemeralOffset + ccgost::kPublicKeySize;  // 72
constexpr std::size_t kWrappedOffset = kUkmOffset + ccgost::kUkmSize;          // 80
constexpr std::size_t kWrappedSize = 36;                                       // key + MAC
static_assert(kWrappedOffset + kWrappedSize == CC_ENCIPHERED_KEY_SIZE);

ccgost::Curve CurveOfCode(std::uint8_t code) {
  return code == CC_CURVE_CRYPTOPRO_A ? ccgost::Curve::CryptoPro_A : ccgost::Curve::Tc26_256_A;
}

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

  enciphered.fill(0);
  enciphered[kTagOffset] = CC_ENCIPHERED_KEY_TAG;
  enciphered[kCurveOffset] = static_cast<std::uint8_t>(CurveCode(recipient.curve));
  enciphered[kSizeOffset] = CC_ENCIPHERED_KEY_SIZE & 0xFF;
  enciphered[kSizeOffset + 1] = CC_ENCIPHERED_KEY_SIZE >> 8;
  const auto kn = static_cast<std::uint32_t>(recipient.keyNumber);
  for (std::size_t i = 0; i < 4; ++i)
    enciphered[kKeyNumberOffset + i] = static_cast<std::uint8_t>(kn >> (8 * i));
  std::copy(ephemeral.publicKey.begin(), ephemeral.publicKey.end(),
            enciphered.begin() + kEphemeralOffset);
  std::copy(ukm.begin(), ukm.end(), enciphered.begin() + kUkmOffset);
  std::copy(wrapped.begin(), wrapped.end(), enciphered.begin() + kWrappedOffset);
}

int DecipherSessionKey(const SecretKey& key, const std::uint8_t* enciphered,
                       ccgost::SecureBytes& sessionKey) {
  // The header is read first; only a block that announces our size is read further.
  if (enciphered[kTagOffset] != CC_ENCIPHERED_KEY_TAG) return CC_E_BLOCK_FORMAT;
  const std::size_t size = enciphered[kSizeOffset] | enciphered[kSizeOffset + 1] << 8;
  const std::uint8_t curveCode = enciphered[kCurveOffset];
  if (size != CC_ENCIPHERED_KEY_SIZE ||
      (curveCode != CC_CURVE_TC26_256_A && curveCode != CC_CURVE_CRYPTOPRO_A))
    return CC_E_BLOCK_FORMAT;
  if (CurveOfCode(curveCode) != key.curve) return CC_E_DECRYPT;
  const std::span<const std::uint8_t> block(enciphered, CC_ENCIPHERED_KEY_SIZE);
  ccgost::SecureBytes kek;
  try {
    kek = ccgost::Vko256(key.curve, key.privateKey.span(),
                         block.subspan(kEphemeralOffset, ccgost::kPublicKeySize),
                         block.subspan(kUkmOffset, ccgost::kUkmSize));
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return CC_E_DECRYPT;  // the ephemeral key is no point of the curve
  }
  auto unwrapped = ccgost::UnwrapKey(kek.span(), block.subspan(kUkmOffset, ccgost::kUkmSize),
                                     block.subspan(kWrappedOffset, kWrappedSize));
  if (!unwrapped) return CC_E_DECRYPT;
  sessionKey = std::move(*unwrapped);
  return CC_OK;
}

}  // namespace cc
