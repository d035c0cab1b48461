#pragma once

#include <string>
#include <vector>

#include "config.hpp"
#include "context.hpp"
#include "hooks.hpp"
#include "instructions.hpp"
#include "link.hpp"
#include "mcp.hpp"
#include "render.hpp"
#include "report.hpp"

// The `sync` command: plan the fan-out, print what is not in order and apply it.
namespace kelvaro {

// One folder's planned links.
struct LinkGroup {
  std::string agent;            // the agent's name
  std::string dir;              // the surface (or cleanup) folder as written, relative to home;
                                // the real text, escaped only where it is printed
  std::vector<LinkItem> items;  // in the planner's order
  Family family = Family::skills;

  bool operator==(const LinkGroup&) const = default;
};

// Everything `sync` plans before it prints its first report line. The sections after the
// links each own a field here and one planning and one printing function in sync.cpp; an
// empty field means the section prints nothing and counts nothing.
struct SyncPlan {
  // The run's locations with home and Commons anchored (`anchor_context`): every path in the
  // plan but the MCP files is built on them, so whatever applies or shows the plan uses them too.
  RunContext ctx;
  // Scan warning texts: skills, then commands, then agents, each in its scan's order.
  std::vector<std::string> warnings;
  // Every skills group, then every commands group, then every agents group, in agent order.
  std::vector<LinkGroup> link_groups;
  std::vector<InstructionsItem> instructions;
  // The MCP plan's items and per-agent errors; its fatal texts are moved into `blocking`.
  McpPlan mcp;
  std::vector<RenderItem> renders;
  HookPlan hooks;
  // Texts that stop the whole run before any change: MCP fatal texts, then the rendered
  // commands' errors, then the hook files' fatal texts.
  std::vector<std::string> blocking;
};

// Lists the installed agents once and plans, for each of them, the links of every family and
// every further section against the Commons of `ctx`. The home and Commons are anchored first
// (see `SyncPlan::ctx`). Only reads.
SyncPlan plan_sync(const RunContext& ctx, const Config& config);

// Runs `sync` (`dry_run`: report only, take no lock). Returns 1 when an error was reported,
// else 0.
int sync(const RunContext& ctx, const Config& config, Reporter& reporter, bool dry_run);

}  // namespace kelvaro
