#include "cli.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "fsutil.hpp"
#include "support.hpp"

namespace kelvaro {
namespace {

std::vector<std::string> argv_of(std::vector<std::string> words) {
  words.insert(words.begin(), "kelvaro");
  return words;
}

TEST(CliParse, CommandLinesBecomeValues) {
  struct Case {
    std::vector<std::string> words;
    std::optional<CliCommand> expected;
  };
  using C = CliCommand;
  using M = McpCommand;
  const Case cases[] = {
      {{}, std::nullopt},
      {{"sync"}, C{C::Sync{.dry_run = false}}},
      {{"sync", "--dry-run"}, C{C::Sync{.dry_run = true}}},
      {{"sync", "--dry-run", "--dry-run"}, C{C::Sync{.dry_run = true}}},
      {{"init"}, C{C::Init{}}},
      {{"adopt", "~/.claude/skills/x"},
       C{C::Adopt{.path = "~/.claude/skills/x", .dry_run = false}}},
      {{"adopt", "--dry-run", "p"}, C{C::Adopt{.path = "p", .dry_run = true}}},
      {{"adopt", "--", "-x"}, C{C::Adopt{.path = "-x", .dry_run = false}}},
      {{"adopt", "--", "--dry-run=x"}, C{C::Adopt{.path = "--dry-run=x", .dry_run = false}}},
      {{"adopt", "-5"}, C{C::Adopt{.path = "-5", .dry_run = false}}},
      {{"adopt", ""}, C{C::Adopt{.path = "", .dry_run = false}}},
      {{"adopt", " Spaced Path "}, C{C::Adopt{.path = " Spaced Path ", .dry_run = false}}},
      {{"revert", "Claude"}, C{C::Revert{.agent = "Claude"}}},
      {{"status"}, C{C::Status{.json = false}}},
      {{"status", "--json"}, C{C::Status{.json = true}}},
      {{"doctor"}, C{C::Doctor{}}},
      {{"mcp", "list"}, C{C::Mcp{M{M::List{.json = false}}}}},
      {{"mcp", "list", "--json"}, C{C::Mcp{M{M::List{.json = true}}}}},
      {{"mcp", "adopt"}, C{C::Mcp{M{M::Adopt{.spec = std::nullopt, .all = false}}}}},
      {{"mcp", "adopt", "claude/serena", "--all"},
       C{C::Mcp{M{M::Adopt{.spec = "claude/serena", .all = true}}}}},
      {{"mcp", "adopt", "list"}, C{C::Mcp{M{M::Adopt{.spec = "list", .all = false}}}}},
      {{"mcp", "adopt", ""}, C{C::Mcp{M{M::Adopt{.spec = "", .all = false}}}}},
      {{"mcp", "remove", "serena"}, C{C::Mcp{M{M::Remove{.name = "serena"}}}}},
      {{"mcp", "disable", "serena"}, C{C::Mcp{M{M::Disable{.name = "serena"}}}}},
      {{"mcp", "enable", "serena"}, C{C::Mcp{M{M::Enable{.name = "serena"}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    ParseOutcome outcome = parse_command_line(argv_of(c.words));
    ASSERT_TRUE(outcome.cli) << outcome.err << outcome.out;
    EXPECT_EQ(outcome.cli->command, c.expected);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out + outcome.err, "");
  }
}

TEST(CliParse, EmptyArgumentListRunsSync) {
  ParseOutcome outcome = parse_command_line({});

  ASSERT_TRUE(outcome.cli);
  EXPECT_EQ(outcome.cli->command, std::nullopt);
}

// The part of `adopt`'s help shared by -h and --help, which differ only in the hint after
// "Print help".
std::string adopt_usage(std::string_view hint) {
  return "Usage: kelvaro adopt [OPTIONS] <PATH>\n"
         "\n"
         "Arguments:\n"
         "  <PATH>  A Target-surface path to absorb, a repo path to Source, or any other path "
         "to copy in\n"
         "\n"
         "Options:\n"
         "      --dry-run  Name the mechanic and report every action without touching "
         "anything\n"
         "  -h, --help     Print help (" +
         std::string(hint) + ")\n";
}

TEST(CliHelp, ShortHelpShowsTheAboutLineAndLongHelpTheLongAbout) {
  ParseOutcome short_help = parse_command_line(argv_of({"adopt", "-h"}));
  ParseOutcome long_help = parse_command_line(argv_of({"adopt", "--help"}));
  ParseOutcome help_command = parse_command_line(argv_of({"help", "adopt"}));

  EXPECT_EQ(short_help.out,
            "Take a path under management; where it lives picks the mechanic\n"
            "\n" +
                adopt_usage("see more with '--help'"));
  EXPECT_EQ(long_help.out,
            "Take a path under management; where it lives picks the mechanic.\n"
            "\n"
            "Three mechanics, one verb. A real config in a Target surface is absorbed into the "
            "Commons, leaving a\n"
            "link behind. A path inside a git repo becomes a Sourced entry — the Commons links "
            "out to it, and the\n"
            "repo keeps the truth. Any other path is copied in, and the original is no longer "
            "consulted. A path\n"
            "already inside the Commons refuses: it is already home.\n"
            "\n" +
                adopt_usage("see a summary with '-h'"));
  EXPECT_EQ(help_command.out, long_help.out);
  for (const auto* o : {&short_help, &long_help, &help_command}) {
    EXPECT_EQ(o->status, 0);
    EXPECT_EQ(o->err, "");
    EXPECT_FALSE(o->cli);
  }
}

TEST(CliHelp, TopHelpListsEveryCommandAndEndsWithTheHomePage) {
  ParseOutcome help = parse_command_line(argv_of({"-h"}));

  EXPECT_EQ(help.out,
            "One canonical .agents/ folder, fanned out to all your AI coding agents\n"
            "\n"
            "Usage: kelvaro [COMMAND]\n"
            "\n"
            "Commands:\n"
            "  sync    Fan the Commons out to every installed agent\n"
            "  init    Create the Commons skeleton and report what this machine already has\n"
            "  adopt   Take a path under management; where it lives picks the mechanic\n"
            "  revert  Remove everything kelvaro put into one target\n"
            "  status  Report what is in sync, what is not, and what is not ours\n"
            "  mcp     Manage MCP servers\n"
            "  doctor  Check machine readiness: installed agents, Commons hygiene, Sourced "
            "entries\n"
            "  help    Print this message or the help of the given subcommand(s)\n"
            "\n"
            "Options:\n"
            "  -h, --help     Print help (see more with '--help')\n"
            "  -V, --version  Print version\n"
            "\n"
            "Home: https://github.com/kelvaro/kelvaro\n");
}

TEST(CliHelp, HelpVersionAndBareMcpGoToOutWithStatusZero) {
  const std::string version_line = "kelvaro " + std::string(kVersion);
  struct Case {
    std::vector<std::string> words;
    std::string first_line;
  };
  const Case cases[] = {
      {{"--version"}, version_line},
      {{"-V"}, version_line},
      {{"-hV"}, version_line},
      {{"--help"}, "One canonical .agents/ folder, fanned out to all your AI coding agents."},
      {{"help"}, "One canonical .agents/ folder, fanned out to all your AI coding agents."},
      {{"-h", "sync"}, "Fan the Commons out to every installed agent"},
      {{"revert", "-h"}, "Remove everything kelvaro put into one target"},
      {{"mcp"}, "Manage MCP servers"},
      {{"mcp", "help", "list"}, "Show Commons servers and their state in every agent"},
      {{"help", "mcp", "adopt"}, "Take an agent's existing server into the Commons"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    ParseOutcome outcome = parse_command_line(argv_of(c.words));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(outcome.cli);
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')), c.first_line);
    EXPECT_EQ(outcome.out.back(), '\n');
    EXPECT_EQ(outcome.out.find('\x1b'), std::string::npos);
  }
}

TEST(CliHelp, SubcommandHelpHasNoFooterAndNoTrailingBlanks) {
  ParseOutcome mcp = parse_command_line(argv_of({"mcp", "remove", "--help"}));

  EXPECT_EQ(mcp.out,
            "Delete a server from the Commons and from every agent\n"
            "\n"
            "Usage: kelvaro mcp remove <NAME>\n"
            "\n"
            "Arguments:\n"
            "  <NAME>\n"
            "\n"
            "Options:\n"
            "  -h, --help  Print help\n");
}

TEST(CliErrors, UsageErrorsGoToErrWithStatusOne) {
  struct Case {
    std::vector<std::string> words;
    std::string expected;
  };
  const std::string more = "\nFor more information, try '--help'.\n";
  const Case cases[] = {
      {{"synk"},
       "error: unrecognized subcommand 'synk'\n\n  tip: a similar subcommand exists: 'sync'\n\n"
       "Usage: kelvaro [COMMAND]\n" +
           more},
      {{"stat"},
       "error: unrecognized subcommand 'stat'\n\n  tip: a similar subcommand exists: 'status'\n\n"
       "Usage: kelvaro [COMMAND]\n" +
           more},
      {{"Sync"},
       "error: unrecognized subcommand 'Sync'\n\n  tip: a similar subcommand exists: 'sync'\n\n"
       "Usage: kelvaro [COMMAND]\n" +
           more},
      {{"sy"},  // no prefix matching, only a tip
       "error: unrecognized subcommand 'sy'\n\n  tip: a similar subcommand exists: 'sync'\n\n"
       "Usage: kelvaro [COMMAND]\n" +
           more},
      {{"xyz"}, "error: unrecognized subcommand 'xyz'\n\nUsage: kelvaro [COMMAND]\n" + more},
      {{"adopt"},
       "error: the following required arguments were not provided:\n  <PATH>\n\n"
       "Usage: kelvaro adopt [OPTIONS] <PATH>\n" +
           more},
      {{"revert"},
       "error: the following required arguments were not provided:\n  <AGENT>\n\n"
       "Usage: kelvaro revert <AGENT>\n" +
           more},
      {{"mcp", "enable"},
       "error: the following required arguments were not provided:\n  <NAME>\n\n"
       "Usage: kelvaro mcp enable <NAME>\n" +
           more},
      {{"--json"},
       "error: unexpected argument '--json' found\n\nUsage: kelvaro [COMMAND]\n" + more},
      {{"revert", "a", "b"},
       "error: unexpected argument 'b' found\n\nUsage: kelvaro revert <AGENT>\n" + more},
      {{"adopt", "-x"},
       "error: unexpected argument '-x' found\n\n  tip: to pass '-x' as a value, use '-- -x'\n\n"
       "Usage: kelvaro adopt [OPTIONS] <PATH>\n" +
           more},
      {{"status", "--jsn"},
       "error: unexpected argument '--jsn' found\n\n  tip: a similar argument exists: '--json'\n\n"
       "Usage: kelvaro status [OPTIONS]\n" +
           more},
      {{"sync", "--dry"},
       "error: unexpected argument '--dry' found\n\n  tip: a similar argument exists: "
       "'--dry-run'\n\nUsage: kelvaro sync [OPTIONS]\n" +
           more},
      {{"sync", "--dry_run"},
       "error: unexpected argument '--dry_run' found\n\n  tip: a similar argument exists: "
       "'--dry-run'\n\nUsage: kelvaro sync [OPTIONS]\n" +
           more},
      {{"sync", "--dry-run=false"},
       "error: unexpected value 'false' for '--dry-run' found; no more were expected\n\n"
       "Usage: kelvaro sync [OPTIONS]\n" +
           more},
      // A flag takes no value, whatever the value.
      {{"sync", "--dry-run=true"},
       "error: unexpected value 'true' for '--dry-run' found; no more were expected\n\n"
       "Usage: kelvaro sync [OPTIONS]\n" +
           more},
      {{"sync", "--dry-run="},
       "error: unexpected value '' for '--dry-run' found; no more were expected\n\n"
       "Usage: kelvaro sync [OPTIONS]\n" +
           more},
      {{"status", "--json=true"},
       "error: unexpected value 'true' for '--json' found; no more were expected\n\n"
       "Usage: kelvaro status [OPTIONS]\n" +
           more},
      {{"status", "--json="},
       "error: unexpected value '' for '--json' found; no more were expected\n\n"
       "Usage: kelvaro status [OPTIONS]\n" +
           more},
      {{"mcp", "list", "--json=true"},
       "error: unexpected value 'true' for '--json' found; no more were expected\n\n"
       "Usage: kelvaro mcp list [OPTIONS]\n" +
           more},
      {{"mcp", "adopt", "--all=true"},
       "error: unexpected value 'true' for '--all' found; no more were expected\n\n"
       "Usage: kelvaro mcp adopt [OPTIONS] [SPEC]\n" +
           more},
      {{"mcp", "adopt", "x", "--all="},
       "error: unexpected value '' for '--all' found; no more were expected\n\n"
       "Usage: kelvaro mcp adopt [OPTIONS] [SPEC]\n" +
           more},
      {{"adopt", "p", "--dry-run=true"},
       "error: unexpected value 'true' for '--dry-run' found; no more were expected\n\n"
       "Usage: kelvaro adopt [OPTIONS] <PATH>\n" +
           more},
      {{"sync", "status"},
       "error: unexpected argument 'status' found\n\nUsage: kelvaro sync [OPTIONS]\n" + more},
      {{"sync", "-V"},
       "error: unexpected argument '-V' found\n\nUsage: kelvaro sync [OPTIONS]\n" + more},
      {{"--", "status"},
       "error: unexpected argument 'status' found\n\nUsage: kelvaro [COMMAND]\n" + more},
      {{"--", "foo"},
       "error: unexpected argument 'foo' found\n\nUsage: kelvaro [COMMAND]\n" + more},
      {{"mcp", "bogus"},
       "error: unrecognized subcommand 'bogus'\n\nUsage: kelvaro mcp <COMMAND>\n" + more},
      {{"mcp", "lst"},
       "error: unrecognized subcommand 'lst'\n\n  tip: a similar subcommand exists: 'list'\n\n"
       "Usage: kelvaro mcp <COMMAND>\n" +
           more},
      {{"mcp", "--bogus"},
       "error: unexpected argument '--bogus' found\n\nUsage: kelvaro mcp <COMMAND>\n" + more},
      {{"help", "bogus"},
       "error: unrecognized subcommand 'bogus'\n\nUsage: kelvaro [COMMAND]\n" + more},
      {{"help", "mcp", "lsit"},
       "error: unrecognized subcommand 'lsit'\n\n  tip: a similar subcommand exists: 'list'\n\n"
       "Usage: kelvaro mcp <COMMAND>\n" +
           more},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    ParseOutcome outcome = parse_command_line(argv_of(c.words));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, c.expected);
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(outcome.cli);
  }
}

TEST(CliRun, UsageErrorComesBeforeTheHomeError) {
  RunResult result = run_in_process({"bogus"}, {});

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "error: unrecognized subcommand 'bogus'");
  EXPECT_EQ(result.out, "");
}

TEST(CliRun, HelpNeedsNoHome) {
  RunResult result = run_in_process({"--help"}, {});

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("Usage: kelvaro [COMMAND]"), std::string::npos);
}

TEST(CliRun, NoHomeIsAnErrorOnErr) {
  const EnvSnapshot cases[] = {
      {},
      {{"HOME", ""}, {"USERPROFILE", "/u"}},
      {{"Home", "/h"}},
  };
  for (const auto& env : cases) {
    SCOPED_TRACE(env.size());
    RunResult result = run_in_process({"status"}, env);
    EXPECT_EQ(result, (RunResult{.out = "",
                                 .err = "error: cannot determine home directory: set HOME "
                                        "(USERPROFILE on Windows) or KELVARO_TARGET_ROOT\n",
                                 .status = 1}));
  }
}

TEST(CliRun, ArgumentThatIsNotUtf8IsRefused) {
  RunResult result = run_in_process({"adopt", "bad\xFFname"}, {{"HOME", "/h"}});

  EXPECT_EQ(result, (RunResult{.out = "",
                               .err = "error: argument 'bad\xEF\xBF\xBDname' is not valid UTF-8\n",
                               .status = 1}));
}

TEST(CliRun, ConfigurationErrorStopsEveryCommand) {
  TempHome home;
  home.write(home.config_file(), "[targets\n");

  RunResult result = run_in_process({"doctor"}, home.env());

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  const std::string prefix = "error: " + home.config_file().string() + " is not valid TOML";
  EXPECT_EQ(result.err.substr(0, prefix.size()), prefix);
  EXPECT_EQ(result.err.back(), '\n');
}

TEST(CliRun, EveryFolderACommandWroteIsFlushedWhenItEnds) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.write(".agents/mcp.json", R"({"mcpServers": {"s": {"command": "srv"}}})");
  home.write(".agents/commands/review.md", "Review it.\n");
  home.make_dir(".claude");
  home.make_dir(".gemini");
  flush_written_folders();

  RunResult result = run_in_process({"sync"}, home.env());

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(std::filesystem::exists(home.path(".gemini/commands/review.toml")));
  EXPECT_TRUE(folders_to_flush().empty());
}

TEST(CliRun, AllowlistNamingACustomAgentStopsEveryCommand) {
  TempHome home;
  home.write(home.config_file(),
             "[custom.mine]\nroot = \".mine\"\nskills = \"skills\"\n\n"
             "[mcp.zeta]\nagents = [\"nobody\"]\n\n"
             "[mcp.alpha]\nagents = [\"claude\", \"mine\"]\n");

  RunResult result = run_in_process({"doctor"}, home.env());

  EXPECT_EQ(result, (RunResult{.out = "",
                               .err = "error: mcp.alpha names `mine`, which is not an agent "
                                      "kelvaro knows about\n",
                               .status = 1}));
}

// Until `init` is built; its own tests replace this one.
}  // namespace
}  // namespace kelvaro
