// The key set's directories: their locks across processes, the recovery of changes that a stopped
// operation left recorded in them, and the installation of a file as a step of such a change.
#include "ccom/key_set.h"

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "ccom/library_lock.h"
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

std::vector<std::string> TCcom22Engine::OwnKeySetDirs() const {
  return {ExpandDirPath(ParamValue(kParamSecretPath)), ExpandDirPath(ParamValue(kParamPublicPath)),
          DirectoryPart(ExpandRootPath(GetCurrentCertFile()))};
}

void TCcom22Engine::RecoverLocked(const DirectoryLocks& locks) {
  // Changes of the key set keep their records in the secret-key directory, and may name the
  // store and the own certificate's directory as well; any other directory's records name only
  // that directory.
  const std::string secretPath = ExpandDirPath(ParamValue(kParamSecretPath));
  std::string refused;
  int settled = 0;
  for (const std::string& dir : locks.Directories())
    RecoverChanges(dir, SameDirectory(dir, secretPath), &refused, &settled);
  if (!refused.empty())
    LastException().SetText("TCcom22Engine: change records left alone: " + refused);
  if (settled > 0) {
    // Key or certificate files changed under the caches: what they hold is read again.
    ClearCertUIDCache();
    if (binding_) {
      LibraryGuard lock(LibraryWork::Exclusive, *binding_);
      binding_->ClearKeyCache();
    }
  }
}

std::int32_t TCcom22Engine::LockForChange(std::optional<DirectoryLocks>& locks,
                                          const std::vector<std::string>& writes) {
  std::vector<std::string> dirs = OwnKeySetDirs();
  dirs.insert(dirs.end(), writes.begin(), writes.end());
  locks.emplace(dirs, LockWait());
  if (!locks->Held()) {
    locks.reset();
    LastException().SetText(
        "TCcom22Engine: the key files are being changed by another process; try again later");
    return kKeyFilesBusy;
  }
  RecoverLocked(*locks);
  return kOk;
}

void TCcom22Engine::RecoverKeySetOnce() {
  try {
    std::vector<std::string> dirs = KeySetDirs();
    std::vector<std::string> recorded;
    for (const std::string& dir : dirs)
      if (!dir.empty() && HasChangeRecords(dir)) recorded.push_back(dir);
    if (!recorded.empty()) {
      // Without waiting: a record under a lock that another process holds belongs to a change in
      // progress, which that process finishes itself.
      std::vector<std::string> lockSet = OwnKeySetDirs();
      lockSet.insert(lockSet.end(), recorded.begin(), recorded.end());
      const DirectoryLocks locks(lockSet, std::chrono::milliseconds(0));
      if (locks.Held()) RecoverLocked(locks);
    }
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

void PlanInstallation(FileChange& change, const std::string& root, const std::string& target,
                      const std::string& source) {
  if (FileExists(target)) change.Copy(root, OldFileName(target), target);
  change.Copy(root, target, source);
}

void PlanInstallation(FileChange& change, const std::string& root, const std::string& target,
                      std::span<const std::uint8_t> content) {
  if (FileExists(target)) change.Copy(root, OldFileName(target), target);
  change.Write(root, target, content);
}

}  // namespace vornak2
