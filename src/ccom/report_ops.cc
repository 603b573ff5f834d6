// Reports: a short text on one certificate (its UID, key number, issuer, validity and the
// certificate text itself) that a host shows before it trusts or sends a key. For a certificate
// in the store, a certificate file, the certificate a transfer carries, and the request waiting
// in the renewal directory ("pub.pub"). A report never passes the caller's 2048 bytes: one that
// would is refused with 104 and nothing is written.
#include <mutex>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "ccom/library_lock.h"
#include "support/files.h"

namespace vornak2 {

std::int32_t TCcom22Engine::GetReport(const char* uid, char* report) {
  std::string own;
  if (const std::int32_t r = StandardStart(own); r != kOk) return r;
  if (uid == nullptr || report == nullptr) return kBadParameters;
  if (*uid == '\0') {
    const std::string dir = AddPathSeparator(ExpandDirPath(RemoteGeneratePath()));
    if (dir.empty() || !DirExists(dir)) return kBadRemoteGenerationDir;
    return GetPublicKeyPropertiesByFile((dir + "pub.pub").c_str(), report);
  }
  OperationSettings s;
  if (const std::int32_t r = ReadOperationSettings(s); r != kOk) return r;
  return Guarded("GetReport: ", [&]() -> std::int32_t {
    LibraryGuard lock(LibraryWork::Exclusive, *binding_);
    if (const std::int32_t r = PrepareKeyCacheFor(s, own); r != kOk) return r;
    return binding_->GetCertificateReport(own, s.secretPath, s.publicPath, s.randomFile, uid,
                                          report, kMaxReportSize);
  });
}

std::int32_t TCcom22Engine::GetReportByBuffer(const char* data, char* report) {
  std::string own;
  if (const std::int32_t r = StandardStart(own); r != kOk) return r;
  if (report == nullptr) return kBadParameters;
  OperationSettings s;
  if (const std::int32_t r = ReadOperationSettings(s); r != kOk) return r;
  return Guarded("GetReportByBuffer: ", [&]() -> std::int32_t {
    LibraryGuard lock(LibraryWork::Exclusive, *binding_);
    // The report is built from the given text alone; the key set is prepared only so that the
    // issuer's certificate can be found.
    PrepareKeyCacheFor(s, own);
    return binding_->GetCertificateReportFromText(own, s.secretPath, s.publicPath, s.randomFile,
                                                  data, report, kMaxReportSize);
  });
}

std::int32_t TCcom22Engine::GetPublicKeyPropertiesByFile(const char* fileName, char* report) {
  std::vector<char> data(static_cast<std::size_t>(kMaxReportSize) + 1, '\0');
  std::int32_t size = kMaxReportSize;
  if (!ReadFileToBuffer(ExpandRootPath(fileName != nullptr ? fileName : ""), data.data(), size))
    return kFileOrUidError;
  data[static_cast<std::size_t>(size)] = '\0';
  return GetReportByBuffer(data.data(), report);
}

std::int32_t TCcom22Engine::GetPublicKeyPropertiesByTransfer(const char* transfer, char* report) {
  TPublicKeyBlock block;
  if (const std::int32_t r = GetPublicKeyBlockByTransfer(transfer, block); r != kOk) return r;
  return GetReportByBuffer(block.data.c_str(), report);
}

}  // namespace vornak2
