// Directory locks across processes and changes of several files that survive a stop.
#include "support/file_change.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <span>
#include <thread>

#include "support/files.h"
#include "support/text.h"

namespace vornak2 {
namespace {

constexpr std::string_view kRecordHead = "VORNAK2 CHANGE 1\n";
constexpr std::string_view kRecordEnd = "END\n";

// The directories whose locks each thread holds, by thread and key, with the number of holders.
// A process-wide table rather than a thread_local one: a thread_local object with a destructor in
// a DLL can stall the process's exit with mingw's run-time.
class HeldLocks {
 public:
  bool Holds(const std::string& key) {
    std::lock_guard guard(mutex_);
    return held_.contains({std::this_thread::get_id(), key});
  }
  void Add(const std::string& key) {
    std::lock_guard guard(mutex_);
    ++held_[{std::this_thread::get_id(), key}];
  }
  void Remove(const std::string& key) noexcept {
    std::lock_guard guard(mutex_);
    const auto it = held_.find({std::this_thread::get_id(), key});
    if (it != held_.end() && --it->second <= 0) held_.erase(it);
  }

 private:
  std::mutex mutex_;
  std::map<std::pair<std::thread::id, std::string>, int> held_;
};

HeldLocks& LocksOfThreads() {
  static HeldLocks held;
  return held;
}

std::string LockKey(const std::string& canonical) {
  return platform::kCaseInsensitiveFileNames ? AsciiUpper(canonical) : canonical;
}

std::string RecordPath(const std::string& dir) {
  return AddPathSeparator(dir).append(kChangeRecordName);
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// ---- the record: a head line, one line a step, each field "length:bytes", an end line ----

void AppendField(std::string& out, std::string_view field) {
  out.push_back(' ');
  out.append(std::to_string(field.size())).push_back(':');
  out.append(field);
}

// Reads one field at `at`; false when the text does not hold one there.
bool ReadField(std::string_view text, std::size_t& at, std::string& field) {
  if (at >= text.size() || text[at] != ' ') return false;
  ++at;
  const std::size_t colon = text.find(':', at);
  if (colon == std::string_view::npos || colon == at || colon - at > 9) return false;
  std::uint64_t length = 0;
  const auto [end, error] = std::from_chars(text.data() + at, text.data() + colon, length);
  if (error != std::errc() || end != text.data() + colon) return false;
  if (length > text.size() - (colon + 1)) return false;
  field.assign(text.substr(colon + 1, static_cast<std::size_t>(length)));
  at = colon + 1 + static_cast<std::size_t>(length);
  return true;
}

struct Record {
  std::vector<std::pair<char, std::string>> staged;  // 'S' secret first when rolled back, 'T'
  bool committed = false;
  std::vector<std::pair<char, std::pair<std::string, std::string>>> steps;  // 'M', 'D'
};

// Parses a record; false for anything that is not a whole one.
bool ParseRecord(std::string_view text, Record& record) {
  if (!text.starts_with(kRecordHead) || !text.ends_with(kRecordEnd)) return false;
  std::size_t at = kRecordHead.size();
  const std::size_t end = text.size() - kRecordEnd.size();
  while (at < end) {
    const char kind = text[at++];
    std::string first;
    std::string second;
    switch (kind) {
      case 'S':
      case 'T':
        if (!ReadField(text, at, first)) return false;
        record.staged.emplace_back(kind, std::move(first));
        break;
      case 'C':
        record.committed = true;
        break;
      case 'M':
        if (!ReadField(text, at, first) || !ReadField(text, at, second)) return false;
        record.steps.push_back({kind, {std::move(first), std::move(second)}});
        break;
      case 'D':
        if (!ReadField(text, at, first)) return false;
        record.steps.push_back({kind, {std::move(first), std::string()}});
        break;
      default:
        return false;
    }
    if (at >= end || text[at] != '\n') return false;
    ++at;
  }
  return at == end;
}

// Removes a file that should not stay; tried twice, since a passing failure must not leave a
// secret key or a staged file behind. True when the file is gone.
bool RemoveIfPresent(const std::string& path) {
  if (!FileExists(path)) return true;
  return DeleteFile(path) || DeleteFile(path) || !FileExists(path);
}

// Removes the staged files, secret ones first; true when all are gone.
bool RemoveStaged(const std::vector<std::pair<char, std::string>>& staged) {
  bool gone = true;
  for (const char kind : {'S', 'T'})
    for (const auto& [k, path] : staged)
      if (k == kind) gone = RemoveIfPresent(path) && gone;
  return gone;
}

// One step of a committed change; every step can be carried out again after a stop.
bool CarryOut(char kind, const std::string& first, const std::string& second) {
  if (kind == 'D') return RemoveIfPresent(first);
  // A move whose source is gone has been made already.
  if (!FileExists(first)) return true;
  if (!MoveFile(first, second)) return false;
  // Renaming a file over another name of itself leaves both names: the source one goes.
  return !FileExists(first) || !SameFile(first, second) || RemoveIfPresent(first);
}

}  // namespace

bool IsReservedFileName(std::string_view name) noexcept {
  try {
    const std::string upper = AsciiUpper(name);
    return upper == AsciiUpper(kLockFileName) || upper == AsciiUpper(kChangeRecordName);
  } catch (...) {
    return true;
  }
}

std::chrono::milliseconds LockWait() {
  if (const auto value = platform::GetEnv("VORNAK2_LOCK_WAIT_MS")) {
    std::uint32_t ms = 0;
    const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), ms);
    if (error == std::errc() && end == value->data() + value->size())
      return std::chrono::milliseconds(ms);
  }
  return std::chrono::seconds(10);
}

// ---- DirectoryLocks ----

DirectoryLocks::DirectoryLocks(const std::vector<std::string>& dirs,
                               std::chrono::milliseconds wait) {
  std::vector<std::pair<std::string, std::string>> wanted;  // key, canonical path
  for (const std::string& dir : dirs) {
    if (dir.empty() || !DirExists(dir)) continue;
    std::string canonical = platform::CanonicalPath(dir);
    if (canonical.empty()) continue;
    std::string key = LockKey(canonical);
    if (std::none_of(wanted.begin(), wanted.end(), [&](const auto& w) { return w.first == key; }))
      wanted.emplace_back(std::move(key), std::move(canonical));
  }
  std::sort(wanted.begin(), wanted.end());
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (const auto& [key, canonical] : wanted) {
    covered_.push_back(canonical);
    if (LocksOfThreads().Holds(key)) continue;
    platform::FileLock lock;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      const auto attempt = lock.TryLock(AddPathSeparator(canonical).append(kLockFileName));
      if (attempt != platform::FileLock::Attempt::kBusy) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        Release();
        covered_.clear();
        return;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(25));
    }
    if (!lock.Held()) continue;  // no lock file can be had here: nothing here can change either
    LocksOfThreads().Add(key);
    taken_.push_back(key);
    locks_.push_back(std::move(lock));
  }
  held_ = true;
}

DirectoryLocks::~DirectoryLocks() {
  Release();
}

void DirectoryLocks::Release() noexcept {
  for (const std::string& key : taken_) {
    LocksOfThreads().Remove(key);
  }
  taken_.clear();
  locks_.clear();
  held_ = false;
}

// ---- FileChange ----

FileChange::FileChange(const std::string& recordDir) : record_(RecordPath(recordDir)) {}

FileChange::~FileChange() {
  if (committed_) return;
  std::vector<std::pair<char, std::string>> staged;
  for (const Step& s : staged_) staged.emplace_back(s.kind, s.first);
  // A record that stays names the files that could not be removed, for the next holder.
  if (RemoveStaged(staged)) RemoveIfPresent(record_);
}

std::string FileChange::Stage(const std::string& path, bool secret) {
  std::string name = platform::TemporaryNameFor(path);
  staged_.push_back(Step{secret ? 'S' : 'T', name, std::string()});
  return name;
}

void FileChange::Move(const std::string& from, const std::string& to) {
  steps_.push_back(Step{'M', from, to});
}

void FileChange::Remove(const std::string& path) {
  steps_.push_back(Step{'D', path, std::string()});
}

std::string FileChange::RecordText(bool withSteps) const {
  std::string text(kRecordHead);
  auto line = [&](const Step& s) {
    text.push_back(s.kind);
    AppendField(text, s.first);
    if (s.kind == 'M') AppendField(text, s.second);
    text.push_back('\n');
  };
  for (const Step& s : staged_) line(s);
  if (withSteps) {
    text.append("C\n");
    for (const Step& s : steps_) line(s);
  }
  text.append(kRecordEnd);
  return text;
}

bool FileChange::Prepare() {
  return platform::WriteFileAtomic(record_, AsBytes(RecordText(false)));
}

bool FileChange::Commit() {
  if (!platform::WriteFileAtomic(record_, AsBytes(RecordText(true)))) return false;
  committed_ = true;
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    const Step& s = steps_[i];
    if (CarryOut(s.kind, s.first, s.second) || CarryOut(s.kind, s.first, s.second)) continue;
    // Nothing has changed yet when the first step cannot be made: the change is given up.
    if (i == 0) {
      if (RemoveIfPresent(record_)) committed_ = false;
      return false;
    }
    if (s.kind != 'D') return false;  // a file that cannot be removed only stays
  }
  std::vector<std::pair<char, std::string>> staged;
  for (const Step& s : staged_) staged.emplace_back(s.kind, s.first);
  return RemoveStaged(staged) && RemoveIfPresent(record_);
}

// ---- recovery ----

bool HasChangeRecord(const std::string& dir) noexcept {
  try {
    return !dir.empty() && FileExists(RecordPath(dir));
  } catch (...) {
    return false;
  }
}

bool RecoverChange(const std::string& dir) noexcept {
  try {
    const std::string path = RecordPath(dir);
    if (!FileExists(path)) return true;
    const auto bytes = platform::ReadWholeFile(path, 1u << 20);
    if (!bytes) return false;
    Record record;
    // A record that does not parse was not written by this library (ours are renamed into
    // place whole): there is nothing it could tell, and it goes.
    if (ParseRecord(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
                    record) &&
        record.committed) {
      for (const auto& [kind, files] : record.steps)
        if (!CarryOut(kind, files.first, files.second) &&
            !CarryOut(kind, files.first, files.second) && kind != 'D')
          return false;
    }
    return RemoveStaged(record.staged) && RemoveIfPresent(path);
  } catch (...) {
    return false;
  }
}

void RemoveStaleTemporaries(const std::string& dir, std::string_view baseName) noexcept {
  try {
    const auto entries = platform::ListDirectory(dir);
    if (!entries) return;
    const std::string prefix = AddPathSeparator(dir);
    std::string hidden(".");
    hidden.append(baseName.substr(0, 160)).append(".tmp-");
    std::string plain(baseName);
    plain.push_back('.');
    std::vector<std::string> secret;
    std::vector<std::string> other;
    for (const platform::DirEntry& entry : *entries) {
      if (entry.isDirectory) continue;
      const std::string& name = entry.name;
      if (!baseName.empty() && !name.starts_with(hidden) && !name.starts_with(plain)) continue;
      const auto owner = platform::TemporaryFileOwner(name);
      if (!owner || *owner == platform::CurrentProcessId() || platform::ProcessRunning(*owner))
        continue;
      (AsciiLower(name).find(".sec.") != std::string::npos ? secret : other)
          .push_back(prefix + name);
    }
    for (const auto* list : {&secret, &other})
      for (const std::string& path : *list) RemoveIfPresent(path);
  } catch (...) {
  }
}

}  // namespace vornak2
