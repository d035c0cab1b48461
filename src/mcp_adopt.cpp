#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fsutil.hpp"
#include "lock.hpp"
#include "mcp.hpp"
#include "mcp_cmd.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// One agent entry to consider.
struct AdoptCandidate {
  const Agent* agent = nullptr;
  std::string server;
};

// What the candidates share while they are adopted one after another.
struct AdoptRun {
  const RunContext& ctx;
  Reporter& reporter;
  ServerMap& servers;
  std::size_t mcp_agents = 0;
  // The agents each server was taken from during this run, each once, in the order taken.
  std::map<std::string, std::vector<std::string>> adopted_from{};
  std::size_t adopted = 0;
};

fs::path mcp_file(const RunContext& ctx, const Agent& agent) {
  return ctx.home / agent.descriptor->mcp.file;
}

// The candidates of every agent's MCP file; false when some file could not be read.
bool collect_all(const RunContext& ctx, const std::vector<Agent>& agents, Reporter& reporter,
                 std::vector<AdoptCandidate>& candidates) {
  bool all_read = true;
  for (const Agent& agent : agents) {
    if (!has_mcp_file(agent)) {
      continue;
    }
    const McpRoute& route = agent.descriptor->mcp;
    auto held = read_agent_servers(mcp_file(ctx, agent), route.key, route.toml);
    if (!held) {
      report_error(reporter, held.error());
      all_read = false;
      continue;
    }
    for (const auto& entry : held->items()) {
      candidates.push_back(AdoptCandidate{.agent = &agent, .server = entry.key()});
    }
  }
  return all_read;
}

// The one candidate of `spec` (agent/server), or nullopt after reporting why there is none.
std::optional<AdoptCandidate> parse_spec(const std::optional<std::string>& spec,
                                         const std::vector<Agent>& agents, Reporter& reporter) {
  if (!spec) {
    report_error(reporter, "give a server to adopt as agent/server, or --all");
    return std::nullopt;
  }
  const std::size_t slash = spec->find('/');
  if (slash == std::string::npos) {
    report_error(reporter, fmt::format("`{}` is not an agent/server pair — try `kelvaro mcp adopt "
                                       "claude/serena`",
                                       visible_text(*spec)));
    return std::nullopt;
  }
  const std::string agent_name = spec->substr(0, slash);
  const auto agent = std::find_if(agents.begin(), agents.end(),
                                  [&](const Agent& a) { return a.name == agent_name; });
  if (agent == agents.end()) {
    report_error(reporter,
                 fmt::format("`{}` is not an agent kelvaro knows about, or it is not installed",
                             visible_text(agent_name)));
    return std::nullopt;
  }
  return AdoptCandidate{.agent = &*agent, .server = spec->substr(slash + 1)};
}

void adopt_one(AdoptRun& run, const AdoptCandidate& candidate) {
  const Agent& agent = *candidate.agent;
  const std::string& name = candidate.server;
  const std::string shown = visible_text(name);
  const std::string agent_shown = visible_text(agent.name);
  if (!has_mcp_file(agent)) {
    report_error(run.reporter, fmt::format("{} has no MCP surface", agent_shown));
    return;
  }
  const McpRoute& route = agent.descriptor->mcp;
  // Read afresh for every candidate: nothing of an earlier reading is trusted.
  auto held = read_agent_servers(mcp_file(run.ctx, agent), route.key, route.toml);
  if (!held) {
    report_error(run.reporter, held.error());
    return;
  }
  const auto entry = held->find(name);
  if (entry == held->end()) {
    report_error(run.reporter, fmt::format("`{}` is not in {}'s config", shown, agent_shown));
    return;
  }
  auto adopted = standardise_server(name, *entry, route.shape);
  if (!adopted) {
    report_error(run.reporter, adopted.error());
    return;
  }

  const auto known = run.servers.find(name);
  const bool existing = known != run.servers.end();
  if (existing && !json_equal(*known, adopted->server)) {
    report_error(run.reporter,
                 fmt::format("`{}` differs from the Commons copy — merge it by hand; kelvaro will "
                             "not choose which side to discard",
                             shown));
    return;
  }

  std::optional<Json> tweak;
  if (!adopted->tweak.empty()) {
    tweak = adopted->tweak;
  }
  auto diff = render_diff(name, adopted->server, route.shape, *entry, run.ctx, tweak);
  if (!diff) {
    report_error(run.reporter, diff.error());
    return;
  }
  if (!diff->empty()) {
    report_error(run.reporter, visible_text(fmt::format(
                                   "`{}` in {}: {} cannot be represented faithfully — not adopted",
                                   name, agent.name, fmt::join(*diff, ", "))));
    return;
  }

  std::vector<std::string>& from = run.adopted_from[name];
  if (std::find(from.begin(), from.end(), agent.name) == from.end()) {
    from.push_back(agent.name);
  }
  std::optional<std::vector<std::string>> allowlist;
  if (from.size() < run.mcp_agents) {
    allowlist = from;
  }
  // Once every MCP agent has given the server, the list an earlier candidate of this run wrote
  // would leave out the last of them: drop it, so that all share the server.
  const bool share = !allowlist && from.size() > 1;
  auto saved =
      save_server_settings(run.ctx.config_dir, name, allowlist, adopted->tweak, agent.name, share);
  if (!saved) {
    report_error(run.reporter, saved.error());
    from.erase(std::remove(from.begin(), from.end(), agent.name), from.end());
    return;
  }

  if (existing) {
    print_line(run.reporter, fmt::format("{} is already in the Commons", shown));
  } else {
    run.servers[name] = adopted->server;
    ++run.adopted;
    print_line(run.reporter, fmt::format("adopted {} from {}", shown, agent_shown));
  }
  for (const std::string& note : adopted->notes) {
    print_line(run.reporter, fmt::format("  note: {}", visible_text(note)));
  }
  if (allowlist) {
    print_line(run.reporter,
               fmt::format("  scoped to {} — remove the allowlist in kelvaro.toml to share it",
                           visible_text(fmt::format("{}", fmt::join(*allowlist, ", ")))));
  }
  warn_literal_credentials(name, adopted->server, run.reporter);
}

}  // namespace

bool has_mcp_file(const Agent& agent) {
  return agent.descriptor != nullptr && agent.descriptor->mcp.kind == McpRouteKind::key_merge;
}

void warn_literal_credentials(std::string_view name, const Json& server, Reporter& reporter) {
  static constexpr std::string_view kWords[] = {"token",  "secret", "password",
                                                "passwd", "key",    "auth"};
  std::vector<std::string> suspects;
  for (const char* section : {"env", "headers"}) {
    const auto members = server.find(section);
    if (members == server.end() || !members->is_object()) {
      continue;
    }
    for (const auto& member : members->items()) {
      const Json& value = member.value();
      if (!value.is_string() ||
          value.get_ref<const std::string&>().find("${env:") != std::string::npos) {
        continue;
      }
      std::string lower = member.key();
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
      if (std::any_of(std::begin(kWords), std::end(kWords), [&](std::string_view word) {
            return lower.find(word) != std::string::npos;
          })) {
        suspects.push_back(fmt::format("{}.{}", section, member.key()));
      }
    }
  }
  if (suspects.empty()) {
    return;
  }
  std::sort(suspects.begin(), suspects.end());
  report_warning(
      reporter,
      fmt::format("`{}`: {} look like credentials and were copied into the Commons as "
                  "written — replace them with ${{env:VAR}} before committing it",
                  visible_text(name), visible_text(fmt::format("{}", fmt::join(suspects, ", ")))));
}

int mcp_adopt(const RunContext& ctx, const Config& config, Reporter& reporter,
              const std::optional<std::string>& spec, bool all) {
  const std::uint64_t errors_before = reporter.errors;
  const std::vector<Agent> agents = list_agents(ctx.home, config);

  std::vector<AdoptCandidate> candidates;
  bool all_read = true;
  if (all) {
    all_read = collect_all(ctx, agents, reporter, candidates);
  } else {
    auto candidate = parse_spec(spec, agents, reporter);
    if (!candidate) {
      return 1;
    }
    candidates.push_back(*candidate);
  }
  if (candidates.empty()) {
    print_line(reporter, "no servers found to adopt");
    return all_read ? 0 : 1;
  }

  const fs::path commons_file = ctx.commons / "mcp.json";
  auto servers = load_commons_servers(commons_file);
  if (!servers) {
    report_error(reporter, servers.error());
    return 1;
  }
  auto lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
  }

  AdoptRun run{.ctx = ctx,
               .reporter = reporter,
               .servers = *servers,
               .mcp_agents = static_cast<std::size_t>(
                   std::count_if(agents.begin(), agents.end(), has_mcp_file))};
  for (const AdoptCandidate& candidate : candidates) {
    adopt_one(run, candidate);
  }
  if (run.adopted > 0) {
    if (auto written = write_commons_servers(commons_file, *servers); !written) {
      report_error(reporter, written.error());
    }
  }
  return reporter.errors != errors_before ? 1 : 0;
}

}  // namespace kelvaro
