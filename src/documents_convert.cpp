#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "check.hpp"
#include "documents.hpp"

namespace kelvaro {

namespace {

// The JSON form of a TOML value: strings, integers and booleans as they are; a float as a
// number, NaN and the infinities as null; a date-time as its normal text (`datetime_text`);
// an array element by element; an inline table as an object (dotted inner keys nested).
Json toml_value_to_json(const toml::Value& value);

Json inline_members_to_json(const std::vector<toml::InlineMember>& members) {
  Json object = Json::object();
  for (const auto& member : members) {
    object[member.name] = member.value != nullptr ? toml_value_to_json(*member.value)
                                                  : inline_members_to_json(member.children);
  }
  return object;
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

}  // namespace

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
