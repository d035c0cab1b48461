#pragma once

// What the readers and the printer of JSON text share: the event handler types of the JSON
// library's `sax_parse` and one way to run it. Internal to the documents module.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents.hpp"
#include "result.hpp"

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

// Why `parse_whole_text` refused a text.
enum class TextRefusal {
  byte_order_mark,  // the parser would skip one silently
  nul_byte,         // the parser would take it for the end of the input and read no further
  parser,           // the parser, or the handler, stopped
};

struct WholeTextError {
  TextRefusal refusal = TextRefusal::parser;
  std::size_t offset = 0;        // of the NUL byte
  std::string exception_text{};  // what a JSON library exception said, if one came
};

// Runs the parser over all of `text` with `handler`. A byte-order mark and a NUL byte make the
// text no JSON; the text before a NUL is parsed all the same, so that an error in it is found
// where it lies.
template <typename Handler>
Result<void, WholeTextError> parse_whole_text(std::string_view text, Handler& handler) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return unexpected(WholeTextError{.refusal = TextRefusal::byte_order_mark});
  }
  const std::string_view before_nul = text.substr(0, text.find('\0'));
  try {
    if (!Json::sax_parse(before_nul.begin(), before_nul.end(), &handler,
                         nlohmann::detail::input_format_t::json, true, false)) {
      return unexpected(WholeTextError{});
    }
  } catch (const Json::exception& e) {
    return unexpected(WholeTextError{.exception_text = e.what()});
  }
  if (before_nul.size() < text.size()) {
    return unexpected(
        WholeTextError{.refusal = TextRefusal::nul_byte, .offset = before_nul.size()});
  }
  return {};
}

// The keys an object being read holds, for telling a repeated key at once: a plain list while
// the object is small, then an open-addressing table of each key's hash and its member's place
// (no allocation per key, for a file of 50,000 projects). The keys themselves stay with the
// caller, which says whether two keys of one hash are the same.
class KeyIndex {
 public:
  static std::uint64_t hash_of(std::string_view key) {
    const std::uint64_t hash = std::hash<std::string_view>()(key);
    return hash == 0 ? 1 : hash;  // 0 marks a free slot
  }

  void clear() {
    slots_.clear();
    used_ = 0;
  }

  // False while the caller's object is small and its own keys are searched; true once `start`
  // took them in (at `indexed_object_size` keys) and `find_or_add` answers.
  bool active() const { return !slots_.empty(); }

  // Takes in the first `count` keys of the caller's object, whose hashes `hash_at` gives.
  template <typename HashAt>
  void start(std::size_t count, HashAt&& hash_at) {
    std::size_t size = 64;
    while (size < count * 4) {
      size *= 2;
    }
    grow(size);
    for (std::size_t place = 0; place < count; ++place) {
      add(hash_at(place), place);
    }
  }

  // The place of a held key with `hash` that `same(place)` calls the same; otherwise `place` is
  // recorded for it and nullopt returned.
  template <typename Same>
  std::optional<std::size_t> find_or_add(std::uint64_t hash, std::size_t place, Same&& same) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
      if (slots_[at].hash == 0) {
        slots_[at] = Slot{hash, place};
        if (++used_ * 2 >= slots_.size()) {
          grow(slots_.size() * 2);
        }
        return std::nullopt;
      }
      if (slots_[at].hash == hash && same(slots_[at].place)) {
        return slots_[at].place;
      }
    }
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::size_t place = 0;
  };

  void add(std::uint64_t hash, std::size_t place) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = static_cast<std::size_t>(hash) & mask;
    while (slots_[at].hash != 0) {
      at = (at + 1) & mask;
    }
    slots_[at] = Slot{hash, place};
    ++used_;
  }

  void grow(std::size_t size) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.hash != 0) {
        add(slot.hash, slot.place);
      }
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace kelvaro::json_sax
