// vornak2-host: what an operation of the library changed on disk. The directories an operation
// may write into are listed before the call and compared with what they hold afterwards, so that
// the tool reports the files that were written or removed, whether the operation succeeded or
// not, instead of guessing from the result code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vornak2::host {

class DiskChanges {
 public:
  // A directory and how many levels below it count: 0 for its own files only.
  struct Place {
    std::string dir;
    int depth = 0;
  };
  struct Change {
    std::string path;
    bool removed = false;  // otherwise created or rewritten
  };

  // Lists the places as they are now.
  explicit DiskChanges(std::vector<Place> places);

  // What changed in the places since construction, by path.
  std::vector<Change> Compare() const;
  // One line "written: PATH" or "removed: PATH" for each change, or "nothing written".
  void Print(std::FILE* out) const;

 private:
  struct Stamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    bool operator==(const Stamp&) const = default;
  };
  using Listing = std::map<std::string, Stamp>;
  Listing Take() const;
  static void List(const std::string& dir, int depth, Listing& listing);

  std::vector<Place> places_;
  Listing before_;
};

}  // namespace vornak2::host
