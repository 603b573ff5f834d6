// A user's directories set up from a certificate file and a list of authority certificates,
// signed data saved with its signature in one file, and the room encryption for a list of
// recipients needs.
#include <algorithm>
#include <limits>
#include <new>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "layouts/layouts.h"
#include "platform/platform.h"
#include "support/errors.h"
#include "support/files.h"

namespace vornak2 {
namespace {

// Only the first 255 characters of the authority list are read.
constexpr std::size_t kAuthorityListLimit = 255;
// What each recipient of a multi-recipient container adds: its UID field and its key slot.
constexpr std::int64_t kPerRecipient = static_cast<std::int64_t>(layouts::kPerRecipient);

}  // namespace

std::int32_t TCcom22Engine::SaveSignedDataToFile(const void* data, std::int32_t length,
                                                 const void* signature,
                                                 std::int32_t signatureLength,
                                                 const char* fileName) {
  if (fileName == nullptr || data == nullptr || length < 1 || signatureLength < 0) return kOk;
  const std::uint64_t total = layouts::SignedDataSize(static_cast<std::uint64_t>(length),
                                                      static_cast<std::uint64_t>(signatureLength));
  if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
    return kEngineOutOfMemory;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(total));
  } catch (const std::bad_alloc&) {
    return kEngineOutOfMemory;
  }
  return Guarded("SaveSignedDataToFile: ", [&]() -> std::int32_t {
    const auto* signatureBytes = static_cast<const std::uint8_t*>(signature);
    const layouts::Bytes given =
        signatureBytes != nullptr
            ? layouts::Bytes(signatureBytes, static_cast<std::size_t>(signatureLength))
            : layouts::Bytes();
    const auto written = layouts::WriteSignedData(
        buffer,
        layouts::Bytes(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length)),
        given, static_cast<std::size_t>(signatureLength));
    if (!written) return kEngineOutOfMemory;
    return WriteBufferToFile(ExpandRootPath(fileName), buffer.data(),
                             static_cast<std::int32_t>(*written))
               ? kOk
               : kFileOrUidError;
  });
}

std::int32_t TCcom22Engine::CreateDirStructure(const char* certificateFile,
                                               const char* authorityList) {
  const std::string certificate = ExpandRootPath(certificateFile != nullptr ? certificateFile : "");
  if (!FileExists(certificate)) return kFileOperationFailed;
  const std::string secretPath = ExpandDirPath(ParamValue(kParamSecretPath));
  const std::string publicPath = ExpandDirPath(ParamValue(kParamPublicPath));
  if (!DirExists(secretPath)) ForceDirs(secretPath);
  if (!DirExists(publicPath)) ForceDirs(publicPath);
  if (!DirExists(secretPath) || !DirExists(publicPath)) return kFileOperationFailed;
  const std::string current = ExpandRootPath(GetCurrentCertFile());
  std::optional<DirectoryLocks> locks;
  if (const std::int32_t r = LockForChange(locks); r != kOk) return r;

  // The own certificate first, then the authorities in their order, all written as one change;
  // entries before one that fails are still set up.
  std::vector<std::pair<std::string, std::string>> copies;  // source, target
  if (certificate != current) copies.emplace_back(certificate, current);
  std::int32_t result = kOk;
  std::string uncreated;  // an authority directory that could not be created
  const std::string list =
      std::string(authorityList != nullptr ? authorityList : "").substr(0, kAuthorityListLimit);
  std::vector<std::string> entries;
  SplitBySemicolon(list.c_str(), entries);
  for (const std::string& entry : entries) {
    const std::string path = ExpandRootPath(entry);
    std::string uid;
    if (const std::int32_t r = GetCryptoAPI(path, uid); r != kOk) {
      result = r;
      break;
    }
    // A certificate without a UID that may name a directory has no place among the authorities.
    const std::string dir = AuthorityDirByUID(secretPath, uid);
    if (dir.empty()) {
      result = kFileOperationFailed;
      break;
    }
    if (!DirExists(dir) && !MakeDir(dir)) {
      uncreated = dir;
      break;
    }
    const std::int32_t number = binding_->GetCertificateKeyNumber(path);
    copies.emplace_back(path, AddPathSeparator(dir) + std::to_string(number) + ".aut");
  }

  FileChange change(secretPath);
  const std::string certificateDir = DirectoryPart(current);
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const std::string& source = copies[i].first;
    const std::string& target = copies[i].second;
    // An authority listed twice is copied once, from its last entry.
    if (std::any_of(copies.begin() + static_cast<std::ptrdiff_t>(i) + 1, copies.end(),
                    [&](const auto& later) { return later.second == target; }))
      continue;
    const auto data = platform::ReadWholeFile(source, layouts::kMaxCarriedFile * 64);
    if (!data) return kFileOperationFailed;
    if (data->empty()) continue;  // nothing to copy: the target stays as it was
    if (target == current && !DirExists(certificateDir)) return kFileOperationFailed;
    change.Write(target == current ? certificateDir : secretPath, target, *data);
  }
  if (!change.Prepare() || !change.Commit()) return kFileOperationFailed;
  // The entries before it are set up; the export answers the exception with 136.
  if (!uncreated.empty()) throw EInOutError("Unable to create directory " + uncreated);
  return result;
}

std::int32_t TCcom22Engine::GetMaxAdditionEx(const char* recipients) {
  if (recipients == nullptr || *recipients == '\0') return GetMaxEncodeAddition();
  std::vector<std::string> pieces;
  const std::int64_t count = SplitBySemicolon(recipients, pieces);
  return static_cast<std::int32_t>(std::min<std::int64_t>(
      GetMaxEncodeAddition() + kPerRecipient * count, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace vornak2
