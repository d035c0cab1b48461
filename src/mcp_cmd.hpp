#pragma once

#include <filesystem>
#include <string_view>

#include "result.hpp"

// The `mcp` subcommands: managing the Commons MCP servers everywhere at once.
namespace kelvaro {

// Removes the `[mcp.<server>]` table from `<config_dir>/kelvaro.toml`, editing the file in place
// (comments, layout, a byte-order mark and CR LF line ends survive). Writes nothing when the
// file holds no such table. Fails with a ready-made message and leaves the file as it was.
Result<void> drop_server_settings(const std::filesystem::path& config_dir, std::string_view server);

}  // namespace kelvaro
