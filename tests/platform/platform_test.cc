#include "platform/platform.h"

#include <gtest/gtest.h>

#include "platform/diagnostics.h"

#include <filesystem>
#include <thread>

#include "scratch_dir.h"

namespace vornak2::platform {
namespace {

using vornak2::testing::Names;
using vornak2::testing::ReadText;
using vornak2::testing::ScratchDir;
using vornak2::testing::WriteText;
namespace fs = std::filesystem;

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(WriteFileAtomic, ReplacesContentAndLeavesNoTemporaryFile) {
  ScratchDir dir;
  const std::string target = dir / "key.dat";
  WriteText(target, "old content that is longer");
  ASSERT_TRUE(WriteFileAtomic(target, Bytes("new")));
  EXPECT_EQ(ReadText(target), "new");
  ASSERT_TRUE(WriteFileAtomic(target, {}));
  EXPECT_EQ(ReadText(target), "");
  EXPECT_EQ(Names(dir.dir()), std::vector<std::string>{"key.dat"});
}

TEST(WriteFileAtomic, OwnerOnlyGivesMode0600) {
  ScratchDir dir;
  const std::string target = dir / "1.sec";
  WriteText(target, "public");
  fs::permissions(target, fs::perms::all);
  ASSERT_TRUE(WriteFileAtomic(target, Bytes("secret"), /*ownerOnly=*/true));
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadText(target), "secret");

  // Without ownerOnly the umask decides, as for a file created the ordinary way.
  WriteText(dir / "reference", "x");
  ASSERT_TRUE(WriteFileAtomic(dir / "plain.crt", Bytes("x")));
  EXPECT_EQ(fs::status(dir / "plain.crt").permissions(),
            fs::status(dir / "reference").permissions());
}

TEST(WriteFileAtomic, FailureLeavesEverythingAsItWas) {
  ScratchDir dir;
  // The target is a directory with content: the rename cannot replace it.
  fs::create_directory(dir / "target");
  WriteText(dir / "target/inside", "keep");
  EXPECT_FALSE(WriteFileAtomic(dir / "target", Bytes("data")));
  EXPECT_TRUE(fs::is_directory(dir / "target"));
  EXPECT_EQ(ReadText(dir / "target/inside"), "keep");
  EXPECT_EQ(Names(dir.dir()), std::vector<std::string>{"target"}) << "temporary file left behind";

  EXPECT_FALSE(WriteFileAtomic(dir / "missing/file", Bytes("data")));
  EXPECT_FALSE(WriteFileAtomic("", Bytes("data")));
  EXPECT_FALSE(WriteFileAtomic(dir.dir(), Bytes("data")));
  EXPECT_EQ(Names(dir.dir()), std::vector<std::string>{"target"});
}

TEST(Files, ListDirectorySortsMarksDirectoriesAndSkipsDanglingLinks) {
  ScratchDir dir;
  WriteText(dir / "b.crt", "");
  WriteText(dir / ".hidden", "");
  fs::create_directory(dir / "a");
  fs::create_directory_symlink(dir / "a", dir / "link");
  fs::create_symlink(dir / "gone", dir / "stale.crt");  // a dangling link is left out
  const auto entries = ListDirectory(dir.dir());
  ASSERT_TRUE(entries);
  std::vector<std::pair<std::string, bool>> seen;
  for (const auto& e : *entries) seen.emplace_back(e.name, e.isDirectory);
  const std::vector<std::pair<std::string, bool>> expected = {
      {".hidden", false}, {"a", true}, {"b.crt", false}, {"link", true}};
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(ListDirectory(dir / "none"));
  EXPECT_FALSE(ListDirectory(dir / "b.crt"));
}

TEST(Files, ReadingRespectsLimits) {
  ScratchDir dir;
  const std::string file = dir / "f";
  WriteText(file, "12345");
  bool tooLarge = false;
  EXPECT_FALSE(ReadWholeFile(file, 4, &tooLarge));
  EXPECT_TRUE(tooLarge);
  const auto whole = ReadWholeFile(file, 5, &tooLarge);
  ASSERT_TRUE(whole);
  EXPECT_FALSE(tooLarge);
  EXPECT_EQ(std::string(whole->begin(), whole->end()), "12345");
  EXPECT_FALSE(ReadWholeFile(dir.dir(), 1000)) << "a directory is not a file";

  std::uint8_t buffer[5] = {};
  EXPECT_EQ(ReadFileInto(file, buffer), 5u);
  EXPECT_FALSE(ReadFileInto(file, std::span(buffer, 4)));
  EXPECT_FALSE(ReadFileInto(dir / "missing", buffer));
  EXPECT_EQ(FileSize(file), 5u);
  EXPECT_FALSE(FileSize(dir.dir()));
  EXPECT_TRUE(FileModifiedTime(file));
}

TEST(Files, DirectoriesRenameAndRemove) {
  ScratchDir dir;
  EXPECT_TRUE(MakeDirectory(dir / "d"));
  EXPECT_TRUE(MakeDirectory(dir / "d")) << "an existing directory counts as made";
  EXPECT_FALSE(MakeDirectory(dir / "x/y")) << "the parent must exist";
  WriteText(dir / "f", "1");
  EXPECT_FALSE(MakeDirectory(dir / "f"));
  EXPECT_TRUE(IsDirectory(dir / "d"));
  EXPECT_TRUE(IsRegularFile(dir / "f"));
  EXPECT_FALSE(IsRegularFile(dir / "d"));
  WriteText(dir / "g", "2");
  EXPECT_TRUE(RenameFile(dir / "g", dir / "f"));
  EXPECT_EQ(ReadText(dir / "f"), "2");
  EXPECT_FALSE(PathExists(dir / "g"));
  EXPECT_TRUE(RemoveFile(dir / "f"));
  EXPECT_FALSE(RemoveFile(dir / "f"));
  EXPECT_EQ(CanonicalPath(dir / "d/../d/"), fs::canonical(dir / "d").string());
  EXPECT_EQ(CanonicalPath(dir / "none"), "");
}

TEST(Modules, LoadsAndFindsSymbols) {
  ModuleHandle libm = LoadModule("libm.so.6");
  ASSERT_NE(libm, nullptr);
  EXPECT_NE(FindSymbol(libm, "cos"), nullptr);
  EXPECT_EQ(FindSymbol(libm, "no_such_symbol_here"), nullptr);
  EXPECT_EQ(FindSymbol(nullptr, "cos"), nullptr);
  FreeModule(libm);
  FreeModule(nullptr);
  EXPECT_EQ(LoadModule(""), nullptr);
  EXPECT_EQ(LoadModule("/nonexistent/libnothing.so"), nullptr);
}

TEST(Modules, PathsOfProgramAndLoadedModules) {
  const std::string exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.front(), '/');
  EXPECT_EQ(fs::path(exe).filename(), "platform_tests");

  const std::string libc = LoadedModulePath("libc.so.6");
  EXPECT_EQ(libc.front(), '/');
  EXPECT_EQ(fs::path(libc).filename(), "libc.so.6");
  EXPECT_EQ(LoadedModulePath("libDazazOdi.so"), exe) << "an unknown module answers the program";
  EXPECT_EQ(LoadedModulePath("c.so.6"), exe) << "only whole file names match";
}

// The library's Windows-1251 messages reach a terminal in its own encoding.
TEST(Diagnostics, ConvertsTextBetweenEncodings) {
  const std::string cp1251 = "\xCF\xEE\xE4\xEF\xE8\xF1\xFC 1";  // "Подпись 1"
  struct Case {
    const char* to;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"UTF-8", "\xD0\x9F\xD0\xBE\xD0\xB4\xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C 1"},
      {"KOI8-R", "\xF0\xCF\xC4\xD0\xC9\xD3\xD8 1"},
      {"ISO-8859-1", "??????? 1"},  // no Cyrillic letters there
      {"NO-SUCH-ENCODING", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    EXPECT_EQ(ConvertText(cp1251, "CP1251", c.to), c.expected);
  }
}

TEST(Environment, RoundTrip) {
  const char* name = "VORNAK2_PLATFORM_TEST_VARIABLE";
  EXPECT_FALSE(GetEnv(name));
  ASSERT_TRUE(SetEnv(name, "a:b c"));
  EXPECT_EQ(GetEnv(name), "a:b c");
  ASSERT_TRUE(SetEnv(name, ""));
  EXPECT_EQ(GetEnv(name), "");
  EXPECT_FALSE(SetEnv("BAD=NAME", "x"));
  EXPECT_FALSE(SetEnv(nullptr, "x"));
  EXPECT_FALSE(GetEnv(nullptr));
}

TEST(Threads, IdentifiersAndTime) {
  const std::uint32_t mine = CurrentThreadId();
  std::uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(mine, 0u);
  EXPECT_NE(other, 0u);
  EXPECT_NE(mine, other);
  EXPECT_EQ(LocalTime(std::time_t{86400 * 365}).tm_year + 1900, 1971);
  YieldThread();
}

}  // namespace
}  // namespace vornak2::platform
