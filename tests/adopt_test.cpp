#include "adopt.hpp"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// A folder on another file system than the test home, so that a rename between them fails;
// empty when the machine has none.
fs::path other_file_system([[maybe_unused]] const fs::path& home) {
#ifdef _WIN32
  return {};  // no second file system to count on
#else
  struct stat a {};
  struct stat b {};
  const fs::path shm = "/dev/shm";
  if (::stat(shm.c_str(), &a) != 0 || ::stat(home.c_str(), &b) != 0 || a.st_dev == b.st_dev) {
    return {};
  }
  return shm;
#endif
}

class MovePathAcrossFileSystems : public ::testing::Test {
 protected:
  TempHome home;
  fs::path source;

  void SetUp() override {
    fs::path shm = other_file_system(home.root());
    if (shm.empty()) {
      GTEST_SKIP() << "no second file system";
    }
    source = shm / ("kelvaro-move-" + home.root().filename().string());
    fs::create_directories(source / "sub");
    home.write(source / "SKILL.md", "skill");
    home.write(source / "sub/run.sh", "run");
  }
  void TearDown() override {
    if (!source.empty()) {
      fs::remove_all(source);
    }
  }
};

TEST_F(MovePathAcrossFileSystems, CopiesWholeThenRemovesTheOriginal) {
  fs::path to = home.make_dir(".agents/skills") / "foo";

  auto moved = move_path(source, to);

  ASSERT_TRUE(moved) << moved.error().message();
  // The original went aside in one rename, whole, for the caller to remove once its link stands.
  ASSERT_TRUE(moved->has_value());
  EXPECT_EQ((*moved)->parent_path(), source.parent_path());
  EXPECT_EQ(tree_listing(**moved),
            (std::vector<std::string>{"SKILL.md = skill", "sub/", "sub/run.sh = run"}));
  fs::remove_all(**moved);
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(tree_listing(to),
            (std::vector<std::string>{"SKILL.md = skill", "sub/", "sub/run.sh = run"}));
  EXPECT_EQ(tree_listing(to.parent_path()).size(), 4U);
}

TEST_F(MovePathAcrossFileSystems, FailingCopyKeepsTheOriginalAndLeavesNothingBehind) {
  fs::create_symlink(source / "gone", source / "sub/z-broken");
  std::vector<std::string> original = tree_listing(source);
  fs::path dir = home.make_dir(".agents/skills");

  auto moved = move_path(source, dir / "foo");

  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error(), std::errc::no_such_file_or_directory);
  EXPECT_EQ(tree_listing(source), original);
  EXPECT_TRUE(tree_listing(dir).empty());
}

// A move killed half way left a half copy in the Commons and the original set aside; a later
// move of the same entry, in a run that has the dead one's id or another, clears both names.
TEST_F(MovePathAcrossFileSystems, LeftoversOfADeadMoveGoAndDoNotBlockIt) {
  const std::string own = std::to_string(process_id());
  const std::string ended = std::to_string(ended_process_id());
  const fs::path dir = home.make_dir(".agents/skills");
  home.write(dir / (".foo.kelvaro-" + own) / "SKILL.md", "half");
  home.write(dir / (".foo.kelvaro-" + ended) / "SKILL.md", "half");
  const std::string aside_name = "." + source.filename().string() + ".kelvaro-" + own;
  home.write(source.parent_path() / aside_name / "stale.md", "an earlier original");

  auto moved = move_path(source, dir / "foo");

  ASSERT_TRUE(moved) << moved.error().message();
  ASSERT_TRUE(moved->has_value());
  EXPECT_EQ((*moved)->filename(), fs::path(aside_name));
  EXPECT_EQ(tree_listing(**moved),
            (std::vector<std::string>{"SKILL.md = skill", "sub/", "sub/run.sh = run"}));
  fs::remove_all(**moved);
  EXPECT_EQ(tree_listing(dir), (std::vector<std::string>{"foo/", "foo/SKILL.md = skill", "foo/sub/",
                                                         "foo/sub/run.sh = run"}));
}

TEST(CopyTree, ClearsHalfCopiesOfDeadRunsAndLeavesARunningOnes) {
  TempHome home;
  home.write("notes/skills/foo/SKILL.md", "new");
  home.write(".agents/skills/.foo.kelvaro-" + std::to_string(process_id()) + "/SKILL.md", "half");
  home.write(".agents/skills/.kelvaro-" + std::to_string(ended_process_id()) + "/x", "half");
  std::vector<std::string> expected = {"foo/", "foo/SKILL.md = new"};
#ifndef _WIN32
  const std::string running = ".foo.kelvaro-" + std::to_string(::getppid());
  home.write(".agents/skills/" + running + "/SKILL.md", "being copied");
  expected.insert(expected.begin(), {running + "/", running + "/SKILL.md = being copied"});
#endif

  auto copied = copy_tree(home.path("notes/skills/foo"), home.path(".agents/skills/foo"));

  ASSERT_TRUE(copied) << copied.error().message();
  EXPECT_EQ(tree_listing(home.path(".agents/skills")), expected);
}

TEST(CopyTree, NeverCopiesOverAnExistingEntry) {
  TempHome home;
  home.write("notes/skills/foo/SKILL.md", "new");
  home.write(".agents/skills/foo/SKILL.md", "old");
  home.write("notes/commands/a.md", "new");
  home.write(".agents/commands/a.md", "old");

  auto folder = copy_tree(home.path("notes/skills/foo"), home.path(".agents/skills/foo"));
  auto file = copy_tree(home.path("notes/commands/a.md"), home.path(".agents/commands/a.md"));

  EXPECT_FALSE(folder);
  EXPECT_FALSE(file);
  EXPECT_EQ(file.error(), std::errc::file_exists);
  EXPECT_EQ(tree_listing(home.path(".agents")),
            (std::vector<std::string>{"commands/", "commands/a.md = old", "skills/", "skills/foo/",
                                      "skills/foo/SKILL.md = old"}));
}

#ifndef _WIN32
TEST(CopyTree, RefusesAPipeInsteadOfBlockingOnIt) {
  TempHome home;
  fs::path fifo = home.make_dir("notes/skills/foo") / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  auto copied = copy_tree(home.path("notes/skills/foo"), home.make_dir(".agents/skills") / "foo");

  ASSERT_FALSE(copied);
  EXPECT_EQ(copied.error(), std::errc::operation_not_supported);
  EXPECT_TRUE(tree_listing(home.path(".agents/skills")).empty());
}
#endif

}  // namespace
}  // namespace kelvaro
