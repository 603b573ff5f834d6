// The test certification authority: creates authorities, issues certificates from requests,
// bootstraps a user's key set in the directory layout the adapter uses, and copies certificates
// into another user's certificate store.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

namespace ca {

// Runs one command line (without the program name). Returns the process exit code: 0 success,
// 1 the operation failed, 2 the command line is wrong.
int Run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace ca
