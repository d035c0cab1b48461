#include "commons.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_of(const FamilyScan& scan) {
  std::vector<std::string> names;
  for (const CommonsEntry& entry : scan.entries) {
    names.push_back(entry.name);
  }
  return names;
}

std::vector<std::string> texts_of(const FamilyScan& scan) {
  std::vector<std::string> texts;
  for (const ScanWarning& warning : scan.warnings) {
    texts.push_back(to_string(warning));
  }
  return texts;
}

TEST(CommonsScan, MissingFamilyFolderIsEmptyWithoutWarning) {
  TempHome home;
  home.make_dir(".agents");

  EXPECT_EQ(scan_family(home.commons(), Family::skills), FamilyScan{});
  EXPECT_EQ(scan_family(home.path("no-such-commons"), Family::commands), FamilyScan{});
}

TEST(CommonsScan, FamilyPathThatIsAFileIsUnreadable) {
  TempHome home;
  home.write(".agents/skills", "not a folder");

  FamilyScan scan = scan_family(home.commons(), Family::skills);

  EXPECT_TRUE(scan.entries.empty());
  EXPECT_EQ(texts_of(scan),
            std::vector<std::string>{"cannot read " + (home.commons() / "skills").string() + ": " +
                                     std::make_error_code(std::errc::not_a_directory).message()});
}

TEST(CommonsScan, CommandsKeepOnlyMarkdownFiles) {
  TempHome home;
  home.write(".agents/commands/review.md", "r");
  home.write(".agents/commands/a.md.md", "a");
  home.write(".agents/commands/Other.MD", "x");
  home.write(".agents/commands/notes.txt", "x");
  home.write(".agents/commands/.old.md", "x");
  home.make_dir(".agents/commands/archive");
  home.make_dir(".agents/commands/dir.md");
  fs::path dir = home.commons() / "commands";

  FamilyScan scan = scan_family(home.commons(), Family::commands);

  EXPECT_EQ(scan.entries,
            (std::vector<CommonsEntry>{
                {.name = "a", .file_name = "a.md.md", .path = dir / "a.md.md"},
                {.name = "review", .file_name = "review.md", .path = dir / "review.md"},
            }));
  EXPECT_EQ(texts_of(scan),
            (std::vector<std::string>{
                "Commons commands/.old.md: dot-prefixed names are invisible to agents and are "
                "never synced",
                "Commons commands/Other.MD: not a markdown file, skipped",
                "Commons commands/archive: not a markdown file, skipped",
                "Commons commands/dir.md: not a markdown file, skipped",
                "Commons commands/notes.txt: not a markdown file, skipped",
            }));
}

TEST(CommonsScan, SkillsAreJudgedByWhatLinksLeadTo) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir(".agents/skills/plain");
  home.make_dir(".agents/skills/.hidden");
  home.write(".agents/skills/readme.md", "x");
  home.make_dir("elsewhere/tool");
  home.write("elsewhere/file", "x");
  fs::path x = home.make_link(".agents/skills/x", home.path("elsewhere/tool"), true);
  home.make_link(".agents/skills/y", home.path("elsewhere/deleted"), true);
  home.make_link(".agents/skills/z", home.path("elsewhere/file"));
  home.make_link(".agents/skills/loop", "loop");

  FamilyScan scan = scan_family(home.commons(), Family::skills);

  EXPECT_EQ(names_of(scan), (std::vector<std::string>{"plain", "x"}));
  EXPECT_EQ(scan.entries[1], (CommonsEntry{.name = "x", .file_name = "x", .path = x}));
  EXPECT_EQ(texts_of(scan),
            (std::vector<std::string>{
                "Commons skills/.hidden: dot-prefixed names are invisible to agents and are never "
                "synced",
                "Commons skills/loop: symlink target is missing, skipped",
                "Commons skills/readme.md: not a directory, skipped",
                "Commons skills/y: symlink target is missing, skipped",
                "Commons skills/z: not a directory, skipped",
            }));
}

TEST(CommonsScan, SortsEntriesAndWarningsByBytes) {
  TempHome home;
  // "C" rather than "B": on a file system that ignores case "B" would be "b".
  for (const char* name : {"b", "ab", "a", "C", "\xc3\xa9"}) {
    home.make_dir(std::string(".agents/agents/") + name + ".md");
  }
  for (const char* name : {"b.md", "a.md", "ab.md", "\xc3\xa9.md", "a.md.md"}) {
    home.write(std::string(".agents/commands/") + name, "x");
  }
  home.write(".agents/commands/b.txt", "x");
  home.write(".agents/commands/.a", "x");

  FamilyScan commands = scan_family(home.commons(), Family::commands);
  FamilyScan agents = scan_family(home.commons(), Family::agents);

  EXPECT_EQ(names_of(commands), (std::vector<std::string>{"a", "a", "ab", "b", "\xc3\xa9"}));
  EXPECT_EQ(texts_of(commands),
            (std::vector<std::string>{
                "Commons commands/.a: dot-prefixed names are invisible to agents and are never "
                "synced",
                "Commons commands/b.txt: not a markdown file, skipped",
            }));
  EXPECT_TRUE(agents.entries.empty());
  EXPECT_EQ(texts_of(agents).front(), "Commons agents/C.md: not a markdown file, skipped");
  EXPECT_EQ(texts_of(agents).back(), "Commons agents/\xc3\xa9.md: not a markdown file, skipped");
}

TEST(CommonsScan, InvalidUtf8NameIsReplacedButStillReachable) {
  TempHome home;
  const fs::path real = home.make_dir(".agents/commands") / not_unicode_name("bad", ".md");
  if (!(std::ofstream(real, std::ios::binary) << "x")) {
    GTEST_SKIP() << "this file system cannot hold a name that is not valid Unicode (Wine keeps "
                    "names as UTF-8)";
  }

  FamilyScan scan = scan_family(home.commons(), Family::commands);

  ASSERT_EQ(scan.entries.size(), 1u);
  EXPECT_EQ(scan.entries[0].name, "bad\xef\xbf\xbd");
  EXPECT_EQ(scan.entries[0].file_name, "bad\xef\xbf\xbd.md");
  EXPECT_EQ(scan.entries[0].path, real);
}

TEST(CommonsScan, NamesThatDifferOnlyInInvalidBytesKeepTheFirstInByteOrder) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows names are UTF-16: no two can differ only in bytes that are not UTF-8";
#endif
  TempHome home;
  home.write(fs::path(".agents/commands") / "caf\xe9.md", "x");
  fs::path first = home.write(fs::path(".agents/commands") / "caf\xe8.md", "x");

  FamilyScan scan = scan_family(home.commons(), Family::commands);

  ASSERT_EQ(scan.entries.size(), 1u);
  EXPECT_EQ(scan.entries[0].path, first);
  EXPECT_EQ(texts_of(scan), (std::vector<std::string>{
                                "Commons commands/caf\xef\xbf\xbd.md: another entry's name "
                                "differs only in bytes that are not UTF-8 — only the first in byte "
                                "order is synced"}));
}

// The one rule the scan and adopt share: a folder is a skill whatever its name, and a command
// or agent is a file whose name ends in .md, a folder named like one included.
TEST(EntryFit, SkillsAreFoldersOtherFamiliesMarkdownFiles) {
  EXPECT_EQ(entry_fit(Family::skills, true, "review.md"), EntryFit::fits);
  EXPECT_EQ(entry_fit(Family::skills, false, "review"), EntryFit::not_a_folder);
  EXPECT_EQ(entry_fit(Family::commands, false, "deploy.md"), EntryFit::fits);
  EXPECT_EQ(entry_fit(Family::agents, true, "helper.md"), EntryFit::a_folder);
  EXPECT_EQ(entry_fit(Family::commands, false, "deploy.md.txt"), EntryFit::not_markdown);
  EXPECT_EQ(entry_fit(Family::commands, false, "deploy.MD"), EntryFit::not_markdown);
}

}  // namespace
}  // namespace kelvaro
