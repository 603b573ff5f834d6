// An engine as a host holds one: created, configured and released through the exports only, with
// small wrappers for the calls the store, transfer and renewal tests make again and again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "key_sets.h"
#include "vornak2.h"

namespace vornak2::testing {

class HostEngine {
 public:
  // An engine for `user`'s key set under the process's root.
  HostEngine(const TestRoot& root, const UserKeys& user);
  ~HostEngine() { DoneEngine(handle_); }
  HostEngine(const HostEngine&) = delete;
  HostEngine& operator=(const HostEngine&) = delete;

  VORNAK2_HANDLE get() const { return handle_; }
  void Set(std::int32_t number, const std::string& value) const;

  // A transfer text, or the code that refused it (the text is then empty).
  struct Transfer {
    std::int32_t code = -1;
    std::string text;
  };
  Transfer OwnTransfer() const;                            // ExcludeSelfPublicKeyTransfer
  Transfer TransferOf(const std::string& uid) const;       // GetPublicKeyTransfer
  Transfer TransferOfFile(const std::string& file) const;  // GetPublicKeyTransferByFile
  // GetUIDByPublicKeyTransfer; the UID in `uid`.
  std::int32_t UidOf(const std::string& transfer, std::string& uid) const;

  // A detached signature of `data` (empty when signing failed) and its verification; the signer
  // UID in `signer`.
  std::vector<std::uint8_t> Sign(const std::string& data) const;
  std::int32_t Verify(const std::string& data, const std::vector<std::uint8_t>& signature,
                      std::string* signer = nullptr) const;
  // The current user's UID; empty when the engine gives none.
  std::string Uid() const;

 private:
  VORNAK2_HANDLE handle_;
};

// Every file under `dir` (recursively) with its content, relative path first; the random-state
// files ("@rand"), which every operation rewrites, are listed without content.
std::vector<std::string> TreeListing(const std::string& dir);

}  // namespace vornak2::testing
