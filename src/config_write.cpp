#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "config.hpp"
#include "documents.hpp"
#include "fsutil.hpp"
#include "report.hpp"
#include "toml.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

std::string config_path(const fs::path& config_dir) {
  return display(config_dir / "kelvaro.toml");
}

bool has_comment(const toml::Decor& decor) {
  return decor.prefix.view().find('#') != std::string_view::npos ||
         decor.suffix.view().find('#') != std::string_view::npos;
}

}  // namespace

Result<TomlFile> read_config_for_edit(const fs::path& config_dir) {
  auto file = read_toml_file(config_dir / "kelvaro.toml");
  if (!file) {
    if (file.error().invalid.empty()) {
      return unexpected(cannot_read(config_dir / "kelvaro.toml", file.error().read));
    }
    return unexpected(fmt::format("{} is not valid TOML ({}) — left untouched",
                                  config_path(config_dir), file.error().invalid));
  }
  return std::move(*file);
}

Result<void> write_config_edit(const fs::path& config_dir, const TomlFile& file) {
  if (print_toml_file(file) == file.text) {
    return {};
  }
  if (auto made = create_folders(config_dir); !made) {
    return unexpected(
        fmt::format("cannot create {}: {}", display(config_dir), made.error().message()));
  }
  if (auto written = save_toml_file(config_dir / "kelvaro.toml", file); !written) {
    return unexpected(cannot_write(config_dir / "kelvaro.toml", written.error()));
  }
  return {};
}

Result<toml::Table> tweak_table(std::string_view server, std::string_view agent,
                                const Json& tweak) {
  auto converted = json_object_to_toml(tweak);
  if (!converted) {
    return unexpected(fmt::format("mcp.{}.tweaks.{}: {}", server, agent, converted.error()));
  }
  return converted;
}

Result<void> edit_server_settings(TomlFile& file, const ServerSettingsEdit& edit) {
  const std::string& server = edit.server;
  // Converted first: a tweak TOML cannot hold changes nothing.
  std::vector<std::pair<std::string, std::optional<toml::Table>>> tweaks;
  for (const std::string& agent : edit.tweaks.names()) {
    const Json& tweak = edit.tweaks.at(agent);
    if (tweak.empty()) {
      tweaks.emplace_back(agent, std::nullopt);
      continue;
    }
    auto converted = tweak_table(server, agent, tweak);
    if (!converted) {
      return unexpected(std::move(converted).error());
    }
    tweaks.emplace_back(agent, std::move(*converted));
  }

  // Edited as a copy, so that a refusal half way leaves the document as it was.
  toml::Document doc = file.doc;
  toml::Table& root = doc.root;
  if (toml::find(root, "mcp") == nullptr) {
    toml::insert_table(root, "mcp", true);
  }
  toml::Table* mcp = toml::as_table(*toml::find(root, "mcp"));
  if (mcp == nullptr) {
    return unexpected(std::string("`mcp` in kelvaro.toml is not a table — left untouched"));
  }
  if (toml::find(*mcp, server) == nullptr) {
    toml::insert_table(*mcp, server, true);
  }
  toml::Table* table = toml::as_table(*toml::find(*mcp, server));
  if (table == nullptr) {
    return unexpected(
        fmt::format("mcp.{} in kelvaro.toml is not a table — left untouched", server));
  }

  if (edit.agents) {
    std::vector<toml::Value> names;
    for (const auto& name : *edit.agents) {
      names.push_back(toml::string_value(name));
    }
    toml::set_value(*table, "agents", toml::array_value(std::move(names)));
    // A table made by dotted keys has no header to show.
    if (!table->dotted) {
      table->implicit = false;
    }
  } else if (edit.absent == AbsentAgents::share_with_all) {
    toml::remove(*table, "agents");
  }

  for (auto& [agent, tweak_table] : tweaks) {
    toml::Entry* found = toml::find(*table, "tweaks");
    if (found == nullptr && !tweak_table) {
      continue;
    }
    if (found == nullptr) {
      toml::insert_table(*table, "tweaks", true);
      found = toml::find(*table, "tweaks");
    }
    toml::Table* tweaks_table = toml::as_table(*found);
    if (tweaks_table == nullptr) {
      return unexpected(
          fmt::format("mcp.{}.tweaks in kelvaro.toml is not a table — left untouched", server));
    }
    if (!tweak_table) {
      toml::remove(*tweaks_table, agent);
      continue;
    }
    // An empty `[mcp.<name>.tweaks]` header goes, but not with a comment the user wrote on it.
    if (!has_comment(tweaks_table->decor)) {
      tweaks_table->implicit = true;
    }
    toml::replace_table(*tweaks_table, agent, std::move(*tweak_table));
  }
  file.doc = std::move(doc);
  return {};
}

Result<void> save_server_settings(const fs::path& config_dir, std::string_view server,
                                  const std::optional<std::vector<std::string>>& agents,
                                  const Json& tweak, std::string_view agent, AbsentAgents absent) {
  ServerSettingsEdit edit{.server = std::string(server), .agents = agents, .absent = absent};
  if (!tweak.empty()) {
    edit.tweaks[std::string(agent)] = tweak;
    // A tweak TOML cannot hold is refused before the file is read.
    if (auto converted = tweak_table(server, agent, tweak); !converted) {
      return unexpected(std::move(converted).error());
    }
  }
  auto file = read_config_for_edit(config_dir);
  if (!file) {
    return unexpected(file.error());
  }
  if (auto edited = edit_server_settings(*file, edit); !edited) {
    return edited;
  }
  return write_config_edit(config_dir, *file);
}

Result<void> drop_server_settings(const fs::path& config_dir, std::string_view server) {
  auto file = read_config_for_edit(config_dir);
  if (!file) {
    return unexpected(file.error());
  }
  // An inline `mcp` table is a value the user wrote; it holds no server table of ours.
  toml::Entry* mcp = toml::find(file->doc.root, "mcp");
  toml::Table* servers = mcp != nullptr ? toml::as_table(*mcp) : nullptr;
  if (servers == nullptr || !toml::remove(*servers, server)) {
    return {};
  }
  return write_config_edit(config_dir, *file);
}

}  // namespace kelvaro
