#include <fmt/format.h>

#include <array>
#include <charconv>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "documents.hpp"
#include "documents_sax.hpp"
#include "documents_scan.hpp"
#include "fsutil.hpp"
#include "report.hpp"
#include "utf8.hpp"

namespace kelvaro {

namespace fs = std::filesystem;

std::optional<std::string> print_json_with_member(std::string_view text, std::string_view key,
                                                  const Json& value) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  const MemberEdit edit = [&](std::optional<Json>) -> Result<Json> { return value; };
  const auto streamed = json_scan::stream_with_member(text, key, edit, [&](std::string_view piece) {
    out.append(piece);
    return true;
  });
  if (!streamed || *streamed != json_scan::Streamed::printed) {
    return std::nullopt;
  }
  return out;
}

namespace {

// `write_json_with_member` by parsing, editing and printing the whole document: the way for
// every text the scan cannot vouch for, and the one that words their messages.
Result<WriteOutcome> write_json_whole(const fs::path& path, std::string_view text,
                                      std::string_view key, const MemberEdit& edit,
                                      std::optional<std::uint32_t> new_file_mode) {
  auto root = parse_json_document(text, display(path));
  if (!root) {
    return unexpected(std::move(root).error());
  }
  if (root->is_null()) {
    *root = Json::object();
  }
  if (!root->is_object()) {
    return unexpected(
        fmt::format("{} does not hold a JSON object — left untouched", display(path)));
  }
  const std::string key_text(key);
  const auto found = root->find(key_text);
  auto value = edit(found == root->end() ? std::nullopt : std::optional<Json>(*found));
  if (!value) {
    return unexpected(std::move(value).error());
  }
  (*root)[key_text] = std::move(*value);
  return write_json_file(path, *root, new_file_mode);
}

}  // namespace

Result<WriteOutcome> write_json_with_member(const fs::path& path, std::string_view text,
                                            std::string_view key, const MemberEdit& edit,
                                            std::optional<std::uint32_t> new_file_mode) {
  Result<json_scan::Streamed> streamed = json_scan::Streamed::printed;
  auto written = write_atomic_from(
      path,
      [&](const std::function<bool(std::string_view)>& put) {
        streamed = json_scan::stream_with_member(text, key, edit, put);
        return streamed && *streamed == json_scan::Streamed::printed;
      },
      new_file_mode);
  if (!streamed) {
    return unexpected(std::move(streamed).error());
  }
  if (*streamed == json_scan::Streamed::unreadable) {
    return write_json_whole(path, text, key, edit, new_file_mode);
  }
  if (!written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return std::move(*written);
}

namespace {

// How much of a `JsonPrinter`'s text waits before it goes to the sink.
constexpr std::size_t json_piece = std::size_t{64} * 1024;

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr std::string_view hex = "0123456789abcdef";
  out.push_back('"');
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = at;
    while (end < text.size() &&
           json_sax::plain_string_bytes[static_cast<unsigned char>(text[end])]) {
      ++end;
    }
    out.append(text.substr(at, end - at));
    if (end == text.size()) {
      break;
    }
    at = end;
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x80) {
      const Utf8Sequence sequence = utf8_sequence(text, at);
      out.append(sequence.valid ? text.substr(at, sequence.length) : "\xEF\xBF\xBD");
      at += sequence.length;
      continue;
    }
    out.push_back('\\');
    switch (byte) {
      case '"':
      case '\\':
        out.push_back(static_cast<char>(byte));
        break;
      case '\b':
        out.push_back('b');
        break;
      case '\f':
        out.push_back('f');
        break;
      case '\n':
        out.push_back('n');
        break;
      case '\r':
        out.push_back('r');
        break;
      case '\t':
        out.push_back('t');
        break;
      default:
        out.append("u00");
        out.push_back(hex[byte >> 4U]);
        out.push_back(hex[byte & 0xFU]);
        break;
    }
    ++at;
  }
  out.push_back('"');
}

void JsonPrinter::key(std::string_view name) {
  begin(Piece::key);
  append_json_string(out_, name);
}

void JsonPrinter::string(std::string_view value) {
  begin(Piece::value);
  append_json_string(out_, value);
}

void JsonPrinter::boolean(bool value) {
  begin(Piece::value);
  out_.append(value ? "true" : "false");
}

void JsonPrinter::number(std::uint64_t value) {
  begin(Piece::value);
  std::array<char, 20> digits{};  // the most a 64-bit number takes
  const auto printed = std::to_chars(digits.begin(), digits.end(), value);
  out_.append(digits.begin(), printed.ptr);
}

void JsonPrinter::raw(std::string_view printed) {
  begin(Piece::value);
  out_.append(printed);
}

void JsonPrinter::finish() {
  if (sink_) {
    sink_(out_);
    out_.clear();
  }
}

void JsonPrinter::copy(std::string_view printed) {
  if (!sink_ || out_.size() + printed.size() < json_piece) {
    out_.append(printed);
    return;
  }
  // A long stretch goes to the sink as it stands rather than through the buffer.
  if (!out_.empty()) {
    sink_(out_);
    out_.clear();
  }
  sink_(printed);
}

// The start of a piece is a point to hand the text so far to the sink.
void JsonPrinter::begin(Piece piece) {
  if (sink_ && piece != Piece::close && out_.size() >= json_piece) {
    sink_(out_);
    out_.clear();
  }
  const Gap gap = gap_before(piece);
  advance(piece);
  if (gap.colon) {
    out_.append(": ");
  }
  if (gap.comma) {
    out_.push_back(',');
  }
  if (gap.line) {
    out_.push_back('\n');
    out_.append(gap.indent, ' ');
  }
}

void JsonPrinter::open(char bracket) {
  begin(Piece::open);
  out_.push_back(bracket);
}

void JsonPrinter::close(char bracket) {
  begin(Piece::close);
  out_.push_back(bracket);
}

Result<std::string> dump_json(const Json& value) {
  try {
    return value.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    return unexpected(std::string(e.what()));
  }
}

void print_json(std::ostream& out, const Json& value) {
  auto rendered = dump_json(value);
  std::string text = rendered ? std::move(*rendered) : std::string("{}");
  text.push_back('\n');
  write_text(out, text);
}

Result<WriteOutcome, std::error_code> write_json(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
  }
  return write_atomic(path, *text);
}

Result<WriteOutcome> write_json_file(const fs::path& path, const Json& value,
                                     std::optional<std::uint32_t> new_file_mode) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(fmt::format("cannot serialise {}: {}", display(path), text.error()));
  }
  auto written = write_atomic(path, *text, new_file_mode);
  if (!written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return std::move(*written);
}

}  // namespace kelvaro
