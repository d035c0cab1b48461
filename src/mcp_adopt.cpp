#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fsutil.hpp"
#include "lock.hpp"
#include "mcp.hpp"
#include "mcp_cmd.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// One agent entry to consider. `file` is the agent's MCP file; null for an agent without one.
struct AdoptCandidate {
  const Agent* agent = nullptr;
  const McpFile* file = nullptr;
  std::string server;
};

// What the candidates share while they are adopted one after another.
struct AdoptRun {
  const RunContext& ctx;
  const Config& config;
  Reporter& reporter;
  ServerMap& servers;
  std::size_t mcp_agents = 0;
  // The agents each server was taken from during this run, each once, in the order taken.
  std::map<std::string, std::vector<std::string>> adopted_from{};
  // The servers this run adds to the Commons.
  std::set<std::string> new_servers{};
};

const McpFile* file_of(const McpFiles& files, const Agent& agent) {
  const auto found = std::find_if(files.files.begin(), files.files.end(),
                                  [&](const McpFile& file) { return file.agent == agent.name; });
  return found != files.files.end() ? &*found : nullptr;
}

// The candidates of every agent's MCP file; false when some file could not be read.
bool collect_all(const std::vector<Agent>& agents, const McpFiles& files, Reporter& reporter,
                 std::vector<AdoptCandidate>& candidates) {
  bool all_read = files.refused.empty();
  for (const Agent& agent : agents) {
    const McpFile* file = file_of(files, agent);
    if (file == nullptr) {
      continue;
    }
    auto held = read_agent_servers(file->path, file->key, file->format);
    if (!held) {
      report_error(reporter, held.error());
      all_read = false;
      continue;
    }
    for (const auto& entry : held->items()) {
      candidates.push_back(AdoptCandidate{.agent = &agent, .file = file, .server = entry.key()});
    }
  }
  return all_read;
}

// The one candidate of `spec` (agent/server), or nullopt after reporting why there is none.
std::optional<AdoptCandidate> parse_spec(const std::optional<std::string>& spec,
                                         const std::vector<Agent>& agents, const McpFiles& files,
                                         Reporter& reporter) {
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
  const McpFile* file = file_of(files, *agent);
  // An MCP file that is the Commons file has been reported already.
  if (file == nullptr && has_mcp_file(*agent)) {
    return std::nullopt;
  }
  return AdoptCandidate{.agent = &*agent, .file = file, .server = spec->substr(slash + 1)};
}

// The allowlist that follows from the agents `from` that gave a server: none (every agent
// shares it) once all MCP agents have.
std::optional<std::vector<std::string>> allowlist_of(const AdoptRun& run,
                                                     const std::vector<std::string>& from) {
  if (from.size() < run.mcp_agents) {
    return from;
  }
  return std::nullopt;
}

// Without an allowlist the server is shared: a list written before goes.
AbsentAgents absent_agents(const std::optional<std::vector<std::string>>& allowlist) {
  return allowlist ? AbsentAgents::keep_list : AbsentAgents::share_with_all;
}

// Counts the candidate's agent among those that gave the server and saves its tweak when it is
// not empty; gives the allowlist as it now stands, or fails with the message when the tweak
// could not be saved.
Result<std::optional<std::vector<std::string>>> record_settings(AdoptRun& run,
                                                                const AdoptCandidate& candidate,
                                                                const Json& tweak) {
  const std::string& name = candidate.server;
  const std::string& agent = candidate.agent->name;
  std::vector<std::string>& from = run.adopted_from[name];
  const bool counted = std::find(from.begin(), from.end(), agent) != from.end();
  if (!counted) {
    from.push_back(agent);
  }
  const auto allowlist = allowlist_of(run, from);
  if (!tweak.empty()) {
    auto saved = save_server_settings(run.ctx.config_dir, name, allowlist, tweak, agent,
                                      absent_agents(allowlist));
    if (!saved) {
      if (!counted) {
        from.pop_back();
      }
      return unexpected(saved.error());
    }
  }
  return allowlist;
}

// Records each server's allowlist once, as the whole run leaves it: lists written candidate by
// candidate would leave traces in `kelvaro.toml` that the last of them does not want. A list
// written before (in an earlier run) goes when every MCP agent shares the server. A new server
// whose list cannot be saved is not taken into the Commons, where it would reach every agent.
void record_allowlists(AdoptRun& run) {
  for (const auto& [name, from] : run.adopted_from) {
    if (from.empty()) {
      continue;
    }
    const auto allowlist = allowlist_of(run, from);
    auto saved = save_server_settings(run.ctx.config_dir, name, allowlist, Json::object(), "",
                                      absent_agents(allowlist));
    if (!saved) {
      report_error(run.reporter, saved.error());
      if (run.new_servers.erase(name) > 0) {
        run.servers.erase(name);
      }
    }
  }
}

void print_scope(Reporter& reporter, const std::optional<std::vector<std::string>>& allowlist) {
  if (allowlist) {
    print_line(reporter,
               fmt::format("  scoped to {} — remove the allowlist in kelvaro.toml to share it",
                           visible_text(fmt::format("{}", fmt::join(*allowlist, ", ")))));
  }
}

void adopt_one(AdoptRun& run, const AdoptCandidate& candidate) {
  const Agent& agent = *candidate.agent;
  const std::string& name = candidate.server;
  const std::string shown = visible_text(name);
  const std::string agent_shown = visible_text(agent.name);
  if (candidate.file == nullptr) {
    report_error(run.reporter, fmt::format("{} has no MCP surface", agent_shown));
    return;
  }
  const McpFile& file = *candidate.file;
  // Read afresh for every candidate: nothing of an earlier reading is trusted.
  auto held = read_agent_servers(file.path, file.key, file.format);
  if (!held) {
    report_error(run.reporter, held.error());
    return;
  }
  const auto entry = held->find(name);
  if (entry == held->end()) {
    report_error(run.reporter, fmt::format("`{}` is not in {}'s config", shown, agent_shown));
    return;
  }

  const auto known = run.servers.find(name);
  const bool existing = known != run.servers.end();
  // What `sync` wrote is the Commons copy as it stands: read back, its resolved references and
  // dialect would pass for a different server, and its tweak for a new one.
  if (existing) {
    auto rendered = render_for_file(run.ctx, run.config, file, name, *known);
    if (rendered && same_agent_entry(file.shape, *rendered, *entry)) {
      auto allowlist = record_settings(run, candidate, Json::object());
      if (!allowlist) {
        report_error(run.reporter, allowlist.error());
        return;
      }
      print_line(run.reporter, fmt::format("{} is already in the Commons", shown));
      print_scope(run.reporter, *allowlist);
      return;
    }
  }

  auto adopted = standardise_server(name, *entry, file.shape);
  if (!adopted) {
    report_error(run.reporter, adopted.error());
    return;
  }
  if (existing && !same_server(*known, adopted->server)) {
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
  auto diff = render_diff(name, adopted->server, file.shape, *entry, run.ctx, tweak);
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

  auto allowlist = record_settings(run, candidate, adopted->tweak);
  if (!allowlist) {
    report_error(run.reporter, allowlist.error());
    return;
  }
  if (existing) {
    print_line(run.reporter, fmt::format("{} is already in the Commons", shown));
  } else {
    run.servers[name] = adopted->server;
    run.new_servers.insert(name);
    print_line(run.reporter, fmt::format("adopted {} from {}", shown, agent_shown));
  }
  for (const std::string& note : adopted->notes) {
    print_line(run.reporter, fmt::format("  note: {}", visible_text(note)));
  }
  print_scope(run.reporter, *allowlist);
  warn_literal_credentials(name, adopted->server, run.reporter);
}

}  // namespace

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
  const McpFiles files = mcp_files(ctx, agents);
  report_errors(reporter, files.refused);

  std::vector<AdoptCandidate> candidates;
  bool all_read = true;
  if (all) {
    all_read = collect_all(agents, files, reporter, candidates);
  } else {
    auto candidate = parse_spec(spec, agents, files, reporter);
    if (!candidate) {
      return 1;
    }
    candidates.push_back(*candidate);
  }
  if (candidates.empty()) {
    print_line(reporter, "no servers found to adopt");
    return all_read ? 0 : 1;
  }

  // The Commons file is written back whole: it is read only once no other run can change it.
  auto lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
  }
  const fs::path commons_file = commons_mcp_file(ctx.commons);
  auto servers = load_commons_servers(commons_file);
  if (!servers) {
    report_error(reporter, servers.error());
    return 1;
  }

  AdoptRun run{.ctx = ctx,
               .config = config,
               .reporter = reporter,
               .servers = *servers,
               .mcp_agents = static_cast<std::size_t>(
                   std::count_if(agents.begin(), agents.end(), has_mcp_file))};
  for (const AdoptCandidate& candidate : candidates) {
    adopt_one(run, candidate);
  }
  record_allowlists(run);
  if (!run.new_servers.empty()) {
    if (auto written = write_commons_servers(commons_file, *servers); !written) {
      report_error(reporter, written.error());
    }
  }
  return reporter.errors != errors_before ? 1 : 0;
}

}  // namespace kelvaro
