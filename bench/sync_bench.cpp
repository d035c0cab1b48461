// Times the built binary on a large home: a Commons of 2,000 skills, 500 commands, 200
// subagents, 20 MCP servers and hooks, fanned out to all twelve built-in agents. Reports wall time
// and peak memory of a first `sync`, a second one (nothing to do), `sync --dry-run`, `status` and
// `status --json`, and checks that the JSON report parses.
#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.hpp"

using namespace bench;

namespace {

void report(const char* label, const Sample& s, double target_ms) {
  std::printf(
      "%-16s wall %7.1f ms  cpu %7.1f ms  peak %5.1f MB  status %d  (target: < %.0f ms, < 50 MB)\n",
      label, s.millis, s.cpu_millis, static_cast<double>(s.max_rss_kib) / 1024.0, s.status,
      target_ms);
}

}  // namespace

int main() {
  const auto made = make_bench_root("kelvaro-bench");
  if (!made) {
    return 1;
  }
  const fs::path root = *made;
  const fs::path home = root / "home";
  const fs::path commons = home / ".agents";

  build_large_home(home);
  std::string servers;
  for (int i = 0; i < 20; ++i) {
    servers += fmt::format(R"({}"server-{:02}": {{"command": "srv", "args": ["--port", "{}"]}})",
                           i == 0 ? "" : ", ", i, 9000 + i);
  }
  write_file(commons / "mcp.json", "{\"mcpServers\": {" + servers + "}}\n");
  write_file(commons / "hooks" / "PreToolUse.toml",
             "[[hook]]\ncommand = \"lint --fix\"\nmatcher = \"Bash\"\ntimeout = 30\n\n"
             "[[hook]]\ncommand = \"guard --strict\"\nmatcher = \"Edit\"\n");
  write_file(commons / "hooks" / "Stop.toml", "[[hook]]\ncommand = \"say done\"\n");
  const std::vector<std::string> env = home_env(home);

  std::printf(
      "home: %s (2000 skills, 500 commands, 200 subagents, 20 servers, hooks, %zu agents)\n",
      home.string().c_str(), kelvaro::builtin_agents().size());
  report("first sync", run({"sync"}, env), 1000);
  const Sample noop = best_of(5, {"sync"}, env);
  report("no-op sync", noop, 100);
  report("sync --dry-run", run({"sync", "--dry-run"}, env), 100);
  report("status", best_of(5, {"status"}, env), noop.millis);
  report("status --json", best_of(5, {"status", "--json"}, env), noop.millis);

  const fs::path json_out = root / "status.json";
  run({"status", "--json"}, env, json_out);
  std::stringstream text;
  text << std::ifstream(json_out, std::ios::binary).rdbuf();
  const auto parsed = nlohmann::ordered_json::parse(text.str(), nullptr, false);
  std::size_t entries = 0;
  if (!parsed.is_discarded()) {
    for (const auto& target : parsed["targets"]) {
      entries += target["entries"].size();
    }
  }
  std::printf("status --json: %zu bytes, %s, %zu link entries\n", text.str().size(),
              parsed.is_discarded() ? "NOT valid JSON" : "valid JSON", entries);

  remove_bench_root(root);
  return 0;
}
