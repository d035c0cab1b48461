// Conformance: every TOML 1.0.0 case of the toml-test corpus. Valid files must parse,
// print back byte for byte and decode to the value of their tagged JSON twin; invalid
// files must be rejected at an offset inside the text.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "toml.hpp"

namespace kelvaro::toml {
namespace {

using nlohmann::json;

const std::string corpus_dir = std::string(KELVARO_TEST_DATA) + "/toml-test/tests/";

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

std::vector<std::string> corpus_cases() {
  std::vector<std::string> cases;
  std::istringstream list(read_bytes(corpus_dir + "files-toml-1.0.0"));
  std::string line;
  while (std::getline(list, line)) {
    if (line.size() > 5 && line.substr(line.size() - 5) == ".toml") {
      cases.push_back(line);
    }
  }
  return cases;
}

// ---- Tagged JSON ------------------------------------------------------------------------

json tagged(const char* type, std::string value) {
  return json{{"type", type}, {"value", std::move(value)}};
}

json encode_value(const Value& v);

json encode_members(const std::vector<InlineMember>& members) {
  json out = json::object();
  for (const InlineMember& m : members) {
    out[m.name] = m.value != nullptr ? encode_value(*m.value) : encode_members(m.children);
  }
  return out;
}

json encode_value(const Value& v) {
  switch (v.kind) {
    case Kind::string:
      return tagged("string", v.str);
    case Kind::integer:
      return tagged("integer", std::to_string(v.integer));
    case Kind::floating: {
      if (std::isnan(v.real)) {
        return tagged("float", "nan");
      }
      if (std::isinf(v.real)) {
        return tagged("float", v.real < 0 ? "-inf" : "inf");
      }
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.17g", v.real);
      return tagged("float", buf);
    }
    case Kind::boolean:
      return tagged("bool", v.boolean ? "true" : "false");
    case Kind::datetime: {
      const Datetime& d = v.dt;
      const char* type = d.has_offset               ? "datetime"
                         : d.has_date && d.has_time ? "datetime-local"
                         : d.has_date               ? "date-local"
                                                    : "time-local";
      return tagged(type, datetime_text(d));
    }
    case Kind::array: {
      json out = json::array();
      for (const Value& item : v.items) {
        out.push_back(encode_value(item));
      }
      return out;
    }
    case Kind::inline_table:
      return encode_members(inline_members(v));
  }
  return nullptr;
}

json encode_table(const Table& t) {
  json out = json::object();
  for (const Entry& e : t.entries) {
    if (const Line* line = as_line(e)) {
      out[e.key.name] = encode_value(line->value);
    } else if (const Table* sub = as_table(e)) {
      out[e.key.name] = encode_table(*sub);
    } else if (const ArrayOfTables* aot = as_aot(e)) {
      json arr = json::array();
      for (const Table& item : aot->tables) {
        arr.push_back(encode_table(item));
      }
      out[e.key.name] = arr;
    }
  }
  return out;
}

// Date-time text in one spelling: upper-case `T` and `Z`, no trailing fraction zeros
// (one digit kept), `-00:00` as `+00:00`.
std::string normal_datetime(std::string s) {
  for (char& c : s) {
    if (c == 't' || c == ' ') {
      c = 'T';
    } else if (c == 'z') {
      c = 'Z';
    }
  }
  if (const std::size_t dot = s.find('.'); dot != std::string::npos) {
    std::size_t end = dot + 1;
    while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end])) != 0) {
      ++end;
    }
    std::size_t keep = end;
    while (keep > dot + 2 && s[keep - 1] == '0') {
      --keep;
    }
    s.erase(keep, end - keep);
  }
  if (s.size() >= 6 && s.substr(s.size() - 6) == "-00:00") {
    s.replace(s.size() - 6, 1, "+");
  }
  return s;
}

bool same_float(const std::string& a, const std::string& b) {
  const double x = std::strtod(a.c_str(), nullptr);
  const double y = std::strtod(b.c_str(), nullptr);
  if (std::isnan(x) || std::isnan(y)) {
    return std::isnan(x) && std::isnan(y);
  }
  return x == y;
}

// Empty when equal, else where they differ.
std::string difference(const json& want, const json& got, const std::string& where) {
  if (want.is_object() && want.contains("type") && want.contains("value") &&
      want["value"].is_string()) {
    if (!got.is_object() || !got.contains("type")) {
      return where + ": expected a scalar";
    }
    const std::string type = want["type"];
    const std::string w = want["value"];
    const std::string g = got["value"];
    if (got["type"] != type) {
      return where + ": type " + std::string(got["type"]) + " instead of " + type;
    }
    bool same = w == g;
    if (type == "integer") {
      same = std::strtoll(w.c_str(), nullptr, 10) == std::strtoll(g.c_str(), nullptr, 10);
    } else if (type == "float") {
      same = same_float(w, g);
    } else if (type.rfind("date", 0) == 0 || type == "time-local") {
      same = normal_datetime(w) == normal_datetime(g);
    }
    return same ? "" : where + ": " + g + " instead of " + w;
  }
  if (want.is_object()) {
    if (!got.is_object() || got.size() != want.size()) {
      return where + ": expected an object of " + std::to_string(want.size()) + " members, got " +
             got.dump();
    }
    for (const auto& [k, v] : want.items()) {
      if (!got.contains(k)) {
        return where + ": missing " + k;
      }
      if (auto d = difference(v, got[k], where + "." + k); !d.empty()) {
        return d;
      }
    }
    return "";
  }
  if (want.is_array()) {
    if (!got.is_array() || got.size() != want.size()) {
      return where + ": expected an array of " + std::to_string(want.size());
    }
    for (std::size_t i = 0; i < want.size(); ++i) {
      if (auto d = difference(want[i], got[i], where + "[" + std::to_string(i) + "]"); !d.empty()) {
        return d;
      }
    }
    return "";
  }
  return where + ": unexpected JSON " + want.dump();
}

class TomlCorpus : public testing::TestWithParam<std::string> {};

TEST_P(TomlCorpus, Conforms) {
  const std::string& name = GetParam();
  const std::string text = read_bytes(corpus_dir + name);
  const auto doc = parse(text);

  if (name.rfind("invalid/", 0) == 0) {
    ASSERT_FALSE(doc.has_value()) << "accepted:\n" << text;
    EXPECT_LE(doc.error().offset, text.size());
    return;
  }

  ASSERT_TRUE(doc.has_value()) << doc.error().message << " at " << doc.error().offset;
  const std::string body = text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text;
  const std::string printed = print(*doc);
  EXPECT_EQ(printed, body);

  const std::string json_path = corpus_dir + name.substr(0, name.size() - 5) + ".json";
  const json want = json::parse(read_bytes(json_path));
  const json got = encode_table(doc->root);
  EXPECT_EQ(difference(want, got, "$"), "");

  for (const std::string& converted : {with_lf(printed), with_crlf(printed)}) {
    const auto again = parse(converted);
    ASSERT_TRUE(again.has_value()) << again.error().message;
    EXPECT_EQ(encode_table(again->root), got);
  }
}

std::string case_name(const testing::TestParamInfo<std::string>& info) {
  std::string out;
  for (char c : info.param.substr(0, info.param.size() - 5)) {
    out.push_back(std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_');
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(TomlTest, TomlCorpus, testing::ValuesIn(corpus_cases()), case_name);

// ---- Random edits ---------------------------------------------------------------------
//
// Each edit is applied to a fresh parse of a valid corpus document. Every byte of the
// document lives in a line (lead, keys, value, line end) or a header (decor, keys, line
// end), so comparing those records before and after the edit, in file order, shows that
// nothing outside the edited entry moved or changed.

struct Step {
  std::string name;
  int index = -1;  // table `index` of an array of tables
};
using Path = std::vector<Step>;

std::string path_text(const Path& path) {
  std::string out;
  for (const Step& s : path) {
    out += s.name;
    out += '\x1f';
    if (s.index >= 0) {
      out += "[" + std::to_string(s.index) + "]\x1f";
    }
  }
  return out;
}

void collect_tables(Table& t, Path& path, std::vector<std::pair<Path, Table*>>& out) {
  out.emplace_back(path, &t);
  for (Entry& e : t.entries) {
    if (Table* sub = as_table(e)) {
      path.push_back(Step{e.key.name});
      collect_tables(*sub, path, out);
      path.pop_back();
    } else if (ArrayOfTables* aot = as_aot(e)) {
      for (std::size_t i = 0; i < aot->tables.size(); ++i) {
        path.push_back(Step{e.key.name, static_cast<int>(i)});
        collect_tables(aot->tables[i], path, out);
        path.pop_back();
      }
    }
  }
}

const Table* resolve(const Table& root, const Path& path) {
  const Table* t = &root;
  for (const Step& s : path) {
    const Entry* e = find(*t, s.name);
    if (e == nullptr) {
      return nullptr;
    }
    if (s.index < 0) {
      t = as_table(*e);
    } else {
      const ArrayOfTables* aot = as_aot(*e);
      t = aot == nullptr || static_cast<std::size_t>(s.index) >= aot->tables.size()
              ? nullptr
              : &aot->tables[static_cast<std::size_t>(s.index)];
    }
    if (t == nullptr) {
      return nullptr;
    }
  }
  return t;
}

struct Record {
  std::string path;
  std::int64_t rank = 0;  // line order or header position
  const Line* line = nullptr;
  const Table* table = nullptr;
};

void collect_records(const Table& t, const std::string& prefix, std::vector<Record>& lines,
                     std::vector<Record>& headers) {
  if (!t.implicit && !t.dotted && t.position && *t.position > 0) {
    headers.push_back(Record{prefix, *t.position, nullptr, &t});
  }
  for (const Entry& e : t.entries) {
    const std::string here = prefix + e.key.name + '\x1f';
    if (const Line* line = as_line(e)) {
      lines.push_back(Record{
          here, line->order ? static_cast<std::int64_t>(*line->order) : std::int64_t{1} << 40, line,
          nullptr});
    } else if (const Table* sub = as_table(e)) {
      collect_records(*sub, here, lines, headers);
    } else if (const ArrayOfTables* aot = as_aot(e)) {
      for (std::size_t i = 0; i < aot->tables.size(); ++i) {
        collect_records(aot->tables[i], here + "[" + std::to_string(i) + "]\x1f", lines, headers);
      }
    }
  }
}

std::vector<Record> sorted_except(std::vector<Record> records, const std::string& skip,
                                  const std::string& also_skip) {
  std::erase_if(records, [&](const Record& r) {
    return r.path.rfind(skip, 0) == 0 || (!also_skip.empty() && r.path == also_skip);
  });
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.rank < b.rank; });
  return records;
}

// Parsed values compare by their text and layout (a NaN is not equal to itself).
bool same_layout(const Value& a, const Value& b) {
  if (a.kind != b.kind || a.raw != b.raw || a.decor != b.decor || a.closing != b.closing ||
      a.trailing_comma != b.trailing_comma || a.items.size() != b.items.size() ||
      a.entries.size() != b.entries.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    if (!same_layout(a.items[i], b.items[i])) {
      return false;
    }
  }
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    if (a.entries[i].keys != b.entries[i].keys ||
        !same_layout(a.entries[i].value, b.entries[i].value)) {
      return false;
    }
  }
  return true;
}

// A parsed line end of "" may become "\n" once something is printed after it.
bool same_eol(const std::string& before, const std::string& after) {
  return before == after || (before.empty() && after == "\n");
}

std::string compare_unrelated(const Document& before, const Document& after,
                              const std::string& edited, const std::string& section) {
  std::vector<Record> lines_before, headers_before, lines_after, headers_after;
  collect_records(before.root, "", lines_before, headers_before);
  collect_records(after.root, "", lines_after, headers_after);
  const auto lb = sorted_except(lines_before, edited, "");
  const auto la = sorted_except(lines_after, edited, "");
  if (lb.size() != la.size()) {
    return "line count " + std::to_string(la.size()) + " instead of " + std::to_string(lb.size());
  }
  for (std::size_t i = 0; i < lb.size(); ++i) {
    const Line& x = *lb[i].line;
    const Line& y = *la[i].line;
    if (lb[i].path != la[i].path || x.lead != y.lead || x.keys != y.keys ||
        !same_layout(x.value, y.value) || !same_eol(x.eol, y.eol)) {
      return "line " + lb[i].path + " changed";
    }
  }
  const auto hb = sorted_except(headers_before, edited, section);
  const auto ha = sorted_except(headers_after, edited, section);
  if (hb.size() != ha.size()) {
    return "header count " + std::to_string(ha.size()) + " instead of " + std::to_string(hb.size());
  }
  for (std::size_t i = 0; i < hb.size(); ++i) {
    const Table& x = *hb[i].table;
    const Table& y = *ha[i].table;
    if (hb[i].path != ha[i].path || x.decor != y.decor || x.header_keys != y.header_keys ||
        !same_eol(x.header_eol, y.header_eol)) {
      return "header " + hb[i].path + " changed";
    }
  }
  // Removing the last item leaves a document of comments, which is all `leading`.
  const std::string& tail = after.leading.empty() ? after.trailing : after.leading;
  if (before.leading.empty() && !tail.ends_with(before.trailing)) {
    return "trailing text changed";
  }
  return "";
}

Value random_value(std::mt19937& rng) {
  static const std::vector<std::string> texts = {
      "plain",  "",      "two\nlines", "quote \" and \\ back", "tab\tand\r\ncrlf",
      "\"\"\"", "end\"", "ünï😀",       "ctl\x01\x7f"};
  switch (rng() % 5) {
    case 0:
      return integer_value(static_cast<std::int64_t>(rng()) - 2'000'000'000);
    case 1:
      return string_value(texts[rng() % texts.size()]);
    case 2:
      return bool_value(rng() % 2 == 0);
    case 3:
      return float_value(static_cast<double>(rng()) / 7.0);
    default:
      return array_value({string_value("a"), string_value(texts[rng() % texts.size()])});
  }
}

class TomlEditProperty : public testing::TestWithParam<std::string> {};

TEST_P(TomlEditProperty, EditsLeaveEverythingElseAlone) {
  const std::string text = read_bytes(corpus_dir + GetParam());
  const auto original = parse(text);
  ASSERT_TRUE(original.has_value());
  std::mt19937 rng(static_cast<std::uint32_t>(std::hash<std::string>{}(GetParam())));
  static const std::vector<std::string> fresh = {"new", "new key", "ключ", "a.b", "x-1"};

  for (int round = 0; round < 24; ++round) {
    Document doc = *original;
    std::vector<std::pair<Path, Table*>> tables;
    Path path;
    collect_tables(doc.root, path, tables);
    auto& [where, table] = tables[rng() % tables.size()];
    std::string name = fresh[rng() % fresh.size()];
    if (!table->entries.empty() && rng() % 2 == 0) {
      name = table->entries[rng() % table->entries.size()].key.name;
    }
    const bool was_header = !table->implicit && !table->dotted;
    const int op = static_cast<int>(rng() % 3);
    const Value value = random_value(rng);
    SCOPED_TRACE("round " + std::to_string(round) + ": op " + std::to_string(op) + " on " +
                 path_text(where) + " name " + name);

    if (op == 0) {
      set_value(*table, name, value);
    } else if (op == 1) {
      remove(*table, name);
    } else {
      insert_table(*table, name, false);
    }
    const std::string printed = print(doc);
    const auto again = parse(printed);
    ASSERT_TRUE(again.has_value())
        << again.error().message << " at " << again.error().offset << " in:\n"
        << printed;

    const std::string edited = path_text(where) + name + '\x1f';
    // A table without a header gets one when it receives its first value line.
    const std::string section = was_header || op != 0 ? "" : path_text(where);
    EXPECT_EQ(compare_unrelated(*original, *again, edited, section), "") << printed;

    const Table* target = resolve(again->root, where);
    const Entry* entry = target == nullptr ? nullptr : find(*target, name);
    if (op == 0) {
      ASSERT_NE(entry, nullptr) << printed;
      ASSERT_NE(as_line(*entry), nullptr);
      EXPECT_EQ(encode_value(as_line(*entry)->value), encode_value(value));
    } else if (op == 1) {
      EXPECT_EQ(entry, nullptr) << printed;
    } else {
      ASSERT_NE(entry, nullptr) << printed;
      EXPECT_NE(as_table(*entry), nullptr);
    }
  }
}

std::vector<std::string> valid_cases() {
  std::vector<std::string> out;
  for (const std::string& c : corpus_cases()) {
    if (c.rfind("valid/", 0) == 0) {
      out.push_back(c);
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(TomlTest, TomlEditProperty, testing::ValuesIn(valid_cases()), case_name);

}  // namespace
}  // namespace kelvaro::toml
