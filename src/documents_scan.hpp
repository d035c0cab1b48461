#pragma once

// A reader of JSON text that builds nothing, for large settings files: it finds one member of
// the top-level object, or prints the document as `dump_json` prints its parsed value, at
// close to the speed of reading the bytes. It vouches only for text it reads exactly as the
// JSON library's parser does; for anything else (not JSON, another top level, a byte-order
// mark, nesting deeper than the parser allows, a number the parser might find out of range)
// it says so, and the caller asks the parser. Internal to the documents module.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "documents.hpp"
#include "result.hpp"

namespace kelvaro::json_scan {

// Where the value of the member `key` of the top-level object lies in the text; the later one
// when the key repeats, as the parser keeps the later value.
struct MemberSpan {
  bool found = false;
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The value span of the member `key` of the object document `text`; nullopt when the scan
// cannot vouch for the text.
std::optional<MemberSpan> find_member(std::string_view text, std::string_view key);

// How a streamed print ended: the whole text handed to `put`; or a text the scan cannot vouch
// for, or an object in it repeating a key (whatever was handed over is to be thrown away).
enum class Streamed { printed, unreadable };

// Hands `text` to `put` in pieces, printed as `dump_json` prints its parsed value with the
// top-level member `key` set to what `edit` makes of its old value (nullopt when there is
// none; the member keeps its place, or goes last). `edit` is called once; its error is the
// result's, in a text that is otherwise printable. Stops handing over when `put` returns false.
Result<Streamed> stream_with_member(std::string_view text, std::string_view key,
                                    const MemberEdit& edit,
                                    const std::function<bool(std::string_view)>& put);

}  // namespace kelvaro::json_scan

namespace kelvaro {

// `text` printed as `dump_json` prints its parsed value with the top-level member `key` set to
// `value` (in its place, or appended), without building the document. nullopt where that
// cannot stand in for parsing, editing and printing: whenever `read_json_member` finds it
// unreadable, and when an object of `text` repeats a key. For tests and the fuzz target, which
// hold it against the parser.
std::optional<std::string> print_json_with_member(std::string_view text, std::string_view key,
                                                  const Json& value);

}  // namespace kelvaro
