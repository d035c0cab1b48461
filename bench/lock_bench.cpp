// Times how soon a zero time-out gives up on a lock another process holds: one attempt, no
// retry, so it should cost a system call or two, whatever the machine's load.
// Usage: lock_bench [attempts]

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "lock.hpp"

namespace {

namespace fs = std::filesystem;

// The child takes the lock, says so through `ready` and holds it until `done` is closed.
pid_t hold_lock(const fs::path& state_dir, int& ready_read, int& done_write) {
  int ready[2];
  int done[2];
  if (::pipe(ready) != 0 || ::pipe(done) != 0) {
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    ::close(done[1]);
    auto lock = kelvaro::acquire_lock(state_dir, kelvaro::LockTimeout{0});
    const char held = lock ? 'y' : 'n';
    (void)!::write(ready[1], &held, 1);
    char byte = 0;
    (void)!::read(done[0], &byte, 1);
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(done[0]);
  ready_read = ready[0];
  done_write = done[1];
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  const int attempts = argc > 1 ? std::atoi(argv[1]) : 1000;
  const fs::path root =
      fs::temp_directory_path() / ("kelvaro-lock-bench-" + std::to_string(::getpid()));
  const fs::path state_dir = root / "state";
  fs::create_directories(state_dir);

  int ready = -1;
  int done = -1;
  const pid_t holder = hold_lock(state_dir, ready, done);
  char held = 'n';
  if (holder < 0 || ::read(ready, &held, 1) != 1 || held != 'y') {
    std::fprintf(stderr, "the other process could not take the lock\n");
    return 1;
  }

  std::vector<double> ms;
  int busy = 0;
  for (int i = 0; i < attempts; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto lock = kelvaro::acquire_lock(state_dir, kelvaro::LockTimeout{0});
    const auto end = std::chrono::steady_clock::now();
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    busy += !lock && lock.error().kind == kelvaro::LockError::Kind::busy ? 1 : 0;
  }

  ::close(done);
  ::waitpid(holder, nullptr, 0);
  ::close(ready);
  fs::remove_all(root);

  if (busy != attempts) {
    std::fprintf(stderr, "%d of %d attempts were not refused as busy\n", attempts - busy, attempts);
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%d zero-timeout attempts against a held lock\n", attempts);
  std::printf("refused: median %.3f ms, max %.3f ms\n", ms[ms.size() / 2], ms.back());
  return 0;
}
