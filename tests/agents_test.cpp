#include "agents.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link.hpp"
#include "mcp.hpp"
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

// One home of a given shape: the agent folders it holds, the custom agents of its config.
struct HomeShape {
  std::string kind;
  std::vector<std::string> installed;
  std::vector<CustomAgent> custom{};
};

std::vector<Agent> agents_of(const TempHome& home, const HomeShape& shape) {
  for (const auto& dir : shape.installed) {
    home.make_dir(dir);
  }
  Config config;
  config.custom = shape.custom;
  return list_agents(home.home(), config);
}

// A link folder as the rows spell it: agent, family word, folder under the home, role.
std::string folder_row(const TempHome& home, const LinkFolder& folder) {
  EXPECT_EQ(folder.path, home.home() / folder.dir);
  return fmt::format("{} {} {}{}{}", folder.agent, family_word(folder.family),
                     folder.path.lexically_relative(home.home()).generic_string(),
                     folder.role == FolderRole::leftovers ? " (leftovers)" : "",
                     folder.place == FolderPlace::own ? "" : " (commons)");
}

// The folders each kind of route gives in a home holding only those agents: fan-out folders
// under the agent's home, under the config folder, under a nested home, old skills links of a
// native reader, none for a render or native route, none for an agent not installed.
TEST(LinkFolderRoutes, EachKindOfRouteInAHomeBuiltForIt) {
  const std::vector<std::pair<HomeShape, std::vector<std::string>>> rows = {
      {{"home-relative folders of every family", {".claude"}},
       {"claude skills .claude/skills", "claude commands .claude/commands",
        "claude agents .claude/agents"}},
      {{"folders under the config folder", {".config/opencode"}},
       {"opencode commands .config/opencode/commands", "opencode agents .config/opencode/agents"}},
      {{"a folder below the agent's home", {".pi"}}, {"pi skills .pi/agent/skills"}},
      {{"a nested agent home", {".codeium/windsurf"}},
       {"windsurf commands .codeium/windsurf/global_workflows"}},
      {{"native skills readers keep their old links folder", {".codex", ".cursor"}},
       {"codex skills .codex/skills (leftovers)", "cursor skills .cursor/skills (leftovers)",
        "codex commands .codex/prompts", "cursor commands .cursor/commands"}},
      {{"skills-only agents", {".openclaw", ".hermes"}},
       {"openclaw skills .openclaw/skills", "hermes skills .hermes/skills"}},
      {{"render, native and absent routes give no folder", {".gemini", ".omp", ".cline"}}, {}},
      {{"a commands-only agent", {".roo"}}, {"roo commands .roo/commands"}},
      {{"nothing installed", {}}, {}},
      {{"family order across agents", {".claude", ".roo", ".hermes"}},
       {"claude skills .claude/skills", "hermes skills .hermes/skills",
        "claude commands .claude/commands", "roo commands .roo/commands",
        "claude agents .claude/agents"}},
      {{"a custom agent after the built-ins, one inside the Commons",
        {".hermes", "tools/mine"},
        {{.name = "mine",
          .root = "tools/mine",
          .dirs = {{Family::commands, "tools/mine/c"}, {Family::skills, ".agents/skills"}}}}},
       {"hermes skills .hermes/skills", "mine skills .agents/skills (commons)",
        "mine commands tools/mine/c"}},
  };

  for (const auto& [shape, expected] : rows) {
    SCOPED_TRACE(shape.kind);
    TempHome home;
    const auto agents = agents_of(home, shape);

    std::vector<std::string> got;
    for (const auto& folder : link_folders(home.ctx(), agents)) {
      got.push_back(folder_row(home, folder));
    }
    EXPECT_EQ(got, expected);
  }
}

// An MCP file as the rows spell it: agent, file under the home, key, dialect, format.
std::string mcp_row(const TempHome& home, const McpFile& file) {
  return fmt::format("{} {} {} {} {}", file.agent,
                     file.path.lexically_relative(home.home()).generic_string(), file.key,
                     to_string(file.shape), file.format == FileFormat::toml ? "toml" : "json");
}

// The file, key, dialect and format each kind of MCP route gives: a JSON file beside the
// agent's home or inside it, a TOML file, another key, the dialects; agents that read the
// Commons natively, have no MCP route or are not installed, and custom agents, have none.
TEST(McpFileRoutes, EachKindOfRouteInAHomeBuiltForIt) {
  const std::vector<std::pair<HomeShape, std::vector<std::string>>> rows = {
      {{"a JSON file beside the agent's home", {".claude"}},
       {"claude .claude.json mcpServers claude json"}},
      {{"a TOML file with its own key", {".codex"}},
       {"codex .codex/config.toml mcp_servers codex toml"}},
      {{"a JSON file under the config folder with another key", {".config/opencode"}},
       {"opencode .config/opencode/opencode.json mcp opencode json"}},
      {{"the dialects of JSON files in the agent's home",
        {".gemini", ".cursor", ".codeium/windsurf", ".cline"}},
       {"gemini .gemini/settings.json mcpServers gemini json",
        "cursor .cursor/mcp.json mcpServers standard json",
        "windsurf .codeium/windsurf/mcp_config.json mcpServers windsurf json",
        "cline .cline/mcp.json mcpServers standard json"}},
      {{"native, absent and custom routes give no file",
        {".omp", ".pi", ".openclaw", ".hermes", ".roo", "tools/mine"},
        {{.name = "mine", .root = "tools/mine", .dirs = {{Family::skills, "tools/mine/s"}}}}},
       {}},
      {{"nothing installed", {}}, {}},
  };

  for (const auto& [shape, expected] : rows) {
    SCOPED_TRACE(shape.kind);
    TempHome home;
    const auto agents = agents_of(home, shape);

    const McpFiles found = mcp_files(home.ctx(), agents);
    std::vector<std::string> got;
    for (const auto& file : found.files) {
      got.push_back(mcp_row(home, file));
    }
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(found.refused.empty());
  }
}

// What doctor shows for each kind of route, one agent per kind.
TEST(AgentTable, RouteTextsOfEachKind) {
  const auto& claude = *builtin_agent("claude");
  const auto& codex = *builtin_agent("codex");
  const auto& gemini = *builtin_agent("gemini");
  const auto& omp = *builtin_agent("oh-my-pi");
  const auto& pi = *builtin_agent("pi");
  const auto& roo = *builtin_agent("roo");

  EXPECT_EQ(fmt_skills_route(claude.skills), "fan-out → .claude/skills");
  EXPECT_EQ(fmt_skills_route(codex.skills), "native (reads the Commons; cleans .codex/skills)");
  EXPECT_EQ(fmt_skills_route(gemini.skills), "native (reads the Commons)");
  EXPECT_EQ(fmt_skills_route(roo.skills), "none");
  EXPECT_EQ(fmt_mcp_route(codex.mcp), "key-merge → .codex/config.toml");
  EXPECT_EQ(fmt_mcp_route(omp.mcp), "native (via discovery)");
  EXPECT_EQ(fmt_mcp_route(pi.mcp), "none");
  EXPECT_EQ(fmt_commands_route(gemini.commands), "render → .gemini/commands");
  EXPECT_EQ(fmt_commands_route(omp.commands), "native (via discovery)");
  EXPECT_EQ(fmt_subagents_dir(claude.subagents_dir), "fan-out → .claude/agents");
  EXPECT_EQ(fmt_subagents_dir(codex.subagents_dir), "none");
  EXPECT_EQ(fmt_hooks_file(codex.hooks_file), "key-merge → .codex/hooks.json");
  EXPECT_EQ(fmt_hooks_file(pi.hooks_file), "none");
  EXPECT_EQ(fmt_instructions_route(claude.instructions.front()), "import-line → .claude/CLAUDE.md");
  EXPECT_EQ(fmt_instructions_route(pi.instructions.front()), "symlink → .pi/agent/AGENTS.md");
  EXPECT_EQ(fmt_instructions_route(gemini.instructions.front()),
            "include-entry → .gemini/settings.json context.fileName");
  EXPECT_EQ(fmt_instructions_route(roo.instructions.front()), "rules-dir link → .roo/rules");
  EXPECT_EQ(fmt_instructions_route(std::nullopt), "none");
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
