// Makes a directory impossible to change for the time of a test: without privileges by taking
// the write permission away, as root (whom permissions do not stop) with the immutable flag.
// Windows ignores the read-only attribute of a directory when files are made in it, so there the
// directory stays writable and the tests that rely on it are skipped.
#pragma once

#include <string>

#ifdef _WIN32
namespace vornak2::testing {

class ReadOnlyDir {
 public:
  explicit ReadOnlyDir(const std::string&) {}
  bool effective() const { return false; }
};

}  // namespace vornak2::testing
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vornak2::testing {

class ReadOnlyDir {
 public:
  explicit ReadOnlyDir(std::string dir) : dir_(std::move(dir)) {
    namespace fs = std::filesystem;
    if (::geteuid() != 0) {
      fs::permissions(dir_,
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
    } else {
      SetImmutable(true);
    }
    const std::string probe = dir_ + "/.probe";
    effective_ = !std::ofstream(probe).is_open();
    std::error_code ignored;
    fs::remove(probe, ignored);
  }
  ~ReadOnlyDir() {
    namespace fs = std::filesystem;
    if (::geteuid() != 0)
      fs::permissions(dir_, fs::perms::owner_write, fs::perm_options::add);
    else
      SetImmutable(false);
  }
  ReadOnlyDir(const ReadOnlyDir&) = delete;
  ReadOnlyDir& operator=(const ReadOnlyDir&) = delete;

  // False when this system lets the directory be written all the same (then the test that
  // relies on it is skipped).
  bool effective() const { return effective_; }

 private:
  void SetImmutable(bool on) {
    const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
  }

  std::string dir_;
  bool effective_ = false;
};

}  // namespace vornak2::testing
#endif
