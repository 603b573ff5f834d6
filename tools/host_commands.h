// vornak2-host: the subcommands. Each prints what it did and every result code with its message,
// and answers with one of the tool's exit codes.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host_api.h"

namespace vornak2::host {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed =
    1;                                // an operation failed, or a file could not be read or written
inline constexpr int kExitUsage = 2;  // the command line is wrong

// A parsed command line.
struct Invocation {
  std::map<std::string, std::string> options;  // options with a value, "--in" -> "data.txt"
  std::set<std::string> flags;                 // options without one, "--no-validity"
  std::vector<std::string> args;               // the positional arguments
  EngineSetup setup;                           // from --root, --param and --user

  // The value of an option; empty when it was not given.
  std::string Option(const std::string& name) const;
  bool Flag(const std::string& name) const { return flags.count(name) != 0; }
};

// A subcommand: its name, what the usage text says of it, the options it takes and what runs it.
struct Command {
  const char* name;
  const char* synopsis;  // what follows the name, for the usage text
  const char* summary;
  std::vector<std::string> required;  // options with a value that must be given
  std::vector<std::string> optional;  // options with a value that may be given
  std::vector<std::string> flags;     // options without a value
  std::size_t minArgs = 0;            // positional arguments
  std::size_t maxArgs = 0;
  bool engine = true;  // takes --root, --param and --user
  int (*run)(const Library&, const Invocation&) = nullptr;
};

// `first` followed by `more`.
inline std::vector<Command> WithCommands(std::vector<Command> first, std::vector<Command> more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}
// The commands of the certificate store, key generation and transfers (host_store_commands.cc).
std::vector<Command> StoreCommands();
// A transfer text from a file or standard input ("-"); says why when it cannot be read.
std::optional<std::string> ReadTransferInput(const std::string& path);
// The commands of renewal, reports, directory set-up and signed-data files
// (host_renewal_commands.cc).
std::vector<Command> RenewalCommands();

// An engine configured from the command line; null, after saying why, when that fails, with the
// exit code left in `exit`.
std::unique_ptr<Engine> OpenEngine(const Library& library, const EngineSetup& setup, int& exit);
// Opens the engine of the command line and runs `body` with it; the body's exit code, or that of
// the failed opening.
template <typename Body>
int WithEngine(const Library& library, const Invocation& call, Body body) {
  int exit = kExitSuccess;
  const auto engine = OpenEngine(library, call.setup, exit);
  if (!engine) return exit;
  return body(*engine);
}
// Prints an export's result with its message (to `out`); true for success.
bool Report(const Engine& engine, const char* call, std::int32_t code, std::FILE* out = stdout);

// Prints a command-line error found while running a command and returns kExitUsage.
int UsageError(const std::string& message);

// Parses a decimal 32-bit integer that fills the whole text.
bool ParseInt32(const std::string& text, std::int32_t& value);

int SignCommand(const Library& library, const Invocation& call);
int VerifyCommand(const Library& library, const Invocation& call);
int AddSignCommand(const Library& library, const Invocation& call);
int RemoveSignCommand(const Library& library, const Invocation& call);
int EncryptCommand(const Library& library, const Invocation& call);
int DecryptCommand(const Library& library, const Invocation& call);
int UidCommand(const Library& library, const Invocation& call);
int ParamsCommand(const Library& library, const Invocation& call);
int GetParamCommand(const Library& library, const Invocation& call);
int SetParamCommand(const Library& library, const Invocation& call);
int MessageCommand(const Library& library, const Invocation& call);
int DemoCommand(const Library& library, const Invocation& call);

}  // namespace vornak2::host
