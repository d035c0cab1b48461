#include "revert.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agents.hpp"
#include "fsutil.hpp"
#include "hooks.hpp"
#include "instructions.hpp"
#include "link.hpp"
#include "lock.hpp"
#include "mcp.hpp"
#include "render.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

struct RevertRun {
  const RunContext& ctx;
  Reporter& reporter;
  std::uint64_t removals = 0;
};

void removed(RevertRun& run, const std::string& text) {
  print_line(run.reporter, text);
  ++run.removals;
}

// Removes the link at `path` when it leads into `commons` (live or dangling), printing
// "removed {}" with the path shown under `root`; true then. Anything else at `path` stays and
// gives false; a failed removal is reported as an error and gives false.
bool remove_commons_link(const fs::path& root, const fs::path& path, const fs::path& commons,
                         Reporter& reporter) {
  if (!links_into_commons(path, commons)) {
    return false;
  }
  auto gone = remove_link(path);
  if (!gone) {
    report_error(reporter,
                 fmt::format("cannot remove {}: {}", display(path), gone.error().message()));
    return false;
  }
  print_line(reporter, fmt::format("removed {}", display_under(path, root)));
  return true;
}

void report_unreadable(RevertRun& run, const fs::path& dir, const std::error_code& error) {
  report_error(run.reporter, fmt::format("cannot read {}: {}", display(dir), error.message()));
}

void remove_links(RevertRun& run, const Agent& agent) {
  for (const LinkFolder& folder : link_folders(run.ctx, {agent})) {
    // Links among the Commons' own entries are the user's, whichever agent folder shows them.
    if (folder.place != FolderPlace::own) {
      continue;
    }
    auto links = list_commons_links(folder.path, run.ctx.commons);
    if (!links) {
      // A file where the folder belongs holds no links; any other failure hides what it holds.
      if (links.error() != std::errc::not_a_directory) {
        report_unreadable(run, folder.path, links.error());
      }
      continue;
    }
    for (const LinkItem& item : *links) {
      if (remove_commons_link(run.ctx.home, item.link_path, run.ctx.commons, run.reporter)) {
        ++run.removals;
      }
    }
  }
}

// Drops the lines that are exactly the Commons import line; every other line stays byte for
// byte, line end included. Nullopt when there is none.
std::optional<std::string> without_import_lines(std::string_view text,
                                                std::string_view import_text) {
  std::string kept;
  bool dropped = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(0, length);
    text.remove_prefix(length);
    std::string_view body = line;
    if (body.ends_with('\n')) {
      body.remove_suffix(1);
    }
    if (is_import_line(body, import_text)) {
      dropped = true;
    } else {
      kept += line;
    }
  }
  if (!dropped) {
    return std::nullopt;
  }
  return kept;
}

void remove_import_line(RevertRun& run, const InstructionsRoute& route) {
  const fs::path file = run.ctx.home / route.path;
  // A link into the Commons here belongs to the symlink route on the same file. A file that is
  // the Commons AGENTS.md (through a chain of links, or a hard link) is never written: the lines
  // there are the user's.
  if (links_into_commons(file, run.ctx.commons) ||
      same_file(file, commons_instructions_file(run.ctx.commons))) {
    return;
  }
  auto text = read_file(file);
  if (!text) {
    if (text.error() != std::errc::no_such_file_or_directory) {
      report_error(run.reporter,
                   fmt::format("cannot rewrite {}: {}", display(file), text.error().message()));
    }
    return;
  }
  if (!is_valid_utf8(*text)) {
    report_error(run.reporter,
                 fmt::format("cannot rewrite {}: not valid UTF-8 text", display(file)));
    return;
  }
  std::optional<std::string> kept = without_import_lines(*text, display_home_path(run.ctx));
  if (!kept) {
    return;
  }
  // The user's own text stays whole whatever happens during the write: the file holds the old
  // text or the new one, never a part.
  auto written = write_atomic(file, *kept);
  if (!written) {
    report_error(run.reporter,
                 fmt::format("cannot rewrite {}: {}", display(file), written.error().message()));
    return;
  }
  removed(run, fmt::format("removed the import line from {}", display(route.path)));
}

void remove_instructions(RevertRun& run, const AgentDescriptor& descriptor) {
  for (const InstructionsRoute& route : descriptor.instructions) {
    switch (route.kind) {
      case InstructionsRouteKind::symlink:
      case InstructionsRouteKind::rules_dir_link: {
        const fs::path file = instructions_route_file(run.ctx.home, route);
        if (remove_commons_link(run.ctx.home, file, run.ctx.commons, run.reporter)) {
          ++run.removals;
        }
        break;
      }
      case InstructionsRouteKind::import_line:
        remove_import_line(run, route);
        break;
      case InstructionsRouteKind::include_entry: {
        const fs::path settings = run.ctx.home / route.path;
        auto changed = remove_include_entry(run.ctx, settings, route.key, route.companion);
        if (!changed) {
          report_error(run.reporter,
                       fmt::format("cannot rewrite {}: {}", display(settings), changed.error()));
        } else if (*changed) {
          removed(run, fmt::format("removed the {} entry from {}", route.key, display(route.path)));
        }
        break;
      }
    }
  }
}

// Only entries that are exactly what kelvaro renders for the agent go: one that differs may be
// the user's own server under the same name, or the user's edit of kelvaro's, and stays. Only
// the servers the agent holds are rendered: one it does not hold has nothing to compare, even
// when its references cannot be resolved now, and one it holds that cannot be rendered cannot
// be shown to be kelvaro's.
void remove_servers(RevertRun& run, const Config& config, const Agent& agent) {
  if (!has_mcp_file(agent)) {
    return;
  }
  auto servers = load_commons_servers(commons_mcp_file(run.ctx.commons));
  if (!servers) {
    report_error(run.reporter, servers.error());
    return;
  }
  if (servers->empty()) {
    return;
  }
  const McpFiles files = mcp_files(run.ctx, {agent});
  report_errors(run.reporter, files.refused);
  for (const McpFile& file : files.files) {
    auto held = read_agent_servers(file.path, file.key, file.format);
    if (!held) {
      report_error(run.reporter, held.error());
      continue;
    }
    const std::string shown_file = display_under(file.path, run.ctx.home);
    // The Commons servers come in name order.
    for (const auto& [name, server] : servers->items()) {
      const auto entry = held->find(name);
      if (entry == held->end()) {
        continue;
      }
      // Rendered as if enabled: a parked or no longer allowlisted server was rendered here all
      // the same.
      Json enabled = server;
      set_disabled(enabled, false);
      auto rendered = render_for_file(run.ctx, config, file, name, enabled);
      if (!rendered || !same_agent_entry(file.shape, *rendered, *entry)) {
        print_line(run.reporter, fmt::format("left {} in {} — it differs from the Commons copy",
                                             visible_text(name), shown_file));
        continue;
      }
      auto outcome = remove_agent_servers(file.path, file.key, file.format, name);
      if (!outcome) {
        report_error(run.reporter, outcome.error());
      } else if (*outcome) {
        removed(run, fmt::format("removed mcp server {} from {}", visible_text(name), shown_file));
      }
    }
  }
}

void remove_rendered(RevertRun& run, const AgentDescriptor& descriptor) {
  if (descriptor.commands.kind != CommandsRouteKind::render) {
    return;
  }
  const fs::path dir = run.ctx.home / descriptor.commands.dir;
  auto listed = list_folder(dir);
  if (!listed) {
    // A file where the folder belongs holds no generated files.
    if (listed.error() != std::errc::not_a_directory) {
      report_unreadable(run, dir, listed.error());
    }
    return;
  }
  std::sort(listed->begin(), listed->end());
  for (const fs::path& path : *listed) {
    auto text = read_file(path);
    if (!text || !is_valid_utf8(*text) || !is_generated(*text)) {
      continue;
    }
    auto gone = remove_link(path);
    if (!gone) {
      report_error(run.reporter,
                   fmt::format("cannot remove {}: {}", display(path), gone.error().message()));
      continue;
    }
    removed(run, fmt::format("removed {}", display_under(path, run.ctx.home)));
  }
}

void remove_hooks(RevertRun& run, const AgentDescriptor& descriptor) {
  if (!descriptor.hooks_file) {
    return;
  }
  const fs::path settings = run.ctx.home / *descriptor.hooks_file;
  auto removal = remove_agent_hooks(settings, descriptor.hooks_key, descriptor.name,
                                    commons_hooks_dir(run.ctx.commons));
  if (!removal) {
    report_error(run.reporter, removal.error());
    return;
  }
  for (const std::string& problem : removal->problems) {
    report_error(run.reporter, problem);
  }
  for (const auto& [event, command] : removal->removed) {
    removed(run, fmt::format("removed the {} hook {} from {}", visible_text(event),
                             visible_text(command), display_under(settings, run.ctx.home)));
  }
}

// The agent `name` when `config` lets it be reverted and it is installed; otherwise the exit
// status, after saying why not.
Result<Agent, int> revert_target(const RunContext& ctx, const Config& config, Reporter& reporter,
                                 std::string_view name) {
  std::optional<Agent> agent;
  if (const AgentDescriptor* descriptor = builtin_agent(name)) {
    agent = resolve_agent(*descriptor, config.instructions);
  } else {
    for (const CustomAgent& custom : config.custom) {
      if (custom.name == name) {
        agent = custom_agent(custom);
        break;
      }
    }
  }
  if (!agent) {
    report_error(reporter,
                 fmt::format("`{}` is not an agent kelvaro knows about", visible_text(name)));
    return unexpected(1);
  }
  if (std::find(config.disabled.begin(), config.disabled.end(), name) == config.disabled.end()) {
    report_error(reporter,
                 fmt::format("{} is still enabled — set targets.{} = false in {} first, so sync "
                             "will not redo what revert undoes",
                             visible_text(name), visible_text(name),
                             display(ctx.config_dir / "kelvaro.toml")));
    return unexpected(1);
  }
  if (!is_installed(ctx.home, agent->home)) {
    print_line(reporter, fmt::format("{} is not installed on this machine — nothing to revert",
                                     visible_text(name)));
    return unexpected(0);
  }
  return std::move(*agent);
}

}  // namespace

int revert(const RunContext& ctx, const Config& config, Reporter& reporter, std::string_view name) {
  if (auto refused = revert_target(ctx, config, reporter, name); !refused) {
    return refused.error();
  }
  auto lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
  }
  // The run waited for may have enabled the agent again or changed its routes and servers'
  // settings: what is removed follows the configuration as it stands now.
  auto agent = revert_target(ctx, lock->config, reporter, name);
  if (!agent) {
    return agent.error();
  }

  // Links are judged and removed between absolute paths, whatever form the home had.
  const RunContext anchored = anchor_context(ctx);
  RevertRun run{.ctx = anchored, .reporter = reporter};

  remove_links(run, *agent);
  if (const AgentDescriptor* descriptor = agent->descriptor) {
    remove_instructions(run, *descriptor);
    remove_servers(run, lock->config, *agent);
    remove_rendered(run, *descriptor);
    remove_hooks(run, *descriptor);
  }

  if (run.removals > 0) {
    print_line(reporter, "");
    print_line(reporter, fmt::format("{} {} made.", run.removals,
                                     run.removals == 1 ? "removal" : "removals"));
  } else if (reporter.errors == 0) {
    print_line(reporter,
               fmt::format("nothing of kelvaro's in {} — nothing to revert", visible_text(name)));
  }
  return reporter.errors > 0 ? 1 : 0;
}

}  // namespace kelvaro
