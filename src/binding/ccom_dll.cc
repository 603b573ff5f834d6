#include "binding/ccom_dll.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "binding/guards.h"
#include "binding/key_cache.h"
#include "engine/rootpath.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

const char* OrEmpty(const char* text) noexcept {
  return text != nullptr ? text : "";
}

// Reads a key, certificate or authority file as zero-terminated text into `buffer` (which has
// room for kCacheTextSize bytes); false when it is missing, unreadable or too large.
bool ReadTextFile(const std::string& path, SecretBytes& buffer) {
  std::int32_t size = kMaxCachedFileSize;
  if (!ReadFileToBuffer(path, buffer.data(), size)) return false;
  buffer.data()[size] = 0;
  return true;
}

std::int32_t WriteReport(const std::string& report, char* buffer, std::int32_t capacity) {
  if (buffer == nullptr) return 104;
  if (capacity <= 0 || report.size() >= static_cast<std::size_t>(capacity)) return 104;
  std::memcpy(buffer, report.c_str(), report.size() + 1);
  return 0;
}

}  // namespace

// ---- loading ----

TCComDLL::TCComDLL() {
  Load(platform::SharedLibraryFileName("cc"));
}

TCComDLL::TCComDLL(const std::string& libraryName) {
  Load(libraryName);
}

void TCComDLL::Load(const std::string& libraryName) {
  libHandle_ = LoadCryptoLibrary(libraryName);
  if (libHandle_ == nullptr) return;
  loaded_ = true;
  int found = 0;
  // Every slot is looked up by the exported form of its decorated name (the decorated name itself
  // on Windows); a missing name does not stop the lookups, and the library is complete only when
  // all 62 were found.
#define VORNAK2_BIND_ENTRY(num, name, bytes, ret, params)                      \
  cc_.name = reinterpret_cast<CcFn##name>(                                     \
      platform::FindSymbol(libHandle_, cc_abi::kExportedNames[num - 1].c_str())); \
  found += cc_.name != nullptr ? 1 : 0;
  CC_ENTRY_POINTS(VORNAK2_BIND_ENTRY)
#undef VORNAK2_BIND_ENTRY
  complete_ = found == CC_ENTRY_COUNT;
}

TCComDLL::~TCComDLL() {
  hardwareRandom_.reset();
  if (libHandle_ != nullptr) platform::FreeModule(libHandle_);
}

std::int32_t TCComDLL::Fail(const std::exception& e) {
  try {
    lastCallError_ = std::string(ExceptionClassName(e)) + ": " + e.what();
  } catch (...) {
  }
  return 3;
}

TIntelProvider* TCComDLL::Hardware() {
  if (!hardwareRandom_) hardwareRandom_ = std::make_unique<TIntelProvider>();
  return hardwareRandom_.get();
}

// ---- contexts ----

std::int32_t TCComDLL::CreateContext(CcContext*& ctx, const std::string& uid,
                                     const std::string& secretDir, const std::string& publicDir,
                                     const std::string& cipher, const std::string& hash) {
  ctx = nullptr;
  CcContext* created = nullptr;
  std::int32_t result = 0;
  try {
    created = cc_._InitCryptCtx();
    if (created == nullptr) return 5;
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
  } catch (const std::exception& e) {
    result = Fail(e);
  }
  if (result != 0) {
    if (created != nullptr) cc_._FreeCryptCtx(created);
    return result;
  }
  ctx = created;
  return 0;
}

void TCComDLL::FreeContext(CcContext* ctx) noexcept {
  if (ctx != nullptr) cc_._FreeCryptCtx(ctx);
}

// ---- random numbers ----

std::int32_t TCComDLL::GetRandomBytes(std::int32_t kind, void* buffer, std::int32_t count) {
  if (kind == 0) {
    const std::int32_t r = cc_._GetRandom(buffer, count);
    return r < 0 ? r : 0;
  }
  TIntelProvider* hw = Hardware();
  if (!hw->Loaded() || !hw->Complete()) return 7;
  return hw->GetRandom(buffer, count) ? 0 : hw->LastError();
}

std::int32_t TCComDLL::InitRandom(std::int32_t kind) {
  constexpr std::size_t kSeedBytes = 1024;
  SecretBytes work(kRandomPoolSize);
  if (kind != 0) {
    TIntelProvider* hw = Hardware();
    if (!hw->Loaded() || !hw->Complete()) return 7;
    if (!hw->GetRandom(work.data(), kSeedBytes)) return 7;
  }
  KeyFileCache& cache = KeyFileCache::Instance();
  {
    // The pool is shared by all engines; read it under the cache lock.
    std::lock_guard guard(cache.Mutex());
    std::memcpy(work.data(), cache.pool.data(), static_cast<std::size_t>(cache.poolCount));
  }
  const std::int32_t started = cc_._InitRand();
  if (started != 0) return started;
  cc_._RandSeed(work.data(), static_cast<std::int32_t>(kSeedBytes));

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
  return 0;
}

std::int32_t TCComDLL::SeedRandom(std::int32_t kind) noexcept {
  try {
    std::uint8_t seed[32] = {};
    if (GetRandomBytes(kind, seed, sizeof seed) != 0) return 0;
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
  return 0;
}

// ---- the key-file cache ----

std::int32_t TCComDLL::PrepareKeyCache(const std::string& uid, const std::string& ownCertFile,
                                       const std::string& certDir, const std::string& secretDir,
                                       const std::string& randomFile, std::int32_t randomKind,
                                       std::int32_t keyRequestTimeout,
                                       std::int32_t lastOperationTimeout) {
  KeyFileCache& cache = KeyFileCache::Instance();
  std::lock_guard guard(cache.Mutex());
  RandomSession random(cc_);

  if (cache.poolLoaded) {
    const std::int32_t r = InitRandom(randomKind);
    if (r != 0) return r;
    randomKind_ = randomKind;
    random.Started();
  }

  const double now = cache.Now();
  const auto refreshed = cache.Refresh(uid, now, keyRequestTimeout, lastOperationTimeout);
  if (refreshed.userHasEntries && !refreshed.removedAny) return 0;

  std::vector<std::string> files;
  FindFilesByExtension(certDir, "crt", files, true);
  FindFilesByExtension(secretDir, "sec", files, false);
  FindFilesByExtension(secretDir, "aut", files, true);
  ++cache.directoryScans;

  if (!cache.poolLoaded) {
    randomFile_ = randomFile;
    std::int32_t size = static_cast<std::int32_t>(kRandomPoolSize);
    if (!ReadFileToBuffer(randomFile, cache.pool.data(), size)) return 126;
    cache.poolCount = size;
    cache.poolLoaded = true;
  }

  if (random.IsStarted()) {
    SeedRandom(randomKind);
    if (cc_._RandWriteFile(randomFile.c_str()) != 0) return 126;
  }

  std::int32_t result = 0;
  SecretBytes text(kCacheTextSize);
  auto load = [&](const std::string& path, const std::string& source) {
    try {
      if (cache.Find(uid, path) != nullptr) return;
      if (!ReadTextFile(source, text)) {
        result = -30;
        return;
      }
      bool created = false;
      CacheRecord& record = cache.FindOrAdd(uid, path, created);
      record.SetText(text.chars(), kCacheTextSize);
      record.loadedAt = record.usedAt = now;
      record.keyRequestTimeout = keyRequestTimeout;
      record.lastOperationTimeout = lastOperationTimeout;
      ++cache.fileLoads;
    } catch (...) {
      result = -30;
    }
  };
  load(CertPathByUID(uid, certDir), ownCertFile);
  for (const std::string& file : files) load(file, file);
  return result;
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
  if (!ReadTextFile(filePath, text)) return false;
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

// ---- certificates ----

bool TCComDLL::ReadCertificateFile(const std::string& path, std::string* uid,
                                   std::int32_t* keyNumber) {
  SecretBytes text(kCacheTextSize);
  if (!ReadTextFile(path, text)) return false;
  CcContext* ctx = cc_._InitCryptCtx();
  if (ctx == nullptr) return false;
  struct Release {
    const CcEntryTable& cc;
    CcContext* ctx;
    ~Release() { cc._FreeCryptCtx(ctx); }
  } release{cc_, ctx};
  CertRecord record(cc_);
  cc_.__CertInfo(ctx, text.chars(), record.Out());
  if (record.get() == nullptr) return false;
  if (uid != nullptr) *uid = OrEmpty(record.get()->uid);
  if (keyNumber != nullptr) *keyNumber = record.get()->keyNumber;
  return true;
}

std::string TCComDLL::GetCertificateUID(const std::string& path) {
  std::string uid;
  return ReadCertificateFile(path, &uid, nullptr) ? uid : std::string();
}

std::int32_t TCComDLL::GetCertificateKeyNumber(const std::string& path) {
  std::int32_t keyNumber = -1;
  return ReadCertificateFile(path, nullptr, &keyNumber) ? keyNumber : -1;
}

std::int32_t TCComDLL::GetCertificateReport(const std::string& ownUid, const std::string& secretDir,
                                            const std::string& certDir,
                                            const std::string& randomFile,
                                            const std::string& reportedUid, char* buffer,
                                            std::int32_t capacity) {
  if (ownUid.empty() || reportedUid.empty()) return 121;
  if (certDir.empty()) return 123;
  if (randomFile.empty()) return 122;
  return BuildReport(ownUid, secretDir, certDir, &reportedUid, nullptr, buffer, capacity);
}

std::int32_t TCComDLL::GetCertificateReportFromText(
    const std::string& ownUid, const std::string& secretDir, const std::string& certDir,
    const std::string& randomFile, const char* certText, char* buffer, std::int32_t capacity) {
  if (certText == nullptr || buffer == nullptr) return 104;
  if (certDir.empty()) return 123;
  if (randomFile.empty()) return 122;
  return BuildReport(ownUid, secretDir, certDir, nullptr, certText, buffer, capacity);
}

std::int32_t TCComDLL::BuildReport(const std::string& ownUid, const std::string& secretDir,
                                   const std::string& certDir, const std::string* reportedUid,
                                   const char* certText, char* buffer, std::int32_t capacity) {
  try {
    CertRecord record(cc_);
    Context ctx(*this);
    const std::int32_t created = CreateContext(ctx.Ref(), ownUid, secretDir, certDir, "", "");
    if (created != 0) return created;
    std::vector<char> stored;
    if (reportedUid != nullptr) {
      if (!CachedCertificate(ctx.get(), ownUid, *reportedUid, stored)) return 112;
      certText = stored.data();
    }
    CertInfoFromCache(secretDir, ownUid, ctx.get(), certText, record.Out());
    if (record.get() == nullptr) return -2;
    return WriteReport(CertificateReportText(*record.get(), certText), buffer, capacity);
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

// ---- key generation ----

std::int32_t TCComDLL::GenerateKeys(const KeyGenerationArgs& a, std::int32_t& keyNumber) {
  keyNumber = -1;
  if (!a.currentUid.empty()) {
    if (a.certDir.empty()) return 123;
    if (a.currentKeyPath.empty()) return 124;
  }
  if (a.randomFile.empty()) return 122;
  try {
    // Released in the reverse order: the context, the generator, then the library's texts.
    CertRecord record(cc_);
    LibraryText secretText(cc_);
    LibraryText requestText(cc_);
    RandomSession random(cc_);
    // Keys are never generated from a generator that could not be started and seeded.
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, a.randomKind, random, ctx, a.currentUid,
                                              a.secretDir, a.certDir, a.cipher, a.hash);
        r != 0)
      return r;

    std::int32_t newNumber = 0;
    if (a.currentUid == a.newUid) {
      std::vector<char> text;
      if (!CachedCertificate(ctx.get(), a.currentUid, a.currentUid, text)) return 112;
      CertInfoFromCache(a.secretDir, a.currentUid, ctx.get(), text.data(), record.Out());
      if (record.get() == nullptr) return -2;
      if (a.checkValidity && record.get()->status != 0) return record.get()->status;
      newNumber = record.get()->keyNumber + 1;
    }

    cc_._SetPKSParameters(ctx.get(), a.first, a.second);
    cc_._SetPeriod(ctx.get(), static_cast<std::uint16_t>(a.period));
    const std::int32_t generated = cc_._NewKeys(ctx.get(), a.newUid.c_str(), newNumber,
                                                secretText.Out(), requestText.Out(), 0, 0);
    if (generated != 0) return generated;

    const std::string dir = AddPathSeparator(a.outputDir);
    const char* secret = OrEmpty(secretText.get());
    if (!WriteBufferToFile(dir + std::to_string(newNumber) + ".sec", secret,
                           static_cast<std::int32_t>(::strnlen(secret, CC_MAX_TEXT)), true))
      return 117;
    const char* request = OrEmpty(requestText.get());
    const std::string requestName =
        a.newUid.empty() ? std::string() : a.newUid.substr(a.newUid.size() - 1);
    const bool requestWritten =
        WriteBufferToFile(dir + requestName + ".pub", request,
                          static_cast<std::int32_t>(::strnlen(request, CC_MAX_TEXT)));
    keyNumber = newNumber;
    return requestWritten ? 0 : 127;
  } catch (const std::exception& e) {
    return Fail(e);
  }
}

// ---- report text ----

std::string ReportDate(const char* libraryDate) {
  const std::string_view t = OrEmpty(libraryDate);
  auto part = [&](std::size_t from, std::size_t count) {
    return from < t.size() ? t.substr(from, count) : std::string_view();
  };
  std::string out;
  out.append(part(3, 2));
  out.push_back('-');
  out.append(part(0, 2));
  out.append(part(5, std::string_view::npos));
  out.append(":00");
  return out;
}

std::string CertificateReportText(const CcCertInfo& info, const char* certText) {
  std::string r;
  r.reserve(2400);
  r.append("UID=").append(OrEmpty(info.uid)).append("\r\n");
  r.append("KN=").append(std::to_string(static_cast<std::uint32_t>(info.keyNumber))).append("\r\n");
  r.append("ICN=").append(OrEmpty(info.issuerName)).append("\r\n");
  r.append("IKN=")
      .append(std::to_string(static_cast<std::uint32_t>(info.issuerKeyNumber)))
      .append("\r\n");
  r.append("NotBefore=").append(ReportDate(info.validFrom)).append("\r\n");
  r.append("NotAfter=").append(ReportDate(info.validTo)).append("\r\n");
  r.append("PKey=\r\n");
  r.append(OrEmpty(certText)).append("\r\n\r\n");
  return r;
}

}  // namespace vornak2
