#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "support.hpp"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

// The commands that write MCP servers back (sync, mcp adopt, enable, disable, remove, revert)
// in homes where another run writes meanwhile, where an agent's file is the Commons file, where
// servers hold references to secrets, and where agents keep servers of their own.
namespace kelvaro {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

class E2eMcpWriters : public ::testing::Test {
 protected:
  TempHome home;

  // `rel` as revert shows a file under the home: joined with the system's separator.
  static std::string shown(const char* rel) {
    return path_to_utf8(path_from_utf8(rel).make_preferred());
  }

  RunResult kelvaro(const std::vector<std::string>& args) { return run_kelvaro(args, home.env()); }
  Json read_json(const TestPath& rel) const { return Json::parse(home.read(rel)); }
  void disable_target(const std::string& agent) const {
    home.write(home.config_file(), "[targets]\n" + agent + " = false\n");
  }
  // Runs `args` while another process holds the lock, which writes `meantime` into the Commons
  // file before it lets go. Where the wait can be seen, it lets go once the run is known to be
  // waiting; elsewhere, a time after the run has started by which it is all but sure to be
  // waiting.
  RunResult run_while_held(const std::vector<std::string>& args, const std::string& meantime) {
#ifndef _WIN32
    if (can_see_lock_waits()) {
      LockHolder holder(home.state_dir());
      EXPECT_TRUE(holder.held());
      StartedRun waiting(args, home.env());
      EXPECT_TRUE(waiting.waits_for_lock(std::chrono::seconds(10)))
          << "the run was never seen waiting for the lock";
      home.write(".agents/mcp.json", meantime);
      holder.stop();
      return waiting.finish();
    }
#endif
    LockHolder holder(home.state_dir(), LockRelease{.after = std::chrono::milliseconds(700),
                                                    .file = home.path(".agents/mcp.json"),
                                                    .bytes = meantime});
    EXPECT_TRUE(holder.held());
    RunResult result = kelvaro(args);
    holder.stop();
    return result;
  }
};

// A run that waits for the lock writes back what the run before it left, not what it found
// before it waited.
TEST_F(E2eMcpWriters, AWaitingCommandWritesBackWhatItReadsOnceItHoldsTheLock) {
  struct Case {
    std::vector<std::string> args;
    std::string before;    // the Commons servers when the command starts
    std::string meantime;  // what the run holding the lock writes before it ends
    std::string after;     // the Commons servers the command leaves
  };
  const Case cases[] = {
      {{"mcp", "disable", "b"},
       R"({"b": {"command": "b"}})",
       R"({"b": {"command": "b"}, "late": {"command": "l"}})",
       R"({"b": {"command": "b", "disabled": true}, "late": {"command": "l"}})"},
      {{"mcp", "enable", "b"},
       R"({"b": {"command": "b", "disabled": true}})",
       R"({"b": {"command": "b", "disabled": true}, "late": {"command": "l"}})",
       R"({"b": {"command": "b"}, "late": {"command": "l"}})"},
      {{"mcp", "remove", "b"},
       R"({"b": {"command": "b"}})",
       R"({"b": {"command": "b"}, "late": {"command": "l"}})",
       R"({"late": {"command": "l"}})"},
      {{"mcp", "adopt", "--all"},
       R"({"b": {"command": "b"}})",
       R"({"b": {"command": "b"}, "late": {"command": "l"}})",
       R"({"b": {"command": "b"}, "late": {"command": "l"}, "mine": {"command": "m"}})"},
  };
  home.make_dir(".claude");
  home.set_env("KELVARO_LOCK_TIMEOUT_MS", "20000");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    home.write(".claude.json", R"({"mcpServers": {"mine": {"command": "m"}}})");
    home.write(".agents/mcp.json", R"({"mcpServers": )" + c.before + "}");
    RunResult result = run_while_held(c.args, R"({"mcpServers": )" + c.meantime + "}");

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_json(".agents/mcp.json")["mcpServers"], Json::parse(c.after));
  }
}

// However the agent's path reaches the Commons file, kelvaro never reads it as the agent's
// servers nor writes it, and the other agents are served as usual.
TEST_F(E2eMcpWriters, AnAgentFileThatIsTheCommonsFileIsLeftUntouched) {
  KELVARO_REQUIRE_LINKS();
  const std::string commons =
      R"({"mcpServers": {"gh": {"command": "gh-mcp", "env": {"GITHUB_TOKEN": "${env:GH_TOKEN}"}}}})";
  enum class Way { file_link, folder_link, hard_link };
  for (Way way : {Way::file_link, Way::folder_link, Way::hard_link}) {
    SCOPED_TRACE(static_cast<int>(way));
    TempHome fresh;
    fresh.set_env("GH_TOKEN", "ghp_REAL_SECRET");
    fresh.write(".agents/mcp.json", commons);
    fresh.make_dir(".agents/skills");
    fresh.make_dir(".claude");
    switch (way) {
      case Way::file_link:
        fresh.make_link(".cursor/mcp.json", "../.agents/mcp.json");
        break;
      case Way::folder_link:
        fresh.make_link(".cursor", ".agents", true);
        break;
      case Way::hard_link: {
        fresh.make_dir(".cursor");
        std::error_code error;
        fs::create_hard_link(fresh.path(".agents/mcp.json"), fresh.path(".cursor/mcp.json"), error);
        ASSERT_FALSE(error) << error.message();
        break;
      }
    }
    const std::string refused = "error: " + display(fresh.path(".cursor/mcp.json")) +
                                " is the Commons mcp.json — left untouched\n";

    RunResult synced = run_kelvaro({"sync"}, fresh.env());
    RunResult listed = run_kelvaro({"mcp", "list"}, fresh.env());
    RunResult disabled = run_kelvaro({"mcp", "disable", "gh"}, fresh.env());
    RunResult enabled = run_kelvaro({"mcp", "enable", "gh"}, fresh.env());

    EXPECT_EQ(synced.err, refused);
    EXPECT_EQ(synced.status, 1);
    EXPECT_EQ(listed.err, refused);
    EXPECT_EQ(disabled.err, refused);
    EXPECT_EQ(disabled.out,
              "removed gh from claude\ndisabled gh — definition kept; enable "
              "restores it everywhere\n");
    // Writing the Commons file replaces it, so a hard link to it is a file of its own now.
    if (way != Way::hard_link) {
      EXPECT_EQ(enabled.err, refused);
      EXPECT_EQ(enabled.out, "restored gh to claude\nenabled gh\n");
    }
    EXPECT_EQ(Json::parse(fresh.read(".agents/mcp.json")), Json::parse(commons));
    EXPECT_EQ(Json::parse(fresh.read(".claude.json"))["mcpServers"]["gh"]["env"]["GITHUB_TOKEN"],
              "ghp_REAL_SECRET");
  }
}

TEST_F(E2eMcpWriters, RevertLeavesTheCommonsFileThatAnAgentLinksTo) {
  KELVARO_REQUIRE_LINKS();
  const std::string commons = R"({"mcpServers": {"a": {"command": "a"}, "b": {"command": "b"}}})";
  home.write(".agents/mcp.json", commons);
  home.make_link(".cline/mcp.json", "../.agents/mcp.json");
  disable_target("cline");

  RunResult reverted = kelvaro({"revert", "cline"});

  EXPECT_EQ(reverted, (RunResult{.out = "",
                                 .err = "error: " + display(home.path(".cline/mcp.json")) +
                                        " is the Commons mcp.json — left untouched\n",
                                 .status = 1}));
  EXPECT_EQ(home.read(".agents/mcp.json"), commons);
}

// What `sync` wrote is read back as the Commons copy, so adopting it records nothing new: the
// references stay references, and the dialects' spellings are not taken for differences.
TEST_F(E2eMcpWriters, SyncThenAdoptAllChangesNothingInTheHome) {
  home.set_env("T", "SECRET-TOKEN-42");
  home.set_env("K", "key-7");
  home.make_dir(".agents/skills");
  for (const char* agent :
       {".claude", ".codex", ".config/opencode", ".gemini", ".codeium/windsurf", ".cursor"}) {
    home.make_dir(agent);
  }
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "local": {"type": "stdio", "command": "x", "args": ["a"], "env": {"KEY": "${env:K}"}},
      "remote": {"type": "http", "url": "https://example.test/mcp",
                 "headers": {"Authorization": "Bearer ${env:T}"}},
      "scoped": {"command": "s"}}})");
  const std::string settings =
      "# my settings\n"
      "[mcp.local.tweaks.claude]\n"
      "token = \"${env:T}\"\n"
      "\n"
      "[mcp.scoped]\n"
      "agents = [\"codex\", \"gemini\"]\n";
  home.write(home.config_file(), settings);
  ASSERT_EQ(kelvaro({"sync"}).status, 0);
  const auto before = tree_listing(home.root());

  RunResult adopted = kelvaro({"mcp", "adopt", "--all"});

  EXPECT_EQ(adopted.err, "");
  EXPECT_EQ(adopted.status, 0);
  EXPECT_EQ(adopted.out.find("adopted"), std::string::npos) << adopted.out;
  EXPECT_NE(adopted.out.find("local is already in the Commons\n"), std::string::npos);
  EXPECT_EQ(home.read(home.config_file()), settings);
  EXPECT_EQ(tree_listing(home.root()), before);
  EXPECT_EQ(kelvaro({"sync"}), up_to_date);
}

TEST_F(E2eMcpWriters, AdoptingWhatSyncWroteKeepsTheTweaksReference) {
  home.set_env("T", "SECRET-TOKEN-42");
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  home.make_dir(".cursor");
  home.write(".agents/mcp.json", R"({"mcpServers": {"x": {"command": "x"}}})");
  home.write(home.config_file(), "[mcp.x.tweaks.claude]\ntoken = \"${env:T}\"\n");
  ASSERT_EQ(kelvaro({"sync"}).status, 0);

  RunResult adopted = kelvaro({"mcp", "adopt", "claude/x"});

  EXPECT_EQ(adopted, (RunResult{.out = "x is already in the Commons\n", .err = "", .status = 0}));
  EXPECT_EQ(home.read(home.config_file()), "[mcp.x.tweaks.claude]\ntoken = \"${env:T}\"\n");
  EXPECT_EQ(home.read(".agents/mcp.json").find("SECRET"), std::string::npos);
}

// A list left from earlier names agents the server does not come from any more.
TEST_F(E2eMcpWriters, AdoptLeavesTheAgentItTookTheServerFromWithIt) {
  home.make_dir(".codeium/windsurf");
  home.write(".codeium/windsurf/mcp_config.json",
             R"({"mcpServers": {"github": {"command": "gh-mcp"}}})");
  home.write(home.config_file(), "[mcp.github]\nagents = [\"claude\"]\n");

  RunResult adopted = kelvaro({"mcp", "adopt", "windsurf/github"});

  EXPECT_EQ(adopted, (RunResult{.out = "adopted github from windsurf\n", .err = "", .status = 0}));
  EXPECT_EQ(home.read(home.config_file()), "[mcp.github]\n");
  EXPECT_EQ(
      kelvaro({"mcp", "list"}),
      (RunResult{.out = "github  (Commons)\n  managed    windsurf\n", .err = "", .status = 0}));
}

// gemini's own "mine" shares its name with the server adopted from windsurf; no command takes
// it for kelvaro's.
TEST_F(E2eMcpWriters, AnAgentsOwnServerUnderACommonsNameStaysTheUsers) {
  home.make_dir(".agents");
  home.write(".codeium/windsurf/mcp_config.json",
             R"({"mcpServers": {"mine": {"serverUrl": "https://windsurf.local/mcp"}}})");
  const std::string gemini =
      R"({"mcpServers": {"mine": {"command": "my-gemini-tool", "args": ["--x"]}}})";
  home.write(".gemini/settings.json", gemini);
  ASSERT_EQ(kelvaro({"mcp", "adopt", "windsurf/mine"}).status, 0);

  RunResult status = kelvaro({"status"});
  RunResult listed = kelvaro({"mcp", "list"});
  RunResult synced = kelvaro({"sync"});

  EXPECT_NE(status.out.find("  foreign           mine → gemini — not the Commons copy of this "
                            "server — left alone\n"),
            std::string::npos)
      << status.out;
  EXPECT_EQ(listed.out, "mine  (Commons)\n  foreign    gemini\n  managed    windsurf\n");
  EXPECT_EQ(synced.status, 0);
  EXPECT_EQ(home.read(".gemini/settings.json"), gemini);

  EXPECT_EQ(kelvaro({"mcp", "disable", "mine"}).out,
            "removed mine from windsurf\ndisabled mine — definition kept; enable restores it "
            "everywhere\n");
  EXPECT_EQ(home.read(".gemini/settings.json"), gemini);
  EXPECT_EQ(kelvaro({"mcp", "enable", "mine"}).out, "restored mine to windsurf\nenabled mine\n");
  EXPECT_EQ(home.read(".gemini/settings.json"), gemini);

  home.write(home.config_file(), home.read(home.config_file()) + "[targets]\ngemini = false\n");
  EXPECT_EQ(kelvaro({"revert", "gemini"}),
            (RunResult{.out = "left mine in " + shown(".gemini/settings.json") +
                              " — it differs from the Commons copy\nnothing of kelvaro's in gemini "
                              "— nothing to revert\n",
                       .err = "",
                       .status = 0}));
  EXPECT_EQ(home.read(".gemini/settings.json"), gemini);
}

TEST_F(E2eMcpWriters, RemoveTakesOutKelvarosCopiesOnly) {
  home.make_dir(".claude");
  home.make_dir(".cursor");
  home.write(".agents/mcp.json", R"({"mcpServers": {"fs": {"command": "npx"}}})");
  home.write(home.config_file(), "[mcp.fs]\nagents = [\"claude\"]\n");
  // cursor's copy was rendered before the list narrowed; gemini's is its own.
  home.write(".claude.json", R"({"mcpServers": {"fs": {"command": "npx"}}})");
  home.write(".cursor/mcp.json", R"({"mcpServers": {"fs": {"command": "npx"}}})");
  const std::string gemini = R"({"mcpServers": {"fs": {"command": "other"}}})";
  home.write(".gemini/settings.json", gemini);

  RunResult removed = kelvaro({"mcp", "remove", "fs"});

  EXPECT_EQ(removed, (RunResult{.out = "removed fs from claude\nremoved fs from cursor\nremoved fs "
                                       "from the Commons\n",
                                .err = "",
                                .status = 0}));
  EXPECT_EQ(home.read(".gemini/settings.json"), gemini);
}

// revert takes back only what equals kelvaro's rendering: an edited copy is left and said so.
TEST_F(E2eMcpWriters, RevertRemovesOnlyEntriesEqualToKelvarosRendering) {
  home.set_env("K", "key-7");
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "a": {"command": "a", "env": {"KEY": "${env:K}"}},
      "b": {"command": "b"},
      "c": {"command": "c", "disabled": true}}})");
  home.write(".cursor/mcp.json", R"({"mcpServers": {
      "a": {"command": "a", "env": {"KEY": "key-7"}},
      "b": {"command": "b", "args": ["edited"]},
      "c": {"command": "c"},
      "own": {"command": "o"}}})");
  home.write(home.config_file(), "[targets]\ncursor = false\n\n[mcp.c]\nagents = []\n");

  RunResult reverted = kelvaro({"revert", "cursor"});

  EXPECT_EQ(reverted,
            (RunResult{.out = "removed mcp server a from " + shown(".cursor/mcp.json") +
                              "\nleft b in " + shown(".cursor/mcp.json") +
                              " — it differs from the Commons copy\nremoved mcp server c from " +
                              shown(".cursor/mcp.json") + "\n\n2 removals made.\n",
                       .err = "",
                       .status = 0}));
  EXPECT_EQ(read_json(".cursor/mcp.json"), Json::parse(R"({"mcpServers": {
      "b": {"command": "b", "args": ["edited"]}, "own": {"command": "o"}}})"));
}

// Only what claude holds is rendered: a parked server or one scoped to another agent that
// claude never held gives no error however its references stand, and an entry claude holds
// that cannot be rendered now cannot be shown to be kelvaro's, so it stays.
TEST_F(E2eMcpWriters, RevertRendersOnlyTheServersTheAgentHolds) {
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "held": {"command": "h", "env": {"T": "${env:GONE}"}},
      "live": {"command": "live"},
      "parked": {"command": "p", "env": {"T": "${env:OLD_TOKEN}"}, "disabled": true},
      "scoped": {"command": "s", "env": {"T": "${env:OLD_TOKEN}"}}}})");
  home.write(home.config_file(), "[mcp.scoped]\nagents = [\"cursor\"]\n");
  home.set_env("GONE", "was-set");
  ASSERT_EQ(kelvaro({"sync"}).status, 0);
  home.unset_env("GONE");
  home.write(home.config_file(),
             "[targets]\nclaude = false\n\n[mcp.scoped]\nagents = [\"cursor\"]\n");

  RunResult reverted = kelvaro({"revert", "claude"});

  EXPECT_EQ(reverted, (RunResult{.out = "left held in " + shown(".claude.json") +
                                        " — it differs from the Commons copy\nremoved mcp server "
                                        "live from " +
                                        shown(".claude.json") + "\n\n1 removal made.\n",
                                 .err = "",
                                 .status = 0}));
  EXPECT_EQ(read_json(".claude.json")["mcpServers"],
            Json::parse(R"({"held": {"command": "h", "env": {"T": "was-set"}}})"));
}

TEST_F(E2eMcpWriters, AFileMadeToHoldServersIsPrivateAndAnExistingOneKeepsItsMode) {
  home.make_dir(".agents/skills");
  home.make_dir(".claude");
  home.make_dir(".codex");
  home.write(".cursor/mcp.json", "{}");
  if (!permission_bits(home.path(".cursor/mcp.json"))) {
    GTEST_SKIP() << "this system's files have no permission bits";
  }
  fs::permissions(home.path(".cursor/mcp.json"), fs::perms(0644));
  home.set_env("T", "secret");
  home.write(".agents/mcp.json",
             R"({"mcpServers": {"x": {"command": "x", "env": {"T": "${env:T}"}}}})");

  RunResult synced = kelvaro({"sync"});

  EXPECT_EQ(synced.status, 0) << synced.err;
  EXPECT_EQ(permission_bits(home.path(".claude.json")), 0600u);
  EXPECT_EQ(permission_bits(home.path(".codex/config.toml")), 0600u);
  EXPECT_EQ(permission_bits(home.path(".cursor/mcp.json")), 0644u);
}

#ifndef _WIN32
// Instructions run before the MCP section and hooks after it: whichever section first makes
// an agent's settings file, in the run that brings the servers or in one before it, the file
// that ends up holding the resolved secret is its owner's alone. Generated commands and the
// instructions file stay as the umask makes them.
TEST_F(E2eMcpWriters, ASettingsFileAnySectionCreatesIsPrivateUnderAUmaskOf022) {
  struct Umask022 {
    mode_t old = ::umask(022);
    ~Umask022() { ::umask(old); }
  } mask;
  const std::string servers =
      R"({"mcpServers": {"gh": {"command": "gh-mcp", "env": {"GITHUB_TOKEN": "${env:GH_TOKEN}"}}}})";
  for (bool servers_first : {true, false}) {
    SCOPED_TRACE(servers_first ? "servers in the first run" : "servers in a later run");
    TempHome bare;
    bare.set_env("GH_TOKEN", "ghp_REAL");
    for (const char* dir : {".agents/skills", ".config/opencode", ".gemini", ".claude"}) {
      bare.make_dir(dir);
    }
    bare.write(".agents/AGENTS.md", "# shared\n");
    bare.write(".agents/commands/review.md", "Review.\n");
    bare.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"say done\"\n");
    if (servers_first) {
      bare.write(".agents/mcp.json", servers);
    }
    RunResult first = run_kelvaro({"sync"}, bare.env());
    ASSERT_EQ(first.status, 0) << first.err;
    if (!servers_first) {
      EXPECT_EQ(permission_bits(bare.path(".config/opencode/opencode.json")), 0600u);
      bare.write(".agents/mcp.json", servers);
      RunResult later = run_kelvaro({"sync"}, bare.env());
      ASSERT_EQ(later.status, 0) << later.err;
    }

    for (const char* file : {".claude.json", ".config/opencode/opencode.json",
                             ".gemini/settings.json", ".claude/settings.json"}) {
      EXPECT_EQ(permission_bits(bare.path(file)), 0600u) << file;
    }
    EXPECT_NE(bare.read(".gemini/settings.json").find("ghp_REAL"), std::string::npos);
    EXPECT_EQ(permission_bits(bare.path(".gemini/commands/review.toml")), 0644u);
    EXPECT_EQ(permission_bits(bare.path(".claude/CLAUDE.md")), 0644u);
  }
}
#endif

// A settings file far larger than what is written to disk at a time: cut off mid-write it keeps
// its old text; written whole it is the parsed file with the servers set, printed as ever.
TEST_F(E2eMcpWriters, ALargeSettingsFileIsWrittenWholeOrNotAtAll) {
  Json claude = {{"numStartups", 3}, {"projects", Json::object()}};
  for (int i = 0; i < 4000; ++i) {
    claude["projects"]["/home/dev/p-" + std::to_string(i)] = {
        {"history", {{{"display", "fix the test \u00e9 \"quoted\" " + std::to_string(i)}}}},
        {"lastCost", 0.25 * i},
        {"allowedTools", Json::array()}};
  }
  const std::string original = claude.dump(2);
  ASSERT_GT(original.size(), 600u * 1024u);
  home.write(".claude.json", original);
  home.make_dir(".claude");
  home.write(".agents/mcp.json",
             R"({"mcpServers": {"web": {"type": "http", "url": "https://w"}}})");

#ifndef _WIN32
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 400 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const RunResult cut = kelvaro({"sync"});
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_NE(cut.status, 0);
  EXPECT_EQ(home.read(".claude.json"), original);
#endif

  const RunResult synced = kelvaro({"sync"});
  ASSERT_EQ(synced.status, 0) << synced.err;
  claude["mcpServers"] = {{"web", {{"type", "http"}, {"url", "https://w"}}}};
  EXPECT_EQ(home.read(".claude.json"), claude.dump(2));
  EXPECT_EQ(kelvaro({"sync"}).out, "Everything is up to date.\n");
}

}  // namespace
}  // namespace kelvaro
