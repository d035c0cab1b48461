#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "config.hpp"
#include "fsutil.hpp"
#include "lock.hpp"
#include "mcp.hpp"
#include "mcp_cmd.hpp"
#include "result.hpp"

namespace kelvaro {

namespace {

// Which way `mcp enable` and `mcp disable` turn a server.
enum class Switch { enable, disable };

// Why a switch ends before it changes anything; the reason has been told by then.
enum class SwitchStop { failed, already_so };

int exit_status(SwitchStop stop) {
  switch (stop) {
    case SwitchStop::failed:
      return 1;
    case SwitchStop::already_so:
      return 0;
  }
  return 1;
}

// What a switch goes on with: the lock with the configuration read under it, and the Commons
// servers, read while no other run can change them.
struct Switching {
  HeldLock held;
  ServerMap servers;
};

// The Commons servers when `name` is one of them; otherwise nullopt, after reporting why. `verb`
// completes "kelvaro only {} servers it manages".
std::optional<ServerMap> load_managed(const RunContext& ctx, Reporter& reporter,
                                      std::string_view name, std::string_view verb) {
  auto servers = load_commons_servers(commons_mcp_file(ctx.commons));
  if (!servers) {
    report_error(reporter, servers.error());
    return std::nullopt;
  }
  if (!servers->contains(std::string(name))) {
    report_error(reporter, fmt::format("`{}` is not in the Commons — kelvaro only {} servers it "
                                       "manages",
                                       visible_text(name), verb));
    return std::nullopt;
  }
  return std::move(*servers);
}

// The Commons servers when `name` is one of them and is to be switched `to`; otherwise why
// not, after saying so.
Result<ServerMap, SwitchStop> load_to_switch(const RunContext& ctx, Reporter& reporter,
                                             std::string_view name, Switch to) {
  const bool disable = to == Switch::disable;
  auto servers = load_managed(ctx, reporter, name, disable ? "disables" : "enables");
  if (!servers) {
    return unexpected(SwitchStop::failed);
  }
  if (is_disabled_server((*servers)[std::string(name)]) == disable) {
    print_line(reporter, fmt::format("{} is already {}", visible_text(name),
                                     disable ? "disabled" : "enabled"));
    return unexpected(SwitchStop::already_so);
  }
  return std::move(*servers);
}

// `load_to_switch` with the lock held: the answers that change nothing come before the lock,
// and what is written back is read again once no other run can change it meanwhile.
Result<Switching, SwitchStop> lock_and_load(const RunContext& ctx, Reporter& reporter,
                                            std::string_view name, Switch to) {
  if (auto first = load_to_switch(ctx, reporter, name, to); !first) {
    return unexpected(first.error());
  }
  auto lock = take_lock(ctx, reporter);
  if (!lock) {
    return unexpected(SwitchStop::failed);
  }
  auto servers = load_to_switch(ctx, reporter, name, to);
  if (!servers) {
    return unexpected(servers.error());
  }
  return Switching{.held = std::move(*lock), .servers = std::move(*servers)};
}

// Takes the server `name` out of every installed agent whose entry of that name is kelvaro's,
// whatever the allowlist says now; an agent's own server of that name stays.
void remove_from_agents(const RunContext& ctx, const Config& config, Reporter& reporter,
                        std::string_view name, const Json& server) {
  const std::string key(name);
  ServerMap parked = Json::object();
  parked[key] = server;
  set_disabled(parked[key], true);
  const McpPlan plan = plan_mcp_agents(ctx, config, list_agents(ctx.home, config), parked);
  report_errors(reporter, plan.errors);
  for (const McpItem& item : plan.items) {
    if (item.server != name || !is_kelvaros(item)) {
      continue;
    }
    auto removed = remove_agent_servers(item.path, item.key, item.format, name);
    if (!removed) {
      report_error(reporter, removed.error());
    } else if (*removed) {
      print_line(reporter,
                 fmt::format("removed {} from {}", visible_text(name), visible_text(item.agent)));
    }
  }
}

bool write_servers(const RunContext& ctx, Reporter& reporter, const ServerMap& servers) {
  if (auto written = write_commons_servers(commons_mcp_file(ctx.commons), servers); !written) {
    report_error(reporter, written.error());
    return false;
  }
  return true;
}

int status_of(const Reporter& reporter, std::uint64_t errors_before) {
  return reporter.errors != errors_before ? 1 : 0;
}

// The last steps of disable and remove: the Commons written, then `done` said.
int save_and_say(const RunContext& ctx, Reporter& reporter, const ServerMap& servers,
                 const std::string& done, std::uint64_t errors_before) {
  if (!write_servers(ctx, reporter, servers)) {
    return 1;
  }
  print_line(reporter, done);
  return status_of(reporter, errors_before);
}

}  // namespace

int mcp_enable(const RunContext& ctx, const Config& /*startup*/, Reporter& reporter,
               std::string_view name) {
  const std::uint64_t errors_before = reporter.errors;
  auto switching = lock_and_load(ctx, reporter, name, Switch::enable);
  if (!switching) {
    return exit_status(switching.error());
  }
  ServerMap& servers = switching->servers;
  const Config& held_config = switching->held.config;
  const std::string key(name);
  Json enabled = servers[key];
  set_disabled(enabled, false);

  ServerMap only = Json::object();
  only[key] = enabled;
  const McpPlan plan = plan_mcp_agents(ctx, held_config, list_agents(ctx.home, held_config), only);
  report_errors(reporter, plan.fatal);
  if (!plan.fatal.empty()) {
    return 1;
  }
  report_errors(reporter, plan.errors);
  servers[key] = enabled;
  // The Commons comes first: when it cannot be written, no agent gets a server that the
  // Commons still calls disabled.
  if (!write_servers(ctx, reporter, servers)) {
    return 1;
  }
  for (const McpItem& item : plan.items) {
    if (item.server != name ||
        (item.state != McpState::missing && item.state != McpState::drifted)) {
      continue;
    }
    auto written = write_agent_servers(item.path, item.key, item.format, {item});
    if (!written) {
      report_error(reporter, written.error());
      continue;
    }
    print_line(reporter,
               fmt::format("restored {} to {}", visible_text(name), visible_text(item.agent)));
    warn_readable_secrets(reporter, *written);
  }
  print_line(reporter, fmt::format("enabled {}", visible_text(name)));
  return status_of(reporter, errors_before);
}

int mcp_disable(const RunContext& ctx, const Config& /*startup*/, Reporter& reporter,
                std::string_view name) {
  const std::uint64_t errors_before = reporter.errors;
  auto switching = lock_and_load(ctx, reporter, name, Switch::disable);
  if (!switching) {
    return exit_status(switching.error());
  }
  ServerMap& servers = switching->servers;
  const std::string key(name);
  remove_from_agents(ctx, switching->held.config, reporter, name, servers[key]);
  set_disabled(servers[key], true);
  return save_and_say(ctx, reporter, servers,
                      fmt::format("disabled {} — definition kept; enable restores it everywhere",
                                  visible_text(name)),
                      errors_before);
}

int mcp_remove(const RunContext& ctx, const Config& /*startup*/, Reporter& reporter,
               std::string_view name) {
  const std::uint64_t errors_before = reporter.errors;
  if (!load_managed(ctx, reporter, name, "removes")) {
    return 1;
  }
  auto lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
  }
  auto servers = load_managed(ctx, reporter, name, "removes");
  if (!servers) {
    return 1;
  }
  remove_from_agents(ctx, lock->config, reporter, name, (*servers)[std::string(name)]);
  if (auto dropped = drop_server_settings(ctx.config_dir, name); !dropped) {
    report_error(reporter, dropped.error());
  }
  servers->erase(std::string(name));
  return save_and_say(ctx, reporter, *servers,
                      fmt::format("removed {} from the Commons", visible_text(name)),
                      errors_before);
}

}  // namespace kelvaro
