#include "host_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "host_api.h"
#include "host_explain.h"
#include "platform/platform.h"
#include "support/secure.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vornak2::host {

namespace {

Streams g_streams;
std::FILE* g_data = nullptr;

constexpr std::uint64_t kProgressFrom = 4u << 20;  // bytes; smaller inputs take no time to see
constexpr std::size_t kChunk = 8u << 20;           // bytes read or touched between progress lines

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

}  // namespace

void StartConsoleOutput() {
#ifdef _WIN32
  static WideConsole console;
#endif
}

void SetUpStreams(const Streams& streams) {
  g_streams = streams;
  std::fflush(stdout);
#ifdef _WIN32
  const int data = _dup(1);
  g_data = data >= 0 ? _fdopen(data, "wb") : nullptr;
  if (g_data != nullptr) _setmode(data, _O_BINARY);
  if (streams.quiet || streams.json) {
    const int null = _open("NUL", _O_WRONLY);
    if (null >= 0) {
      _dup2(null, 1);
      _close(null);
    }
  } else if (streams.dataOnStdout) {
    _dup2(2, 1);
  }
#else
  const int data = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  g_data = data >= 0 ? ::fdopen(data, "wb") : nullptr;
  if (streams.quiet || streams.json) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, 1);
      ::close(null);
    }
  } else if (streams.dataOnStdout) {
    ::dup2(2, 1);
  }
#endif
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

Progress::Progress(std::string what, std::uint64_t total)
    : what_(std::move(what)),
      total_(total),
      shown_(!g_streams.quiet && total >= kProgressFrom && IsTerminal(2)) {}

Progress::~Progress() {
  if (shown_) std::fprintf(stderr, "\r%*s\r", 79, "");
}

void Progress::Advance(std::uint64_t done) {
  if (!shown_ || total_ == 0) return;
  const int percent = static_cast<int>(std::min<std::uint64_t>(done, total_) * 100 / total_);
  if (percent == last_) return;
  last_ = percent;
  std::fprintf(stderr, "\r%-79.79s",
               ("vornak2-host: " + what_ + " " + std::to_string(percent) + "% of " +
                std::to_string(total_ >> 20) + " MiB")
                   .c_str());
  std::fflush(stderr);
}

void Progress::Step(const char* doing) {
  if (!shown_) return;
  std::fprintf(
      stderr, "\r%-79.79s",
      ("vornak2-host: " + std::string(doing) + " " + std::to_string(total_ >> 20) + " MiB ...")
          .c_str());
  std::fflush(stderr);
}

Region::Region(Region&& other) noexcept {
  *this = std::move(other);
}

Region& Region::operator=(Region&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
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
    SecureWipe(data_, capacity_);
    FreePages(data_, capacity_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
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
  // A file is read into a buffer of its size and the room; a pipe into one that grows.
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
    progress.Advance(region.size_);
  }
  if (SizeProblem(path, region.size_, limit, problem)) return std::nullopt;
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
  if (::ftruncate(out.fd_, static_cast<off_t>(capacity)) != 0) {
    problem = "cannot write " + out.path_ + ": " + std::strerror(errno);
    return std::nullopt;
  }
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

Output::Output(Output&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      secret_(other.secret_) {
  other.temporary_.clear();
}

Output::~Output() {
  if (fd_ > 2) CloseFd(fd_);
  if (!temporary_.empty()) platform::RemoveFile(temporary_);
}

std::optional<Output> Output::Open(const std::string& path, bool secret, std::string& problem) {
  if (path == "-") return Output(path, std::string(), -1, secret);
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
#else
    const int fd =
        ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
#endif
    if (fd >= 0) return Output(path, temporary, fd, secret);
    if (errno != EEXIST) break;
  }
  problem = OutputProblem(path);
  return std::nullopt;
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
  CloseFd(fd_);
  fd_ = -1;
  platform::RemoveFile(temporary_);
  temporary_.clear();
  if (!platform::WriteFileAtomic(path_, bytes, secret_)) {
    problem = OutputProblem(path_);
    return false;
  }
  return true;
#else
  Progress progress("writing " + path_, bytes.size());
  for (std::size_t done = 0; done < bytes.size();) {
    const long long wrote =
        WriteSome(fd_, bytes.data() + done, std::min(kChunk, bytes.size() - done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      problem = "cannot write " + path_ + ": " + std::strerror(errno);
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
    problem = "cannot write " + path_ + ": " + std::strerror(errno);
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
  if (::close(fd) != 0 || !platform::RenameFile(temporary_, path_)) {
    problem = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
  temporary_.clear();
  return true;
#endif
}

}  // namespace vornak2::host
