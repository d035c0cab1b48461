#include "documents.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "check.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// Nesting deeper than this is refused: dumping, copying and comparing values recurse.
constexpr std::size_t max_json_depth = 128;

// Objects with at least this many members get a key index while they are being built.
constexpr std::size_t indexed_object_size = 16;

// Builds an ordered object in linear time. The stock parser looks every key up by scanning
// the object's member vector, which makes a 50,000-key file take many seconds; here large
// open objects keep a hash index. A repeated key keeps its first position and takes the
// later value, as the stock parser does.
// The value types the JSON library hands to an event handler of `sax_parse`.
struct JsonEvents {
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;
};

class OrderedBuilder : public JsonEvents {
 public:
  bool null() { return put(Json(nullptr)); }
  bool boolean(bool v) { return put(Json(v)); }
  bool number_integer(number_integer_t v) { return put(Json(v)); }
  bool number_unsigned(number_unsigned_t v) { return put(Json(v)); }
  bool number_float(number_float_t v, const string_t&) { return put(Json(v)); }
  bool string(string_t& v) { return put(Json(std::move(v))); }
  bool binary(binary_t& v) { return put(Json::binary(std::move(v))); }
  bool start_object(std::size_t) { return open(Json::object()); }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_array() { return close(); }

  bool key(string_t& k) {
    Frame& frame = stack_.back();
    // ordered_map is a vector of pairs underneath; appending to it directly skips its scan.
    JsonMembers& members = members_of(*frame.value);
    if (frame.index.empty() && members.size() < indexed_object_size) {
      for (auto& member : members) {
        if (member.first == k) {
          slot_ = &member.second;
          return true;
        }
      }
      members.emplace_back(std::move(k), nullptr);
      slot_ = &members.back().second;
      if (members.size() == indexed_object_size) {
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

  bool put(Json&& v) {
    place(std::move(v));
    return true;
  }

  bool open(Json&& empty) {
    if (stack_.size() >= max_json_depth) {
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
class MemberPicker : public JsonEvents {
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
    if (depth_ >= max_json_depth) {
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

// Prints a document as `dump_json` prints its parsed value while it is being parsed, with one
// member of the top-level object set to a new value, so that a large file is never built in
// memory. Gives up (returns false) where that could differ from parse, edit and print: a top
// level that is not an object, and an object that repeats a key (the parsed value would keep
// the first place with the later value).
class MemberPrinter : public JsonEvents {
 public:
  MemberPrinter(std::string& out, std::string_view key, const Json& value)
      : out_(out),
        serializer_(nlohmann::detail::output_adapter<char>(out), ' ',
                    Json::error_handler_t::strict),
        key_(key),
        value_(value) {}

  bool null() { return scalar(Json(nullptr)); }
  bool boolean(bool v) { return scalar(Json(v)); }
  bool number_integer(number_integer_t v) { return scalar(Json(v)); }
  bool number_unsigned(number_unsigned_t v) { return scalar(Json(v)); }
  bool number_float(number_float_t v, const string_t&) { return scalar(Json(v)); }
  bool string(string_t& v) { return scalar(Json(std::move(v))); }
  bool binary(binary_t&) { return false; }

  bool start_object(std::size_t) { return open('{', true); }
  bool start_array(std::size_t) {
    if (stack_.empty()) {
      return false;
    }
    return open('[', false);
  }
  bool end_object() { return close('}'); }
  bool end_array() { return close(']'); }

  bool key(string_t& k) {
    if (skip_depth_ != 0) {
      return true;
    }
    Frame& frame = stack_.back();
    if (!frame.remember(k)) {
      return false;
    }
    separate(frame);
    put_key(k);
    if (stack_.size() == 1 && k == key_) {
      put_value(stack_.size());
      replaced_ = true;
      skip_depth_ = stack_.size();
      skipping_value_ = true;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool done = false;

 private:
  struct Frame {
    bool object = false;
    std::size_t count = 0;
    std::vector<std::size_t> hashes{};
    std::unordered_set<std::size_t> index{};

    // False when `key` may repeat an earlier key of this object (equal hashes).
    bool remember(const std::string& key) {
      const std::size_t hash = std::hash<std::string>()(key);
      if (index.empty() && hashes.size() < indexed_object_size) {
        if (std::find(hashes.begin(), hashes.end(), hash) != hashes.end()) {
          return false;
        }
        hashes.push_back(hash);
        if (hashes.size() == indexed_object_size) {
          for (std::size_t h : hashes) {
            index.insert(h);
          }
        }
        return true;
      }
      return index.insert(hash).second;
    }
  };

  void indent(std::size_t level) { out_.append(level * 2, ' '); }

  // What comes before the next member or element of `frame`.
  void separate(Frame& frame) {
    out_.append(frame.count == 0 ? "\n" : ",\n");
    ++frame.count;
    indent(stack_.size());
  }

  void put_key(const std::string& key) {
    serializer_.dump(Json(key), false, false, 0);
    out_.append(": ");
  }

  void put_value(std::size_t level) {
    serializer_.dump(value_, true, false, 2, static_cast<unsigned int>(level * 2));
  }

  // The start of a value: inside the replaced member nothing is printed; in an array the
  // element's separator.
  bool begin_value() {
    if (skip_depth_ != 0) {
      return false;
    }
    if (!stack_.empty() && !stack_.back().object) {
      separate(stack_.back());
    }
    return true;
  }

  bool scalar(const Json& value) {
    if (stack_.empty()) {
      return false;
    }
    if (begin_value()) {
      serializer_.dump(value, false, false, 0);
    } else if (skipping_value_ && stack_.size() == skip_depth_) {
      skip_depth_ = 0;
      skipping_value_ = false;
    }
    return true;
  }

  bool open(char bracket, bool object) {
    if (stack_.size() >= max_json_depth) {
      return false;
    }
    if (begin_value()) {
      out_.push_back(bracket);
    }
    stack_.push_back(Frame{.object = object});
    return true;
  }

  bool close(char bracket) {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    if (skip_depth_ != 0) {
      if (stack_.size() == skip_depth_) {
        skip_depth_ = 0;
        skipping_value_ = false;
      }
      return true;
    }
    if (stack_.empty() && !replaced_) {
      // The member was not there: it goes last.
      stack_.push_back(frame);
      separate(stack_.back());
      put_key(std::string(key_));
      put_value(1);
      stack_.pop_back();
      replaced_ = true;
      out_.push_back('\n');
      out_.push_back(bracket);
      done = true;
      return true;
    }
    if (frame.count > 0) {
      out_.push_back('\n');
      indent(stack_.size());
    }
    out_.push_back(bracket);
    done = stack_.empty();
    return true;
  }

  std::string& out_;
  nlohmann::detail::serializer<Json> serializer_;
  std::string_view key_;
  const Json& value_;
  std::vector<Frame> stack_;
  std::size_t skip_depth_ = 0;  // while the replaced member's old value goes by: its level
  bool skipping_value_ = false;
  bool replaced_ = false;
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

Json inline_members_to_json(const std::vector<toml::InlineMember>& members) {
  Json object = Json::object();
  for (const auto& member : members) {
    object[member.name] = member.value != nullptr ? toml_value_to_json(*member.value)
                                                  : inline_members_to_json(member.children);
  }
  return object;
}

}  // namespace

std::string cannot_read(const fs::path& path, const std::error_code& error) {
  return fmt::format("cannot read {}: {}", display(path), error.message());
}

std::string cannot_write(const fs::path& path, const std::error_code& error) {
  return fmt::format("cannot write {}: {}", display(path), error.message());
}

std::string not_an_object(const fs::path& path, std::string_view key) {
  return fmt::format("{}: `{}` is not an object — left untouched", display(path), key);
}

TextPosition position_at(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const auto line_feeds = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last = before.rfind('\n');
  const std::size_t line_start = last == std::string_view::npos ? 0 : last + 1;
  return TextPosition{.line = line_feeds + 1, .column = offset - line_start + 1};
}

std::string toml_position_text(std::string_view text, std::size_t offset) {
  const TextPosition pos = position_at(text, offset);
  return fmt::format("invalid TOML (line {}, column {})", pos.line, pos.column);
}

bool is_blank_text(std::string_view text) {
  return trim_space(text).empty();
}

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
    return unexpected(
        JsonError{.offset = offset_past_depth(text, max_json_depth),
                  .reason = fmt::format("nesting deeper than {} levels", max_json_depth)});
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

std::optional<std::optional<Json>> read_json_member(std::string_view text, std::string_view key) {
  MemberPicker picker(key);
  if (!parse_whole_text(text, picker)) {
    return std::nullopt;
  }
  if (!picker.found) {
    return std::optional<Json>();
  }
  return std::optional<Json>(picker.take());
}

std::optional<std::string> print_json_with_member(std::string_view text, std::string_view key,
                                                  const Json& value) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  MemberPrinter printer(out, key, value);
  if (!parse_whole_text(text, printer) || !printer.done) {
    return std::nullopt;
  }
  return out;
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

Result<std::optional<std::string>, std::error_code> read_text_if_present(const fs::path& path) {
  auto text = read_text_file(path);
  if (!text) {
    // As for the file system library, a path through something that is not a folder names
    // no file either.
    if (text.error() == std::errc::no_such_file_or_directory ||
        text.error() == std::errc::not_a_directory) {
      return std::optional<std::string>();
    }
    return unexpected(text.error());
  }
  return std::optional<std::string>(std::move(*text));
}

Result<Json> read_json_document(const fs::path& path) {
  return read_json_with(path, parse_json_document);
}

Result<Json> read_json_object(const fs::path& path) {
  return read_json_with(path, parse_json_object);
}

Result<std::string> dump_json(const Json& value) {
  try {
    return value.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    return unexpected(std::string(e.what()));
  }
}

Result<WriteOutcome, std::error_code> write_json(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
  }
  return write_atomic(path, *text);
}

Result<WriteOutcome> write_json_file(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(fmt::format("cannot serialise {}: {}", display(path), text.error()));
  }
  auto written = write_atomic(path, *text);
  if (!written) {
    return unexpected(cannot_write(path, written.error()));
  }
  return std::move(*written);
}

JsonMembers& members_of(Json& object) {
  return static_cast<JsonMembers&>(object.get_ref<Json::object_t&>());
}

const JsonMembers& members_of(const Json& object) {
  return static_cast<const JsonMembers&>(object.get_ref<const Json::object_t&>());
}

std::optional<Json> swap_remove_member(Json& object, std::string_view key) {
  JsonMembers& members = members_of(object);
  const std::size_t n = members.size();
  std::size_t at = 0;
  while (at < n && members[at].first != key) {
    ++at;
  }
  if (at == n) {
    return std::nullopt;
  }
  Json value = std::move(members[at].second);
  // The key is const inside the vector, so the members are moved into a new one.
  JsonMembers rebuilt;
  rebuilt.reserve(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const std::size_t from = i == at ? n - 1 : i;
    rebuilt.emplace_back(members[from].first, std::move(members[from].second));
  }
  members = std::move(rebuilt);
  return value;
}

void erase_member(Json& object, std::string_view key) {
  JsonMembers& members = members_of(object);
  JsonMembers kept;
  kept.reserve(members.size());
  for (auto& member : members) {
    if (member.first != key) {
      kept.emplace_back(member.first, std::move(member.second));
    }
  }
  members = std::move(kept);
}

bool json_equal(const Json& a, const Json& b) {
  if (a.is_number_integer() && b.is_number_integer()) {
    if (a.is_number_unsigned() == b.is_number_unsigned()) {
      return a == b;
    }
    const Json& signed_one = a.is_number_unsigned() ? b : a;
    const Json& unsigned_one = a.is_number_unsigned() ? a : b;
    const auto s = signed_one.get<std::int64_t>();
    return s >= 0 && static_cast<std::uint64_t>(s) == unsigned_one.get<std::uint64_t>();
  }
  if (a.type() != b.type()) {
    return false;
  }
  if (a.is_object()) {
    const auto& right_map = b.get_ref<const Json::object_t&>();
    const JsonMembers& left = members_of(a);
    const JsonMembers& right = members_of(b);
    if (left.size() != right.size()) {
      return false;
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
      // Members usually come in the same order: try the same place before searching.
      const Json* other = nullptr;
      if (right[i].first == left[i].first) {
        other = &right[i].second;
      } else if (const auto found = right_map.find(left[i].first); found != right_map.end()) {
        other = &found->second;
      }
      if (other == nullptr || !json_equal(left[i].second, *other)) {
        return false;
      }
    }
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) {
      return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!json_equal(a[i], b[i])) {
        return false;
      }
    }
    return true;
  }
  return a == b;
}

Result<std::vector<std::string>, std::error_code> visible_names(const fs::path& folder) {
  auto listed = list_folder(folder, MissingFolder::error);
  if (!listed) {
    return unexpected(listed.error());
  }
  std::vector<std::string> names;
  for (const fs::path& path : *listed) {
    auto kind = path_kind(path, false);
    if (!kind || *kind == PathKind::link) {
      continue;
    }
    std::string name = path_text(path.filename());
    if (name.starts_with('.')) {
      continue;
    }
    names.push_back(std::move(name));
  }
  return names;
}

Json toml_value_to_json(const toml::Value& value) {
  switch (value.kind) {
    case toml::Kind::string:
      return value.str;
    case toml::Kind::integer:
      return value.integer;
    case toml::Kind::floating:
      return std::isfinite(value.real) ? Json(value.real) : Json(nullptr);
    case toml::Kind::boolean:
      return value.boolean;
    case toml::Kind::datetime:
      return toml::datetime_text(value.dt);
    case toml::Kind::array: {
      Json array = Json::array();
      for (const auto& item : value.items) {
        array.push_back(toml_value_to_json(item));
      }
      return array;
    }
    case toml::Kind::inline_table:
      return inline_members_to_json(toml::inline_members(value));
  }
  KELVARO_CHECK(false, "a TOML value of an unknown kind");
  return nullptr;
}

Json toml_table_to_json(const toml::Table& table) {
  Json object = Json::object();
  for (const auto& entry : table.entries) {
    object[entry.key.name] = toml_item_to_json(entry);
  }
  return object;
}

Json toml_item_to_json(const toml::Entry& entry) {
  if (const toml::Line* line = toml::as_line(entry)) {
    return toml_value_to_json(line->value);
  }
  if (const toml::Table* table = toml::as_table(entry)) {
    return toml_table_to_json(*table);
  }
  Json array = Json::array();
  if (const toml::ArrayOfTables* tables = toml::as_aot(entry)) {
    for (const auto& table : tables->tables) {
      array.push_back(toml_table_to_json(table));
    }
  }
  return array;
}

std::optional<toml::Value> json_to_toml_value(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
      return toml::bool_value(value.get<bool>());
    case Json::value_t::string:
      return toml::string_value(value.get<std::string>());
    case Json::value_t::number_integer:
      return toml::integer_value(value.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      // Read as signed, a value above the signed range would come out negative.
      const auto number = value.get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      return toml::integer_value(static_cast<std::int64_t>(number));
    }
    case Json::value_t::number_float:
      return toml::float_value(value.get<double>());
    case Json::value_t::array: {
      std::vector<toml::Value> items;
      items.reserve(value.size());
      for (const auto& element : value) {
        auto item = json_to_toml_value(element);
        if (!item) {
          return std::nullopt;
        }
        items.push_back(std::move(*item));
      }
      return toml::array_value(std::move(items));
    }
    case Json::value_t::null:
    case Json::value_t::object:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      return std::nullopt;
  }
  return std::nullopt;
}

Result<toml::Table> json_object_to_toml(const Json& object) {
  KELVARO_CHECK(object.is_object(), "only a JSON object converts to a TOML table");
  toml::Table table;
  for (const auto& [key, value] : object.items()) {
    if (value.is_null()) {
      continue;
    }
    if (value.is_object()) {
      auto sub = json_object_to_toml(value);
      if (!sub) {
        return unexpected(std::move(sub).error());
      }
      toml::replace_table(table, key, std::move(*sub));
      continue;
    }
    auto converted = json_to_toml_value(value);
    if (!converted) {
      return unexpected(fmt::format("`{}` has a value TOML cannot hold", key));
    }
    toml::set_value(table, key, std::move(*converted));
  }
  return table;
}

Result<TomlFile, TomlFileError> parse_toml_file(std::string text, TomlFileUse use) {
  TomlFile file;
  file.bom = text.starts_with("\xEF\xBB\xBF");
  file.crlf = text.find("\r\n") != std::string::npos;
  file.text = std::move(text);
  const std::string_view body = std::string_view(file.text).substr(file.bom ? 3 : 0);
  if (use == TomlFileUse::edit && is_blank_text(body)) {
    return file;
  }
  // Given the whole text, the parser skips the byte-order mark itself and its offsets count it.
  const std::string_view parsed = use == TomlFileUse::edit ? body : std::string_view(file.text);
  auto doc = toml::parse(parsed);
  if (!doc) {
    return unexpected(TomlFileError{.invalid = toml_position_text(parsed, doc.error().offset)});
  }
  file.doc = std::move(*doc);
  return file;
}

Result<TomlFile, TomlFileError> read_toml_file(const fs::path& path, TomlFileUse use) {
  if (use == TomlFileUse::read) {
    auto text = read_text_file(path);
    if (!text) {
      return unexpected(TomlFileError{.read = text.error()});
    }
    return parse_toml_file(std::move(*text), use);
  }
  auto text = read_text_if_present(path);
  if (!text) {
    return unexpected(TomlFileError{.read = text.error()});
  }
  return parse_toml_file(text->value_or(std::string()), use);
}

std::string print_toml_file(const TomlFile& file) {
  std::string printed = toml::print(file.doc);
  if (file.crlf) {
    // A CR that ended up before a CR LF would double it: take every CR LF back first.
    printed = toml::with_crlf(toml::with_lf(printed));
  }
  if (file.bom) {
    printed.insert(0, "\xEF\xBB\xBF");
  }
  return printed;
}

Result<std::optional<WriteOutcome>, std::error_code> save_toml_file(const fs::path& path,
                                                                    const TomlFile& file) {
  const std::string printed = print_toml_file(file);
  if (printed == file.text) {
    return std::optional<WriteOutcome>();
  }
  auto written = write_atomic(path, printed);
  if (!written) {
    return unexpected(written.error());
  }
  return std::optional<WriteOutcome>(std::move(*written));
}

}  // namespace kelvaro
