// Shared set-up of the binding tests: the process root with the vendor library in EXE/, a clock
// the tests can move, and a clean key-file cache for every test.
#pragma once

#include <gtest/gtest.h>

#include <mutex>

#include "binding/ccom_dll.h"
#include "binding/key_cache.h"
#include "key_sets.h"
#include "root/rootpath.h"

namespace vornak2::testing {

// Days on the test clock; tests move it forward by seconds.
inline double& ClockDays() {
  static double days = 20000.0;
  return days;
}
inline double TestClock() {
  return ClockDays();
}
inline void AdvanceSeconds(double seconds) {
  ClockDays() += seconds / 86400.0;
}

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = &TestRoot::Get();
    SetGlobalRoot(root_->dir());
    dll_ = std::make_unique<TCComDLL>();
    ASSERT_TRUE(dll_->Loaded());
    ASSERT_TRUE(dll_->Complete());
    KeyFileCache::Instance().SetClock(&TestClock);
    dll_->ClearKeyCache();
  }
  void TearDown() override {
    if (dll_) dll_->ClearKeyCache();
    KeyFileCache::Instance().SetClock(nullptr);
  }

  std::int32_t Prepare(const UserKeys& u, std::int32_t keyRequest = 60,
                       std::int32_t lastOperation = 5) {
    return dll_->PrepareKeyCache(u.uid, u.certFile, u.certDir, u.secretDir, u.randomFile, 0,
                                 keyRequest, lastOperation);
  }
  static std::uint64_t Scans() {
    std::lock_guard g(KeyFileCache::Instance().Mutex());
    return KeyFileCache::Instance().directoryScans;
  }
  static std::uint64_t Loads() {
    std::lock_guard g(KeyFileCache::Instance().Mutex());
    return KeyFileCache::Instance().fileLoads;
  }

  TestRoot* root_ = nullptr;
  std::unique_ptr<TCComDLL> dll_;
};

}  // namespace vornak2::testing
