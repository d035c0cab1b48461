#include "agents.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "fsutil.hpp"

namespace kelvaro {

namespace {

SkillsRoute skills_fan_out(std::string dir) {
  return {SkillsRouteKind::fan_out, std::move(dir)};
}
SkillsRoute skills_native(std::string cleans = {}) {
  return {SkillsRouteKind::native, std::move(cleans)};
}

McpRoute key_merge(std::string file, std::string key, ServerShape shape,
                   FileFormat format = FileFormat::json) {
  return {McpRouteKind::key_merge, std::move(file), std::move(key), shape, format};
}

CommandsRoute commands_fan_out(std::string dir) {
  return {CommandsRouteKind::fan_out, std::move(dir), FileFormat::toml};
}
CommandsRoute commands_render(std::string dir, FileFormat format) {
  return {CommandsRouteKind::render, std::move(dir), format};
}

InstructionsRoute symlink_route(std::string path) {
  return {InstructionsRouteKind::symlink, std::move(path), {}, std::nullopt};
}
InstructionsRoute import_line_route(std::string path) {
  return {InstructionsRouteKind::import_line, std::move(path), {}, std::nullopt};
}
InstructionsRoute rules_dir_route(std::string dir) {
  return {InstructionsRouteKind::rules_dir_link, std::move(dir), {}, std::nullopt};
}
InstructionsRoute include_entry_route(std::string file, std::string key,
                                      std::optional<std::string> companion) {
  return {InstructionsRouteKind::include_entry, std::move(file), std::move(key),
          std::move(companion)};
}

std::vector<AgentDescriptor> make_table() {
  const SkillsRoute no_skills{};
  const McpRoute no_mcp{};
  const McpRoute native_mcp{McpRouteKind::native, {}, {}, ServerShape::standard, FileFormat::json};
  const CommandsRoute no_commands{};
  const CommandsRoute native_commands{CommandsRouteKind::native, {}, FileFormat::toml};

  return {
      {.skills = skills_fan_out(".claude/skills"),
       .mcp = key_merge(".claude.json", "mcpServers", ServerShape::claude),
       .commands = commands_fan_out(".claude/commands"),
       .name = "claude",
       .home = ".claude",
       .instructions = {import_line_route(".claude/CLAUDE.md"), symlink_route(".claude/CLAUDE.md")},
       .subagents_dir = ".claude/agents",
       .hooks_file = ".claude/settings.json"},
      {.skills = skills_native(".codex/skills"),
       .mcp = key_merge(".codex/config.toml", "mcp_servers", ServerShape::codex, FileFormat::toml),
       .commands = commands_fan_out(".codex/prompts"),
       .name = "codex",
       .home = ".codex",
       .instructions = {symlink_route(".codex/AGENTS.md")},
       .subagents_dir = std::nullopt,
       .hooks_file = ".codex/hooks.json"},
      {.skills = skills_native(),
       .mcp = key_merge(".config/opencode/opencode.json", "mcp", ServerShape::opencode),
       .commands = commands_fan_out(".config/opencode/commands"),
       .name = "opencode",
       .home = ".config/opencode",
       .instructions = {include_entry_route(".config/opencode/opencode.json", "instructions",
                                            std::nullopt),
                        symlink_route(".config/opencode/AGENTS.md")},
       .subagents_dir = ".config/opencode/agents",
       .hooks_file = std::nullopt},
      {.skills = skills_fan_out(".pi/agent/skills"),
       .mcp = no_mcp,
       .commands = no_commands,
       .name = "pi",
       .home = ".pi",
       .instructions = {symlink_route(".pi/agent/AGENTS.md")},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
      {.skills = skills_native(),
       .mcp = native_mcp,
       .commands = native_commands,
       .name = "oh-my-pi",
       .home = ".omp",
       .instructions = {symlink_route(".omp/agent/AGENTS.md")},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
      {.skills = skills_fan_out(".openclaw/skills"),
       .mcp = no_mcp,
       .commands = no_commands,
       .name = "openclaw",
       .home = ".openclaw",
       .instructions = {},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
      {.skills = skills_fan_out(".hermes/skills"),
       .mcp = no_mcp,
       .commands = no_commands,
       .name = "hermes",
       .home = ".hermes",
       .instructions = {},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
      {.skills = skills_native(),
       .mcp = key_merge(".gemini/settings.json", "mcpServers", ServerShape::gemini),
       .commands = commands_render(".gemini/commands", FileFormat::toml),
       .name = "gemini",
       .home = ".gemini",
       .instructions = {include_entry_route(".gemini/settings.json", "context.fileName",
                                            "GEMINI.md"),
                        symlink_route(".gemini/GEMINI.md")},
       .subagents_dir = std::nullopt,
       .hooks_file = ".gemini/settings.json"},
      {.skills = skills_native(".cursor/skills"),
       .mcp = key_merge(".cursor/mcp.json", "mcpServers", ServerShape::standard),
       .commands = commands_fan_out(".cursor/commands"),
       .name = "cursor",
       .home = ".cursor",
       .instructions = {},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
      {.skills = no_skills,
       .mcp = key_merge(".codeium/windsurf/mcp_config.json", "mcpServers", ServerShape::windsurf),
       .commands = commands_fan_out(".codeium/windsurf/global_workflows"),
       .name = "windsurf",
       .home = ".codeium/windsurf",
       .instructions = {symlink_route(".codeium/windsurf/memories/global_rules.md")},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
      {.skills = no_skills,
       .mcp = no_mcp,
       .commands = commands_fan_out(".roo/commands"),
       .name = "roo",
       .home = ".roo",
       .instructions = {rules_dir_route(".roo/rules")},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
      {.skills = no_skills,
       .mcp = key_merge(".cline/mcp.json", "mcpServers", ServerShape::standard),
       .commands = no_commands,
       .name = "cline",
       .home = ".cline",
       .instructions = {},
       .subagents_dir = std::nullopt,
       .hooks_file = std::nullopt},
  };
}

// Paths of the table are kept with forward slashes, and shown that way on every system.
std::string shown(const std::filesystem::path& path) {
  return path_to_generic_utf8(path);
}

// "{route} → {path}", the way every route with a place of its own reads.
std::string routed(std::string_view route, const std::filesystem::path& path) {
  return fmt::format("{} → {}", route, shown(path));
}

}  // namespace

std::string_view family_word(Family family) {
  switch (family) {
    case Family::skills:
      return "skills";
    case Family::commands:
      return "commands";
    case Family::agents:
      return "agents";
  }
  return "";
}

std::string_view to_string(ServerShape shape) {
  switch (shape) {
    case ServerShape::standard:
      return "standard";
    case ServerShape::claude:
      return "claude";
    case ServerShape::codex:
      return "codex";
    case ServerShape::opencode:
      return "opencode";
    case ServerShape::gemini:
      return "gemini";
    case ServerShape::windsurf:
      return "windsurf";
  }
  return "";
}

std::filesystem::path instructions_route_file(const std::filesystem::path& home,
                                              const InstructionsRoute& route) {
  if (route.kind == InstructionsRouteKind::rules_dir_link) {
    return home / route.path / "AGENTS.md";
  }
  return home / route.path;
}

InstructionsClass instructions_class(InstructionsRouteKind kind) {
  switch (kind) {
    case InstructionsRouteKind::symlink:
    case InstructionsRouteKind::rules_dir_link:
      return InstructionsClass::symlink;
    case InstructionsRouteKind::import_line:
    case InstructionsRouteKind::include_entry:
      return InstructionsClass::import;
  }
  return InstructionsClass::symlink;
}

const std::vector<AgentDescriptor>& builtin_agents() {
  static const std::vector<AgentDescriptor> table = make_table();
  return table;
}

const AgentDescriptor* builtin_agent(std::string_view name) {
  for (const auto& descriptor : builtin_agents()) {
    if (descriptor.name == name) {
      return &descriptor;
    }
  }
  return nullptr;
}

namespace {

// The first surface of `family` in `agent`'s list, or null.
const Surface* first_surface(const Agent& agent, Family family) {
  for (const Surface& surface : agent.surfaces) {
    if (surface.family == family) {
      return &surface;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<std::filesystem::path> native_skills_dir(const Agent& agent) {
  if (agent.descriptor == nullptr || first_surface(agent, Family::skills) != nullptr) {
    return std::nullopt;
  }
  const SkillsRoute& route = agent.descriptor->skills;
  if (route.kind != SkillsRouteKind::native || route.dir.empty()) {
    return std::nullopt;
  }
  return route.dir;
}

std::optional<Surface> descriptor_surface(const AgentDescriptor& descriptor, Family family) {
  switch (family) {
    case Family::skills:
      if (descriptor.skills.kind == SkillsRouteKind::fan_out) {
        return Surface{.family = family, .dir = descriptor.skills.dir};
      }
      return std::nullopt;
    case Family::commands:
      if (descriptor.commands.kind == CommandsRouteKind::fan_out) {
        return Surface{.family = family, .dir = descriptor.commands.dir};
      }
      return std::nullopt;
    case Family::agents:
      if (descriptor.subagents_dir) {
        return Surface{.family = family, .dir = *descriptor.subagents_dir};
      }
      return std::nullopt;
  }
  return std::nullopt;
}

Agent resolve_agent(const AgentDescriptor& descriptor,
                    const std::map<std::string, InstructionsClass>& choices) {
  Agent agent{.instructions = std::nullopt,
              .name = descriptor.name,
              .home = descriptor.home,
              .surfaces = {},
              .descriptor = &descriptor};
  for (Family family : all_families) {
    if (auto surface = descriptor_surface(descriptor, family)) {
      agent.surfaces.push_back(std::move(*surface));
    }
  }
  if (!descriptor.instructions.empty()) {
    agent.instructions = descriptor.instructions.front();
    if (auto choice = choices.find(descriptor.name); choice != choices.end()) {
      auto match = std::find_if(descriptor.instructions.begin(), descriptor.instructions.end(),
                                [&](const InstructionsRoute& route) {
                                  return instructions_class(route.kind) == choice->second;
                                });
      if (match != descriptor.instructions.end()) {
        agent.instructions = *match;
      }
    }
  }
  return agent;
}

bool is_installed(const std::filesystem::path& root, const std::filesystem::path& home) {
  return is_folder(root / home);
}

std::vector<Agent> list_agents(const std::filesystem::path& root, const Config& config) {
  auto disabled = [&](const std::string& name) {
    return std::find(config.disabled.begin(), config.disabled.end(), name) != config.disabled.end();
  };
  std::vector<Agent> agents;
  for (const auto& descriptor : builtin_agents()) {
    if (!disabled(descriptor.name) && is_installed(root, descriptor.home)) {
      agents.push_back(resolve_agent(descriptor, config.instructions));
    }
  }
  for (const auto& custom : config.custom) {
    // Folders named in kelvaro.toml are UTF-8 text, whatever the system's paths are.
    const std::filesystem::path custom_root = path_from_utf8(custom.root);
    if (disabled(custom.name) || !is_installed(root, custom_root)) {
      continue;
    }
    agents.push_back(custom_agent(custom));
  }
  return agents;
}

Agent custom_agent(const CustomAgent& custom) {
  Agent agent{.instructions = std::nullopt,
              .name = custom.name,
              .home = path_from_utf8(custom.root),
              .surfaces = {},
              .descriptor = nullptr};
  for (const auto& [family, dir] : custom.dirs) {
    agent.surfaces.push_back(Surface{.family = family, .dir = path_from_utf8(dir)});
  }
  return agent;
}

std::string fmt_instructions_route(const std::optional<InstructionsRoute>& route) {
  if (!route) {
    return "none";
  }
  switch (route->kind) {
    case InstructionsRouteKind::symlink:
      return routed("symlink", route->path);
    case InstructionsRouteKind::import_line:
      return routed("import-line", route->path);
    case InstructionsRouteKind::rules_dir_link:
      return routed("rules-dir link", route->path);
    case InstructionsRouteKind::include_entry:
      return fmt::format("include-entry → {} {}", shown(route->path), route->key);
  }
  return "none";
}

std::string fmt_skills_route(const SkillsRoute& route) {
  switch (route.kind) {
    case SkillsRouteKind::fan_out:
      return routed("fan-out", route.dir);
    case SkillsRouteKind::native:
      if (route.dir.empty()) {
        return "native (reads the Commons)";
      }
      return fmt::format("native (reads the Commons; cleans {})", shown(route.dir));
    case SkillsRouteKind::none:
      return "none";
  }
  return "none";
}

std::string fmt_mcp_route(const McpRoute& route) {
  switch (route.kind) {
    case McpRouteKind::key_merge:
      return routed("key-merge", route.file);
    case McpRouteKind::native:
      return "native (via discovery)";
    case McpRouteKind::none:
      return "none";
  }
  return "none";
}

std::string fmt_commands_route(const CommandsRoute& route) {
  switch (route.kind) {
    case CommandsRouteKind::fan_out:
      return routed("fan-out", route.dir);
    case CommandsRouteKind::render:
      return routed("render", route.dir);
    case CommandsRouteKind::native:
      return "native (via discovery)";
    case CommandsRouteKind::none:
      return "none";
  }
  return "none";
}

std::string fmt_subagents_dir(const std::optional<std::filesystem::path>& dir) {
  return dir ? routed("fan-out", *dir) : "none";
}

std::string fmt_hooks_file(const std::optional<std::filesystem::path>& file) {
  return file ? routed("key-merge", *file) : "none";
}

}  // namespace kelvaro
