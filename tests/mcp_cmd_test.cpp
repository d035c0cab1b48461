#include "mcp_cmd.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

const std::string kBom = "\xEF\xBB\xBF";

fs::path config_file(const TempHome& home) {
  return home.config_dir() / "kelvaro.toml";
}

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
      home.write(config_file(home), text);
    }
    const auto before = tree_listing(home.root());

    ASSERT_TRUE(drop_server_settings(home.config_dir(), "fs"));

    EXPECT_EQ(tree_listing(home.root()), before);
  }
}

TEST(DropServerSettings, InvalidFileIsLeftUntouched) {
  TempHome home;
  const std::string text = kBom + "[mcp.fs]\r\nagents = = 1\r\n";
  home.write(config_file(home), text);

  auto dropped = drop_server_settings(home.config_dir(), "fs");

  ASSERT_FALSE(dropped);
  EXPECT_EQ(dropped.error(), config_file(home).string() +
                                 " is not valid TOML (invalid TOML (line 2, column 10)) — left "
                                 "untouched");
  EXPECT_EQ(home.read(config_file(home)), text);
}

}  // namespace
}  // namespace kelvaro
