#include "doctor.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "agents.hpp"
#include "commons.hpp"
#include "fsutil.hpp"
#include "hooks.hpp"
#include "link.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// A Commons entry that is a link out of the Commons (a Sourced entry).
struct SourcedEntry {
  std::string name;      // as the family folder holds it (with any ".md")
  fs::path source;       // the link's target, resolved against its folder, normalised
  bool missing = false;  // the target cannot be reached
  Family family = Family::skills;

  bool operator==(const SourcedEntry&) const = default;
};

// What the program itself keeps at the Commons root.
constexpr std::array<std::string_view, 6> managed_names = {"skills", "commands",  "agents",
                                                           "hooks",  "AGENTS.md", "mcp.json"};
// What other tools of the .agents protocol keep there.
constexpr std::array<std::string_view, 4> protocol_surfaces = {"tasks", "memories", "models.json",
                                                               "system-prompt.md"};

template <std::size_t N>
bool is_one_of(std::string_view name, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The entry names of `dir` as text, in listing order; none when it is missing or is no folder.
// A folder that cannot be read is reported: its emptiness would be a false finding.
std::vector<std::string> entry_names(const fs::path& dir, Reporter& reporter) {
  std::vector<std::string> names;
  auto entries = list_folder(dir);
  if (!entries) {
    if (entries.error() != std::errc::not_a_directory) {
      report_error(reporter,
                   fmt::format("cannot read {}: {}", display(dir), entries.error().message()));
    }
    return names;
  }
  for (const fs::path& entry : *entries) {
    names.push_back(display(entry.filename()));
  }
  return names;
}

std::string present(const fs::path& path) {
  return path_exists(path) ? "present" : "absent";
}

void print_name_block(Reporter& reporter, std::string_view heading,
                      const std::vector<std::string>& names) {
  if (names.empty()) {
    return;
  }
  print_line(reporter, heading);
  for (const std::string& name : names) {
    print_line(reporter, fmt::format("  {}", name));
  }
  print_line(reporter, "");
}

// The links among the entries of the three family folders of `commons` (hidden names left
// out), sorted by family, then by name byte for byte. Folders that cannot be listed give none.
std::vector<SourcedEntry> find_sourced_entries(const fs::path& commons) {
  std::vector<SourcedEntry> found;
  for (Family family : all_families) {
    auto entries = list_folder(commons / family_word(family));
    if (!entries) {
      continue;
    }
    std::vector<SourcedEntry> of_family;
    for (const fs::path& entry : *entries) {
      std::string name = display(entry.filename());
      auto kind = path_kind(entry, false);
      if (name.starts_with('.') || !kind || *kind != PathKind::link) {
        continue;
      }
      auto target = read_link_text(entry);
      if (!target) {
        continue;
      }
      of_family.push_back(SourcedEntry{.name = std::move(name),
                                       .source = resolve_link_target(entry, *target),
                                       .missing = !path_kind(entry, true),
                                       .family = family});
    }
    std::stable_sort(of_family.begin(), of_family.end(),
                     [](const SourcedEntry& a, const SourcedEntry& b) { return a.name < b.name; });
    found.insert(found.end(), of_family.begin(), of_family.end());
  }
  return found;
}

// Warns about the former-name folder `folder` when it is a folder: move its `ostrevan.toml`
// into `config_dir`, or delete it when it holds none.
void check_legacy_dir(const fs::path& folder, const fs::path& config_dir, Reporter& reporter) {
  if (!is_folder(folder)) {
    return;
  }
  if (kelvaro::is_regular_file(folder / "ostrevan.toml")) {
    report_warning(
        reporter,
        fmt::format("{} is no longer read — move {} to {} as {} and delete the directory",
                    display(folder), "ostrevan.toml", display(config_dir), "kelvaro.toml"));
    return;
  }
  report_warning(reporter,
                 fmt::format("{} is no longer read and holds no {} — the directory can be deleted",
                             display(folder), "ostrevan.toml"));
}

void report_commons(const fs::path& commons, Reporter& reporter) {
  std::vector<FamilyScan> scans;
  for (Family family : all_families) {
    scans.push_back(scan_family(commons, family));
  }
  const fs::path hooks_dir = commons_hooks_dir(commons);
  const std::vector<std::string> hook_names = entry_names(hooks_dir, reporter);
  const std::vector<SourcedEntry> sourced = find_sourced_entries(commons);

  print_line(reporter, "Commons contents:");
  for (std::size_t i = 0; i < all_families.size(); ++i) {
    const Family family = all_families[i];
    const auto count = std::count_if(sourced.begin(), sourced.end(),
                                     [&](const SourcedEntry& e) { return e.family == family; });
    std::string line = fmt::format("  {:13} {}", family_word(family), scans[i].entries.size());
    if (count > 0) {
      line += fmt::format(" ({} sourced)", count);
    }
    print_line(reporter, line);
  }
  if (is_folder(hooks_dir)) {
    const auto toml =
        std::count_if(hook_names.begin(), hook_names.end(),
                      [](const std::string& name) { return is_hook_file_name(name); });
    print_line(reporter, fmt::format("  {:13} {}", "hooks", toml));
  } else {
    print_line(reporter, fmt::format("  {:13} absent", "hooks"));
  }
  print_line(reporter,
             fmt::format("  {:13} {}", "AGENTS.md", present(commons_instructions_file(commons))));
  print_line(reporter, fmt::format("  {:13} {}", "mcp.json", present(commons_mcp_file(commons))));
  print_line(reporter, "");

  if (!sourced.empty()) {
    print_line(reporter, "Sourced entries:");
    for (const SourcedEntry& entry : sourced) {
      print_line(reporter,
                 fmt::format("  {}/{} ← {}{}", family_word(entry.family), entry.name,
                             display(entry.source), entry.missing ? " (source missing)" : ""));
    }
    print_line(reporter, "");
  }

  std::vector<std::string> surfaces;
  std::vector<std::string> others;
  for (std::string& name : entry_names(commons, reporter)) {
    if (is_one_of(name, managed_names)) {
      continue;
    }
    (is_one_of(name, protocol_surfaces) ? surfaces : others).push_back(std::move(name));
  }
  std::sort(surfaces.begin(), surfaces.end());
  std::sort(others.begin(), others.end());
  print_name_block(reporter, ".agents Protocol surfaces:", surfaces);
  print_name_block(reporter, "Other tools in the Commons:", others);

  for (const FamilyScan& scan : scans) {
    for (const ScanWarning& warning : scan.warnings) {
      report_warning(reporter, to_string(warning));
    }
  }
  for (const std::string& name : hook_names) {
    if (!is_hook_file_name(name)) {
      report_warning(reporter,
                     fmt::format("Commons hooks/{}: not a `<Event>.toml` file, skipped", name));
    }
  }
}

// Agents that read skills from the default Commons folder by themselves miss a Commons that
// `KELVARO_HOME` moved elsewhere.
void check_commons_override(const RunContext& ctx, const Config& config, Reporter& reporter) {
  std::optional<std::string> value = env_get(ctx.env, "KELVARO_HOME");
  const fs::path default_commons = ctx.home / ".agents";
  const RunContext anchored = anchor_context(ctx);
  if (!value || value->empty() || anchored.commons == anchored.home / ".agents") {
    return;
  }
  // `~/.agents` may be a link to the folder KELVARO_HOME names: the agents reach it then.
  auto real_commons = canonical_path(ctx.commons);
  auto real_default = canonical_path(default_commons);
  if (real_commons && real_default && *real_commons == *real_default) {
    return;
  }
  std::vector<std::string> names;
  for (const Agent& agent : list_agents(ctx.home, config)) {
    if (agent.descriptor != nullptr && agent.descriptor->skills.kind == SkillsRouteKind::native) {
      names.push_back(agent.name);
    }
  }
  if (names.empty()) {
    return;
  }
  report_warning(
      reporter,
      fmt::format("KELVARO_HOME points the Commons at {}, but {} read {} directly and "
                  "will not see it",
                  display(ctx.commons), fmt::join(names, " and "), display(default_commons)));
}

std::vector<std::string> mechanic_lines(const Agent& agent) {
  if (agent.descriptor == nullptr) {
    std::vector<std::string> lines;
    for (const Surface& surface : agent.surfaces) {
      lines.push_back(
          fmt::format("{} fan-out → {}", family_word(surface.family), display(surface.dir)));
    }
    return lines;
  }
  const AgentDescriptor& d = *agent.descriptor;
  return {
      "skills " + fmt_skills_route(d.skills),
      "instructions " + fmt_instructions_route(agent.instructions),
      "mcp " + fmt_mcp_route(d.mcp),
      "commands " + fmt_commands_route(d.commands),
      "agents " + fmt_subagents_dir(d.subagents_dir),
      "hooks " + fmt_hooks_file(d.hooks_file),
  };
}

// Creates and removes a file of its own in `folder`. A name that is already taken is someone
// else's file and stays; a file this probe created goes again even when a later step failed.
bool can_write(const fs::path& folder) {
  const fs::path probe = folder / fmt::format(".kelvaro-probe-{}", process_id());
  auto written = write_new_file(probe, "", std::nullopt);
  if (written) {
    (void)remove_file(probe);
    return true;
  }
  if (written.error() != std::errc::file_exists) {
    (void)remove_file(probe);
  }
  return false;
}

void report_agents(const RunContext& ctx, const Config& config, Reporter& reporter) {
  const std::vector<Agent> agents = list_agents(ctx.home, config);
  const auto enabled_builtins =
      std::count_if(builtin_agents().begin(), builtin_agents().end(), [&](const auto& d) {
        return std::find(config.disabled.begin(), config.disabled.end(), d.name) ==
               config.disabled.end();
      });
  const std::size_t known = static_cast<std::size_t>(enabled_builtins) + config.custom.size();

  print_line(reporter, fmt::format("Detected agents ({} of {}):", agents.size(), known));
  if (agents.empty()) {
    print_line(reporter, "  none — no agent config root found");
  }
  for (const Agent& agent : agents) {
    print_line(reporter, fmt::format("  {:10} {}", visible_text(agent.name), display(agent.home)));
    for (const std::string& line : mechanic_lines(agent)) {
      print_line(reporter, fmt::format("               {}", line));
    }
    const fs::path folder = ctx.home / agent.home;
    if (!can_write(folder)) {
      report_error(reporter, fmt::format("{} config root is not writable: {}",
                                         visible_text(agent.name), display(folder)));
    }
  }
  if (known > agents.size()) {
    print_line(reporter, "");
    print_line(reporter, fmt::format("{} known agents are not installed and were skipped.",
                                     known - agents.size()));
  }
}

// True when a line of `text` is an `@` import naming an AGENTS.md under an `.agents` folder.
bool holds_commons_import(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    line = trim_space(line);
    if (!line.starts_with('@')) {
      continue;
    }
    const std::string_view rest = line.substr(1);
    if (rest.find(".agents") != std::string_view::npos && trim_space(rest).ends_with("AGENTS.md")) {
      return true;
    }
  }
  return false;
}

// An import line in the instructions file of an agent that does not expand imports does
// nothing, and the user cannot tell from the agent.
void check_ignored_imports(const RunContext& ctx, const Config& config, Reporter& reporter) {
  for (const Agent& agent : list_agents(ctx.home, config)) {
    if (agent.descriptor == nullptr) {
      continue;
    }
    const std::vector<InstructionsRoute>& routes = agent.descriptor->instructions;
    if (std::any_of(routes.begin(), routes.end(), [](const InstructionsRoute& r) {
          return r.kind == InstructionsRouteKind::import_line;
        })) {
      continue;
    }
    for (const InstructionsRoute& route : routes) {
      if (route.kind != InstructionsRouteKind::symlink &&
          route.kind != InstructionsRouteKind::rules_dir_link) {
        continue;
      }
      const fs::path file = instructions_route_file(ctx.home, route);
      auto kind = path_kind(file, false);
      if (!kind || *kind == PathKind::link) {
        continue;
      }
      auto text = read_file(file);
      if (!text || !is_valid_utf8(*text) || !holds_commons_import(*text)) {
        continue;
      }
      report_warning(reporter, fmt::format("{} holds an `@` import of the Commons, but {} does not "
                                           "expand import lines — it is silently ignored; the {} "
                                           "route is what reaches this agent",
                                           display(file), agent.name,
                                           fmt_instructions_route(agent.instructions)));
    }
  }
}

}  // namespace

int doctor(const RunContext& ctx, const Config& config, Reporter& reporter) {
  print_line(reporter, fmt::format("{:8}{}", "Commons", display(ctx.commons)));
  print_line(reporter, fmt::format("{:8}{}", "Home", display(ctx.home)));
  print_line(reporter, fmt::format("{:8}{}", "Config", display(ctx.config_dir)));
  print_line(reporter, fmt::format("{:8}{}", "State", display(ctx.state_dir)));
  print_line(reporter, "");

  check_legacy_dir(ctx.legacy_home_dir, ctx.config_dir, reporter);
  check_legacy_dir(ctx.legacy_config_dir, ctx.config_dir, reporter);

  if (require_commons(ctx, reporter)) {
    report_commons(ctx.commons, reporter);
  }

  const fs::path old_subagents = ctx.commons / "subagents";
  if (auto entries = list_folder(old_subagents); entries && !entries->empty()) {
    report_warning(reporter, fmt::format("{} is no longer a family — the agents family reads "
                                         "agents/; rename the directory",
                                         display(old_subagents)));
  }

  check_commons_override(ctx, config, reporter);
  report_agents(ctx, config, reporter);
  check_ignored_imports(ctx, config, reporter);
  return reporter.errors > 0 ? 1 : 0;
}

}  // namespace kelvaro
