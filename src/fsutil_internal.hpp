#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "fsutil.hpp"
#include "result.hpp"

// The seams between fsutil.cpp and its platform halves: what one half provides for the shared
// code and nothing else calls.
namespace kelvaro {

// The permission bits a file is created with: `bits` less the umask, or, when `exact`, `bits`
// themselves (what the umask took at creation is given back, which only widens towards
// `bits`).
struct NewFileBits {
  std::uint32_t bits = shared_file_mode;
  bool exact = false;
};

// As `write_new_file`, with the bytes that `source` hands over and the bits `bits` says.
Result<void, std::error_code> write_new_file_from(const std::filesystem::path& path,
                                                  const ByteSource& source, NewFileBits bits);

// Gives `to` the owner and group of `from` (links followed) where the platform has them and
// they differ. A failure is ignored: only a privileged process may give a file away.
void copy_owner(const std::filesystem::path& from, const std::filesystem::path& to);

// True when a write to standard output that failed with the system error number `error` (0
// when it left none) failed only because the reader has gone.
bool standard_output_reader_gone(int error);

// The environment made of `entries` (name, value), in the system's order: the first of two
// entries with one name wins. Fails with a message when a name or value is not valid UTF-8.
Result<EnvSnapshot> environment_from_entries(
    const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace kelvaro
