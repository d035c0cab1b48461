#include "cli.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

const std::string kHomeErrorLine =
    "error: cannot determine home directory: set HOME (USERPROFILE on Windows) or "
    "KELVARO_TARGET_ROOT\n";

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

TEST(E2eCli, VersionNeedsNothingFromTheEnvironment) {
  RunResult result = run_kelvaro({"--version"}, {});

  EXPECT_EQ(result,
            (RunResult{.out = "kelvaro " + std::string(kVersion) + "\n", .err = "", .status = 0}));
}

TEST(E2eCli, ShortAndLongHelp) {
  RunResult short_help = run_kelvaro({"-h"}, {});
  RunResult long_help = run_kelvaro({"--help"}, {});

  EXPECT_EQ(short_help.status, 0);
  EXPECT_EQ(short_help.err, "");
  EXPECT_EQ(first_line(short_help.out),
            "One canonical .agents/ folder, fanned out to all your AI coding agents");
  EXPECT_EQ(long_help.status, 0);
  EXPECT_EQ(long_help.err, "");
  EXPECT_NE(long_help.out.find("\n\nSync skills, instructions, MCP servers, commands, agents and "
                               "hooks from the Commons — the canonical\n~/.agents directory — to "
                               "every installed agent.\n"),
            std::string::npos);
  for (const auto* help : {&short_help, &long_help}) {
    EXPECT_EQ(help->out.substr(help->out.size() - 42),
              "\nHome: https://github.com/kelvaro/kelvaro\n");
  }
}

TEST(E2eCli, HelpSubcommandShowsTheLongHelp) {
  RunResult result = run_kelvaro({"help", "adopt"}, {});

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(first_line(result.out),
            "Take a path under management; where it lives picks the mechanic.");
  EXPECT_NE(result.out.find("\nThree mechanics, one verb."), std::string::npos);
}

TEST(E2eCli, BareMcpShowsItsHelpOnOut) {
  TempHome home;

  RunResult result = run_kelvaro({"mcp"}, home.env());

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(first_line(result.out), "Manage MCP servers");
  EXPECT_NE(result.out.find("Usage: kelvaro mcp <COMMAND>\n"), std::string::npos);
}

TEST(E2eCli, UsageErrorsGoToErrWithStatusOne) {
  TempHome home;
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"synk"},
       "error: unrecognized subcommand 'synk'\n\n  tip: a similar subcommand exists: 'sync'\n\n"
       "Usage: kelvaro [COMMAND]\n\nFor more information, try '--help'.\n"},
      {{"adopt"},
       "error: the following required arguments were not provided:\n  <PATH>\n\n"
       "Usage: kelvaro adopt [OPTIONS] <PATH>\n\nFor more information, try '--help'.\n"},
      {{"--json"},
       "error: unexpected argument '--json' found\n\nUsage: kelvaro [COMMAND]\n\n"
       "For more information, try '--help'.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    RunResult result = run_kelvaro(c.args, home.env());
    EXPECT_EQ(result, (RunResult{.out = "", .err = c.err, .status = 1}));
  }
}

TEST(E2eCli, UsageErrorComesBeforeTheHomeError) {
  RunResult result = run_kelvaro({"adopt"}, {});

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(first_line(result.err), "error: the following required arguments were not provided:");
}

TEST(E2eCli, HomeErrors) {
  struct Case {
    std::string name;
    EnvSnapshot env;
  };
  const Case cases[] = {
      {"nothing set", {{"PATH", "/usr/bin:/bin"}}},
      {"empty HOME does not fall through", {{"HOME", ""}, {"USERPROFILE", "/tmp"}}},
      {"empty target root does not fall through", {{"KELVARO_TARGET_ROOT", ""}, {"HOME", "/tmp"}}},
      {"Home is not HOME", {{"Home", "/tmp"}, {"home", "/tmp"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult result = run_kelvaro({"status"}, c.env);
    EXPECT_EQ(result, (RunResult{.out = "", .err = kHomeErrorLine, .status = 1}));
  }
}

TEST(E2eCli, RelativeXdgConfigHomeIsIgnored) {
  TempHome home;
  home.write(".config/kelvaro/kelvaro.toml", "[targets\n");
  EnvSnapshot env = home.env();
  env["XDG_CONFIG_HOME"] = "relative/config";

  RunResult result = run_kelvaro({"doctor"}, env, home.root());

  const std::string prefix =
      "error: " + display(home.home() / ".config" / "kelvaro" / "kelvaro.toml") +
      " is not valid TOML";
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.substr(0, prefix.size()), prefix);
}

TEST(E2eCli, TargetRootWinsOverHome) {
  TempHome home;
  home.write("root/.config/kelvaro/kelvaro.toml", "[targets\n");
  EnvSnapshot env{{"KELVARO_TARGET_ROOT", home.path("root").string()},
                  {"HOME", home.home().string()}};

  RunResult result = run_kelvaro({"doctor"}, env);

  const std::string prefix =
      "error: " + display(home.path("root") / ".config" / "kelvaro" / "kelvaro.toml") +
      " is not valid TOML";
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.substr(0, prefix.size()), prefix);
}

TEST(E2eCli, ArgumentsAndEnvironmentMustBeUtf8) {
  TempHome home;
  EnvSnapshot bad_env = home.env();
  bad_env["KELVARO_BROKEN"] = "(" + not_unicode_text();

  RunResult bad_arg = run_kelvaro({"revert", not_unicode_text()}, home.env());
  RunResult bad_value = run_kelvaro({"status"}, bad_env);

  EXPECT_EQ(bad_arg, (RunResult{.out = "",
                                .err = "error: argument '" + to_valid_utf8(not_unicode_text()) +
                                       "' is not valid UTF-8\n",
                                .status = 1}));
  EXPECT_EQ(bad_value,
            (RunResult{.out = "",
                       .err = "error: the value of environment variable KELVARO_BROKEN is not "
                              "valid UTF-8\n",
                       .status = 1}));
}

// A name made of an escape sequence would drive the terminal; the JSON report keeps its bytes.
TEST(E2eCommands, NamesAreShownWithTheirControlCharactersEscaped) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows file names cannot hold control characters";
#endif
  TempHome home;
  const std::string esc = "x\x1b[2J";
  home.write(".agents/skills/" + esc + "/SKILL.md", "x");
  home.write(".claude/skills/" + esc + "-own/SKILL.md", "own");
  home.write(".agents/mcp.json", R"({"mcpServers": {"x\u001b[2J": {"command": "x"}}})");
  home.write(".config/kelvaro/kelvaro.toml",
             "[custom.\"t\\u001b[2J\"]\nroot = \".t\"\nskills = \".t/s\\u001b[2J\"\n");
  home.make_dir(".t");

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"sync", "--dry-run"},
                                             {"status"},
                                             {"init"},
                                             {"doctor"},
                                             {"mcp", "list"},
                                             {"mcp", "disable", esc},
                                             {"mcp", "enable", esc}}) {
    SCOPED_TRACE(args[0] + " " + args.back());
    RunResult result = run_kelvaro(args, home.env());

    EXPECT_EQ((result.out + result.err).find('\x1b'), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\\x1b[2J"), std::string::npos) << result.out;
  }
  RunResult json = run_kelvaro({"status", "--json"}, home.env());
  EXPECT_NE(json.out.find("\"x\\u001b[2J\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"dir\": \".t/s\\u001b[2J\""), std::string::npos) << json.out;
}

}  // namespace
}  // namespace kelvaro
