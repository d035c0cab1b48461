#include "documents_scan.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "documents_sax.hpp"
#include "utf8.hpp"

namespace kelvaro::json_scan {

namespace {

// The parser refuses a number whose value passes the largest double (about 1.8e308); one below
// 10 to this power is always within it, and any other is left to the parser.
constexpr long max_number_magnitude = 308;

enum class Scalar { string, escaped_string, integer, real, literal };

// What a visitor wants done with the value of an object member.
enum class Take { visit, skip, stop };

// Reads nothing into memory and accepts everything of a value alike.
struct Skipper {
  bool begin_object(std::size_t, const char*) { return true; }
  bool end_object(std::size_t, std::size_t, const char*) { return true; }
  bool begin_array(std::size_t, const char*) { return true; }
  bool end_array(std::size_t, std::size_t, const char*) { return true; }
  bool element(std::size_t, std::size_t) { return true; }
  Take key(std::size_t, std::string_view, bool) { return Take::visit; }
  bool member_value(std::size_t, const char*, const char*) { return true; }
  bool scalar(std::string_view, Scalar) { return true; }
};

// A recursive descent over JSON text with the parser's grammar (RFC 8259, strict, UTF-8 checked
// in strings), handing each part to `Visitor`. `depth` counts the containers around a value;
// a bracket comes with its place in the text, a key or scalar as a view of it.
template <typename Visitor>
class Reader {
 public:
  Reader(const char* at, const char* end, Visitor& visitor)
      : p_(at), end_(end), visitor_(visitor) {}

  const char* at() const { return p_; }

  // The whole text one object, with only white space around it.
  bool object_document() {
    space();
    if (p_ == end_ || *p_ != '{' || !object(0)) {
      return false;
    }
    space();
    return p_ == end_;
  }

  bool value(std::size_t depth) {
    if (p_ == end_) {
      return false;
    }
    switch (*p_) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"': {
        const char* start = p_;
        bool escaped = false;
        return string(escaped) &&
               visitor_.scalar(std::string_view(start, static_cast<std::size_t>(p_ - start)),
                               escaped ? Scalar::escaped_string : Scalar::string);
      }
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

 private:
  void space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
      ++p_;
    }
  }

  // Steps past `c` when it comes next.
  bool consume(char c) {
    if (p_ == end_ || *p_ != c) {
      return false;
    }
    ++p_;
    return true;
  }

  // The items of the container that opens here, comma-separated, up to `close`; `item` reads
  // the one of the index it is given.
  template <typename Item>
  bool items(char close, std::size_t& count, Item&& item) {
    ++p_;
    space();
    if (consume(close)) {
      return true;
    }
    for (;;) {
      if (!item(count)) {
        return false;
      }
      ++count;
      space();
      if (!consume(',')) {
        return consume(close);
      }
      space();
    }
  }

  bool object(std::size_t depth) {
    std::size_t count = 0;
    return depth < json_sax::max_json_depth && visitor_.begin_object(depth, p_) &&
           items('}', count, [&](std::size_t) { return member(depth); }) &&
           visitor_.end_object(depth, count, p_ - 1);
  }

  bool array(std::size_t depth) {
    std::size_t count = 0;
    return depth < json_sax::max_json_depth && visitor_.begin_array(depth, p_) &&
           items(']', count,
                 [&](std::size_t index) {
                   return visitor_.element(depth, index) && value(depth + 1);
                 }) &&
           visitor_.end_array(depth, count, p_ - 1);
  }

  // One member of the object at `depth`: its key, and its value read as the visitor asks.
  bool member(std::size_t depth) {
    if (p_ == end_ || *p_ != '"') {
      return false;
    }
    const char* key_start = p_ + 1;
    bool escaped = false;
    if (!string(escaped)) {
      return false;
    }
    const std::string_view key(key_start, static_cast<std::size_t>(p_ - 1 - key_start));
    space();
    if (!consume(':')) {
      return false;
    }
    space();
    const Take take = visitor_.key(depth, key, escaped);
    const char* value_start = p_;
    if (take == Take::stop) {
      return false;
    }
    if (take == Take::skip) {
      Skipper skipper;
      Reader<Skipper> inner(p_, end_, skipper);
      if (!inner.value(depth + 1)) {
        return false;
      }
      p_ = inner.at();
    } else if (!value(depth + 1)) {
      return false;
    }
    return visitor_.member_value(depth, value_start, p_);
  }

  // From the opening quote to past the closing one.
  bool string(bool& escaped) {
    ++p_;
    for (;;) {
      skip_plain_words();
      while (p_ != end_ && json_sax::plain_string_bytes[static_cast<unsigned char>(*p_)]) {
        ++p_;
      }
      if (p_ == end_) {
        return false;
      }
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        escaped = true;
        if (!escape()) {
          return false;
        }
      } else if (c < 0x20) {
        return false;
      } else {
        const std::string_view rest(p_, static_cast<std::size_t>(end_ - p_));
        const Utf8Sequence sequence = utf8_sequence(rest, 0);
        if (!sequence.valid) {
          return false;
        }
        p_ += sequence.length;
      }
    }
  }

  // Steps over string bytes eight at a time while none is a quote, a backslash, a control
  // character or part of a multi-byte character.
  void skip_plain_words() {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    while (end_ - p_ >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p_, sizeof word);
      const std::uint64_t quote = word ^ (ones * '"');
      const std::uint64_t backslash = word ^ (ones * '\\');
      // A byte is zero in `v` where (v - 1) sets its high bit and v did not have it.
      const std::uint64_t special = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                    ((word - ones * 0x20) & ~word) | word;
      if ((special & highs) != 0) {
        return;
      }
      p_ += 8;
    }
  }

  // The four hex digits of a \u escape, or nothing.
  std::optional<unsigned> hex4() {
    if (end_ - p_ < 4) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return value;
  }

  bool escape() {
    ++p_;
    if (p_ == end_) {
      return false;
    }
    switch (*p_++) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return true;
      case 'u': {
        const auto unit = hex4();
        if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) {
          return false;
        }
        if (*unit < 0xD800 || *unit > 0xDBFF) {
          return true;
        }
        // A high surrogate stands only before a low one.
        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
          return false;
        }
        p_ += 2;
        const auto low = hex4();
        return low && *low >= 0xDC00 && *low <= 0xDFFF;
      }
      default:
        return false;
    }
  }

  bool digit() const { return p_ != end_ && *p_ >= '0' && *p_ <= '9'; }

  bool number() {
    const char* start = p_;
    if (*p_ == '-') {
      ++p_;
    }
    if (!digit()) {
      return false;
    }
    const char* integer_start = p_;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (digit()) {
        ++p_;
      }
    }
    const long integer_digits = static_cast<long>(p_ - integer_start);
    bool real = false;
    if (p_ != end_ && *p_ == '.') {
      real = true;
      ++p_;
      if (!digit()) {
        return false;
      }
      while (digit()) {
        ++p_;
      }
    }
    long exponent = 0;
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      real = true;
      ++p_;
      bool negative = false;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
        negative = *p_ == '-';
        ++p_;
      }
      if (!digit()) {
        return false;
      }
      int digits = 0;
      while (digit()) {
        if (++digits > 4) {
          return false;
        }
        exponent = exponent * 10 + (*p_ - '0');
        ++p_;
      }
      if (negative) {
        exponent = -exponent;
      }
    }
    if (integer_digits + exponent > max_number_magnitude) {
      return false;
    }
    return visitor_.scalar(std::string_view(start, static_cast<std::size_t>(p_ - start)),
                           real ? Scalar::real : Scalar::integer);
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    const char* start = p_;
    p_ += word.size();
    return visitor_.scalar(std::string_view(start, word.size()), Scalar::literal);
  }

  const char* p_;
  const char* end_;
  Visitor& visitor_;
};

// The text of a key or string with its escapes undone, as the parser reads it.
std::optional<std::string> unescaped(std::string_view quoted) {
  auto parsed = parse_json(quoted);
  if (!parsed || !parsed->is_string()) {
    return std::nullopt;
  }
  return parsed->get<std::string>();
}

// A key as the reader hands it, with the quotes that stand around it in the text.
std::string_view quoted_of(std::string_view raw) {
  return {raw.data() - 1, raw.size() + 2};
}

bool same_key(std::string_view raw, bool escaped, std::string_view key) {
  if (!escaped) {
    return raw == key;
  }
  const auto text = unescaped(quoted_of(raw));
  return text && *text == key;
}

// Notes where the value of the top-level member `key` lies in `text` and reads past everything
// else.
class MemberFinder : public Skipper {
 public:
  MemberFinder(std::string_view text, std::string_view key) : text_(text), key_(key) {}

  Take key(std::size_t, std::string_view raw, bool escaped) {
    matched_ = same_key(raw, escaped, key_);
    return Take::skip;
  }
  bool member_value(std::size_t, const char* begin, const char* end) {
    if (matched_) {
      span = MemberSpan{.found = true,
                        .begin = static_cast<std::size_t>(begin - text_.data()),
                        .end = static_cast<std::size_t>(end - text_.data())};
    }
    return true;
  }

  MemberSpan span;

 private:
  std::string_view text_;
  std::string_view key_;
  bool matched_ = false;
};

// Prints what it reads as `dump_json` prints the parsed value, through a `JsonPrinter`. Text
// stands for itself wherever the library would print it so: strings and keys whose escapes are
// the library's, integers it keeps as they are written, the literals, numbers it would write
// alike; the rest goes through the library. Where the text is laid out as the library lays it
// out, too, it is not printed again but copied in stretches as long as the layout holds: a
// file that the library or an agent with the same layout wrote is mostly copied.
class Printer {
 public:
  using Piece = JsonPrinter::Piece;

  Printer(std::string_view text, std::string_view key, const MemberEdit& edit,
          const std::function<bool(std::string_view)>& put)
      : key_(key),
        edit_(edit),
        json_([this, &put](std::string_view piece) {
          // After a failed edit or a refused piece the text is still read, to tell a text that is
          // no JSON apart, but nothing more is handed over.
          handing_over_ = handing_over_ && !edit_error && put(piece);
        }),
        copied_(text.data()),
        read_(text.data()) {}

  bool begin_object(std::size_t depth, const char* bracket) {
    if (frames_.size() <= depth) {
      frames_.resize(depth + 1);
    }
    frames_[depth].clear();
    take_bracket(Piece::open, bracket, &JsonPrinter::open_object);
    return true;
  }
  bool end_object(std::size_t depth, std::size_t, const char* bracket) {
    if (depth == 0 && !replaced_) {
      copy_passed();
      json_.key(key_);
      if (!print_edit(std::nullopt)) {
        return false;
      }
    }
    take_bracket(Piece::close, bracket, &JsonPrinter::close_object);
    return true;
  }
  bool begin_array(std::size_t, const char* bracket) {
    take_bracket(Piece::open, bracket, &JsonPrinter::open_array);
    return true;
  }
  bool end_array(std::size_t, std::size_t, const char* bracket) {
    take_bracket(Piece::close, bracket, &JsonPrinter::close_array);
    return true;
  }
  bool element(std::size_t, std::size_t) { return true; }

  Take key(std::size_t depth, std::string_view raw, bool escaped) {
    const std::string_view quoted = quoted_of(raw);
    std::string_view key = raw;
    if (escaped) {
      auto text = unescaped(quoted);
      if (!text) {
        return Take::stop;
      }
      key = held_keys_.emplace_back(std::move(*text));
    }
    if (!frames_[depth].remember(key)) {
      return Take::stop;  // the parsed value would keep the first place with the later value
    }
    const char* end = quoted.data() + quoted.size();
    if (!((!escaped || printed_as(key, quoted)) && passes(Piece::key, quoted.data(), end))) {
      copy_passed();
      json_.key(key);
      printed_up_to(end);
    }
    replacing_ = depth == 0 && key == key_;
    return replacing_ ? Take::skip : Take::visit;
  }

  bool member_value(std::size_t depth, const char* begin, const char* end) {
    if (depth != 0 || !replacing_) {
      return true;
    }
    replacing_ = false;
    auto old = parse_json(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    if (!old) {
      return false;
    }
    copy_passed();
    if (!print_edit(std::move(*old))) {
      return false;
    }
    printed_up_to(end);
    return true;
  }

  bool scalar(std::string_view token, Scalar kind) {
    bool as_written = false;
    switch (kind) {
      case Scalar::string:
      case Scalar::literal:
        as_written = true;
        break;
      case Scalar::escaped_string: {
        auto text = unescaped(token);
        if (!text) {
          return false;
        }
        as_written = printed_as(*text, token);
        break;
      }
      case Scalar::integer:
        // The library keeps an integer's digits, but prints -0 as 0 and a number past the
        // 64-bit range as a float.
        as_written = token != "-0" && token.size() <= 18;
        if (!as_written && !print_number(token)) {
          return false;
        }
        break;
      case Scalar::real:
        if (!print_number(token)) {
          return false;
        }
        as_written = printed_ == token;
        break;
    }
    const char* end = token.data() + token.size();
    if (as_written && passes(Piece::value, token.data(), end)) {
      return true;
    }
    copy_passed();
    json_.raw(as_written ? token : std::string_view(printed_));
    printed_up_to(end);
    return true;
  }

  // Hands over what is left.
  void finish() {
    copy_passed();
    json_.finish();
  }

  // The edit's error, once it failed.
  std::optional<std::string> edit_error;

 private:
  struct Frame {
    std::vector<std::string_view> keys{};  // while the object is small
    json_sax::KeyIndex index{};
    std::uint64_t marks = 0;  // while small: a bit for each length and last byte held

    void clear() {
      keys.clear();
      marks = 0;
      index.clear();
    }
    // A bit for the length and last byte of `key`: a key whose bit no earlier key of the
    // object set is new without comparing, and the keys of the small objects of a large file
    // mostly differ so.
    static std::uint64_t mark_of(std::string_view key) {
      const unsigned last = key.empty() ? 0U : static_cast<unsigned char>(key.back());
      return std::uint64_t{1} << ((key.size() * 7 + last) % 64);
    }
    // False when `key` may repeat an earlier key of this object.
    bool remember(std::string_view key) {
      if (index.active()) {
        // Equal hashes count as a repeat, which only sends the text to the whole parse.
        return !index.find_or_add(json_sax::KeyIndex::hash_of(key), 0,
                                  [](std::size_t) { return true; });
      }
      const std::uint64_t mark = mark_of(key);
      if ((marks & mark) != 0) {
        for (std::string_view held : keys) {
          if (held == key) {
            return false;
          }
        }
      }
      marks |= mark;
      keys.push_back(key);
      if (keys.size() == json_sax::indexed_object_size) {
        index.start(keys.size(),
                    [&](std::size_t place) { return json_sax::KeyIndex::hash_of(keys[place]); });
        keys.clear();
      }
      return true;
    }
  };

  // True when `text` printed as a JSON string is `quoted`, the string as the source has it.
  bool printed_as(std::string_view text, std::string_view quoted) {
    printed_.clear();
    append_json_string(printed_, text);
    return printed_ == quoted;
  }

  // True when the gap before the piece at [begin, end), which is printed as it is written, is
  // what the printer would put there: the piece is passed, to be copied with its gap.
  bool passes(Piece piece, const char* begin, const char* end) {
    if (!json_.gap_is(piece, std::string_view(read_, static_cast<std::size_t>(begin - read_)))) {
      return false;
    }
    json_.pass(piece);
    read_ = end;
    return true;
  }

  // The bracket at `at`: passed where the layout holds, else printed by `print`.
  void take_bracket(Piece piece, const char* at, void (JsonPrinter::*print)()) {
    if (!passes(piece, at, at + 1)) {
      copy_passed();
      (json_.*print)();
      printed_up_to(at + 1);
    }
  }

  // Hands on the text passed since the last piece printed, before another is printed.
  void copy_passed() {
    if (read_ != copied_) {
      json_.copy(std::string_view(copied_, static_cast<std::size_t>(read_ - copied_)));
      copied_ = read_;
    }
  }

  // What was just printed stands for the text up to `end`.
  void printed_up_to(const char* end) { copied_ = read_ = end; }

  // Sets `printed_` to a number as the library prints it. A float is parsed with `strtod`, as
  // the library's parser does on every platform, and formatted by the library's own conversion,
  // called as its printer calls it: a printer set up for each of a file's many floats costs
  // more than the rest of the scan. The conversion is the library's internal; an update that
  // moves it fails the build, and the scan tests hold the result against `dump_json`.
  bool print_number(std::string_view token) {
    if (token.find_first_of(".eE") != std::string_view::npos) {
      number_.assign(token);
      char* end = nullptr;
      const double parsed = std::strtod(number_.c_str(), &end);
      if (end == number_.c_str() + number_.size() && std::isfinite(parsed)) {
        std::array<char, 64> digits{};
        char* last =
            nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), parsed);
        printed_.assign(digits.data(), last);
        return true;
      }
    }
    auto value = parse_json(token);
    if (!value) {
      return false;
    }
    auto printed = dump_json(*value);
    if (!printed) {
      return false;
    }
    printed_ = std::move(*printed);
    return true;
  }

  // `value` as `dump_json` prints it at the printer's place; false when it cannot be printed
  // (a string that is not UTF-8), which leaves the text to the whole parse.
  bool print_value(const Json& value) {
    auto printed = dump_json(value);
    if (!printed) {
      return false;
    }
    const std::string margin(json_.indent_width(), ' ');
    std::string placed;
    placed.reserve(printed->size());
    for (const char c : *printed) {
      placed.push_back(c);
      if (c == '\n') {
        placed.append(margin);  // a printed string never holds a raw line feed
      }
    }
    json_.raw(placed);
    return true;
  }

  // The edited member's new value.
  bool print_edit(std::optional<Json> old) {
    replaced_ = true;
    auto value = edit_(std::move(old));
    if (!value) {
      edit_error = std::move(value).error();
      return true;
    }
    return print_value(*value);
  }

  std::string_view key_;
  const MemberEdit& edit_;
  bool handing_over_ = true;
  JsonPrinter json_;
  std::vector<Frame> frames_;
  std::deque<std::string> held_keys_;  // unescaped keys; a deque never moves them
  std::string number_;
  std::string printed_;     // a piece as the library prints it, when it may differ from the text
  const char* copied_;      // the end of the text handed on or printed for
  const char* read_;        // the end of the last piece read
  bool replacing_ = false;  // the member being read is the one to replace
  bool replaced_ = false;
};

}  // namespace

std::optional<MemberSpan> find_member(std::string_view text, std::string_view key) {
  MemberFinder finder(text, key);
  Reader<MemberFinder> reader(text.data(), text.data() + text.size(), finder);
  if (!reader.object_document()) {
    return std::nullopt;
  }
  return finder.span;
}

Result<Streamed> stream_with_member(std::string_view text, std::string_view key,
                                    const MemberEdit& edit,
                                    const std::function<bool(std::string_view)>& put) {
  Printer printer(text, key, edit, put);
  Reader<Printer> reader(text.data(), text.data() + text.size(), printer);
  if (!reader.object_document()) {
    return Streamed::unreadable;
  }
  if (printer.edit_error) {
    return unexpected(std::move(*printer.edit_error));
  }
  printer.finish();
  return Streamed::printed;
}

}  // namespace kelvaro::json_scan
