#pragma once

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"

// The `status` command: the plans `sync` would act on, shown as text or as one JSON document,
// without a lock and without writing anything.
namespace kelvaro {

// Runs `status` (`json`: the document instead of the text). Returns 1 when an error was
// reported, else 2 when some item needs attention, else 0.
int status(const RunContext& ctx, const Config& config, Reporter& reporter, bool json);

}  // namespace kelvaro
