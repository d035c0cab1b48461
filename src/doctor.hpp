#pragma once

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"

// The `doctor` command: where everything is, what the Commons holds, which agents are installed
// and how material reaches them, and what is in the way. It only reads, except for one probe
// file per agent folder that it creates and removes at once.
namespace kelvaro {

// Runs `doctor`. Returns 1 when an error was reported (no Commons, an agent folder that cannot
// be written), else 0.
int doctor(const RunContext& ctx, const Config& config, Reporter& reporter);

}  // namespace kelvaro
