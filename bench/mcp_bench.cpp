// Times the built binary on MCP work: a first and a no-op `sync` with a 20 MB `.claude.json`
// (50,000 projects) and 20 Commons servers; and the no-op `sync` of a large home (2,000 skills,
// 500 commands, 200 subagents, every built-in agent installed) without and with 20 servers in
// the seven agents that take them.
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agents.hpp"

namespace fs = std::filesystem;

namespace {

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

struct Sample {
  double millis = 0;
  double cpu_millis = 0;  // user + system time: the figure that stays honest on a busy machine
  long max_rss_kib = 0;
  int status = -1;
};

Sample run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<char*> argv;
  std::string exe = KELVARO_EXE;
  argv.push_back(exe.data());
  std::vector<std::string> owned_args = args;
  for (std::string& a : owned_args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> owned_env = env;
  std::vector<char*> envp;
  for (std::string& e : owned_env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  auto end = std::chrono::steady_clock::now();
  auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
  };
  return Sample{.millis = std::chrono::duration<double, std::milli>(end - start).count(),
                .cpu_millis = ms(usage.ru_utime) + ms(usage.ru_stime),
                .max_rss_kib = usage.ru_maxrss,
                .status = WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

void report(const char* label, const Sample& s) {
  std::printf("%-26s wall %7.1f ms  cpu %7.1f ms  peak %6.1f MB  status %d\n", label, s.millis,
              s.cpu_millis, static_cast<double>(s.max_rss_kib) / 1024.0, s.status);
}

// The fastest of `n` runs: the figure least disturbed by other work on the machine.
Sample best_of(int n, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  Sample best = run(args, env);
  for (int i = 1; i < n; ++i) {
    Sample s = run(args, env);
    if (s.millis < best.millis) {
      best = s;
    }
  }
  return best;
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
  const char* base = std::getenv("KELVARO_BENCH_DIR");
  fs::path parent = base != nullptr ? fs::path(base) : fs::temp_directory_path();
  std::string pattern = (parent / "kelvaro-mcp-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path root = pattern;

  auto env_for = [](const fs::path& home) {
    return std::vector<std::string>{
        "KELVARO_TARGET_ROOT=" + home.string(),
        "HOME=" + home.string(),
        "XDG_CONFIG_HOME=" + (home / ".config").string(),
        "XDG_STATE_HOME=" + (home / ".local/state").string(),
        "BENCH_TOKEN=bench-secret",
    };
  };

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
  for (int i = 0; i < 2000; ++i) {
    write_file(home / ".agents/skills" / fmt::format("skill-{:04}", i) / "SKILL.md",
               fmt::format("---\nname: skill-{:04}\n---\nDoes thing {}.\n", i, i));
  }
  for (int i = 0; i < 500; ++i) {
    write_file(home / ".agents/commands" / fmt::format("command-{:03}.md", i),
               fmt::format("Run step {}.\n", i));
  }
  for (int i = 0; i < 200; ++i) {
    write_file(home / ".agents/agents" / fmt::format("agent-{:03}.md", i),
               fmt::format("You are helper {}.\n", i));
  }
  for (const kelvaro::AgentDescriptor& agent : kelvaro::builtin_agents()) {
    fs::create_directories(home / agent.home);
  }
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

  if (std::getenv("KELVARO_BENCH_KEEP") == nullptr) {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  return 0;
}
