#include "toml.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "documents.hpp"

namespace kelvaro::toml {
namespace {

const std::string bom = "\xEF\xBB\xBF";

Document parsed(std::string_view text) {
  auto doc = parse(text);
  EXPECT_TRUE(doc.has_value()) << doc.error().message << " at " << doc.error().offset;
  return doc ? *doc : Document{};
}

// A missing table fails the test and yields a scratch table, so the test goes on without
// dereferencing null.
Table& table_at(Table& root, const std::vector<std::string>& path) {
  Table* t = &root;
  for (const std::string& name : path) {
    Entry* e = find(*t, name);
    t = e == nullptr ? nullptr : as_table(*e);
    if (t == nullptr) {
      ADD_FAILURE() << "no table " << name;
      static Table missing;
      missing = Table{};
      return missing;
    }
  }
  return *t;
}

Value strings(const std::vector<std::string>& texts) {
  std::vector<Value> items;
  for (const std::string& t : texts) {
    items.push_back(string_value(t));
  }
  return array_value(std::move(items));
}

// A table built as the JSON conversion builds one: value lines, then sub-tables.
Table new_table(std::vector<std::pair<std::string, Value>> values) {
  Table t;
  for (auto& [name, value] : values) {
    set_value(t, name, std::move(value));
  }
  return t;
}

// ---- Parsing ----------------------------------------------------------------------------

TEST(TomlParse, ErrorPositions) {
  struct Case {
    std::string text;
    std::size_t line, column;
  };
  const std::vector<Case> cases = {
      {"a = 1\r\nb = 2\r\n= 3\r\n", 3, 1},  // first byte of line 3, CRLF file
      {"a = 1\nb = 2\nxy! = 3\n", 3, 3},    // a byte that cannot continue a key
      {"a = 1\nb = 2\nc = = 3\n", 3, 5},    // a byte that cannot start a value
      {bom + "= 1\n", 1, 4},                // offsets count the byte-order mark
      {"a = \"abc\nb = 1\n", 1, 9},         // unclosed string: its line end
      {"a = \"\"\"abc\n", 2, 1},            // unclosed multi-line string: the end
      {"a =", 1, 4},                        // input ends early
      {"[a", 1, 3},                         // unclosed header
      {"a = [1, 2", 1, 10},                 // unclosed array
      {"x = 1 y\n", 1, 7},                  // junk after a value
      {"[a b]\n", 1, 4},                    // junk inside a header
      {"a = 1\na = 2\n", 2, 1},             // duplicate key
      {"[a]\nx = 1\n[a]\n", 3, 2},          // table defined twice
      {"a = []\n[[a]]\n", 2, 3},            // [[a]] on a static array
      {"[a]\nb.c = 1\n[a.b]\n", 3, 4},      // header on a dotted table
      {"[a.b]\n[a]\nb = 1\n", 3, 1},        // dotted key into a closed table
      {"a = {b = 1}\na.c = 2\n", 2, 1},     // inline tables are closed
      {"t = {a.b = 1, a = 2}\n", 1, 15},    // duplicate inside an inline table
      {"s = \"a\\qb\"\n", 1, 7},            // bad escape: the backslash
      {"s = \"\\uD800\"\n", 1, 6},          // surrogate code point
      {"n = 01\n", 1, 5},                   // leading zero: the value
      {"n = 1__0\n", 1, 5},                 // doubled underscore
      {"n = 9223372036854775808\n", 1, 5},  // integer overflow
      {"d = 2021-02-30\n", 1, 5},           // day out of range
      {"d = 2021-02-29T24:00:00\n", 1, 5},  // not a leap year
      {"# a\x01 comment\n", 1, 4},          // control character in a comment
      {"a = 1\rb = 2\n", 1, 6},             // lone carriage return
      {"a = \"\xff\"\n", 1, 6},             // invalid UTF-8
      {"t = {a = 1,}\n", 1, 12},            // TOML 1.1 trailing comma
      {"s = \"\\e\"\n", 1, 6},              // TOML 1.1 escape
      {"t = 07:32\n", 1, 5},                // TOML 1.1 optional seconds
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);

    const auto doc = parse(c.text);

    ASSERT_FALSE(doc.has_value());
    EXPECT_EQ(kelvaro::position_at(c.text, doc.error().offset),
              (kelvaro::TextPosition{c.line, c.column}))
        << doc.error().message;
  }
}

TEST(TomlParse, NestingIsBounded) {
  const std::string deep = "a = " + std::string(200, '[');
  const auto doc = parse(deep);
  ASSERT_FALSE(doc.has_value());
  EXPECT_EQ(doc.error().offset, 4u + 128u);

  const std::string inline_deep = "a = " + std::string(200, '{');
  ASSERT_FALSE(parse(inline_deep).has_value());

  const std::string ok = "a = " + std::string(128, '[') + std::string(128, ']') + "\n";
  EXPECT_TRUE(parse(ok).has_value());
}

// `x.x.…` with `parts` segments.
std::string dotted(std::size_t parts) {
  std::string key = "x";
  for (std::size_t i = 1; i < parts; ++i) {
    key += ".x";
  }
  return key;
}

// Headers, dotted keys and brackets add up against one bound: each case is one level past
// it and fails at the first byte of the offending segment or bracket.
TEST(TomlParse, KeyAndHeaderDepthIsBounded) {
  const std::string hook = "[[hook]]\ncommand=\"echo hi\"\n";
  const std::string deep_header = "[" + dotted(100) + "]\n";
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {hook + dotted(99999) + " = 1\n", hook.size() + 2 * 128},
      {dotted(130) + " = 1\n", 2 * 129},
      {"[" + dotted(200) + "]\n", 1 + 2 * 128},
      {"[[" + dotted(129) + "]]\n", 2 + 2 * 128},
      {deep_header + dotted(30) + " = 1\n", deep_header.size() + 2 * 29},
      {deep_header + "a = " + std::string(29, '['), deep_header.size() + 4 + 28},
      {"t = {" + dotted(129) + " = 1}\n", 5 + 2 * 128},
      {"t = [{a = {" + dotted(127) + " = 1}}]\n", 11 + 2 * 126},
  };
  for (const auto& [text, offset] : cases) {
    SCOPED_TRACE(text.substr(0, 40));

    const auto doc = parse(text);

    ASSERT_FALSE(doc.has_value());
    EXPECT_EQ(doc.error().offset, offset) << doc.error().message;
  }
}

// Documents at the bound print, edit, copy and convert; every one of these recurses along
// the depth.
TEST(TomlParse, DeepestAcceptedDocumentsStayUsable) {
  const std::string deep_header = "[" + dotted(100) + "]\n";
  const std::vector<std::string> texts = {
      dotted(129) + " = 1\n",
      "[[" + dotted(128) + "]]\nk = 1\n",
      deep_header + dotted(28) + " = {" + dotted(1) + " = 1}\n",
      deep_header + "a = " + std::string(28, '[') + std::string(28, ']') + "\n",
      "t = {" + dotted(126) + " = {a = [1]}}\n",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 40));

    const Document doc = parsed(text);
    Document edited = doc;
    ASSERT_TRUE(remove(edited.root, edited.root.entries.front().key.name));
    set_value(edited.root, "added", integer_value(1));

    EXPECT_EQ(print(doc), text);
    EXPECT_EQ(print(edited), "added = 1\n");
    EXPECT_FALSE(kelvaro::toml_table_to_json(doc.root).dump().empty());
  }
}

// Trees built through the edit calls have no depth bound; tearing one down must not take
// stack in proportion to its depth, whichever way it goes.
TEST(TomlModel, DeepTreesTearDownWithoutRecursion) {
  constexpr int depth = 300000;
  Document doc;
  Table* t = &insert_table(doc.root, "tables", false);
  for (int i = 0; i < depth; ++i) {
    t = &insert_table(*t, "x", false);
  }
  t = &insert_table(doc.root, "arrays", false);
  for (int i = 0; i < depth; ++i) {
    t->entries.push_back(Entry{Key{.name = "x"}, ArrayOfTables{}});
    t = &std::get<ArrayOfTables>(t->entries.back().item).tables.emplace_back();
    t = &insert_table(*t, "y", false);
  }

  set_value(doc.root, "tables", integer_value(1));  // a value line replaces the boxed chain
  EXPECT_TRUE(remove(doc.root, "arrays"));
  EXPECT_EQ(print(doc), "tables = 1\n");
}

TEST(TomlParse, KindsOfTables) {
  const Document doc = parsed(
      "a.b = 1\n"
      "i = { x.y = 2, z = 3 }\n"
      "[t.u]\n"
      "[[arr]]\n"
      "[[arr]]\n");

  const Entry* a = find(doc.root, "a");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(as_table(*a), nullptr);
  EXPECT_TRUE(as_table(*a)->dotted);
  const Table& t = *as_table(*find(doc.root, "t"));
  EXPECT_TRUE(t.implicit);
  EXPECT_FALSE(t.dotted);
  EXPECT_FALSE(as_table(*find(t, "u"))->implicit);
  EXPECT_EQ(as_aot(*find(doc.root, "arr"))->tables.size(), 2u);

  const Value& inline_table = as_line(*find(doc.root, "i"))->value;
  ASSERT_EQ(inline_table.kind, Kind::inline_table);
  const auto members = inline_members(inline_table);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].name, "x");
  EXPECT_EQ(members[0].value, nullptr);
  ASSERT_EQ(members[0].children.size(), 1u);
  EXPECT_EQ(members[0].children[0].value->integer, 2);
  EXPECT_EQ(members[1].value->integer, 3);
}

TEST(TomlParse, DatetimeNormalText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1979-05-27 07:32:00z", "1979-05-27T07:32:00Z"},
      {"1979-05-27t07:32:00.600-00:00", "1979-05-27T07:32:00.6+00:00"},
      {"1979-05-27T07:32:00.000+05:30", "1979-05-27T07:32:00.0+05:30"},
      {"1979-05-27T00:32:00.9999999999-07:00", "1979-05-27T00:32:00.999999999-07:00"},
      {"1979-05-27", "1979-05-27"},
      {"07:32:01.50", "07:32:01.5"},
      {"2000-02-29T23:59:60", "2000-02-29T23:59:60"},
  };
  for (const auto& [text, normal] : cases) {
    SCOPED_TRACE(text);

    const Document doc = parsed("d = " + text + "\n");

    const Value& v = as_line(*find(doc.root, "d"))->value;
    ASSERT_EQ(v.kind, Kind::datetime);
    EXPECT_EQ(datetime_text(v.dt), normal);
  }
}

TEST(TomlParse, MultilineStringLineEndsReadAsLf) {
  const Document doc = parsed("s = \"\"\"\r\na\r\nb \\\r\n   c\"\"\"\r\nt = '''x\r\ny'''\r\n");

  EXPECT_EQ(as_line(*find(doc.root, "s"))->value.str, "a\nb c");
  EXPECT_EQ(as_line(*find(doc.root, "t"))->value.str, "x\ny");
}

TEST(TomlPrint, RoundTripKeepsEveryByte) {
  const std::vector<std::string> texts = {
      "",
      "# only a comment",
      "a = 1",
      "  # who\r\n  agents =[\"x\"] # old\r\n\r\n[ mcp . a ]  # pinned\r\n\tk = 'v'\r\n",
      "apple.x = 1\norange.x = 2\napple.y = 3\nname.first = 1\n\"name\".'last' = 2\n",
      "[a.b.c]\nz = 1\n[a]\nb.d = 2\n[x]\n",
      "a = [\n  1, # one\n  2,\n]\nt = {  a = 1 ,b.c=2}\ne = { }\n",
      "[[x]]\n[x.y]\n[[x]]\n  [x.y]  \n\n# end\n\n",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);

    EXPECT_EQ(print(parsed(text)), text);
    EXPECT_EQ(print(parsed(bom + text)), text);
  }
}

TEST(TomlPrint, LineEndHelpers) {
  EXPECT_EQ(with_crlf("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(with_crlf(with_crlf("a\nb\n")), "a\r\nb\r\n");
  EXPECT_EQ(with_crlf("\n"), "\r\n");
  EXPECT_EQ(with_lf("a\r\nb\rc\r\n"), "a\nb\rc\n");
}

// ---- Default forms ----------------------------------------------------------------------

std::string printed_line(std::string key, Value value) {
  Document doc;
  set_value(doc.root, std::move(key), std::move(value));
  return print(doc);
}

TEST(TomlDefaults, StringsPrintAsWrittenHere) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\Tools", "\"C:\\\\Tools\""},
      {"a\nsay \"hi\"", "\"\"\"\na\nsay \"hi\\\"\"\"\""},
      {"x\r\ny", "\"\"\"\nx\\r\ny\"\"\""},
      {"tab\there", "\"tab\\there\""},
      {"\x01\x1f\x7f", "\"\\u0001\\u001F\\u007F\""},
      {"ünï 😀", "\"ünï 😀\""},
      {"\n\"\"\"\"", "\"\"\"\n\n\"\"\\\"\\\"\"\"\""},
  };
  for (const auto& [text, form] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(printed_line("k", string_value(text)), "k = " + form + "\n");
  }
}

TEST(TomlDefaults, StringsAndKeysReadBack) {
  std::vector<std::string> texts = {
      "",     "\"\"\"", "ends in \"", "ends in \"\"", "\\",     "\t",         "\r",
      "\r\n", "\nlead", "\x01x",      "\x1f",         "\x7f",   "\u2028 sep", "😀",
      "a.b",  "a b",    "'",          "\"\"\"\"\"\"", "a\\\nb", "x\n\n\"\"",  "-_09AZaz"};
  texts.push_back(std::string("\0x", 2));
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);

    const std::string out = printed_line(text, string_value(text));
    const auto doc = parse(out);

    ASSERT_TRUE(doc.has_value()) << out;
    ASSERT_EQ(doc->root.entries.size(), 1u) << out;
    EXPECT_EQ(doc->root.entries[0].key.name, text) << out;
    EXPECT_EQ(as_line(doc->root.entries[0])->value.str, text) << out;
  }
}

TEST(TomlDefaults, FloatsPrintShortestAndReadBack) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {1e20, "100000000000000000000.0"},
      {1.2345678901234568e21, "1234567890123456800000.0"},
      {1e-7, "0.0000001"},
      {-2.5, "-2.5"},
      {5e-324, ""},
      {1.7976931348623157e308, ""},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& [x, form] : cases) {
    SCOPED_TRACE(x);

    const std::string out = printed_line("f", float_value(x));
    const auto doc = parse(out);

    if (!form.empty()) {
      EXPECT_EQ(out, "f = " + form + "\n");
    }
    ASSERT_TRUE(doc.has_value()) << out;
    const double back = as_line(*find(doc->root, "f"))->value.real;
    if (std::isnan(x)) {
      EXPECT_TRUE(std::isnan(back));
    } else {
      EXPECT_EQ(back, x);
      EXPECT_EQ(std::signbit(back), std::signbit(x));
    }
  }
}

TEST(TomlDefaults, OtherValues) {
  EXPECT_EQ(printed_line("n", integer_value(std::numeric_limits<std::int64_t>::min())),
            "n = -9223372036854775808\n");
  EXPECT_EQ(printed_line("b", bool_value(false)), "b = false\n");
  EXPECT_EQ(printed_line("a", strings({"a", "b"})), "a = [\"a\", \"b\"]\n");
  EXPECT_EQ(printed_line("a", array_value({array_value({integer_value(1), integer_value(2)}),
                                           array_value({})})),
            "a = [[1, 2], []]\n");
  EXPECT_EQ(
      printed_line("t", inline_table_value({{"a", integer_value(1)}, {"b c", integer_value(2)}})),
      "t = { a = 1, \"b c\" = 2 }\n");
  EXPECT_EQ(printed_line("t", inline_table_value({})), "t = {}\n");
  EXPECT_EQ(printed_line("my key", bool_value(true)), "\"my key\" = true\n");
}

// ---- Edits ------------------------------------------------------------------------------

TEST(TomlEdit, ImplicitParentsPrintNoHeader) {
  Document doc;
  Table& mcp = insert_table(doc.root, "mcp", true);
  Table& foo = insert_table(mcp, "foo", true);
  Table& tweaks = insert_table(foo, "tweaks", true);
  replace_table(tweaks, "codex", new_table({{"x", integer_value(1)}}));

  EXPECT_EQ(print(doc), "[mcp.foo.tweaks.codex]\nx = 1\n");
  EXPECT_EQ(&insert_table(doc.root, "mcp", false), &mcp);
}

TEST(TomlEdit, HeaderTableMadeImplicitLosesItsHeader) {
  Document doc = parsed("# about a\n[a]\n[a.b]\n");

  as_table(*find(doc.root, "a"))->implicit = true;

  EXPECT_EQ(print(doc), "[a.b]\n");
}

TEST(TomlEdit, AppendedKeyGoesAfterTheLastValueLine) {
  Document doc = parsed("[mcp.foo]  # srv\n  enabled = true\n\n# next\n[other]\n");

  set_value(table_at(doc.root, {"mcp", "foo"}), "agents", strings({"codex"}));

  EXPECT_EQ(print(doc),
            "[mcp.foo]  # srv\n  enabled = true\nagents = [\"codex\"]\n\n# next\n[other]\n");
}

TEST(TomlEdit, ReplacedValueKeepsKeyAndLeadButNotItsComment) {
  Document doc = parsed("[mcp.foo]\n# who\nagents   = [\"claude\"]  # old\nx = 1\n");

  set_value(table_at(doc.root, {"mcp", "foo"}), "agents", strings({"claude", "codex"}));

  EXPECT_EQ(print(doc), "[mcp.foo]\n# who\nagents   = [\"claude\", \"codex\"]\nx = 1\n");
}

TEST(TomlEdit, ValueReplacingATableStaysSound) {
  Document doc = parsed("[a]\nx = 1\n[a.t]\ny = 2\n[b]\n");

  set_value(table_at(doc.root, {"a"}), "t", integer_value(3));

  EXPECT_EQ(print(doc), "[a]\nx = 1\nt = 3\n[b]\n");
}

TEST(TomlEdit, ReplacedTableKeepsItsHeaderDecor) {
  Document doc = parsed(
      "# local tools\n[mcp_servers.fs]   # pinned\ncommand = \"old\"\n\n[mcp_servers.fs.env]\n"
      "K = \"v\"\n\n[profiles.a]\nx = 1\n");

  replace_table(table_at(doc.root, {"mcp_servers"}), "fs",
                new_table({{"command", string_value("npx")}, {"args", strings({"-y", "fs"})}}));

  EXPECT_EQ(
      print(doc),
      "# local tools\n[mcp_servers.fs]   # pinned\ncommand = \"npx\"\nargs = [\"-y\", \"fs\"]\n"
      "\n[profiles.a]\nx = 1\n");
}

TEST(TomlEdit, AddedTableLandsAfterItsSiblings) {
  Document doc = parsed("[mcp_servers.a]\ncommand = \"x\"\n\n[profiles.p]\ny = 1\n");
  Table b = new_table({{"command", string_value("y")}});
  replace_table(b, "env", new_table({{"T", string_value("1")}}));

  replace_table(table_at(doc.root, {"mcp_servers"}), "b", std::move(b));

  EXPECT_EQ(print(doc),
            "[mcp_servers.a]\ncommand = \"x\"\n\n[mcp_servers.b]\ncommand = \"y\"\n\n"
            "[mcp_servers.b.env]\nT = \"1\"\n\n[profiles.p]\ny = 1\n");
}

TEST(TomlEdit, NewSubTablePlacedAfterParentsLastSubTable) {
  Document doc = parsed(
      "[package]\nname = \"p\"\n\n[dependencies]\nfoo = 1\n\n[[example]]\nname = \"e\"\n\n"
      "[dependencies.opencl]\nv = 2\n\n[dev-dependencies]\nbar = 3\n");

  Table& added = insert_table(table_at(doc.root, {"dependencies"}), "newthing", false);
  set_value(added, "v", integer_value(4));

  EXPECT_EQ(print(doc),
            "[package]\nname = \"p\"\n\n[dependencies]\nfoo = 1\n\n[[example]]\nname = \"e\"\n\n"
            "[dependencies.opencl]\nv = 2\n\n[dependencies.newthing]\nv = 4\n\n"
            "[dev-dependencies]\nbar = 3\n");
}

TEST(TomlEdit, RemoveTakesSubtreeAndComments) {
  Document doc = parsed(
      "[targets]\ncursor = false\n\n# the fs server\n[mcp.fs]\nagents = [\"a\"]\n\n"
      "[mcp.fs.tweaks.claude]\ntimeout = 5\n\n[mcp.web]\nagents = []\n");

  EXPECT_TRUE(remove(table_at(doc.root, {"mcp"}), "fs"));
  EXPECT_FALSE(remove(table_at(doc.root, {"mcp"}), "fs"));

  EXPECT_EQ(print(doc), "[targets]\ncursor = false\n\n[mcp.web]\nagents = []\n");
}

TEST(TomlEdit, RemovingTheOnlyServerKeepsAnExplicitParent) {
  Document doc = parsed("[mcp]\n\n[mcp.a]\nagents = []\n");

  remove(table_at(doc.root, {"mcp"}), "a");

  EXPECT_EQ(print(doc), "[mcp]\n");
}

TEST(TomlEdit, ImplicitParentMadeExplicitPrintsBeforeItsChildren) {
  Document doc = parsed("[targets]\nx = false\n\n[mcp.foo.tweaks.codex]\ny = 1\n");
  Table& foo = table_at(doc.root, {"mcp", "foo"});

  set_value(foo, "agents", strings({"claude"}));
  foo.implicit = false;

  EXPECT_EQ(print(doc),
            "[targets]\nx = false\n\n[mcp.foo]\nagents = [\"claude\"]\n\n"
            "[mcp.foo.tweaks.codex]\ny = 1\n");
}

TEST(TomlEdit, NewTablePlacement) {
  struct Case {
    std::string text, want;
  };
  const std::vector<Case> cases = {
      {"", "[t]\nx = 1\n"},
      {"# cfg\n\n", "# cfg\n\n\n[t]\nx = 1\n"},
      {"# cfg", "# cfg\n\n[t]\nx = 1\n"},
      {"a = 1", "a = 1\n\n[t]\nx = 1\n"},
      {"[s]\na = 1\n# end\n", "[s]\na = 1\n\n[t]\nx = 1\n# end\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Document doc = parsed(c.text);

    set_value(insert_table(doc.root, "t", false), "x", integer_value(1));

    EXPECT_EQ(print(doc), c.want);
  }
}

TEST(TomlEdit, DottedLines) {
  Document doc = parsed("mcp.foo.agents = [\"a\"]  # old\n[x]\nsrv.a = 1\nb = 2\n");

  set_value(table_at(doc.root, {"mcp", "foo"}), "agents", strings({"b"}));
  set_value(table_at(doc.root, {"x", "srv"}), "c", integer_value(3));

  EXPECT_EQ(print(doc), "mcp.foo.agents = [\"b\"]\n[x]\nsrv.a = 1\nb = 2\nsrv.c = 3\n");
}

TEST(TomlEdit, DottedServerReplacedByTable) {
  Document doc = parsed("mcp_servers.s.command = \"x\"\nmodel = \"m\"\n\n[other]\ny = 1\n");

  replace_table(table_at(doc.root, {"mcp_servers"}), "s",
                new_table({{"command", string_value("npx")}}));

  const std::string out = print(doc);
  EXPECT_EQ(out, "model = \"m\"\n\n[mcp_servers.s]\ncommand = \"npx\"\n\n[other]\ny = 1\n");
  EXPECT_TRUE(parse(out).has_value());
}

TEST(TomlEdit, InterleavedDottedLinesSurviveUnrelatedEdit) {
  const std::string text =
      "apple.x = 1\norange.x = 2\napple.y = 3\nname.first = \"a\"\n\"name\".'last' = \"b\"\n"
      "[t]\nz = 0\n";
  Document doc = parsed(text);

  set_value(table_at(doc.root, {"t"}), "z", integer_value(9));

  EXPECT_EQ(print(doc), text.substr(0, text.size() - 2) + "9\n");
}

// The writers' recipe: strip the byte-order mark, note CR LF, edit, print, restore both.
std::string write_agents(const std::string& text, const std::vector<std::string>& agents) {
  const bool had_bom = text.rfind(bom, 0) == 0;
  const std::string body = had_bom ? text.substr(3) : text;
  Document doc = parsed(body);
  Table& mcp = insert_table(doc.root, "mcp", true);
  set_value(insert_table(mcp, "fs", false), "agents", strings(agents));
  std::string out = print(doc);
  if (body.find("\r\n") != std::string::npos) {
    out = with_crlf(out);
  }
  return had_bom ? bom + out : out;
}

TEST(TomlEdit, ByteOrderMarkAndCrlfSurviveWriters) {
  const std::string text = bom + "# cfg\r\n[mcp.fs]\r\nagents = [\"a\"]\r\n";

  const std::string out = write_agents(text, {"a", "b"});

  EXPECT_EQ(out, bom + "# cfg\r\n[mcp.fs]\r\nagents = [\"a\", \"b\"]\r\n");
  EXPECT_EQ(write_agents(out, {"a", "b"}), out);
  EXPECT_EQ(write_agents("x = 1", {"a"}), "x = 1\n\n[mcp.fs]\nagents = [\"a\"]\n");
  EXPECT_EQ(write_agents("x = 1\r\n", {"a"}), "x = 1\r\n\r\n[mcp.fs]\r\nagents = [\"a\"]\r\n");
}

TEST(TomlEdit, RemovalWritesUniformLf) {
  Document doc = parsed(bom +
                        "[mcp_servers.a]\r\ncommand = \"x\"\r\n\r\n[mcp_servers.b]\r\n"
                        "command = \"y\"\r\n");

  remove(table_at(doc.root, {"mcp_servers"}), "a");

  EXPECT_EQ(with_lf(print(doc)), "\n[mcp_servers.b]\ncommand = \"y\"\n");
}

TEST(TomlEdit, RenderedCommandDocument) {
  Document doc;

  set_value(doc.root, "description", string_value("Review the diff"));
  set_value(doc.root, "prompt", string_value("Check the changes."));

  EXPECT_EQ(print(doc), "description = \"Review the diff\"\nprompt = \"Check the changes.\"\n");
}

}  // namespace
}  // namespace kelvaro::toml
