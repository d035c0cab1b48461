#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <utility>

#include "mcp.hpp"

// Translating Commons servers into the five dialects agents store them in, and back.
namespace kelvaro {

namespace {

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
void put(Json& object, const std::string& key, Json value) {
  object[key] = std::move(value);
}

// Copies `from`'s member `key` into `to` under the name `as`.
void copy_key_as(const Json& from, const std::string& key, const std::string& as, Json& to) {
  if (const auto found = from.find(key); found != from.end()) {
    put(to, as, *found);
  }
}

void copy_key(const Json& from, const std::string& key, Json& to) {
  copy_key_as(from, key, key, to);
}

// A local server's program, its arguments and its environment, under their standard names.
void copy_local_keys(const Json& from, Json& to) {
  copy_key(from, "command", to);
  copy_key(from, "args", to);
  copy_key(from, "env", to);
}

// A remote server's address and headers under the names the dialect gives them.
void copy_remote_keys(const Json& from, const std::string& url_as, const std::string& headers_as,
                      Json& to) {
  copy_key_as(from, "url", url_as, to);
  copy_key_as(from, "headers", headers_as, to);
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

Json translate(const Json& server, ServerShape shape) {
  const Transport transport = transport_of(server);
  Json entry = Json::object();
  switch (shape) {
    case ServerShape::standard:
      return server;
    case ServerShape::codex:
      if (is_remote(transport)) {
        copy_remote_keys(server, "url", "http_headers", entry);
      } else {
        copy_local_keys(server, entry);
      }
      copy_tweak_keys(server, entry);
      strip_nulls(entry);
      return entry;
    case ServerShape::opencode:
      if (is_remote(transport)) {
        put(entry, "type", "remote");
        copy_remote_keys(server, "url", "headers", entry);
      } else {
        put(entry, "type", "local");
        // OpenCode takes the program and its arguments as one list.
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
          put(entry, "command", std::move(command));
        }
        copy_key_as(server, "env", "environment", entry);
      }
      copy_tweak_keys(server, entry);
      return entry;
    case ServerShape::gemini:
      if (transport == Transport::http) {
        copy_remote_keys(server, "httpUrl", "headers", entry);
      } else if (transport == Transport::sse) {
        copy_remote_keys(server, "url", "headers", entry);
      } else {
        copy_local_keys(server, entry);
      }
      copy_tweak_keys(server, entry);
      return entry;
    case ServerShape::windsurf:
      if (is_remote(transport)) {
        copy_remote_keys(server, "serverUrl", "headers", entry);
      } else {
        copy_local_keys(server, entry);
      }
      copy_tweak_keys(server, entry);
      return entry;
  }
  return entry;
}

// Reading an entry back: each member taken into the standard object is remembered, so that
// the rest can become the tweak.
struct Taker {
  const Json& entry;
  Json standard = Json::object();
  std::vector<std::string> taken{};

  void take_as(const std::string& key, const std::string& as) {
    if (const auto found = entry.find(key); found != entry.end()) {
      put(standard, as, *found);
      taken.push_back(key);
    }
  }
  void take(const std::string& key) { take_as(key, key); }
  bool has(const std::string& key) const { return entry.contains(key); }
  bool was_taken(const std::string& key) const {
    return std::find(taken.begin(), taken.end(), key) != taken.end();
  }
};

std::string joined(const std::vector<std::string>& names) {
  return fmt::format("{}", fmt::join(names, ", "));
}

}  // namespace

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
  source.erase("disabled");
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
  if (shape == ServerShape::codex) {
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
  switch (shape) {
    case ServerShape::standard:
      for (std::string_view key : standard_keys) {
        taker.take(std::string(key));
      }
      break;
    case ServerShape::codex:
      if (taker.has("url")) {
        taker.take("url");
        taker.take_as("http_headers", "headers");
        adopted.notes.push_back(
            fmt::format("`{}`: Codex has one remote transport, so http and sse cannot be told "
                        "apart — no `type` was recorded",
                        name));
      } else {
        taker.take("command");
        taker.take("args");
        taker.take("env");
      }
      break;
    case ServerShape::opencode: {
      taker.taken.emplace_back("type");
      const auto type = entry.find("type");
      const bool has_string_type = type != entry.end() && type->is_string();
      const bool remote = has_string_type ? *type == "remote" : taker.has("url");
      if (remote) {
        taker.take("url");
        taker.take("headers");
        adopted.notes.push_back(
            fmt::format("`{}`: OpenCode has one remote transport, so http and sse cannot be told "
                        "apart — no `type` was recorded",
                        name));
      } else {
        if (const auto command = entry.find("command"); command != entry.end()) {
          if (command->is_array()) {
            if (!command->empty()) {
              put(taker.standard, "command", command->front());
              if (command->size() > 1) {
                put(taker.standard, "args",
                    Json(Json::array_t(command->begin() + 1, command->end())));
              }
            }
          } else {
            put(taker.standard, "command", *command);
          }
          taker.taken.emplace_back("command");
        }
        taker.take_as("environment", "env");
      }
      break;
    }
    case ServerShape::gemini:
      if (taker.has("httpUrl")) {
        put(taker.standard, "type", "http");
        taker.take_as("httpUrl", "url");
      } else if (taker.has("url")) {
        put(taker.standard, "type", "sse");
        taker.take("url");
      }
      taker.take("command");
      taker.take("args");
      taker.take("env");
      taker.take("headers");
      break;
    case ServerShape::windsurf:
      if (taker.has("serverUrl")) {
        taker.take_as("serverUrl", "url");
        adopted.notes.push_back(
            fmt::format("`{}`: Windsurf records no transport, so http and sse cannot be told "
                        "apart — no `type` was recorded",
                        name));
      }
      taker.take("command");
      taker.take("args");
      taker.take("env");
      taker.take("headers");
      break;
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
  adopted.server = std::move(taker.standard);
  adopted.tweak = std::move(tweak);
  return adopted;
}

bool same_agent_entry(ServerShape /*shape*/, const Json& rendered, const Json& entry) {
  return json_equal(rendered, entry);
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
  return differing_keys(entry, *rendered);
}

}  // namespace kelvaro
