// The authority's operator as a host of libvornak2.so: the test authority answers a renewal with
// a transfer, and transfers are the adapter's format, so it opens the ones that come in and signs
// the ones that go out through the library's exports, with the operator's key set.
#pragma once

#include <memory>
#include <string>

namespace ca {

class OperatorHost {
 public:
  // Loads the library (beside the tool, or VORNAK2_LIBRARY) and an engine for the operator's key
  // set ROOT/NAME (its secret keys, certificate store and own certificate). Throws
  // std::runtime_error when the library cannot be loaded or configured.
  OperatorHost(const std::string& root, const std::string& name);
  ~OperatorHost();
  OperatorHost(const OperatorHost&) = delete;
  OperatorHost& operator=(const OperatorHost&) = delete;

  // The operator's UID.
  std::string Uid() const;
  // Checks the sender's signature on a transfer (the sender's certificate must be in the
  // operator's store) and writes the file it carries into `dir`; the UID it carries. Throws
  // std::runtime_error with the library's message when the transfer is refused.
  std::string Open(const std::string& transfer, const std::string& dir) const;
  // The transfer of a certificate file, signed by the operator.
  std::string TransferOf(const std::string& file) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ca
