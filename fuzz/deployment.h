// A real deployment for the targets that drive the exports, set up once per process: the key sets
// of fuzz/corpus/deployment (made by fuzz/make_corpus, so that the seeds decrypt and verify)
// copied into a fresh root, with the vendor library's test build in its EXE/ directory. Both file
// layers count their write points, so that a target can check that an input wrote nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_checks.h"
#include "platform/platform.h"
#include "vornak2.h"

namespace vornak2::fuzz {

class Deployment {
 public:
  // The engine of user `name` ("a": FZ.1, "b": FZ.2) in the process's deployment.
  static Deployment& Get() {
    static Deployment deployment;
    return deployment;
  }
  VORNAK2_HANDLE Engine(const std::string& name) {
    const VORNAK2_HANDLE e = GetCryptObj(0);
    SetRootPath(e, root_.c_str());
    const std::pair<std::int32_t, std::string> params[] = {{2, "%QVXRoot%/" + name + "/sec"},
                                                           {3, "%QVXRoot%/" + name + "/crt"},
                                                           {7, "%QVXRoot%/" + name + "/@rand"},
                                                           {19, "%QVXRoot%/" + name + "/self.crt"},
                                                           {15, "%QVXRoot%/" + name + "/inbox"},
                                                           {9, "100000"},
                                                           {10, "100000"}};
    for (const auto& [number, value] : params) SetCryptoParamValue(e, number, value.c_str());
    return e;
  }
  const std::string& root() const { return root_; }

  // Starts counting write points in both layers.
  void StartCounting() {
    platform::InjectFileFault(0, 0);
    ccInject_(0, 0);
  }
  // Whether anything was written since StartCounting.
  bool Wrote() const { return platform::FileWritePoints() != 0 || ccCount_() != 0; }

 private:
  Deployment() {
    namespace fs = std::filesystem;
    root_ = (fs::temp_directory_path() /
             ("vornak2_fuzz_" + std::to_string(platform::CurrentThreadId())))
                .string() +
            "/";
    fs::remove_all(root_);
    fs::copy(VORNAK2_FUZZ_DEPLOYMENT, root_, fs::copy_options::recursive);
    fs::create_directories(root_ + "EXE");
    for (const char* user : {"a", "b"}) fs::create_directories(root_ + user + "/inbox");
    fs::copy_file(VORNAK2_FUZZ_CC_LIBRARY, root_ + "EXE/libcc.so");
    const platform::ModuleHandle library = platform::LoadModule(root_ + "EXE/libcc.so");
    Check(library != nullptr);
    ccInject_ = reinterpret_cast<void (*)(std::uint64_t, std::int32_t)>(
        platform::FindSymbol(library, "_CcInjectFileFault"));
    ccCount_ =
        reinterpret_cast<std::uint64_t (*)()>(platform::FindSymbol(library, "_CcFileWritePoints"));
    Check(ccInject_ != nullptr && ccCount_ != nullptr);
  }
  std::string root_;
  void (*ccInject_)(std::uint64_t, std::int32_t) = nullptr;
  std::uint64_t (*ccCount_)() = nullptr;
};

}  // namespace vornak2::fuzz
