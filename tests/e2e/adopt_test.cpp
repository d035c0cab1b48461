#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// Claude (the agent adopted from) and pi (a second agent that takes skills) are installed.
class E2eAdopt : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override {
    home.make_dir(".agents/skills");
    home.make_dir(".claude");
    home.make_dir(".pi");
  }
  RunResult adopt(const std::vector<std::string>& args, const fs::path& cwd = {}) {
    std::vector<std::string> full{"adopt"};
    full.insert(full.end(), args.begin(), args.end());
    return run_kelvaro(full, home.env(), cwd);
  }
  // The program joins names with the system's separator.
  std::string native(const std::string& rel) {
    return path_to_utf8(path_from_utf8(rel).make_preferred());
  }
  std::string at(const std::string& rel) {
    return path_to_utf8(home.path(path_from_utf8(rel).make_preferred()));
  }
  std::vector<std::string> files() { return tree_listing(home.root(), home.path(".local")); }
};

// --- absorb ---------------------------------------------------------------------------------

TEST_F(E2eAdopt, AbsorbsAnAgentSkillLeavesARelativeLinkAndFansItOut) {
  KELVARO_REQUIRE_LINKS();
  home.write(".claude/skills/foo/SKILL.md", "foo");
  home.write(".claude/skills/foo/lib/run.sh", "run");

  RunResult result = adopt({"skills/foo"}, home.path(".claude"));

  EXPECT_EQ(result, (RunResult{.out = "adopted foo from claude into the Commons (skills)\n"
                                      "  " +
                                      at(".claude/skills/foo") +
                                      " → ../../.agents/skills/foo\n"
                                      "  linked into pi (.pi/agent/skills)\n",
                               .err = "",
                               .status = 0}));
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/foo"), "../../.agents/skills/foo"));
  EXPECT_TRUE(holds_link_text(home.path(".pi/agent/skills/foo"), "../../../.agents/skills/foo"));
  EXPECT_EQ(home.read(".agents/skills/foo/SKILL.md"), "foo");
  EXPECT_EQ(home.read(".agents/skills/foo/lib/run.sh"), "run");
  EXPECT_TRUE(exists_here(home.state_dir() / "lock"));
}

TEST_F(E2eAdopt, IdenticalCommonsCopyIsReLinkedAndAVariantIsRefused) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/foo/SKILL.md", "foo");
  home.write(".claude/skills/foo/SKILL.md", "foo");
  home.write(".agents/skills/bar/SKILL.md", "bar");
  home.write(".claude/skills/bar/SKILL.md", "bar, edited");
  std::vector<std::string> before = files();

  RunResult variant = adopt({at(".claude/skills/bar")});
  EXPECT_EQ(files(), before);
  RunResult identical = adopt({at(".claude/skills/foo")});

  EXPECT_EQ(variant,
            (RunResult{.out = "",
                       .err = "error: " + at(".claude/skills/bar") +
                              " differs from the Commons copy at " + at(".agents/skills/bar") +
                              " — this is a Variant. Merge it by hand if you want it in "
                              "the Commons; kelvaro will not choose which side to "
                              "discard\n",
                       .status = 1}));
  EXPECT_EQ(identical, (RunResult{.out = "foo in claude was identical to the Commons copy — "
                                         "re-linked\n"
                                         "  " +
                                         at(".claude/skills/foo") +
                                         " → ../../.agents/skills/foo\n"
                                         "  linked into pi (.pi/agent/skills)\n",
                                  .err = "",
                                  .status = 0}));
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/foo"), "../../.agents/skills/foo"));
  EXPECT_EQ(home.read(".agents/skills/foo/SKILL.md"), "foo");
}

TEST_F(E2eAdopt, DryRunReportsEveryStepAndTouchesNothing) {
  home.write(".claude/commands/review.md", "review");
  home.make_dir(".codex");
  std::vector<std::string> before = files();

  RunResult result = adopt({at(".claude/commands/review.md"), "--dry-run"});

  EXPECT_EQ(result, (RunResult{.out = "dry run — no changes will be made\n"
                                      "\n"
                                      "absorb: review.md from claude into the Commons (commands)\n"
                                      "  would move " +
                                      at(".claude/commands/review.md") +
                                      " into the Commons\n"
                                      "  would leave a link at " +
                                      at(".claude/commands/review.md") + " → " +
                                      native("../../.agents/commands/review.md") +
                                      "\n"
                                      "  would link into codex (.codex/prompts)\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(files(), before);
  EXPECT_FALSE(exists_here(home.state_dir() / "lock"));
}

TEST_F(E2eAdopt, AgentCopiesThatDifferAreReportedNotReplaced) {
  KELVARO_REQUIRE_LINKS();
  home.write(".claude/skills/foo/SKILL.md", "foo");
  home.write(".pi/agent/skills/foo/SKILL.md", "pi's own foo");

  RunResult result = adopt({at(".claude/skills/foo")});

  EXPECT_EQ(result.out,
            "adopted foo from claude into the Commons (skills)\n"
            "  " +
                at(".claude/skills/foo") +
                " → ../../.agents/skills/foo\n"
                "  pi (.pi/agent/skills): variant — left alone\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(home.read(".pi/agent/skills/foo/SKILL.md"), "pi's own foo");
}

TEST_F(E2eAdopt, InstructionsFileOfASymlinkRouteIsAbsorbedAsAgentsMd) {
  KELVARO_REQUIRE_LINKS();
  home.write(".config/kelvaro/kelvaro.toml", "[instructions]\nclaude = \"symlink\"\n");
  home.write(".claude/CLAUDE.md", "Be brief.\n");
  home.make_dir(".codex");

  RunResult result = adopt({at(".claude/CLAUDE.md")});

  EXPECT_EQ(result, (RunResult{.out = "adopted CLAUDE.md from claude into the Commons "
                                      "(instructions)\n"
                                      "  " +
                                      at(".claude/CLAUDE.md") +
                                      " → ../.agents/AGENTS.md\n"
                                      "  linked into codex (.codex/AGENTS.md)\n"
                                      "  linked into pi (.pi/agent/AGENTS.md)\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(home.read(".agents/AGENTS.md"), "Be brief.\n");
  EXPECT_TRUE(holds_link_text(home.path(".codex/AGENTS.md"), "../.agents/AGENTS.md"));
}

TEST_F(E2eAdopt, ClaudeMdOnTheImportRouteIsNoInstructionsFile) {
  home.write(".claude/CLAUDE.md", "Be brief.\n");

  RunResult result = adopt({at(".claude/CLAUDE.md")});

  EXPECT_EQ(result, (RunResult{.out = "",
                               .err = "error: " + at(".claude/CLAUDE.md") +
                                      ": parent directory \".claude\" is not a family — adopt "
                                      "takes paths from skills/, commands/, or agents/\n",
                               .status = 1}));
}

// --- source ---------------------------------------------------------------------------------

TEST_F(E2eAdopt, PathInAGitWorktreeIsSourcedOnce) {
  KELVARO_REQUIRE_LINKS();
  home.write("code/repo/.git", "gitdir: elsewhere\n");
  home.write("code/repo/skills/tool/SKILL.md", "tool");
  home.write("code/other/.git/HEAD", "ref");
  home.write("code/other/skills/tool/SKILL.md", "other tool");

  RunResult first = adopt({at("code/repo/skills/tool")});
  RunResult again = adopt({at("code/repo/skills/tool")});
  RunResult other = adopt({at("code/other/skills/tool")});

  EXPECT_EQ(first,
            (RunResult{.out = "adopted tool — Sourced from " + at("code/repo/skills/tool") +
                              " (skills)\n"
                              "  " +
                              at(".agents/skills/tool") + " → " + at("code/repo/skills/tool") +
                              "\n"
                              "  linked into claude (.claude/skills)\n"
                              "  linked into pi (.pi/agent/skills)\n",
                       .err = "",
                       .status = 0}));
  EXPECT_TRUE(
      holds_link_text(home.path(".agents/skills/tool"), home.path("code/repo/skills/tool")));
  EXPECT_EQ(again, (RunResult{.out = "skills/tool is already Sourced from " +
                                     at("code/repo/skills/tool") + " — nothing to do\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(other, (RunResult{.out = "",
                              .err = "error: skills/tool is already Sourced from " +
                                     at("code/repo/skills/tool") +
                                     " — remove the Commons link first if you mean to repoint it\n",
                              .status = 1}));
}

// --- copy -----------------------------------------------------------------------------------

TEST_F(E2eAdopt, FileIsCopiedInOnceAndTheOriginalStays) {
  KELVARO_REQUIRE_LINKS();
  home.write("notes/commands/review.md", "review");

  RunResult first = adopt({at("notes/commands/review.md")});
  RunResult again = adopt({at("notes/commands/review.md")});

  EXPECT_EQ(first, (RunResult{.out = "adopted review.md — copied into the Commons (commands)\n"
                                     "  the original at " +
                                     at("notes/commands/review.md") +
                                     " is no longer consulted; edits there will diverge from the "
                                     "Commons copy\n"
                                     "  linked into claude (.claude/commands)\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(home.read(".agents/commands/review.md"), "review");
  EXPECT_EQ(home.read("notes/commands/review.md"), "review");
  EXPECT_EQ(again,
            (RunResult{.out = "commands/review.md is already in the Commons — nothing to do\n",
                       .err = "",
                       .status = 0}));
}

TEST_F(E2eAdopt, FailedCopyLeavesNothingInTheCommons) {
  KELVARO_REQUIRE_LINKS();
  home.write("notes/skills/big/a.md", "a");
  home.write("notes/skills/big/sub/b.md", "b");
  home.make_link("notes/skills/big/sub/z-broken", "../../nowhere");
  std::vector<std::string> before = files();

  RunResult result = adopt({at("notes/skills/big")});

  EXPECT_EQ(result, (RunResult{.out = "",
                               .err = "error: cannot copy " + at("notes/skills/big") +
                                      " into the Commons: No such file or directory\n",
                               .status = 1}));
  EXPECT_EQ(files(), before);
}

TEST_F(E2eAdopt, RefusalsChangeNothing) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/foo/SKILL.md", "foo");
  home.write("notes/skills/readme.md", "text");
  home.make_dir("notes/commands/folder");
  home.write("loose/file.md", "text");
  home.make_link(".claude/skills/linked", "../../notes/skills", true);
  std::vector<std::string> before = files();
  struct Case {
    std::string path;
    std::string error;
  };
  const std::vector<Case> cases = {
      {at("nowhere"), at("nowhere") + " does not exist"},
      {at("notes/../.agents/skills/foo"),
       at(".agents/skills/foo") + " is already in the Commons — nothing to adopt"},
      {at("notes/skills/readme.md"),
       at("notes/skills/readme.md") + ": skills entries are directories — this is a file"},
      {at("notes/commands/folder"), at("notes/commands/folder") +
                                        ": commands entries are single .md files — this is a "
                                        "directory"},
      {at("loose/file.md"), at("loose/file.md") +
                                ": parent directory \"loose\" is not a family — adopt takes paths "
                                "from skills/, commands/, or agents/"},
      {at(".claude/skills/linked"),
       at(".claude/skills/linked") + " is already a symlink — there is nothing to adopt"},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(adopt({c.path}),
              (RunResult{.out = "", .err = "error: " + c.error + "\n", .status = 1}));
  }
  EXPECT_EQ(files(), before);
}

TEST_F(E2eAdopt, AgentFolderThatIsALinkIntoTheCommonsIsNotAdoptedFrom) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/foo/SKILL.md", "foo");
  fs::remove(home.path(".pi"));
  fs::create_directories(home.path(".pi/agent"));
  home.make_link(".pi/agent/skills", "../../.agents/skills", true);
  std::vector<std::string> before = files();

  RunResult result = adopt({at(".pi/agent/skills/foo")});

  EXPECT_EQ(result, (RunResult{.out = "",
                               .err = "error: " + at(".pi/agent/skills/foo") +
                                      " is already in the Commons — nothing to adopt\n",
                               .status = 1}));
  EXPECT_EQ(files(), before);
}

// GNU stow's layout: the agent folder is a link into a dotfiles folder, at another depth.
TEST_F(E2eAdopt, LinkLeftBehindReachesTheCommonsWhenTheAgentFolderIsALinkElsewhere) {
  KELVARO_REQUIRE_LINKS();
  fs::remove(home.path(".claude"));
  home.write("dotfiles/claude/.claude/skills/foo/SKILL.md", "foo");
  home.make_link(".claude", "dotfiles/claude/.claude", true);

  RunResult result = adopt({at(".claude/skills/foo")});

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/foo"), "../../../../.agents/skills/foo"));
  EXPECT_EQ(home.read(".claude/skills/foo/SKILL.md"), "foo");
}

TEST_F(E2eAdopt, FanOutThatFindsSomethingInTheWayNamesIt) {
  KELVARO_REQUIRE_LINKS();
  home.write(".claude/skills/foo/SKILL.md", "foo");
  home.make_link(".pi/agent/skills", "../gone", true);

  RunResult result = adopt({at(".claude/skills/foo")});

  EXPECT_EQ(result.err,
            "error: cannot link into pi (.pi/agent/skills): File exists (.pi/agent/skills is a "
            "dangling link)\n");
  EXPECT_EQ(result.status, 1);
}

// The hidden name the copy is assembled under would pass the file-name limit.
TEST_F(E2eAdopt, CopiesACommandWhoseNameIsNearTheLengthLimit) {
#ifdef _WIN32
  GTEST_SKIP() << "a name near 255 characters makes the full path longer than MAX_PATH (260), "
                  "which Windows refuses without long-path support";
#endif
  const std::string name = std::string(240, 'c') + ".md";
  home.write("work/commands/" + name, "long");

  RunResult result = adopt({at("work/commands/" + name)});

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(home.read(".agents/commands/" + name), "long");
}

TEST_F(E2eAdopt, NameWithAControlCharacterIsShownEscapedAndLinkedUnderItsOwnName) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows file names cannot hold control characters";
#endif
  const std::string name = "x\x1by";
  home.make_dir(".claude/skills/" + name);

  RunResult result = adopt({at(".claude/skills/" + name)});

  EXPECT_EQ(result.out,
            "adopted x\\x1by from claude into the Commons (skills)\n"
            "  " +
                at(".claude/skills/") +
                "x\\x1by → ../../.agents/skills/x\\x1by\n"
                "  linked into pi (.pi/agent/skills)\n");
  EXPECT_TRUE(
      holds_link_text(home.path(".pi/agent/skills/" + name), "../../../.agents/skills/" + name));
}

}  // namespace
}  // namespace kelvaro
