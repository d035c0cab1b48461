// What the benchmarks that time the built binary share: running it, keeping the fastest of a
// few runs or the median of interleaved ones, building the large home they run it in, and the
// floors they are measured against (the least work the same outcome needs, done directly).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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

// Waits for the child `pid`, started at `start`, and takes its times and peak memory.
inline Sample wait_for(pid_t pid, std::chrono::steady_clock::time_point start) {
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

// Starts the runs of the binary from a small process of its own, forked before the benchmark
// builds its homes and texts: a process keeps its parent's high-water mark of memory across
// `exec`, so a run forked from the benchmark itself would report at least the benchmark's size
// as its peak. Requests and answers go through two pipes.
class Spawner {
 public:
  Spawner() {
    int requests[2];
    int answers[2];
    if (::pipe2(requests, O_CLOEXEC) != 0 || ::pipe2(answers, O_CLOEXEC) != 0) {
      return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(requests[1]);
      ::close(answers[0]);
      serve(requests[0], answers[1]);
      ::_exit(0);
    }
    ::close(requests[0]);
    ::close(answers[1]);
    if (pid > 0) {
      to_ = requests[1];
      from_ = answers[0];
    }
  }
  Spawner(const Spawner&) = delete;
  Spawner& operator=(const Spawner&) = delete;
  ~Spawner() {
    if (to_ >= 0) {
      ::close(to_);  // the server sees the end of its requests and leaves
      ::close(from_);
      ::wait(nullptr);
    }
  }

  // Runs `exe` with `args` and `env`, its standard output to `out` (else /dev/null); nullopt
  // when the server could not be started.
  std::optional<Sample> run(const std::string& exe, const std::vector<std::string>& args,
                            const std::vector<std::string>& env, const std::string& out) {
    if (to_ < 0) {
      return std::nullopt;
    }
    std::string request;
    put_list(request, {exe, out});
    put_list(request, args);
    put_list(request, env);
    Sample sample;
    if (!write_all(to_, request.data(), request.size()) ||
        !read_all(from_, reinterpret_cast<char*>(&sample), sizeof sample)) {
      return std::nullopt;
    }
    return sample;
  }

 private:
  static bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n <= 0) {
        return false;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  static bool read_all(int fd, char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::read(fd, data, size);
      if (n <= 0) {
        return false;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  static void put_list(std::string& out, const std::vector<std::string>& items) {
    auto put_size = [&](std::size_t n) {
      const auto size = static_cast<std::uint32_t>(n);
      out.append(reinterpret_cast<const char*>(&size), sizeof size);
    };
    put_size(items.size());
    for (const std::string& item : items) {
      put_size(item.size());
      out += item;
    }
  }
  static std::optional<std::vector<std::string>> take_list(int fd) {
    std::uint32_t count = 0;
    if (!read_all(fd, reinterpret_cast<char*>(&count), sizeof count)) {
      return std::nullopt;
    }
    std::vector<std::string> items(count);
    for (std::string& item : items) {
      std::uint32_t size = 0;
      if (!read_all(fd, reinterpret_cast<char*>(&size), sizeof size)) {
        return std::nullopt;
      }
      item.resize(size);
      if (!read_all(fd, item.data(), size)) {
        return std::nullopt;
      }
    }
    return items;
  }

  static void serve(int requests, int answers) {
    for (;;) {
      auto head = take_list(requests);
      auto args = head ? take_list(requests) : std::nullopt;
      auto env = args ? take_list(requests) : std::nullopt;
      if (!env || head->size() != 2) {
        return;
      }
      const Sample sample = spawn((*head)[0], *args, *env, (*head)[1]);
      if (!write_all(answers, reinterpret_cast<const char*>(&sample), sizeof sample)) {
        return;
      }
    }
  }

  static Sample spawn(std::string exe, std::vector<std::string> args, std::vector<std::string> env,
                      const std::string& out) {
    std::vector<char*> argv{exe.data()};
    for (std::string& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) {
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
    return wait_for(pid, start);
  }

  int to_ = -1;
  int from_ = -1;
};

// Started while the benchmark is still small, before `main`.
inline Spawner spawner;

// Runs the binary `exe`; its standard output goes to `out` when given, else to /dev/null.
inline Sample run_exe(const std::string& exe, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const fs::path& out = {}) {
  if (auto sample = spawner.run(exe, args, env, out.string())) {
    return *sample;
  }
  std::fprintf(stderr, "cannot start %s\n", exe.c_str());
  return Sample{};
}

// Runs the binary (KELVARO_BENCH_EXE when set, so that two builds can be compared on one
// machine); its standard output goes to `out` when given, else to /dev/null.
inline Sample run(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const fs::path& out = {}) {
  const char* chosen = std::getenv("KELVARO_BENCH_EXE");
  return run_exe(chosen != nullptr ? chosen : KELVARO_EXE, args, env, out);
}

// Measures `work` in a child process the way `run` measures the binary; the child's status is
// 0 when `work` returns true. The child starts from this process's memory instead of a fresh
// program, so a floor measured this way leaves out the start of a process.
inline Sample run_child(const std::function<bool()>& work) {
  auto start = std::chrono::steady_clock::now();
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(work() ? 0 : 1);
  }
  return wait_for(pid, start);
}

// The median of each figure of `samples` taken on its own (the status of the first sample).
inline Sample median(std::vector<Sample> samples) {
  if (samples.empty()) {
    return {};
  }
  auto middle = [&](auto field) {
    std::vector<double> values;
    for (const Sample& s : samples) {
      values.push_back(static_cast<double>(s.*field));
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
  };
  return Sample{.millis = middle(&Sample::millis),
                .cpu_millis = middle(&Sample::cpu_millis),
                .max_rss_kib = static_cast<long>(middle(&Sample::max_rss_kib)),
                .status = samples.front().status};
}

// How many interleaved rounds the medians take: KELVARO_BENCH_ROUNDS, else `fallback`.
inline int bench_rounds(int fallback) {
  const char* text = std::getenv("KELVARO_BENCH_ROUNDS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : fallback;
}

// Runs every measurement of `subjects` once per round, in the same order each round, so that
// a change in the machine's load falls on all of them alike; gives the median of each.
inline std::vector<Sample> interleaved(int rounds,
                                       const std::vector<std::function<Sample()>>& subjects) {
  std::vector<std::vector<Sample>> taken(subjects.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < subjects.size(); ++i) {
      taken[i].push_back(subjects[i]());
    }
  }
  std::vector<Sample> medians;
  for (std::vector<Sample>& samples : taken) {
    medians.push_back(median(std::move(samples)));
  }
  return medians;
}

// `a` over `b` in CPU time and in wall time, as "×1.23 cpu, ×1.10 wall".
inline std::string ratio_text(const Sample& a, const Sample& b) {
  return fmt::format("x{:.2f} cpu, x{:.2f} wall", a.cpu_millis / b.cpu_millis, a.millis / b.millis);
}

// Reads the whole file `fd` refers to in chunks, as cat does; false when a read fails.
inline bool drain(int fd) {
  static char buffer[131072];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) {
      return true;
    }
    if (n < 0) {
      return false;
    }
  }
}

// Reads the file at `path` as cat would, without writing it anywhere.
inline bool read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool read = drain(fd);
  ::close(fd);
  return read;
}

// The least a no-op must do to see that `dir` is as a sync left it: list each real folder
// once, read each link's text once (never following it) and read each file once. The entries
// of folders named in `entries_only` (the Commons' skills) are listed but not looked into:
// a skill is linked as a whole.
inline bool floor_read_tree(const std::string& dir, const std::vector<std::string>& entries_only) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) {
    return false;
  }
  const bool descend =
      std::find(entries_only.begin(), entries_only.end(), dir) == entries_only.end();
  bool ok = true;
  char target[4096];
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") {
      continue;
    }
    const std::string path = dir + "/" + entry->d_name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) {
        ok = false;
        continue;
      }
      type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    if (type == DT_LNK) {
      ok = ::readlink(path.c_str(), target, sizeof target) >= 0 && ok;
    } else if (type == DT_DIR) {
      ok = (!descend || floor_read_tree(path, entries_only)) && ok;
    } else if (descend) {
      ok = read_whole_file(path) && ok;
    }
  }
  ::closedir(stream);
  return ok;
}

// What a tree holds, by path relative to its base: a folder (kind 'd'), a link and its text
// ('l'), a file and its bytes ('f').
using TreeState = std::map<std::string, std::pair<char, std::string>>;

inline void snapshot_into(const fs::path& base, const fs::path& dir, TreeState& state) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string relative = entry.path().lexically_relative(base).string();
    if (entry.is_symlink()) {
      state[relative] = {'l', fs::read_symlink(entry.path()).string()};
    } else if (entry.is_directory()) {
      state[relative] = {'d', ""};
      snapshot_into(base, entry.path(), state);
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      state[relative] = {'f', std::string(std::istreambuf_iterator<char>(in), {})};
    }
  }
}

// Everything under `base`, links not followed.
inline TreeState snapshot(const fs::path& base) {
  TreeState state;
  snapshot_into(base, base, state);
  return state;
}

// The writes that turn `before` into `after` where `after` only adds and changes (a first
// sync): each new folder, each new link and each new or changed file, parents first.
struct TreeWrite {
  char kind = 'f';
  std::string path;
  std::string text;
};

inline std::vector<TreeWrite> writes_between(const TreeState& before, const TreeState& after) {
  std::vector<TreeWrite> writes;
  for (const auto& [path, entry] : after) {
    auto old = before.find(path);
    if (old == before.end() || old->second != entry) {
      writes.push_back(TreeWrite{.kind = entry.first, .path = path, .text = entry.second});
    }
  }
  return writes;
}

// The same writes done directly under `base`: mkdir, symlink, and open-write-close of the
// file in place (no temporary file, no flush).
inline bool floor_write_tree(const std::string& base, const std::vector<TreeWrite>& writes) {
  for (const TreeWrite& write : writes) {
    const std::string path = base + "/" + write.path;
    if (write.kind == 'd') {
      if (::mkdir(path.c_str(), 0777) != 0) {
        return false;
      }
    } else if (write.kind == 'l') {
      if (::symlink(write.text.c_str(), path.c_str()) != 0) {
        return false;
      }
    } else {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd < 0) {
        return false;
      }
      const bool written = ::write(fd, write.text.data(), write.text.size()) ==
                           static_cast<ssize_t>(write.text.size());
      ::close(fd);
      if (!written) {
        return false;
      }
    }
  }
  return true;
}

// A copy of the tree `from` at `to` (links copied as links), for a fresh first run.
inline void copy_tree(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
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

// The large home: a Commons of `skills` skills (2,000 unless told), 500 commands and 200
// subagents, and every built-in agent installed.
inline void build_large_home(const fs::path& home, int skills = 2000) {
  const fs::path commons = home / ".agents";
  for (int i = 0; i < skills; ++i) {
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
