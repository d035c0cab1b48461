#include "documents.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_map>
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
class OrderedBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

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
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) {
    error_position = position;
    return false;
  }

  Json root;
  std::size_t error_position = 0;
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

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string not_valid_json(std::string_view text, std::string_view name, std::size_t offset) {
  const TextPosition pos = position_at(text, offset);
  return fmt::format("{} is not valid JSON (line {}, column {}) — left untouched", name, pos.line,
                     pos.column);
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

Result<Json> parse_json_object(std::string_view text, std::string_view name) {
  if (is_blank_text(text)) {
    return Json::object();
  }
  // The parser would skip a byte-order mark silently; another tool's file that has one is
  // not one we understand.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return unexpected(not_valid_json(text, name, 0));
  }
  const auto first = static_cast<std::size_t>(
      std::find_if_not(text.begin(), text.end(), is_json_space) - text.begin());
  if (first < text.size() && text[first] != '{') {
    return unexpected(not_valid_json(text, name, first));
  }

  OrderedBuilder builder;
  bool ok = false;
  try {
    ok = Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json,
                         true, false);
  } catch (const Json::exception&) {
    ok = false;
  }
  if (builder.too_deep) {
    return unexpected(not_valid_json(text, name, offset_past_depth(text, max_json_depth)));
  }
  if (!ok) {
    // The parser counts the bytes read, the failing one included.
    const std::size_t pos = builder.error_position;
    return unexpected(not_valid_json(text, name, pos == 0 ? 0 : pos - 1));
  }
  return std::move(builder.root);
}

Result<Json> read_json_object(const fs::path& path) {
  auto text = read_text_file(path);
  if (!text) {
    // As for the file system library, a path through something that is not a folder names
    // no file either.
    if (text.error() == std::errc::no_such_file_or_directory ||
        text.error() == std::errc::not_a_directory) {
      return Json::object();
    }
    return unexpected(fmt::format("cannot read {}: {}", display(path), text.error().message()));
  }
  return parse_json_object(*text, display(path));
}

Result<std::string> dump_json(const Json& value) {
  try {
    return value.dump(2, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception& e) {
    return unexpected(std::string(e.what()));
  }
}

Result<void, std::error_code> write_json(const fs::path& path, const Json& value) {
  auto text = dump_json(value);
  if (!text) {
    return unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
  }
  auto written = write_atomic(path, *text);
  if (!written) {
    return unexpected(written.error());
  }
  return {};
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
  auto listed = list_folder(folder);
  if (!listed) {
    return unexpected(listed.error());
  }
  std::vector<std::string> names;
  for (const fs::path& path : *listed) {
    auto kind = path_kind(path, false);
    if (!kind || *kind == PathKind::link) {
      continue;
    }
    std::string name = display(path.filename());
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

}  // namespace kelvaro
