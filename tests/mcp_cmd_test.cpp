#include "mcp_cmd.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

TEST(DropServerSettings, NothingToDropWritesNothing) {
  const std::vector<std::string> texts = {
      "[mcp.web]\r\nagents = []  # none\r\n",
      "mcp = { fs = { agents = [] } }\n",
      "",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    TempHome home;
    if (!text.empty()) {
      home.write(home.config_file(), text);
    }
    const auto before = tree_listing(home.root());

    ASSERT_TRUE(drop_server_settings(home.config_dir(), "fs"));

    EXPECT_EQ(tree_listing(home.root()), before);
  }
}

TEST(DropServerSettings, InvalidFileIsLeftUntouched) {
  TempHome home;
  const std::string text = kBom + "[mcp.fs]\r\nagents = = 1\r\n";
  home.write(home.config_file(), text);

  auto dropped = drop_server_settings(home.config_dir(), "fs");

  ASSERT_FALSE(dropped);
  EXPECT_EQ(dropped.error(), home.config_file().string() +
                                 " is not valid TOML (invalid TOML (line 2, column 10)) — left "
                                 "untouched");
  EXPECT_EQ(home.read(home.config_file()), text);
}

TEST(WarnLiteralCredentials, NamesLiteralSecretsOnly) {
  struct Case {
    std::string server;
    std::string err;
  };
  const std::vector<Case> cases = {
      {R"({"headers": {"X-Auth": "abc"}, "env": {"Api_Key": "k", "PassWD": "p",
          "GH_TOKEN": "${env:GH_TOKEN}", "SECRET_N": 5, "HOME": "/h"}})",
       "warning: `s`: env.Api_Key, env.PassWD, headers.X-Auth look like credentials and were "
       "copied into the Commons as written — replace them with ${env:VAR} before committing it\n"},
      {R"({"env": ["TOKEN=x"], "headers": {"Accept": "json"}, "token": "x"})", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    std::ostringstream out;
    std::ostringstream err;
    Reporter reporter{.out = &out, .err = &err};

    warn_literal_credentials("s", nlohmann::ordered_json::parse(c.server), reporter);

    EXPECT_EQ(err.str(), c.err);
    EXPECT_EQ(reporter.warnings, c.err.empty() ? 0u : 1u);
  }
}

}  // namespace
}  // namespace kelvaro
