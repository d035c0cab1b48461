#include "instructions.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fsutil.hpp"
#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kImportLine = "@~/.agents/AGENTS.md";
constexpr std::string_view kCommonsText = "# shared instructions\n";

// A home with a Commons AGENTS.md and the given agent folders.
struct Home : TempHome {
  explicit Home(std::initializer_list<std::string_view> agent_dirs) {
    write(".agents/AGENTS.md", kCommonsText);
    for (std::string_view dir : agent_dirs) {
      make_dir(dir);
    }
  }

  std::vector<InstructionsItem> plan(const Config& config = {}) const {
    return plan_instructions(ctx(), list_agents(home(), config), commons() / "AGENTS.md");
  }

  // The single item of `agent`; fails the test when there is not exactly one.
  InstructionsItem only_item(std::string_view agent, const Config& config = {}) const {
    std::vector<InstructionsItem> found;
    for (auto& item : plan(config)) {
      if (item.agent == agent) {
        found.push_back(item);
      }
    }
    EXPECT_EQ(found.size(), 1u) << agent;
    return found.empty() ? InstructionsItem{} : found.front();
  }
};

Config choose(std::string_view agent, InstructionsClass cls) {
  Config config;
  config.instructions[std::string(agent)] = cls;
  return config;
}

bool is_link_at(const fs::path& path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(path, ec));
}

TEST(InstructionsPlan, NoCommonsFileGivesNoItems) {
  for (bool as_folder : {false, true}) {
    SCOPED_TRACE(as_folder ? "folder" : "absent");
    TempHome home;
    home.make_dir(".claude");
    home.make_dir(".codex");
    if (as_folder) {
      home.make_dir(".agents/AGENTS.md");
    }

    EXPECT_TRUE(
        plan_instructions(home.ctx(), list_agents(home.home(), {}), home.commons() / "AGENTS.md")
            .empty());
  }
}

TEST(InstructionsPlan, AgentsWithoutRouteOrNotInstalledGetNoItem) {
  Home home({".cursor", ".openclaw", ".claude"});

  auto items = home.plan();

  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].agent, "claude");
}

TEST(InstructionsImportLine, AddedToMissingFileThenFoundAgain) {
  Home home({".claude"});

  InstructionsItem item = home.only_item("claude");
  EXPECT_EQ(item.state, InstructionsState::import);
  EXPECT_EQ(item.path, home.path(".claude/CLAUDE.md"));
  EXPECT_EQ(item.import_line, std::string(kImportLine));
  EXPECT_FALSE(item.target);
  EXPECT_EQ(describe_instructions_item(item), "the import line will be added");

  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_EQ(home.read(".claude/CLAUDE.md"), "@~/.agents/AGENTS.md\n");
  InstructionsItem again = home.only_item("claude");
  EXPECT_EQ(again.state, InstructionsState::imported);
  EXPECT_EQ(describe_instructions_item(again), "imports the Commons instructions");
}

TEST(InstructionsImportLine, AppendKeepsTextAndAddsMissingLineBreak) {
  for (std::string_view before : {"# mine", "# mine\n", "line one\r\nline two\r\n"}) {
    SCOPED_TRACE(before);
    Home home({".claude"});
    home.write(".claude/CLAUDE.md", before);

    ASSERT_TRUE(apply_instructions_item(home.ctx(), home.only_item("claude")));

    std::string expected(before);
    if (expected.back() != '\n') {
      expected += '\n';
    }
    EXPECT_EQ(home.read(".claude/CLAUDE.md"), expected + "@~/.agents/AGENTS.md\n");
  }
}

TEST(InstructionsImportLine, MissingFolderIsCreated) {
  TempHome home;
  InstructionsItem item;
  item.agent = "claude";
  item.path = home.path("deep/er/CLAUDE.md");
  item.import_line = std::string(kImportLine);
  item.state = InstructionsState::import;

  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_EQ(home.read("deep/er/CLAUDE.md"), "@~/.agents/AGENTS.md\n");
}

TEST(InstructionsImportLine, WhichLinesCountAsTheImport) {
  struct Case {
    std::string text;
    InstructionsState state;
  };
  const std::vector<Case> cases = {
      {"  @~/.agents/AGENTS.md  \n", InstructionsState::imported},
      {"@ ~/.agents/AGENTS.md\n", InstructionsState::imported},
      {"# notes\n\t@~/.agents/AGENTS.md\r\nmore\n", InstructionsState::imported},
      {"\xC2\xA0@~/.agents/AGENTS.md\xE3\x80\x80", InstructionsState::imported},
      {"@~/.agents/AGENTS.md.bak\n", InstructionsState::import},
      {"see @~/.agents/AGENTS.md\n", InstructionsState::import},
      {"~/.agents/AGENTS.md\n", InstructionsState::import},
      {"", InstructionsState::import},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Home home({".claude"});
    home.write(".claude/CLAUDE.md", c.text);

    EXPECT_EQ(home.only_item("claude").state, c.state);
  }
  // The same file written out absolutely is another text and is not recognised.
  Home home({".claude"});
  home.write(".claude/CLAUDE.md", "@" + (home.commons() / "AGENTS.md").string() + "\n");
  EXPECT_EQ(home.only_item("claude").state, InstructionsState::import);
}

TEST(InstructionsImportLine, InvalidUtf8FileIsNeverTruncated) {
  Home home({".claude"});
  const std::string bytes = "# notes \xFF\xFE kept\nno final break";
  home.write(".claude/CLAUDE.md", bytes);

  InstructionsItem item = home.only_item("claude");
  ASSERT_EQ(item.state, InstructionsState::import);
  auto applied = apply_instructions_item(home.ctx(), item);

  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error(), "not valid UTF-8 text — left untouched");
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), bytes);
}

TEST(InstructionsImportLine, ImportFollowsForeignLinkToTheUsersFile) {
  KELVARO_REQUIRE_LINKS();
  Home home({".claude"});
  home.write("dotfiles/CLAUDE.md", "# mine\n");
  home.make_link(".claude/CLAUDE.md", "../dotfiles/CLAUDE.md");

  InstructionsItem item = home.only_item("claude");
  ASSERT_EQ(item.state, InstructionsState::import);
  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_TRUE(is_link_at(home.path(".claude/CLAUDE.md")));
  EXPECT_EQ(home.read("dotfiles/CLAUDE.md"), "# mine\n@~/.agents/AGENTS.md\n");
}

TEST(InstructionsImportLine, LinkToCommonsFileBecomesImportFile) {
  KELVARO_REQUIRE_LINKS();
  Home home({".claude"});
  home.make_link(".claude/CLAUDE.md", "../.agents/AGENTS.md");

  auto items = home.plan();
  ASSERT_EQ(items.size(), 1u);  // the symlink route's leftover on the same file is dropped
  EXPECT_EQ(items[0].state, InstructionsState::replace);
  EXPECT_FALSE(items[0].target);
  EXPECT_EQ(describe_instructions_item(items[0]),
            "is a link to the Commons — will be replaced by a file holding the import line");

  ASSERT_TRUE(apply_instructions_item(home.ctx(), items[0]));

  EXPECT_FALSE(is_link_at(home.path(".claude/CLAUDE.md")));
  EXPECT_EQ(home.read(".claude/CLAUDE.md"), "@~/.agents/AGENTS.md\n");
  EXPECT_EQ(home.read(".agents/AGENTS.md"), kCommonsText);
  EXPECT_EQ(home.only_item("claude").state, InstructionsState::imported);
}

TEST(InstructionsImportLine, CommonsFileReachedThroughAChainOrAHardLinkIsNeverWritten) {
  KELVARO_REQUIRE_LINKS();
  Home chained({".claude"});
  chained.make_link("dotfiles/CLAUDE.md", "../.agents/AGENTS.md");
  chained.make_link(".claude/CLAUDE.md", "../dotfiles/CLAUDE.md");
  Home hard({".claude"});
  fs::create_hard_link(hard.path(".agents/AGENTS.md"), hard.path(".claude/CLAUDE.md"));

  for (const Home* home : {&chained, &hard}) {
    InstructionsItem item = home->only_item("claude");
    EXPECT_EQ(item.state, InstructionsState::replace);

    ASSERT_TRUE(apply_instructions_item(home->ctx(), item));

    EXPECT_EQ(home->read(".agents/AGENTS.md"), kCommonsText);
    EXPECT_EQ(home->read(".claude/CLAUDE.md"), "@~/.agents/AGENTS.md\n");
  }
}

TEST(InstructionsImportLine, LinkToOtherCommonsFileIsConflict) {
  KELVARO_REQUIRE_LINKS();
  Home home({".claude"});
  home.write(".agents/notes.md", "x");
  home.make_link(".claude/CLAUDE.md", "../.agents/notes.md");

  InstructionsItem item = home.only_item("claude");

  EXPECT_EQ(item.state, InstructionsState::conflict);
  EXPECT_EQ(describe_instructions_item(item),
            home.path(".claude/CLAUDE.md").string() +
                " is a symlink into the Commons, so an import line would land in the Commons — "
                "replace the link with your own file");
}

TEST(InstructionsSymlink, LinkInAFolderReachedThroughALinkStartsWhereItLives) {
  KELVARO_REQUIRE_LINKS();
  Home home({"dotfiles/codex/.codex"});
  home.make_link(".codex", "dotfiles/codex/.codex", true);

  InstructionsItem item = home.only_item("codex");
  EXPECT_EQ(item.state, InstructionsState::missing);
  EXPECT_EQ(item.target, fs::path("../../../.agents/AGENTS.md"));
  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_EQ(home.read(".codex/AGENTS.md"), kCommonsText);
  EXPECT_EQ(home.only_item("codex").state, InstructionsState::linked);

  // A link made from the folder's name, as before, points nowhere and is replaced.
  ASSERT_TRUE(remove_file(home.path(".codex/AGENTS.md")));
  home.make_link(".codex/AGENTS.md", "../.agents/AGENTS.md");
  InstructionsItem old = home.only_item("codex");
  EXPECT_EQ(old.state, InstructionsState::replace);
  ASSERT_TRUE(apply_instructions_item(home.ctx(), old));
  EXPECT_EQ(home.read(".codex/AGENTS.md"), kCommonsText);
}

TEST(InstructionsSymlink, MissingLinkIsMadeThenLinked) {
  KELVARO_REQUIRE_LINKS();
  Home home({".claude"});
  const Config config = choose("claude", InstructionsClass::symlink);

  InstructionsItem item = home.only_item("claude", config);
  EXPECT_EQ(item.state, InstructionsState::missing);
  EXPECT_EQ(item.target, fs::path("../.agents/AGENTS.md"));
  EXPECT_FALSE(item.import_line);
  EXPECT_EQ(describe_instructions_item(item), "will be linked to the Commons");

  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_EQ(fs::read_symlink(home.path(".claude/CLAUDE.md")), fs::path("../.agents/AGENTS.md"));
  InstructionsItem again = home.only_item("claude", config);
  EXPECT_EQ(again.state, InstructionsState::linked);
  EXPECT_EQ(again.target, fs::path("../.agents/AGENTS.md"));
  EXPECT_EQ(describe_instructions_item(again), "");
}

TEST(InstructionsSymlink, AbsoluteLinkCountsAsLinkedAndOtherLinksAreForeign) {
  KELVARO_REQUIRE_LINKS();
  Home home({".codex"});
  home.write("elsewhere/AGENTS.md", "x");
  struct Case {
    fs::path target;
    InstructionsState state;
  };
  const std::vector<Case> cases = {
      {home.commons() / "AGENTS.md", InstructionsState::linked},
      {"../.agents/./x/../AGENTS.md", InstructionsState::linked},
      {"../elsewhere/AGENTS.md", InstructionsState::foreign},
      {"../.agents", InstructionsState::foreign},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target.string());
    fs::remove(home.path(".codex/AGENTS.md"));
    home.make_link(".codex/AGENTS.md", c.target);

    InstructionsItem item = home.only_item("codex");

    EXPECT_EQ(item.state, c.state);
    EXPECT_EQ(item.target, fs::path("../.agents/AGENTS.md"));
  }
  EXPECT_EQ(describe_instructions_item(home.only_item("codex")),
            "points outside the Commons — left alone");
}

TEST(InstructionsSymlink, ClaudeFileHoldingOnlyTheImportLineBecomesLink) {
  KELVARO_REQUIRE_LINKS();
  Home home({".claude"});
  home.write(".claude/CLAUDE.md", "\n   \n  @ ~/.agents/AGENTS.md \n\n@~/.agents/AGENTS.md\n");
  const Config config = choose("claude", InstructionsClass::symlink);

  InstructionsItem item = home.only_item("claude", config);
  EXPECT_EQ(item.state, InstructionsState::replace);
  EXPECT_EQ(describe_instructions_item(item),
            "holds only the import line — will be replaced by a link to the Commons");

  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_EQ(fs::read_symlink(home.path(".claude/CLAUDE.md")), fs::path("../.agents/AGENTS.md"));
  EXPECT_EQ(home.only_item("claude", config).state, InstructionsState::linked);
}

TEST(InstructionsSymlink, RealFilesInTheWayAreConflicts) {
  struct Case {
    std::string agent_dir, agent, file, text, note;
  };
  const std::string real_file_advice =
      " is a real file: move its text into the Commons AGENTS.md and sync again, or set "
      "instructions.claude = \"import\" in kelvaro.toml to keep it";
  const std::vector<Case> cases = {
      {".claude", "claude", ".claude/CLAUDE.md", "# my own notes\n@~/.agents/AGENTS.md\n",
       "{}" + real_file_advice},
      {".claude", "claude", ".claude/CLAUDE.md", "\n\n", "{}" + real_file_advice},
      {".claude", "claude", ".claude/CLAUDE.md", "<claude-mem-context>\n",
       "{} is owned by claude-mem — move or merge it, then sync again"},
      {".codex", "codex", ".codex/AGENTS.md", "memories kept by claude-mem\n",
       "{} is owned by claude-mem — move or merge it, then sync again"},
      {".codex", "codex", ".codex/AGENTS.md", "# plain\n",
       "{} is owned by something else — move or merge it, then sync again"},
      {".codex", "codex", ".codex/AGENTS.md", "@~/.agents/AGENTS.md\n",
       "{} is owned by something else — move or merge it, then sync again"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.agent + ": " + c.text);
    Home home({c.agent_dir});
    home.write(c.file, c.text);

    InstructionsItem item = home.only_item(c.agent, choose(c.agent, InstructionsClass::symlink));

    EXPECT_EQ(item.state, InstructionsState::conflict);
    std::string note = c.note;
    note.replace(note.find("{}"), 2, home.path(c.file).string());
    EXPECT_EQ(describe_instructions_item(item), note);
    EXPECT_EQ(home.read(c.file), c.text);
  }
}

TEST(InstructionsSymlink, RulesFolderLinkIsMadeWithItsFolder) {
  KELVARO_REQUIRE_LINKS();
  Home home({".roo"});

  InstructionsItem item = home.only_item("roo");
  ASSERT_EQ(item.state, InstructionsState::missing);
  EXPECT_EQ(item.path, home.path(".roo/rules/AGENTS.md"));
  EXPECT_EQ(item.target, fs::path("../../.agents/AGENTS.md"));

  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_EQ(home.read(".roo/rules/AGENTS.md"), kCommonsText);
  EXPECT_EQ(home.only_item("roo").state, InstructionsState::linked);
}

TEST(InstructionsSymlink, FailedLinkLeavesTheWayBlocked) {
  Home home({".roo"});
  home.write(".roo/rules", "a file where the rules folder belongs");

  InstructionsItem item = home.only_item("roo");
  ASSERT_EQ(item.state, InstructionsState::missing);
  auto applied = apply_instructions_item(home.ctx(), item);

  ASSERT_FALSE(applied);
  EXPECT_FALSE(applied.error().empty());
  EXPECT_EQ(home.read(".roo/rules"), "a file where the rules folder belongs");
}

TEST(InstructionsInclude, OpencodeListIsCreated) {
  Home home({".config/opencode"});

  InstructionsItem item = home.only_item("opencode");
  ASSERT_EQ(item.state, InstructionsState::import);
  fs::path settings = home.path(".config/opencode/opencode.json");
  EXPECT_EQ(item.path, settings);
  ASSERT_TRUE(item.include);
  EXPECT_EQ(item.include->entry, "~/.agents/AGENTS.md");
  EXPECT_EQ(item.include->key, "instructions");
  EXPECT_FALSE(item.include->companion);
  EXPECT_EQ(describe_instructions_item(item), "the entry will be added to " + settings.string());

  ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

  EXPECT_EQ(home.read(settings), "{\n  \"instructions\": [\n    \"~/.agents/AGENTS.md\"\n  ]\n}");
  InstructionsItem again = home.only_item("opencode");
  EXPECT_EQ(again.state, InstructionsState::imported);
  EXPECT_EQ(describe_instructions_item(again), "included via " + settings.string());
}

TEST(InstructionsInclude, GeminiListKeepsItsCompanionFirst) {
  struct Case {
    std::string before, after;
  };
  const std::vector<Case> cases = {
      {"", R"({
  "context": {
    "fileName": [
      "GEMINI.md",
      "../.agents/AGENTS.md"
    ]
  }
})"},
      {R"({"context": {"fileName": "GEMINI.md"}})", R"({
  "context": {
    "fileName": [
      "GEMINI.md",
      "../.agents/AGENTS.md"
    ]
  }
})"},
      {R"({"context": {"fileName": []}})", R"({
  "context": {
    "fileName": [
      "GEMINI.md",
      "../.agents/AGENTS.md"
    ]
  }
})"},
      {R"({"context": {"fileName": ["NOTES.md", 7]}})", R"({
  "context": {
    "fileName": [
      "NOTES.md",
      7,
      "../.agents/AGENTS.md"
    ]
  }
})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    Home home({".gemini"});
    if (!c.before.empty()) {
      home.write(".gemini/settings.json", c.before);
    }

    InstructionsItem item = home.only_item("gemini");
    ASSERT_EQ(item.state, InstructionsState::import);
    ASSERT_TRUE(item.include);
    EXPECT_EQ(item.include->entry, "../.agents/AGENTS.md");
    EXPECT_EQ(item.include->companion, "GEMINI.md");
    ASSERT_TRUE(apply_instructions_item(home.ctx(), item));

    EXPECT_EQ(home.read(".gemini/settings.json"), c.after);
    EXPECT_EQ(home.only_item("gemini").state, InstructionsState::imported);
  }
}

// The list is taken out of its parent and put back at the end; the parent's last member
// fills the vacated place. Members elsewhere in the file stay where they were.
TEST(InstructionsInclude, ListMovesToTheEndOfItsParent) {
  Home home({".gemini"});
  home.write(".gemini/settings.json", R"({
  "theme": "dark",
  "context": {"fileName": "GEMINI.md", "a": 1, "b": {"c": true}},
  "hooks": {}
})");

  ASSERT_TRUE(apply_instructions_item(home.ctx(), home.only_item("gemini")));

  EXPECT_EQ(home.read(".gemini/settings.json"), R"({
  "theme": "dark",
  "context": {
    "b": {
      "c": true
    },
    "a": 1,
    "fileName": [
      "GEMINI.md",
      "../.agents/AGENTS.md"
    ]
  },
  "hooks": {}
})");
}

TEST(InstructionsInclude, ShapesInTheWayAreConflictsAndLeftUntouched) {
  KELVARO_REQUIRE_LINKS();
  struct Case {
    std::string text, detail;
  };
  const std::vector<Case> cases = {
      {R"({"context": 3})", "{}: `context` is not an object — left untouched"},
      {R"({"context": {"fileName": 3}})", "{}: `context.fileName` is not a list — left untouched"},
      {R"({"context": {"fileName": ["../.agents/AGENTS.md", "GEMINI.md"]}})",
       "{}: the Commons is first in `context.fileName`, where the agent writes its own memories "
       "— move it after GEMINI.md"},
      {R"({"context": {"fileName": "~/.agents/AGENTS.md"}})",
       "{}: the Commons is first in `context.fileName`, where the agent writes its own memories "
       "— move it after GEMINI.md"},
      {"{\"context\": ", "{} is not valid JSON (line 1, column 13) — left untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Home home({".gemini"});
    fs::path settings = home.write(".gemini/settings.json", c.text);
    home.make_link(".gemini/GEMINI.md", "../.agents/AGENTS.md");

    auto items = home.plan();

    ASSERT_EQ(items.size(), 1u);  // no leftover is reported while the main item is a conflict
    EXPECT_EQ(items[0].state, InstructionsState::conflict);
    std::string detail = c.detail;
    detail.replace(detail.find("{}"), 2, settings.string());
    EXPECT_EQ(describe_instructions_item(items[0]), detail);
    EXPECT_EQ(home.read(settings), c.text);
  }
}

TEST(InstructionsInclude, ApplyNeverRewritesAFileItCannotEdit) {
  struct Case {
    std::string text, error;
  };
  const std::vector<Case> cases = {
      {"{ \"instructions\": [1,}", "{} is not valid JSON (line 1, column 22) — left untouched"},
      {"\xEF\xBB\xBF{}", "{} is not valid JSON (line 1, column 1) — left untouched"},
      {R"({"instructions": {"a": 1}})", "`instructions` is not a list ({\"a\":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Home home({".config/opencode"});
    fs::path settings = home.write(".config/opencode/opencode.json", c.text);
    InstructionsItem item;
    item.agent = "opencode";
    item.path = settings;
    item.include =
        IncludeEntry{.entry = "~/.agents/AGENTS.md", .key = "instructions", .companion = {}};
    item.state = InstructionsState::import;

    auto applied = apply_instructions_item(home.ctx(), item);

    ASSERT_FALSE(applied);
    std::string error = c.error;
    if (auto at = error.find("{}"); at != std::string::npos) {
      error.replace(at, 2, settings.string());
    }
    EXPECT_EQ(applied.error(), error);
    EXPECT_EQ(home.read(settings), c.text);
  }
}

TEST(InstructionsInclude, UnreachableKeyIsRefused) {
  Home home({".gemini"});
  fs::path settings = home.write(".gemini/settings.json", R"({"context": [1]})");
  InstructionsItem item;
  item.agent = "gemini";
  item.path = settings;
  item.include = IncludeEntry{
      .entry = "../.agents/AGENTS.md", .key = "context.fileName", .companion = "GEMINI.md"};
  item.state = InstructionsState::import;

  auto applied = apply_instructions_item(home.ctx(), item);

  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error(), "`context.fileName` is not reachable");
  EXPECT_EQ(home.read(settings), R"({"context": [1]})");
}

TEST(InstructionsLegacy, OldSymlinkIsRemovedAfterMovingToTheList) {
  KELVARO_REQUIRE_LINKS();
  Home home({".config/opencode"});
  home.make_link(".config/opencode/AGENTS.md", "../../.agents/AGENTS.md");
  home.write(".config/opencode/opencode.json", R"({"instructions": ["~/.agents/AGENTS.md"]})");

  auto items = home.plan();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].state, InstructionsState::imported);
  const InstructionsItem& leftover = items[1];
  EXPECT_EQ(leftover.state, InstructionsState::legacy);
  EXPECT_EQ(leftover.path, home.path(".config/opencode/AGENTS.md"));
  EXPECT_FALSE(leftover.target);
  EXPECT_EQ(describe_instructions_item(leftover),
            leftover.path.string() +
                " is a symlink into the Commons from a route opencode does not take — will be "
                "removed");

  ASSERT_TRUE(apply_instructions_item(home.ctx(), leftover));

  EXPECT_FALSE(fs::exists(fs::symlink_status(leftover.path)));
  EXPECT_EQ(home.read(".agents/AGENTS.md"), kCommonsText);
  EXPECT_EQ(home.plan().size(), 1u);
}

TEST(InstructionsLegacy, OldListEntryIsRemovedAfterMovingToTheLink) {
  Home home({".config/opencode"});
  fs::path settings = home.write(".config/opencode/opencode.json",
                                 R"({"$schema": "x", "instructions": ["~/.agents/AGENTS.md", )"
                                 R"("mine.md"], "model": "m"})");
  const Config config = choose("opencode", InstructionsClass::symlink);

  auto items = home.plan(config);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].state, InstructionsState::missing);
  const InstructionsItem& leftover = items[1];
  EXPECT_EQ(leftover.state, InstructionsState::legacy);
  EXPECT_EQ(leftover.path, settings);
  EXPECT_EQ(describe_instructions_item(leftover),
            "the entry in " + settings.string() +
                " is from a route opencode does not take — will be removed");

  ASSERT_TRUE(apply_instructions_item(home.ctx(), leftover));

  EXPECT_EQ(home.read(settings), R"({
  "$schema": "x",
  "instructions": [
    "mine.md"
  ],
  "model": "m"
})");
}

TEST(InstructionsLegacy, LinksOutsideTheCommonsAreNoLeftovers) {
  KELVARO_REQUIRE_LINKS();
  Home home({".config/opencode"});
  home.write("mine.md", "x");
  home.make_link(".config/opencode/AGENTS.md", "../../mine.md");

  auto items = home.plan();

  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].state, InstructionsState::import);
}

TEST(InstructionsRemoveEntry, DropsOnlyTheCommonsEntries) {
  struct Case {
    std::string before;
    bool changed;
    std::string after;
  };
  const std::vector<Case> cases = {
      {R"({"context": {"fileName": ["GEMINI.md", "../.agents/AGENTS.md"]}, "x": 1})", true,
       "{\n  \"context\": {},\n  \"x\": 1\n}"},
      {R"({"context": {"fileName": ["a.md", "~/.agents/AGENTS.md", "b.md"], "y": 2}})", true,
       "{\n  \"context\": {\n    \"fileName\": [\n      \"a.md\",\n      \"b.md\"\n    ],\n"
       "    \"y\": 2\n  }\n}"},
      {R"({"context": {"a": 0, "fileName": ["../.agents/AGENTS.md"], "z": 1}})", true,
       "{\n  \"context\": {\n    \"a\": 0,\n    \"z\": 1\n  }\n}"},
      {R"({"context": {"fileName": ["GEMINI.md", 5, "../.agents/AGENTS.md"]}})", true,
       "{\n  \"context\": {\n    \"fileName\": [\n      \"GEMINI.md\",\n      5\n    ]\n  }\n}"},
      {R"({"context": {"fileName": "../.agents/AGENTS.md"}, "x": 1})", true,
       "{\n  \"context\": {},\n  \"x\": 1\n}"},
      {R"({"context": {"fileName": "GEMINI.md"}})", false, ""},
      {R"({"context": {"fileName": ["GEMINI.md"]}})", false, ""},
      {R"({"context": 1})", false, ""},
      {R"({})", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    Home home({".gemini"});
    fs::path settings = home.write(".gemini/settings.json", c.before);

    auto changed =
        remove_include_entry(home.ctx(), settings, "context.fileName", std::string("GEMINI.md"));

    ASSERT_TRUE(changed) << changed.error();
    EXPECT_EQ(*changed, c.changed);
    EXPECT_EQ(home.read(settings), c.changed ? c.after : c.before);
  }
}

TEST(InstructionsRemoveEntry, MissingFileIsNoChangeAndMalformedFileIsAnError) {
  Home home({".gemini"});
  fs::path settings = home.path(".gemini/settings.json");

  auto missing = remove_include_entry(home.ctx(), settings, "context.fileName", std::nullopt);
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
  EXPECT_FALSE(fs::exists(settings));

  home.write(".gemini/settings.json", "{,}");
  auto malformed = remove_include_entry(home.ctx(), settings, "context.fileName", std::nullopt);
  ASSERT_FALSE(malformed);
  EXPECT_EQ(malformed.error(),
            settings.string() + " is not valid JSON (line 1, column 2) — left untouched");
  EXPECT_EQ(home.read(settings), "{,}");
}

TEST(InstructionsPaths, ImportTextAndSettingEntries) {
  TempHome home;
  EXPECT_EQ(display_home_path(home.ctx()), "~/.agents/AGENTS.md");
  home.set_env("KELVARO_HOME", (home.root() / "shared").string());
  EXPECT_EQ(display_home_path(home.ctx()),
            display(normalize_path(home.root() / "shared/AGENTS.md")));
  home.set_env("KELVARO_HOME", (home.home() / "a/../b").string());
  EXPECT_EQ(display_home_path(home.ctx()), "~/b/AGENTS.md");

  struct Case {
    std::string entry;
    fs::path expected;
  };
  const fs::path dir = "/h/.gemini";
  const std::vector<Case> cases = {
      {"~/.agents/AGENTS.md", "/h/.agents/AGENTS.md"},
      {"../.agents/./AGENTS.md", "/h/.agents/AGENTS.md"},
      {"GEMINI.md", "/h/.gemini/GEMINI.md"},
      {"/etc/../x.md", "/x.md"},
      {"~user/x.md", "/h/.gemini/~user/x.md"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(resolve_setting_path(c.entry, dir, "/h"), c.expected);
  }
}

}  // namespace
}  // namespace kelvaro
