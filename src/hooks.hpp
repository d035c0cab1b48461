#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "agents.hpp"
#include "context.hpp"
#include "documents.hpp"
#include "result.hpp"
#include "section.hpp"

// Commons hooks (`<Commons>/hooks/<Event>.toml`, one file per event, `[[hook]]` tables) merged
// into the JSON settings files of the agents that take hooks (claude, codex, gemini). The
// planner only reads; `apply_hook_items` writes each settings file at most once; entries that
// the Commons does not hold are reported as foreign and never changed.
namespace kelvaro {

// One `[[hook]]` table of a Commons hook file, as read.
struct CommonsHook {
  std::string event;  // the file's event name (its stem)
  std::string command;
  std::optional<std::string> matcher{};
  std::optional<std::int64_t> timeout{};

  bool operator==(const CommonsHook&) const = default;
};

// The state of one planned hook entry. `sync` changes `missing` and `drifted` only.
enum class HookState : std::uint8_t {
  managed,      // the agent holds the Commons entry, with the Commons matcher
  missing,      // no entry with the Commons command under the agent's event
  drifted,      // the entry or its group's matcher differs; will be restored
  unsupported,  // the agent has no such event
  foreign,      // an entry of the agent whose command the Commons does not hold
};

// The state word printed by `sync` and `status` ("managed", "missing", ...).
std::string_view to_string(HookState state);
// True for the states `sync` merges: missing and drifted.
bool is_actionable(HookState state);
// True for the states a report counts as needing attention: those `sync` merges.
bool needs_attention(HookState state);

// One planned hook entry of one agent.
struct HookItem {
  std::string agent;
  // The Commons event name; for a foreign item the agent's own key the entry stands under.
  std::string event;
  // The Commons command; for a foreign item the `short_command` of the entry's command.
  std::string command;
  std::filesystem::path settings_path;   // `<target root>/<hooks file>`
  std::optional<std::string> matcher{};  // absent for unsupported and foreign items
  std::optional<Json> entry{};           // what a merge writes; absent for unsupported, foreign
  std::string hooks_key;
  std::optional<std::string> agent_event{};  // absent for unsupported and foreign items
  HookState state = HookState::managed;

  bool operator==(const HookItem&) const = default;
};

// The result of `plan_hooks`.
// Items: agents in `list_agents` order; per agent its Commons hooks in `read_commons_hooks`
// order, then its foreign entries. Errors: one per agent whose settings file cannot be used.
// Fatal: the problems of the Commons hook files.
using HookPlan = Section<HookItem>;

// What `apply_hook_items` did: one ready message per failing settings file (each reported as
// an error), and the number of items in the files that were written (the changes made).
struct HookApplyResult {
  std::vector<std::string> messages;
  std::size_t written = 0;

  bool operator==(const HookApplyResult&) const = default;
};

// What `remove_agent_hooks` did: the (Commons event, command) pairs taken out of the settings
// file, in `read_commons_hooks` order, and the problems of the Commons hook files.
struct HookRemoval {
  std::vector<std::pair<std::string, std::string>> removed;
  std::vector<std::string> problems;

  bool operator==(const HookRemoval&) const = default;
};

// --- reading the Commons --------------------------------------------------------------------

// What `read_commons_hooks` found: the hooks, and one problem text per file that gives none.
struct CommonsHooks {
  std::vector<CommonsHook> hooks;
  std::vector<std::string> errors;

  bool operator==(const CommonsHooks&) const = default;
};

// The hooks of the hook files (`is_hook_file_name`) in `hooks_dir`, files in ascending path
// order, tables in file order. A file with a problem gives no hook, its problem is recorded and the
// next file is read. A missing folder gives nothing and no problem.
CommonsHooks read_commons_hooks(const std::filesystem::path& hooks_dir);

// True when `name`, the name of an entry of the Commons hooks folder, is a hook file's:
// "<Event>.toml" with a stem that is not empty, whatever the stem says. A file named ".toml"
// names no event and is no hook file.
bool is_hook_file_name(std::string_view name);

// The name `agent` gives the Commons event `event`: gemini's own name (nullopt when gemini has
// no such event), the Commons name for every other agent; nullopt for an unknown event.
std::optional<std::string> agent_event_name(std::string_view agent, std::string_view event);

// The settings entry of `hook`: "type": "command", "command", and "timeout" when it has one.
Json hook_entry_json(const CommonsHook& hook);

// --- planning and describing ----------------------------------------------------------------

// Compares the hooks in `hooks_dir` (callers pass `<commons>/hooks`) with the settings of each
// of `agents` (the installed ones) that takes hooks. Empty when `hooks_dir` is not a folder.
HookPlan plan_hooks(const RunContext& ctx, const std::vector<Agent>& agents,
                    const std::filesystem::path& hooks_dir);

// The note printed after an item's state word ("not in this agent's hooks yet", ...); empty
// for `managed`.
std::string describe_hook_item(const HookItem& item);

// The short form of a foreign entry's command: its first word (or the text inside a leading
// pair of quotes), followed by " …" when more follows.
std::string short_command(std::string_view command);

// A command as `sync` and `status` show it: whole when at most 40 characters (Unicode scalar
// values), else its first 39 characters and "…".
std::string shown_command(std::string_view command);

// --- writing --------------------------------------------------------------------------------

// Merges the `missing` and `drifted` items of `items` into their settings files: one read and
// at most one `write_atomic` per file, files in order of their first item. A failing file is
// left byte for byte as it was, its message is returned, and the other files go on.
HookApplyResult apply_hook_items(const std::vector<HookItem>& items);

// Takes the hooks in `hooks_dir` out of the settings file `settings_path` of the agent `agent`
// (its hooks under `hooks_key`). Writes the file only when something was removed. Fails with
// the settings file's read message, "{}: `{}` is not an object — left untouched" (as planning
// says it) when the hooks key holds something else, or "cannot serialise {}: {}" / "cannot
// write {}: {}". The file is read only when the Commons holds hooks.
Result<HookRemoval> remove_agent_hooks(const std::filesystem::path& settings_path,
                                       std::string_view hooks_key, std::string_view agent,
                                       const std::filesystem::path& hooks_dir);

}  // namespace kelvaro
