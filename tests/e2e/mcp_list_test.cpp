#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

class E2eMcpList : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override {
    home.make_dir(".claude");
    home.make_dir(".cursor");
  }
  void commons_servers(const std::string& servers) {
    home.write(".agents/mcp.json", R"({"mcpServers": )" + servers + "}");
  }
  RunResult list(bool json = false) {
    return run_kelvaro(json ? std::vector<std::string>{"mcp", "list", "--json"}
                            : std::vector<std::string>{"mcp", "list"},
                       home.env());
  }
};

// Commons servers by name with their targets in agent order, then the servers only agents
// hold; state words padded to ten.
TEST_F(E2eMcpList, ServersInOrderWithTheirTargets) {
  commons_servers(R"({"b": {"command": "bb"}, "a": {"command": "aa"}})");
  home.write(".claude.json", R"({"mcpServers": {"a": {"command": "aa"}, "z": {"command": "z"}}})");

  EXPECT_EQ(list(), (RunResult{.out = "a  (Commons)\n"
                                      "  managed    claude\n"
                                      "  missing    cursor\n"
                                      "b  (Commons)\n"
                                      "  missing    claude\n"
                                      "  missing    cursor\n"
                                      "z  (not in the Commons)\n"
                                      "  foreign    claude\n",
                               .err = "",
                               .status = 2}));
}

TEST_F(E2eMcpList, DisabledServersAndTheirJsonForm) {
  commons_servers(
      R"({"gone": {"command": "g", "disabled": true}, "kept": {"command": "k", "disabled": true}})");
  home.write(".cursor/mcp.json", R"({"mcpServers": {"kept": {"command": "k"}}})");

  EXPECT_EQ(list(), (RunResult{.out = "gone  (disabled)\n"
                                      "kept  (disabled)\n"
                                      "  disabled   cursor\n",
                               .err = "",
                               .status = 2}));
  RunResult json = list(true);
  EXPECT_EQ(json.out, nlohmann::ordered_json::parse(R"({"servers": [
    {"name": "gone", "managed": true, "targets": [], "disabled": true},
    {"name": "kept", "managed": true,
     "targets": [{"agent": "cursor", "state": "disabled", "actionable": true}],
     "disabled": true}
  ]})")
                              .dump(2) +
                          "\n");
  EXPECT_EQ(json.status, 2);
}

// A server kept from codex by its allowlist but still held there is stranded: shown, not
// counted; foreign servers alone leave the status at 0.
TEST_F(E2eMcpList, StrandedAndForeignNeedNoSync) {
  home.make_dir(".codex");
  home.write(".config/kelvaro/kelvaro.toml", "[mcp.fs]\nagents = [\"claude\"]\n");
  commons_servers(R"({"fs": {"command": "fs"}})");
  home.write(".claude.json", R"({"mcpServers": {"fs": {"command": "fs"}}})");
  home.write(".codex/config.toml", "[mcp_servers.fs]\ncommand = \"fs\"\n");
  home.write(".cursor/mcp.json", R"({"mcpServers": {"own": {"command": "own"}}})");

  EXPECT_EQ(list(), (RunResult{.out = "fs  (Commons)\n"
                                      "  managed    claude\n"
                                      "  stranded   codex\n"
                                      "own  (not in the Commons)\n"
                                      "  foreign    cursor\n",
                               .err = "",
                               .status = 0}));
}

TEST_F(E2eMcpList, NothingAnywhere) {
  home.write(".cursor/mcp.json", R"({"mcpServers": {}})");

  EXPECT_EQ(
      list(),
      (RunResult{.out = "no MCP servers in the Commons, and none found in any agent's config\n",
                 .err = "",
                 .status = 0}));
  EXPECT_EQ(list(true), (RunResult{.out = "{\n  \"servers\": []\n}\n", .err = "", .status = 0}));
}

// Before the Commons has an mcp.json the agents' servers are what there is to adopt: listed as
// against an empty Commons file, read only, and an agent file that cannot be read is said.
TEST_F(E2eMcpList, WithoutACommonsFileTheAgentsServersAreListed) {
  home.write(".cursor/mcp.json", R"({"mcpServers": {"own": {"command": "own"}}})");
  home.write(".claude.json",
             R"({"mcpServers": {"ctx": {"command": "cat"}, "own": {"command": "own"}}})");
  const auto before = tree_listing(home.root());

  const RunResult text = list();
  const RunResult json = list(true);

  EXPECT_EQ(text, (RunResult{.out = "ctx  (not in the Commons)\n"
                                    "  foreign    claude\n"
                                    "own  (not in the Commons)\n"
                                    "  foreign    claude\n"
                                    "  foreign    cursor\n",
                             .err = "",
                             .status = 0}));
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(nlohmann::ordered_json::parse(json.out)["servers"][1],
            nlohmann::ordered_json::parse(R"({"name": "own", "managed": false, "targets": [
              {"agent": "claude", "state": "foreign", "actionable": false},
              {"agent": "cursor", "state": "foreign", "actionable": false}]})"));
  EXPECT_EQ(tree_listing(home.root()), before);

  home.write(".cursor/mcp.json", "{ not json");
  const RunResult unreadable = list();
  EXPECT_TRUE(unreadable.err.starts_with("error: " + home.path(".cursor/mcp.json").string()))
      << unreadable.err;
  EXPECT_EQ(unreadable.status, 1);
}

TEST_F(E2eMcpList, ErrorsSetTheStatus) {
  commons_servers(R"({"a": {"command": "aa"}})");
  home.write(".cursor/mcp.json", "{ not json");

  RunResult unreadable_agent = list();
  EXPECT_EQ(unreadable_agent.out, "a  (Commons)\n  missing    claude\n");
  EXPECT_TRUE(unreadable_agent.err.starts_with("error: ")) << unreadable_agent.err;
  EXPECT_EQ(unreadable_agent.status, 1);

  home.write(".agents/mcp.json", "{ not json");
  RunResult broken_commons = list();
  EXPECT_EQ(broken_commons.out, "");
  EXPECT_EQ(broken_commons.err.find("error: "), 0U);
  EXPECT_EQ(broken_commons.err.find('\n'), broken_commons.err.size() - 1) << broken_commons.err;
  EXPECT_EQ(broken_commons.status, 1);
}

}  // namespace
}  // namespace kelvaro
