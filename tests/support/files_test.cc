#include "support/files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "scratch_dir.h"

namespace vornak2 {
namespace {

using vornak2::testing::Names;
using vornak2::testing::ReadText;
using vornak2::testing::ScratchDir;
using vornak2::testing::WriteText;
namespace fs = std::filesystem;

TEST(Paths, AddPathSeparator) {
  VORNAK2_POSIX_PATHS_ONLY();
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"/", "/"},
      {"a/", "a/"},
      {"C", "C/"},
      {"x1", "x1/"},
      {"/r/crt", "/r/crt/"},
      {"dir\\", "dir\\/"},  // a backslash is an ordinary character here
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(AddPathSeparator(in), out) << in;
}

// A UID names a store file only when every level it forms is a plain name; an authority
// directory needs only to be one plain name inside the secret-key directory, dots and all.
TEST(Paths, UidsThatBecomePaths) {
  VORNAK2_POSIX_PATHS_ONLY();
  struct Case {
    std::string_view uid;
    std::string_view storePath;  // in "/r/crt/"; empty: no store file
    bool authorityDir;           // whether "/r/sec/" + uid is an authority directory
  };
  const Case cases[] = {
      {"H.0", "/r/crt/H/@/0.crt", true},
      {"AB.1234", "/r/crt/AB/@/1/2/3/4.crt", true},
      {"@.@", "/r/crt/@/@/@.crt", true},
      {"CA", "", true},  // no "." : no store file, but a name of its own
      {"H.", "", true},
      {".5", "", true},     // empty prefix
      {"A.B.C", "", true},  // a "." in the tail would be a level "."
      {"ROOT.CA.7", "", true},
      {"X..1", "", true},
      {".", "", false},
      {"..", "", false},
      {"../x", "", false},
      {"A/B.1", "", false},
      {"A.1/2", "", false},
      {"A\\B.1", "", false},
      {"C:.1", "", false},
      {"H.\t", "", false},
      {"H.\x7f", "", false},
      {"", "", false},
  };
  for (const auto& [uid, storePath, authorityDir] : cases) {
    EXPECT_EQ(CertPathByUID(uid, "/r/crt/"), storePath) << uid;
    EXPECT_EQ(AuthorityDirByUID("/r/sec", uid), authorityDir ? "/r/sec/" + std::string(uid) : "")
        << uid;
  }
  EXPECT_EQ(CertPathByUID("H.0", ""), "");
  EXPECT_EQ(AuthorityDirByUID("", "H.0"), "");
  EXPECT_EQ(CertDirsByUID("AB.123", "/r/"),
            (std::vector<std::string>{"/r/AB", "/r/AB/@", "/r/AB/@/1", "/r/AB/@/1/2"}));
  EXPECT_TRUE(CertDirsByUID("X..1", "/r/").empty());
}

TEST(Paths, FileNameOfAPeersPath) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/home/a/self.crt", "self.crt"},
      {"C:\\dir\\name.crt", "name.crt"},
      {"C:name.aut", "name.aut"},
      {"plain", "plain"},
      {"C:\\dir\\", ""},
      {"/", ""},
      {"a/..", ".."},
      {"", ""},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(FileNamePart(path), name) << path;
  EXPECT_TRUE(IsPlainFileName("0.crt"));
  for (std::string_view name : {"", ".", ".."}) EXPECT_FALSE(IsPlainFileName(name)) << name;
}

TEST(Text, SplitBySemicolon) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {nullptr, {}},
      {"", {}},
      {"a", {"a"}},
      {";", {"", ""}},
      {"a;;b;", {"a", "", "b", ""}},
      {"x y;z", {"x y", "z"}},
  };
  for (const auto& [text, pieces] : cases) {
    std::vector<std::string> list = {"kept"};
    EXPECT_EQ(SplitBySemicolon(text, list), static_cast<int>(pieces.size()));
    std::vector<std::string> expected = {"kept"};
    expected.insert(expected.end(), pieces.begin(), pieces.end());
    EXPECT_EQ(list, expected) << (text ? text : "(null)");
  }
}

TEST(Text, HexDump) {
  const std::uint8_t bytes[] = {0x0A, 0xFF, 0x01, 0x02, 0x03};
  struct Case {
    const void* data;
    std::int32_t length;
    int group, line;
    std::string_view expected;
  } const cases[] = {
      {bytes, 2, 255, 255, "0AFF"},
      {bytes + 2, 3, 1, 2, "01 02 \r\n03"},
      {bytes, 5, 2, 4, "0AFF 0102 \r\n03"},  // the blank comes before the line break
      {bytes, 5, 3, 255, "0AFF01 0203"},
      {bytes, 0, 1, 1, ""},
      {bytes, -1, 1, 1, ""},
      {nullptr, 5, 1, 1, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexDump(c.data, c.length, c.group, c.line), c.expected)
        << c.length << " bytes, group " << c.group << ", line " << c.line;
  }
}

TEST(Directories, ForceDirs) {
  VORNAK2_POSIX_PATHS_ONLY();
  ScratchDir dir;
  EXPECT_FALSE(ForceDirs(""));
  EXPECT_TRUE(ForceDirs("/"));
  EXPECT_TRUE(ForceDirs(dir.dir()));
  EXPECT_TRUE(ForceDirs(dir / "a/b/c/"));
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(ForceDirs(dir / "x//y//"));
  EXPECT_TRUE(fs::is_directory(dir / "x/y"));
  WriteText(dir / "file", "");
  EXPECT_FALSE(ForceDirs(dir / "file/sub")) << "a file stands in the way";
  EXPECT_FALSE(ForceDirs(dir / "file"));
  EXPECT_TRUE(DirExists(dir / "a/b"));
  EXPECT_FALSE(DirExists(dir / "file"));
  EXPECT_FALSE(DirExists(dir / "none"));
  EXPECT_FALSE(DirExists(""));
}

TEST(Directories, ForceDirsCreatesRelativePaths) {
  VORNAK2_POSIX_PATHS_ONLY();
  ScratchDir dir;
  const auto previous = fs::current_path();
  fs::current_path(dir.dir());
  const bool single = ForceDirs("one");
  const bool nested = ForceDirs("two/three");
  fs::current_path(previous);
  EXPECT_TRUE(single);
  EXPECT_TRUE(nested);
  EXPECT_TRUE(fs::is_directory(dir / "one"));
  EXPECT_TRUE(fs::is_directory(dir / "two/three"));
}

TEST(Files, ReadFileToBuffer) {
  ScratchDir dir;
  const std::string file = dir / "key.crt";
  WriteText(file, "12345");
  char buffer[8] = {};
  std::int32_t capacity = 5;
  ASSERT_TRUE(ReadFileToBuffer(file, buffer, capacity));
  EXPECT_EQ(capacity, 5);
  EXPECT_EQ(std::string(buffer, 5), "12345");

  // Every failure leaves the capacity as it was.
  const std::pair<std::string, std::int32_t> failures[] = {
      {file, 4}, {file, -1}, {dir / "missing", 8}, {dir.dir(), 8}, {"", 8}};
  for (const auto& [name, size] : failures) {
    capacity = size;
    EXPECT_FALSE(ReadFileToBuffer(name, buffer, capacity)) << name << " " << size;
    EXPECT_EQ(capacity, size);
  }
  capacity = 5;
  EXPECT_FALSE(ReadFileToBuffer(file, nullptr, capacity));

  WriteText(file, "");
  capacity = 0;
  EXPECT_TRUE(ReadFileToBuffer(file, nullptr, capacity));
  EXPECT_EQ(capacity, 0);
}

TEST(Files, WriteBufferToFile) {
  ScratchDir dir;
  const std::string file = dir / "out.pub";
  ASSERT_TRUE(WriteBufferToFile(file, "abc", 3));
  EXPECT_EQ(ReadText(file), "abc");
  ASSERT_TRUE(WriteBufferToFile(file, "", 0));
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(ReadText(file), "");

  // A refused write keeps the old file.
  WriteText(file, "old");
  EXPECT_FALSE(WriteBufferToFile(file, "abc", -1));
  EXPECT_FALSE(WriteBufferToFile(file, nullptr, 3));
  fs::create_directory(dir / "busy");
  EXPECT_FALSE(WriteBufferToFile(dir / "busy", "abc", 3));
  EXPECT_FALSE(WriteBufferToFile(dir / "none/out.pub", "abc", 3));
  EXPECT_EQ(ReadText(file), "old");
  EXPECT_EQ(Names(dir.dir()), (std::vector<std::string>{"busy", "out.pub"}));

  ASSERT_TRUE(WriteBufferToFile(dir / "1.sec", "secret", 6, /*ownerOnly=*/true));
  // On Windows owner-only access is an access list, which fs::status does not show.
#ifndef _WIN32
  EXPECT_EQ(fs::status(dir / "1.sec").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
}

TEST(Files, CopyFileContents) {
  ScratchDir dir;
  WriteText(dir / "src.crt", "certificate");
  WriteText(dir / "empty", "");
  WriteText(dir / "dst.crt", "previous");

  ASSERT_TRUE(CopyFileContents(dir / "src.crt", dir / "new.crt"));
  EXPECT_EQ(ReadText(dir / "new.crt"), "certificate");

  // Unreadable sources fail and leave the destination as it was.
  EXPECT_FALSE(CopyFileContents(dir / "missing", dir / "dst.crt"));
  EXPECT_FALSE(CopyFileContents(dir.dir(), dir / "dst.crt"));
  EXPECT_EQ(ReadText(dir / "dst.crt"), "previous");
  EXPECT_FALSE(CopyFileContents(dir / "missing", dir / "absent.crt"));
  EXPECT_FALSE(fs::exists(dir / "absent.crt"));

  // An empty source succeeds without touching the destination.
  EXPECT_TRUE(CopyFileContents(dir / "empty", dir / "dst.crt"));
  EXPECT_EQ(ReadText(dir / "dst.crt"), "previous");
  EXPECT_TRUE(CopyFileContents(dir / "empty", dir / "absent.crt"));
  EXPECT_FALSE(fs::exists(dir / "absent.crt"));

  ASSERT_TRUE(CopyFileContents(dir / "src.crt", dir / "dst.crt"));
  EXPECT_EQ(ReadText(dir / "dst.crt"), "certificate");
  EXPECT_FALSE(CopyFileContents(dir / "src.crt", dir / "none/dst.crt"));
}

TEST(Files, FindFilesByExtension) {
  VORNAK2_POSIX_PATHS_ONLY();  // and a directory link
  ScratchDir dir;
  const std::string root = dir / "crt";
  fs::create_directories(root + "/H/@");
  fs::create_directories(root + "/.hidden");
  for (const char* name : {"b.crt", "a.CRT", "c.crtx", "crt", "xcrt", ".d.crt", "H/@/0.crt",
                           ".hidden/1.crt", "H/@/k.sec"}) {
    WriteText(root + "/" + name, "x");
  }
  fs::create_directory(root + "/dir.crt");               // a directory never matches
  fs::create_directory_symlink(root, root + "/H/loop");  // a cycle back to the top

  std::vector<std::string> flat = {"kept"};
  FindFilesByExtension(root, "crt", flat, false);
  const std::string p = root + "/";
  EXPECT_EQ(flat,
            (std::vector<std::string>{"kept", p + "a.CRT", p + "b.crt", p + "crt", p + "xcrt"}));

  std::vector<std::string> deep;
  FindFilesByExtension(p, "CrT", deep, true);
  EXPECT_EQ(deep, (std::vector<std::string>{p + "H/@/0.crt", p + "a.CRT", p + "b.crt", p + "crt",
                                            p + "xcrt"}));

  std::vector<std::string> none;
  FindFilesByExtension(dir / "missing", "crt", none, true);
  FindFilesByExtension(p + "b.crt", "crt", none, true);
  EXPECT_TRUE(none.empty());
}

// A move replaces its target; a rename for a secret key never does; both leave the source in
// place when they fail.
TEST(Files, MovesAndRenames) {
  ScratchDir dir;
  WriteText(dir / "a.crt", "new");
  WriteText(dir / "b.crt", "old");
  ASSERT_TRUE(MoveFile(dir / "a.crt", dir / "b.crt"));
  EXPECT_EQ(ReadText(dir / "b.crt"), "new");
  EXPECT_FALSE(fs::exists(dir / "a.crt"));
  EXPECT_FALSE(MoveFile(dir / "a.crt", dir / "c.crt"));
  EXPECT_FALSE(MoveFile(dir / "b.crt", dir / "none/b.crt"));
  EXPECT_EQ(ReadText(dir / "b.crt"), "new");

  WriteText(dir / "0.sec", "key 0");
  WriteText(dir / "0.old", "older key 0");
  EXPECT_FALSE(RenameNoReplace(dir / "0.sec", dir / "0.old"));
  EXPECT_EQ(ReadText(dir / "0.old"), "older key 0");
  ASSERT_TRUE(RenameNoReplace(dir / "0.sec", dir / "0.old.1"));
  EXPECT_EQ(ReadText(dir / "0.old.1"), "key 0");
  EXPECT_FALSE(fs::exists(dir / "0.sec"));

  EXPECT_TRUE(SameFile(dir / "b.crt", dir.dir() + "./b.crt"));
  std::error_code noLinks;  // some file systems have no hard links
  fs::create_hard_link(dir / "b.crt", dir / "link.crt", noLinks);
  if (!noLinks) {
    EXPECT_TRUE(SameFile(dir / "b.crt", dir / "link.crt"));
  }
  EXPECT_FALSE(SameFile(dir / "b.crt", dir / "0.old"));
  EXPECT_FALSE(SameFile(dir / "b.crt", dir / "missing"));
}

}  // namespace
}  // namespace vornak2
