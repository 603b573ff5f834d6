// The key-file cache: what a preparation scans and loads inside and outside its time-outs, files
// that cannot be cached, and the keys entries are stored under.
#include <filesystem>

#include <cstring>

#include "binding_test_util.h"
#include "platform/platform.h"
#include "scratch_dir.h"
#include "support/files.h"
#include "support/text.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;

// Files a preparation of a fresh bootstrap loads: the own certificate, 0.sec and the authority.
constexpr std::uint64_t kBootstrapFiles = 3;

class KeyCacheTest : public BindingTest {};

TEST_F(KeyCacheTest, PreparationInsideTheTimeOutsScansNothing) {
  const UserKeys& u = root_->User("cache_a", "A.0");
  const auto scans = Scans();
  const auto loads = Loads();
  ASSERT_EQ(Prepare(u), 0);
  EXPECT_EQ(Scans(), scans + 1);
  EXPECT_EQ(Loads(), loads + kBootstrapFiles);

  for (int i = 0; i < 3; ++i) {
    AdvanceSeconds(2);  // inside both time-outs (60 s, 5 s), each preparation refreshes usedAt
    ASSERT_EQ(Prepare(u), 0);
  }
  EXPECT_EQ(Scans(), scans + 1);
  EXPECT_EQ(Loads(), loads + kBootstrapFiles);

  // The refreshes carried the entries 6 s past their loading, beyond a 5 s window from the load.
  char text[kCacheTextSize];
  EXPECT_TRUE(dll_->CacheLookup(u.uid, u.secretDir + "0.sec", sizeof text, text));
  EXPECT_EQ(std::string(text), ReadText(u.secretDir + "0.sec"));
}

TEST_F(KeyCacheTest, OneExpiredEntryReloadsOnlyWhatIsMissing) {
  const UserKeys& u = root_->User("cache_b", "B.0");
  ASSERT_EQ(Prepare(u), 0);
  // The secret key gets a short life of its own (1 s after its last use).
  ASSERT_TRUE(dll_->AddToKeyCache(u.uid, "", u.certDir, u.secretDir + "0.sec", 60, 1));
  AdvanceSeconds(2);
  const auto scans = Scans();
  const auto loads = Loads();
  ASSERT_EQ(Prepare(u), 0);
  EXPECT_EQ(Scans(), scans + 1);
  EXPECT_EQ(Loads(), loads + 1);
}

TEST_F(KeyCacheTest, ZeroTimeOutsReloadEverythingEveryTime) {
  const UserKeys& u = root_->User("cache_c", "C.0");
  ASSERT_EQ(Prepare(u, 0, 0), 0);
  for (int i = 0; i < 2; ++i) {
    const auto scans = Scans();
    const auto loads = Loads();
    ASSERT_EQ(Prepare(u, 0, 0), 0);
    EXPECT_EQ(Scans(), scans + 1);
    EXPECT_EQ(Loads(), loads + kBootstrapFiles);
  }
  // Either time-out alone at 0 disables caching as well.
  const auto loads = Loads();
  ASSERT_EQ(Prepare(u, 60, 0), 0);
  ASSERT_EQ(Prepare(u, 0, 60), 0);
  EXPECT_EQ(Loads(), loads + 2 * kBootstrapFiles);
}

TEST_F(KeyCacheTest, OversizedFileGivesMinus30WhileTheRestLoads) {
  const UserKeys& u = root_->User("cache_d", "D.0");
  const std::string big = u.certDir + "big.crt";
  const std::string limit = u.certDir + "limit.crt";
  WriteText(big, std::string(2049, 'x'));
  WriteText(limit, std::string(static_cast<std::size_t>(kMaxCachedFileSize), 'y'));
  EXPECT_EQ(Prepare(u), -30);
  char text[kCacheTextSize];
  EXPECT_FALSE(dll_->CacheLookup(u.uid, big, sizeof text, text));
  EXPECT_TRUE(dll_->CacheLookup(u.uid, limit, sizeof text, text));
  EXPECT_EQ(std::strlen(text), static_cast<std::size_t>(kMaxCachedFileSize));
  EXPECT_TRUE(dll_->CacheLookup(u.uid, CertPathByUID(u.uid, u.certDir), sizeof text, text));
  EXPECT_TRUE(dll_->CacheLookup(u.uid, u.secretDir + "0.sec", sizeof text, text));
  fs::remove(big);
  fs::remove(limit);
}

TEST_F(KeyCacheTest, DirectoriesScannedAsTheirKindsRequire) {
  const UserKeys& u = root_->User("cache_e", "E.0");
  const std::string nested = u.secretDir + "nested" + platform::kPathSeparator;
  fs::create_directories(nested);
  WriteText(nested + "7.sec", "secret");
  WriteText(nested + "7.aut", "authority");
  ASSERT_EQ(Prepare(u), 0);
  char text[kCacheTextSize];
  EXPECT_FALSE(dll_->CacheLookup(u.uid, nested + "7.sec", sizeof text, text));
  EXPECT_TRUE(dll_->CacheLookup(u.uid, nested + "7.aut", sizeof text, text));
  // Keys ignore letter case.
  EXPECT_TRUE(dll_->CacheLookup("e.0", AsciiUpper(nested + "7.aut"), sizeof text, text));
  // The copy honours the capacity it is given.
  EXPECT_FALSE(dll_->CacheLookup(u.uid, nested + "7.aut", 9, text));
  EXPECT_TRUE(dll_->CacheLookup(u.uid, nested + "7.aut", 10, text));
  fs::remove_all(u.secretDir + "nested");
}

TEST_F(KeyCacheTest, UsersWithAPrefixUIDKeepSeparateEntries) {
  const UserKeys& shortUid = root_->User("cache_f", "F.1");
  const UserKeys& longUid = root_->User("cache_g", "F.12");
  ASSERT_EQ(Prepare(longUid), 0);
  // F.1's preparation must not take F.12's entries for its own and skip loading.
  ASSERT_EQ(Prepare(shortUid), 0);
  char text[kCacheTextSize];
  EXPECT_TRUE(dll_->CacheLookup(shortUid.uid, shortUid.secretDir + "0.sec", sizeof text, text));
}

TEST_F(KeyCacheTest, AddAndRemoveUseTheDocumentedKeys) {
  const UserKeys& u = root_->User("cache_h", "H.7");
  ScratchDir scratch;
  const std::string file = scratch / "peer.crt";
  WriteText(file, "certificate text");
  char text[kCacheTextSize];

  // Equal UIDs: stored under the UID's place in the certificate store.
  ASSERT_TRUE(dll_->AddToKeyCache(u.uid, u.uid, u.certDir, file, 60, 5));
  EXPECT_TRUE(dll_->CacheLookup(u.uid, CertPathByUID(u.uid, u.certDir), sizeof text, text));
  EXPECT_STREQ(text, "certificate text");
  EXPECT_FALSE(dll_->CacheLookup(u.uid, file, sizeof text, text));
  // Different UIDs: under the file's own path; replacing reuses the entry with the new text.
  ASSERT_TRUE(dll_->AddToKeyCache(u.uid, "Other.1", u.certDir, file, 60, 5));
  WriteText(file, "new");
  ASSERT_TRUE(dll_->AddToKeyCache(u.uid, "Other.1", u.certDir, file, 60, 5));
  ASSERT_TRUE(dll_->CacheLookup(u.uid, file, sizeof text, text));
  EXPECT_STREQ(text, "new");

  EXPECT_TRUE(dll_->RemoveFromKeyCache(u.uid, file));
  EXPECT_FALSE(dll_->CacheLookup(u.uid, file, sizeof text, text));
  EXPECT_TRUE(dll_->RemoveFromKeyCache(u.uid, file));  // a missing entry is no failure
  EXPECT_FALSE(dll_->AddToKeyCache(u.uid, "", u.certDir, scratch / "missing", 60, 5));
}

TEST_F(KeyCacheTest, RandomStateIsLoadedOnceAndWrittenBackByLaterPreparations) {
  const UserKeys& u = root_->User("cache_i", "I.0");
  ASSERT_EQ(Prepare(u), 0);
  EXPECT_EQ(dll_->RandomFile(), u.randomFile);
  EXPECT_EQ(dll_->RandomKind(), -1);  // the first preparation loads the pool, starts nothing
  const std::string before = ReadText(u.randomFile);
  AdvanceSeconds(120);
  ASSERT_EQ(Prepare(u), 0);
  EXPECT_EQ(dll_->RandomKind(), 0);
  EXPECT_NE(ReadText(u.randomFile), before);  // a new state (timestamps may not tell within a tick)
}

// A missing random-state file is made on first use (by the library, seeded from the system's
// random source), owner-only; one that exists but cannot be
// read into the pool (a directory, a file larger than the pool), or one that cannot be made (its
// directory is missing), gives 126 and nothing is made.
TEST_F(KeyCacheTest, MissingRandomStateFileIsMadeOthersGive126) {
  const UserKeys& u = root_->User("cache_j", "J.0");
  const std::string sep(1, platform::kPathSeparator);
  fs::create_directories(u.dir + "a-directory");
  WriteText(u.dir + "too-large", std::string(40000, 'r'));
  const struct {
    std::string file;
    std::int32_t code;
  } rows[] = {{u.dir + "no-such-rand", 0},
              {u.dir + "a-directory", 126},
              {u.dir + "too-large", 126},
              {u.dir + "missing" + sep + "rand", 126}};
  for (const auto& r : rows) {
    dll_->ClearKeyCache();
    UserKeys moved = u;
    moved.randomFile = r.file;
    EXPECT_EQ(Prepare(moved), r.code) << r.file;
  }
  EXPECT_EQ(ReadText(u.dir + "no-such-rand").rfind("VORNAK2-CC RANDOM STATE", 0), 0u);
#ifndef _WIN32
  EXPECT_EQ(fs::status(u.dir + "no-such-rand").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  EXPECT_FALSE(fs::exists(u.dir + "missing"));
  EXPECT_EQ(fs::file_size(u.dir + "too-large"), 40000u);
}

TEST_F(KeyCacheTest, ClearBeforeAnyPreparationWritesNoRandomState) {
  const UserKeys& u = root_->User("cache_k", "K.0");
  ASSERT_EQ(Prepare(u), 0);  // loads the pool only: no generator was started
  const std::string before = ReadText(u.randomFile);
  dll_->ClearKeyCache();
  EXPECT_EQ(ReadText(u.randomFile), before);
}

TEST_F(KeyCacheTest, AuthorityLookupBuildsItsKeyFromThePrefix) {
  KeyFileCache& cache = KeyFileCache::Instance();
  std::lock_guard guard(cache.Mutex());
  bool created = false;
  const std::string sep(1, platform::kPathSeparator);
  cache.FindOrAdd("", "CA.1" + sep + "7.AUT", created).SetText("aut text", 9);
  cache.FindOrAdd("U.1", "/keys/sec/CA.1" + sep + "7.aut", created).SetText("user's aut", 11);
  cache.SetLookupPrefix("", "");
  EXPECT_STREQ(AuthorityKeyLookup("ca.1", 7), "aut text");
  EXPECT_EQ(AuthorityKeyLookup("CA.1", 8), nullptr);
  cache.SetLookupPrefix("U.1", "/keys/sec/");
  EXPECT_STREQ(AuthorityKeyLookup("CA.1", 7), "user's aut");
  EXPECT_EQ(AuthorityKeyLookup(nullptr, 7), nullptr);
  cache.SetLookupPrefix("", "");
}

}  // namespace
}  // namespace vornak2::testing
