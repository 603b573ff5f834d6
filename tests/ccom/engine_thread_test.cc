// Two engines on two threads, each configured for its own user under the one process root:
// UIDs, key-cache preparation, reports and key generation through the binding, repeatedly.
// Run under ThreadSanitizer by the tsan preset.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "key_sets.h"
#include "root/rootpath.h"
#include "scratch_dir.h"

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

}  // namespace
}  // namespace vornak2::testing
