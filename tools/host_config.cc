#include "host_config.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

#include "host_commands.h"
#include "host_explain.h"
#include "host_io.h"
#include "platform/platform.h"
#include "support/text.h"

namespace vornak2::host {

namespace {

// A configuration file is a few lines; anything larger is not one.
constexpr std::uint64_t kMaxConfigSize = 64 * 1024;

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

bool IsComment(const std::string& trimmed) {
  return trimmed.empty() || trimmed.front() == '#';
}

std::string WithSeparator(std::string path) {
  if (!path.empty() && path.back() != kSep) path.push_back(kSep);
  return path;
}

namespace fs = std::filesystem;

// A directory in one spelling: absolute, its symbolic links resolved as far as it exists, "."
// and ".." resolved, and no separator at its end.
fs::path Resolved(const std::string& dir) {
  std::error_code error;
  fs::path path = fs::weakly_canonical(fs::path(dir), error);
  if (error) {
    path = fs::absolute(fs::path(dir), error);
    if (error) path = fs::path(dir);
    path = path.lexically_normal();
  }
  if (!path.has_filename() && path.has_parent_path() && path.parent_path() != path)
    path = path.parent_path();
  return path;
}

bool SameName(const fs::path& a, const fs::path& b) {
  if constexpr (platform::kCaseInsensitiveFileNames)
    return AsciiUpper(a.string()) == AsciiUpper(b.string());
  return a == b;
}

// Whether `inner` is `outer` or lies below it.
bool Within(const fs::path& inner, const fs::path& outer) {
  auto at = inner.begin();
  for (const fs::path& part : outer) {
    if (part.empty()) continue;
    if (at == inner.end() || !SameName(*at, part)) return false;
    ++at;
  }
  return true;
}

bool SamePlace(const fs::path& a, const fs::path& b) {
  return Within(a, b) && Within(b, a);
}

// A file that earlier versions read is pointed out once: it is not read any more, and it may be
// one that a correspondent's transfer put there.
void PointOutOldFile(const std::string& old, const std::string& now) {
  if (!platform::PathExists(old)) return;
  std::fprintf(stderr,
               "vornak2-host: %s is ignored, since a transfer can write there: values are kept "
               "in %s now (check its lines, and keep the ones you want with set-param)\n",
               old.c_str(), now.c_str());
}

// Checks the configuration directory against the engine's directories; false, after saying why,
// when the engine could write a transfer's file into it. set-param and unset-param are let
// through: they change the values that decide it (set-param checks its own change).
bool ConfigPlaceSafe(const Engine& engine, const EngineSetup& setup) {
  if (setup.changesConfiguration) return true;
  const std::string problem = ConfigPlaceProblem(engine, setup.root);
  if (problem.empty()) return true;
  std::fprintf(stderr, "vornak2-host: %s; the command is refused\n", problem.c_str());
  return false;
}

// Applies a parameter value; false, after saying why, when the engine has no such parameter.
bool Apply(const Engine& engine, std::int32_t number, const std::string& value,
           const std::string& origin, Origins* origins) {
  if (engine.api().SetCryptoParamValue(engine.handle(), number, value.c_str()) != 0) {
    std::fprintf(stderr, "vornak2-host: %s: the engine has no parameter %d (it has 1 to %d)\n",
                 origin.c_str(), number, engine.api().GetCryptoParamNumber(engine.handle()));
    return false;
  }
  if (origins != nullptr) (*origins)[number] = origin;
  return true;
}

// Applies a configuration file, if there is one; false, after saying why, when it is wrong.
bool ApplyFile(const Engine& engine, const std::string& path, Origins* origins) {
  std::string error;
  const auto file = ConfigFile::Load(path, error);
  if (!file) {
    std::fprintf(stderr, "vornak2-host: %s\n", error.c_str());
    return false;
  }
  for (const ConfigFile::Entry& entry : file->Entries()) {
    const std::string where = path + ":" + std::to_string(entry.line);
    const std::int32_t number = ParamByKey(engine, entry.key);
    if (number == 0) {
      std::fprintf(stderr, "vornak2-host: %s: no parameter '%s' (see vornak2-host params)\n",
                   where.c_str(), entry.key.c_str());
      return false;
    }
    if (!Apply(engine, number, entry.value, where, origins)) return false;
  }
  return true;
}

// The parameters of a user's key set in ROOT/NAME/, then the UID of its certificate as the
// current user's and the default recipient; false, after saying why, when the certificate gives
// no UID.
bool ApplyUser(const Library& library, const Engine& engine, const EngineSetup& setup,
               const std::string& name, Origins* origins) {
  const std::string origin = "--user " + name;
  const std::string dir = std::string("%QVXRoot%") + kSep + name + kSep;
  for (const auto& [number, value] :
       {std::pair{kParamSecretPath, dir + "sec"}, std::pair{kParamPublicPath, dir + "crt"},
        std::pair{kParamRandomFile, dir + "@rand"},
        std::pair{kParamUserCertificate, dir + "self.crt"}}) {
    if (!Apply(engine, number, value, origin, origins)) return false;
  }
  std::string uid;
  const std::int32_t code = engine.CurrentUserUid(uid);
  if (code != 0) {
    // Which file was tried, and what is wrong with it, before the engine's answer.
    const std::string certificate = ExpandRoot(setup.root, dir + "self.crt");
    if (setup.certificateMayBeMissing && !platform::PathExists(certificate)) return true;
    const auto problem = InputProblem(certificate, std::numeric_limits<std::uint64_t>::max());
    std::fprintf(stderr, "vornak2-host: --user %s: %s\n", name.c_str(),
                 problem ? problem->c_str() : ("no UID from " + certificate).c_str());
    ExplainFailure(library, engine, setup.root, "GetCurrentUserUID", code);
    return false;
  }
  const std::string derived = origin + ", its certificate's UID";
  return Apply(engine, kParamUserId, uid, derived, origins) &&
         Apply(engine, kParamEncryptFor, uid, derived, origins);
}

}  // namespace

std::string ConfigDirOf(const std::string& root) {
  return WithSeparator(root) + kConfigDirName;
}

std::string ConfigFileOf(const std::string& root, const std::string& user) {
  const std::string dir = ConfigDirOf(root) + kSep;
  if (user.empty()) return dir + kRootConfigName;
  return dir + kUserConfigDirName + kSep + user + ".conf";
}

bool MakeConfigDirs(const std::string& root, const std::string& user, std::string& error) {
  if (!platform::IsDirectory(root)) {
    error = "the root " + root + " is not a directory";
    return false;
  }
  const std::string dir = ConfigDirOf(root);
  std::string parent = root;
  for (const std::string& level :
       {dir, user.empty() ? std::string() : dir + kSep + kUserConfigDirName}) {
    if (level.empty()) continue;
    if (!platform::IsDirectory(level)) {
      if (!platform::MakeDirectory(level)) {
        error = OutputProblem(level);
        return false;
      }
      // The new directory's name is durable before anything in it counts on it.
      platform::SyncDirectory(parent);
    }
    parent = level;
  }
  return true;
}

namespace {

bool IsLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// How long a configuration change waits for another invocation's.
constexpr std::chrono::milliseconds kConfigLockWait{10000};

// The directories of a root's configuration where temporary files may lie.
std::vector<std::string> ConfigLevels(const std::string& root) {
  const std::string dir = ConfigDirOf(root);
  return {dir, dir + kSep + kUserConfigDirName};
}

// Removes what IsToolTemporary recognises in the configuration directory; the caller holds the
// lock. A private install-cert directory goes with what is in it (the copy, and nothing of anyone
// else's: no one else knows its name).
void RemoveToolTemporaries(const std::string& root) {
  for (const std::string& dir : ConfigLevels(root)) {
    const auto entries = platform::ListDirectory(dir);
    if (!entries) continue;
    bool removed = false;
    for (const platform::DirEntry& entry : *entries) {
      if (!IsToolTemporary(entry.name, entry.isDirectory)) continue;
      const std::string path = dir + kSep + entry.name;
      if (entry.isDirectory) {
        if (const auto inside = platform::ListDirectory(path))
          for (const platform::DirEntry& file : *inside)
            if (!file.isDirectory) platform::RemoveFile(path + kSep + file.name);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
      } else {
        platform::RemoveFile(path);
      }
      removed = true;
    }
    if (removed) platform::SyncDirectory(dir);
  }
}

}  // namespace

bool IsToolTemporary(const std::string& name, bool directory) {
  if (directory) {
    const std::string_view prefix = kIncomingDirPrefix;
    return name.size() == prefix.size() + 16 && name.starts_with(prefix) &&
           IsLowerHex(std::string_view(name).substr(prefix.size()));
  }
  // ".NAME.conf.tmp-TOKEN", TOKEN 16 hexadecimal digits, written under the lock; or, from earlier
  // versions, ".NAME.conf.tmp-PID-N-T" (the platform's temporary name), whose writer is gone.
  const std::size_t tag = name.rfind(kConfigTemporaryTag);
  if (name.size() < 2 || name[0] != '.' || tag == std::string::npos ||
      !std::string_view(name).substr(0, tag).ends_with(".conf"))
    return false;
  const std::string_view rest = std::string_view(name).substr(tag + 5);
  if (rest.size() == 16 && IsLowerHex(rest)) return true;
  // PID-COUNTER-TIME, the last two hexadecimal.
  const std::size_t first = rest.find('-');
  const std::size_t second = first == std::string_view::npos ? first : rest.find('-', first + 1);
  if (second == std::string_view::npos || !IsDigits(rest.substr(0, first)) || first + 1 == second ||
      !IsLowerHex(rest.substr(first + 1, second - first - 1)) || second + 1 == rest.size() ||
      !IsLowerHex(rest.substr(second + 1)))
    return false;
  std::uint64_t owner = 0;
  const auto digits = rest.substr(0, first);
  const auto [end, parsed] = std::from_chars(digits.data(), digits.data() + digits.size(), owner);
  return parsed == std::errc() && !platform::ProcessRunning(owner);
}

std::string NewIncomingDirName() {
  return kIncomingDirPrefix + RandomToken();
}

void SweepConfigDir(const std::string& root) {
  bool found = false;
  for (const std::string& dir : ConfigLevels(root)) {
    const auto entries = platform::ListDirectory(dir);
    if (!entries) continue;
    for (const platform::DirEntry& entry : *entries)
      found = found || IsToolTemporary(entry.name, entry.isDirectory);
  }
  if (!found) return;
  // Only when no other invocation is changing the directory: its files are not stale.
  ToolLock lock;
  std::string problem;
  if (lock.Lock(ConfigDirOf(root), std::chrono::milliseconds(0), problem))
    RemoveToolTemporaries(root);
}

bool ChangeConfig(const std::string& root, const std::string& user, std::string& error,
                  const std::function<bool(ConfigFile&)>& change) {
  if (!MakeConfigDirs(root, user, error)) return false;
  ToolLock lock;
  if (!lock.Lock(ConfigDirOf(root), kConfigLockWait, error)) return false;
  RemoveToolTemporaries(root);
  auto file = ConfigFile::Load(ConfigFileOf(root, user), error);
  if (!file) return false;
  return !change(*file) || file->Save(error);
}

bool IsUserName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

bool IsConfigPlace(const std::optional<std::string>& root, const std::string& dir) {
  return root && Within(Resolved(ExpandRoot(root, dir)), Resolved(ConfigDirOf(*root)));
}

std::string ConfigPlaceProblem(const Engine& engine, const std::optional<std::string>& root) {
  if (!root) return {};
  const auto dirOf = [&](std::int32_t number) {
    const std::string& value = engine.ParamValue(number);
    // An empty template directory is the root, as the engine takes it.
    return Resolved(ExpandRoot(root, value.empty() ? std::string("%QVXRoot%") : value));
  };
  const fs::path templateDir = dirOf(kParamTemplateDir);
  const fs::path store = dirOf(kParamPublicPath);
  const fs::path secret = dirOf(kParamSecretPath);
  const std::string configDir = ConfigDirOf(*root);
  for (const std::string& dir : {configDir, configDir + kSep + kUserConfigDirName}) {
    const fs::path place = Resolved(dir);
    const char* what = nullptr;
    if (SamePlace(place, templateDir))
      what =
          "is the engine's template directory (parameter 15), where transfers leave the files "
          "they carry";
    else if (Within(place, store))
      what =
          "lies in the engine's certificate store (parameter 3), where transfers install "
          "certificates";
    else if (SamePlace(place, secret) || SamePlace(place.parent_path(), secret))
      what =
          "is the engine's secret-key directory (parameter 2) or an authority directory in it, "
          "where transfers install authority certificates";
    if (what != nullptr)
      return "the configuration directory " + dir + " " + what +
             ": point the parameter at another directory";
  }
  return {};
}

bool ParseInt32(const std::string& text, std::int32_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && ptr == end;
}

std::optional<ConfigFile> ConfigFile::Load(const std::string& path, std::string& error) {
  ConfigFile file;
  file.path_ = path;
  if (!platform::PathExists(path)) return file;
  bool tooLarge = false;
  const auto bytes = platform::ReadWholeFile(path, kMaxConfigSize, &tooLarge);
  if (!bytes) {
    error = "cannot read " + path +
            (tooLarge ? ": larger than a configuration file can be" : ": not a readable file");
    return std::nullopt;
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view raw = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    Line line{std::string(raw), std::nullopt};
    const std::string trimmed = Trim(raw);
    if (!IsComment(trimmed)) {
      const auto equals = trimmed.find('=');
      std::string key = Trim(std::string_view(trimmed).substr(0, std::min(equals, trimmed.size())));
      if (equals == std::string::npos || key.empty()) {
        error = path + ":" + std::to_string(number) +
                ": expected 'NUMBER = VALUE' or 'NAME = VALUE', or a comment starting with #";
        return std::nullopt;
      }
      line.entry =
          Entry{std::move(key), Trim(std::string_view(trimmed).substr(equals + 1)), number};
    }
    file.lines_.push_back(std::move(line));
  }
  return file;
}

std::vector<ConfigFile::Entry> ConfigFile::Entries() const {
  std::vector<Entry> entries;
  for (const Line& line : lines_)
    if (line.entry) entries.push_back(*line.entry);
  return entries;
}

bool ConfigFile::Names(const std::string& key, std::int32_t number, const std::string& name) {
  std::int32_t keyNumber = 0;
  if (ParseInt32(key, keyNumber)) return keyNumber == number;
  return AsciiLower(key) == AsciiLower(name);
}

void ConfigFile::Set(std::int32_t number, const std::string& name, const std::string& value) {
  bool found = false;
  for (Line& line : lines_) {
    if (!line.entry || !Names(line.entry->key, number, name)) continue;
    line.entry->value = value;
    line.text = line.entry->key + " = " + value;
    found = true;
  }
  if (!found) lines_.push_back({name + " = " + value, Entry{name, value, lines_.size() + 1}});
}

bool ConfigFile::Remove(std::int32_t number, const std::string& name) {
  const auto before = lines_.size();
  std::erase_if(
      lines_, [&](const Line& line) { return line.entry && Names(line.entry->key, number, name); });
  return lines_.size() != before;
}

bool ConfigFile::Save(std::string& error) const {
  std::string text;
  for (const Line& line : lines_) {
    text += line.text;
    text += '\n';
  }
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  const fs::path path(path_);
  const std::string dir = path.parent_path().string();
  // ".NAME.conf.tmp-TOKEN", appended piece by piece (GCC 12 warns wrongly of overlapping copies
  // when "." + a string is built for mingw).
  std::string name(1, '.');
  name += path.filename().string();
  name += kConfigTemporaryTag;
  name += RandomToken();
  const std::string temporary = (path.parent_path() / name).string();
  const RemoveOnInterrupt interrupt(temporary, RemoveOnInterrupt::Kind::kFile);
  if (platform::WriteNewFile(temporary, bytes) && platform::RenameFile(temporary, path_)) {
    platform::SyncDirectory(dir);
    return true;
  }
  error = OutputProblem(path_);
  platform::RemoveFile(temporary);
  return false;
}

std::string EngineSetup::User() const {
  for (auto step = steps.rbegin(); step != steps.rend(); ++step)
    if (!step->user.empty()) return step->user;
  return {};
}

std::string EngineSetup::ConfigPath() const {
  return root ? ConfigFileOf(*root, User()) : std::string();
}

std::string ExpandRoot(const std::optional<std::string>& root, const std::string& value) {
  constexpr std::size_t kMacro = 9;  // "%QVXRoot%"
  if (value.size() < kMacro || AsciiLower(value.substr(0, kMacro)) != "%qvxroot%") return value;
  std::string rest = value.substr(kMacro);
  if (!rest.empty() && rest.front() == kSep) rest.erase(0, 1);
  return (root ? WithSeparator(*root) : std::string()) + rest;
}

std::int32_t ParamByKey(const Engine& engine, const std::string& key) {
  const std::int32_t count = engine.api().GetCryptoParamNumber(engine.handle());
  for (std::int32_t number = 1; number <= count; ++number)
    if (ConfigFile::Names(key, number, engine.ParamName(number))) return number;
  return 0;
}

int Configure(const Library& library, const Engine& engine, const EngineSetup& setup,
              Origins* origins) {
  const Api& api = engine.api();
  // Without a root, the key set's files would be looked for relative to nothing in particular,
  // unless the command line names the certificate itself.
  const bool namesCertificate =
      std::any_of(setup.steps.begin(), setup.steps.end(), [](const EngineSetup::Step& step) {
        return step.user.empty() && step.number == kParamUserCertificate;
      });
  if (setup.needsKeySet && !setup.root && !namesCertificate) {
    std::fprintf(stderr,
                 "vornak2-host: this command works on a user's key set, and key sets lie in a "
                 "root directory: give --root ROOT (or set VORNAK2_ROOT) and --user NAME. "
                 "`vornak2-host demo ROOT` lays out a root to try; README \"Your own key\" "
                 "shows how to make your own.\n");
    return kExitUsage;
  }
  if (setup.root) SweepConfigDir(*setup.root);
  // The root's configuration file (without a root there is none), then the command line.
  const auto configure = [&](const std::string& user) {
    if (!setup.root) return true;
    const std::string& root = *setup.root;
    PointOutOldFile(WithSeparator(root) + (user.empty() ? "" : user + kSep) + kOldConfigFileName,
                    ConfigFileOf(root, user));
    return ConfigPlaceSafe(engine, setup) && ApplyFile(engine, ConfigFileOf(root, user), origins);
  };
  if (setup.root) api.SetRootPath(engine.handle(), setup.root->c_str());
  if (!configure({})) return kExitFailed;
  for (const EngineSetup::Step& step : setup.steps) {
    if (step.user.empty()) {
      if (!Apply(engine, step.number, step.value, "--param", origins)) return kExitUsage;
      continue;
    }
    if (!ApplyUser(library, engine, setup, step.user, origins) || !configure(step.user))
      return kExitFailed;
  }
  // The command line may have moved a directory there as well.
  if (!ConfigPlaceSafe(engine, setup)) return kExitFailed;
  return kExitSuccess;
}

}  // namespace vornak2::host
