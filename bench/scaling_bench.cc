// How the data operations scale over threads: SignData, VerifyData, EncodeData and DecodeData at
// 1 KiB and 1 MiB on 1, 2 and 4 threads (one engine and one user each, all in one process), and on
// 2 processes of one thread each for comparison. Prints the aggregate operations per second and the
// speed-up over one thread, with the load of the machine.
//
//   scaling_bench [--seconds S] [--library FILE]
//
// --library runs over another vendor library file (the test build without the declaration of
// concurrent use, for example, to see the lock serialise everything).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_users.h"
#include "platform/platform.h"

namespace {

using namespace benchsetup;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const char* const kOps[] = {"SignData", "VerifyData", "EncodeData", "DecodeData"};
const std::size_t kSizes[] = {1024, 1024 * 1024};

// One engine's work for one operation and size: what it prepares once and what one call does.
class Worker {
 public:
  Worker(const std::string& rootDir, const UserKeys& u, const std::string& op, std::size_t size)
      : engine_(EngineFor(rootDir, u)), uid_(u.uid), op_(op), plain_(size, 0x3C) {
    const auto n = static_cast<std::int32_t>(size);
    signature_.resize(544);
    std::int32_t length = 0;
    if (auto r = engine_->SignData(plain_.data(), n, signature_.data(), &length, nullptr); r != 0)
      Fail("SignData", r);
    signature_.resize(static_cast<std::size_t>(length));
    buffer_.resize(size + 4104);
    std::memcpy(buffer_.data(), plain_.data(), size);
    std::int32_t sealed = n;
    if (auto r = engine_->EncodeData(buffer_.data(), &sealed, uid_.c_str()); r != 0)
      Fail("EncodeData", r);
    sealed_.assign(buffer_.begin(), buffer_.begin() + sealed);
  }
  void Call() {
    const auto n = static_cast<std::int32_t>(plain_.size());
    std::int32_t r = 0;
    if (op_ == "SignData") {
      std::int32_t length = 0;
      std::uint8_t out[544];
      r = engine_->SignData(plain_.data(), n, out, &length, nullptr);
    } else if (op_ == "VerifyData") {
      char signer[256];
      r = engine_->VerifyData(plain_.data(), n, signature_.data(),
                              static_cast<std::int32_t>(signature_.size()), signer);
    } else if (op_ == "EncodeData") {
      std::memcpy(buffer_.data(), plain_.data(), plain_.size());
      std::int32_t size = n;
      r = engine_->EncodeData(buffer_.data(), &size, uid_.c_str());
    } else {
      std::memcpy(buffer_.data(), sealed_.data(), sealed_.size());
      std::int32_t size = static_cast<std::int32_t>(sealed_.size());
      r = engine_->DecodeData(buffer_.data(), &size, nullptr);
    }
    if (r != 0) Fail(op_.c_str(), r);
  }

 private:
  std::unique_ptr<TCcom22Engine> engine_;
  std::string uid_, op_;
  Bytes plain_, signature_, buffer_, sealed_;
};

// Calls `worker` until `seconds` have passed; the number of calls.
long RunFor(Worker& worker, double seconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  long calls = 0;
  while (Clock::now() < end) {
    worker.Call();
    ++calls;
  }
  return calls;
}

// Operations per second of `threads` engines working at once.
double Threads(const std::string& rootDir, const std::vector<const UserKeys*>& users,
               const std::string& op, std::size_t size, int threads, double seconds) {
  std::vector<std::unique_ptr<Worker>> workers;
  for (int i = 0; i < threads; ++i)
    workers.push_back(
        std::make_unique<Worker>(rootDir, *users[static_cast<std::size_t>(i)], op, size));
  std::vector<long> calls(static_cast<std::size_t>(threads));
  std::vector<std::thread> pool;
  const auto start = Clock::now();
  for (int i = 0; i < threads; ++i)
    pool.emplace_back([&, i] {
      calls[static_cast<std::size_t>(i)] = RunFor(*workers[static_cast<std::size_t>(i)], seconds);
    });
  for (auto& t : pool) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  long total = 0;
  for (long c : calls) total += c;
  return static_cast<double>(total) / elapsed;
}

// Operations per second of two processes of one engine each (this program as a worker).
double Processes(const std::string& self, const std::string& rootDir, const std::string& op,
                 std::size_t size, double seconds) {
  std::vector<std::string> outputs(2);
  std::vector<std::thread> pool;
  for (int i = 0; i < 2; ++i)
    pool.emplace_back([&, i] {
      vornak2::platform::RunProgram({self, "--worker", op, std::to_string(size),
                                     std::to_string(seconds), rootDir, std::to_string(i)},
                                    &outputs[static_cast<std::size_t>(i)]);
    });
  for (auto& t : pool) t.join();
  double rate = 0;
  for (const std::string& out : outputs) rate += std::atof(out.c_str());
  return rate;
}

int WorkerMain(char** argv) {
  const std::string op = argv[2];
  const std::size_t size = std::stoul(argv[3]);
  const double seconds = std::atof(argv[4]);
  const std::string rootDir = argv[5];
  vornak2::SetGlobalRoot(rootDir);
  UserKeys u;
  u.name = std::string("bench_") + argv[6];
  u.uid = std::string("BN.") + argv[6];
  Worker worker(rootDir, u, op, size);
  const auto start = Clock::now();
  const long calls = RunFor(worker, seconds);
  std::printf("%f\n", static_cast<double>(calls) /
                          std::chrono::duration<double>(Clock::now() - start).count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--worker") == 0) return WorkerMain(argv);
  const double seconds = std::atof(Option(argc, argv, "--seconds", "1.5").c_str());
  const std::string library = Option(argc, argv, "--library");
  const auto users = MakeUsers(4, library);
  const std::string rootDir = TestRoot::Get().dir();
  const std::string self = vornak2::platform::ExecutablePath();
  std::printf("library: %s\n", library.empty() ? "ours" : library.c_str());
  std::printf("%-11s %8s %10s %10s %7s %10s %7s %10s %7s  load\n", "operation", "size", "1 thr/s",
              "2 thr/s", "x", "4 thr/s", "x", "2 proc/s", "x");
  for (std::size_t size : kSizes) {
    for (const char* op : kOps) {
      const double one = Threads(rootDir, users, op, size, 1, seconds);
      const double two = Threads(rootDir, users, op, size, 2, seconds);
      const double four = Threads(rootDir, users, op, size, 4, seconds);
      const double procs = Processes(self, rootDir, op, size, seconds);
      std::printf("%-11s %8zu %10.1f %10.1f %7.2f %10.1f %7.2f %10.1f %7.2f  %s\n", op, size, one,
                  two, two / one, four, four / one, procs, procs / one, Load().c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}
