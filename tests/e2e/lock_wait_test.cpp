#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.hpp"

// Another process is seen waiting for the lock only through Linux's /proc.
#ifdef __linux__

// Runs that wait for the lock while the run holding it rewrites `kelvaro.toml` and the Commons:
// each plans from what stands once it holds the lock, as if it had started after the other run.
namespace kelvaro {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

class E2eLockWait : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override {
    if (!can_see_lock_waits()) {
      GTEST_SKIP() << "this system does not show that another process waits for the lock";
    }
    home.set_env("KELVARO_LOCK_TIMEOUT_MS", "20000");
  }

  fs::path config_file() const { return home.config_dir() / "kelvaro.toml"; }
  Json servers_of(const TestPath& rel) const {
    return Json::parse(home.read(rel)).value("mcpServers", Json::object());
  }

  // Runs `args` while another process holds the lock; once the run is seen waiting for it,
  // `meantime` changes the home as the holder's own run would, and the holder ends.
  RunResult run_waiting(const std::vector<std::string>& args,
                        const std::function<void()>& meantime) {
    LockHolder holder(home.state_dir());
    EXPECT_TRUE(holder.held());
    StartedRun waiting(args, home.env());
    EXPECT_TRUE(waiting.waits_for_lock(std::chrono::seconds(10)))
        << "the run was never seen waiting for the lock";
    meantime();
    holder.stop();
    return waiting.finish();
  }
};

// The reproduction of servers scoped to claude by an `mcp adopt --all` that sync waited for:
// they stay out of cursor, with claude's keys.
TEST_F(E2eLockWait, SyncPlansWithTheAllowlistsWrittenWhileItWaited) {
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  home.make_dir(".cursor");
  const std::string claude_servers = R"({
      "s1": {"command": "s1", "env": {"K": "claude-only-key-1"}},
      "s2": {"command": "s2", "env": {"K": "claude-only-key-2"}}})";
  home.write(".claude.json", R"({"projects": {}, "mcpServers": )" + claude_servers + "}");
  home.write(".agents/mcp.json", R"({"mcpServers": {"b": {"command": "b"}}})");

  RunResult synced = run_waiting({"sync"}, [&] {
    home.write(config_file(),
               "[mcp.s1]\nagents = [\"claude\"]\n\n[mcp.s2]\nagents = [\"claude\"]\n");
    Json commons = Json::parse(claude_servers);
    commons["b"] = Json{{"command", "b"}};
    home.write(".agents/mcp.json", Json{{"mcpServers", commons}}.dump(2));
  });

  EXPECT_EQ(synced.err, "");
  EXPECT_EQ(synced.status, 0);
  EXPECT_EQ(servers_of(".cursor/mcp.json"), Json::parse(R"({"b": {"command": "b"}})"));
  Json claude = Json::parse(claude_servers);
  claude["b"] = Json{{"command", "b"}};
  EXPECT_EQ(servers_of(".claude.json"), claude);
}

// A configuration written meanwhile passes the checks of start-up before anything is planned
// from it, with their messages, whichever command waited.
TEST_F(E2eLockWait, ConfigurationWrittenWhileWaitingIsCheckedAsAtStartUp) {
  home.make_dir(".agents/skills");
  home.make_dir(".cursor");
  home.write(".agents/mcp.json", R"({"mcpServers": {"b": {"command": "b"}}})");
  home.write(".cursor/mcp.json", R"({"mcpServers": {"b": {"command": "b"}}})");
  home.make_dir(home.config_dir());
  home.make_dir(home.state_dir());
  const auto before = tree_listing(home.root(), home.state_dir());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"sync"}, {"mcp", "remove", "b"}, {"revert", "cursor"}}) {
    SCOPED_TRACE(args[0]);
    // What the command finds at start-up: nothing, or what lets revert take the lock.
    auto start = [&] {
      fs::remove(config_file());
      if (args[0] == "revert") {
        home.write(config_file(), "[targets]\ncursor = false\n");
      }
    };
    start();
    RunResult allowlist = run_waiting(args, [&] {
      home.write(config_file(), "[targets]\ncursor = false\n\n[mcp.b]\nagents = [\"nosuch\"]\n");
    });
    start();
    RunResult broken = run_waiting(args, [&] { home.write(config_file(), "[targets\n"); });

    EXPECT_EQ(allowlist,
              (RunResult{.out = "",
                         .err = "error: mcp.b names `nosuch`, which is not an agent kelvaro knows "
                                "about\n",
                         .status = 1}));
    EXPECT_EQ(broken.out, "");
    EXPECT_TRUE(broken.err.starts_with("error: " + display(config_file()) +
                                       " is not valid TOML (invalid TOML (line 1, column "))
        << broken.err;
    EXPECT_EQ(broken.status, 1);
    fs::remove(config_file());
    EXPECT_EQ(tree_listing(home.root(), home.state_dir()), before);
  }
}

// Each `mcp` subcommand serves the agents and allowlists of the configuration that the run it
// waited for left: cursor is set to false meanwhile, or the server scoped to claude.
TEST_F(E2eLockWait, McpSubcommandsFollowTheConfigurationWrittenWhileTheyWaited) {
  struct Case {
    std::vector<std::string> args;
    std::string commons;   // the Commons servers throughout
    std::string held;      // what claude and cursor hold before
    std::string meantime;  // kelvaro.toml as the other run leaves it
    std::string out;
    std::string cursor;  // what cursor holds after
  };
  const Case cases[] = {
      {{"mcp", "enable", "b"},
       R"({"b": {"command": "b", "disabled": true}})",
       "{}",
       "[mcp.b]\nagents = [\"claude\"]\n",
       "restored b to claude\nenabled b\n",
       "{}"},
      {{"mcp", "disable", "b"},
       R"({"b": {"command": "b"}})",
       R"({"b": {"command": "b"}})",
       "[targets]\ncursor = false\n",
       "removed b from claude\ndisabled b — definition kept; enable restores it everywhere\n",
       R"({"b": {"command": "b"}})"},
      {{"mcp", "remove", "b"},
       R"({"b": {"command": "b"}})",
       R"({"b": {"command": "b"}})",
       "[targets]\ncursor = false\n",
       "removed b from claude\nremoved b from the Commons\n",
       R"({"b": {"command": "b"}})"},
      {{"mcp", "adopt", "--all"},
       "{}",
       R"({"c": {"command": "c"}})",
       "[targets]\ncursor = false\n",
       "adopted c from claude\n",
       R"({"c": {"command": "c"}})"},
  };
  home.make_dir(".agents");
  home.make_dir(".claude");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    fs::remove(config_file());
    home.write(".agents/mcp.json", R"({"mcpServers": )" + c.commons + "}");
    home.write(".claude.json", R"({"mcpServers": )" + c.held + "}");
    home.write(".cursor/mcp.json", R"({"mcpServers": )" + c.held + "}");

    RunResult result = run_waiting(c.args, [&] { home.write(config_file(), c.meantime); });

    EXPECT_EQ(result, (RunResult{.out = c.out, .err = "", .status = 0}));
    EXPECT_EQ(servers_of(".cursor/mcp.json"), Json::parse(c.cursor));
  }
  EXPECT_EQ(servers_of(".agents/mcp.json"), Json::parse(R"({"c": {"command": "c"}})"));
}

// adopt decides again once it holds the lock: an agent set to false meanwhile gets no link, and
// a path the other run took in already is not taken twice.
TEST_F(E2eLockWait, AdoptChecksAgainWhatTheRunItWaitedForLeft) {
  KELVARO_REQUIRE_LINKS();
  home.make_dir(".agents/commands");
  home.make_dir(".cursor");
  home.write(".claude/commands/review.md", "# review\n");
  home.write(".claude/commands/fix.md", "# fix\n");
  const fs::path review = home.path(".claude/commands/review.md");
  const fs::path fix = home.path(".claude/commands/fix.md");

  RunResult adopted = run_waiting({"adopt", path_to_utf8(review)}, [&] {
    home.write(config_file(), "[targets]\ncursor = false\n");
  });
  RunResult twice = run_waiting({"adopt", path_to_utf8(fix)}, [&] {
    fs::rename(fix, home.path(".agents/commands/fix.md"));
    home.make_link(".claude/commands/fix.md", "../../.agents/commands/fix.md");
  });

  EXPECT_EQ(adopted, (RunResult{.out = "adopted review.md from claude into the Commons (commands)\n"
                                       "  " +
                                       display(review) + " → " +
                                       display(fs::path("../../.agents/commands/review.md")) + "\n",
                                .err = "",
                                .status = 0}));
  EXPECT_FALSE(exists_here(home.path(".cursor/commands/review.md")));
  EXPECT_EQ(twice, (RunResult{.out = "",
                              .err = "error: " + display(fix) +
                                     " is already a symlink — there is nothing to adopt\n",
                              .status = 1}));
  EXPECT_EQ(home.read(".agents/commands/fix.md"), "# fix\n");
}

// revert asks again whether the agent is disabled once it holds the lock.
TEST_F(E2eLockWait, RevertRefusesAnAgentEnabledAgainWhileItWaited) {
  KELVARO_REQUIRE_LINKS();
  home.write(".agents/skills/foo/SKILL.md", "x\n");
  home.make_link(".claude/skills/foo", "../../.agents/skills/foo", true);
  home.write(config_file(), "[targets]\nclaude = false\n");

  RunResult reverted = run_waiting(
      {"revert", "claude"}, [&] { home.write(config_file(), "[targets]\nclaude = true\n"); });

  EXPECT_EQ(reverted, (RunResult{.out = "",
                                 .err = "error: claude is still enabled — set targets.claude = "
                                        "false in " +
                                        display(config_file()) +
                                        " first, so sync will not redo what revert undoes\n",
                                 .status = 1}));
  EXPECT_TRUE(exists_here(home.path(".claude/skills/foo")));
}

}  // namespace
}  // namespace kelvaro

#endif
