#include "lock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

TEST(LockTimeout, ReadsAnUnsignedMillisecondCount) {
  struct Case {
    std::optional<std::string> value;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {std::nullopt, 30'000},
      {"250", 250},
      {"+250", 250},
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", 18446744073709551615u},
      {"18446744073709551616", 30'000},
      {"123456789012345678901", 30'000},
      {"", 30'000},
      {"+", 30'000},
      {"-", 30'000},
      {"-1", 30'000},
      {"++1", 30'000},
      {"1.5", 30'000},
      {" 250", 30'000},
      {"250 ", 30'000},
      {"2 50", 30'000},
      {"250ms", 30'000},
      {"abc", 30'000},
      {"\xD9\xA3", 30'000},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.value_or("(absent)"));
    EnvSnapshot env{{"HOME", "/h"}};
    if (c.value) {
      env["KELVARO_LOCK_TIMEOUT_MS"] = *c.value;
    }
    EXPECT_EQ(lock_timeout(env).count(), c.expected);
  }
}

TEST(LockError, Texts) {
  EXPECT_EQ(to_string(LockError{.kind = LockError::Kind::busy, .error = {}}),
            "another kelvaro process is running — try again when it finishes");
  EXPECT_EQ(to_string(LockError{.kind = LockError::Kind::io,
                                .error = std::make_error_code(std::errc::permission_denied)}),
            "cannot take the kelvaro lock: " +
                std::make_error_code(std::errc::permission_denied).message());
}

// One call of `acquire_lock` with how long it took.
struct TimedAttempt {
  Result<ProcessLock, LockError> lock;
  steady_clock::duration waited;
};

TimedAttempt timed_acquire(const fs::path& state_dir, LockTimeout timeout) {
  const auto start = steady_clock::now();
  auto lock = acquire_lock(state_dir, timeout);
  return {.lock = std::move(lock), .waited = steady_clock::now() - start};
}

TEST(AcquireLock, CreatesTheStateFolderAndAnEmptyLockFileThatStays) {
  TempHome home;
  const fs::path state = home.path("deep/state/kelvaro");

  {
    auto lock = acquire_lock(state, LockTimeout{0});
    ASSERT_TRUE(lock) << to_string(lock.error());
  }

  EXPECT_TRUE(fs::is_regular_file(state / "lock"));
  EXPECT_EQ(fs::file_size(state / "lock"), 0u);
}

TEST(AcquireLock, NeverTruncatesTheLockFile) {
  TempHome home;
  home.write(home.state_dir() / "lock", "written by someone else");

  {
    auto lock = acquire_lock(home.state_dir(), LockTimeout{0});
    ASSERT_TRUE(lock);
  }

  // Read once released: Windows refuses even readers while the lock is held.
  EXPECT_EQ(home.read(home.state_dir() / "lock"), "written by someone else");
}

// Only the outcome: how soon a zero timeout gives up is a matter of the machine's load (a
// sanitizer build or Wine takes longer), not something a test can bound.
TEST(AcquireLock, HeldByAnotherProcessFailsWithZeroTimeout) {
  TempHome home;
  LockHolder holder(home.state_dir());
  ASSERT_TRUE(holder.held());

  auto attempt = timed_acquire(home.state_dir(), LockTimeout{0});

  ASSERT_FALSE(attempt.lock);
  EXPECT_EQ(attempt.lock.error().kind, LockError::Kind::busy);
}

TEST(AcquireLock, WaitsForTheTimeoutBeforeGivingUp) {
  TempHome home;
  LockHolder holder(home.state_dir());
  ASSERT_TRUE(holder.held());

  auto attempt = timed_acquire(home.state_dir(), LockTimeout{120});

  ASSERT_FALSE(attempt.lock);
  EXPECT_EQ(to_string(attempt.lock.error()),
            "another kelvaro process is running — try again when it finishes");
  EXPECT_GE(attempt.waited, std::chrono::milliseconds(120));
  EXPECT_LT(attempt.waited, std::chrono::milliseconds(1000));
}

TEST(AcquireLock, SucceedsOnceTheOtherProcessHasEnded) {
  TempHome home;
  LockHolder holder(home.state_dir());
  ASSERT_TRUE(holder.held());
  ASSERT_FALSE(acquire_lock(home.state_dir(), LockTimeout{0}));

  holder.stop();
  auto lock = acquire_lock(home.state_dir(), LockTimeout{0});

  EXPECT_TRUE(lock);
}

TEST(AcquireLock, DroppingTheLockReleasesIt) {
  TempHome home;
  std::optional<ProcessLock> first;
  {
    auto lock = acquire_lock(home.state_dir(), LockTimeout{0});
    ASSERT_TRUE(lock);
    first.emplace(std::move(*lock));
  }
  // A second open in this process conflicts as another process would.
  EXPECT_FALSE(acquire_lock(home.state_dir(), LockTimeout{0}));

  first.reset();

  EXPECT_TRUE(acquire_lock(home.state_dir(), LockTimeout{0}));
}

// Owners and a root run are POSIX matters.
#ifndef _WIN32
// True when a user who is neither the owner nor in the group can pass through every folder
// of the absolute `dir`, itself included.
bool others_can_reach(const fs::path& dir) {
  fs::path walked;
  for (const fs::path& part : dir) {
    walked /= part;
    std::error_code ec;
    const fs::file_status st = fs::status(walked, ec);
    if (ec || !fs::is_directory(st) ||
        (st.permissions() & fs::perms::others_exec) == fs::perms::none) {
      return false;
    }
  }
  return true;
}

// A new folder, open to every user, under the first temporary folder that every user can
// reach (a private TMPDIR, or a /tmp of mode 0700, is not); empty when there is none.
fs::path folder_every_user_reaches() {
  for (const fs::path& base :
       {fs::temp_directory_path(), fs::path("/tmp"), fs::path("/var/tmp"), fs::path("/dev/shm")}) {
    if (!base.is_absolute() || !others_can_reach(base)) {
      continue;
    }
    std::string pattern = (base / "kelvaro-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      continue;
    }
    fs::permissions(pattern, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    return pattern;
  }
  return {};
}

TEST(AcquireLock, LockFileLeftByRootDoesNotLockItsUserOut) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can leave a file that another user cannot write";
  }
  const fs::path root = folder_every_user_reaches();
  if (root.empty()) {
    GTEST_SKIP() << "no temporary folder here lets another user reach a file in it";
  }
  const fs::path state_dir = root / "state";
  ASSERT_TRUE(acquire_lock(state_dir, LockTimeout{0}));

  // The user's own run, in a process of its own that drops root first.
  pid_t pid = ::fork();
  if (pid == 0) {
    bool taken = ::setgid(4322) == 0 && ::setuid(4321) == 0 &&
                 acquire_lock(state_dir, LockTimeout{0}).has_value();
    ::_exit(taken ? 0 : 1);
  }
  int status = -1;
  ::waitpid(pid, &status, 0);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (!::testing::Test::HasFailure()) {
    (void)remove_tree(root);
  }
}
#endif

TEST(AcquireLock, OtherFailuresAreIoErrorsWithoutWaiting) {
  TempHome home;
  home.make_dir("folder-state/lock");
  home.write("file-state", "not a folder");

  auto start = steady_clock::now();
  auto folder = acquire_lock(home.path("folder-state"), LockTimeout{5'000});
  auto file = acquire_lock(home.path("file-state/kelvaro"), LockTimeout{5'000});
  auto waited = steady_clock::now() - start;

  ASSERT_FALSE(folder);
  EXPECT_EQ(to_string(folder.error()),
            "cannot take the kelvaro lock: " + folder_open_error().message());
  ASSERT_FALSE(file);
  EXPECT_EQ(to_string(file.error()),
            "cannot take the kelvaro lock: " +
                std::make_error_code(std::errc::not_a_directory).message());
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace kelvaro
