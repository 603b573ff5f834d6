// The test authority stopped at one write point: runs one command of vornak2-ca with the
// injected stop at the Nth write point of its file layer (cc's), or with none.
//
//   cc_ca_stop_child N COMMAND [ARGS...]
//
// N 0 runs the command to its end and prints "write points P" on a line of its own (P: the write
// points counted) after the command's output; its exit status is the command's. A stop ends the
// process with the fault hook's exit status.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <vector>

#include "ca.h"
#include "files.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: cc_ca_stop_child N COMMAND [ARGS...]\n");
    return 2;
  }
  const unsigned long long n = std::strtoull(argv[1], nullptr, 10);
  const std::vector<std::string_view> args(argv + 2, argv + argc);
  cc::InjectFileFault(n, 0);
  const int code = ca::Run(args, std::cout, std::cerr);
  std::cout << "\nwrite points " << cc::FileWritePoints() << std::endl;
  return code;
}
