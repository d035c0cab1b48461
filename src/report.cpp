#include "report.hpp"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <ios>
#include <string>

#include "documents.hpp"
#include "fsutil.hpp"
#include "utf8.hpp"

namespace kelvaro {

namespace {

// A failed write leaves the stream's error state set, and nothing reads it.
void write_text(std::ostream& stream, std::string_view text) {
  try {
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  } catch (const std::ios_base::failure&) {
    // A stream set to throw on failure: the text is lost, as with any failed write.
  }
}

// One write call per line, so that a line is never split between writes.
void write_piece(std::ostream* stream, std::string_view prefix, std::string_view text) {
  if (stream == nullptr) {
    return;
  }
  // Kept from line to line: a report prints thousands.
  thread_local std::string line;
  line.clear();
  line.reserve(prefix.size() + text.size() + 1);
  line.append(prefix).append(text).push_back('\n');
  write_text(*stream, line);
}

// How much of a `JsonPrinter`'s text waits before it goes to the sink.
constexpr std::size_t json_piece = std::size_t{64} * 1024;

// The bytes a JSON string holds as they are: printable ASCII but the quote and the backslash.
constexpr std::array<bool, 256> json_plain_bytes = [] {
  std::array<bool, 256> plain{};
  for (std::size_t byte = 0x20; byte < 0x80; ++byte) {
    plain[byte] = byte != '"' && byte != '\\';
  }
  return plain;
}();

}  // namespace

void print_line(Reporter& r, std::string_view text) {
  write_piece(r.out, "", text);
}

void report_warning(Reporter& r, std::string_view text) {
  ++r.warnings;
  write_piece(r.err, "warning: ", text);
}

void report_error(Reporter& r, std::string_view text) {
  ++r.errors;
  write_piece(r.err, "error: ", text);
}

bool require_commons(const RunContext& ctx, Reporter& reporter) {
  if (is_folder(ctx.commons)) {
    return true;
  }
  report_error(reporter, fmt::format("no Commons at {} — run `kelvaro init` to create one",
                                     display(ctx.commons)));
  return false;
}

void report_errors(Reporter& r, const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    report_error(r, text);
  }
}

void warn_readable_secrets(Reporter& r, const WriteOutcome& outcome) {
  if (outcome.mode) {
    report_warning(r, fmt::format("{} has mode {:o} — it now holds resolved secrets and can be "
                                  "read by others",
                                  display(outcome.path), *outcome.mode));
  }
}

void print_json(std::ostream& out, const nlohmann::ordered_json& value) {
  auto rendered = dump_json(value);
  write_piece(&out, "", rendered ? std::string_view(*rendered) : std::string_view("{}"));
}

void append_json_string(std::string& out, std::string_view text) {
  static constexpr std::string_view hex = "0123456789abcdef";
  out.push_back('"');
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = at;
    while (end < text.size() && json_plain_bytes[static_cast<unsigned char>(text[end])]) {
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
  begin_value();
  append_json_string(out_, name);
  out_.append(": ");
  after_key_ = true;
}

void JsonPrinter::string(std::string_view value) {
  begin_value();
  append_json_string(out_, value);
}

void JsonPrinter::boolean(bool value) {
  begin_value();
  out_.append(value ? "true" : "false");
}

void JsonPrinter::number(std::uint64_t value) {
  begin_value();
  std::array<char, 20> digits{};  // the most a 64-bit number takes
  const auto printed = std::to_chars(digits.begin(), digits.end(), value);
  out_.append(digits.begin(), printed.ptr);
}

void JsonPrinter::finish() {
  out_.push_back('\n');
  if (sink_ != nullptr) {
    write_text(*sink_, out_);
    out_.clear();
  }
}

// A member's value follows its key on the same line; any other value inside a container
// starts a line of its own, after a comma unless it is the first. A value is a point to hand
// the text so far to the sink.
void JsonPrinter::begin_value() {
  if (sink_ != nullptr && out_.size() >= json_piece) {
    write_text(*sink_, out_);
    out_.clear();
  }
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (empty_.empty()) {
    return;
  }
  if (!empty_.back()) {
    out_.push_back(',');
  }
  empty_.back() = false;
  out_.push_back('\n');
  indent();
}

void JsonPrinter::open(char bracket) {
  begin_value();
  out_.push_back(bracket);
  empty_.push_back(true);
}

void JsonPrinter::close(char bracket) {
  const bool empty = empty_.back();
  empty_.pop_back();
  if (!empty) {
    out_.push_back('\n');
    indent();
  }
  out_.push_back(bracket);
}

void JsonPrinter::indent() {
  out_.append(2 * empty_.size(), ' ');
}

}  // namespace kelvaro
