#include "host_store_ops.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "host_io.h"
#include "host_ops.h"
#include "platform/platform.h"

namespace vornak2::host {

namespace {

// Runs an export that writes a transfer into a buffer sized by GetMaxPublicKeyTransferSize.
template <typename Call>
std::int32_t MakeTransfer(const Engine& engine, std::string& transfer, Call call) {
  const std::int32_t max = engine.api().GetMaxPublicKeyTransferSize(engine.handle());
  if (max < 0) throw std::runtime_error("GetMaxPublicKeyTransferSize failed");
  std::vector<char> buffer(static_cast<std::size_t>(max) + 1, '\0');
  const std::int32_t code = call(buffer.data());
  if (code == 0) transfer = BufferText(buffer);
  return code;
}

}  // namespace

std::int32_t OwnTransfer(const Engine& engine, std::string& transfer) {
  return MakeTransfer(engine, transfer, [&](char* buffer) {
    return engine.api().ExcludeSelfPublicKeyTransfer(engine.handle(), buffer);
  });
}

std::int32_t UserTransfer(const Engine& engine, const std::string& uid, std::string& transfer) {
  return MakeTransfer(engine, transfer, [&](char* buffer) {
    return engine.api().GetPublicKeyTransfer(engine.handle(), uid.c_str(), buffer);
  });
}

std::int32_t FileTransfer(const Engine& engine, const std::string& file, std::string& transfer) {
  return MakeTransfer(engine, transfer, [&](char* buffer) {
    return engine.api().GetPublicKeyTransferByFile(engine.handle(), buffer, file.c_str());
  });
}

std::int32_t TransferUid(const Engine& engine, const std::string& transfer, std::string& uid) {
  std::vector<char> buffer(
      static_cast<std::size_t>(engine.api().GetMaxUIDLength(engine.handle())) + 1, '\0');
  const std::int32_t code =
      engine.api().GetUIDByPublicKeyTransfer(engine.handle(), transfer.c_str(), buffer.data());
  if (code == 0) uid = BufferText(buffer);
  return code;
}

std::int32_t TransfersMatch(const Engine& engine, const std::string& first,
                            const std::string& second, bool& same) {
  std::int32_t match = 0;
  const std::int32_t code = engine.api().CertAndRequestTransferMatch(engine.handle(), first.c_str(),
                                                                     second.c_str(), &match);
  if (code == 0) same = match != 0;
  return code;
}

std::int32_t RenewalStart(const Engine& engine, const std::string& dir,
                          const std::optional<std::string>& uid, std::int32_t* mode,
                          std::string& transfer) {
  const Api& api = engine.api();
  api.SetRemoteGeneratePath(engine.handle(), dir.c_str());
  return MakeTransfer(engine, transfer, [&](char* buffer) {
    if (!uid && mode == nullptr) return api.RemoteGenerateStart(engine.handle(), buffer);
    return api.RemoteGenerateStartEx(engine.handle(), uid.value_or("").c_str(), buffer, mode);
  });
}

std::int32_t RenewalFinish(const Engine& engine, const std::string& dir,
                           const std::string& transfer, std::int32_t* mode) {
  const Api& api = engine.api();
  api.SetRemoteGeneratePath(engine.handle(), dir.c_str());
  return mode == nullptr ? api.RemoteGenerateFinish(engine.handle(), transfer.c_str())
                         : api.RemoteGenerateFinishEx(engine.handle(), transfer.c_str(), mode);
}

namespace {

template <typename Call>
std::int32_t MakeReport(const Engine& engine, std::string& report, Call call) {
  const std::int32_t max = engine.api().GetMaxReportSize(engine.handle());
  if (max < 0) throw std::runtime_error("GetMaxReportSize failed");
  std::vector<char> buffer(static_cast<std::size_t>(max) + 1, '\0');
  const std::int32_t code = call(buffer.data());
  if (code == 0) report = BufferText(buffer);
  return code;
}

}  // namespace

std::int32_t StoredReport(const Engine& engine, const std::string& uid, std::string& report) {
  return MakeReport(engine, report, [&](char* buffer) {
    return engine.api().GetReport(engine.handle(), uid.c_str(), buffer);
  });
}

std::int32_t FileReport(const Engine& engine, const std::string& file, std::string& report) {
  return MakeReport(engine, report, [&](char* buffer) {
    return engine.api().GetPublicKeyPropertiesByFile(engine.handle(), file.c_str(), buffer);
  });
}

std::int32_t TransferReport(const Engine& engine, const std::string& transfer,
                            std::string& report) {
  return MakeReport(engine, report, [&](char* buffer) {
    return engine.api().GetPublicKeyPropertiesByTransfer(engine.handle(), transfer.c_str(), buffer);
  });
}

ReportFields ParseReport(const std::string& report) {
  ReportFields fields;
  const std::pair<const char*, std::string*> keys[] = {{"UID=", &fields.uid},
                                                       {"KN=", &fields.keyNumber},
                                                       {"ICN=", &fields.issuer},
                                                       {"IKN=", &fields.issuerKeyNumber},
                                                       {"NotBefore=", &fields.notBefore},
                                                       {"NotAfter=", &fields.notAfter}};
  std::size_t start = 0;
  while (start < report.size()) {
    std::size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "PKey=") {
      // The certificate text follows to the end, then an empty line.
      fields.certificate = report.substr(std::min(start, report.size()));
      while (!fields.certificate.empty() &&
             (fields.certificate.back() == '\n' || fields.certificate.back() == '\r'))
        fields.certificate.pop_back();
      break;
    }
    for (const auto& [key, value] : keys)
      if (line.starts_with(key)) *value = line.substr(std::strlen(key));
  }
  return fields;
}

std::string IsoDate(const std::string& date) {
  // MM-DD.YYYY hh:mm:ss
  const auto digits = [&](std::size_t at, std::size_t count) {
    for (std::size_t i = at; i < at + count; ++i)
      if (i >= date.size() || date[i] < '0' || date[i] > '9') return false;
    return true;
  };
  if (date.size() < 16 || !digits(0, 2) || date[2] != '-' || !digits(3, 2) || date[5] != '.' ||
      !digits(6, 4) || date[10] != ' ')
    return date;
  // The report adds seconds that are always ":00": the validity is kept to the minute.
  std::string time = date.substr(10);
  if (time.size() == 9 && time.ends_with(":00")) time.resize(6);
  return date.substr(6, 4) + "-" + date.substr(0, 2) + "-" + date.substr(3, 2) + time;
}

std::optional<std::string> ReadTransferText(const std::string& path, std::size_t limit) {
  if (path != "-") {
    const auto size = platform::FileSize(path);
    if (!size || *size > limit) return std::nullopt;
    const auto bytes = Bytes::ReadFile(path);
    if (!bytes) return std::nullopt;
    return std::string(bytes->view().begin(), bytes->view().end());
  }
  // Standard input, once, into a buffer of the longest text and one byte more.
  std::string text(limit + 1, '\0');
  std::size_t size = 0;
  for (std::size_t n; size < text.size() &&
                      (n = std::fread(text.data() + size, 1, text.size() - size, stdin)) > 0;)
    size += n;
  if (std::ferror(stdin) || size > limit) return std::nullopt;
  text.resize(size);
  return text;
}

bool WriteTransferText(const std::string& path, const std::string& transfer, std::string& problem,
                       bool outcome) {
  const std::string line = transfer + "\n";
  // Made beside its name and renamed over it, and removed when the command is interrupted.
  auto out = Output::Open(path, false, problem, outcome);
  return out &&
         out->Commit(std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()),
                     problem);
}

}  // namespace vornak2::host
