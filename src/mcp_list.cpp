#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agents.hpp"
#include "fsutil.hpp"
#include "mcp.hpp"
#include "mcp_cmd.hpp"

namespace kelvaro {

namespace {

// One line of the listing: a server and the plan items that concern it.
struct ListedServer {
  std::string name;
  bool managed = false;
  bool disabled = false;
  std::vector<const McpItem*> targets{};
};

// The Commons servers in map order, then the names only agents hold, in the order the plan
// meets them; each name once.
std::vector<ListedServer> listed_servers(const ServerMap& servers, const McpPlan& plan) {
  std::vector<ListedServer> listed;
  if (servers.is_object()) {
    for (const auto& [name, server] : servers.items()) {
      listed.push_back(ListedServer{
          .name = name, .managed = true, .disabled = is_disabled_server(server), .targets = {}});
    }
  }
  for (const McpItem& item : plan.items) {
    auto found = std::find_if(listed.begin(), listed.end(), [&](const ListedServer& server) {
      return server.name == item.server;
    });
    if (found == listed.end()) {
      listed.push_back(ListedServer{.name = item.server});
      found = std::prev(listed.end());
    }
    found->targets.push_back(&item);
  }
  return listed;
}

std::string_view origin(const ListedServer& server) {
  if (server.disabled) {
    return "disabled";
  }
  return server.managed ? "Commons" : "not in the Commons";
}

Json listing_document(const std::vector<ListedServer>& listed) {
  Json servers = Json::array();
  for (const ListedServer& server : listed) {
    Json targets = Json::array();
    for (const McpItem* item : server.targets) {
      Json target = Json::object();
      target["agent"] = item->agent;
      target["state"] = to_string(item->state);
      target["actionable"] = is_actionable(item->state);
      targets.push_back(std::move(target));
    }
    Json entry = Json::object();
    entry["name"] = server.name;
    entry["managed"] = server.managed;
    entry["targets"] = std::move(targets);
    if (server.disabled) {
      entry["disabled"] = true;
    }
    servers.push_back(std::move(entry));
  }
  Json document = Json::object();
  document["servers"] = std::move(servers);
  return document;
}

}  // namespace

int mcp_list(const RunContext& ctx, const Config& config, Reporter& reporter, bool json) {
  const std::filesystem::path path = commons_mcp_file(ctx.commons);
  const std::vector<Agent> agents = list_agents(ctx.home, config);
  // Before the Commons has a file, the list is what `mcp adopt --all` would start from: the
  // agents' servers, read as against an empty one.
  const McpPlan plan = kelvaro::is_regular_file(path)
                           ? plan_mcp(ctx, config, agents, path)
                           : plan_mcp_agents(ctx, config, agents, Json::object());
  report_errors(reporter, plan.fatal);
  if (!plan.fatal.empty()) {
    return 1;
  }
  report_errors(reporter, plan.errors);
  auto servers = load_commons_servers(path);
  if (!servers) {
    report_error(reporter, servers.error());
    return 1;
  }

  const std::vector<ListedServer> listed = listed_servers(*servers, plan);
  if (json) {
    if (reporter.out != nullptr) {
      print_json(*reporter.out, listing_document(listed));
    }
  } else if (listed.empty()) {
    print_line(reporter, "no MCP servers in the Commons, and none found in any agent's config");
  } else {
    for (const ListedServer& server : listed) {
      print_line(reporter, fmt::format("{}  ({})", visible_text(server.name), origin(server)));
      for (const McpItem* item : server.targets) {
        print_line(reporter,
                   fmt::format("  {:10} {}", to_string(item->state), visible_text(item->agent)));
      }
    }
  }

  if (reporter.errors > 0) {
    return 1;
  }
  const bool actionable =
      std::any_of(plan.items.begin(), plan.items.end(),
                  [](const McpItem& item) { return is_actionable(item.state); });
  return actionable ? 2 : 0;
}

}  // namespace kelvaro
