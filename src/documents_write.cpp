#include <fmt/format.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "documents.hpp"
#include "documents_scan.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace fs = std::filesystem;

std::optional<std::string> print_json_with_member(std::string_view text, std::string_view key,
                                                  const Json& value) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  std::string error;
  const MemberEdit edit = [&](std::optional<Json>) -> Result<Json> { return value; };
  const auto streamed = json_scan::stream_with_member(
      text, key, edit,
      [&](std::string_view piece) {
        out.append(piece);
        return true;
      },
      error);
  if (streamed != json_scan::Streamed::printed) {
    return std::nullopt;
  }
  return out;
}

Result<std::optional<WriteOutcome>> write_json_with_member(
    const fs::path& path, std::string_view text, std::string_view key, const MemberEdit& edit,
    std::optional<std::uint32_t> new_file_mode) {
  std::string error;
  auto streamed = json_scan::Streamed::printed;
  auto written = write_atomic_from(
      path,
      [&](const std::function<bool(std::string_view)>& put) {
        streamed = json_scan::stream_with_member(text, key, edit, put, error);
        return streamed == json_scan::Streamed::printed;
      },
      new_file_mode);
  switch (streamed) {
    case json_scan::Streamed::unreadable:
      return std::optional<WriteOutcome>();
    case json_scan::Streamed::edit_failed:
      return unexpected(std::move(error));
    case json_scan::Streamed::printed:
      break;
  }
  if (!written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return std::optional<WriteOutcome>(std::move(*written));
}

Result<std::string> dump_json(const Json& value) {
  try {
    return value.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    return unexpected(std::string(e.what()));
  }
}

Result<WriteOutcome, std::error_code> write_json(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
  }
  return write_atomic(path, *text);
}

Result<WriteOutcome> write_json_file(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(fmt::format("cannot serialise {}: {}", display(path), text.error()));
  }
  auto written = write_atomic(path, *text);
  if (!written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return std::move(*written);
}

}  // namespace kelvaro
