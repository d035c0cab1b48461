#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "documents.hpp"
#include "utf8.hpp"

// Printing JSON text piece by piece as the JSON library prints a whole value.
namespace kelvaro {
namespace {

using OrderedJson = nlohmann::ordered_json;

// The JSON library's own print of `text` as a string, once its invalid UTF-8 is replaced.
std::string library_string(std::string_view text) {
  return OrderedJson(to_valid_utf8(text))
      .dump(-1, ' ', false, OrderedJson::error_handler_t::strict);
}

// Texts of up to `max_length` bytes drawn mostly from the bytes a JSON string treats apart:
// quotes, backslashes, control characters, DEL, and the lead and continuation bytes of UTF-8
// sequences, well-formed or not.
std::vector<std::string> awkward_texts(unsigned seed, std::size_t count, std::size_t max_length) {
  const std::string alphabet(
      "a/\"\\\x00\x01\x08\x09\x0A\x0C\x0D\x1F\x20\x7F\x80\xBF\xC0\xC2\xC3\xA9\xE0\xE2\xED\xA0"
      "\x9F\xEF\xF0\xF4\x8F\x90\xFF",
      32);
  std::mt19937 rng(seed);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < count; ++i) {
    std::string text(std::uniform_int_distribution<std::size_t>(0, max_length)(rng), ' ');
    for (char& c : text) {
      c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    }
    texts.push_back(std::move(text));
  }
  return texts;
}

// Every text comes out as the library prints it: each byte alone and between letters, the
// cases at the edges of escaping and of UTF-8, and random mixtures of them.
TEST(AppendJsonString, PrintsAsTheJsonLibraryPrintsTheReplacedText) {
  std::vector<std::string> texts = {
      "",
      "plain text",
      "a/b",
      "say \"hi\"",
      "C:\\dir\\file",
      "\b\f\n\r\t",
      std::string("nul\0inside", 10),
      "\x01\x1F",
      "del\x7F",
      "caf\xC3\xA9",
      "\xE2\x80\xA8 line separator",
      "emoji \xF0\x9F\x98\x80",
      "\xEF\xBB\xBF bom",
      "\xEF\xBF\xBF max bmp \xF4\x8F\xBF\xBF max",
      "bad\xFF",
      "\x80 lone continuation",
      "overlong \xC0\xAF \xE0\x80\xAF",
      "surrogate \xED\xA0\x80 \xED\xBF\xBF",
      "above \xF4\x90\x80\x80",
      "cut \xE2\x82",
      "cut \xE2\x82x mid",
      "\xC3",
      "\xF0\x9F\x98",
  };
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    texts.emplace_back(1, c);
    texts.push_back(std::string("a") + c + "b");
  }
  for (std::string& text : awkward_texts(7, 3000, 12)) {
    texts.push_back(std::move(text));
  }
  for (const std::string& text : texts) {
    SCOPED_TRACE(testing::PrintToString(text));
    std::string printed = "x";
    append_json_string(printed, text);
    EXPECT_EQ(printed, "x" + library_string(text));
  }
}

// Drives `printer` through `value`, as a report prints its document.
void print_through(JsonPrinter& printer, const OrderedJson& value) {
  if (value.is_object()) {
    printer.open_object();
    for (const auto& [key, member] : value.items()) {
      printer.key(key);
      print_through(printer, member);
    }
    printer.close_object();
  } else if (value.is_array()) {
    printer.open_array();
    for (const OrderedJson& element : value) {
      print_through(printer, element);
    }
    printer.close_array();
  } else if (value.is_string()) {
    printer.string(value.get_ref<const std::string&>());
  } else if (value.is_boolean()) {
    printer.boolean(value.get<bool>());
  } else {
    printer.number(value.get<std::uint64_t>());
  }
}

std::string dump_json_text(const OrderedJson& value) {
  return *dump_json(value);
}

// A value of at most `depth` levels: objects and arrays (empty ones too), strings with escapes,
// booleans and numbers.
OrderedJson random_value(std::mt19937& rng, int depth) {
  const int kind = std::uniform_int_distribution<int>(depth > 0 ? 0 : 2, 5)(rng);
  const std::size_t size = std::uniform_int_distribution<std::size_t>(0, 3)(rng);
  switch (kind) {
    case 0: {
      OrderedJson object = OrderedJson::object();
      for (std::size_t i = 0; i < size; ++i) {
        object["k" + std::to_string(i) + (i % 2 == 0 ? "\"\\\n" : "\xC3\xA9")] =
            random_value(rng, depth - 1);
      }
      return object;
    }
    case 1: {
      OrderedJson array = OrderedJson::array();
      for (std::size_t i = 0; i < size; ++i) {
        array.push_back(random_value(rng, depth - 1));
      }
      return array;
    }
    case 2:
      return to_valid_utf8(awkward_texts(static_cast<unsigned>(rng()), 1, 6).front());
    case 3:
      return size % 2 == 0;
    default:
      return static_cast<std::uint64_t>(rng()) << size * 16;
  }
}

TEST(JsonPrinter, PrintsWhatDumpJsonPrints) {
  OrderedJson nested = OrderedJson::object();
  nested["empty array"] = OrderedJson::array();
  nested["empty object"] = OrderedJson::object();
  nested["list"] = OrderedJson::array(
      {OrderedJson::object(), OrderedJson::array({1U, 2U}), OrderedJson::object({{"q\"", "v\t"}})});
  nested["numbers"] = OrderedJson::array({0U, std::numeric_limits<std::uint64_t>::max()});
  nested["flags"] = OrderedJson::array({true, false});
  std::vector<OrderedJson> values = {OrderedJson::object(), OrderedJson::array(),
                                     OrderedJson("top"), nested};
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    values.push_back(random_value(rng, 4));
  }
  for (const OrderedJson& value : values) {
    const std::string expected = dump_json_text(value);
    SCOPED_TRACE(expected);
    JsonPrinter printer;
    print_through(printer, value);
    printer.finish();
    EXPECT_EQ(printer.text(), expected);
  }
}

// A document far larger than the pieces the printer hands on arrives whole and in order, and
// nothing of it stays behind.
TEST(JsonPrinter, HandsLargeDocumentsToItsSinkInPieces) {
  OrderedJson report = OrderedJson::object();
  report["entries"] = OrderedJson::array();
  for (std::uint64_t i = 0; i < 5000; ++i) {
    report["entries"].push_back({{"name", "entry-" + std::to_string(i)}, {"number", i}});
  }
  const std::string expected = dump_json_text(report);
  ASSERT_GT(expected.size(), 4U * 64 * 1024);

  std::string out;
  JsonPrinter printer([&](std::string_view piece) { out.append(piece); });
  print_through(printer, report);
  EXPECT_LT(printer.text().size(), expected.size() / 2);
  printer.finish();
  EXPECT_EQ(out, expected);
  EXPECT_EQ(printer.text(), "");
}

}  // namespace
}  // namespace kelvaro
