#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "documents.hpp"
#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

const std::string kScope = " — remove the allowlist in kelvaro.toml to share it\n";

// Round trips between the Commons and the agents whose loaders read `type`: claude, gemini,
// and codex, whose one remote transport is streamable HTTP.
class E2eMcpDialect : public ::testing::Test {
 protected:
  TempHome home;

  void SetUp() override {
    for (const char* dir : {".claude", ".gemini", ".codex"}) {
      home.make_dir(dir);
    }
  }
  RunResult kelvaro(const std::vector<std::string>& args) { return run_kelvaro(args, home.env()); }
  std::string servers(const std::string& rel, const char* key = "mcpServers") {
    return Json::parse(home.read(rel))[key].dump();
  }
};

TEST_F(E2eMcpDialect, HomeSyncedBeforeNamesTransportsOnceThenIsUpToDate) {
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "events": {"type": "sse", "url": "http://127.0.0.1:9/sse"},
      "web": {"url": "http://127.0.0.1:9/mcp"}}})");
  // What sync wrote before remote entries named their transport.
  home.write(".claude.json", R"({"mcpServers": {
      "events": {"type": "sse", "url": "http://127.0.0.1:9/sse"},
      "web": {"url": "http://127.0.0.1:9/mcp"}}})");
  home.write(".gemini/settings.json", R"({"theme": "x", "mcpServers": {
      "events": {"url": "http://127.0.0.1:9/sse"},
      "web": {"httpUrl": "http://127.0.0.1:9/mcp"}}})");
  home.write(".codex/config.toml",
             "[mcp_servers.events]\nurl = \"http://127.0.0.1:9/sse\"\n\n"
             "[mcp_servers.web]\nurl = \"http://127.0.0.1:9/mcp\"\n");

  RunResult status = kelvaro({"status"});
  RunResult first = kelvaro({"sync"});
  RunResult second = kelvaro({"sync"});

  EXPECT_EQ(status.status, 2);
  EXPECT_NE(status.out.find("  drifted           web → claude — differs from the Commons (type) — "
                            "will be restored\n"
                            "  managed           events → codex\n"
                            "  managed           web → codex\n"
                            "  drifted           events → gemini — differs from the Commons "
                            "(type) — will be restored\n"
                            "  managed           web → gemini\n"),
            std::string::npos)
      << status.out;
  EXPECT_EQ(first, (RunResult{.out = "mcp (mcp.json)\n"
                                     "  drifted   web → claude — differs from the Commons (type) — "
                                     "will be restored\n"
                                     "  drifted   events → gemini — differs from the Commons "
                                     "(type) — will be restored\n"
                                     "\n2 changes made.\n",
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(second, up_to_date);
  EXPECT_EQ(home.read(".claude.json"),
            "{\n  \"mcpServers\": {\n    \"events\": {\n      \"type\": \"sse\",\n      \"url\": "
            "\"http://127.0.0.1:9/sse\"\n    },\n    \"web\": {\n      \"type\": \"http\",\n      "
            "\"url\": \"http://127.0.0.1:9/mcp\"\n    }\n  }\n}");
  EXPECT_EQ(Json::parse(home.read(".gemini/settings.json")).dump(),
            R"({"theme":"x","mcpServers":{"events":{"url":"http://127.0.0.1:9/sse","type":"sse"},)"
            R"("web":{"httpUrl":"http://127.0.0.1:9/mcp"}}})");
}

TEST_F(E2eMcpDialect, GeminisOwnSpellingIsTheCommonsCopyAndIsNotRewritten) {
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "api": {"type": "http", "url": "http://127.0.0.1:9/mcp"},
      "tool": {"command": "true"}}})");
  home.write(home.config_file(),
             "[mcp.api]\nagents = [\"gemini\"]\n\n[mcp.tool]\nagents = [\"gemini\"]\n");
  // As `gemini mcp add` writes them.
  const std::string gemini =
      R"({"mcpServers": {"api": {"url": "http://127.0.0.1:9/mcp", "type": "http"},
          "tool": {"command": "true", "type": "stdio"}}})";
  home.write(".gemini/settings.json", gemini);

  RunResult status = kelvaro({"status"});
  RunResult sync = kelvaro({"sync"});

  EXPECT_EQ(status, (RunResult{.out = "mcp (mcp.json)\n"
                                      "  managed           api → gemini\n"
                                      "  managed           tool → gemini\n"
                                      "\nEverything is in sync.\n",
                               .err = "",
                               .status = 0}));
  EXPECT_EQ(sync, up_to_date);
  EXPECT_EQ(home.read(".gemini/settings.json"), gemini);
}

TEST_F(E2eMcpDialect, AdoptedGeminiAndClaudeEntriesReachEveryAgentWithTheirTransport) {
  home.write(".gemini/settings.json",
             R"({"mcpServers": {"api": {"url": "http://127.0.0.1:9/mcp", "type": "http",
                 "timeout": 5000}, "events": {"url": "http://127.0.0.1:9/sse", "type": "sse"}}})");
  // claude skips this one: it has no `type`.
  home.write(".claude.json", R"({"mcpServers": {"web": {"url": "http://127.0.0.1:9/web"}}})");

  RunResult adopt = kelvaro({"mcp", "adopt", "--all"});
  const std::string commons = home.read(".agents/mcp.json");
  home.write(home.config_file(), "[mcp.api.tweaks.gemini]\ntimeout = 5000\n");
  RunResult first = kelvaro({"sync"});
  RunResult second = kelvaro({"sync"});

  EXPECT_EQ(adopt, (RunResult{.out = "adopted web from claude\n"
                                     "  scoped to claude" +
                                     kScope +
                                     "adopted api from gemini\n"
                                     "  note: `api`: timeout has no place in the standard shape "
                                     "and was kept as a Tweak for this agent alone\n"
                                     "  scoped to gemini" +
                                     kScope +
                                     "adopted events from gemini\n"
                                     "  scoped to gemini" +
                                     kScope,
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(Json::parse(commons).dump(),
            R"({"mcpServers":{"web":{"url":"http://127.0.0.1:9/web"},)"
            R"("api":{"type":"http","url":"http://127.0.0.1:9/mcp"},)"
            R"("events":{"type":"sse","url":"http://127.0.0.1:9/sse"}}})");
  EXPECT_EQ(first,
            (RunResult{.out = "mcp (mcp.json)\n"
                              "  missing   api → claude — not in this agent's config yet\n"
                              "  missing   events → claude — not in this agent's config yet\n"
                              "  drifted   web → claude — differs from the Commons (type) — "
                              "will be restored\n"
                              "  missing   api → codex — not in this agent's config yet\n"
                              "  missing   events → codex — not in this agent's config yet\n"
                              "  missing   web → codex — not in this agent's config yet\n"
                              "  missing   web → gemini — not in this agent's config yet\n"
                              "\n7 changes made.\n",
                       .err = "",
                       .status = 0}));
  EXPECT_EQ(second, up_to_date);
  EXPECT_EQ(servers(".claude.json"), R"({"web":{"type":"http","url":"http://127.0.0.1:9/web"},)"
                                     R"("api":{"type":"http","url":"http://127.0.0.1:9/mcp"},)"
                                     R"("events":{"type":"sse","url":"http://127.0.0.1:9/sse"}})");
  EXPECT_EQ(servers(".gemini/settings.json"),
            R"({"api":{"url":"http://127.0.0.1:9/mcp","type":"http","timeout":5000},)"
            R"("events":{"url":"http://127.0.0.1:9/sse","type":"sse"},)"
            R"("web":{"httpUrl":"http://127.0.0.1:9/web"}})");
  EXPECT_EQ(home.read(".codex/config.toml"),
            "[mcp_servers.api]\nurl = \"http://127.0.0.1:9/mcp\"\n\n"
            "[mcp_servers.events]\nurl = \"http://127.0.0.1:9/sse\"\n\n"
            "[mcp_servers.web]\nurl = \"http://127.0.0.1:9/web\"\n");
}

TEST_F(E2eMcpDialect, CodexUrlIsAdoptedAsHttpAndClaudeIsToldSo) {
  home.write(".codex/config.toml", "[mcp_servers.docs]\nurl = \"http://127.0.0.1:9/docs\"\n");

  RunResult adopt = kelvaro({"mcp", "adopt", "codex/docs"});
  home.write(home.config_file(), "");
  RunResult sync = kelvaro({"sync"});
  RunResult again = kelvaro({"mcp", "adopt", "--all"});

  EXPECT_EQ(adopt, (RunResult{.out = "adopted docs from codex\n  scoped to codex" + kScope,
                              .err = "",
                              .status = 0}));
  EXPECT_EQ(sync.status, 0);
  EXPECT_EQ(servers(".claude.json"), R"({"docs":{"type":"http","url":"http://127.0.0.1:9/docs"}})");
  EXPECT_EQ(servers(".gemini/settings.json"), R"({"docs":{"httpUrl":"http://127.0.0.1:9/docs"}})");
  // Every agent now holds kelvaro's copy: each one's entry is the Commons server.
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(again.status, 0);
  std::size_t known = 0;
  for (std::size_t at = again.out.find("docs is already in the Commons\n"); at != std::string::npos;
       at = again.out.find("docs is already in the Commons\n", at + 1)) {
    ++known;
  }
  EXPECT_EQ(known, 3u) << again.out;
}

// A typeless Commons server and an agent entry that names the transport it implies are one
// server: the user wrote what claude would, into an agent that does not need it.
TEST_F(E2eMcpDialect, AnEntryNamingTheImpliedTransportIsTheCommonsCopy) {
  home.make_dir(".cursor");
  home.write(".agents/mcp.json", R"({"mcpServers": {"web": {"url": "http://127.0.0.1:9/mcp"}}})");
  home.write(".cursor/mcp.json",
             R"({"mcpServers": {"web": {"type": "http", "url": "http://127.0.0.1:9/mcp"}}})");

  RunResult adopt = kelvaro({"mcp", "adopt", "cursor/web"});

  // Shared before, shared after: confirming one agent's copy narrows nothing.
  EXPECT_EQ(adopt, (RunResult{.out = "web is already in the Commons\n", .err = "", .status = 0}));
  EXPECT_FALSE(fs::exists(home.config_file()));
  EXPECT_EQ(home.read(".agents/mcp.json"),
            R"({"mcpServers": {"web": {"url": "http://127.0.0.1:9/mcp"}}})");
}

}  // namespace
}  // namespace kelvaro
