#include "host_changes.h"

#include <filesystem>
#include <utility>

#include "platform/platform.h"
#include "support/file_change.h"

namespace vornak2::host {

namespace {

// A directory in the spelling its files are listed under: normalised, no separator at the end.
std::string DirectoryName(const std::string& dir) {
  std::string name = std::filesystem::path(dir).lexically_normal().string();
  while (name.size() > 1 && name.back() == platform::kPathSeparator) name.pop_back();
  return name;
}

}  // namespace

DiskChanges::DiskChanges(std::vector<Place> places) : places_(std::move(places)) {
  for (Place& place : places_) place.dir = DirectoryName(place.dir);
  before_ = Take();
}

DiskChanges::Listing DiskChanges::Take() const {
  Listing listing;
  for (const Place& place : places_)
    if (!place.dir.empty()) List(place.dir, place.depth, listing);
  return listing;
}

// Adds the files of `dir`, and of its directories `depth` levels down, to `listing`. A directory
// that cannot be read holds nothing.
void DiskChanges::List(const std::string& dir, int depth, Listing& listing) {
  const auto entries = platform::ListDirectory(dir);
  if (!entries) return;
  for (const platform::DirEntry& entry : *entries) {
    const std::string path =
        (dir.back() == platform::kPathSeparator ? dir : dir + platform::kPathSeparator) +
        entry.name;
    if (entry.isDirectory) {
      if (depth > 0) List(path, depth - 1, listing);
      continue;
    }
    // The lock and change-record files that every changing operation keeps in its directories
    // are the engine's own bookkeeping, not what the operation wrote.
    if (IsReservedFileName(entry.name)) continue;
    listing[path] = {platform::FileSize(path).value_or(0),
                     platform::FileModifiedTime(path).value_or(0)};
  }
}

std::vector<DiskChanges::Change> DiskChanges::Compare() const {
  const Listing after = Take();
  std::vector<Change> changes;
  for (const auto& [path, stamp] : after) {
    const auto was = before_.find(path);
    if (was == before_.end() || !(was->second == stamp)) changes.push_back({path, false});
  }
  for (const auto& [path, stamp] : before_)
    if (!after.contains(path)) changes.push_back({path, true});
  return changes;
}

void DiskChanges::Print(std::FILE* out) const {
  const std::vector<Change> changes = Compare();
  if (changes.empty()) std::fprintf(out, "nothing written\n");
  for (const Change& change : changes)
    std::fprintf(out, "%s: %s\n", change.removed ? "removed" : "written", change.path.c_str());
}

}  // namespace vornak2::host
