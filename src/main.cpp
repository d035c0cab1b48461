#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"
#include "fsutil.hpp"

int main(int argc, char** argv) {
  // Before anything is opened: a closed standard stream would otherwise be taken by the lock
  // file, and `kelvaro sync | head -1` must not end the run half-way.
  kelvaro::open_standard_streams();
  kelvaro::ignore_broken_pipes();
  kelvaro::prepare_standard_streams();
  std::vector<std::string> args = kelvaro::capture_arguments(argc, argv);
  auto env = kelvaro::capture_environment();
  if (!env) {
    std::cerr << "error: " << env.error() << "\n";
    return 1;
  }
  int status = kelvaro::run(args, *env, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
