// libFuzzer target for MCP files. The first byte picks the file the rest becomes:
// - the Commons `mcp.json`: whatever loads renders in every dialect, reads back from each, and
//   writes and loads again as the same servers;
// - an agent's JSON or TOML file: reading its servers agrees with parsing the whole file; a
//   write that succeeds keeps every other byte's meaning (for JSON: exactly the text that
//   parsing, editing and printing the whole gives) and a removal takes the server out again;
//   a write or removal that fails leaves the file byte for byte.
// Files live under /dev/shm when it exists, where the writer's flushes cost nothing.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "documents.hpp"
#include "fsutil.hpp"
#include "mcp.hpp"

namespace {

namespace fs = std::filesystem;
using kelvaro::Json;

void check(bool ok) {
  if (!ok) {
    std::abort();
  }
}

// The folder of this process, removed when the run ends: the corpus replays at every test
// run and must not leave a folder behind each time.
struct Scratch {
  fs::path dir = (kelvaro::is_folder("/dev/shm") ? fs::path("/dev/shm") : fs::path("/tmp")) /
                 ("kelvaro-mcp-fuzz-" + std::to_string(kelvaro::process_id()));
  Scratch() { check(kelvaro::create_folders(dir).has_value()); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { static_cast<void>(kelvaro::remove_tree(dir)); }
};

const fs::path& folder() {
  static const Scratch scratch;
  return scratch.dir;
}

std::string contents(const fs::path& path) {
  auto text = kelvaro::read_file(path);
  check(text.has_value());
  return std::move(*text).take_string();
}

constexpr kelvaro::ServerShape shapes[] = {
    kelvaro::ServerShape::standard, kelvaro::ServerShape::codex, kelvaro::ServerShape::opencode,
    kelvaro::ServerShape::gemini, kelvaro::ServerShape::windsurf};

void commons_file(std::string_view text) {
  const fs::path path = folder() / "mcp.json";
  check(kelvaro::write_atomic(path, text).has_value());
  auto servers = kelvaro::load_commons_servers(path);
  if (!servers) {
    return;
  }
  kelvaro::RunContext ctx;
  ctx.env = {{"A", "x"}, {"TOKEN", "${env:A}"}};
  for (const auto& [name, server] : servers->items()) {
    (void)kelvaro::has_env_refs(server);
    for (kelvaro::ServerShape shape : shapes) {
      auto expanded = kelvaro::render_server(name, ctx, server, shape, std::nullopt, true);
      auto rendered = kelvaro::render_server(name, ctx, server, shape, std::nullopt, false);
      check(rendered.has_value());
      check(!rendered->contains("disabled"));
      auto adopted = kelvaro::standardise_server(name, *rendered, shape);
      check(adopted.has_value());
      (void)kelvaro::render_diff(name, adopted->server, shape, *rendered, ctx, adopted->tweak);
    }
  }
  const fs::path copy = folder() / "copy.json";
  check(kelvaro::write_commons_servers(copy, *servers).has_value());
  auto again = kelvaro::load_commons_servers(copy);
  check(again.has_value() && kelvaro::json_equal(*servers, *again));
  check(servers->dump() == again->dump());
}

kelvaro::McpItem item(const Json& rendered) {
  return kelvaro::McpItem{.server = "fz", .rendered = rendered};
}

void agent_json(std::string_view text) {
  const fs::path path = folder() / "agent.json";
  check(kelvaro::write_atomic(path, text).has_value());
  auto held = kelvaro::read_agent_servers(path, "mcpServers", kelvaro::FileFormat::json);
  if (!kelvaro::is_valid_utf8(text)) {
    // The reader refuses such text before parsing; no write may touch the file.
    check(!held.has_value());
    check(!kelvaro::write_agent_servers(path, "mcpServers", kelvaro::FileFormat::json,
                                        {item(Json::object())}));
    check(contents(path) == text);
    return;
  }
  auto whole = kelvaro::parse_json_document(text, kelvaro::display(path));
  check(held.has_value() == whole.has_value() ||
        (whole && whole->is_object() && whole->contains("mcpServers") &&
         !(*whole)["mcpServers"].is_object()));
  if (held && whole && whole->is_object() && whole->contains("mcpServers")) {
    check(kelvaro::json_equal(*held, (*whole)["mcpServers"]));
  }

  const Json entry = {{"command", "x"}, {"args", {1, 2.5, nullptr}}};
  auto written =
      kelvaro::write_agent_servers(path, "mcpServers", kelvaro::FileFormat::json, {item(entry)});
  if (!written) {
    check(contents(path) == text);
    return;
  }
  check(whole.has_value());
  Json expected = whole->is_null() ? Json::object() : *whole;
  expected["mcpServers"]["fz"] = entry;
  check(contents(path) == *kelvaro::dump_json(expected));

  auto removed = kelvaro::remove_agent_servers(path, "mcpServers", kelvaro::FileFormat::json, "fz");
  check(removed.has_value() && removed->has_value());
  auto after = kelvaro::read_agent_servers(path, "mcpServers", kelvaro::FileFormat::json);
  check(after.has_value() && !after->contains("fz"));
}

void agent_toml(std::string_view text) {
  const fs::path path = folder() / "config.toml";
  check(kelvaro::write_atomic(path, text).has_value());
  auto held = kelvaro::read_agent_servers(path, "mcp_servers", kelvaro::FileFormat::toml);

  const Json entry = {{"command", "x"}, {"env", {{"K", "v"}}}, {"args", {"a"}}};
  auto written =
      kelvaro::write_agent_servers(path, "mcp_servers", kelvaro::FileFormat::toml, {item(entry)});
  if (!written) {
    check(contents(path) == text);
    return;
  }
  auto after = kelvaro::read_agent_servers(path, "mcp_servers", kelvaro::FileFormat::toml);
  check(after.has_value());
  check(after->contains("fz") && kelvaro::json_equal((*after)["fz"], entry));
  if (held) {
    // Every other server the file held reads back as it was.
    for (const auto& [name, server] : held->items()) {
      if (name != "fz") {
        check(after->contains(name) && kelvaro::json_equal((*after)[name], server));
      }
    }
  }
  auto removed =
      kelvaro::remove_agent_servers(path, "mcp_servers", kelvaro::FileFormat::toml, "fz");
  check(removed.has_value() && removed->has_value());
  auto gone = kelvaro::read_agent_servers(path, "mcp_servers", kelvaro::FileFormat::toml);
  check(gone.has_value() && !gone->contains("fz"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      commons_file(text);
      break;
    case 1:
      agent_json(text);
      break;
    default:
      agent_toml(text);
      break;
  }
  return 0;
}
