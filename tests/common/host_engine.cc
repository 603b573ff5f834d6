#include "host_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vornak2::testing {
namespace fs = std::filesystem;

HostEngine::HostEngine(const TestRoot& root, const UserKeys& user) : handle_(GetCryptObj(0)) {
  SetRootPath(handle_, root.dir().c_str());
  for (const auto& [number, value] : user.Params()) Set(number, value);
}

void HostEngine::Set(std::int32_t number, const std::string& value) const {
  EXPECT_EQ(SetCryptoParamValue(handle_, number, value.c_str()), 0) << number;
}

namespace {
template <typename Call>
HostEngine::Transfer MakeTransfer(VORNAK2_HANDLE handle, Call call) {
  std::string buffer(static_cast<std::size_t>(GetMaxPublicKeyTransferSize(handle)) + 1, '\0');
  HostEngine::Transfer t;
  t.code = call(buffer.data());
  if (t.code == 0) t.text = buffer.c_str();
  return t;
}
}  // namespace

HostEngine::Transfer HostEngine::OwnTransfer() const {
  return MakeTransfer(handle_, [&](char* b) { return ExcludeSelfPublicKeyTransfer(handle_, b); });
}

HostEngine::Transfer HostEngine::TransferOf(const std::string& uid) const {
  return MakeTransfer(handle_,
                      [&](char* b) { return GetPublicKeyTransfer(handle_, uid.c_str(), b); });
}

HostEngine::Transfer HostEngine::TransferOfFile(const std::string& file) const {
  return MakeTransfer(
      handle_, [&](char* b) { return GetPublicKeyTransferByFile(handle_, b, file.c_str()); });
}

std::int32_t HostEngine::UidOf(const std::string& transfer, std::string& uid) const {
  std::string buffer(static_cast<std::size_t>(GetMaxUIDLength(handle_)) + 1, '\0');
  const std::int32_t code = GetUIDByPublicKeyTransfer(handle_, transfer.c_str(), buffer.data());
  uid = buffer.c_str();
  return code;
}

std::vector<std::uint8_t> HostEngine::Sign(const std::string& data) const {
  std::vector<std::uint8_t> signature(static_cast<std::size_t>(GetMaxSignatureLength(handle_)));
  std::int32_t length = 0;
  if (SignData(handle_, data.data(), static_cast<std::int32_t>(data.size()), signature.data(),
               &length, "") != 0)
    return {};
  signature.resize(static_cast<std::size_t>(length));
  return signature;
}

std::int32_t HostEngine::Verify(const std::string& data, const std::vector<std::uint8_t>& signature,
                                std::string* signer) const {
  char uid[256] = {};
  const std::int32_t code =
      VerifyData(handle_, data.data(), static_cast<std::int32_t>(data.size()), signature.data(),
                 static_cast<std::int32_t>(signature.size()), uid);
  if (signer != nullptr) *signer = uid;
  return code;
}

std::string HostEngine::Uid() const {
  char uid[256] = {};
  return GetCurrentUserUID(handle_, uid) == 0 ? std::string(uid) : std::string();
}

std::vector<std::string> TreeListing(const std::string& dir) {
  std::vector<std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    std::string line = fs::relative(entry.path(), dir).generic_string();
    if (entry.is_directory()) {
      line += "/";
    } else if (entry.path().filename() != "@rand") {
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      line += "  " + std::to_string(content.str().size()) + " bytes, hash " +
              std::to_string(std::hash<std::string>{}(content.str()));
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace vornak2::testing
