// The Windows platform layer where it differs from POSIX: the command line that carries a
// program's arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"

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

}  // namespace
}  // namespace vornak2::platform
