#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "documents.hpp"
#include "documents_sax.hpp"
#include "documents_scan.hpp"
#include "fsutil.hpp"
#include "report.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// Builds an ordered object in linear time. The stock `ordered_json::parse` looks every key up
// by scanning the object's member vector, which is quadratic on large objects: a 24 MB
// settings file of 50,000 projects took 2.9 s there against 0.57 s here, where large open
// objects keep a key index. Keep it: a simpler parse is the slow one. A repeated key keeps its
// first position and takes the later value, as the stock parser does.
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
    if (frame.index.active()) {
      const auto held =
          frame.index.find_or_add(json_sax::KeyIndex::hash_of(k), members.size(),
                                  [&](std::size_t place) { return members[place].first == k; });
      if (held) {
        slot_ = &members[*held].second;
        return true;
      }
    } else {
      for (auto& member : members) {
        if (member.first == k) {
          slot_ = &member.second;
          return true;
        }
      }
    }
    members.emplace_back(std::move(k), nullptr);
    slot_ = &members.back().second;
    if (!frame.index.active() && members.size() == json_sax::indexed_object_size) {
      frame.index.start(members.size(), [&](std::size_t place) {
        return json_sax::KeyIndex::hash_of(members[place].first);
      });
    }
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
    json_sax::KeyIndex index{};
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
  OrderedBuilder builder;
  auto parsed = json_sax::parse_whole_text(text, builder);
  if (parsed) {
    return std::move(builder.root);
  }
  switch (parsed.error().refusal) {
    case json_sax::TextRefusal::byte_order_mark:
      return unexpected(JsonError{.offset = 0, .reason = "a byte-order mark is not JSON"});
    case json_sax::TextRefusal::nul_byte:
      return unexpected(
          JsonError{.offset = parsed.error().offset, .reason = "a NUL byte is not JSON"});
    case json_sax::TextRefusal::parser:
      break;
  }
  if (builder.too_deep) {
    return unexpected(JsonError{
        .offset = offset_past_depth(text, json_sax::max_json_depth),
        .reason = fmt::format("nesting deeper than {} levels", json_sax::max_json_depth)});
  }
  // The parser counts the bytes read, the failing one included.
  const std::size_t pos = builder.error_position;
  const std::string& what =
      parsed.error().exception_text.empty() ? builder.error_text : parsed.error().exception_text;
  return unexpected(JsonError{.offset = pos == 0 ? 0 : pos - 1, .reason = parser_reason(what)});
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
  // What the scan does not vouch for (a byte-order mark, a NUL byte, a repeated key, deep
  // nesting, a huge number: all rare) the parser reads whole.
  auto root = parse_json(text);
  if (!root || !root->is_object()) {
    return unexpected(MemberReadError::not_an_object_document);
  }
  const auto found = root->find(std::string(key));
  if (found == root->end()) {
    return std::optional<Json>();
  }
  return std::optional<Json>(std::move(*found));
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
