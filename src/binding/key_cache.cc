#include "binding/key_cache.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/platform.h"
#include "support/files.h"
#include "support/secure.h"
#include "support/text.h"

namespace vornak2 {

CacheRecord::~CacheRecord() {
  SecureWipe(text.data(), text.size());
}

void CacheRecord::SetText(const char* data, std::size_t size) noexcept {
  const std::size_t n = data == nullptr ? 0 : ::strnlen(data, std::min(size, kCacheTextSize - 1));
  if (n > 0) std::memcpy(text.data(), data, n);
  std::memset(text.data() + n, 0, text.size() - n);
}

KeyFileCache& KeyFileCache::Instance() {
  // Destroyed when the library is unloaded; its records wipe their texts then.
  static KeyFileCache cache;
  return cache;
}

KeyFileCache::Key KeyFileCache::MakeKey(std::string_view uid, std::string_view path) {
  return {AsciiLower(uid), AsciiLower(path)};
}

CacheRecord* KeyFileCache::Find(std::string_view uid, std::string_view path) {
  auto it = entries_.find(MakeKey(uid, path));
  return it == entries_.end() ? nullptr : it->second.get();
}

CacheRecord& KeyFileCache::FindOrAdd(std::string_view uid, std::string_view path, bool& created) {
  auto [it, inserted] = entries_.try_emplace(MakeKey(uid, path));
  if (inserted) {
    try {
      it->second = std::make_unique<CacheRecord>();
    } catch (...) {
      entries_.erase(it);
      throw;
    }
  }
  created = inserted;
  return *it->second;
}

bool KeyFileCache::Remove(std::string_view uid, std::string_view path) {
  return entries_.erase(MakeKey(uid, path)) != 0;
}

void KeyFileCache::Clear() noexcept {
  entries_.clear();
  loadedUsers_.clear();
}

void KeyFileCache::MarkLoaded(std::string_view uid) {
  loadedUsers_.insert(AsciiLower(uid));
}

KeyFileCache::RefreshResult KeyFileCache::Refresh(std::string_view uid, double now,
                                                  std::int32_t keyRequestTimeout,
                                                  std::int32_t lastOperationTimeout) {
  RefreshResult result;
  const std::string user = AsciiLower(uid);
  auto within = [](double since, std::int32_t timeout) {
    return timeout != 0 && since <= static_cast<double>(timeout) * kDaysPerSecond;
  };
  for (auto it = entries_.lower_bound(Key{user, std::string()});
       it != entries_.end() && it->first.first == user;) {
    result.userHasEntries = true;
    CacheRecord& r = *it->second;
    const double sinceLoad = std::fabs(now - r.loadedAt);
    const double sinceUse = std::fabs(now - r.usedAt);
    if (within(sinceLoad, keyRequestTimeout) && within(sinceUse, lastOperationTimeout) &&
        within(sinceLoad, r.keyRequestTimeout) && within(sinceUse, r.lastOperationTimeout)) {
      r.usedAt = now;
      r.keyRequestTimeout = keyRequestTimeout;
      r.lastOperationTimeout = lastOperationTimeout;
      ++it;
    } else {
      it = entries_.erase(it);
      result.removedAny = true;
    }
  }
  // Expired entries make the next preparation read the directories again; entries added one by
  // one do not stand for a loaded key set.
  if (result.removedAny || loadedUsers_.count(user) == 0) {
    loadedUsers_.erase(user);
    result.userHasEntries = false;
  }
  return result;
}

void KeyFileCache::SetLookupPrefix(std::string uid, std::string directory) {
  prefixUid_ = std::move(uid);
  prefixDir_ = std::move(directory);
}

const char* KeyFileCache::FindAuthority(const char* name, std::int32_t number) {
  if (name == nullptr) return nullptr;
  std::string path = prefixDir_;
  path.append(name, ::strnlen(name, kCacheTextSize));
  path.push_back(platform::kPathSeparator);
  path.append(std::to_string(number));
  path.append(".AUT");
  const CacheRecord* record = Find(prefixUid_, path);
  return record ? record->text.data() : nullptr;
}

double KeyFileCache::Now() const {
  if (clock_ != nullptr) return clock_();
  using namespace std::chrono;
  const auto since = system_clock::now().time_since_epoch();
  return duration<double, std::ratio<86400>>(since).count();
}

bool ReadKeyFileText(const std::string& path, SecretBytes& buffer) {
  std::int32_t size = kMaxCachedFileSize;
  if (!ReadFileToBuffer(path, buffer.data(), size)) return false;
  buffer.data()[size] = 0;
  return true;
}

const char* CC_CDECL AuthorityKeyLookup(const char* name, std::int32_t number) {
  try {
    return KeyFileCache::Instance().FindAuthority(name, number);
  } catch (...) {
    return nullptr;  // the library sees "no authority certificate"
  }
}

}  // namespace vornak2
