#include "agents.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_of(const std::vector<Agent>& agents) {
  std::vector<std::string> names;
  for (const auto& agent : agents) {
    names.push_back(agent.name);
  }
  return names;
}

const Agent* find_agent(const std::vector<Agent>& agents, std::string_view name) {
  for (const auto& agent : agents) {
    if (agent.name == name) {
      return &agent;
    }
  }
  return nullptr;
}

// What doctor shows for each built-in agent: one row per agent, in table order.
TEST(AgentTable, RouteTextsOfEveryBuiltinAgent) {
  struct Row {
    std::string name, home, skills, mcp, commands, subagents, hooks, instructions;
  };
  const std::vector<Row> rows = {
      {"claude", ".claude", "fan-out → .claude/skills", "key-merge → .claude.json",
       "fan-out → .claude/commands", "fan-out → .claude/agents",
       "key-merge → .claude/settings.json", "import-line → .claude/CLAUDE.md"},
      {"codex", ".codex", "native (reads the Commons; cleans .codex/skills)",
       "key-merge → .codex/config.toml", "fan-out → .codex/prompts", "none",
       "key-merge → .codex/hooks.json", "symlink → .codex/AGENTS.md"},
      {"opencode", ".config/opencode", "native (reads the Commons)",
       "key-merge → .config/opencode/opencode.json", "fan-out → .config/opencode/commands",
       "fan-out → .config/opencode/agents", "none",
       "include-entry → .config/opencode/opencode.json instructions"},
      {"pi", ".pi", "fan-out → .pi/agent/skills", "none", "none", "none", "none",
       "symlink → .pi/agent/AGENTS.md"},
      {"oh-my-pi", ".omp", "native (reads the Commons)", "native (via discovery)",
       "native (via discovery)", "none", "none", "symlink → .omp/agent/AGENTS.md"},
      {"openclaw", ".openclaw", "fan-out → .openclaw/skills", "none", "none", "none", "none",
       "none"},
      {"hermes", ".hermes", "fan-out → .hermes/skills", "none", "none", "none", "none", "none"},
      {"gemini", ".gemini", "native (reads the Commons)", "key-merge → .gemini/settings.json",
       "render → .gemini/commands", "none", "key-merge → .gemini/settings.json",
       "include-entry → .gemini/settings.json context.fileName"},
      {"cursor", ".cursor", "native (reads the Commons; cleans .cursor/skills)",
       "key-merge → .cursor/mcp.json", "fan-out → .cursor/commands", "none", "none", "none"},
      {"windsurf", ".codeium/windsurf", "none", "key-merge → .codeium/windsurf/mcp_config.json",
       "fan-out → .codeium/windsurf/global_workflows", "none", "none",
       "symlink → .codeium/windsurf/memories/global_rules.md"},
      {"roo", ".roo", "none", "none", "fan-out → .roo/commands", "none", "none",
       "rules-dir link → .roo/rules"},
      {"cline", ".cline", "none", "key-merge → .cline/mcp.json", "none", "none", "none", "none"},
  };

  const auto& table = builtin_agents();

  ASSERT_EQ(table.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    const AgentDescriptor& d = table[i];
    std::optional<InstructionsRoute> first;
    if (!d.instructions.empty()) {
      first = d.instructions.front();
    }
    EXPECT_EQ(d.name, rows[i].name);
    EXPECT_EQ(d.home.generic_string(), rows[i].home);
    EXPECT_EQ(fmt_skills_route(d.skills), rows[i].skills);
    EXPECT_EQ(fmt_mcp_route(d.mcp), rows[i].mcp);
    EXPECT_EQ(fmt_commands_route(d.commands), rows[i].commands);
    EXPECT_EQ(fmt_subagents_dir(d.subagents_dir), rows[i].subagents);
    EXPECT_EQ(fmt_hooks_file(d.hooks_file), rows[i].hooks);
    EXPECT_EQ(fmt_instructions_route(first), rows[i].instructions);
    EXPECT_EQ(d.hooks_key, "hooks");
  }
}

TEST(AgentTable, McpDialectsAndFileFormats) {
  struct Row {
    std::string name, key;
    ServerShape shape;
    FileFormat format;
  };
  const std::vector<Row> rows = {
      {"claude", "mcpServers", ServerShape::claude, FileFormat::json},
      {"codex", "mcp_servers", ServerShape::codex, FileFormat::toml},
      {"opencode", "mcp", ServerShape::opencode, FileFormat::json},
      {"gemini", "mcpServers", ServerShape::gemini, FileFormat::json},
      {"cursor", "mcpServers", ServerShape::standard, FileFormat::json},
      {"windsurf", "mcpServers", ServerShape::windsurf, FileFormat::json},
      {"cline", "mcpServers", ServerShape::standard, FileFormat::json},
  };

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const AgentDescriptor* d = builtin_agent(row.name);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->mcp.kind, McpRouteKind::key_merge);
    EXPECT_EQ(d->mcp.key, row.key);
    EXPECT_EQ(d->mcp.shape, row.shape);
    EXPECT_EQ(d->mcp.format, row.format);
  }
  EXPECT_EQ(builtin_agent("gemini")->commands.format, FileFormat::toml);
}

TEST(AgentTable, InstructionRoutesInOrder) {
  const AgentDescriptor* claude = builtin_agent("claude");
  const AgentDescriptor* gemini = builtin_agent("gemini");
  ASSERT_NE(claude, nullptr);
  ASSERT_NE(gemini, nullptr);

  EXPECT_EQ(claude->instructions,
            (std::vector<InstructionsRoute>{
                {InstructionsRouteKind::import_line, ".claude/CLAUDE.md", "", std::nullopt},
                {InstructionsRouteKind::symlink, ".claude/CLAUDE.md", "", std::nullopt}}));
  EXPECT_EQ(gemini->instructions,
            (std::vector<InstructionsRoute>{
                {InstructionsRouteKind::include_entry, ".gemini/settings.json", "context.fileName",
                 "GEMINI.md"},
                {InstructionsRouteKind::symlink, ".gemini/GEMINI.md", "", std::nullopt}}));
  EXPECT_EQ(builtin_agent("opencode")->instructions.front().companion, std::nullopt);
}

TEST(BuiltinAgent, ExactNameOnly) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"oh-my-pi", true}, {"claude", true},   {"cline", true}, {"Claude", false},
      {"claude ", false}, {" claude", false}, {"", false},     {"ohmypi", false},
      {"omp", false},     {"custom", false},
  };

  for (const auto& [name, found] : cases) {
    SCOPED_TRACE(name);
    const AgentDescriptor* d = builtin_agent(name);
    EXPECT_EQ(d != nullptr, found);
    if (d != nullptr) {
      EXPECT_EQ(d->name, name);
    }
  }
}

TEST(DescriptorSurface, OnlyFanOutFoldersAreSurfaces) {
  const AgentDescriptor& gemini = *builtin_agent("gemini");
  const AgentDescriptor& claude = *builtin_agent("claude");
  const AgentDescriptor& opencode = *builtin_agent("opencode");

  EXPECT_EQ(descriptor_surface(gemini, Family::skills), std::nullopt);
  EXPECT_EQ(descriptor_surface(gemini, Family::commands), std::nullopt);
  EXPECT_EQ(descriptor_surface(gemini, Family::agents), std::nullopt);
  EXPECT_EQ(descriptor_surface(claude, Family::commands),
            (Surface{.family = Family::commands, .dir = ".claude/commands"}));
  EXPECT_EQ(descriptor_surface(opencode, Family::skills), std::nullopt);
  EXPECT_EQ(descriptor_surface(opencode, Family::agents),
            (Surface{.family = Family::agents, .dir = ".config/opencode/agents"}));
}

TEST(IsInstalled, FolderOrLinkToFolderOnly) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir(".claude");
  home.make_dir("elsewhere/codex");
  home.make_link(".codex", home.path("elsewhere/codex"), true);
  home.write(".cursor", "not a folder");
  home.make_link(".roo", home.path("gone"), true);
  home.make_link(".pi", home.path(".cursor"));

  EXPECT_TRUE(is_installed(home.home(), ".claude"));
  EXPECT_TRUE(is_installed(home.home(), ".codex"));
  EXPECT_FALSE(is_installed(home.home(), ".cursor"));
  EXPECT_FALSE(is_installed(home.home(), ".roo"));
  EXPECT_FALSE(is_installed(home.home(), ".pi"));
  EXPECT_FALSE(is_installed(home.home(), ".gemini"));
  EXPECT_FALSE(is_installed(home.path("no/such/root"), ".claude"));
}

TEST(ListAgents, NothingInstalledGivesEmptyList) {
  TempHome home;

  EXPECT_TRUE(list_agents(home.home(), Config{}).empty());
}

TEST(ListAgents, InstalledAgentsInTableOrder) {
  TempHome home;
  for (const char* dir : {".cline", ".gemini", ".claude", ".config/opencode", ".omp"}) {
    home.make_dir(dir);
  }
  home.write(".codex", "a file");

  auto agents = list_agents(home.home(), Config{});

  EXPECT_EQ(names_of(agents),
            (std::vector<std::string>{"claude", "opencode", "oh-my-pi", "gemini", "cline"}));
}

TEST(ListAgents, LinkedAgentFolderCountsAsInstalled) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir("dotfiles/claude");
  home.make_link(".claude", "dotfiles/claude", true);

  auto agents = list_agents(home.home(), Config{});

  EXPECT_EQ(names_of(agents), std::vector<std::string>{"claude"});
}

TEST(ListAgents, DisabledAgentIsDropped) {
  TempHome home;
  home.make_dir(".claude");
  home.make_dir(".codex");
  home.make_dir("mine");
  Config config;
  config.disabled = {"claude", "nobody", "mine"};
  config.custom = {{.name = "mine", .root = "mine", .dirs = {}}};

  auto agents = list_agents(home.home(), config);

  EXPECT_EQ(names_of(agents), std::vector<std::string>{"codex"});
}

TEST(ListAgents, SurfacesFollowTheRoutes) {
  TempHome home;
  home.make_dir(".claude");
  home.make_dir(".gemini");

  auto agents = list_agents(home.home(), Config{});

  const Agent* claude = find_agent(agents, "claude");
  const Agent* gemini = find_agent(agents, "gemini");
  ASSERT_NE(claude, nullptr);
  ASSERT_NE(gemini, nullptr);
  EXPECT_EQ(claude->surfaces, (std::vector<Surface>{{Family::skills, ".claude/skills"},
                                                    {Family::commands, ".claude/commands"},
                                                    {Family::agents, ".claude/agents"}}));
  EXPECT_TRUE(gemini->surfaces.empty());
  EXPECT_EQ(claude->descriptor, builtin_agent("claude"));
  EXPECT_EQ(claude->home, fs::path(".claude"));
}

TEST(ListAgents, CustomAgentsComeAfterBuiltins) {
  TempHome home;
  home.make_dir(".claude");
  home.make_dir("tools/mine");
  home.make_dir("tools/other");
  fs::path absolute = home.make_dir(home.root() / "outside");
  Config config;
  config.custom = {
      {.name = "mine", .root = "tools/mine", .dirs = {{Family::skills, "tools/mine/s"}}},
      {.name = "absent", .root = "tools/absent", .dirs = {}},
      {.name = "far",
       .root = absolute.string(),
       .dirs = {{Family::agents, "a"}, {Family::commands, "c"}}},
  };

  auto agents = list_agents(home.home(), config);

  ASSERT_EQ(names_of(agents), (std::vector<std::string>{"claude", "mine", "far"}));
  EXPECT_EQ(agents[1], (Agent{.instructions = std::nullopt,
                              .name = "mine",
                              .home = "tools/mine",
                              .surfaces = {{Family::skills, "tools/mine/s"}},
                              .descriptor = nullptr}));
  EXPECT_EQ(agents[2].home, absolute);
  EXPECT_EQ(agents[2].surfaces,
            (std::vector<Surface>{{Family::commands, "c"}, {Family::agents, "a"}}));
}

TEST(ListAgents, InstructionsChoicePicksTheRoute) {
  TempHome home;
  home.make_dir(".claude");
  home.make_dir(".gemini");
  home.make_dir(".roo");
  home.make_dir(".cursor");
  Config chosen;
  chosen.instructions = {{"claude", InstructionsClass::symlink},
                         {"roo", InstructionsClass::import}};

  auto by_default = list_agents(home.home(), Config{});
  auto by_choice = list_agents(home.home(), chosen);

  EXPECT_EQ(fmt_instructions_route(find_agent(by_default, "claude")->instructions),
            "import-line → .claude/CLAUDE.md");
  EXPECT_EQ(fmt_instructions_route(find_agent(by_choice, "claude")->instructions),
            "symlink → .claude/CLAUDE.md");
  // A class the agent does not offer falls back to its first route.
  EXPECT_EQ(fmt_instructions_route(find_agent(by_choice, "roo")->instructions),
            "rules-dir link → .roo/rules");
  EXPECT_EQ(find_agent(by_choice, "cursor")->instructions, std::nullopt);
  EXPECT_EQ(fmt_instructions_route(find_agent(by_default, "gemini")->instructions),
            "include-entry → .gemini/settings.json context.fileName");
}

}  // namespace
}  // namespace kelvaro
