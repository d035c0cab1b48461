#pragma once

#include <filesystem>
#include <system_error>
#include <vector>

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"
#include "result.hpp"

// The `init` command: create the Commons and its family folders, then survey what the
// installed agents hold that the Commons does not. Only creates missing folders; no lock.
namespace kelvaro {

// The entries of the agent folder `folder` that `adopt` would take into `family`, full paths
// sorted by name: no hidden names, no links, and only the family's kind (folders for skills,
// ".md" files for commands and agents). Fails when the folder cannot be listed, with
// `no_such_file_or_directory` when it is not there.
Result<std::vector<std::filesystem::path>, std::error_code> adoptable_entries(
    const std::filesystem::path& folder, Family family);

// Runs `init`. Returns 1 when a Commons folder cannot be created (nothing else is printed
// then), else 0.
int init(const RunContext& ctx, const Config& config, Reporter& reporter);

}  // namespace kelvaro
