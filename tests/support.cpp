#include "support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "cli.hpp"

namespace kelvaro {

namespace fs = std::filesystem;

void PrintTo(const RunResult& result, std::ostream* os) {
  *os << "{status " << result.status << ", out " << ::testing::PrintToString(result.out) << ", err "
      << ::testing::PrintToString(result.err) << "}";
}

TempHome::TempHome() {
  std::string pattern = (fs::temp_directory_path() / "kelvaro-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot create a temporary folder: " << std::strerror(errno);
    std::abort();
  }
  root_ = fs::canonical(made);
  home_ = root_ / "home";
  fs::create_directories(home_);
  env_ = {
      {"KELVARO_TARGET_ROOT", home_.string()},
      {"HOME", home_.string()},
      {"XDG_CONFIG_HOME", (home_ / ".config").string()},
      {"XDG_STATE_HOME", (home_ / ".local/state").string()},
  };
  ctx_ = *resolve_context(env_);
}

TempHome::~TempHome() {
  if (::testing::Test::HasFailure()) {
    std::cerr << "kept the test folder " << root_.string() << "\n";
    return;
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

namespace {

// Keeps the last context that resolved when `env` no longer gives one, so that a test can
// remove HOME and still reach its folders.
void refresh(const EnvSnapshot& env, RunContext& ctx) {
  if (auto resolved = resolve_context(env)) {
    ctx = *resolved;
  }
}

}  // namespace

void TempHome::set_env(const std::string& name, const std::string& value) {
  env_[name] = value;
  refresh(env_, ctx_);
}

void TempHome::unset_env(const std::string& name) {
  env_.erase(name);
  refresh(env_, ctx_);
}

fs::path TempHome::path(const fs::path& rel) const {
  return rel.is_absolute() ? rel : home_ / rel;
}

fs::path TempHome::write(const fs::path& rel, std::string_view content) const {
  fs::path full = path(rel);
  fs::create_directories(full.parent_path());
  std::ofstream file(full, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  EXPECT_TRUE(file.good()) << "cannot write " << full.string();
  return full;
}

fs::path TempHome::make_dir(const fs::path& rel) const {
  fs::path full = path(rel);
  fs::create_directories(full);
  return full;
}

fs::path TempHome::make_link(const fs::path& rel, const fs::path& target, bool dir) const {
  fs::path full = path(rel);
  fs::create_directories(full.parent_path());
  if (dir) {
    fs::create_directory_symlink(target, full);
  } else {
    fs::create_symlink(target, full);
  }
  return full;
}

std::string TempHome::read(const fs::path& rel) const {
  fs::path full = path(rel);
  std::ifstream file(full, std::ios::binary);
  EXPECT_TRUE(file.good()) << "cannot read " << full.string();
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

namespace {

// Reads both pipes to their end at once, so that a child filling one cannot block.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

}  // namespace

namespace {

// Points descriptor `fd` of the child at `end`; `pipe_end` is the writing end of the capture
// pipe. Only async-signal-safe calls: it runs between fork and exec.
void set_up_output(int fd, OutputEnd end, int pipe_end) {
  switch (end) {
    case OutputEnd::captured:
      ::dup2(pipe_end, fd);
      break;
    case OutputEnd::closed:
      ::close(fd);
      break;
    case OutputEnd::broken_pipe: {
      int broken[2];
      if (::pipe(broken) == 0) {
        ::close(broken[0]);
        ::dup2(broken[1], fd);
        ::close(broken[1]);
      }
      break;
    }
  }
}

RunResult run_child(const std::vector<std::string>& args, const EnvSnapshot& env,
                    const fs::path& cwd, OutputEnd out, OutputEnd err) {
  std::string exe = KELVARO_EXE;
  std::vector<std::string> argv_text{exe};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text;
  for (const auto& [name, value] : env) {
    env_text.push_back(name + "=" + value);
  }
  std::vector<char*> argv;
  for (auto& a : argv_text) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env_text) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  int out_pipe[2];
  int err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  std::cout.flush();
  std::cerr.flush();
  pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return {};
  }
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    set_up_output(1, out, out_pipe[1]);
    set_up_output(2, err, err_pipe[1]);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (null_fd > 2) {
      ::close(null_fd);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      ::_exit(126);
    }
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  RunResult result;
  drain(out_pipe[0], err_pipe[0], result.out, result.err);
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status)) {
    result.status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    result.status = 128 + WTERMSIG(wait_status);
  }
  return result;
}

}  // namespace

RunResult run_kelvaro(const std::vector<std::string>& args, const EnvSnapshot& env,
                      const fs::path& cwd) {
  return run_child(args, env, cwd, OutputEnd::captured, OutputEnd::captured);
}

RunResult run_kelvaro_with(const std::vector<std::string>& args, const EnvSnapshot& env,
                           OutputEnd out, OutputEnd err) {
  return run_child(args, env, {}, out, err);
}

RunResult run_in_process(const std::vector<std::string>& args, const EnvSnapshot& env) {
  std::vector<std::string> full{"kelvaro"};
  full.insert(full.end(), args.begin(), args.end());
  std::ostringstream out;
  std::ostringstream err;
  int status = run(full, env, out, err);
  return {.out = out.str(), .err = err.str(), .status = status};
}

std::vector<std::string> tree_listing(const fs::path& root, const fs::path& skip) {
  std::vector<std::string> lines;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (!skip.empty() && it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    fs::path rel = it->path().lexically_relative(root);
    fs::file_status own = it->symlink_status();
    if (fs::is_symlink(own)) {
      lines.push_back(rel.string() + " -> " + fs::read_symlink(it->path()).string());
    } else if (fs::is_directory(own)) {
      lines.push_back(rel.string() + "/");
    } else {
      std::ifstream file(it->path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      lines.push_back(rel.string() + " = " + bytes);
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool holds_link_text(const fs::path& link, const fs::path& text) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(link, ec)) && fs::read_symlink(link, ec) == text;
}

}  // namespace kelvaro
