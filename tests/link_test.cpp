#include "link.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

TEST(LinkProbe, ReadsWhatIsAtThePath) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  fs::path commons = home.commons();
  home.make_dir(".agents/skills/x");
  home.write("outside/file", "x");
  home.write("real", "x");
  home.make_link("ours", ".agents/skills/x", true);
  home.make_link("gone", ".agents/skills/deleted");
  home.make_link("away", "outside/file");
  home.make_link("sneaky", ".agents/../outside/file");

  EXPECT_EQ(read_link_state(home.path("nothing"), commons).kind, LinkProbe::Kind::absent);
  EXPECT_EQ(read_link_state(home.path("real"), commons).kind, LinkProbe::Kind::not_a_link);
  EXPECT_EQ(read_link_state(home.path("away"), commons).kind, LinkProbe::Kind::foreign);
  EXPECT_EQ(read_link_state(home.path("sneaky"), commons).kind, LinkProbe::Kind::foreign);
  EXPECT_EQ(read_link_state(home.path("ours"), commons),
            (LinkProbe{.kind = LinkProbe::Kind::ours,
                       .raw_target = ".agents/skills/x",
                       .resolved = commons / "skills/x",
                       .dangling = false}));
  LinkProbe gone = read_link_state(home.path("gone"), commons);
  EXPECT_EQ(gone.kind, LinkProbe::Kind::ours);
  EXPECT_TRUE(gone.dangling);
}

class LinkPlanTest : public ::testing::Test {
 protected:
  TempHome home;
  fs::path skills = home.commons() / "skills";
  fs::path dir = home.path(".claude/skills");

  CommonsEntry skill(const std::string& name, const std::string& file = "x") {
    home.write(skills / name / "SKILL.md", file);
    return CommonsEntry{.name = name, .file_name = name, .path = skills / name};
  }
  LinkItem planned(const std::string& name, LinkState state) {
    return LinkItem{.name = name,
                    .link_path = dir / name,
                    .target = fs::path("../../.agents/skills") / name,
                    .state = state};
  }
  LinkItem stray(const std::string& name, LinkState state) {
    return LinkItem{.name = name, .link_path = dir / name, .target = std::nullopt, .state = state};
  }
};

TEST_F(LinkPlanTest, ClassifiesEveryKindOfPlace) {
  KELVARO_REQUIRE_LINKS();
  std::vector<CommonsEntry> entries = {
      skill("a"), skill("abs"),   skill("b"),    skill("c"),   skill("detour"),   skill("gone"),
      skill("m"), skill("slash"), skill("twin"), skill("var"), skill("wrongkind")};
  home.make_link(".claude/skills/a", "../../.agents/skills/a", true);
  home.make_link(".claude/skills/abs", skills / "abs", true);
  home.make_link(".claude/skills/b", "../../.agents/skills/c", true);
  home.make_link(".claude/skills/c", home.path("outside"), true);
  home.make_link(".claude/skills/detour", "../../.agents/skills/../skills/detour", true);
  home.make_link(".claude/skills/slash", "../..//.agents/skills/slash/", true);
  home.write(".claude/skills/twin/SKILL.md", "x");
  home.make_dir(".claude/skills/twin/empty");
  home.write(".claude/skills/var/SKILL.md", "y");
  home.write(".claude/skills/wrongkind", "x");
  fs::remove_all(skills / "gone");
  home.make_link(".claude/skills/gone", "../../.agents/skills/gone", true);
  home.make_link(".claude/skills/a-old", "../../.agents/skills/a-old", true);
  home.make_link(".claude/skills/live", "../../.agents/skills/a", true);
  home.make_link(".claude/skills/zz", "../../outside", true);
  home.write(".claude/skills/notes.txt", "mine");

  std::vector<LinkItem> items = plan_links(dir, entries, home.commons());

  EXPECT_EQ(items, (std::vector<LinkItem>{
                       planned("a", LinkState::linked),
                       stray("a-old", LinkState::dangling),
                       planned("abs", LinkState::stale),
                       planned("b", LinkState::stale),
                       planned("c", LinkState::foreign),
                       planned("detour", LinkState::stale),
                       planned("gone", LinkState::linked),
                       planned("m", LinkState::missing),
                       planned("slash", LinkState::linked),
                       planned("twin", LinkState::variant_identical),
                       planned("var", LinkState::variant),
                       planned("wrongkind", LinkState::variant),
                       stray("zz", LinkState::foreign),
                   }));

  // Planned for a run, linked items carry no paths; every other item is as it was.
  std::vector<LinkItem> lean = items;
  for (LinkItem& item : lean) {
    if (item.state == LinkState::linked) {
      item.link_path.clear();
      item.target.reset();
    }
  }
  EXPECT_EQ(plan_links(dir, entries, home.commons(), LinkPaths::unless_linked), lean);
}

TEST_F(LinkPlanTest, CommandsLinkUnderTheirFileName) {
  home.write(".agents/commands/review.md", "r");
  fs::path commands = home.path(".claude/commands");
  CommonsEntry entry{
      .name = "review", .file_name = "review.md", .path = home.commons() / "commands/review.md"};

  std::vector<LinkItem> items = plan_links(commands, {entry}, home.commons());

  EXPECT_EQ(items, (std::vector<LinkItem>{{.name = "review",
                                           .link_path = commands / "review.md",
                                           .target = fs::path("../../.agents/commands/review.md"),
                                           .state = LinkState::missing}}));
}

TEST_F(LinkPlanTest, EntriesOfAFolderThatCannotHoldLinksYetAreMissing) {
  KELVARO_REQUIRE_LINKS();
  std::vector<CommonsEntry> entries = {skill("a"), skill("b")};
  home.write(".cursor", "a file where the agent folder belongs");
  home.make_link(".roo", "nowhere", true);
  const std::vector<fs::path> folders = {home.path(".claude/skills"), home.path(".cursor/skills"),
                                         home.path(".roo/skills")};
  for (const fs::path& folder : folders) {
    SCOPED_TRACE(folder.string());

    std::vector<LinkItem> items = plan_links(folder, entries, home.commons());

    EXPECT_EQ(items, (std::vector<LinkItem>{
                         {.name = "a",
                          .link_path = folder / "a",
                          .target = fs::path("../../.agents/skills/a"),
                          .state = LinkState::missing},
                         {.name = "b",
                          .link_path = folder / "b",
                          .target = fs::path("../../.agents/skills/b"),
                          .state = LinkState::missing},
                     }));
  }
}

TEST_F(LinkPlanTest, RelativeCommonsAndFolderGiveAnchoredTargets) {
  CommonsEntry entry = skill("x");
  fs::path saved = fs::current_path();
  fs::current_path(home.root());
  CommonsEntry relative{.name = "x", .file_name = "x", .path = fs::path("home/.agents/skills/x")};

  std::vector<LinkItem> items = plan_links("home/.claude/skills", {relative}, "home/.agents");
  fs::current_path(saved);

  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].target, fs::path("../../.agents/skills/x"));
  EXPECT_EQ(items[0].state, LinkState::missing);
}

TEST_F(LinkPlanTest, TargetsMatchRelativePathWhereverTheFolderLies) {
  std::vector<CommonsEntry> entries = {skill("a"), skill("b")};
  entries.push_back(
      CommonsEntry{.name = "c", .file_name = "c", .path = home.commons() / "skills/../skills/./c"});
  entries.push_back(CommonsEntry{.name = "d", .file_name = "d", .path = home.path("outside/d")});
  const std::vector<fs::path> folders = {
      dir,
      skills,
      skills / "a/inner",
      skills / "a",
      home.commons(),
      home.root(),
      home.path("outside"),
  };
  for (const fs::path& folder : folders) {
    SCOPED_TRACE(folder.string());

    std::vector<LinkItem> items = plan_links(folder, entries, home.commons());

    if (lies_within(folder, home.commons())) {
      EXPECT_TRUE(items.empty());  // never planned inside the Commons
      continue;
    }
    ASSERT_GE(items.size(), entries.size());
    for (const CommonsEntry& entry : entries) {
      auto item = std::find_if(items.begin(), items.end(),
                               [&](const LinkItem& i) { return i.name == entry.name; });
      ASSERT_NE(item, items.end()) << entry.name;
      EXPECT_EQ(item->target, relative_path(folder, entry.path)) << entry.name;
    }
  }
}

TEST_F(LinkPlanTest, CommonsLinksOfANativeAgentAreDuplicates) {
  KELVARO_REQUIRE_LINKS();
  skill("x");
  fs::path codex = home.path(".codex/skills");
  home.make_link(".codex/skills/x", "../../.agents/skills/x", true);
  home.make_link(".codex/skills/old", skills / "old", true);
  home.make_link(".codex/skills/other", home.path("outside"), true);
  home.make_dir(".codex/skills/own");

  EXPECT_EQ(list_commons_links(codex, home.commons()).value(), (std::vector<LinkItem>{
                                                                   {.name = "old",
                                                                    .link_path = codex / "old",
                                                                    .target = std::nullopt,
                                                                    .state = LinkState::duplicate},
                                                                   {.name = "x",
                                                                    .link_path = codex / "x",
                                                                    .target = std::nullopt,
                                                                    .state = LinkState::duplicate},
                                                               }));
  EXPECT_TRUE(list_commons_links(home.path(".nothing"), home.commons()).value().empty());
}

TEST_F(LinkPlanTest, FolderLinkedIntoTheCommonsPlansNothing) {
  KELVARO_REQUIRE_LINKS();
  std::vector<CommonsEntry> entries = {skill("a")};
  home.make_link(".agents/skills/sourced", home.path("moved-repo/sourced"), true);
  home.make_link(".claude/skills", "../.agents/skills", true);
  home.make_link(".codex/skills", "../.agents/skills", true);

  EXPECT_TRUE(plan_links(dir, entries, home.commons()).empty());
  EXPECT_TRUE(list_commons_links(home.path(".codex/skills"), home.commons()).value().empty());
  EXPECT_TRUE(is_link(skills / "sourced"));
}

TEST(LinkContent, ComparesWholeTrees) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.write("a/f", "1");
  home.write("a/sub/g", "2");
  home.make_dir("a/empty");
  home.write("b/f", "1");
  home.write("b/sub/g", "2");
  home.write("c/f", "1");
  home.write("c/sub/g", "3");
  home.write("d/f", "1");
  home.write("d/sub/g", "2");
  home.write("d/sub/h", "");
  home.write("target", "2");
  home.write("e/f", "1");
  home.make_link("e/sub/g", home.path("target"));
  home.write("file", "1");
  home.write("same", "1");

  EXPECT_TRUE(same_content(home.path("a"), home.path("b")));
  EXPECT_FALSE(same_content(home.path("a"), home.path("c")));
  EXPECT_FALSE(same_content(home.path("a"), home.path("d")));
  EXPECT_TRUE(same_content(home.path("a"), home.path("e")));
  EXPECT_FALSE(same_content(home.path("a"), home.path("file")));
  EXPECT_TRUE(same_content(home.path("file"), home.path("same")));
  EXPECT_FALSE(same_content(home.path("file"), home.path("missing")));
  EXPECT_FALSE(same_content(home.path("missing"), home.path("missing")));
  EXPECT_EQ(collect_tree(home.path("a")), (std::vector<TreeFile>{{"f", "1"}, {"sub/g", "2"}}));
  EXPECT_EQ(collect_tree(home.path("missing")), std::nullopt);
}

TEST(LinkActions, MakeLinkKeepsTheTextAndPicksTheKind) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir(".agents/skills/x");
  home.make_dir("agent");

  ASSERT_TRUE(make_link("../.agents/skills/x", home.path("agent/x")));
  ASSERT_TRUE(make_link("../.agents/not-yet", home.path("agent/later")));

  EXPECT_EQ(fs::read_symlink(home.path("agent/x")), "../.agents/skills/x");
  EXPECT_TRUE(fs::is_directory(home.path("agent/x")));
  EXPECT_EQ(fs::read_symlink(home.path("agent/later")), "../.agents/not-yet");
  EXPECT_FALSE(make_link("x", home.path("agent/x")));
}

TEST(LinkActions, FixesChangeOnlyFixableStates) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.write(".agents/skills/x/SKILL.md", "keep");
  fs::path dir = home.path("deep/agent/skills");
  LinkItem missing{.name = "x",
                   .link_path = dir / "x",
                   .target = fs::path("../../../.agents/skills/x"),
                   .state = LinkState::missing};

  ASSERT_TRUE(apply_link_fix(missing));
  EXPECT_EQ(fs::read_symlink(dir / "x"), "../../../.agents/skills/x");
  EXPECT_EQ(home.read("deep/agent/skills/x/SKILL.md"), "keep");

  home.make_link("deep/agent/skills/y", home.commons() / "skills/x", true);
  LinkItem stale = missing;
  stale.link_path = dir / "y";
  stale.state = LinkState::stale;
  ASSERT_TRUE(apply_link_fix(stale));
  EXPECT_EQ(fs::read_symlink(dir / "y"), "../../../.agents/skills/x");

  for (LinkState state : {LinkState::dangling, LinkState::duplicate}) {
    SCOPED_TRACE(std::string(to_string(state)));
    home.make_link("deep/agent/skills/d", "../../../.agents/skills/x", true);
    ASSERT_TRUE(apply_link_fix(
        LinkItem{.name = "d", .link_path = dir / "d", .target = std::nullopt, .state = state}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "d")));
    EXPECT_EQ(home.read(".agents/skills/x/SKILL.md"), "keep");
  }

  home.write("deep/agent/skills/copy/SKILL.md", "keep");
  for (LinkState state :
       {LinkState::variant_identical, LinkState::variant, LinkState::foreign, LinkState::linked}) {
    SCOPED_TRACE(std::string(to_string(state)));
    ASSERT_TRUE(apply_link_fix(LinkItem{
        .name = "copy", .link_path = dir / "copy", .target = fs::path("x"), .state = state}));
    EXPECT_EQ(home.read("deep/agent/skills/copy/SKILL.md"), "keep");
  }
}

TEST(LinkActions, FailedFixReturnsTheSystemError) {
  TempHome home;
  home.make_dir(".agents/skills/x");
  home.write("agent/skills", "a file where the folder belongs");
  LinkItem missing{.name = "x",
                   .link_path = home.path("agent/skills/x"),
                   .target = fs::path("../../.agents/skills/x"),
                   .state = LinkState::missing};

  auto fixed = apply_link_fix(missing);

  ASSERT_FALSE(fixed);
  EXPECT_TRUE(fixed.error());
  EXPECT_EQ(home.read("agent/skills"), "a file where the folder belongs");
}

TEST(LinkActionsDeathTest, MissingWithoutTargetIsABrokenAssumption) {
  LinkItem item{.name = "x",
                .link_path = fs::path("/nowhere/x"),
                .target = std::nullopt,
                .state = LinkState::missing};
  EXPECT_DEATH((void)apply_link_fix(item), "missing implies a Commons entry");
  item.state = LinkState::stale;
  EXPECT_DEATH((void)apply_link_fix(item), "stale implies a Commons entry");
}

}  // namespace
}  // namespace kelvaro
