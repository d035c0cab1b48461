// Runs a fuzz target without libFuzzer: each file named on the command line is fed to
// LLVMFuzzerTestOneInput once, so that a build without clang still compiles every target and a
// crashing input found elsewhere can be replayed under a debugger.
#include <fmt/format.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "fsutil.hpp"
#include "fuzz_target.hpp"

int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<std::size_t>(argc));
  for (const char* name : args.subspan(1)) {
    auto bytes = kelvaro::read_file(name);
    if (!bytes) {
      fmt::print(stderr, "cannot read {}: {}\n", name, bytes.error().message());
      return 1;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
  }
  return 0;
}
