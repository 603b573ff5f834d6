// Engines created, used and released on several threads at once through the exports.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vornak2.h"

namespace {

TEST(EngineThreads, IndependentEnginesOnManyThreads) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 200; ++i) {
        VORNAK2_HANDLE engine = GetCryptObj(0);
        if (engine == nullptr || GetMaxUIDLength(engine) != 255) ++failures;
        char message[256];
        GetCryptoErrorString(engine, i, message);
        // An exception inside the engine is caught at the barrier on every thread.
        if (GetPureSign(engine, "a", 1, 0, nullptr, nullptr) != 136) ++failures;
        DoneEngine(engine);
        // No stale-handle check here: a handle is the engine's address, which another thread's
        // new engine may take at once (the one-thread tests check released handles).
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
