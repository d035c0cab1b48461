#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"

// The agent catalogue: the twelve built-in agents, the custom agents of `kelvaro.toml`, and
// which of them are installed. Every folder and file of the table is relative to the target
// root and written with forward slashes.
namespace kelvaro {

// The linked families, in the order every family loop uses.
inline constexpr std::array<Family, 3> all_families = {Family::skills, Family::commands,
                                                       Family::agents};

// "skills", "commands" or "agents": the family's folder name in the Commons and its word.
std::string_view family_word(Family family);

// --- routes -------------------------------------------------------------------------------

enum class SkillsRouteKind { fan_out, native, none };

// How an agent takes Commons skills. `dir`: fan-out, the link folder; native, the folder of
// old fan-out links to clean up (empty when there is none); none, empty.
struct SkillsRoute {
  SkillsRouteKind kind = SkillsRouteKind::none;
  std::filesystem::path dir;

  bool operator==(const SkillsRoute&) const = default;
};

// The MCP dialect of an agent's configuration file. `claude` is `standard` with the transport
// named on every remote entry.
enum class ServerShape { standard, claude, codex, opencode, gemini, windsurf };

enum class McpRouteKind { key_merge, native, none };

// The format of a configuration file kelvaro edits or a command file it renders.
enum class FileFormat { json, toml };

// How an agent takes the Commons MCP servers. For key-merge: servers stand under `key` of
// `file`, in the `shape` dialect, written in `format`.
struct McpRoute {
  McpRouteKind kind = McpRouteKind::none;
  std::filesystem::path file;
  std::string key;
  ServerShape shape = ServerShape::standard;
  FileFormat format = FileFormat::json;

  bool operator==(const McpRoute&) const = default;
};

enum class CommandsRouteKind { fan_out, render, native, none };

// How an agent takes Commons commands. `dir`: fan-out, the link folder; render, the folder of
// the generated files, written in `format`; native and none, empty.
struct CommandsRoute {
  CommandsRouteKind kind = CommandsRouteKind::none;
  std::filesystem::path dir;
  FileFormat format = FileFormat::toml;

  bool operator==(const CommandsRoute&) const = default;
};

enum class InstructionsRouteKind { symlink, import_line, rules_dir_link, include_entry };

// One way an agent takes the Commons `AGENTS.md`. `path`: symlink and import-line, the
// agent's instructions file; rules-dir link, the rules folder; include-entry, the JSON
// settings file. Include-entry only: `key` (dotted) names the list, and `companion` is the
// agent's own entry that stays before the Commons entry.
struct InstructionsRoute {
  InstructionsRouteKind kind = InstructionsRouteKind::symlink;
  std::filesystem::path path;
  std::string key;
  std::optional<std::string> companion;

  bool operator==(const InstructionsRoute&) const = default;
};

// The file `route` wires under `home`: the instructions file of a symlink or import-line
// route, `<rules folder>/AGENTS.md` of a rules-dir link route, the settings file of an
// include-entry route.
std::filesystem::path instructions_route_file(const std::filesystem::path& home,
                                              const InstructionsRoute& route);

// "symlink" for symlink and rules-dir link routes, "import" for import-line and include-entry.
InstructionsClass instructions_class(InstructionsRouteKind kind);

// --- agents -------------------------------------------------------------------------------

// One row of the built-in table.
struct AgentDescriptor {
  SkillsRoute skills;
  McpRoute mcp;
  CommandsRoute commands;
  std::string name;
  std::filesystem::path home;
  std::vector<InstructionsRoute> instructions;  // first = default; possibly empty
  std::optional<std::filesystem::path> subagents_dir;
  std::optional<std::filesystem::path> hooks_file;
  std::string hooks_key = "hooks";

  bool operator==(const AgentDescriptor&) const = default;
};

// One link folder of an agent; `dir` is relative to the target root (or absolute).
struct Surface {
  Family family = Family::skills;
  std::filesystem::path dir;

  bool operator==(const Surface&) const = default;
};

// An installed agent as the commands see it. `home` is relative to the target root, or
// absolute for a custom agent with an absolute root. `descriptor` points into the built-in
// table; it is null for a custom agent, which takes links only.
struct Agent {
  std::optional<InstructionsRoute> instructions;
  std::string name;
  std::filesystem::path home;
  std::vector<Surface> surfaces;  // in family order
  const AgentDescriptor* descriptor = nullptr;

  bool operator==(const Agent&) const = default;
};

// The twelve built-in agents, in table order (the order of every agent list).
const std::vector<AgentDescriptor>& builtin_agents();

// The built-in agent called exactly `name` (case-sensitive), or null.
const AgentDescriptor* builtin_agent(std::string_view name);

// The installed agents under `root`: built-in agents in table order, then the custom agents
// of `config` in its order, less those `config` disables.
std::vector<Agent> list_agents(const std::filesystem::path& root, const Config& config);

// The agent of a `[custom.<name>]` table: its root as home, one surface per folder it names
// (in family order), no instructions route and no descriptor.
Agent custom_agent(const CustomAgent& custom);

// The built-in agent of `descriptor` with its surfaces and the instructions route picked by
// `choices` (agent name to class): the first route of the chosen class, else the first route.
Agent resolve_agent(const AgentDescriptor& descriptor,
                    const std::map<std::string, InstructionsClass>& choices);

// The link folder of `family` for `descriptor`, or nullopt: skills and commands only when
// their route is fan-out (a render folder is no surface), agents when `subagents_dir` is set.
std::optional<Surface> descriptor_surface(const AgentDescriptor& descriptor, Family family);

// The folder, under the home, where an agent that reads skills natively once had the links of
// its skills, when it names one and has no skills surface: links into the Commons found there
// are leftovers.
std::optional<std::filesystem::path> native_skills_dir(const Agent& agent);

// True when `root` joined with `home` is a folder, links followed; any error counts as false.
bool is_installed(const std::filesystem::path& root, const std::filesystem::path& home);

// --- display texts (doctor) ---------------------------------------------------------------

// "symlink → {}", "import-line → {}", "rules-dir link → {}", "include-entry → {} {}"
// (settings file, key), or "none" for no route.
std::string fmt_instructions_route(const std::optional<InstructionsRoute>& route);
// "fan-out → {}", "native (reads the Commons; cleans {})", "native (reads the Commons)", "none".
std::string fmt_skills_route(const SkillsRoute& route);
// "key-merge → {}" (the file), "native (via discovery)", "none".
std::string fmt_mcp_route(const McpRoute& route);
// "fan-out → {}", "render → {}", "native (via discovery)", "none".
std::string fmt_commands_route(const CommandsRoute& route);
// "fan-out → {}" with the subagents folder, or "none".
std::string fmt_subagents_dir(const std::optional<std::filesystem::path>& dir);
// "key-merge → {}" with the hooks file, or "none".
std::string fmt_hooks_file(const std::optional<std::filesystem::path>& file);

// Lower-case words of the enumerations, for messages and reports.
std::string_view to_string(ServerShape shape);  // "standard", "claude", "codex", ...

}  // namespace kelvaro
