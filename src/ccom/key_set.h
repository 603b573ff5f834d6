// A certificate installed as part of a FileChange: the file `target` gets its new content, and the
// content it had keeps the ".old" name beside it (replacing an earlier ".old" file). At no moment
// is `target` missing: both files are replaced by renames.
#pragma once

#include <span>
#include <string>

#include "support/file_change.h"

namespace vornak2 {

// The name a replaced file keeps: its name without the last three characters, then "old".
std::string OldFileName(const std::string& path);
// Adds the installation of the file `source` as `target` (inside `root`) to `change`.
void PlanInstallation(FileChange& change, const std::string& root, const std::string& target,
                      const std::string& source);
// The same with the new content given as bytes.
void PlanInstallation(FileChange& change, const std::string& root, const std::string& target,
                      std::span<const std::uint8_t> content);

}  // namespace vornak2
