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

Result<void> save_server_settings(const fs::path& config_dir, std::string_view server,
                                  const std::optional<std::vector<std::string>>& agents,
                                  const Json& tweak, std::string_view agent, AbsentAgents absent) {
  std::optional<toml::Table> tweak_table;
  if (!tweak.empty()) {
    auto converted = json_object_to_toml(tweak);
    if (!converted) {
      return unexpected(fmt::format("mcp.{}.tweaks.{}: {}", server, agent, converted.error()));
    }
    tweak_table = std::move(*converted);
  }

  auto file = read_config_for_edit(config_dir);
  if (!file) {
    return unexpected(file.error());
  }

  toml::Table& root = file->doc.root;
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
  } else if (absent == AbsentAgents::share_with_all) {
    toml::remove(*table, "agents");
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
    // An empty `[mcp.<name>.tweaks]` header goes, but not with a comment the user wrote on it.
    if (!has_comment(tweaks->decor)) {
      tweaks->implicit = true;
    }
    toml::replace_table(*tweaks, std::string(agent), std::move(*tweak_table));
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
