#include "documents.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "documents_scan.hpp"
#include "fsutil.hpp"
#include "support.hpp"
#include "toml.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// A private folder for one test, removed afterwards unless the test failed.
class DocumentsDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("kelvaro-documents-" + std::to_string(rd()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (HasFailure()) {
      std::cerr << "test folder kept at " << dir_.string() << "\n";
      return;
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  fs::path write(const std::string& name, std::string_view content) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string read(const fs::path& path) const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
};

using ReadJsonObject = DocumentsDir;
using WriteJson = DocumentsDir;
using ReadJsonDocument = DocumentsDir;
using TomlFrame = DocumentsDir;

std::string invalid_json(const fs::path& path, int line, int column) {
  return path.string() + " is not valid JSON (line " + std::to_string(line) + ", column " +
         std::to_string(column) + ") — left untouched";
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST_F(ReadJsonObject, MissingAndBlankFilesAreEmptyObjects) {
  const std::vector<std::string> blanks = {
      "",
      "   \n\n  ",
      "\t\r\n\v\f ",
      "\xC2\xA0",               // U+00A0
      "\xE3\x80\x80\n",         // U+3000
      "\xC2\x85 \xE2\x80\xA8",  // U+0085, U+2028
  };
  for (const auto& text : blanks) {
    SCOPED_TRACE(testing::PrintToString(text));
    auto doc = read_json_object(write("blank.json", text));

    ASSERT_TRUE(doc) << doc.error();
    EXPECT_EQ(doc->dump(), "{}");
  }

  const fs::path file = write("file", "x");
  for (const fs::path& path : {dir_ / "absent.json", file / "below-a-file.json"}) {
    SCOPED_TRACE(path.string());
    auto missing = read_json_object(path);

    ASSERT_TRUE(missing) << missing.error();
    EXPECT_EQ(missing->dump(), "{}");
  }
}

TEST_F(ReadJsonObject, ReportsWhereTheTextGoesWrong) {
  struct Case {
    std::string text;
    int line;
    int column;
  };
  const std::vector<Case> cases = {
      {"[1,2]", 1, 1},
      {"\n  [1]", 2, 3},
      {"\"text\"", 1, 1},
      {"  42", 1, 3},
      {"\xEF\xBB\xBF{}", 1, 1},
      {"\xEF\xBB\xBF  {\"a\": 1}", 1, 1},
      {"{\"a\":1,}", 1, 8},
      {"{} x", 1, 4},
      {"{\"a\":1e400}", 1, 10},
      {"{\n  \"a\": tru\n}", 2, 11},
      {"{\r\n\"a\" 1}", 2, 5},
      {"{\"a\":", 1, 6},
      {"{\"a\": \"\\ud800\"}", 1, 14},
      {"{\"a\": 1 // note\n}", 1, 9},
      {"\xC2\xA0{}", 1, 1},
      {std::string("{\"model\":\"x\"}\0{\"permissions\":{}}\n", 33), 1, 14},
      {std::string("{\n\"a\": \"x\0y\"}", 13), 2, 8},
      {std::string("{\"a\":\0}", 7), 1, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const fs::path path = write("bad.json", c.text);

    auto doc = read_json_object(path);

    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error(), invalid_json(path, c.line, c.column));
  }
}

TEST_F(ReadJsonObject, RefusesNestingPastTheLimit) {
  const fs::path deepest = write("ok.json", "{\"a\":" + nested(127) + "}");
  const fs::path too_deep = write("deep.json", "{\"a\":\n [\"[\", " + nested(200) + "]}");

  auto ok = read_json_object(deepest);
  auto bad = read_json_object(too_deep);

  ASSERT_TRUE(ok) << ok.error();
  ASSERT_FALSE(bad);
  // The object and the first array are levels 1 and 2; the string's bracket does not count.
  EXPECT_EQ(bad.error(), invalid_json(too_deep, 2, 8 + 126));
}

TEST_F(ReadJsonObject, RefusesTextThatIsNotUtf8) {
  const fs::path path = write("latin1.json", "{\"caf\xE9\": 1}");
  const fs::path folder = dir_ / "folder.json";
  fs::create_directory(folder);

  auto latin1 = read_json_object(path);
  auto dir = read_json_object(folder);

  ASSERT_FALSE(latin1);
  EXPECT_EQ(latin1.error(), "cannot read " + path.string() + ": " +
                                std::make_error_code(std::errc::illegal_byte_sequence).message());
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error(), "cannot read " + folder.string() + ": " + folder_open_error().message());
}

TEST_F(ReadJsonObject, KeepsKeyOrderAndTheLaterDuplicate) {
  std::string many = "{";
  for (int i = 40; i > 0; --i) {
    many += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ",";
  }
  many += "\"k7\": \"again\", \"k33\": {\"x\": [1, 2]}}";
  const std::vector<std::string> texts = {"{\"x\":1,\"y\":2,\"x\":3}", many,
                                          "{\"o\": {\"b\": 1, \"a\": 2, \"b\": [3]}}"};
  for (const auto& text : texts) {
    SCOPED_TRACE(text);

    auto doc = read_json_object(write("dup.json", text));

    ASSERT_TRUE(doc) << doc.error();
    // The stock parser is slow on big objects but defines the expected result.
    EXPECT_EQ(doc->dump(), Json::parse(text).dump());
  }
}

TEST(ParseJsonObject, MatchesTheStockParserOnGeneratedDocuments) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::string text = "{";
    const int members = static_cast<int>(rng() % 60);
    for (int i = 0; i < members; ++i) {
      // Few distinct keys, so that duplicates are common on both sides of the index.
      text += (i ? "," : "") + std::string("\"k") + std::to_string(rng() % 30) + "\":";
      switch (rng() % 4) {
        case 0:
          text += std::to_string(static_cast<std::int64_t>(rng()) - 2000000000);
          break;
        case 1:
          text += "{\"a\":1,\"a\":[true,null]}";
          break;
        case 2:
          text += "\"s\\u00e9\\n\"";
          break;
        default:
          text += "18446744073709551615";
      }
    }
    text += "}";
    SCOPED_TRACE(text);

    auto doc = parse_json_object(text, "gen");

    ASSERT_TRUE(doc) << doc.error();
    EXPECT_EQ(doc->dump(), Json::parse(text).dump());
  }
}

// A random JSON value of every kind, nested at most `depth` deep, with keys drawn from few
// names so that some objects repeat one.
Json random_json(std::mt19937& rng, int depth) {
  switch (rng() % (depth > 0 ? 9 : 6)) {
    case 0:
      return nullptr;
    case 1:
      return rng() % 2 == 0;
    case 2:
      return static_cast<std::int64_t>(rng()) - 3000000000LL;
    case 3:
      return static_cast<double>(rng() % 100000) / 64.0 - 100.0;
    case 4:
      return std::to_string(rng() % 1000) + "\"\\\n\t\xC3\xA9\x01";
    case 5:
      return std::uint64_t{18446744073709551615ULL};
    case 6:
    case 7: {
      Json object = Json::object();
      const auto members = rng() % 6;
      for (unsigned i = 0; i < members; ++i) {
        object["k" + std::to_string(rng() % 40)] = random_json(rng, depth - 1);
      }
      return object;
    }
    default: {
      Json array = Json::array();
      const auto elements = rng() % 5;
      for (unsigned i = 0; i < elements; ++i) {
        array.push_back(random_json(rng, depth - 1));
      }
      return array;
    }
  }
}

TEST(JsonMember, ReadingAndPrintingOneMemberMatchParsingTheWhole) {
  std::mt19937 rng(11);
  const Json value = {{"new", {1, "two", {{"x", nullptr}}}}};
  for (int round = 0; round < 300; ++round) {
    Json doc = Json::object();
    const auto members = rng() % 8;
    for (unsigned i = 0; i < members; ++i) {
      doc["k" + std::to_string(rng() % 10)] = random_json(rng, 4);
    }
    // Compact or pretty, the text is the same document.
    const std::string text = round % 2 == 0 ? doc.dump() : doc.dump(3);
    SCOPED_TRACE(text);
    const std::string key = "k" + std::to_string(rng() % 10);

    auto member = read_json_member(text, key);
    auto printed = print_json_with_member(text, key, value);

    ASSERT_TRUE(member);
    ASSERT_EQ(member->has_value(), doc.contains(key));
    if (doc.contains(key)) {
      EXPECT_EQ((*member)->dump(), doc[key].dump());
    }
    Json edited = doc;
    edited[key] = value;
    ASSERT_TRUE(printed);
    EXPECT_EQ(*printed, *dump_json(edited));
  }
}

TEST(JsonMember, LeavesToTheFullParserWhatItCannotMirror) {
  const Json value = Json::object();
  for (const std::string& text : std::vector<std::string>{
           "[]", "\"s\"", "\xEF\xBB\xBF{}", "{\"a\": 1", "{} {}", "{\"a\": {\"b\": 1, \"b\": 2}}",
           "{\"m\": 1, \"m\": 2}", "{\"x\": [1e400]}", std::string("{}\0{", 4)}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(print_json_with_member(text, "m", value));
  }
  EXPECT_EQ(print_json_with_member("{}", "m", value), "{\n  \"m\": {}\n}");
  EXPECT_EQ(
      print_json_with_member(" {\"a\":[],\"m\":{\"x\":[1,{}]},\"z\":{}} ", "m", Json{{"y", 2.0}}),
      "{\n  \"a\": [],\n  \"m\": {\n    \"y\": 2.0\n  },\n  \"z\": {}\n}");
  // Reading keeps the later of two values, as parsing the whole does.
  auto later = read_json_member(R"({"m": 1, "a": {"m": 3}, "m": [2]})", "m");
  ASSERT_TRUE(later && *later);
  EXPECT_EQ((*later)->dump(), "[2]");
  for (const std::string& text :
       {std::string("[{\"m\": 1}]"), nested(200).insert(0, "{\"m\":").append("}")}) {
    auto member = read_json_member(text, "m");
    ASSERT_FALSE(member);
    EXPECT_EQ(member.error(), MemberReadError::not_an_object_document);
  }
}

TEST(PrintJson, PrettyWithTwoSpacesAndAFinalLineFeed) {
  using Json = nlohmann::ordered_json;
  struct Case {
    Json value;
    std::string expected;
  };
  Json ordered = Json::object();
  ordered["zeta"] = 1;
  ordered["alpha"] = Json::array({true, nullptr});
  ordered["empty"] = Json::object();
  ordered["text"] = "caf\xC3\xA9 \"q\"\n";
  const Case cases[] = {
      {Json::object(), "{}\n"},
      {Json::array(), "[]\n"},
      {Json{{"a", 1}}, "{\n  \"a\": 1\n}\n"},
      {ordered,
       "{\n  \"zeta\": 1,\n  \"alpha\": [\n    true,\n    null\n  ],\n  \"empty\": {},\n"
       "  \"text\": \"caf\xC3\xA9 \\\"q\\\"\\n\"\n}\n"},
      {Json{{"bad", "\xFF"}}, "{}\n"},  // cannot be rendered
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    std::ostringstream out;
    print_json(out, c.value);
    EXPECT_EQ(out.str(), c.expected);
  }
}

TEST_F(WriteJson, PrintsTwoSpaceIndentWithoutFinalLineEnd) {
  struct Case {
    Json value;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {Json::object(), "{}"},
      {Json{{"name", "value"}}, "{\n  \"name\": \"value\"\n}"},
      {Json{{"a", Json::array()}, {"b", Json::object()}, {"c", {1, 2.5, nullptr}}},
       "{\n  \"a\": [],\n  \"b\": {},\n  \"c\": [\n    1,\n    2.5,\n    null\n  ]\n}"},
      {Json{{"s", std::string("q\" b\\ \b\t\n\f\r \x01\x1f\x7f/\xC3\xA9\xE2\x80\x94", 21)}},
       "{\n  \"s\": \"q\\\" b\\\\ \\b\\t\\n\\f\\r \\u0001\\u001f\x7f/\xC3\xA9\xE2\x80\x94\"\n}"},
      {Json{{"z", 1}, {"a", 1.0}}, "{\n  \"z\": 1,\n  \"a\": 1.0\n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const fs::path path = dir_ / "out.json";

    auto written = write_json(path, c.value);

    ASSERT_TRUE(written) << written.error().message();
    EXPECT_EQ(read(path), c.bytes);
  }
}

TEST_F(WriteJson, WritesNothingWhenAStringIsNotUtf8) {
  const fs::path path = dir_ / "out.json";
  const Json value = {{"bad", "\xFF"}};

  auto written = write_json(path, value);
  auto text = dump_json(value);

  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), std::errc::illegal_byte_sequence);
  EXPECT_FALSE(fs::exists(path));
  ASSERT_FALSE(text);
  EXPECT_NE(text.error().find("316"), std::string::npos) << text.error();
}

TEST_F(WriteJson, ReportsWhatWasWrittenAndFailsWithTheWritersMessages) {
  KELVARO_REQUIRE_LINKS();
  const fs::path target = write("target.json", "old");
  const fs::path link = dir_ / "link.json";
  // The program's own call: the file system library makes no links on Windows.
  ASSERT_TRUE(create_link(target.filename(), link, false));
  fs::create_directories(dir_ / "folder.json");

  auto through_link = write_json_file(link, Json{{"a", 1}});
  auto unprintable = write_json_file(dir_ / "bad.json", Json{{"bad", "\xFF"}});
  auto onto_folder = write_json_file(dir_ / "folder.json", Json::object());

  ASSERT_TRUE(through_link) << through_link.error();
  EXPECT_EQ(through_link->path, fs::canonical(target));
  EXPECT_FALSE(through_link->mode);
  EXPECT_EQ(read(target), "{\n  \"a\": 1\n}");
  EXPECT_TRUE(fs::is_symlink(link));
  ASSERT_FALSE(unprintable);
  EXPECT_TRUE(
      unprintable.error().starts_with("cannot serialise " + (dir_ / "bad.json").string() + ": "))
      << unprintable.error();
  EXPECT_FALSE(fs::exists(dir_ / "bad.json"));
  ASSERT_FALSE(onto_folder);
  EXPECT_TRUE(
      onto_folder.error().starts_with("cannot write " + (dir_ / "folder.json").string() + ": "))
      << onto_folder.error();
}

TEST_F(ReadJsonDocument, TakesAnyTopLevelButNoByteOrderMark) {
  auto array = read_json_document(write("array.json", " [1, {\"b\": 2, \"a\": null}] "));
  auto null = read_json_document(write("null.json", "null"));
  auto missing = read_json_document(dir_ / "missing.json");
  auto blank = read_json_document(write("blank.json", " \n"));
  const fs::path bom = write("bom.json", "\xEF\xBB\xBF[]");
  auto with_bom = read_json_document(bom);
  const fs::path broken = write("broken.json", "[1,\n 2");
  auto truncated = read_json_document(broken);
  // The parser alone would stop at a NUL byte and call what came before the whole document.
  // Not "nul.json": Windows takes NUL with any extension for the null device.
  const fs::path nul = write("with-nul.json", std::string("{\"a\": 1}\0{\"b\": 2}", 17));
  auto after_nul = read_json_document(nul);

  ASSERT_TRUE(array) << array.error();
  EXPECT_EQ(array->dump(), R"([1,{"b":2,"a":null}])");
  ASSERT_TRUE(null) << null.error();
  EXPECT_TRUE(null->is_null());
  ASSERT_TRUE(missing && blank);
  EXPECT_EQ(*missing, Json::object());
  EXPECT_EQ(*blank, Json::object());
  ASSERT_FALSE(with_bom);
  EXPECT_EQ(with_bom.error(), invalid_json(bom, 1, 1));
  ASSERT_FALSE(truncated);
  EXPECT_EQ(truncated.error(), invalid_json(broken, 2, 3));
  ASSERT_FALSE(after_nul);
  EXPECT_EQ(after_nul.error(), invalid_json(nul, 1, 9));
}

TEST_F(TomlFrame, RestoresByteOrderMarkAndCrLfAroundAnEdit) {
  auto file = parse_toml_file("\xEF\xBB\xBF# note\r\n[a]\r\nx = 1\r\n");
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->bom);
  EXPECT_TRUE(file->crlf);
  EXPECT_EQ(print_toml_file(*file), file->text);

  toml::set_value(toml::insert_table(file->doc.root, "b", false), "y", toml::string_value("z"));

  EXPECT_EQ(print_toml_file(*file),
            "\xEF\xBB\xBF# note\r\n[a]\r\nx = 1\r\n\r\n[b]\r\ny = \"z\"\r\n");
}

TEST_F(TomlFrame, BlankAndMissingFilesAreEmptyDocumentsAndErrorsCountOnTheBody) {
  auto blank = parse_toml_file("\xEF\xBB\xBF \n\t\n");
  auto missing = read_toml_file(dir_ / "none" / "missing.toml");
  auto bad_bom = parse_toml_file("\xEF\xBB\xBFx = \n");
  auto bad_third = parse_toml_file("a = 1\nb = 2\nc =!\n");
  auto not_utf8 = read_toml_file(write("bad.toml", "a = \"\xFF\"\n"));

  ASSERT_TRUE(blank && missing);
  EXPECT_EQ(blank->doc, toml::Document{});
  EXPECT_EQ(missing->doc, toml::Document{});
  EXPECT_EQ(missing->text, "");
  ASSERT_FALSE(bad_bom);
  EXPECT_EQ(bad_bom.error().invalid, "invalid TOML (line 1, column 5)");
  ASSERT_FALSE(bad_third);
  EXPECT_EQ(bad_third.error().invalid, "invalid TOML (line 3, column 4)");
  ASSERT_FALSE(not_utf8);
  EXPECT_EQ(not_utf8.error().read, std::errc::illegal_byte_sequence);
}

TEST_F(TomlFrame, FilesTakenAsWrittenCountTheMarkAndRefuseWhatTomlRefuses) {
  auto bad_bom = parse_toml_file("\xEF\xBB\xBFx = \n", TomlFileUse::read);
  auto no_break_space = parse_toml_file("\xC2\xA0\n", TomlFileUse::read);
  auto blank = parse_toml_file("\xEF\xBB\xBF \n\t\n", TomlFileUse::read);
  auto missing = read_toml_file(dir_ / "missing.toml", TomlFileUse::read);

  ASSERT_FALSE(bad_bom);
  EXPECT_EQ(bad_bom.error().invalid, "invalid TOML (line 1, column 8)");
  ASSERT_FALSE(no_break_space);
  EXPECT_EQ(no_break_space.error().invalid, "invalid TOML (line 1, column 1)");
  ASSERT_TRUE(blank);
  EXPECT_TRUE(blank->bom);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().read, std::errc::no_such_file_or_directory);
}

TEST_F(TomlFrame, WritesOnlyWhenThePrintedTextChanged) {
  const fs::path path = write("config.toml", "# keep\r\n[t]\r\nv = 1\r\n");
  auto file = read_toml_file(path);
  ASSERT_TRUE(file);
  fs::remove(path);

  auto unchanged = save_toml_file(path, *file);
  toml::set_value(file->doc.root, "w", toml::integer_value(2));
  auto changed = save_toml_file(path, *file);

  ASSERT_TRUE(unchanged && changed);
  EXPECT_FALSE(*unchanged);
  ASSERT_TRUE(*changed);
  EXPECT_EQ((*changed)->path, path);
  EXPECT_EQ(read(path), "w = 2\r\n# keep\r\n[t]\r\nv = 1\r\n");
}

TEST(JsonEqual, IgnoresOrderButNotNumberKinds) {
  struct Case {
    std::string a;
    std::string b;
    bool equal;
  };
  const std::vector<Case> cases = {
      {"30", "30.0", false},
      {"30", "30", true},
      {"-1", "18446744073709551615", false},
      {"18446744073709551615", "18446744073709551615", true},
      {"9223372036854775807", "9223372036854775807", true},
      {"0.0", "-0.0", true},
      {"{\"a\":1,\"b\":[1,{\"c\":2,\"d\":3}]}", "{\"b\":[1,{\"d\":3,\"c\":2}],\"a\":1}", true},
      {"{\"a\":1}", "{\"a\":1,\"b\":null}", false},
      {"{\"a\":1,\"b\":2}", "{\"a\":1,\"c\":2}", false},
      {"[1,2]", "[2,1]", false},
      {"[1]", "[1.0]", false},
      {"\"1\"", "1", false},
      {"null", "false", false},
      {"{}", "[]", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " vs " + c.b);
    const Json a = Json::parse(c.a);
    const Json b = Json::parse(c.b);

    EXPECT_EQ(json_equal(a, b), c.equal);
    EXPECT_EQ(json_equal(b, a), c.equal);
  }
  // A value built from a signed number against the same number parsed (unsigned).
  EXPECT_TRUE(json_equal(Json(std::int64_t{5}), Json::parse("5")));
}

TEST(JsonMap, CopiesAreDeepAndAMovedFromMapIsEmpty) {
  JsonMap map;
  map["codex"] = Json::parse(R"({"timeout": 5})");
  map["claude"] = Json::object();

  JsonMap copy = map;
  copy["codex"]["timeout"] = 6;
  JsonMap moved = std::move(copy);

  EXPECT_EQ(map.at("codex").dump(), R"({"timeout":5})");
  EXPECT_EQ(moved.at("codex").dump(), R"({"timeout":6})");
  EXPECT_FALSE(moved == map);
  EXPECT_EQ(map.names(), (std::vector<std::string>{"claude", "codex"}));
  EXPECT_EQ(map.find("gemini"), nullptr);
  EXPECT_TRUE(copy.empty());  // a moved-from map is left empty, not broken
  EXPECT_TRUE(copy == JsonMap());
  EXPECT_FALSE(JsonMap() == map);
}

TEST(PositionText, CountsBytesFromTheOffset) {
  struct Case {
    std::string text;
    std::size_t offset;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", 0, "invalid TOML (line 1, column 1)"},
      {"abc", 99, "invalid TOML (line 1, column 4)"},
      {"a\r\nb\r\nc = = 3", 6, "invalid TOML (line 3, column 1)"},
      {"a\nb\nc = = 3", 8, "invalid TOML (line 3, column 5)"},
      {"a\n", 1, "invalid TOML (line 1, column 2)"},
      {"a\n", 2, "invalid TOML (line 2, column 1)"},
      {"\xEF\xBB\xBF=", 3, "invalid TOML (line 1, column 4)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));

    EXPECT_EQ(toml_position_text(c.text, c.offset), c.expected);
  }
}

// The JSON form of the root table of a TOML text, which must parse.
Json toml_text_to_json(std::string_view text) {
  auto doc = toml::parse(text);
  EXPECT_TRUE(doc) << text;
  return doc ? toml_table_to_json(doc->root) : Json();
}

TEST(TomlToJson, ConvertsEveryKindOfItem) {
  struct Case {
    std::string toml;
    std::string json;
  };
  const std::vector<Case> cases = {
      {"a = \"x\"\nb = -7\nc = true\nd = 2.5\ne = 1.0",
       R"({"a":"x","b":-7,"c":true,"d":2.5,"e":1.0})"},
      {"n = nan\np = +inf\nm = -inf\nk = -nan", R"({"n":null,"p":null,"m":null,"k":null})"},
      {"t = 1979-05-27 07:32:00z", R"({"t":"1979-05-27T07:32:00Z"})"},
      {"t = 1979-05-27T00:32:00.600-07:00", R"({"t":"1979-05-27T00:32:00.6-07:00"})"},
      {"t = 1979-05-27T00:32:00.000-00:00", R"({"t":"1979-05-27T00:32:00.0+00:00"})"},
      {"d = 1979-05-27\nl = 07:32:00\nx = 1979-05-27T07:32:00",
       R"({"d":"1979-05-27","l":"07:32:00","x":"1979-05-27T07:32:00"})"},
      {"a = [1, [\"x\", {y = 2}], []]", R"({"a":[1,["x",{"y":2}],[]]})"},
      {"i = { b.c = 1, a = 2, b.d = [3] }", R"({"i":{"b":{"c":1,"d":[3]},"a":2}})"},
      {"z = 1\nx.y.w = 2\n[t]\nk = 1\n[t.u]\n[[h]]\nc = 1\n[[h]]\n[s.deep]\nq = 0",
       R"({"z":1,"x":{"y":{"w":2}},"t":{"k":1,"u":{}},"h":[{"c":1},{}],"s":{"deep":{"q":0}}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.toml);

    const Json converted = toml_text_to_json(c.toml);

    EXPECT_EQ(converted.dump(), Json::parse(c.json).dump());
  }
}

TEST(JsonToToml, RefusesValuesTomlCannotHoldNamingTheInnermostKey) {
  struct Case {
    std::string json;
    std::string error;
  };
  const std::vector<Case> cases = {
      {R"({"args":["x",{"a":1}]})", "`args` has a value TOML cannot hold"},
      {R"({"ok":1,"big":18446744073709551615})", "`big` has a value TOML cannot hold"},
      {R"({"t":{"v":[null]}})", "`v` has a value TOML cannot hold"},
      {R"({"t":{"u":{"w":[[1],[2,[null]]]}}})", "`w` has a value TOML cannot hold"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);

    auto table = json_object_to_toml(Json::parse(c.json));

    ASSERT_FALSE(table);
    EXPECT_EQ(table.error(), c.error);
  }
  EXPECT_FALSE(json_to_toml_value(Json(nullptr)));
  EXPECT_FALSE(json_to_toml_value(Json::object()));
  ASSERT_TRUE(json_to_toml_value(Json::parse("9223372036854775807")));
  EXPECT_EQ(json_to_toml_value(Json::parse("9223372036854775807"))->integer,
            std::numeric_limits<std::int64_t>::max());
}

TEST(JsonToToml, BuildsTablesWithHeadersForObjects) {
  struct Case {
    std::string json;
    std::string toml;
  };
  const std::vector<Case> cases = {
      {R"({"command":"npx","args":["-y","srv"],"env":{"T":"x"},"gone":null})",
       "[mcp_servers.s]\ncommand = \"npx\"\nargs = [\"-y\", \"srv\"]\n\n[mcp_servers.s.env]\n"
       "T = \"x\"\n"},
      {R"({"env":{}})", "[mcp_servers.s]\n\n[mcp_servers.s.env]\n"},
      {R"({"gone":null,"n":5})", "[mcp_servers.s]\nn = 5\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    toml::Document doc;
    toml::Table& servers = toml::insert_table(doc.root, "mcp_servers", true);

    auto table = json_object_to_toml(Json::parse(c.json));
    ASSERT_TRUE(table) << table.error();
    toml::replace_table(servers, "s", std::move(*table));

    EXPECT_EQ(toml::print(doc), c.toml);
  }
}

// Random JSON from a seeded generator: scalars of every kind, nested arrays and objects,
// awkward keys and strings, and now and then a value TOML cannot hold.
class JsonGenerator {
 public:
  explicit JsonGenerator(unsigned seed) : rng_(seed) {}

  Json object(int depth) {
    Json result = Json::object();
    const int members = pick(5);
    for (int i = 0; i < members; ++i) {
      result[text()] = depth < 3 && pick(4) == 0 ? object(depth + 1) : value(depth);
    }
    return result;
  }

 private:
  Json value(int depth) {
    switch (pick(10)) {
      case 0:
        return nullptr;
      case 1:
        return pick(2) == 0;
      case 2: {
        const std::int64_t edges[] = {0, -1, std::numeric_limits<std::int64_t>::min(),
                                      std::numeric_limits<std::int64_t>::max()};
        return pick(2) ? Json(edges[pick(4)]) : Json(static_cast<std::int64_t>(rng_()) - 99);
      }
      case 3:
        return pick(20) == 0 ? Json(std::numeric_limits<std::uint64_t>::max())
                             : Json(static_cast<std::uint64_t>(rng_()));
      case 4: {
        const double edges[] = {
            0.0, -0.0, 1.0, 0.1, 1e20, 1.2345678901234568e21, 1e-7, 5e-324, 1.7976931348623157e308,
            -2.5};
        return pick(2) ? Json(edges[pick(10)])
                       : Json(std::ldexp(static_cast<double>(rng_()), pick(120) - 60));
      }
      case 5:
      case 6:
        return text();
      default: {
        Json array = Json::array();
        const int n = pick(4);
        for (int i = 0; i < n; ++i) {
          if (depth < 3 && pick(3) == 0) {
            array.push_back(value(depth + 1));
          } else if (pick(25) == 0) {
            array.push_back(object(3));  // TOML arrays here hold no tables
          } else {
            array.push_back(pick(2) ? Json(text()) : Json(pick(1000)));
          }
        }
        return array;
      }
    }
  }

  std::string text() {
    static const std::vector<std::string> pieces = {"a",
                                                    "key",
                                                    " ",
                                                    ".",
                                                    "\"",
                                                    "\"\"\"",
                                                    "'",
                                                    "\\",
                                                    "\t",
                                                    "\r",
                                                    "\r\n",
                                                    "\n",
                                                    std::string(1, '\0'),
                                                    "\x1f",
                                                    "\x7f",
                                                    "=",
                                                    "#",
                                                    "[",
                                                    "\xC3\xA9",
                                                    "\xE2\x80\xA8",
                                                    "\xF0\x9F\x98\x80",
                                                    "-",
                                                    "_",
                                                    "1"};
    std::string result;
    const int n = pick(5);
    for (int i = 0; i < n; ++i) {
      result += pieces[static_cast<std::size_t>(pick(static_cast<int>(pieces.size())))];
    }
    return result;
  }

  int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

  std::mt19937 rng_;
};

// `value` as it should come back from TOML: null members dropped.
Json without_null_members(const Json& value) {
  if (value.is_array()) {
    Json array = Json::array();
    for (const auto& element : value) {
      array.push_back(without_null_members(element));
    }
    return array;
  }
  if (!value.is_object()) {
    return value;
  }
  Json object = Json::object();
  for (const auto& [key, member] : value.items()) {
    if (!member.is_null()) {
      object[key] = without_null_members(member);
    }
  }
  return object;
}

// True when TOML can hold `value` as a member value: no null or object inside an array, no
// unsigned integer above the signed range.
bool convertible(const Json& value, bool in_array) {
  if (value.is_null() || value.is_object()) {
    if (in_array) {
      return false;
    }
    for (const auto& member : value) {
      if (!convertible(member, false)) {
        return false;
      }
    }
    return true;
  }
  if (value.is_array()) {
    for (const auto& element : value) {
      if (!convertible(element, true)) {
        return false;
      }
    }
    return true;
  }
  return !value.is_number_unsigned() ||
         value.get<std::uint64_t>() <= std::numeric_limits<std::int64_t>::max();
}

TEST(JsonToToml, RandomValuesSurvivePrintingAndParsing) {
  int converted = 0;
  for (unsigned seed = 1; seed <= 400; ++seed) {
    const Json original = JsonGenerator(seed).object(0);
    SCOPED_TRACE(original.dump(-1, ' ', true));

    auto table = json_object_to_toml(original);

    if (!convertible(original, false)) {
      EXPECT_FALSE(table);
      continue;
    }
    ASSERT_TRUE(table) << table.error();
    const std::string text = toml::print(toml::Document{.root = std::move(*table)});
    auto reparsed = toml::parse(text);
    ASSERT_TRUE(reparsed) << text << "\n" << reparsed.error().message;
    EXPECT_TRUE(json_equal(toml_table_to_json(reparsed->root), without_null_members(original)))
        << text;
    ++converted;
  }
  EXPECT_GT(converted, 200);
}

}  // namespace
}  // namespace kelvaro
