#pragma once

#include <cstdint>
#include <ostream>

#include "config.hpp"
#include "context.hpp"
#include "documents.hpp"
#include "report.hpp"
#include "sync.hpp"

// The `status` command: the plans `sync` would act on, shown as text or as one JSON document,
// without a lock and without writing anything.
namespace kelvaro {

// The items of every section of `plan` whose state needs attention (`needs_attention`).
std::uint64_t attention_count(const SyncPlan& plan);

// Prints the `status --json` document of `plan` on `out`: "commons", "instructions", "mcp",
// "hooks", "rendered", "clean", "actionable", "targets", every item with its state and mark.
void print_status_json(const SyncPlan& plan, std::ostream& out);

// Prints the text report of `plan`: the link groups with items, then the sections that have
// items, then the closing line.
void print_status(const SyncPlan& plan, Reporter& reporter);

// Runs `status` (`json`: the document instead of the text). Returns 1 when an error was
// reported, else 2 when some item needs attention, else 0.
int status(const RunContext& ctx, const Config& config, Reporter& reporter, bool json);

}  // namespace kelvaro
