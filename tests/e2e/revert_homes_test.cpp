#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

class E2eRevertHomes : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override { home.make_dir(".agents/skills"); }
  void disable(const std::string& agent) {
    home.write(".config/kelvaro/kelvaro.toml", "[targets]\n" + agent + " = false\n");
  }
  RunResult run(const std::vector<std::string>& args) { return run_kelvaro(args, home.env()); }
};

#ifndef _WIN32
// A write cut off by a file-size limit (or a full disk, or a crash) never shortens the user's
// own text: the file holds the old text or the new one.
TEST_F(E2eRevertHomes, ImportLineRemovalNeverCutsTheFileShort) {
  home.write(".agents/AGENTS.md", "# shared\n");
  home.make_dir(".claude");
  ASSERT_EQ(run({"sync"}).status, 0);
  std::string text = home.read(".claude/CLAUDE.md") + "# My notes\n";
  for (int i = 0; i < 400; ++i) {
    text += "Always answer in French.\n";
  }
  home.write(".claude/CLAUDE.md", text);
  disable("claude");

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  RunResult result = run({"revert", "claude"});
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);

  EXPECT_NE(result.status, 0);
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), text);
}
#endif

// claude's folder kept in a dotfiles Commons, outside its family folders: planned like any
// other from the first run on, by every command.
TEST_F(E2eRevertHomes, AgentFolderInsideTheCommonsIsPlannedByEveryCommand) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/foo/SKILL.md", "x");
  home.make_dir(".agents/claude");
  home.make_link(".claude", ".agents/claude", true);
  ASSERT_EQ(run({"sync"}).status, 0);
  home.make_dir(".agents/skills/bar");
  fs::remove_all(home.path(".agents/skills/foo"));

  RunResult status = run({"status"});
  RunResult synced = run({"sync"});
  disable("claude");
  RunResult reverted = run({"revert", "claude"});

  EXPECT_NE(status.out.find("dangling"), std::string::npos) << status.out;
  EXPECT_EQ(synced.out,
            "claude (.claude/skills)\n  missing   bar\n  dangling  foo\n\n2 changes made.\n");
  EXPECT_EQ(reverted.out, "removed .claude/skills/bar\n\n1 removal made.\n");
  EXPECT_TRUE(tree_listing(home.path(".agents/claude")).size() == 1);  // the empty skills/
}

// A folder that cannot be listed is no folder without links of ours.
TEST_F(E2eRevertHomes, FolderThatCannotBeListedIsAnError) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".gemini");
  home.make_link(".gemini/commands", "commands", true);  // a loop: listing it fails
  disable("gemini");

  RunResult result = run({"revert", "gemini"});

  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.starts_with("error: cannot read " +
                                     path_to_utf8(home.path(".gemini/commands")) + ": "))
      << result.err;
  EXPECT_EQ(result.status, 1);
}

}  // namespace
}  // namespace kelvaro
