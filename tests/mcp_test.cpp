#include "mcp.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agents.hpp"
#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

Json json(std::string_view text) {
  return Json::parse(text);
}

// --- the Commons server file ---------------------------------------------------------------

class McpServers : public ::testing::Test {
 protected:
  TempHome home;
  fs::path file() const { return home.path(".agents/mcp.json"); }
};

TEST_F(McpServers, LoadSortsByteWiseAndWriteKeepsMapOrderAndTheOtherMembers) {
  home.write(".agents/mcp.json",
             R"({"other": 1, "mcpServers": {"b": {"command": "x"}, "a": {"url": "u"},
                 "B": {"disabled": false}, "a": {"url": "later"}}})");

  auto servers = load_commons_servers(file());
  ASSERT_TRUE(servers) << servers.error();
  EXPECT_EQ(servers->dump(), R"({"B":{"disabled":false},"a":{"url":"later"},"b":{"command":"x"}})");

  (*servers)["0"] = Json::object();
  auto written = write_commons_servers(file(), *servers);

  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(home.read(".agents/mcp.json"),
            "{\n  \"other\": 1,\n  \"mcpServers\": {\n    \"B\": {\n      \"disabled\": false\n"
            "    },\n    \"a\": {\n      \"url\": \"later\"\n    },\n    \"b\": {\n      "
            "\"command\": \"x\"\n    },\n    \"0\": {}\n  }\n}\n");
  ASSERT_TRUE(write_commons_servers(file(), Json::object()));
  EXPECT_EQ(home.read(".agents/mcp.json"), "{\n  \"other\": 1,\n  \"mcpServers\": {}\n}\n");
  fs::remove(file());
  ASSERT_TRUE(write_commons_servers(file(), Json::object()));
  EXPECT_EQ(home.read(".agents/mcp.json"), "{\n  \"mcpServers\": {}\n}\n");
}

TEST_F(McpServers, RefusesFilesItCannotUseWithOneMessageEach) {
  const std::string path = file().string();
  struct Case {
    std::string text;
    std::string message;  // a prefix for the JSON parser's own words
  };
  const std::vector<Case> cases = {
      {"\xEF\xBB\xBF{\"mcpServers\": {}}", path + " is not valid JSON: "},
      {"{\"mcpServers\": {}} {}", path + " is not valid JSON: "},
      {"", path + " is not valid JSON: "},
      {"[]", path + " must hold an `mcpServers` object at the top level"},
      {"{\"mcpServers\": []}", path + " must hold an `mcpServers` object at the top level"},
      {"{\"servers\": {}}", path + " must hold an `mcpServers` object at the top level"},
      {R"({"mcpServers": {"a": {}, "s": "x", "t": 1}})", path + ": server `s` must be an object"},
      {R"({"mcpServers": {"a": {"disabled": "yes"}, "b": []}})",
       path + ": server `a`: `disabled` must be true or false"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    home.write(".agents/mcp.json", c.text);

    auto servers = load_commons_servers(file());

    ASSERT_FALSE(servers);
    EXPECT_TRUE(servers.error().starts_with(c.message)) << servers.error();
  }
  home.write(".agents/mcp.json", "{\n  \"mcpServers\": {,}\n}");
  auto broken = parse_commons_servers(file());
  ASSERT_FALSE(broken);
  EXPECT_TRUE(broken.error().ends_with(" at line 2, column 18")) << broken.error();
}

TEST_F(McpServers, NoRegularFileIsAnEmptyMap) {
  home.make_dir(".agents/mcp.json");
  auto folder = load_commons_servers(file());
  auto missing = load_commons_servers(home.path("none.json"));

  ASSERT_TRUE(folder && missing);
  EXPECT_EQ(*folder, Json::object());
  EXPECT_EQ(*missing, Json::object());
}

// --- environment references ----------------------------------------------------------------

TEST(McpEnvRefs, ExpandsLeftToRightOnceAndOnlyInStrings) {
  RunContext ctx;
  ctx.env = {{"A", "x"}, {"B", "${env:A}"}, {"E", ""}};
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"${env:A}", "x"},          {"pre ${env:A} post", "pre x post"},
      {"${env:A}${env:A}", "xx"}, {"$${env:A}", "$x"},
      {"${env:B}", "${env:A}"},   {"${env:A} and ${env:A", "x and ${env:A"},
      {"${env:", "${env:"},       {"no refs", "no refs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    auto expanded = expand_env_refs("s", Json(c.in), ctx);
    ASSERT_TRUE(expanded) << expanded.error();
    EXPECT_EQ(*expanded, Json(c.out));
  }

  const Json nested = json(R"({"${env:A}": ["${env:A}", 1, null, true, {"k": "${env:A}"}]})");
  auto expanded = expand_env_refs("s", nested, ctx);
  ASSERT_TRUE(expanded);
  EXPECT_EQ(expanded->dump(), R"({"${env:A}":["x",1,null,true,{"k":"x"}]})");
  EXPECT_TRUE(has_env_refs(nested));
  EXPECT_TRUE(has_env_refs(json(R"({"${env:X}": 1})")));
  EXPECT_FALSE(has_env_refs(json(R"({"a": ["$", "{env:", 1]})")));
}

TEST(McpEnvRefs, UnsetEmptyOrWrongCaseVariablesFail) {
  RunContext ctx;
  ctx.env = {{"A", "x"}, {"E", ""}};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"${env:E}", "E"}, {"${env:MISSING}", "MISSING"}, {"${env:a}", "a"}, {"${env:}", ""}};
  for (const auto& [text, variable] : cases) {
    SCOPED_TRACE(text);
    auto expanded = expand_env_refs("s", json(R"({"args": ["${env:A}", ")" + text + R"("]})"), ctx);
    ASSERT_FALSE(expanded);
    EXPECT_EQ(expanded.error(),
              "mcp server `s`: ${env:" + variable + "} is not set in the environment");
  }
}

// --- dialects --------------------------------------------------------------------------------

TEST(McpDialects, TransportFromTypeElseFromUrlAndCommand) {
  EXPECT_EQ(transport_of(json(R"({"type": "sse", "command": "x"})")), Transport::sse);
  EXPECT_EQ(transport_of(json(R"({"type": "HTTP", "url": "u"})")), Transport::http);
  EXPECT_EQ(transport_of(json(R"({"type": "ws", "url": "u", "command": "x"})")), Transport::stdio);
  EXPECT_EQ(transport_of(json(R"({"type": 1, "url": "u"})")), Transport::http);
  EXPECT_EQ(transport_of(json(R"({})")), Transport::stdio);
}

TEST(McpDialects, RendersEachDialect) {
  const RunContext ctx;
  const Json local =
      json(R"({"command": "npx", "args": ["-y"], "env": {"K": "v"}, "disabled": false})");
  const Json remote = json(R"({"url": "https://x", "headers": {"H": "1"}, "timeout": 5})");
  const Json sse = json(R"({"type": "sse", "url": "https://x"})");
  struct Case {
    Json server;
    ServerShape shape;
    std::string rendered;
  };
  const std::vector<Case> cases = {
      {local, ServerShape::standard, R"({"command":"npx","args":["-y"],"env":{"K":"v"}})"},
      {local, ServerShape::codex, R"({"command":"npx","args":["-y"],"env":{"K":"v"}})"},
      {local, ServerShape::opencode,
       R"({"type":"local","command":["npx","-y"],"environment":{"K":"v"}})"},
      {local, ServerShape::gemini, R"({"command":"npx","args":["-y"],"env":{"K":"v"}})"},
      {local, ServerShape::windsurf, R"({"command":"npx","args":["-y"],"env":{"K":"v"}})"},
      {remote, ServerShape::standard, R"({"url":"https://x","headers":{"H":"1"},"timeout":5})"},
      {remote, ServerShape::codex, R"({"url":"https://x","http_headers":{"H":"1"},"timeout":5})"},
      {remote, ServerShape::opencode,
       R"({"type":"remote","url":"https://x","headers":{"H":"1"},"timeout":5})"},
      {remote, ServerShape::gemini, R"({"httpUrl":"https://x","headers":{"H":"1"},"timeout":5})"},
      {remote, ServerShape::windsurf,
       R"({"serverUrl":"https://x","headers":{"H":"1"},"timeout":5})"},
      {remote, ServerShape::claude,
       R"({"type":"http","url":"https://x","headers":{"H":"1"},"timeout":5})"},
      {local, ServerShape::claude, R"({"command":"npx","args":["-y"],"env":{"K":"v"}})"},
      {sse, ServerShape::claude, R"({"type":"sse","url":"https://x"})"},
      {sse, ServerShape::standard, R"({"type":"sse","url":"https://x"})"},
      {sse, ServerShape::gemini, R"({"url":"https://x","type":"sse"})"},
      {sse, ServerShape::codex, R"({"url":"https://x"})"},
      {json(R"({"args": ["a"]})"), ServerShape::opencode, R"({"type":"local","command":["a"]})"},
      {json(R"({"command": "c", "x": null, "env": {"n": null}, "args": [null]})"),
       ServerShape::codex, R"({"command":"c","args":[null],"env":{}})"},
      {json(R"({"command": "c", "x": null})"), ServerShape::gemini, R"({"command":"c","x":null})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rendered);
    auto rendered = render_server("s", ctx, c.server, c.shape, std::nullopt, false);
    ASSERT_TRUE(rendered);
    EXPECT_EQ(rendered->dump(), c.rendered);
  }
}

TEST(McpDialects, TweakWinsInPlaceAndIsExpandedWithTheServer) {
  RunContext ctx;
  ctx.env = {{"T", "secret"}};
  const Json server = json(R"({"command": "npx", "args": ["-y"], "disabled": true})");
  const Json tweak = json(R"({"command": ["other"], "token": "${env:T}", "gone": null})");

  auto rendered = render_server("s", ctx, server, ServerShape::opencode, tweak, true);
  auto codex = render_server("s", ctx, server, ServerShape::codex, tweak, true);
  auto unset = render_server("s", RunContext{}, server, ServerShape::codex, tweak, true);

  ASSERT_TRUE(rendered && codex);
  EXPECT_EQ(rendered->dump(),
            R"({"type":"local","command":["other"],"token":"secret","gone":null})");
  EXPECT_EQ(codex->dump(), R"({"command":["other"],"args":["-y"],"token":"secret"})");
  ASSERT_FALSE(unset);
  EXPECT_EQ(unset.error(), "mcp server `s`: ${env:T} is not set in the environment");
}

TEST(McpDialects, StandardisesWithNotesAndRendersBackTheSame) {
  struct Case {
    ServerShape shape;
    std::string entry;
    std::string server;
    std::string tweak;
    std::vector<std::string> notes;
  };
  const std::vector<Case> cases = {
      {ServerShape::standard,
       R"({"command": "c", "timeout": 5, "z": null, "a": []})",
       R"({"command":"c"})",
       R"({"timeout":5,"a":[]})",
       {"`s`: z had no value and was not kept",
        "`s`: a, timeout has no place in the standard shape and was kept as a Tweak for this "
        "agent alone"}},
      {ServerShape::codex,
       R"({"url": "u", "http_headers": {"H": "1"}})",
       R"({"type":"http","url":"u","headers":{"H":"1"}})",
       "{}",
       {}},
      {ServerShape::opencode,
       R"({"type": "local", "command": ["npx"], "environment": {}})",
       R"({"command":"npx"})",
       "{}",
       {}},
      {ServerShape::opencode, R"({"type": "local", "command": []})", "{}", "{}", {}},
      {ServerShape::gemini,
       R"({"httpUrl": "h", "url": "u"})",
       R"({"type":"http","url":"h"})",
       R"({"url":"u"})",
       {"`s`: url has no place in the standard shape and was kept as a Tweak for this agent "
        "alone"}},
      {ServerShape::windsurf,
       R"({"url": "u"})",
       "{}",
       R"({"url":"u"})",
       {"`s`: url has no place in the standard shape and was kept as a Tweak for this agent "
        "alone"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const Json entry = json(c.entry);

    auto adopted = standardise_server("s", entry, c.shape);

    ASSERT_TRUE(adopted);
    EXPECT_EQ(adopted->server.dump(), c.server);
    EXPECT_EQ(adopted->tweak.dump(), c.tweak);
    EXPECT_EQ(adopted->notes, c.notes);
  }
  const Json entry = json(R"({"command": ["npx", "-y", "pkg"], "type": "local", "x": 1})");
  auto adopted = standardise_server("s", entry, ServerShape::opencode);
  ASSERT_TRUE(adopted);
  auto diff =
      render_diff("s", adopted->server, ServerShape::opencode, entry, RunContext{}, adopted->tweak);
  ASSERT_TRUE(diff);
  EXPECT_TRUE(diff->empty());
  EXPECT_EQ(standardise_server("s", Json::array(), ServerShape::standard).error(),
            "server `s` is not an object");
}

TEST(McpDialects, ClaudeGetsTheTransportOfTypelessRemoteServersFirst) {
  const RunContext ctx;
  struct Case {
    std::string server;
    std::string rendered;
  };
  const std::vector<Case> cases = {
      {R"({"url": "u", "headers": {"H": "1"}})",
       R"({"type":"http","url":"u","headers":{"H":"1"}})"},
      {R"({"headers": {}, "url": "u", "disabled": false})",
       R"({"type":"http","headers":{},"url":"u"})"},
      {R"({"url": "u", "type": "sse"})", R"({"url":"u","type":"sse"})"},
      // A server that names a transport kelvaro does not know keeps its word.
      {R"({"type": "ws", "url": "u"})", R"({"type":"ws","url":"u"})"},
      {R"({"type": "HTTP", "url": "u"})", R"({"type":"HTTP","url":"u"})"},
      {R"({"url": "u", "command": "c"})", R"({"url":"u","command":"c"})"},
      {R"({"command": "c"})", R"({"command":"c"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    auto claude = render_server("s", ctx, json(c.server), ServerShape::claude, std::nullopt, false);
    auto tweaked = render_server("s", ctx, json(c.server), ServerShape::claude,
                                 json(R"({"type": "sse"})"), false);
    ASSERT_TRUE(claude && tweaked);
    EXPECT_EQ(claude->dump(), c.rendered);
    EXPECT_EQ((*tweaked)["type"], "sse");
  }
  // cursor and cline share the standard dialect, which writes the server as it stands.
  auto cursor =
      render_server("s", ctx, json(R"({"url": "u"})"), ServerShape::standard, std::nullopt, false);
  ASSERT_TRUE(cursor);
  EXPECT_EQ(cursor->dump(), R"({"url":"u"})");
}

TEST(McpDialects, GeminiTypeIsTheStandardTransport) {
  struct Case {
    std::string entry;
    std::string server;
    std::string tweak;
  };
  const std::vector<Case> cases = {
      {R"({"url": "u", "type": "http", "timeout": 5})", R"({"type":"http","url":"u"})",
       R"({"timeout":5})"},
      {R"({"type": "sse", "url": "u"})", R"({"type":"sse","url":"u"})", "{}"},
      {R"({"url": "u"})", R"({"type":"sse","url":"u"})", "{}"},
      {R"({"httpUrl": "h"})", R"({"type":"http","url":"h"})", "{}"},
      {R"({"httpUrl": "h", "type": "http"})", R"({"type":"http","url":"h"})", "{}"},
      // gemini speaks http to an `httpUrl` whatever `type` says: the word stays gemini's own.
      {R"({"httpUrl": "h", "type": "sse"})", R"({"type":"http","url":"h"})", R"({"type":"sse"})"},
      {R"({"command": "c", "type": "stdio"})", R"({"command":"c"})", "{}"},
      {R"({"url": "u", "type": "ws"})", R"({"type":"sse","url":"u"})", R"({"type":"ws"})"},
      {R"({"url": "u", "type": "HTTP"})", R"({"type":"sse","url":"u"})", R"({"type":"HTTP"})"},
      {R"({"url": "u", "type": 1})", R"({"type":"sse","url":"u"})", R"({"type":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);

    auto adopted = standardise_server("s", json(c.entry), ServerShape::gemini);

    ASSERT_TRUE(adopted);
    EXPECT_EQ(adopted->server.dump(), c.server);
    EXPECT_EQ(adopted->tweak.dump(), c.tweak);
  }
}

TEST(McpDialects, AdoptedEntriesRenderBackAsTheAgentReadsThem) {
  struct Case {
    ServerShape shape;
    std::string entry;
    std::vector<std::string> diff;
  };
  const std::vector<Case> cases = {
      // claude skips a remote entry without `type`; kelvaro's copy names it, nothing else.
      {ServerShape::claude, R"({"url": "u"})", {}},
      {ServerShape::claude, R"({"type": "http", "url": "u"})", {}},
      {ServerShape::claude, R"({"type": "sse", "url": "u", "headers": {"H": "1"}})", {}},
      {ServerShape::standard, R"({"url": "u"})", {}},
      {ServerShape::gemini, R"({"url": "u", "type": "http"})", {}},
      {ServerShape::gemini, R"({"url": "u"})", {}},
      {ServerShape::gemini, R"({"url": "u", "type": "sse"})", {}},
      {ServerShape::gemini, R"({"command": "c", "type": "stdio"})", {}},
      {ServerShape::gemini, R"({"httpUrl": "h", "type": "sse"})", {}},
      {ServerShape::gemini, R"({"url": "u", "type": "ws"})", {}},
      {ServerShape::codex, R"({"url": "u"})", {}},
      // A local `type` with an address: gemini connects, a stdio server would not.
      {ServerShape::gemini, R"({"url": "u", "type": "stdio"})", {"type", "url"}},
      // opencode needs its own word in every entry.
      {ServerShape::opencode, R"({"url": "u"})", {"type"}},
      {ServerShape::opencode, R"({"type": "remote", "url": "u"})", {}},
      {ServerShape::claude, R"({"url": "u", "z": null})", {"type", "z"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const Json entry = json(c.entry);
    auto adopted = standardise_server("s", entry, c.shape);
    ASSERT_TRUE(adopted);

    auto diff = render_diff("s", adopted->server, c.shape, entry, RunContext{}, adopted->tweak);

    ASSERT_TRUE(diff);
    EXPECT_EQ(*diff, c.diff);
  }
}

TEST(McpDialects, EveryRenderReadsBackToTheSameEntry) {
  const RunContext ctx;
  const std::vector<std::string> servers = {
      R"({"command": "c", "args": ["a"], "env": {"K": "v"}, "timeout": 5})",
      R"({"type": "stdio", "command": "c"})",
      R"({"url": "u", "headers": {"H": "1"}})",
      R"({"type": "http", "url": "u", "trust": true})",
      R"({"type": "sse", "url": "u", "headers": {"H": "1"}})",
  };
  for (ServerShape shape : {ServerShape::standard, ServerShape::claude, ServerShape::codex,
                            ServerShape::opencode, ServerShape::gemini, ServerShape::windsurf}) {
    for (const std::string& server : servers) {
      SCOPED_TRACE(std::string(to_string(shape)) + " " + server);
      auto rendered = render_server("s", ctx, json(server), shape, std::nullopt, false);
      ASSERT_TRUE(rendered);

      auto adopted = standardise_server("s", *rendered, shape);
      ASSERT_TRUE(adopted);
      auto again = render_server("s", ctx, adopted->server, shape, adopted->tweak, false);

      ASSERT_TRUE(again);
      EXPECT_TRUE(same_agent_entry(shape, *rendered, *again)) << again->dump();
    }
  }
}

TEST(McpDialects, SameEntryAcrossSpellingsTheAgentReadsAlike) {
  struct Case {
    ServerShape shape;
    std::string rendered, entry;
    bool same;
  };
  const std::vector<Case> cases = {
      {ServerShape::gemini, R"({"httpUrl": "u", "timeout": 5})",
       R"({"timeout": 5, "url": "u", "type": "http"})", true},
      {ServerShape::gemini, R"({"url": "u", "type": "http"})", R"({"httpUrl": "u"})", true},
      {ServerShape::gemini, R"({"command": "c"})", R"({"command": "c", "type": "stdio"})", true},
      {ServerShape::gemini, R"({"httpUrl": "u"})", R"({"url": "v", "type": "http"})", false},
      {ServerShape::gemini, R"({"httpUrl": "u", "timeout": 5})",
       R"({"url": "u", "type": "http", "timeout": 6})", false},
      {ServerShape::gemini, R"({"httpUrl": "u"})",
       R"({"httpUrl": "u", "url": "u", "type": "http"})", false},
      // gemini 0.61 reads a bare `url` as http first: it is not the sse entry.
      {ServerShape::gemini, R"({"url": "u", "type": "sse"})", R"({"url": "u"})", false},
      {ServerShape::gemini, R"({"httpUrl": "u"})", R"({"url": "u", "type": "sse"})", false},
      {ServerShape::gemini, R"({"url": "u", "type": "stdio"})", R"({"url": "u"})", false},
      {ServerShape::claude, R"({"type": "http", "url": "u"})", R"({"url": "u"})", false},
      {ServerShape::standard, R"({"httpUrl": "u"})", R"({"url": "u", "type": "http"})", false},
      {ServerShape::standard, R"({"b": 1, "a": 2})", R"({"a": 2, "b": 1})", true},
      // What one agent's own `mcp add` fills in and another's leaves out says nothing.
      {ServerShape::claude, R"({"command": "cat", "args": ["--ctx"]})",
       R"({"type": "stdio", "command": "cat", "args": ["--ctx"], "env": {}})", true},
      {ServerShape::claude, R"({"type": "http", "url": "u"})",
       R"({"type": "http", "url": "u", "headers": {}})", true},
      {ServerShape::standard, R"({"url": "u"})", R"({"type": "http", "url": "u"})", true},
      {ServerShape::standard, R"({"url": "u"})", R"({"type": "stdio", "url": "u"})", false},
      {ServerShape::standard, R"({"url": "u"})", R"({"type": "sse", "url": "u"})", false},
      {ServerShape::codex, R"({"command": "c"})", R"({"command": "c", "args": [], "env": {}})",
       true},
      {ServerShape::codex, R"({"url": "u", "http_headers": {}})", R"({"url": "u"})", true},
      {ServerShape::gemini, R"({"command": "c", "args": []})", R"({"command": "c", "env": {}})",
       true},
      {ServerShape::opencode, R"({"type": "local", "command": ["c"], "environment": {}})",
       R"({"type": "local", "command": ["c"]})", true},
      {ServerShape::opencode, R"({"type": "local", "command": []})", R"({"type": "local"})", false},
      {ServerShape::windsurf, R"({"serverUrl": "u", "headers": {}})", R"({"serverUrl": "u"})",
       true},
      {ServerShape::claude, R"({"command": "c", "env": {"A": "1"}})", R"({"command": "c"})", false},
      {ServerShape::claude, R"({"command": "c", "args": [""]})", R"({"command": "c"})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rendered + " " + c.entry);
    EXPECT_EQ(same_agent_entry(c.shape, json(c.rendered), json(c.entry)), c.same);
    EXPECT_EQ(same_agent_entry(c.shape, json(c.entry), json(c.rendered)), c.same);
  }
}

TEST(McpDialects, SameServerReadsAMissingTypeAsInferred) {
  struct Case {
    std::string a, b;
    bool same;
  };
  const std::vector<Case> cases = {
      {R"({"url": "u"})", R"({"type": "http", "url": "u"})", true},
      {R"({"command": "c"})", R"({"command": "c", "type": "stdio"})", true},
      {R"({"url": "u", "command": "c"})", R"({"type": "stdio", "url": "u", "command": "c"})", true},
      {R"({"url": "u"})", R"({"type": "sse", "url": "u"})", false},
      {R"({"url": "u", "command": "c"})", R"({"type": "http", "url": "u", "command": "c"})", false},
      {R"({"type": "HTTP", "url": "u"})", R"({"type": "http", "url": "u"})", false},
      {R"({"url": "u"})", R"({"url": "u", "disabled": true})", false},
      {R"({"command": "c", "args": [], "env": {}})", R"({"type": "stdio", "command": "c"})", true},
      {R"({"url": "u", "headers": {}})", R"({"type": "http", "url": "u"})", true},
      {R"({"command": "c", "env": {"A": ""}})", R"({"command": "c"})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " " + c.b);
    EXPECT_EQ(same_server(json(c.a), json(c.b)), c.same);
    EXPECT_EQ(same_server(json(c.b), json(c.a)), c.same);
  }
}

TEST(McpDialects, EntryDriftNamesOnlyWhatTheAgentReadsDifferently) {
  EXPECT_EQ(entry_drift(ServerShape::claude, json(R"({"command": "c", "args": ["a"]})"),
                        json(R"({"type": "stdio", "command": "c", "args": ["b"], "env": {}})")),
            std::vector<std::string>{"args"});
  EXPECT_TRUE(entry_drift(ServerShape::gemini, json(R"({"httpUrl": "u"})"),
                          json(R"({"url": "u", "type": "http", "headers": {}})"))
                  .empty());
  EXPECT_EQ(entry_drift(ServerShape::claude, json(R"({"type": "http", "url": "u"})"),
                        json(R"({"url": "u"})")),
            std::vector<std::string>{"type"});
}

TEST(McpDialects, DifferingKeysIgnoreOrderButNotNumberKinds) {
  EXPECT_TRUE(differing_keys(json(R"({"a": {"x": 1, "y": 2}, "b": 1})"),
                             json(R"({"b": 1, "a": {"y": 2, "x": 1}})"))
                  .empty());
  EXPECT_EQ(differing_keys(json(R"({"n": 1, "gone": 0, "s": "x"})"),
                           json(R"({"s": "x", "n": 1.0, "new": 0})")),
            (std::vector<std::string>{"gone", "n", "new"}));
  EXPECT_EQ(differing_keys(Json::array(), json(R"({"a": 1})")), std::vector<std::string>{"a"});
}

// --- agents' files ---------------------------------------------------------------------------

class McpFiles : public ::testing::Test {
 protected:
  TempHome home;

  static McpItem item(const std::string& server, const std::string& rendered) {
    return McpItem{.server = server, .rendered = json(rendered), .state = McpState::missing};
  }
};

TEST_F(McpFiles, JsonFilesOfEveryShape) {
  const fs::path path = home.path("agent.json");
  const std::string bom_message =
      path.string() + " is not valid JSON (line 1, column 1) — left untouched";
  const std::string key_message =
      path.string() + ": `mcpServers` is not an object — left untouched";
  struct Case {
    std::string text;
    std::string read;     // the servers read, or the message
    std::string written;  // the file after writing server `n`, or the message
  };
  const std::vector<Case> cases = {
      {" \n", "{}", "{\n  \"mcpServers\": {\n    \"n\": {}\n  }\n}"},
      {"\xEF\xBB\xBF{}", bom_message, bom_message},
      {"[1]", "{}", path.string() + " does not hold a JSON object — left untouched"},
      {"null", "{}", "{\n  \"mcpServers\": {\n    \"n\": {}\n  }\n}"},
      {R"({"mcpServers": []})", key_message, key_message},
      // A repeated key is parsed whole: the first place, the later value.
      {R"({"a": 1, "mcpServers": {"m": 1}, "a": 2})", R"({"m":1})",
       "{\n  \"a\": 2,\n  \"mcpServers\": {\n    \"m\": 1,\n    \"n\": {}\n  }\n}"},
      {R"({"a": 1, "mcpServers": {"n": 0, "m": {}}, "z": [2]})", R"({"n":0,"m":{}})",
       "{\n  \"a\": 1,\n  \"mcpServers\": {\n    \"n\": {},\n    \"m\": {}\n  },\n  \"z\": [\n    "
       "2\n  ]\n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    home.write("agent.json", c.text);

    auto read = read_agent_servers(path, "mcpServers", FileFormat::json);
    auto written = write_agent_servers(path, "mcpServers", FileFormat::json, {item("n", "{}")});

    EXPECT_EQ(read ? read->dump() : read.error(), c.read);
    if (written) {
      EXPECT_EQ(written->path, path);
      EXPECT_EQ(home.read("agent.json"), c.written);
    } else {
      EXPECT_EQ(written.error(), c.written);
      EXPECT_EQ(home.read("agent.json"), c.text);
    }
  }
}

TEST_F(McpFiles, JsonRemovalTouchesOnlyFilesHoldingTheServer) {
  const fs::path path = home.path("agent.json");
  for (const std::string text : {"", "[1]", R"({"mcp": []})", R"({"mcp": {"other": 1}})"}) {
    SCOPED_TRACE(text);
    home.write("agent.json", text);

    auto removed = remove_agent_servers(path, "mcp", FileFormat::json, "s");

    ASSERT_TRUE(removed) << removed.error();
    EXPECT_FALSE(*removed);
    EXPECT_EQ(home.read("agent.json"), text);
  }
  auto missing = remove_agent_servers(home.path("none.json"), "mcp", FileFormat::json, "s");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
  EXPECT_FALSE(fs::exists(home.path("none.json")));

  home.write("agent.json", R"({"mcp": {"s": 1}, "after": true})");
  auto removed = remove_agent_servers(path, "mcp", FileFormat::json, "s");
  ASSERT_TRUE(removed && *removed);
  EXPECT_EQ(home.read("agent.json"), "{\n  \"mcp\": {},\n  \"after\": true\n}");
  home.write("agent.json", R"({"mcp": {"s": 1, "t": 2}, "x": 1, "x": [3]})");
  auto repeated = remove_agent_servers(path, "mcp", FileFormat::json, "s");
  ASSERT_TRUE(repeated && *repeated);
  EXPECT_EQ(home.read("agent.json"),
            "{\n  \"mcp\": {\n    \"t\": 2\n  },\n  \"x\": [\n    3\n  ]\n}");
}

TEST_F(McpFiles, TomlWritesInPlaceKeepingCommentsByteOrderMarkAndCrLf) {
  const fs::path path = home.path(".codex/config.toml");
  auto created = write_agent_servers(path, "mcp_servers", FileFormat::toml,
                                     {item("fs", R"({"command": "npx", "env": {"K": "v"}})")});
  ASSERT_TRUE(created) << created.error();
  EXPECT_EQ(home.read(".codex/config.toml"),
            "[mcp_servers.fs]\ncommand = \"npx\"\n\n[mcp_servers.fs.env]\nK = \"v\"\n");

  home.write(".codex/config.toml",
             "\xEF\xBB\xBFmodel = \"o3\"\r\n\r\n# the files server\r\n[mcp_servers.fs] # mine\r\n"
             "command = \"old\"\r\n\r\n[mcp_servers.keep]\r\nurl = \"u\"\r\n");
  auto replaced =
      write_agent_servers(path, "mcp_servers", FileFormat::toml,
                          {item("fs", R"({"command": "new"})"), item("web", R"({"url": "w"})")});
  auto read = read_agent_servers(path, "mcp_servers", FileFormat::toml);

  ASSERT_TRUE(replaced) << replaced.error();
  EXPECT_EQ(home.read(".codex/config.toml"),
            "\xEF\xBB\xBFmodel = \"o3\"\r\n\r\n# the files server\r\n[mcp_servers.fs] # mine\r\n"
            "command = \"new\"\r\n\r\n[mcp_servers.keep]\r\nurl = \"u\"\r\n\r\n"
            "[mcp_servers.web]\r\nurl = \"w\"\r\n");
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->dump(), R"({"fs":{"command":"new"},"keep":{"url":"u"},"web":{"url":"w"}})");

  auto removed = remove_agent_servers(path, "mcp_servers", FileFormat::toml, "keep");
  ASSERT_TRUE(removed && *removed);
  EXPECT_EQ(home.read(".codex/config.toml"),
            "model = \"o3\"\r\n\r\n# the files server\r\n[mcp_servers.fs] # mine\r\n"
            "command = \"new\"\r\n\r\n[mcp_servers.web]\r\nurl = \"w\"\r\n");
}

TEST_F(McpFiles, TomlFilesItCannotEditAreLeftByteForByte) {
  const fs::path path = home.path("config.toml");
  const std::string shown = path.string();
  struct Case {
    std::string text;
    std::string entry;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"mcp_servers = { a = 1 }\n", "{}",
       shown + ": `mcp_servers` is not a table — left untouched"},
      {"[[mcp_servers]]\n", "{}", shown + ": `mcp_servers` is not a table — left untouched"},
      {"a = 1\nb = 2\nc =!\n", "{}", shown + ": invalid TOML (line 3, column 4) — left untouched"},
      {"x = 1\n", R"({"args": ["a", null]})",
       shown + ": `args` has a value TOML cannot hold — left untouched"},
      {"x = 1\n", "[]", shown + ": server `s` is not an object — left untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    home.write("config.toml", c.text);

    auto written = write_agent_servers(path, "mcp_servers", FileFormat::toml, {item("s", c.entry)});

    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), c.message);
    EXPECT_EQ(home.read("config.toml"), c.text);
  }
  home.write("config.toml", "mcp_servers = 1\n");
  EXPECT_EQ(read_agent_servers(path, "mcp_servers", FileFormat::toml).error(),
            shown + ": `mcp_servers` is not a table — left untouched");
  EXPECT_FALSE(*remove_agent_servers(path, "mcp_servers", FileFormat::toml, "s"));
}

// --- the plan --------------------------------------------------------------------------------

class McpPlanning : public ::testing::Test {
 protected:
  TempHome home;
  Config config;

  McpPlan plan() {
    return plan_mcp(home.ctx(), config, list_agents(home.home(), config),
                    home.path(".agents/mcp.json"));
  }
  static std::vector<std::string> lines(const McpPlan& plan) {
    std::vector<std::string> out;
    for (const McpItem& item : plan.items) {
      out.push_back(std::string(to_string(item.state)) + " " + item.server + " → " + item.agent +
                    (item.rendered ? " +" : "") + (item.env_refs ? " $" : ""));
    }
    return out;
  }
};

TEST(McpDisabled, ParkingKeepsTheMembersInTheirPlaces) {
  Json server = json(R"({"command": "c", "disabled": false, "args": []})");

  set_disabled(server, true);
  EXPECT_EQ(server.dump(), R"({"command":"c","disabled":true,"args":[]})");
  EXPECT_TRUE(is_disabled_server(server));
  set_disabled(server, false);
  EXPECT_EQ(server.dump(), R"({"command":"c","args":[]})");
  EXPECT_FALSE(is_disabled_server(server));
  set_disabled(server, true);
  EXPECT_EQ(server.dump(), R"({"command":"c","args":[],"disabled":true})");

  Json not_a_server = Json::array();
  set_disabled(not_a_server, true);
  EXPECT_EQ(not_a_server.dump(), "[]");
  EXPECT_FALSE(is_disabled_server(json(R"({"disabled": "true"})")));
}

TEST_F(McpPlanning, ClassifiesEveryServerOfEveryAgent) {
  home.make_dir(".claude");
  home.make_dir(".cursor");
  home.make_dir(".codex");
  home.make_dir(".pi");
  home.write(".agents/mcp.json", R"({"mcpServers": {
      "off": {"command": "o", "disabled": true},
      "only": {"command": "x"},
      "none": {"command": "n"},
      "env": {"command": "${env:TOKEN}"},
      "same": {"command": "s", "args": ["1"]}}})");
  home.set_env("TOKEN", "t");
  config.mcp["only"] = ServerSettings{.agents = std::vector<std::string>{"claude"}};
  config.mcp["none"] = ServerSettings{.agents = std::vector<std::string>{}};
  config.mcp["same"].tweaks["cursor"] = json(R"({"timeout": 1})");
  home.write(
      ".claude.json",
      R"({"mcpServers": {"zeta": {}, "same": {"args": ["1"], "command": "s"}, "alpha": 1}})");
  home.write(
      ".cursor/mcp.json",
      R"({"mcpServers": {"off": {}, "only": {"command": "x"}, "none": {}, "same": {"command": "s"}}})");

  McpPlan planned = plan();

  EXPECT_TRUE(planned.errors.empty());
  EXPECT_TRUE(planned.fatal.empty());
  EXPECT_EQ(lines(planned), (std::vector<std::string>{
                                "missing env → claude + $",
                                "missing only → claude +",
                                "managed same → claude +",
                                "foreign zeta → claude",
                                "foreign alpha → claude",
                                "missing env → codex + $",
                                "missing same → codex +",
                                "missing env → cursor + $",
                                "foreign none → cursor",
                                "disabled off → cursor",
                                "stranded only → cursor",
                                "drifted same → cursor +",
                            }));
  EXPECT_EQ(describe_mcp_item(planned.items.back()),
            "differs from the Commons (args, timeout) — will be restored");
  EXPECT_EQ(describe_mcp_item(planned.items[3]), "not in the Commons — left alone");
  EXPECT_EQ(describe_mcp_item(planned.items[8]),
            "not the Commons copy of this server — left alone");
  EXPECT_EQ(planned.items[0].rendered, json(R"({"command": "t"})"));
  EXPECT_EQ(planned.items[5].path, home.path(".codex/config.toml"));
  EXPECT_EQ(planned.items[5].format, FileFormat::toml);
  EXPECT_EQ(planned.items[5].key, "mcp_servers");
}

TEST_F(McpPlanning, UnusableFilesBecomeErrorsOrFatalTexts) {
  home.make_dir(".claude");
  home.make_dir(".cursor");
  home.make_dir(".gemini");
  home.write(".claude.json", "{");
  home.write(".gemini/settings.json", R"({"mcpServers": {"mine": {}}})");
  home.write(".agents/mcp.json",
             R"({"mcpServers": {"a": {"env": {"K": "${env:NOPE}"}}, "b": {"command": "b"}}})");

  McpPlan unset = plan();

  EXPECT_EQ(unset.errors, std::vector<std::string>{home.path(".claude.json").string() +
                                                   " is not valid JSON (line 1, column 2) — left "
                                                   "untouched"});
  EXPECT_EQ(unset.fatal,
            std::vector<std::string>{"mcp server `a`: ${env:NOPE} is not set in the environment"});
  EXPECT_EQ(lines(unset), (std::vector<std::string>{"missing b → gemini +", "foreign mine → gemini",
                                                    "missing b → cursor +"}));

  home.write(".agents/mcp.json", R"({"mcpServers": []})");
  McpPlan invalid = plan();
  EXPECT_EQ(invalid, (McpPlan{.fatal = {home.path(".agents/mcp.json").string() +
                                        " must hold an `mcpServers` object at the top level"}}));

  fs::remove(home.path(".agents/mcp.json"));
  EXPECT_EQ(plan(), McpPlan{});
}

}  // namespace
}  // namespace kelvaro
