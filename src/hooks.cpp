#include "hooks.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <utility>

#include "agents.hpp"
#include "fsutil.hpp"
#include "report.hpp"
#include "toml.hpp"
#include "utf8.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// One row of the event table: the Commons name and gemini's name for it (nullopt: gemini has
// no such event).
struct HookEvent {
  std::string_view name;
  std::optional<std::string_view> gemini;
};

// The eight hook events, in table order (the order of "expected one of" in messages).
constexpr std::array<HookEvent, 8> hook_events = {{
    {"SessionStart", "SessionStart"},
    {"Stop", "AfterAgent"},
    {"PreToolUse", "BeforeTool"},
    {"PostToolUse", "AfterTool"},
    {"Notification", "Notification"},
    {"UserPromptSubmit", std::nullopt},
    {"SubagentStop", std::nullopt},
    {"PreCompact", "PreCompress"},
}};

const HookEvent* find_event(std::string_view name) {
  for (const HookEvent& event : hook_events) {
    if (event.name == name) {
      return &event;
    }
  }
  return nullptr;
}

std::string event_names_text() {
  std::string text;
  for (const HookEvent& event : hook_events) {
    if (!text.empty()) {
      text += ", ";
    }
    text += event.name;
  }
  return text;
}

// The words of `text` split at runs of white space.
std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t start = std::string_view::npos;
  std::size_t i = 0;
  while (i < text.size()) {
    if (std::size_t space = white_space_length(text.substr(i))) {
      if (start != std::string_view::npos) {
        words.push_back(text.substr(start, i - start));
        start = std::string_view::npos;
      }
      i += space;
      continue;
    }
    if (start == std::string_view::npos) {
      start = i;
    }
    i += utf8_sequence(text, i).length;
  }
  if (start != std::string_view::npos) {
    words.push_back(text.substr(start));
  }
  return words;
}

// A group's matcher as compared with a hook's: absent or not a string counts as "".
std::string_view group_matcher(const Json& group) {
  auto it = group.find("matcher");
  if (it != group.end() && it->is_string()) {
    return it->get_ref<const std::string&>();
  }
  return {};
}

// The "hooks" list of `group`, or null when `group` is no object holding one.
const Json* group_hooks(const Json& group) {
  if (!group.is_object()) {
    return nullptr;
  }
  auto it = group.find("hooks");
  return it != group.end() && it->is_array() ? &*it : nullptr;
}

Json* group_hooks(Json& group) {
  return const_cast<Json*>(group_hooks(std::as_const(group)));
}

// The command `entry` runs: its "command" member when it is an object holding a string there,
// else null.
const std::string* entry_command(const Json& entry) {
  if (!entry.is_object()) {
    return nullptr;
  }
  auto it = entry.find("command");
  return it != entry.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

bool runs_command(const Json& entry, std::string_view command) {
  const std::string* runs = entry_command(entry);
  return runs != nullptr && *runs == command;
}

// Removes from the list `entries` the entries that run `command`; the rest keep their order.
void retain_other_commands(Json& entries, std::string_view command) {
  if (!entries.is_array()) {
    return;
  }
  auto& list = entries.get_ref<Json::array_t&>();
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const Json& entry) { return runs_command(entry, command); }),
             list.end());
}

// Removes from the list `groups` each group that is an object whose "hooks" member is an empty
// list; every other group keeps its place.
void drop_empty_groups(Json& groups) {
  if (!groups.is_array()) {
    return;
  }
  auto& list = groups.get_ref<Json::array_t&>();
  list.erase(std::remove_if(list.begin(), list.end(),
                            [](const Json& group) {
                              const Json* entries = group_hooks(group);
                              return entries != nullptr && entries->empty();
                            }),
             list.end());
}

// The entries of the "hooks" lists of the groups in `groups` that are objects holding a "hooks"
// list, group by group, in order.
std::vector<Json> group_hook_entries(const Json& groups) {
  std::vector<Json> entries;
  if (!groups.is_array()) {
    return entries;
  }
  for (const Json& group : groups) {
    if (const Json* list = group_hooks(group)) {
      entries.insert(entries.end(), list->begin(), list->end());
    }
  }
  return entries;
}

// The hooks object of the settings document `doc` (an object) of `path`: null when `doc` has
// no `hooks_key`; fails when the key holds anything but an object, which is left untouched.
Result<const Json*> find_hooks_object(const Json& doc, const fs::path& path,
                                      std::string_view hooks_key) {
  auto it = doc.find(hooks_key);
  if (it == doc.end()) {
    return nullptr;
  }
  if (!it->is_object()) {
    return unexpected(not_an_object(path, hooks_key));
  }
  return &*it;
}

// The paths of the entries of `dir` whose names are hook file names, whatever their kind, in
// listing order; fails with the system error when `dir` cannot be listed.
Result<std::vector<fs::path>, std::error_code> hook_files(const fs::path& dir) {
  auto listed = list_folder(dir);
  if (!listed) {
    return unexpected(listed.error());
  }
  std::vector<fs::path> files;
  for (fs::path& path : *listed) {
    if (is_hook_file_name(path_text(path.filename()))) {
      files.push_back(std::move(path));
    }
  }
  return files;
}

// A Commons hook file's hooks, or its one problem text.
Result<std::vector<CommonsHook>> read_hook_file(const fs::path& path, const std::string& event) {
  auto file = read_toml_file(path, TomlFileUse::read);
  if (!file) {
    if (!file.error().invalid.empty()) {
      return unexpected(
          fmt::format("{} is not valid TOML ({})", display(path), file.error().invalid));
    }
    return unexpected(cannot_read(path, file.error().read));
  }
  const toml::Entry* entry = toml::find(file->doc.root, "hook");
  const toml::ArrayOfTables* tables = entry != nullptr ? toml::as_aot(*entry) : nullptr;
  if (tables == nullptr) {
    return unexpected(
        fmt::format("{}: expected one or more [[hook]] entries with a `command`", display(path)));
  }
  // A value line under `name`, or null when the key is absent or holds a table.
  auto value_of = [](const toml::Table& table, std::string_view name) -> const toml::Value* {
    const toml::Entry* found = toml::find(table, name);
    const toml::Line* line = found != nullptr ? toml::as_line(*found) : nullptr;
    return line != nullptr ? &line->value : nullptr;
  };
  std::vector<CommonsHook> hooks;
  for (const toml::Table& table : tables->tables) {
    const toml::Value* type = value_of(table, "type");
    if (type != nullptr && type->kind == toml::Kind::string && type->str != "command") {
      return unexpected(fmt::format("{}: `type = \"{}\"` — kelvaro syncs command hooks only",
                                    display(path), type->str));
    }
    const toml::Value* command = value_of(table, "command");
    if (command == nullptr || command->kind != toml::Kind::string) {
      return unexpected(fmt::format("{}: every [[hook]] needs a `command`", display(path)));
    }
    CommonsHook hook{.event = event, .command = command->str};
    if (const toml::Value* matcher = value_of(table, "matcher");
        matcher != nullptr && matcher->kind == toml::Kind::string) {
      hook.matcher = matcher->str;
    }
    if (const toml::Value* timeout = value_of(table, "timeout");
        timeout != nullptr && timeout->kind == toml::Kind::integer) {
      hook.timeout = timeout->integer;
    }
    hooks.push_back(std::move(hook));
  }
  return hooks;
}

// The settings entry of `command` under `agent_event`: the first entry whose "command" is that
// string, with the group it stands in; null when there is none.
std::pair<const Json*, const Json*> find_entry(const Json& hooks_object,
                                               const std::string& agent_event,
                                               const std::string& command) {
  auto list = hooks_object.find(agent_event);
  if (list == hooks_object.end() || !list->is_array()) {
    return {nullptr, nullptr};
  }
  for (const Json& group : *list) {
    const Json* entries = group_hooks(group);
    if (entries == nullptr) {
      continue;
    }
    for (const Json& entry : *entries) {
      if (runs_command(entry, command)) {
        return {&entry, &group};
      }
    }
  }
  return {nullptr, nullptr};
}

// Takes every entry running `command` out of an event's groups, then the groups it emptied.
void remove_command(Json& list, std::string_view command) {
  for (Json& group : list) {
    if (Json* entries = group_hooks(group)) {
      retain_other_commands(*entries, command);
    }
  }
  drop_empty_groups(list);
}

// Writes a settings document back; fails with the message when it cannot be.
Result<void> write_settings(const fs::path& path, const Json& doc) {
  if (auto written = write_json_file(path, doc); !written) {
    return unexpected(std::move(written).error());
  }
  return {};
}

// The hook items of one agent whose hooks object is `hooks_object`.
void plan_agent(const Agent& agent, const fs::path& settings_path, const Json& hooks_object,
                const std::vector<CommonsHook>& hooks, std::vector<HookItem>& items) {
  const std::string& hooks_key = agent.descriptor->hooks_key;
  for (const CommonsHook& hook : hooks) {
    HookItem item{.agent = agent.name,
                  .event = hook.event,
                  .command = hook.command,
                  .settings_path = settings_path,
                  .hooks_key = hooks_key};
    auto agent_event = agent_event_name(agent.name, hook.event);
    if (!agent_event) {
      item.state = HookState::unsupported;
      items.push_back(std::move(item));
      continue;
    }
    Json entry = hook_entry_json(hook);
    auto [found, group] = find_entry(hooks_object, *agent_event, hook.command);
    if (found == nullptr) {
      item.state = HookState::missing;
    } else {
      bool same = json_equal(*found, entry) && group_matcher(*group) == hook.matcher.value_or("");
      item.state = same ? HookState::managed : HookState::drifted;
    }
    item.matcher = hook.matcher;
    item.entry = std::move(entry);
    item.agent_event = std::move(agent_event);
    items.push_back(std::move(item));
  }

  for (const auto& [key, groups] : hooks_object.items()) {
    if (!groups.is_array()) {
      continue;
    }
    for (const Json& entry : group_hook_entries(groups)) {
      const std::string* command = entry_command(entry);
      if (command == nullptr) {
        continue;
      }
      const std::string& text = *command;
      // Wherever it stands under the event, an entry with a Commons command was planned above.
      bool commons =
          std::any_of(hooks.begin(), hooks.end(), [&, &key = key](const CommonsHook& hook) {
            return hook.command == text && agent_event_name(agent.name, hook.event) == key;
          });
      if (commons) {
        continue;
      }
      items.push_back(HookItem{.agent = agent.name,
                               .event = key,
                               .command = short_command(text),
                               .settings_path = settings_path,
                               .hooks_key = hooks_key,
                               .state = HookState::foreign});
    }
  }
}

// Merges one settings file's items and writes the file; fails with the message.
Result<void> merge_settings(const std::vector<const HookItem*>& group) {
  const fs::path& path = group.front()->settings_path;
  const std::string& hooks_key = group.front()->hooks_key;
  auto doc = read_json_object(path);
  if (!doc) {
    return unexpected(std::move(doc).error());
  }
  auto found = find_hooks_object(*doc, path, hooks_key);
  if (!found) {
    return unexpected(std::move(found).error());
  }
  Json hooks = *found != nullptr ? **found : Json::object();

  for (const HookItem* item : group) {
    if (!item->agent_event || !item->entry) {
      continue;
    }
    const std::string& agent_event = *item->agent_event;
    auto list_it = hooks.find(agent_event);
    if (list_it == hooks.end()) {
      hooks[agent_event] = Json::array();
      list_it = hooks.find(agent_event);
    }
    if (!list_it->is_array()) {
      return unexpected(
          fmt::format("{}: `{}.{}` is not a list", display(path), hooks_key, agent_event));
    }
    Json& list = *list_it;
    remove_command(list, item->command);

    const std::string_view matcher = item->matcher ? std::string_view(*item->matcher) : "";
    bool placed = false;
    for (Json& settings_group : list) {
      Json* entries = group_hooks(settings_group);
      if (entries != nullptr && group_matcher(settings_group) == matcher) {
        entries->push_back(*item->entry);
        placed = true;
        break;
      }
    }
    if (!placed) {
      Json fresh = Json::object();
      if (item->matcher) {
        fresh["matcher"] = *item->matcher;
      }
      fresh["hooks"] = Json::array();
      fresh["hooks"].push_back(*item->entry);
      list.push_back(std::move(fresh));
    }
  }

  (*doc)[hooks_key] = std::move(hooks);
  return write_settings(path, *doc);
}

// The Commons hooks that planning and removal work from; nullopt when there is no hooks folder,
// which leaves every agent's settings unread.
std::optional<CommonsHooks> commons_hooks_in(const fs::path& hooks_dir) {
  if (!is_folder(hooks_dir)) {
    return std::nullopt;
  }
  return read_commons_hooks(hooks_dir);
}

}  // namespace

std::string_view to_string(HookState state) {
  switch (state) {
    case HookState::managed:
      return "managed";
    case HookState::missing:
      return "missing";
    case HookState::drifted:
      return "drifted";
    case HookState::unsupported:
      return "unsupported";
    case HookState::foreign:
      return "foreign";
  }
  return "managed";
}

bool is_actionable(HookState state) {
  return state == HookState::missing || state == HookState::drifted;
}

bool needs_attention(HookState state) {
  return is_actionable(state);
}

bool is_hook_file_name(std::string_view name) {
  return name.size() > std::string_view(".toml").size() && name.ends_with(".toml");
}

CommonsHooks read_commons_hooks(const fs::path& hooks_dir) {
  CommonsHooks read;
  auto files = hook_files(hooks_dir);
  if (!files) {
    if (files.error() != std::errc::no_such_file_or_directory) {
      read.errors.push_back(cannot_read(hooks_dir, files.error()));
    }
    return read;
  }
  std::sort(files->begin(), files->end());

  for (const fs::path& path : *files) {
    std::string stem = path_text(path.stem());
    if (find_event(stem) == nullptr) {
      read.errors.push_back(fmt::format("{}: `{}` is not a hook event — expected one of {}",
                                        display(path), visible_text(stem), event_names_text()));
      continue;
    }
    auto file_hooks = read_hook_file(path, stem);
    if (!file_hooks) {
      read.errors.push_back(std::move(file_hooks.error()));
      continue;
    }
    read.hooks.insert(read.hooks.end(), file_hooks->begin(), file_hooks->end());
  }
  return read;
}

std::optional<std::string> agent_event_name(std::string_view agent, std::string_view event) {
  const HookEvent* row = find_event(event);
  if (row == nullptr) {
    return std::nullopt;
  }
  if (agent == "gemini") {
    return row->gemini ? std::optional<std::string>(*row->gemini) : std::nullopt;
  }
  return std::string(row->name);
}

Json hook_entry_json(const CommonsHook& hook) {
  Json entry = Json::object();
  entry["type"] = "command";
  entry["command"] = hook.command;
  if (hook.timeout) {
    entry["timeout"] = *hook.timeout;
  }
  return entry;
}

HookPlan plan_hooks(const RunContext& ctx, const std::vector<Agent>& agents,
                    const fs::path& hooks_dir) {
  auto read = commons_hooks_in(hooks_dir);
  if (!read) {
    return {};
  }
  HookPlan plan{.fatal = std::move(read->errors)};
  const std::vector<CommonsHook>& hooks = read->hooks;

  for (const Agent& agent : agents) {
    if (agent.descriptor == nullptr || !agent.descriptor->hooks_file) {
      continue;
    }
    const fs::path settings_path = ctx.home / *agent.descriptor->hooks_file;
    auto doc = read_json_object(settings_path);
    if (!doc) {
      plan.errors.push_back(std::move(doc.error()));
      continue;
    }
    auto hooks_object = find_hooks_object(*doc, settings_path, agent.descriptor->hooks_key);
    if (!hooks_object) {
      plan.errors.push_back(std::move(hooks_object).error());
      continue;
    }
    const Json empty = Json::object();
    plan_agent(agent, settings_path, *hooks_object != nullptr ? **hooks_object : empty, hooks,
               plan.items);
  }
  return plan;
}

std::string describe_hook_item(const HookItem& item) {
  switch (item.state) {
    case HookState::managed:
      return "";
    case HookState::missing:
      return "not in this agent's hooks yet";
    case HookState::drifted:
      return "differs from the Commons — will be restored";
    case HookState::unsupported:
      return fmt::format("{} has no {} hook", item.agent, item.event);
    case HookState::foreign:
      return "not in the Commons — left alone";
  }
  return "";
}

std::string short_command(std::string_view command) {
  std::string_view rest = trim_space_start(command);
  bool quoted = !rest.empty() && (rest.front() == '"' || rest.front() == '\'');
  if (quoted) {
    if (auto close = rest.find(rest.front(), 1); close != std::string_view::npos) {
      return fmt::format("{} …", rest.substr(1, close - 1));
    }
  }
  std::vector<std::string_view> words = split_words(rest);
  if (words.empty()) {
    return "";
  }
  // An unclosed quote keeps the whole text together as one word would be.
  std::string_view first = quoted ? rest : words.front();
  return words.size() < 2 ? std::string(first) : fmt::format("{} …", first);
}

std::string shown_command(std::string_view command) {
  constexpr std::size_t limit = 40;
  std::size_t count = 0;
  std::size_t cut = 0;  // byte offset after the 39th character
  for (std::size_t i = 0; i < command.size(); ++count) {
    if (count == limit - 1) {
      cut = i;
    }
    i += utf8_sequence(command, i).length;
  }
  if (count <= limit) {
    return std::string(command);
  }
  return std::string(command.substr(0, cut)) + "…";
}

HookApplyResult apply_hook_items(const std::vector<HookItem>& items) {
  std::vector<std::vector<const HookItem*>> groups;
  for (const HookItem& item : items) {
    if (item.state != HookState::missing && item.state != HookState::drifted) {
      continue;
    }
    auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) {
      return g.front()->settings_path == item.settings_path;
    });
    if (group == groups.end()) {
      groups.push_back({&item});
    } else {
      group->push_back(&item);
    }
  }

  HookApplyResult result;
  for (const auto& group : groups) {
    if (auto merged = merge_settings(group); !merged) {
      result.messages.push_back(merged.error());
    } else {
      result.written += group.size();
    }
  }
  return result;
}

Result<HookRemoval> remove_agent_hooks(const fs::path& settings_path, std::string_view hooks_key,
                                       std::string_view agent, const fs::path& hooks_dir) {
  auto read = commons_hooks_in(hooks_dir);
  if (!read) {
    return HookRemoval{};
  }
  HookRemoval removal{.removed = {}, .problems = std::move(read->errors)};
  if (read->hooks.empty()) {
    return removal;
  }
  const std::vector<CommonsHook>& hooks = read->hooks;
  auto doc = read_json_object(settings_path);
  if (!doc) {
    return unexpected(std::move(doc.error()));
  }
  auto found = find_hooks_object(*doc, settings_path, hooks_key);
  if (!found) {
    return unexpected(std::move(found).error());
  }
  if (*found == nullptr) {
    return removal;
  }
  Json& hooks_object = (*doc)[std::string(hooks_key)];
  for (const CommonsHook& hook : hooks) {
    auto agent_event = agent_event_name(agent, hook.event);
    if (!agent_event) {
      continue;
    }
    auto list_it = hooks_object.find(*agent_event);
    if (list_it == hooks_object.end() || !list_it->is_array() || list_it->empty()) {
      continue;
    }
    Json& list = *list_it;
    bool held = false;
    for (const Json& entry : group_hook_entries(list)) {
      held = held || runs_command(entry, hook.command);
    }
    if (!held) {
      continue;
    }
    remove_command(list, hook.command);
    if (list.empty()) {
      hooks_object.erase(*agent_event);
    }
    removal.removed.emplace_back(hook.event, hook.command);
  }
  if (removal.removed.empty()) {
    return removal;
  }

  if (auto written = write_settings(settings_path, *doc); !written) {
    return unexpected(written.error());
  }
  return removal;
}

}  // namespace kelvaro
