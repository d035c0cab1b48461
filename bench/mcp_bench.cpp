// Times the built binary on MCP work: a first and a no-op `sync` with a `.claude.json` of about 27
// MB (50,000 projects) and 20 Commons servers, each the median of interleaved runs
// (KELVARO_BENCH_ROUNDS) set against `cat` of the file; and the no-op `sync` of a
// large home (2,000 skills, 500 commands, 200 subagents, every built-in agent installed)
// without and with 20 servers in the seven agents that take them.
#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench_support.hpp"

using namespace bench;

namespace {

void report(const char* label, const Sample& s, const std::string& against = "") {
  std::printf("%-26s wall %7.1f ms  cpu %7.1f ms  peak %6.1f MB  status %d  %s\n", label, s.millis,
              s.cpu_millis, static_cast<double>(s.max_rss_kib) / 1024.0, s.status, against.c_str());
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

// A claude settings file of about 27 MB: 50,000 project entries, printed with a two-space
// indent as the agent writes it.
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
  return nlohmann::ordered_json::parse(text).dump(2);
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
  std::printf(".claude.json: %.1f MB, 50000 projects, 20 servers\n", size_mb);
  const std::string claude_path = (big / ".claude.json").string();
  // `cat` itself, started as the binary is: reading the file from a fork of this benchmark,
  // which holds the text it wrote, costs three times as much.
  auto cat = [&] { return run_exe("/bin/cat", {claude_path}, {}); };
  // KELVARO_BENCH_BASELINE names another build, run in the same rounds, so that a change is
  // measured before and after under the same load.
  const char* chosen = std::getenv("KELVARO_BENCH_EXE");
  const std::string exe = chosen != nullptr ? chosen : KELVARO_EXE;
  const char* baseline = std::getenv("KELVARO_BENCH_BASELINE");
  int copies = 0;
  auto first_sync = [&](const std::string& binary) {
    return [&, binary] {
      const fs::path home = root / fmt::format("first-{}", copies++);
      copy_tree(big, home);
      Sample s = run_exe(binary, {"sync"}, env_for(home));
      fs::remove_all(home);
      return s;
    };
  };
  std::vector<std::function<Sample()>> first_subjects = {cat, first_sync(exe)};
  if (baseline != nullptr) {
    first_subjects.push_back(first_sync(baseline));
  }
  const std::vector<Sample> first = interleaved(bench_rounds(5), first_subjects);
  run({"sync"}, env_for(big));
  std::vector<std::function<Sample()>> noop_subjects = {
      cat, [&] { return run_exe(exe, {"sync"}, env_for(big)); },
      [&] {
        return run_exe(exe, {"sync", "--dry-run"}, env_for(big));
      }};
  if (baseline != nullptr) {
    noop_subjects.push_back([&] { return run_exe(baseline, {"sync"}, env_for(big)); });
    noop_subjects.push_back([&] { return run_exe(baseline, {"sync", "--dry-run"}, env_for(big)); });
  }
  const std::vector<Sample> noop = interleaved(bench_rounds(9), noop_subjects);
  auto peak = [&](const Sample& s) {
    return fmt::format(", peak x{:.2f} of the file", static_cast<double>(s.max_rss_kib) * 1024.0 /
                                                         static_cast<double>(claude.size()));
  };
  report("cat of the file", noop[0]);
  report("first sync (20 written)", first[1],
         ratio_text(first[1], first[0]) + " of cat" + peak(first[1]));
  report("no-op sync", noop[1], ratio_text(noop[1], noop[0]) + " of cat" + peak(noop[1]));
  report("sync --dry-run", noop[2], ratio_text(noop[2], noop[0]) + " of cat" + peak(noop[2]));
  if (baseline != nullptr) {
    report("baseline: first sync", first[2],
           ratio_text(first[2], first[0]) + " of cat" + peak(first[2]));
    report("baseline: no-op sync", noop[3],
           ratio_text(noop[3], noop[0]) + " of cat" + peak(noop[3]));
    report("baseline: sync --dry-run", noop[4],
           ratio_text(noop[4], noop[0]) + " of cat" + peak(noop[4]));
  }

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
