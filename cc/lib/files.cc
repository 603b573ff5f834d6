// The random-state file of the cc library.
#include "files.h"
#include "cc_abi.h"
#include "gost.h"
#include "util.h"

namespace cc {

void RandomStateText(SecretText& text) {
  constexpr std::size_t kBytes = 384;
  ccgost::SecureBytes bytes(kBytes);
  ccgost::RandomBytes(bytes.span());
  text.str().assign("VORNAK2-CC RANDOM STATE 1\nSeed: ");
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::uint8_t b : bytes.span()) {
    text.str().push_back(kDigits[b >> 4]);
    text.str().push_back(kDigits[b & 15]);
  }
  text.str().push_back('\n');
}

int WriteRandomState(const std::string& path) {
  SecretText text;
  RandomStateText(text);
  return WriteFileInPlace(path, text.str(), 0600);
}

}  // namespace cc
