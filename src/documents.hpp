#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "fsutil.hpp"
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

// A JSON syntax error: the byte offset where it was found and the parser's words for it.
struct JsonError {
  std::size_t offset = 0;
  std::string reason{};

  bool operator==(const JsonError&) const = default;
};

// Parses `text` as one JSON document, any top level, object members in file order (a repeated
// key keeps its first place and takes the later value). Refuses a byte-order mark (offset 0),
// nesting deeper than 128 levels, and anything else the JSON grammar does not allow, blank
// text included. `text` must be valid UTF-8 (the parser refuses it otherwise).
Result<Json, JsonError> parse_json(std::string_view text);

// "{reason} at line {}, column {}" for `error` found in `text`.
std::string describe(const JsonError& error, std::string_view text);

// Why a look for one top-level member gives no answer: the text is not a JSON object document
// (a syntax error, a byte-order mark, nesting too deep, another top level); `parse_json` then
// says which.
enum class MemberReadError { not_an_object_document };

// The member `key` of the top-level object of the JSON document `text`, built alone while the
// rest is only checked, so a large file costs little more than a scan: the member's value, or
// an empty optional when the object has no such member.
Result<std::optional<Json>, MemberReadError> read_json_member(std::string_view text,
                                                              std::string_view key);

// A member's new value made from its old one (nullopt when there is none); an error stops the
// edit.
using MemberEdit = std::function<Result<Json>(std::optional<Json> old)>;

// Writes to `path`, through `write_atomic` with `new_file_mode`, the JSON document `text` (a
// blank one an empty object) with its top-level member `key` set to what `edit` makes of its
// old value (nullopt when there is none; the member keeps its place, or goes last), printed as
// `dump_json` prints it. A large file is printed while it is read and handed to the disk in
// pieces, so that it is never held twice; a text the scan cannot vouch for is parsed whole.
// `edit` must be pure (the same answer for the same old value, and nothing else changed): a
// scan that declines late, after the edit, hands the text to the whole parse, which calls it
// again.
// Fails with the messages of `parse_json_document` (named by the path), "{} does not hold a
// JSON object — left untouched", the edit's error, or those of `write_json_file`.
Result<WriteOutcome> write_json_with_member(const std::filesystem::path& path,
                                            std::string_view text, std::string_view key,
                                            const MemberEdit& edit,
                                            std::optional<std::uint32_t> new_file_mode);

// `parse_json` for another tool's file: a blank `text` is an empty object, and an error is
// "{name} is not valid JSON (line {}, column {}) — left untouched" (a byte-order mark at 1, 1).
Result<Json> parse_json_document(std::string_view text, std::string_view name);

// As `parse_json_document`, but the top level must be an object: any other value fails with
// the same message at its first byte.
Result<Json> parse_json_object(std::string_view text, std::string_view name);

// The whole file at `path` as UTF-8 text, or nullopt when there is no file (also when a
// component of the path is not a folder). Fails with the system error; text that is not
// valid UTF-8 is `std::errc::illegal_byte_sequence`.
Result<std::optional<FileText>, std::error_code> read_text_if_present(
    const std::filesystem::path& path);

// Reads the JSON document in the file at `path`, any top level. A missing or blank file is an
// empty object. Fails with "cannot read {}: {}" when the file cannot be read or is not valid
// UTF-8, else with the messages of `parse_json_document` (named by the path).
Result<Json> read_json_document(const std::filesystem::path& path);

// As `read_json_document`, but the top level must be an object (`parse_json_object`).
Result<Json> read_json_object(const std::filesystem::path& path);

// `value` printed pretty: two-space indent, one member or element per line, "key": value,
// `{}` and `[]` when empty, no final line end. Fails with the JSON library's message when a
// string in `value` is not valid UTF-8.
Result<std::string> dump_json(const Json& value);

// Writes `value` as `dump_json` prints it and "\n" on `out` in one write; "{}" when it cannot
// be printed.
void print_json(std::ostream& out, const Json& value);

// Appends `text` to `out` as a quoted JSON string, as `dump_json` prints it once each invalid
// UTF-8 sequence is replaced by U+FFFD (`to_valid_utf8`): `\"`, `\\`, `\b`, `\f`, `\n`, `\r`
// and `\t`, the other control characters as `\u00xx`, all else (U+007F, non-ASCII) as it is.
void append_json_string(std::string& out, std::string_view text);

// Prints a JSON document value by value as `dump_json` prints it: a large document is neither
// built as a JSON value first nor held whole. Each `key` is followed by the member's value; a
// container's values go between its `open_*` and `close_*`; `finish` hands over the rest.
class JsonPrinter {
 public:
  // Where the text goes: pieces of some 64 KiB as they fill, a copied text as it comes (see
  // `copy`), and the rest at `finish`.
  using Sink = std::function<void(std::string_view piece)>;

  // Without a sink, the text stays in `text()`.
  explicit JsonPrinter(Sink sink = nullptr) : sink_(std::move(sink)) {}

  void open_object() { open('{'); }
  void close_object() { close('}'); }
  void open_array() { open('['); }
  void close_array() { close(']'); }
  void key(std::string_view name);
  void string(std::string_view value);
  void boolean(bool value);
  void number(std::uint64_t value);
  // A value already printed as `dump_json` prints it at this place: a scalar, or a container
  // whose lines after the first carry this place's indent.
  void raw(std::string_view printed);
  void finish();
  // The text printed and not yet handed to the sink.
  const std::string& text() const { return out_; }
  // The spaces a line of a value at this place begins with.
  std::size_t indent_width() const { return 2 * empty_.size(); }

  // A printer copying a text that is already printed as it would print it need not print it
  // again: where `gap_is` finds the text between two pieces to be what it would put there, it
  // can `pass` the piece (its place moves on, nothing is printed) and `copy` the stretch of
  // source text that the passed pieces make up, in order with what it prints.
  enum class Piece { open, close, key, value };
  // True when `gap` is what goes before a piece of this kind here: ": " after a key, a comma
  // (but before a container's first value), a line break and the indent inside a container
  // (for a close only when it is not empty), nothing at the top.
  bool gap_is(Piece piece, std::string_view gap) const {
    const Gap expected = gap_before(piece);
    if (expected.colon) {
      return gap == ": ";
    }
    const std::size_t size =
        (expected.comma ? 1U : 0U) + (expected.line ? 1U + expected.indent : 0U);
    if (gap.size() != size) {
      return false;
    }
    if (expected.comma) {
      if (gap.front() != ',') {
        return false;
      }
      gap.remove_prefix(1);
    }
    if (expected.line) {
      if (gap.front() != '\n') {
        return false;
      }
      gap.remove_prefix(1);
    }
    return std::all_of(gap.begin(), gap.end(), [](char c) { return c == ' '; });
  }
  void pass(Piece piece) { advance(piece); }
  void copy(std::string_view printed);

 private:
  // What goes before the next piece: a colon and space, or a comma, a line break and `indent`
  // spaces.
  struct Gap {
    bool colon = false;
    bool comma = false;
    bool line = false;
    std::size_t indent = 0;
  };
  // A member's value follows its key on the same line; any other value inside a container
  // starts a line of its own, after a comma unless it is the first; a container that holds
  // something closes on a line of its own.
  Gap gap_before(Piece piece) const {
    if (piece == Piece::close) {
      return Gap{.line = !empty_.back(), .indent = 2 * (empty_.size() - 1)};
    }
    if (after_key_) {
      return Gap{.colon = true};
    }
    if (empty_.empty()) {
      return Gap{};
    }
    return Gap{.comma = !empty_.back(), .line = true, .indent = indent_width()};
  }
  // Moves the place past a piece of this kind.
  void advance(Piece piece) {
    if (piece == Piece::close) {
      empty_.pop_back();
      return;
    }
    if (after_key_) {
      after_key_ = false;
    } else if (!empty_.empty()) {
      empty_.back() = false;
    }
    if (piece == Piece::open) {
      empty_.push_back(true);
    } else if (piece == Piece::key) {
      after_key_ = true;
    }
  }
  void begin(Piece piece);
  void open(char bracket);
  void close(char bracket);

  Sink sink_;
  std::string out_;
  std::vector<bool> empty_;  // per open container: nothing in it yet
  bool after_key_ = false;
};

// Writes `value` as `dump_json` prints it to `path` through `write_atomic`. Fails with the
// write's system error, or `std::errc::illegal_byte_sequence` when `value` cannot be printed
// (nothing is written then).
Result<WriteOutcome, std::error_code> write_json(const std::filesystem::path& path,
                                                 const Json& value);

// `write_json` with its failures as the messages every writer of another tool's JSON file
// prints: "cannot serialise {}: {}" (path, the JSON library's text) and "cannot write {}: {}"
// (path, the system error text).
Result<WriteOutcome> write_json_file(const std::filesystem::path& path, const Json& value,
                                     std::optional<std::uint32_t> new_file_mode = std::nullopt);

// The members of a JSON object as the vector an ordered object keeps them in, so that they
// can be indexed and appended to without a search. `object` must be an object.
using JsonMembers = std::vector<std::pair<const std::string, Json>>;
JsonMembers& members_of(Json& object);
const JsonMembers& members_of(const Json& object);

// Names mapped to JSON values, in name order, held behind a pointer so that a record in a
// header can carry them where the JSON library is not included. Compared as the values'
// `operator==` compares them.
class JsonMap {
 public:
  JsonMap();
  JsonMap(const JsonMap& other);
  JsonMap(JsonMap&& other) noexcept;
  JsonMap& operator=(const JsonMap& other);
  JsonMap& operator=(JsonMap&& other) noexcept;
  ~JsonMap();

  bool empty() const;
  std::size_t size() const;
  // The value of `name`, inserted as null when it is not there yet.
  Json& operator[](const std::string& name);
  // The value of `name`, which must be there.
  const Json& at(const std::string& name) const;
  // The value of `name`, or null when it is not there.
  const Json* find(const std::string& name) const;
  // The names, in order.
  std::vector<std::string> names() const;

  bool operator==(const JsonMap& other) const;

 private:
  std::unique_ptr<std::map<std::string, Json>> map_;  // null while empty
};

// Takes the member `key` out of the object `object` and returns its value (nullopt when there
// is none). The last member fills the vacated place, so exactly one other member moves.
std::optional<Json> swap_remove_member(Json& object, std::string_view key);

// Takes the member `key` out of the object `object`; the other members keep their order.
void erase_member(Json& object, std::string_view key);

// JSON equality as the program means it: members compared whatever their order, an integer
// never equal to a float (1 != 1.0), unsigned integers above the signed range compared exactly.
bool json_equal(const Json& a, const Json& b);

// --- TOML and JSON ---------------------------------------------------------------------

// The JSON form of a table (with a header, implicit or made by dotted keys): an object with
// one member per entry, in order.
Json toml_table_to_json(const toml::Table& table);

// The JSON form of the item of `entry`: a value line as its value (strings, integers and
// booleans as they are; a float as a number, NaN and the infinities as null; a date-time as its
// normal text; an array element by element; an inline table as an object, dotted inner keys
// nested), a table as `toml_table_to_json`, an array of tables as an array of objects.
Json toml_item_to_json(const toml::Entry& entry);

// A TOML value for `value`: booleans, strings, integers in the signed 64-bit range, floats,
// and arrays whose elements all convert. nullopt for null, an object, an unsigned integer
// above the signed range, or an array holding any of these.
std::optional<toml::Value> json_to_toml_value(const Json& value);

// A new table (each object member becoming a sub-table with its own header) for the JSON
// object `object`, members in order, null members left out. Fails with "`{key}` has a value
// TOML cannot hold" naming the innermost member that does not convert.
Result<toml::Table> json_object_to_toml(const Json& object);

// --- TOML files ------------------------------------------------------------------------

// A TOML file as read for editing: the document of its body (the text without a leading
// byte-order mark), and what printing must restore. `text` is the file as it was read, so
// that an edit that changes nothing writes nothing.
struct TomlFile {
  toml::Document doc{};
  std::string text{};  // every byte read; empty for a missing file
  bool bom = false;    // the text began with EF BB BF
  bool crlf = false;   // the text holds CR LF somewhere

  bool operator==(const TomlFile&) const = default;
};

// What a TOML file is read for. `edit`: kelvaro adds or replaces entries and writes the file
// back, so a missing file, and a body of Unicode white space only, is an empty document, and
// error positions are counted on the body. `read`: kelvaro only takes what the file says, as
// written: a missing file is a read error, the text is parsed as it stands (white space the
// TOML grammar refuses is an error), and error positions count a byte-order mark on line 1.
enum class TomlFileUse { edit, read };

// Why a TOML file could not be taken: either the system error of reading it (for the caller's
// "cannot read {}: {}"), or, when it was read, the position text "invalid TOML (line {},
// column {})", which each caller wraps in its own message.
struct TomlFileError {
  std::error_code read{};
  std::string invalid{};

  bool operator==(const TomlFileError&) const = default;
};

// Parses `text` as a TOML file (see `TomlFile`) taken for `use`. Fails with the position text
// only (`read` stays clear).
Result<TomlFile, TomlFileError> parse_toml_file(std::string text,
                                                TomlFileUse use = TomlFileUse::edit);

// Reads and parses the TOML file at `path` taken for `use`. Text that is not valid UTF-8 fails
// as a read error (`std::errc::illegal_byte_sequence`).
Result<TomlFile, TomlFileError> read_toml_file(const std::filesystem::path& path,
                                               TomlFileUse use = TomlFileUse::edit);

// The document printed back as the file should hold it: every line end CR LF (exactly one CR
// before each LF) when the text read had any, and the byte-order mark restored when it had one.
std::string print_toml_file(const TomlFile& file);

// Writes `print_toml_file(file)` to `path` through `write_atomic` when it differs from the text
// that was read; nullopt when it does not (nothing is written then).
Result<std::optional<WriteOutcome>, std::error_code> save_toml_file(
    const std::filesystem::path& path, const TomlFile& file);

}  // namespace kelvaro
