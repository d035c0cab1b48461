#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "context.hpp"

namespace kelvaro {

// What one run of the program printed and returned.
struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // the exit status; 128 + signal when the process was killed

  bool operator==(const RunResult&) const = default;
};

// Shows a `RunResult` readably in test failures.
void PrintTo(const RunResult& result, std::ostream* os);

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
  std::filesystem::path state_dir() const { return ctx_.state_dir; }

  const EnvSnapshot& env() const { return env_; }
  const RunContext& ctx() const { return ctx_; }
  // Sets or removes one variable of `env()` and resolves `ctx()` again.
  void set_env(const std::string& name, const std::string& value);
  void unset_env(const std::string& name);

  // `rel` under `home()`; an absolute `rel` is returned unchanged.
  std::filesystem::path path(const std::filesystem::path& rel) const;
  // Writes `content` to `path(rel)`, creating its folders; returns the full path.
  std::filesystem::path write(const std::filesystem::path& rel, std::string_view content) const;
  // Creates the folder `path(rel)` with its parents; returns the full path.
  std::filesystem::path make_dir(const std::filesystem::path& rel) const;
  // Creates a symbolic link at `path(rel)` storing `target` as given (folders created);
  // returns the link's full path.
  std::filesystem::path make_link(const std::filesystem::path& rel,
                                  const std::filesystem::path& target, bool dir = false) const;
  // The whole content of `path(rel)`; fails the test when it cannot be read.
  std::string read(const std::filesystem::path& rel) const;

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

// A new, empty, private folder under the system's temporary folder.
std::filesystem::path make_temp_folder();

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

// Runs the built `kelvaro` binary with `args` (without the program name) and exactly `env` as
// its environment, in `cwd` when given, with standard input from the null device.
RunResult run_kelvaro(const std::vector<std::string>& args, const EnvSnapshot& env,
                      const std::filesystem::path& cwd = {});

// Calls the dispatcher `run` in this process with `args` (without the program name) and
// string streams.
RunResult run_in_process(const std::vector<std::string>& args, const EnvSnapshot& env);

}  // namespace kelvaro
