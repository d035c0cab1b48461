#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.hpp"

// `mcp adopt` in homes as a new user has them: one server added by every agent's own `mcp add`,
// adopting again after an agent lost a server, settings that cannot be written, and a large
// `.claude.json`.
namespace kelvaro {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

const std::string kScope = " — remove the allowlist in kelvaro.toml to share it\n";

class E2eMcpAdoptHomes : public ::testing::Test {
 protected:
  TempHome home;

  RunResult kelvaro(const std::vector<std::string>& args) { return run_kelvaro(args, home.env()); }
  Json read_json(const TestPath& rel) const { return Json::parse(home.read(rel)); }
};

TEST_F(E2eMcpAdoptHomes, OneServerAddedByEveryAgentsOwnMcpAddIsOneServer) {
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  // What `claude mcp add` writes, and what gemini's writes for the same server.
  home.write(".claude.json",
             R"({"mcpServers": {"ctx": {"type": "stdio", "command": "cat", "args": ["--ctx"],)"
             R"( "env": {}}}})");
  home.write(".gemini/settings.json", R"({"mcpServers": {"ctx": {"command": "cat", "args": )"
                                      R"(["--ctx"]}}})");

  RunResult adopted = kelvaro({"mcp", "adopt", "--all"});

  EXPECT_EQ(adopted, (RunResult{.out = "adopted ctx from claude\nctx is already in the Commons\n",
                                .err = "",
                                .status = 0}));
  EXPECT_EQ(read_json(".agents/mcp.json"),
            Json::parse(R"({"mcpServers": {"ctx": {"command": "cat", "args": ["--ctx"]}}})"));
  EXPECT_FALSE(fs::exists(home.config_file()));
  // Both agents hold the Commons copy as they wrote it: nothing to restore.
  EXPECT_EQ(kelvaro({"status"}).status, 0);
  EXPECT_EQ(kelvaro({"sync"}), up_to_date);

  // An agent installed later gets the server without the filler.
  home.make_dir(".codex");
  ASSERT_EQ(kelvaro({"sync"}).status, 0);
  EXPECT_EQ(home.read(".codex/config.toml"),
            "[mcp_servers.ctx]\ncommand = \"cat\"\nargs = [\"--ctx\"]\n");
  EXPECT_EQ(kelvaro({"mcp", "adopt", "--all"}).status, 0);
  EXPECT_EQ(kelvaro({"sync"}), up_to_date);
}

TEST_F(E2eMcpAdoptHomes, RevertTakesTheCommonsCopyAsClaudeWroteItOut) {
  home.make_dir(".claude");
  home.write(home.config_file(), "[targets]\nclaude = false\n");
  home.write(".agents/mcp.json",
             R"({"mcpServers": {"ctx": {"command": "cat", "args": ["--ctx"]}}})");
  home.write(".claude.json",
             R"({"mcpServers": {"ctx": {"type": "stdio", "command": "cat", "args": ["--ctx"],)"
             R"( "env": {}}}})");

  RunResult reverted = kelvaro({"revert", "claude"});

  EXPECT_EQ(reverted,
            (RunResult{.out = "removed mcp server ctx from .claude.json\n\n1 removal made.\n",
                       .err = "",
                       .status = 0}));
  EXPECT_EQ(read_json(".claude.json"), Json::parse(R"({"mcpServers": {}})"));
}

TEST_F(E2eMcpAdoptHomes, ARefusedCopyNamesItsAgent) {
  home.make_dir(".claude");
  home.write(".agents/mcp.json", R"({"mcpServers": {"ctx": {"command": "cat"}}})");
  home.write(".claude.json", R"({"mcpServers": {"ctx": {"type": "stdio", "command": "cat", )"
                             R"("args": [], "env": {"A": "1"}}}})");

  RunResult adopted = kelvaro({"mcp", "adopt", "claude/ctx"});

  EXPECT_EQ(adopted, (RunResult{.out = "",
                                .err = "error: `ctx` in claude differs from the Commons copy — "
                                       "merge it by hand; kelvaro will not choose which side to "
                                       "discard\n",
                                .status = 1}));
}

TEST_F(E2eMcpAdoptHomes, AdoptingAgainKeepsASharedServerShared) {
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  home.make_dir(".cursor");
  home.make_dir(".gemini");
  home.write(".agents/mcp.json", R"({"mcpServers": {"s": {"command": "x"}}})");
  ASSERT_EQ(kelvaro({"sync"}).status, 0);
  home.write(".cursor/mcp.json", R"({"mcpServers": {}})");

  RunResult adopted = kelvaro({"mcp", "adopt", "--all"});

  EXPECT_EQ(adopted, (RunResult{.out = "s is already in the Commons\ns is already in the Commons\n",
                                .err = "",
                                .status = 0}));
  EXPECT_FALSE(fs::exists(home.config_file()));
  EXPECT_EQ(kelvaro({"sync"}).out,
            "mcp (mcp.json)\n"
            "  missing   s → cursor — not in this agent's config yet\n"
            "\n1 change made.\n");
}

TEST_F(E2eMcpAdoptHomes, AdoptingAgainKeepsTheAgentsOfAListAndAddsTheNewOne) {
  home.make_dir(".claude");
  home.make_dir(".codex");
  home.write(".agents/mcp.json", R"({"mcpServers": {"s": {"command": "x"}}})");
  home.write(home.config_file(), "# mine\n[mcp.s]\nagents = [\"claude\", \"cursor\"]\n");
  home.write(".claude.json", R"({"mcpServers": {"s": {"command": "x"}}})");
  home.write(".gemini/settings.json", R"({"mcpServers": {"s": {"command": "x"}}})");
  home.write(".cursor/mcp.json", R"({"mcpServers": {}})");

  RunResult all = kelvaro({"mcp", "adopt", "--all"});
  RunResult again = kelvaro({"mcp", "adopt", "claude/s"});

  EXPECT_EQ(all, (RunResult{.out = "s is already in the Commons\n"
                                   "s is already in the Commons\n"
                                   "  scoped to claude, cursor, gemini" +
                                   kScope,
                            .err = "",
                            .status = 0}));
  EXPECT_EQ(again, (RunResult{.out = "s is already in the Commons\n"
                                     "  scoped to claude, cursor, gemini" +
                                     kScope,
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(home.read(home.config_file()),
            "# mine\n[mcp.s]\nagents = [\"claude\", \"cursor\", \"gemini\"]\n");
}

TEST_F(E2eMcpAdoptHomes, TheRecordedTweakIsTheOneTheRenderBackCheckUsed) {
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  home.write(home.config_file(),
             "[mcp.x.tweaks.claude]\nalwaysAllow = [\"read\"]\n\n"
             "[mcp.y.tweaks.claude]\nalwaysAllow = [\"read\"]\n");
  home.write(".claude.json",
             R"({"mcpServers": {"x": {"command": "my-x"}, "y": {"command": "y", "timeout": 5}}})");

  RunResult x = kelvaro({"mcp", "adopt", "claude/x"});
  RunResult y = kelvaro({"mcp", "adopt", "claude/y"});

  EXPECT_EQ(x, (RunResult{.out = "adopted x from claude\n", .err = "", .status = 0}));
  EXPECT_EQ(y.status, 0);
  // x's old table is gone; y's is replaced whole, in its place.
  EXPECT_EQ(home.read(home.config_file()), "\n[mcp.y.tweaks.claude]\ntimeout = 5\n");
  EXPECT_EQ(kelvaro({"status"}).status, 0);
  EXPECT_EQ(kelvaro({"sync"}), up_to_date);
}

TEST_F(E2eMcpAdoptHomes, SettingsThatCannotBeWrittenAdoptNothingAndSayNothingAdopted) {
  home.make_dir(".claude");
  home.make_dir(".cursor");
  home.write(".claude.json", R"({"mcpServers": {"s": {"command": "x"}}})");
#ifdef _WIN32
  GTEST_SKIP() << "needs a configuration folder that cannot be made: /proc on Linux";
#endif
  // The configuration folder cannot be made; reading it finds no file, as in a new home.
  home.set_env("XDG_CONFIG_HOME", "/proc/x");

  RunResult adopted = kelvaro({"mcp", "adopt", "--all"});

  EXPECT_EQ(adopted.out, "");
  EXPECT_EQ(adopted.err.rfind("error: cannot create /proc/x/kelvaro: ", 0), 0u) << adopted.err;
  EXPECT_EQ(adopted.err.find('\n'), adopted.err.size() - 1) << adopted.err;
  EXPECT_EQ(adopted.status, 1);
  EXPECT_FALSE(fs::exists(home.commons() / "mcp.json"));
}

TEST_F(E2eMcpAdoptHomes, ACopyConfirmedAsTheCommonsOneIsCheckedForCredentials) {
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  home.write(".agents/mcp.json",
             R"({"mcpServers": {"s": {"command": "x", "env": {"API_TOKEN": "t-1"}}}})");
  ASSERT_EQ(kelvaro({"sync"}).status, 0);

  RunResult adopted = kelvaro({"mcp", "adopt", "claude/s"});

  EXPECT_EQ(adopted,
            (RunResult{.out = "s is already in the Commons\n",
                       .err = "warning: `s`: env.API_TOKEN look like credentials and were copied "
                              "into the Commons as written — replace them with ${env:VAR} before "
                              "committing it\n",
                       .status = 0}));
}

// Every candidate used to read its agent's file again: a run cost as many whole readings of a
// large `.claude.json` as it has servers. Measured against one reading of the same file.
TEST_F(E2eMcpAdoptHomes, ALargeClaudeJsonIsReadOncePerRun) {
  std::string text = "{\"projects\": {";
  for (int i = 0; i < 20000; ++i) {
    text += (i == 0 ? "" : ",") + std::string("\"/home/u/p") + std::to_string(i) +
            "\": {\"history\": [{\"display\": \"" + std::string(400, 'x') + "\"}]}";
  }
  text += "}, \"mcpServers\": {";
  for (int i = 0; i < 300; ++i) {
    text +=
        (i == 0 ? "" : ",") + std::string("\"s") + std::to_string(i) + "\": {\"command\": \"cat\"}";
  }
  text += "}}";
  home.make_dir(".claude");
  home.write(".claude.json", text);
  home.write(".agents/mcp.json", R"({"mcpServers": {}})");
  const auto timed = [&](const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(kelvaro(args).status, 1);
    return std::chrono::steady_clock::now() - start;
  };

  const auto one_reading = timed({"mcp", "list"});
  const auto adopting = timed({"mcp", "adopt", "--all"});

  EXPECT_LT(adopting, 10 * one_reading + std::chrono::milliseconds(500));
  EXPECT_EQ(read_json(".agents/mcp.json")["mcpServers"].size(), 300u);
}

// The Commons `mcp.json` is the user's file: what else it holds at the top stays, in its place.
TEST_F(E2eMcpAdoptHomes, EveryMcpWriteKeepsTheOtherMembersOfTheCommonsFile) {
  home.make_dir(".claude");
  const std::string before =
      "{\n  \"$schema\": \"https://example.test/mcp.schema.json\",\n  \"mcpServers\": {\n"
      "    \"a\": {\n      \"command\": \"a\"\n    }\n  },\n  \"notes\": \"mine\"\n}\n";
  home.write(".agents/mcp.json", before);
  home.write(".claude.json", R"({"mcpServers": {"b": {"command": "b"}}})");
  const auto servers_then = [&](const std::string& servers) {
    return "{\n  \"$schema\": \"https://example.test/mcp.schema.json\",\n  \"mcpServers\": {\n" +
           servers + "  },\n  \"notes\": \"mine\"\n}\n";
  };
  const std::string a = "    \"a\": {\n      \"command\": \"a\"\n    }";
  const std::string a_off =
      "    \"a\": {\n      \"command\": \"a\",\n      \"disabled\": true\n    }";
  const std::string b = "    \"b\": {\n      \"command\": \"b\"\n    }";

  ASSERT_EQ(kelvaro({"mcp", "adopt", "claude/b"}).status, 0);
  EXPECT_EQ(home.read(".agents/mcp.json"), servers_then(a + ",\n" + b + "\n"));
  ASSERT_EQ(kelvaro({"mcp", "disable", "a"}).status, 0);
  EXPECT_EQ(home.read(".agents/mcp.json"), servers_then(a_off + ",\n" + b + "\n"));
  ASSERT_EQ(kelvaro({"mcp", "enable", "a"}).status, 0);
  EXPECT_EQ(home.read(".agents/mcp.json"), servers_then(a + ",\n" + b + "\n"));
  ASSERT_EQ(kelvaro({"mcp", "remove", "b"}).status, 0);
  EXPECT_EQ(home.read(".agents/mcp.json"), servers_then(a + "\n"));
}

}  // namespace
}  // namespace kelvaro
