// Cost of what every operation does before its cryptography: the key-file cache preparation (warm:
// inside the time-outs; cold: time-outs of 0, so every call scans and reloads), the current
// user's UID through the path-to-UID cache, and of the report and key-generation calls.
#include <benchmark/benchmark.h>

#include <mutex>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "key_sets.h"
#include "root/rootpath.h"

namespace {

using vornak2::TCcom22Engine;
using vornak2::testing::TestRoot;
using vornak2::testing::UserKeys;

struct Setup {
  Setup() : root(TestRoot::Get()), user(root.User("bench", "B.0")) {
    vornak2::SetGlobalRoot(root.dir());
    engine.SetEngineRoot(root.dir());
    for (const auto& [number, value] : user.Params())
      engine.SetCryptoParamValue(number, value.c_str());
    char uid[256];
    if (engine.GetCurrentUserUID(uid) != 0) std::abort();
  }
  TestRoot& root;
  const UserKeys& user;
  TCcom22Engine engine;
};

Setup& State() {
  static Setup setup;
  return setup;
}

void Prepare(benchmark::State& state, std::int32_t timeout) {
  Setup& s = State();
  vornak2::TCComDLL& dll = *s.engine.Binding();
  const UserKeys& u = s.user;
  for (auto _ : state) {
    std::lock_guard lock(TCcom22Engine::LibraryLock());
    const std::int32_t r = dll.PrepareKeyCache(u.uid, u.certFile, u.certDir, u.secretDir,
                                               u.randomFile, 0, timeout, timeout);
    if (r != 0) state.SkipWithError("PrepareKeyCache failed");
  }
}
void BM_PrepareKeyCacheWarm(benchmark::State& state) {
  Prepare(state, 60);
}
BENCHMARK(BM_PrepareKeyCacheWarm);
void BM_PrepareKeyCacheCold(benchmark::State& state) {
  Prepare(state, 0);
}
BENCHMARK(BM_PrepareKeyCacheCold);

void BM_CurrentUserUID(benchmark::State& state) {
  Setup& s = State();
  char uid[256];
  for (auto _ : state) benchmark::DoNotOptimize(s.engine.GetCurrentUserUID(uid));
}
BENCHMARK(BM_CurrentUserUID);

void BM_CertificateReport(benchmark::State& state) {
  Setup& s = State();
  const UserKeys& u = s.user;
  char report[2048];
  for (auto _ : state) {
    std::lock_guard lock(TCcom22Engine::LibraryLock());
    s.engine.Binding()->PrepareKeyCache(u.uid, u.certFile, u.certDir, u.secretDir, u.randomFile, 0,
                                        60, 60);
    if (s.engine.Binding()->GetCertificateReport(u.uid, u.secretDir, u.certDir, u.randomFile, u.uid,
                                                 report, sizeof report) != 0)
      state.SkipWithError("GetCertificateReport failed");
  }
}
BENCHMARK(BM_CertificateReport);

void BM_GenerateKeys(benchmark::State& state) {
  Setup& s = State();
  const UserKeys& u = s.user;
  vornak2::KeyGenerationArgs a;
  a.newUid = "N.1";
  a.randomFile = u.randomFile;
  a.outputDir = s.root.dir() + "bench_out/";
  std::filesystem::create_directories(a.outputDir);
  for (auto _ : state) {
    std::int32_t kn = -1;
    std::lock_guard lock(TCcom22Engine::LibraryLock());
    if (s.engine.Binding()->GenerateKeys(a, kn) != 0) state.SkipWithError("GenerateKeys failed");
  }
}
BENCHMARK(BM_GenerateKeys);

}  // namespace

BENCHMARK_MAIN();
