// A fresh directory under the test temporary directory, removed with everything in it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

// Skips a test written for POSIX paths ("/" the only separator, no drive letters) on Windows,
// where the WindowsPaths tests cover the same rules with "\\" and drive letters.
#ifdef _WIN32
#define VORNAK2_POSIX_PATHS_ONLY() GTEST_SKIP() << "POSIX path rules (WindowsPaths covers Windows)"
#else
#define VORNAK2_POSIX_PATHS_ONLY() static_cast<void>(0)
#endif

namespace vornak2::testing {

class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "vornak2_";
    if (info != nullptr) name += std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ =
        std::filesystem::path(::testing::TempDir()) /
        (name + "_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
         "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The directory with a final separator, as the library's callers pass directories.
  std::string dir() const { return path_.string() + "/"; }
  std::string operator/(std::string_view name) const { return dir() + std::string(name); }

 private:
  std::filesystem::path path_;
};

inline void WriteText(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in a directory, sorted.
inline std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace vornak2::testing
