// TCrypto_DLL: what every run-time loaded library wrapper reports about its library.
#pragma once

namespace vornak2 {

class TCrypto_DLL {
 public:
  TCrypto_DLL() = default;
  TCrypto_DLL(const TCrypto_DLL&) = delete;
  TCrypto_DLL& operator=(const TCrypto_DLL&) = delete;

  // The library file was loaded.
  bool Loaded() const noexcept { return loaded_; }
  // Every entry point that the wrapper needs was found.
  bool Complete() const noexcept { return complete_; }

 protected:
  ~TCrypto_DLL() = default;
  bool loaded_ = false;
  bool complete_ = false;
};

}  // namespace vornak2
