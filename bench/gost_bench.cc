// Throughput of the GOST primitives: hashing, CFB encryption, signing and verification.
#include <benchmark/benchmark.h>

#include <vector>

#include "gost.h"

namespace {

using ccgost::Curve;

std::vector<std::uint8_t> Data(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  ccgost::RandomBytes(v);
  return v;
}

void BM_Streebog256(benchmark::State& state) {
  const auto data = Data(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(ccgost::HashOnce(ccgost::HashAlg::Streebog256, data));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Streebog256)->Arg(64)->Arg(64 << 10)->Arg(1 << 20);

void BM_Md5(benchmark::State& state) {
  const auto data = Data(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ccgost::HashOnce(ccgost::HashAlg::Md5, data));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Md5)->Arg(1 << 20);

void BM_CfbEncrypt(benchmark::State& state) {
  const auto key = Data(ccgost::kCipherKeySize);
  const auto iv = Data(ccgost::kBlockSize);
  auto buf = Data(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    ccgost::CfbCipher c(ccgost::CfbCipher::Direction::Encrypt, key, iv);
    c.Update(buf, buf);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CfbEncrypt)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_Sign(benchmark::State& state) {
  const auto curve = static_cast<Curve>(state.range(0));
  const auto kp = ccgost::GenerateKeyPair(curve);
  const auto digest = Data(ccgost::kStreebog256Size);
  for (auto _ : state)
    benchmark::DoNotOptimize(ccgost::SignDigest(curve, kp.privateKey.span(), digest));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sign)
    ->Arg(static_cast<int>(Curve::Tc26_256_A))
    ->Arg(static_cast<int>(Curve::CryptoPro_A));

void BM_Verify(benchmark::State& state) {
  const auto curve = static_cast<Curve>(state.range(0));
  const auto kp = ccgost::GenerateKeyPair(curve);
  const auto digest = Data(ccgost::kStreebog256Size);
  const auto sig = ccgost::SignDigest(curve, kp.privateKey.span(), digest);
  for (auto _ : state)
    benchmark::DoNotOptimize(ccgost::VerifyDigest(curve, kp.publicKey, digest, sig));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Verify)
    ->Arg(static_cast<int>(Curve::Tc26_256_A))
    ->Arg(static_cast<int>(Curve::CryptoPro_A));

void BM_Vko(benchmark::State& state) {
  const auto a = ccgost::GenerateKeyPair(Curve::Tc26_256_A);
  const auto b = ccgost::GenerateKeyPair(Curve::Tc26_256_A);
  const auto ukm = Data(ccgost::kUkmSize);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        ccgost::Vko256(Curve::Tc26_256_A, a.privateKey.span(), b.publicKey, ukm));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Vko);

}  // namespace

BENCHMARK_MAIN();
