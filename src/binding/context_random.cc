// Crypto contexts and the random source: a context configured with a user's identity, paths and
// algorithms, and the library's generator seeded from the shared random pool or the hardware
// source.
#include "binding/ccom_dll.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "binding/key_cache.h"
#include "support/secure.h"

namespace vornak2 {

// ---- contexts ----

std::int32_t TCComDLL::CreateContext(CcContext*& ctx, const std::string& uid,
                                     const std::string& secretDir, const std::string& publicDir,
                                     const std::string& cipher, const std::string& hash) {
  ctx = nullptr;
  CcContext* created = nullptr;
  const std::int32_t result = Guarded([&]() -> std::int32_t {
    created = cc_._InitCryptCtx();
    if (created == nullptr) return kOutOfMemory;
    std::int32_t result = kOk;
    if (!uid.empty()) {
      result = cc_._SetIdentifier(created, uid.c_str());
      if (result == 0) {
        created->authorityLookup = &AuthorityKeyLookup;
        if (!secretDir.empty()) result = cc_._SetSecretPath(created, secretDir.c_str());
      }
      if (result == 0 && !publicDir.empty())
        result = cc_._SetPublicPath(created, publicDir.c_str());
    }
    if (result == 0)
      result = cc_._SetCipherAlgorithm(created, cipher.empty() ? "28147" : cipher.c_str());
    if (result == 0) result = cc_._SetHashAlgorithm(created, hash.empty() ? "34.11" : hash.c_str());
    return result;
  });
  if (result != 0) {
    if (created != nullptr) cc_._FreeCryptCtx(created);
    return result;
  }
  ctx = created;
  return kOk;
}

void TCComDLL::FreeContext(CcContext* ctx) noexcept {
  if (ctx != nullptr) cc_._FreeCryptCtx(ctx);
}

// ---- random numbers ----

std::int32_t TCComDLL::GetRandomBytes(std::int32_t kind, void* buffer, std::int32_t count) {
  if (kind == 0) {
    const std::int32_t r = cc_._GetRandom(buffer, count);
    return r < 0 ? r : kOk;
  }
  TIntelProvider* hw = Hardware();
  if (!hw->Loaded() || !hw->Complete()) return kHardwareRandomUnavailable;
  return hw->GetRandom(buffer, count) ? kOk : hw->LastError();
}

std::int32_t TCComDLL::InitRandom(std::int32_t kind) {
  // The generator is seeded with the first 1024 bytes of the pool (hardware bytes behind a shorter
  // pool); only those are gathered, on the stack, and wiped after use.
  constexpr std::size_t kSeedBytes = 1024;
  struct Work {
    std::uint8_t bytes[kSeedBytes] = {};
    ~Work() { SecureWipe(bytes, sizeof bytes); }
  } work;
  if (kind != 0) {
    TIntelProvider* hw = Hardware();
    if (!hw->Loaded() || !hw->Complete()) return kHardwareRandomUnavailable;
    if (!hw->GetRandom(work.bytes, kSeedBytes)) return kHardwareRandomUnavailable;
  }
  KeyFileCache& cache = KeyFileCache::Instance();
  {
    // The pool is shared by all engines; read it under the cache lock.
    std::lock_guard guard(cache.Mutex());
    std::memcpy(work.bytes, cache.pool.data(),
                std::min(kSeedBytes, static_cast<std::size_t>(cache.poolCount)));
  }
  const std::int32_t started = cc_._InitRand();
  if (started != 0) return started;
  cc_._RandSeed(work.bytes, static_cast<std::int32_t>(kSeedBytes));

  // Stir the pool: 32 fresh bytes at an offset chosen by four more random bytes.
  std::uint8_t b[4] = {};
  for (std::uint8_t& byte : b) GetRandomBytes(kind, &byte, 1);
  std::uint8_t block[32] = {};
  GetRandomBytes(kind, block, sizeof block);
  const std::size_t offset = std::size_t{b[0]} + b[1] + b[2] + b[3];
  {
    std::lock_guard guard(cache.Mutex());
    std::memcpy(cache.pool.data() + offset, block, sizeof block);
  }
  SecureWipe(block, sizeof block);
  return kOk;
}

std::int32_t TCComDLL::SeedRandom(std::int32_t kind) noexcept {
  try {
    std::uint8_t seed[32] = {};
    if (GetRandomBytes(kind, seed, sizeof seed) != 0) return kOk;
    cc_._RandSeed(seed, sizeof seed);
    SecureWipe(seed, sizeof seed);
    if (kind == 0) {
      const auto ms = static_cast<std::uint16_t>(platform::CurrentMilliseconds());
      const std::uint8_t le[2] = {static_cast<std::uint8_t>(ms & 0xFF),
                                  static_cast<std::uint8_t>(ms >> 8)};
      cc_._RandSeed(le, sizeof le);
    }
  } catch (...) {
  }
  return kOk;
}

}  // namespace vornak2
