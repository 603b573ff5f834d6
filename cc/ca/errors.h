// The two ways a command of the test authority ends early, and the exit codes they give.
#pragma once

#include <stdexcept>

namespace ca {

// A command-line mistake: exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A failed or refused operation: exit code 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace ca
