// libFuzzer target: `kelvaro.toml` loading never crashes, and every problem it reports names
// the file. Each input is written to the file in a scratch configuration folder, so that the
// whole load runs as in the program: reading, the UTF-8 check, parsing, then the sections.
// The folder is made under TMPDIR; a memory file system there (TMPDIR=/dev/shm) runs it
// several times faster.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "config.hpp"
#include "fsutil.hpp"

namespace {

namespace fs = std::filesystem;

// A configuration folder of this process, removed when the run ends.
struct Scratch {
  fs::path dir = fs::temp_directory_path() / ("kelvaro-config-fuzz-" + std::to_string(getpid()));
  Scratch() { fs::create_directories(dir); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

const fs::path& config_dir() {
  static const Scratch scratch;
  return scratch.dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path file = config_dir() / "kelvaro.toml";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
      std::abort();
    }
  }
  auto config = kelvaro::load_config(config_dir());
  if (!config) {
    if (config.error().find(kelvaro::display(file)) == std::string::npos) {
      std::abort();
    }
    return 0;
  }
  static_cast<void>(kelvaro::check_mcp_agents(*config));
  return 0;
}
