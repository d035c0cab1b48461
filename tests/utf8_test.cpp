#include "utf8.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace kelvaro {
namespace {

TEST(Utf8, ValidityFollowsTheEncodingRules) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80", true},  // é, em dash, emoji
      {"\xF4\x8F\xBF\xBF", true},                           // U+10FFFF
      {"\xFF", false},
      {"\xC0\xAF", false},          // overlong "/"
      {"\xE0\x80\xAF", false},      // overlong, three bytes
      {"\xED\xA0\x80", false},      // surrogate U+D800
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xC3", false},              // cut short at the end
      {"\xE2\x80", false},
      {"a\x80z", false},  // lone continuation byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(is_valid_utf8(c.text), c.valid);
  }
}

TEST(Utf8, EachInvalidSequenceBecomesOneReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFFz", "a" + fffd + "z"},
      {"a\xE2\x80z", "a" + fffd + "z"},  // a truncated sequence is one piece
      {"\xC0\xAF", fffd + fffd},         // an impossible lead byte stands alone
      {"\xED\xA0\x80", fffd + fffd + fffd},
      {"end\xF0\x9F\x98", "end" + fffd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(to_valid_utf8(c.text), c.expected);
    EXPECT_TRUE(is_valid_utf8(to_valid_utf8(c.text)));
  }
}

// Help text is aligned and wrapped by this count: a multi-byte character is one column, and so
// is each ill-formed sequence, as the one replacement character a terminal shows for it.
TEST(Utf8, CodePointCountIsOnePerCharacterAndPerIllFormedSequence) {
  EXPECT_EQ(code_point_count(""), 0U);
  EXPECT_EQ(code_point_count("sync"), 4U);
  EXPECT_EQ(code_point_count("caf\xC3\xA9"), 4U);                      // é
  EXPECT_EQ(code_point_count("a \xE2\x80\x94 b \xE2\x86\x92 c"), 9U);  // — and →
  EXPECT_EQ(code_point_count("\xF0\x9F\x98\x80!"), 2U);                // an emoji, four bytes
  EXPECT_EQ(code_point_count("\xE2\x80x"), 2U);     // a sequence cut short, then x
  EXPECT_EQ(code_point_count("\x80\x80"), 2U);      // two lone continuation bytes
  EXPECT_EQ(code_point_count("\xC0\xAF"), 2U);      // an overlong form: two bad bytes
  EXPECT_EQ(code_point_count("\xED\xA0\x80"), 3U);  // a surrogate: three bad bytes
}

TEST(Utf8, FirstInvalidIsWhereTheFirstIllFormedSequenceBegins) {
  constexpr std::size_t none = std::string_view::npos;
  struct Case {
    std::string text;
    std::size_t from;
    std::size_t expected;
  };
  const Case cases[] = {
      {"", 0, none},
      {"caf\xC3\xA9 \xE2\x80\x94", 0, none},
      {"a\xC3\xA9\xFFz", 0, 3},        // after a two-byte character
      {"\xE2\x80\x94\xE2\x80", 0, 3},  // cut short at the end
      {"ab\xED\xA0\x80", 0, 2},        // a surrogate
      {"\xFF"
       "ab",
       1, none},                             // what lies before `from` is not looked at
      {"ok\xF0\x9F\x98\x80\xC0\xAF", 2, 6},  // an overlong after a four-byte character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(first_invalid_utf8(c.text, c.from), c.expected);
  }
}

TEST(Utf8, LongAsciiRunsAreCheckedToTheirLastByte) {
  // Runs are skipped a block and a word at a time: a bad byte, or a character split across a
  // block or word boundary, must be found wherever it lies.
  for (std::size_t at = 0; at < 100; ++at) {
    for (std::size_t from : {std::size_t{0}, std::size_t{3}}) {
      if (from > at) {
        continue;
      }
      SCOPED_TRACE(testing::Message() << "at " << at << " from " << from);
      std::string text(100, 'a');
      text[at] = '\xFF';
      EXPECT_EQ(first_invalid_utf8(text, from), at);
      text.replace(at, 1, "\xE2\x80\x94");  // an em dash, valid at any offset
      EXPECT_EQ(first_invalid_utf8(text, from), std::string_view::npos);
      text.resize(at + 2);  // the dash cut short at the very end
      EXPECT_EQ(first_invalid_utf8(text, from), at);
    }
  }
}

TEST(Utf8, EncodingAndDecodingAgreeAtEveryLengthBoundary) {
  struct Case {
    char32_t code_point;
    std::size_t length;
  };
  const Case cases[] = {
      {0x0, 1},    {0x7F, 1},   {0x80, 2},   {0x7FF, 2},   {0x800, 3},    {0xD7FF, 3},
      {0xE000, 3}, {0xFFFD, 3}, {0xFFFF, 3}, {0x10000, 4}, {0x10FFFF, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<unsigned>(c.code_point));
    std::string text;
    append_utf8(text, c.code_point);
    EXPECT_EQ(text.size(), c.length);
    EXPECT_TRUE(is_valid_utf8(text));
    const Utf8CodePoint decoded = decode_utf8(text, 0);
    EXPECT_EQ(decoded.code_point, std::optional<char32_t>(c.code_point));
    EXPECT_EQ(decoded.length, c.length);
  }
  std::string top;
  append_utf8(top, 0x10FFFF);
  EXPECT_EQ(top, "\xF4\x8F\xBF\xBF");

  // A surrogate keeps its three-byte form both ways, which the check refuses.
  for (char32_t surrogate : {char32_t{0xD800}, char32_t{0xDFFF}}) {
    std::string text;
    append_utf8(text, surrogate);
    EXPECT_EQ(text.size(), 3u);
    EXPECT_FALSE(is_valid_utf8(text));
    EXPECT_EQ(decode_utf8(text, 0).code_point, std::optional<char32_t>(surrogate));
  }
}

TEST(Utf8, DecodingTakesABrokenSequenceToTheBreakAndAWrongOneWhole) {
  struct Case {
    std::string text;
    std::size_t at;
    std::size_t length;
  };
  const Case cases[] = {
      {"\x80", 0, 1},              // a continuation byte alone
      {"\xC0\xAF", 0, 1},          // C0 never begins a sequence
      {"\xF5\x80\x80\x80", 0, 1},  // nor does F5
      {"x\xE2\x80x", 1, 2},        // broken by a byte that does not continue it
      {"\xF0\x9F\x98", 0, 3},      // cut short at the end
      {"\xE0\x80\xAF", 0, 3},      // overlong
      {"\xF4\x90\x80\x80", 0, 4},  // above U+10FFFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Utf8CodePoint decoded = decode_utf8(c.text, c.at);
    EXPECT_EQ(decoded.code_point, std::nullopt);
    EXPECT_EQ(decoded.length, c.length);
  }
}

}  // namespace
}  // namespace kelvaro
