// libFuzzer target: every input either parses and prints back byte for byte (less a leading
// byte-order mark), or fails at an offset inside the input. What parses is then copied,
// edited with the calls the program makes, printed and read again: the edited document must
// print as TOML that reads back as the same data (tables left empty aside). Every document is torn
// down at the end.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "documents.hpp"
#include "toml.hpp"

namespace {

namespace toml = kelvaro::toml;

void check(bool ok) {
  if (!ok) {
    std::abort();
  }
}

// Every table of the tree, children before their parents, so that editing a table in list
// order never frees one still to come. The walk keeps its own stack: documents can be deep.
std::vector<toml::Table*> tables_bottom_up(toml::Table& root) {
  std::vector<toml::Table*> out;
  std::vector<toml::Table*> stack{&root};
  while (!stack.empty()) {
    toml::Table* t = stack.back();
    stack.pop_back();
    out.push_back(t);
    for (toml::Entry& e : t->entries) {
      if (toml::Table* sub = toml::as_table(e)) {
        stack.push_back(sub);
      } else if (toml::ArrayOfTables* aot = toml::as_aot(e)) {
        for (toml::Table& item : aot->tables) {
          stack.push_back(&item);
        }
      }
    }
  }
  return {out.rbegin(), out.rend()};
}

toml::Table small_table() {
  toml::Table t;
  toml::set_value(t, "k", toml::string_value("a \"b\"\n\\c"));
  toml::Table& sub = toml::insert_table(t, "sub", false);
  toml::set_value(sub, "n", toml::array_value({toml::float_value(0.1), toml::bool_value(true)}));
  return t;
}

// One of the program's edits on `t`, chosen by `op`.
void edit(toml::Table& t, unsigned op) {
  const std::string first = t.entries.empty() ? "fuzz" : t.entries.front().key.name;
  switch (op % 6) {
    case 0:
      toml::set_value(t, "fuzz", toml::integer_value(-1));
      break;
    case 1:
      toml::remove(t, first);
      break;
    case 2:
      toml::replace_table(t, first, small_table());
      break;
    case 3: {
      toml::Table& parent = toml::insert_table(t, "fuzz new", true);
      toml::set_value(toml::insert_table(parent, "x", false), "y", toml::string_value(""));
      break;
    }
    case 4:
      t.implicit = false;
      break;
    default:
      toml::set_value(t, first, toml::string_value("replaced"));
      break;
  }
}

// `json` without members that are empty objects, to any depth: an implicit or dotted table
// left empty by an edit prints nothing and so does not read back.
kelvaro::Json pruned(const kelvaro::Json& json) {
  if (json.is_array()) {
    kelvaro::Json out = kelvaro::Json::array();
    for (const auto& item : json) {
      out.push_back(pruned(item));
    }
    return out;
  }
  if (!json.is_object()) {
    return json;
  }
  kelvaro::Json out = kelvaro::Json::object();
  for (const auto& [key, member] : json.items()) {
    kelvaro::Json kept = pruned(member);
    if (!kept.is_object() || !kept.empty()) {
      out[key] = std::move(kept);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto doc = toml::parse(text);
  if (!doc) {
    check(doc.error().offset <= size);
    return 0;
  }
  std::string_view body = text;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") {
    body.remove_prefix(3);
  }
  const std::string printed = toml::print(*doc);
  check(printed == body);
  check(toml::parse(toml::with_crlf(printed)).has_value());

  toml::Document edited = *doc;
  check(toml::print(edited) == printed);
  unsigned op = static_cast<unsigned>(size);
  for (toml::Table* t : tables_bottom_up(edited.root)) {
    edit(*t, op++);
  }
  const std::string out = toml::print(edited);
  auto again = toml::parse(out);
  check(again.has_value());
  check(kelvaro::json_equal(pruned(kelvaro::toml_table_to_json(again->root)),
                            pruned(kelvaro::toml_table_to_json(edited.root))));
  check(toml::print(*again) == out);
  return 0;
}
