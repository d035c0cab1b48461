#pragma once

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"

// The `init` command: create the Commons and its family folders, then survey what the
// installed agents hold that the Commons does not. Only creates missing folders; no lock.
namespace kelvaro {

// Runs `init`. Returns 1 when a Commons folder cannot be created (nothing else is printed
// then), else 0.
int init(const RunContext& ctx, const Config& config, Reporter& reporter);

}  // namespace kelvaro
