#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agents.hpp"
#include "config.hpp"
#include "context.hpp"
#include "documents.hpp"
#include "result.hpp"

// Wiring of the Commons AGENTS.md into each installed agent: a link at the agent's own
// instructions file or in its rules folder, an import line, or an entry in a list setting of
// the agent's JSON settings file. The planner only reads; the appliers change one item each.
namespace kelvaro {

// The state of one planned wiring. `sync` applies `missing`, `import`, `legacy` and `replace`.
enum class InstructionsState : std::uint8_t {
  linked,    // the route's link already leads to the Commons AGENTS.md
  missing,   // nothing at the link location: a link will be made
  imported,  // the import line or list entry is already there
  import,    // the import line or list entry will be added
  conflict,  // something the tool does not own is in the way; left alone
  foreign,   // a link that leads elsewhere; left alone
  legacy,    // a leftover of a route the agent does not take; will be removed
  replace,   // the other route kind's wiring on the same file; will be replaced
};

// The state word printed by `sync`, `status` and `init` ("linked", "missing", ...).
std::string_view to_string(InstructionsState state);
// True for the states `sync` applies: missing, import, legacy, replace.
bool is_actionable(InstructionsState state);
// True for the states a report counts as needing attention: those `sync` applies.
bool needs_attention(InstructionsState state);

// The list entry of an include-entry route.
struct IncludeEntry {
  std::string entry;                     // names the Commons AGENTS.md
  std::string key;                       // dotted key of the list ("context.fileName")
  std::optional<std::string> companion;  // stays before `entry` ("GEMINI.md")

  bool operator==(const IncludeEntry&) const = default;
};

// One planned wiring of one agent.
struct InstructionsItem {
  std::string agent;
  // The instructions file, `<rules folder>/AGENTS.md`, the settings file, or the leftover.
  std::filesystem::path path;
  // The link text to write; on every symlink and rules-dir link route item, never elsewhere.
  std::optional<std::filesystem::path> target;
  // "@" followed by the import text; on import-line route items only.
  std::optional<std::string> import_line;
  // On include-entry items, main or leftover.
  std::optional<IncludeEntry> include;
  // The outside tool that owns a file in the way (a `conflict`).
  std::optional<std::string> owner;
  // A ready-made explanation that replaces the state's note.
  std::optional<std::string> detail;
  InstructionsState state = InstructionsState::linked;

  bool operator==(const InstructionsItem&) const = default;
};

// Plans the wiring of `commons_agents_md` (callers pass `<commons>/AGENTS.md`) into each of
// `agents` (the installed ones): per agent in list order, the main item of its chosen route
// and then the leftovers of its other routes. Empty when that file cannot be read or is a
// folder. Never fails: every problem becomes a `conflict` item with a `detail`.
std::vector<InstructionsItem> plan_instructions(const RunContext& ctx,
                                                const std::vector<Agent>& agents,
                                                const std::filesystem::path& commons_agents_md);

// The note printed after an item's state word; empty for `linked`.
std::string describe_instructions_item(const InstructionsItem& item);

// Applies one item (`missing`, `import`, `legacy`, `replace`; the other states do nothing).
// Fails with a ready-made text (a system error's message, or the program's own message);
// steps already done stay done. Callers report "cannot write {path}: {error}". A `missing`
// item without `target`, or an import without `import_line`, stops the program.
Result<void> apply_instructions_item(const RunContext& ctx, const InstructionsItem& item);

// Removes the entries naming `<commons>/AGENTS.md` from the list under the dotted `key` of the
// JSON `settings` file; when nothing (or only `companion`) remains, the key's member goes.
// True when the file was rewritten; false for a missing file, a missing key, a key that is not
// a list, or no matching entry. Fails with the read message or a write error's text.
Result<bool> remove_include_entry(const RunContext& ctx, const std::filesystem::path& settings,
                                  std::string_view key,
                                  const std::optional<std::string>& companion);

// The import text naming `<commons>/AGENTS.md`: "~/" and the rest when it lies under the home
// folder ("~/.agents/AGENTS.md"), else the full path. The import line is "@" and this text.
std::string display_home_path(const RunContext& ctx);

// True when `line`, trimmed, is "@" followed by `import_text` (blanks allowed after the "@").
bool is_import_line(std::string_view line, std::string_view import_text);

// --- the planner's parts -------------------------------------------------------------------

// The normalised path a list-setting `entry` names: "~/..." under `home`, an absolute entry
// as is, anything else relative to `settings_dir`.
std::filesystem::path resolve_setting_path(std::string_view entry,
                                           const std::filesystem::path& settings_dir,
                                           const std::filesystem::path& home);

}  // namespace kelvaro
