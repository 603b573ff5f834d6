// A user's directories set up from a certificate file and a list of authority certificates,
// signed data saved with its signature in one file, and the room encryption for a list of
// recipients needs.
#include <limits>
#include <new>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "layouts/layouts.h"
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

  // The authority certificates first and the own certificate last, so that a failure anywhere
  // leaves the own certificate as it was; authority files this call created are removed again.
  std::vector<std::string> created;
  struct RemoveCreated {
    std::vector<std::string>& files;
    bool keep = false;
    ~RemoveCreated() {
      if (!keep)
        for (const std::string& file : files) DeleteFile(file);
    }
  } removeCreated{created};
  const std::string list =
      std::string(authorityList != nullptr ? authorityList : "").substr(0, kAuthorityListLimit);
  std::vector<std::string> entries;
  SplitBySemicolon(list.c_str(), entries);
  for (const std::string& entry : entries) {
    const std::string path = ExpandRootPath(entry);
    std::string uid;
    if (const std::int32_t r = GetCryptoAPI(path, uid); r != kOk) return r;
    // A certificate without a UID that may name a directory has no place among the authorities.
    const std::string dir = AuthorityDirByUID(secretPath, uid);
    if (dir.empty()) return kFileOperationFailed;
    if (!DirExists(dir)) MakeDir(dir);
    if (!DirExists(dir)) return kFileOperationFailed;
    const std::int32_t number = binding_->GetCertificateKeyNumber(path);
    const std::string target = AddPathSeparator(dir) + std::to_string(number) + ".aut";
    const bool existed = FileExists(target);
    if (!CopyFileContents(path, target)) return kFileOperationFailed;
    if (!existed) created.push_back(target);
  }
  if (certificate != current && !CopyFileContents(certificate, current))
    return kFileOperationFailed;
  removeCreated.keep = true;
  return kOk;
}

std::int32_t TCcom22Engine::GetMaxAdditionEx(const char* recipients) {
  if (recipients == nullptr || *recipients == '\0') return GetMaxEncodeAddition();
  std::vector<std::string> pieces;
  const std::int64_t count = SplitBySemicolon(recipients, pieces);
  return static_cast<std::int32_t>(std::min<std::int64_t>(
      GetMaxEncodeAddition() + kPerRecipient * count, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace vornak2
