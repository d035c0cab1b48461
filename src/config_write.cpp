#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "config.hpp"
#include "documents.hpp"
#include "fsutil.hpp"
#include "toml.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// `kelvaro.toml` as read: its text, whether it began with a byte-order mark and whether it used
// CR LF anywhere, and the parsed document.
struct TomlText {
  std::string text;
  bool bom = false;
  bool crlf = false;
  toml::Document doc;
};

Result<TomlText> read_toml_text(const fs::path& file) {
  const std::string path = display(file);
  TomlText read;
  auto bytes = read_file(file);
  if (bytes) {
    read.text = std::move(*bytes);
  } else if (bytes.error() != std::errc::no_such_file_or_directory) {
    return unexpected(fmt::format("cannot read {}: {}", path, bytes.error().message()));
  }
  if (!is_valid_utf8(read.text)) {
    return unexpected(
        fmt::format("cannot read {}: {}", path,
                    std::make_error_code(std::errc::illegal_byte_sequence).message()));
  }
  std::string_view body = read.text;
  read.bom = body.starts_with(kBom);
  if (read.bom) {
    body.remove_prefix(kBom.size());
  }
  read.crlf = body.find("\r\n") != std::string_view::npos;
  if (is_blank_text(body)) {
    return read;
  }
  auto doc = toml::parse(body);
  if (!doc) {
    return unexpected(fmt::format("{} is not valid TOML ({}) — left untouched", path,
                                  toml_position_text(body, doc.error().offset)));
  }
  read.doc = std::move(*doc);
  return read;
}

// Prints `read.doc` back with the line ends and byte-order mark the file had, and writes it
// when it differs from what was read.
Result<void> write_toml_text(const fs::path& config_dir, const fs::path& file,
                             const TomlText& read) {
  std::string text = toml::print(read.doc);
  if (read.crlf) {
    text = toml::with_crlf(text);
  }
  if (read.bom) {
    text.insert(0, kBom);
  }
  if (text == read.text) {
    return {};
  }
  if (auto made = create_folders(config_dir); !made) {
    return unexpected(
        fmt::format("cannot create {}: {}", display(config_dir), made.error().message()));
  }
  if (auto written = write_atomic(file, text); !written) {
    return unexpected(fmt::format("cannot write {}: {}", display(file), written.error().message()));
  }
  return {};
}

}  // namespace

Result<void> save_server_settings(const fs::path& config_dir, std::string_view server,
                                  const std::optional<std::vector<std::string>>& agents,
                                  const Json& tweak, std::string_view agent) {
  std::optional<toml::Table> tweak_table;
  if (!tweak.empty()) {
    auto converted = json_object_to_toml(tweak);
    if (!converted) {
      return unexpected(fmt::format("mcp.{}.tweaks.{}: {}", server, agent, converted.error()));
    }
    tweak_table = std::move(*converted);
  }

  const fs::path file = config_dir / "kelvaro.toml";
  auto read = read_toml_text(file);
  if (!read) {
    return unexpected(read.error());
  }

  toml::Table& root = read->doc.root;
  if (toml::find(root, "mcp") == nullptr) {
    toml::insert_table(root, "mcp", true);
  }
  toml::Table* mcp = toml::as_table(*toml::find(root, "mcp"));
  if (mcp == nullptr) {
    return unexpected(std::string("`mcp` in kelvaro.toml is not a table — left untouched"));
  }
  if (toml::find(*mcp, server) == nullptr) {
    toml::insert_table(*mcp, std::string(server), true);
  }
  toml::Table* table = toml::as_table(*toml::find(*mcp, server));
  if (table == nullptr) {
    return unexpected(
        fmt::format("mcp.{} in kelvaro.toml is not a table — left untouched", server));
  }

  if (agents) {
    std::vector<toml::Value> names;
    for (const auto& name : *agents) {
      names.push_back(toml::string_value(name));
    }
    toml::set_value(*table, "agents", toml::array_value(std::move(names)));
    // A table made by dotted keys has no header to show.
    if (!table->dotted) {
      table->implicit = false;
    }
  }

  if (tweak_table) {
    if (toml::find(*table, "tweaks") == nullptr) {
      toml::insert_table(*table, "tweaks", true);
    }
    toml::Table* tweaks = toml::as_table(*toml::find(*table, "tweaks"));
    if (tweaks == nullptr) {
      return unexpected(
          fmt::format("mcp.{}.tweaks in kelvaro.toml is not a table — left untouched", server));
    }
    tweaks->implicit = true;
    toml::replace_table(*tweaks, std::string(agent), std::move(*tweak_table));
  }

  return write_toml_text(config_dir, file, *read);
}

}  // namespace kelvaro
