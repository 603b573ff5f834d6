// vornak2-host: public-key transfers through the exports, and transfer texts in files or on the
// standard streams. The store commands and the demo share these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host_api.h"

namespace vornak2::host {

// The longest transfer text the tool reads: far more than any transfer of a certificate.
inline constexpr std::size_t kMaxTransferText = 1u << 20;

// Each returns the library's result code; the output changes only on success.
// ExcludeSelfPublicKeyTransfer: the transfer of the current user's own certificate.
std::int32_t OwnTransfer(const Engine& engine, std::string& transfer);
// GetPublicKeyTransfer: the transfer of `uid`'s certificate in the store.
std::int32_t UserTransfer(const Engine& engine, const std::string& uid, std::string& transfer);
// GetPublicKeyTransferByFile: the transfer of a certificate (or request) file.
std::int32_t FileTransfer(const Engine& engine, const std::string& file, std::string& transfer);
// GetUIDByPublicKeyTransfer.
std::int32_t TransferUid(const Engine& engine, const std::string& transfer, std::string& uid);
// CertAndRequestTransferMatch: whether both transfers carry the same UID.
std::int32_t TransfersMatch(const Engine& engine, const std::string& first,
                            const std::string& second, bool& same);

// The start step of a renewal in `dir` (SetRemoteGeneratePath first): RemoteGenerateStart, or
// RemoteGenerateStartEx when a UID or a mode is given (the mode is updated); its transfer in
// `transfer`.
std::int32_t RenewalStart(const Engine& engine, const std::string& dir,
                          const std::optional<std::string>& uid, std::int32_t* mode,
                          std::string& transfer);
// The finish step: RemoteGenerateFinish, or RemoteGenerateFinishEx with a mode.
std::int32_t RenewalFinish(const Engine& engine, const std::string& dir,
                           const std::string& transfer, std::int32_t* mode);

// A report (8-bit text as the library writes it) from an export that fills a buffer of
// GetMaxReportSize() bytes; `report` changes only on success.
std::int32_t StoredReport(const Engine& engine, const std::string& uid, std::string& report);
std::int32_t FileReport(const Engine& engine, const std::string& file, std::string& report);
std::int32_t TransferReport(const Engine& engine, const std::string& transfer, std::string& report);

// The fields of a report: UID, key number, issuer and its key number, validity (as the report
// writes it, month first: "12-31.2003 23:59:00") and the certificate text.
struct ReportFields {
  std::string uid;
  std::string keyNumber;
  std::string issuer;
  std::string issuerKeyNumber;
  std::string notBefore;
  std::string notAfter;
  std::string certificate;
};
ReportFields ParseReport(const std::string& report);
// A report's date "MM-DD.YYYY hh:mm:ss" as "YYYY-MM-DD hh:mm" (the seconds are always 0);
// anything else as it is.
std::string IsoDate(const std::string& reportDate);

// A transfer text from a file, or from standard input for "-", of at most `limit` bytes (read
// once into one buffer); nullopt when it cannot be read or is longer.
std::optional<std::string> ReadTransferText(const std::string& path,
                                            std::size_t limit = kMaxTransferText);
// Writes a transfer text and a line feed to a file (replacing it), or to standard output for "-";
// false with `problem` set. `outcome`: the transfer is what the command makes (Output::Open).
bool WriteTransferText(const std::string& path, const std::string& transfer, std::string& problem,
                       bool outcome = true);

}  // namespace vornak2::host
