// Times the built binary on MCP work: a first and a no-op `sync` with a 20 MB `.claude.json`
// (50,000 projects) and 20 Commons servers; and the no-op `sync` of a large home (2,000 skills,
// 500 commands, 200 subagents, every built-in agent installed) without and with 20 servers in
// the seven agents that take them.
#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.hpp"

using namespace bench;

namespace {

void report(const char* label, const Sample& s) {
  std::printf("%-26s wall %7.1f ms  cpu %7.1f ms  peak %6.1f MB  status %d\n", label, s.millis,
              s.cpu_millis, static_cast<double>(s.max_rss_kib) / 1024.0, s.status);
}

// Twenty Commons servers, local and remote, one with a secret from the environment.
std::string twenty_servers() {
  std::string servers;
  for (int i = 0; i < 20; ++i) {
    if (!servers.empty()) {
      servers += ",\n";
    }
    if (i % 2 == 0) {
      servers += fmt::format(
          R"(    "server-{:02}": {{"command": "npx", "args": ["-y", "@example/server-{}"], )"
          R"("env": {{"TOKEN": "${{env:BENCH_TOKEN}}", "LEVEL": "{}"}}}})",
          i, i, i);
    } else {
      servers +=
          fmt::format(R"(    "server-{:02}": {{"type": "http", "url": "https://mcp.example/{}", )"
                      R"("headers": {{"Authorization": "Bearer ${{env:BENCH_TOKEN}}"}}}})",
                      i, i);
    }
  }
  return "{\n  \"mcpServers\": {\n" + servers + "\n  }\n}\n";
}

// A claude settings file of about 20 MB: 50,000 project entries.
std::string big_claude_json() {
  std::string text = "{\n  \"numStartups\": 412,\n  \"projects\": {\n";
  for (int i = 0; i < 50000; ++i) {
    text += fmt::format(
        R"(    "/home/dev/work/project-{:05}": {{"allowedTools": ["Bash:git-status", "Read"], )"
        R"("history": [{{"display": "fix the failing test in module {} and explain why", )"
        R"("pastedContents": {{}}}}], "mcpContextUris": [], "enableAllProjectMcpServers": false, )"
        R"("hasTrustDialogAccepted": true, "lastCost": 0.{:04}, "lastDuration": {}, )"
        R"("exampleFiles": ["src/main.cpp", "src/module_{}.cpp", "tests/module_{}_test.cpp"]}}{})",
        i, i, i, i * 37, i, i, i == 49999 ? "" : ",");
    text += "\n";
  }
  text += "  },\n  \"tipsHistory\": {\"memory\": 3}\n}";
  return text;
}

}  // namespace

int main() {
  const auto made = make_bench_root("kelvaro-mcp-bench");
  if (!made) {
    return 1;
  }
  const fs::path root = *made;

  auto env_for = [](const fs::path& home) { return home_env(home, {"BENCH_TOKEN=bench-secret"}); };

  // 1. One agent, one very large settings file.
  const fs::path big = root / "big";
  const std::string claude = big_claude_json();
  write_file(big / ".claude.json", claude);
  fs::create_directories(big / ".claude");
  write_file(big / ".agents/mcp.json", twenty_servers());
  const double size_mb = static_cast<double>(claude.size()) / (1024.0 * 1024.0);
  std::printf(
      ".claude.json: %.1f MB, 50000 projects, 20 servers (targets: < 1000 ms, peak < %.0f MB)\n",
      size_mb, size_mb * 10);
  report("first sync (20 written)", run({"sync"}, env_for(big)));
  report("no-op sync", best_of(5, {"sync"}, env_for(big)));
  report("sync --dry-run", best_of(5, {"sync", "--dry-run"}, env_for(big)));

  // 2. The large home, without and then with servers.
  const fs::path home = root / "home";
  build_large_home(home);
  const auto env = env_for(home);
  run({"sync"}, env);
  const Sample without = best_of(7, {"sync"}, env);
  write_file(home / ".agents/mcp.json", twenty_servers());
  report("large home: first with mcp", run({"sync"}, env));
  const Sample with = best_of(7, {"sync"}, env);
  report("large home: no-op without", without);
  report("large home: no-op with", with);
  std::printf("no-op with servers / without: %.1f%% (target: within 10%%)\n",
              (with.millis / without.millis - 1.0) * 100.0);

  remove_bench_root(root);
  return 0;
}
