#include "documents.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "check.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace fs = std::filesystem;

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

Result<std::optional<FileText>, std::error_code> read_text_if_present(const fs::path& path) {
  auto text = read_text_file(path);
  if (!text) {
    // As for the file system library, a path through something that is not a folder names
    // no file either.
    if (text.error() == std::errc::no_such_file_or_directory ||
        text.error() == std::errc::not_a_directory) {
      return std::optional<FileText>();
    }
    return unexpected(text.error());
  }
  return std::optional<FileText>(std::move(*text));
}

JsonMembers& members_of(Json& object) {
  return static_cast<JsonMembers&>(object.get_ref<Json::object_t&>());
}

const JsonMembers& members_of(const Json& object) {
  return static_cast<const JsonMembers&>(object.get_ref<const Json::object_t&>());
}

JsonMap::JsonMap() = default;

JsonMap::JsonMap(const JsonMap& other)
    : map_(other.map_ ? std::make_unique<std::map<std::string, Json>>(*other.map_) : nullptr) {}

JsonMap::JsonMap(JsonMap&& other) noexcept = default;

JsonMap& JsonMap::operator=(const JsonMap& other) {
  if (this != &other) {
    map_ = other.map_ ? std::make_unique<std::map<std::string, Json>>(*other.map_) : nullptr;
  }
  return *this;
}

JsonMap& JsonMap::operator=(JsonMap&& other) noexcept = default;

JsonMap::~JsonMap() = default;

bool JsonMap::empty() const {
  return size() == 0;
}

std::size_t JsonMap::size() const {
  return map_ ? map_->size() : 0;
}

Json& JsonMap::operator[](const std::string& name) {
  if (!map_) {
    map_ = std::make_unique<std::map<std::string, Json>>();
  }
  return (*map_)[name];
}

const Json& JsonMap::at(const std::string& name) const {
  const Json* value = find(name);
  KELVARO_CHECK(value != nullptr, "JsonMap::at names a member that is there");
  return *value;
}

const Json* JsonMap::find(const std::string& name) const {
  if (!map_) {
    return nullptr;
  }
  auto it = map_->find(name);
  return it != map_->end() ? &it->second : nullptr;
}

std::vector<std::string> JsonMap::names() const {
  std::vector<std::string> names;
  if (map_) {
    for (const auto& [name, value] : *map_) {
      names.push_back(name);
    }
  }
  return names;
}

bool JsonMap::operator==(const JsonMap& other) const {
  if (size() != other.size()) {
    return false;
  }
  return size() == 0 || *map_ == *other.map_;
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
    return parse_toml_file(std::move(*text).take_string(), use);
  }
  auto text = read_text_if_present(path);
  if (!text) {
    return unexpected(TomlFileError{.read = text.error()});
  }
  return parse_toml_file(*text ? std::move(**text).take_string() : std::string(), use);
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
