#pragma once

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"

// The `mcp` subcommands.
namespace kelvaro {

// `mcp list`: every Commons server, then every server only agents hold, each with its state in
// every agent that concerns it; `json` prints one document instead of the lines. Takes no lock
// and writes nothing. Returns 1 after an error, else 2 when some server is missing, drifted or
// disabled in some agent, else 0.
int mcp_list(const RunContext& ctx, const Config& config, Reporter& reporter, bool json);

}  // namespace kelvaro
