#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lock.hpp"
#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

class E2eSync : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override {
    home.write(".agents/skills/x/SKILL.md", "skill x");
    home.write(".agents/commands/review.md", "review");
    home.write(".agents/agents/helper.md", "helper");
    home.make_dir(".claude");
  }
  RunResult sync(const std::vector<std::string>& args = {"sync"}) {
    return run_kelvaro(args, home.env());
  }
  RunResult dry_run() { return sync({"sync", "--dry-run"}); }
};

TEST_F(E2eSync, FirstSyncCreatesRelativeLinksThenIsUpToDate) {
  KELVARO_REQUIRE_LINKS();
  RunResult first = sync();

  EXPECT_EQ(first, (RunResult{.out = "claude (.claude/skills)\n"
                                     "  missing   x\n"
                                     "claude (.claude/commands)\n"
                                     "  missing   review\n"
                                     "claude (.claude/agents)\n"
                                     "  missing   helper\n"
                                     "\n"
                                     "3 changes made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/x"), "../../.agents/skills/x"));
  EXPECT_TRUE(
      holds_link_text(home.path(".claude/commands/review.md"), "../../.agents/commands/review.md"));
  EXPECT_TRUE(
      holds_link_text(home.path(".claude/agents/helper.md"), "../../.agents/agents/helper.md"));
  EXPECT_EQ(home.read(".claude/skills/x/SKILL.md"), "skill x");

  EXPECT_EQ(sync(), up_to_date);
  EXPECT_EQ(sync({}), up_to_date);
}

TEST_F(E2eSync, RepairsWhatIsOursAndLeavesTheRestAlone) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/twin/SKILL.md", "same");
  home.write(".claude/skills/twin/SKILL.md", "same");
  home.make_link(".claude/skills/x", home.commons() / "skills/x", true);
  home.make_link(".claude/skills/old", "../../.agents/skills/old", true);
  home.make_dir("elsewhere");
  home.make_link(".claude/skills/mine", "../../elsewhere", true);
  home.make_link(".codex/skills/x", "../../.agents/skills/x", true);
  home.make_link(".codex/skills/own", "../../elsewhere", true);
  home.make_link(".claude/commands/review.md", "../../.agents/commands/review.md");
  home.make_link(".claude/agents/helper.md", "../../.agents/agents/helper.md");

  RunResult first = sync();

  // The one long word widens its own group's column; the other groups keep theirs.
  EXPECT_EQ(first.out,
            "claude (.claude/skills)\n"
            "  foreign           mine — not ours — left alone\n"
            "  dangling          old\n"
            "  variant-identical twin — identical to the Commons — re-link it with `kelvaro "
            "adopt " +
                (home.path(".claude/skills") / "twin").string() +
                "`\n"
                "  stale             x\n"
                "codex (.codex/skills)\n"
                "  duplicate x\n"
                "codex (.codex/prompts)\n"
                "  missing   review\n"
                "\n"
                "4 changes made.\n");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.status, 0);
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/x"), "../../.agents/skills/x"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(home.path(".claude/skills/old"))));
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/mine"), "../../elsewhere"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(home.path(".codex/skills/x"))));
  EXPECT_TRUE(holds_link_text(home.path(".codex/skills/own"), "../../elsewhere"));
  EXPECT_FALSE(fs::is_symlink(home.path(".claude/skills/twin")));
  EXPECT_EQ(home.read(".agents/skills/x/SKILL.md"), "skill x");

  RunResult second = sync();

  EXPECT_EQ(second.out,
            "claude (.claude/skills)\n"
            "  foreign           mine — not ours — left alone\n"
            "  variant-identical twin — identical to the Commons — re-link it with `kelvaro "
            "adopt " +
                (home.path(".claude/skills") / "twin").string() +
                "`\n"
                "Everything is up to date.\n");
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(home.read(".claude/skills/twin/SKILL.md"), "same");
}

TEST_F(E2eSync, DryRunReportsButTouchesNothing) {
  KELVARO_REQUIRE_LINKS();
  home.make_link(".claude/skills/x", home.commons() / "skills/x", true);
  home.make_link(".claude/skills/old", "../../.agents/skills/old", true);
  home.make_link(".codex/skills/x", "../../.agents/skills/x", true);
  std::vector<std::string> before = tree_listing(home.root());

  RunResult dry = dry_run();

  EXPECT_EQ(dry, (RunResult{.out = "dry run — no changes will be made\n"
                                   "\n"
                                   "claude (.claude/skills)\n"
                                   "  dangling  old\n"
                                   "  stale     x\n"
                                   "codex (.codex/skills)\n"
                                   "  duplicate x\n"
                                   "claude (.claude/commands)\n"
                                   "  missing   review\n"
                                   "codex (.codex/prompts)\n"
                                   "  missing   review\n"
                                   "claude (.claude/agents)\n"
                                   "  missing   helper\n"
                                   "\n"
                                   "6 changes would be made.\n",
                            .err = "",
                            .status = 0}));
  EXPECT_EQ(tree_listing(home.root()), before);

  ASSERT_EQ(sync().status, 0);
  EXPECT_EQ(dry_run(),
            (RunResult{.out = "dry run — no changes will be made\n\nEverything is up to date.\n",
                       .err = "",
                       .status = 0}));
}

TEST_F(E2eSync, FailingFixIsReportedAndTheRunGoesOn) {
  KELVARO_REQUIRE_LINKS();
  home.write(".claude/skills", "a file where the folder belongs");

  RunResult result = sync();

  EXPECT_EQ(result.out,
            "claude (.claude/skills)\n"
            "claude (.claude/commands)\n"
            "  missing   review\n"
            "claude (.claude/agents)\n"
            "  missing   helper\n"
            "\n"
            "2 changes made.\n");
  EXPECT_EQ(result.err, "error: cannot fix " + display(fs::path(".claude") / "skills" / "x") +
                            ": " + std::make_error_code(std::errc::not_a_directory).message() +
                            "\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(home.read(".claude/skills"), "a file where the folder belongs");
  EXPECT_TRUE(
      holds_link_text(home.path(".claude/commands/review.md"), "../../.agents/commands/review.md"));
}

TEST_F(E2eSync, OnlyFailedFixesMeanNoChanges) {
  fs::remove_all(home.commons() / "commands");
  fs::remove_all(home.commons() / "agents");
  home.write(".claude/skills", "a file where the folder belongs");

  RunResult result = sync();

  EXPECT_EQ(result.out,
            "claude (.claude/skills)\n"
            "\n"
            "No changes were made — see the errors above.\n");
  EXPECT_EQ(result.status, 1);
}

TEST_F(E2eSync, ScanWarningsComeFirstAndKeepTheStatus) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".agents/skills/.hidden");
  home.write(".agents/commands/notes.txt", "x");
  home.write(".agents/agents/.a.md", "x");
  ASSERT_EQ(sync().status, 0);

  RunResult result = sync();

  EXPECT_EQ(result, (RunResult{.out = "Everything is up to date.\n",
                               .err = "warning: Commons skills/.hidden: dot-prefixed names are "
                                      "invisible to agents and are never synced\n"
                                      "warning: Commons commands/notes.txt: not a markdown file, "
                                      "skipped\n"
                                      "warning: Commons agents/.a.md: dot-prefixed names are "
                                      "invisible to agents and are never synced\n",
                               .status = 0}));
}

TEST_F(E2eSync, MissingCommonsIsAnErrorEvenInADryRun) {
  fs::remove_all(home.commons());
  std::string error =
      "error: no Commons at " + home.commons().string() + " — run `kelvaro init` to create one\n";

  EXPECT_EQ(sync(), (RunResult{.out = "", .err = error, .status = 1}));
  EXPECT_EQ(dry_run(), (RunResult{.out = "", .err = error, .status = 1}));
  EXPECT_EQ(sync({}), (RunResult{.out = "", .err = error, .status = 1}));
  EXPECT_FALSE(fs::exists(home.path(".claude/skills")));
}

TEST_F(E2eSync, RelativeCommonsIsAnchoredAtTheCurrentFolder) {
  KELVARO_REQUIRE_LINKS();
  fs::rename(home.commons(), home.root() / "shared");
  EnvSnapshot env = home.env();
  env["KELVARO_HOME"] = "shared";

  RunResult first = run_kelvaro({"sync"}, env, home.root());
  RunResult second = run_kelvaro({"sync"}, env, home.root());

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out.substr(first.out.size() - 16), "3 changes made.\n");
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/x"), "../../../shared/skills/x"));
  EXPECT_EQ(home.read(".claude/skills/x/SKILL.md"), "skill x");
  EXPECT_EQ(home.read(".claude/commands/review.md"), "review");
  EXPECT_EQ(second, up_to_date);
}

TEST_F(E2eSync, RootThroughALinkAndDotDotIsTheFolderTheSystemReaches) {
  KELVARO_REQUIRE_LINKS();
  const fs::path real = home.root() / "real/home";
  fs::create_directories(real.parent_path());
  fs::rename(home.home(), real);
  home.write(real / ".agents/mcp.json", R"({"mcpServers": {"fs": {"command": "true"}}})");
  home.make_link(home.root() / "link", "real/home", true);
  // The home that dropping ".." by text names, which the system never reaches here.
  home.write(".agents/mcp.json", R"({"mcpServers": {"other": {"command": "false"}}})");
  home.make_dir(".agents/skills/other");
  home.make_dir(".claude");
  const std::vector<std::string> other = tree_listing(home.home());
  const EnvSnapshot env = rooted_env(home, path_to_utf8(home.root() / "link/../home"));

  RunResult first = run_kelvaro({"sync"}, env);

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("  missing   fs → claude — not in this agent's config yet\n"),
            std::string::npos)
      << first.out;
  EXPECT_TRUE(holds_link_text(real / ".claude/skills/x", "../../.agents/skills/x"));
  EXPECT_EQ(home.read(real / ".claude/skills/x/SKILL.md"), "skill x");
  EXPECT_NE(home.read(real / ".claude.json").find("\"fs\""), std::string::npos);
  EXPECT_EQ(tree_listing(home.home()), other);
  EXPECT_EQ(run_kelvaro({"sync"}, env), up_to_date);
  EXPECT_EQ(run_kelvaro({"status"}, env).status, 0);
  EXPECT_EQ(run_kelvaro({"mcp", "list"}, env),
            (RunResult{.out = "fs  (Commons)\n  managed    claude\n", .err = "", .status = 0}));
}

TEST_F(E2eSync, HeldLockStopsARealRunButNotADryRun) {
  auto held = acquire_lock(home.state_dir(), LockTimeout(0));
  ASSERT_TRUE(held);
  EnvSnapshot env = home.env();
  env["KELVARO_LOCK_TIMEOUT_MS"] = "60";

  RunResult real = run_kelvaro({"sync"}, env);
  RunResult dry = run_kelvaro({"sync", "--dry-run"}, env);

  EXPECT_EQ(real, (RunResult{.out = "",
                             .err = "error: another kelvaro process is running — try again when "
                                    "it finishes\n",
                             .status = 1}));
  EXPECT_FALSE(fs::exists(home.path(".claude/skills")));
  EXPECT_EQ(dry.status, 0);
  EXPECT_TRUE(dry.out.ends_with("\n3 changes would be made.\n")) << dry.out;
}

// Enough report lines to fill an output buffer, so that they are written during the run.
void add_many_skills(const TempHome& home) {
  for (int i = 0; i < 300; ++i) {
    home.make_dir(".agents/skills/s" + std::to_string(i));
  }
}

TEST_F(E2eSync, ReaderThatGoesAwayDoesNotStopTheRun) {
#ifdef _WIN32
  GTEST_SKIP() << "standard streams are set up with POSIX descriptors";
#endif
  add_many_skills(home);

  RunResult broken =
      run_kelvaro_with({"sync"}, home.env(), OutputEnd::broken_pipe, OutputEnd::broken_pipe);

  EXPECT_EQ(broken.status, 0);
  EXPECT_EQ(sync(), up_to_date);
}

TEST_F(E2eSync, OutputThatCannotBeWrittenIsAnError) {
#ifdef _WIN32
  GTEST_SKIP() << "standard streams are set up with POSIX descriptors";
#endif
  if (!fs::exists("/dev/full")) {
    GTEST_SKIP() << "this system has no /dev/full, a device on which every write fails";
  }
  const std::string error = "error: cannot write standard output: " +
                            std::make_error_code(std::errc::no_space_on_device).message() + "\n";
  const std::vector<std::vector<std::string>> commands = {
      {"status", "--json"}, {"sync", "--dry-run"}, {"sync"}, {"sync"}, {"--help"}};
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult result =
        run_kelvaro_with(args, home.env(), OutputEnd::full_device, OutputEnd::captured);
    EXPECT_EQ(result, (RunResult{.out = "", .err = error, .status = 1}));
  }
  // The report was lost, the changes were not.
  EXPECT_TRUE(exists_here(home.path(".claude/skills/x")));
}

TEST_F(E2eSync, ClosedStandardStreamsNeverReachTheLockFile) {
#ifdef _WIN32
  GTEST_SKIP() << "standard streams are set up with POSIX descriptors";
#endif
  add_many_skills(home);
  home.make_dir(".agents/skills/.hidden");

  RunResult closed = run_kelvaro_with({"sync"}, home.env(), OutputEnd::closed, OutputEnd::closed);

  EXPECT_EQ(closed.status, 0);
  EXPECT_EQ(home.read(home.state_dir() / "lock"), "");
}

TEST_F(E2eSync, ControlCharactersInNamesArePrintedAsEscapes) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows file names cannot hold control characters";
#endif
  const std::string clears_screen = "x\x1b[2J";
  home.make_dir(".agents/skills/" + clears_screen);
  home.make_dir(
      ".agents/skills/.\x07"
      "bell");

  RunResult first = sync();

  EXPECT_NE(first.out.find("  missing   x\\x1b[2J\n"), std::string::npos) << first.out;
  EXPECT_EQ(first.err,
            "warning: Commons skills/.\\x07bell: dot-prefixed names are invisible to agents and "
            "are never synced\n");
  EXPECT_EQ(first.out.find('\x1b'), std::string::npos);
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/" + clears_screen),
                              "../../.agents/skills/" + clears_screen));
}

TEST_F(E2eSync, TwoAgentsSharingALinkFolderConvergeInOneRun) {
  KELVARO_REQUIRE_LINKS();
  home.write(home.config_file(),
             "[custom.one]\nroot = \".shared\"\nskills = \".shared/skills\"\n\n"
             "[custom.two]\nroot = \".shared\"\nskills = \".shared/skills\"\n");
  home.make_dir(".shared");
  home.make_link(".shared/skills/gone", "../../.agents/skills/gone", true);

  RunResult first = sync();

  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.status, 0);
  EXPECT_TRUE(holds_link_text(home.path(".shared/skills/x"), "../../.agents/skills/x"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(home.path(".shared/skills/gone"))));
  EXPECT_EQ(sync(), up_to_date);
}

TEST_F(E2eSync, FailedFixNamesWhatIsInTheWay) {
  KELVARO_REQUIRE_LINKS();
  fs::remove_all(home.commons() / "commands");
  fs::remove_all(home.commons() / "agents");
  home.make_link(".claude/skills", "../nowhere", true);

  RunResult result = sync();

  EXPECT_EQ(result.err,
            "error: cannot fix .claude/skills/x: File exists (.claude/skills is a dangling "
            "link)\n");
  EXPECT_EQ(result.status, 1);
}

TEST_F(E2eSync, LinkTextsStartWhereTheLinkPhysicallyLives) {
  KELVARO_REQUIRE_LINKS();
  // GNU stow's layout: the agent folder is a link into a dotfiles folder at another depth.
  fs::remove_all(home.path(".claude"));
  home.make_dir("dotfiles/claude/.claude");
  home.make_link(".claude", "dotfiles/claude/.claude", true);
  // An older run's link, computed from the name and so pointing nowhere.
  home.make_link(".claude/commands/review.md", "../../.agents/commands/review.md");

  RunResult first = sync();

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("  stale     review\n"), std::string::npos) << first.out;
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/x"), "../../../../.agents/skills/x"));
  EXPECT_EQ(home.read(".claude/skills/x/SKILL.md"), "skill x");
  EXPECT_EQ(home.read(".claude/commands/review.md"), "review");
  EXPECT_EQ(sync(), up_to_date);
}

TEST_F(E2eSync, CommonsThatIsALinkIsStillReachedThroughIt) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir("dotfiles");
  fs::rename(home.commons(), home.path("dotfiles/agents"));
  home.make_link(".agents", "dotfiles/agents", true);

  RunResult first = sync();

  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/x"), "../../.agents/skills/x"));
  EXPECT_EQ(sync(), up_to_date);
}

TEST_F(E2eSync, AgentFolderInsideTheCommonsIsSkippedWithAWarning) {
  KELVARO_REQUIRE_LINKS();
  home.write(home.config_file(),
             "[custom.tool]\nroot = \".agents\"\nskills = \".agents/skills\"\n");
  home.make_link(".agents/skills/rev", "x", true);
  const std::vector<std::string> before = tree_listing(home.commons());

  RunResult first = sync();

  EXPECT_EQ(first.err, "warning: tool (.agents/skills) lies in the Commons — skipped\n");
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(tree_listing(home.commons()), before);
}

TEST_F(E2eSync, FamilyFolderThatCannotBeListedLosesNoLinks) {
  KELVARO_REQUIRE_LINKS();
  ASSERT_EQ(sync().status, 0);
  fs::rename(home.commons() / "skills", home.commons() / "skills-real");
  home.make_link(".agents/skills", "skills", true);  // a loop: listing it fails

  RunResult looped = sync();

  EXPECT_EQ(looped.err,
            "warning: cannot read " + (home.commons() / "skills").string() + ": " +
                std::make_error_code(std::errc::too_many_symbolic_link_levels).message() + "\n");
  EXPECT_EQ(looped.out, "Everything is up to date.\n");
  EXPECT_TRUE(holds_link_text(home.path(".claude/skills/x"), "../../.agents/skills/x"));
}

// Names beyond ASCII cross the system boundary four times: the home folder in the
// environment, the Commons entry read from the folder, the generated file written back, and the
// name printed. Generated command files need no links, so this runs wherever the program does.
TEST(E2eSyncNames, NonAsciiHomeAndEntryNamesRoundTrip) {
  TempHome home;
  const fs::path cafe = home.make_dir("caf\xC3\xA9");
  home.make_dir(cafe / ".gemini");
  home.write(cafe / ".agents" / "commands" / path_from_utf8("\xC3\xA9.md"),
             "---\ndescription: Say hi\n---\nHello $ARGUMENTS\n");
  EnvSnapshot env = home.env();
  env["KELVARO_TARGET_ROOT"] = path_to_utf8(cafe);
  env.erase("HOME");

  RunResult first = run_kelvaro({"sync"}, env);
  RunResult unknown = run_kelvaro({"\xC3\xA9"}, env);

  EXPECT_EQ(first, (RunResult{.out = "rendered commands\n"
                                     "  missing    \xC3\xA9 \xE2\x86\x92 gemini \xE2\x80\x94 "
                                     "not rendered yet\n"
                                     "\n"
                                     "1 change made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_TRUE(
      kelvaro::is_regular_file(cafe / ".gemini" / "commands" / path_from_utf8("\xC3\xA9.toml")));
  EXPECT_EQ(run_kelvaro({"sync"}, env), up_to_date);
  const std::string unrecognized = "error: unrecognized subcommand '\xC3\xA9'\n";
  EXPECT_EQ(unknown.err.substr(0, unrecognized.size()), unrecognized);
}

}  // namespace
}  // namespace kelvaro
