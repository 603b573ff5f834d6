// Starting a program and waiting for it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

extern char** environ;

namespace vornak2::platform {

std::optional<int> RunProgram(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty() || argv.front().empty()) return std::nullopt;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (output != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    if (output != nullptr) ::close(pipeFds[0]), ::close(pipeFds[1]);
    return std::nullopt;
  }
  if (output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    ::close(pipeFds[1]);
    if (spawned == 0) {
      char buffer[4096];
      for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output->append(buffer, static_cast<std::size_t>(n));
      }
    }
    ::close(pipeFds[0]);
  }
  if (spawned != 0) return std::nullopt;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

}  // namespace vornak2::platform
