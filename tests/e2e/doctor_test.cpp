#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

class E2eDoctor : public ::testing::Test {
 protected:
  TempHome home;

  RunResult doctor() { return run_kelvaro({"doctor"}, home.env()); }
  // The program joins names with the system's separator.
  std::string at(const std::string& rel) {
    return path_to_utf8(home.path(path_from_utf8(rel).make_preferred()));
  }
  std::string locations() {
    return "Commons " + at(".agents") + "\nHome    " + home.home().string() + "\nConfig  " +
           at(".config/kelvaro") + "\nState   " + at(".local/state/kelvaro") + "\n\n";
  }
};

const std::string claude_lines =
    "  claude     .claude\n"
    "               skills fan-out → .claude/skills\n"
    "               instructions import-line → .claude/CLAUDE.md\n"
    "               mcp key-merge → .claude.json\n"
    "               commands fan-out → .claude/commands\n"
    "               agents fan-out → .claude/agents\n"
    "               hooks key-merge → .claude/settings.json\n";

TEST_F(E2eDoctor, WithoutACommonsTheOtherBlocksStillFollow) {
  home.make_dir(".ostrevan");
  home.write(".config/ostrevan/ostrevan.toml", "");

  RunResult result = doctor();

  EXPECT_EQ(
      result,
      (RunResult{.out = locations() + "Detected agents (0 of 12):\n"
                                      "  none — no agent config root found\n"
                                      "\n"
                                      "12 known agents are not installed and were skipped.\n",
                 .err = "warning: " + at(".ostrevan") +
                        " is no longer read and holds no ostrevan.toml — the "
                        "directory can be deleted\n"
                        "warning: " +
                        at(".config/ostrevan") + " is no longer read — move ostrevan.toml to " +
                        at(".config/kelvaro") +
                        " as kelvaro.toml and delete the directory\n"
                        "error: no Commons at " +
                        at(".agents") + " — run `kelvaro init` to create one\n",
                 .status = 1}));
}

TEST_F(E2eDoctor, CommonsBlockCountsEntriesSourcedLinksAndOtherTools) {
  KELVARO_REQUIRE_LINKS();
  for (const char* skill : {"a", "b", "c"}) {
    home.write(fmt::format(".agents/skills/{}/SKILL.md", skill), "s");
  }
  home.make_link(".agents/skills/gone", at("nowhere"), true);
  home.make_link(".agents/commands/tool.md", at("code/tool.md"));
  home.write("code/tool.md", "t");
  home.write(".agents/hooks/Stop.toml", "");
  home.write(".agents/hooks/notes.md", "");
  home.write(".agents/AGENTS.md", "");
  home.make_dir(".agents/tasks");
  home.make_dir(".agents/.git");
  home.write(".agents/todo.txt", "");
  home.write(".agents/subagents/old.md", "");
  home.make_dir(".claude");

  RunResult result = doctor();

  EXPECT_EQ(result.out, locations() +
                            "Commons contents:\n"
                            "  skills        3 (1 sourced)\n"
                            "  commands      1 (1 sourced)\n"
                            "  agents        0\n"
                            "  hooks         1\n"
                            "  AGENTS.md     present\n"
                            "  mcp.json      absent\n"
                            "\n"
                            "Sourced entries:\n"
                            "  skills/gone ← " +
                            at("nowhere") +
                            " (source missing)\n"
                            "  commands/tool.md ← " +
                            at("code/tool.md") +
                            "\n"
                            "\n"
                            ".agents Protocol surfaces:\n"
                            "  tasks\n"
                            "\n"
                            "Other tools in the Commons:\n"
                            "  .git\n"
                            "  subagents\n"
                            "  todo.txt\n"
                            "\n"
                            "Detected agents (1 of 12):\n" +
                            claude_lines +
                            "\n"
                            "11 known agents are not installed and were skipped.\n");
  EXPECT_EQ(result.err,
            "warning: Commons skills/gone: symlink target is missing, skipped\n"
            "warning: Commons hooks/notes.md: not a `<Event>.toml` file, skipped\n"
            "warning: " +
                at(".agents/subagents") +
                " is no longer a family — the agents family reads agents/; rename the "
                "directory\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(E2eDoctor, FileNamedOnlyDotTomlIsNeitherCountedNorReadAsAHook) {
  home.write(".agents/hooks/.toml", "[[hook]]\ncommand = \"nameless\"\n");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"ding\"\n");

  RunResult result = doctor();

  EXPECT_NE(result.out.find("  hooks         1\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.err, "warning: Commons hooks/.toml: not a `<Event>.toml` file, skipped\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(E2eDoctor, KelvaroHomeWarnsOnlyWhenNativeReadersMissTheCommons) {
  home.make_dir("elsewhere");
  home.make_dir(".agents");
  home.make_dir(".claude");
  const std::string warning = "warning: KELVARO_HOME points the Commons at " + at("elsewhere") +
                              ", but codex and cursor read " + at(".agents") +
                              " directly and will not see it\n";

  home.set_env("KELVARO_HOME", at(".agents/."));
  EXPECT_EQ(doctor().err, "");
  home.set_env("KELVARO_HOME", at("elsewhere"));
  EXPECT_EQ(doctor().err, "");
  home.make_dir(".codex");
  home.make_dir(".cursor");
  EXPECT_EQ(doctor().err, warning);
}

TEST_F(E2eDoctor, KelvaroHomeThroughALinkAndDotDotIsTheDefaultCommons) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".agents");
  home.make_dir(".codex");
  home.make_dir("deep/er");
  home.make_link("lnk", "deep/er", true);

  // The system reaches <home>/.agents; dropping ".." by text says <root>/.agents.
  home.set_env("KELVARO_HOME", at("lnk/../../.agents"));
  EXPECT_EQ(doctor().err, "");
}

TEST_F(E2eDoctor, KnownCountTakesDisabledCustomAgentsAndListsCustomSurfaces) {
  home.make_dir(".agents");
  home.make_dir(".claude");
  home.make_dir(".mine");
  home.make_dir(".off");
  home.write(".config/kelvaro/kelvaro.toml",
             "[targets]\ncodex = false\noff = false\n"
             "[custom.mine]\nroot = \".mine\"\nskills = \".mine/skills\"\nagents = \".mine/a\"\n"
             "[custom.off]\nroot = \".off\"\n");

  RunResult result = doctor();

  EXPECT_EQ(result.out, locations() +
                            "Commons contents:\n"
                            "  skills        0\n"
                            "  commands      0\n"
                            "  agents        0\n"
                            "  hooks         absent\n"
                            "  AGENTS.md     absent\n"
                            "  mcp.json      absent\n"
                            "\n"
                            "Detected agents (2 of 13):\n" +
                            claude_lines +
                            "  mine       .mine\n"
                            "               skills fan-out → .mine/skills\n"
                            "               agents fan-out → .mine/a\n"
                            "\n"
                            "11 known agents are not installed and were skipped.\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(E2eDoctor, ProbeLeavesNothingBehindAndALeftoverMakesItFail) {
  home.make_dir(".agents");
  home.make_dir(".claude");
  home.make_dir(".pi");
  const std::vector<std::string> before = tree_listing(home.root());

  RunResult clean = run_in_process({"doctor"}, home.env());
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(tree_listing(home.root()), before);

  home.write(fmt::format(".pi/.kelvaro-probe-{}", ::getpid()), "mine");
  RunResult blocked = run_in_process({"doctor"}, home.env());

  EXPECT_EQ(blocked.err, "error: pi config root is not writable: " + at(".pi") + "\n");
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(home.read(fmt::format(".pi/.kelvaro-probe-{}", ::getpid())), "mine");
}

TEST_F(E2eDoctor, ImportLineInAFileWhoseAgentIgnoresItIsReported) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".agents");
  home.write(".codex/AGENTS.md", "Rules.\r\n  @ ~/.agents/AGENTS.md \r\n");
  home.write(".claude/CLAUDE.md", "@~/.agents/AGENTS.md\n");
  home.write("mine.md", "@~/.agents/AGENTS.md\n");
  home.make_link(".pi/agent/AGENTS.md", at("mine.md"));

  RunResult result = doctor();

  EXPECT_EQ(result.err, "warning: " + at(".codex/AGENTS.md") +
                            " holds an `@` import of the Commons, but codex does not expand import "
                            "lines — it is silently ignored; the symlink → .codex/AGENTS.md route "
                            "is what reaches this agent\n");
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace kelvaro
