#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <utility>

#include "mcp.hpp"
#include "report.hpp"

// Reading and editing the MCP servers in agents' own configuration files. Nothing is written
// after any failure, and nothing outside the servers named is changed.
namespace kelvaro {

namespace {

namespace fs = std::filesystem;

std::string left_untouched(const fs::path& path, std::string_view what) {
  return fmt::format("{}: {} — left untouched", display(path), what);
}

std::string not_a_table(std::string_view key) {
  return fmt::format("`{}` is not a table", key);
}

// The whole file at `path` as UTF-8 text, empty when there is no file.
Result<FileText> read_agent_text(const fs::path& path) {
  auto text = read_text_if_present(path);
  if (!text) {
    return unexpected(cannot_read(path, text.error()));
  }
  return std::move(*text).value_or(FileText());
}

// The member `key` of the JSON document `text` of the file `path`; nullopt when the document
// has none, also when it is blank or its top level is no object. Fails only when `text` is not
// JSON.
Result<std::optional<Json>> json_member_of(const fs::path& path, std::string_view text,
                                           std::string_view key) {
  auto member = read_json_member(text, key);
  if (!member) {
    // Blank, not an object, or not JSON: the whole parse tells them apart and words the error.
    auto root = parse_json_document(text, display(path));
    if (!root) {
      return unexpected(std::move(root).error());
    }
    return std::optional<Json>();
  }
  return std::move(*member);
}

// The TOML document of `text` as the agent's file holds it; the error position counts the
// bytes of `text` itself.
Result<toml::Document> parse_agent_toml(const fs::path& path, std::string_view text) {
  auto file = parse_toml_file(std::string(text), TomlFileUse::read);
  if (!file) {
    return unexpected(left_untouched(path, file.error().invalid));
  }
  return std::move(file->doc);
}

// The servers to write, by name: a name that comes twice keeps its first place and takes the
// later entry.
Json collect_entries(const std::vector<McpItem>& items) {
  Json entries = Json::object();
  for (const McpItem& item : items) {
    if (item.rendered) {
      entries[item.server] = *item.rendered;
    }
  }
  return entries;
}

// `servers` (the key's value, an object) with `entries` set in it: a held name keeps its place,
// a new one goes last.
void merge_entries(Json& servers, const Json& entries) {
  for (const auto& [name, entry] : entries.items()) {
    servers[name] = entry;
  }
}

// A new file is made private: agents' entries hold secrets resolved from the environment.
Result<WriteOutcome> write_atomic_text(const fs::path& path, std::string_view text) {
  auto written = write_atomic(path, text, private_file_mode);
  if (!written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return std::move(*written);
}

Result<WriteOutcome> write_json_servers(const fs::path& path, std::string_view key,
                                        const Json& entries) {
  auto text = read_agent_text(path);
  if (!text) {
    return unexpected(std::move(text).error());
  }
  // A large settings file is edited while it is read and written out in pieces: only the
  // servers are ever built, and the file is never held twice.
  const MemberEdit edit = [&](std::optional<Json> held) -> Result<Json> {
    Json servers = std::move(held).value_or(Json::object());
    if (!servers.is_object()) {
      return unexpected(not_an_object(path, key));
    }
    merge_entries(servers, entries);
    return servers;
  };
  return write_json_with_member(path, *text, key, edit, private_file_mode);
}

Result<WriteOutcome> write_toml_servers(const fs::path& path, std::string_view key,
                                        const Json& entries) {
  auto file = read_toml_file(path);
  if (!file) {
    if (file.error().read) {
      return unexpected(cannot_read(path, file.error().read));
    }
    return unexpected(left_untouched(path, file.error().invalid));
  }
  toml::Table& root = file->doc.root;
  toml::Entry* held = toml::find(root, key);
  if (held == nullptr) {
    // Implicit, so that a file gaining its first server shows only `[key.name]` headers.
    toml::insert_table(root, std::string(key), true);
    held = toml::find(root, key);
  }
  toml::Table* servers = toml::as_table(*held);
  if (servers == nullptr) {
    return unexpected(left_untouched(path, not_a_table(key)));
  }
  for (const auto& [name, entry] : entries.items()) {
    if (!entry.is_object()) {
      return unexpected(left_untouched(path, fmt::format("server `{}` is not an object", name)));
    }
    auto table = json_object_to_toml(entry);
    if (!table) {
      return unexpected(left_untouched(path, table.error()));
    }
    toml::replace_table(*servers, name, std::move(*table));
  }
  const std::string printed = print_toml_file(*file);
  // Unchanged text is not written again; the file holds what was asked all the same.
  if (printed == file->text) {
    return WriteOutcome{.path = path, .mode = std::nullopt};
  }
  return write_atomic_text(path, printed);
}

Result<Json> read_json_servers(const fs::path& path, std::string_view text, std::string_view key) {
  auto member = json_member_of(path, text, key);
  if (!member) {
    return unexpected(std::move(member).error());
  }
  if (!*member) {
    return Json::object();
  }
  if (!(*member)->is_object()) {
    return unexpected(not_an_object(path, key));
  }
  return std::move(**member);
}

Result<Json> read_toml_servers(const fs::path& path, std::string_view text, std::string_view key) {
  auto doc = parse_agent_toml(path, text);
  if (!doc) {
    return unexpected(std::move(doc).error());
  }
  const toml::Entry* held = toml::find(doc->root, key);
  if (held == nullptr) {
    return Json::object();
  }
  const toml::Table* servers = toml::as_table(*held);
  if (servers == nullptr) {
    return unexpected(left_untouched(path, not_a_table(key)));
  }
  return toml_table_to_json(*servers);
}

// A removal's write as the removal reports it.
Result<std::optional<WriteOutcome>> removal_written(Result<WriteOutcome> written) {
  if (!written) {
    return unexpected(std::move(written).error());
  }
  return std::optional<WriteOutcome>(std::move(*written));
}

Result<std::optional<WriteOutcome>> remove_json_server(const fs::path& path, std::string_view text,
                                                       std::string_view key,
                                                       std::string_view name) {
  auto member = json_member_of(path, text, key);
  if (!member) {
    return unexpected(std::move(member).error());
  }
  if (!*member || !(*member)->is_object() || (*member)->erase(std::string(name)) == 0) {
    return std::optional<WriteOutcome>();
  }
  const MemberEdit edit = [&](std::optional<Json>) -> Result<Json> { return **member; };
  return removal_written(write_json_with_member(path, text, key, edit, private_file_mode));
}

// The document is written as the TOML library prints it: a byte-order mark and CR LF line ends
// are not restored.
Result<std::optional<WriteOutcome>> remove_toml_server(const fs::path& path, std::string_view text,
                                                       std::string_view key,
                                                       std::string_view name) {
  if (is_blank_text(text)) {
    return std::optional<WriteOutcome>();
  }
  auto doc = parse_agent_toml(path, text);
  if (!doc) {
    return unexpected(std::move(doc).error());
  }
  toml::Entry* held = toml::find(doc->root, key);
  toml::Table* servers = held != nullptr ? toml::as_table(*held) : nullptr;
  if (servers == nullptr || !toml::remove(*servers, name)) {
    return std::optional<WriteOutcome>();
  }
  return removal_written(write_atomic_text(path, toml::print(*doc)));
}

}  // namespace

bool has_mcp_file(const Agent& agent) {
  return agent.descriptor != nullptr && agent.descriptor->mcp.kind == McpRouteKind::key_merge;
}

McpFiles mcp_files(const RunContext& ctx, const std::vector<Agent>& agents) {
  McpFiles found;
  const fs::path commons_file = commons_mcp_file(ctx.commons);
  for (const Agent& agent : agents) {
    if (!has_mcp_file(agent)) {
      continue;
    }
    const McpRoute& route = agent.descriptor->mcp;
    McpFile file{.agent = agent.name,
                 .path = ctx.home / route.file,
                 .key = route.key,
                 .shape = route.shape,
                 .format = route.format};
    // Read as the agent's, the Commons servers would be rewritten with resolved secrets or
    // taken out of the Commons itself.
    if (same_file(file.path, commons_file)) {
      found.refused.push_back(
          fmt::format("{} is the Commons mcp.json — left untouched", display(file.path)));
      continue;
    }
    found.files.push_back(std::move(file));
  }
  return found;
}

Result<Json> read_agent_servers(const fs::path& path, std::string_view key, FileFormat format) {
  auto text = read_agent_text(path);
  if (!text) {
    return unexpected(std::move(text).error());
  }
  switch (format) {
    case FileFormat::toml:
      return read_toml_servers(path, *text, key);
    case FileFormat::json:
      break;
  }
  return read_json_servers(path, *text, key);
}

Result<WriteOutcome> write_agent_servers(const fs::path& path, std::string_view key,
                                         FileFormat format, const std::vector<McpItem>& items) {
  const Json entries = collect_entries(items);
  switch (format) {
    case FileFormat::toml:
      return write_toml_servers(path, key, entries);
    case FileFormat::json:
      break;
  }
  return write_json_servers(path, key, entries);
}

Result<std::optional<WriteOutcome>> remove_agent_servers(const fs::path& path, std::string_view key,
                                                         FileFormat format, std::string_view name) {
  auto text = read_agent_text(path);
  if (!text) {
    return unexpected(std::move(text).error());
  }
  switch (format) {
    case FileFormat::toml:
      return remove_toml_server(path, *text, key, name);
    case FileFormat::json:
      break;
  }
  return remove_json_server(path, *text, key, name);
}

}  // namespace kelvaro
