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
  // What a transfer carries, read from the one decoding whose signature the library checked.
  struct Received {
    std::string uid;     // the transfer's UID field (the key owner the sender names)
    std::string signer;  // who signed it: a certificate in the operator's store, verified
    std::string data;    // the carried file
  };
  // Checks the sender's signature on a transfer through the library (RemoveSign: the signer's
  // certificate must be in the operator's store and, with the validity check on, valid) and
  // reads the block it signed. Throws std::runtime_error with the library's message when the
  // transfer is refused.
  Received Open(const std::string& transfer) const;
  // The transfer of a certificate file, signed by the operator.
  std::string TransferOf(const std::string& file) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ca
