#include "config.hpp"
#include "mcp_cmd.hpp"
#include "toml.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

}  // namespace

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
