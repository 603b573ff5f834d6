// Latency of a small operation beside a large one: one thread signs 1 KiB buffers with SignData
// while another signs 16 MiB buffers back to back, each with its own engine. Prints the median,
// 99th percentile and maximum of the small signature's time, with the load of the machine.
//
//   latency_bench [--samples N] [--library FILE]
//
// --library runs over another vendor library file: the test build without the declaration of
// concurrent use shows the fair lock (a small operation waits at most for the large one ahead).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench_users.h"

int main(int argc, char** argv) {
  using namespace benchsetup;
  using Clock = std::chrono::steady_clock;
  const int samples = std::atoi(Option(argc, argv, "--samples", "300").c_str());
  const std::string library = Option(argc, argv, "--library");
  const auto users = MakeUsers(2, library);
  const std::string rootDir = TestRoot::Get().dir();
  auto small = EngineFor(rootDir, *users[0]);
  auto large = EngineFor(rootDir, *users[1]);

  std::vector<std::uint8_t> big(16u << 20, 0xA5), little(1024, 0x5A);
  std::uint8_t signature[544];
  std::int32_t length = 0;
  // Both engines warm (library loaded, caches filled) before the clock starts.
  if (auto r = small->SignData(little.data(), 1024, signature, &length, nullptr); r != 0)
    Fail("SignData", r);
  if (auto r = large->SignData(little.data(), 1024, signature, &length, nullptr); r != 0)
    Fail("SignData", r);

  std::atomic<bool> stop{false};
  std::atomic<long> largeCalls{0};
  std::thread background([&] {
    std::uint8_t out[544];
    std::int32_t n = 0;
    while (!stop.load()) {
      if (auto r =
              large->SignData(big.data(), static_cast<std::int32_t>(big.size()), out, &n, nullptr);
          r != 0)
        Fail("SignData 16 MiB", r);
      ++largeCalls;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the large signer is under way
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    const auto start = Clock::now();
    if (auto r = small->SignData(little.data(), 1024, signature, &length, nullptr); r != 0)
      Fail("SignData 1 KiB", r);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  stop = true;
  background.join();
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[static_cast<std::size_t>(q * (ms.size() - 1))]; };
  std::printf("library: %s\n", library.empty() ? "ours" : library.c_str());
  std::printf(
      "1 KiB SignData beside 16 MiB SignData: %d samples, p50 %.3f ms, p99 %.3f ms, "
      "max %.3f ms (%ld large signatures meanwhile); load %s\n",
      samples, at(0.5), at(0.99), ms.back(), largeCalls.load(), Load().c_str());
  return 0;
}
