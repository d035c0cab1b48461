#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents.hpp"
#include "result.hpp"

namespace kelvaro {

// The three linked kinds of Commons material, in this order.
enum class Family { skills, commands, agents };

// The word of `instructions.<agent>`.
enum class InstructionsClass { symlink, import };

// "symlink" or "import".
std::string_view to_string(InstructionsClass cls);

// One `[custom.<name>]` agent: it takes the linked families only.
struct CustomAgent {
  std::string name;
  std::string root;
  std::map<Family, std::string> dirs;

  bool operator==(const CustomAgent&) const = default;
};

// One `[mcp.<name>]` table. `agents` absent means every agent; an empty list means none.
struct ServerSettings {
  std::optional<std::vector<std::string>> agents{};
  JsonMap tweaks{};  // per agent name, an object

  bool operator==(const ServerSettings&) const = default;
};

// The validated contents of `kelvaro.toml`; all empty when the file is missing.
struct Config {
  std::vector<std::string> disabled;
  std::vector<CustomAgent> custom;
  std::map<std::string, InstructionsClass> instructions;
  std::map<std::string, ServerSettings> mcp;

  bool operator==(const Config&) const = default;
};

// Reads and checks `<config_dir>/kelvaro.toml`; a missing file gives the empty `Config`.
// Fails with the ready-made message of the first problem found.
Result<Config> load_config(const std::filesystem::path& config_dir);

// The allowlist check of start-up: the error text for the first `[mcp.<name>]` agent (its
// `agents` in list order, then its `tweaks` keys) that is not a built-in agent.
Result<void> check_mcp_agents(const Config& config);

// `load_config` followed by `check_mcp_agents`: the configuration as every command may use
// it, whether read at start-up or again once a command holds the lock.
Result<Config> load_checked_config(const std::filesystem::path& config_dir);

// `<config_dir>/kelvaro.toml` read for an edit in place; a missing file is an empty document.
// Fails with "cannot read {}: {}" or "{} is not valid TOML ({}) — left untouched".
Result<TomlFile> read_config_for_edit(const std::filesystem::path& config_dir);

// Writes the edited `file` back to `<config_dir>/kelvaro.toml`, only when its printed text
// differs from what was read. Fails with "cannot create {}: {}" or "cannot write {}: {}".
Result<void> write_config_edit(const std::filesystem::path& config_dir, const TomlFile& file);

// What saving a server's settings without an `agents` list does to the list already written.
enum class AbsentAgents : std::uint8_t { keep_list, share_with_all };

// What one server's `[mcp.<server>]` table is to say after an edit. `agents`, when present,
// replaces the `agents` list; when absent, `absent` says whether a list already there stays.
// Each tweak (per agent name, an object) replaces its agent's `tweaks.<agent>` table whole; an
// empty one removes it.
struct ServerSettingsEdit {
  std::string server{};
  std::optional<std::vector<std::string>> agents{};
  AbsentAgents absent = AbsentAgents::keep_list;
  JsonMap tweaks{};

  bool operator==(const ServerSettingsEdit&) const = default;
};

// `tweak` (an object) as the TOML table `[mcp.<server>.tweaks.<agent>]` holds it. Fails with
// "mcp.{}.tweaks.{}: {}" when TOML cannot hold one of its values.
Result<toml::Table> tweak_table(std::string_view server, std::string_view agent, const Json& tweak);

// Makes `edit` in the document of `file` (read with `read_config_for_edit`), in place. Fails,
// leaving `file` as it was, with "mcp.{}.tweaks.{}: {}" for a tweak TOML cannot hold, "`mcp`
// in kelvaro.toml is not a table — left untouched", "mcp.{} in kelvaro.toml is not a table —
// left untouched" or "mcp.{}.tweaks in kelvaro.toml is not a table — left untouched".
Result<void> edit_server_settings(TomlFile& file, const ServerSettingsEdit& edit);

// Records what `mcp adopt` learnt about `server` in its `[mcp.<server>]` table of

// `<config_dir>/kelvaro.toml`, editing the file in place (comments, layout, a byte-order mark
// and CR LF line ends survive). `agents`, when present, replaces the server's `agents` list; a
// non-empty `tweak` replaces its `tweaks.<agent>` table whole. With `agents` absent, `absent`
// says whether an `agents` list already there stays or goes (so that every agent receives the
// server). Writes only when the text changes. Fails with a ready-made message and leaves the
// file as it was.
Result<void> save_server_settings(const std::filesystem::path& config_dir, std::string_view server,
                                  const std::optional<std::vector<std::string>>& agents,
                                  const Json& tweak, std::string_view agent,
                                  AbsentAgents absent = AbsentAgents::keep_list);

// Removes the `[mcp.<server>]` table from `<config_dir>/kelvaro.toml`, editing the file in place
// (comments, layout, a byte-order mark and CR LF line ends survive). Writes nothing when the
// file holds no such table. Fails with a ready-made message and leaves the file as it was.
Result<void> drop_server_settings(const std::filesystem::path& config_dir, std::string_view server);

}  // namespace kelvaro
