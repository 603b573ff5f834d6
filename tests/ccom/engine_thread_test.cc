// Engines on several threads, each configured for its own user under the one process root: UIDs,
// key-cache preparation, reports and key generation through the binding; and every data operation
// mixed with changes of the cached store and cache clears. Run under ThreadSanitizer by the tsan
// preset.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "key_sets.h"
#include "root/rootpath.h"
#include "scratch_dir.h"
#include "support/files.h"

namespace vornak2::testing {
namespace {

struct Outcome {
  std::atomic<int> failures{0};
  std::string firstFailure;
};

void Work(const std::string& root, const UserKeys& u, const std::string& outDir, int rounds,
          Outcome& outcome) {
  auto fail = [&](const std::string& what, std::int32_t code) {
    if (outcome.failures++ == 0)
      outcome.firstFailure = u.uid + ": " + what + " gave " + std::to_string(code);
  };
  TCcom22Engine engine;
  engine.SetEngineRoot(root);
  for (const auto& [number, value] : u.Params()) engine.SetCryptoParamValue(number, value.c_str());
  for (int round = 0; round < rounds; ++round) {
    char uid[256];
    if (std::int32_t r = engine.GetCurrentUserUID(uid); r != 0 || uid != u.uid)
      return fail("GetCurrentUserUID", r);
    OperationSettings s;
    if (std::int32_t r = engine.ReadOperationSettings(s); r != 0) return fail("settings", r);
    std::lock_guard library(TCcom22Engine::LibraryLock());
    TCComDLL& dll = *engine.Binding();
    if (std::int32_t r =
            dll.PrepareKeyCache(u.uid, s.certFile, s.publicPath, s.secretPath, s.randomFile,
                                s.hardwareRandom, s.keyRequestTimeout, s.lastOperationTimeout);
        r != 0)
      return fail("PrepareKeyCache", r);
    char report[2048];
    if (std::int32_t r = dll.GetCertificateReport(u.uid, s.secretPath, s.publicPath, s.randomFile,
                                                  u.uid, report, sizeof report);
        r != 0 || std::string(report).rfind("UID=" + u.uid + "\r\n", 0) != 0)
      return fail("GetCertificateReport", r);
    KeyGenerationArgs a;
    a.newUid = a.currentUid = u.uid;
    a.currentKeyPath = s.certFile;
    a.certDir = s.publicPath;
    a.secretDir = s.secretPath;
    a.randomFile = s.randomFile;
    a.checkValidity = s.checkValidity;
    a.outputDir = outDir;
    std::int32_t kn = -1;
    if (std::int32_t r = dll.GenerateKeys(a, kn); r != 0 || kn != 1) return fail("GenerateKeys", r);
    // Every few rounds the next UID query reads the certificate again, outside the library lock.
    if (round % 3 == 2) TCcom22Engine::ClearCertUIDCache();
  }
}

TEST(EngineThreads, TwoEnginesTwoUsersInParallel) {
  TestRoot& root = TestRoot::Get();
  SetGlobalRoot(root.dir());
  const UserKeys& first = root.User("thread_a", "TA.0");
  const UserKeys& second = root.User("thread_b", "TB.0");
  ScratchDir outA, outB;
  Outcome outcome;
  constexpr int kRounds = 8;
  std::thread a(Work, root.dir(), std::cref(first), outA.dir(), kRounds, std::ref(outcome));
  std::thread b(Work, root.dir(), std::cref(second), outB.dir(), kRounds, std::ref(outcome));
  a.join();
  b.join();
  EXPECT_EQ(outcome.failures.load(), 0) << outcome.firstFailure;
  EXPECT_TRUE(std::filesystem::exists(outA / "1.sec"));
  EXPECT_TRUE(std::filesystem::exists(outB / "1.sec"));
}

// Every data operation on four threads at once with our library (which declares concurrent use
// safe, so their cryptographic calls run in parallel), while the threads in turn replace cached
// certificates and clear both caches. Every operation succeeds: a change or a clear never falls
// between an operation's preparation and its call.
TEST(EngineThreads, DataOperationsStoreChangesAndClearsMixed) {
  TestRoot& root = TestRoot::Get();
  SetGlobalRoot(root.dir());
  constexpr int kThreads = 4;
  std::vector<const UserKeys*> users;
  for (int i = 0; i < kThreads; ++i)
    users.push_back(&root.User("mix_" + std::to_string(i), "MX." + std::to_string(i)));
  for (const UserKeys* holder : users) {
    for (const UserKeys* owner : users)
      ASSERT_EQ(
          RunAuthorityTool({"install-cert", "--cert", owner->certFile, "--root", holder->dir}), 0);
  }
  Outcome outcome;
  auto work = [&](int index) {
    const UserKeys& u = *users[static_cast<std::size_t>(index)];
    const UserKeys& peer = *users[static_cast<std::size_t>((index + 1) % kThreads)];
    auto fail = [&](const std::string& what, std::int32_t code) {
      if (outcome.failures++ == 0)
        outcome.firstFailure = u.uid + ": " + what + " gave " + std::to_string(code);
    };
    TCcom22Engine engine;
    engine.SetEngineRoot(root.dir());
    for (const auto& [number, value] : u.Params())
      engine.SetCryptoParamValue(number, value.c_str());
    const std::string both = u.uid + ";" + peer.uid;
    for (int round = 0; round < 6; ++round) {
      std::vector<std::uint8_t> data(1000 + 7000 * static_cast<std::size_t>(round), 0x5A);
      const auto n = static_cast<std::int32_t>(data.size());
      std::uint8_t signature[544];
      std::int32_t signatureLength = 0;
      char signer[256] = {};
      if (auto r = engine.SignData(data.data(), n, signature, &signatureLength, nullptr); r != 0)
        return fail("SignData", r);
      if (auto r = engine.VerifyData(data.data(), n, signature, signatureLength, signer); r != 0)
        return fail("VerifyData", r);
      if (auto r =
              engine.VerifySignWOCheckValidity(data.data(), n, signature, signatureLength, signer);
          r != 0)
        return fail("VerifySignWOCheckValidity", r);
      std::vector<std::uint8_t> buffer(data.size() + 8 + 288 * 2 + 4104);
      for (const std::string& to : {u.uid, both}) {
        std::memcpy(buffer.data(), data.data(), data.size());
        std::int32_t size = n;
        if (auto r = engine.EncodeData(buffer.data(), &size, to.c_str()); r != 0)
          return fail("EncodeData " + to, r);
        if (auto r = engine.DecodeData(buffer.data(), &size, nullptr);
            r != 0 || size != n || std::memcmp(buffer.data(), data.data(), data.size()) != 0)
          return fail("DecodeData " + to, r);
      }
      std::memcpy(buffer.data(), data.data(), data.size());
      std::int32_t size = n;
      if (auto r = engine.AddSign(buffer.data(), &size, nullptr); r != 0) return fail("AddSign", r);
      if (auto r = engine.RemoveSign(buffer.data(), &size, signer); r != 0 || size != n)
        return fail("RemoveSign", r);
      OperationSettings s;
      engine.ReadOperationSettings(s);
      LibraryGuard exclusive(LibraryWork::Exclusive, *engine.Binding());
      if (round % 3 == index % 3) {
        // A cache clear, of both caches.
        TCcom22Engine::ClearCertUIDCache();
        engine.Binding()->ClearKeyCache();
      } else {
        // The peer's certificate replaced in the cache (when it is there: after another
        // thread's clear, a lone entry would stand for the user's whole unloaded key set).
        const std::string stored = CertPathByUID(peer.uid, s.publicPath);
        char text[2048];
        if (!engine.Binding()->CacheLookup(u.uid, stored, sizeof text, text)) continue;
        engine.Binding()->RemoveFromKeyCache(u.uid, stored);
        if (!engine.Binding()->AddToKeyCache(u.uid, peer.uid, s.publicPath, stored,
                                             s.keyRequestTimeout, s.lastOperationTimeout))
          return fail("AddToKeyCache", 0);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(work, i);
  for (auto& t : threads) t.join();
  EXPECT_EQ(outcome.failures.load(), 0) << outcome.firstFailure;
}

}  // namespace
}  // namespace vornak2::testing
