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

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

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
};

// The agent folder or instructions file `path` is absorbed from, when it is one: the first
// installed agent whose first surface of a family is the path's folder, or whose chosen link
// route names the path itself.
std::optional<Adoption> absorb_choice(const RunContext& ctx, const std::vector<Agent>& agents,
                                      const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (parent.empty() || parent == path) {
    return std::nullopt;
  }
  for (const Agent& agent : agents) {
    for (Family family : all_families) {
      const Surface* surface = first_surface(agent, family);
      if (surface != nullptr && absolute_normal_path(ctx.home / surface->dir) == parent) {
        return Adoption{
            .mechanic = AdoptMechanic::absorb, .family = family, .agent = visible_text(agent.name)};
      }
    }
    if (!agent.instructions) {
      continue;
    }
    const InstructionsRoute& route = *agent.instructions;
    std::optional<fs::path> file;
    if (route.kind == InstructionsRouteKind::symlink) {
      file = ctx.home / route.path;
    } else if (route.kind == InstructionsRouteKind::rules_dir_link) {
      file = ctx.home / route.path / "AGENTS.md";
    }
    if (file && absolute_normal_path(*file) == path) {
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

// Removes a real folder with its contents, anything else as a file.
Result<void, std::error_code> remove_copy(const fs::path& path) {
  auto kind = path_kind(path, false);
  if (kind && *kind == PathKind::folder) {
    return remove_tree(path);
  }
  return remove_file(path);
}

void report_failure(Reporter& reporter, std::string_view what, const fs::path& path,
                    const std::error_code& error) {
  report_error(reporter, fmt::format(fmt::runtime(what), display(path), error.message()));
}

// What is already at the Commons entry: nothing, a link (settled by `check_existing_source`),
// or a real copy that must hold the same content as the path.
enum class EntryState { none, identical, settled };

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

void print_dry_banner(Reporter& reporter) {
  print_line(reporter, "dry run — no changes will be made");
  print_blank_line(reporter);
}

AdoptedEntry adopted_entry(const RunContext& ctx, const Adoption& a) {
  return AdoptedEntry{
      .commons = ctx.commons, .adopted = a.path, .entry = a.entry, .family = a.family};
}

int finish(const RunContext& ctx, const Config& config, const Adoption& a, Reporter& reporter,
           bool dry_run) {
  fan_out_entry(ctx, config, adopted_entry(ctx, a), reporter, dry_run);
  return reporter.errors > 0 ? 1 : 0;
}

// Removes the copy at `path` that is identical to its other side; false after reporting.
bool remove_identical(const fs::path& path, Reporter& reporter) {
  auto removed = remove_copy(path);
  if (!removed) {
    report_failure(reporter, "cannot remove {}: {}", path, removed.error());
    return false;
  }
  return true;
}

bool create_entry_folder(const Adoption& a, Reporter& reporter) {
  auto created = create_folders(a.entry.parent_path());
  if (!created) {
    report_failure(reporter, "cannot create {}: {}", a.entry.parent_path(), created.error());
    return false;
  }
  return true;
}

int run_absorb(const RunContext& ctx, const Config& config, const Adoption& a, Reporter& reporter,
               bool dry_run, bool identical) {
  if (dry_run) {
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
                                     display(commons_link_text(a.path, a.entry, ctx.commons))));
    return finish(ctx, config, a, reporter, true);
  }

  std::optional<ProcessLock> lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
  }
  if (identical) {
    if (!remove_identical(a.path, reporter)) {
      return 1;
    }
  } else {
    if (!create_entry_folder(a, reporter)) {
      return 1;
    }
    auto moved = move_path(a.path, a.entry);
    if (!moved) {
      report_failure(reporter, "cannot move {} into the Commons: {}", a.path, moved.error());
      return 1;
    }
  }
  auto link = leave_link(a.path, a.entry, ctx.commons);
  if (!link) {
    report_failure(reporter, "cannot link {}: {}", a.path, link.error());
    return 1;
  }
  if (identical) {
    print_line(reporter, fmt::format("{} in {} was identical to the Commons copy — re-linked",
                                     a.name, a.agent));
  } else {
    print_line(reporter,
               fmt::format("adopted {} from {} into the Commons ({})", a.name, a.agent, a.word));
  }
  print_line(reporter, fmt::format("  {} → {}", display(a.path), display(*link)));
  return finish(ctx, config, a, reporter, false);
}

int run_source(const RunContext& ctx, const Config& config, const Adoption& a, Reporter& reporter,
               bool dry_run, bool identical) {
  if (dry_run) {
    print_dry_banner(reporter);
    print_line(reporter,
               fmt::format("source: {} — Sourced from {} ({})", a.name, display(a.path), a.word));
    if (identical) {
      print_line(reporter, "  would replace the identical Commons copy with the link");
    }
    print_line(reporter, fmt::format("  would link {} → {}", display(a.entry), display(a.path)));
    return finish(ctx, config, a, reporter, true);
  }

  std::optional<ProcessLock> lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
  }
  if (identical) {
    if (!remove_identical(a.entry, reporter)) {
      return 1;
    }
  } else if (!create_entry_folder(a, reporter)) {
    return 1;
  }
  auto linked = make_link(a.path, a.entry);
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
  return finish(ctx, config, a, reporter, false);
}

int run_copy(const RunContext& ctx, const Config& config, const Adoption& a, Reporter& reporter,
             bool dry_run, bool identical) {
  if (identical) {
    print_line(reporter,
               fmt::format("{} is already in the Commons — nothing to do", a.display_name));
    return 0;
  }
  const std::string diverge = fmt::format(
      "  the original at {} is no longer consulted; edits there will diverge from the Commons copy",
      display(a.path));

  if (dry_run) {
    print_dry_banner(reporter);
    print_line(reporter, fmt::format("copy: {} — copied into the Commons ({})", a.name, a.word));
    print_line(reporter, fmt::format("  would copy {} into the Commons", display(a.path)));
    print_line(reporter, diverge);
    return finish(ctx, config, a, reporter, true);
  }

  std::optional<ProcessLock> lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
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
  return finish(ctx, config, a, reporter, false);
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
  auto entries = list_folder(from);
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

}  // namespace

std::string_view to_string(AdoptMechanic mechanic) {
  switch (mechanic) {
    case AdoptMechanic::absorb:
      return "absorb";
    case AdoptMechanic::source:
      return "source";
    case AdoptMechanic::copy:
      return "copy";
  }
  return "";
}

void print_blank_line(Reporter& reporter) {
  print_line(reporter, "");
}

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

Result<void, std::error_code> copy_tree(const fs::path& from, const fs::path& to) {
  // The copy is assembled under a hidden name that the Commons scan never takes for an entry,
  // and appears under its own name only once it is whole and on disk. A name near the file-name
  // limit leaves no room for the decoration: the short name lies in the same folder too.
  const std::string pid = std::to_string(process_id());
  const std::string staging_names[] = {"." + path_to_utf8(to.filename()) + ".kelvaro-" + pid,
                                       ".kelvaro-" + pid};
  for (const std::string& staging_name : staging_names) {
    const fs::path staging = to.parent_path() / path_from_utf8(staging_name);
    if (path_kind(staging, false)) {
      return unexpected(std::make_error_code(std::errc::file_exists));
    }
    auto copied = copy_into(from, staging);
    if (copied) {
      copied = rename_new_path(staging, to);
    }
    if (!copied) {
      (void)remove_tree(staging);
      if (copied.error() == std::errc::filename_too_long && &staging_name == &staging_names[0]) {
        continue;
      }
      return copied;
    }
    sync_folder(to.parent_path());
    return {};
  }
  return unexpected(std::make_error_code(std::errc::filename_too_long));
}

Result<void, std::error_code> move_path(const fs::path& from, const fs::path& to) {
  auto renamed = rename_new_path(from, to);
  if (renamed) {
    sync_folder(to.parent_path());
    sync_folder(from.parent_path());
    return {};
  }
  // Only a rename that could not happen at all falls back to copying; a name already taken
  // must not be copied over either.
  if (renamed.error() == std::errc::file_exists) {
    return renamed;
  }
  auto copied = copy_tree(from, to);
  if (!copied) {
    return copied;
  }
  return remove_copy(from);
}

Result<fs::path, std::error_code> leave_link(const fs::path& old, const fs::path& entry,
                                             const fs::path& commons) {
  fs::path target = commons_link_text(old, entry, commons);
  auto made = make_link(target, old);
  if (!made) {
    return unexpected(made.error());
  }
  return target;
}

void fan_out_entry(const RunContext& ctx, const Config& config, const AdoptedEntry& adopted,
                   Reporter& reporter, bool dry_run) {
  if (adopted.family) {
    const Family family = *adopted.family;
    // Named as the Commons scan names it, so that the links made here are the ones sync plans.
    std::string file_name = path_text(adopted.entry.filename());
    std::string name = file_name;
    if (family != Family::skills) {
      while (name.ends_with(".md")) {
        name.resize(name.size() - 3);
      }
    }
    const std::vector<CommonsEntry> entries = {
        CommonsEntry{.name = name, .file_name = file_name, .path = adopted.entry}};
    for (const Agent& agent : list_agents(ctx.home, config)) {
      const Surface* surface = first_surface(agent, family);
      if (surface == nullptr) {
        continue;
      }
      const std::string dir = display(surface->dir);
      const std::string shown = visible_text(agent.name);
      for (const LinkItem& item : plan_links(ctx.home / surface->dir, entries, adopted.commons)) {
        if (!item.target || absolute_normal_path(item.link_path) == adopted.adopted ||
            item.state == LinkState::linked) {
          continue;
        }
        if (!is_actionable(item.state)) {
          print_line(reporter, fmt::format("  {} ({}): {} — {}", shown, dir, to_string(item.state),
                                           link_note(item.state)));
          continue;
        }
        if (dry_run) {
          print_line(reporter, fmt::format("  would link into {} ({})", shown, dir));
          continue;
        }
        auto fixed = apply_link_fix(item);
        if (!fixed) {
          std::string text =
              fmt::format("cannot link into {} ({}): {}", shown, dir, fixed.error().message());
          // The system only says "File exists"; the user needs to know what is in the way.
          if (fixed.error() == std::errc::file_exists) {
            if (std::optional<LinkObstacle> obstacle = find_obstacle(item.link_path)) {
              text += fmt::format(" ({} is {})", display_under(obstacle->path, ctx.home),
                                  obstacle->what);
            }
          }
          report_error(reporter, text);
          continue;
        }
        print_line(reporter, fmt::format("  linked into {} ({})", shown, dir));
      }
    }
    return;
  }

  // Before a dry run moved anything, the adopted file stands in for the Commons AGENTS.md.
  const fs::path planned =
      kelvaro::is_regular_file(adopted.entry) ? adopted.entry : adopted.adopted;
  for (const InstructionsItem& item :
       plan_instructions(ctx, list_agents(ctx.home, config), planned)) {
    if (absolute_normal_path(item.path) == adopted.adopted) {
      continue;
    }
    const std::string place = display_under(item.path, ctx.home);
    const std::string agent = visible_text(item.agent);
    switch (item.state) {
      case InstructionsState::missing: {
        if (dry_run) {
          print_line(reporter, fmt::format("  would link into {} ({})", agent, place));
          break;
        }
        auto applied = apply_instructions_item(ctx, item);
        if (!applied) {
          report_error(reporter,
                       fmt::format("cannot link into {} ({}): {}", agent, place, applied.error()));
          break;
        }
        print_line(reporter, fmt::format("  linked into {} ({})", agent, place));
        break;
      }
      case InstructionsState::import: {
        const std::string_view words = item.include ? "the entry" : "the import line";
        if (dry_run) {
          print_line(reporter, fmt::format("  would add {} to {} ({})", words, agent, place));
          break;
        }
        auto applied = apply_instructions_item(ctx, item);
        if (!applied) {
          report_error(reporter,
                       fmt::format("cannot write {}: {}", display(item.path), applied.error()));
          break;
        }
        print_line(reporter, fmt::format("  added {} to {} ({})", words, agent, place));
        break;
      }
      case InstructionsState::replace: {
        if (dry_run) {
          print_line(reporter, fmt::format("  would replace {} for {}", place, agent));
          break;
        }
        auto applied = apply_instructions_item(ctx, item);
        if (!applied) {
          report_error(reporter,
                       fmt::format("cannot replace {}: {}", display(item.path), applied.error()));
          break;
        }
        print_line(reporter, fmt::format("  replaced {} for {}", place, agent));
        break;
      }
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

  if (!path_kind(path, true) && !path_kind(path, false)) {
    report_error(reporter, fmt::format("{} does not exist", display(path)));
    return 1;
  }
  if (lies_within(path, anchored.commons) || reaches_into_commons(path, anchored.commons)) {
    report_error(reporter,
                 fmt::format("{} is already in the Commons — nothing to adopt", display(path)));
    return 1;
  }

  std::optional<Adoption> chosen =
      absorb_choice(anchored, list_agents(anchored.home, config), path);
  if (!chosen) {
    const AdoptMechanic mechanic =
        inside_git_working_copy(path) ? AdoptMechanic::source : AdoptMechanic::copy;
    std::optional<Family> family = family_of_parent(reporter, path);
    if (!family) {
      return 1;
    }
    if (mechanic == AdoptMechanic::copy) {
      const bool folder = is_folder(path);
      if (*family == Family::skills && !folder) {
        report_error(reporter, fmt::format("{}: skills entries are directories — this is a file",
                                           display(path)));
        return 1;
      }
      if (*family != Family::skills && folder) {
        report_error(reporter,
                     fmt::format("{}: {} entries are single .md files — this is a directory",
                                 display(path), family_word(*family)));
        return 1;
      }
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
    a.entry = anchored.commons / "AGENTS.md";
    a.display_name = "AGENTS.md";
  }

  if (a.mechanic == AdoptMechanic::absorb) {
    auto own = path_kind(a.path, false);
    if (own && *own == PathKind::link) {
      report_error(reporter, fmt::format("{} is already a symlink — there is nothing to adopt",
                                         display(a.path)));
      return 1;
    }
  }
  std::optional<EntryCheck> check = check_entry(a, reporter);
  if (!check) {
    return 1;
  }
  if (check->state == EntryState::settled) {
    return check->status;
  }
  const bool identical = check->state == EntryState::identical;
  switch (a.mechanic) {
    case AdoptMechanic::absorb:
      return run_absorb(anchored, config, a, reporter, dry_run, identical);
    case AdoptMechanic::source:
      return run_source(anchored, config, a, reporter, dry_run, identical);
    case AdoptMechanic::copy:
      return run_copy(anchored, config, a, reporter, dry_run, identical);
  }
  return 1;
}

}  // namespace kelvaro
