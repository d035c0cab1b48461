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

// A candidate the run took, and what it says once the run keeps it. `tweak` is what to record
// for the agent (an empty one removes a recorded tweak); none leaves the recorded one, which
// the rendering it was confirmed by used.
struct Accepted {
  std::string server;
  std::string agent;
  bool added = false;
  std::vector<std::string> notes{};
  Json standard{};
  std::optional<Json> tweak{};
};

// What the candidates share while they are adopted one after another.
struct AdoptRun {
  const RunContext& ctx;
  const Config& config;
  Reporter& reporter;
  ServerMap& servers;
  std::vector<std::string> mcp_agents{};
  // Each agent file's servers, read once, under the lock; an agent whose file could not be
  // read (and was reported) has none.
  std::map<std::string, Json> held{};
  std::vector<Accepted> accepted{};
  // The servers this run adds to the Commons.
  std::set<std::string> new_servers{};
  // The allowlist each server taken leaves the run with; none when every agent shares it.
  std::map<std::string, std::optional<std::vector<std::string>>> scopes{};
};

const McpFile* file_of(const McpFiles& files, const Agent& agent) {
  const auto found = std::find_if(files.files.begin(), files.files.end(),
                                  [&](const McpFile& file) { return file.agent == agent.name; });
  return found != files.files.end() ? &*found : nullptr;
}

// Reads the servers of `file` into the run; false after reporting why it could not.
bool read_held(AdoptRun& run, const McpFile& file) {
  auto held = read_agent_servers(file.path, file.key, file.format);
  if (!held) {
    report_error(run.reporter, held.error());
    return false;
  }
  run.held[file.agent] = std::move(*held);
  return true;
}

// The candidates of every agent's MCP file; false when some file could not be read.
bool collect_all(AdoptRun& run, const std::vector<Agent>& agents, const McpFiles& files,
                 std::vector<AdoptCandidate>& candidates) {
  bool all_read = files.refused.empty();
  for (const Agent& agent : agents) {
    const McpFile* file = file_of(files, agent);
    if (file == nullptr) {
      continue;
    }
    if (!read_held(run, *file)) {
      all_read = false;
      continue;
    }
    for (const auto& entry : run.held[file->agent].items()) {
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

// Takes the candidate into the Commons in memory, or reports why not.
std::optional<Accepted> adopt_one(AdoptRun& run, const AdoptCandidate& candidate) {
  const Agent& agent = *candidate.agent;
  const std::string& name = candidate.server;
  const std::string shown = visible_text(name);
  const std::string agent_shown = visible_text(agent.name);
  if (candidate.file == nullptr) {
    report_error(run.reporter, fmt::format("{} has no MCP surface", agent_shown));
    return std::nullopt;
  }
  const McpFile& file = *candidate.file;
  const auto held = run.held.find(agent.name);
  if (held == run.held.end()) {
    return std::nullopt;
  }
  const auto entry = held->second.find(name);
  if (entry == held->second.end()) {
    report_error(run.reporter, fmt::format("`{}` is not in {}'s config", shown, agent_shown));
    return std::nullopt;
  }

  const auto known = run.servers.find(name);
  const bool existing = known != run.servers.end();
  // What `sync` wrote is the Commons copy as it stands: read back, its resolved references and
  // dialect would pass for a different server, and its tweak for a new one.
  if (existing) {
    auto rendered = render_for_file(run.ctx, run.config, file, name, *known);
    if (rendered && same_agent_entry(file.shape, *rendered, *entry)) {
      return Accepted{.server = name, .agent = agent.name, .standard = *known};
    }
  }

  auto adopted = standardise_server(name, *entry, file.shape);
  if (!adopted) {
    report_error(run.reporter, adopted.error());
    return std::nullopt;
  }
  if (existing && !same_server(*known, adopted->server)) {
    report_error(run.reporter,
                 fmt::format("`{}` in {} differs from the Commons copy — merge it by hand; "
                             "kelvaro will not choose which side to discard",
                             shown, agent_shown));
    return std::nullopt;
  }

  std::optional<Json> tweak;
  if (!adopted->tweak.empty()) {
    tweak = adopted->tweak;
  }
  auto diff = render_diff(name, adopted->server, file.shape, *entry, run.ctx, tweak);
  if (!diff) {
    report_error(run.reporter, diff.error());
    return std::nullopt;
  }
  if (!diff->empty()) {
    report_error(run.reporter, visible_text(fmt::format(
                                   "`{}` in {}: {} cannot be represented faithfully — not adopted",
                                   name, agent.name, fmt::join(*diff, ", "))));
    return std::nullopt;
  }
  if (tweak) {
    // Refused here, not when the settings are recorded, so that the server's other agents
    // are still adopted.
    if (auto converted = tweak_table(name, agent.name, *tweak); !converted) {
      report_error(run.reporter, converted.error());
      return std::nullopt;
    }
  }

  if (!existing) {
    run.servers[name] = adopted->server;
    run.new_servers.insert(name);
  }
  return Accepted{.server = name,
                  .agent = agent.name,
                  .added = !existing,
                  .notes = std::move(adopted->notes),
                  .standard = std::move(adopted->server),
                  .tweak = std::move(adopted->tweak)};
}

// The servers the run took, each once, in the order first taken.
std::vector<std::string> servers_taken(const AdoptRun& run) {
  std::vector<std::string> names;
  for (const Accepted& accepted : run.accepted) {
    if (std::find(names.begin(), names.end(), accepted.server) == names.end()) {
      names.push_back(accepted.server);
    }
  }
  return names;
}

// The allowlist `server` leaves the run with; none when every agent shares it. A server the
// Commons held already keeps every agent of its scope and gains those it was taken from; the
// scope of a new one is the agents it was taken from, unless that is every MCP agent.
std::optional<std::vector<std::string>> scope_of(const AdoptRun& run, const std::string& server) {
  std::vector<std::string> from;
  if (run.new_servers.count(server) == 0) {
    const auto settings = run.config.mcp.find(server);
    if (settings == run.config.mcp.end() || !settings->second.agents) {
      return std::nullopt;
    }
    from = *settings->second.agents;
  }
  for (const Accepted& accepted : run.accepted) {
    if (accepted.server == server &&
        std::find(from.begin(), from.end(), accepted.agent) == from.end()) {
      from.push_back(accepted.agent);
    }
  }
  if (run.new_servers.count(server) > 0 &&
      std::all_of(run.mcp_agents.begin(), run.mcp_agents.end(), [&](const std::string& agent) {
        return std::find(from.begin(), from.end(), agent) != from.end();
      })) {
    return std::nullopt;
  }
  return from;
}

// Forgets what the run took of `server`: a new one leaves the Commons again.
void drop_server(AdoptRun& run, const std::string& server) {
  if (run.new_servers.erase(server) > 0) {
    run.servers.erase(server);
  }
  std::erase_if(run.accepted, [&](const Accepted& accepted) { return accepted.server == server; });
}

// Records each server's scope and tweaks in one write of `kelvaro.toml`. A server whose
// settings cannot be recorded is not taken, and when the file cannot be written nothing is:
// a new server without its allowlist would reach every agent.
void record_settings(AdoptRun& run) {
  if (run.accepted.empty()) {
    return;
  }
  auto file = read_config_for_edit(run.ctx.config_dir);
  if (!file) {
    report_error(run.reporter, file.error());
    for (const std::string& server : servers_taken(run)) {
      drop_server(run, server);
    }
    return;
  }
  for (const std::string& server : servers_taken(run)) {
    const bool added = run.new_servers.count(server) > 0;
    run.scopes[server] = scope_of(run, server);
    ServerSettingsEdit edit{
        .server = server,
        .agents = run.scopes[server],
        .absent = added ? AbsentAgents::share_with_all : AbsentAgents::keep_list};
    for (const Accepted& accepted : run.accepted) {
      if (accepted.server == server && accepted.tweak) {
        edit.tweaks[accepted.agent] = *accepted.tweak;
      }
    }
    if (auto edited = edit_server_settings(*file, edit); !edited) {
      report_error(run.reporter, edited.error());
      drop_server(run, server);
    }
  }
  if (auto written = write_config_edit(run.ctx.config_dir, *file); !written) {
    report_error(run.reporter, written.error());
    for (const std::string& server : servers_taken(run)) {
      drop_server(run, server);
    }
  }
}

// The lines of every candidate the run kept, each server's scope once, after its last one.
void print_kept(AdoptRun& run) {
  for (std::size_t i = 0; i < run.accepted.size(); ++i) {
    const Accepted& accepted = run.accepted[i];
    const std::string shown = visible_text(accepted.server);
    if (accepted.added) {
      print_line(run.reporter,
                 fmt::format("adopted {} from {}", shown, visible_text(accepted.agent)));
    } else {
      print_line(run.reporter, fmt::format("{} is already in the Commons", shown));
    }
    for (const std::string& note : accepted.notes) {
      print_line(run.reporter, fmt::format("  note: {}", visible_text(note)));
    }
    const bool last =
        std::none_of(run.accepted.begin() + static_cast<std::ptrdiff_t>(i) + 1, run.accepted.end(),
                     [&](const Accepted& later) { return later.server == accepted.server; });
    const auto scope = run.scopes.find(accepted.server);
    if (last && scope != run.scopes.end() && scope->second) {
      print_line(run.reporter,
                 fmt::format("  scoped to {} — remove the allowlist in kelvaro.toml to share it",
                             visible_text(fmt::format("{}", fmt::join(*scope->second, ", ")))));
    }
    warn_literal_credentials(accepted.server, accepted.standard, run.reporter);
  }
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

int mcp_adopt(const RunContext& ctx, const Config& /*config*/, Reporter& reporter,
              const std::optional<std::string>& spec, bool all) {
  const std::uint64_t errors_before = reporter.errors;
  // The Commons file is written back whole, and what is adopted must be what the agents hold
  // as the configuration read under the lock lists them: all are read only once no other run
  // can change them.
  auto lock = take_lock(ctx, reporter);
  if (!lock) {
    return 1;
  }
  const std::vector<Agent> agents = list_agents(ctx.home, lock->config);
  const McpFiles files = mcp_files(ctx, agents);
  report_errors(reporter, files.refused);
  std::optional<AdoptCandidate> named;
  if (!all) {
    named = parse_spec(spec, agents, files, reporter);
    if (!named) {
      return 1;
    }
  }
  const fs::path commons_file = commons_mcp_file(ctx.commons);
  auto servers = load_commons_servers(commons_file);
  if (!servers) {
    report_error(reporter, servers.error());
    return 1;
  }
  AdoptRun run{.ctx = ctx, .config = lock->config, .reporter = reporter, .servers = *servers};
  for (const Agent& agent : agents) {
    if (has_mcp_file(agent)) {
      run.mcp_agents.push_back(agent.name);
    }
  }

  std::vector<AdoptCandidate> candidates;
  if (all) {
    const bool all_read = collect_all(run, agents, files, candidates);
    if (candidates.empty()) {
      print_line(reporter, "no servers found to adopt");
      return all_read ? 0 : 1;
    }
  } else {
    if (named->file != nullptr) {
      (void)read_held(run, *named->file);
    }
    candidates.push_back(*named);
  }

  for (const AdoptCandidate& candidate : candidates) {
    if (auto accepted = adopt_one(run, candidate)) {
      run.accepted.push_back(std::move(*accepted));
    }
  }
  record_settings(run);
  if (!run.new_servers.empty()) {
    if (auto written = write_commons_servers(commons_file, *servers); !written) {
      report_error(reporter, written.error());
      std::erase_if(run.accepted, [&](const Accepted& accepted) {
        return run.new_servers.count(accepted.server) > 0;
      });
    }
  }
  print_kept(run);
  return reporter.errors != errors_before ? 1 : 0;
}

}  // namespace kelvaro
