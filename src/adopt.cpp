#include "adopt.hpp"

#include <fmt/format.h>

#include <string>
#include <utility>
#include <vector>

#include "agents.hpp"
#include "commons.hpp"
#include "fsutil.hpp"
#include "instructions.hpp"
#include "link.hpp"
#include "lock.hpp"
#include "sync.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// How a path comes into the Commons, in the order they are tried.
enum class AdoptMechanic {
  absorb,  // moved in from an agent's folder; a link to the Commons copy is left in its place
  source,  // inside a git working copy: the Commons entry becomes a link out to it
  copy,    // copied in; the original is no longer consulted
};

// What is already at the Commons entry: nothing, a link (settled by `check_existing_source`),
// or a real copy that holds the same content as the path.
enum class EntryState { none, identical, settled };

// Whether a step only says what it would do.
enum class RunMode { apply, dry_run };

// What `adopt` decided about the path, and the names its messages use.
struct Adoption {
  AdoptMechanic mechanic = AdoptMechanic::copy;
  std::optional<Family> family{};  // none: the instructions file
  std::string agent{};             // the agent an absorbed path comes from
  fs::path path{};                 // absolute, normalised
  fs::path entry{};
  std::string name{};          // the path's file name
  std::string word{};          // the family word, or "instructions"
  std::string display_name{};  // "<family>/<name>", or "AGENTS.md"
  EntryState state = EntryState::none;
};

// One adopted entry, for the fan-out. Paths are absolute and normalised.
struct AdoptedEntry {
  fs::path commons;
  fs::path adopted;              // the path the user named
  fs::path entry;                // <commons>/<family>/<name>, or <commons>/AGENTS.md
  std::optional<Family> family;  // none for the instructions file
};

// Where a path's folder physically is, with the path's own name: its folders' links followed,
// its last component not (a link stays the link).
fs::path physical_place(const fs::path& path) {
  const fs::path normal = absolute_normal_path(path);
  return physical_location(normal.parent_path()) / normal.filename();
}

// True when `a` and `b` name the same folder: as written, or once the links on the way to
// them are followed (a dotfile manager's link, a current folder reached through one).
bool same_folder(const fs::path& a, const fs::path& b) {
  return absolute_normal_path(a) == absolute_normal_path(b) ||
         physical_location(a) == physical_location(b);
}

// True when `a` and `b` name the same entry of one folder, as `same_folder` tells folders.
bool same_entry(const fs::path& a, const fs::path& b) {
  return absolute_normal_path(a) == absolute_normal_path(b) ||
         physical_place(a) == physical_place(b);
}

// The agent folder or instructions file `path` is absorbed from, when it is one: the first
// installed agent with a surface of a family in `folders` that is the path's folder, or whose
// chosen link route names the path itself.
std::optional<Adoption> absorb_choice(const RunContext& ctx, const std::vector<Agent>& agents,
                                      const std::vector<LinkFolder>& folders,
                                      const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (parent.empty() || parent == path) {
    return std::nullopt;
  }
  for (const Agent& agent : agents) {
    for (Family family : all_families) {
      for (const LinkFolder& folder : folders) {
        if (folder.agent == agent.name && folder.family == family &&
            folder.role == FolderRole::surface && folder.place == FolderPlace::own &&
            same_folder(folder.path, parent)) {
          return Adoption{.mechanic = AdoptMechanic::absorb,
                          .family = family,
                          .agent = visible_text(agent.name)};
        }
      }
    }
    if (!agent.instructions) {
      continue;
    }
    const InstructionsRoute& route = *agent.instructions;
    if (route.kind != InstructionsRouteKind::symlink &&
        route.kind != InstructionsRouteKind::rules_dir_link) {
      continue;
    }
    if (same_entry(instructions_route_file(ctx.home, route), path)) {
      return Adoption{.mechanic = AdoptMechanic::absorb,
                      .family = std::nullopt,
                      .agent = visible_text(agent.name)};
    }
  }
  return std::nullopt;
}

// True when `path` or one of its ancestors holds an entry named ".git" (a worktree's file and
// a link count too).
bool inside_git_working_copy(const fs::path& path) {
  for (fs::path dir = path; !dir.empty(); dir = dir.parent_path()) {
    if (path_kind(dir / ".git", false)) {
      return true;
    }
    if (dir == dir.parent_path()) {
      break;
    }
  }
  return false;
}

// True when the place `path` names, once the links of its folders are followed, lies in the
// Commons: an agent folder that is a link into the Commons shows the Commons' own entries,
// and adopting one of them would move or remove the Commons copy itself.
bool reaches_into_commons(const fs::path& path, const fs::path& commons) {
  auto folder = canonical_path(path.parent_path());
  auto real_commons = canonical_path(commons);
  if (!folder || !real_commons || path.filename().empty()) {
    return false;
  }
  return lies_within(*folder / path.filename(), *real_commons);
}

// True when `path` is already the Commons' own: it lies in the Commons (as written, or once
// its folders' links are followed), unless it is absorbed from an agent folder kept there
// outside the Commons' family folders. A family folder that is a link counts where it leads.
bool already_in_commons(const fs::path& path, const fs::path& commons, bool absorbed) {
  const fs::path parent = path.parent_path();
  if (folder_place(parent, commons) != FolderPlace::own) {
    return true;
  }
  return !absorbed && (lies_within(path, commons) || reaches_into_commons(path, commons));
}

// Fails with the refusal of a path whose kind the family's entries cannot have (the Commons
// scan would skip it for ever).
Result<void> check_kind(const fs::path& path, Family family) {
  switch (entry_fit(family, is_folder(path), path_text(path.filename()))) {
    case EntryFit::fits:
      return {};
    case EntryFit::not_a_folder:
      return unexpected(
          fmt::format("{}: skills entries are directories — this is a file", display(path)));
    case EntryFit::a_folder:
      return unexpected(fmt::format("{}: {} entries are single .md files — this is a directory",
                                    display(path), family_word(family)));
    case EntryFit::not_markdown:
      break;
  }
  return unexpected(
      fmt::format("{}: {} entries are single .md files — this name does not end in .md",
                  display(path), family_word(family)));
}

void report_failure(Reporter& reporter, std::string_view what, const fs::path& path,
                    const std::error_code& error) {
  report_error(reporter, fmt::format(fmt::runtime(what), display(path), error.message()));
}

// Compares the Commons link `entry` with `adopted`: 0 with the "nothing to do" line when the
// link already leads there, else 1 with the "remove the Commons link first" error.
// `display_name` is "<family>/<name>".
int check_existing_source(std::string_view display_name, const fs::path& entry,
                          const fs::path& adopted, Reporter& reporter) {
  auto raw = read_link_text(entry);
  const fs::path stored = raw ? *raw : fs::path();
  const fs::path resolved = resolve_link_target(entry, stored);
  const fs::path wanted = normalize_path(adopted);
  bool same = resolved == wanted;
  if (!same) {
    auto real_resolved = canonical_path(resolved);
    auto real_wanted = canonical_path(wanted);
    same = real_resolved && real_wanted && *real_resolved == *real_wanted;
  }
  if (same) {
    print_line(reporter, fmt::format("{} is already Sourced from {} — nothing to do", display_name,
                                     display(adopted)));
    return 0;
  }
  report_error(reporter, fmt::format("{} is already Sourced from {} — remove the Commons link "
                                     "first if you mean to repoint it",
                                     display_name, display(entry.parent_path() / stored)));
  return 1;
}

struct EntryCheck {
  EntryState state = EntryState::none;
  int status = 0;  // for `settled`
};

std::optional<EntryCheck> check_entry(const Adoption& a, Reporter& reporter) {
  auto kind = path_kind(a.entry, false);
  if (!kind) {
    return EntryCheck{};
  }
  if (*kind == PathKind::link) {
    return EntryCheck{.state = EntryState::settled,
                      .status = check_existing_source(a.display_name, a.entry, a.path, reporter)};
  }
  // A hard link, or a path that is a link to the entry: the same file or folder under two
  // names, which "replacing the identical copy" would delete.
  if (same_file(a.path, a.entry)) {
    report_error(reporter,
                 fmt::format("{} is already in the Commons — nothing to adopt", display(a.path)));
    return std::nullopt;
  }
  if (!same_content(a.path, a.entry)) {
    report_error(reporter,
                 fmt::format("{} differs from the Commons copy at {} — this is a Variant. Merge it "
                             "by hand if you want it in the Commons; kelvaro will not choose which "
                             "side to discard",
                             display(a.path), display(a.entry)));
    return std::nullopt;
  }
  return EntryCheck{.state = EntryState::identical};
}

void print_blank_line(Reporter& reporter) {
  print_line(reporter, "");
}

void print_dry_banner(Reporter& reporter) {
  print_line(reporter, "dry run — no changes will be made");
  print_blank_line(reporter);
}

// Names that `copy_tree` and `set_aside` may use beside `to`, in the order they are tried: a
// hidden name the Commons scan never takes for an entry, and a short one for a name near the
// file-name limit.
std::vector<fs::path> hidden_siblings(const fs::path& to) {
  const std::string pid = std::to_string(process_id());
  return {to.parent_path() / path_from_utf8("." + path_to_utf8(to.filename()) + ".kelvaro-" + pid),
          to.parent_path() / path_from_utf8(".kelvaro-" + pid)};
}

// Renames `path` to a hidden name in its own folder, in one step; returns that name.
Result<fs::path, std::error_code> set_aside(const fs::path& path) {
  // A copy that a dead adopt set aside under these names would block the rename for good.
  remove_dead_leftovers(path);
  const std::vector<fs::path> names = hidden_siblings(path);
  for (const fs::path& name : names) {
    auto renamed = rename_new_path(path, name);
    if (renamed) {
      sync_folder(path.parent_path());
      return name;
    }
    if (renamed.error() != std::errc::filename_too_long || name == names.back()) {
      return unexpected(renamed.error());
    }
  }
  return unexpected(std::make_error_code(std::errc::filename_too_long));
}

// Puts the link `target` where `path` was, `path`'s own copy having been set aside at `aside`:
// the copy goes only once the link stands, and comes back when the link cannot be made, so the
// place an agent reads is whole, gone for a moment, or the link, but never half removed.
Result<void, std::error_code> link_over_set_aside(const fs::path& path, const fs::path& aside,
                                                  const fs::path& target) {
  auto made = make_link(target, path);
  if (!made) {
    (void)rename_new_path(aside, path);
    return made;
  }
  sync_folder(path.parent_path());
  return remove_tree(aside);
}

bool create_entry_folder(const Adoption& a, Reporter& reporter) {
  auto created = create_folders(a.entry.parent_path());
  if (!created) {
    report_failure(reporter, "cannot create {}: {}", a.entry.parent_path(), created.error());
    return false;
  }
  return true;
}

// Links the adopted family entry into every installed agent's surface of its family.
void fan_out_links(const RunContext& ctx, const std::vector<LinkFolder>& folders,
                   const AdoptedEntry& adopted, Family family, Reporter& reporter, RunMode mode) {
  // Named as the Commons scan names it, so that the links made here are the ones sync plans.
  const std::string file_name = path_text(adopted.entry.filename());
  const std::vector<CommonsEntry> entries = {CommonsEntry{
      .name = entry_name(family, file_name), .file_name = file_name, .path = adopted.entry}};
  for (const LinkFolder& folder : folders) {
    if (folder.family != family || folder.role != FolderRole::surface ||
        folder.place != FolderPlace::own) {
      continue;
    }
    const std::string dir = display(folder.dir);
    const std::string shown = visible_text(folder.agent);
    for (const LinkItem& item : plan_links(folder.path, entries, adopted.commons)) {
      if (!item.target || item.state == LinkState::linked ||
          same_entry(item.link_path, adopted.adopted)) {
        continue;
      }
      const Row row = row_of(item);
      if (!row.actionable) {
        print_line(reporter, fmt::format("  {} ({}): {} — {}", shown, dir, row.word, row.note));
        continue;
      }
      if (mode == RunMode::dry_run) {
        print_line(reporter, fmt::format("  would link into {} ({})", shown, dir));
        continue;
      }
      auto fixed = apply_link_fix(item);
      if (!fixed) {
        report_error(reporter, fmt::format("cannot link into {} ({}): {}", shown, dir,
                                           link_failure(item.link_path, fixed.error(), ctx.home)));
        continue;
      }
      print_line(reporter, fmt::format("  linked into {} ({})", shown, dir));
    }
  }
}

// What the fan-out says of one instructions item: before it (a dry run), after it, or when it
// failed (the system's text follows).
struct InstructionsLines {
  std::string would;
  std::string done;
  std::string failed;
};

void apply_or_say(const RunContext& ctx, Reporter& reporter, const InstructionsItem& item,
                  RunMode mode, const InstructionsLines& lines) {
  if (mode == RunMode::dry_run) {
    print_line(reporter, lines.would);
    return;
  }
  if (auto applied = apply_instructions_item(ctx, item); !applied) {
    report_error(reporter, fmt::format("{}: {}", lines.failed, applied.error()));
    return;
  }
  print_line(reporter, lines.done);
}

// Wires the adopted instructions file into every installed agent.
void fan_out_instructions(const RunContext& ctx, const std::vector<Agent>& agents,
                          const AdoptedEntry& adopted, Reporter& reporter, RunMode mode) {
  // Before a dry run moved anything, the adopted file stands in for the Commons AGENTS.md.
  const fs::path planned =
      kelvaro::is_regular_file(adopted.entry) ? adopted.entry : adopted.adopted;
  for (const InstructionsItem& item : plan_instructions(ctx, agents, planned)) {
    if (same_entry(item.path, adopted.adopted)) {
      continue;
    }
    const std::string place = display_under(item.path, ctx.home);
    const std::string agent = visible_text(item.agent);
    switch (item.state) {
      case InstructionsState::missing:
        apply_or_say(ctx, reporter, item, mode,
                     {.would = fmt::format("  would link into {} ({})", agent, place),
                      .done = fmt::format("  linked into {} ({})", agent, place),
                      .failed = fmt::format("cannot link into {} ({})", agent, place)});
        break;
      case InstructionsState::import: {
        const std::string_view words = item.include ? "the entry" : "the import line";
        apply_or_say(ctx, reporter, item, mode,
                     {.would = fmt::format("  would add {} to {} ({})", words, agent, place),
                      .done = fmt::format("  added {} to {} ({})", words, agent, place),
                      .failed = fmt::format("cannot write {}", display(item.path))});
        break;
      }
      case InstructionsState::replace:
        apply_or_say(ctx, reporter, item, mode,
                     {.would = fmt::format("  would replace {} for {}", place, agent),
                      .done = fmt::format("  replaced {} for {}", place, agent),
                      .failed = fmt::format("cannot replace {}", display(item.path))});
        break;
      case InstructionsState::conflict:
      case InstructionsState::foreign:
        print_line(reporter, fmt::format("  {}: {}", agent, describe_instructions_item(item)));
        break;
      case InstructionsState::linked:
      case InstructionsState::imported:
      case InstructionsState::legacy:
        break;
    }
  }
}

// What the mechanics share: the run's locations, the agents and their link folders.
struct AdoptRun {
  const RunContext& ctx;
  const std::vector<Agent>& agents;
  const std::vector<LinkFolder>& folders;
  Reporter& reporter;
  RunMode mode = RunMode::apply;
};

int finish(const AdoptRun& run, const Adoption& a) {
  const AdoptedEntry adopted{
      .commons = run.ctx.commons, .adopted = a.path, .entry = a.entry, .family = a.family};
  if (a.family) {
    fan_out_links(run.ctx, run.folders, adopted, *a.family, run.reporter, run.mode);
  } else {
    fan_out_instructions(run.ctx, run.agents, adopted, run.reporter, run.mode);
  }
  return run.reporter.errors > 0 ? 1 : 0;
}

int run_absorb(const AdoptRun& run, const Adoption& a) {
  Reporter& reporter = run.reporter;
  const bool identical = a.state == EntryState::identical;
  if (run.mode == RunMode::dry_run) {
    print_dry_banner(reporter);
    print_line(reporter,
               fmt::format("absorb: {} from {} into the Commons ({})", a.name, a.agent, a.word));
    if (identical) {
      print_line(reporter,
                 fmt::format("  would remove {} — identical to the Commons copy", display(a.path)));
    } else {
      print_line(reporter, fmt::format("  would move {} into the Commons", display(a.path)));
    }
    print_line(reporter, fmt::format("  would leave a link at {} → {}", display(a.path),
                                     display(commons_link_text(a.path, a.entry, run.ctx.commons))));
    return finish(run, a);
  }

  std::optional<fs::path> aside;
  if (identical) {
    auto renamed = set_aside(a.path);
    if (!renamed) {
      report_failure(reporter, "cannot remove {}: {}", a.path, renamed.error());
      return 1;
    }
    aside = *renamed;
  } else {
    if (!create_entry_folder(a, reporter)) {
      return 1;
    }
    auto moved = move_path(a.path, a.entry);
    if (!moved) {
      report_failure(reporter, "cannot move {} into the Commons: {}", a.path, moved.error());
      return 1;
    }
    aside = *moved;
  }
  const fs::path target = commons_link_text(a.path, a.entry, run.ctx.commons);
  auto linked = aside ? link_over_set_aside(a.path, *aside, target) : make_link(target, a.path);
  if (!linked) {
    report_failure(reporter, "cannot link {}: {}", a.path, linked.error());
    return 1;
  }
  if (identical) {
    print_line(reporter, fmt::format("{} in {} was identical to the Commons copy — re-linked",
                                     a.name, a.agent));
  } else {
    print_line(reporter,
               fmt::format("adopted {} from {} into the Commons ({})", a.name, a.agent, a.word));
  }
  print_line(reporter, fmt::format("  {} → {}", display(a.path), display(target)));
  return finish(run, a);
}

int run_source(const AdoptRun& run, const Adoption& a) {
  Reporter& reporter = run.reporter;
  const bool identical = a.state == EntryState::identical;
  if (run.mode == RunMode::dry_run) {
    print_dry_banner(reporter);
    print_line(reporter,
               fmt::format("source: {} — Sourced from {} ({})", a.name, display(a.path), a.word));
    if (identical) {
      print_line(reporter, "  would replace the identical Commons copy with the link");
    }
    print_line(reporter, fmt::format("  would link {} → {}", display(a.entry), display(a.path)));
    return finish(run, a);
  }

  Result<void, std::error_code> linked;
  if (identical) {
    auto aside = set_aside(a.entry);
    if (!aside) {
      report_failure(reporter, "cannot remove {}: {}", a.entry, aside.error());
      return 1;
    }
    linked = link_over_set_aside(a.entry, *aside, a.path);
  } else {
    if (!create_entry_folder(a, reporter)) {
      return 1;
    }
    linked = make_link(a.path, a.entry);
  }
  if (!linked) {
    report_failure(reporter, "cannot link {}: {}", a.entry, linked.error());
    return 1;
  }
  print_line(reporter,
             fmt::format("adopted {} — Sourced from {} ({})", a.name, display(a.path), a.word));
  if (identical) {
    print_line(reporter, "  replaced the identical Commons copy with the link");
  }
  print_line(reporter, fmt::format("  {} → {}", display(a.entry), display(a.path)));
  return finish(run, a);
}

int run_copy(const AdoptRun& run, const Adoption& a) {
  Reporter& reporter = run.reporter;
  const std::string diverge = fmt::format(
      "  the original at {} is no longer consulted; edits there will diverge from the Commons copy",
      display(a.path));

  if (run.mode == RunMode::dry_run) {
    print_dry_banner(reporter);
    print_line(reporter, fmt::format("copy: {} — copied into the Commons ({})", a.name, a.word));
    print_line(reporter, fmt::format("  would copy {} into the Commons", display(a.path)));
    print_line(reporter, diverge);
    return finish(run, a);
  }

  if (!create_entry_folder(a, reporter)) {
    return 1;
  }
  // `copy_tree` leaves nothing behind when it fails, so there is no partial copy to remove.
  auto copied = copy_tree(a.path, a.entry);
  if (!copied) {
    report_failure(reporter, "cannot copy {} into the Commons: {}", a.path, copied.error());
    return 1;
  }
  print_line(reporter, fmt::format("adopted {} — copied into the Commons ({})", a.name, a.word));
  print_line(reporter, diverge);
  return finish(run, a);
}

// The family named by the folder `path` lies in, or none after reporting that it is not a
// family folder.
std::optional<Family> family_of_parent(Reporter& reporter, const fs::path& path) {
  const std::string parent = display(path.parent_path().filename());
  for (Family family : all_families) {
    if (parent == family_word(family)) {
      return family;
    }
  }
  report_error(reporter, fmt::format("{}: parent directory \"{}\" is not a family — adopt takes "
                                     "paths from skills/, commands/, or agents/",
                                     display(path), parent));
  return std::nullopt;
}

// Copies `from` into the new path `to`, which nothing else knows about yet.
Result<void, std::error_code> copy_into(const fs::path& from, const fs::path& to) {
  auto kind = path_kind(from, true);
  if (!kind) {
    return unexpected(kind.error());
  }
  if (*kind == PathKind::file) {
    return kelvaro::copy_file(from, to);
  }
  // A pipe or a device would block or never end; only files and folders are material.
  if (*kind != PathKind::folder) {
    return unexpected(std::make_error_code(std::errc::operation_not_supported));
  }
  auto entries = list_folder(from, MissingFolder::error);
  if (!entries) {
    return unexpected(entries.error());
  }
  auto created = create_folders(to);
  if (!created) {
    return created;
  }
  for (const fs::path& entry : *entries) {
    auto copied = copy_into(entry, to / entry.filename());
    if (!copied) {
      return copied;
    }
  }
  sync_folder(to);
  return {};
}

// What a run of `adopt` goes on with once every check has passed: the agents with their link
// folders, for the fan-out, and what was decided about the path.
struct Decision {
  std::vector<Agent> agents;
  std::vector<LinkFolder> folders;
  Adoption adoption;
};

// Every check of `adopt` on the absolute, normalised `path`, against the Commons and the agents
// that `config` lists: the decision, which it makes without a word, or the exit status once it
// has said why the command ends here (a refusal, or that there is nothing to do).
Result<Decision, int> decide(const RunContext& anchored, const Config& config, const fs::path& path,
                             Reporter& reporter) {
  if (!path_kind(path, true) && !path_kind(path, false)) {
    report_error(reporter, fmt::format("{} does not exist", display(path)));
    return unexpected(1);
  }

  Decision d{.agents = list_agents(anchored.home, config), .folders = {}, .adoption = {}};
  d.folders = link_folders(anchored, d.agents);
  std::optional<Adoption> chosen = absorb_choice(anchored, d.agents, d.folders, path);
  if (already_in_commons(path, anchored.commons, chosen.has_value())) {
    report_error(reporter,
                 fmt::format("{} is already in the Commons — nothing to adopt", display(path)));
    return unexpected(1);
  }
  if (!chosen) {
    const AdoptMechanic mechanic =
        inside_git_working_copy(path) ? AdoptMechanic::source : AdoptMechanic::copy;
    std::optional<Family> family = family_of_parent(reporter, path);
    if (!family) {
      return unexpected(1);
    }
    chosen = Adoption{.mechanic = mechanic, .family = family};
  }

  Adoption& a = *chosen;
  a.path = path;
  a.name = display(path.filename());
  if (a.family) {
    a.word = family_word(*a.family);
    a.entry = anchored.commons / a.word / path.filename();
    a.display_name = fmt::format("{}/{}", a.word, a.name);
  } else {
    a.word = "instructions";
    a.entry = commons_instructions_file(anchored.commons);
    a.display_name = "AGENTS.md";
  }

  if (a.mechanic == AdoptMechanic::absorb && is_link(a.path)) {
    report_error(reporter, fmt::format("{} is already a symlink — there is nothing to adopt",
                                       display(a.path)));
    return unexpected(1);
  }
  // Whatever the mechanic, an entry the Commons scan would skip is never taken in.
  if (a.family) {
    if (auto fits = check_kind(a.path, *a.family); !fits) {
      report_error(reporter, fits.error());
      return unexpected(1);
    }
  }
  std::optional<EntryCheck> check = check_entry(a, reporter);
  if (!check) {
    return unexpected(1);
  }
  if (check->state == EntryState::settled) {
    return unexpected(check->status);
  }
  a.state = check->state;
  if (a.mechanic == AdoptMechanic::copy && a.state == EntryState::identical) {
    print_line(reporter,
               fmt::format("{} is already in the Commons — nothing to do", a.display_name));
    return unexpected(0);
  }
  d.adoption = std::move(a);
  return d;
}

}  // namespace

Result<void, std::error_code> copy_tree(const fs::path& from, const fs::path& to) {
  // The copy is assembled under a hidden name and appears under its own name only once it is
  // whole and on disk. A half copy that a dead run left under those names goes first: in the
  // Commons, often a git working copy, it would stay for good and block this copy.
  remove_dead_leftovers(to);
  const std::vector<fs::path> names = hidden_siblings(to);
  for (const fs::path& staging : names) {
    if (path_kind(staging, false)) {
      return unexpected(std::make_error_code(std::errc::file_exists));
    }
    auto copied = copy_into(from, staging);
    if (copied) {
      copied = rename_new_path(staging, to);
    }
    if (!copied) {
      (void)remove_tree(staging);
      if (copied.error() == std::errc::filename_too_long && staging != names.back()) {
        continue;
      }
      return copied;
    }
    sync_folder(to.parent_path());
    return {};
  }
  return unexpected(std::make_error_code(std::errc::filename_too_long));
}

Result<std::optional<fs::path>, std::error_code> move_path(const fs::path& from,
                                                           const fs::path& to) {
  auto renamed = rename_new_path(from, to);
  if (renamed) {
    sync_folder(to.parent_path());
    sync_folder(from.parent_path());
    return std::optional<fs::path>();
  }
  // Only a rename that could not happen at all falls back to copying; a name already taken
  // must not be copied over either.
  if (renamed.error() == std::errc::file_exists) {
    return unexpected(renamed.error());
  }
  auto copied = copy_tree(from, to);
  if (!copied) {
    return unexpected(copied.error());
  }
  auto aside = set_aside(from);
  if (!aside) {
    (void)remove_tree(to);
    return unexpected(aside.error());
  }
  return std::optional<fs::path>(std::move(*aside));
}

int adopt(const RunContext& ctx, const Config& config, Reporter& reporter,
          const fs::path& path_text, bool dry_run) {
  if (!require_commons(ctx, reporter)) {
    return 1;
  }
  // Link targets are computed between absolute paths, so a relative home or Commons is
  // anchored at the current folder once.
  const RunContext anchored = anchor_context(ctx);

  fs::path path = path_text;
  if (path.is_relative()) {
    if (auto cwd = current_folder()) {
      path = *cwd / path;
    }
  }
  path = normalize_path(path);

  auto decided = decide(anchored, config, path, reporter);
  if (!decided) {
    return decided.error();
  }
  std::optional<HeldLock> lock;
  if (!dry_run) {
    lock = take_lock(ctx, reporter);
    if (!lock) {
      return 1;
    }
    // The run waited for may have taken the path in, made the entry, or changed the agents:
    // the checks are made again on what it left.
    if (!require_commons(ctx, reporter)) {
      return 1;
    }
    decided = decide(anchored, lock->config, path, reporter);
    if (!decided) {
      return decided.error();
    }
  }
  const Decision& d = *decided;
  const AdoptRun run{.ctx = anchored,
                     .agents = d.agents,
                     .folders = d.folders,
                     .reporter = reporter,
                     .mode = dry_run ? RunMode::dry_run : RunMode::apply};
  switch (d.adoption.mechanic) {
    case AdoptMechanic::absorb:
      return run_absorb(run, d.adoption);
    case AdoptMechanic::source:
      return run_source(run, d.adoption);
    case AdoptMechanic::copy:
      return run_copy(run, d.adoption);
  }
  return 1;
}

}  // namespace kelvaro
