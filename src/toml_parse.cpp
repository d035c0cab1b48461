#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "toml.hpp"
#include "toml_scalar.hpp"
#include "utf8.hpp"

namespace kelvaro::toml {
namespace {

// How deep tables, arrays and inline tables may nest, counting each header segment, each
// segment of a dotted key but its last, and each bracket. Parsing, printing, converting
// and copying a document all recurse along its depth; this bound keeps hostile input from
// exhausting the stack.
constexpr std::size_t max_depth = 128;

// Tables with more entries than this get a hash index while parsing, so that large
// files stay linear.
constexpr std::size_t index_threshold = 16;

bool is_bare(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool is_control(unsigned char c) {
  return (c < 0x20 && c != '\t') || c == 0x7f;
}

// The character a one-letter escape stands for, or '\0' when `c` is not one.
char simple_escape(char c) {
  switch (c) {
    case 'b':
      return '\b';
    case 't':
      return '\t';
    case 'n':
      return '\n';
    case 'f':
      return '\f';
    case 'r':
      return '\r';
    case '"':
      return '"';
    case '\\':
      return '\\';
    default:
      return '\0';
  }
}

// Keys of an inline table as length-prefixed paths: every prefix that names a table made by
// dotted keys, and every full path that names a value.
std::string path_key(const std::vector<Key>& keys, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += std::to_string(keys[i].name.size());
    out += ':';
    out += keys[i].name;
  }
  return out;
}

// Whether an earlier entry of the inline table `v` takes the first `n` keys of `keys`: as
// a value, or (when `full`, the whole new path) as a table made by dotted keys.
bool taken(const Value& v, const std::vector<Key>& keys, std::size_t n, bool full) {
  const auto same = [](const Key& a, const Key& b) { return a.name == b.name; };
  for (std::size_t j = 0; j + 1 < v.entries.size(); ++j) {
    const std::vector<Key>& other = v.entries[j].keys;
    if ((full ? other.size() >= n : other.size() == n) &&
        std::equal(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(n), other.begin(),
                   same)) {
      return true;
    }
  }
  return false;
}

// The key paths of one inline table so far, to refuse a path that is given twice or that
// reaches into a value. Inline tables mostly hold a few keys, where scanning the earlier
// entries is cheaper than hashing; large ones switch to hashed paths so that checking
// stays linear.
class InlineKeys {
 public:
  static constexpr std::size_t none = std::string_view::npos;

  // Checks the last entry of `v` against the ones before it: the index of its first key
  // segment that clashes, or `none`.
  std::size_t add(const Value& v) {
    const std::vector<Key>& keys = v.entries.back().keys;
    if (!hashed_ && v.entries.size() > index_threshold) {
      hashed_ = true;
      for (std::size_t j = 0; j + 1 < v.entries.size(); ++j) {
        record(v.entries[j].keys);
      }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const bool last = i + 1 == keys.size();
      if (hashed_ ? clashes(keys, i + 1, last) : taken(v, keys, i + 1, last)) {
        return i;
      }
    }
    if (hashed_) {
      record(keys);
    }
    return none;
  }

 private:
  bool clashes(const std::vector<Key>& keys, std::size_t n, bool full) const {
    const std::string path = path_key(keys, n);
    return values_.count(path) != 0 || (full && tables_.count(path) != 0);
  }

  void record(const std::vector<Key>& keys) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      (i + 1 == keys.size() ? values_ : tables_).insert(path_key(keys, i + 1));
    }
  }

  bool hashed_ = false;
  std::unordered_set<std::string> tables_;
  std::unordered_set<std::string> values_;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  Result<Document, ParseError> run() {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") {
      p_ = 3;
    }
    if (const auto bad = first_invalid_utf8(s_, p_); bad != std::string_view::npos) {
      return unexpected(ParseError{bad, "invalid UTF-8"});
    }
    if (!document()) {
      return unexpected(std::move(err_));
    }
    return std::move(doc_);
  }

 private:
  bool fail(std::size_t offset, std::string message) {
    err_ = ParseError{std::min(offset, s_.size()), std::move(message)};
    return false;
  }

  bool at_end() const { return p_ >= s_.size(); }
  // The byte at `p_ + k`, or '\0' past the end (callers check `at_end` where a NUL matters).
  char peek(std::size_t k = 0) const { return p_ + k < s_.size() ? s_[p_ + k] : '\0'; }
  bool more(std::size_t k = 0) const { return p_ + k < s_.size(); }
  // Whether a line end, LF or CR LF, starts at `p_ + k`.
  bool newline_at(std::size_t k = 0) const {
    return peek(k) == '\n' || (peek(k) == '\r' && peek(k + 1) == '\n');
  }
  std::string_view slice(std::size_t from) const { return s_.substr(from, p_ - from); }

  std::string_view blanks() {
    const std::size_t from = p_;
    while (more() && (s_[p_] == ' ' || s_[p_] == '\t')) {
      ++p_;
    }
    return slice(from);
  }

  // A comment from `#` up to (not including) its line end.
  bool comment() {
    ++p_;
    while (more()) {
      const auto c = static_cast<unsigned char>(s_[p_]);
      if (newline_at()) {
        return true;
      }
      if (is_control(c)) {
        return fail(p_, "control character in a comment");
      }
      ++p_;
    }
    return true;
  }

  // A line end, or the end of the input ("").
  bool line_end(std::string& eol) {
    if (at_end()) {
      eol.clear();
    } else if (s_[p_] == '\n') {
      eol = "\n";
      ++p_;
    } else if (s_[p_] == '\r' && peek(1) == '\n') {
      eol = "\r\n";
      p_ += 2;
    } else {
      return fail(p_, "expected the end of the line");
    }
    return true;
  }

  // Blanks and a comment after an item, up to its line end.
  bool line_tail(std::string& tail, std::string& eol) {
    const std::size_t from = p_;
    blanks();
    if (peek() == '#' && !comment()) {
      return false;
    }
    tail = std::string(slice(from));
    return line_end(eol);
  }

  // Blanks, comments and line ends between array elements.
  bool array_space(std::string& out) {
    const std::size_t from = p_;
    while (more()) {
      const char c = s_[p_];
      if (c == ' ' || c == '\t' || c == '\n') {
        ++p_;
      } else if (c == '\r') {
        if (peek(1) != '\n') {
          return fail(p_, "carriage return without line feed");
        }
        p_ += 2;
      } else if (c == '#') {
        if (!comment()) {
          return false;
        }
      } else {
        break;
      }
    }
    out = std::string(slice(from));
    return true;
  }

  bool document() {
    std::string pending;
    bool any_item = false;
    while (true) {
      const std::size_t line_start = p_;
      blanks();
      if (at_end()) {
        pending.append(slice(line_start));
        break;
      }
      const char c = s_[p_];
      if (c == '#' || c == '\n' || c == '\r') {
        if (c == '#' && !comment()) {
          return false;
        }
        std::string eol;
        if (!line_end(eol)) {
          return false;
        }
        pending.append(slice(line_start));
        continue;
      }
      std::string lead = std::move(pending);
      pending.clear();
      lead.append(slice(line_start));
      if (!(c == '[' ? header(std::move(lead)) : key_line(std::move(lead)))) {
        return false;
      }
      any_item = true;
    }
    (any_item ? doc_.trailing : doc_.leading) = std::move(pending);
    return true;
  }

  bool simple_key(Key& key) {
    const std::size_t from = p_;
    if (at_end()) {
      return fail(p_, "expected a key");
    }
    const char c = s_[p_];
    if (is_bare(c)) {
      while (more() && is_bare(s_[p_])) {
        ++p_;
      }
      key.name = std::string(slice(from));
    } else if (c == '"') {
      if (!basic_string(key.name)) {
        return false;
      }
    } else if (c == '\'') {
      if (!literal_string(key.name)) {
        return false;
      }
    } else {
      return fail(p_, "expected a key");
    }
    key.raw = std::string(slice(from));
    return true;
  }

  // A dotted key path of at most `room` segments, each with the blanks around it.
  // The path is read into a scratch list first, so that `keys` is allocated once at its
  // final size.
  bool key_path(std::vector<Key>& keys, std::vector<std::size_t>& offsets, std::size_t room) {
    std::vector<Key>& scratch = key_scratch_;
    scratch.clear();
    while (true) {
      Key& key = scratch.emplace_back();
      key.before = blanks();
      if (scratch.size() > room) {
        return fail(p_, "tables nest too deep");
      }
      offsets.push_back(p_);
      if (!simple_key(key)) {
        return false;
      }
      key.after = blanks();
      if (peek() != '.') {
        break;
      }
      ++p_;
    }
    keys.reserve(keys.size() + scratch.size());
    std::move(scratch.begin(), scratch.end(), std::back_inserter(keys));
    return true;
  }

  bool key_line(std::string lead) {
    auto owned = std::make_unique<Line>();
    Line& line = *owned;
    line.lead = std::move(lead);
    std::vector<std::size_t>& offsets = line_offsets_;
    offsets.clear();
    // The last segment names the value; the others are tables below the section.
    if (!key_path(line.keys, offsets, max_depth - section_depth_ + 1)) {
      return false;
    }
    if (!equals_sign()) {
      return false;
    }
    line.value.decor.prefix = std::string(blanks());
    if (!value(line.value, section_depth_ + line.keys.size() - 1)) {
      return false;
    }
    std::string tail;
    if (!line_tail(tail, line.eol)) {
      return false;
    }
    line.value.decor.suffix = std::move(tail);
    line.order = order_++;
    return define_line(std::move(owned), offsets);
  }

  bool equals_sign() {
    if (at_end() || s_[p_] != '=') {
      return fail(p_, "expected `=` after a key");
    }
    ++p_;
    return true;
  }

  bool header(std::string prefix) {
    const bool aot = peek(1) == '[';
    p_ += aot ? 2 : 1;
    Table table;
    std::vector<std::size_t>& offsets = line_offsets_;
    offsets.clear();
    if (!key_path(table.header_keys, offsets, max_depth)) {
      return false;
    }
    if (at_end() || s_[p_] != ']') {
      return fail(p_, "expected `]` after a table name");
    }
    ++p_;
    if (aot) {
      if (at_end() || s_[p_] != ']') {
        return fail(p_, "expected `]]` after a table name");
      }
      ++p_;
    }
    std::string suffix;
    if (!line_tail(suffix, table.header_eol)) {
      return false;
    }
    table.decor.prefix = std::move(prefix);
    table.decor.suffix = std::move(suffix);
    table.position = ++position_;
    section_depth_ = table.header_keys.size();
    return define_header(std::move(table), offsets, aot);
  }

  // ---- Definitions --------------------------------------------------------------------

  // An open-addressing index of entry positions, so that it holds no copy of the names
  // and needs no allocation per entry.
  struct Index {
    std::vector<std::uint32_t> slots;  // entry position + 1; 0 = free
    std::size_t built = 0;             // entries indexed so far
  };

  static std::size_t slot_of(std::string_view name, std::size_t mask) {
    return std::hash<std::string_view>{}(name)&mask;
  }

  Entry* lookup(Table& t, std::string_view name) {
    if (t.entries.size() < index_threshold) {
      for (auto& e : t.entries) {
        if (e.key.name == name) {
          return &e;
        }
      }
      return nullptr;
    }
    Index& ix = index_[&t];
    if (ix.slots.size() < 2 * t.entries.size()) {
      std::size_t size = 64;
      while (size < 4 * t.entries.size()) {
        size *= 2;
      }
      ix.slots.assign(size, 0);
      ix.built = 0;
    }
    const std::size_t mask = ix.slots.size() - 1;
    for (; ix.built < t.entries.size(); ++ix.built) {
      std::size_t h = slot_of(t.entries[ix.built].key.name, mask);
      while (ix.slots[h] != 0) {
        h = (h + 1) & mask;
      }
      ix.slots[h] = static_cast<std::uint32_t>(ix.built + 1);
    }
    for (std::size_t h = slot_of(name, mask); ix.slots[h] != 0; h = (h + 1) & mask) {
      Entry& e = t.entries[ix.slots[h] - 1];
      if (e.key.name == name) {
        return &e;
      }
    }
    return nullptr;
  }

  static Key entry_key(const Key& k) { return Key{.name = k.name, .raw = k.raw}; }

  // Tables with a header mostly hold a handful of entries: starting with room for several
  // saves the moves of growing one slot at a time. Dotted tables mostly hold one.
  static void add_entry(Table& t, Entry entry) {
    if (t.entries.capacity() == 0 && !t.dotted) {
      t.entries.reserve(8);
    }
    t.entries.push_back(std::move(entry));
  }

  Table& append_table(Table& parent, const Key& key, Table table) {
    add_entry(parent, Entry{entry_key(key), Box<Table>(std::move(table))});
    return *std::get<Box<Table>>(parent.entries.back().item);
  }

  bool define_line(std::unique_ptr<Line> owned, const std::vector<std::size_t>& offsets) {
    const Line& line = *owned;
    Table* t = section_;
    const std::size_t last = line.keys.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
      const Key& k = line.keys[i];
      Entry* e = lookup(*t, k.name);
      if (e == nullptr) {
        t = &append_table(*t, k, Table{.implicit = true, .dotted = true});
        continue;
      }
      Table* sub = as_table(*e);
      if (sub == nullptr || !(sub->implicit || sub->dotted)) {
        return fail(offsets[i], "key `" + k.name + "` is already defined");
      }
      sub->dotted = true;
      t = sub;
    }
    const Key& k = line.keys[last];
    if (lookup(*t, k.name) != nullptr) {
      return fail(offsets[last], "duplicate key `" + k.name + "`");
    }
    Key key = entry_key(k);
    add_entry(*t, Entry{std::move(key), Box<Line>(std::move(owned))});
    return true;
  }

  // Walks the header path but its last segment; nullptr after a failure.
  Table* header_parent(const std::vector<Key>& keys, const std::vector<std::size_t>& offsets) {
    Table* t = &doc_.root;
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
      Entry* e = lookup(*t, keys[i].name);
      if (e == nullptr) {
        t = &append_table(*t, keys[i], Table{.implicit = true});
      } else if (Table* sub = as_table(*e)) {
        t = sub;
      } else if (ArrayOfTables* aot = as_aot(*e)) {
        t = &aot->tables.back();
      } else {
        fail(offsets[i], "key `" + keys[i].name + "` is not a table");
        return nullptr;
      }
    }
    return t;
  }

  // Places a `[header]` or `[[header]]` table under its parent.
  bool define_header(Table table, const std::vector<std::size_t>& offsets, bool aot) {
    Table* parent = header_parent(table.header_keys, offsets);
    if (parent == nullptr) {
      return false;
    }
    Entry* e = lookup(*parent, table.header_keys.back().name);
    return aot ? define_aot(*parent, e, std::move(table), offsets)
               : define_table(*parent, e, std::move(table), offsets);
  }

  bool define_table(Table& parent, Entry* e, Table table, const std::vector<std::size_t>& offsets) {
    const Key& k = table.header_keys.back();
    if (e == nullptr) {
      const Key key = k;
      section_ = &append_table(parent, key, std::move(table));
      return true;
    }
    Table* old = as_table(*e);
    if (old == nullptr || !old->implicit || old->dotted) {
      return fail(offsets.back(), "table `" + k.name + "` is already defined");
    }
    table.entries = std::move(old->entries);
    *old = std::move(table);
    section_ = old;
    // A table defined after its sub-tables moves behind them, so that new tables find
    // their place after its header.
    const auto idx = static_cast<std::size_t>(e - parent.entries.data());
    std::rotate(parent.entries.begin() + static_cast<std::ptrdiff_t>(idx),
                parent.entries.begin() + static_cast<std::ptrdiff_t>(idx) + 1,
                parent.entries.end());
    index_.erase(&parent);
    return true;
  }

  bool define_aot(Table& parent, Entry* e, Table table, const std::vector<std::size_t>& offsets) {
    const Key& k = table.header_keys.back();
    if (e == nullptr) {
      Key key = entry_key(k);
      ArrayOfTables aot;
      aot.tables.push_back(std::move(table));
      add_entry(parent, Entry{std::move(key), std::move(aot)});
      section_ = &std::get<ArrayOfTables>(parent.entries.back().item).tables.back();
      return true;
    }
    ArrayOfTables* aot = as_aot(*e);
    if (aot == nullptr) {
      return fail(offsets.back(), "`" + k.name + "` is not an array of tables");
    }
    // Growing the list moves its tables, and the index is keyed by their addresses.
    if (aot->tables.size() == aot->tables.capacity()) {
      for (const Table& t : aot->tables) {
        index_.erase(&t);
      }
    }
    aot->tables.push_back(std::move(table));
    section_ = &aot->tables.back();
    return true;
  }

  // ---- Values -------------------------------------------------------------------------

  // `depth` counts the tables, arrays and inline tables around the value.
  bool value(Value& v, std::size_t depth) {
    const std::size_t from = p_;
    const char c = peek();
    if (c == '[' || c == '{') {
      if (depth + 1 > max_depth) {
        return fail(p_, "arrays and inline tables nest too deep");
      }
      return c == '[' ? array(v, depth + 1) : inline_table(v, depth + 1);
    }
    bool ok = false;
    if (at_end()) {
      ok = fail(p_, "expected a value");
    } else if (c == '"' || c == '\'') {
      ok = string_value(v, c);
    } else if (c == 't' || c == 'f') {
      ok = boolean_value(v, c == 't');
    } else {
      ok = number_or_datetime(v);
    }
    if (ok) {
      v.raw = std::string(slice(from));
    }
    return ok;
  }

  bool string_value(Value& v, char quote) {
    v.kind = Kind::string;
    if (peek(1) == quote && peek(2) == quote) {
      return ml_string(v.str, quote);
    }
    return quote == '"' ? basic_string(v.str) : literal_string(v.str);
  }

  bool boolean_value(Value& v, bool flag) {
    const std::string_view word = flag ? "true" : "false";
    if (s_.substr(p_, word.size()) != word) {
      return fail(p_, "expected a value");
    }
    p_ += word.size();
    v.kind = Kind::boolean;
    v.boolean = flag;
    return true;
  }

  bool escape(std::string& out) {
    const std::size_t at = p_;
    if (!more(1)) {
      return fail(s_.size(), "unclosed string");
    }
    const char c = s_[p_ + 1];
    p_ += 2;
    if (const char plain = simple_escape(c); plain != '\0') {
      out.push_back(plain);
      return true;
    }
    if (c != 'u' && c != 'U') {
      return fail(at, "bad escape");
    }
    const std::string_view hex = s_.substr(p_, c == 'u' ? 4 : 8);
    std::uint32_t cp = 0;
    const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), cp, 16);
    if (hex.size() != (c == 'u' ? 4u : 8u) || ec != std::errc() || end != hex.data() + hex.size()) {
      return fail(at, "bad unicode escape");
    }
    if (cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      return fail(at, "escape is not a unicode scalar value");
    }
    p_ += hex.size();
    append_utf8(out, cp);
    return true;
  }

  bool basic_string(std::string& out) {
    ++p_;
    while (true) {
      const std::size_t from = p_;
      while (more()) {
        const auto c = static_cast<unsigned char>(s_[p_]);
        if (c == '"' || c == '\\' || is_control(c)) {
          break;
        }
        ++p_;
      }
      out.append(slice(from));
      if (at_end()) {
        return fail(s_.size(), "unclosed string");
      }
      const char c = s_[p_];
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        if (!escape(out)) {
          return false;
        }
        continue;
      }
      if (newline_at()) {
        return fail(p_, "unclosed string");
      }
      return fail(p_, "control character in a string");
    }
  }

  bool literal_string(std::string& out) {
    ++p_;
    const std::size_t from = p_;
    while (more()) {
      const auto c = static_cast<unsigned char>(s_[p_]);
      if (c == '\'') {
        out.append(slice(from));
        ++p_;
        return true;
      }
      if (newline_at()) {
        return fail(p_, "unclosed string");
      }
      if (is_control(c)) {
        return fail(p_, "control character in a string");
      }
      ++p_;
    }
    return fail(s_.size(), "unclosed string");
  }

  // Shared by both multi-line forms: a newline right after the opening delimiter is
  // dropped, a raw CR LF reads as LF, and up to two delimiter characters may stand just
  // before the closing three.
  bool ml_string(std::string& out, char quote) {
    p_ += 3;
    skip_newline();
    while (true) {
      out.append(ml_plain_run(quote));
      if (at_end()) {
        return fail(s_.size(), "unclosed string");
      }
      const char c = s_[p_];
      if (c == quote) {
        bool closed = false;
        if (!ml_quotes(out, quote, closed)) {
          return false;
        }
        if (closed) {
          return true;
        }
      } else if (c == '\\') {
        if (!trim_after_backslash() && !escape(out)) {
          return false;
        }
      } else if (newline_at()) {
        out.push_back('\n');
        p_ += 2;
      } else {
        return fail(p_, "control character in a string");
      }
    }
  }

  void skip_newline() {
    if (peek() == '\n') {
      ++p_;
    } else if (peek() == '\r' && peek(1) == '\n') {
      p_ += 2;
    }
  }

  // Text of a multi-line string up to its next quote, escape, CR or other control
  // character.
  std::string_view ml_plain_run(char quote) {
    const std::size_t from = p_;
    while (more()) {
      const auto c = static_cast<unsigned char>(s_[p_]);
      if (c == static_cast<unsigned char>(quote) || (quote == '"' && c == '\\') ||
          (is_control(c) && c != '\n')) {
        break;
      }
      ++p_;
    }
    return slice(from);
  }

  // A run of delimiter characters: fewer than three are text; three to five close the
  // string, the one or two before the last three being text.
  bool ml_quotes(std::string& out, char quote, bool& closed) {
    std::size_t q = 0;
    while (more(q) && s_[p_ + q] == quote) {
      ++q;
    }
    if (q > 5) {
      return fail(p_ + 5, "too many quotes");
    }
    closed = q >= 3;
    out.append(closed ? q - 3 : q, quote);
    p_ += q;
    return true;
  }

  // A backslash with nothing but blanks after it on its line goes, with every blank and
  // line end up to the next text. False, having read nothing, for any other backslash.
  bool trim_after_backslash() {
    std::size_t k = 1;
    while (peek(k) == ' ' || peek(k) == '\t') {
      ++k;
    }
    if (!newline_at(k)) {
      return false;
    }
    p_ += k;
    while (peek() == ' ' || peek() == '\t' || newline_at()) {
      p_ += peek() == '\r' ? 2u : 1u;
    }
    return true;
  }

  bool array(Value& v, std::size_t depth) {
    v.kind = Kind::array;
    ++p_;
    std::string space;
    if (!array_space(space)) {
      return false;
    }
    if (peek() == ']') {
      ++p_;
      v.closing = std::move(space);
      return true;
    }
    // Short arrays are the rule; starting with room for a few saves regrowing moves.
    v.items.reserve(4);
    while (true) {
      Value& item = v.items.emplace_back();
      item.decor.prefix = std::move(space);
      if (!value(item, depth)) {
        return false;
      }
      std::string after;
      if (!array_space(after)) {
        return false;
      }
      item.decor.suffix = std::move(after);
      if (at_end()) {
        return fail(p_, "unclosed array");
      }
      if (s_[p_] == ']') {
        ++p_;
        return true;
      }
      if (s_[p_] != ',') {
        return fail(p_, "expected `,` or `]` in an array");
      }
      ++p_;
      if (!array_space(space)) {
        return false;
      }
      if (peek() == ']') {
        ++p_;
        v.trailing_comma = true;
        v.closing = std::move(space);
        return true;
      }
    }
  }

  bool inline_table(Value& v, std::size_t depth) {
    v.kind = Kind::inline_table;
    ++p_;
    if (empty_inline_table(v)) {
      return true;
    }
    InlineKeys seen;
    v.entries.reserve(4);
    while (true) {
      InlineEntry& entry = v.entries.emplace_back();
      if (!inline_key(v, depth, seen)) {
        return false;
      }
      entry.value.decor.prefix = std::string(blanks());
      if (!value(entry.value, depth + entry.keys.size() - 1)) {
        return false;
      }
      entry.value.decor.suffix = std::string(blanks());
      bool closed = false;
      if (!inline_separator(closed)) {
        return false;
      }
      if (closed) {
        return true;
      }
    }
  }

  // `{ }`, blanks kept as the text before the brace.
  bool empty_inline_table(Value& v) {
    const std::size_t inner = p_;
    blanks();
    if (peek() != '}') {
      p_ = inner;
      return false;
    }
    v.closing = std::string(slice(inner));
    ++p_;
    return true;
  }

  // The key path of the last entry of the inline table `v` up to its `=`, refused when an
  // earlier entry already takes it.
  bool inline_key(Value& v, std::size_t depth, InlineKeys& seen) {
    InlineEntry& entry = v.entries.back();
    // Shared by every inline table: the offsets are used before the value is read.
    std::vector<std::size_t>& offsets = inline_offsets_;
    offsets.clear();
    if (!key_path(entry.keys, offsets, max_depth - depth + 1)) {
      return false;
    }
    if (const std::size_t i = seen.add(v); i != InlineKeys::none) {
      return fail(offsets[i], "duplicate key `" + entry.keys[i].name + "`");
    }
    return equals_sign();
  }

  // After an entry: `}` ends the table (`closed`), `,` leads to the next entry.
  bool inline_separator(bool& closed) {
    if (at_end()) {
      return fail(p_, "unclosed inline table");
    }
    if (s_[p_] != '}' && s_[p_] != ',') {
      return fail(p_, "expected `,` or `}` in an inline table");
    }
    closed = s_[p_] == '}';
    ++p_;
    return true;
  }

  // ---- Numbers and date-times ---------------------------------------------------------

  bool number_or_datetime(Value& v) {
    const std::size_t from = p_;
    if (scalar::starts_datetime(s_, p_)) {
      Datetime dt;
      if (const char* problem = scalar::read_datetime(s_, p_, dt)) {
        return fail(from, problem);
      }
      v.kind = Kind::datetime;
      v.dt = dt;
      return true;
    }
    while (more() && (is_bare(s_[p_]) || s_[p_] == '+' || s_[p_] == '.')) {
      ++p_;
    }
    const std::optional<Value> number = scalar::read_number(slice(from));
    if (!number) {
      return fail(from, "malformed number");
    }
    v.kind = number->kind;
    v.integer = number->integer;
    v.real = number->real;
    return true;
  }

  std::string_view s_;
  std::size_t p_ = 0;
  ParseError err_;
  Document doc_;
  Table* section_ = &doc_.root;
  std::size_t section_depth_ = 0;  // header segments of `section_`
  std::uint32_t order_ = 0;
  long position_ = 0;
  std::unordered_map<const Table*, Index> index_;
  // Key offsets of the line being parsed, kept to reuse its storage.
  std::vector<std::size_t> line_offsets_;
  std::vector<std::size_t> inline_offsets_;
  std::vector<Key> key_scratch_;
};

}  // namespace

Result<Document, ParseError> parse(std::string_view text) {
  Parser parser(text);
  auto doc = parser.run();
  if (!doc) {
    return doc;
  }
  doc->root.position = 0;
  return doc;
}

}  // namespace kelvaro::toml
