#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "mcp.hpp"

// Comparing the Commons servers with what every agent holds.
namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// The Commons servers in byte-wise name order, whatever order the map has.
std::vector<std::pair<const std::string*, const Json*>> by_name(const ServerMap& servers) {
  std::vector<std::pair<const std::string*, const Json*>> sorted;
  if (!servers.is_object()) {
    return sorted;
  }
  for (const auto& [name, server] : servers.items()) {
    sorted.emplace_back(&name, &server);
  }
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return *a.first < *b.first; });
  return sorted;
}

// Whether the `[mcp.<name>]` settings let `agent` take the server: no settings or no list
// allow every agent, an empty list none.
const ServerSettings* settings_of(const Config& config, std::string_view server) {
  const auto found = config.mcp.find(std::string(server));
  return found != config.mcp.end() ? &found->second : nullptr;
}

// The tweak `kelvaro.toml` records for `agent` under the server `server`, if any.
std::optional<Json> recorded_tweak(const Config& config, std::string_view server,
                                   std::string_view agent) {
  const ServerSettings* settings = settings_of(config, server);
  if (settings == nullptr) {
    return std::nullopt;
  }
  if (const Json* found = settings->tweaks.find(std::string(agent))) {
    return *found;
  }
  return std::nullopt;
}

bool allows(const ServerSettings* settings, const std::string& agent) {
  if (settings == nullptr || !settings->agents) {
    return true;
  }
  const auto& agents = *settings->agents;
  return std::find(agents.begin(), agents.end(), agent) != agents.end();
}

void add_fatal(McpPlan& plan, std::string text) {
  if (std::find(plan.fatal.begin(), plan.fatal.end(), text) == plan.fatal.end()) {
    plan.fatal.push_back(std::move(text));
  }
}

McpItem item_of(const McpFile& file, const std::string& server, McpState state) {
  return McpItem{.agent = file.agent,
                 .server = server,
                 .path = file.path,
                 .key = file.key,
                 .format = file.format,
                 .state = state};
}

// The item of a held entry that kelvaro does not render into this agent: a disabled server, or
// one the allowlist keeps out. `state` when the entry is kelvaro's, by having been rendered here
// (`admitted`) or by being what kelvaro would render; otherwise the user's own server.
McpItem held_item(const RunContext& ctx, const Config& config, const McpFile& file,
                  const std::string& name, const Json& server, const Json& entry, bool admitted,
                  McpState state) {
  if (!admitted) {
    // A server that cannot be rendered here proves nothing: the entry stays the user's.
    auto rendered = render_for_file(ctx, config, file, name, server);
    if (!rendered || !same_agent_entry(file.shape, *rendered, entry)) {
      McpItem own = item_of(file, name, McpState::foreign);
      own.shadows = true;
      return own;
    }
  }
  return item_of(file, name, state);
}

// Adds the item of one Commons server in one agent's file, if the server concerns it.
void plan_server(const RunContext& ctx, const Config& config, const McpFile& file,
                 const std::string& name, const Json& server, const Json& held, McpPlan& plan) {
  const auto entry = held.find(name);
  const bool holds = entry != held.end();
  const bool admitted = allows(settings_of(config, name), file.agent);
  // A disabled server is taken out wherever kelvaro put it, allowlisted or not.
  if (is_disabled_server(server)) {
    if (holds) {
      plan.items.push_back(
          held_item(ctx, config, file, name, server, *entry, admitted, McpState::disabled));
    }
    return;
  }
  if (!admitted) {
    if (holds) {
      plan.items.push_back(
          held_item(ctx, config, file, name, server, *entry, false, McpState::stranded));
    }
    return;
  }
  const std::optional<Json> tweak = recorded_tweak(config, name, file.agent);
  auto rendered = render_server(name, ctx, server, file.shape, tweak, true);
  if (!rendered) {
    add_fatal(plan, std::move(rendered).error());
    return;
  }
  McpItem planned = item_of(file, name, McpState::missing);
  if (holds) {
    if (same_agent_entry(file.shape, *rendered, *entry)) {
      planned.state = McpState::managed;
    } else {
      planned.state = McpState::drifted;
      planned.drift = entry_drift(file.shape, *rendered, *entry);
    }
  }
  planned.env_refs = has_env_refs(server) || (tweak && has_env_refs(*tweak));
  planned.rendered = std::move(*rendered);
  plan.items.push_back(std::move(planned));
}

// Adds the items of one agent's file: the Commons servers by name, then the agent's own.
void plan_file(const RunContext& ctx, const Config& config, const McpFile& file,
               const std::vector<std::pair<const std::string*, const Json*>>& sorted,
               const ServerMap& servers, McpPlan& plan) {
  auto held = read_agent_servers(file.path, file.key, file.format);
  if (!held) {
    plan.errors.push_back(std::move(held).error());
    return;
  }
  for (const auto& [name, server] : sorted) {
    plan_server(ctx, config, file, *name, *server, *held, plan);
  }
  for (const auto& [name, entry] : held->items()) {
    if (!servers.is_object() || !servers.contains(name)) {
      plan.items.push_back(item_of(file, name, McpState::foreign));
    }
  }
}

}  // namespace

std::string_view to_string(McpState state) {
  switch (state) {
    case McpState::managed:
      return "managed";
    case McpState::missing:
      return "missing";
    case McpState::drifted:
      return "drifted";
    case McpState::foreign:
      return "foreign";
    case McpState::stranded:
      return "stranded";
    case McpState::disabled:
      return "disabled";
  }
  return "";
}

bool is_actionable(McpState state) {
  switch (state) {
    case McpState::missing:
    case McpState::drifted:
    case McpState::disabled:
      return true;
    case McpState::managed:
    case McpState::foreign:
    case McpState::stranded:
      return false;
  }
  return false;
}

bool needs_attention(McpState state) {
  return is_actionable(state);
}

bool is_disabled_server(const Json& server) {
  if (!server.is_object()) {
    return false;
  }
  const auto disabled = server.find("disabled");
  return disabled != server.end() && disabled->is_boolean() && disabled->get<bool>();
}

void set_disabled(Json& server, bool disabled) {
  if (!server.is_object()) {
    return;
  }
  if (disabled) {
    server["disabled"] = true;
  } else {
    server.erase("disabled");
  }
}

Result<Json> render_for_file(const RunContext& ctx, const Config& config, const McpFile& file,
                             std::string_view name, const Json& server) {
  return render_server(name, ctx, server, file.shape, recorded_tweak(config, name, file.agent),
                       true);
}

bool is_kelvaros(const McpItem& item) {
  return item.state != McpState::foreign;
}

McpPlan plan_mcp(const RunContext& ctx, const Config& config, const std::vector<Agent>& agents,
                 const fs::path& mcp_json) {
  // Without a Commons file there is nothing to compare with, so agents' servers are not
  // called foreign either.
  if (!kelvaro::is_regular_file(mcp_json)) {
    return McpPlan{};
  }
  auto servers = parse_commons_servers(mcp_json);
  if (!servers) {
    return McpPlan{.fatal = {std::move(servers).error()}};
  }
  return plan_mcp_agents(ctx, config, agents, *servers);
}

McpPlan plan_mcp_agents(const RunContext& ctx, const Config& config,
                        const std::vector<Agent>& agents, const ServerMap& servers) {
  McpPlan plan;
  const auto sorted = by_name(servers);
  McpFiles files = mcp_files(ctx, agents);
  plan.errors = std::move(files.refused);
  for (const McpFile& file : files.files) {
    plan_file(ctx, config, file, sorted, servers, plan);
  }
  return plan;
}

std::string describe_mcp_item(const McpItem& item) {
  switch (item.state) {
    case McpState::managed:
      return "";
    case McpState::missing:
      return "not in this agent's config yet";
    case McpState::drifted:
      if (item.drift.empty()) {
        return "differs from the Commons — will be restored";
      }
      return fmt::format("differs from the Commons ({}) — will be restored",
                         fmt::join(item.drift, ", "));
    case McpState::foreign:
      return item.shadows ? "not the Commons copy of this server — left alone"
                          : "not in the Commons — left alone";
    case McpState::stranded:
      // `mcp remove` would take the server from every agent and from the Commons too: the
      // advice names only what removes this one copy, or lets it stay.
      return fmt::format(
          "still here but no longer allowlisted — remove it with {}'s own tool, or add `{}` to "
          "`mcp.{}.agents`",
          item.agent, item.agent, item.server);
    case McpState::disabled:
      return "disabled in the Commons — will be removed";
  }
  return "";
}

}  // namespace kelvaro
