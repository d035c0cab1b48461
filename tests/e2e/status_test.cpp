#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

class E2eStatus : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override {
    home.write(".agents/skills/x/SKILL.md", "skill x");
    home.write(".agents/commands/review.md", "review");
    home.make_dir(".agents/agents");
    home.make_dir(".claude");
  }
  RunResult run(const std::vector<std::string>& args) { return run_kelvaro(args, home.env()); }
  RunResult status() { return run({"status"}); }
  nlohmann::ordered_json status_json() {
    RunResult result = run({"status", "--json"});
    EXPECT_EQ(result.err, "");
    return nlohmann::ordered_json::parse(result.out);
  }
};

// The JSON report lists every item, in order and with its mark; a group without entries is
// listed although the text report has no heading for it.
TEST_F(E2eStatus, JsonListsEveryGroupAndItemWithItsMark) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"say done\"\n");
  home.make_link(".claude/skills/x", "../../.agents/skills/x", true);

  const auto expected = nlohmann::ordered_json::parse(R"({
    "commons": ")" + home.commons().string() + R"(",
    "instructions": [
      {"agent": "claude", "path": ")" + home.path(".claude/CLAUDE.md").string() +
                                                      R"(",
       "state": "import", "actionable": true}
    ],
    "mcp": [],
    "hooks": [
      {"agent": "claude", "event": "Stop", "hook": "say done", "state": "missing",
       "actionable": true}
    ],
    "rendered": [],
    "clean": false,
    "actionable": 3,
    "targets": [
      {"agent": "claude", "family": "skills", "dir": ".claude/skills",
       "entries": [{"name": "x", "state": "linked", "actionable": false}]},
      {"agent": "claude", "family": "commands", "dir": ".claude/commands",
       "entries": [{"name": "review", "state": "missing", "actionable": true}]},
      {"agent": "claude", "family": "agents", "dir": ".claude/agents", "entries": []}
    ]
  })");
  RunResult result = run({"status", "--json"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(nlohmann::ordered_json::parse(result.out), expected);
  EXPECT_EQ(result.out.back(), '\n');

  ASSERT_EQ(run({"sync"}).status, 0);
  auto clean = status_json();
  EXPECT_EQ(clean["clean"], true);
  EXPECT_EQ(clean["actionable"], 0);
  EXPECT_EQ(clean["hooks"][0]["state"], "managed");
  EXPECT_EQ(clean["hooks"][0]["actionable"], false);
  EXPECT_EQ(clean["instructions"][0]["state"], "imported");
}

// A copy identical to the Commons needs attention, and stays so after a sync, which leaves it
// alone; a foreign link and an instructions conflict are shown but not counted.
TEST_F(E2eStatus, VariantIdenticalCountsForeignAndConflictDoNot) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/AGENTS.md", "Be brief.\n");
  home.write(".config/kelvaro/kelvaro.toml", "[instructions]\nclaude = \"symlink\"\n");
  home.write(".claude/CLAUDE.md", "<claude-mem-context>\nremembered\n");
  home.write(".agents/skills/twin/SKILL.md", "same");
  home.write(".claude/skills/twin/SKILL.md", "same");
  home.make_dir("elsewhere");
  home.make_link(".claude/skills/mine", "../../elsewhere", true);

  RunResult before = status();
  EXPECT_EQ(before.out,
            "claude (.claude/skills)  0 linked\n"
            "  foreign           mine — not ours — left alone\n"
            "  variant-identical twin — identical to the Commons — re-link it with `kelvaro "
            "adopt " +
                (home.path(".claude/skills") / "twin").string() +
                "`\n"
                "  missing           x — not linked yet\n"
                "claude (.claude/commands)  0 linked\n"
                "  missing           review — not linked yet\n"
                "instructions (AGENTS.md)\n"
                "  conflict          claude — " +
                home.path(".claude/CLAUDE.md").string() +
                " is owned by claude-mem — move or merge it, then sync again\n"
                "\n"
                "3 items need attention — run `kelvaro sync`, and re-link each identical copy "
                "with `kelvaro adopt PATH`.\n");
  EXPECT_EQ(before.status, 2);

  // `sync` leaves the copy alone, so the report no longer sends the user there; the command
  // the note names is the one that re-links it.
  ASSERT_EQ(run({"sync"}).status, 0);
  RunResult after = status();
  EXPECT_TRUE(after.out.ends_with(
      "\n1 items need attention — re-link each identical copy with `kelvaro adopt PATH`.\n"))
      << after.out;
  EXPECT_EQ(after.status, 2);
  auto json = status_json();
  EXPECT_EQ(json["clean"], false);
  EXPECT_EQ(json["targets"][0]["entries"][1],
            nlohmann::ordered_json::parse(
                R"({"name": "twin", "state": "variant-identical", "actionable": true})"));

  ASSERT_EQ(run({"adopt", home.path(".claude/skills/twin").string()}).status, 0);
  RunResult relinked = status();
  EXPECT_TRUE(relinked.out.ends_with("\nEverything is in sync.\n")) << relinked.out;
  EXPECT_EQ(relinked.status, 0);
}

TEST_F(E2eStatus, McpItemsAreListedAndCounted) {
  KELVARO_REQUIRE_LINKS();
  ASSERT_EQ(run({"sync"}).status, 0);
  home.write(".agents/mcp.json", R"({"mcpServers": {"fs": {"command": "fs"}}})");
  home.write(".claude.json", R"({"mcpServers": {"own": {"command": "own"}}})");

  RunResult result = status();

  EXPECT_EQ(result.out,
            "claude (.claude/skills)  1 linked\n"
            "claude (.claude/commands)  1 linked\n"
            "mcp (mcp.json)\n"
            "  missing           fs → claude — not in this agent's config yet\n"
            "  foreign           own → claude — not in the Commons — left alone\n"
            "\n"
            "1 items need attention — run `kelvaro sync`.\n");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(status_json()["mcp"], nlohmann::ordered_json::parse(R"([
    {"agent": "claude", "name": "fs", "state": "missing", "actionable": true},
    {"agent": "claude", "name": "own", "state": "foreign", "actionable": false}
  ])"));
}

// A server the allowlist keeps from an agent that still holds it is left alone, and its note
// names the two steps that settle that one copy: either leaves the other agents and the Commons
// as they were.
TEST_F(E2eStatus, StrandedNoteNamesStepsThatTouchOnlyThatCopy) {
  home.make_dir(".cursor");
  home.write(".agents/mcp.json", R"({"mcpServers": {"fs": {"command": "f"}}})");
  home.write(".config/kelvaro/kelvaro.toml", "[mcp.fs]\nagents = [\"claude\"]\n");
  home.write(".claude.json", R"({"mcpServers": {"fs": {"command": "f"}}})");
  home.write(".cursor/mcp.json", R"({"mcpServers": {"fs": {"command": "f"}}})");
  const std::string commons = home.read(".agents/mcp.json");
  const std::string claude = home.read(".claude.json");
  auto mcp_lines = [](const std::string& out) {
    return out.substr(out.find("mcp (mcp.json)\n"), out.find("\n\n") - out.find("mcp (mcp.json)"));
  };

  const RunResult stranded = status();
  EXPECT_EQ(mcp_lines(stranded.out),
            "mcp (mcp.json)\n"
            "  managed           fs → claude\n"
            "  stranded          fs → cursor — still here but no longer allowlisted — remove it "
            "with cursor's own tool, or add `cursor` to `mcp.fs.agents`")
      << stranded.out;

  home.write(".config/kelvaro/kelvaro.toml", "[mcp.fs]\nagents = [\"claude\", \"cursor\"]\n");
  const RunResult allowed = status();
  EXPECT_EQ(mcp_lines(allowed.out),
            "mcp (mcp.json)\n"
            "  managed           fs → claude\n"
            "  managed           fs → cursor")
      << allowed.out;

  home.write(".config/kelvaro/kelvaro.toml", "[mcp.fs]\nagents = [\"claude\"]\n");
  home.write(".cursor/mcp.json", R"({"mcpServers": {}})");
  const RunResult removed = status();
  EXPECT_EQ(mcp_lines(removed.out), "mcp (mcp.json)\n  managed           fs → claude")
      << removed.out;
  EXPECT_EQ(home.read(".agents/mcp.json"), commons);
  EXPECT_EQ(home.read(".claude.json"), claude);
}

// An agent file that cannot be read is an error, but the report of the rest still stands.
// Member names of an agent's entry come from another tool's file: a drifted note names them,
// and neither report may pass their control characters to the terminal.
TEST_F(E2eStatus, NotesShowControlCharactersEscapedInEveryReport) {
  home.write(".agents/mcp.json", "{\"mcpServers\": {\"x\": {\"command\": \"x\"}}}\n");
  home.write(".claude.json", "{\"mcpServers\": {\"x\": {\"command\": \"x\", \"e\\u001b[2J\": 1}}}");

  const RunResult report = status();
  const RunResult dry_run = run({"sync", "--dry-run"});

  const std::string line = "drifted           x → claude — differs from the Commons (e\\x1b[2J)";
  EXPECT_NE(report.out.find(line), std::string::npos) << report.out;
  EXPECT_EQ(report.out.find('\x1b'), std::string::npos);
  EXPECT_NE(dry_run.out.find("  drifted   x → claude — differs from the Commons (e\\x1b[2J)"),
            std::string::npos)
      << dry_run.out;
  EXPECT_EQ(dry_run.out.find('\x1b'), std::string::npos);
}

TEST_F(E2eStatus, AgentFileErrorIsReportedAndTheReportStillPrinted) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"say done\"\n");
  home.write(".agents/mcp.json", R"({"mcpServers": {}})");
  home.write(".claude.json", "{}");
  ASSERT_EQ(run({"sync"}).status, 0);
  for (const std::string file : {".claude/settings.json", ".claude.json"}) {
    SCOPED_TRACE(file);
    const std::string synced = home.read(file);
    home.write(file, "{ not json");

    RunResult result = status();

    EXPECT_TRUE(result.out.starts_with("claude (.claude/skills)  1 linked\n")) << result.out;
    EXPECT_TRUE(result.out.ends_with("\nNot everything could be checked — see the errors above.\n"))
        << result.out;
    EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
    EXPECT_NE(result.err.find(file), std::string::npos) << result.err;
    EXPECT_EQ(result.status, 1);
    home.write(file, synced);
  }
}

// gemini keeps its servers and hooks in one file: when it cannot be read, both reports say so
// once, and what still needs a sync is counted as before.
TEST_F(E2eStatus, AFileTwoPlansReadIsReportedOnce) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"say done\"\n");
  home.write(".agents/mcp.json", R"({"mcpServers": {}})");
  home.write(".gemini/settings.json", "{ not json");
  const std::string error =
      "error: " + home.path(".gemini/settings.json").string() + " is not valid JSON";

  const RunResult report = status();
  const RunResult dry_run = run({"sync", "--dry-run"});

  for (const RunResult& result : {report, dry_run}) {
    const std::size_t first = result.err.find(error);
    EXPECT_NE(first, std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(error, first + 1), std::string::npos) << result.err;
    EXPECT_EQ(result.status, report.status);
  }
  EXPECT_TRUE(report.out.ends_with("\n4 items need attention — run `kelvaro sync`.\n"))
      << report.out;
  EXPECT_EQ(report.status, 1);
}

TEST_F(E2eStatus, BlockingErrorPrintsNoReportInEitherForm) {
  for (const std::string file : {".agents/hooks/Stop.toml", ".agents/mcp.json"}) {
    home.write(file, "[[hook]\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"status"}, std::vector<std::string>{"status", "--json"}}) {
      SCOPED_TRACE(file + " " + args.back());
      RunResult result = run(args);
      EXPECT_EQ(result.out, "");
      EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
      EXPECT_EQ(result.status, 1);
    }
    home.write(file, "");
  }
}

// A file name that is not UTF-8 cannot stand in a JSON string as it is; the report shows it
// with the bad bytes replaced instead of failing.
TEST_F(E2eStatus, JsonSurvivesNamesThatAreNotUtf8) {
  KELVARO_REQUIRE_LINKS();
  home.make_link(".claude/skills/bad\xFF", "../../.agents/skills/gone", true);

  RunResult result = run({"status", "--json"});

  const auto json = nlohmann::ordered_json::parse(result.out);
  EXPECT_EQ(json["targets"][0]["entries"][0]["name"], "bad\uFFFD");
  EXPECT_EQ(json["targets"][0]["entries"][0]["state"], "dangling");
  EXPECT_EQ(result.status, 2);
}

// The JSON report is printed piece by piece rather than by the JSON library; whatever the names
// and commands hold, and however long it is, it must be the library's own print of the document
// it parses to.
TEST_F(E2eStatus, JsonIsTheJsonLibrarysPrintOfItsDocument) {
  home.write(".agents/hooks/Stop.toml",
             "[[hook]]\ncommand = \"say \\\"done\\\" \\\\ \\u0001\\t\\u007f caf\xC3\xA9\"\n");
  home.write(".agents/mcp.json",
             R"({"mcpServers": {"q\"b\\c\u0002\u001f\u007f/\u00e9": {"command": "x"}}})");
  for (int i = 0; i < 1000; ++i) {
    home.write(fmt::format(".agents/skills/skill-{:04}/SKILL.md", i), "skill");
  }
  home.write(".agents/skills/caf\xC3\xA9 \xF0\x9F\x98\x80/SKILL.md", "skill");
  const bool bad_name = static_cast<bool>(
      std::ofstream(home.commons() / "commands" / not_unicode_name("bad", ".md"), std::ios::binary)
      << "x");

  RunResult result = run({"status", "--json"});

  EXPECT_EQ(result.status, 2);
  ASSERT_GT(result.out.size(), std::size_t{100} * 1024);  // more than one piece
  const auto parsed = nlohmann::ordered_json::parse(result.out, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << result.out.substr(0, 2000);
  EXPECT_EQ(result.out, parsed.dump(2) + "\n");
  EXPECT_NE(result.out.find(R"("name": "q\"b\\c\u0002\u001f)"
                            "\x7F"
                            "/\xC3\xA9\","),
            std::string::npos);
  EXPECT_NE(result.out.find(R"("hook": "say \"done\" \\ \u0001\t)"
                            "\x7F"
                            " caf\xC3\xA9\","),
            std::string::npos);
  EXPECT_NE(result.out.find("\"name\": \"caf\xC3\xA9 \xF0\x9F\x98\x80\","), std::string::npos);
  if (bad_name) {
    EXPECT_NE(result.out.find("\"name\": \"bad\xEF\xBF\xBD\","), std::string::npos);
  }
  EXPECT_EQ(parsed["targets"][0]["entries"].size(), 1002U);  // with the fixture's skill
}

TEST_F(E2eStatus, HookLinesShowTheWholeCommand) {
  const std::string command = "run-the-linter --fix --all --quiet --config ~/.lint/rules.toml";
  home.write(".agents/hooks/PreToolUse.toml", "[[hook]]\ncommand = \"" + command + "\"\n");

  RunResult result = status();

  EXPECT_NE(result.out.find("hooks\n  missing           PreToolUse " + command +
                            " → claude — not in this agent's hooks yet\n"),
            std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace kelvaro
