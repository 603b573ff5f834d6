// Cost of the export layer: handle check, exception barrier and dispatch, and of the support code
// on the paths that carry data (Base64 of transfers, hexadecimal text).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/mimecode.h"
#include "vornak2.h"

namespace {

void BM_ExportDispatch(benchmark::State& state) {
  VORNAK2_HANDLE engine = GetCryptObj(0);
  for (auto _ : state) benchmark::DoNotOptimize(GetMaxUIDLength(engine));
  DoneEngine(engine);
}
BENCHMARK(BM_ExportDispatch);

void BM_ExportDispatchThreads(benchmark::State& state) {
  static VORNAK2_HANDLE engine = nullptr;
  if (state.thread_index() == 0) engine = GetCryptObj(0);
  for (auto _ : state) benchmark::DoNotOptimize(GetMaxSignatureLength(engine));
  if (state.thread_index() == 0) DoneEngine(engine);
}
BENCHMARK(BM_ExportDispatchThreads)->Threads(2);

void BM_CreateAndReleaseEngine(benchmark::State& state) {
  for (auto _ : state) DoneEngine(GetCryptObj(0));
}
BENCHMARK(BM_CreateAndReleaseEngine);

std::vector<std::uint8_t> Payload(std::size_t n) {
  std::vector<std::uint8_t> data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return data;
}

void BM_Base64Encode(benchmark::State& state) {
  const auto data = Payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(vornak2::TryEncodeBuffer(data.data(), static_cast<std::int32_t>(data.size())));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(4096)->Arg(1 << 20);

void BM_Base64Decode(benchmark::State& state) {
  const auto data = Payload(static_cast<std::size_t>(state.range(0)));
  const auto text = vornak2::TryEncodeBuffer(data.data(), static_cast<std::int32_t>(data.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(vornak2::TryDecodeBuffer(reinterpret_cast<const char*>(text.data()),
                                                      static_cast<std::int32_t>(text.size())));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode)->Arg(4096)->Arg(1 << 20);

void BM_HexDump(benchmark::State& state) {
  const auto data = Payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(vornak2::HexDump(data.data(), static_cast<std::int32_t>(data.size()), 255, 255));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_HexDump)->Arg(64 * 1024);

}  // namespace

BENCHMARK_MAIN();
