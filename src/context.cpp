#include "context.hpp"

#include "fsutil.hpp"

namespace kelvaro {

namespace {

// The XDG folder rule: `key`'s value when present, not empty and absolute, else
// `home`/`default_dir`; then joined with `app`.
std::filesystem::path xdg_dir(const EnvSnapshot& env, std::string_view key,
                              const std::filesystem::path& home, std::string_view default_dir,
                              std::string_view app) {
  auto value = env_get(env, key);
  // A relative value is ignored without a word: XDG says such values are invalid.
  if (value && !value->empty() && is_absolute_path(*value)) {
    return path_from_utf8(*value) / app;
  }
  return home / std::filesystem::path(default_dir) / app;
}

}  // namespace

std::optional<std::string> env_get(const EnvSnapshot& env, std::string_view name) {
  auto it = env.find(name);
  if (it == env.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::optional<RunContext> resolve_context(const EnvSnapshot& env) {
  std::optional<std::string> home_text;
  for (std::string_view name : {"KELVARO_TARGET_ROOT", "HOME", "USERPROFILE"}) {
    if (auto value = env_get(env, name)) {
      home_text = std::move(value);
      break;
    }
  }
  // A present but empty variable does not fall through to the next one.
  if (!home_text || home_text->empty()) {
    return std::nullopt;
  }

  RunContext ctx;
  ctx.home = path_from_utf8(*home_text);
  auto commons = env_get(env, "KELVARO_HOME");
  ctx.commons = commons && !commons->empty() ? path_from_utf8(*commons) : ctx.home / ".agents";
  ctx.config_dir = xdg_dir(env, "XDG_CONFIG_HOME", ctx.home, ".config", "kelvaro");
  ctx.state_dir = xdg_dir(env, "XDG_STATE_HOME", ctx.home, ".local/state", "kelvaro");
  ctx.legacy_home_dir = ctx.home / ".ostrevan";
  ctx.legacy_config_dir = xdg_dir(env, "XDG_CONFIG_HOME", ctx.home, ".config", "ostrevan");
  ctx.env = env;
  return ctx;
}

RunContext anchor_context(const RunContext& ctx) {
  RunContext anchored = ctx;
  anchored.home = reached_path(ctx.home);
  anchored.commons = reached_path(ctx.commons);
  return anchored;
}

std::filesystem::path commons_mcp_file(const std::filesystem::path& commons) {
  return commons / "mcp.json";
}

std::filesystem::path commons_instructions_file(const std::filesystem::path& commons) {
  return commons / "AGENTS.md";
}

std::filesystem::path commons_hooks_dir(const std::filesystem::path& commons) {
  return commons / "hooks";
}

}  // namespace kelvaro
