// What the benchmarks that time the built binary share: running it, keeping the fastest of a
// few runs, and building the large home they run it in.
#pragma once

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
#include <optional>
#include <string>
#include <vector>

#include "agents.hpp"

namespace bench {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

struct Sample {
  double millis = 0;
  double cpu_millis = 0;  // user + system time: the figure that stays honest on a busy machine
  long max_rss_kib = 0;
  int status = -1;
};

// Runs the binary; its standard output goes to `out` when given, else to /dev/null.
inline Sample run(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const fs::path& out = {}) {
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
    int sink = out.empty() ? null : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(sink, 1);
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

// The fastest of `n` runs: the figure least disturbed by other work on the machine.
inline Sample best_of(int n, const std::vector<std::string>& args,
                      const std::vector<std::string>& env) {
  Sample best = run(args, env);
  for (int i = 1; i < n; ++i) {
    Sample s = run(args, env);
    if (s.millis < best.millis) {
      best = s;
    }
  }
  return best;
}

// A new folder named `prefix` and a random tail, under KELVARO_BENCH_DIR when set (it picks
// the file system: ext4 slows down inode allocation for a while after many files were
// deleted, which skews repeated first runs), else the temporary folder.
inline std::optional<fs::path> make_bench_root(const std::string& prefix) {
  const char* base = std::getenv("KELVARO_BENCH_DIR");
  const fs::path parent = base != nullptr ? fs::path(base) : fs::temp_directory_path();
  std::string pattern = (parent / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return std::nullopt;
  }
  return fs::path(pattern);
}

// Removes what a benchmark built, unless KELVARO_BENCH_KEEP is set.
inline void remove_bench_root(const fs::path& root) {
  if (std::getenv("KELVARO_BENCH_KEEP") == nullptr) {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
}

// The environment of a run whose home and every location lie in `home`, plus `extra`.
inline std::vector<std::string> home_env(const fs::path& home,
                                         const std::vector<std::string>& extra = {}) {
  std::vector<std::string> env = {
      "KELVARO_TARGET_ROOT=" + home.string(),
      "HOME=" + home.string(),
      "XDG_CONFIG_HOME=" + (home / ".config").string(),
      "XDG_STATE_HOME=" + (home / ".local/state").string(),
  };
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// The large home: a Commons of 2,000 skills, 500 commands and 200 subagents, and every
// built-in agent installed.
inline void build_large_home(const fs::path& home) {
  const fs::path commons = home / ".agents";
  for (int i = 0; i < 2000; ++i) {
    write_file(commons / "skills" / fmt::format("skill-{:04}", i) / "SKILL.md",
               fmt::format("---\nname: skill-{:04}\n---\nDoes thing {}.\n", i, i));
  }
  for (int i = 0; i < 500; ++i) {
    write_file(commons / "commands" / fmt::format("command-{:03}.md", i),
               fmt::format("Run step {}.\n", i));
  }
  for (int i = 0; i < 200; ++i) {
    write_file(commons / "agents" / fmt::format("agent-{:03}.md", i),
               fmt::format("You are helper {}.\n", i));
  }
  for (const kelvaro::AgentDescriptor& agent : kelvaro::builtin_agents()) {
    fs::create_directories(home / agent.home);
  }
}

}  // namespace bench
