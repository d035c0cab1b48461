#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// A home with a Commons, two agents and a configuration file holding `text`.
void prepare(const TempHome& home, std::string_view text) {
  home.make_dir(".agents/skills/review");
  home.write(".agents/skills/review/SKILL.md", "# review\n");
  home.write(".agents/AGENTS.md", "be kind\n");
  home.make_dir(".claude");
  home.make_dir(".codex");
  home.write(home.config_file(), text);
}

std::string config_path(const TempHome& home) {
  return home.config_file().string();
}

// Runs kelvaro with `args` in `home` and expects it to stop with `message` before touching
// anything under the temporary folder.
void expect_stops(const TempHome& home, const std::vector<std::string>& args,
                  const std::string& message) {
  const auto before = tree_listing(home.root());

  RunResult result = run_kelvaro(args, home.env());

  EXPECT_EQ(result.err, "error: " + message + "\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(tree_listing(home.root()), before);
}

TEST(E2eConfig, EveryConfigurationErrorStopsTheRun) {
  struct Case {
    std::string text;
    std::string message;  // after the file's path
  };
  const std::vector<Case> cases = {
      {"[targets]\nclaude = \"off\"\n", ": targets.claude must be true or false"},
      {"[custom]\nmine = \"x\"\n", ": custom.mine must be a table"},
      {"[custom.mine]\nskills = \"s\"\n", ": custom.mine needs a `root`"},
      {"instructions = 1\n", ": `instructions` must be a table of agents"},
      {"[custom.mine]\nroot = \"m\"\n[instructions]\nmine = \"import\"\n",
       ": instructions.mine: mine is defined in this file and takes fan-out families only"},
      {"[instructions]\nghost = \"import\"\n",
       ": instructions.ghost: ghost names no agent kelvaro knows about"},
      {"[instructions]\ngemini = \"link\"\n",
       ": instructions.gemini: must be \"symlink\" or \"import\""},
      {"[instructions]\nhermes = \"symlink\"\n",
       ": instructions.hermes: hermes takes no instructions from kelvaro"},
      {"[instructions]\npi = \"import\"\n",
       ": instructions.pi: pi has no import route kelvaro can use, only \"symlink\" (ADR-0008)"},
      {"mcp = []\n", ": `mcp` must be a table of servers written as [mcp.<name>]"},
      {"[mcp]\nfs = \"npx\"\n", ": mcp.fs must be a table"},
      {"[mcp.fs]\nenabled = false\n",
       ": mcp.fs.enabled is not a setting — expected `agents` or `tweaks`"},
      {"[mcp.fs]\nagents = { claude = true }\n", ": mcp.fs.agents must be a list of agent names"},
      {"[mcp.fs]\nagents = [[\"claude\"]]\n", ": mcp.fs.agents must hold agent names"},
      {"[mcp.fs]\ntweaks = \"x\"\n", ": mcp.fs.tweaks must be a table of agents"},
      {"[mcp.fs.tweaks]\ncodex = 1\n", ": mcp.fs.tweaks.codex must be a table"},
      {"[targets]\r\nclaude = false\r\nc = = 3\r\n",
       " is not valid TOML (invalid TOML (line 3, column 5))"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TempHome home;
    prepare(home, c.text);

    expect_stops(home, {}, config_path(home) + c.message);
  }
}

TEST(E2eConfig, UnreadableFileIsAnError) {
  TempHome home;
  prepare(home, "");
  fs::remove(home.config_file());
  home.make_dir(home.config_file());
  TempHome bad_utf8;
  prepare(bad_utf8, "# caf\xE9\n");

  RunResult folder = run_kelvaro({"status"}, home.env());
  RunResult bytes = run_kelvaro({"status"}, bad_utf8.env());

  EXPECT_EQ(folder.err, "error: cannot read " + config_path(home) + ": " +
                            folder_open_error().message() + "\n");
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(bytes.err, "error: cannot read " + config_path(bad_utf8) + ": " +
                           std::make_error_code(std::errc::illegal_byte_sequence).message() + "\n");
  EXPECT_EQ(bytes.status, 1);
}

TEST(E2eConfig, AllowlistErrorStopsEveryCommand) {
  const std::string text =
      "[custom.mine]\nroot = \"mine\"\n\n[mcp.fs]\nagents = [\"claude\", \"mine\"]\n";
  const std::vector<std::vector<std::string>> commands = {
      {"doctor"}, {}, {"sync", "--dry-run"}, {"status"}, {"init"}, {"mcp", "list"},
  };

  for (const auto& args : commands) {
    SCOPED_TRACE(args.empty() ? "(none)" : args.front());
    TempHome home;
    prepare(home, text);
    home.make_dir("mine");

    expect_stops(home, args, "mcp.fs names `mine`, which is not an agent kelvaro knows about");
  }
}

TEST(E2eConfig, ConfigurationErrorComesBeforeAllowlistError) {
  TempHome home;
  prepare(home, "[mcp.fs]\nagents = [\"ghost\"]\n\n[custom.broken]\nskills = \"s\"\n");

  RunResult result = run_kelvaro({"doctor"}, home.env());

  EXPECT_EQ(result.err, "error: " + config_path(home) + ": custom.broken needs a `root`\n");
  EXPECT_EQ(result.status, 1);
}

TEST(E2eConfig, OnlyFirstServerInNameOrderIsReported) {
  TempHome home;
  prepare(home,
          "[mcp.web]\nagents = [\"ghost\"]\n\n"
          "[mcp.api.tweaks.phantom]\ntimeout = 5\n");

  RunResult result = run_kelvaro({"status"}, home.env());

  EXPECT_EQ(result.err,
            "error: mcp.api names `phantom`, which is not an agent kelvaro knows about\n");
  EXPECT_EQ(result.status, 1);
}

TEST(E2eConfig, ByteOrderMarkAndBuiltinAllowlistAreAccepted) {
  TempHome home;
  prepare(home,
          "\xEF\xBB\xBF[targets]\r\ncodex = false\r\n\r\n[mcp.fs]\r\nagents = [\"claude\"]\r\n"
          "[mcp.fs.tweaks.cline]\r\ntimeout = 5\r\n");

  RunResult result = run_kelvaro({"sync", "--dry-run"}, home.env());

  // Whatever the command reports, start-up let it run.
  EXPECT_EQ(result.err.find(config_path(home)), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("not an agent kelvaro knows about"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace kelvaro
