#include <fmt/format.h>

#include <string>
#include <system_error>
#include <utility>

#include "documents.hpp"
#include "fsutil.hpp"
#include "mcp_cmd.hpp"
#include "toml.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

}  // namespace

Result<void> drop_server_settings(const fs::path& config_dir, std::string_view server) {
  const fs::path file = config_dir / "kelvaro.toml";
  const std::string path = display(file);
  std::string text;
  auto bytes = read_file(file);
  if (bytes) {
    text = std::move(*bytes);
  } else if (bytes.error() != std::errc::no_such_file_or_directory) {
    return unexpected(fmt::format("cannot read {}: {}", path, bytes.error().message()));
  }
  if (!is_valid_utf8(text)) {
    return unexpected(
        fmt::format("cannot read {}: {}", path,
                    std::make_error_code(std::errc::illegal_byte_sequence).message()));
  }
  std::string_view body = text;
  const bool bom = body.starts_with(kBom);
  if (bom) {
    body.remove_prefix(kBom.size());
  }
  const bool crlf = body.find("\r\n") != std::string_view::npos;
  toml::Document doc;
  if (!is_blank_text(body)) {
    auto parsed = toml::parse(body);
    if (!parsed) {
      return unexpected(fmt::format("{} is not valid TOML ({}) — left untouched", path,
                                    toml_position_text(body, parsed.error().offset)));
    }
    doc = std::move(*parsed);
  }

  // An inline `mcp` table is a value the user wrote; it is no server table of ours.
  toml::Entry* mcp = toml::find(doc.root, "mcp");
  toml::Table* servers = mcp != nullptr ? toml::as_table(*mcp) : nullptr;
  if (servers == nullptr || !toml::remove(*servers, server)) {
    return {};
  }

  std::string out = toml::print(doc);
  if (crlf) {
    out = toml::with_crlf(out);
  }
  if (bom) {
    out.insert(0, kBom);
  }
  if (out == text) {
    return {};
  }
  if (auto made = create_folders(config_dir); !made) {
    return unexpected(
        fmt::format("cannot create {}: {}", display(config_dir), made.error().message()));
  }
  if (auto written = write_atomic(file, out); !written) {
    return unexpected(fmt::format("cannot write {}: {}", path, written.error().message()));
  }
  return {};
}

}  // namespace kelvaro
