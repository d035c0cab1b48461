#pragma once

// A TOML 1.0.0 document that keeps every byte of its source: comments, blank lines,
// indentation, key spellings, dotted-key lines and line ends. Printing an unedited
// document gives back the parsed text exactly (less a leading byte-order mark); edits
// touch only the items they name, and new items print in one fixed default form.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "result.hpp"

namespace kelvaro::toml {

struct Table;

// Takes the tables nested anywhere below `table` out of it and destroys them one at a time,
// so that no destructor runs on a table that still holds sub-tables. Tearing a tree down
// by nested destructor calls would take stack in proportion to its depth. `table` keeps
// its other entries.
void release_subtables(Table& table);

// An owning pointer with value semantics, so that recursive records copy and compare
// as plain values. A boxed table is torn down through `release_subtables`, however it goes:
// destroyed, reset or assigned over.
template <typename T>
class Box {
  struct Delete {
    void operator()(T* p) const {
      if constexpr (std::is_same_v<T, Table>) {
        release_subtables(*p);
      }
      delete p;
    }
  };

 public:
  Box() : p_(new T()) {}
  Box(T value) : p_(new T(std::move(value))) {}
  // Adopts an object built in place, which saves moving a large record into the box.
  explicit Box(std::unique_ptr<T> owned) : p_(owned.release()) {}
  Box(const Box& other) : p_(new T(*other.p_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) {
      p_.reset(new T(*other.p_));
    }
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }
  T* get() { return p_.get(); }
  const T* get() const { return p_.get(); }

  bool operator==(const Box& other) const { return *p_ == *other.p_; }

 private:
  std::unique_ptr<T, Delete> p_;
};

// An optional text in one pointer. Absent, empty and a single blank (most of the decor and
// key spacing in a file) share static strings and take no allocation.
class OptText {
 public:
  OptText() = default;
  OptText(std::nullopt_t) {}
  OptText(std::string_view text) : bits_(shared(text)) {
    if (bits_ == absent) {
      bits_ = reinterpret_cast<std::uintptr_t>(new std::string(text));
    }
  }
  OptText(std::string text) : bits_(shared(text)) {
    if (bits_ == absent) {
      bits_ = reinterpret_cast<std::uintptr_t>(new std::string(std::move(text)));
    }
  }
  OptText(const char* text) : OptText(std::string_view(text)) {}
  OptText(const OptText& other)
      : bits_(other.bits_ > blank ? reinterpret_cast<std::uintptr_t>(new std::string(*other))
                                  : other.bits_) {}
  OptText(OptText&& other) noexcept : bits_(other.bits_) { other.bits_ = absent; }
  OptText& operator=(const OptText& other) {
    if (this != &other) {
      *this = OptText(other);
    }
    return *this;
  }
  OptText& operator=(OptText&& other) noexcept {
    if (this != &other) {
      release();
      bits_ = other.bits_;
      other.bits_ = absent;
    }
    return *this;
  }
  ~OptText() { release(); }

  bool has_value() const { return bits_ != absent; }
  explicit operator bool() const { return bits_ != absent; }
  const std::string& operator*() const {
    if (bits_ == empty) {
      static const std::string text;
      return text;
    }
    if (bits_ == blank) {
      static const std::string text(" ");
      return text;
    }
    return *reinterpret_cast<const std::string*>(bits_);
  }
  const std::string* operator->() const { return &**this; }
  // The text, or "" when absent.
  std::string_view view() const {
    switch (bits_) {
      case absent:
      case empty:
        return {};
      case blank:
        return " ";
      default:
        return *reinterpret_cast<const std::string*>(bits_);
    }
  }

  bool operator==(const OptText& other) const {
    if (bits_ == absent || other.bits_ == absent) {
      return bits_ == other.bits_;
    }
    return view() == other.view();
  }

 private:
  // Tags below any real address; a larger value is an owned string.
  static constexpr std::uintptr_t absent = 0;
  static constexpr std::uintptr_t empty = 1;
  static constexpr std::uintptr_t blank = 2;

  static std::uintptr_t shared(std::string_view text) {
    if (text.empty()) {
      return empty;
    }
    return text == " " ? blank : absent;
  }
  void release() {
    if (bits_ > blank) {
      delete reinterpret_cast<std::string*>(bits_);
    }
    bits_ = absent;
  }

  std::uintptr_t bits_ = absent;
};

// Text that is empty or one blank for most items (blanks inside a key path, the text before
// a closing bracket, the lines above a key): one pointer, so the records stay small.
class Text {
 public:
  Text() = default;
  Text(std::string_view text) : t_(text) {}
  Text(std::string text) : t_(std::move(text)) {}
  Text(const char* text) : t_(std::string_view(text)) {}

  std::string_view view() const { return t_.view(); }
  operator std::string_view() const { return view(); }
  bool empty() const { return view().empty(); }

  bool operator==(const Text& other) const { return view() == other.view(); }

 private:
  OptText t_;
};

// Text around an item: comments, blank lines, blanks. A missing part prints as the
// default of the item's context.
struct Decor {
  OptText prefix{};
  OptText suffix{};

  bool operator==(const Decor&) const = default;
};

// One segment of a key path.
struct Key {
  std::string name{};                // decoded
  std::optional<std::string> raw{};  // as written (`abc`, `"a b"`, `'x'`); none = default form
  Text before{};                     // blanks before it inside a dotted path or a header
  Text after{};                      // blanks after it

  bool operator==(const Key&) const = default;
};

// A date-time in one of TOML's four forms: offset date-time (date, time, offset), local
// date-time (date, time), local date (date) or local time (time).
struct Datetime {
  bool has_date = false;
  bool has_time = false;
  bool has_offset = false;
  bool z = false;  // the offset was written `Z` or `z`
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  std::optional<std::uint32_t> nanos{};  // present when a fraction was written
  int offset_minutes = 0;                // east of UTC

  bool operator==(const Datetime&) const = default;
};

// Text of a date-time in its normal form: `YYYY-MM-DD`, `T`, `HH:MM:SS`, a fraction without
// trailing zeros but with at least one digit, `Z` or `±HH:MM` (a zero offset written with
// a sign prints `+00:00`). `1979-05-27 07:32:00z` gives `1979-05-27T07:32:00Z`.
std::string datetime_text(const Datetime& dt);

enum class Kind { string, integer, floating, boolean, datetime, array, inline_table };

// A date-time held on the heap only when set: few values are date-times, and keeping
// one in every value made each of them much larger. Reads as a default `Datetime` when
// unset.
class DatetimeField {
 public:
  DatetimeField() = default;
  DatetimeField(const Datetime& dt) : p_(std::make_unique<Datetime>(dt)) {}
  DatetimeField(const DatetimeField& other)
      : p_(other.p_ ? std::make_unique<Datetime>(*other.p_) : nullptr) {}
  DatetimeField(DatetimeField&&) noexcept = default;
  DatetimeField& operator=(const DatetimeField& other) {
    if (this != &other) {
      p_ = other.p_ ? std::make_unique<Datetime>(*other.p_) : nullptr;
    }
    return *this;
  }
  DatetimeField& operator=(DatetimeField&&) noexcept = default;
  ~DatetimeField() = default;

  const Datetime& get() const {
    static const Datetime unset{};
    return p_ ? *p_ : unset;
  }
  operator const Datetime&() const { return get(); }
  const Datetime* operator->() const { return &get(); }

  bool operator==(const DatetimeField& other) const { return get() == other.get(); }

 private:
  std::unique_ptr<Datetime> p_;
};

struct InlineEntry;

// A TOML value. Only the field of its `kind` is meaningful.
struct Value {
  Kind kind = Kind::string;
  bool boolean = false;         // boolean
  bool trailing_comma = false;  // array
  std::string str{};            // string
  std::int64_t integer = 0;     // integer
  double real = 0.0;            // float
  DatetimeField dt{};           // datetime
  std::vector<Value> items{};   // array, in order
  // Inline table: entries as written; a dotted key `a.b = 1` inside braces is one entry
  // with two keys (`inline_members` gives the nested view). No `{}` here: a default member
  // initializer needs the element's destructor, and `InlineEntry` is not complete yet (clang
  // refuses it; g++ lets it pass).
  std::vector<InlineEntry> entries;
  std::optional<std::string> raw{};  // scalar as written; none = default form
  Decor decor{};                     // text before / after the value
  Text closing{};                    // array / inline table: text before the `]` or `}`

  bool operator==(const Value&) const = default;
};

// `a.b = 1` inside an inline table: the dotted path as written and its value.
struct InlineEntry {
  std::vector<Key> keys{};
  Value value{};

  bool operator==(const InlineEntry&) const = default;
};

// One `key = value` line of a table section.
struct Line {
  Text lead{};              // comment lines, blank lines, indentation before the key
  std::vector<Key> keys{};  // path as written, relative to its section; empty = default form
  Value value{};            // decor: blanks after `=` / blanks and comment after the value
  std::string eol = "\n";   // "\n", "\r\n", or "" (last line of a file without one)
  std::optional<std::uint32_t> order{};  // parse order; none = added, printed after parsed lines

  bool operator==(const Line&) const = default;
};

struct Table;

// `[[name]]` tables, in order.
struct ArrayOfTables {
  ArrayOfTables() = default;
  ArrayOfTables(const ArrayOfTables&) = default;
  ArrayOfTables(ArrayOfTables&&) noexcept = default;
  ArrayOfTables& operator=(const ArrayOfTables&) = default;
  ArrayOfTables& operator=(ArrayOfTables&&) noexcept = default;
  ~ArrayOfTables();

  std::vector<Table> tables;

  bool operator==(const ArrayOfTables&) const;
};

// One child of a table: a value line, a sub-table, or an array of tables.
struct Entry {
  Key key{};
  std::variant<Box<Line>, Box<Table>, ArrayOfTables> item;

  bool operator==(const Entry&) const = default;
};

// A table: the root, a `[header]` table, a parent made by a deeper header (`implicit`),
// or a table made by dotted keys (`dotted`, also `implicit`). Inline tables are values.
struct Table {
  std::vector<Entry> entries{};    // children, in order of first definition
  bool implicit = false;           // no header of its own while it holds no value lines
  bool dotted = false;             // made by dotted keys: never gets a header
  std::optional<long> position{};  // header number in the file (root 0); none = placed by print
  Decor decor{};                   // lines above the header / blanks and comment after `]`
  std::vector<Key> header_keys{};  // header path as written; empty = built from the tree
  std::string header_eol = "\n";

  bool operator==(const Table&) const = default;
};

inline bool ArrayOfTables::operator==(const ArrayOfTables& other) const {
  return tables == other.tables;
}

// A whole file. `leading` holds the text of a document with no key and no header (its
// comments and blank lines stay above anything added); otherwise the text after the last
// item is `trailing`, which always prints last.
struct Document {
  Table root{};
  std::string leading{};
  std::string trailing{};

  bool operator==(const Document&) const = default;
};

// A syntax error: the byte offset where it starts (into the text handed to `parse`,
// a skipped byte-order mark included) and a description for tests and debugging.
struct ParseError {
  std::size_t offset = 0;
  std::string message{};

  bool operator==(const ParseError&) const = default;
};

// Parses TOML 1.0.0 text. A leading byte-order mark is skipped. Tables, arrays and inline
// tables nest at most 128 deep, whether by header segments, dotted keys or brackets (the
// last segment of a key names a value and does not count). Fails with the offset of the
// first fault.
Result<Document, ParseError> parse(std::string_view text);

// Prints `doc`, never with a byte-order mark. An unedited parsed document prints as the
// text it was parsed from.
std::string print(const Document& doc);

// Each LF not preceded by CR gets one; idempotent.
std::string with_crlf(std::string_view text);
// Each CR LF becomes LF.
std::string with_lf(std::string_view text);

// The entry named `name` (decoded key) of `table`; nullptr when absent.
Entry* find(Table& table, std::string_view name);
const Entry* find(const Table& table, std::string_view name);

// The entry's item as a table (header, implicit or dotted), a value line or an array of
// tables; nullptr when it is something else.
inline Table* as_table(Entry& entry) {
  auto* box = std::get_if<Box<Table>>(&entry.item);
  return box == nullptr ? nullptr : box->get();
}
inline const Table* as_table(const Entry& entry) {
  const auto* box = std::get_if<Box<Table>>(&entry.item);
  return box == nullptr ? nullptr : box->get();
}
inline Line* as_line(Entry& entry) {
  auto* box = std::get_if<Box<Line>>(&entry.item);
  return box == nullptr ? nullptr : box->get();
}
inline const Line* as_line(const Entry& entry) {
  const auto* box = std::get_if<Box<Line>>(&entry.item);
  return box == nullptr ? nullptr : box->get();
}
inline ArrayOfTables* as_aot(Entry& entry) {
  return std::get_if<ArrayOfTables>(&entry.item);
}
inline const ArrayOfTables* as_aot(const Entry& entry) {
  return std::get_if<ArrayOfTables>(&entry.item);
}

// One member of an inline table seen as nested tables: `{ a.b = 1, a.c = 2, d = 3 }` has
// members `a` (no value, `children` b and c) and `d` (value 3), in order of first mention.
struct InlineMember {
  std::string name{};
  const Value* value = nullptr;  // nullptr for a table made by dotted keys
  std::vector<InlineMember> children{};
};
std::vector<InlineMember> inline_members(const Value& table);

// Returns the table under `name` in `parent`: the existing one, or a new one appended
// without position (so the printer places it). `implicit` applies only to a new table.
// Any other item under `name` is replaced by the new table.
Table& insert_table(Table& parent, std::string name, bool implicit);

// Sets `name` in `table` to `value`. An existing value line keeps its place, its lead, its
// key spelling and its line end; the value takes `value`'s decor (default: a comment after
// the old value goes). A table or array of tables under `name` is replaced by a value line
// in its place. An absent name is appended as a new line.
void set_value(Table& table, std::string name, Value value);

// Puts `table` under `name` in `parent`. An existing table's entry keeps its key, and the
// new table takes the old one's decor, header keys, header line end and position; anything
// else under `name` is replaced and the printer places the table; an absent name is appended.
void replace_table(Table& parent, std::string name, Table table);

// Removes the entry `name` from `table`, with its subtree and the comments above it.
// Returns false when absent.
bool remove(Table& table, std::string_view name);

// New values in default form (no raw text, default decor).
Value string_value(std::string text);
Value integer_value(std::int64_t number);
Value float_value(double number);
Value bool_value(bool flag);
Value array_value(std::vector<Value> items);
// An inline table of the given keys and values, in order.
Value inline_table_value(std::vector<std::pair<std::string, Value>> members);

}  // namespace kelvaro::toml
