#include "toml_scalar.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>

namespace kelvaro::toml::scalar {
namespace {

constexpr std::string_view decimal_digits = "0123456789_";

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_digit_of(char c, int base) {
  if (base == 16) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }
  return c >= '0' && c < static_cast<char>('0' + base);
}

int digit_value(char c) {
  if (is_digit(c)) {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return c - 'A' + 10;
}

// Digits of `base` separated by single underscores; at least one digit.
bool digit_groups(std::string_view t, int base) {
  if (t.empty() || t.front() == '_' || t.back() == '_') {
    return false;
  }
  for (std::size_t i = 0; i < t.size(); ++i) {
    const bool ok = t[i] == '_' ? t[i - 1] != '_' : is_digit_of(t[i], base);
    if (!ok) {
      return false;
    }
  }
  return true;
}

// The value of digit groups that passed `digit_groups`; false when it would exceed `limit`.
bool accumulate(std::string_view groups, int base, std::uint64_t limit, std::uint64_t& n) {
  const auto b = static_cast<std::uint64_t>(base);
  for (char c : groups) {
    if (c == '_') {
      continue;
    }
    const auto d = static_cast<std::uint64_t>(digit_value(c));
    if (n > (limit - d) / b) {
      return false;
    }
    n = n * b + d;
  }
  return true;
}

// `inf` and `nan`, each with an optional sign.
bool special_float(std::string_view t, Value& v) {
  const std::string_view word = t.substr(!t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0);
  if (word != "inf" && word != "nan") {
    return false;
  }
  const double x = word == "inf" ? std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::quiet_NaN();
  v.kind = Kind::floating;
  v.real = std::copysign(x, t.front() == '-' ? -1.0 : 1.0);
  return true;
}

// The base of a `0x`, `0o` or `0b` integer, or 0 when `t` has no such prefix.
int prefix_base(std::string_view t) {
  if (t.size() <= 2 || t[0] != '0') {
    return 0;
  }
  switch (t[1]) {
    case 'x':
      return 16;
    case 'o':
      return 8;
    case 'b':
      return 2;
    default:
      return 0;
  }
}

bool integer(std::string_view digits, int base, bool negative, Value& v) {
  const auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t n = 0;
  if (!digit_groups(digits, base) || !accumulate(digits, base, max + (negative ? 1 : 0), n)) {
    return false;
  }
  v.kind = Kind::integer;
  v.integer = negative ? static_cast<std::int64_t>(0 - n) : static_cast<std::int64_t>(n);
  return true;
}

// What may follow the whole part of a float: a fraction, an exponent, or both.
bool float_tail(std::string_view tail) {
  if (tail.front() == '.') {
    const std::size_t end = std::min(tail.find_first_not_of(decimal_digits, 1), tail.size());
    if (!digit_groups(tail.substr(1, end - 1), 10)) {
      return false;
    }
    tail.remove_prefix(end);
  }
  if (tail.empty()) {
    return true;
  }
  if (tail.front() != 'e' && tail.front() != 'E') {
    return false;
  }
  tail.remove_prefix(1);
  if (!tail.empty() && (tail.front() == '+' || tail.front() == '-')) {
    tail.remove_prefix(1);
  }
  return digit_groups(tail, 10);
}

// The value of a float whose shape has been checked.
bool float_value_of(std::string_view t, Value& v) {
  std::string clean;
  clean.reserve(t.size());
  for (char c : t.substr(t[0] == '+' ? 1 : 0)) {
    if (c != '_') {
      clean.push_back(c);
    }
  }
  double x = 0;
  const auto [ptr, ec] = std::from_chars(clean.data(), clean.data() + clean.size(), x);
  if (ec == std::errc::result_out_of_range) {
    // Overflow is an error; underflow reads as the nearest representable number.
    x = std::strtod(clean.c_str(), nullptr);
    if (std::isinf(x)) {
      return false;
    }
  } else if (ec != std::errc() || ptr != clean.data() + clean.size()) {
    return false;
  }
  v.kind = Kind::floating;
  v.real = x;
  return true;
}

// ---- Date-times -------------------------------------------------------------------------

bool leap_year(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

char char_at(std::string_view s, std::size_t at) {
  return at < s.size() ? s[at] : '\0';
}

bool digits_at(std::string_view s, std::size_t at, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    if (!is_digit(char_at(s, at + k))) {
      return false;
    }
  }
  return true;
}

int number_at(std::string_view s, std::size_t at, std::size_t n) {
  int out = 0;
  for (std::size_t k = 0; k < n; ++k) {
    out = out * 10 + (s[at + k] - '0');
  }
  return out;
}

// Whether `text` at `at` reads as digit pairs joined by `sep`: `pairs` 2 is `DD-DD`.
bool digit_pairs(std::string_view s, std::size_t at, std::size_t pairs, char sep) {
  for (std::size_t i = 0; i < pairs; ++i) {
    if (!digits_at(s, at + 3 * i, 2) || (i > 0 && s[at + 3 * i - 1] != sep)) {
      return false;
    }
  }
  return true;
}

// Each step reads one part of a date-time at `p` and returns what is wrong with it, or
// nullptr.

const char* date(std::string_view s, std::size_t& p, Datetime& dt) {
  if (!digits_at(s, p, 4) || char_at(s, p + 4) != '-' || !digit_pairs(s, p + 5, 2, '-')) {
    return "malformed date";
  }
  dt.year = number_at(s, p, 4);
  dt.month = number_at(s, p + 5, 2);
  dt.day = number_at(s, p + 8, 2);
  p += 10;
  if (dt.month < 1 || dt.month > 12 || dt.day < 1 || dt.day > days_in_month(dt.year, dt.month)) {
    return "date out of range";
  }
  dt.has_date = true;
  return nullptr;
}

// Digits after a time's `.`: nanoseconds, further digits dropped.
const char* fraction(std::string_view s, std::size_t& p, Datetime& dt) {
  std::size_t n = 0;
  std::uint32_t nanos = 0;
  for (; is_digit(char_at(s, p)); ++p, ++n) {
    if (n < 9) {
      nanos = nanos * 10 + static_cast<std::uint32_t>(s[p] - '0');
    }
  }
  if (n == 0) {
    return "malformed time";
  }
  for (; n < 9; ++n) {
    nanos *= 10;
  }
  dt.nanos = nanos;
  return nullptr;
}

const char* time(std::string_view s, std::size_t& p, Datetime& dt) {
  if (!digit_pairs(s, p, 3, ':')) {
    return "malformed time";
  }
  dt.hour = number_at(s, p, 2);
  dt.minute = number_at(s, p + 3, 2);
  dt.second = number_at(s, p + 6, 2);
  p += 8;
  if (dt.hour > 23 || dt.minute > 59 || dt.second > 60) {
    return "time out of range";
  }
  dt.has_time = true;
  if (char_at(s, p) != '.') {
    return nullptr;
  }
  ++p;
  return fraction(s, p, dt);
}

// `Z`, `z`, `+HH:MM`, `-HH:MM` or nothing (a local date-time).
const char* offset(std::string_view s, std::size_t& p, Datetime& dt) {
  const char o = char_at(s, p);
  if (o == 'Z' || o == 'z') {
    ++p;
    dt.has_offset = true;
    dt.z = true;
    return nullptr;
  }
  if (o != '+' && o != '-') {
    return nullptr;
  }
  if (!digit_pairs(s, p + 1, 2, ':')) {
    return "malformed offset";
  }
  const int h = number_at(s, p + 1, 2);
  const int m = number_at(s, p + 4, 2);
  if (h > 23 || m > 59) {
    return "offset out of range";
  }
  dt.has_offset = true;
  dt.offset_minutes = (o == '-' ? -1 : 1) * (h * 60 + m);
  p += 6;
  return nullptr;
}

// Whether a time follows a date at `p`: `T`, `t`, or a space before `HH:`.
bool time_follows(std::string_view s, std::size_t p) {
  const char sep = char_at(s, p);
  return sep == 'T' || sep == 't' ||
         (sep == ' ' && digits_at(s, p + 1, 2) && char_at(s, p + 3) == ':');
}

// `read_number` into `v`: false when `t` is no number.
bool number_into(std::string_view t, Value& v) {
  if (t.empty()) {
    return false;
  }
  if (special_float(t, v)) {
    return true;
  }
  if (const int base = prefix_base(t); base != 0) {
    return integer(t.substr(2), base, false, v);
  }
  const bool negative = t[0] == '-';
  const std::string_view unsigned_part = t.substr(t[0] == '+' || negative ? 1 : 0);
  const std::size_t whole_end =
      std::min(unsigned_part.find_first_not_of(decimal_digits), unsigned_part.size());
  const std::string_view whole = unsigned_part.substr(0, whole_end);
  if (whole.size() > 1 && whole[0] == '0') {
    return false;
  }
  if (whole_end == unsigned_part.size()) {
    return integer(whole, 10, negative, v);
  }
  return digit_groups(whole, 10) && float_tail(unsigned_part.substr(whole_end)) &&
         float_value_of(t, v);
}

}  // namespace

std::optional<Value> read_number(std::string_view t) {
  Value v;
  if (!number_into(t, v)) {
    return std::nullopt;
  }
  return v;
}

bool starts_datetime(std::string_view text, std::size_t at) {
  return (digits_at(text, at, 4) && char_at(text, at + 4) == '-') ||
         (digits_at(text, at, 2) && char_at(text, at + 2) == ':');
}

const char* read_datetime(std::string_view text, std::size_t& at, Datetime& dt) {
  if (char_at(text, at + 2) == ':') {
    return time(text, at, dt);
  }
  if (const char* problem = date(text, at, dt)) {
    return problem;
  }
  if (!time_follows(text, at)) {
    return nullptr;
  }
  ++at;
  if (const char* problem = time(text, at, dt)) {
    return problem;
  }
  return offset(text, at, dt);
}

}  // namespace kelvaro::toml::scalar
