#include <algorithm>
#include <string>
#include <utility>

#include "toml.hpp"

namespace kelvaro::toml {
namespace {

void add_member(std::vector<InlineMember>& members, const std::vector<Key>& keys, std::size_t at,
                const Value& value) {
  const std::string& name = keys[at].name;
  auto it = std::find_if(members.begin(), members.end(),
                         [&](const InlineMember& m) { return m.name == name; });
  if (it == members.end()) {
    members.push_back(InlineMember{.name = name});
    it = members.end() - 1;
  }
  if (at + 1 == keys.size()) {
    it->value = &value;
  } else {
    add_member(it->children, keys, at + 1, value);
  }
}

// Moves the sub-tables of `table` that hold entries of their own to the end of `pending`.
void detach_subtables(Table& table, std::vector<Table>& pending) {
  for (Entry& e : table.entries) {
    if (auto* box = std::get_if<Box<Table>>(&e.item)) {
      if (Table* sub = box->get(); sub != nullptr && !sub->entries.empty()) {
        pending.push_back(std::move(*sub));
      }
    } else if (auto* aot = std::get_if<ArrayOfTables>(&e.item)) {
      for (Table& sub : aot->tables) {
        if (!sub.entries.empty()) {
          pending.push_back(std::move(sub));
        }
      }
    }
  }
}

}  // namespace

void release_subtables(Table& table) {
  std::vector<Table> pending;
  detach_subtables(table, pending);
  while (!pending.empty()) {
    Table last = std::move(pending.back());
    pending.pop_back();
    detach_subtables(last, pending);
    // `last` now holds only emptied tables: its destructor goes no deeper.
  }
}

ArrayOfTables::~ArrayOfTables() {
  for (Table& t : tables) {
    release_subtables(t);
  }
}

const Entry* find(const Table& table, std::string_view name) {
  for (const Entry& e : table.entries) {
    if (e.key.name == name) {
      return &e;
    }
  }
  return nullptr;
}

Entry* find(Table& table, std::string_view name) {
  return const_cast<Entry*>(find(std::as_const(table), name));
}

std::vector<InlineMember> inline_members(const Value& table) {
  std::vector<InlineMember> members;
  for (const InlineEntry& e : table.entries) {
    if (!e.keys.empty()) {
      add_member(members, e.keys, 0, e.value);
    }
  }
  return members;
}

Table& insert_table(Table& parent, std::string name, bool implicit) {
  if (Entry* e = find(parent, name)) {
    if (Table* t = as_table(*e)) {
      return *t;
    }
    e->item = Box<Table>(Table{.implicit = implicit});
    return *as_table(*e);
  }
  parent.entries.push_back(
      Entry{Key{.name = std::move(name)}, Box<Table>(Table{.implicit = implicit})});
  return *as_table(parent.entries.back());
}

void set_value(Table& table, std::string name, Value value) {
  if (Entry* e = find(table, name)) {
    if (Line* line = as_line(*e)) {
      line->value = std::move(value);
    } else {
      e->item = Line{.value = std::move(value)};
    }
    return;
  }
  table.entries.push_back(Entry{Key{.name = std::move(name)}, Line{.value = std::move(value)}});
}

void replace_table(Table& parent, std::string name, Table table) {
  if (Entry* e = find(parent, name)) {
    if (Table* old = as_table(*e)) {
      // The table keeps its place in the file and the way its header was written.
      table.decor = std::move(old->decor);
      table.header_keys = std::move(old->header_keys);
      table.header_eol = std::move(old->header_eol);
      table.position = old->position;
    }
    e->item = Box<Table>(std::move(table));
    return;
  }
  parent.entries.push_back(Entry{Key{.name = std::move(name)}, Box<Table>(std::move(table))});
}

bool remove(Table& table, std::string_view name) {
  const auto it = std::find_if(table.entries.begin(), table.entries.end(),
                               [&](const Entry& e) { return e.key.name == name; });
  if (it == table.entries.end()) {
    return false;
  }
  table.entries.erase(it);
  return true;
}

// Values are built member by member: `entries` has no default member initializer (see
// toml.hpp), so a designated initializer would leave it unnamed.
Value string_value(std::string text) {
  Value v;
  v.kind = Kind::string;
  v.str = std::move(text);
  return v;
}

Value integer_value(std::int64_t number) {
  Value v;
  v.kind = Kind::integer;
  v.integer = number;
  return v;
}

Value float_value(double number) {
  Value v;
  v.kind = Kind::floating;
  v.real = number;
  return v;
}

Value bool_value(bool flag) {
  Value v;
  v.kind = Kind::boolean;
  v.boolean = flag;
  return v;
}

Value array_value(std::vector<Value> items) {
  Value v;
  v.kind = Kind::array;
  v.items = std::move(items);
  return v;
}

Value inline_table_value(std::vector<std::pair<std::string, Value>> members) {
  Value v;
  v.kind = Kind::inline_table;
  for (auto& [name, value] : members) {
    v.entries.push_back(InlineEntry{{Key{.name = std::move(name)}}, std::move(value)});
  }
  return v;
}

}  // namespace kelvaro::toml
