#include "hooks.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

const std::string kEvents =
    "SessionStart, Stop, PreToolUse, PostToolUse, Notification, UserPromptSubmit, "
    "SubagentStop, PreCompact";

// A home with the given agents installed and a Commons hooks folder.
class HooksHome : public ::testing::Test {
 protected:
  void install(const std::vector<std::string>& homes) {
    for (const auto& home : homes) {
      th_.make_dir(home);
    }
  }
  fs::path hooks_dir() const { return th_.commons() / "hooks"; }
  void hook_file(const std::string& name, std::string_view text) {
    th_.write(hooks_dir() / name, text);
  }
  HookPlan plan() const {
    return plan_hooks(th_.ctx(), list_agents(th_.home(), Config{}), hooks_dir());
  }
  // The states of the plan's items as "agent event command state" lines.
  static std::vector<std::string> states(const HookPlan& plan) {
    std::vector<std::string> lines;
    for (const auto& item : plan.items) {
      lines.push_back(item.agent + " " + item.event + " " + item.command + " " +
                      std::string(to_string(item.state)));
    }
    return lines;
  }

  TempHome th_;
};

class HooksRead : public HooksHome {};
class HooksPlan : public HooksHome {};
class HooksMerge : public HooksHome {};
class HooksRemove : public HooksHome {};

TEST_F(HooksMerge, PreToolUseHookIsMergedIntoClaudeSettings) {
  install({".claude"});
  hook_file("PreToolUse.toml",
            "[[hook]]\ncommand = \"lint --fix\"\nmatcher = \"Bash\"\ntimeout = 30\n");
  th_.write(".claude/settings.json",
            R"({"model": "opus", "permissions": {"allow": ["Bash"]}, "theme": "dark"})");

  HookPlan before = plan();
  HookApplyResult applied = apply_hook_items(before.items);

  ASSERT_EQ(before.items.size(), 1u);
  const HookItem& item = before.items[0];
  EXPECT_EQ(item.state, HookState::missing);
  EXPECT_EQ(item.settings_path, th_.home() / ".claude/settings.json");
  EXPECT_EQ(item.agent_event, "PreToolUse");
  EXPECT_EQ(describe_hook_item(item), "not in this agent's hooks yet");
  EXPECT_EQ(applied, (HookApplyResult{.messages = {}, .written = 1}));
  EXPECT_EQ(th_.read(".claude/settings.json"), R"({
  "model": "opus",
  "permissions": {
    "allow": [
      "Bash"
    ]
  },
  "theme": "dark",
  "hooks": {
    "PreToolUse": [
      {
        "matcher": "Bash",
        "hooks": [
          {
            "type": "command",
            "command": "lint --fix",
            "timeout": 30
          }
        ]
      }
    ]
  }
})");
  EXPECT_EQ(states(plan()), std::vector<std::string>{"claude PreToolUse lint --fix managed"});
}

TEST_F(HooksMerge, DriftedEntriesAreRestored) {
  install({".claude"});
  hook_file("PreToolUse.toml", "[[hook]]\ncommand = \"check\"\nmatcher = \"Bash\"\ntimeout = 30\n");
  const std::string entry = R"({"type": "command", "command": "check", "timeout": 30})";
  struct Case {
    std::string name;
    std::string groups;
    HookState state;
  };
  const std::vector<Case> cases = {
      {"equal", R"([{"matcher": "Bash", "hooks": [)" + entry + "]}]", HookState::managed},
      {"float timeout",
       R"([{"matcher": "Bash", "hooks": [{"type": "command", "command": "check", "timeout": 30.0}]}])",
       HookState::drifted},
      {"extra key",
       R"([{"matcher": "Bash", "hooks": [{"type": "command", "command": "check", "timeout": 30, "async": true}]}])",
       HookState::drifted},
      {"no timeout", R"([{"matcher": "Bash", "hooks": [{"type": "command", "command": "check"}]}])",
       HookState::drifted},
      {"other matcher", R"([{"matcher": "Edit", "hooks": [)" + entry + "]}]", HookState::drifted},
      {"matcher not a string", R"([{"matcher": 5, "hooks": [)" + entry + "]}]", HookState::drifted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    th_.write(".claude/settings.json", R"({"hooks": {"PreToolUse": )" + c.groups + "}}");

    HookPlan before = plan();
    HookApplyResult applied = apply_hook_items(before.items);

    ASSERT_EQ(before.items.size(), 1u);
    EXPECT_EQ(before.items[0].state, c.state);
    EXPECT_EQ(applied.written, c.state == HookState::drifted ? 1u : 0u);
    EXPECT_TRUE(applied.messages.empty());
    auto after = read_json_object(th_.home() / ".claude/settings.json");
    ASSERT_TRUE(after);
    EXPECT_EQ(
        after->dump(),
        R"({"hooks":{"PreToolUse":[{"matcher":"Bash","hooks":[{"type":"command","command":"check","timeout":30}]}]}})");
  }
}

TEST_F(HooksMerge, MatcherMoveKeepsOtherGroupsAndDropsEmptiedOnes) {
  install({".claude"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\nmatcher = \"Bash\"\n");
  th_.write(".claude/settings.json", R"({"hooks": {"Stop": [
    {"matcher": "Edit", "hooks": [{"type": "command", "command": "ding"}]},
    {"matcher": "Read", "hooks": [{"type": "command", "command": "mine"}, {"command": "ding", "x": 1}]},
    {"matcher": "Bash"},
    {"hooks": []}]}})");

  HookPlan before = plan();
  HookApplyResult applied = apply_hook_items(before.items);

  EXPECT_EQ(states(before),
            (std::vector<std::string>{"claude Stop ding drifted", "claude Stop mine foreign"}));
  EXPECT_EQ(applied.written, 1u);
  auto after = read_json_object(th_.home() / ".claude/settings.json");
  ASSERT_TRUE(after);
  // Both entries with the command go, the emptied group and the empty one go with them, the
  // Bash group without a "hooks" list is passed over and a new group is made at the end.
  EXPECT_EQ(
      after->dump(),
      R"({"hooks":{"Stop":[{"matcher":"Read","hooks":[{"type":"command","command":"mine"}]},)"
      R"({"matcher":"Bash"},{"matcher":"Bash","hooks":[{"type":"command","command":"ding"}]}]}})");
}

TEST_F(HooksPlan, HookWithoutMatcherMatchesEmptyAndAbsentMatcher) {
  install({".claude", ".codex"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  th_.write(
      ".claude/settings.json",
      R"({"hooks": {"Stop": [{"matcher": "", "hooks": [{"type": "command", "command": "ding"}]}]}})");
  th_.write(".codex/hooks.json",
            R"({"hooks": {"Stop": [{"hooks": [{"type": "command", "command": "ding"}]}]}})");

  EXPECT_EQ(states(plan()),
            (std::vector<std::string>{"claude Stop ding managed", "codex Stop ding managed"}));
}

TEST_F(HooksPlan, GeminiTakesItsOwnEventNames) {
  install({".claude", ".gemini"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  hook_file("UserPromptSubmit.toml", "[[hook]]\ncommand = \"guard\"\n");
  hook_file("SubagentStop.toml", "[[hook]]\ncommand = \"sub\"\n");
  th_.write(".gemini/settings.json", R"({"context": {"fileName": ["GEMINI.md"]}})");

  HookPlan before = plan();
  HookApplyResult applied = apply_hook_items(before.items);

  EXPECT_EQ(states(before), (std::vector<std::string>{
                                "claude Stop ding missing", "claude SubagentStop sub missing",
                                "claude UserPromptSubmit guard missing", "gemini Stop ding missing",
                                "gemini SubagentStop sub unsupported",
                                "gemini UserPromptSubmit guard unsupported"}));
  EXPECT_EQ(before.items[3].agent_event, "AfterAgent");
  EXPECT_EQ(describe_hook_item(before.items[5]), "gemini has no UserPromptSubmit hook");
  EXPECT_FALSE(before.items[4].entry.has_value());
  EXPECT_EQ(applied.written, 4u);
  EXPECT_EQ(th_.read(".gemini/settings.json"), R"({
  "context": {
    "fileName": [
      "GEMINI.md"
    ]
  },
  "hooks": {
    "AfterAgent": [
      {
        "hooks": [
          {
            "type": "command",
            "command": "ding"
          }
        ]
      }
    ]
  }
})");
  EXPECT_EQ(states(plan())[3], "gemini Stop ding managed");
}

TEST_F(HooksRead, EventIsTheNameTheFolderListsMatchedExactly) {
  hook_file("Stop.toml", "[[hook]]\ncommand = \"first\"\n");
  hook_file("stop.toml", "[[hook]]\ncommand = \"second\"\n");

  CommonsHooks read = read_commons_hooks(hooks_dir());

  if (case_sensitive_names(hooks_dir())) {
    EXPECT_EQ(read.hooks, (std::vector<CommonsHook>{{.event = "Stop", .command = "first"}}));
    EXPECT_EQ(read.errors, std::vector<std::string>{(hooks_dir() / "stop.toml").string() +
                                                    ": `stop` is not a hook event — expected "
                                                    "one of " +
                                                    kEvents});
  } else {
    // One file: the second write went into "Stop.toml", whose name the system keeps.
    EXPECT_EQ(read.hooks, (std::vector<CommonsHook>{{.event = "Stop", .command = "second"}}));
    EXPECT_TRUE(read.errors.empty());
  }
}

TEST(HooksFileName, IsAnEventNameFollowedByDotToml) {
  struct Case {
    std::string name;
    bool hook_file;
  };
  const Case cases[] = {
      {"Stop.toml", true},  {"Bogus.toml", true},  // an unknown event is reported, not skipped
      {"a.b.toml", true},   {"..toml", true},         {".toml", false},   {"toml", false},
      {"Stop.TOML", false}, {"Stop.toml.bak", false}, {"Stop.md", false}, {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_hook_file_name(c.name), c.hook_file);
  }
}

TEST_F(HooksRead, FileNamedOnlyDotTomlIsNoHookFile) {
  hook_file(".toml", "[[hook]]\ncommand = \"nameless\"\n");
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");

  CommonsHooks read = read_commons_hooks(hooks_dir());

  EXPECT_EQ(read.hooks, (std::vector<CommonsHook>{{.event = "Stop", .command = "ding"}}));
  EXPECT_TRUE(read.errors.empty());
}

TEST_F(HooksRead, BadHookFilesGiveOneProblemEachAndNoHooks) {
  const fs::path dir = hooks_dir();
  const std::string stop = (dir / "Stop.toml").string();
  struct Case {
    std::string file;
    std::string text;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"Stop.toml", "[[hook]]\ncommand = \"a\"\n\n[[hook]]\nc = = 3\n",
       stop + " is not valid TOML (invalid TOML (line 5, column 5))"},
      {"Stop.toml", "hook = [{command = \"a\"}]\n",
       stop + ": expected one or more [[hook]] entries with a `command`"},
      {"Stop.toml", "[hook]\ncommand = \"a\"\n",
       stop + ": expected one or more [[hook]] entries with a `command`"},
      {"Stop.toml", "title = \"no hooks\"\n",
       stop + ": expected one or more [[hook]] entries with a `command`"},
      {"Stop.toml", "[[hook]]\ncommand = \"a\"\n[[hook]]\nmatcher = \"x\"\n",
       stop + ": every [[hook]] needs a `command`"},
      {"Stop.toml", "[[hook]]\ncommand = 5\n", stop + ": every [[hook]] needs a `command`"},
      {"Stop.toml", "[[hook]]\ntype = \"prompt\"\ncommand = \"a\"\n",
       stop + ": `type = \"prompt\"` — kelvaro syncs command hooks only"},
      {"Stop.toml", "[[hook]]\ncommand = \"\xff\"\n",
       "cannot read " + stop + ": " +
           std::make_error_code(std::errc::illegal_byte_sequence).message()},
      {"stop.toml", "[[hook]]\ncommand = \"a\"\n",
       (dir / "stop.toml").string() + ": `stop` is not a hook event — expected one of " + kEvents},
      {".Stop.toml", "[[hook]]\ncommand = \"a\"\n",
       (dir / ".Stop.toml").string() + ": `.Stop` is not a hook event — expected one of " +
           kEvents},
      {"Stop.toml/x", "", "cannot read " + stop + ": " + folder_open_error().message()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + ": " + c.text);
    fs::remove_all(dir);
    hook_file(c.file, c.text);
    hook_file("PreCompact.toml", "[[hook]]\ncommand = \"keep\"\n");
    hook_file("SubagentStop.TOML", "[[hook]]\nmatcher = \"ignored\"\n");
    hook_file("notes.txt", "not a hook");

    CommonsHooks read = read_commons_hooks(dir);

    EXPECT_EQ(read.errors, std::vector<std::string>{c.problem});
    EXPECT_EQ(read.hooks, (std::vector<CommonsHook>{{.event = "PreCompact", .command = "keep"}}));
  }
}

TEST_F(HooksRead, HookValuesOfOtherTypesCountAsAbsent) {
  hook_file("Stop.toml",
            "[[hook]]\ncommand = \"a\"\ntimeout = 2.5\nmatcher = 5\ntype = 3\n"
            "[[hook]]\ncommand = \"\"\ntimeout = \"30\"\nmatcher = \"\"\ntype = \"command\"\n"
            "[[hook]]\ncommand = \"c\"\ntimeout = -5\nextra = true\n");
  hook_file("Notification.toml", "[[hook]]\ncommand = \"n\"\n");

  CommonsHooks read = read_commons_hooks(hooks_dir());

  EXPECT_TRUE(read.errors.empty());
  const std::vector<CommonsHook>& hooks = read.hooks;
  EXPECT_EQ(hooks, (std::vector<CommonsHook>{
                       {.event = "Notification", .command = "n"},
                       {.event = "Stop", .command = "a"},
                       {.event = "Stop", .command = "", .matcher = ""},
                       {.event = "Stop", .command = "c", .timeout = -5},
                   }));
  EXPECT_EQ(hook_entry_json(hooks[3]).dump(), R"({"type":"command","command":"c","timeout":-5})");
}

TEST_F(HooksPlan, BlockingProblemStillPlansTheOtherFiles) {
  install({".claude"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"a\"\n[[hook]]\ntimeout = 1\n");
  hook_file("Notification.toml", "[[hook]]\ncommand = \"n\"\n");

  HookPlan result = plan();

  EXPECT_EQ(result.fatal, std::vector<std::string>{(hooks_dir() / "Stop.toml").string() +
                                                   ": every [[hook]] needs a `command`"});
  EXPECT_EQ(states(result), std::vector<std::string>{"claude Notification n missing"});
}

TEST_F(HooksPlan, NoHooksFolderGivesAnEmptyPlan) {
  install({".claude"});
  const std::string settings =
      R"({"hooks": {"Stop": [{"hooks": [{"type": "command", "command": "mine"}]}]}})";
  th_.write(".claude/settings.json", settings);

  HookPlan without = plan();
  th_.write(hooks_dir(), "not a folder");
  HookPlan as_file = plan();
  auto removed =
      remove_agent_hooks(th_.home() / ".claude/settings.json", "hooks", "claude", hooks_dir());

  EXPECT_EQ(without, HookPlan{});
  EXPECT_EQ(as_file, HookPlan{});
  ASSERT_TRUE(removed);
  EXPECT_EQ(*removed, HookRemoval{});
  EXPECT_EQ(th_.read(".claude/settings.json"), settings);
}

TEST_F(HooksPlan, EntriesTheCommonsDoesNotHoldAreForeign) {
  install({".claude", ".codex"});
  th_.make_dir(hooks_dir());
  const std::string codex = R"({"hooks": {
    "Stop": [{"hooks": [{"type": "command", "command": "  node /opt/hooks/log.js --verbose"},
                        {"type": "command"}, {"command": 7}, "text"]},
             {"matcher": "x", "hooks": {"command": "not a list"}}],
    "Odd": {"hooks": [{"command": "no list"}]},
    "Custom": [{"hooks": [{"command": "\"C:\\Tools\\hook.exe\" -q"}]}]}})";
  th_.write(".codex/hooks.json", codex);

  HookPlan result = plan();
  HookApplyResult applied = apply_hook_items(result.items);

  EXPECT_EQ(states(result),
            (std::vector<std::string>{"codex Stop node … foreign",
                                      "codex Custom C:\\Tools\\hook.exe … foreign"}));
  EXPECT_EQ(describe_hook_item(result.items[0]), "not in the Commons — left alone");
  EXPECT_FALSE(result.items[0].matcher || result.items[0].entry || result.items[0].agent_event);
  EXPECT_EQ(applied, HookApplyResult{});
  EXPECT_EQ(th_.read(".codex/hooks.json"), codex);
}

TEST_F(HooksMerge, SecondEntryWithACommonsCommandIsLeftWhileTheFirstIsManaged) {
  install({".claude"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  th_.write(".claude/settings.json", R"({"hooks": {"Stop": [
    {"hooks": [{"type": "command", "command": "ding"}]},
    {"matcher": "Edit", "hooks": [{"type": "command", "command": "ding", "timeout": 9}]}]}})");

  EXPECT_EQ(states(plan()), std::vector<std::string>{"claude Stop ding managed"});

  th_.write(".claude/settings.json", R"({"hooks": {"Stop": [
    {"hooks": [{"type": "command", "command": "ding", "timeout": 1}]},
    {"matcher": "Edit", "hooks": [{"type": "command", "command": "ding", "timeout": 9}]}]}})");
  HookApplyResult applied = apply_hook_items(plan().items);

  EXPECT_EQ(applied.written, 1u);
  auto after = read_json_object(th_.home() / ".claude/settings.json");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->dump(),
            R"({"hooks":{"Stop":[{"hooks":[{"type":"command","command":"ding"}]}]}})");
}

TEST_F(HooksMerge, UnusableSettingsAreReportedAndLeftUntouched) {
  install({".claude", ".codex"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  const fs::path claude = th_.home() / ".claude/settings.json";
  struct Case {
    std::string text;
    std::string plan_error;
  };
  const std::vector<Case> cases = {
      {"{\"hooks\": {\n  \"Stop\": [,]}}",
       claude.string() + " is not valid JSON (line 2, column 12) — left untouched"},
      {"[1, 2]", claude.string() + " is not valid JSON (line 1, column 1) — left untouched"},
      {R"({"a": 1, "hooks": null})",
       claude.string() + ": `hooks` is not an object — left untouched"},
      {R"({"hooks": ["Stop"]})", claude.string() + ": `hooks` is not an object — left untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    th_.write(".claude/settings.json", c.text);
    fs::remove(th_.home() / ".codex/hooks.json");
    HookItem stale{.agent = "claude",
                   .event = "Stop",
                   .command = "ding",
                   .settings_path = claude,
                   .entry = hook_entry_json({.event = "Stop", .command = "ding"}),
                   .hooks_key = "hooks",
                   .agent_event = "Stop",
                   .state = HookState::missing};

    HookPlan result = plan();
    HookApplyResult applied = apply_hook_items(result.items);
    HookApplyResult forced = apply_hook_items({stale});

    EXPECT_EQ(result.errors, std::vector<std::string>{c.plan_error});
    EXPECT_EQ(states(result), std::vector<std::string>{"codex Stop ding missing"});
    EXPECT_EQ(applied, (HookApplyResult{.messages = {}, .written = 1}));
    EXPECT_EQ(forced.messages, std::vector<std::string>{c.plan_error});
    EXPECT_EQ(th_.read(".claude/settings.json"), c.text);
  }
}

TEST_F(HooksMerge, EventHoldingSomethingElseStopsOnlyThatFile) {
  install({".claude", ".codex"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  hook_file("Notification.toml", "[[hook]]\ncommand = \"bell\"\n");
  const std::string claude = R"({"hooks": {"Stop": {"hooks": []}}})";
  th_.write(".claude/settings.json", claude);

  HookPlan result = plan();
  HookApplyResult applied = apply_hook_items(result.items);

  EXPECT_EQ(states(result), (std::vector<std::string>{
                                "claude Notification bell missing", "claude Stop ding missing",
                                "codex Notification bell missing", "codex Stop ding missing"}));
  EXPECT_EQ(applied.messages,
            std::vector<std::string>{(th_.home() / ".claude/settings.json").string() +
                                     ": `hooks.Stop` is not a list"});
  EXPECT_EQ(applied.written, 2u);
  EXPECT_EQ(th_.read(".claude/settings.json"), claude);
  EXPECT_EQ(states(plan())[3], "codex Stop ding managed");
}

TEST_F(HooksMerge, FailedWriteIsReported) {
  KELVARO_REQUIRE_LINKS();
  install({".claude"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  // Nothing can be created in /proc, whoever runs the test.
  const fs::path link = th_.make_link(".claude/settings.json", "/proc/kelvaro-hooks-test.json");

  HookApplyResult applied = apply_hook_items(plan().items);

  ASSERT_EQ(applied.messages.size(), 1u);
  EXPECT_EQ(applied.messages[0].rfind("cannot write " + link.string() + ": ", 0), 0u)
      << applied.messages[0];
  EXPECT_EQ(applied.written, 0u);
}

TEST_F(HooksRemove, RemovingTakesOnlyTheCommonsEntries) {
  install({".gemini"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  hook_file("PreToolUse.toml", "[[hook]]\ncommand = \"lint\"\nmatcher = \"Bash\"\n");
  hook_file("SubagentStop.toml", "[[hook]]\ncommand = \"sub\"\n");
  hook_file("Bogus.toml", "[[hook]]\ncommand = \"x\"\n");
  const fs::path settings = th_.home() / ".gemini/settings.json";
  th_.write(".gemini/settings.json", R"({"theme": "x", "hooks": {
    "AfterAgent": [{"hooks": [{"type": "command", "command": "ding"}]}],
    "BeforeTool": [{"matcher": "Bash", "hooks": [{"command": "lint"}, {"command": "mine"}]},
                   {"matcher": "Edit", "hooks": [{"command": "lint"}]}],
    "Notification": [{"hooks": [{"command": "ding"}]}]}, "z": 1})");

  auto removed = remove_agent_hooks(settings, "hooks", "gemini", hooks_dir());
  auto again = remove_agent_hooks(settings, "hooks", "gemini", hooks_dir());

  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->removed, (std::vector<std::pair<std::string, std::string>>{
                                  {"PreToolUse", "lint"}, {"Stop", "ding"}}));
  EXPECT_EQ(removed->problems,
            std::vector<std::string>{(hooks_dir() / "Bogus.toml").string() +
                                     ": `Bogus` is not a hook event — expected one of " + kEvents});
  auto after = read_json_object(settings);
  ASSERT_TRUE(after);
  EXPECT_EQ(
      after->dump(),
      R"({"theme":"x","hooks":{"BeforeTool":[{"matcher":"Bash","hooks":[{"command":"mine"}]}],)"
      R"("Notification":[{"hooks":[{"command":"ding"}]}]},"z":1})");
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->removed.empty());
}

TEST_F(HooksRemove, RemovingTheLastEntryKeepsAnEmptyHooksObject) {
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  const fs::path settings = th_.write(".claude/settings.json",
                                      R"({"hooks": {"Stop": [{"hooks": [{"command": "ding"}]}]}})");

  auto removed = remove_agent_hooks(settings, "hooks", "claude", hooks_dir());
  const std::string written = th_.read(".claude/settings.json");
  th_.write(".claude/settings.json", "{\"hooks\": ");
  auto broken = remove_agent_hooks(settings, "hooks", "claude", hooks_dir());

  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->removed.size(), 1u);
  EXPECT_EQ(written, "{\n  \"hooks\": {}\n}");
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error(),
            settings.string() + " is not valid JSON (line 1, column 11) — left untouched");
  EXPECT_EQ(th_.read(".claude/settings.json"), "{\"hooks\": ");
}

TEST_F(HooksRemove, HooksKeyThatIsNotAnObjectIsLeftUntouchedAsWhenPlanning) {
  install({".claude"});
  hook_file("Stop.toml", "[[hook]]\ncommand = \"ding\"\n");
  const std::string text = R"({"hooks": [{"Stop": [{"hooks": [{"command": "ding"}]}]}]})";
  const fs::path settings = th_.write(".claude/settings.json", text);
  const std::string message = settings.string() + ": `hooks` is not an object — left untouched";

  auto removed = remove_agent_hooks(settings, "hooks", "claude", hooks_dir());

  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error(), message);
  EXPECT_EQ(plan().errors, std::vector<std::string>{message});
  EXPECT_EQ(th_.read(".claude/settings.json"), text);
}

TEST(HooksCommandForms, ShortCommand) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"node /opt/hooks/log.js --verbose", "node …"},
      {"\"C:\\Tools\\hook.exe\" -q", "C:\\Tools\\hook.exe …"},
      {"\"C:\\Tools\\hook.exe\"", "C:\\Tools\\hook.exe …"},
      {"'a b'c d", "a b …"},
      {" \t\u00a0\u3000true", "true"},
      {"true  ", "true"},
      {"", ""},
      {"   ", ""},
      {"\"C:\\Program Files\\x.exe -q", "\"C:\\Program Files\\x.exe -q …"},
      {"\"unclosed", "\"unclosed"},
      {"a\u2003b", "a …"},
  };
  for (const auto& [command, expected] : cases) {
    SCOPED_TRACE(command);
    EXPECT_EQ(short_command(command), expected);
  }
}

TEST(HooksCommandForms, ShownCommandCutsAtFortyCharacters) {
  const std::string forty(40, 'x');
  const std::string accented = std::string(38, 'a') + "éé";  // 40 characters, 42 bytes
  EXPECT_EQ(shown_command(forty), forty);
  EXPECT_EQ(shown_command(forty + "y"), std::string(39, 'x') + "…");
  EXPECT_EQ(shown_command(accented), accented);
  EXPECT_EQ(shown_command(accented + "é"), std::string(38, 'a') + "é…");
  EXPECT_EQ(shown_command(""), "");
}

TEST(HooksEvents, AgentEventNames) {
  EXPECT_EQ(agent_event_name("gemini", "PreCompact"), "PreCompress");
  EXPECT_EQ(agent_event_name("gemini", "SubagentStop"), std::nullopt);
  EXPECT_EQ(agent_event_name("claude", "SubagentStop"), "SubagentStop");
  EXPECT_EQ(agent_event_name("Gemini", "Stop"), "Stop");
  EXPECT_EQ(agent_event_name("claude", "stop"), std::nullopt);
}

}  // namespace
}  // namespace kelvaro
