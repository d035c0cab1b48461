#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "fsutil.hpp"

namespace kelvaro {

// The value of `name` in `env`, or nullopt when it is absent (a present, empty value is "").
std::optional<std::string> env_get(const EnvSnapshot& env, std::string_view name);

// The resolved locations of one run, built once by the dispatcher.
struct RunContext {
  std::filesystem::path home;               // target root
  std::filesystem::path commons;            // may be relative (KELVARO_HOME as given)
  std::filesystem::path config_dir;         // holds kelvaro.toml
  std::filesystem::path state_dir;          // holds the lock file
  std::filesystem::path legacy_home_dir;    // <home>/.ostrevan
  std::filesystem::path legacy_config_dir;  // <config base>/ostrevan
  EnvSnapshot env;

  bool operator==(const RunContext&) const = default;
};

inline constexpr std::string_view kHomeError =
    "cannot determine home directory: set HOME (USERPROFILE on Windows) or KELVARO_TARGET_ROOT";

// The Commons' own files, named once: `commons` is a run's Commons folder (`RunContext::commons`).
std::filesystem::path commons_mcp_file(const std::filesystem::path& commons);
std::filesystem::path commons_instructions_file(const std::filesystem::path& commons);
std::filesystem::path commons_hooks_dir(const std::filesystem::path& commons);

// Resolves every location from `env`; nullopt when no home folder can be determined.
std::optional<RunContext> resolve_context(const EnvSnapshot& env);

// `ctx` with home and Commons made absolute as the system reaches them (`reached_path`), so that
// link targets are computed between absolute paths and never dangle, and every command opens
// the same folders for the same root. Every planner of links is handed such a context; paths
// only shown, as the MCP files are, may keep the text given.
RunContext anchor_context(const RunContext& ctx);

}  // namespace kelvaro
