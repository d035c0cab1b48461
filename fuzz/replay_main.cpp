// Runs a fuzz target without libFuzzer: each file named on the command line is fed to
// LLVMFuzzerTestOneInput once, and a folder named there stands for the files in it, as a
// corpus does for libFuzzer. So a build without clang still compiles every target, the
// checked-in corpora replay as tests, and a crashing input found elsewhere can be replayed
// under a debugger.
#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "fsutil.hpp"
#include "fuzz_target.hpp"

namespace {

namespace fs = std::filesystem;

bool replay_file(const fs::path& file) {
  auto bytes = kelvaro::read_file(file);
  if (!bytes) {
    fmt::print(stderr, "cannot read {}: {}\n", kelvaro::display(file), bytes.error().message());
    return false;
  }
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
  return true;
}

// A folder's files in name order, so that a failing replay is the same run every time. An
// empty or unreadable folder fails: a corpus that replays nothing must not pass as one that
// replays cleanly.
bool replay_folder(const fs::path& dir) {
  auto entries = kelvaro::list_folder(dir, kelvaro::MissingFolder::error);
  if (!entries) {
    fmt::print(stderr, "cannot read {}: {}\n", kelvaro::display(dir), entries.error().message());
    return false;
  }
  std::vector<fs::path> files = std::move(*entries);
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    fmt::print(stderr, "{} holds no inputs\n", kelvaro::display(dir));
    return false;
  }
  return std::all_of(files.begin(), files.end(), replay_file);
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<std::size_t>(argc));
  for (const char* name : args.subspan(1)) {
    const fs::path path = kelvaro::path_from_utf8(name);
    if (!(kelvaro::is_folder(path) ? replay_folder(path) : replay_file(path))) {
      return 1;
    }
  }
  return 0;
}
