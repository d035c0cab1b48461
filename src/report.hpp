#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "context.hpp"
#include "fsutil.hpp"

namespace kelvaro {

// The output sink of every command: results on `out`, counted warnings and errors on `err`.
// Counting comes before writing; write failures are ignored.
struct Reporter {
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  std::uint64_t errors = 0;
  std::uint64_t warnings = 0;
};

// Writes "{text}\n" on `out`.
void print_line(Reporter& r, std::string_view text);
// Writes "warning: {text}\n" on `err` and counts it.
void report_warning(Reporter& r, std::string_view text);
// Writes "error: {text}\n" on `err` and counts it.
void report_error(Reporter& r, std::string_view text);
// Reports each of `texts` as an error, in order.
void report_errors(Reporter& r, const std::vector<std::string>& texts);
// Warns when the write of an agent's file that now holds resolved secrets left it readable by
// others (`outcome.mode` set).
void warn_readable_secrets(Reporter& r, const WriteOutcome& outcome);
// Writes `value` pretty (two-space indent) and "\n" on `out`; "{}" when it cannot be rendered.
void print_json(std::ostream& out, const nlohmann::ordered_json& value);

// Appends `text` to `out` as a quoted JSON string, as `print_json` prints it once each invalid
// UTF-8 sequence is replaced by U+FFFD (`to_valid_utf8`): `\"`, `\\`, `\b`, `\f`, `\n`, `\r`
// and `\t`, the other control characters as `\u00xx`, all else (U+007F, non-ASCII) as it is.
void append_json_string(std::string& out, std::string_view text);

// Prints a JSON document value by value in the layout of `print_json`: a large report is
// neither built as a JSON value first nor held whole. Each `key` is followed by the member's
// value; a container's values go between its `open_*` and `close_*`; `finish` ends the text
// with "\n".
class JsonPrinter {
 public:
  // `sink`: where the text goes, in pieces of some 64 KiB and the rest at `finish`, write
  // failures ignored; without one, the text stays in `text()`.
  explicit JsonPrinter(std::ostream* sink = nullptr) : sink_(sink) {}

  void open_object() { open('{'); }
  void close_object() { close('}'); }
  void open_array() { open('['); }
  void close_array() { close(']'); }
  void key(std::string_view name);
  void string(std::string_view value);
  void boolean(bool value);
  void number(std::uint64_t value);
  void finish();
  // The text printed and not yet written to the sink.
  const std::string& text() const { return out_; }

 private:
  void begin_value();
  void open(char bracket);
  void close(char bracket);
  void indent();

  std::ostream* sink_ = nullptr;
  std::string out_;
  std::vector<bool> empty_;  // per open container: nothing in it yet
  bool after_key_ = false;
};

// True when the Commons of `ctx` is a folder (links followed). Otherwise reports "no Commons
// at {} — run `kelvaro init` to create one" and returns false: the first check of every
// command that plans against the Commons.
bool require_commons(const RunContext& ctx, Reporter& reporter);

}  // namespace kelvaro
