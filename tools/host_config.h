// vornak2-host: an engine's configuration as the tool builds it. Values come from the engine's
// defaults, from configuration files that keep them between invocations (one for a root, one for
// each user of it) and from the command line; each value remembers where it came from.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host_api.h"

namespace vornak2::host {

// The file that keeps parameter values: ROOT/vornak2-host.conf for every user of a root, and
// ROOT/NAME/vornak2-host.conf for the user NAME.
inline constexpr const char* kConfigFileName = "vornak2-host.conf";

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
  // Writes the file (beside it first, then renamed over it); false with the reason in `error`.
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

  void AddParam(std::int32_t number, std::string value) { steps.push_back({{}, number, value}); }
  void AddUser(std::string name) { steps.push_back({std::move(name), 0, {}}); }
  // The last user given; empty when none was.
  std::string User() const;
  // The configuration file that set-param writes: the last user's, else the root's; empty
  // without a root.
  std::string ConfigPath() const;
};

// Where each parameter's value came from, for the parameters that do not keep their default.
using Origins = std::map<std::int32_t, std::string>;

// Configures an engine: the root (SetRootPath), the root's configuration file, then the command
// line in order. A --user NAME points the secret path, the certificate store, the random-state
// file and the user's certificate at ROOT/NAME/, sets "User Id" and "Encrypt for UID" to the UID
// of that certificate, and then applies NAME's configuration file. On a failure it says why and
// returns the exit code; 0 when the engine is ready.
int Configure(const Library& library, const Engine& engine, const EngineSetup& setup,
              Origins* origins = nullptr);

// A parameter value with a leading %QVXRoot% replaced by the root, as the engine expands it.
std::string ExpandRoot(const std::optional<std::string>& root, const std::string& value);
// The number of the parameter that a key names: a number, or a name with letter case ignored;
// 0 when it names none.
std::int32_t ParamByKey(const Engine& engine, const std::string& key);

}  // namespace vornak2::host
