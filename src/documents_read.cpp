#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_map>
#include <utility>

#include "documents.hpp"
#include "documents_sax.hpp"
#include "documents_scan.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// Builds an ordered object in linear time. The stock parser looks every key up by scanning
// the object's member vector, which makes a 50,000-key file take many seconds; here large
// open objects keep a hash index. A repeated key keeps its first position and takes the
// later value, as the stock parser does.
class OrderedBuilder : public json_sax::ScalarEvents<OrderedBuilder> {
 public:
  bool binary(binary_t& v) { return put(Json::binary(std::move(v))); }
  bool start_object(std::size_t) { return open(Json::object()); }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_array() { return close(); }

  bool key(string_t& k) {
    Frame& frame = stack_.back();
    // ordered_map is a vector of pairs underneath; appending to it directly skips its scan.
    JsonMembers& members = members_of(*frame.value);
    if (frame.index.empty() && members.size() < json_sax::indexed_object_size) {
      for (auto& member : members) {
        if (member.first == k) {
          slot_ = &member.second;
          return true;
        }
      }
      members.emplace_back(std::move(k), nullptr);
      slot_ = &members.back().second;
      if (members.size() == json_sax::indexed_object_size) {
        for (std::size_t i = 0; i < members.size(); ++i) {
          frame.index.emplace(members[i].first, i);
        }
      }
      return true;
    }
    auto [it, fresh] = frame.index.try_emplace(k, members.size());
    if (fresh) {
      members.emplace_back(std::move(k), nullptr);
    }
    slot_ = &members[it->second].second;
    return true;
  }

  // Also receives out_of_range errors (a number such as 1e400): never cast `error` to a
  // parse_error.
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) {
    error_position = position;
    error_text = error.what();
    return false;
  }

  Json root;
  std::size_t error_position = 0;
  std::string error_text;
  bool too_deep = false;

 private:
  struct Frame {
    Json* value = nullptr;
    std::unordered_map<std::string, std::size_t> index;
  };

  Json* place(Json&& v) {
    if (stack_.empty()) {
      root = std::move(v);
      return &root;
    }
    Json& parent = *stack_.back().value;
    if (parent.is_array()) {
      parent.get_ref<Json::array_t&>().push_back(std::move(v));
      return &parent.get_ref<Json::array_t&>().back();
    }
    *slot_ = std::move(v);
    return slot_;
  }

  friend class json_sax::ScalarEvents<OrderedBuilder>;

  bool scalar(Json&& v) { return put(std::move(v)); }

  bool put(Json&& v) {
    place(std::move(v));
    return true;
  }

  bool open(Json&& empty) {
    if (stack_.size() >= json_sax::max_json_depth) {
      too_deep = true;
      return false;
    }
    // A value placed in an open container stays put while it is open itself: nothing is
    // added to its parent until it closes.
    Json* value = place(std::move(empty));
    stack_.push_back(Frame{value, {}});
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  std::vector<Frame> stack_;
  Json* slot_ = nullptr;
};

// Builds only the value of one member of the top-level object and checks the rest of the
// document without keeping it: reading a few servers out of a 20 MB settings file then costs
// little more than scanning it. A repeated member takes the later value, as `parse_json` does.
class MemberPicker : public json_sax::JsonEvents {
 public:
  explicit MemberPicker(std::string_view key) : key_(key) {}

  bool null() {
    return scalar([&] { return builder_.null(); });
  }
  bool boolean(bool v) {
    return scalar([&] { return builder_.boolean(v); });
  }
  bool number_integer(number_integer_t v) {
    return scalar([&] { return builder_.number_integer(v); });
  }
  bool number_unsigned(number_unsigned_t v) {
    return scalar([&] { return builder_.number_unsigned(v); });
  }
  bool number_float(number_float_t v, const string_t& s) {
    return scalar([&] { return builder_.number_float(v, s); });
  }
  bool string(string_t& v) {
    return scalar([&] { return builder_.string(v); });
  }
  bool binary(binary_t& v) {
    return scalar([&] { return builder_.binary(v); });
  }

  bool start_object(std::size_t n) {
    if (depth_ == 0) {
      ++depth_;
      return true;
    }
    return open([&] { return builder_.start_object(n); });
  }
  bool start_array(std::size_t n) {
    if (depth_ == 0) {
      not_object = true;
      return false;
    }
    return open([&] { return builder_.start_array(n); });
  }
  bool end_object() {
    return close([&] { return builder_.end_object(); });
  }
  bool end_array() {
    return close([&] { return builder_.end_array(); });
  }

  bool key(string_t& k) {
    if (picking()) {
      return builder_.key(k);
    }
    if (depth_ == 1 && k == key_) {
      pick_depth_ = depth_;
      builder_ = OrderedBuilder();
      found = true;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool found = false;
  bool not_object = false;
  bool too_deep = false;

  Json take() { return std::move(builder_.root); }

 private:
  bool picking() const { return pick_depth_ != 0 && depth_ >= pick_depth_; }

  // Hands an event inside the picked member to the builder; the one that ends the member's
  // value ends the picking.
  template <typename F>
  bool build_picked(F&& build) {
    if (!picking()) {
      return true;
    }
    const bool ok = build();
    if (depth_ == pick_depth_) {
      pick_depth_ = 0;
    }
    return ok;
  }
  template <typename F>
  bool scalar(F&& build) {
    if (depth_ == 0) {
      not_object = true;
      return false;
    }
    return build_picked(build);
  }
  template <typename F>
  bool open(F&& build) {
    if (depth_ >= json_sax::max_json_depth) {
      too_deep = true;
      return false;
    }
    const bool ok = !picking() || build();
    ++depth_;
    return ok;
  }
  template <typename F>
  bool close(F&& build) {
    --depth_;
    return build_picked(build);
  }

  std::string_view key_;
  OrderedBuilder builder_;
  std::size_t depth_ = 0;
  std::size_t pick_depth_ = 0;  // the depth of the picked member's object while inside its value
};

// The byte that opens nesting level `limit + 1`, in a text the parser has accepted up to it.
std::size_t offset_past_depth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) {
        return i;
      }
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return text.size();
}

// The parser's words for an error without its exception tag and its own position, which
// counts a CR as a column: "[json.exception.parse_error.101] parse error at line 1, column 2:
// syntax error ..." gives "syntax error ...".
std::string parser_reason(std::string_view what) {
  if (what.starts_with("[json.exception.")) {
    const std::size_t tag_end = what.find("] ");
    what.remove_prefix(tag_end == std::string_view::npos ? what.size() : tag_end + 2);
  }
  if (what.starts_with("parse error")) {
    const std::size_t colon = what.find(": ");
    if (colon != std::string_view::npos) {
      what.remove_prefix(colon + 2);
    }
  }
  return what.empty() ? std::string("syntax error") : std::string(what);
}

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string not_valid_json(std::string_view text, std::string_view name, std::size_t offset) {
  const TextPosition pos = position_at(text, offset);
  return fmt::format("{} is not valid JSON (line {}, column {}) — left untouched", name, pos.line,
                     pos.column);
}

// The JSON in the file at `path`, parsed by `parse`; a missing file is an empty object.
Result<Json> read_json_with(const fs::path& path,
                            Result<Json> (*parse)(std::string_view, std::string_view)) {
  auto text = read_text_if_present(path);
  if (!text) {
    return unexpected(cannot_read(path, text.error()));
  }
  if (!text->has_value()) {
    return Json::object();
  }
  return parse(**text, display(path));
}

}  // namespace

Result<Json, JsonError> parse_json(std::string_view text) {
  // The parser would skip a byte-order mark silently; a file that has one is not JSON.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return unexpected(JsonError{.offset = 0, .reason = "a byte-order mark is not JSON"});
  }
  const std::string_view before_nul = text.substr(0, text.find('\0'));
  OrderedBuilder builder;
  bool ok = false;
  try {
    ok = Json::sax_parse(before_nul.begin(), before_nul.end(), &builder,
                         nlohmann::detail::input_format_t::json, true, false);
  } catch (const Json::exception& e) {
    ok = false;
    builder.error_text = e.what();
  }
  if (ok && before_nul.size() < text.size()) {
    return unexpected(JsonError{.offset = before_nul.size(), .reason = "a NUL byte is not JSON"});
  }
  if (builder.too_deep) {
    return unexpected(JsonError{
        .offset = offset_past_depth(text, json_sax::max_json_depth),
        .reason = fmt::format("nesting deeper than {} levels", json_sax::max_json_depth)});
  }
  if (!ok) {
    // The parser counts the bytes read, the failing one included.
    const std::size_t pos = builder.error_position;
    return unexpected(
        JsonError{.offset = pos == 0 ? 0 : pos - 1, .reason = parser_reason(builder.error_text)});
  }
  return std::move(builder.root);
}

std::string describe(const JsonError& error, std::string_view text) {
  const TextPosition pos = position_at(text, error.offset);
  return fmt::format("{} at line {}, column {}", error.reason, pos.line, pos.column);
}

Result<std::optional<Json>, MemberReadError> read_json_member(std::string_view text,
                                                              std::string_view key) {
  if (const auto span = json_scan::find_member(text, key)) {
    if (!span->found) {
      return std::optional<Json>();
    }
    if (auto value = parse_json(text.substr(span->begin, span->end - span->begin))) {
      return std::optional<Json>(std::move(*value));
    }
  }
  // What the scan does not vouch for, the parser reads, building only the member.
  MemberPicker picker(key);
  if (!json_sax::parse_whole_text(text, picker)) {
    return unexpected(MemberReadError::not_an_object_document);
  }
  if (!picker.found) {
    return std::optional<Json>();
  }
  return std::optional<Json>(picker.take());
}

Result<Json> parse_json_document(std::string_view text, std::string_view name) {
  if (is_blank_text(text)) {
    return Json::object();
  }
  auto parsed = parse_json(text);
  if (!parsed) {
    return unexpected(not_valid_json(text, name, parsed.error().offset));
  }
  return std::move(*parsed);
}

Result<Json> parse_json_object(std::string_view text, std::string_view name) {
  if (!is_blank_text(text) && text.substr(0, 3) != "\xEF\xBB\xBF") {
    const auto first = static_cast<std::size_t>(
        std::find_if_not(text.begin(), text.end(), is_json_space) - text.begin());
    if (first < text.size() && text[first] != '{') {
      return unexpected(not_valid_json(text, name, first));
    }
  }
  return parse_json_document(text, name);
}

Result<Json> read_json_document(const fs::path& path) {
  return read_json_with(path, parse_json_document);
}

Result<Json> read_json_object(const fs::path& path) {
  return read_json_with(path, parse_json_object);
}

}  // namespace kelvaro
