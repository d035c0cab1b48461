#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

class E2eInit : public ::testing::Test {
 protected:
  TempHome home;

  RunResult init() { return run_kelvaro({"init"}, home.env()); }
};

TEST_F(E2eInit, FreshMachineGetsTheSkeletonThenSaysItIsPresent) {
  const std::string survey =
      "  skills/\n"
      "  commands/\n"
      "  agents/\n"
      "\n"
      "No agents found — kelvaro syncs to agents that are already installed.\n"
      "\n"
      "Nothing to adopt — no agent config here is outside the Commons.\n"
      "\n"
      "Put a skill in skills/, instructions in AGENTS.md, then run `kelvaro sync`.\n";

  EXPECT_EQ(init(),
            (RunResult{.out = "Created the Commons at " + home.commons().string() + "\n" + survey,
                       .err = "",
                       .status = 0}));
  EXPECT_EQ(tree_listing(home.commons()),
            (std::vector<std::string>{"agents/", "commands/", "skills/"}));

  EXPECT_EQ(init(), (RunResult{.out = "Commons already present at " + home.commons().string() +
                                      "\n" + survey,
                               .err = "",
                               .status = 0}));
}

// Strays per family: real entries the Commons lacks, sorted, eight named; links and entries
// with a Commons twin are not strays.
TEST_F(E2eInit, SurveyListsStraysPerFamily) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/commands/a.md", "a");
  for (char c = 'a'; c <= 'j'; ++c) {
    home.make_dir(std::string(".claude/skills/s") + c);
  }
  home.make_link(".claude/skills/linked", "../../.agents/skills/linked", true);
  home.write(".claude/commands/a.md", "a");
  home.write(".claude/commands/b.md", "b");
  home.make_dir(".codex");

  RunResult result = init();

  EXPECT_EQ(result.out, "Commons already present at " + home.commons().string() +
                            "\n"
                            "  skills/\n"
                            "  commands/\n"
                            "  agents/\n"
                            "\n"
                            "Found 2 agents: claude, codex\n"
                            "\n"
                            "10 skills not in the Commons:\n"
                            "  claude/skills/sa\n"
                            "  claude/skills/sb\n"
                            "  claude/skills/sc\n"
                            "  claude/skills/sd\n"
                            "  claude/skills/se\n"
                            "  claude/skills/sf\n"
                            "  claude/skills/sg\n"
                            "  claude/skills/sh\n"
                            "  … and 2 more\n"
                            "  take one with `kelvaro adopt <path>`\n"
                            "\n"
                            "1 commands not in the Commons:\n"
                            "  claude/commands/b.md\n"
                            "  take one with `kelvaro adopt <path>`\n"
                            "\n"
                            "Adopt what you want to share, then run `kelvaro sync`.\n");
  EXPECT_EQ(result.status, 0);
}

// Servers agents hold outside the Commons, each once and sorted; an unreadable Commons or
// agent file adds nothing and is no error.
TEST_F(E2eInit, McpStraysAreListedOnce) {
  home.write(".agents/mcp.json", "{ not json");
  home.write(".claude.json", R"({"mcpServers": {"github": {"command": "gh"}}})");
  home.write(".cursor/mcp.json",
             R"({"mcpServers": {"linear": {"url": "l"}, "github": {"command": "gh"}}})");
  home.write(".gemini/settings.json", "{ not json");

  RunResult result = init();

  EXPECT_NE(result.out.find("\n\n2 MCP servers not in the Commons: github, linear\n"
                            "  take them all with `kelvaro mcp adopt --all`\n\n"
                            "Adopt what you want to share, then run `kelvaro sync`.\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

TEST_F(E2eInit, InstructionsConflictsAreListed) {
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".codex/AGENTS.md", "<claude-mem-context>\nremembered\n");

  RunResult result = init();

  EXPECT_NE(
      result.out.find("\n\n1 conflicts:\n  codex — " + home.path(".codex/AGENTS.md").string() +
                      " is owned by claude-mem — move or merge it, then sync again\n\n"),
      std::string::npos)
      << result.out;
  EXPECT_EQ(result.status, 0);
}

TEST_F(E2eInit, FolderThatCannotBeCreatedIsTheOnlyLine) {
  home.write("blocker", "a file");
  home.set_env("KELVARO_HOME", home.path("blocker/commons").string());

  RunResult result = init();

  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.starts_with("error: cannot create " +
                                     home.path("blocker/commons").string() + ": "))
      << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1);
  EXPECT_EQ(result.status, 1);
}

// A folder in the Commons' family folders holds the Commons' own entries; any other agent
// folder kept in the Commons folder is the agent's own, like one anywhere else.
TEST_F(E2eInit, CustomAgentFolderInsideTheCommonsHoldsNoStraysOnlyInAFamilyFolder) {
  home.write(".config/kelvaro/kelvaro.toml",
             "[custom.tool]\nroot = \".agents\"\nskills = \".agents/skills/tools\"\n");
  home.make_dir(".agents/skills/tools/x");

  RunResult family = init();
  home.write(".config/kelvaro/kelvaro.toml",
             "[custom.tool]\nroot = \".agents\"\nskills = \".agents/tools\"\n");
  home.make_dir(".agents/tools/x");
  RunResult own = init();

  EXPECT_EQ(family.status, 0);
  EXPECT_NE(family.out.find("Nothing to adopt"), std::string::npos) << family.out;
  EXPECT_EQ(own.status, 0);
  EXPECT_NE(own.out.find("1 skills not in the Commons:\n  agents/tools/x\n"), std::string::npos)
      << own.out;
}

}  // namespace
}  // namespace kelvaro
