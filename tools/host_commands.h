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
#include "host_changes.h"
#include "host_config.h"

namespace vornak2::host {

inline constexpr int kExitSuccess = 0;
// An operation failed, or a file could not be read or written.
inline constexpr int kExitFailed = 1;
// The command line is wrong.
inline constexpr int kExitUsage = 2;
// The data's own answer is no: a signature that does not hold (or whose signer's certificate is
// not valid), data that is not encrypted for the current user.
inline constexpr int kExitRejected = 3;

// Whether a result code is such an answer (kExitRejected) rather than a failure.
bool Rejection(std::int32_t code);

// The one line of a data command's result with --json: {"command":...,"exit":N,"code":N,...}
// with the fields added, in that order; keys and their meaning stay as they are.
class Result {
 public:
  explicit Result(const char* command) : command_(command) {}
  Result& Add(const char* key, const std::string& value);
  Result& Add(const char* key, std::int64_t value);
  // Prints the line (with --json) and returns `exit`; `code` is the library's result code.
  int Finish(int exit, std::int32_t code = 0);

 private:
  const char* command_;
  std::string fields_;
};

// A parsed command line.
struct Invocation {
  std::string command;                         // the command's name
  std::map<std::string, std::string> options;  // options with a value, "--in" -> "data.txt"
  std::set<std::string> flags;                 // options without one, "--no-validity"
  std::vector<std::string> args;               // the positional arguments
  EngineSetup setup;                           // from --root, --param and --user

  // The value of an option; empty when it was not given.
  std::string Option(const std::string& name) const;
  bool Flag(const std::string& name) const { return flags.count(name) != 0; }
};

// An engine configured from the command line, and the reporting of its calls.
class Session {
 public:
  Session(const Library& library, const Invocation& call);

  // False when the engine could not be made or configured; exit() is the exit code then.
  explicit operator bool() const { return exit_ == kExitSuccess; }
  int exit() const { return exit_; }
  const Engine& engine() const { return engine_; }
  const Origins& origins() const { return origins_; }

  // Prints an export's result (a success to `out`); true for success. A failure is explained on
  // standard error. With `changes`, the files the call wrote or removed follow (on standard error
  // after a failure); without, the call is one whose failure writes nothing.
  bool Report(const char* call, std::int32_t code, std::FILE* out = stdout,
              const DiskChanges* changes = nullptr) const;
  void Explain(const char* call, std::int32_t code) const;
  // Starts watching the directories where the engine writes key, certificate and transfer files:
  // the secret-key directory and the authority directories in it, the certificate store, the
  // directories of the own certificate and of the random-state file, the template and
  // key-generation directories, a --dir of the command, and `extra`.
  DiskChanges WatchKeySet(std::vector<DiskChanges::Place> extra = {}) const;

 private:
  const Library& library_;
  const Invocation& call_;
  Engine engine_;
  Origins origins_;
  int exit_ = kExitSuccess;
};

// Opens the session of the command line and runs `body` with it; the body's exit code, or that
// of the failed opening.
template <typename Body>
int WithSession(const Library& library, const Invocation& call, Body body) {
  const Session session(library, call);
  if (!session) return session.exit();
  return body(session);
}

// A subcommand: its name, what the usage text and its --help say of it, the options it takes
// and the function that runs it.
struct Command {
  const char* name;
  const char* synopsis;                    // what follows the name in the usage line
  const char* summary;                     // one line for the list of commands
  const char* help;                        // the text of COMMAND --help
  std::vector<std::string> required = {};  // options with a value that must be given
  std::vector<std::string> optional = {};  // options with a value that may be given
  std::vector<std::string> flags = {};     // options without a value
  std::size_t minArgs = 0;                 // positional arguments
  std::size_t maxArgs = 0;
  bool engine = true;                // takes --root, --user and --param
  bool installsCertificate = false;  // --user NAME need not have a certificate yet
  int (*run)(const Library&, const Invocation&) = nullptr;
};

// `first` followed by `more`.
inline std::vector<Command> WithCommands(std::vector<Command> first, std::vector<Command> more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}
// The commands of the certificate store, key generation and transfers (host_store_commands.cc).
std::vector<Command> StoreCommands();
// The commands of renewal, reports, directory set-up and signed-data files
// (host_renewal_commands.cc).
std::vector<Command> RenewalCommands();
// The commands of certificate revocation lists (host_crl_commands.cc), and what report adds on
// the CRL of a stored certificate's issuer.
std::vector<Command> CrlCommands();
void PrintRevocation(const Session& session, const Invocation& call, const std::string& uid,
                     const std::string& report);
// A transfer text from a file or standard input ("-"); says why when it cannot be read.
std::optional<std::string> ReadTransferInput(const std::string& path);

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
