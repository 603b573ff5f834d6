// Directory locks across processes and changes of files that survive a stop.
#include "support/file_change.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "support/files.h"
#include "support/text.h"

namespace vornak2 {
namespace {

constexpr std::string_view kOwnPrefix = ".vornak2-";
constexpr std::string_view kRecordSuffix = ".change";
constexpr std::string_view kRecordHead = "VORNAK2 CHANGE 2\n";
constexpr std::size_t kTokenLength = 32;
// A record is small: a few directories and steps.
constexpr std::uint64_t kMaxRecordSize = 64 * 1024;
constexpr int kMaxStaged = 1000;

constexpr char kSeparator = platform::kPathSeparator;

// ---- which thread holds which directory ----

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

// The canonical path of a directory, without a final separator (but "/" or "C:\" as they are).
std::string CanonicalDir(const std::string& dir) {
  std::string canonical = platform::CanonicalPath(dir);
  while (canonical.size() > 1 && canonical.back() == kSeparator &&
         !(platform::kDriveLetterPaths && canonical.size() == 3 && canonical[1] == ':'))
    canonical.pop_back();
  return canonical;
}

bool SameDir(const std::string& a, const std::string& b) {
  return LockKey(a) == LockKey(b);
}

// ---- names ----

std::string NewToken() {
  std::uint8_t bytes[kTokenLength / 2];
  if (!platform::SystemRandom(bytes, sizeof bytes))
    throw std::runtime_error("the system's random source cannot be read");
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (const std::uint8_t b : bytes) {
    token.push_back(kDigits[b >> 4]);
    token.push_back(kDigits[b & 15]);
  }
  return token;
}

bool IsToken(std::string_view text) {
  return text.size() == kTokenLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string RecordName(std::string_view token) {
  return std::string(kOwnPrefix).append(token).append(kRecordSuffix);
}

// The token of a file named as a record; empty for any other name.
std::string_view RecordToken(std::string_view name) {
  if (name.size() != kOwnPrefix.size() + kTokenLength + kRecordSuffix.size() ||
      !name.starts_with(kOwnPrefix) || !name.ends_with(kRecordSuffix))
    return {};
  const std::string_view token = name.substr(kOwnPrefix.size(), kTokenLength);
  return IsToken(token) ? token : std::string_view();
}

std::string JoinPath(const std::string& dir, std::string_view relative) {
  std::string path = AddPathSeparator(dir);
  for (const char c : relative) path.push_back(c == '/' ? kSeparator : c);
  return path;
}

std::string StagedFile(const std::string& dir, std::string_view relative, std::string_view token,
                       int number) {
  const std::size_t slash = relative.rfind('/');
  const std::string_view folder =
      slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash + 1);
  return JoinPath(dir, folder) + std::string(kOwnPrefix) + std::string(token) + "." +
         std::to_string(number);
}

// A relative name that stays inside its directory: plain levels separated by "/", none of them
// empty, "." or "..", no other separator, drive colon or control character, and not a name the
// library keeps for itself.
bool IsPlainRelativeName(std::string_view relative) {
  if (relative.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = relative.find('/', start);
    const std::string_view level = relative.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!IsPlainFileName(level) || IsReservedFileName(level)) return false;
    for (const char c : level) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F || c == '\\' || c == ':') return false;
    }
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

// ---- the record's text: lines of words, texts as "length:bytes" ----

void AppendText(std::string& out, std::string_view text) {
  out.append(std::to_string(text.size())).push_back(':');
  out.append(text);
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  bool AtEnd() const { return at_ == text_.size(); }
  bool Literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool Number(long long& value) {
    const char* begin = text_.data() + at_;
    const auto [end, error] = std::from_chars(begin, text_.data() + text_.size(), value);
    if (error != std::errc() || end == begin) return false;
    at_ += static_cast<std::size_t>(end - begin);
    return true;
  }
  bool Text(std::string& out) {
    long long length = 0;
    if (!Number(length) || length < 0 || !Literal(":")) return false;
    if (static_cast<unsigned long long>(length) > text_.size() - at_) return false;
    out.assign(text_.substr(at_, static_cast<std::size_t>(length)));
    at_ += static_cast<std::size_t>(length);
    return true;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

struct RecordStep {
  std::size_t dir = 0;
  std::string relative;
  int staged = -1;
  int prior = -1;
  bool secret = false;
};

struct Record {
  std::string token;
  std::vector<std::string> dirs;
  std::vector<RecordStep> steps;
  std::string given;  // a file given to the operation, removed last (empty: none)
  std::size_t givenStep = 0;
  bool prepared = false;
  bool committed = false;
  bool aborted = false;
};

// Parses a record; false for a text that is not one. A record cut short while it was first written
// (nothing staged yet: not "prepared") parses as far as it goes; one cut before its token is told
// by its start, which is the start of the text this library writes for the token of its name.
bool ParseRecord(std::string_view text, std::string_view nameToken, Record& record) {
  std::string start(kRecordHead);
  start.append("token ");
  AppendText(start, nameToken);
  start.push_back('\n');
  if (text.size() < start.size()) {
    if (std::string_view(start).substr(0, text.size()) != text) return false;
    record.token = nameToken;
    return true;
  }
  Reader r(text);
  if (!r.Literal(kRecordHead) || !r.Literal("token ") || !r.Text(record.token) || !r.Literal("\n"))
    return false;
  std::set<int> numbers;
  while (!r.AtEnd()) {
    if (r.Literal("dir ")) {
      std::string dir;
      if (record.prepared || !r.Text(dir) || !r.Literal("\n") || dir.empty()) return false;
      record.dirs.push_back(std::move(dir));
    } else if (r.Literal("step ")) {
      RecordStep step;
      long long dir = 0, staged = 0, prior = 0, secret = 0;
      if (record.prepared || !r.Number(dir) || !r.Literal(" ") || !r.Text(step.relative) ||
          !r.Literal(" ") || !r.Number(staged) || !r.Literal(" ") || !r.Number(prior) ||
          !r.Literal(" ") || !r.Number(secret) || !r.Literal("\n"))
        return false;
      if (dir < 0 || static_cast<std::size_t>(dir) >= record.dirs.size()) return false;
      for (const long long n : {staged, prior}) {
        if (n < -1 || n >= kMaxStaged) return false;
        if (n >= 0 && !numbers.insert(static_cast<int>(n)).second) return false;
      }
      if (staged < 0 && prior < 0) return false;  // a step changes something
      step.dir = static_cast<std::size_t>(dir);
      step.staged = static_cast<int>(staged);
      step.prior = static_cast<int>(prior);
      step.secret = secret != 0;
      record.steps.push_back(std::move(step));
    } else if (r.Literal("given ")) {
      long long step = 0;
      if (record.prepared || !record.given.empty() || !r.Number(step) || !r.Literal(" ") ||
          !r.Text(record.given) || !r.Literal("\n") || record.given.empty())
        return false;
      if (step < 0 || static_cast<std::size_t>(step) >= record.steps.size()) return false;
      record.givenStep = static_cast<std::size_t>(step);
    } else if (r.Literal("prepared\n")) {
      if (record.prepared) return false;
      record.prepared = true;
    } else if (r.Literal("commit\n")) {
      if (!record.prepared || record.committed) return false;
      record.committed = true;
    } else if (r.Literal("abort\n")) {
      if (!record.committed || record.aborted) return false;
      record.aborted = true;
    } else {
      // A line cut short by a stop while it was written counts as not written: a record whose
      // "prepared" line is missing had nothing staged yet.
      return true;
    }
  }
  return true;
}

// ---- the steps, each of which can be repeated after a stop ----

// Removes a file of the change; tried twice. True when it is gone.
// Runs a step until it succeeds: twice, and on Windows, where a file another process has open
// for a moment (a reader, a scanner) refuses a rename or removal for that moment, a few more
// times with short pauses in between.
template <typename Step>
bool Persist(Step step) {
  constexpr int kAttempts = platform::kCaseInsensitiveFileNames ? 8 : 2;
  auto pause = std::chrono::milliseconds(1);
  for (int attempt = 1;; ++attempt) {
    if (step()) return true;
    if (attempt == kAttempts) return false;
    if (attempt >= 2) {
      std::this_thread::sleep_for(pause);
      pause *= 2;
    }
  }
}

bool RemoveOwn(const std::string& path) {
  if (!FileExists(path)) return true;
  return Persist([&] { return DeleteFile(path) || !FileExists(path); });
}

// Renames `from` over `to`. Two names of one file leave the source name only.
bool RenameOver(const std::string& from, const std::string& to) {
  if (FileExists(to) && SameFile(from, to)) return RemoveOwn(from);
  return Persist([&] { return platform::RenameFile(from, to); });
}

// The paths of one step, resolved in the change's directories.
struct StepFiles {
  std::string final;
  std::string staged;  // empty when the step removes its final file
  std::string prior;   // empty when the final file did not exist
  bool secret = false;
};

std::vector<StepFiles> Resolve(const Record& record) {
  std::vector<StepFiles> files;
  for (const RecordStep& s : record.steps) {
    StepFiles f;
    f.final = JoinPath(record.dirs[s.dir], s.relative);
    if (s.staged >= 0)
      f.staged = StagedFile(record.dirs[s.dir], s.relative, record.token, s.staged);
    if (s.prior >= 0) f.prior = StagedFile(record.dirs[s.dir], s.relative, record.token, s.prior);
    f.secret = s.secret;
    files.push_back(std::move(f));
  }
  return files;
}

bool Forward(const StepFiles& f) {
  if (!f.staged.empty()) return !FileExists(f.staged) || RenameOver(f.staged, f.final);
  return RemoveOwn(f.final);  // its content stays under the prior name until the end
}

bool Undo(const StepFiles& f) {
  if (!f.prior.empty()) return !FileExists(f.prior) || RenameOver(f.prior, f.final);
  // A final file that did not exist goes back under its staged name.
  if (FileExists(f.final) && !FileExists(f.staged)) return RenameOver(f.final, f.staged);
  return true;
}

void SyncDirectoriesOf(const std::vector<StepFiles>& files) {
  std::set<std::string> dirs;
  for (const StepFiles& f : files) dirs.insert(DirectoryPart(f.final));
  for (const std::string& dir : dirs) platform::SyncDirectory(dir);
}

// True when the files `a` and `b` hold the same bytes (small files only).
bool SameBytes(const std::string& a, const std::string& b) {
  if (SameFile(a, b)) return true;
  const auto first = platform::ReadWholeFile(a, 1u << 20);
  const auto second = platform::ReadWholeFile(b, 1u << 20);
  return first && second && *first == *second;
}

// Removes a file given to an operation once its content is installed as `installed`; true when it
// is gone. It is removed only while it holds exactly that content.
bool RemoveGivenFile(const std::string& given, const std::string& installed) {
  if (!platform::IsRegularFile(given)) return !FileExists(given);
  if (!SameBytes(given, installed)) return false;
  if (!RemoveOwn(given)) return false;
  platform::SyncDirectory(DirectoryPart(given));
  return true;
}

// Removes the staged new contents (secret keys first) or the priors; true when all are gone.
bool RemoveStaged(const std::vector<StepFiles>& files, bool priors) {
  bool gone = true;
  for (const bool secret : {true, false})
    for (const StepFiles& f : files) {
      const std::string& path = priors ? f.prior : f.staged;
      if (f.secret == secret && !path.empty()) gone = RemoveOwn(path) && gone;
    }
  SyncDirectoriesOf(files);
  return gone;
}

// Carries a record out as far as it says: true when nothing of it is left.
bool Settle(const Record& record, const std::string& recordPath) {
  const std::vector<StepFiles> files = Resolve(record);
  if (!record.prepared) {
    // Stopped while the record was written: nothing was staged yet.
  } else if (!record.committed) {
    if (!RemoveStaged(files, false) || !RemoveStaged(files, true)) return false;
  } else if (!record.aborted) {
    for (const StepFiles& f : files)
      if (!Forward(f)) return false;
    SyncDirectoriesOf(files);
    // The given file goes when it still holds what was installed; otherwise it stays, whole.
    if (!record.given.empty()) RemoveGivenFile(record.given, files[record.givenStep].final);
    if (!RemoveStaged(files, true)) return false;
  } else {
    for (auto it = files.rbegin(); it != files.rend(); ++it)
      if (!Undo(*it)) return false;
    SyncDirectoriesOf(files);
    if (!RemoveStaged(files, false)) return false;
  }
  if (!RemoveOwn(recordPath)) return false;
  platform::SyncDirectory(DirectoryPart(recordPath));
  return true;
}

// Why a record found in `dir` is not obeyed; empty when it is.
std::string Refusal(const std::string& dir, const std::string& path, const Record& record,
                    bool parsed, std::string_view nameToken, bool othersAllowed) {
  if (!parsed) return "it is not a record";
  if (record.token != nameToken) return "its token is not the one of its name";
  if (!platform::OwnedByCurrentUser(path) || !platform::OwnedByCurrentUser(dir))
    return "it or its directory belongs to another account";
  if (!record.prepared) return {};  // stopped while it was written: it only goes
  if (record.dirs.empty() || !SameDir(CanonicalDir(record.dirs[0]), CanonicalDir(dir)))
    return "it names another directory as its own";
  for (const std::string& named : record.dirs) {
    if (!othersAllowed && !SameDir(CanonicalDir(named), CanonicalDir(dir)))
      return "it names a directory other than its own";
    if (!HoldsDirectoryLock(named)) return "it names a directory that is not locked: " + named;
  }
  std::set<std::string> finals;
  for (const RecordStep& s : record.steps) {
    if (!IsPlainRelativeName(s.relative)) return "it names a file outside its directories";
    if (!finals.insert(std::to_string(s.dir) + "/" + s.relative).second)
      return "it names a file twice";
  }
  return {};
}

}  // namespace

bool IsReservedFileName(std::string_view name) noexcept {
  try {
    const std::string lower = AsciiLower(name);
    return lower.starts_with(kOwnPrefix) || lower == ".vornak2.lock" || lower == ".vornak2.change";
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
    std::string canonical = CanonicalDir(dir);
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
    platform::DirectoryLock lock;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      const auto attempt = lock.TryLock(canonical);
      if (attempt != platform::DirectoryLock::Attempt::kBusy) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        Release();
        covered_.clear();
        return;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(25));
    }
    if (!lock.Held()) continue;  // a directory that cannot be opened: nothing in it changes
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
  for (const std::string& key : taken_) LocksOfThreads().Remove(key);
  taken_.clear();
  locks_.clear();
  held_ = false;
}

bool HoldsDirectoryLock(const std::string& dir) {
  const std::string canonical = CanonicalDir(dir);
  return !canonical.empty() && LocksOfThreads().Holds(LockKey(canonical));
}

bool SameDirectory(const std::string& a, const std::string& b) {
  const std::string first = CanonicalDir(a);
  return !first.empty() && SameDir(first, CanonicalDir(b));
}

// ---- FileChange ----

FileChange::FileChange(std::string home) : homePath_(std::move(home)) {
  DirIndex(homePath_);
}

FileChange::~FileChange() {
  if (prepared_ && !done_) GiveUp();
  for (Step& s : steps_)
    if (s.secret) SecureWipe(s.data.data(), s.data.size());
}

std::size_t FileChange::DirIndex(const std::string& root) {
  const std::string withSeparator = AddPathSeparator(root);
  for (std::size_t i = 0; i < roots_.size(); ++i)
    if (roots_[i] == withSeparator) return i;
  std::string canonical = CanonicalDir(root);
  if (canonical.empty()) throw std::runtime_error("the directory " + root + " cannot be resolved");
  for (std::size_t i = 0; i < dirs_.size(); ++i)
    if (SameDir(dirs_[i], canonical)) return i;
  roots_.push_back(withSeparator);
  dirs_.push_back(std::move(canonical));
  return dirs_.size() - 1;
}

void FileChange::Add(const std::string& root, const std::string& file, Step step) {
  if (prepared_) throw std::logic_error("a step added to a prepared change");
  step.dir = DirIndex(root);
  const std::string& prefix = roots_[step.dir];
  if (file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0)
    throw std::runtime_error("the file " + file + " is not inside " + prefix);
  for (const char c : file.substr(prefix.size()))
    step.relative.push_back(c == kSeparator ? '/' : c);
  if (!IsPlainRelativeName(step.relative))
    throw std::runtime_error("the file " + file + " has no plain name inside " + prefix);
  for (const Step& s : steps_)
    if (s.dir == step.dir && s.relative == step.relative)
      throw std::logic_error("one file in two steps of a change");
  step.file = file;
  steps_.push_back(std::move(step));
}

void FileChange::Write(const std::string& root, const std::string& file,
                       std::span<const std::uint8_t> data, bool secret) {
  Step step;
  step.data.assign(data.begin(), data.end());
  step.secret = secret;
  Add(root, file, std::move(step));
}

void FileChange::Copy(const std::string& root, const std::string& file, const std::string& source,
                      bool secret) {
  Step step;
  step.source = source;
  step.secret = secret;
  Add(root, file, std::move(step));
}

void FileChange::Remove(const std::string& root, const std::string& file) {
  Step step;
  step.remove = true;
  Add(root, file, std::move(step));
}

void FileChange::RemoveGiven(const std::string& given, const std::string& installed) {
  if (prepared_ || !given_.empty()) throw std::logic_error("a given file added twice");
  given_ = given;
  installedFile_ = installed;
}

std::string FileChange::StagedName(const Step& step, int number) const {
  return StagedFile(roots_[step.dir], step.relative, token_, number);
}

std::string FileChange::StagedPath(const std::string& file) const {
  for (const Step& s : steps_)
    if (s.file == file && s.staged >= 0) return StagedName(s, s.staged);
  return {};
}

std::string FileChange::RecordText() const {
  std::string text(kRecordHead);
  text.append("token ");
  AppendText(text, token_);
  text.push_back('\n');
  for (const std::string& dir : dirs_) {
    text.append("dir ");
    AppendText(text, dir);
    text.push_back('\n');
  }
  for (const Step& s : steps_) {
    text.append("step ").append(std::to_string(s.dir)).push_back(' ');
    AppendText(text, s.relative);
    text.append(" ").append(std::to_string(s.staged));
    text.append(" ").append(std::to_string(s.prior));
    text.append(s.secret ? " 1\n" : " 0\n");
  }
  if (!given_.empty()) {
    text.append("given ").append(std::to_string(givenStep_)).push_back(' ');
    AppendText(text, given_);
    text.push_back('\n');
  }
  text.append("prepared\n");
  return text;
}

bool FileChange::Append(std::string_view line) {
  return platform::AppendToFile(
      record_, std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
}

bool FileChange::Prepare() {
  if (prepared_) return false;
  for (const std::string& dir : dirs_)
    if (!HoldsDirectoryLock(dir)) return false;
  token_ = NewToken();
  // A file to remove that is gone already needs no step.
  std::erase_if(steps_, [](const Step& s) { return s.remove && !FileExists(s.file); });
  if (!given_.empty()) {
    const auto it = std::find_if(steps_.begin(), steps_.end(),
                                 [&](const Step& s) { return s.file == installedFile_; });
    if (it == steps_.end() || it->remove) return false;
    givenStep_ = static_cast<std::size_t>(it - steps_.begin());
  }
  // Numbers: the staged new content, then the prior, of each step in turn.
  int number = 0;
  for (Step& s : steps_) {
    if (!s.remove) s.staged = number++;
    if (FileExists(s.file)) s.prior = number++;
  }
  record_ = JoinPath(roots_[0], RecordName(token_));
  const std::string text = RecordText();
  if (!platform::WriteNewFile(
          record_, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))) {
    platform::RemoveFile(record_);
    return false;
  }
  platform::SyncDirectory(roots_[0]);
  prepared_ = true;
  for (const Step& s : steps_) {
    bool ok = true;
    if (s.prior >= 0) {
      // A second name of the present content; a copy where the file system has no links.
      const std::string prior = StagedName(s, s.prior);
      if (!platform::LinkFile(s.file, prior)) {
        const auto old = platform::ReadWholeFile(s.file, 1u << 20);
        ok = old && platform::WriteNewFile(prior, *old, /*ownerOnly=*/true);
      }
    }
    if (ok && s.staged >= 0) {
      const std::string staged = StagedName(s, s.staged);
      if (!s.source.empty()) {
        if (!platform::LinkFile(s.source, staged)) {
          const auto data = platform::ReadWholeFile(s.source, 1u << 20);
          ok = data && platform::WriteNewFile(staged, *data, s.secret);
        }
      } else {
        ok = platform::WriteNewFile(staged, s.data, s.secret);
      }
    }
    if (!ok) {
      GiveUp();
      return false;
    }
  }
  std::set<std::string> folders;
  for (const Step& s : steps_) folders.insert(DirectoryPart(s.file));
  for (const std::string& folder : folders) platform::SyncDirectory(folder);
  return true;
}

void FileChange::GiveUp() noexcept {
  try {
    if (done_) return;
    done_ = true;
    Record record;
    record.token = token_;
    record.dirs = roots_;
    for (const Step& s : steps_)
      record.steps.push_back(RecordStep{s.dir, s.relative, s.staged, s.prior, s.secret});
    record.prepared = true;
    record.committed = committed_;
    record.aborted = committed_;
    record.given = given_;
    record.givenStep = givenStep_;
    // What cannot be undone now stays recorded for the next holder of the locks.
    Settle(record, record_);
  } catch (...) {
  }
}

bool FileChange::Commit() {
  if (!prepared_ || done_) return false;
  if (!Append("commit\n")) {
    GiveUp();
    return false;
  }
  committed_ = true;
  Record record;
  record.token = token_;
  record.dirs = roots_;
  for (const Step& s : steps_)
    record.steps.push_back(RecordStep{s.dir, s.relative, s.staged, s.prior, s.secret});
  const std::vector<StepFiles> files = Resolve(record);
  bool ok = true;
  for (const StepFiles& f : files)
    if (!(ok = Forward(f))) break;
  if (ok) SyncDirectoriesOf(files);
  if (ok && !given_.empty()) ok = RemoveGivenFile(given_, files[givenStep_].final);
  if (!ok) {
    // The record says the change is given up before anything is undone, so that a stop now
    // cannot carry it to its end later.
    Append("abort\n");
    GiveUp();
    return false;
  }
  done_ = true;
  // The change is complete; a clean-up that fails leaves the record for the next holder.
  if (RemoveStaged(files, true) && RemoveOwn(record_)) platform::SyncDirectory(roots_[0]);
  return true;
}

// ---- recovery ----

bool HasChangeRecords(const std::string& dir) {
  if (dir.empty()) return false;
  const auto entries = platform::ListDirectory(dir);
  if (!entries) return false;
  return std::any_of(entries->begin(), entries->end(), [](const platform::DirEntry& e) {
    return !e.isDirectory && !RecordToken(e.name).empty();
  });
}

bool RecoverChanges(const std::string& dir, bool othersAllowed, std::string* refused,
                    int* settled) {
  if (dir.empty()) return true;
  const auto entries = platform::ListDirectory(dir);
  if (!entries) return true;
  bool clear = true;
  for (const platform::DirEntry& entry : *entries) {
    const std::string_view token = RecordToken(entry.name);
    if (entry.isDirectory || token.empty()) continue;
    const std::string path = AddPathSeparator(dir).append(entry.name);
    const auto bytes = platform::ReadWholeFile(path, kMaxRecordSize);
    Record record;
    const bool parsed =
        bytes &&
        ParseRecord(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
                    token, record);
    const std::string why = Refusal(dir, path, record, parsed, token, othersAllowed);
    if (!why.empty()) {
      if (refused != nullptr)
        refused->append(refused->empty() ? "" : "; ").append(path).append(": ").append(why);
      continue;
    }
    if (!Settle(record, path)) {
      clear = false;
    } else if (settled != nullptr && record.committed) {
      ++*settled;
    }
  }
  return clear;
}

// ---- one file ----

bool ReplaceFileDurably(const std::string& path, std::span<const std::uint8_t> data,
                        bool ownerOnly) {
  std::string dir = DirectoryPart(path);
  if (dir.empty()) dir = std::string(".") + kSeparator;
  const DirectoryLocks locks({dir}, LockWait());
  if (!locks.Held()) return false;
  RecoverChanges(dir, false);
  FileChange change(dir);
  change.Write(dir, path, data, ownerOnly);
  return change.Prepare() && change.Commit();
}

}  // namespace vornak2
