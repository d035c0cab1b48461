#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

const std::string generated_marker =
    "# kelvaro: this file is generated — edit the Commons instead\n";

class E2eRevert : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override { home.make_dir(".agents/skills"); }
  void disable(const std::string& agents) {
    home.write(".config/kelvaro/kelvaro.toml", "[targets]\n" + agents);
  }
  RunResult revert(const std::string& agent) { return run_kelvaro({"revert", agent}, home.env()); }
  // The program joins names with the system's separator.
  std::string native(const std::string& rel) {
    return path_to_utf8(path_from_utf8(rel).make_preferred());
  }
  std::string at(const std::string& rel) {
    return path_to_utf8(home.path(path_from_utf8(rel).make_preferred()));
  }
};

TEST_F(E2eRevert, RefusesUnknownAndEnabledAgentsWithoutTakingTheLock) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".claude");
  home.make_link(".claude/skills/x", "../../.agents/skills/x", true);
  home.write(".config/kelvaro/kelvaro.toml", "[targets]\ncodex = false\n");

  RunResult unknown = revert("nosuch");
  RunResult enabled = revert("claude");
  RunResult absent = revert("codex");

  EXPECT_EQ(unknown, (RunResult{.out = "",
                                .err = "error: `nosuch` is not an agent kelvaro knows about\n",
                                .status = 1}));
  EXPECT_EQ(enabled, (RunResult{.out = "",
                                .err = "error: claude is still enabled — set targets.claude = "
                                       "false in " +
                                       at(".config/kelvaro/kelvaro.toml") +
                                       " first, so sync will not redo what revert undoes\n",
                                .status = 1}));
  EXPECT_EQ(absent,
            (RunResult{.out = "codex is not installed on this machine — nothing to revert\n",
                       .err = "",
                       .status = 0}));
  EXPECT_TRUE(exists_here(home.path(".claude/skills/x")));
  EXPECT_FALSE(exists_here(home.state_dir() / "lock"));
}

TEST_F(E2eRevert, RemovesOnlyLinksIntoTheCommons) {
  KELVARO_REQUIRE_LINKS();
  disable("claude = false\n");
  home.write(".agents/skills/a/SKILL.md", "a");
  home.make_link(".claude/skills/a", "../../.agents/skills/a", true);
  home.make_link(".claude/skills/b-gone", "../../.agents/skills/b-gone", true);
  home.make_dir("elsewhere");
  home.make_link(".claude/skills/c-mine", "../../elsewhere", true);
  home.write(".claude/skills/d-own/SKILL.md", "own");
  home.make_link(".claude/agents/helper.md", at(".agents/agents/helper.md"));

  RunResult result = revert("claude");

  EXPECT_EQ(result, (RunResult{.out = "removed .claude/skills/a\n"
                                      "removed .claude/skills/b-gone\n"
                                      "removed .claude/agents/helper.md\n"
                                      "\n"
                                      "3 removals made.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(tree_listing(home.path(".claude")),
            (std::vector<std::string>{"agents/", "skills/", "skills/c-mine -> ../../elsewhere",
                                      "skills/d-own/", "skills/d-own/SKILL.md = own"}));
  EXPECT_EQ(home.read(".agents/skills/a/SKILL.md"), "a");
}

TEST_F(E2eRevert, RootThroughALinkAndDotDotIsTheFolderTheSystemReaches) {
  KELVARO_REQUIRE_LINKS();
  disable("claude = false\n");
  home.make_link(".claude/skills/a", "../../.agents/skills/a", true);
  const fs::path real = home.root() / "real/home";
  fs::create_directories(real.parent_path());
  fs::rename(home.home(), real);
  home.make_link(home.root() / "link", "real/home", true);
  // The home that dropping ".." by text names, which the system never reaches here.
  home.make_dir(".agents/skills");
  home.make_link(".claude/skills/a", "../../.agents/skills/a", true);
  const EnvSnapshot env = rooted_env(home, path_to_utf8(home.root() / "link/../home"));

  RunResult result = run_kelvaro({"revert", "claude"}, env);

  EXPECT_EQ(result, (RunResult{.out = "removed " + native(".claude/skills/a") +
                                      "\n"
                                      "\n"
                                      "1 removal made.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_FALSE(exists_here(real / ".claude/skills/a"));
  EXPECT_TRUE(exists_here(home.path(".claude/skills/a")));
}

TEST_F(E2eRevert, ImportLineIsDroppedWithItsLineEndAndNothingElse) {
  disable("claude = false\n");
  home.write(".claude/CLAUDE.md",
             "Mine.\r\n  @ ~/.agents/AGENTS.md\r\n@~/elsewhere/AGENTS.md\nEnd");

  RunResult result = revert("claude");

  EXPECT_EQ(result, (RunResult{.out = "removed the import line from .claude/CLAUDE.md\n"
                                      "\n"
                                      "1 removal made.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), "Mine.\r\n@~/elsewhere/AGENTS.md\nEnd");
}

TEST_F(E2eRevert, ClaudeMdThatLinksIntoTheCommonsIsRemovedByTheSymlinkRoute) {
  KELVARO_REQUIRE_LINKS();
  disable("claude = false\n");
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.make_link(".claude/CLAUDE.md", "../.agents/AGENTS.md");

  RunResult result = revert("claude");

  EXPECT_EQ(result.out, "removed .claude/CLAUDE.md\n\n1 removal made.\n");
  EXPECT_FALSE(exists_here(home.path(".claude/CLAUDE.md")));
  EXPECT_EQ(home.read(".agents/AGENTS.md"), "Be brief.\n");
}

TEST_F(E2eRevert, GeminiLosesItsEntryLinkGeneratedFilesAndCommonsHooksOnly) {
  KELVARO_REQUIRE_LINKS();
  disable("gemini = false\n");
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  home.write(".agents/mcp.json", R"({"mcpServers": {"fs": {"command": "mcp-fs"}}})");
  home.make_link(".gemini/GEMINI.md", "../.agents/AGENTS.md");
  home.write(".gemini/commands/review.toml", generated_marker + "prompt = \"x\"\n");
  home.write(".gemini/commands/mine.toml", "prompt = \"my own\"\n");
  home.write(".gemini/settings.json", R"({
  "context": {
    "fileName": [
      "GEMINI.md",
      "../.agents/AGENTS.md"
    ]
  },
  "mcpServers": {
    "fs": {
      "command": "mcp-fs"
    },
    "mine": {
      "command": "my-server"
    }
  },
  "hooks": {
    "AfterAgent": [
      {
        "hooks": [
          {
            "type": "command",
            "command": "echo done"
          }
        ]
      },
      {
        "hooks": [
          {
            "type": "command",
            "command": "my-own-hook"
          }
        ]
      }
    ]
  }
})");

  RunResult result = revert("gemini");

  EXPECT_EQ(result, (RunResult{.out = "removed the context.fileName entry from "
                                      ".gemini/settings.json\n"
                                      "removed .gemini/GEMINI.md\n"
                                      "removed mcp server fs from .gemini/settings.json\n"
                                      "removed .gemini/commands/review.toml\n"
                                      "removed the Stop hook echo done from .gemini/settings.json\n"
                                      "\n"
                                      "5 removals made.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(home.read(".gemini/settings.json"), R"({
  "context": {},
  "mcpServers": {
    "mine": {
      "command": "my-server"
    }
  },
  "hooks": {
    "AfterAgent": [
      {
        "hooks": [
          {
            "type": "command",
            "command": "my-own-hook"
          }
        ]
      }
    ]
  }
})");
  EXPECT_EQ(tree_listing(home.path(".gemini/commands")),
            (std::vector<std::string>{"mine.toml = prompt = \"my own\"\n"}));
}

TEST_F(E2eRevert, FaultyHookFileIsReportedAndTheOthersAreStillRemoved) {
  disable("claude = false\n");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  home.write(".agents/hooks/Bogus.toml", "[[hook]]\ncommand = \"x\"\n");
  home.write(".claude/settings.json", R"({
  "hooks": {
    "Stop": [
      {
        "hooks": [
          {
            "type": "command",
            "command": "echo done"
          }
        ]
      }
    ]
  }
})");

  RunResult result = revert("claude");

  EXPECT_EQ(result.out, "removed the Stop hook echo done from " + native(".claude/settings.json") +
                            "\n"
                            "\n"
                            "1 removal made.\n");
  EXPECT_EQ(result.err, "error: " + at(".agents/hooks/Bogus.toml") +
                            ": `Bogus` is not a hook event — expected one of SessionStart, Stop, "
                            "PreToolUse, PostToolUse, Notification, UserPromptSubmit, "
                            "SubagentStop, PreCompact\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(home.read(".claude/settings.json"), "{\n  \"hooks\": {}\n}");
}

TEST_F(E2eRevert, NothingOfOursIsSaidOnceAndACustomAgentLosesItsLinks) {
  KELVARO_REQUIRE_LINKS();
  home.write(".config/kelvaro/kelvaro.toml",
             "[targets]\nclaude = false\nmine = false\n"
             "[custom.mine]\nroot = \".mine\"\ncommands = \".mine/cmds\"\n");
  home.write(".claude/CLAUDE.md", "Mine.\n");
  home.make_link(".mine/cmds/review.md", "../../.agents/commands/review.md");

  EXPECT_EQ(
      revert("claude"),
      (RunResult{
          .out = "nothing of kelvaro's in claude — nothing to revert\n", .err = "", .status = 0}));
  EXPECT_EQ(revert("mine"), (RunResult{.out = "removed .mine/cmds/review.md\n\n1 removal made.\n",
                                       .err = "",
                                       .status = 0}));
  home.write(".agents/mcp.json", "{}");
  EXPECT_EQ(revert("claude"), (RunResult{.out = "",
                                         .err = "error: " + at(".agents/mcp.json") +
                                                " must hold an `mcpServers` object at the top "
                                                "level\n",
                                         .status = 1}));
}

TEST_F(E2eRevert, SurfaceFolderThatIsALinkIntoTheCommonsIsLeftAlone) {
  KELVARO_REQUIRE_LINKS();
  disable("claude = false\n");
  home.write(".agents/skills/a/SKILL.md", "a");
  home.make_link(".agents/skills/alias", "a", true);
  home.make_dir(".claude");
  home.make_link(".claude/skills", "../.agents/skills", true);

  RunResult result = revert("claude");

  EXPECT_EQ(result.out, "nothing of kelvaro's in claude — nothing to revert\n");
  EXPECT_TRUE(holds_link_text(home.path(".agents/skills/alias"), "a"));
}

// GNU stow's layout: sync computed the link from where it physically lives.
TEST_F(E2eRevert, LinksInAnAgentFolderThatIsALinkElsewhereAreRemoved) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".agents/skills/review");
  home.make_dir("dotfiles/claude/.claude");
  home.make_link(".claude", "dotfiles/claude/.claude", true);
  RunResult synced = run_kelvaro({"sync"}, home.env());
  disable("claude = false\n");

  RunResult result = revert("claude");

  EXPECT_EQ(synced.status, 0);
  EXPECT_EQ(result.out, "removed .claude/skills/review\n\n1 removal made.\n");
  EXPECT_FALSE(exists_here(home.path(".claude/skills/review")));
}

// The import line found there is the Commons' own text, whichever way the agent's file reaches it.
TEST_F(E2eRevert, CommonsAgentsMdReachedThroughLinksOrAHardLinkIsNeverRewritten) {
  KELVARO_REQUIRE_LINKS();
  disable("claude = false\n");
  const std::string shared = "# shared\n@~/.agents/AGENTS.md\n";
  home.write(".agents/AGENTS.md", shared);
  home.make_link("dotfiles/CLAUDE.md", "../.agents/AGENTS.md");
  home.make_link(".claude/CLAUDE.md", "../dotfiles/CLAUDE.md");
  RunResult chain = revert("claude");
  fs::remove(home.path(".claude/CLAUDE.md"));
  fs::create_hard_link(home.path(".agents/AGENTS.md"), home.path(".claude/CLAUDE.md"));

  RunResult hard = revert("claude");

  EXPECT_EQ(chain.out, "nothing of kelvaro's in claude — nothing to revert\n");
  EXPECT_EQ(hard.out, "nothing of kelvaro's in claude — nothing to revert\n");
  EXPECT_EQ(home.read(".agents/AGENTS.md"), shared);
}

// init, adopt, sync and revert in a row give claude back what it held, but for the adopted skill.
TEST(E2eRoundTrip, ClaudeEndsAsItWasButForTheAdoptedSkill) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  const std::string claude_json = R"({
  "theme": "dark",
  "mcpServers": {
    "mine": {
      "command": "my-server"
    }
  }
})";
  home.write(".claude.json", claude_json);
  home.write(".claude/skills/foo/SKILL.md", "foo");
  home.write(".claude/skills/mine/SKILL.md", "mine");
  home.write(".claude/CLAUDE.md", "My notes.\n");
  home.write(".claude/settings.json", R"({
  "model": "opus",
  "hooks": {
    "Stop": [
      {
        "hooks": [
          {
            "type": "command",
            "command": "my-own-hook"
          }
        ]
      }
    ]
  }
})");
  home.make_dir(".pi");
  std::vector<std::string> before = tree_listing(home.path(".claude"));
  std::erase(before, "skills/foo/");
  std::erase(before, "skills/foo/SKILL.md = foo");

  RunResult initialised = run_kelvaro({"init"}, home.env());
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  home.write(".agents/skills/shared/SKILL.md", "shared");
  home.write(".agents/mcp.json", R"({"mcpServers": {"fs": {"command": "mcp-fs"}}})");
  RunResult adopted = run_kelvaro({"adopt", home.path(".claude/skills/foo").string()}, home.env());
  RunResult synced = run_kelvaro({"sync"}, home.env());
  home.write(".config/kelvaro/kelvaro.toml", "[targets]\nclaude = false\n");
  RunResult reverted = run_kelvaro({"revert", "claude"}, home.env());

  EXPECT_EQ(initialised.status, 0) << initialised.err;
  EXPECT_NE(initialised.out.find("  " + (home.path(".claude/skills") / "foo").string() + "\n"),
            std::string::npos)
      << initialised.out;
  EXPECT_EQ(adopted, (RunResult{.out = "adopted foo from claude into the Commons (skills)\n"
                                       "  " +
                                       home.path(".claude/skills/foo").string() +
                                       " → ../../.agents/skills/foo\n"
                                       "  linked into pi (.pi/agent/skills)\n",
                                .err = "",
                                .status = 0}));
  EXPECT_EQ(synced.out,
            "claude (.claude/skills)\n"
            "  missing   shared\n"
            "pi (.pi/agent/skills)\n"
            "  missing   shared\n"
            "instructions (AGENTS.md)\n"
            "  import    claude\n"
            "  missing   pi\n"
            "mcp (mcp.json)\n"
            "  missing   fs → claude — not in this agent's config yet\n"
            "  foreign   mine → claude — not in the Commons — left alone\n"
            "hooks\n"
            "  missing      Stop echo done → claude — not in this agent's hooks yet\n"
            "  foreign      Stop my-own-hook → claude — not in the Commons — left alone\n"
            "\n"
            "6 changes made.\n");
  EXPECT_EQ(reverted.out,
            "removed .claude/skills/foo\n"
            "removed .claude/skills/shared\n"
            "removed the import line from .claude/CLAUDE.md\n"
            "removed mcp server fs from .claude.json\n"
            "removed the Stop hook echo done from .claude/settings.json\n"
            "\n"
            "5 removals made.\n");
  EXPECT_EQ(tree_listing(home.path(".claude")), before);
  EXPECT_EQ(home.read(".claude.json"), claude_json);
  EXPECT_EQ(home.read(".agents/skills/foo/SKILL.md"), "foo");
}

}  // namespace
}  // namespace kelvaro
