// vornak2-host: the data of the file commands. The library takes whole buffers, so an input is
// mapped where it lies (sign, verify) or read in one pass into the buffer the library then works
// on in place (encrypt, decrypt, add-sign, remove-sign); nothing is copied twice. An output is
// created beside its final name before the work starts, so that a place that cannot be written
// is reported at once, reserved on disk before anything is written into it, and renamed over
// that name once it is complete. "-" stands for standard input or output. An interrupted command
// (SIGINT, SIGTERM, SIGHUP; Ctrl-C, Ctrl-Break or a closed console on Windows) leaves none of its
// partial files behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace vornak2::host {

// On Windows, when standard output or standard error is a console: the tool's text (UTF-8 from
// then on) goes to the console through WriteConsoleW, so that every character shows whatever
// the console's code page. Elsewhere, and for pipes and files, nothing changes. Call once, first.
void StartConsoleOutput();

// Where results and status text go. A command's result (what it was asked to tell: a signer, a
// report, a listing, the data) goes to standard output; its status text (what it does, the
// library's result codes, the files it wrote) to standard error, or nowhere with --quiet and
// --json. With --json the result is one JSON line instead. A command that narrates (the demo)
// keeps its story on standard output. Set up once, before a command runs: from then on the C
// stream `stdout` carries status text, and DataOut() the real standard output.
struct Streams {
  bool quiet = false;
  bool json = false;
  bool dataOnStdout = false;
  bool narrates = false;
};
void SetUpStreams(const Streams& streams);
// The real standard output, for data, results and the --json line.
std::FILE* DataOut();
// Where a result goes: standard output, or standard error when the data goes there.
std::FILE* ResultOut();
bool Quiet();
// Whether the result is a JSON line.
bool JsonResults();

// Files removed when the command is interrupted, as long as the object is registered: partial
// outputs, the copy that install-cert hands the library, a private temporary directory. The
// handler removes secret files first, then the others, then empty directories, clears the
// progress line and ends the process by the same signal. Files only ever go under the
// temporary names registered here; the final names are never touched.
void InstallInterruptHandlers();
// The command's outcome is in place: from now on SIGINT, SIGTERM and SIGHUP (the console events
// on Windows) are held and end nothing, so that the exit status tells what was done.
void HoldInterruptions();
class RemoveOnInterrupt {
 public:
  enum class Kind { kFile, kSecretFile, kDirectory };
  RemoveOnInterrupt() = default;
  RemoveOnInterrupt(const std::string& path, Kind kind);
  RemoveOnInterrupt(RemoveOnInterrupt&& other) noexcept;
  RemoveOnInterrupt& operator=(RemoveOnInterrupt&& other) noexcept;
  RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
  RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;
  // Forgets the path (it is not removed).
  ~RemoveOnInterrupt();
  void Forget() noexcept;

 private:
  int slot_ = -1;
};

// A progress line on standard error for a long piece of work: only on a terminal, without
// --quiet, and for more than a few MiB. It shows the share done and the rate; for input of
// unknown size (a pipe) the bytes so far, the time and the rate; during one call of the library
// over the whole buffer, the time it has run.
class Progress {
 public:
  // `total` 0: the size is not known.
  Progress(std::string what, std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Advance(std::uint64_t done);
  // Runs `body` (one call of the library), keeping a line "DOING N MiB: T s" current meanwhile.
  template <typename Body>
  auto During(const char* doing, Body body) {
    StartTicker(doing);
    struct Stop {
      Progress& p;
      ~Stop() { p.StopTicker(); }
    } stop{*this};
    return body();
  }

 private:
  void Show(const std::string& line);
  void StartTicker(const char* doing);
  void StopTicker();

  std::string what_;
  std::uint64_t total_;
  bool terminal_;
  bool shown_ = false;
  int last_ = -1;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_;
  struct Ticker;
  std::unique_ptr<Ticker> ticker_;
};

// Memory that holds an input: a read-only mapping of a file, or a buffer of the tool's own with
// room after the data (wiped before it is released, as it may come to hold plaintext).
class Region {
 public:
  Region() = default;
  Region(Region&& other) noexcept;
  Region& operator=(Region&& other) noexcept;
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  ~Region();

  // The input mapped read-only where it lies (a regular file), or read when it cannot be mapped
  // (a pipe). `limit` is the most bytes accepted; nullopt with `problem` set when it cannot be
  // used.
  static std::optional<Region> Map(const std::string& path, std::uint64_t limit,
                                   std::string& problem);
  // The input read in one pass into a writable buffer with `room` bytes after it. A pipe is
  // read into a buffer that grows without copying; it holds the data once.
  static std::optional<Region> Read(const std::string& path, std::uint64_t limit, std::size_t room,
                                    std::string& problem);
  // The same buffer in the output file itself, where the input is a regular file and the output
  // one too: the output's space is reserved, the input is copied into its pages (by the kernel,
  // where it can) and the library changes them where they lie; Output::CommitInPlace then cuts
  // the file to the result. No memory of the tool's own, and nothing to write afterwards.
  // nullopt with `problem` empty when this cannot be done here: Read serves then.
  static std::optional<Region> ReadIntoOutput(const std::string& path, class Output& out,
                                              std::uint64_t limit, std::size_t room,
                                              std::string& problem);
  // Whether the region is the output file's own pages (ReadIntoOutput).
  bool inOutput() const { return inOutput_; }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::span<const std::uint8_t> view() const { return {data_, size_}; }
  // Sets the length within the capacity of a writable region; the bytes after it are wiped.
  void Resize(std::size_t size);

 private:
  void Release() noexcept;
  // Makes the writable store at least `capacity` bytes, keeping the data.
  bool Grow(std::size_t capacity);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;   // the bytes that may hold data: what is wiped (untouched pages are not)
  bool mapped_ = false;    // a view of a file
  bool writable_ = false;  // the tool's own buffer
  bool inOutput_ = false;  // a writable view of the output file
};

// An output file: created (empty, under a temporary name beside `path`) when it is opened, so that
// the place is checked before the work, and put in place by Commit. Without Commit nothing is
// left behind, also when the command is interrupted. "-" writes to standard output.
class Output {
 public:
  Output(Output&& other) noexcept;
  Output& operator=(Output&&) = delete;
  Output(const Output&) = delete;
  ~Output();

  // `secret`: the file is readable by its owner only, and it goes first when the command is
  // interrupted. `outcome`: the file is what the command makes, so that once it is in place the
  // command is done: an interruption that comes later is held (HoldInterruptions) instead of
  // ending the process with a status that says the command did not finish. nullopt with
  // `problem` set when the place cannot be written.
  static std::optional<Output> Open(const std::string& path, bool secret, std::string& problem,
                                    bool outcome = true);
  // Writes the bytes into the space reserved for them, then puts the file in place. A full disk
  // is "no space left on OUTPUT", with an existing file of that name kept.
  bool Commit(std::span<const std::uint8_t> bytes, std::string& problem);
  // Puts the output in place when its data was made in the file itself (Region::ReadIntoOutput):
  // the file is cut to `size` bytes.
  bool CommitInPlace(std::size_t size, std::string& problem);
  const std::string& path() const { return path_; }
  bool toStdout() const { return path_ == "-"; }

 private:
  Output(std::string path, std::string temporary, int fd, bool secret, bool outcome);
  // Reserves `size` bytes of disk space for the file: 1 when reserved, 0 when the file system
  // cannot reserve (writes still report a full disk), -1 with `problem` set when it is full.
  int Reserve(std::uint64_t size, std::string& problem);
  bool Place(std::string& problem);

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
  bool secret_ = false;
  bool outcome_ = true;
  RemoveOnInterrupt interrupt_;

  friend class Region;
};

// Why writing `path` failed with the system's error `error`, in the words a user needs: a full
// disk is "no space left on PATH", and an existing file of that name is said to be kept.
std::string WriteProblem(const std::string& path, int error);

// The lock the tool holds on a directory of its own (ROOT/.vornak2-host/) while it changes the
// files there, so that two invocations never change them at once and a temporary file found
// while the lock is held is one a stopped invocation left. On POSIX systems it is flock on the
// directory itself; on Windows a lock file ".lock" in it.
class ToolLock {
 public:
  ToolLock() = default;
  ToolLock(const ToolLock&) = delete;
  ToolLock& operator=(const ToolLock&) = delete;
  ~ToolLock();
  // Locks `dir`, waiting at most `wait` for another invocation; false with `problem` set.
  bool Lock(const std::string& dir, std::chrono::milliseconds wait, std::string& problem);
  bool Held() const { return handle_ != -1; }

 private:
  std::intptr_t handle_ = -1;
};

// A random token of 16 hexadecimal digits from the system's generator, for names that no other
// file has.
std::string RandomToken();

}  // namespace vornak2::host
