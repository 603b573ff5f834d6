// The key set's directories: their locks across processes, the recovery of changes that a stopped
// operation left recorded in them, and the installation of a file as a step of such a change.
#include "ccom/key_set.h"

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "platform/platform.h"
#include "support/files.h"

namespace vornak2 {
namespace {

constexpr const char* kTemplateDirFallback = "%QVXRoot%/";

}  // namespace

std::string TCcom22Engine::TemplateDir() const {
  const std::string& templateDir = ParamValue(kParamTemplateDir);
  return AddPathSeparator(ExpandDirPath(templateDir.empty() ? kTemplateDirFallback : templateDir));
}

std::vector<std::string> TCcom22Engine::KeySetDirs() const {
  return {ExpandDirPath(ParamValue(kParamSecretPath)),
          ExpandDirPath(ParamValue(kParamPublicPath)),
          DirectoryPart(ExpandRootPath(GetCurrentCertFile())),
          DirectoryPart(ExpandRootPath(ParamValue(kParamRandomFile))),
          TemplateDir(),
          ExpandDirPath(ParamValue(kParamKeyGenDir)),
          RemoteGeneratePath()};
}

std::int32_t TCcom22Engine::LockKeySet(std::optional<DirectoryLocks>& locks,
                                       const std::vector<std::string>& extra) {
  std::vector<std::string> dirs = KeySetDirs();
  dirs.insert(dirs.end(), extra.begin(), extra.end());
  locks.emplace(dirs, LockWait());
  if (!locks->Held()) {
    locks.reset();
    LastException().SetText(
        "TCcom22Engine: the key files are being changed by another process; try again later");
    return kFileOperationFailed;
  }
  for (const std::string& dir : locks->Directories())
    if (HasChangeRecord(dir) && !RecoverChange(dir)) {
      locks.reset();
      LastException().SetText(
          "TCcom22Engine: an interrupted change of the key files in " + dir +
          " cannot be finished");
      return kFileOperationFailed;
    }
  return kOk;
}

void TCcom22Engine::RecoverKeySetOnce() {
  try {
    const std::vector<std::string> dirs = KeySetDirs();
    bool recorded = false;
    for (const std::string& dir : dirs) recorded = recorded || HasChangeRecord(dir);
    if (recorded) {
      // Without waiting: a record under a lock that another process holds belongs to a change in
      // progress, which that process finishes itself.
      const DirectoryLocks locks(dirs, std::chrono::milliseconds(0));
      if (locks.Held())
        for (const std::string& dir : locks.Directories()) RecoverChange(dir);
    }
    for (const std::string& dir : dirs)
      if (!dir.empty()) RemoveStaleTemporaries(dir);
    // The authorities' directories inside the secret-key directory, one level down.
    const std::string secretPath = AddPathSeparator(ExpandDirPath(ParamValue(kParamSecretPath)));
    if (const auto entries = platform::ListDirectory(secretPath))
      for (const platform::DirEntry& entry : *entries)
        if (entry.isDirectory) RemoveStaleTemporaries(secretPath + entry.name);
    keySetChecked_.store(true, std::memory_order_release);
  } catch (...) {
    // Recovery is tried again by the next operation; this one goes on with the files as they are.
  }
}

std::int32_t TCcom22Engine::SetCryptoParamValue(std::int32_t number, const char* value) {
  keySetChecked_.store(false, std::memory_order_release);
  return TCryptoEngine::SetCryptoParamValue(number, value);
}

void TCcom22Engine::SetRemoteGeneratePath(const std::string& path) {
  keySetChecked_.store(false, std::memory_order_release);
  TCryptoEngine::SetRemoteGeneratePath(path);
}

// ---- installations ----

std::string OldFileName(const std::string& path) {
  return path.substr(0, path.size() >= 3 ? path.size() - 3 : 0) + "old";
}

Installation PlanInstallation(FileChange& change, const std::string& source,
                              const std::string& target) {
  Installation i;
  i.source = source;
  i.target = target;
  i.old = OldFileName(i.target);
  i.replacing = FileExists(i.target);
  i.heldOld = i.replacing ? change.Stage(i.old) : std::string();
  i.staged = change.Stage(i.target);
  return i;
}

bool StageInstallation(const Installation& i) {
  if (i.replacing && !platform::LinkFile(i.target, i.heldOld)) {
    // A file system without hard links: the old file is copied instead.
    const auto old = platform::ReadWholeFile(i.target, 1u << 20);
    if (!old || !platform::WriteNewFile(i.heldOld, *old)) return false;
  }
  if (platform::LinkFile(i.source, i.staged)) return true;
  const auto data = platform::ReadWholeFile(i.source, 1u << 20);
  return data && platform::WriteNewFile(i.staged, *data);
}

void InstallationSteps(FileChange& change, const Installation& i, bool removeSource) {
  // The source goes first: a source that cannot be removed (a read-only directory) gives the
  // change up before anything has changed. Its content is safe in the staged file by then.
  if (removeSource) change.Remove(i.source);
  if (i.replacing) change.Move(i.heldOld, i.old);
  change.Move(i.staged, i.target);
}

}  // namespace vornak2
