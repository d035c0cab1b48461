#pragma once

#include <filesystem>
#include <optional>
#include <system_error>

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"
#include "result.hpp"

// The `adopt` command: takes one existing file or folder under the Commons' management and fans
// the new entry out to every installed agent.
namespace kelvaro {

// Runs `adopt` on the path the user typed (`dry_run`: report only, take no lock). Returns 1
// when an error was reported, else 0.
int adopt(const RunContext& ctx, const Config& config, Reporter& reporter,
          const std::filesystem::path& path_text, bool dry_run);

// Copies `from` to the new path `to`, a folder with everything in it (links followed). The copy
// is assembled under a hidden name beside `to`, flushed, and renamed into place, so `to` either
// does not exist or is complete; on failure nothing of the copy is left. Fails with the system
// error of the first step that failed.
Result<void, std::error_code> copy_tree(const std::filesystem::path& from,
                                        const std::filesystem::path& to);

// Moves `from` to the new path `to`: one rename, or across file systems a complete `copy_tree`,
// after which `from` is renamed in one step to a hidden name in its own folder. Returns that
// name, which the caller removes once something stands in `from`'s place; none after a rename.
// Fails with the system error of the failing step, `from` then left where it was.
Result<std::optional<std::filesystem::path>, std::error_code> move_path(
    const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace kelvaro
