// Throughput of the engine's data operations beside the raw GOST work each one wraps, so the table
// shows what the engine adds on top of the cryptography: parameter handling, the key-file cache,
// certificate lookup, chunking and the output formats.
//
//   SignData   vs  Streebog-256 over data + 32-byte UID field, then one SignDigest
//   VerifyData vs  the same hash, then one VerifyDigest
//   EncodeData vs  a fresh key, per recipient an ephemeral key pair, key agreement and key wrap,
//                  then CFB over the data
//   DecodeData vs  one key agreement + key unwrap, CFB decryption of the data
//
// The ratio column is raw time / engine time: 1.0 means no overhead, 0.5 means the engine takes
// twice as long as the raw work. Every cell runs for at least kMinSeconds of timed work in five
// batches, of which the fastest counts; only the call itself is timed (refilling the in-place
// buffer is not).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "gost.h"
#include "key_sets.h"
#include "root/rootpath.h"

namespace {

using vornak2::TCcom22Engine;
using vornak2::testing::RunAuthorityTool;
using vornak2::testing::TestRoot;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr double kMinSeconds = 0.3;
constexpr int kMinIterations = 3;
const char* const kUsers[][2] = {{"bench_a", "BA.1"}, {"bench_b", "BB.2"}, {"bench_c", "BC.3"}};
// Room the engine needs beyond the data for the container of up to three recipients.
constexpr std::size_t kEncodeSlack = 8 + 288 * 3 + 4104;
constexpr std::size_t kSignatureCapacity = 544;

[[noreturn]] void Fail(const char* what, std::int32_t code) {
  std::fprintf(stderr, "data_bench: %s failed with %d\n", what, static_cast<int>(code));
  std::exit(1);
}

// `op` runs one operation and returns the nanoseconds it spent in the timed part. Gives the
// nanoseconds per operation: the work is split into kBatches batches (together at least
// kMinSeconds, each at least kMinIterations calls) and the fastest batch's mean counts, so that a
// burst of other work on the machine does not decide a ratio.
double Measure(const std::function<std::int64_t()>& op) {
  constexpr int kBatches = 5;
  double best = 0;
  for (int batch = 0; batch < kBatches; ++batch) {
    std::int64_t total = 0;
    int iterations = 0;
    while (iterations < kMinIterations ||
           total < static_cast<std::int64_t>(kMinSeconds / kBatches * 1e9)) {
      total += op();
      ++iterations;
    }
    const double mean = static_cast<double>(total) / iterations;
    if (batch == 0 || mean < best) best = mean;
  }
  return best;
}

template <typename F>
std::int64_t Timed(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

Bytes Payload(std::size_t n) {
  Bytes data(n);
  std::mt19937 gen(7);
  for (auto& b : data) b = static_cast<std::uint8_t>(gen());
  return data;
}

std::string Human(double ns) {
  char text[32];
  if (ns >= 1e9)
    std::snprintf(text, sizeof text, "%.3f s", ns / 1e9);
  else if (ns >= 1e6)
    std::snprintf(text, sizeof text, "%.3f ms", ns / 1e6);
  else
    std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
  return text;
}

void Row(const char* operation, std::size_t size, double engineNs, double rawNs) {
  const double mb = static_cast<double>(size) / 1e6;
  const std::string sizeText = size >= (1u << 20) ? std::to_string(size >> 20) + " MiB"
                                                  : std::to_string(size >> 10) + " KiB";
  std::printf("%-14s %8s %12s %12s %10.1f %10.1f %7.2f\n", operation, sizeText.c_str(),
              Human(engineNs).c_str(), Human(rawNs).c_str(), mb / (engineNs / 1e9),
              mb / (rawNs / 1e9), rawNs / engineNs);
  std::fflush(stdout);
}

struct Engines {
  Engines() {
    TestRoot& root = TestRoot::Get();
    vornak2::SetGlobalRoot(root.dir());
    for (const auto& [name, uid] : kUsers) root.User(name, uid);
    // Every user's store holds every certificate, its own included.
    for (const auto& [holder, unused] : kUsers)
      for (const auto& [owner, uid] : kUsers)
        if (RunAuthorityTool({"install-cert", "--cert", root.dir() + owner + "/self.crt", "--root",
                              root.dir() + holder}) != 0)
          Fail("install-cert", -1);
    for (std::size_t i = 0; i < 3; ++i) {
      engine[i].SetEngineRoot(root.dir());
      for (const auto& [number, value] : root.User(kUsers[i][0], kUsers[i][1]).Params())
        engine[i].SetCryptoParamValue(number, value.c_str());
      // Long time-outs keep the key cache warm for the whole run.
      engine[i].SetCryptoParamValue(vornak2::kParamKeyRequestTimeout, "3600");
      engine[i].SetCryptoParamValue(vornak2::kParamLastOperationTimeout, "3600");
    }
  }
  TCcom22Engine engine[3];
};

}  // namespace

int main(int argc, char** argv) {
  // An optional argument caps the data size (bytes), for a quick run or a profile of small calls.
  const std::size_t maxSize = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : SIZE_MAX;
  ccgost::Init();
  Engines engines;
  TCcom22Engine& a = engines.engine[0];
  TCcom22Engine& b = engines.engine[1];
  const std::string oneRecipient = kUsers[1][1];
  const std::string threeRecipients =
      std::string(kUsers[0][1]) + ";" + kUsers[1][1] + ";" + kUsers[2][1];

  // Raw keys: one pair for the signer and one per recipient, as the engine's users have.
  const ccgost::Curve curve = ccgost::Curve::Tc26_256_A;
  const ccgost::KeyPair signer = ccgost::GenerateKeyPair(curve);
  std::vector<ccgost::KeyPair> recipients;
  for (int i = 0; i < 3; ++i) recipients.push_back(ccgost::GenerateKeyPair(curve));

#ifdef NDEBUG
  const char* buildType = "optimised (NDEBUG)";
#else
  const char* buildType = "with assertions (no NDEBUG)";
#endif
  std::printf("data_bench: engine data operations vs raw GOST primitives; build %s\n", buildType);
  std::printf("each cell >= %.1f s of timed work; ratio = raw time / engine time\n\n", kMinSeconds);
  std::printf("%-14s %8s %12s %12s %10s %10s %7s\n", "operation", "size", "engine/op", "raw/op",
              "engine MB/s", "raw MB/s", "ratio");

  const std::size_t sizes[] = {1u << 10, 64u << 10, 1u << 20, 16u << 20};
  for (std::size_t n : sizes) {
    if (n > maxSize) break;
    const Bytes data = Payload(n);
    const std::int32_t length = static_cast<std::int32_t>(n);

    // ---- signing ----
    Bytes signature(kSignatureCapacity);
    std::int32_t signatureLength = 0;
    auto engineSign = [&] {
      const std::int32_t r =
          a.SignData(data.data(), length, signature.data(), &signatureLength, nullptr);
      if (r != 0) Fail("SignData", r);
    };
    engineSign();  // warms the key cache
    const double signEngine = Measure([&] { return Timed(engineSign); });

    const std::array<std::uint8_t, 32> uidField{};
    std::vector<std::uint8_t> rawSignature;
    auto rawDigest = [&] {
      ccgost::Hash hash(ccgost::HashAlg::Streebog256);
      hash.Update(data);
      hash.Update(uidField);
      return hash.Final();
    };
    const double signRaw = Measure([&] {
      return Timed(
          [&] { rawSignature = ccgost::SignDigest(curve, signer.privateKey.span(), rawDigest()); });
    });
    Row("SignData", n, signEngine, signRaw);

    // ---- verification ----
    char signerUid[256];
    auto engineVerify = [&] {
      const std::int32_t r =
          b.VerifyData(data.data(), length, signature.data(), signatureLength, signerUid);
      if (r != 0) Fail("VerifyData", r);
    };
    engineVerify();
    const double verifyEngine = Measure([&] { return Timed(engineVerify); });
    const double verifyRaw = Measure([&] {
      return Timed([&] {
        if (!ccgost::VerifyDigest(curve, signer.publicKey, rawDigest(), rawSignature))
          Fail("VerifyDigest", -1);
      });
    });
    Row("VerifyData", n, verifyEngine, verifyRaw);

    // ---- encryption ----
    Bytes buffer(n + kEncodeSlack);
    auto engineEncode = [&](const std::string& to) {
      return Measure([&] {
        std::memcpy(buffer.data(), data.data(), n);
        std::int32_t size = length;
        return Timed([&] {
          const std::int32_t r = a.EncodeData(buffer.data(), &size, to.c_str());
          if (r != 0) Fail("EncodeData", r);
        });
      });
    };
    // A fresh content key and IV; for each recipient an ephemeral key pair, the agreed
    // key-encryption key and the wrapped content key; then CFB.
    Bytes cipherOut(n);
    auto rawEncode = [&](std::size_t recipientCount) {
      return Measure([&] {
        return Timed([&] {
          ccgost::SecureBytes cek(ccgost::kCipherKeySize);
          std::array<std::uint8_t, ccgost::kBlockSize> iv{};
          std::array<std::uint8_t, ccgost::kUkmSize> ukm{};
          ccgost::RandomBytes(cek.span());
          ccgost::RandomBytes(iv);
          ccgost::RandomBytes(ukm);
          for (std::size_t i = 0; i < recipientCount; ++i) {
            const ccgost::KeyPair ephemeral = ccgost::GenerateKeyPair(curve);
            const ccgost::SecureBytes kek =
                ccgost::Vko256(curve, ephemeral.privateKey.span(), recipients[i].publicKey, ukm);
            const auto wrapped = ccgost::WrapKey(kek.span(), ukm, cek.span());
            (void)wrapped;
          }
          ccgost::CfbCipher cipher(ccgost::CfbCipher::Direction::Encrypt, cek.span(), iv);
          cipher.Update(data, cipherOut);
        });
      });
    };
    {
      std::int32_t size = length;  // warm-up
      std::memcpy(buffer.data(), data.data(), n);
      if (const std::int32_t r = a.EncodeData(buffer.data(), &size, oneRecipient.c_str()); r != 0)
        Fail("EncodeData", r);
    }
    Row("EncodeData x1", n, engineEncode(oneRecipient), rawEncode(1));
    Row("EncodeData x3", n, engineEncode(threeRecipients), rawEncode(3));

    // ---- decryption ----
    std::memcpy(buffer.data(), data.data(), n);
    std::int32_t sealedSize = length;
    if (const std::int32_t r = a.EncodeData(buffer.data(), &sealedSize, oneRecipient.c_str());
        r != 0)
      Fail("EncodeData", r);
    const Bytes sealed(buffer.begin(), buffer.begin() + sealedSize);
    auto engineDecode = [&] {
      std::copy(sealed.begin(), sealed.end(), buffer.begin());
      std::int32_t size = sealedSize;
      return Timed([&] {
        const std::int32_t r = b.DecodeData(buffer.data(), &size, nullptr);
        if (r != 0) Fail("DecodeData", r);
      });
    };
    engineDecode();
    if (!std::equal(data.begin(), data.end(), buffer.begin())) Fail("DecodeData round trip", -1);
    const double decodeEngine = Measure(engineDecode);
    // The recipient's side of the raw encryption: agree the key-encryption key with the sender,
    // unwrap the content key, decrypt.
    const std::array<std::uint8_t, ccgost::kCipherKeySize> cek{1, 2, 3};
    const std::array<std::uint8_t, ccgost::kBlockSize> iv{4, 5, 6};
    const std::array<std::uint8_t, ccgost::kUkmSize> ukm{7, 8, 9};
    const auto wrapped = ccgost::WrapKey(
        ccgost::Vko256(curve, signer.privateKey.span(), recipients[0].publicKey, ukm).span(), ukm,
        cek);
    const double decodeRaw = Measure([&] {
      return Timed([&] {
        const ccgost::SecureBytes kek =
            ccgost::Vko256(curve, recipients[0].privateKey.span(), signer.publicKey, ukm);
        const auto key = ccgost::UnwrapKey(kek.span(), ukm, wrapped);
        if (!key) Fail("UnwrapKey", -1);
        ccgost::CfbCipher cipher(ccgost::CfbCipher::Direction::Decrypt, key->span(), iv);
        cipher.Update(data, cipherOut);
      });
    });
    Row("DecodeData", n, decodeEngine, decodeRaw);
  }
  return 0;
}
