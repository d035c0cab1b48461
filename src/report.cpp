#include "report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <ios>
#include <string>

#include "fsutil.hpp"

namespace kelvaro {

namespace {

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

}  // namespace

void write_text(std::ostream& stream, std::string_view text) {
  try {
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
  } catch (const std::ios_base::failure&) {
    // A stream set to throw on failure: the text is lost, as with any failed write.
  }
}

std::string cannot_read(const std::filesystem::path& path, const std::error_code& error) {
  return fmt::format("cannot read {}: {}", display(path), error.message());
}

std::string cannot_write(const std::filesystem::path& path, const std::error_code& error) {
  return fmt::format("cannot write {}: {}", display(path), error.message());
}

std::string not_an_object(const std::filesystem::path& path, std::string_view key) {
  return fmt::format("{}: `{}` is not an object — left untouched", display(path), key);
}

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

std::string command_argument(const std::filesystem::path& path) {
  // A backslash separates names on Windows; a POSIX shell takes it as an escape.
  constexpr bool backslash_separates = std::filesystem::path::preferred_separator == '\\';
  const std::string text = display(path);
  auto plain = [](char c) {
    return static_cast<unsigned char>(c) >= 0x80 || std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("/._-+,:=@%").find(c) != std::string_view::npos ||
           (backslash_separates && c == '\\');
  };
  if (!text.empty() && std::all_of(text.begin(), text.end(), plain)) {
    return text;
  }
  const std::string_view expands = backslash_separates ? "\"$`!" : "\"$`!\\";
  if (text.find_first_of(expands) == std::string::npos) {
    return fmt::format("\"{}\"", text);
  }
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
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

}  // namespace kelvaro
