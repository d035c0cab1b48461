#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

using Json = nlohmann::ordered_json;

const std::string kScope = " — remove the allowlist in kelvaro.toml to share it\n";

class E2eMcpCmd : public ::testing::Test {
 protected:
  TempHome home;

  RunResult kelvaro(const std::vector<std::string>& args) { return run_kelvaro(args, home.env()); }
  Json read_json(const fs::path& rel) const { return Json::parse(home.read(rel)); }
  // Everything under the home folder but the Commons, the configuration and the state folders:
  // what belongs to the agents.
  std::vector<std::string> agent_files() const {
    std::vector<std::string> lines;
    for (const std::string& line : tree_listing(home.home())) {
      if (line.rfind(".agents", 0) != 0 && line.rfind(".config", 0) != 0 &&
          line.rfind(".local", 0) != 0) {
        lines.push_back(line);
      }
    }
    return lines;
  }
};

TEST_F(E2eMcpCmd, AdoptBySpecScopesTheServerToItsAgent) {
  home.make_dir(".codex");
  home.make_dir(".cursor");
  home.make_dir(".claude");
  home.write(".claude.json", R"({"theme": "dark", "mcpServers": {
    "fs": {"type": "stdio", "command": "npx", "args": ["-y", "fs"],
           "env": {"API_KEY": "sk-123", "ROOT": "/data"}, "timeout": 30},
    "other": {"command": "x"}}})");
  const auto agents_before = agent_files();

  RunResult result = kelvaro({"mcp", "adopt", "claude/fs"});

  EXPECT_EQ(result,
            (RunResult{.out = "adopted fs from claude\n"
                              "  note: `fs`: timeout has no place in the standard shape and was "
                              "kept as a Tweak for this agent alone\n"
                              "  scoped to claude" +
                              kScope,
                       .err = "warning: `fs`: env.API_KEY look like credentials and were copied "
                              "into the Commons as written — replace them with ${env:VAR} before "
                              "committing it\n",
                       .status = 0}));
  EXPECT_EQ(read_json(".agents/mcp.json"), Json::parse(R"({"mcpServers": {"fs": {
      "command": "npx", "args": ["-y", "fs"],
      "env": {"API_KEY": "sk-123", "ROOT": "/data"}}}})"));
  EXPECT_EQ(home.read(home.config_file()),
            "[mcp.fs]\nagents = [\"claude\"]\n\n[mcp.fs.tweaks.claude]\ntimeout = 30\n");
  EXPECT_EQ(agent_files(), agents_before);
  // The adopted entry renders back to exactly what claude holds: only its own server shows.
  EXPECT_EQ(kelvaro({"sync"}).out,
            "mcp (mcp.json)\n"
            "  foreign   other → claude — not in the Commons — left alone\n"
            "Everything is up to date.\n");
}

TEST_F(E2eMcpCmd, AdoptAllGrowsTheAllowlistAndRefusesADifferentDefinition) {
  const std::string fs_server = R"({"mcpServers": {"fs": {"command": "npx", "args": ["fs"]}}})";
  home.make_dir(".claude");
  home.write(".claude.json", fs_server);
  home.write(".gemini/settings.json",
             R"({"mcpServers": {"fs": {"command": "npx", "args": ["fs", "--other"]}}})");
  home.write(".cursor/mcp.json", fs_server);
  const auto agents_before = agent_files();

  RunResult result = kelvaro({"mcp", "adopt", "--all"});

  // The scope is said once, as the run leaves it; the refusal names the agent refused.
  EXPECT_EQ(result, (RunResult{.out = "adopted fs from claude\n"
                                      "fs is already in the Commons\n"
                                      "  scoped to claude, cursor" +
                                      kScope,
                               .err = "error: `fs` in gemini differs from the Commons copy — "
                                      "merge it by hand; kelvaro will not choose which side to "
                                      "discard\n",
                               .status = 1}));
  EXPECT_EQ(read_json(".agents/mcp.json"), Json::parse(R"({"mcpServers": {"fs": {
                "command": "npx", "args": ["fs"]}}})"));
  EXPECT_EQ(home.read(home.config_file()), "[mcp.fs]\nagents = [\"claude\", \"cursor\"]\n");
  EXPECT_EQ(agent_files(), agents_before);
}

TEST_F(E2eMcpCmd, AdoptAllFromEveryAgentLeavesNoAllowlist) {
  const std::string fs_server = R"({"mcpServers": {"fs": {"command": "npx"}}})";
  home.make_dir(".claude");
  home.write(".claude.json", fs_server);
  home.write(".cursor/mcp.json", fs_server);

  RunResult result = kelvaro({"mcp", "adopt", "--all"});

  EXPECT_EQ(result, (RunResult{.out = "adopted fs from claude\n"
                                      "fs is already in the Commons\n",
                               .err = "",
                               .status = 0}));
  // Shared by every agent: nothing to record, not even an empty table.
  EXPECT_FALSE(fs::exists(home.config_file()));
}

TEST_F(E2eMcpCmd, AdoptCodexRemoteEntryAsStreamableHttp) {
  const std::string codex =
      "# remote docs\n"
      "[mcp_servers.docs]\n"
      "url = \"https://docs.example/mcp\"\n"
      "\n"
      "[mcp_servers.docs.http_headers]\n"
      "Authorization = \"Bearer abc\"\n";
  home.write(".codex/config.toml", codex);

  RunResult result = kelvaro({"mcp", "adopt", "codex/docs"});

  EXPECT_EQ(result,
            (RunResult{.out = "adopted docs from codex\n",
                       .err = "warning: `docs`: headers.Authorization look like credentials and "
                              "were copied into the Commons as written — replace them with "
                              "${env:VAR} before committing it\n",
                       .status = 0}));
  EXPECT_EQ(read_json(".agents/mcp.json"), Json::parse(R"({"mcpServers": {"docs": {
                "type": "http", "url": "https://docs.example/mcp",
                "headers": {"Authorization": "Bearer abc"}}}})"));
  EXPECT_EQ(home.read(".codex/config.toml"), codex);
  EXPECT_FALSE(fs::exists(home.config_file()));
}

TEST_F(E2eMcpCmd, DisableThenEnableRestoresEveryAgentInItsDialect) {
  home.set_env("FS_ROOT", "/data");
  home.write(".agents/mcp.json", R"({"mcpServers": {"fs": {
      "command": "npx", "args": ["-y", "fs"], "env": {"ROOT": "${env:FS_ROOT}"}}}})");
  home.write(home.config_file(), "[mcp.fs]\nagents = [\"claude\", \"codex\", \"opencode\"]\n");
  home.make_dir(".claude");
  home.write(".claude.json", R"({"theme": "dark", "mcpServers": {"fs": {"command": "npx"}}})");
  // Outside the allowlist, kelvaro's copy from before the list: disabling takes it out,
  // enabling does not put it back.
  home.write(".cursor/mcp.json", R"({"mcpServers": {"fs": {
      "command": "npx", "args": ["-y", "fs"], "env": {"ROOT": "/data"}}}})");
  const std::string codex =
      "# my codex\n"
      "model = \"o3\"\n"
      "\n"
      "[mcp_servers.fs]\n"
      "command = \"npx\"\n"
      "args = [\"-y\", \"fs\"]\n"
      "\n"
      "[mcp_servers.fs.env]\n"
      "ROOT = \"/data\"\n";
  home.write(".codex/config.toml", codex);
  home.write(".config/opencode/opencode.json", R"({"mcp": {"fs": {"type": "local"}}})");

  RunResult disabled = kelvaro({"mcp", "disable", "fs"});

  EXPECT_EQ(
      disabled,
      (RunResult{
          .out =
              "removed fs from claude\nremoved fs from codex\nremoved fs from "
              "opencode\nremoved fs from cursor\ndisabled fs — definition kept; enable restores it "
              "everywhere\n",
          .err = "",
          .status = 0}));
  EXPECT_EQ(read_json(".agents/mcp.json")["mcpServers"]["fs"]["disabled"], true);
  EXPECT_EQ(read_json(".claude.json"), Json::parse(R"({"theme": "dark", "mcpServers": {}})"));
  EXPECT_EQ(home.read(".codex/config.toml"), "# my codex\nmodel = \"o3\"\n");
  EXPECT_EQ(kelvaro({"mcp", "disable", "fs"}),
            (RunResult{.out = "fs is already disabled\n", .err = "", .status = 0}));

  EXPECT_EQ(kelvaro({"sync"}).status, 0);
  EXPECT_EQ(read_json(".claude.json"), Json::parse(R"({"theme": "dark", "mcpServers": {}})"));
  EXPECT_EQ(read_json(".config/opencode/opencode.json"), Json::parse(R"({"mcp": {}})"));
  EXPECT_EQ(home.read(".codex/config.toml"), "# my codex\nmodel = \"o3\"\n");

  RunResult enabled = kelvaro({"mcp", "enable", "fs"});

  EXPECT_EQ(enabled, (RunResult{.out = "restored fs to claude\nrestored fs to codex\nrestored fs "
                                       "to opencode\nenabled fs\n",
                                .err = "",
                                .status = 0}));
  EXPECT_EQ(read_json(".agents/mcp.json"), Json::parse(R"({"mcpServers": {"fs": {
      "command": "npx", "args": ["-y", "fs"], "env": {"ROOT": "${env:FS_ROOT}"}}}})"));
  EXPECT_EQ(read_json(".claude.json"), Json::parse(R"({"theme": "dark", "mcpServers": {"fs": {
      "command": "npx", "args": ["-y", "fs"], "env": {"ROOT": "/data"}}}})"));
  EXPECT_EQ(home.read(".codex/config.toml"), codex);
  EXPECT_EQ(read_json(".config/opencode/opencode.json"), Json::parse(R"({"mcp": {"fs": {
      "type": "local", "command": ["npx", "-y", "fs"], "environment": {"ROOT": "/data"}}}})"));
  EXPECT_EQ(read_json(".cursor/mcp.json"), Json::parse(R"({"mcpServers": {}})"));
  EXPECT_EQ(kelvaro({"mcp", "enable", "fs"}),
            (RunResult{.out = "fs is already enabled\n", .err = "", .status = 0}));
}

TEST_F(E2eMcpCmd, RemoveTakesOutOnlyThatServer) {
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "fs": {"command": "npx"}, "web": {"url": "https://example.com/mcp"}}})");
  home.write(home.config_file(), kBom +
                                     "# my settings\r\n"
                                     "[targets]\r\n"
                                     "cursor = false\r\n"
                                     "\r\n"
                                     "[mcp.fs]\r\n"
                                     "agents = [\"claude\", \"codex\"]  # two\r\n"
                                     "\r\n"
                                     "[mcp.fs.tweaks.codex]\r\n"
                                     "startup_timeout_sec = 90\r\n"
                                     "\r\n"
                                     "# the web one\r\n"
                                     "[mcp.web]\r\n"
                                     "agents = [\"claude\"]\r\n");
  home.make_dir(".claude");
  home.write(".claude.json",
             "{\n  \"mcpServers\": {\n    \"fs\": {\n      \"command\": \"npx\"\n    },\n    "
             "\"web\": {\n      \"url\": \"https://example.com/mcp\"\n    }\n  },\n  \"theme\": "
             "\"dark\"\n}");
  // Edited by hand since kelvaro wrote it: the entry differs from the Commons.
  home.write(".codex/config.toml",
             "# codex settings\n"
             "model = \"o3\"\n"
             "\n"
             "# hand-tuned\n"
             "[mcp_servers.fs]\n"
             "command = \"npx\"\n"
             "args = [\"--verbose\"]\n"
             "\n"
             "[mcp_servers.web]\n"
             "url = \"https://example.com/mcp\"   # remote\n");

  RunResult result = kelvaro({"mcp", "remove", "fs"});

  EXPECT_EQ(result, (RunResult{.out = "removed fs from claude\nremoved fs from codex\nremoved fs "
                                      "from the Commons\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(home.read(home.config_file()), kBom +
                                               "# my settings\r\n"
                                               "[targets]\r\n"
                                               "cursor = false\r\n"
                                               "\r\n"
                                               "# the web one\r\n"
                                               "[mcp.web]\r\n"
                                               "agents = [\"claude\"]\r\n");
  EXPECT_EQ(home.read(".claude.json"),
            "{\n  \"mcpServers\": {\n    \"web\": {\n      \"url\": \"https://example.com/mcp\"\n  "
            "  }\n  },\n  \"theme\": \"dark\"\n}");
  EXPECT_EQ(home.read(".codex/config.toml"),
            "# codex settings\n"
            "model = \"o3\"\n"
            "\n"
            "[mcp_servers.web]\n"
            "url = \"https://example.com/mcp\"   # remote\n");
  EXPECT_EQ(read_json(".agents/mcp.json"),
            Json::parse(R"({"mcpServers": {"web": {"url": "https://example.com/mcp"}}})"));
}

TEST(E2eMcpCmdRefusal, ChangesNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string commons;  // the Commons mcp.json
    std::string config;   // kelvaro.toml
    std::string err;      // "{config}" and "{commons}" stand for the two files' paths
  };
  const std::string fs_server = R"({"mcpServers": {"fs": {"command": "npx"}}})";
  const std::string fs_disabled =
      R"({"mcpServers": {"fs": {"command": "npx", "env": {"R": "${env:NOPE}"}, "disabled": true}}})";
  const std::vector<Case> cases = {
      {{"mcp", "remove", "ghost"},
       fs_server,
       "",
       "error: `ghost` is not in the Commons — kelvaro "
       "only removes servers it manages\n"},
      {{"mcp", "disable", "ghost"},
       fs_server,
       "",
       "error: `ghost` is not in the Commons — "
       "kelvaro only disables servers it manages\n"},
      {{"mcp", "enable", "fs"},
       "",
       "",
       "error: `fs` is not in the Commons — kelvaro only "
       "enables servers it manages\n"},
      {{"mcp", "remove", "fs"},
       fs_server,
       "[mcp.fs]\nagents = = 1\n",
       "error: {config} is not valid TOML (invalid TOML (line 2, column 10))\n"},
      {{"mcp", "remove", "fs"},
       R"({"mcpServers": []})",
       "",
       "error: {commons} must hold an `mcpServers` object at the top level\n"},
      {{"mcp", "adopt", "claude/fs"},
       R"({"mcpServers": []})",
       "",
       "error: {commons} must hold an `mcpServers` object at the top level\n"},
      {{"mcp", "enable", "fs"},
       fs_disabled,
       "",
       "error: mcp server `fs`: ${env:NOPE} is not set in the environment\n"},
      {{"mcp", "adopt"}, "", "", "error: give a server to adopt as agent/server, or --all\n"},
      {{"mcp", "adopt", "claude"},
       "",
       "",
       "error: `claude` is not an agent/server pair — try "
       "`kelvaro mcp adopt claude/serena`\n"},
      {{"mcp", "adopt", "codex/fs"},
       "",
       "",
       "error: `codex` is not an agent kelvaro knows "
       "about, or it is not installed\n"},
      {{"mcp", "adopt", "claude/nul"},
       "",
       "",
       "error: `nul` in claude: extra cannot be "
       "represented faithfully — not adopted\n"},
      {{"mcp", "adopt", "claude/"}, "", "", "error: `` is not in claude's config\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    TempHome place;
    place.make_dir(".claude");
    place.write(".claude.json", R"({"mcpServers": {"fs": {"command": "npx"},
                                                   "nul": {"command": "x", "extra": null}}})");
    if (!c.commons.empty()) {
      place.write(".agents/mcp.json", c.commons);
    }
    if (!c.config.empty()) {
      place.write(place.config_file(), c.config);
    }
    std::string err = c.err;
    for (const auto& [mark, file] :
         {std::pair{std::string("{config}"), place.config_file()},
          std::pair{std::string("{commons}"), place.commons() / "mcp.json"}}) {
      if (auto at = err.find(mark); at != std::string::npos) {
        err.replace(at, mark.size(), file.string());
      }
    }
    // The lock file is no change: an adoption refused after the lock leaves it behind.
    const fs::path state = place.home() / ".local";
    const auto before = tree_listing(place.root(), state);

    RunResult result = run_kelvaro(c.args, place.env());

    EXPECT_EQ(result, (RunResult{.out = "", .err = err, .status = 1}));
    EXPECT_EQ(tree_listing(place.root(), state), before);
  }
}

}  // namespace
}  // namespace kelvaro
