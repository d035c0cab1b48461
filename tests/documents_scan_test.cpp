#include "documents_scan.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "documents.hpp"

// Reading one member and printing with one member replaced, without building the document,
// must give what parsing the whole, editing and printing gives, or say it cannot.
namespace kelvaro {
namespace {

const Json replacement = {{"new", {1, "two"}}};

// What parsing `text` whole says the member `key` is: nullopt when the text is no object
// document, else the member's value (null Json when absent is told apart by `found`).
struct Whole {
  bool object = false;
  bool found = false;
  Json member{};
  std::string printed{};  // the document with `key` set to `replacement`, printed
};

Whole parse_whole(std::string_view text, const std::string& key) {
  auto parsed = parse_json(text);
  if (!parsed || !parsed->is_object()) {
    return {};
  }
  Whole whole{.object = true};
  if (auto it = parsed->find(key); it != parsed->end()) {
    whole.found = true;
    whole.member = *it;
  }
  (*parsed)[key] = replacement;
  whole.printed = *dump_json(*parsed);
  return whole;
}

// Checks the member readers and the printer against the whole parse; true when the printer
// mirrored the text (it may decline a text it cannot vouch for, never print a wrong one).
bool agrees_with_parser(const std::string& text, const std::string& key) {
  SCOPED_TRACE(testing::Message() << "key " << key << " in: " << text);
  const Whole whole = parse_whole(text, key);
  auto member = read_json_member(text, key);
  auto printed = print_json_with_member(text, key, replacement);
  if (!whole.object) {
    EXPECT_FALSE(member);
    EXPECT_FALSE(printed);
    return false;
  }
  EXPECT_TRUE(member);
  if (member) {
    EXPECT_EQ(member->has_value(), whole.found);
    if (member->has_value() && whole.found) {
      EXPECT_EQ((*member)->dump(), whole.member.dump());
    }
  }
  if (printed) {
    EXPECT_EQ(*printed, whole.printed);
  }
  return printed.has_value();
}

TEST(JsonScan, AwkwardTextsReadAndPrintAsTheParserDoes) {
  const std::vector<std::string> texts = {
      // Escapes in strings and keys; a key spelled with an escape is the same key.
      R"({"a": "\u00e9\/\"\\\b\f\n\r\t\u0001 \ud83d\ude00", "m": 1})",
      R"({"\u006d": [1, {"x": "\u0000"}], "b": 2})",
      "{\"s\": \"caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x80\xA8 \x7F\", \"m\": \"x\"}",
      // Numbers the library keeps, rewrites or widens.
      R"({"a": -0, "b": -0.0, "c": 1E5, "d": 1e-400, "e": 0.1e1, "f": 123456789012345678901234567890,
          "g": 18446744073709551615, "h": 9223372036854775808, "i": -9223372036854775809,
          "j": 1.5e300, "k": 4.9e-324, "l": 123456789012345678, "n": 0.30000000000000004})",
      R"({"m": [1e-7, 100.0, 2.50, -1.0E+2, 1e22, 1e21, 5e-324]})",
      // White space of every kind, empty containers, a member that is not there yet.
      "\t{\r\n\"m\" :\n[ ]\r, \"o\":{ } ,\"a\":[[],{}]}\n  ",
      "{}",
      R"({"only": true, "other": false, "none": null})",
      // The later of a repeated top-level member is the one read.
      R"({"m": 1, "a": {"m": 3}, "m": [2]})",
      // Keys equal once unescaped repeat.
      R"({"x": {"a": 1, "\u0061": 2}, "m": 0})",
  };
  for (const std::string& text : texts) {
    for (const std::string key : {"m", "x", "absent"}) {
      agrees_with_parser(text, key);
    }
  }
  // What it must print itself rather than leave to the whole parse.
  EXPECT_TRUE(agrees_with_parser(texts[0], "m"));
  EXPECT_TRUE(agrees_with_parser(texts[1], "m"));
  EXPECT_TRUE(agrees_with_parser(texts[3], "m"));
  EXPECT_TRUE(agrees_with_parser(texts[4], "m"));
  EXPECT_TRUE(agrees_with_parser(texts[5], "m"));
  EXPECT_FALSE(agrees_with_parser(texts[9], "m"));  // the parsed value drops a member
}

// A text already laid out as the printer lays it out is copied rather than printed again;
// wherever it departs from that layout, by a byte of white space or a token written otherwise,
// the copy must give way to the printer exactly there and take over again after.
TEST(JsonScan, TextInThePrintedLayoutPrintsAsTheParserDoesWhereverItDeparts) {
  const std::vector<std::string> sources = {
      R"({"a": "\u00e9\/\"\\\b\f\n\r\t\u0001 \u001F", "m": {"k": [1, 2.50, 1E5, -0, {}, []]},
          "z": {"deep": [[{"x": null}], "\u006b"]}, "e": {}, "f": []})",
      R"({"m": 1, "projects": {"/p": {"h": [{"d": "fix it", "p": {}}], "c": 0.037, "n": 12}}})",
      R"({"first": [true, false], "last": {"m": "not the top-level one"}})",
  };
  std::vector<std::string> seeds;
  for (const std::string& source : sources) {
    const std::string printed = *dump_json(*parse_json(source));
    seeds.push_back(printed);
    for (const std::string key : {"m", "absent"}) {
      // As the printer prints it, and as agents leave it: a final line end, CR LF, other
      // indents.
      EXPECT_TRUE(agrees_with_parser(printed, key));
      EXPECT_TRUE(agrees_with_parser(printed + "\n", key));
      EXPECT_TRUE(agrees_with_parser("\n" + printed, key));
      std::string crlf;
      for (const char c : printed) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
      }
      EXPECT_TRUE(agrees_with_parser(crlf, key));
      EXPECT_TRUE(agrees_with_parser(parse_json(source)->dump(4), key));
      EXPECT_TRUE(agrees_with_parser(parse_json(source)->dump(), key));
    }
  }
  // Every small change of white space or of a token in the printed layout.
  const std::string bytes[] = {" ", "  ", "\n", "\t", "\r\n", ",",
                               "0", "5",  ".",  "e",  "\\/",  "\\u0041"};
  std::mt19937 rng(7);
  int printed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = seeds[static_cast<std::size_t>(round) % seeds.size()];
    const std::size_t at = rng() % text.size();
    const std::string& piece = bytes[rng() % std::size(bytes)];
    switch (rng() % 3) {
      case 0:
        text.insert(at, piece);
        break;
      case 1:
        text.replace(at, 1, piece);
        break;
      default:
        text.erase(at, 1);
        break;
    }
    if (agrees_with_parser(text, round % 3 == 0 ? "absent" : "m")) {
      ++printed;
    }
    if (testing::Test::HasFailure()) {
      return;
    }
  }
  EXPECT_GT(printed, 1000);
}

TEST(JsonScan, ARepeatedKeyIsFoundInObjectsOfAnySize) {
  for (int size : {3, 15, 16, 17, 40, 1000}) {
    for (int repeat : {0, size / 2, size - 1}) {
      SCOPED_TRACE(testing::Message() << size << " keys, the last repeating key " << repeat);
      std::string object;
      for (int i = 0; i < size; ++i) {
        object += "\"key-" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
      }
      const std::string unique = "{\"m\": 1, \"o\": {" + object + "\"end\": 0}}";
      EXPECT_TRUE(agrees_with_parser(unique, "m"));
      // The same key again, once as written and once spelled with an escape.
      const std::string again = "\"key-" + std::to_string(repeat) + "\": 9";
      const std::string escaped = "\"\\u006bey-" + std::to_string(repeat) + "\": 9";
      for (const std::string& last : {again, escaped}) {
        const std::string text = "{\"m\": 1, \"o\": {" + object + last + "}}";
        EXPECT_FALSE(agrees_with_parser(text, "m"));
      }
    }
  }
}

TEST(JsonScan, NestingIsCountedOverTheWholeDocument) {
  auto nested = [](std::size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
  };
  // The top-level object and 127 arrays are as deep as the parser goes.
  for (std::size_t arrays : {126U, 127U, 128U, 300U}) {
    SCOPED_TRACE(arrays);
    const std::string text = "{\"m\": " + nested(arrays) + ", \"z\": 1}";
    const bool readable = arrays <= 127;
    EXPECT_EQ(read_json_member(text, "z").has_value(), readable);
    EXPECT_EQ(print_json_with_member(text, "z", replacement).has_value(), readable);
    EXPECT_EQ(read_json_member(text, "m").has_value(), readable);
  }
}

TEST(JsonScan, BrokenTextsAreNeverTakenForJson) {
  // Small changes to a valid document, each checked against the parser: whatever the parser
  // refuses is refused, and whatever is read or printed is what the parser makes of it.
  const std::vector<std::string> seeds = {
      R"({"m": {"s": "a\"b\\c\u00e9\ud83d\ude00", "n": [-0.5e+3, 12, true, null]}, "k": false})",
      "{\"projects\": {\"/p\": {\"h\": [\"caf\xC3\xA9\"], \"c\": 0.0370}}, \"m\": {}}",
  };
  const std::string bytes[] = {
      "\"", "\\", "{", "}", "[", "]",    ",",       ":",       "0",    "1",
      "-",  "+",  "e", ".", " ", "\x01", "\xC3",    "\xA9",    "\xFF", "\xED\xA0\x80",
      "u",  "D",  "8", "n", "t", "\\u",  "\\ud800", "\\udc00", "\0",   "\t"};
  std::mt19937 rng(23);
  int printed = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text = seeds[static_cast<std::size_t>(round) % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 2);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % text.size();
      const std::string& piece = bytes[rng() % std::size(bytes)];
      const std::string used = piece.empty() ? std::string(1, '\0') : piece;
      switch (rng() % 3) {
        case 0:
          text.replace(at, 1, used);
          break;
        case 1:
          text.insert(at, used);
          break;
        default:
          text.erase(at, 1);
          break;
      }
    }
    if (agrees_with_parser(text, "m")) {
      ++printed;
    }
    if (testing::Test::HasFailure()) {
      return;
    }
  }
  // Most changes break the text; the ones that do not are still printed by the scan.
  EXPECT_GT(printed, 100);
}

}  // namespace
}  // namespace kelvaro
