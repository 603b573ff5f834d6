#include <iostream>
#include <string_view>
#include <vector>

#include "ca.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  return ca::Run(args, std::cout, std::cerr);
}
