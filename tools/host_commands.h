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
#include "host_json.h"

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

// The result of the command that runs, for its --json line: the fields the command adds, the
// library's result code of the call that failed, the tool's own reason for a failure. The line
// is {"command":NAME,"exit":N,"code":N,...} with the fields in the order added, printed once by
// main when the command is done; keys and their meaning stay as they are. Every Result object
// adds to the one result of the run.
class Result {
 public:
  Result() = default;
  explicit Result(const char* /*command*/) {}
  Result& Add(const char* key, const std::string& value);
  Result& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
  Result& Add(const char* key, std::int64_t value);
  Result& AddFlag(const char* key, bool value);
  Result& AddNumber(const char* key, const std::string& digits);
  Result& AddList(const char* key, const std::vector<std::string>& values);
  Result& AddObjects(const char* key, const std::vector<JsonObject>& objects);
  // Adds the fields of `object`.
  Result& Merge(const JsonObject& object);
  // Records `code` as the result code of a failed call (the first one counts) and returns `exit`.
  int Finish(int exit, std::int32_t code = 0);
  // The result code of a failed call, the first one counts.
  static void Code(std::int32_t code);
  // Why the tool itself refused or failed (a file, a command line), the first reason counts.
  static void Error(const std::string& text);
  // Prints the --json line of the run.
  static void Print(const std::string& command, int exit);
};

// Prints a line of the command's result (printf-style) on standard output, or on standard error
// when the data goes to standard output; nothing with --json, where the JSON line tells it.
void ResultText(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

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
  bool needsKeySet = true;           // works on a user's key set, so a root must be given
  bool narrates = false;             // its story is its result (the demo)
  std::vector<std::string> repeatable =
      {};  // options that may be given again: values joined by ";"
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
// first-key, a new user's first key pair (host_first_key.cc).
std::vector<Command> FirstKeyCommands();
// A transfer text from a file or standard input ("-"); says why when it cannot be read.
std::optional<std::string> ReadTransferInput(const std::string& path);

// Prints a command-line error found while running a command and returns kExitUsage.
int UsageError(const std::string& message);
// Prints why the tool itself failed or refused (a file it cannot use, a refusal of its own) and
// returns kExitFailed.
int FileFailure(const std::string& problem);

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
