#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"

// The `revert` command: takes out of one disabled agent everything the program put there, and
// nothing that is not demonstrably its own.
namespace kelvaro {

// The full paths of the entries of `dir` that can be read, sorted by path; empty when `dir`
// cannot be listed.
std::vector<std::filesystem::path> list_dir_sorted(const std::filesystem::path& dir);

// Removes the link at `path` when it leads into `commons` (live or dangling), printing
// "removed {}" with the path shown under `root`; true then. Anything else at `path` stays and
// gives false; a failed removal is reported as an error and gives false.
bool remove_commons_link(const std::filesystem::path& root, const std::filesystem::path& path,
                         const std::filesystem::path& commons, Reporter& reporter);

// Runs `revert` for the agent called `name`, which `kelvaro.toml` must disable. Returns 1 when
// an error was reported, else 0.
int revert(const RunContext& ctx, const Config& config, Reporter& reporter, std::string_view name);

}  // namespace kelvaro
