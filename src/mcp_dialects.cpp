#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <utility>

#include "mcp.hpp"

// Translating Commons servers into the five dialects agents store them in, and back.
namespace kelvaro {

namespace {

// "stdio", "http", "sse".
std::string_view to_string(Transport transport) {
  switch (transport) {
    case Transport::stdio:
      return "stdio";
    case Transport::http:
      return "http";
    case Transport::sse:
      return "sse";
  }
  return "";
}

constexpr std::array<std::string_view, 6> standard_keys = {"type", "command", "args",
                                                           "env",  "url",     "headers"};

bool is_standard_key(std::string_view key) {
  return std::find(standard_keys.begin(), standard_keys.end(), key) != standard_keys.end();
}

bool is_remote(Transport transport) {
  return transport == Transport::http || transport == Transport::sse;
}

// Puts `value` under `key` in `object`: an existing member is replaced in its place, a new
// one is appended.
void put(Json& object, std::string_view key, Json value) {
  object[std::string(key)] = std::move(value);
}

// Copies `from`'s member `key` into `to` under the name `as`.
void copy_key_as(const Json& from, std::string_view key, std::string_view as, Json& to) {
  if (const auto found = from.find(key); found != from.end()) {
    put(to, as, *found);
  }
}

void copy_tweak_keys(const Json& from, Json& to) {
  for (const auto& [key, value] : from.items()) {
    if (!is_standard_key(key)) {
      put(to, key, value);
    }
  }
}

// Drops null members of objects at any depth of objects; arrays are not entered.
void strip_nulls(Json& value) {
  if (!value.is_object()) {
    return;
  }
  for (auto it = value.begin(); it != value.end();) {
    if (it->is_null()) {
      it = value.erase(it);
    } else {
      strip_nulls(*it);
      ++it;
    }
  }
}

// How one dialect spells a server. Rendering and reading back both follow it, so the two
// directions cannot drift apart.
struct Dialect {
  // The entry is the standard server itself.
  bool standard_members = false;
  // Claude skips a remote entry without `type`, so one is added, first, as claude writes it.
  bool names_remote_transport = false;
  // The names of a local server's program, arguments and environment.
  std::string_view command = "command";
  std::string_view args = "args";
  std::string_view env = "env";
  // OpenCode takes the program and its arguments as one list under `command`.
  bool joined_command = false;
  // The name of a remote server's address, for each remote transport, and of its headers.
  std::string_view http_url = "url";
  std::string_view sse_url = "url";
  std::string_view headers = "headers";
  // The `type` word put first in a local and in a remote entry (empty: none).
  std::string_view local_word{};
  std::string_view remote_word{};
  // An sse entry says so in `type` after its address: the agent reads a bare address as http.
  bool names_sse = false;
  // A `type` of "stdio", "http" or "sse" in the agent's entry is the standard `type`.
  bool reads_type = false;
  // Why reading cannot tell http from sse (the start of the note), or empty when the
  // address's name tells; where both transports share one name, it means http.
  std::string_view untold_transport{};
  // Reading takes the local members and `headers` on either side.
  bool reads_both_sides = false;
  // TOML has no null.
  bool drops_nulls = false;
};

const Dialect& dialect_of(ServerShape shape) {
  static const Dialect standard{.standard_members = true};
  static const Dialect claude{.standard_members = true, .names_remote_transport = true};
  static const Dialect codex{.headers = "http_headers", .drops_nulls = true};
  static const Dialect opencode{.env = "environment",
                                .joined_command = true,
                                .local_word = "local",
                                .remote_word = "remote",
                                .untold_transport = "OpenCode has one remote transport"};
  static const Dialect gemini{
      .http_url = "httpUrl", .names_sse = true, .reads_type = true, .reads_both_sides = true};
  static const Dialect windsurf{.http_url = "serverUrl",
                                .sse_url = "serverUrl",
                                .untold_transport = "Windsurf records no transport",
                                .reads_both_sides = true};
  switch (shape) {
    case ServerShape::standard:
      return standard;
    case ServerShape::claude:
      return claude;
    case ServerShape::codex:
      return codex;
    case ServerShape::opencode:
      return opencode;
    case ServerShape::gemini:
      return gemini;
    case ServerShape::windsurf:
      return windsurf;
  }
  return standard;
}

std::optional<Transport> transport_named(const Json& type) {
  if (type.is_string()) {
    for (Transport transport : {Transport::stdio, Transport::http, Transport::sse}) {
      if (type == to_string(transport)) {
        return transport;
      }
    }
  }
  return std::nullopt;
}

Json translate(const Json& server, ServerShape shape) {
  const Dialect& d = dialect_of(shape);
  const Transport transport = transport_of(server);
  if (d.standard_members) {
    if (!d.names_remote_transport || server.contains("type") || !is_remote(transport)) {
      return server;
    }
    Json entry = {{"type", to_string(transport)}};
    for (const auto& [key, value] : server.items()) {
      put(entry, key, value);
    }
    return entry;
  }
  Json entry = Json::object();
  if (is_remote(transport)) {
    if (!d.remote_word.empty()) {
      put(entry, "type", d.remote_word);
    }
    copy_key_as(server, "url", transport == Transport::http ? d.http_url : d.sse_url, entry);
    if (transport == Transport::sse && d.names_sse) {
      put(entry, "type", to_string(transport));
    }
    copy_key_as(server, "headers", d.headers, entry);
  } else {
    if (!d.local_word.empty()) {
      put(entry, "type", d.local_word);
    }
    if (d.joined_command) {
      Json command = Json::array();
      if (const auto program = server.find("command");
          program != server.end() && program->is_string()) {
        command.push_back(*program);
      }
      if (const auto args = server.find("args"); args != server.end() && args->is_array()) {
        for (const Json& arg : *args) {
          command.push_back(arg);
        }
      }
      if (!command.empty()) {
        put(entry, d.command, std::move(command));
      }
    } else {
      copy_key_as(server, "command", d.command, entry);
      copy_key_as(server, "args", d.args, entry);
    }
    copy_key_as(server, "env", d.env, entry);
  }
  copy_tweak_keys(server, entry);
  if (d.drops_nulls) {
    strip_nulls(entry);
  }
  return entry;
}

// Reading an entry back: each member taken into the standard object is remembered, so that
// the rest can become the tweak.
struct Taker {
  const Json& entry;
  Json standard = Json::object();
  std::vector<std::string> taken{};

  void take_as(std::string_view key, std::string_view as) {
    if (const auto found = entry.find(key); found != entry.end()) {
      put(standard, as, *found);
      taken.emplace_back(key);
    }
  }
  void take(std::string_view key) { take_as(key, key); }
  bool has(std::string_view key) const { return entry.contains(key); }
  bool was_taken(const std::string& key) const {
    return std::find(taken.begin(), taken.end(), key) != taken.end();
  }
};

void take_local(const Dialect& d, Taker& taker) {
  if (!d.joined_command) {
    taker.take_as(d.command, "command");
    taker.take_as(d.args, "args");
  } else if (const auto command = taker.entry.find(d.command); command != taker.entry.end()) {
    if (!command->is_array()) {
      put(taker.standard, "command", *command);
    } else if (!command->empty()) {
      put(taker.standard, "command", command->front());
      if (command->size() > 1) {
        put(taker.standard, "args", Json(Json::array_t(command->begin() + 1, command->end())));
      }
    }
    taker.taken.emplace_back(d.command);
  }
  taker.take_as(d.env, "env");
}

// The standard members of a non-standard entry; a transport note when the entry cannot say
// which remote transport it speaks.
std::optional<std::string> take_by_dialect(std::string_view name, const Dialect& d, Taker& taker) {
  const Json& entry = taker.entry;
  const auto type = entry.find("type");
  const bool string_type = type != entry.end() && type->is_string();
  std::optional<std::string_view> url_key;
  std::optional<Transport> transport;
  if (!d.remote_word.empty()) {
    // The entry's own word decides its side, whatever else it holds.
    taker.taken.emplace_back("type");
    if (string_type ? *type == d.remote_word : taker.has(d.sse_url)) {
      url_key = d.sse_url;
    }
  } else if (taker.has(d.http_url)) {
    url_key = d.http_url;
    transport = Transport::http;
  } else if (taker.has(d.sse_url)) {
    url_key = d.sse_url;
    transport = Transport::sse;
  }
  if (url_key && !d.untold_transport.empty()) {
    transport = std::nullopt;
  }
  if (d.reads_type && string_type) {
    const std::optional<Transport> named = transport_named(*type);
    // The agent takes a distinct http address over whatever `type` says: a contrary word
    // stays the agent's own.
    const bool contrary = url_key == d.http_url && d.http_url != d.sse_url && named != transport;
    if (named && !contrary) {
      transport = named;
      taker.taken.emplace_back("type");
    }
  }

  if (transport && (url_key || taker.was_taken("type"))) {
    put(taker.standard, "type", to_string(*transport));
  }
  std::optional<std::string> note;
  if (url_key) {
    taker.take_as(*url_key, "url");
    if (!transport) {
      note = fmt::format("`{}`: {}, so http and sse cannot be told apart — no `type` was recorded",
                         name, d.untold_transport);
    }
  }
  if (d.reads_both_sides) {
    take_local(d, taker);
    taker.take_as(d.headers, "headers");
  } else if (url_key) {
    taker.take_as(d.headers, "headers");
  } else {
    take_local(d, taker);
  }
  return note;
}

std::string joined(const std::vector<std::string>& names) {
  return fmt::format("{}", fmt::join(names, ", "));
}

// The entry as the agent reads it, for agents that accept two spellings of one entry: gemini
// takes `url` with `type` "http" as it takes `httpUrl` (kelvaro writes the older name, which it
// still reads first), and a local entry's `type` "stdio" changes nothing.
Json respelled(const Dialect& d, const Json& entry) {
  if (!d.reads_type || !entry.is_object()) {
    return entry;
  }
  const auto type = entry.find("type");
  if (type == entry.end() || entry.contains(d.http_url)) {
    return entry;
  }
  Json spelled = entry;
  if (!entry.contains(d.sse_url)) {
    if (*type == to_string(Transport::stdio)) {
      spelled.erase("type");
    }
  } else if (*type == to_string(Transport::http)) {
    spelled.erase("type");
    put(spelled, d.http_url, entry[std::string(d.sse_url)]);
    spelled.erase(std::string(d.sse_url));
  }
  return spelled;
}

bool is_empty_list_or_set(const Json& value) {
  return (value.is_array() || value.is_object()) && value.empty();
}

// `entry` without the members that say nothing to the agent: an empty list of arguments, an
// empty environment or set of headers, and a `type` naming the transport the entry means
// without it. One agent's own `mcp add` writes them and another's does not, so they never make
// two entries of one server differ. With `remote_type`, or for claude, which needs it, the
// `type` of a remote entry stays.
Json without_fillers(const Dialect& d, const Json& entry, bool remote_type = false) {
  if (!entry.is_object()) {
    return entry;
  }
  Json plain = entry;
  for (std::string_view key : {d.args, d.env, d.headers}) {
    // OpenCode's arguments live inside `command`, which an entry needs whatever it holds.
    if (key == d.args && d.joined_command) {
      continue;
    }
    if (const auto found = plain.find(key); found != plain.end() && is_empty_list_or_set(*found)) {
      plain.erase(found);
    }
  }
  if (d.standard_members) {
    const auto type = plain.find("type");
    if (type != plain.end()) {
      Json untyped = plain;
      untyped.erase("type");
      const Transport implied = transport_of(untyped);
      const bool kept = (remote_type || d.names_remote_transport) && is_remote(implied);
      if (transport_named(*type) == implied && !kept) {
        plain.erase("type");
      }
    }
  }
  return plain;
}

// The entry as `same_agent_entry` compares it.
Json comparable(const Dialect& d, const Json& entry) {
  return without_fillers(d, respelled(d, entry));
}

// True when the agent's entry and kelvaro's rendering differ only in a `type` that names the
// transport both already mean: kelvaro writes it where the agent's own loader needs it.
bool states_only_transport(std::string_view name, ServerShape shape, const Json& entry,
                           const Json& rendered) {
  for (const Json* side : {&entry, &rendered}) {
    const auto type = side->find("type");
    if (type != side->end() && !transport_named(*type)) {
      return false;
    }
  }
  auto held = standardise_server(name, entry, shape);
  auto written = standardise_server(name, rendered, shape);
  return held && written && same_server(held->server, written->server) &&
         json_equal(held->tweak, written->tweak);
}

}  // namespace

Transport transport_of(const Json& server) {
  if (!server.is_object()) {
    return Transport::stdio;
  }
  if (const auto type = server.find("type"); type != server.end() && type->is_string()) {
    const auto& word = type->get_ref<const std::string&>();
    for (Transport transport : {Transport::stdio, Transport::http, Transport::sse}) {
      if (word == to_string(transport)) {
        return transport;
      }
    }
  }
  return server.contains("url") && !server.contains("command") ? Transport::http : Transport::stdio;
}

Result<Json> render_server(std::string_view name, const RunContext& ctx, const Json& server,
                           ServerShape shape, const std::optional<Json>& tweak, bool expand) {
  Json source = server;
  if (expand) {
    auto expanded = expand_env_refs(name, server, ctx);
    if (!expanded) {
      return expanded;
    }
    source = std::move(*expanded);
  }
  if (!source.is_object()) {
    return source;
  }
  set_disabled(source, false);
  Json entry = translate(source, shape);
  if (tweak) {
    Json extra = *tweak;
    if (expand) {
      auto expanded = expand_env_refs(name, *tweak, ctx);
      if (!expanded) {
        return expanded;
      }
      extra = std::move(*expanded);
    }
    if (entry.is_object() && extra.is_object()) {
      for (const auto& [key, value] : extra.items()) {
        put(entry, key, value);
      }
    }
  }
  if (dialect_of(shape).drops_nulls) {
    strip_nulls(entry);
  }
  return entry;
}

Result<AdoptedServer> standardise_server(std::string_view name, const Json& entry,
                                         ServerShape shape) {
  if (!entry.is_object()) {
    return unexpected(fmt::format("server `{}` is not an object", name));
  }
  Taker taker{.entry = entry};
  AdoptedServer adopted;
  const Dialect& d = dialect_of(shape);
  if (d.standard_members) {
    for (std::string_view key : standard_keys) {
      taker.take(key);
    }
  } else if (auto note = take_by_dialect(name, d, taker)) {
    adopted.notes.push_back(std::move(*note));
  }

  Json tweak = Json::object();
  std::vector<std::string> without_value;
  for (const auto& [key, value] : entry.items()) {
    if (taker.was_taken(key)) {
      continue;
    }
    if (value.is_null()) {
      without_value.push_back(key);
    } else {
      put(tweak, key, value);
    }
  }
  if (!without_value.empty()) {
    adopted.notes.push_back(
        fmt::format("`{}`: {} had no value and was not kept", name, joined(without_value)));
  }
  if (!tweak.empty()) {
    std::vector<std::string> names;
    for (const auto& [key, value] : tweak.items()) {
      names.push_back(key);
    }
    std::sort(names.begin(), names.end());
    adopted.notes.push_back(fmt::format(
        "`{}`: {} has no place in the standard shape and was kept as a Tweak for this agent alone",
        name, joined(names)));
  }
  // What says nothing is not recorded, so no other agent receives it; a remote server keeps
  // its `type`, which tells the reader which of two transports it speaks.
  adopted.server = without_fillers(dialect_of(ServerShape::standard), taker.standard, true);
  adopted.tweak = std::move(tweak);
  return adopted;
}

bool same_server(const Json& a, const Json& b) {
  const Dialect& standard = dialect_of(ServerShape::standard);
  return json_equal(without_fillers(standard, a), without_fillers(standard, b));
}

bool same_agent_entry(ServerShape shape, const Json& rendered, const Json& entry) {
  const Dialect& d = dialect_of(shape);
  return json_equal(comparable(d, rendered), comparable(d, entry));
}

std::vector<std::string> entry_drift(ServerShape shape, const Json& rendered, const Json& entry) {
  if (same_agent_entry(shape, rendered, entry)) {
    return {};
  }
  const Dialect& d = dialect_of(shape);
  return differing_keys(without_fillers(d, entry), without_fillers(d, rendered));
}

std::vector<std::string> differing_keys(const Json& a, const Json& b) {
  static const Json empty = Json::object();
  const Json& left = a.is_object() ? a : empty;
  const Json& right = b.is_object() ? b : empty;
  std::vector<std::string> names;
  for (const auto& [key, value] : right.items()) {
    const auto found = left.find(key);
    if (found == left.end() || !json_equal(*found, value)) {
      names.push_back(key);
    }
  }
  for (const auto& [key, value] : left.items()) {
    if (!right.contains(key)) {
      names.push_back(key);
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

Result<std::vector<std::string>> render_diff(std::string_view name, const Json& server,
                                             ServerShape shape, const Json& entry,
                                             const RunContext& ctx,
                                             const std::optional<Json>& tweak) {
  auto rendered = render_server(name, ctx, server, shape, tweak, false);
  if (!rendered) {
    return unexpected(std::move(rendered).error());
  }
  std::vector<std::string> names = entry_drift(shape, *rendered, entry);
  if (names == std::vector<std::string>{"type"} &&
      states_only_transport(name, shape, entry, *rendered)) {
    names.clear();
  }
  return names;
}

}  // namespace kelvaro
