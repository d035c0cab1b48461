#pragma once

#include <cstddef>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "result.hpp"
#include "toml.hpp"

// Shared operations on other tools' documents: JSON objects read and written whole, and the
// bridge between TOML items and JSON values. A .cpp that works with `Json` values includes
// <nlohmann/json.hpp> itself; this header keeps to the forward declarations.
namespace kelvaro {

// The one JSON type of the program: objects keep their keys in insertion order. Never assign
// one to `nlohmann::json`, which sorts the keys.
using Json = nlohmann::ordered_json;

// A place in a text, both counted from 1, in bytes.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;

  bool operator==(const TextPosition&) const = default;
};

// The line and column of the byte at `offset` in `text`: `offset` is clamped to the text's
// length, the line is 1 plus the line feeds before it, the column the bytes since the line
// began plus 1.
TextPosition position_at(std::string_view text, std::size_t offset);

// "invalid TOML (line {}, column {})" for the byte at `offset` in `text`.
std::string toml_position_text(std::string_view text, std::size_t offset);

// True when `text` is empty or holds only Unicode White_Space characters (U+0085, U+00A0,
// U+3000 and the rest, besides the ASCII ones).
bool is_blank_text(std::string_view text);

// Parses `text` as a JSON document that must hold an object. Fails with "{name} is not valid
// JSON (line {}, column {}) — left untouched" for a syntax error, a byte-order mark (1, 1), a
// top level that is not an object (at its first byte) or nesting deeper than 128 levels. A
// blank `text` is an empty object. `text` must be valid UTF-8 (the parser refuses it otherwise).
Result<Json> parse_json_object(std::string_view text, std::string_view name);

// Reads the JSON object in the file at `path`. A missing or blank file is an empty object.
// Fails with "cannot read {}: {}" when the file cannot be read or is not valid UTF-8, else
// with the messages of `parse_json_object` (named by the path).
Result<Json> read_json_object(const std::filesystem::path& path);

// `value` printed pretty: two-space indent, one member or element per line, "key": value,
// `{}` and `[]` when empty, no final line end. Fails with the JSON library's message when a
// string in `value` is not valid UTF-8.
Result<std::string> dump_json(const Json& value);

// Writes `value` as `dump_json` prints it to `path` through `write_atomic`. Fails with the
// write's system error, or `std::errc::illegal_byte_sequence` when `value` cannot be printed
// (nothing is written then).
Result<void, std::error_code> write_json(const std::filesystem::path& path, const Json& value);

// The members of a JSON object as the vector an ordered object keeps them in, so that they
// can be indexed and appended to without a search. `object` must be an object.
using JsonMembers = std::vector<std::pair<const std::string, Json>>;
JsonMembers& members_of(Json& object);
const JsonMembers& members_of(const Json& object);

// Takes the member `key` out of the object `object` and returns its value (nullopt when there
// is none). The last member fills the vacated place, so exactly one other member moves.
std::optional<Json> swap_remove_member(Json& object, std::string_view key);

// Takes the member `key` out of the object `object`; the other members keep their order.
void erase_member(Json& object, std::string_view key);

// JSON equality as the program means it: members compared whatever their order, an integer
// never equal to a float (1 != 1.0), unsigned integers above the signed range compared exactly.
bool json_equal(const Json& a, const Json& b);

// The names in the folder `folder`, in listing order, with entries that cannot be read,
// symbolic links (and junctions) and names beginning with "." left out; names are converted
// to text with invalid UTF-8 replaced by U+FFFD. Fails only when the folder cannot be listed.
Result<std::vector<std::string>, std::error_code> visible_names(
    const std::filesystem::path& folder);

// --- TOML and JSON ---------------------------------------------------------------------

// The JSON form of a TOML value: strings, integers and booleans as they are; a float as a
// number, NaN and the infinities as null; a date-time as its normal text (`datetime_text`);
// an array element by element; an inline table as an object (dotted inner keys nested).
Json toml_value_to_json(const toml::Value& value);

// The JSON form of a table (with a header, implicit or made by dotted keys): an object with
// one member per entry, in order.
Json toml_table_to_json(const toml::Table& table);

// The JSON form of the item of `entry`: a value line as `toml_value_to_json`, a table as
// `toml_table_to_json`, an array of tables as an array of objects.
Json toml_item_to_json(const toml::Entry& entry);

// A TOML value for `value`: booleans, strings, integers in the signed 64-bit range, floats,
// and arrays whose elements all convert. nullopt for null, an object, an unsigned integer
// above the signed range, or an array holding any of these.
std::optional<toml::Value> json_to_toml_value(const Json& value);

// A new table (each object member becoming a sub-table with its own header) for the JSON
// object `object`, members in order, null members left out. Fails with "`{key}` has a value
// TOML cannot hold" naming the innermost member that does not convert.
Result<toml::Table> json_object_to_toml(const Json& object);

}  // namespace kelvaro
