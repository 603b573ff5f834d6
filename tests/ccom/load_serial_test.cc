// A vendor library that does not declare concurrent use safe is driven as it always was: every
// data operation of every thread holds LibraryLock alone, so no two of its contexts are ever alive
// at once (the test build's probe counts them), and the results are those of a single thread.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "load_test_util.h"
#include "platform/platform.h"

namespace vornak2::testing {
namespace {

TEST(LibraryLoad, WithoutTheDeclarationNoTwoCallsOverlap) {
  TestRoot& root = TestRoot::Get(false);
  root.InstallLibrary(SerialLibraryFile());
  constexpr int kThreads = 3;
  std::vector<const UserKeys*> users;
  for (int i = 0; i < kThreads; ++i)
    users.push_back(&root.User("serial_" + std::to_string(i), "SR." + std::to_string(i)));
  std::vector<VORNAK2_HANDLE> engines;
  char uid[256];
  for (const UserKeys* u : users) {
    engines.push_back(EngineFor(root, *u));
    ASSERT_EQ(GetCurrentUserUID(engines.back(), uid), 0);  // the UID is cached from here on
  }
  // The library the engines loaded from the root (one more reference to it); the probe is a
  // plain C function, exported under its own name on every system.
  const platform::ModuleHandle library = platform::LoadModule(
      root.dir() + "EXE" + platform::kPathSeparator + platform::SharedLibraryFileName("cc"));
  ASSERT_NE(library, nullptr);
  using Probe = std::int32_t (*)();
  const auto maxLiveContexts =
      reinterpret_cast<Probe>(platform::FindSymbol(library, "_CcProbeMaxLiveContexts"));
  ASSERT_NE(maxLiveContexts, nullptr);
  maxLiveContexts();

  std::atomic<int> failures{0};
  auto work = [&](int index) {
    VORNAK2_HANDLE engine = engines[static_cast<std::size_t>(index)];
    const std::string self = users[static_cast<std::size_t>(index)]->uid;
    for (int round = 0; round < 8; ++round) {
      std::vector<std::uint8_t> data(1024 << (round % 4), static_cast<std::uint8_t>(round));
      const auto n = static_cast<std::int32_t>(data.size());
      std::uint8_t signature[544];
      std::int32_t length = 0;
      char signer[256] = {};
      if (SignData(engine, data.data(), n, signature, &length, nullptr) != 0 ||
          VerifyData(engine, data.data(), n, signature, length, signer) != 0 || self != signer)
        ++failures;
      std::vector<std::uint8_t> buffer(data.size() + 4104);
      std::memcpy(buffer.data(), data.data(), data.size());
      std::int32_t size = n;
      if (EncodeData(engine, buffer.data(), &size, self.c_str()) != 0 ||
          DecodeData(engine, buffer.data(), &size, nullptr) != 0 || size != n ||
          std::memcmp(buffer.data(), data.data(), data.size()) != 0)
        ++failures;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(work, i);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(maxLiveContexts(), 1);
  platform::FreeModule(library);
  for (VORNAK2_HANDLE engine : engines) DoneEngine(engine);
}

}  // namespace
}  // namespace vornak2::testing
