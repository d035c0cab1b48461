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

// One write call per line, so that a line is never split between writes; a failed write
// leaves the stream's error state set, and nothing reads it.
void write_piece(std::ostream* stream, std::string_view prefix, std::string_view text) {
  if (stream == nullptr) {
    return;
  }
  std::string line;
  line.reserve(prefix.size() + text.size() + 1);
  line.append(prefix).append(text).push_back('\n');
  try {
    stream->write(line.data(), static_cast<std::streamsize>(line.size()));
  } catch (const std::ios_base::failure&) {
    // A stream set to throw on failure: the line is lost, as with any failed write.
  }
}

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
  auto plain = [](unsigned char byte) {
    return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
  };
  out.push_back('"');
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = at;
    while (end < text.size() && plain(static_cast<unsigned char>(text[end]))) {
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

// A member's value follows its key on the same line; any other value inside a container
// starts a line of its own, after a comma unless it is the first.
void JsonPrinter::begin_value() {
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
