// vornak2-host: the subcommands. Each prints what it did and every result code with its message,
// and answers with one of the tool's exit codes.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host_api.h"
#include "host_config.h"

namespace vornak2::host {

inline constexpr int kExitSuccess = 0;
// An operation failed, or a file could not be read or written.
inline constexpr int kExitFailed = 1;
// The command line is wrong.
inline constexpr int kExitUsage = 2;

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
int UnsetParamCommand(const Library& library, const Invocation& call);
int MessageCommand(const Library& library, const Invocation& call);
int DemoCommand(const Library& library, const Invocation& call);

}  // namespace vornak2::host
