#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// Homes shaped by dotfile managers and git working copies: the same file or folder under two
// names must never be taken for two copies.
class E2eAdoptHomes : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override {
    home.make_dir(".agents");
    home.make_dir(".pi/agent/skills");
  }
  RunResult adopt(const std::string& path, const fs::path& cwd = {}) {
    return run_kelvaro({"adopt", path}, home.env(), cwd);
  }
  std::string at(const std::string& rel) {
    return path_to_utf8(home.path(path_from_utf8(rel).make_preferred()));
  }
  std::vector<std::string> files() { return tree_listing(home.root(), home.path(".local")); }
};

TEST_F(E2eAdoptHomes, PathThatIsTheCommonsEntryThroughALinkedFamilyFolderIsNeverRemoved) {
  KELVARO_REQUIRE_LINKS();
  struct Case {
    std::string folder;  // where the family's entries really are
    std::string family;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"repo/skills", "skills", "new-skill"},     // a git working copy: Source
      {".claude/skills", "skills", "foo"},        // an agent's folder: absorb
      {".claude/commands", "commands", "r.md"},   // absorb of a file
      {".claude/agents", "agents", "helper.md"},  // absorb of a file
      {"notes/skills", "skills", "plain"},        // neither: copy
  };
  home.make_dir("repo/.git");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const std::string entry = c.folder + "/" + c.name;
    if (c.family == "skills") {
      home.write(entry + "/SKILL.md", "only copy");
    } else {
      home.write(entry, "only copy");
    }
    fs::remove(home.path(".agents/" + c.family));
    home.make_link(".agents/" + c.family, "../" + c.folder, true);
    const std::vector<std::string> before = files();

    RunResult result = adopt(at(entry));

    EXPECT_EQ(result, (RunResult{.out = "",
                                 .err = "error: " + at(entry) +
                                        " is already in the Commons — nothing to adopt\n",
                                 .status = 1}));
    EXPECT_EQ(files(), before);
    fs::remove(home.path(".agents/" + c.family));
  }
}

TEST_F(E2eAdoptHomes, PathThatIsALinkToTheCommonsEntryInAGitWorkingCopyIsNeverRemoved) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/tool/SKILL.md", "only copy");
  home.make_dir("repo/.git");
  home.make_link("repo/skills/tool", "../../.agents/skills/tool", true);
  const std::vector<std::string> before = files();

  RunResult result = adopt(at("repo/skills/tool"));

  EXPECT_EQ(result, (RunResult{.out = "",
                               .err = "error: " + at("repo/skills/tool") +
                                      " is already in the Commons — nothing to adopt\n",
                               .status = 1}));
  EXPECT_EQ(files(), before);
  EXPECT_EQ(home.read(".agents/skills/tool/SKILL.md"), "only copy");
}

TEST_F(E2eAdoptHomes, AgentFolderReachedThroughADotfileLinkIsAbsorbedNotCopied) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".agents/skills");
  home.write("dots/claude/skills/foo/SKILL.md", "foo");
  home.write("dots/claude/skills/bar/SKILL.md", "bar");
  home.make_link(".claude", "dots/claude", true);

  // Typed from inside the linked folder (the system gives the real path), and as the real path.
  RunResult relative = adopt("foo", home.path(".claude/skills"));
  RunResult real = adopt(at("dots/claude/skills/bar"));

  EXPECT_EQ(relative.status, 0) << relative.err;
  EXPECT_EQ(real.status, 0) << real.err;
  EXPECT_TRUE(relative.out.starts_with("adopted foo from claude into the Commons (skills)\n"))
      << relative.out;
  EXPECT_TRUE(real.out.starts_with("adopted bar from claude into the Commons (skills)\n"))
      << real.out;
  EXPECT_TRUE(is_link(home.path("dots/claude/skills/foo")));
  EXPECT_TRUE(is_link(home.path("dots/claude/skills/bar")));
  EXPECT_EQ(home.read(".claude/skills/foo/SKILL.md"), "foo");
  EXPECT_EQ(home.read(".agents/skills/bar/SKILL.md"), "bar");
  EXPECT_EQ(run_kelvaro({"status"}, home.env()).status, 0);
}

TEST_F(E2eAdoptHomes, EveryMechanicRefusesAnEntryOfTheWrongKind) {
  home.make_dir(".agents/skills");
  home.write(".claude/skills/README.md", "text");
  home.make_dir(".claude/commands/folder");
  home.write(".claude/commands/notes.txt", "text");
  home.make_dir("repo/.git");
  home.write("repo/skills/README.md", "text");
  home.write("loose/agents/helper.txt", "text");
  const std::vector<std::string> before = files();
  struct Case {
    std::string path;
    std::string error;
  };
  const std::vector<Case> cases = {
      {at(".claude/skills/README.md"),
       at(".claude/skills/README.md") + ": skills entries are directories — this is a file"},
      {at(".claude/commands/folder"),
       at(".claude/commands/folder") +
           ": commands entries are single .md files — this is a directory"},
      {at(".claude/commands/notes.txt"),
       at(".claude/commands/notes.txt") +
           ": commands entries are single .md files — this name does not end in .md"},
      {at("repo/skills/README.md"),
       at("repo/skills/README.md") + ": skills entries are directories — this is a file"},
      {at("loose/agents/helper.txt"),
       at("loose/agents/helper.txt") +
           ": agents entries are single .md files — this name does not end in .md"},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(adopt(c.path),
              (RunResult{.out = "", .err = "error: " + c.error + "\n", .status = 1}));
  }
  EXPECT_EQ(files(), before);
}

}  // namespace
}  // namespace kelvaro
