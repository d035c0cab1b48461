#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

const std::string import_line = "@~/.agents/AGENTS.md\n";

// A generated gemini command holding `prompt` (a one-line text without quotes or escapes).
std::string generated(const std::string& description, const std::string& prompt) {
  return "# kelvaro: this file is generated — edit the Commons instead\n"
         "description = \"" +
         description + "\"\nprompt = \"" + prompt + "\"\n";
}

// Each test builds the home it needs: which agent folders exist decides which agents are
// installed, and so every line and count of the report.
class E2eSyncSections : public ::testing::Test {
 protected:
  TempHome home;

  RunResult sync(const std::vector<std::string>& args = {"sync"}) {
    return run_kelvaro(args, home.env());
  }
  RunResult dry_run() { return sync({"sync", "--dry-run"}); }
  std::vector<std::string> files() { return tree_listing(home.root(), home.path(".local")); }
  std::string at(const std::string& rel) { return home.path(rel).string(); }
};

// --- instructions ---------------------------------------------------------------------------

TEST_F(E2eSyncSections, ClaudeImportLineIsAddedFoundAgainAndReplacedByALink) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.make_dir(".claude");

  RunResult first = sync();
  RunResult second = sync();

  EXPECT_EQ(first, (RunResult{.out = "instructions (AGENTS.md)\n"
                                     "  import    claude\n"
                                     "\n"
                                     "1 change made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), import_line);
  EXPECT_EQ(second, up_to_date);

  home.write(".config/kelvaro/kelvaro.toml", "[instructions]\nclaude = \"symlink\"\n");

  RunResult switched = sync();

  EXPECT_EQ(switched, (RunResult{.out = "instructions (AGENTS.md)\n"
                                        "  replace   claude\n"
                                        "\n"
                                        "1 change made.\n",
                                 .err = "",
                                 .status = 0}));
  EXPECT_TRUE(holds_link_text(home.path(".claude/CLAUDE.md"), "../.agents/AGENTS.md"));
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), "Be brief.\n");
  EXPECT_EQ(sync(), up_to_date);
}

TEST_F(E2eSyncSections, ImportLineIsAppendedBelowTheUsersOwnText) {
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".claude/CLAUDE.md", "# My notes\nno final line end");

  RunResult result = sync();

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), "# My notes\nno final line end\n" + import_line);
}

// The list goes last in its parent, the parent's last member taking its old place; every other
// member of the file stays where it was.
TEST_F(E2eSyncSections, ListEntriesAreAddedAndTheRestOfTheFileStaysInPlace) {
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.make_dir(".config/opencode");
  const std::string gemini_before = R"({
  "theme": "dark",
  "context": {
    "fileName": "GEMINI.md",
    "loadMemoryFromIncludeDirectories": true,
    "discoveryMaxDirs": 200
  },
  "ui": {
    "hideBanner": true
  }
})";
  home.write(".gemini/settings.json", gemini_before);

  RunResult first = sync();

  EXPECT_EQ(first, (RunResult{.out = "instructions (AGENTS.md)\n"
                                     "  import    opencode\n"
                                     "  import    gemini\n"
                                     "\n"
                                     "2 changes made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(home.read(".config/opencode/opencode.json"), R"({
  "instructions": [
    "~/.agents/AGENTS.md"
  ]
})");
  EXPECT_EQ(home.read(".gemini/settings.json"), R"({
  "theme": "dark",
  "context": {
    "discoveryMaxDirs": 200,
    "loadMemoryFromIncludeDirectories": true,
    "fileName": [
      "GEMINI.md",
      "../.agents/AGENTS.md"
    ]
  },
  "ui": {
    "hideBanner": true
  }
})");
  EXPECT_EQ(sync(), up_to_date);
}

TEST_F(E2eSyncSections, ConflictsAndForeignLinksAreLeftAloneAndLeftoversRemoved) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/AGENTS.md", "Be brief.\n");
  const std::string codex_text = "<claude-mem-context>\nremembered things\n";
  home.write(".codex/AGENTS.md", codex_text);
  home.write("elsewhere.md", "mine");
  home.make_link(".pi/agent/AGENTS.md", "../../elsewhere.md");
  home.make_dir(".gemini");
  home.make_link(".gemini/GEMINI.md", "../.agents/AGENTS.md");

  RunResult first = sync();

  EXPECT_EQ(first.out,
            "instructions (AGENTS.md)\n"
            "  conflict  codex — " +
                at(".codex/AGENTS.md") +
                " is owned by claude-mem — move or merge it, then sync again\n"
                "  foreign   pi — points outside the Commons — left alone\n"
                "  import    gemini\n"
                "  legacy    gemini\n"
                "\n"
                "2 changes made.\n");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(home.read(".codex/AGENTS.md"), codex_text);
  EXPECT_TRUE(holds_link_text(home.path(".pi/agent/AGENTS.md"), "../../elsewhere.md"));
  EXPECT_FALSE(exists_here(home.path(".gemini/GEMINI.md")));

  RunResult second = sync();

  EXPECT_EQ(second.out,
            "instructions (AGENTS.md)\n"
            "  conflict  codex — " +
                at(".codex/AGENTS.md") +
                " is owned by claude-mem — move or merge it, then sync again\n"
                "  foreign   pi — points outside the Commons — left alone\n"
                "Everything is up to date.\n");
  EXPECT_EQ(second.status, 0);
}

TEST_F(E2eSyncSections, LeftoverEntryWrittenAsOneStringIsRemovedOnce) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".config/kelvaro/kelvaro.toml",
             "[instructions]\nopencode = \"symlink\"\ngemini = \"symlink\"\n");
  home.write(".config/opencode/opencode.json",
             R"({"instructions": "~/.agents/AGENTS.md", "theme": "x"})");
  // gemini's string holds the Commons before its own GEMINI.md, as its one-element list
  // would: that is no leftover of ours, and it is left as it is.
  const std::string gemini = R"({"context": {"fileName": "../.agents/AGENTS.md"}})";
  home.write(".gemini/settings.json", gemini);

  RunResult first = sync();

  EXPECT_EQ(first, (RunResult{.out = "instructions (AGENTS.md)\n"
                                     "  missing   opencode\n"
                                     "  legacy    opencode\n"
                                     "  missing   gemini\n"
                                     "\n"
                                     "3 changes made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(home.read(".config/opencode/opencode.json"), "{\n  \"theme\": \"x\"\n}");
  EXPECT_EQ(home.read(".gemini/settings.json"), gemini);
  EXPECT_EQ(sync(), up_to_date);
  EXPECT_EQ(run_kelvaro({"status"}, home.env()).status, 0);
}

TEST_F(E2eSyncSections, FailedWiringSkipsThatAgentsLaterItemsOnly) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.make_dir(".claude");
  // The settings file is a link through a plain file: it reads as absent, but no folder can
  // be made there to write it.
  home.write("blocker", "a file where a folder would be");
  home.make_link(".config/opencode/opencode.json", "../../blocker/opencode.json");
  home.make_link(".config/opencode/AGENTS.md", "../../.agents/AGENTS.md");
  home.make_dir(".gemini");
  home.make_link(".gemini/GEMINI.md", "../.agents/AGENTS.md");

  RunResult result = sync();

  EXPECT_EQ(result.out,
            "instructions (AGENTS.md)\n"
            "  import    claude\n"
            "  import    gemini\n"
            "  legacy    gemini\n"
            "\n"
            "3 changes made.\n");
  EXPECT_EQ(result.err, "error: cannot write " + at(".config/opencode/opencode.json") + ": " +
                            std::make_error_code(std::errc::not_a_directory).message() + "\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(holds_link_text(home.path(".config/opencode/AGENTS.md"), "../../.agents/AGENTS.md"));
  EXPECT_FALSE(exists_here(home.path(".gemini/GEMINI.md")));
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), import_line);
}

// --- hooks ----------------------------------------------------------------------------------

TEST_F(E2eSyncSections, HookIsMergedBesideTheAgentsOwnAndRestoredWhenItDrifts) {
  home.write(".agents/hooks/PreToolUse.toml",
             "[[hook]]\ncommand = \"~/bin/guard.sh\"\nmatcher = \"Bash\"\ntimeout = 30\n");
  // The user's settings around the PreToolUse groups, which the merge keeps byte for byte.
  auto settings = [](const std::string& groups) {
    return R"({
  "model": "opus",
  "hooks": {
    "PreToolUse": [
)" + groups +
           R"(
    ]
  },
  "permissions": {
    "allow": []
  }
})";
  };
  const std::string lint_group = R"(      {
        "matcher": "Edit",
        "hooks": [
          {
            "type": "command",
            "command": "node /opt/hooks/lint.js --fix"
          }
        ]
      })";
  const std::string guard_group = R"(      {
        "matcher": "Bash",
        "hooks": [
          {
            "type": "command",
            "command": "~/bin/guard.sh",
            "timeout": 30
          }
        ]
      })";
  const std::string before = settings(lint_group);
  home.write(".claude/settings.json", before);
  const std::string merged = settings(lint_group + ",\n" + guard_group);
  const std::string foreign_line =
      "  foreign      PreToolUse node … → claude — not in the Commons — left alone\n";

  RunResult first = sync();

  EXPECT_EQ(first,
            (RunResult{.out = "hooks\n"
                              "  missing      PreToolUse ~/bin/guard.sh → claude — not in this "
                              "agent's hooks yet\n" +
                              foreign_line + "\n1 change made.\n",
                       .err = "",
                       .status = 0}));
  EXPECT_EQ(home.read(".claude/settings.json"), merged);
  EXPECT_EQ(sync(), (RunResult{.out = "hooks\n" + foreign_line + "Everything is up to date.\n",
                               .err = "",
                               .status = 0}));

  std::string edited = merged;
  edited.replace(edited.find("\"timeout\": 30"), 13, "\"timeout\": 99");
  home.write(".claude/settings.json", edited);

  RunResult restored = sync();

  EXPECT_EQ(restored,
            (RunResult{.out = "hooks\n"
                              "  drifted      PreToolUse ~/bin/guard.sh → claude — differs from "
                              "the Commons — will be restored\n" +
                              foreign_line + "\n1 change made.\n",
                       .err = "",
                       .status = 0}));
  EXPECT_EQ(home.read(".claude/settings.json"), merged);
}

TEST_F(E2eSyncSections, GeminiTakesStopAsAfterAgentAndLacksSomeEvents) {
  // 41 characters: shown cut to 39 and an ellipsis. 40 characters: shown whole.
  const std::string long_command = "/usr/local/bin/notify-when-done --all -q1";
  const std::string forty = "/usr/local/bin/prompt-check --strict -q1";
  ASSERT_EQ(long_command.size(), 41u);
  ASSERT_EQ(forty.size(), 40u);
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"" + long_command + "\"\n");
  home.write(".agents/hooks/UserPromptSubmit.toml", "[[hook]]\ncommand = \"" + forty + "\"\n");
  home.make_dir(".gemini");
  const std::string unsupported_line = "  unsupported  UserPromptSubmit " + forty +
                                       " → gemini — gemini has no UserPromptSubmit hook\n";

  RunResult first = sync();

  EXPECT_EQ(first, (RunResult{.out = "hooks\n"
                                     "  missing      Stop /usr/local/bin/notify-when-done --all "
                                     "-… → gemini — not in this agent's hooks yet\n" +
                                     unsupported_line + "\n1 change made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(home.read(".gemini/settings.json"), R"({
  "hooks": {
    "AfterAgent": [
      {
        "hooks": [
          {
            "type": "command",
            "command": ")" + long_command + R"("
          }
        ]
      }
    ]
  }
})");
  EXPECT_EQ(sync(), (RunResult{.out = "hooks\n" + unsupported_line + "Everything is up to date.\n",
                               .err = "",
                               .status = 0}));
}

TEST_F(E2eSyncSections, BadHookFileBlocksEveryChangeEvenLinks) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/x/SKILL.md", "skill x");
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".agents/commands/review.md", "Review it.");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  home.write(".agents/hooks/stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  home.write(".claude/settings.json", "{\"hooks\": [");
  home.make_dir(".gemini");
  std::vector<std::string> before = files();
  const std::string errors =
      "error: " + at(".agents/hooks/stop.toml") +
      ": `stop` is not a hook event — expected one of SessionStart, Stop, PreToolUse, "
      "PostToolUse, Notification, UserPromptSubmit, SubagentStop, PreCompact\n"
      "error: " +
      at(".claude/settings.json") + " is not valid JSON (line 1, column 12) — left untouched\n";

  RunResult real = sync();
  RunResult dry = dry_run();

  EXPECT_EQ(real, (RunResult{.out = "\nNo changes were made — see the errors above.\n",
                             .err = errors,
                             .status = 1}));
  EXPECT_EQ(dry, (RunResult{.out = "dry run — no changes will be made\n\n"
                                   "\nNo changes were made — see the errors above.\n",
                            .err = errors,
                            .status = 1}));
  EXPECT_EQ(files(), before);
}

TEST_F(E2eSyncSections, UnreadableCommonsCommandBlocksEveryChange) {
  home.write(".agents/skills/x/SKILL.md", "skill x");
  home.write(".agents/commands/x.md", "not UTF-8: \xff\n");
  home.make_dir(".claude");
  home.make_dir(".gemini");
  std::vector<std::string> before = files();

  RunResult result = sync();

  EXPECT_EQ(result, (RunResult{.out = "\nNo changes were made — see the errors above.\n",
                               .err = "error: cannot read " +
                                      display(home.commons() / "commands" / "x.md") +
                                      ": Invalid or incomplete multibyte or wide character\n",
                               .status = 1}));
  EXPECT_EQ(files(), before);
}

TEST_F(E2eSyncSections, MalformedSettingsIsReportedAndKeptByteForByte) {
  home.write(".agents/hooks/Notification.toml", "[[hook]]\ncommand = \"notify-send hi\"\n");
  const std::string broken = "{\n  \"model\": \"opus\",\n  \"hooks\": {\n";
  home.write(".claude/settings.json", broken);
  home.make_dir(".gemini");

  RunResult result = sync();

  EXPECT_EQ(result, (RunResult{.out = "hooks\n"
                                      "  missing      Notification notify-send hi → gemini — not "
                                      "in this agent's hooks yet\n"
                                      "\n"
                                      "1 change made.\n",
                               .err = "error: " + at(".claude/settings.json") +
                                      " is not valid JSON (line 4, column 1) — left untouched\n",
                               .status = 1}));
  EXPECT_EQ(home.read(".claude/settings.json"), broken);
  EXPECT_NE(home.read(".gemini/settings.json").find("notify-send hi"), std::string::npos);
}

// A settings file that is not an object is reported before the section and its agent gets no
// line; an event that is not a list is only found when merging, after the lines.
TEST_F(E2eSyncSections, SettingsOfTheWrongShapeAreNotWritten) {
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  const std::string list = "[\n  1\n]";
  home.write(".claude/settings.json", list);
  const std::string object_event = "{\"hooks\": {\"Stop\": {\"command\": \"x\"}}}";
  home.write(".codex/hooks.json", object_event);

  RunResult result = sync();

  EXPECT_EQ(result.out,
            "hooks\n"
            "  missing      Stop echo done → codex — not in this agent's hooks yet\n"
            "\n"
            "No changes were made — see the errors above.\n");
  EXPECT_EQ(result.err, "error: " + at(".claude/settings.json") +
                            " is not valid JSON (line 1, column 1) — left untouched\n"
                            "error: " +
                            at(".codex/hooks.json") + ": `hooks.Stop` is not a list\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(home.read(".claude/settings.json"), list);
  EXPECT_EQ(home.read(".codex/hooks.json"), object_event);
}

// --- rendered commands ----------------------------------------------------------------------

TEST_F(E2eSyncSections, RenderedCommandIsWrittenRestoredAndRemoved) {
  home.write(".agents/commands/x.md",
             "---\ndescription: \"Explain the code\"\n---\n\nExplain it simply.\n");
  home.make_dir(".gemini");
  const std::string expected = generated("Explain the code", "Explain it simply.");

  RunResult first = sync();

  EXPECT_EQ(first, (RunResult{.out = "rendered commands\n"
                                     "  missing    x → gemini — not rendered yet\n"
                                     "\n"
                                     "1 change made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(home.read(".gemini/commands/x.toml"), expected);
  EXPECT_EQ(sync(), up_to_date);

  home.write(".gemini/commands/x.toml", generated("Explain the code", "Explain it in detail."));

  EXPECT_EQ(sync(), (RunResult{.out = "rendered commands\n"
                                      "  drifted    x → gemini — edited by hand — the Commons "
                                      "version will be restored\n"
                                      "\n"
                                      "1 change made.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(home.read(".gemini/commands/x.toml"), expected);

  fs::remove(home.path(".agents/commands/x.md"));

  EXPECT_EQ(sync(), (RunResult{.out = "rendered commands\n"
                                      "  orphaned   x → gemini — no longer in the Commons — will "
                                      "be removed\n"
                                      "\n"
                                      "1 change made.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_FALSE(exists_here(home.path(".gemini/commands/x.toml")));
  EXPECT_EQ(sync(), up_to_date);
}

TEST_F(E2eSyncSections, UserFilesWithoutTheMarkerAreNeverTouched) {
  home.write(".agents/commands/x.md", "Explain it.");
  const std::string own = "prompt = \"my own x\"\n";
  home.write(".gemini/commands/x.toml", own);
  const std::string other = "prompt = \"not from the Commons\"\n";
  home.write(".gemini/commands/mine.toml", other);
  const std::string line = "  foreign    x → gemini — not generated by kelvaro — left alone\n";

  EXPECT_EQ(sync(), (RunResult{.out = "rendered commands\n" + line + "Everything is up to date.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(home.read(".gemini/commands/x.toml"), own);
  EXPECT_EQ(home.read(".gemini/commands/mine.toml"), other);
}

TEST_F(E2eSyncSections, RenderedFolderThatCannotBeMadeIsAnError) {
  home.write(".agents/commands/x.md", "Explain it.");
  home.write(".gemini/commands", "a file where the folder belongs");

  RunResult result = sync();

  EXPECT_EQ(result,
            (RunResult{.out = "rendered commands\n"
                              "  missing    x → gemini — not rendered yet\n"
                              "\n"
                              "No changes were made — see the errors above.\n",
                       .err = "error: cannot create " + at(".gemini/commands") + ": " +
                              std::make_error_code(std::errc::not_a_directory).message() + "\n",
                       .status = 1}));
  EXPECT_EQ(home.read(".gemini/commands"), "a file where the folder belongs");
}

// --- the sections together ------------------------------------------------------------------

TEST_F(E2eSyncSections, DryRunListsEachSectionAndTouchesNothing) {
  home.write(".agents/commands/x.md", "Explain it.");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  home.make_dir(".gemini");
  std::vector<std::string> before = files();

  RunResult dry = dry_run();

  EXPECT_EQ(dry, (RunResult{.out = "dry run — no changes will be made\n"
                                   "\n"
                                   "rendered commands\n"
                                   "  missing    x → gemini — not rendered yet\n"
                                   "hooks\n"
                                   "  missing      Stop echo done → gemini — not in this agent's "
                                   "hooks yet\n"
                                   "\n"
                                   "2 changes would be made.\n",
                            .err = "",
                            .status = 0}));
  EXPECT_EQ(files(), before);
}

TEST_F(E2eSyncSections, SectionsFollowTheLinksInTheirOrderAndCountTogether) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/x/SKILL.md", "skill x");
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".agents/commands/review.md", "Review it.");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"echo done\"\n");
  home.make_dir(".claude");
  home.make_dir(".gemini");
  const std::string report =
      "claude (.claude/skills)\n"
      "  missing   x\n"
      "claude (.claude/commands)\n"
      "  missing   review\n"
      "instructions (AGENTS.md)\n"
      "  import    claude\n"
      "  import    gemini\n"
      "rendered commands\n"
      "  missing    review → gemini — not rendered yet\n"
      "hooks\n"
      "  missing      Stop echo done → claude — not in this agent's hooks yet\n"
      "  missing      Stop echo done → gemini — not in this agent's hooks yet\n"
      "\n";

  RunResult dry = dry_run();
  RunResult real = sync();

  EXPECT_EQ(dry, (RunResult{.out = "dry run — no changes will be made\n\n" + report +
                                   "7 changes would be made.\n",
                            .err = "",
                            .status = 0}));
  EXPECT_EQ(real, (RunResult{.out = report + "7 changes made.\n", .err = "", .status = 0}));
  // Instructions and hooks share gemini's settings file: both edits are in it.
  EXPECT_EQ(home.read(".gemini/settings.json"), R"({
  "context": {
    "fileName": [
      "GEMINI.md",
      "../.agents/AGENTS.md"
    ]
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
      }
    ]
  }
})");
  EXPECT_EQ(sync(), up_to_date);
}

}  // namespace
}  // namespace kelvaro
