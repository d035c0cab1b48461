#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
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

// "cannot read {}: {}" and "cannot write {}: {}": `path` as `display` shows it and the text of
// the system error.
std::string cannot_read(const std::filesystem::path& path, const std::error_code& error);
std::string cannot_write(const std::filesystem::path& path, const std::error_code& error);

// "{}: `{}` is not an object — left untouched": a member `key` of another tool's JSON file at
// `path` that must be an object to be edited.
std::string not_an_object(const std::filesystem::path& path, std::string_view key);

// Writes `text` to `stream` in one call; a failed write leaves the stream's error state set
// (also on a stream set to throw), and nothing reads it.
void write_text(std::ostream& stream, std::string_view text);

// `path` as one argument a user can paste after a command in a shell: as it is when it holds
// only characters no shell treats specially, else quoted ("…", or '…' where a POSIX shell would
// expand something inside double quotes).
std::string command_argument(const std::filesystem::path& path);

// True when the Commons of `ctx` is a folder (links followed). Otherwise reports "no Commons
// at {} — run `kelvaro init` to create one" and returns false: the first check of every
// command that plans against the Commons.
bool require_commons(const RunContext& ctx, Reporter& reporter);

}  // namespace kelvaro
