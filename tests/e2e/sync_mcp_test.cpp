#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "documents.hpp"
#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// A local server whose secret comes from the environment, and a remote one.
const std::string two_servers = R"({"mcpServers": {
  "fs": {"command": "npx", "args": ["-y", "fs"], "env": {"TOKEN": "${env:TOKEN}"}},
  "web": {"url": "https://w", "headers": {"A": "b"}}}})";

class E2eSyncMcp : public ::testing::Test {
 protected:
  TempHome home;

  RunResult sync(const std::vector<std::string>& args = {"sync"}) {
    return run_kelvaro(args, home.env());
  }
  std::vector<std::string> files() { return tree_listing(home.root(), home.path(".local")); }
  std::string at(const std::string& rel) { return home.path(rel).string(); }
  // The JSON file `rel` printed compactly, after checking it has no final line end.
  std::string compact(const std::string& rel) {
    const std::string text = home.read(rel);
    EXPECT_FALSE(text.ends_with("\n")) << rel;
    return Json::parse(text).dump();
  }
};

TEST_F(E2eSyncMcp, EveryAgentGetsTheServersInItsOwnDialectOnce) {
  for (const char* dir : {".claude", ".codex", ".config/opencode", ".gemini", ".cursor",
                          ".codeium/windsurf", ".cline"}) {
    home.make_dir(dir);
  }
  home.write(".agents/mcp.json", two_servers);
  home.set_env("TOKEN", "sekrit");
  // claude's file holds much else, which must come back exactly as it was.
  Json claude = {{"numStartups", 7}, {"projects", Json::object()}, {"tipsHistory", {1, 2.5}}};
  for (int i = 0; i < 500; ++i) {
    claude["projects"]["/work/p" + std::to_string(i)] = {{"allowedTools", Json::array()},
                                                         {"history", {"a\u00e9", nullptr}}};
  }
  home.write(".claude.json", claude.dump(2));
  home.write(".codex/config.toml", "# my codex\nmodel = \"o3\" # fast\n\n[tui]\nnotify = true\n");

  RunResult first = sync();
  RunResult second = sync();

  std::string lines;
  for (const char* agent :
       {"claude", "codex", "opencode", "gemini", "cursor", "windsurf", "cline"}) {
    for (const char* server : {"fs", "web"}) {
      lines += std::string("  missing   ") + server + " → " + agent +
               " — not in this agent's config yet\n";
    }
  }
  EXPECT_EQ(first, (RunResult{.out = "mcp (mcp.json)\n" + lines + "\n14 changes made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(second, up_to_date);

  claude["mcpServers"] = Json::parse(R"({
    "fs": {"command": "npx", "args": ["-y", "fs"], "env": {"TOKEN": "sekrit"}},
    "web": {"type": "http", "url": "https://w", "headers": {"A": "b"}}})");
  EXPECT_EQ(home.read(".claude.json"), claude.dump(2));
  EXPECT_EQ(
      home.read(".codex/config.toml"),
      "# my codex\nmodel = \"o3\" # fast\n\n[tui]\nnotify = true\n\n"
      "[mcp_servers.fs]\ncommand = \"npx\"\nargs = [\"-y\", \"fs\"]\n\n"
      "[mcp_servers.fs.env]\nTOKEN = \"sekrit\"\n\n"
      "[mcp_servers.web]\nurl = \"https://w\"\n\n[mcp_servers.web.http_headers]\nA = \"b\"\n");
  const std::string standard =
      R"({"mcpServers":{"fs":{"command":"npx","args":["-y","fs"],"env":{"TOKEN":"sekrit"}},)"
      R"("web":{"url":"https://w","headers":{"A":"b"}}}})";
  EXPECT_EQ(compact(".cursor/mcp.json"), standard);
  EXPECT_EQ(compact(".cline/mcp.json"), standard);
  EXPECT_EQ(compact(".config/opencode/opencode.json"),
            R"({"mcp":{"fs":{"type":"local","command":["npx","-y","fs"],)"
            R"("environment":{"TOKEN":"sekrit"}},)"
            R"("web":{"type":"remote","url":"https://w","headers":{"A":"b"}}}})");
  EXPECT_EQ(compact(".gemini/settings.json"),
            R"({"mcpServers":{"fs":{"command":"npx","args":["-y","fs"],"env":{"TOKEN":"sekrit"}},)"
            R"("web":{"httpUrl":"https://w","headers":{"A":"b"}}}})");
  EXPECT_EQ(compact(".codeium/windsurf/mcp_config.json"),
            R"({"mcpServers":{"fs":{"command":"npx","args":["-y","fs"],"env":{"TOKEN":"sekrit"}},)"
            R"("web":{"serverUrl":"https://w","headers":{"A":"b"}}}})");
  EXPECT_EQ(home.read(".agents/mcp.json"), two_servers);
}

TEST_F(E2eSyncMcp, HandEditedEntryIsRestoredInPlaceAndForeignOnesAreLeftAlone) {
  home.make_dir(".cursor");
  home.write(".agents/mcp.json", R"({"mcpServers": {"web": {"url": "https://w"}}})");
  home.write(
      ".cursor/mcp.json",
      R"({"mcpServers": {"mine": {"command": "m"}, "web": {"url": "https://x", "note": 1}, "z": 2}})");

  RunResult first = sync();
  RunResult second = sync();

  EXPECT_EQ(first, (RunResult{.out = "mcp (mcp.json)\n"
                                     "  drifted   web → cursor — differs from the Commons (note, "
                                     "url) — will be restored\n"
                                     "  foreign   mine → cursor — not in the Commons — left alone\n"
                                     "  foreign   z → cursor — not in the Commons — left alone\n"
                                     "\n"
                                     "1 change made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(compact(".cursor/mcp.json"),
            R"({"mcpServers":{"mine":{"command":"m"},"web":{"url":"https://w"},"z":2}})");
  EXPECT_EQ(second,
            (RunResult{.out = "mcp (mcp.json)\n"
                              "  foreign   mine → cursor — not in the Commons — left alone\n"
                              "  foreign   z → cursor — not in the Commons — left alone\n"
                              "Everything is up to date.\n",
                       .err = "",
                       .status = 0}));
}

TEST_F(E2eSyncMcp, AllowlistedServerReachesOnlyItsAgentsAndDisabledOnesAreRemoved) {
  home.make_dir(".claude");
  home.make_dir(".codex");
  home.make_dir(".cursor");
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "fs": {"command": "f"},
      "old": {"command": "o", "env": {"K": "${env:UNSET}"}, "disabled": true}}})");
  home.write(".config/kelvaro/kelvaro.toml", "[mcp.fs]\nagents = [\"claude\"]\n");
  home.write(
      ".codex/config.toml",
      "[mcp_servers.old]\ncommand = \"o\"\n\n# kept\n[mcp_servers.other]\ncommand = \"x\"\n");
  home.write(".cursor/mcp.json", R"({"mcpServers": {"fs": {"command": "f"}, "old": {}}})");
  const auto before = files();

  RunResult dry = sync({"sync", "--dry-run"});

  const std::string section =
      "mcp (mcp.json)\n"
      "  missing   fs → claude — not in this agent's config yet\n"
      "  disabled  old → codex — disabled in the Commons — will be removed\n"
      "  foreign   other → codex — not in the Commons — left alone\n"
      "  stranded  fs → cursor — still here but no longer allowlisted — remove it with "
      "cursor's own tool, or add `cursor` to `mcp.fs.agents`\n"
      "  disabled  old → cursor — disabled in the Commons — will be removed\n";
  EXPECT_EQ(dry, (RunResult{.out = "dry run — no changes will be made\n\n" + section +
                                   "\n3 changes would be made.\n",
                            .err = "",
                            .status = 0}));
  EXPECT_EQ(files(), before);

  RunResult real = sync();

  EXPECT_EQ(real, (RunResult{.out = section + "\n3 changes made.\n", .err = "", .status = 0}));
  EXPECT_EQ(compact(".claude.json"), R"({"mcpServers":{"fs":{"command":"f"}}})");
  EXPECT_EQ(home.read(".codex/config.toml"), "\n# kept\n[mcp_servers.other]\ncommand = \"x\"\n");
  EXPECT_EQ(compact(".cursor/mcp.json"), R"({"mcpServers":{"fs":{"command":"f"}}})");
}

TEST_F(E2eSyncMcp, UnsetVariableBlocksTheWholeRun) {
  home.make_dir(".claude");
  home.make_dir(".agents/skills/review");
  home.write(".agents/mcp.json", two_servers);
  const auto before = files();

  RunResult result = sync();

  EXPECT_EQ(result, (RunResult{.out = "\nNo changes were made — see the errors above.\n",
                               .err = "error: mcp server `fs`: ${env:TOKEN} is not set in the "
                                      "environment\n",
                               .status = 1}));
  EXPECT_EQ(files(), before);
}

TEST_F(E2eSyncMcp, UnreadableAgentFileIsReportedAndLeftWhileOthersAreWritten) {
  home.make_dir(".cursor");
  home.make_dir(".gemini");
  home.make_dir(".codex");
  home.write(".agents/mcp.json", R"({"mcpServers": {"web": {"url": "https://w"}}})");
  home.write(".cursor/mcp.json", "{\"mcpServers\": {\"web\": ");
  home.write(".codex/config.toml", "\xEF\xBB\xBF[mcp_servers]\r\nx = [\r\n");

  RunResult result = sync();

  EXPECT_EQ(result, (RunResult{.out = "mcp (mcp.json)\n"
                                      "  missing   web → gemini — not in this agent's config yet\n"
                                      "\n"
                                      "1 change made.\n",
                               .err = "error: " + at(".codex/config.toml") +
                                      ": invalid TOML (line 3, column 1) — left untouched\n"
                                      "error: " +
                                      at(".cursor/mcp.json") +
                                      " is not valid JSON (line 1, column 24) — left untouched\n",
                               .status = 1}));
  EXPECT_EQ(home.read(".cursor/mcp.json"), "{\"mcpServers\": {\"web\": ");
  EXPECT_EQ(home.read(".codex/config.toml"), "\xEF\xBB\xBF[mcp_servers]\r\nx = [\r\n");
  EXPECT_EQ(compact(".gemini/settings.json"), R"({"mcpServers":{"web":{"httpUrl":"https://w"}}})");
}

TEST_F(E2eSyncMcp, RelativeRootNamesTheFilesAsTheMcpCommandsDo) {
  home.make_dir(".claude");
  home.write(".claude.json", "{ not json");
  home.write(".agents/mcp.json", R"({"mcpServers": {"fs": {"command": "true"}}})");
  EnvSnapshot env = home.env();
  env["KELVARO_TARGET_ROOT"] = "home";
  env["HOME"] = "home";
  auto run_in_root = [&](const std::vector<std::string>& args) {
    return run_kelvaro(args, env, home.root());
  };
  const std::string agent_error = "error: " + display(fs::path("home") / ".claude.json") +
                                  " is not valid JSON (line 1, column 4) — left untouched\n";

  RunResult listed = run_in_root({"mcp", "list"});
  EXPECT_EQ(listed.err, agent_error);
  EXPECT_EQ(run_in_root({"sync", "--dry-run"}).err, agent_error);
  EXPECT_EQ(run_in_root({"status"}).err, agent_error);
  EXPECT_EQ(run_in_root({"sync"}).err, agent_error);

  home.write(".agents/mcp.json", "{ not json");
  RunResult commons = run_in_root({"mcp", "list"});
  EXPECT_EQ(commons.status, 1);
  EXPECT_NE(commons.err.find(display(fs::path("home") / ".agents" / "mcp.json")), std::string::npos)
      << commons.err;
  EXPECT_EQ(run_in_root({"status"}).err, commons.err);
  EXPECT_EQ(run_in_root({"sync"}).err, commons.err);
}

}  // namespace
}  // namespace kelvaro
