#include "init.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_of(const std::vector<fs::path>& paths) {
  std::vector<std::string> names;
  for (const fs::path& path : paths) {
    names.push_back(display(path.filename()));
  }
  return names;
}

// Only what `adopt` would take in is offered: no hidden names, no links (to a folder or a
// file), and only the family's kind, sorted by name whatever order the folder lists them in.
TEST(AdoptableEntries, OnlyTheFamilysKindAndNeitherLinksNorHiddenNames) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir("f/zeta");
  home.make_dir("f/alpha");
  home.make_dir("f/.git");
  home.write("f/README.md", "read me");
  home.write("f/commit.md.bak", "old");
  home.write("f/review.md", "review");
  home.make_dir("f/folder.md");
  home.make_link("f/shared", "zeta", true);
  home.make_link("f/linked.md", "review.md");
  std::ofstream(home.path("f") / not_unicode_name("bad", ".md"), std::ios::binary) << "x";

  auto skills = adoptable_entries(home.path("f"), Family::skills);
  auto commands = adoptable_entries(home.path("f"), Family::commands);

  ASSERT_TRUE(skills) << skills.error().message();
  EXPECT_EQ(names_of(*skills), (std::vector<std::string>{"alpha", "folder.md", "zeta"}));
  EXPECT_EQ((*skills)[0], home.path("f/alpha"));
  ASSERT_TRUE(commands) << commands.error().message();
  EXPECT_EQ(names_of(*commands),
            (std::vector<std::string>{"README.md", "bad\xEF\xBF\xBD.md", "review.md"}));
}

TEST(AdoptableEntries, AMissingFolderIsNotAnUnreadableOne) {
  TempHome home;
  home.write("file", "not a folder");

  auto missing = adoptable_entries(home.path("absent"), Family::skills);
  auto not_a_folder = adoptable_entries(home.path("file"), Family::skills);

  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
  ASSERT_FALSE(not_a_folder);
  EXPECT_NE(not_a_folder.error(), std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace kelvaro
