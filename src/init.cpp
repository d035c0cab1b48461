#include "init.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "agents.hpp"
#include "commons.hpp"
#include "documents.hpp"
#include "fsutil.hpp"
#include "instructions.hpp"
#include "link.hpp"
#include "mcp.hpp"
#include "sync.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// How many strays of one family are named before the rest are only counted.
constexpr std::size_t kStraysShown = 8;

// The entries of the agents' `family` folders that the Commons lacks and that `adopt` takes,
// each as the argument `adopt` is given: agents in list order, each folder's names sorted
// byte-wise. A folder that is not there (or a file in its place) holds nothing; one that
// cannot be read is a warning, since its strays go unlisted.
std::vector<std::string> family_strays(const RunContext& ctx, const std::vector<Agent>& agents,
                                       Family family, Reporter& reporter) {
  std::set<std::string, std::less<>> in_commons;
  for (const CommonsEntry& entry : scan_family(ctx.commons, family).entries) {
    in_commons.insert(entry.file_name);
  }
  std::vector<std::string> strays;
  for (const LinkFolder& folder : link_folders(ctx, agents)) {
    // What a folder in the Commons' family folders holds is the Commons' own already.
    if (folder.family != family || folder.role != FolderRole::surface ||
        folder.place != FolderPlace::own) {
      continue;
    }
    auto entries = adoptable_entries(folder.path, family);
    if (!entries) {
      if (entries.error() != std::errc::no_such_file_or_directory &&
          entries.error() != std::errc::not_a_directory) {
        report_warning(reporter, fmt::format("cannot read {}: {} — its entries are not listed",
                                             display(folder.path), entries.error().message()));
      }
      continue;
    }
    for (const fs::path& entry : *entries) {
      if (!in_commons.contains(path_text(entry.filename()))) {
        strays.push_back(command_argument(entry));
      }
    }
  }
  return strays;
}

// Prints one family's strays; true when there were any.
bool print_family_strays(Reporter& reporter, Family family,
                         const std::vector<std::string>& strays) {
  if (strays.empty()) {
    return false;
  }
  print_line(reporter, "");
  print_line(reporter,
             fmt::format("{} {} not in the Commons:", strays.size(), family_word(family)));
  for (std::size_t i = 0; i < strays.size() && i < kStraysShown; ++i) {
    print_line(reporter, fmt::format("  {}", strays[i]));
  }
  if (strays.size() > kStraysShown) {
    print_line(reporter, fmt::format("  … and {} more", strays.size() - kStraysShown));
  }
  print_line(reporter, "  take one with `kelvaro adopt <path>`");
  return true;
}

// The names of the servers agents hold that the Commons does not, sorted byte-wise, each once:
// the plan's foreign items, less the agents' own servers under a Commons name. A Commons file
// that cannot be read counts as empty, and an agent file that cannot be read adds nothing:
// `sync` and `mcp list` report those.
std::set<std::string> mcp_strays(const RunContext& ctx, const Config& config,
                                 const std::vector<Agent>& agents) {
  ServerMap commons = Json::object();
  if (auto loaded = load_commons_servers(commons_mcp_file(ctx.commons));
      loaded && loaded->is_object()) {
    commons = std::move(*loaded);
  }
  std::set<std::string> strays;
  for (const McpItem& item : plan_mcp_agents(ctx, config, agents, commons).items) {
    if (item.state == McpState::foreign && !item.shadows) {
      strays.insert(item.server);
    }
  }
  return strays;
}

// Prints the servers agents hold outside the Commons; true when there were any.
bool print_mcp_strays(Reporter& reporter, const std::set<std::string>& strays) {
  if (strays.empty()) {
    return false;
  }
  print_line(reporter, "");
  std::vector<std::string> shown;
  for (const std::string& name : strays) {
    shown.push_back(visible_text(name));
  }
  print_line(reporter, fmt::format("{} MCP servers not in the Commons: {}", strays.size(),
                                   fmt::join(shown, ", ")));
  print_line(reporter, "  take them all with `kelvaro mcp adopt --all`");
  return true;
}

void print_conflicts(Reporter& reporter, const std::vector<InstructionsItem>& items) {
  std::vector<const InstructionsItem*> conflicts;
  for (const InstructionsItem& item : items) {
    if (item.state == InstructionsState::conflict) {
      conflicts.push_back(&item);
    }
  }
  if (conflicts.empty()) {
    return;
  }
  print_line(reporter, "");
  print_line(reporter, fmt::format("{} conflicts:", conflicts.size()));
  for (const InstructionsItem* item : conflicts) {
    print_line(reporter, fmt::format("  {} — {}", visible_text(item->agent),
                                     describe_instructions_item(*item)));
  }
}

}  // namespace

Result<std::vector<fs::path>, std::error_code> adoptable_entries(const fs::path& folder,
                                                                 Family family) {
  auto listed = list_folder(folder, MissingFolder::error);
  if (!listed) {
    return unexpected(listed.error());
  }
  std::vector<std::pair<std::string, fs::path>> named;
  for (fs::path& path : *listed) {
    // `adopt` refuses a link in an agent folder, and the Commons scan would skip a hidden name.
    std::string name = path_text(path.filename());
    auto kind = path_kind(path, false);
    if (name.starts_with('.') || !kind || *kind == PathKind::link || *kind == PathKind::absent ||
        entry_fit(family, *kind == PathKind::folder, name) != EntryFit::fits ||
        (family != Family::skills && *kind != PathKind::file)) {
      continue;
    }
    named.emplace_back(std::move(name), std::move(path));
  }
  std::sort(named.begin(), named.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<fs::path> entries;
  entries.reserve(named.size());
  for (auto& [name, path] : named) {
    entries.push_back(std::move(path));
  }
  return entries;
}

int init(const RunContext& ctx, const Config& config, Reporter& reporter) {
  const bool present = is_folder(ctx.commons);
  for (const fs::path& dir :
       {ctx.commons, ctx.commons / "skills", ctx.commons / "commands", ctx.commons / "agents"}) {
    auto created = create_folders(dir);
    if (!created) {
      report_error(reporter,
                   fmt::format("cannot create {}: {}", display(dir), created.error().message()));
      return 1;
    }
  }
  print_line(reporter,
             fmt::format("{} {}", present ? "Commons already present at" : "Created the Commons at",
                         display(ctx.commons)));
  for (Family family : all_families) {
    print_line(reporter, fmt::format("  {}/", family_word(family)));
  }
  print_line(reporter, "");

  const RunContext anchored = anchor_context(ctx);
  const std::vector<Agent> agents = list_agents(anchored.home, config);
  if (agents.empty()) {
    print_line(reporter, "No agents found — kelvaro syncs to agents that are already installed.");
  } else {
    std::vector<std::string> names;
    for (const Agent& agent : agents) {
      names.push_back(visible_text(agent.name));
    }
    print_line(reporter, fmt::format("Found {} agents: {}", agents.size(), fmt::join(names, ", ")));
  }

  bool to_adopt = false;
  for (Family family : all_families) {
    to_adopt =
        print_family_strays(reporter, family, family_strays(anchored, agents, family, reporter)) ||
        to_adopt;
  }
  to_adopt = print_mcp_strays(reporter, mcp_strays(anchored, config, agents)) || to_adopt;
  if (!to_adopt) {
    print_line(reporter, "");
    print_line(reporter, "Nothing to adopt — no agent config here is outside the Commons.");
  }

  print_conflicts(reporter,
                  plan_instructions(anchored, agents, commons_instructions_file(anchored.commons)));

  print_line(reporter, "");
  print_line(reporter, to_adopt ? "Adopt what you want to share, then run `kelvaro sync`."
                                : "Put a skill in skills/, instructions in AGENTS.md, then run "
                                  "`kelvaro sync`.");
  return 0;
}

}  // namespace kelvaro
