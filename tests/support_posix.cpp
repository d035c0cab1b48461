// The POSIX half of the test support: temporary folders and runs of the built program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "lock.hpp"
#include "support.hpp"

namespace kelvaro {

namespace fs = std::filesystem;

fs::path make_temp_folder() {
  std::string pattern = (fs::temp_directory_path() / "kelvaro-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot create a temporary folder: " << std::strerror(errno);
    std::abort();
  }
  return made;
}

std::uint64_t ended_process_id() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return static_cast<std::uint64_t>(pid);
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
    case OutputEnd::full_device: {
      const int full = ::open("/dev/full", O_WRONLY);
      if (full >= 0) {
        ::dup2(full, fd);
        ::close(full);
      }
      break;
    }
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

// A child running the built program, with the reading ends of its capture pipes.
struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Child start_child(const std::vector<std::string>& args, const EnvSnapshot& env, const fs::path& cwd,
                  OutputEnd out, OutputEnd err) {
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
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
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
  return Child{.pid = pid, .out = out_pipe[0], .err = err_pipe[0]};
}

RunResult finish_child(const Child& child) {
  if (child.pid < 0) {
    return {};
  }
  RunResult result;
  drain(child.out, child.err, result.out, result.err);
  int wait_status = 0;
  while (::waitpid(child.pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status)) {
    result.status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    result.status = 128 + WTERMSIG(wait_status);
  }
  return result;
}

RunResult run_child(const std::vector<std::string>& args, const EnvSnapshot& env,
                    const fs::path& cwd, OutputEnd out, OutputEnd err) {
  return finish_child(start_child(args, env, cwd, out, err));
}

// The system call the process `pid` is in, as /proc/<pid>/syscall shows it; nullopt while it
// runs, or where the system does not show it.
std::optional<long> system_call_of(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/syscall");
  long number = -1;
  if (in >> number) {
    return number;
  }
  return std::nullopt;
}

// True once the child `pid` has ended and waits to be reaped (its state in /proc/<pid>/stat,
// after the parenthesised name, is Z).
bool has_ended(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t name_end = text.rfind(')');
  return name_end != std::string::npos && text.compare(name_end, 3, ") Z") == 0;
}

bool sleeps_in_timed_wait(pid_t pid) {
  const std::optional<long> call = system_call_of(std::to_string(pid));
#ifdef SYS_nanosleep
  if (call == SYS_nanosleep) {
    return true;
  }
#endif
  return call == SYS_clock_nanosleep;
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

StartedRun::StartedRun(const std::vector<std::string>& args, const EnvSnapshot& env) {
  const Child child = start_child(args, env, {}, OutputEnd::captured, OutputEnd::captured);
  process_ = child.pid;
  out_ = child.out;
  err_ = child.err;
}

StartedRun::~StartedRun() {
  if (process_ > 0) {
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    finish();
  }
}

bool can_see_lock_waits() {
  return system_call_of("self").has_value();
}

bool StartedRun::waits_for_lock(std::chrono::milliseconds limit) const {
  if (process_ <= 0) {
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    const auto pid = static_cast<pid_t>(process_);
    if (sleeps_in_timed_wait(pid)) {
      return true;
    }
    if (has_ended(pid)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

RunResult StartedRun::finish() {
  const Child child{.pid = static_cast<pid_t>(process_), .out = out_, .err = err_};
  process_ = 0;
  return finish_child(child);
}

LockHolder::LockHolder(const fs::path& state_dir, const std::optional<LockRelease>& release)
    : releases_(release.has_value()) {
  int ready[2];
  if (::pipe(ready) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    auto lock = acquire_lock(state_dir, LockTimeout{0});
    char byte = lock ? 'y' : 'n';
    if (::write(ready[1], &byte, 1) != 1 || !lock) {
      ::_exit(1);
    }
    if (!release) {
      ::pause();  // held until the parent kills this process
      ::_exit(0);
    }
    std::this_thread::sleep_for(release->after);
    ::_exit(write_atomic(release->file, release->bytes) ? 0 : 1);
  }
  ::close(ready[1]);
  process_ = pid;
  char byte = 0;
  held_ = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
  ::close(ready[0]);
}

LockHolder::~LockHolder() {
  stop();
}

void LockHolder::stop() {
  if (process_ <= 0) {
    return;
  }
  const auto pid = static_cast<pid_t>(process_);
  if (!releases_) {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (releases_ && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    ADD_FAILURE() << "the lock holder could not write its file";
  }
  process_ = 0;
}

}  // namespace kelvaro
