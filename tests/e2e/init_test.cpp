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

  auto skill = [&](const std::string& name) {
    return "  " + (home.path(".claude/skills") / name).string() + "\n";
  };
  EXPECT_EQ(result.out, "Commons already present at " + home.commons().string() +
                            "\n"
                            "  skills/\n"
                            "  commands/\n"
                            "  agents/\n"
                            "\n"
                            "Found 2 agents: claude, codex\n"
                            "\n"
                            "10 skills not in the Commons:\n" +
                            skill("sa") + skill("sb") + skill("sc") + skill("sd") + skill("se") +
                            skill("sf") + skill("sg") + skill("sh") +
                            "  … and 2 more\n"
                            "  take one with `kelvaro adopt <path>`\n"
                            "\n"
                            "1 commands not in the Commons:\n"
                            "  " +
                            (home.path(".claude/commands") / "b.md").string() +
                            "\n"
                            "  take one with `kelvaro adopt <path>`\n"
                            "\n"
                            "Adopt what you want to share, then run `kelvaro sync`.\n");
  EXPECT_EQ(result.status, 0);
}

// Every stray is listed as the path `adopt` is then given as it stands, and `adopt` takes each;
// what `adopt` refuses (a file among skills, a command not ending in .md, a hidden name) is
// not offered, and alone it leaves nothing to adopt.
TEST_F(E2eInit, StraysAreThePathsAdoptTakes) {
  KELVARO_REQUIRE_LINKS();
  home.write(".claude/skills/README.md", "about these skills");
  home.write(".claude/commands/commit.md.bak", "old");
  home.write(".claude/commands/.draft.md", "hidden");
  home.make_dir(".claude/commands/folder.md");
  home.write(".claude/agents", "a file where the folder would be");

  RunResult refused_only = init();

  EXPECT_NE(refused_only.out.find("\n\nNothing to adopt — no agent config here is outside the "
                                  "Commons.\n\nPut a skill in skills/"),
            std::string::npos)
      << refused_only.out;
  EXPECT_EQ(refused_only.err, "");

  home.write(".claude/skills/pdf/SKILL.md", "pdf");
  home.write(".claude/skills/my notes/SKILL.md", "notes");
  home.write(".claude/commands/commit.md", "commit");
  RunResult result = init();

  std::vector<std::string> listed;
  for (std::size_t at = result.out.find("\n  "); at != std::string::npos;
       at = result.out.find("\n  ", at + 1)) {
    const std::string line = result.out.substr(at + 3, result.out.find('\n', at + 1) - at - 3);
    if (!line.starts_with("take ") && !line.ends_with("/")) {
      listed.push_back(line);
    }
  }
  EXPECT_EQ(listed, (std::vector<std::string>{
                        "\"" + (home.path(".claude/skills") / "my notes").string() + "\"",
                        (home.path(".claude/skills") / "pdf").string(),
                        (home.path(".claude/commands") / "commit.md").string(),
                    }))
      << result.out;
  EXPECT_NE(result.out.find("\nAdopt what you want to share, then run `kelvaro sync`.\n"),
            std::string::npos);
  for (std::string path : listed) {
    if (path.starts_with('"')) {
      path = path.substr(1, path.size() - 2);
    }
    RunResult adopted = run_kelvaro({"adopt", path}, home.env());
    EXPECT_EQ(adopted.status, 0) << path << "\n" << adopted.err;
  }
  EXPECT_NE(init().out.find("\nNothing to adopt"), std::string::npos);
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
  EXPECT_NE(own.out.find("1 skills not in the Commons:\n  " +
                         (home.path(".agents/tools") / "x").string() + "\n"),
            std::string::npos)
      << own.out;
}

}  // namespace
}  // namespace kelvaro
