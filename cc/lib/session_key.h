// Session-key transport: a random 32-byte session key is delivered to the owner of a certificate
// by VKO GOST R 34.10-2012 (an ephemeral key pair and an 8-byte UKM against the recipient's public
// key) and the CryptoPro key wrap with its MAC. The enciphered session key is the layout
// documented in cc_abi.h: CC_ENCIPHERED_KEY_SIZE bytes for a 256-bit recipient key,
// CC_ENCIPHERED_KEY_SIZE_512 for a 512-bit one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cc_abi.h"
#include "documents.h"
#include "gost.h"

namespace cc {

using EncipheredKey = std::vector<std::uint8_t>;

// A new session key and its enciphered form for the recipient's certificate.
void EncipherSessionKey(const PublicDocument& recipient, ccgost::SecureBytes& sessionKey,
                        EncipheredKey& enciphered);

// The session key from an enciphered key (read through `enciphered`, which must point to at least
// the size its header announces) and that size, which depends on the recipient's key (the
// carrier a context keeps is the whole block). 0, CC_E_BLOCK_FORMAT for a malformed block,
// CC_E_DECRYPT when the key is not enciphered for this secret key.
int DecipherSessionKey(const SecretKey& key, const std::uint8_t* enciphered,
                       ccgost::SecureBytes& sessionKey, std::size_t& blockSize);

}  // namespace cc
