// Shared set-up of the scaling and latency programs: a test root with the vendor library (ours, or
// the file given), users made by the test authority, and an engine per user.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ccom/ce_ccom.h"
#include "key_sets.h"
#include "root/rootpath.h"

namespace benchsetup {

using vornak2::TCcom22Engine;
using vornak2::testing::TestRoot;
using vornak2::testing::UserKeys;

[[noreturn]] inline void Fail(const char* what, std::int32_t code) {
  std::fprintf(stderr, "%s failed with %d\n", what, static_cast<int>(code));
  std::exit(1);
}

// Users "bench_0".."bench_{n-1}" of the process's root, each with its own certificate in its store.
// `library` (may be empty) replaces our vendor library in the root before anything loads it.
inline std::vector<const UserKeys*> MakeUsers(int n, const std::string& library) {
  TestRoot& root = TestRoot::Get();
  if (!library.empty()) root.InstallLibrary(library);
  vornak2::SetGlobalRoot(root.dir());
  std::vector<const UserKeys*> users;
  for (int i = 0; i < n; ++i) {
    const UserKeys& u = root.User("bench_" + std::to_string(i), "BN." + std::to_string(i));
    if (vornak2::testing::RunAuthorityTool(
            {"install-cert", "--cert", u.certFile, "--root", u.dir}) != 0)
      Fail("install-cert", 1);
    users.push_back(&u);
  }
  return users;
}

// An engine for user `name` of the root `rootDir`.
inline std::unique_ptr<TCcom22Engine> EngineFor(const std::string& rootDir, const UserKeys& u) {
  auto engine = std::make_unique<TCcom22Engine>();
  engine->SetEngineRoot(rootDir);
  for (const auto& [number, value] : u.Params()) engine->SetCryptoParamValue(number, value.c_str());
  return engine;
}

// The value of "--name VALUE" among the arguments, or `fallback`.
inline std::string Option(int argc, char** argv, const char* name, const char* fallback = "") {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

inline std::string Load() {
  std::string text;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    char line[128] = {};
    if (std::fgets(line, sizeof line, f)) text = line;
    std::fclose(f);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace benchsetup
