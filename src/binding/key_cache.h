// The process-wide state that every binding shares: the key-file cache with its lock, the random
// pool loaded from the random-state file, and the prefix under which the library's authority-key
// lookups search the cache.
//
// An entry belongs to one user (UID) and one file path; both parts of its key are compared
// without regard to ASCII letter case. Keeping the two parts apart means that a user's entries
// are exactly those of its UID (the UID "H.0" does not claim the entries of "H.01").
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "cc_abi.h"
#include "support/secure.h"

namespace vornak2 {

// Capacity of a cached file text including its terminating zero: files of up to 2047 bytes are
// cacheable, the largest text the library accepts.
inline constexpr std::size_t kCacheTextSize = 2048;
inline constexpr std::int32_t kMaxCachedFileSize = static_cast<std::int32_t>(kCacheTextSize) - 1;
inline constexpr std::size_t kRandomPoolSize = 32768;

// Seconds as the fraction of a day in which time-outs are compared.
inline constexpr double kDaysPerSecond = 1.1574E-5;

struct CacheRecord {
  CacheRecord() = default;
  CacheRecord(const CacheRecord&) = delete;
  CacheRecord& operator=(const CacheRecord&) = delete;
  ~CacheRecord();  // wipes the text: secret keys are cached too

  // Replaces the text by `data` (cut at its first zero byte) and clears the rest.
  void SetText(const char* data, std::size_t size) noexcept;

  std::array<char, kCacheTextSize> text{};  // zero-terminated file contents
  double loadedAt = 0;                      // days, when the file was (re)loaded
  double usedAt = 0;                        // days, when the entry was last refreshed
  std::int32_t keyRequestTimeout = 0;       // seconds after loading; 0 = no caching
  std::int32_t lastOperationTimeout = 0;    // seconds after the last refresh; 0 = no caching
};

class KeyFileCache {
 public:
  static KeyFileCache& Instance();

  // The cache lock: guards the entries, the random pool and the lookup prefix. Re-entrant.
  std::recursive_mutex& Mutex() noexcept { return mutex_; }

  // ---- entries (the caller holds the lock) ----
  CacheRecord* Find(std::string_view uid, std::string_view path);
  // The record under (uid, path), created empty when missing; `created` tells which.
  CacheRecord& FindOrAdd(std::string_view uid, std::string_view path, bool& created);
  bool Remove(std::string_view uid, std::string_view path);
  void Clear() noexcept;
  std::size_t Size() const noexcept { return entries_.size(); }

  struct RefreshResult {
    bool userHasEntries = false;  // entries of a key set that was loaded whole
    bool removedAny = false;
  };
  // Keeps the user's entries that are inside both given time-outs and both of their own (a
  // time-out of 0 keeps nothing); kept entries get usedAt = now and the given time-outs, the
  // others are freed. The user's entries count only once its whole key set has been loaded
  // (MarkLoaded): a certificate added on its own (AddToKeyCache after an installation) must not
  // stand in for the secret key and authority certificates that were never read.
  RefreshResult Refresh(std::string_view uid, double now, std::int32_t keyRequestTimeout,
                        std::int32_t lastOperationTimeout);
  // Notes that the user's key set has been loaded from its directories.
  void MarkLoaded(std::string_view uid);

  // ---- the authority-key lookup (the caller holds the lock) ----
  void SetLookupPrefix(std::string uid, std::string directory);
  // Text of the cached authority certificate `name` number `number` of the prefix's user.
  const char* FindAuthority(const char* name, std::int32_t number);

  // ---- the random pool (the caller holds the lock) ----
  std::array<std::uint8_t, kRandomPoolSize> pool{};
  std::int32_t poolCount = 0;
  bool poolLoaded = false;

  // ---- clock: local time as days; tests replace it to move time ----
  double Now() const;
  using Clock = double (*)();
  void SetClock(Clock clock) noexcept { clock_ = clock; }

  // ---- counters, for tests and diagnostics (the caller holds the lock) ----
  std::uint64_t directoryScans = 0;  // preparations that listed the key directories
  std::uint64_t fileLoads = 0;       // files read into the cache

 private:
  KeyFileCache() = default;
  using Key = std::pair<std::string, std::string>;  // (lower-case uid, lower-case path)
  static Key MakeKey(std::string_view uid, std::string_view path);

  std::recursive_mutex mutex_;
  std::map<Key, std::unique_ptr<CacheRecord>> entries_;
  std::set<std::string> loadedUsers_;  // lower-case UIDs whose key set was loaded whole
  std::string prefixUid_;
  std::string prefixDir_;
  Clock clock_ = nullptr;
};

// Reads a key, certificate or authority file as zero-terminated text into `buffer` (which has
// room for kCacheTextSize bytes); false when it is missing, unreadable or too large.
bool ReadKeyFileText(const std::string& path, SecretBytes& buffer);

// The function the binding plants in every context's callback slot: the library calls it for the
// text of an issuer's authority certificate. It takes no lock: the binding holds the cache lock
// around every library call that can reach it.
const char* CC_CDECL AuthorityKeyLookup(const char* name, std::int32_t number);

}  // namespace vornak2
