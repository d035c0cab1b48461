#pragma once

// What the readers and the printer of JSON text share: the event handler types of the JSON
// library's `sax_parse` and one way to run it. Internal to the documents module.

#include <array>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "documents.hpp"

namespace kelvaro::json_sax {

// Nesting deeper than this is refused: dumping, copying and comparing values recurse.
inline constexpr std::size_t max_json_depth = 128;

// Objects with at least this many members get a key index while they are being built.
inline constexpr std::size_t indexed_object_size = 16;

// The bytes a JSON string holds as they are, printed or read: printable ASCII but the quote
// and the backslash.
inline constexpr std::array<bool, 256> plain_string_bytes = [] {
  std::array<bool, 256> plain{};
  for (std::size_t byte = 0x20; byte < 0x80; ++byte) {
    plain[byte] = byte != '"' && byte != '\\';
  }
  return plain;
}();

// The value types the JSON library hands to an event handler of `sax_parse`.
struct JsonEvents {
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;
};

// The scalar events of `sax_parse` for a handler that takes every scalar alike: each becomes
// one call of `Handler::scalar(Json&&)`. The handler still says what a binary value does.
template <typename Handler>
class ScalarEvents : public JsonEvents {
 public:
  bool null() { return self().scalar(Json(nullptr)); }
  bool boolean(bool v) { return self().scalar(Json(v)); }
  bool number_integer(number_integer_t v) { return self().scalar(Json(v)); }
  bool number_unsigned(number_unsigned_t v) { return self().scalar(Json(v)); }
  bool number_float(number_float_t v, const string_t&) { return self().scalar(Json(v)); }
  bool string(string_t& v) { return self().scalar(Json(std::move(v))); }

 private:
  Handler& self() { return static_cast<Handler&>(*this); }
};

// Runs the parser over all of `text` with `handler`; false when it stops early or refuses the
// text. The parser would skip a byte-order mark, and would take a NUL byte for the end of the
// input, so that anything after one passed unread: both make the text no JSON.
template <typename Handler>
bool parse_whole_text(std::string_view text, Handler& handler) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF" || text.find('\0') != std::string_view::npos) {
    return false;
  }
  try {
    return Json::sax_parse(text.begin(), text.end(), &handler,
                           nlohmann::detail::input_format_t::json, true, false);
  } catch (const Json::exception&) {
    return false;
  }
}

}  // namespace kelvaro::json_sax
