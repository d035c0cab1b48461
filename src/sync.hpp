#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "context.hpp"
#include "hooks.hpp"
#include "instructions.hpp"
#include "link.hpp"
#include "mcp.hpp"
#include "render.hpp"
#include "report.hpp"
#include "section.hpp"

// The `sync` command: plan the fan-out, print what is not in order and apply it.
namespace kelvaro {

// One folder's planned links.
struct LinkGroup {
  std::string agent;            // the agent's name
  std::string dir;              // the surface (or cleanup) folder as written, relative to home;
                                // the real text, escaped only where it is printed
  std::vector<LinkItem> items;  // in the planner's order; `linked` ones without paths
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
  // The sections after the links, each with its title; their fatal texts are moved into
  // `blocking` (`move_fatal`).
  Section<InstructionsItem> instructions;
  McpPlan mcp;
  RenderPlan renders;
  HookPlan hooks;
  // Texts that stop the whole run before any change: MCP fatal texts, then the rendered
  // commands' errors, then the hook files' fatal texts.
  std::vector<std::string> blocking;
};

// One line of a section as every report shows it, before the report applies its own width
// (`word_width`); `adopt` shows it after the folder. `label` and `note` have their control
// characters escaped.
struct Row {
  std::string_view word;    // the state's word
  std::string label;        // what the line is about: an entry, an agent, "server → agent", ...
  std::string note;         // why it is in that state; empty when there is nothing to add
  bool actionable = false;  // `sync` changes it
};

// How a hook's command stands in its label: `sync` keeps lines short, `status` shows it whole.
enum class CommandForm : std::uint8_t { shown, whole };

Row row_of(const LinkItem& item);
Row row_of(const InstructionsItem& item);
Row row_of(const McpItem& item);
Row row_of(const RenderItem& item);
Row row_of(const HookItem& item, CommandForm form);

// Whether a formatted row ends with its note.
enum class NoteShown : std::uint8_t { always, unless_actionable };

// "  {word:width} {label}", then " — {note}" when the note is not empty and `shown` admits it.
std::string format_row(const Row& row, std::size_t width, NoteShown shown = NoteShown::always);

// The least widths `sync` pads its state words to, block by block: links, instructions and MCP
// servers 9, rendered commands 10, hooks 12. `status` pads every section alike, to at least
// the longest link word ("variant-identical").
inline constexpr std::size_t sync_link_width = 9;
inline constexpr std::size_t sync_instructions_width = 9;
inline constexpr std::size_t sync_mcp_width = 9;
inline constexpr std::size_t sync_render_width = 10;
inline constexpr std::size_t sync_hooks_width = 12;

// The link items a report prints: every one but a link in order.
inline bool not_linked(const LinkItem& item) {
  return item.state != LinkState::linked;
}

// `least`, or the length of the longest state word among the `items` that `shown` picks when
// that is longer: a block's column then holds every word it prints, whatever words the states
// gain.
template <typename Item, typename Pick>
std::size_t word_width(const std::vector<Item>& items, Pick shown, std::size_t least) {
  for (const Item& item : items) {
    if (shown(item)) {
      least = std::max(least, to_string(item.state).size());
    }
  }
  return least;
}

// Prints the section's title and the row `row` gives for each item that `shown` picks, its word
// padded to `width`; false, and nothing printed, when it picks none. Both reports print their
// sections with it.
template <typename Item, typename Pick, typename RowOf>
bool print_section(Reporter& reporter, const Section<Item>& section, Pick shown, RowOf row,
                   std::size_t width) {
  if (std::none_of(section.items.begin(), section.items.end(), shown)) {
    return false;
  }
  print_line(reporter, section.title);
  for (const Item& item : section.items) {
    if (shown(item)) {
      print_line(reporter, format_row(row(item), width));
    }
  }
  return true;
}

// Reports the plan's scan warnings, as every report of the plan starts.
void report_plan_warnings(const SyncPlan& plan, Reporter& reporter);

// Reports, as errors, the blocking texts, then the per-agent MCP errors, then the per-agent hook
// errors: all a report says when it stops before its sections, and all `status` says before it.
void report_plan_errors(const SyncPlan& plan, Reporter& reporter);

// Lists the installed agents once and plans, for each of them, the links of every family and
// every further section against the Commons of `ctx`. The home and Commons are anchored first
// (see `SyncPlan::ctx`). Only reads.
SyncPlan plan_sync(const RunContext& ctx, const Config& config);

// Runs `sync` (`dry_run`: report only, take no lock). Returns 1 when an error was reported,
// else 0.
int sync(const RunContext& ctx, const Config& config, Reporter& reporter, bool dry_run);

}  // namespace kelvaro
