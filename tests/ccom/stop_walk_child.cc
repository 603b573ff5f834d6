// The process that the stop walk stops: runs one operation on a copy of the walk's template,
// with a stop (or none) at one write point of the adapter's file layer or our cc's.
//
//   ccom_stop_child ROOT DIR OPERATION LAYER N
//   ccom_stop_child ROOT DIR OPERATION check
//
// LAYER is "adapter" or "cc"; N 0 runs the operation to its end. A stop ends the process with
// the fault hook's exit status; otherwise it prints "result R points P" (P: the write points the
// layer counted) and exits with 0. "check" is the fresh process after a stop: the user signs and
// a peer verifies ("sign S verify V").
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "stop_walk_ops.h"

int main(int argc, char** argv) {
  using namespace vornak2;
  if (argc != 6 && !(argc == 5 && std::string(argv[4]) == "check")) {
    std::fprintf(stderr, "usage: ccom_stop_child ROOT DIR OPERATION (LAYER N | check)\n");
    return 2;
  }
  const std::string root = argv[1], dir = argv[2], name = argv[3], layer = argv[4];
  const std::uint64_t n = argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 0;
  for (const auto& op : testing::stopwalk::Operations()) {
    if (name != op.name) continue;
    if (layer == "check") {
      std::printf("%s\n", testing::stopwalk::SignAndVerify(root, dir, op).c_str());
      return 0;
    }
    testing::stopwalk::Engine engine(root, dir);
    op.configure(engine, dir);
    // The library the engine loads is the root's; the test build there counts its write points.
    const platform::ModuleHandle library = platform::LoadModule(
        root + testing::stopwalk::Native("EXE/") + platform::SharedLibraryFileName("cc"));
    const auto ccInject = reinterpret_cast<void (*)(std::uint64_t, std::int32_t)>(
        platform::FindSymbol(library, "_CcInjectFileFault"));
    const auto ccCount =
        reinterpret_cast<std::uint64_t (*)()>(platform::FindSymbol(library, "_CcFileWritePoints"));
    if (ccInject == nullptr || ccCount == nullptr) {
      std::fprintf(stderr, "the root's vendor library has no fault hook\n");
      return 2;
    }
    const bool adapter = layer == "adapter";
    if (adapter)
      platform::InjectFileFault(n, 0);
    else
      ccInject(n, 0);
    const std::int32_t result = op.run(engine, dir);
    const std::uint64_t points = adapter ? platform::FileWritePoints() : ccCount();
    std::printf("result %d points %llu\n", static_cast<int>(result),
                static_cast<unsigned long long>(points));
    return 0;
  }
  std::fprintf(stderr, "no operation named %s\n", name.c_str());
  return 2;
}
