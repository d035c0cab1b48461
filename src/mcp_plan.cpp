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

bool is_disabled(const Json& server) {
  if (!server.is_object()) {
    return false;
  }
  const auto disabled = server.find("disabled");
  return disabled != server.end() && disabled->is_boolean() && disabled->get<bool>();
}

// Whether the `[mcp.<name>]` settings let `agent` take the server: no settings or no list
// allow every agent, an empty list none.
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
  std::vector<bool> server_refs;
  server_refs.reserve(sorted.size());
  for (const auto& [name, server] : sorted) {
    server_refs.push_back(has_env_refs(*server));
  }

  for (const Agent& agent : agents) {
    if (agent.descriptor == nullptr || agent.descriptor->mcp.kind != McpRouteKind::key_merge) {
      continue;
    }
    const McpRoute& route = agent.descriptor->mcp;
    const fs::path file = ctx.home / route.file;
    auto held = read_agent_servers(file, route.key, route.toml);
    if (!held) {
      plan.errors.push_back(std::move(held).error());
      continue;
    }
    auto item = [&](const std::string& server, McpState state) {
      return McpItem{.agent = agent.name,
                     .server = server,
                     .path = file,
                     .key = route.key,
                     .toml = route.toml,
                     .state = state};
    };

    for (std::size_t i = 0; i < sorted.size(); ++i) {
      const std::string& name = *sorted[i].first;
      const Json& server = *sorted[i].second;
      const auto entry = held->find(name);
      const bool holds = entry != held->end();
      // A disabled server is taken out wherever it is, allowlisted or not.
      if (is_disabled(server)) {
        if (holds) {
          plan.items.push_back(item(name, McpState::disabled));
        }
        continue;
      }
      const auto settings_it = config.mcp.find(name);
      const ServerSettings* settings =
          settings_it != config.mcp.end() ? &settings_it->second : nullptr;
      if (!allows(settings, agent.name)) {
        if (holds) {
          plan.items.push_back(item(name, McpState::stranded));
        }
        continue;
      }
      std::optional<Json> tweak;
      if (settings != nullptr) {
        if (const Json* found = settings->tweaks.find(agent.name)) {
          tweak = *found;
        }
      }
      auto rendered = render_server(name, ctx, server, route.shape, tweak, true);
      if (!rendered) {
        add_fatal(plan, std::move(rendered).error());
        continue;
      }
      McpItem planned = item(name, McpState::missing);
      if (holds) {
        if (same_agent_entry(route.shape, *rendered, *entry)) {
          planned.state = McpState::managed;
        } else {
          planned.state = McpState::drifted;
          planned.drift = differing_keys(*entry, *rendered);
        }
      }
      planned.env_refs = server_refs[i] || (tweak && has_env_refs(*tweak));
      planned.rendered = std::move(*rendered);
      plan.items.push_back(std::move(planned));
    }

    for (const auto& [name, entry] : held->items()) {
      if (!servers.is_object() || !servers.contains(name)) {
        plan.items.push_back(item(name, McpState::foreign));
      }
    }
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
      return "not in the Commons — left alone";
    case McpState::stranded:
      return "still here but no longer allowlisted — `kelvaro mcp remove` clears it";
    case McpState::disabled:
      return "disabled in the Commons — will be removed";
  }
  return "";
}

}  // namespace kelvaro
