// Times the built binary on a large home: a Commons of 2,000 skills (or as many as the first
// argument says), 500 commands, 200 subagents, 20 MCP servers and hooks, fanned out to all
// twelve built-in agents. Each figure is the median of interleaved runs (KELVARO_BENCH_ROUNDS),
// set against a floor done directly by a small program: a first `sync` against the same
// folders, links and files written with mkdir, symlink and write; a no-op `sync`, `sync
// --dry-run`, `status` and `status --json` against listing each folder once, reading each link
// once and each file once. Also checks that the JSON report parses.
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

void report(const char* label, const Sample& s, const std::string& against) {
  std::printf("%-16s wall %7.1f ms  cpu %7.1f ms  peak %5.1f MB  status %d  %s\n", label, s.millis,
              s.cpu_millis, static_cast<double>(s.max_rss_kib) / 1024.0, s.status, against.c_str());
}

// The Commons of the benchmark, beside its large home built by `build_large_home`.
void add_servers_and_hooks(const fs::path& commons) {
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
}

}  // namespace

int main(int argc, char** argv) {
  const int skills = argc > 1 ? std::atoi(argv[1]) : 2000;
  const auto made = make_bench_root("kelvaro-bench");
  if (!made || skills <= 0) {
    return 1;
  }
  const fs::path root = *made;
  const fs::path fresh = root / "fresh";
  build_large_home(fresh, skills);
  add_servers_and_hooks(fresh / ".agents");
  std::printf("home: %s (%d skills, 500 commands, 200 subagents, 20 servers, hooks, %zu agents)\n",
              fresh.string().c_str(), skills, kelvaro::builtin_agents().size());

  // What a first sync writes, found once by running it on a copy.
  const fs::path probe = root / "probe";
  copy_tree(fresh, probe);
  const TreeState before = snapshot(probe);
  run({"sync"}, home_env(probe));
  const std::vector<TreeWrite> writes = writes_between(before, snapshot(probe));
  fs::remove_all(probe);
  std::printf("a first sync writes %zu folders, links and files\n", writes.size());

  const int rounds = bench_rounds(5);
  int fresh_copies = 0;
  auto fresh_home = [&] {
    const fs::path home = root / fmt::format("first-{}", fresh_copies++);
    copy_tree(fresh, home);
    return home;
  };
  const std::vector<Sample> first = interleaved(
      rounds, {[&] {
                 const fs::path home = fresh_home();
                 Sample s = run({"sync"}, home_env(home));
                 fs::remove_all(home);
                 return s;
               },
               [&] {
                 const fs::path home = fresh_home();
                 Sample s = run_child([&] { return floor_write_tree(home.string(), writes); });
                 fs::remove_all(home);
                 return s;
               }});
  report("first sync", first[0], ratio_text(first[0], first[1]) + " of direct writes");
  report("direct writes", first[1], "");

  const fs::path home = root / "home";
  copy_tree(fresh, home);
  const std::vector<std::string> env = home_env(home);
  run({"sync"}, env);
  const std::vector<std::string> entries_only = {(home / ".agents/skills").string()};
  const std::vector<Sample> noop = interleaved(
      bench_rounds(11),
      {[&] { return run_child([&] { return floor_read_tree(home.string(), entries_only); }); },
       [&] { return run({"sync"}, env); },
       [&] {
         return run({"sync", "--dry-run"}, env);
       },
       [&] { return run({"status"}, env); },
       [&] {
         return run({"status", "--json"}, env);
       }});
  report("floor (reads)", noop[0], "");
  report("no-op sync", noop[1], ratio_text(noop[1], noop[0]) + " of the floor");
  report("sync --dry-run", noop[2], ratio_text(noop[2], noop[0]) + " of the floor");
  report("status", noop[3], ratio_text(noop[3], noop[0]) + " of the floor");
  report("status --json", noop[4],
         ratio_text(noop[4], noop[0]) + " of the floor, " + ratio_text(noop[4], noop[3]) +
             " of status");

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
