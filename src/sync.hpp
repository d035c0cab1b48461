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
  std::string dir;              // the surface (or cleanup) folder as written, relative to home
  std::vector<LinkItem> items;  // in the planner's order

  bool operator==(const LinkGroup&) const = default;
};

// Everything `sync` plans before it prints its first report line. The sections after the
// links each own a field here and one planning and one printing function in sync.cpp; an
// empty field means the section prints nothing and counts nothing.
struct SyncPlan {
  // Scan warning texts: skills, then commands, then agents, each in its scan's order.
  std::vector<std::string> warnings;
  // Every skills group, then every commands group, then every agents group, in agent order.
  std::vector<LinkGroup> link_groups;
  std::vector<InstructionsItem> instructions;
  // MCP servers: the items and per-agent errors; the fatal texts are moved to `blocking`.
  McpPlan mcp;
  std::vector<RenderItem> renders;
  HookPlan hooks;
  // Texts that stop the whole run before any change: MCP fatal texts, then the rendered
  // commands' errors, then the hook files' fatal texts.
  std::vector<std::string> blocking;
};

// Plans the links of every installed agent against the Commons of `ctx` (whose `home` and
// `commons` should already be absolute) and every further section. Only reads.
SyncPlan plan_sync(const RunContext& ctx, const Config& config);

// Runs `sync` (`dry_run`: report only, take no lock). Returns 1 when an error was reported,
// else 0.
int sync(const RunContext& ctx, const Config& config, Reporter& reporter, bool dry_run);

}  // namespace kelvaro
