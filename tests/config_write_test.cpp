#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config.hpp"
#include "documents.hpp"
#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// Holds a second name for the configuration file, so that a test can tell whether the file was
// replaced (the second name then keeps the old file alone).
fs::path pin(const TempHome& home) {
  const fs::path other = home.root() / "pinned";
  fs::create_hard_link(home.config_file(), other);
  return other;
}

// The file is still the one pinned when both names reach the same file; the link count cannot
// tell, since msvcrt's stat always answers 1 on Windows.
bool replaced(const TempHome& home, const fs::path& pinned) {
  return !fs::equivalent(pinned, home.config_file());
}

TEST(SaveServerSettings, NewFileHoldsOnlyWhatWasAsked) {
  {
    TempHome home;
    ASSERT_TRUE(save_server_settings(home.config_dir(), "fs", std::nullopt, Json::object(), "x"));
    EXPECT_FALSE(fs::exists(home.config_dir()));
  }
  {
    TempHome home;
    ASSERT_TRUE(save_server_settings(home.config_dir(), "fs", std::vector<std::string>{"claude"},
                                     Json::object(), "claude"));
    EXPECT_EQ(home.read(home.config_file()), "[mcp.fs]\nagents = [\"claude\"]\n");
  }
  {
    TempHome home;
    ASSERT_TRUE(save_server_settings(home.config_dir(), "fs", std::nullopt,
                                     Json{{"startup_timeout_sec", 30}}, "codex"));
    EXPECT_EQ(home.read(home.config_file()), "[mcp.fs.tweaks.codex]\nstartup_timeout_sec = 30\n");
  }
}

TEST(SaveServerSettings, AbsentAgentsKeepTheWrittenListUnlessShared) {
  const std::string before = "[mcp.fs]\nagents = [\"claude\"]\n";
  {
    TempHome home;
    home.write(home.config_file(), before);
    ASSERT_TRUE(save_server_settings(home.config_dir(), "fs", std::nullopt, Json::object(), "",
                                     AbsentAgents::keep_list));
    EXPECT_EQ(home.read(home.config_file()), before);
  }
  {
    TempHome home;
    home.write(home.config_file(), before);
    ASSERT_TRUE(save_server_settings(home.config_dir(), "fs", std::nullopt, Json::object(), "",
                                     AbsentAgents::share_with_all));
    EXPECT_EQ(home.read(home.config_file()).find("agents"), std::string::npos);
  }
}

TEST(SaveServerSettings, CrlfByteOrderMarkAndCommentsSurvive) {
  TempHome home;
  home.write(home.config_file(), kBom +
                                     "# my settings\r\n"
                                     "[targets]\r\n"
                                     "cursor = false  # not today\r\n"
                                     "\r\n"
                                     "# who gets it\r\n"
                                     "[mcp.fs]\r\n"
                                     "agents = [\"claude\"]  # old list\r\n");

  ASSERT_TRUE(save_server_settings(home.config_dir(), "fs",
                                   std::vector<std::string>{"claude", "codex"},
                                   Json{{"startup_timeout_sec", 30}}, "codex"));

  const std::string expected = kBom +
                               "# my settings\r\n"
                               "[targets]\r\n"
                               "cursor = false  # not today\r\n"
                               "\r\n"
                               "# who gets it\r\n"
                               "[mcp.fs]\r\n"
                               "agents = [\"claude\", \"codex\"]\r\n"
                               "\r\n"
                               "[mcp.fs.tweaks.codex]\r\n"
                               "startup_timeout_sec = 30\r\n";
  EXPECT_EQ(home.read(home.config_file()), expected);

  const fs::path pinned = pin(home);
  ASSERT_TRUE(save_server_settings(home.config_dir(), "fs",
                                   std::vector<std::string>{"claude", "codex"},
                                   Json{{"startup_timeout_sec", 30}}, "codex"));
  EXPECT_FALSE(replaced(home, pinned));
  EXPECT_EQ(home.read(home.config_file()), expected);
}

TEST(SaveServerSettings, TweakTableIsReplacedWholeInItsPlace) {
  TempHome home;
  home.write(home.config_file(),
             "[mcp.fs]\n"
             "agents = [\"codex\"]\n"
             "\n"
             "# tuned by hand\n"
             "[mcp.fs.tweaks.codex]  # slow machine\n"
             "startup_timeout_sec = 90\n"
             "tool_timeout_sec = 60\n"
             "\n"
             "[mcp.web]\n"
             "agents = []\n");

  ASSERT_TRUE(save_server_settings(home.config_dir(), "fs", std::nullopt,
                                   Json{{"startup_timeout_sec", 30}}, "codex"));

  EXPECT_EQ(home.read(home.config_file()),
            "[mcp.fs]\n"
            "agents = [\"codex\"]\n"
            "\n"
            "# tuned by hand\n"
            "[mcp.fs.tweaks.codex]  # slow machine\n"
            "startup_timeout_sec = 30\n"
            "\n"
            "[mcp.web]\n"
            "agents = []\n");
}

TEST(SaveServerSettings, EmptyTweaksHeaderGoesUnlessItCarriesAComment) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[mcp.fs.tweaks]\n[mcp.fs.tweaks.codex]\nx = 1\n", "[mcp.fs.tweaks.codex]\ny = 2\n"},
      {"# per agent\n[mcp.fs.tweaks]\n[mcp.fs.tweaks.codex]\nx = 1\n",
       "# per agent\n[mcp.fs.tweaks]\n[mcp.fs.tweaks.codex]\ny = 2\n"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    TempHome home;
    home.write(home.config_file(), text);

    ASSERT_TRUE(
        save_server_settings(home.config_dir(), "fs", std::nullopt, Json{{"y", 2}}, "codex"));

    EXPECT_EQ(home.read(home.config_file()), expected);
  }
}

TEST(SaveServerSettings, RefusalsLeaveTheFileAsItWas) {
  struct Case {
    std::string text;
    Json tweak;
    std::string message;  // "{path}" stands for the file's path
  };
  const Json nested = Json{{"args", Json::array({Json{{"a", 1}}})}};
  const Json plain = Json{{"x", 1}};
  const std::vector<Case> cases = {
      {"not toml =", nested, "mcp.fs.tweaks.codex: `args` has a value TOML cannot hold"},
      {kBom + "[mcp]\r\nfs = = 1\r\n", plain,
       "{path} is not valid TOML (invalid TOML (line 2, column 6)) — left untouched"},
      {"mcp = { fs = {} }\n", plain, "`mcp` in kelvaro.toml is not a table — left untouched"},
      {"[mcp]\nfs = 1\n", plain, "mcp.fs in kelvaro.toml is not a table — left untouched"},
      {"[mcp.fs]\ntweaks = 1\n", plain,
       "mcp.fs.tweaks in kelvaro.toml is not a table — left untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TempHome home;
    home.write(home.config_file(), c.text);
    std::string message = c.message;
    if (auto at = message.find("{path}"); at != std::string::npos) {
      message.replace(at, 6, home.config_file().string());
    }

    auto saved = save_server_settings(home.config_dir(), "fs", std::vector<std::string>{"claude"},
                                      c.tweak, "codex");

    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error(), message);
    EXPECT_EQ(home.read(home.config_file()), c.text);
  }
}

TEST(EditServerSettings, AnEmptyTweakTakesTheAgentsTableOutAndOthersStay) {
  auto file = parse_toml_file(
      "[mcp.fs.tweaks.claude]\nalwaysAllow = [\"read\"]\n[mcp.fs.tweaks.codex]\ny = 2\n");
  ASSERT_TRUE(file);
  JsonMap tweaks;
  tweaks["claude"] = Json::object();
  tweaks["gemini"] = Json::object();

  ASSERT_TRUE(edit_server_settings(*file, ServerSettingsEdit{.server = "fs", .tweaks = tweaks}));

  EXPECT_EQ(print_toml_file(*file), "[mcp.fs.tweaks.codex]\ny = 2\n");
}

TEST(EditServerSettings, ARefusalHalfWayLeavesTheDocumentAsItWas) {
  const std::string text = "[mcp.fs]\nagents = [\"claude\"]\ntweaks = 1\n";
  auto file = parse_toml_file(text);
  ASSERT_TRUE(file);
  JsonMap tweaks;
  tweaks["codex"] = Json{{"y", 2}};

  auto edited = edit_server_settings(
      *file, ServerSettingsEdit{
                 .server = "fs", .agents = std::vector<std::string>{"codex"}, .tweaks = tweaks});

  ASSERT_FALSE(edited);
  EXPECT_EQ(edited.error(), "mcp.fs.tweaks in kelvaro.toml is not a table — left untouched");
  EXPECT_EQ(print_toml_file(*file), text);
}

}  // namespace
}  // namespace kelvaro
