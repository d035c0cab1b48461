#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "mcp.hpp"
#include "report.hpp"

// The Commons server file and the environment references in servers.
namespace kelvaro {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view env_open = "${env:";

Result<std::string> expand_string(std::string_view name, std::string_view text,
                                  const RunContext& ctx) {
  std::string out;
  std::size_t pos = 0;
  while (true) {
    const std::size_t start = text.find(env_open, pos);
    if (start == std::string_view::npos) {
      out.append(text.substr(pos));
      return out;
    }
    out.append(text.substr(pos, start - pos));
    const std::size_t close = text.find('}', start + env_open.size());
    if (close == std::string_view::npos) {
      // No closing brace: the text is no reference and stays as written.
      out.append(text.substr(start));
      return out;
    }
    const std::string_view variable =
        text.substr(start + env_open.size(), close - start - env_open.size());
    const auto found = ctx.env.find(variable);
    if (found == ctx.env.end() || found->second.empty()) {
      return unexpected(fmt::format("mcp server `{}`: ${{env:{}}} is not set in the environment",
                                    name, variable));
    }
    out.append(found->second);
    pos = close + 1;
  }
}

// The Commons file as a JSON document, nullopt when it is not there. Fails with "cannot read
// {}: {}" or "{} is not valid JSON: {}".
Result<std::optional<Json>> read_commons_document(const fs::path& path) {
  auto text = read_text_if_present(path);
  if (!text) {
    return unexpected(cannot_read(path, text.error()));
  }
  if (!text->has_value()) {
    return std::optional<Json>();
  }
  const std::string_view body = **text;
  auto doc = parse_json(body);
  if (!doc) {
    return unexpected(
        fmt::format("{} is not valid JSON: {}", display(path), describe(doc.error(), body)));
  }
  return std::optional<Json>(std::move(*doc));
}

}  // namespace

Result<ServerMap> parse_commons_servers(const fs::path& path) {
  const std::string shown = display(path);
  auto doc = read_commons_document(path);
  if (!doc) {
    return unexpected(std::move(doc).error());
  }
  if (!doc->has_value()) {
    return unexpected(
        cannot_read(path, std::make_error_code(std::errc::no_such_file_or_directory)));
  }
  Json& document = **doc;
  const auto servers = document.is_object() ? document.find("mcpServers") : document.end();
  if (!document.is_object() || servers == document.end() || !servers->is_object()) {
    return unexpected(fmt::format("{} must hold an `mcpServers` object at the top level", shown));
  }
  for (const auto& [name, server] : servers->items()) {
    if (!server.is_object()) {
      return unexpected(fmt::format("{}: server `{}` must be an object", shown, name));
    }
    if (const auto disabled = server.find("disabled");
        disabled != server.end() && !disabled->is_boolean()) {
      return unexpected(
          fmt::format("{}: server `{}`: `disabled` must be true or false", shown, name));
    }
  }
  auto& members = members_of(*servers);
  std::vector<std::pair<std::string, Json>> sorted;
  sorted.reserve(members.size());
  for (auto& [name, server] : members) {
    sorted.emplace_back(name, std::move(server));
  }
  // The names are unique (the reader keeps the later of two), so the order is total.
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  ServerMap map = Json::object();
  auto& out = members_of(map);
  for (auto& [name, server] : sorted) {
    out.emplace_back(std::move(name), std::move(server));
  }
  return map;
}

Result<ServerMap> load_commons_servers(const fs::path& path) {
  if (!kelvaro::is_regular_file(path)) {
    return ServerMap(Json::object());
  }
  return parse_commons_servers(path);
}

Result<void> write_commons_servers(const fs::path& path, const ServerMap& servers) {
  // The file is the user's: what else it holds at the top ($schema, notes) stays, in its place.
  Json doc = Json::object();
  if (kelvaro::is_regular_file(path)) {
    auto old = read_commons_document(path);
    if (!old) {
      return unexpected(std::move(old).error());
    }
    if (old->has_value() && (*old)->is_object()) {
      doc = std::move(**old);
    }
  }
  doc["mcpServers"] = servers.is_object() ? servers : Json::object();
  auto text = dump_json(doc);
  if (!text) {
    return unexpected(fmt::format("cannot serialise {}: {}", display(path), text.error()));
  }
  text->push_back('\n');
  // The Commons is the user's own material, not an agent's settings: a new file is made as the
  // user's umask says, as it always was.
  if (auto written = write_atomic(path, *text, shared_file_mode); !written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return {};
}

Result<Json> expand_env_refs(std::string_view name, const Json& value, const RunContext& ctx) {
  if (value.is_string()) {
    auto expanded = expand_string(name, value.get_ref<const std::string&>(), ctx);
    if (!expanded) {
      return unexpected(std::move(expanded).error());
    }
    return Json(std::move(*expanded));
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& element : value) {
      auto expanded = expand_env_refs(name, element, ctx);
      if (!expanded) {
        return expanded;
      }
      out.push_back(std::move(*expanded));
    }
    return out;
  }
  if (value.is_object()) {
    Json out = Json::object();
    auto& members = members_of(out);
    for (const auto& [key, member] : value.items()) {
      auto expanded = expand_env_refs(name, member, ctx);
      if (!expanded) {
        return expanded;
      }
      members.emplace_back(key, std::move(*expanded));
    }
    return out;
  }
  return value;
}

bool has_env_refs(const Json& value) {
  // Replacing bad UTF-8 cannot hide the reference: its six characters are ASCII.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace).find(env_open) !=
         std::string::npos;
}

}  // namespace kelvaro
