// Test output goes out as it is written, so that a test program that stops or hangs under an
// emulator shows how far it got.
#include <cstdio>

namespace {

const bool kUnbuffered = [] {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return true;
}();

}  // namespace
