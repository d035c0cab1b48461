#include "instructions.hpp"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <utility>

#include "check.hpp"
#include "fsutil.hpp"
#include "link.hpp"
#include "report.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// The main item of a symlink or rules-dir link `route` of `agent`: `linked`, `missing`,
// `foreign` or `conflict` (with the owner found in the file); for a symlink route whose file
// the agent also takes an import line in, a file holding only that line is `replace`.
InstructionsItem classify_instructions_file(const RunContext& ctx, const Agent& agent,
                                            const InstructionsRoute& route,
                                            const fs::path& commons_agents_md);

// The item of an include-entry `route` of the agent `agent_name`: `import`, `imported`, or
// `conflict` with a detail when the settings file or the list's shape is in the way.
InstructionsItem plan_include_entry(const RunContext& ctx, std::string_view agent_name,
                                    const InstructionsRoute& route,
                                    const fs::path& commons_agents_md);

// The `legacy` leftovers of the routes `agent` does not take (links into the Commons
// AGENTS.md, list entries naming it), in route-table order; none when `main` is a
// `conflict` or `foreign`, and none on `main`'s own path. Import lines are never leftovers.
std::vector<InstructionsItem> other_route_paths(const RunContext& ctx, const Agent& agent,
                                                const InstructionsItem& main,
                                                const fs::path& commons_agents_md);

// True when `link` is a symbolic link whose target, resolved against its folder, is `file`.
bool is_link_to(const fs::path& link, const fs::path& file);

// The elements of the JSON array `list` that are not strings naming `file` (entries resolved
// with `resolve_setting_path`), in order; non-string elements always stay.
Json entries_not_pointing_at(const Json& list, const fs::path& settings_dir, const fs::path& home,
                             const fs::path& file);

// Adds `item.import_line` and a line end to the file at `item.path` (creating it and its
// folders when missing), adding a line end first when the text lacks a final one. Appends in
// place, following a link; a file that exists but is not valid UTF-8 text, or cannot be read,
// is refused and left untouched.
Result<void> append_import_line(const InstructionsItem& item);

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) {
      return parts;
    }
    text.remove_prefix(at + 1);
  }
}

// The folder a link or entry at `path` is relative to; "." when `path` has none.
fs::path folder_of(const fs::path& path) {
  fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

bool same_place(const fs::path& a, const fs::path& b) {
  return absolute_normal_path(a) == absolute_normal_path(b);
}

// Outside tools known to keep their own text in an agent's instructions file, by a marker
// anywhere in it; the first match wins.
std::optional<std::string> find_owner(std::string_view text) {
  static constexpr std::pair<std::string_view, std::string_view> markers[] = {
      {"<claude-mem-context>", "claude-mem"},
      {"claude-mem", "claude-mem"},
  };
  for (const auto& [marker, owner] : markers) {
    if (text.find(marker) != std::string_view::npos) {
      return std::string(owner);
    }
  }
  return std::nullopt;
}

bool holds_import(std::string_view text, std::string_view import_text) {
  for (std::string_view line : split(text, '\n')) {
    if (is_import_line(line, import_text)) {
      return true;
    }
  }
  return false;
}

// True when the text has at least one non-blank line and nothing but import lines.
bool holds_only_import(std::string_view text, std::string_view import_text) {
  bool seen = false;
  for (std::string_view line : split(text, '\n')) {
    if (trim_space(line).empty()) {
      continue;
    }
    if (!is_import_line(line, import_text)) {
      return false;
    }
    seen = true;
  }
  return seen;
}

std::string error_text(const std::error_code& error) {
  return to_valid_utf8(error.message());
}

// Where a dotted key leads in a JSON object: the object holding its last segment, reached
// through the others. `parent` is null when a segment on the way is missing, or is not an
// object (then `blocked` names it); with `create`, missing segments are added as objects.
struct KeyParent {
  Json* parent = nullptr;
  std::optional<std::string_view> blocked;
};

KeyParent key_parent(Json& root, const std::vector<std::string_view>& segments, bool create) {
  Json* node = &root;
  for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
    auto it = node->find(segments[i]);
    if (it == node->end()) {
      if (!create) {
        return {};
      }
      members_of(*node).emplace_back(std::string(segments[i]), Json::object());
      node = &members_of(*node).back().second;
    } else if (it->is_object()) {
      node = &*it;
    } else {
      return {.parent = nullptr, .blocked = segments[i]};
    }
  }
  return {.parent = node, .blocked = std::nullopt};
}

InstructionsItem conflict_with(InstructionsItem item, std::string detail) {
  item.state = InstructionsState::conflict;
  item.detail = std::move(detail);
  return item;
}

InstructionsItem plan_import_line(const RunContext& ctx, const std::string& agent_name,
                                  const fs::path& path, const fs::path& commons_agents_md) {
  std::string import_text = display_home_path(ctx);
  InstructionsItem item;
  item.agent = agent_name;
  item.path = path;
  item.import_line = "@" + import_text;
  LinkProbe probe = read_link_state(path, ctx.commons);
  if (probe.kind == LinkProbe::Kind::ours) {
    if (same_place(probe.resolved, commons_agents_md)) {
      item.state = InstructionsState::replace;
      return item;
    }
    return conflict_with(std::move(item),
                         fmt::format("{} is a symlink into the Commons, so an import line would "
                                     "land in the Commons — replace the link with your own file",
                                     display(path)));
  }
  // A chain of links (a dotfiles folder in between) or a hard link can reach the Commons file
  // all the same: an import line appended there would land in the Commons.
  if (same_file(path, commons_agents_md)) {
    item.state = InstructionsState::replace;
    return item;
  }
  // A file that cannot be read as text is planned as `import`; `append_import_line` then
  // refuses to touch it rather than risk its contents.
  auto text = read_text_file(path);
  item.state = text && holds_import(*text, import_text) ? InstructionsState::imported
                                                        : InstructionsState::import;
  return item;
}

InstructionsItem plan_route(const RunContext& ctx, const Agent& agent,
                            const InstructionsRoute& route, const fs::path& commons_agents_md) {
  switch (route.kind) {
    case InstructionsRouteKind::symlink:
    case InstructionsRouteKind::rules_dir_link:
      return classify_instructions_file(ctx, agent, route, commons_agents_md);
    case InstructionsRouteKind::import_line:
      return plan_import_line(ctx, agent.name, ctx.home / route.path, commons_agents_md);
    case InstructionsRouteKind::include_entry:
      return plan_include_entry(ctx, agent.name, route, commons_agents_md);
  }
  return {};
}

}  // namespace

std::vector<InstructionsItem> plan_instructions(const RunContext& ctx,
                                                const std::vector<Agent>& agents,
                                                const fs::path& commons_agents_md) {
  if (is_folder(commons_agents_md) || !read_file(commons_agents_md)) {
    return {};
  }
  std::vector<InstructionsItem> items;
  for (const Agent& agent : agents) {
    if (!agent.instructions) {
      continue;
    }
    InstructionsItem main = plan_route(ctx, agent, *agent.instructions, commons_agents_md);
    auto leftovers = other_route_paths(ctx, agent, main, commons_agents_md);
    items.push_back(std::move(main));
    for (auto& leftover : leftovers) {
      items.push_back(std::move(leftover));
    }
  }
  return items;
}

namespace {

InstructionsItem classify_instructions_file(const RunContext& ctx, const Agent& agent,
                                            const InstructionsRoute& route,
                                            const fs::path& commons_agents_md) {
  fs::path path = instructions_route_file(ctx.home, route);
  InstructionsItem item;
  item.agent = agent.name;
  item.path = path;
  // The system resolves a link from where it physically lives: an agent folder that is a link
  // into a dotfiles folder puts the link at another depth than its name says. The Commons keeps
  // its own name, so a Commons that is a link is still reached through it.
  const fs::path commons = absolute_normal_path(commons_agents_md.parent_path());
  const fs::path folder = physical_location(folder_of(path));
  item.target = relative_path(folder, physical_location(commons.parent_path()) /
                                          commons.filename() / commons_agents_md.filename());
  auto own = path_kind(path, false);
  if (!own) {
    item.state = InstructionsState::missing;
    return item;
  }
  if (*own == PathKind::link) {
    auto text = read_link_text(path);
    const bool named =
        same_place(resolve_link_target(path, text ? *text : fs::path()), commons_agents_md);
    const bool moved = folder != absolute_normal_path(folder_of(path));
    if (same_file(path, commons_agents_md) || (named && !moved)) {
      item.state = InstructionsState::linked;
    } else if (named) {
      // Made from the folder's name while the folder is a link elsewhere: it reaches nothing.
      item.state = InstructionsState::replace;
      item.detail = fmt::format(
          "{} was made from its folder's name and points nowhere — will be replaced by a link to "
          "the Commons",
          display(path));
    } else {
      item.state = InstructionsState::foreign;
    }
    return item;
  }
  item.state = InstructionsState::conflict;
  auto text = read_text_file(path);
  if (text) {
    item.owner = find_owner(*text);
  }
  if (route.kind != InstructionsRouteKind::symlink || agent.descriptor == nullptr) {
    return item;
  }
  // claude takes either a link or an import line at the same file: a file that holds nothing
  // but the import line is the other route's wiring, not the user's text.
  bool shared_file = false;
  for (const InstructionsRoute& other : agent.descriptor->instructions) {
    shared_file = shared_file ||
                  (other.kind == InstructionsRouteKind::import_line && other.path == route.path);
  }
  if (!shared_file) {
    return item;
  }
  if (text && holds_only_import(*text, display_home_path(ctx))) {
    item.state = InstructionsState::replace;
  } else if (!item.owner) {
    item.detail = fmt::format(
        "{} is a real file: move its text into the Commons AGENTS.md and sync again, or set "
        "instructions.{} = \"import\" in kelvaro.toml to keep it",
        display(path), agent.name);
  }
  return item;
}

InstructionsItem plan_include_entry(const RunContext& ctx, std::string_view agent_name,
                                    const InstructionsRoute& route,
                                    const fs::path& commons_agents_md) {
  fs::path settings = ctx.home / route.path;
  std::string entry =
      route.companion
          ? path_to_generic_utf8(relative_path(absolute_normal_path(folder_of(settings)),
                                               absolute_normal_path(commons_agents_md)))
          : display_home_path(ctx);
  InstructionsItem item;
  item.agent = std::string(agent_name);
  item.path = settings;
  item.include = IncludeEntry{.entry = entry, .key = route.key, .companion = route.companion};
  item.state = InstructionsState::import;
  auto doc = read_json_object(settings);
  if (!doc) {
    return conflict_with(std::move(item), doc.error());
  }
  auto segments = split(route.key, '.');
  const KeyParent found = key_parent(*doc, segments, false);
  if (found.blocked) {
    return conflict_with(std::move(item), not_an_object(settings, *found.blocked));
  }
  if (found.parent == nullptr) {
    return item;
  }
  auto member = found.parent->find(segments.back());
  if (member == found.parent->end()) {
    return item;
  }
  const Json& node = *member;
  Json list = node.is_string() ? Json::array({node}) : node;
  if (!list.is_array()) {
    return conflict_with(std::move(item), fmt::format("{}: `{}` is not a list — left untouched",
                                                      display(settings), route.key));
  }
  fs::path settings_dir = folder_of(settings);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Json& element = list[i];
    if (!element.is_string() ||
        !same_place(
            resolve_setting_path(element.get_ref<const std::string&>(), settings_dir, ctx.home),
            commons_agents_md)) {
      continue;
    }
    if (i == 0 && route.companion) {
      return conflict_with(
          std::move(item),
          fmt::format("{}: the Commons is first in `{}`, where the agent writes its own memories "
                      "— move it after {}",
                      display(settings), route.key, *route.companion));
    }
    item.state = InstructionsState::imported;
    return item;
  }
  return item;
}

std::vector<InstructionsItem> other_route_paths(const RunContext& ctx, const Agent& agent,
                                                const InstructionsItem& main,
                                                const fs::path& commons_agents_md) {
  std::vector<InstructionsItem> leftovers;
  if (main.state == InstructionsState::conflict || main.state == InstructionsState::foreign ||
      agent.descriptor == nullptr) {
    return leftovers;
  }
  for (const InstructionsRoute& route : agent.descriptor->instructions) {
    if ((agent.instructions && route == *agent.instructions) ||
        route.kind == InstructionsRouteKind::import_line) {
      continue;
    }
    std::optional<InstructionsItem> leftover;
    if (route.kind == InstructionsRouteKind::include_entry) {
      InstructionsItem item = plan_include_entry(ctx, agent.name, route, commons_agents_md);
      if (item.state == InstructionsState::imported) {
        item.state = InstructionsState::legacy;
        leftover = std::move(item);
      }
    } else {
      fs::path location = instructions_route_file(ctx.home, route);
      if (is_link_to(location, commons_agents_md)) {
        leftover.emplace();
        leftover->agent = agent.name;
        leftover->path = location;
        leftover->state = InstructionsState::legacy;
      }
    }
    // claude's two routes share one file: the main item already speaks for it.
    if (leftover && leftover->path != main.path) {
      leftovers.push_back(std::move(*leftover));
    }
  }
  return leftovers;
}

bool is_link_to(const fs::path& link, const fs::path& file) {
  auto text = read_link_text(link);
  return text && same_place(resolve_link_target(link, *text), file);
}

Json entries_not_pointing_at(const Json& list, const fs::path& settings_dir, const fs::path& home,
                             const fs::path& file) {
  Json kept = Json::array();
  for (const Json& element : list) {
    if (element.is_string() &&
        same_place(resolve_setting_path(element.get_ref<const std::string&>(), settings_dir, home),
                   file)) {
      continue;
    }
    kept.push_back(element);
  }
  return kept;
}

Result<void> add_include_entry(const InstructionsItem& item) {
  const IncludeEntry& include = *item.include;
  auto doc = read_json_object(item.path);
  if (!doc) {
    return unexpected(doc.error());
  }
  auto segments = split(include.key, '.');
  Json* parent = key_parent(*doc, segments, true).parent;
  if (parent == nullptr) {
    return unexpected(fmt::format("`{}` is not reachable", include.key));
  }
  std::optional<Json> old = swap_remove_member(*parent, segments.back());
  Json list = Json::array();
  if (old && old->is_string()) {
    list.push_back(std::move(*old));
  } else if (old && old->is_array()) {
    list = std::move(*old);
  } else if (old) {
    return unexpected(fmt::format("`{}` is not a list ({})", include.key,
                                  old->dump(-1, ' ', false, Json::error_handler_t::replace)));
  }
  if (list.empty() && include.companion) {
    list.push_back(*include.companion);
  }
  list.push_back(include.entry);
  members_of(*parent).emplace_back(std::string(segments.back()), std::move(list));
  auto written = write_json(item.path, *doc);
  if (!written) {
    return unexpected(error_text(written.error()));
  }
  return {};
}

Result<void> make_instructions_link(const InstructionsItem& item) {
  KELVARO_CHECK(item.target.has_value(), "a link item carries its target");
  auto made = make_link(*item.target, item.path);
  if (!made) {
    return unexpected(error_text(made.error()));
  }
  return {};
}

}  // namespace

Result<void> apply_instructions_item(const RunContext& ctx, const InstructionsItem& item) {
  switch (item.state) {
    case InstructionsState::missing: {
      KELVARO_CHECK(item.target.has_value(), "missing implies a link target");
      if (auto created = create_parent_folders(item.path); !created) {
        return unexpected(error_text(created.error()));
      }
      return make_instructions_link(item);
    }
    case InstructionsState::import:
      if (item.include) {
        return add_include_entry(item);
      }
      return append_import_line(item);
    case InstructionsState::legacy: {
      if (item.include) {
        auto removed =
            remove_include_entry(ctx, item.path, item.include->key, item.include->companion);
        if (!removed) {
          return unexpected(removed.error());
        }
        return {};
      }
      auto removed = remove_link(item.path);
      if (!removed) {
        return unexpected(error_text(removed.error()));
      }
      return {};
    }
    case InstructionsState::replace: {
      if (!item.target) {
        auto removed = remove_link(item.path);
        if (!removed) {
          return unexpected(error_text(removed.error()));
        }
        return append_import_line(item);
      }
      if (auto removed = remove_entry(item.path); !removed) {
        return unexpected(error_text(removed.error()));
      }
      return make_instructions_link(item);
    }
    case InstructionsState::linked:
    case InstructionsState::imported:
    case InstructionsState::conflict:
    case InstructionsState::foreign:
      return {};
  }
  return {};
}

namespace {

Result<void> append_import_line(const InstructionsItem& item) {
  KELVARO_CHECK(item.import_line.has_value(), "import implies an import line");
  if (auto created = create_parent_folders(item.path); !created) {
    return unexpected(error_text(created.error()));
  }
  std::string text;
  auto read = read_text_file(item.path);
  if (read) {
    text = std::move(*read).take_string();
  } else if (read.error() == std::errc::illegal_byte_sequence) {
    return unexpected(std::string("not valid UTF-8 text — left untouched"));
  } else if (read.error() != std::errc::no_such_file_or_directory) {
    return unexpected(error_text(read.error()));
  }
  if (!text.empty() && text.back() != '\n') {
    text += '\n';
  }
  text += *item.import_line + "\n";
  // The whole file is replaced in one rename (at a link's target when it is a link), so a
  // failed write leaves neither a cut-short text nor half an import line. An instructions file
  // holds no secrets: a new one is as readable as any file the user makes.
  if (auto written = write_atomic(item.path, text, shared_file_mode); !written) {
    return unexpected(error_text(written.error()));
  }
  return {};
}

}  // namespace

Result<bool> remove_include_entry(const RunContext& ctx, const fs::path& settings,
                                  std::string_view key,
                                  const std::optional<std::string>& companion) {
  auto doc = read_json_object(settings);
  if (!doc) {
    return unexpected(doc.error());
  }
  auto segments = split(key, '.');
  Json* parent = key_parent(*doc, segments, false).parent;
  if (parent == nullptr) {
    return false;
  }
  auto it = parent->find(segments.back());
  if (it == parent->end() || !(it->is_array() || it->is_string())) {
    return false;
  }
  // One string is the agent's short form of a one-element list: naming the Commons, it goes
  // as that list's element would, else the planner reports the leftover for ever.
  const Json list = it->is_string() ? Json::array({*it}) : *it;
  Json kept = entries_not_pointing_at(list, folder_of(settings), ctx.home,
                                      commons_instructions_file(ctx.commons));
  if (kept.size() == list.size()) {
    return false;
  }
  bool only_companion = kept.size() == 1 && kept[0].is_string() && companion &&
                        kept[0].get_ref<const std::string&>() == *companion;
  if (kept.empty() || only_companion) {
    erase_member(*parent, segments.back());
  } else {
    *it = std::move(kept);
  }
  auto written = write_json(settings, *doc);
  if (!written) {
    return unexpected(error_text(written.error()));
  }
  return true;
}

std::string_view to_string(InstructionsState state) {
  switch (state) {
    case InstructionsState::linked:
      return "linked";
    case InstructionsState::missing:
      return "missing";
    case InstructionsState::imported:
      return "imported";
    case InstructionsState::import:
      return "import";
    case InstructionsState::conflict:
      return "conflict";
    case InstructionsState::foreign:
      return "foreign";
    case InstructionsState::legacy:
      return "legacy";
    case InstructionsState::replace:
      return "replace";
  }
  return "";
}

bool is_actionable(InstructionsState state) {
  switch (state) {
    case InstructionsState::missing:
    case InstructionsState::import:
    case InstructionsState::legacy:
    case InstructionsState::replace:
      return true;
    case InstructionsState::linked:
    case InstructionsState::imported:
    case InstructionsState::conflict:
    case InstructionsState::foreign:
      return false;
  }
  return false;
}

bool needs_attention(InstructionsState state) {
  return is_actionable(state);
}

std::string describe_instructions_item(const InstructionsItem& item) {
  std::string path = display(item.path);
  switch (item.state) {
    case InstructionsState::linked:
      return "";
    case InstructionsState::missing:
      return "will be linked to the Commons";
    case InstructionsState::imported:
      if (item.include) {
        return fmt::format("included via {}", path);
      }
      return "imports the Commons instructions";
    case InstructionsState::import:
      if (item.include) {
        return fmt::format("the entry will be added to {}", path);
      }
      return "the import line will be added";
    case InstructionsState::conflict:
      if (item.detail) {
        return *item.detail;
      }
      if (item.owner) {
        return fmt::format("{} is owned by {} — move or merge it, then sync again", path,
                           *item.owner);
      }
      return fmt::format("{} is owned by something else — move or merge it, then sync again", path);
    case InstructionsState::foreign:
      return "points outside the Commons — left alone";
    case InstructionsState::legacy:
      if (item.include) {
        return fmt::format("the entry in {} is from a route {} does not take — will be removed",
                           path, item.agent);
      }
      return fmt::format(
          "{} is a symlink into the Commons from a route {} does not take — will be removed", path,
          item.agent);
    case InstructionsState::replace:
      if (item.detail) {
        return *item.detail;
      }
      if (item.target) {
        return "holds only the import line — will be replaced by a link to the Commons";
      }
      return "is a link to the Commons — will be replaced by a file holding the import line";
  }
  return "";
}

std::string display_home_path(const RunContext& ctx) {
  // A relative Commons (KELVARO_HOME as given) is anchored first: an import line must name
  // the file from wherever the agent runs.
  fs::path file = absolute_normal_path(commons_instructions_file(ctx.commons));
  fs::path home = absolute_normal_path(ctx.home);
  auto f = file.begin();
  bool under_home = !home.empty();
  for (auto h = home.begin(); under_home && h != home.end(); ++h, ++f) {
    under_home = f != file.end() && *f == *h;
  }
  if (!under_home || f == file.end()) {
    return path_text(file);
  }
  std::string text = "~";
  for (; f != file.end(); ++f) {
    text += "/" + to_valid_utf8(f->string());
  }
  return text;
}

bool is_import_line(std::string_view line, std::string_view import_text) {
  line = trim_space(line);
  return !line.empty() && line.front() == '@' && trim_space(line.substr(1)) == import_text;
}

fs::path resolve_setting_path(std::string_view entry, const fs::path& settings_dir,
                              const fs::path& home) {
  if (entry.starts_with("~/")) {
    return normalize_path(home / path_from_utf8(entry.substr(2)));
  }
  fs::path path = path_from_utf8(entry);
  if (path.is_absolute()) {
    return normalize_path(path);
  }
  return normalize_path(settings_dir / path);
}

}  // namespace kelvaro
