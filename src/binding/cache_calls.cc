// The binding's calls on the process-wide key-file cache: preparing a user's entries (refreshed or
// reloaded from the key directories, with the random-state file kept current), adding, removing
// and looking up entries, and parsing certificates with the authority certificates reachable
// from the cache.
#include "binding/ccom_dll.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "binding/guards.h"
#include "binding/key_cache.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/secure.h"

namespace vornak2 {

// ---- the key-file cache ----

std::int32_t TCComDLL::PrepareKeyCache(const std::string& uid, const std::string& ownCertFile,
                                       const std::string& certDir, const std::string& secretDir,
                                       const std::string& randomFile, std::int32_t randomKind,
                                       std::int32_t keyRequestTimeout,
                                       std::int32_t lastOperationTimeout) {
  return Guarded([&]() -> std::int32_t {
    KeyFileCache& cache = KeyFileCache::Instance();
    std::lock_guard guard(cache.Mutex());
    RandomSession random(cc_);

    // The generator is started (and seeded) only when this preparation writes the random state
    // back: a warm preparation, which keeps every entry, writes nothing and the operation that
    // follows seeds the generator itself. A hardware source that is missing fails either way.
    if (cache.poolLoaded && randomKind != 0) {
      TIntelProvider* hw = Hardware();
      if (!hw->Loaded() || !hw->Complete()) return kHardwareRandomUnavailable;
    }
    const double now = cache.Now();
    const auto refreshed = cache.Refresh(uid, now, keyRequestTimeout, lastOperationTimeout);
    if (refreshed.userHasEntries && !refreshed.removedAny) {
      if (cache.poolLoaded) randomKind_ = randomKind;  // what a cache clear writes back with
      return kOk;
    }
    if (cache.poolLoaded) {
      const std::int32_t r = InitRandom(randomKind);
      if (r != 0) return r;
      randomKind_ = randomKind;
      random.Started();
    }

    std::vector<std::string> files;
    FindFilesByExtension(certDir, "crt", files, true);
    FindFilesByExtension(secretDir, "sec", files, false);
    FindFilesByExtension(secretDir, "aut", files, true);
    ++cache.directoryScans;

    if (!cache.poolLoaded) {
      randomFile_ = randomFile;
      std::int32_t size = static_cast<std::int32_t>(kRandomPoolSize);
      if (!ReadFileToBuffer(randomFile, cache.pool.data(), size)) {
        // A key set made by other tools may come without a random-state file: the pool is seeded
        // from the system's random source instead, and the library writes the file below (only
        // where nothing is in the way: a file that exists but cannot be read stays a failure).
        constexpr std::size_t kNewState = 384;
        if (FileExists(randomFile) || !platform::SystemRandom(cache.pool.data(), kNewState)) {
          // A file the state could not be read from is not one to write the state into either.
          randomFile_.clear();
          return kRandomFileFailed;
        }
        cache.poolCount = static_cast<std::int32_t>(kNewState);
        cache.poolLoaded = true;
        if (const std::int32_t r = InitRandom(randomKind); r != 0) return r;
        randomKind_ = randomKind;
        random.Started();
      } else {
        cache.poolCount = size;
        cache.poolLoaded = true;
      }
    }

    if (random.IsStarted()) {
      SeedRandom(randomKind);
      if (cc_._RandWriteFile(randomFile.c_str()) != 0) return kRandomFileFailed;
    }

    std::int32_t result = kOk;
    SecretBytes text(kCacheTextSize);
    // `found`: the file came from the directory scan, and another process may have removed
    // (or renamed) it since; one that is gone is no longer part of the key set and is skipped.
    auto load = [&](const std::string& path, const std::string& source, bool found) {
      try {
        if (cache.Find(uid, path) != nullptr) return;
        // A file being replaced by another process can refuse one opening on Windows (a name
        // whose old file is still open elsewhere); it is read again before giving up.
        bool read = ReadKeyFileText(source, text);
        for (int again = 0; !read && again < 3 && FileExists(source); ++again) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          read = ReadKeyFileText(source, text);
        }
        if (!read) {
          if (!found || FileExists(source)) result = kVendorRead;
          return;
        }
        bool created = false;
        CacheRecord& record = cache.FindOrAdd(uid, path, created);
        record.SetText(text.chars(), kCacheTextSize);
        record.loadedAt = record.usedAt = now;
        record.keyRequestTimeout = keyRequestTimeout;
        record.lastOperationTimeout = lastOperationTimeout;
        ++cache.fileLoads;
      } catch (const std::bad_alloc&) {
        result = kOutOfMemory;
      } catch (...) {
        result = kVendorRead;
      }
    };
    load(CertPathByUID(uid, certDir), ownCertFile, false);
    for (const std::string& file : files) load(file, file, true);
    cache.MarkLoaded(uid);
    return result;
  });
}

void TCComDLL::ClearKeyCache() {
  KeyFileCache& cache = KeyFileCache::Instance();
  std::lock_guard guard(cache.Mutex());
  if (!randomFile_.empty() && randomKind_ != -1 && InitRandom(randomKind_) == 0) {
    cc_._RandWriteFile(randomFile_.c_str());
    cc_._FreeRand();
  }
  cache.poolLoaded = false;
  cache.Clear();
}

bool TCComDLL::AddToKeyCache(const std::string& uid, const std::string& secondUid,
                             const std::string& certDir, const std::string& filePath,
                             std::int32_t keyRequestTimeout, std::int32_t lastOperationTimeout) {
  SecretBytes text(kCacheTextSize);
  if (!ReadKeyFileText(filePath, text)) return false;
  const std::string name = uid == secondUid ? CertPathByUID(secondUid, certDir) : filePath;
  KeyFileCache& cache = KeyFileCache::Instance();
  std::lock_guard guard(cache.Mutex());
  try {
    bool created = false;
    CacheRecord& record = cache.FindOrAdd(uid, name, created);
    record.SetText(text.chars(), kCacheTextSize);
    record.loadedAt = record.usedAt = cache.Now();
    record.keyRequestTimeout = keyRequestTimeout;
    record.lastOperationTimeout = lastOperationTimeout;
  } catch (...) {
    return false;
  }
  return true;
}

bool TCComDLL::RemoveFromKeyCache(const std::string& uid, const std::string& filePath) {
  try {
    KeyFileCache& cache = KeyFileCache::Instance();
    std::lock_guard guard(cache.Mutex());
    cache.Remove(uid, filePath);
    return true;
  } catch (...) {
    return false;
  }
}

bool TCComDLL::CacheLookup(const std::string& uid, const std::string& filePath,
                           std::int32_t capacity, char* buffer) {
  if (buffer == nullptr || capacity <= 0) return false;
  KeyFileCache& cache = KeyFileCache::Instance();
  std::lock_guard guard(cache.Mutex());
  const CacheRecord* record = cache.Find(uid, filePath);
  if (record == nullptr) return false;
  const std::size_t n = ::strnlen(record->text.data(), record->text.size());
  if (n >= static_cast<std::size_t>(capacity)) return false;
  std::memcpy(buffer, record->text.data(), n + 1);
  return true;
}

bool TCComDLL::CachedCertificate(CcContext* ctx, const std::string& ownUid, const std::string& uid,
                                 std::vector<char>& text) {
  const char* path = cc_._GetCertPath(ctx, uid.c_str());
  text.assign(kCacheTextSize, '\0');
  return path != nullptr &&
         CacheLookup(ownUid, path, static_cast<std::int32_t>(text.size()), text.data());
}

std::int32_t TCComDLL::CertInfoFromCache(const std::string& secretDir, const std::string& uid,
                                         CcContext* ctx, const char* certText,
                                         CcCertInfo** record) {
  KeyFileCache& cache = KeyFileCache::Instance();
  std::lock_guard guard(cache.Mutex());
  cache.SetLookupPrefix(uid, secretDir);
  return cc_.__CertInfo(ctx, certText, record);
}

}  // namespace vornak2
