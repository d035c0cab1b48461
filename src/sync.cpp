#include "sync.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "agents.hpp"
#include "commons.hpp"
#include "fsutil.hpp"
#include "link.hpp"
#include "lock.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// What the sections share while they print and apply.
struct SyncRun {
  const RunContext& ctx;
  Reporter& reporter;
  bool dry_run = false;
  std::uint64_t changes = 0;
};

const Surface* surface_of(const Agent& agent, Family family) {
  for (const Surface& surface : agent.surfaces) {
    if (surface.family == family) {
      return &surface;
    }
  }
  return nullptr;
}

// The leftover folder of an agent that reads skills natively, when it names one.
std::optional<fs::path> cleanup_dir(const Agent& agent) {
  if (agent.descriptor == nullptr || surface_of(agent, Family::skills) != nullptr) {
    return std::nullopt;
  }
  const SkillsRoute& route = agent.descriptor->skills;
  if (route.kind != SkillsRouteKind::native || route.dir.empty()) {
    return std::nullopt;
  }
  return route.dir;
}

void plan_link_groups(const RunContext& ctx, const std::vector<Agent>& agents, SyncPlan& plan) {
  for (Family family : all_families) {
    FamilyScan scan = scan_family(ctx.commons, family);
    for (const ScanWarning& warning : scan.warnings) {
      plan.warnings.push_back(to_string(warning));
    }
    for (const Agent& agent : agents) {
      for (const Surface& surface : agent.surfaces) {
        if (surface.family != family) {
          continue;
        }
        plan.link_groups.push_back(
            LinkGroup{.agent = agent.name,
                      .dir = display(surface.dir),
                      .items = plan_links(ctx.home / surface.dir, scan.entries, ctx.commons)});
      }
      if (family != Family::skills) {
        continue;
      }
      if (std::optional<fs::path> dir = cleanup_dir(agent)) {
        plan.link_groups.push_back(
            LinkGroup{.agent = agent.name,
                      .dir = display(*dir),
                      .items = list_commons_links(ctx.home / *dir, ctx.commons)});
      }
    }
  }
}

// The section planners after the links. Each fills its own `SyncPlan` field and moves its
// blocking texts into `plan.blocking`, in the order they are called.
void plan_instructions_section(const RunContext& ctx, const Config& config, SyncPlan& plan) {
  plan.instructions = plan_instructions(ctx, config, ctx.commons / "AGENTS.md");
}

void plan_mcp_section(const RunContext&, const Config&, SyncPlan&) {}

void plan_render_section(const RunContext& ctx, const Config& config, SyncPlan& plan) {
  RenderPlan renders = plan_renders(ctx.home, config, ctx.commons);
  plan.renders = std::move(renders.items);
  for (std::string& error : renders.errors) {
    plan.blocking.push_back(std::move(error));
  }
}

void plan_hooks_section(const RunContext& ctx, const Config& config, SyncPlan& plan) {
  plan.hooks = plan_hooks(ctx.home, config, ctx.commons / "hooks");
  for (const std::string& fatal : plan.hooks.fatal) {
    plan.blocking.push_back(fatal);
  }
}

// `path` without the home folder's leading components; whole when it lies elsewhere.
std::string shown_under_home(const fs::path& path, const fs::path& home) {
  auto p = path.begin();
  for (auto h = home.begin(); h != home.end(); ++h) {
    if (h->empty()) {
      continue;
    }
    if (p == path.end() || *p != *h) {
      return display(path);
    }
    ++p;
  }
  fs::path rest;
  for (; p != path.end(); ++p) {
    rest /= *p;
  }
  return display(rest);
}

void print_state(SyncRun& run, std::string_view word, std::string_view name) {
  print_line(run.reporter, fmt::format("  {:9} {}", word, name));
}

void run_link_section(const SyncPlan& plan, SyncRun& run) {
  for (const LinkGroup& group : plan.link_groups) {
    bool in_order = true;
    for (const LinkItem& item : group.items) {
      in_order = in_order && item.state == LinkState::linked;
    }
    if (in_order) {
      continue;
    }
    print_line(run.reporter, fmt::format("{} ({})", group.agent, group.dir));
    for (const LinkItem& item : group.items) {
      if (item.state == LinkState::linked) {
        continue;
      }
      if (!is_fixable(item.state)) {
        print_line(run.reporter, fmt::format("  {:9} {} — {}", to_string(item.state), item.name,
                                             link_note(item.state)));
        continue;
      }
      if (!run.dry_run) {
        auto fixed = apply_link_fix(item);
        if (!fixed) {
          report_error(run.reporter, fmt::format("cannot fix {}: {}",
                                                 shown_under_home(item.link_path, run.ctx.home),
                                                 fixed.error().message()));
          continue;
        }
      }
      print_state(run, to_string(item.state), item.name);
      ++run.changes;
    }
  }
}

// Whether applying the item changes a file; the other states are only reported.
bool changes_instructions(InstructionsState state) {
  switch (state) {
    case InstructionsState::missing:
    case InstructionsState::import:
    case InstructionsState::legacy:
    case InstructionsState::replace:
      return true;
    case InstructionsState::linked:
    case InstructionsState::imported:
    case InstructionsState::conflict:
    case InstructionsState::foreign:
      return false;
  }
  return false;
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
  if (std::none_of(plan.instructions.begin(), plan.instructions.end(), of_interest)) {
    return;
  }
  print_line(run.reporter, "instructions (AGENTS.md)");
  std::vector<std::string> failed;
  for (const InstructionsItem& item : plan.instructions) {
    if (!of_interest(item) || std::find(failed.begin(), failed.end(), item.agent) != failed.end()) {
      continue;
    }
    if (!changes_instructions(item.state)) {
      print_line(run.reporter, fmt::format("  {:9} {} — {}", to_string(item.state), item.agent,
                                           describe_instructions_item(item)));
      continue;
    }
    if (!run.dry_run) {
      auto applied = apply_instructions_item(run.ctx, item);
      if (!applied) {
        report_error(run.reporter,
                     fmt::format("cannot write {}: {}", display(item.path), applied.error()));
        failed.push_back(item.agent);
        continue;
      }
    }
    print_state(run, to_string(item.state), item.agent);
    ++run.changes;
  }
}

void report_mcp_errors(const SyncPlan&, SyncRun&) {}
void run_mcp_section(const SyncPlan&, SyncRun&) {}

void run_render_section(const SyncPlan& plan, SyncRun& run) {
  auto of_interest = [](const RenderItem& item) { return item.state != RenderState::managed; };
  if (std::none_of(plan.renders.begin(), plan.renders.end(), of_interest)) {
    return;
  }
  print_line(run.reporter, "rendered commands");
  for (const RenderItem& item : plan.renders) {
    if (of_interest(item)) {
      print_line(run.reporter, fmt::format("  {:10} {} → {} — {}", to_string(item.state), item.name,
                                           item.agent, render_note(item.state)));
    }
  }
  for (const RenderItem& item : plan.renders) {
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

void report_hook_errors(const SyncPlan& plan, SyncRun& run) {
  for (const std::string& error : plan.hooks.errors) {
    report_error(run.reporter, error);
  }
}

void run_hooks_section(const SyncPlan& plan, SyncRun& run) {
  const std::vector<HookItem>& items = plan.hooks.items;
  auto of_interest = [](const HookItem& item) { return item.state != HookState::managed; };
  if (std::none_of(items.begin(), items.end(), of_interest)) {
    return;
  }
  print_line(run.reporter, "hooks");
  for (const HookItem& item : items) {
    if (of_interest(item)) {
      print_line(run.reporter,
                 fmt::format("  {:12} {} {} → {} — {}", to_string(item.state), item.event,
                             shown_command(item.command), item.agent, describe_hook_item(item)));
    }
  }
  if (run.dry_run) {
    run.changes += static_cast<std::uint64_t>(
        std::count_if(items.begin(), items.end(), [](const HookItem& item) {
          return item.state == HookState::missing || item.state == HookState::drifted;
        }));
    return;
  }
  HookApplyResult applied = apply_hook_items(items);
  for (const std::string& message : applied.messages) {
    report_error(run.reporter, message);
  }
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

SyncPlan plan_sync(const RunContext& ctx, const Config& config) {
  SyncPlan plan;
  plan_link_groups(ctx, list_agents(ctx.home, config), plan);
  plan_instructions_section(ctx, config, plan);
  plan_mcp_section(ctx, config, plan);
  plan_render_section(ctx, config, plan);
  plan_hooks_section(ctx, config, plan);
  return plan;
}

int sync(const RunContext& ctx, const Config& config, Reporter& reporter, bool dry_run) {
  if (!is_folder(ctx.commons)) {
    report_error(reporter, fmt::format("no Commons at {} — run `kelvaro init` to create one",
                                       display(ctx.commons)));
    return 1;
  }

  std::optional<ProcessLock> lock;
  if (dry_run) {
    print_line(reporter, "dry run — no changes will be made");
    print_line(reporter, "");
  } else {
    auto taken = acquire_lock(ctx.state_dir, lock_timeout(ctx.env));
    if (!taken) {
      report_error(reporter, to_string(taken.error()));
      return 1;
    }
    lock.emplace(std::move(*taken));
  }

  // A relative home or Commons (KELVARO_HOME=rel) is anchored at the current folder once,
  // so link targets are computed between absolute paths and never dangle.
  RunContext anchored = ctx;
  anchored.home = absolute_normal_path(ctx.home);
  anchored.commons = absolute_normal_path(ctx.commons);

  SyncPlan plan = plan_sync(anchored, config);
  SyncRun run{.ctx = anchored, .reporter = reporter, .dry_run = dry_run, .changes = 0};

  for (const std::string& warning : plan.warnings) {
    report_warning(reporter, warning);
  }
  if (!plan.blocking.empty()) {
    for (const std::string& text : plan.blocking) {
      report_error(reporter, text);
    }
    report_mcp_errors(plan, run);
    report_hook_errors(plan, run);
  } else {
    run_link_section(plan, run);
    run_instructions_section(plan, run);
    report_mcp_errors(plan, run);
    run_mcp_section(plan, run);
    run_render_section(plan, run);
    report_hook_errors(plan, run);
    run_hooks_section(plan, run);
  }

  print_summary(run);
  return reporter.errors > 0 ? 1 : 0;
}

}  // namespace kelvaro
