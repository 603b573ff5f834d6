#include "journal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <set>

#include "cc_abi.h"
#include "errors.h"
#include "gost.h"
#include "os.h"
#include "util.h"

namespace ca {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRecordPrefix = ".vornak2-ca.";
constexpr std::string_view kOpen = ".change", kCommitted = ".commit";
constexpr std::string_view kHeader = "vornak2-ca change 1\n";
constexpr std::size_t kTokenBytes = 16;
constexpr std::size_t kMaxRecord = 1u << 20;
// A step that fails is tried this often before the change gives up on it.
constexpr int kTries = 3;

template <typename Step>
bool Tried(Step step) {
  for (int i = 0; i < kTries; ++i)
    if (step()) return true;
  return false;
}

std::string Absolute(const std::string& path) {
  std::error_code error;
  const fs::path full = fs::absolute(fs::path(path), error);
  if (error) throw Failure("cannot resolve the path " + path);
  fs::path normal = full.lexically_normal();
  // "DIR/" names DIR.
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal.string();
}

std::string Parent(const std::string& path) {
  return fs::path(path).parent_path().string();
}

std::string Join(const std::string& dir, std::string_view name) {
  return (fs::path(dir) / fs::path(std::string(name))).string();
}

std::string RecordPath(const std::string& dir, const std::string& token, bool committed) {
  return Join(dir,
              std::string(kRecordPrefix) + token + std::string(committed ? kCommitted : kOpen));
}

std::string ScratchDir(const std::string& dir, const std::string& token) {
  return Join(dir, std::string(kRecordPrefix) + token + ".scratch");
}

// ".NAME.TOKEN.tmp" beside the target.
std::string Staged(const std::string& target, const std::string& token) {
  const fs::path t(target);
  return (t.parent_path() / ("." + t.filename().string() + "." + token + ".tmp")).string();
}

bool IsToken(std::string_view text) {
  return text.size() == 2 * kTokenBytes && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// A value that goes on one line of the record.
std::string OneLine(std::string_view text, std::string_view what) {
  if (text.find_first_of("\r\n") != std::string_view::npos)
    throw Failure(std::string(what) + " holds a line break: " + std::string(text));
  return std::string(text);
}

std::string Serialize(const Change::Record& r) {
  std::string out(kHeader);
  out.append("token ").append(r.token).push_back('\n');
  out.append("command ").append(r.command).push_back('\n');
  out.append("message ").append(r.message).push_back('\n');
  const auto mode = [](cc::FileMode m) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", m & 07777u);
    return std::string(text);
  };
  for (const auto& [path, m] : r.dirs)
    out.append("dir ").append(mode(m) + " ").append(path) += '\n';
  for (const auto& [path, m] : r.files)
    out.append("file ").append(mode(m) + " ").append(path) += '\n';
  for (const auto& name : r.scratch) out.append("scratch ").append(name) += '\n';
  out.append("end\n");
  return out;
}

std::optional<cc::FileMode> ParseMode(std::string_view text) {
  if (text.size() != 4) return std::nullopt;
  cc::FileMode m = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    m = m * 8 + static_cast<cc::FileMode>(c - '0');
  }
  return m;
}

std::optional<Change::Record> Parse(std::string_view text) {
  if (!text.starts_with(kHeader) || !text.ends_with("\nend\n")) return std::nullopt;
  Change::Record r;
  bool seenEnd = false;
  int line = 0;
  for (std::size_t start = kHeader.size(); start < text.size();) {
    const std::size_t end = text.find('\n', start);
    const std::string_view l = text.substr(start, end - start);
    start = end + 1;
    ++line;
    if (seenEnd) return std::nullopt;
    const std::size_t blank = l.find(' ');
    const std::string_view key = l.substr(0, blank);
    const std::string_view value = blank == std::string_view::npos ? "" : l.substr(blank + 1);
    if (line == 1) {
      if (key != "token" || !IsToken(value)) return std::nullopt;
      r.token = value;
    } else if (line == 2) {
      if (key != "command") return std::nullopt;
      r.command = value;
    } else if (line == 3) {
      if (key != "message") return std::nullopt;
      r.message = value;
    } else if (key == "end" && blank == std::string_view::npos) {
      seenEnd = true;
    } else if (key == "dir" || key == "file") {
      const auto mode = ParseMode(value.substr(0, 4));
      if (!mode || value.size() < 6 || value[4] != ' ') return std::nullopt;
      const std::string path(value.substr(5));
      if (!fs::path(path).is_absolute() || !fs::path(path).has_filename()) return std::nullopt;
      (key == "dir" ? r.dirs : r.files).emplace_back(path, *mode);
    } else if (key == "scratch") {
      // A plain name inside the scratch directory.
      if (value.empty() || value.find_first_of("/\\:") != std::string_view::npos || value == "." ||
          value == "..")
        return std::nullopt;
      r.scratch.emplace_back(value);
    } else {
      return std::nullopt;
    }
  }
  if (!seenEnd || line < 3) return std::nullopt;
  return r;
}

// Removes a directory of the change when it is empty (tried again on failure), then flushes the
// directory it was in. False when it stays.
bool RemoveDir(const std::string& path) {
  const bool gone = Tried([&] { return cc::RemoveEmptyDir(path); });
  if (gone) cc::SyncDir(Parent(path));
  return gone;
}

// Removes a change's record, its last step. No flush follows: a record that a power cut brings
// back names nothing left to do (its staged files are renamed or removed, and those steps were
// flushed), so recovery only removes it again; and so a stop after this step finds the command
// done, while a stop before it finds the record and finishes it.
bool RemoveRecord(const std::string& path) {
  return Tried([&] { return cc::RemoveFile(path); });
}

void RemoveScratch(const std::string& recordDir, const Change::Record& r) {
  if (r.scratch.empty()) return;
  const std::string dir = ScratchDir(recordDir, r.token);
  if (!cc::PathExists(dir)) return;
  for (const std::string& name : r.scratch)
    if (!Tried([&] { return cc::RemoveFile(Join(dir, name)); }))
      throw Failure("cannot remove " + Join(dir, name));
  if (!RemoveDir(dir)) throw Failure("cannot remove " + dir);
}

// Rolls back a change that did not commit: its staged and scratch files, the directories it
// created (those still empty: a directory that holds something else stays), and its record.
void RollBack(const std::string& recordDir, const Change::Record& r) {
  std::set<std::string> flush;
  for (const auto& [target, mode] : r.files) {
    const std::string staged = Staged(target, r.token);
    if (!Tried([&] { return cc::RemoveFile(staged); }))
      throw Failure("cannot remove " + staged + " of an unfinished change");
    flush.insert(Parent(staged));
  }
  for (const std::string& dir : flush) cc::SyncDir(dir);
  RemoveScratch(recordDir, r);
  for (auto it = r.dirs.rbegin(); it != r.dirs.rend(); ++it)
    if (cc::PathExists(it->first)) (void)RemoveDir(it->first);
  if (!RemoveRecord(RecordPath(recordDir, r.token, false)))
    throw Failure("cannot remove the record of an unfinished change in " + recordDir);
}

// Carries a committed change to its end: every staged file still there is renamed over its
// target (one that is gone was renamed already: nothing but this routine removes a staged file
// of a committed change), then the scratch files and the record go.
void Finish(const std::string& recordDir, const Change::Record& r) {
  std::set<std::string> flush;
  for (const auto& file : r.files) {
    const std::string& target = file.first;
    const std::string staged = Staged(target, r.token);
    if (!cc::PathExists(staged)) continue;
    if (!Tried([&] { return cc::RenameFile(staged, target); }))
      throw Failure("cannot rename " + staged + " to " + target +
                    " (a committed change: the next command of the authority finishes it)");
    flush.insert(Parent(target));
  }
  for (const std::string& dir : flush) cc::SyncDir(dir);
  RemoveScratch(recordDir, r);
  if (!RemoveRecord(RecordPath(recordDir, r.token, true)))
    throw Failure("cannot remove the record of a finished change in " + recordDir);
}

// Whether a record that does not parse is one this tool began to write when the process stopped:
// the record is written whole and flushed before any other step, so such a record changed nothing.
bool TornRecord(std::string_view text) {
  return !text.ends_with("\nend\n") && (text.starts_with(kHeader) || kHeader.starts_with(text));
}

}  // namespace

Change::Change(std::string recordDir, std::string command) : recordDir_(Absolute(recordDir)) {
  std::array<std::uint8_t, kTokenBytes> token{};
  ccgost::RandomBytes(token);
  record_.token = cc::HexEncode(token);
  record_.command = OneLine(command, "the command");
}

Change::~Change() {
  if (!began_ || committed_) return;
  try {
    RollBack(recordDir_, record_);
  } catch (const std::exception&) {
    // The record stays: the next command that recovers the directory rolls the change back.
  }
}

void Change::CreateDirectories(const std::string& path, cc::FileMode mode) {
  std::vector<std::string> missing;
  for (fs::path p = fs::path(Absolute(path)); p.has_relative_path(); p = p.parent_path()) {
    if (cc::PathExists(p.string())) break;
    missing.push_back(p.string());
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    const bool planned = std::any_of(record_.dirs.begin(), record_.dirs.end(),
                                     [&](const auto& d) { return d.first == *it; });
    if (!planned) record_.dirs.emplace_back(OneLine(*it, "a directory's path"), mode);
  }
}

void Change::WriteFile(const std::string& path, cc::FileMode mode) {
  const std::string target = OneLine(Absolute(path), "a file's path");
  if (!fs::path(target).has_filename()) throw Failure("not a file's path: " + path);
  // Renaming over a directory would fail after the commit: refused before anything is written.
  std::error_code error;
  if (fs::is_directory(target, error)) throw Failure(path + " is a directory");
  record_.files.emplace_back(target, mode);
  put_.push_back(false);
}

std::string Change::ScratchFile(const std::string& name) {
  if (name.empty() || name.find_first_of("/\\:\r\n") != std::string::npos || name == "." ||
      name == "..")
    throw Failure("not a file name: " + name);
  record_.scratch.push_back(name);
  return Join(ScratchDir(recordDir_, record_.token), name);
}

void Change::Begin(std::string_view message) {
  std::string line(message);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  record_.message = line;
  const std::string path = RecordPath(recordDir_, record_.token, false);
  if (cc::WriteNewFile(path, Serialize(record_), 0600) != CC_OK)
    throw Failure("cannot write the record of the change " + path);
  began_ = true;
  cc::SyncDir(recordDir_);
  for (const auto& [dir, mode] : record_.dirs) {
    if (!cc::MakeDir(dir, mode)) throw Failure("cannot create the directory " + dir);
    cc::SyncDir(Parent(dir));
  }
  if (!record_.scratch.empty()) {
    const std::string scratch = ScratchDir(recordDir_, record_.token);
    if (!cc::MakeDir(scratch, 0700)) throw Failure("cannot create the directory " + scratch);
    cc::SyncDir(recordDir_);
  }
}

void Change::Put(const std::string& path, std::string_view data) {
  if (!began_ || committed_) throw std::logic_error("Change::Put outside a begun change");
  const std::string full = Absolute(path);
  for (std::size_t i = 0; i < record_.files.size(); ++i) {
    if (record_.files[i].first != full) continue;
    if (put_[i]) throw std::logic_error("Change::Put twice for " + path);
    if (cc::WriteNewFile(Staged(full, record_.token), data, record_.files[i].second) != CC_OK)
      throw Failure("cannot write " + Staged(full, record_.token));
    put_[i] = true;
    return;
  }
  const std::string scratch = ScratchDir(recordDir_, record_.token);
  if (Parent(full) == scratch &&
      std::find(record_.scratch.begin(), record_.scratch.end(),
                fs::path(full).filename().string()) != record_.scratch.end()) {
    if (cc::WriteNewFile(full, data, 0600) != CC_OK) throw Failure("cannot write " + full);
    return;
  }
  throw std::logic_error("Change::Put for a file outside the plan: " + path);
}

bool Change::Commit() {
  if (!began_ || committed_) throw std::logic_error("Change::Commit outside a begun change");
  if (std::find(put_.begin(), put_.end(), false) != put_.end())
    throw std::logic_error("Change::Commit before every file is written");
  std::set<std::string> staged;
  for (const auto& [target, mode] : record_.files) staged.insert(Parent(target));
  for (const std::string& dir : staged) cc::SyncDir(dir);
  if (!cc::RenameFile(RecordPath(recordDir_, record_.token, false),
                      RecordPath(recordDir_, record_.token, true)))
    throw Failure("cannot commit the change recorded in " + recordDir_);
  committed_ = true;
  cc::SyncDir(recordDir_);
  try {
    Finish(recordDir_, record_);
  } catch (const Failure&) {
    return false;
  }
  return true;
}

std::optional<std::string> Recover(const std::string& dir, std::string_view command) {
  std::error_code error;
  std::vector<std::pair<std::string, bool>> records;  // token, committed
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(kRecordPrefix)) continue;
    const std::string_view rest = std::string_view(name).substr(kRecordPrefix.size());
    const std::string_view token = rest.substr(0, 2 * kTokenBytes);
    const std::string_view kind = rest.substr(token.size());
    if (!IsToken(token) || (kind != kOpen && kind != kCommitted)) continue;
    records.emplace_back(std::string(token), kind == kCommitted);
  }
  if (error && error != std::errc::no_such_file_or_directory)
    throw Failure("cannot list " + dir + ": " + error.message());
  const std::string recordDir = Absolute(dir);
  std::optional<std::string> finished;
  for (const auto& [token, committed] : records) {
    const std::string path = RecordPath(recordDir, token, committed);
    // A record another account could have put there is never obeyed.
    if (!OwnRegularFile(path))
      throw Failure("the change record " + path +
                    " is not a file of this account's; move it away once you have checked it");
    const auto text = cc::ReadSmallFile(path, kMaxRecord);
    if (!text) throw Failure("cannot read the change record " + path);
    const auto record = Parse(*text);
    if (!record || record->token != token) {
      if (!committed && TornRecord(*text)) {
        if (!RemoveRecord(path)) throw Failure("cannot remove " + path);
        continue;
      }
      throw Failure("the change record " + path +
                    " is not one this tool writes; move it away once you have checked it");
    }
    if (committed) {
      Finish(recordDir, *record);
      if (record->command == command) finished = record->message;
    } else {
      RollBack(recordDir, *record);
    }
  }
  return finished;
}

}  // namespace ca
