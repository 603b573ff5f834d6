// The process-wide root, the search-path variable and library lookup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "root/rootpath.h"
#include "support/errors.h"

namespace vornak2 {
namespace {

namespace fs = std::filesystem;

class RootPath : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetGlobalRoot();
    savedPath_ = platform::GetEnv(platform::kSearchPathVariable).value_or("");
  }
  void TearDown() override {
    ResetGlobalRoot();
    platform::SetEnv(platform::kSearchPathVariable, savedPath_);
  }
  std::string savedPath_;
};

#ifndef _WIN32  // POSIX paths, PATH and ":"; the Windows rules are tested in windows_rules_test.cc

TEST_F(RootPath, SetOnceThenOnlyTheSameDirectory) {
  ::unsetenv("PATH");
  SetGlobalRoot("/d/Work");
  EXPECT_EQ(GlobalRoot(), "/d/Work/");
  EXPECT_EQ(RootSearchList(), (std::vector<std::string>{"/d/Work/EXE/", "/d/Work/SYSTEM/",
                                                        "/d/Work/USER/", "/d/Work/"}));
  EXPECT_EQ(platform::GetEnv("PATH").value_or(""),
            "/d/Work/EXE/:/d/Work/SYSTEM/:/d/Work/USER/:/d/Work/");

  EXPECT_NO_THROW(SetGlobalRoot("/d/Work/"));
  try {
    SetGlobalRoot("/d/work");
    FAIL() << "a different directory must be refused";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Could not set QVXRoot to '/d/work'. Already set to '/d/Work/'.");
  }
  EXPECT_EQ(GlobalRoot(), "/d/Work/");
}

TEST_F(RootPath, SearchPathGetsOnlyMissingEntries) {
  const std::vector<std::string> entries = {"/r/EXE/", "/r/SYSTEM/", "/r/USER/", "/r/"};
  struct {
    const char* before;
    const char* after;
  } rows[] = {
      {"/usr/bin", "/usr/bin:/r/EXE/:/r/SYSTEM/:/r/USER/:/r/"},
      {"/usr/bin:/r/EXE/", "/usr/bin:/r/EXE/:/r/SYSTEM/:/r/USER/:/r/"},
      {"/r/EXE/X:/bin", "/r/EXE/X:/bin:/r/EXE/:/r/SYSTEM/:/r/USER/:/r/"},
      {"/r/:/r/USER/:/r/SYSTEM/:/r/EXE/", "/r/:/r/USER/:/r/SYSTEM/:/r/EXE/"},
  };
  for (const auto& r : rows) {
    platform::SetEnv("PATH", r.before);
    AddRootDirsToPath(entries);
    EXPECT_EQ(platform::GetEnv("PATH").value_or(""), r.after) << r.before;
  }
}

TEST_F(RootPath, LibraryLookupOrder) {
  EXPECT_EQ(ResolveLibraryPath("/x/libcc.so"), "/x/libcc.so")
      << "a directory part is kept as it is";
  EXPECT_EQ(ResolveLibraryPath("libnothing-here.so"), "libnothing-here.so");

  const fs::path root = fs::temp_directory_path() / "vornak2-rootpath-lookup";
  fs::remove_all(root);
  fs::create_directories(root / "EXE");
  fs::create_directories(root / "USER");
  std::ofstream(root / "USER" / "libprobe.so") << "x";
  SetGlobalRoot(root.string());
  EXPECT_EQ(ResolveLibraryPath("libprobe.so"), (root / "USER" / "libprobe.so").string());
  std::ofstream(root / "EXE" / "libprobe.so") << "x";
  EXPECT_EQ(ResolveLibraryPath("libprobe.so"), (root / "EXE" / "libprobe.so").string())
      << "EXE comes first";

  // The executable's own directory wins over the root.
  const fs::path exeCopy = fs::path(platform::ExecutablePath()).parent_path() / "libprobe.so";
  std::ofstream(exeCopy) << "x";
  EXPECT_EQ(ResolveLibraryPath("libprobe.so"), exeCopy.string());
  fs::remove(exeCopy);
  fs::remove_all(root);

  EXPECT_EQ(LoadCryptoLibrary("libvornak2-no-such-library.so"), nullptr);
  platform::ModuleHandle libc = LoadCryptoLibrary("libc.so.6");
  EXPECT_NE(libc, nullptr) << "a bare name is left to the system loader";
  platform::FreeModule(libc);
}

// After every other place, the engine library's directory and its private subdirectory (here the
// test program's, as the code is linked in): a library found only there is loaded from there.
TEST_F(RootPath, EngineLibraryDirectoriesComeLast) {
  const fs::path own = fs::path(platform::ExecutablePath()).parent_path();
  const std::vector<std::string> dirs = EngineLibraryDirs();
  ASSERT_EQ(dirs.size(), 2u);
  EXPECT_EQ(dirs[0], own.string() + "/");
  EXPECT_EQ(dirs[1], (own / kPrivateLibrarySubdir).string() + "/");

  const std::string name = fs::path(VORNAK2_TEST_PROBE_LIBRARY).filename().string();
  const fs::path privateCopy = own / kPrivateLibrarySubdir / name;
  fs::create_directories(privateCopy.parent_path());
  fs::copy_file(VORNAK2_TEST_PROBE_LIBRARY, privateCopy, fs::copy_options::overwrite_existing);
  EXPECT_EQ(ResolveLibraryPath(name), name) << "not a place of the interface's own search";
  platform::ModuleHandle probe = LoadCryptoLibrary(name);
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(platform::LoadedModulePath(name), privateCopy.string());
  platform::FreeModule(probe);
  fs::remove(privateCopy);
  EXPECT_EQ(LoadCryptoLibrary(name), nullptr);
}

#endif

}  // namespace
}  // namespace vornak2
