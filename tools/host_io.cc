#include "host_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "host_api.h"
#include "host_explain.h"
#include "platform/diagnostics.h"
#include "platform/platform.h"
#include "support/secure.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vornak2::host {

namespace {

Streams g_streams;
std::FILE* g_data = nullptr;

constexpr std::uint64_t kProgressFrom = 4u << 20;  // bytes; smaller inputs take no time to see
constexpr std::size_t kChunk = 8u << 20;           // bytes read or written between progress lines

#ifdef _WIN32
using Stat = struct _stat64;
int Fstat(int fd, Stat& info) {
  return _fstat64(fd, &info);
}
bool IsRegular(const Stat& info) {
  return (info.st_mode & _S_IFMT) == _S_IFREG;
}
int OpenForReading(const std::string& path) {
  return _open(path.c_str(), _O_RDONLY | _O_BINARY);
}
long long ReadSome(int fd, void* to, std::size_t count) {
  return _read(fd, to, static_cast<unsigned>(std::min<std::size_t>(count, 1u << 30)));
}
void CloseFd(int fd) {
  _close(fd);
}
bool IsTerminal(int fd) {
  return _isatty(fd) != 0;
}
void* AllocatePages(std::size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
void FreePages(void* pages, std::size_t) {
  VirtualFree(pages, 0, MEM_RELEASE);
}
// Windows cannot move pages to a larger range: the data are copied, and the old pages wiped.
void* GrowPages(void* pages, std::size_t size, std::size_t bigger) {
  void* moved = AllocatePages(bigger);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, pages, size);
  SecureWipe(pages, size);
  FreePages(pages, size);
  return moved;
}
const void* MapReadOnly(int fd, std::size_t size) {
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return nullptr;
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  CloseHandle(mapping);  // the view keeps the mapping
  return view;
}
void Unmap(const void* view, std::size_t) {
  UnmapViewOfFile(view);
}
#else
using Stat = struct stat;
int Fstat(int fd, Stat& info) {
  return ::fstat(fd, &info);
}
bool IsRegular(const Stat& info) {
  return S_ISREG(info.st_mode);
}
int OpenForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}
long long ReadSome(int fd, void* to, std::size_t count) {
  return ::read(fd, to, count);
}
long long WriteSome(int fd, const void* from, std::size_t count) {
  return ::write(fd, from, count);
}
void CloseFd(int fd) {
  ::close(fd);
}
bool IsTerminal(int fd) {
  return ::isatty(fd) != 0;
}
void* AllocatePages(std::size_t size) {
  void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // Large pages: far fewer faults while the kernel hands out a large buffer.
  ::madvise(pages, size, MADV_HUGEPAGE);
#endif
  return pages;
}
void FreePages(void* pages, std::size_t size) {
  ::munmap(pages, size);
}
// The kernel moves the pages to the larger range: nothing is copied, and pages never written
// stay unallocated.
void* GrowPages(void* pages, std::size_t size, std::size_t bigger) {
  void* moved = ::mremap(pages, size, bigger, MREMAP_MAYMOVE);
  return moved == MAP_FAILED ? nullptr : moved;
}
const void* MapReadOnly(int fd, std::size_t size) {
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (view == MAP_FAILED) return nullptr;
  ::madvise(view, size, MADV_SEQUENTIAL);
  return view;
}
void Unmap(const void* view, std::size_t size) {
  ::munmap(const_cast<void*>(view), size);
}
#endif

// Closes a descriptor that the tool opened (not standard input).
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd > 2) CloseFd(fd);
  }
};

std::string Shown(const std::string& path) {
  return path == "-" ? std::string("standard input") : path;
}

// The input opened for reading, after the checks a named file gets; -1 with `problem` set.
int OpenInput(const std::string& path, std::uint64_t limit, std::string& problem) {
  if (path == "-") {
#ifdef _WIN32
    _setmode(0, _O_BINARY);
#endif
    return 0;
  }
  if (const auto why = InputProblem(path, limit)) {
    problem = *why;
    return -1;
  }
  const int fd = OpenForReading(path);
  if (fd < 0) problem = "cannot read " + path + ": " + std::strerror(errno);
  return fd;
}

// The size of a regular file behind `fd`, checked against the limit; nullopt for a pipe or
// terminal, whose size shows only by reading it.
std::optional<std::uint64_t> RegularSize(int fd) {
  Stat info{};
  if (Fstat(fd, info) != 0 || !IsRegular(info)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

bool SizeProblem(const std::string& path, std::uint64_t size, std::uint64_t limit,
                 std::string& problem) {
  if (size == 0) {
    problem = Shown(path) + " is empty: there is nothing to work on";
    return true;
  }
  if (size > limit) {
    problem = Shown(path) + " is more than " + std::to_string(limit) +
              " bytes, the most one call of the library can take here; split the data";
    return true;
  }
  return false;
}

#ifdef _WIN32
// Standard output and standard error, where they are the console, go into one pipe; a thread
// reads it and writes the text to the console as UTF-16. One pipe keeps the order of the two.
class WideConsole {
 public:
  WideConsole() {
    const bool out = IsConsole(GetStdHandle(STD_OUTPUT_HANDLE));
    const bool err = IsConsole(GetStdHandle(STD_ERROR_HANDLE));
    if (!out && !err) return;
    console_ = GetStdHandle(out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, nullptr, 0)) return;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
      CloseHandle(read);
      CloseHandle(write);
      return;
    }
    read_ = read;
    std::fflush(stdout);
    std::fflush(stderr);
    if (out) _dup2(fd, 1);
    if (err) _dup2(fd, 2);
    _close(fd);
    // Each line reaches the pipe (and so the console) when it is printed.
    if (out) std::setvbuf(stdout, nullptr, _IONBF, 0);
    reader_ = CreateThread(nullptr, 0, &WideConsole::Pump, this, 0, nullptr);
    SetTerminalUtf8(true);
  }
  ~WideConsole() {
    if (reader_ == nullptr) return;
    // The last text, then the end of the pipe: the reader writes what is left and stops.
    std::fflush(stdout);
    std::fflush(stderr);
    if (g_data != nullptr && g_data != stdout) {
      std::fclose(g_data);  // a copy of the pipe's end, which would keep it open
      g_data = nullptr;
    }
    const int null = _open("NUL", _O_WRONLY);
    _dup2(null, 1);
    _dup2(null, 2);
    _close(null);
    WaitForSingleObject(reader_, 5000);
    CloseHandle(reader_);
    CloseHandle(read_);
  }
  WideConsole(const WideConsole&) = delete;
  WideConsole& operator=(const WideConsole&) = delete;

 private:
  static bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
  }
  static DWORD WINAPI Pump(void* self) {
    static_cast<WideConsole*>(self)->Run();
    return 0;
  }
  void Run() {
    std::string pending;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      pending.append(chunk, got);
      // Up to the last whole UTF-8 sequence; a sequence cut by the read waits for its rest.
      std::size_t whole = pending.size();
      for (std::size_t back = 0; back < 4 && back < pending.size(); ++back) {
        const auto byte = static_cast<unsigned char>(pending[pending.size() - 1 - back]);
        if ((byte & 0xC0) != 0x80) {
          const std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
          if (back + 1 < length) whole = pending.size() - 1 - back;
          break;
        }
      }
      Write(pending.substr(0, whole));
      pending.erase(0, whole);
    }
    Write(pending);
  }
  void Write(const std::string& utf8) {
    if (utf8.empty()) return;
    const int size = static_cast<int>(utf8.size());
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), size);
    DWORD written = 0;
    if (length > 0)
      WriteConsoleW(console_, wide.data(), static_cast<DWORD>(length), &written, nullptr);
  }

  HANDLE console_ = nullptr;
  HANDLE read_ = nullptr;
  HANDLE reader_ = nullptr;
};
#endif

// ---- removal on interruption ----
// The registered paths live in fixed slots that the signal handler reads without allocating;
// the main thread changes a slot only with the signals blocked (POSIX) or under the slots' lock
// that the console handler takes too (Windows).
constexpr int kSlots = 8;
constexpr std::size_t kSlotPath = 4096;
struct Slot {
  volatile std::sig_atomic_t used = 0;
  RemoveOnInterrupt::Kind kind = RemoveOnInterrupt::Kind::kFile;
  char path[kSlotPath] = {};
};
Slot g_slots[kSlots];
// Set while a progress line is on the terminal: an interruption clears it.
volatile std::sig_atomic_t g_lineShown = 0;
// What clears the progress line: back to its start, blanks over it, back again.
constexpr char kClearLine[] =
    "\r                                                                               \r";

void RemoveRegistered(bool (*removeFile)(const char*), bool (*removeDir)(const char*)) {
  for (const auto kind : {RemoveOnInterrupt::Kind::kSecretFile, RemoveOnInterrupt::Kind::kFile,
                          RemoveOnInterrupt::Kind::kDirectory}) {
    for (Slot& slot : g_slots) {
      if (slot.used == 0 || slot.kind != kind) continue;
      if (kind == RemoveOnInterrupt::Kind::kDirectory)
        removeDir(slot.path);
      else
        removeFile(slot.path);
    }
  }
}

#ifdef _WIN32
CRITICAL_SECTION* SlotLock() {
  static CRITICAL_SECTION* lock = [] {
    static CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    return &section;
  }();
  return lock;
}
struct SlotGuard {
  SlotGuard() { EnterCriticalSection(SlotLock()); }
  ~SlotGuard() { LeaveCriticalSection(SlotLock()); }
};

// Set once the command's outcome is in place: the console events are then held (HoldInterruptions).
volatile std::sig_atomic_t g_held = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (g_held != 0) return TRUE;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  EnterCriticalSection(SlotLock());  // held until the process ends
  RemoveRegistered([](const char* path) { return DeleteFileA(path) != 0; },
                   [](const char* path) { return RemoveDirectoryA(path) != 0; });
  if (g_lineShown != 0) std::fputs(kClearLine, stderr);
  std::fflush(stderr);
  ExitProcess(0xC000013A);  // STATUS_CONTROL_C_EXIT, what an interrupted console program ends with
}
#else
// Blocks the handled signals for the life of the object.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};
using SlotGuard = SignalsBlocked;

extern "C" void OnInterrupt(int sig) {
  const int saved = errno;
  RemoveRegistered([](const char* path) { return ::unlink(path) == 0; },
                   [](const char* path) { return ::rmdir(path) == 0; });
  if (g_lineShown != 0) (void)!::write(2, kClearLine, sizeof kClearLine - 1);
  // The process ends by the same signal, as the shell and the caller expect of an interruption:
  // it is delivered again, with its default action, once this handler returns.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
  errno = saved;
}
#endif

}  // namespace

void HoldInterruptions() {
#ifdef _WIN32
  g_held = 1;
#else
  sigset_t handled;
  sigemptyset(&handled);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, sig);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
#endif
}

void InstallInterruptHandlers() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, sig);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
#endif
}

RemoveOnInterrupt::RemoveOnInterrupt(const std::string& path, Kind kind) {
  if (path.empty() || path.size() >= kSlotPath) return;
  const SlotGuard guard;
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = g_slots[i];
    if (slot.used != 0) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.kind = kind;
    slot.used = 1;
    slot_ = i;
    return;
  }
}

RemoveOnInterrupt::RemoveOnInterrupt(RemoveOnInterrupt&& other) noexcept
    : slot_(std::exchange(other.slot_, -1)) {}

RemoveOnInterrupt& RemoveOnInterrupt::operator=(RemoveOnInterrupt&& other) noexcept {
  if (this != &other) {
    Forget();
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
  Forget();
}

void RemoveOnInterrupt::Forget() noexcept {
  if (slot_ < 0) return;
  const SlotGuard guard;
  g_slots[slot_].used = 0;
  slot_ = -1;
}

void StartConsoleOutput() {
#ifdef _WIN32
  static WideConsole console;
#endif
}

void SetUpStreams(const Streams& streams) {
  g_streams = streams;
  std::fflush(stdout);
  // Status text: standard error, nothing with --quiet or --json; a narrating command keeps
  // standard output for its story.
  const bool silent = streams.quiet || streams.json;
#ifdef _WIN32
  const int data = _dup(1);
  g_data = data >= 0 ? _fdopen(data, "wb") : nullptr;
  if (g_data != nullptr) _setmode(data, _O_BINARY);
  if (silent) {
    const int null = _open("NUL", _O_WRONLY);
    if (null >= 0) {
      _dup2(null, 1);
      _close(null);
    }
  } else if (!streams.narrates || streams.dataOnStdout) {
    _dup2(2, 1);
  }
#else
  const int data = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  g_data = data >= 0 ? ::fdopen(data, "wb") : nullptr;
  if (silent) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, 1);
      ::close(null);
    }
  } else if (!streams.narrates || streams.dataOnStdout) {
    ::dup2(2, 1);
  }
#endif
  // Status lines reach standard error in the order they are printed, among its other lines.
  if (!streams.narrates) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  if (g_data == nullptr) g_data = stdout;
}

std::FILE* DataOut() {
  return g_data != nullptr ? g_data : stdout;
}

std::FILE* ResultOut() {
  return g_streams.dataOnStdout ? stderr : DataOut();
}

bool Quiet() {
  return g_streams.quiet || g_streams.json;
}

bool JsonResults() {
  return g_streams.json;
}

// ---- progress ----
namespace {

std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  const double s = std::chrono::duration<double>(elapsed).count();
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

std::string Rate(std::uint64_t bytes, std::chrono::steady_clock::duration elapsed) {
  const double s = std::chrono::duration<double>(elapsed).count();
  if (s < 0.05) return {};
  char text[32];
  std::snprintf(text, sizeof text, ", %.0f MiB/s", static_cast<double>(bytes) / s / (1 << 20));
  return text;
}

}  // namespace

struct Progress::Ticker {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Progress::Progress(std::string what, std::uint64_t total)
    : what_(std::move(what)),
      total_(total),
      terminal_(!Quiet() && IsTerminal(2)),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
  StopTicker();
  if (shown_) {
    std::fputs(kClearLine, stderr);
    std::fflush(stderr);
    g_lineShown = 0;
  }
}

void Progress::Show(const std::string& line) {
  std::fprintf(stderr, "\r%-79.79s", ("vornak2-host: " + line).c_str());
  std::fflush(stderr);
  shown_ = true;
  g_lineShown = 1;
}

void Progress::Advance(std::uint64_t done) {
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  const auto elapsed = now - start_;
  if (total_ == 0) {
    // A pipe: the bytes so far, at most ten lines a second.
    if (done < kProgressFrom || now - lastShown_ < std::chrono::milliseconds(100)) return;
    lastShown_ = now;
    Show(what_ + ": " + std::to_string(done >> 20) + " MiB, " + Seconds(elapsed) +
         Rate(done, elapsed));
    return;
  }
  if (total_ < kProgressFrom) return;
  const int percent = static_cast<int>(std::min<std::uint64_t>(done, total_) * 100 / total_);
  if (percent == last_) return;
  last_ = percent;
  Show(what_ + ": " + std::to_string(percent) + "% of " + std::to_string(total_ >> 20) + " MiB, " +
       Seconds(elapsed) + Rate(done, elapsed));
}

void Progress::StartTicker(const char* doing) {
  if (!terminal_ || total_ < kProgressFrom || ticker_ != nullptr) return;
  ticker_ = std::make_unique<Ticker>();
  const std::string line =
      std::string(doing) + " " + what_ + " (" + std::to_string(total_ >> 20) + " MiB): ";
  const auto began = std::chrono::steady_clock::now();
  Show(line + "0.0 s");
  ticker_->thread = std::thread([this, line, began] {
    std::unique_lock lock(ticker_->mutex);
    while (!ticker_->wake.wait_for(lock, std::chrono::milliseconds(250),
                                   [this] { return ticker_->stop; }))
      Show(line + Seconds(std::chrono::steady_clock::now() - began));
  });
}

void Progress::StopTicker() {
  if (ticker_ == nullptr) return;
  {
    const std::lock_guard lock(ticker_->mutex);
    ticker_->stop = true;
  }
  ticker_->wake.notify_one();
  ticker_->thread.join();
  ticker_.reset();
}

// ---- regions ----
Region::Region(Region&& other) noexcept {
  *this = std::move(other);
}

Region& Region::operator=(Region&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    used_ = std::exchange(other.used_, 0);
    mapped_ = std::exchange(other.mapped_, false);
    writable_ = std::exchange(other.writable_, false);
    inOutput_ = std::exchange(other.inOutput_, false);
  }
  return *this;
}

Region::~Region() {
  Release();
}

void Region::Release() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    Unmap(data_, capacity_);  // a view of a file: the file keeps the bytes, or is removed
  } else if (writable_) {
    // Only what was written: wiping the rest would first make the kernel hand out its pages.
    SecureWipe(data_, std::min(used_, capacity_));
    FreePages(data_, capacity_);
  }
  data_ = nullptr;
  size_ = capacity_ = used_ = 0;
  mapped_ = writable_ = inOutput_ = false;
}

bool Region::Grow(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  void* pages = data_ == nullptr ? AllocatePages(capacity) : GrowPages(data_, capacity_, capacity);
  if (pages == nullptr) return false;
  data_ = static_cast<std::uint8_t*>(pages);
  capacity_ = capacity;
  writable_ = true;
  return true;
}

void Region::Resize(std::size_t size) {
  if (!writable_ || size > capacity_) return;
  if (size < size_) SecureWipe(data_ + size, size_ - size);
  size_ = size;
  used_ = std::max(used_, size);
}

std::optional<Region> Region::Map(const std::string& path, std::uint64_t limit,
                                  std::string& problem) {
  const int fd = OpenInput(path, limit, problem);
  if (fd < 0) return std::nullopt;
  const FdCloser closer{fd};
  const auto size = RegularSize(fd);
  if (!size) return Read(path, limit, 0, problem);
  if (SizeProblem(path, *size, limit, problem)) return std::nullopt;
  const void* view = MapReadOnly(fd, static_cast<std::size_t>(*size));
  if (view == nullptr) return Read(path, limit, 0, problem);
  Region region;
  region.data_ = const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(view));
  region.size_ = region.capacity_ = static_cast<std::size_t>(*size);
  region.mapped_ = true;
  // Bring the pages in now, in pieces, so that a terminal shows how far the reading is.
  Progress progress("reading " + Shown(path), *size);
  volatile std::uint8_t sink = 0;
  for (std::size_t at = 0; at < region.size_; at += 4096) {
    sink = sink ^ region.data_[at];
    if (at % kChunk == 0) progress.Advance(at);
  }
  return region;
}

std::optional<Region> Region::Read(const std::string& path, std::uint64_t limit, std::size_t room,
                                   std::string& problem) {
  // A file mapped by Map and read again here only when it could not be mapped: open it anew.
  const int fd = OpenInput(path, limit, problem);
  if (fd < 0) return std::nullopt;
  const FdCloser closer{fd};
  Region region;
  const auto size = RegularSize(fd);
  if (size && SizeProblem(path, *size, limit, problem)) return std::nullopt;
  // A file is read into a buffer of its size and the room; a pipe into one that grows (its
  // pages move to the larger range, they are not copied).
  std::size_t capacity = size ? static_cast<std::size_t>(*size) + room : (1u << 20) + room;
  if (!region.Grow(capacity)) {
    problem = "not enough memory for " + Shown(path);
    return std::nullopt;
  }
  Progress progress("reading " + Shown(path), size.value_or(0));
  for (;;) {
    if (region.capacity_ - room == region.size_) {
      if (size) break;  // the whole file; it does not grow while it is read
      if (region.size_ > limit) break;
      if (!region.Grow(std::min<std::uint64_t>(2 * region.capacity_, limit + 1 + room))) {
        problem = "not enough memory for " + Shown(path);
        return std::nullopt;
      }
    }
    const std::size_t want = std::min(kChunk, region.capacity_ - room - region.size_);
    const long long got = ReadSome(fd, region.data_ + region.size_, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      problem = "cannot read " + Shown(path) + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (got == 0) break;
    region.size_ += static_cast<std::size_t>(got);
    region.used_ = region.size_;
    progress.Advance(region.size_);
  }
  if (SizeProblem(path, region.size_, limit, problem)) return std::nullopt;
  // The room after the data is where the library may write.
  region.used_ = std::min(region.capacity_, region.size_ + room);
  return region;
}

std::optional<Region> Region::ReadIntoOutput(const std::string& path, Output& out,
                                             std::uint64_t limit, std::size_t room,
                                             std::string& problem) {
#ifdef _WIN32
  (void)path, (void)out, (void)limit, (void)room, (void)problem;
  return std::nullopt;
#else
  if (out.toStdout() || out.fd_ < 0) return std::nullopt;
  const int fd = path == "-" ? 0 : OpenInput(path, limit, problem);
  if (fd < 0) return std::nullopt;
  const FdCloser closer{fd};
  const auto size = RegularSize(fd);
  if (!size) return std::nullopt;  // a pipe: its size shows only by reading it
  if (SizeProblem(path, *size, limit, problem)) return std::nullopt;
  const std::size_t capacity = static_cast<std::size_t>(*size) + room;
  // The pages of a mapping are written without a system call that could report a full disk: a
  // page the file system cannot store would end the process (SIGBUS). So the space is reserved
  // first; where the file system cannot reserve, the data are made in memory and written.
  const int reserved = out.Reserve(capacity, problem);
  if (reserved <= 0) return std::nullopt;
  void* pages = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, out.fd_, 0);
  if (pages == MAP_FAILED) {
    // The temporary output is dropped whole on this path; a failed cut only leaves it longer.
    (void)!::ftruncate(out.fd_, 0);
    return std::nullopt;
  }
  Region region;
  region.data_ = static_cast<std::uint8_t*>(pages);
  region.capacity_ = capacity;
  region.mapped_ = region.writable_ = region.inOutput_ = true;
  // The kernel copies between the two files' pages where it can; otherwise the input is read
  // into the mapping. Both in pieces, for the progress line.
  Progress progress("reading " + Shown(path), *size);
  loff_t from = 0;
  loff_t to = 0;
  bool kernelCopy = true;
  while (region.size_ < *size) {
    const std::size_t want = std::min<std::size_t>(kChunk, *size - region.size_);
    long long got = -1;
    if (kernelCopy) {
      got = ::copy_file_range(fd, &from, out.fd_, &to, want, 0);
      if (got < 0 && errno != EINTR) {
        kernelCopy = false;
        continue;
      }
    } else {
      got = ::pread(fd, region.data_ + region.size_, want, static_cast<off_t>(region.size_));
    }
    if (got < 0) {
      if (errno == EINTR) continue;
      problem = "cannot read " + Shown(path) + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (got == 0) break;
    region.size_ += static_cast<std::size_t>(got);
    progress.Advance(region.size_);
  }
  if (region.size_ != *size) {
    problem = "cannot read " + Shown(path) + ": it changed while it was read";
    return std::nullopt;
  }
  return region;
#endif
}

// ---- outputs ----
std::string WriteProblem(const std::string& path, int error) {
  const std::string kept =
      platform::PathExists(path) ? "; the existing " + path + " is kept" : std::string();
  switch (error) {
    case ENOSPC:
      return "no space left on " + path + kept;
#ifdef EDQUOT
    case EDQUOT:
      return "disk quota exceeded on " + path + kept;
#endif
    case EFBIG:
      return "cannot write " + path + ": larger than this system lets a file be (" +
             std::strerror(error) + ")" + kept;
    default:
      return "cannot write " + path + ": " + std::strerror(error) + kept;
  }
}

Output::Output(std::string path, std::string temporary, int fd, bool secret, bool outcome)
    : path_(std::move(path)),
      temporary_(std::move(temporary)),
      fd_(fd),
      secret_(secret),
      outcome_(outcome) {
  if (!temporary_.empty())
    interrupt_ = RemoveOnInterrupt(temporary_, secret_ ? RemoveOnInterrupt::Kind::kSecretFile
                                                       : RemoveOnInterrupt::Kind::kFile);
}

Output::Output(Output&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      secret_(other.secret_),
      outcome_(other.outcome_),
      interrupt_(std::move(other.interrupt_)) {
  other.temporary_.clear();
}

Output::~Output() {
  if (fd_ > 2) CloseFd(fd_);
  if (!temporary_.empty()) platform::RemoveFile(temporary_);
}

std::optional<Output> Output::Open(const std::string& path, bool secret, std::string& problem,
                                   bool outcome) {
  if (path == "-") return Output(path, std::string(), -1, secret, outcome);
  if (platform::IsDirectory(path)) {
    problem = "cannot write " + path + ": it is a directory";
    return std::nullopt;
  }
  // Beside the final name, so that the rename stays within one file system.
  const std::string stem = path + ".part" + std::to_string(platform::CurrentThreadId());
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = stem + "-" + std::to_string(attempt);
#ifdef _WIN32
    const int fd =
        _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0) {
      // Windows keeps the name only: the platform's writer makes the file at Commit, and a name
      // that no one holds open can be removed when the command is interrupted.
      _close(fd);
      return Output(path, temporary, -1, secret, outcome);
    }
#else
    const int fd =
        ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return Output(path, temporary, fd, secret, outcome);
#endif
    if (errno != EEXIST) break;
  }
  problem = OutputProblem(path);
  return std::nullopt;
}

int Output::Reserve(std::uint64_t size, std::string& problem) {
#ifdef _WIN32
  (void)size, (void)problem;
  return 0;
#else
  if (fd_ < 0 || size == 0) return 0;
  int error;
  do {
    error = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
  } while (error == EINTR);
  if (error == 0) return 1;
  if (error == EOPNOTSUPP || error == EINVAL || error == ENODEV) return 0;
  (void)!::ftruncate(fd_, 0);  // give back whatever part was reserved
  problem = WriteProblem(path_, error);
  if (error == ENOSPC) problem += " (" + std::to_string(size) + " bytes needed)";
  return -1;
#endif
}

bool Output::Commit(std::span<const std::uint8_t> bytes, std::string& problem) {
  if (toStdout()) {
    std::FILE* out = DataOut();
    if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fflush(out) != 0) {
      problem = std::string("cannot write standard output: ") + std::strerror(errno);
      return false;
    }
    return true;
  }
#ifdef _WIN32
  // Windows keeps who may read a file in its access list: the platform's writer sets it.
  platform::RemoveFile(temporary_);
  temporary_.clear();
  interrupt_.Forget();
  if (!platform::WriteFileAtomic(path_, bytes, secret_)) {
    const int code = platform::LastErrorCode();
    // ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL
    problem = code == 112 || code == 39 ? WriteProblem(path_, ENOSPC) : OutputProblem(path_);
    return false;
  }
  if (outcome_) HoldInterruptions();
  return true;
#else
  if (Reserve(bytes.size(), problem) < 0) return false;
  Progress progress("writing " + path_, bytes.size());
  for (std::size_t done = 0; done < bytes.size();) {
    const long long wrote =
        WriteSome(fd_, bytes.data() + done, std::min(kChunk, bytes.size() - done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      problem = WriteProblem(path_, wrote < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<std::size_t>(wrote);
    progress.Advance(done);
  }
  return Place(problem);
#endif
}

bool Output::CommitInPlace(std::size_t size, std::string& problem) {
#ifdef _WIN32
  (void)size;
  problem = "cannot write " + path_ + " in place";
  return false;
#else
  if (toStdout() || fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    problem = WriteProblem(path_, errno);
    return false;
  }
  return Place(problem);
#endif
}

bool Output::Place(std::string& problem) {
#ifdef _WIN32
  (void)problem;
  return false;
#else
  // The file stays its owner's alone while it is made (it may hold the input before the work
  // turns it into the output); a public output gets the usual permissions once it is complete.
  if (!secret_) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    problem = WriteProblem(path_, errno);
    return false;
  }
  // An interruption comes before the rename (the handler removes the temporary file, the old
  // output stays) or, for the command's outcome, is held from the rename on: the signals are
  // blocked around it and stay blocked once the output is in place.
  sigset_t handled, old;
  sigemptyset(&handled);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, sig);
  pthread_sigmask(SIG_BLOCK, &handled, &old);
  if (!platform::RenameFile(temporary_, path_)) {
    problem = WriteProblem(path_, errno);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return false;
  }
  temporary_.clear();
  interrupt_.Forget();
  if (outcome_)
    HoldInterruptions();
  else
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return true;
#endif
}

// ---- the tool's lock ----
ToolLock::~ToolLock() {
  if (handle_ == -1) return;
#ifdef _WIN32
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
#else
  ::close(static_cast<int>(handle_));
#endif
}

bool ToolLock::Lock(const std::string& dir, std::chrono::milliseconds wait, std::string& problem) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
#ifdef _WIN32
  const std::string file = dir + "\\.lock";
  const HANDLE handle =
      CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    problem = "cannot lock " + dir + ": " + platform::ErrorText(platform::LastErrorCode());
    return false;
  }
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      handle_ = reinterpret_cast<std::intptr_t>(handle);
      return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline)
      break;
    Sleep(10);
  }
  CloseHandle(handle);
#else
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    problem = "cannot lock " + dir + ": " + std::strerror(errno);
    return false;
  }
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      handle_ = fd;
      return true;
    }
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd);
#endif
  problem = "another vornak2-host is changing " + dir + ": try again when it is done";
  return false;
}

std::string RandomToken() {
  std::random_device device;
  const std::uint64_t value = (static_cast<std::uint64_t>(device()) << 32) | device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace vornak2::host
