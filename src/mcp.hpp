#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agents.hpp"
#include "config.hpp"
#include "context.hpp"
#include "documents.hpp"
#include "fsutil.hpp"
#include "result.hpp"
#include "section.hpp"

// MCP servers: the Commons `mcp.json`, the five dialects agents store servers in, the
// `${env:NAME}` references, the plan that compares the Commons with every agent, and the
// readers and editors of the agents' own MCP configuration files.
namespace kelvaro {

// --- the Commons server file -------------------------------------------------------------

// The Commons servers: a JSON object from server name to server (an object in the standard
// shape whose `disabled` member, when present, is a boolean). Being an ordered object it keeps
// insertion order: a new name is appended, a replaced value keeps its place, a removed name
// lets the later ones move up. Loading sorts the names byte-wise.
using ServerMap = Json;

// Reads and checks the Commons server file at `path`: its `mcpServers` servers sorted by name.
// Fails with "cannot read {}: {}", "{} is not valid JSON: {}", "{} must hold an `mcpServers`
// object at the top level", "{}: server `{}` must be an object" or "{}: server `{}`: `disabled`
// must be true or false".
Result<ServerMap> parse_commons_servers(const std::filesystem::path& path);

// As `parse_commons_servers`, but when `path` (links followed) is no regular file, or cannot
// be looked at, the result is an empty map and no message.
Result<ServerMap> load_commons_servers(const std::filesystem::path& path);

// Writes `servers` as the `mcpServers` of the file `path`, every other top-level member of the
// file as it stands kept in its place (a new file holds only `mcpServers`), pretty with
// two-space indent, one final line feed, through `write_atomic`. Fails with "cannot read {}:
// {}", "{} is not valid JSON: {}", "cannot serialise {}: {}" or "cannot write {}: {}"; the old
// file is then unchanged.
Result<void> write_commons_servers(const std::filesystem::path& path, const ServerMap& servers);

// --- environment references ----------------------------------------------------------------

// `value` with every "${env:NAME}" inside its strings (at any depth, member names excepted)
// replaced by NAME's value in `ctx.env`; an unterminated reference stays as written and an
// inserted value is not scanned again. Fails with "mcp server `{name}`: ${env:{}} is not set
// in the environment" for a variable that is absent or empty.
Result<Json> expand_env_refs(std::string_view name, const Json& value, const RunContext& ctx);

// True when the compact JSON text of `value` holds "${env:" anywhere (member names included).
bool has_env_refs(const Json& value);

// --- dialects --------------------------------------------------------------------------------

// The transport of a standard-shape server.
enum class Transport { stdio, http, sse };

// `type` when it is exactly "stdio", "http" or "sse"; else http for a server with `url` and no
// `command`, stdio otherwise.
Transport transport_of(const Json& server);

// The entry an agent of dialect `shape` should hold for the Commons server `server` called
// `name`: translated, `disabled` dropped, `tweak` members merged last (in the agent's dialect),
// and, with `expand`, every environment reference of server and tweak resolved. A remote
// server without `type` gets its transport first for claude; an sse server is `url` and
// `type` "sse" for gemini. Fails only with the message of `expand_env_refs`.
Result<Json> render_server(std::string_view name, const RunContext& ctx, const Json& server,
                           ServerShape shape, const std::optional<Json>& tweak, bool expand);

// An agent's entry read back into the standard shape: `server`, the members that have no place
// there (`tweak`, nulls left out), and notes for the user in the order they arose.
struct AdoptedServer {
  Json server;
  Json tweak;
  std::vector<std::string> notes;

  bool operator==(const AdoptedServer&) const = default;
};

// Reads the agent entry `entry` of dialect `shape` back into the standard shape: a codex `url`
// is http; a gemini `type` of "stdio", "http" or "sse" is the standard `type` (a bare gemini
// `url` is sse, `httpUrl` http). The standard shape leaves out an empty `args`, `env` or
// `headers`, and the `type` of a local server when it is "stdio". Fails with "server `{name}`
// is not an object".
Result<AdoptedServer> standardise_server(std::string_view name, const Json& entry,
                                         ServerShape shape);

// True when the agent entry `entry` is, for an agent of dialect `shape`, the same entry as
// `rendered` (what kelvaro renders there): the one comparison every command uses to decide
// whether an agent's entry is kelvaro's copy of a Commons server. Equal JSON, or two spellings
// the agent reads alike: gemini's `{"url": U, "type": "http"}` and `{"httpUrl": U}`; an empty
// `args`, `env` or `headers` (in the dialect's names) and a `type` naming the transport the
// entry implies count as left out (claude keeps a remote entry's `type`, which it needs).
bool same_agent_entry(ServerShape shape, const Json& rendered, const Json& entry);

// The member names in which `entry` differs from `rendered` as `same_agent_entry` sees them
// (members that count as left out are left out): empty when it holds.
std::vector<std::string> entry_drift(ServerShape shape, const Json& rendered, const Json& entry);

// True when the standard-shape servers `a` and `b` are equal once a missing `type` is read as
// `transport_of` infers it and an empty `args`, `env` or `headers` as missing: they render
// alike for every agent.
bool same_server(const Json& a, const Json& b);

// The member names in which the objects `a` and `b` differ (`json_equal`; a value that is not
// an object counts as empty), sorted byte-wise, each once.
std::vector<std::string> differing_keys(const Json& a, const Json& b);

// The names in which `entry` differs from `server` rendered with `tweak` for `shape`, without
// expanding references: none when `same_agent_entry` holds, or when the two differ only in a
// `type` naming the transport both mean (one kelvaro adds for the agent's sake). Fails with
// the render's message.
Result<std::vector<std::string>> render_diff(std::string_view name, const Json& server,
                                             ServerShape shape, const Json& entry,
                                             const RunContext& ctx,
                                             const std::optional<Json>& tweak);

// --- agents' configuration files -----------------------------------------------------------

// True when `agent` is a built-in agent whose servers live in a configuration file of its own
// (a key-merge MCP route).
bool has_mcp_file(const Agent& agent);

// One agent's own MCP file: where its servers stand and in which dialect.
struct McpFile {
  std::string agent{};
  std::filesystem::path path{};
  std::string key{};
  ServerShape shape = ServerShape::standard;
  FileFormat format = FileFormat::json;

  bool operator==(const McpFile&) const = default;
};

// The MCP files of the agents among `agents` that have one, in list order. A file that is the
// Commons `mcp.json` itself (links followed, hard links included) is no agent's: it is left
// out, and `refused` holds "{path} is the Commons mcp.json — left untouched" for it.
struct McpFiles {
  std::vector<McpFile> files{};
  std::vector<std::string> refused{};

  bool operator==(const McpFiles&) const = default;
};

McpFiles mcp_files(const RunContext& ctx, const std::vector<Agent>& agents);

// The servers the agent's file `path` holds under `key` (a JSON object from name to entry, in
// file order). A missing key, and a JSON file whose top level is no object, hold none. Fails
// with the reading messages, "{}: `{}` is not an object — left untouched" (JSON), or "{}: {} —
// left untouched" around "invalid TOML (line {}, column {})" or "`{}` is not a table" (TOML).
Result<Json> read_agent_servers(const std::filesystem::path& path, std::string_view key,
                                FileFormat format);

struct McpItem;

// Writes the `rendered` entry of each of `items` (all naming the file `path`) under its server
// name in `key`: a held server keeps its place, a new one goes last, nothing else changes. A
// JSON file is printed pretty without a final line end; a TOML file is edited in place, its
// byte-order mark and CR LF line ends kept. A file this creates is readable by its owner alone,
// since entries hold resolved secrets; an existing file keeps its mode. Every failure leaves
// the file as it was and is one message ending "— left untouched", or "cannot serialise {}:
// {}", "cannot write {}: {}".
Result<WriteOutcome> write_agent_servers(const std::filesystem::path& path, std::string_view key,
                                         FileFormat format, const std::vector<McpItem>& items);

// Removes the server `name` from `key` of the file `path`: the outcome of the write, or nullopt
// when the file does not hold it (nothing is written). A TOML file is printed as the document
// prints, without restoring a byte-order mark or CR LF. Fails with the messages of the readers
// and writers above.
Result<std::optional<WriteOutcome>> remove_agent_servers(const std::filesystem::path& path,
                                                         std::string_view key, FileFormat format,
                                                         std::string_view name);

// --- the plan --------------------------------------------------------------------------------

enum class McpState { managed, missing, drifted, foreign, stranded, disabled };

// "managed", "missing", "drifted", "foreign", "stranded", "disabled".
std::string_view to_string(McpState state);

// True for the states `sync` changes: missing and drifted (written), disabled (removed).
bool is_actionable(McpState state);
// True for the states a report counts as needing attention: those `sync` changes.
bool needs_attention(McpState state);

// True when the Commons server `server` is parked: its `disabled` member is the boolean true.
bool is_disabled_server(const Json& server);

// Parks the Commons server `server` (`"disabled": true`, in the place of a `disabled` member
// already there, else last) or, with `disabled` false, takes the member out, the others keeping
// their order. A value that is not an object is left as it is.
void set_disabled(Json& server, bool disabled);

// What kelvaro renders for the Commons server `server` called `name` in `file`: the agent's
// dialect, its recorded tweak, every reference resolved. Fails with `render_server`'s message.
Result<Json> render_for_file(const RunContext& ctx, const Config& config, const McpFile& file,
                             std::string_view name, const Json& server);

// One agent and one server. `path`, `key` and `format` address the agent's file, so a writer
// needs nothing but items. `rendered` is present for managed, missing and drifted items;
// `drift` lists the differing member names of a drifted one; `env_refs` says that `rendered`
// holds values resolved from the environment. A foreign item with `shadows` stands under the
// name of a Commons server but is the agent's own server, not kelvaro's copy.
struct McpItem {
  std::string agent{};
  std::string server{};
  std::filesystem::path path{};
  std::vector<std::string> drift{};
  std::optional<Json> rendered{};
  std::string key{};
  FileFormat format = FileFormat::json;
  bool env_refs = false;
  bool shadows = false;
  McpState state = McpState::managed;

  bool operator==(const McpItem&) const = default;
};

// True when the item's entry is kelvaro's to write or take out: every state but foreign. An
// agent's entry under a Commons server's name is kelvaro's when the server is rendered into
// that agent (no allowlist, or one that admits it) or when it equals kelvaro's rendering there;
// any other entry is the user's and no command removes it.
bool is_kelvaros(const McpItem& item);

// Items agent by agent (in list order), within an agent the Commons servers by name and then
// the agent's foreign entries in file order. Errors: one per agent file that cannot be read
// or is the Commons file (that agent has no items). Fatal: the Commons file's one message, or
// each distinct render failure.
using McpPlan = Section<McpItem>;

// Plans the Commons servers of `mcp_json` against the MCP files of `agents` (the installed
// agents in list order). No regular file at `mcp_json`: an empty plan, no agent file read.
McpPlan plan_mcp(const RunContext& ctx, const Config& config, const std::vector<Agent>& agents,
                 const std::filesystem::path& mcp_json);

// Plans `servers` (name order) against the MCP files of the agents among `agents` that have
// one, with the allowlists and tweaks of `config`.
McpPlan plan_mcp_agents(const RunContext& ctx, const Config& config,
                        const std::vector<Agent>& agents, const ServerMap& servers);

// The note of the item's state: "not in this agent's config yet", "differs from the Commons
// ({drift}) — will be restored", "not in the Commons — left alone", "not the Commons copy of
// this server — left alone", ...; empty for managed.
std::string describe_mcp_item(const McpItem& item);

}  // namespace kelvaro
