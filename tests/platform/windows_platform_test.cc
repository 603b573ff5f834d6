// The Windows platform layer where it differs from POSIX: the command line that carries a
// program's arguments, and file identity and moves on a file system that ignores letter case.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "scratch_dir.h"

namespace vornak2::platform {
namespace {

// Each argument must come back unchanged from the C runtime's parser of the started program:
// blanks and quotes inside quotes, backslashes doubled only before a quote.
TEST(WindowsCommandLine, QuotesWhatTheRuntimeWouldSplitOrUnescape) {
  const struct {
    std::vector<std::string> argv;
    const char* line;
  } rows[] = {
      {{"C:\\bin\\ca.exe", "bootstrap"}, "C:\\bin\\ca.exe bootstrap"},
      {{"C:\\Program Files\\ca.exe", ""}, "\"C:\\Program Files\\ca.exe\" \"\""},
      {{"a", "say \"hi\""}, "a \"say \\\"hi\\\"\""},
      {{"a", "C:\\dir with space\\"}, "a \"C:\\dir with space\\\\\""},
      {{"a", "x\\\\\"y z"}, "a \"x\\\\\\\\\\\"y z\""},
      {{"a", "tab\there"}, "a \"tab\there\""},
      {{"a", "C:\\no\\quote\\"}, "a C:\\no\\quote\\"},
  };
  for (const auto& r : rows) EXPECT_EQ(CommandLineOf(r.argv), r.line) << r.line;
}

TEST(WindowsCommandLine, NothingToRun) {
  EXPECT_EQ(RunProgram({}), std::nullopt);
  EXPECT_EQ(RunProgram({""}), std::nullopt);
  EXPECT_EQ(RunProgram({"Z:\\no\\such\\program.exe"}), std::nullopt);
}

// One file under two spellings is the same file (the check that keeps a carried file off a secret
// key); a rename that must not replace leaves both files as they were; a durable move replaces.
TEST(WindowsFiles, IdentityAndMovesIgnoreLetterCase) {
  const testing::ScratchDir scratch;
  const std::string dir = scratch.dir();
  testing::WriteText(dir + "Self.crt", "own");
  testing::WriteText(dir + "other.crt", "other");
  const struct {
    std::string a, b;
    bool same;
  } identities[] = {
      {dir + "Self.crt", dir + "SELF.CRT", true},
      {dir + "self.crt", dir + ".\\SELF.crt", true},
      {dir + "self.crt", dir + "other.crt", false},
      {dir + "self.crt", dir + "missing.crt", false},
      {"", dir + "self.crt", false},
  };
  for (const auto& r : identities) EXPECT_EQ(SameFile(r.a, r.b), r.same) << r.a << " " << r.b;

  EXPECT_FALSE(RenameNoReplace(dir + "other.crt", dir + "SELF.crt"));
  EXPECT_EQ(testing::ReadText(dir + "self.crt"), "own");
  EXPECT_EQ(testing::ReadText(dir + "other.crt"), "other");
  EXPECT_TRUE(RenameNoReplace(dir + "other.crt", dir + "new.crt"));
  EXPECT_TRUE(MoveFileDurably(dir + "new.crt", dir + "SELF.CRT"));
  EXPECT_EQ(testing::ReadText(dir + "self.crt"), "other");
  EXPECT_FALSE(PathExists(dir + "new.crt"));
  EXPECT_FALSE(MoveFileDurably(dir + "new.crt", dir + "self.crt"));
}

}  // namespace
}  // namespace vornak2::platform
