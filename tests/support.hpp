#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "context.hpp"
#include "fsutil.hpp"

namespace kelvaro {

// The UTF-8 byte-order mark that some editors start a file with.
inline const std::string kBom = "\xEF\xBB\xBF";

// What one run of the program printed and returned.
struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // the exit status; 128 + signal when the process was killed

  bool operator==(const RunResult&) const = default;
};

// Shows a `RunResult` readably in test failures.
void PrintTo(const RunResult& result, std::ostream* os);

// A path as tests spell it: text is UTF-8 (through `path_from_utf8`, so that "é" is one
// character on Windows too); a path is taken as it is.
struct TestPath {
  TestPath(const char* text) : path(path_from_utf8(text)) {}
  TestPath(const std::string& text) : path(path_from_utf8(text)) {}
  TestPath(std::string_view text) : path(path_from_utf8(text)) {}
  TestPath(std::filesystem::path p) : path(std::move(p)) {}

  std::filesystem::path path;
};

// A private temporary folder with a home inside it. `env()` points KELVARO_TARGET_ROOT and HOME
// at `home()`, XDG_CONFIG_HOME at `home()/.config` and XDG_STATE_HOME at `home()/.local/state`;
// `ctx()` is the `RunContext` resolved from it. Removed when the test passed; kept, with its
// location printed, when it failed.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  // The temporary folder (canonical, so that paths compare with resolved ones).
  const std::filesystem::path& root() const { return root_; }
  // `root()/home`, the target root and home folder.
  const std::filesystem::path& home() const { return home_; }
  // `home()/.agents`.
  std::filesystem::path commons() const { return ctx_.commons; }
  std::filesystem::path config_dir() const { return ctx_.config_dir; }
  // `config_dir()/kelvaro.toml`.
  std::filesystem::path config_file() const { return ctx_.config_dir / "kelvaro.toml"; }
  std::filesystem::path state_dir() const { return ctx_.state_dir; }

  const EnvSnapshot& env() const { return env_; }
  const RunContext& ctx() const { return ctx_; }
  // Sets or removes one variable of `env()` and resolves `ctx()` again.
  void set_env(const std::string& name, const std::string& value);
  void unset_env(const std::string& name);

  // `rel` under `home()`; an absolute `rel` is returned unchanged.
  std::filesystem::path path(const TestPath& rel) const;
  // Writes `content` to `path(rel)`, creating its folders; returns the full path.
  std::filesystem::path write(const TestPath& rel, std::string_view content) const;
  // Creates the folder `path(rel)` with its parents; returns the full path.
  std::filesystem::path make_dir(const TestPath& rel) const;
  // Creates a symbolic link at `path(rel)` storing `target` as given (folders created);
  // returns the link's full path.
  std::filesystem::path make_link(const TestPath& rel, const TestPath& target,
                                  bool dir = false) const;
  // The whole content of `path(rel)`; fails the test when it cannot be read.
  std::string read(const TestPath& rel) const;

 private:
  std::filesystem::path root_;
  std::filesystem::path home_;
  EnvSnapshot env_;
  RunContext ctx_;
};

// Every path under `root` (but `skip` and what lies below it) with its kind and, for a link,
// its stored text, for a file, its bytes; sorted, links never followed, "/" between names. Two
// equal listings mean nothing under `root` changed.
std::vector<std::string> tree_listing(const std::filesystem::path& root,
                                      const std::filesystem::path& skip = {});

// The error of opening a folder as a file to read or write it: "is a directory" on POSIX;
// Windows answers access denied.
std::error_code folder_open_error();

// `posix_path` ("/x/y") as an absolute path of this system: on Windows on drive C:.
std::string absolute_text(std::string_view posix_path);

// True when the file system holding `dir` tells names apart by case (not so on Windows and
// macOS by default); probed with a file in `dir`.
bool case_sensitive_names(const std::filesystem::path& dir);

// `home.env()` with the target root and home given as the text `root`, and the XDG folders left
// to follow from it.
EnvSnapshot rooted_env(const TempHome& home, const std::string& root);

// A file name that is not valid Unicode on this system (the byte 0xFF on POSIX, a lone
// surrogate on Windows) between `before` and `after`; shown as `before`, U+FFFD, `after`.
std::filesystem::path not_unicode_name(std::string_view before, std::string_view after);

// Text that is not valid Unicode on this system as UTF-8 bytes that `run_kelvaro` passes on
// unchanged: the byte 0xFF on POSIX; on Windows a lone surrogate (in its three-byte form).
std::string not_unicode_text();

// A new, empty, private folder under the system's temporary folder.
std::filesystem::path make_temp_folder();

// The id of a process that has ended: a child started and waited for on POSIX; on Windows an id
// no process is given (they are multiples of 4 well below it).
std::uint64_t ended_process_id();

// True when this system really makes symbolic links (probed once): not under Wine, whose
// CreateSymbolicLinkW makes nothing, nor on Windows without Developer Mode or elevation.
bool links_supported();

// Skips the current test where `links_supported()` is false.
#define KELVARO_REQUIRE_LINKS()                                                       \
  if (!::kelvaro::links_supported())                                                  \
  GTEST_SKIP() << "this system cannot make symbolic links (Wine, or Windows without " \
                  "Developer Mode)"

// True when `link` is a symbolic link storing exactly `text`.
bool holds_link_text(const std::filesystem::path& link, const std::filesystem::path& text);

// True when something, a dangling link included, stands at `path`.
bool exists_here(const std::filesystem::path& path);

// Runs the built `kelvaro` binary with `args` (without the program name) and exactly `env` as
// its environment, in `cwd` when given, with standard input from the null device.
RunResult run_kelvaro(const std::vector<std::string>& args, const EnvSnapshot& env,
                      const std::filesystem::path& cwd = {});

// What a program run by `run_kelvaro_with` finds on one of its output descriptors.
enum class OutputEnd : std::uint8_t {
  captured,     // a pipe read into the `RunResult`
  closed,       // nothing: the descriptor is closed
  broken_pipe,  // a pipe whose reading end is already closed
  full_device,  // /dev/full, where every write fails for want of space
};

// `run_kelvaro` in the home folder's environment, with standard output and error set up as
// `out` and `err` say.
RunResult run_kelvaro_with(const std::vector<std::string>& args, const EnvSnapshot& env,
                           OutputEnd out, OutputEnd err);

// What a sync prints once nothing is left to change.
inline const RunResult up_to_date{.out = "Everything is up to date.\n", .err = "", .status = 0};

// What a `LockHolder` does on its own: after holding the lock for `after`, it writes `bytes` to
// `file` (as the run before a waiting one would) and ends, which releases the lock. Under
// Windows `after` counts from the start of a `kelvaro` run of the same test, and no such run
// while the lock is held fails the test.
struct LockRelease {
  std::chrono::milliseconds after{0};
  std::filesystem::path file{};
  std::string bytes{};
};

// Another process holding the kelvaro lock on `state_dir`: until it is stopped or dropped, or,
// given a `release`, until it has done it. Under Windows, which has no fork, it is this test
// program started again with KELVARO_LOCK_HOLDER naming the state folder.
class LockHolder {
 public:
  explicit LockHolder(const std::filesystem::path& state_dir,
                      const std::optional<LockRelease>& release = std::nullopt);
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // True once the other process has taken the lock.
  bool held() const { return held_; }
  // Ends the other process: at once, or with a release, once it has done it.
  void stop();

 private:
  std::intptr_t process_ = 0;  // the process id, or the Windows process handle
  std::intptr_t thread_ = 0;   // the Windows thread handle
  bool held_ = false;
  bool releases_ = false;
};

// True when this system shows which system call another process is in (Linux's
// /proc/<pid>/syscall), so that `StartedRun::waits_for_lock` can tell. POSIX only.
bool can_see_lock_waits();

// The built `kelvaro` started with `args` in exactly `env`, standard input from the null
// device, and left running: a run that waits for the lock while the test changes the home.
// POSIX only.
class StartedRun {
 public:
  StartedRun(const std::vector<std::string>& args, const EnvSnapshot& env);
  ~StartedRun();
  StartedRun(const StartedRun&) = delete;
  StartedRun& operator=(const StartedRun&) = delete;

  // True once the program sleeps between two attempts to take the lock, seen within `limit`:
  // the only sleep of a run, so by then it has read `kelvaro.toml` at start-up and made every
  // check that comes before the lock.
  bool waits_for_lock(std::chrono::milliseconds limit) const;
  // Waits for the end and gives what it printed and returned.
  RunResult finish();

 private:
  std::intptr_t process_ = 0;
  int out_ = -1;
  int err_ = -1;
};

// Calls the dispatcher `run` in this process with `args` (without the program name) and
// string streams.
RunResult run_in_process(const std::vector<std::string>& args, const EnvSnapshot& env);

}  // namespace kelvaro
