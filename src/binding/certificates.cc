// Certificate queries and reports: the UID and key number of a certificate file, and the report
// text on a stored or given certificate.
#include "binding/ccom_dll.h"

#include <cstring>
#include <vector>

#include "binding/guards.h"
#include "binding/key_cache.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

std::int32_t WriteReport(const std::string& report, char* buffer, std::int32_t capacity) {
  if (buffer == nullptr) return kBadLength;
  if (capacity <= 0 || report.size() >= static_cast<std::size_t>(capacity)) return kBadLength;
  std::memcpy(buffer, report.c_str(), report.size() + 1);
  return kOk;
}

// Runs `use` on the text of a small key file with a context of its own (no cache, no
// generator); false when the file cannot be read or no context can be had.
template <typename Use>
bool OnFileText(const CcEntryTable& cc, const std::string& path, Use use) {
  SecretBytes text(kCacheTextSize);
  if (!ReadKeyFileText(path, text)) return false;
  CcContext* ctx = cc._InitCryptCtx();
  if (ctx == nullptr) return false;
  struct Release {
    const CcEntryTable& cc;
    CcContext* ctx;
    ~Release() { cc._FreeCryptCtx(ctx); }
  } release{cc, ctx};
  return use(ctx, text.chars());
}

}  // namespace

// ---- certificates ----

namespace {

// The fields of a certificate's record that a query asks for; false when the text has no record.
bool ReadRecord(const CcEntryTable& cc, CcContext* ctx, const char* text, std::string* uid,
                std::int32_t* keyNumber) {
  CertRecord record(cc);
  cc.__CertInfo(ctx, text, record.Out());
  if (record.get() == nullptr) return false;
  if (uid != nullptr) *uid = OrEmpty(record.get()->uid);
  if (keyNumber != nullptr) *keyNumber = record.get()->keyNumber;
  return true;
}

}  // namespace

bool TCComDLL::ReadCertificateFile(const std::string& path, std::string* uid,
                                   std::int32_t* keyNumber) {
  return OnFileText(cc_, path, [&](CcContext* ctx, const char* text) {
    return ReadRecord(cc_, ctx, text, uid, keyNumber);
  });
}

bool TCComDLL::ReadCertificateText(std::span<const std::uint8_t> bytes, std::string* uid,
                                   std::int32_t* keyNumber) {
  // The text as a file of it would be read: up to its first zero byte, and no longer than a
  // cached file may be.
  if (bytes.size() > kCacheTextSize - 1) return false;
  SecretBytes text(kCacheTextSize);
  if (!bytes.empty()) std::memcpy(text.data(), bytes.data(), bytes.size());
  CcContext* ctx = cc_._InitCryptCtx();
  if (ctx == nullptr) return false;
  struct Release {
    const CcEntryTable& cc;
    CcContext* ctx;
    ~Release() { cc._FreeCryptCtx(ctx); }
  } release{cc_, ctx};
  return ReadRecord(cc_, ctx, text.chars(), uid, keyNumber);
}

bool TCComDLL::IsSecretKeyFile(const std::string& path) {
  return OnFileText(cc_, path, [&](CcContext* ctx, const char* text) {
    SecRecord record(cc_);
    cc_.__SecInfo(ctx, text, record.Out());
    return record.get() != nullptr;
  });
}

TCComDLL::Answer TCComDLL::IsAuthorityCertificate(const char* certText) {
  if (certIsAuthority_ == nullptr || certText == nullptr) return Answer::kUnknown;
  CcContext* ctx = cc_._InitCryptCtx();
  if (ctx == nullptr) return Answer::kUnknown;
  const std::int32_t answer = certIsAuthority_(ctx, certText);
  cc_._FreeCryptCtx(ctx);
  return answer == CC_AUTHORITY_YES  ? Answer::kYes
         : answer == CC_AUTHORITY_NO ? Answer::kNo
                                     : Answer::kUnknown;
}

std::string TCComDLL::GetCertificateUID(const std::string& path) {
  std::string uid;
  return ReadCertificateFile(path, &uid, nullptr) ? uid : std::string();
}

std::int32_t TCComDLL::GetCertificateKeyNumber(const std::string& path) {
  std::int32_t keyNumber = kNoKeyNumber;
  return ReadCertificateFile(path, nullptr, &keyNumber) ? keyNumber : kNoKeyNumber;
}

std::int32_t TCComDLL::CheckCertificateText(const std::string& ownUid, const std::string& secretDir,
                                            const std::string& certDir, const char* certText,
                                            CertificateCheck& out) {
  if (certText == nullptr) return kBadLength;
  return Guarded([&]() -> std::int32_t {
    CertRecord record(cc_);
    Context ctx(*this);
    const std::int32_t created = CreateContext(ctx.Ref(), ownUid, secretDir, certDir, "", "");
    if (created != 0) return created;
    CertInfoFromCache(secretDir, ownUid, ctx.get(), certText, record.Out());
    if (record.get() == nullptr) return kVendorCertificateRead;
    const CcCertInfo& info = *record.get();
    out.uid = OrEmpty(info.uid);
    out.issuer = OrEmpty(info.issuerName);
    out.keyNumber = info.keyNumber;
    out.issuerKeyNumber = info.issuerKeyNumber;
    out.status = info.status;
    return kOk;
  });
}

std::int32_t TCComDLL::GetCertificateReport(const std::string& ownUid, const std::string& secretDir,
                                            const std::string& certDir,
                                            const std::string& randomFile,
                                            const std::string& reportedUid, char* buffer,
                                            std::int32_t capacity) {
  if (ownUid.empty() || reportedUid.empty()) return kNoUid;
  if (certDir.empty()) return kNoCertificateDir;
  if (randomFile.empty()) return kNoRandomFile;
  return BuildReport(ownUid, secretDir, certDir, &reportedUid, nullptr, buffer, capacity);
}

std::int32_t TCComDLL::GetCertificateReportFromText(
    const std::string& ownUid, const std::string& secretDir, const std::string& certDir,
    const std::string& randomFile, const char* certText, char* buffer, std::int32_t capacity) {
  if (certText == nullptr || buffer == nullptr) return kBadLength;
  if (certDir.empty()) return kNoCertificateDir;
  if (randomFile.empty()) return kNoRandomFile;
  return BuildReport(ownUid, secretDir, certDir, nullptr, certText, buffer, capacity);
}

std::int32_t TCComDLL::BuildReport(const std::string& ownUid, const std::string& secretDir,
                                   const std::string& certDir, const std::string* reportedUid,
                                   const char* certText, char* buffer, std::int32_t capacity) {
  return Guarded([&]() -> std::int32_t {
    CertRecord record(cc_);
    Context ctx(*this);
    const std::int32_t created = CreateContext(ctx.Ref(), ownUid, secretDir, certDir, "", "");
    if (created != 0) return created;
    std::vector<char> stored;
    if (reportedUid != nullptr) {
      if (!CachedCertificate(ctx.get(), ownUid, *reportedUid, stored))
        return kCertificateNotInStore;
      certText = stored.data();
    }
    CertInfoFromCache(secretDir, ownUid, ctx.get(), certText, record.Out());
    if (record.get() == nullptr) return kVendorCertificateRead;
    return WriteReport(CertificateReportText(*record.get(), certText), buffer, capacity);
  });
}

// ---- report text ----

std::string ReportDate(const char* libraryDate) {
  const std::string_view t = OrEmpty(libraryDate);
  auto part = [&](std::size_t from, std::size_t count) {
    return from < t.size() ? t.substr(from, count) : std::string_view();
  };
  std::string out;
  out.append(part(3, 2));
  out.push_back('-');
  out.append(part(0, 2));
  out.append(part(5, std::string_view::npos));
  out.append(":00");
  return out;
}

std::string CertificateReportText(const CcCertInfo& info, const char* certText) {
  std::string r;
  r.reserve(2400);
  r.append("UID=").append(OrEmpty(info.uid)).append("\r\n");
  r.append("KN=").append(std::to_string(static_cast<std::uint32_t>(info.keyNumber))).append("\r\n");
  r.append("ICN=").append(OrEmpty(info.issuerName)).append("\r\n");
  r.append("IKN=")
      .append(std::to_string(static_cast<std::uint32_t>(info.issuerKeyNumber)))
      .append("\r\n");
  r.append("NotBefore=").append(ReportDate(info.validFrom)).append("\r\n");
  r.append("NotAfter=").append(ReportDate(info.validTo)).append("\r\n");
  r.append("PKey=\r\n");
  r.append(OrEmpty(certText)).append("\r\n\r\n");
  return r;
}

}  // namespace vornak2
