#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"
#include "result.hpp"

// The `adopt` command: takes one existing file or folder under the Commons' management and fans
// the new entry out to every installed agent.
namespace kelvaro {

// How a path comes into the Commons, in the order they are tried.
enum class AdoptMechanic {
  absorb,  // moved in from an agent's folder; a link to the Commons copy is left in its place
  source,  // inside a git working copy: the Commons entry becomes a link out to it
  copy,    // copied in; the original is no longer consulted
};

// "absorb", "source", "copy": the prefix of the dry-run line.
std::string_view to_string(AdoptMechanic mechanic);

// One adopted entry, for `fan_out_entry`. Paths are absolute and normalised.
struct AdoptedEntry {
  std::filesystem::path commons;
  std::filesystem::path adopted;  // the path the user named
  std::filesystem::path entry;    // <commons>/<family>/<name>, or <commons>/AGENTS.md
  std::optional<Family> family;   // none for the instructions file

  bool operator==(const AdoptedEntry&) const = default;
};

// Runs `adopt` on the path the user typed (`dry_run`: report only, take no lock). Returns 1
// when an error was reported, else 0.
int adopt(const RunContext& ctx, const Config& config, Reporter& reporter,
          const std::filesystem::path& path_text, bool dry_run);

// The family named by the folder `path` lies in, or none after reporting that it is not a
// family folder.
std::optional<Family> family_of_parent(Reporter& reporter, const std::filesystem::path& path);

// Compares the Commons link `entry` with `adopted`: 0 with the "nothing to do" line when the
// link already leads there, else 1 with the "remove the Commons link first" error.
// `display_name` is "<family>/<name>".
int check_existing_source(std::string_view display_name, const std::filesystem::path& entry,
                          const std::filesystem::path& adopted, Reporter& reporter);

// Copies `from` to the new path `to`, a folder with everything in it (links followed). The copy
// is assembled under a hidden name beside `to`, flushed, and renamed into place, so `to` either
// does not exist or is complete; on failure nothing of the copy is left. Fails with the system
// error of the first step that failed.
Result<void, std::error_code> copy_tree(const std::filesystem::path& from,
                                        const std::filesystem::path& to);

// Moves `from` to the new path `to`: one rename, or across file systems a complete `copy_tree`
// before `from` is removed. Fails with the system error of the failing step.
Result<void, std::error_code> move_path(const std::filesystem::path& from,
                                        const std::filesystem::path& to);

// Creates at `old` a relative link to `entry` in the Commons `commons` (`commons_link_text`);
// returns the stored text.
Result<std::filesystem::path, std::error_code> leave_link(const std::filesystem::path& old,
                                                          const std::filesystem::path& entry,
                                                          const std::filesystem::path& commons);

// Links the one adopted entry into every installed agent (or wires it as their instructions),
// printing one line per agent that needed something; a dry run only prints.
void fan_out_entry(const RunContext& ctx, const Config& config, const AdoptedEntry& adopted,
                   Reporter& reporter, bool dry_run);

// Writes an empty line on the result writer.
void print_blank_line(Reporter& reporter);

}  // namespace kelvaro
