// Starting a program and waiting for it (Windows).
#include <windows.h>
// windows.h defines FreeModule as a macro; the platform layer has a function of that name.
#undef FreeModule

#include <string>

#include "platform/platform.h"

namespace vornak2::platform {

namespace {

// Appends one argument to a command line so that the C runtime's parser of the started program
// gives it back unchanged: quoted when it is empty or holds blanks or quotes; inside the quotes a
// run of backslashes is doubled where a quote (or the closing quote) follows it, and a quote is
// escaped.
void AppendArgument(std::string& line, const std::string& arg) {
  if (!line.empty()) line.push_back(' ');
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    line += arg;
    return;
  }
  line.push_back('"');
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    line.append(backslashes, '\\');
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, '\\');
  line.push_back('"');
}

// Closes a handle when it leaves scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE* out() { return &h_; }
  void adopt(HANDLE h) {
    reset();
    h_ = h;
  }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void reset() {
    if (valid()) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace

std::string CommandLineOf(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& a : argv) AppendArgument(line, a);
  return line;
}

std::optional<int> RunProgram(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty() || argv.front().empty()) return std::nullopt;
  std::string line = CommandLineOf(argv);

  // The child's standard output (and error, when captured) is the write end of a pipe, or the
  // null device; only these handles are inheritable, and only for this start.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle readEnd, writeEnd;
  if (output != nullptr) {
    if (!CreatePipe(readEnd.out(), writeEnd.out(), &inherit, 0)) return std::nullopt;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  } else {
    writeEnd.adopt(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));
    if (!writeEnd.valid()) return std::nullopt;
  }
  Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = output != nullptr ? writeEnd.get() : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  // No application name: the system takes the program from the command line's first argument
  // and adds ".exe" when it has no extension.
  const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  writeEnd.reset();  // the child holds its own copy; end of file comes when it exits
  if (!started) return std::nullopt;
  Handle processHandle(process.hProcess), threadHandle(process.hThread);
  if (output != nullptr) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
      output->append(buffer, got);
  }
  if (WaitForSingleObject(processHandle.get(), INFINITE) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(processHandle.get(), &code)) return std::nullopt;
  return static_cast<int>(code);
}

}  // namespace vornak2::platform
