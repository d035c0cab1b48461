#include "config.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

// Writes `text` as the configuration file of `home` and loads it.
Result<Config> load_text(const TempHome& home, std::string_view text) {
  home.write(home.config_file(), text);
  return load_config(home.config_dir());
}

std::string config_path(const TempHome& home) {
  return home.config_file().string();
}

// A configuration text and the message it must be refused with, after the file's path.
struct RefusedText {
  std::string text;
  std::string message;
};

void expect_refused(const std::vector<RefusedText>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TempHome home;

    auto config = load_text(home, c.text);

    ASSERT_FALSE(config);
    EXPECT_EQ(config.error(), config_path(home) + c.message);
  }
}

TEST(LoadConfig, EveryMessage) {
  expect_refused({
      {"[targets]\nclaude = \"no\"\n", ": targets.claude must be true or false"},
      {"[targets.codex]\nx = 1\n", ": targets.codex must be true or false"},
      {"[custom]\nmine = 1\n", ": custom.mine must be a table"},
      {"[custom.mine]\nskills = \"s\"\n", ": custom.mine needs a `root`"},
      {"[custom.mine]\nroot = 3\n", ": custom.mine needs a `root`"},
      {"instructions = \"claude\"\n", ": `instructions` must be a table of agents"},
      {"instructions = { claude = \"symlink\" }\n", ": `instructions` must be a table of agents"},
      {"[custom.mine]\nroot = \"m\"\n[instructions]\nmine = \"symlink\"\n",
       ": instructions.mine: mine is defined in this file and takes fan-out families only"},
      {"[instructions]\nnobody = 3\n",
       ": instructions.nobody: nobody names no agent kelvaro knows about"},
      {"[instructions]\nclaude = \"Symlink\"\n",
       ": instructions.claude: must be \"symlink\" or \"import\""},
      {"[instructions]\nclaude = true\n",
       ": instructions.claude: must be \"symlink\" or \"import\""},
      {"[instructions]\ncursor = \"symlink\"\n",
       ": instructions.cursor: cursor takes no instructions from kelvaro"},
      {"[instructions]\ncline = \"import\"\n",
       ": instructions.cline: cline takes no instructions from kelvaro"},
      {"[instructions]\ncodex = \"import\"\n",
       ": instructions.codex: codex has no import route kelvaro can use, only \"symlink\" "
       "(ADR-0008)"},
      {"[instructions]\nroo = \"import\"\n",
       ": instructions.roo: roo has no import route kelvaro can use, only \"symlink\" (ADR-0008)"},
      {"mcp = 3\n", ": `mcp` must be a table of servers written as [mcp.<name>]"},
      {"mcp = { fs = { agents = [] } }\n",
       ": `mcp` must be a table of servers written as [mcp.<name>]"},
      {"mcp.fs = 1\n", ": mcp.fs must be a table"},
      {"[mcp]\nfs = { agents = [] }\n", ": mcp.fs must be a table"},
      {"[mcp.fs]\nagent = [\"claude\"]\n",
       ": mcp.fs.agent is not a setting — expected `agents` or `tweaks`"},
      {"[mcp.fs]\nagents = \"claude\"\n", ": mcp.fs.agents must be a list of agent names"},
      {"[[mcp.fs.agents]]\nname = \"claude\"\n", ": mcp.fs.agents must be a list of agent names"},
      {"[mcp.fs]\nagents = [\"claude\", 1]\n", ": mcp.fs.agents must hold agent names"},
      {"[mcp.fs]\ntweaks = 1\n", ": mcp.fs.tweaks must be a table of agents"},
      {"[mcp.fs]\ntweaks = { claude = { timeout = 5 } }\n",
       ": mcp.fs.tweaks must be a table of agents"},
      {"[mcp.fs.tweaks]\nclaude = { timeout = 5 }\n", ": mcp.fs.tweaks.claude must be a table"},
      {"[mcp.\"my server\"]\n\"odd key\" = 1\n",
       ": mcp.my server.odd key is not a setting — expected `agents` or `tweaks`"},
      {"a = = 1\n", " is not valid TOML (invalid TOML (line 1, column 5))"},
      {"a = 1\r\nb = 2\r\n= 3\r\n", " is not valid TOML (invalid TOML (line 3, column 1))"},
      {"\xEF\xBB\xBF=", " is not valid TOML (invalid TOML (line 1, column 4))"},
      {"[a]\n[a]\n", " is not valid TOML (invalid TOML (line 2, column 2))"},
  });
}

TEST(LoadConfig, UnreadableFile) {
  TempHome home;
  home.write(home.config_file(), "a = \"\xFF\"\n");
  TempHome folder;
  folder.make_dir(folder.config_file());

  auto bad_text = load_config(home.config_dir());
  auto a_folder = load_config(folder.config_dir());

  ASSERT_FALSE(bad_text);
  EXPECT_EQ(bad_text.error(), "cannot read " + config_path(home) + ": " +
                                  std::make_error_code(std::errc::illegal_byte_sequence).message());
  ASSERT_FALSE(a_folder);
  EXPECT_EQ(a_folder.error(),
            "cannot read " + config_path(folder) + ": " + folder_open_error().message());
}

TEST(LoadConfig, NothingSetGivesEmptyConfig) {
  const std::vector<std::string> texts = {
      "",
      "# only a comment\n\n",
      "color = \"blue\"\n[unrelated]\nx = 1\n",
      "targets = { claude = false }\n",
      "targets = 3\ncustom = \"x\"\n",
      "\xEF\xBB\xBF# with a byte-order mark\r\n",
  };

  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    TempHome home;

    auto config = load_text(home, text);

    ASSERT_TRUE(config) << config.error();
    EXPECT_EQ(*config, Config{});
  }
}

TEST(LoadConfig, MissingFileIsEmptyConfig) {
  TempHome home;

  auto config = load_config(home.config_dir());

  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(*config, Config{});
}

TEST(LoadConfig, TargetsAndCustomAgents) {
  TempHome home;
  const std::string text =
      "\xEF\xBB\xBF"
      "[targets]\n"
      "codex = true\n"
      "nobody = false\n"
      "claude = false\n"
      "\n"
      "[custom.zed]\n"
      "root = \"/abs/zed\"\n"
      "agents = 7\n"
      "subagents = \"zed/sub\"\n"
      "skills = true\n"
      "\n"
      "[custom.alpha]\n"
      "root = \"\"\n"
      "commands = \"a/cmd\"\n"
      "agents = \"a/agents\"\n"
      "subagents = \"a/sub\"\n"
      "extra = 1\n";

  auto config = load_text(home, text);

  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(config->disabled, (std::vector<std::string>{"nobody", "claude"}));
  EXPECT_EQ(config->custom,
            (std::vector<CustomAgent>{
                {.name = "zed", .root = "/abs/zed", .dirs = {{Family::agents, "zed/sub"}}},
                {.name = "alpha",
                 .root = "",
                 .dirs = {{Family::commands, "a/cmd"}, {Family::agents, "a/agents"}}},
            }));
}

TEST(LoadConfig, InstructionChoices) {
  TempHome home;

  auto config = load_text(home,
                          "[instructions]\nclaude = \"symlink\"\ngemini = \"import\"\n"
                          "roo = \"symlink\"\nopencode = \"symlink\"\n");

  ASSERT_TRUE(config) << config.error();
  EXPECT_EQ(config->instructions, (std::map<std::string, InstructionsClass>{
                                      {"claude", InstructionsClass::symlink},
                                      {"gemini", InstructionsClass::import},
                                      {"opencode", InstructionsClass::symlink},
                                      {"roo", InstructionsClass::symlink},
                                  }));
}

TEST(LoadConfig, ServerSettings) {
  TempHome home;
  const std::string text =
      "mcp.dotted.agents = [\"cursor\"]\n"
      "\n"
      "[mcp.none]\n"
      "agents = []\n"
      "\n"
      "[mcp.open]\n"
      "\n"
      "[mcp.fs]\n"
      "agents = [\"claude\", \"codex\"]\n"
      "\n"
      "[mcp.fs.tweaks.claude]\n"
      "timeout = 5\n"
      "env = { TOKEN = \"x\", nested.deep = true }\n"
      "alpha = nan\n"
      "when = 1979-05-27 07:32:00z\n"
      "\n"
      "[mcp.fs.tweaks.codex]\n"
      "[mcp.fs.tweaks.codex.env]\n"
      "A = \"1\"\n";

  auto config = load_text(home, text);

  ASSERT_TRUE(config) << config.error();
  ASSERT_EQ(config->mcp.size(), 4u);
  EXPECT_EQ(config->mcp.at("dotted").agents, std::vector<std::string>{"cursor"});
  EXPECT_EQ(config->mcp.at("none").agents, std::vector<std::string>{});
  EXPECT_EQ(config->mcp.at("open"), ServerSettings{});
  const ServerSettings& fs = config->mcp.at("fs");
  EXPECT_EQ(fs.agents, (std::vector<std::string>{"claude", "codex"}));
  ASSERT_EQ(fs.tweaks.size(), 2u);
  EXPECT_EQ(fs.tweaks.at("claude").dump(),
            R"({"timeout":5,"env":{"TOKEN":"x","nested":{"deep":true}},"alpha":null,)"
            R"("when":"1979-05-27T07:32:00Z"})");
  EXPECT_EQ(fs.tweaks.at("codex").dump(), R"({"env":{"A":"1"}})");
}

TEST(LoadConfig, FirstFaultInSectionOrderWins) {
  expect_refused({
      // The mcp fault comes first in the file, but targets are read first.
      {"[mcp.a]\nbad = 1\n[targets]\nclaude = 1\n", ": targets.claude must be true or false"},
      {"[instructions]\nnobody = \"import\"\n[custom.x]\nroot = 1\n", ": custom.x needs a `root`"},
      {"[mcp.b]\nfirst = 1\n[mcp.a]\nsecond = 1\n",
       ": mcp.b.first is not a setting — expected `agents` or `tweaks`"},
      {"[mcp.a]\nagents = 1\ntweaks = 2\n", ": mcp.a.agents must be a list of agent names"},
  });
}

TEST(CheckMcpAgents, FirstNameThatIsNotBuiltin) {
  auto server = [](std::optional<std::vector<std::string>> agents,
                   std::vector<std::string> tweaked) {
    ServerSettings settings;
    settings.agents = std::move(agents);
    for (auto& name : tweaked) {
      settings.tweaks[name] = nlohmann::ordered_json::object();
    }
    return settings;
  };
  struct Case {
    std::string what;
    std::map<std::string, ServerSettings> mcp;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {"all built in", {{"fs", server({{"claude", "cline"}}, {"codex"})}}, std::nullopt},
      {"no allowlist", {{"fs", server(std::nullopt, {})}}, std::nullopt},
      {"custom agent in list",
       {{"fs", server({{"claude", "mine"}}, {})}},
       "mcp.fs names `mine`, which is not an agent kelvaro knows about"},
      {"list before tweaks",
       {{"fs", server({{"bad-list"}}, {"a-tweak"})}},
       "mcp.fs names `bad-list`, which is not an agent kelvaro knows about"},
      {"tweaks in name order",
       {{"fs", server(std::nullopt, {"zz", "aa"})}},
       "mcp.fs names `aa`, which is not an agent kelvaro knows about"},
      {"servers in name order",
       {{"zeta", server({{"one"}}, {})}, {"alpha", server({{"two"}}, {})}},
       "mcp.alpha names `two`, which is not an agent kelvaro knows about"},
      {"case matters",
       {{"fs", server({{"Claude"}}, {})}},
       "mcp.fs names `Claude`, which is not an agent kelvaro knows about"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Config config;
    config.mcp = c.mcp;

    auto checked = check_mcp_agents(config);
    EXPECT_EQ(checked ? std::nullopt : std::optional(checked.error()), c.error);
  }
}

}  // namespace
}  // namespace kelvaro
