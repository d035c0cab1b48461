#pragma once

#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "agents.hpp"
#include "config.hpp"
#include "context.hpp"
#include "report.hpp"
#include "result.hpp"

// The `mcp` subcommands: managing the Commons MCP servers everywhere at once. Each takes the
// run's context, configuration and `Reporter` and returns the exit status. Those that take the
// lock plan their changes from `kelvaro.toml` as read again under it (`take_lock`): the
// configuration of start-up decides only what they answer without the lock.
namespace kelvaro {

// `mcp list`: every Commons server, then every server only agents hold, each with its state in
// every agent that concerns it; `json` prints one document instead of the lines. Takes no lock
// and writes nothing. Returns 1 after an error, else 2 when some server is missing, drifted or
// disabled in some agent, else 0.
int mcp_list(const RunContext& ctx, const Config& config, Reporter& reporter, bool json);

// `mcp adopt [SPEC] [--all]`: takes the server `spec` (agent/server), or with `all` every server
// of every agent's MCP file, into the Commons `mcp.json`, recording allowlists and tweaks in
// `kelvaro.toml`. Never writes an agent's file.
int mcp_adopt(const RunContext& ctx, const Config& config, Reporter& reporter,
              const std::optional<std::string>& spec, bool all);

// `mcp enable NAME`: drops the server's `disabled` member and writes it back into every agent
// the plan targets whose entry is missing or differs.
int mcp_enable(const RunContext& ctx, const Config& config, Reporter& reporter,
               std::string_view name);

// `mcp disable NAME`: removes the server from every installed agent's MCP file and marks it
// `"disabled": true` in the Commons.
int mcp_disable(const RunContext& ctx, const Config& config, Reporter& reporter,
                std::string_view name);

// `mcp remove NAME`: removes the server from every installed agent's MCP file, its
// `[mcp.<name>]` table from `kelvaro.toml` and its definition from the Commons.
int mcp_remove(const RunContext& ctx, const Config& config, Reporter& reporter,
               std::string_view name);

// Warns once about the members of the standard-shape `server`'s `env` and `headers` whose names
// look like credentials (token, secret, password, passwd, key, auth, in any case) and whose
// values are literal strings, without any "${env:" reference.
void warn_literal_credentials(std::string_view name, const nlohmann::ordered_json& server,
                              Reporter& reporter);

}  // namespace kelvaro
