#include "sync.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "agents.hpp"
#include "commons.hpp"
#include "fsutil.hpp"
#include "link.hpp"
#include "lock.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// `format_row` appended to `line`. A report prints thousands of rows; the words are ASCII, so
// padding them is counting bytes, and no format string is gone through.
void append_row(std::string& line, const Row& row, std::size_t width, NoteShown shown) {
  const bool with_note = !row.note.empty() && (shown == NoteShown::always || !row.actionable);
  const bool ascii_word = std::all_of(row.word.begin(), row.word.end(),
                                      [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii_word) {
    if (with_note) {
      fmt::format_to(std::back_inserter(line), "  {:{}} {} — {}", row.word, width, row.label,
                     row.note);
    } else {
      fmt::format_to(std::back_inserter(line), "  {:{}} {}", row.word, width, row.label);
    }
    return;
  }
  static constexpr std::string_view dash = " — ";
  const std::size_t padding = row.word.size() < width ? width - row.word.size() : 0;
  line.reserve(line.size() + 2 + row.word.size() + padding + 1 + row.label.size() +
               (with_note ? dash.size() + row.note.size() : 0));
  line.append("  ").append(row.word).append(padding, ' ').append(" ").append(row.label);
  if (with_note) {
    line.append(dash).append(row.note);
  }
}

// What the sections share while they print and apply.
struct SyncRun {
  const RunContext& ctx;
  Reporter& reporter;
  bool dry_run = false;
  std::uint64_t changes = 0;
};

// Takes out the removals of a family whose folder could not be listed: its links cannot be
// reached then, and they would all be judged dangling and removed.
std::vector<LinkItem> without_removals(std::vector<LinkItem> items) {
  std::erase_if(items, [](const LinkItem& item) {
    return item.state == LinkState::dangling || item.state == LinkState::duplicate;
  });
  return items;
}

// `commands_scan` receives the scan of the commands family, which the rendered commands reuse.
void plan_link_groups(const std::vector<Agent>& agents, SyncPlan& plan, FamilyScan& commands_scan) {
  const RunContext& ctx = plan.ctx;
  const std::vector<LinkFolder> folders = link_folders(ctx, agents);
  for (Family family : all_families) {
    FamilyScan scan = scan_family(ctx.commons, family);
    const bool unreadable = std::any_of(
        scan.warnings.begin(), scan.warnings.end(),
        [](const ScanWarning& warning) { return std::holds_alternative<ScanUnreadable>(warning); });
    // Returned by move: a conditional expression over `items` would copy every item.
    auto planned = [&](std::vector<LinkItem> items) {
      if (unreadable) {
        return without_removals(std::move(items));
      }
      return items;
    };
    for (const ScanWarning& warning : scan.warnings) {
      plan.warnings.push_back(to_string(warning));
    }
    for (const LinkFolder& folder : folders) {
      if (folder.family != family) {
        continue;
      }
      // A custom agent rooted in a Commons family folder would have its links judged against
      // the Commons itself, and the user's own links there removed.
      if (folder.place == FolderPlace::named_in_commons && folder.role == FolderRole::surface) {
        plan.warnings.push_back(fmt::format("{} ({}) lies in the Commons — skipped",
                                            visible_text(folder.agent), display(folder.dir)));
        continue;
      }
      std::vector<LinkItem> items;
      if (folder.place == FolderPlace::own) {
        if (folder.role == FolderRole::surface) {
          items = plan_folder_links(folder, scan.entries, ctx.commons, LinkPaths::unless_linked);
        } else if (auto leftovers = list_commons_links(folder.path, ctx.commons)) {
          items = std::move(*leftovers);
        }
      }
      plan.link_groups.push_back(LinkGroup{.agent = folder.agent,
                                           .dir = path_text(folder.dir),
                                           .items = planned(std::move(items)),
                                           .family = family});
    }
    if (family == Family::commands) {
      commands_scan = std::move(scan);
    }
  }
}

// The section planners after the links. Each fills its own `SyncPlan` field and moves its
// blocking texts into `plan.blocking`, in the order they are called.
void plan_instructions_section(const std::vector<Agent>& agents, SyncPlan& plan) {
  plan.instructions = Section<InstructionsItem>{
      .title = "instructions (AGENTS.md)",
      .items = plan_instructions(plan.ctx, agents, commons_instructions_file(plan.ctx.commons))};
}

// Planned on the context as given, which reaches the same files: its messages then name them
// as the `mcp` subcommands do.
void plan_mcp_section(const RunContext& given, const Config& config,
                      const std::vector<Agent>& agents, SyncPlan& plan) {
  plan.mcp = plan_mcp(given, config, agents, commons_mcp_file(given.commons));
  plan.mcp.title = "mcp (mcp.json)";
  move_fatal(plan.mcp, plan.blocking);
}

void plan_render_section(const std::vector<Agent>& agents, const FamilyScan& commands_scan,
                         SyncPlan& plan) {
  plan.renders = plan_renders(plan.ctx, agents, plan.ctx.commons, &commands_scan);
  plan.renders.title = "rendered commands";
  move_fatal(plan.renders, plan.blocking);
}

void plan_hooks_section(const std::vector<Agent>& agents, SyncPlan& plan) {
  plan.hooks = plan_hooks(plan.ctx, agents, commons_hooks_dir(plan.ctx.commons));
  plan.hooks.title = "hooks";
  move_fatal(plan.hooks, plan.blocking);
}

std::string fix_failure(const LinkItem& item, const std::error_code& error, const fs::path& home) {
  return fmt::format("cannot fix {}: {}", display_under(item.link_path, home),
                     link_failure(item.link_path, error, home));
}

void run_link_section(const SyncPlan& plan, SyncRun& run) {
  // A first sync prints a row per link: each is put together in this one buffer.
  std::string line;
  for (const LinkGroup& group : plan.link_groups) {
    if (std::none_of(group.items.begin(), group.items.end(), not_linked)) {
      continue;
    }
    print_line(run.reporter,
               fmt::format("{} ({})", visible_text(group.agent), visible_text(group.dir)));
    const std::size_t width = word_width(group.items, not_linked, sync_link_width);
    for (const LinkItem& item : group.items) {
      if (item.state == LinkState::linked) {
        continue;
      }
      const Row row = row_of(item);
      if (row.actionable && !run.dry_run) {
        auto fixed = apply_link_fix(item);
        if (!fixed) {
          report_error(run.reporter, fix_failure(item, fixed.error(), run.ctx.home));
          continue;
        }
      }
      line.clear();
      append_row(line, row, width, NoteShown::unless_actionable);
      print_line(run.reporter, line);
      run.changes += row.actionable ? 1U : 0U;
    }
  }
}

// The sections after the links each print (and, unless a dry run, apply) their own `SyncPlan`
// field and add to `run.changes`.
//
// Instructions are applied item by item, each line printed once its change is made. An agent
// whose wiring failed gets none of its later items: a leftover is only removed once the
// route it gives way to is in place.
void run_instructions_section(const SyncPlan& plan, SyncRun& run) {
  auto of_interest = [](const InstructionsItem& item) {
    return item.state != InstructionsState::linked && item.state != InstructionsState::imported;
  };
  const std::vector<InstructionsItem>& items = plan.instructions.items;
  if (std::none_of(items.begin(), items.end(), of_interest)) {
    return;
  }
  print_line(run.reporter, plan.instructions.title);
  const std::size_t width = word_width(items, of_interest, sync_instructions_width);
  std::vector<std::string> failed;
  for (const InstructionsItem& item : items) {
    if (!of_interest(item) || std::find(failed.begin(), failed.end(), item.agent) != failed.end()) {
      continue;
    }
    const Row row = row_of(item);
    if (row.actionable && !run.dry_run) {
      auto applied = apply_instructions_item(run.ctx, item);
      if (!applied) {
        report_error(run.reporter,
                     fmt::format("cannot write {}: {}", display(item.path), applied.error()));
        failed.push_back(item.agent);
        continue;
      }
    }
    print_line(run.reporter, format_row(row, width, NoteShown::unless_actionable));
    run.changes += row.actionable ? 1U : 0U;
  }
}

// Prints the section's items that are not in the `settled` state, their words padded to the
// longest of them or to `least`; false when every item is settled.
template <typename Item, typename State, typename RowOf>
bool print_unsettled(Reporter& reporter, const Section<Item>& section, State settled, RowOf row,
                     std::size_t least) {
  auto shown = [settled](const Item& item) { return item.state != settled; };
  return print_section(reporter, section, shown, row, word_width(section.items, shown, least));
}

// The changes a dry run would make to `items`.
template <typename Item>
std::uint64_t count_actionable(const std::vector<Item>& items) {
  return static_cast<std::uint64_t>(std::count_if(
      items.begin(), items.end(), [](const Item& item) { return is_actionable(item.state); }));
}

// Every line is printed before anything is applied. Removals come first; then each agent file
// is written once with all of its missing and drifted servers.
void run_mcp_section(const SyncPlan& plan, SyncRun& run) {
  const std::vector<McpItem>& items = plan.mcp.items;
  auto row = [](const McpItem& item) { return row_of(item); };
  if (!print_unsettled(run.reporter, plan.mcp, McpState::managed, row, sync_mcp_width)) {
    return;
  }
  if (run.dry_run) {
    run.changes += count_actionable(items);
    return;
  }

  for (const McpItem& item : items) {
    if (item.state != McpState::disabled) {
      continue;
    }
    auto removed = remove_agent_servers(item.path, item.key, item.format, item.server);
    if (!removed) {
      report_error(run.reporter, removed.error());
      continue;
    }
    ++run.changes;
  }

  std::vector<std::vector<McpItem>> groups;
  for (const McpItem& item : items) {
    if (item.state != McpState::missing && item.state != McpState::drifted) {
      continue;
    }
    auto group = std::find_if(groups.begin(), groups.end(), [&](const std::vector<McpItem>& g) {
      return g.front().path == item.path;
    });
    if (group == groups.end()) {
      groups.push_back({item});
    } else {
      group->push_back(item);
    }
  }
  for (const std::vector<McpItem>& group : groups) {
    const McpItem& first = group.front();
    auto written = write_agent_servers(first.path, first.key, first.format, group);
    if (!written) {
      report_error(run.reporter, written.error());
      continue;
    }
    run.changes += group.size();
    warn_readable_secrets(run.reporter, *written);
  }
}

void run_render_section(const SyncPlan& plan, SyncRun& run) {
  const std::vector<RenderItem>& items = plan.renders.items;
  auto row = [](const RenderItem& item) { return row_of(item); };
  if (!print_unsettled(run.reporter, plan.renders, RenderState::managed, row, sync_render_width)) {
    return;
  }
  for (const RenderItem& item : items) {
    if (!is_actionable(item.state)) {
      continue;
    }
    if (run.dry_run) {
      ++run.changes;
      continue;
    }
    auto applied = apply_render_item(item);
    if (!applied) {
      report_error(run.reporter, applied.error());
    } else if (*applied) {
      ++run.changes;
    }
  }
}

void run_hooks_section(const SyncPlan& plan, SyncRun& run) {
  const std::vector<HookItem>& items = plan.hooks.items;
  auto row = [](const HookItem& item) { return row_of(item, CommandForm::shown); };
  if (!print_unsettled(run.reporter, plan.hooks, HookState::managed, row, sync_hooks_width)) {
    return;
  }
  if (run.dry_run) {
    run.changes += count_actionable(items);
    return;
  }
  HookApplyResult applied = apply_hook_items(items);
  report_errors(run.reporter, applied.messages);
  run.changes += applied.written;
}

void print_summary(SyncRun& run) {
  if (run.changes > 0) {
    print_line(run.reporter, "");
    print_line(run.reporter,
               fmt::format("{} {} {}.", run.changes, run.changes == 1 ? "change" : "changes",
                           run.dry_run ? "would be made" : "made"));
  } else if (run.reporter.errors > 0) {
    print_line(run.reporter, "");
    print_line(run.reporter, "No changes were made — see the errors above.");
  } else {
    print_line(run.reporter, "Everything is up to date.");
  }
}

}  // namespace

Row row_of(const LinkItem& item) {
  return Row{.word = to_string(item.state),
             .label = visible_text(item.name),
             .note = link_note(item),
             .actionable = is_actionable(item.state)};
}

Row row_of(const InstructionsItem& item) {
  return Row{.word = to_string(item.state),
             .label = visible_text(item.agent),
             .note = visible_text(describe_instructions_item(item)),
             .actionable = is_actionable(item.state)};
}

Row row_of(const McpItem& item) {
  return Row{.word = to_string(item.state),
             .label = visible_text(fmt::format("{} → {}", item.server, item.agent)),
             .note = visible_text(describe_mcp_item(item)),
             .actionable = is_actionable(item.state)};
}

Row row_of(const RenderItem& item) {
  return Row{.word = to_string(item.state),
             .label = visible_text(fmt::format("{} → {}", item.name, item.agent)),
             .note = std::string(render_note(item.state)),
             .actionable = is_actionable(item.state)};
}

Row row_of(const HookItem& item, CommandForm form) {
  const std::string command =
      form == CommandForm::shown ? shown_command(item.command) : item.command;
  return Row{.word = to_string(item.state),
             .label = visible_text(fmt::format("{} {} → {}", item.event, command, item.agent)),
             .note = visible_text(describe_hook_item(item)),
             .actionable = is_actionable(item.state)};
}

std::string format_row(const Row& row, std::size_t width, NoteShown shown) {
  std::string line;
  append_row(line, row, width, shown);
  return line;
}

void report_plan_warnings(const SyncPlan& plan, Reporter& reporter) {
  for (const std::string& warning : plan.warnings) {
    report_warning(reporter, warning);
  }
}

void report_plan_errors(const SyncPlan& plan, Reporter& reporter) {
  report_errors(reporter, plan.blocking);
  report_errors(reporter, plan.mcp.errors);
  report_errors(reporter, plan.hooks.errors);
}

SyncPlan plan_sync(const RunContext& ctx, const Config& config) {
  SyncPlan plan;
  plan.ctx = anchor_context(ctx);

  const std::vector<Agent> agents = list_agents(plan.ctx.home, config);
  FamilyScan commands_scan;
  plan_link_groups(agents, plan, commands_scan);
  plan_instructions_section(agents, plan);
  plan_mcp_section(ctx, config, agents, plan);
  plan_render_section(agents, commands_scan, plan);
  plan_hooks_section(agents, plan);
  // gemini keeps its servers and its hooks in one settings file: when that file cannot be
  // used, both plans say so in the same words, and a report says it once.
  std::erase_if(plan.hooks.errors, [&](const std::string& error) {
    return std::find(plan.mcp.errors.begin(), plan.mcp.errors.end(), error) !=
           plan.mcp.errors.end();
  });
  return plan;
}

int sync(const RunContext& ctx, const Config& config, Reporter& reporter, bool dry_run) {
  if (!require_commons(ctx, reporter)) {
    return 1;
  }

  std::optional<HeldLock> lock;
  if (dry_run) {
    print_line(reporter, "dry run — no changes will be made");
    print_line(reporter, "");
  } else {
    lock = take_lock(ctx, reporter);
    if (!lock) {
      return 1;
    }
  }

  SyncPlan plan = plan_sync(ctx, lock ? lock->config : config);
  SyncRun run{.ctx = plan.ctx, .reporter = reporter, .dry_run = dry_run, .changes = 0};

  report_plan_warnings(plan, reporter);
  if (!plan.blocking.empty()) {
    report_plan_errors(plan, reporter);
  } else {
    run_link_section(plan, run);
    run_instructions_section(plan, run);
    report_errors(reporter, plan.mcp.errors);
    run_mcp_section(plan, run);
    run_render_section(plan, run);
    report_errors(reporter, plan.hooks.errors);
    run_hooks_section(plan, run);
  }

  flush_written_folders();
  print_summary(run);
  return reporter.errors > 0 ? 1 : 0;
}

}  // namespace kelvaro
