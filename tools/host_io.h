// vornak2-host: the data of the file commands. The library takes whole buffers, so an input is
// mapped where it lies (sign, verify) or read in one pass into the buffer the library then works
// on in place (encrypt, decrypt, add-sign, remove-sign); nothing is copied twice. An output is
// created beside its final name before the work starts, so that a place that cannot be written
// is reported at once, and renamed over that name once it is complete. "-" stands for standard
// input or output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace vornak2::host {

// On Windows, when standard output or standard error is a console: the tool's text (UTF-8 from
// then on) goes to the console through WriteConsoleW, so that every character shows whatever
// the console's code page. Elsewhere, and for pipes and files, nothing changes. Call once, first.
void StartConsoleOutput();

// Where results and data go. Status text goes to standard output, or to standard error when the
// data does, or nowhere with --quiet and --json; the data and the --json line keep the real
// standard output. Set up once, before a command runs.
struct Streams {
  bool quiet = false;
  bool json = false;
  bool dataOnStdout = false;
};
void SetUpStreams(const Streams& streams);
// The real standard output, for data and the --json line.
std::FILE* DataOut();
// Where the --json line goes: standard output, or standard error when the data goes there.
std::FILE* ResultOut();
bool Quiet();
// Whether the data commands print their --json line.
bool JsonResults();

// A progress line on standard error for a long piece of work: only on a terminal, without
// --quiet, and for more than a few MiB.
class Progress {
 public:
  Progress(std::string what, std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Advance(std::uint64_t done);
  // A step that cannot be measured, such as one call of the library over the whole buffer.
  void Step(const char* doing);

 private:
  std::string what_;
  std::uint64_t total_;
  bool shown_;
  int last_ = -1;
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
  // The input read in one pass into a writable buffer with `room` bytes after it.
  static std::optional<Region> Read(const std::string& path, std::uint64_t limit, std::size_t room,
                                    std::string& problem);
  // The same buffer in the output file itself, where the input is a regular file and the output
  // one too: the input is copied into the output's pages (by the kernel, where it can) and the
  // library changes them where they lie; Output::CommitInPlace then cuts the file to the result.
  // No memory of the tool's own, and nothing to write afterwards. nullopt with `problem` empty
  // when this cannot be done here: Read serves then.
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
  bool mapped_ = false;    // a view of a file
  bool writable_ = false;  // the tool's own buffer
  bool inOutput_ = false;  // a writable view of the output file
};

// An output file: created (empty, under a temporary name beside `path`) when it is opened, so that
// the place is checked before the work, and put in place by Commit. Without Commit nothing is
// left behind. "-" writes to standard output.
class Output {
 public:
  Output(Output&& other) noexcept;
  Output& operator=(Output&&) = delete;
  Output(const Output&) = delete;
  ~Output();

  // `secret`: the file is readable by its owner only. nullopt with `problem` set when the place
  // cannot be written.
  static std::optional<Output> Open(const std::string& path, bool secret, std::string& problem);
  bool Commit(std::span<const std::uint8_t> bytes, std::string& problem);
  // Puts the output in place when its data was made in the file itself (Region::ReadIntoOutput):
  // the file is cut to `size` bytes.
  bool CommitInPlace(std::size_t size, std::string& problem);
  const std::string& path() const { return path_; }
  bool toStdout() const { return path_ == "-"; }

 private:
  Output(std::string path, std::string temporary, int fd, bool secret)
      : path_(std::move(path)), temporary_(std::move(temporary)), fd_(fd), secret_(secret) {}
  bool Place(std::string& problem);

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
  bool secret_ = false;

  friend class Region;
};

}  // namespace vornak2::host
