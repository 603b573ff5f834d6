// A certificate file installed as one part of a FileChange: the file `source` becomes `target`,
// and the file that `target` was keeps the ".old" name beside it. At no moment is `target`
// missing: the old file gets its second name first, and the new one is renamed over it.
#pragma once

#include <string>

#include "support/file_change.h"

namespace vornak2 {

struct Installation {
  std::string source;
  std::string target;
  std::string old;      // the ".old" name beside the target
  std::string heldOld;  // staged: a second name of the target's present file, to become `old`
  std::string staged;   // staged: the new file beside the target
  bool replacing = false;
};

// The name a replaced file keeps: its name without the last three characters, then "old".
std::string OldFileName(const std::string& path);
// The installation of `source` as `target`, its temporary names staged in `change` (before its
// Prepare).
Installation PlanInstallation(FileChange& change, const std::string& source,
                              const std::string& target);
// After Prepare: creates the staged files (links where the file system has them, copies
// elsewhere). False on failure; the change then removes what was created.
bool StageInstallation(const Installation& installation);
// The steps that put the staged files in place; with `removeSource`, the source goes first.
void InstallationSteps(FileChange& change, const Installation& installation, bool removeSource);

}  // namespace vornak2
