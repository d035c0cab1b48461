#pragma once

#include <string_view>

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"

// The `revert` command: takes out of one disabled agent everything the program put there, and
// nothing that is not demonstrably its own.
namespace kelvaro {

// Runs `revert` for the agent called `name`, which `kelvaro.toml` must disable. Returns 1 when
// an error was reported, else 0.
int revert(const RunContext& ctx, const Config& config, Reporter& reporter, std::string_view name);

}  // namespace kelvaro
