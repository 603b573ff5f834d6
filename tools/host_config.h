// vornak2-host: an engine's configuration as the tool builds it. Values come from the engine's
// defaults, from configuration files that keep them between invocations (one for a root, one for
// each user of it) and from the command line; each value remembers where it came from.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host_api.h"

namespace vornak2::host {

// The tool keeps parameter values in a directory of its own, ROOT/.vornak2-host/: root.conf for
// every user of a root, and users/NAME.conf for the user NAME (in a directory of their own, so
// that no user's name can stand for the root's file). The engine writes the files that transfers
// carry into its template directory (by default the root itself), into directories the tool
// names and into its store and authority directories, each under a name without a directory part:
// none of them reaches into this directory unless the engine is pointed at it, which
// ConfigPlaceProblem refuses.
inline constexpr const char* kConfigDirName = ".vornak2-host";
inline constexpr const char* kRootConfigName = "root.conf";
inline constexpr const char* kUserConfigDirName = "users";
// The temporary files of a configuration write: ".NAME.conf.tmp-" and 16 hexadecimal digits.
inline constexpr const char* kConfigTemporaryTag = ".tmp-";
// The private directory of an install-cert copy: "incoming-" and 16 hexadecimal digits.
inline constexpr const char* kIncomingDirPrefix = "incoming-";
// Where earlier versions kept the values: ROOT/vornak2-host.conf and ROOT/NAME/vornak2-host.conf,
// places a correspondent's transfer can write to. A file there is not read, only pointed out.
inline constexpr const char* kOldConfigFileName = "vornak2-host.conf";

// The configuration directory of a root, and the file of `user` (the root's own when empty).
std::string ConfigDirOf(const std::string& root);
std::string ConfigFileOf(const std::string& root, const std::string& user);
// Makes the configuration directory of `root` (and its users' directory for a user) when
// missing, each made durable in its parent; false with the reason in `error`. The root itself
// must exist.
bool MakeConfigDirs(const std::string& root, const std::string& user, std::string& error);
class ConfigFile;
// Changes the configuration file of `user` (the root's own when empty) under the tool's lock on
// the configuration directory: the file is read, `change` applied, and, when it says so, the file
// written whole to a new name and renamed over the old one, so that every reader, and the file
// after a stop at any moment, has either the old lines or the new ones. Temporary files that a
// stopped invocation left are removed first. False with the reason in `error`.
bool ChangeConfig(const std::string& root, const std::string& user, std::string& error,
                  const std::function<bool(ConfigFile&)>& change);
// Removes what a stopped invocation left in the configuration directory of `root` (temporary
// files of a configuration write, the private directory of an install-cert copy), when no other
// invocation holds the directory's lock. Every command that reads the configuration calls it.
void SweepConfigDir(const std::string& root);
// Whether `name`, in the configuration directory or its users' directory, is a temporary file of
// a configuration write (this version's, or an earlier version's without a lock), or, with
// `directory`, the private directory of an install-cert copy.
bool IsToolTemporary(const std::string& name, bool directory);
// The name of a new private directory for an install-cert copy.
std::string NewIncomingDirName();
// Whether NAME can name a key set ROOT/NAME/ and its configuration file: a single directory name
// (no separator or drive colon, no control character, not "." or "..").
bool IsUserName(const std::string& name);

// A configuration file: lines "NUMBER = VALUE" or "NAME = VALUE" (the parameter's name as
// `params` shows it, letter case ignored), blanks around both trimmed. Blank lines and lines that
// start with "#" are comments; they are kept when the file is rewritten.
class ConfigFile {
 public:
  struct Entry {
    std::string key;
    std::string value;
    std::size_t line = 0;  // from 1
  };

  // Reads a file; a missing file is an empty one. nullopt, with the reason in `error`, when the
  // file cannot be read or a line is neither a comment nor an assignment.
  static std::optional<ConfigFile> Load(const std::string& path, std::string& error);

  const std::string& path() const { return path_; }
  std::vector<Entry> Entries() const;
  // Gives parameter `number` (called `name`) a value: the lines that name it get the new value;
  // when none does, a line "NAME = VALUE" is appended.
  void Set(std::int32_t number, const std::string& name, const std::string& value);
  // Removes the lines that name the parameter; false when there were none.
  bool Remove(std::int32_t number, const std::string& name);
  // Writes the file: whole, under a temporary name that carries a random token, flushed, renamed
  // over the file and its directory flushed; false with the reason in `error` (the temporary file
  // is removed). The caller holds the tool's lock on the configuration directory.
  bool Save(std::string& error) const;

  // Whether a key names parameter `number` called `name`.
  static bool Names(const std::string& key, std::int32_t number, const std::string& name);

 private:
  struct Line {
    std::string text;
    std::optional<Entry> entry;  // absent for comments and blank lines
  };
  std::string path_;
  std::vector<Line> lines_;
};

// What the command line asks of an engine: a root, and parameter values and users in the order
// given.
struct EngineSetup {
  struct Step {
    std::string user;  // a --user NAME; empty for a --param
    std::int32_t number = 0;
    std::string value;
  };
  std::optional<std::string> root;
  std::vector<Step> steps;
  // A --user whose certificate is not there yet (create-dirs installs it): the UID parameters
  // keep their values instead of failing.
  bool certificateMayBeMissing = false;
  // set-param and unset-param: an engine directory that would let transfers write into the
  // configuration directory is not refused here, so that the value which puts it there can be
  // changed (set-param checks its own change before keeping it).
  bool changesConfiguration = false;
  // The command works on a user's key set: without a root, and with the key set's files still
  // where a root would hold them, it is refused in plain words before the engine is asked.
  bool needsKeySet = false;

  void AddParam(std::int32_t number, std::string value) { steps.push_back({{}, number, value}); }
  void AddUser(std::string name) { steps.push_back({std::move(name), 0, {}}); }
  // The last user given; empty when none was.
  std::string User() const;
  // The configuration file that set-param writes: the last user's, else the root's (see
  // ConfigFileOf); empty without a root.
  std::string ConfigPath() const;
};

// Where each parameter's value came from, for the parameters that do not keep their default.
using Origins = std::map<std::int32_t, std::string>;

// Whether `dir` (where %QVXRoot% stands for the root) is the configuration directory of `root` or
// lies in it.
bool IsConfigPlace(const std::optional<std::string>& root, const std::string& dir);

// Why the engine would let a transfer write into the configuration directory of `root`: it is
// the engine's template directory (parameter 15), lies in its certificate store (parameter 3),
// or is the secret-key directory (parameter 2) or one of the authority directories in it. Empty
// when it is none of these or there is no root.
std::string ConfigPlaceProblem(const Engine& engine, const std::optional<std::string>& root);

// Configures an engine: the root (SetRootPath), the root's configuration file, then the command
// line in order. A --user NAME points the secret path, the certificate store, the random-state
// file and the user's certificate at ROOT/NAME/, sets "User Id" and "Encrypt for UID" to the UID
// of that certificate, and then applies NAME's configuration file. Before each configuration
// file is read, and once all is applied, the engine's directories are checked against the
// configuration directory (ConfigPlaceProblem); a vornak2-host.conf in the old places is pointed
// out. On a failure it says why and returns the exit code; 0 when the engine is ready.
int Configure(const Library& library, const Engine& engine, const EngineSetup& setup,
              Origins* origins = nullptr);

// A parameter value with a leading %QVXRoot% replaced by the root, as the engine expands it.
std::string ExpandRoot(const std::optional<std::string>& root, const std::string& value);
// The number of the parameter that a key names: a number, or a name with letter case ignored;
// 0 when it names none.
std::int32_t ParamByKey(const Engine& engine, const std::string& key);

}  // namespace vornak2::host
