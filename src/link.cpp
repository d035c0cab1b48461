#include "link.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <set>

#include "agents.hpp"
#include "check.hpp"
#include "report.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

bool walk_tree(const fs::path& base, const fs::path& dir, std::vector<TreeFile>& files) {
  auto listed = list_folder(dir, MissingFolder::error);
  if (!listed) {
    return false;
  }
  for (const fs::path& path : *listed) {
    std::string relative = path_to_utf8(path.lexically_relative(base));
    if (is_folder(path)) {
      if (!walk_tree(base, path, files)) {
        return false;
      }
      continue;
    }
    auto bytes = read_file(path);
    if (!bytes) {
      return false;
    }
    files.emplace_back(std::move(relative), std::move(*bytes).take_string());
  }
  return true;
}

LinkProbe probe_of(LinkProbe::Kind kind) {
  LinkProbe probe;
  probe.kind = kind;
  return probe;
}

void sort_by_link_path(std::vector<LinkItem>& items) {
  // Items of one folder differ only in their last component, so comparing that text gives the
  // component-by-component order without walking the shared folder for every comparison.
  std::vector<std::pair<fs::path::string_type, std::size_t>> keys;
  keys.reserve(items.size());
  fs::path folder = items.empty() ? fs::path() : fs::path(items.front().link_path).parent_path();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const fs::path link_path(items[i].link_path);
    if (link_path.parent_path().native() != folder.native()) {
      std::stable_sort(items.begin(), items.end(), [](const LinkItem& a, const LinkItem& b) {
        return fs::path(a.link_path).compare(fs::path(b.link_path)) < 0;
      });
      return;
    }
    keys.emplace_back(link_path.filename().native(), i);
  }
  std::stable_sort(keys.begin(), keys.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<LinkItem> sorted;
  sorted.reserve(items.size());
  for (const auto& key : keys) {
    sorted.push_back(std::move(items[key.second]));
  }
  items = std::move(sorted);
}

// A path anchored and normalised once, with its components, for repeated comparisons.
struct Anchor {
  fs::path normal;
  std::vector<fs::path> parts;
};

Anchor anchor(const fs::path& path) {
  fs::path normal = absolute_normal_path(path);
  std::vector<fs::path> parts = path_components(normal);
  return Anchor{.normal = std::move(normal), .parts = std::move(parts)};
}

// The Commons folder and its family folders, as one way of placing a path gives them.
struct CommonsPlaces {
  fs::path commons;
  std::array<fs::path, all_families.size()> families;
};

template <typename Place>
CommonsPlaces places_of(const fs::path& commons, Place place) {
  CommonsPlaces places{.commons = place(commons), .families = {}};
  for (std::size_t i = 0; i < all_families.size(); ++i) {
    places.families[i] = place(commons / family_word(all_families[i]));
  }
  return places;
}

// True when `where` is the Commons or lies in one of its family folders, placed alike.
bool in_commons_families(const fs::path& where, const CommonsPlaces& places) {
  if (same_components(where, places.commons)) {
    return true;
  }
  return std::any_of(places.families.begin(), places.families.end(),
                     [&](const fs::path& family) { return lies_within(where, family); });
}

// The Commons as named and as physically reached: the same for every folder judged against it,
// so found once for all of them (each physical place costs the system a read per component).
struct CommonsLayout {
  CommonsPlaces named;
  CommonsPlaces physical;
};

CommonsLayout layout_of(const fs::path& commons) {
  return CommonsLayout{.named = places_of(commons, absolute_normal_path),
                       .physical = places_of(commons, physical_location)};
}

FolderPlace place_in(const fs::path& dir, const CommonsLayout& layout) {
  if (in_commons_families(absolute_normal_path(dir), layout.named)) {
    return FolderPlace::named_in_commons;
  }
  // An agent folder linked to a Commons family folder, or a family folder that is a link to
  // the agent's folder: either way the agent's entries are the Commons' own, and planning
  // there would judge the Commons against itself.
  if (in_commons_families(physical_location(dir), layout.physical)) {
    return FolderPlace::reaches_commons;
  }
  return FolderPlace::own;
}

fs::path relative_between(const Anchor& from, const fs::path& to) {
  return relative_path_between(from.normal, from.parts, to);
}

// A link folder and the Commons as the names given lead to them (`dir`, `commons`) and, when a
// link among their folders takes them elsewhere, where they physically are. Link texts are
// computed from the physical places, since the system resolves a link from where it lives.
struct LinkView {
  Anchor dir;
  Anchor commons;
  std::optional<Anchor> physical_dir;
  std::optional<Anchor> physical_commons;
};

// The Commons keeps its own name, so a Commons that is itself a link is still reached through it.
fs::path physical_commons(const fs::path& normal_commons) {
  return physical_location(normal_commons.parent_path()) / normal_commons.filename();
}

LinkView view_of(const fs::path& dir, const fs::path& commons) {
  LinkView view{.dir = anchor(dir),
                .commons = anchor(commons),
                .physical_dir = std::nullopt,
                .physical_commons = std::nullopt};
  fs::path real_dir = physical_location(view.dir.normal);
  fs::path real_commons = physical_commons(view.commons.normal);
  if (real_dir != view.dir.normal || real_commons != view.commons.normal) {
    view.physical_dir = anchor(real_dir);
    view.physical_commons = anchor(real_commons);
  }
  return view;
}

const Anchor& text_dir(const LinkView& view) {
  return view.physical_dir ? *view.physical_dir : view.dir;
}

const Anchor& text_commons(const LinkView& view) {
  return view.physical_commons ? *view.physical_commons : view.commons;
}

// `read_link_state` with the link already anchored (`anchored`) and the Commons split once.
// `want_dangling` is false where the answer plays no part, to save one attribute read. With
// `named`, a link whose text leads into the Commons only from where `named` says the link is
// (made before links were computed from the physical place) is ours too.
LinkProbe probe_link(const fs::path& path, const fs::path& anchored, const Anchor& commons,
                     bool want_dangling, const LinkView* named = nullptr) {
  auto own = path_kind(path, false);
  if (!own) {
    return probe_of(LinkProbe::Kind::absent);
  }
  if (*own != PathKind::link) {
    return probe_of(LinkProbe::Kind::not_a_link);
  }
  auto stored = read_link_text(path);
  if (!stored) {
    return probe_of(LinkProbe::Kind::not_a_link);
  }
  fs::path raw = std::move(*stored);
  fs::path resolved = resolve_link_target(anchored, raw);
  if (!starts_with_components(path_components(resolved), commons.parts)) {
    if (named == nullptr) {
      return probe_of(LinkProbe::Kind::foreign);
    }
    resolved = resolve_link_target(named->dir.normal / path.filename(), raw);
    if (!starts_with_components(path_components(resolved), named->commons.parts)) {
      return probe_of(LinkProbe::Kind::foreign);
    }
  }
  bool dangling = false;
  if (want_dangling) {
    dangling = !path_exists(path);
  }
  return LinkProbe{.kind = LinkProbe::Kind::ours,
                   .raw_target = std::move(raw),
                   .resolved = std::move(resolved),
                   .dangling = dangling};
}

// `probe_link` for a link in the folder `view` describes.
LinkProbe probe_in_view(const fs::path& path, const LinkView& view) {
  return probe_link(path, text_dir(view).normal / path.filename(), text_commons(view), false,
                    view.physical_dir ? &view : nullptr);
}

// The entries of one family share their folder, so its arithmetic is done once: the normal
// form of the folder and the link text that leads to it. Usable for an entry named by an
// ordinary component when the folder lies in the Commons and is not the link folder or one
// of its ancestors (then the common prefix could run into the entry's own name).
struct ParentCache {
  fs::path parent;
  fs::path normal;
  fs::path relative;
  fs::path::string_type prefix;  // the text of `relative / name` before `name`
  bool usable = false;
};

using NativeView = std::basic_string_view<fs::path::value_type>;

// The text `path / name` has before `name`, for any ordinary `name`: the separator that `/`
// adds, when it adds one, included.
fs::path::string_type text_prefix(const fs::path& path) {
  fs::path::string_type text = (path / "x").native();
  text.pop_back();
  return text;
}

bool is_ordinary_name(NativeView name) {
  static constexpr fs::path::value_type dot = '.';
  return !name.empty() && name != NativeView(&dot, 1) &&
         !(name.size() == 2 && name[0] == dot && name[1] == dot);
}

// Where an entry lies. `parent_normal` is set when the entry went through the cache; the
// entry's own normal form is then only built when a link needs a closer look.
struct EntryPlace {
  fs::path expected;
  bool in_commons = false;
  const fs::path* parent_normal = nullptr;
  fs::path name;
};

bool is_separator(fs::path::value_type c) {
  return c == '/' || c == fs::path::preferred_separator;
}

// The name after `parent` when `path` is exactly `parent`, one separator and one component.
std::optional<NativeView> child_name(const PathText& path, const fs::path& parent) {
  const PathText& p = path;
  const fs::path::string_type& q = parent.native();
  if (q.empty() || is_separator(q.back()) || p.size() <= q.size() + 1 ||
      p.compare(0, q.size(), q) != 0 || !is_separator(p[q.size()])) {
    return std::nullopt;
  }
  NativeView name = NativeView(p).substr(q.size() + 1);
  for (fs::path::value_type c : name) {
    if (is_separator(c)) {
      return std::nullopt;
    }
  }
  return name;
}

EntryPlace place_of(const CommonsEntry& entry, const Anchor& folder, const Anchor& commons,
                    std::optional<ParentCache>& cache) {
  std::optional<NativeView> cached_name;
  if (cache) {
    cached_name = child_name(entry.path, cache->parent);
  }
  fs::path name =
      cached_name ? fs::path(fs::path::string_type(*cached_name)) : fs::path(entry.path).filename();
  bool ordinary = !name.empty() && name != "." && name != "..";
  if (ordinary) {
    if (!cached_name) {
      fs::path parent = fs::path(entry.path).parent_path();
      Anchor anchored = anchor(parent);
      bool usable = starts_with_components(anchored.parts, commons.parts) &&
                    !starts_with_components(folder.parts, anchored.parts);
      fs::path relative = usable ? relative_between(folder, anchored.normal) : fs::path();
      fs::path::string_type prefix = usable ? text_prefix(relative) : fs::path::string_type();
      cache = ParentCache{.parent = std::move(parent),
                          .normal = std::move(anchored.normal),
                          .relative = std::move(relative),
                          .prefix = std::move(prefix),
                          .usable = usable};
    }
    if (cache->usable) {
      return EntryPlace{.expected = cache->relative / name,
                        .in_commons = true,
                        .parent_normal = &cache->normal,
                        .name = std::move(name)};
    }
  }
  fs::path normal = absolute_normal_path(entry.path);
  fs::path expected = relative_between(folder, normal);
  bool in_commons = starts_with_components(path_components(normal), commons.parts);
  return EntryPlace{.expected = std::move(expected),
                    .in_commons = in_commons,
                    .parent_normal = nullptr,
                    .name = std::move(name)};
}

fs::path normal_of(const EntryPlace& place, const CommonsEntry& entry) {
  if (place.parent_normal != nullptr) {
    return *place.parent_normal / place.name;
  }
  return absolute_normal_path(entry.path);
}

// Classifies the place of one entry. The stored text equal to the canonical one is by far the
// common case; one read of the link settles it without any path arithmetic.
LinkState classify_entry(const fs::path& link_path, const LinkView& view, const CommonsEntry& entry,
                         const EntryPlace& place) {
  const fs::path& expected = place.expected;
  auto raw = read_link_text(link_path);
  if (raw && place.in_commons && raw->native() == expected.native()) {
    return LinkState::linked;
  }
  if (!raw && raw.error() == std::errc::no_such_file_or_directory) {
    return LinkState::missing;
  }
  LinkProbe probe = probe_link(link_path, text_dir(view).normal / path_from_utf8(entry.file_name),
                               text_commons(view), false, view.physical_dir ? &view : nullptr);
  switch (probe.kind) {
    case LinkProbe::Kind::absent:
      return LinkState::missing;
    case LinkProbe::Kind::ours:
      if (same_components(probe.resolved, normal_of(place, entry)) &&
          same_components(probe.raw_target, expected)) {
        return LinkState::linked;
      }
      return LinkState::stale;
    case LinkProbe::Kind::foreign:
      return LinkState::foreign;
    case LinkProbe::Kind::not_a_link:
      return same_content(link_path, entry.path) ? LinkState::variant_identical
                                                 : LinkState::variant;
  }
  return LinkState::variant;
}

}  // namespace

bool LinkItem::operator==(const LinkItem& other) const {
  return name == other.name && state == other.state &&
         fs::path(link_path) == fs::path(other.link_path) &&
         target.has_value() == other.target.has_value() &&
         (!target || fs::path(*target) == fs::path(*other.target));
}

std::string_view to_string(LinkState state) {
  switch (state) {
    case LinkState::linked:
      return "linked";
    case LinkState::missing:
      return "missing";
    case LinkState::stale:
      return "stale";
    case LinkState::dangling:
      return "dangling";
    case LinkState::duplicate:
      return "duplicate";
    case LinkState::variant_identical:
      return "variant-identical";
    case LinkState::variant:
      return "variant";
    case LinkState::foreign:
      return "foreign";
  }
  return "";
}

namespace {

// The reason printed after the word; empty for `linked`.
std::string_view link_note(LinkState state) {
  switch (state) {
    case LinkState::linked:
      return "";
    case LinkState::missing:
      return "not linked yet";
    case LinkState::stale:
      return "not in canonical form";
    case LinkState::dangling:
      return "Commons entry is gone";
    case LinkState::duplicate:
      return "the agent reads the Commons natively — leftover fan-out link";
    case LinkState::variant_identical:
      return "identical to the Commons — could be re-linked";
    case LinkState::variant:
      return "left alone";
    case LinkState::foreign:
      return "not ours — left alone";
  }
  return "";
}

}  // namespace

std::string link_note(const LinkItem& item) {
  if (item.state == LinkState::variant_identical) {
    return fmt::format("identical to the Commons — re-link it with `kelvaro adopt {}`",
                       command_argument(item.link_path));
  }
  return std::string(link_note(item.state));
}

bool is_actionable(LinkState state) {
  return state == LinkState::missing || state == LinkState::stale || state == LinkState::dangling ||
         state == LinkState::duplicate;
}

bool needs_attention(LinkState state) {
  return is_actionable(state) || state == LinkState::variant_identical;
}

std::optional<std::vector<TreeFile>> collect_tree(const fs::path& dir) {
  std::vector<TreeFile> files;
  if (!walk_tree(dir, dir, files)) {
    return std::nullopt;
  }
  std::stable_sort(files.begin(), files.end(),
                   [](const TreeFile& a, const TreeFile& b) { return a.first < b.first; });
  return files;
}

bool same_content(const fs::path& a, const fs::path& b) {
  bool a_dir = is_folder(a);
  bool b_dir = is_folder(b);
  if (a_dir != b_dir) {
    return false;
  }
  if (a_dir) {
    auto left = collect_tree(a);
    if (!left) {
      return false;
    }
    auto right = collect_tree(b);
    return right && *left == *right;
  }
  auto left = read_file(a);
  if (!left) {
    return false;
  }
  auto right = read_file(b);
  return right && *left == *right;
}

fs::path physical_location(const fs::path& path) {
  const fs::path normal = absolute_normal_path(path);
  fs::path existing = normal;
  fs::path rest;
  while (existing.has_relative_path()) {
    auto real = canonical_path(existing);
    if (real) {
      return rest.empty() ? *real : normalize_path(*real / rest);
    }
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
  return normal;
}

fs::path commons_link_text(const fs::path& link, const fs::path& entry, const fs::path& commons) {
  const fs::path root = absolute_normal_path(commons);
  const fs::path inside = absolute_normal_path(entry).lexically_relative(root);
  return relative_path(physical_location(absolute_normal_path(link).parent_path()),
                       normalize_path(physical_commons(root) / inside));
}

LinkProbe read_link_state(const fs::path& path, const fs::path& commons) {
  // Anchoring the link path keeps `resolved` comparable with an anchored Commons even when
  // the caller's paths are relative.
  return probe_link(path, absolute_normal_path(path), anchor(commons), true);
}

FolderPlace folder_place(const fs::path& dir, const fs::path& commons) {
  return place_in(dir, layout_of(commons));
}

std::vector<LinkFolder> link_folders(const RunContext& ctx, const std::vector<Agent>& agents) {
  std::vector<LinkFolder> folders;
  const CommonsLayout layout = layout_of(ctx.commons);
  auto add = [&](const Agent& agent, Family family, const fs::path& dir, FolderRole role) {
    const fs::path path = ctx.home / dir;
    folders.push_back(LinkFolder{.agent = agent.name,
                                 .dir = dir,
                                 .path = path,
                                 .family = family,
                                 .role = role,
                                 .place = place_in(path, layout)});
  };
  for (Family family : all_families) {
    for (const Agent& agent : agents) {
      for (const Surface& surface : agent.surfaces) {
        if (surface.family == family) {
          add(agent, family, surface.dir, FolderRole::surface);
        }
      }
      if (family != Family::skills) {
        continue;
      }
      if (std::optional<fs::path> dir = native_skills_dir(agent)) {
        add(agent, family, *dir, FolderRole::leftovers);
      }
    }
  }
  return folders;
}

namespace {

// `plan_links` for a folder that `folder_place` puts in the agents' own place.
std::vector<LinkItem> plan_own_folder_links(const fs::path& dir,
                                            const std::vector<CommonsEntry>& entries,
                                            const fs::path& commons, LinkPaths paths);

}  // namespace

std::vector<LinkItem> plan_links(const fs::path& dir, const std::vector<CommonsEntry>& entries,
                                 const fs::path& commons, LinkPaths paths) {
  if (folder_place(dir, commons) != FolderPlace::own) {
    return {};
  }
  return plan_own_folder_links(dir, entries, commons, paths);
}

std::vector<LinkItem> plan_folder_links(const LinkFolder& folder,
                                        const std::vector<CommonsEntry>& entries,
                                        const fs::path& commons, LinkPaths paths) {
  if (folder.place != FolderPlace::own) {
    return {};
  }
  return plan_own_folder_links(folder.path, entries, commons, paths);
}

namespace {

// The names of a folder's planned entries, each way the planning looks them up.
struct PlannedNames {
  std::vector<std::string_view> sorted;       // the file names, in order, to find strays
  std::vector<fs::path::string_type> native;  // as the folder holds them, one per entry
  bool plain = true;                          // each one ordinary component
};

PlannedNames planned_names(const std::vector<CommonsEntry>& entries) {
  PlannedNames out;
  out.sorted.reserve(entries.size());
  out.native.reserve(entries.size());
  for (const CommonsEntry& entry : entries) {
    out.sorted.push_back(entry.file_name);
    out.native.push_back(native_text_from_utf8(entry.file_name));
    const NativeView name = out.native.back();
    out.plain =
        out.plain && is_ordinary_name(name) && std::none_of(name.begin(), name.end(), is_separator);
  }
  // The scan lists entries in name order; sorting is then only a check.
  if (!std::is_sorted(out.sorted.begin(), out.sorted.end())) {
    std::sort(out.sorted.begin(), out.sorted.end());
  }
  return out;
}

using ItemKeys = std::vector<std::pair<NativeView, std::size_t>>;

// The listing pass: what the folder holds that no entry plans, when it is a link that is not
// ours or one of ours left dangling.
void add_strays(const fs::path& dir, const std::vector<fs::path>& listed,
                const std::vector<std::string_view>& planned, const LinkView& view,
                const LinkView* named, std::vector<LinkItem>& items, ItemKeys& keys) {
  const Anchor& folder = text_dir(view);
  const Anchor& root = text_commons(view);
  for (const fs::path& file_name : listed) {
    std::string name = path_text(file_name);
    if (std::binary_search(planned.begin(), planned.end(), std::string_view(name))) {
      continue;
    }
    fs::path path = dir / file_name;
    LinkProbe probe = probe_link(path, folder.normal / file_name, root, true, named);
    if (probe.kind == LinkProbe::Kind::foreign ||
        (probe.kind == LinkProbe::Kind::ours && probe.dangling)) {
      keys.emplace_back(file_name.native(), items.size());
      items.push_back(LinkItem{.name = name,
                               .link_path = path.native(),
                               .target = std::nullopt,
                               .state = probe.kind == LinkProbe::Kind::foreign
                                            ? LinkState::foreign
                                            : LinkState::dangling});
    }
  }
}

// The items in link-path order. With plain names every link lies in the folder under its own
// name, so the names (`keys`) give the order; entries come in name order, so without strays the
// items are usually in order already.
std::vector<LinkItem> in_link_order(std::vector<LinkItem> items, ItemKeys& keys, bool plain) {
  if (!plain) {
    sort_by_link_path(items);
    return items;
  }
  auto by_name = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (std::is_sorted(keys.begin(), keys.end(), by_name)) {
    return items;
  }
  std::stable_sort(keys.begin(), keys.end(), by_name);
  std::vector<LinkItem> sorted;
  sorted.reserve(items.size());
  for (const auto& key : keys) {
    sorted.push_back(std::move(items[key.second]));
  }
  return sorted;
}

std::vector<LinkItem> plan_own_folder_links(const fs::path& dir,
                                            const std::vector<CommonsEntry>& entries,
                                            const fs::path& commons, LinkPaths paths) {
  // A name that is not one ordinary component would not be its link's last component, so the
  // order then comes from the full paths.
  const PlannedNames planned = planned_names(entries);
  const std::vector<fs::path::string_type>& names = planned.native;
  if (!planned.plain) {
    paths = LinkPaths::all;
  }

  const LinkView view = view_of(dir, commons);
  const Anchor& folder = text_dir(view);
  const Anchor& root = text_commons(view);
  const LinkView* named = view.physical_dir ? &view : nullptr;
  // A folder that is not there holds no links: every entry is missing without asking.
  auto listed = list_folder_names(dir);
  const bool absent = !listed && listed.error() == std::errc::no_such_file_or_directory;
  std::vector<LinkItem> items;
  items.reserve(entries.size());
  ItemKeys keys;
  keys.reserve(entries.size());
  std::optional<ParentCache> cache;
  // A link's path text and the text it should hold are each a prefix shared by the folder
  // plus the entry's name: in the common case, a link that holds its text, they are compared
  // as bytes and no path is built for it.
  const fs::path::string_type dir_prefix = text_prefix(dir);
  fs::path::string_type link_text;
  fs::path::string_type target_text;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CommonsEntry& entry = entries[i];
    keys.emplace_back(names[i], items.size());
    std::optional<NativeView> child;
    if (named == nullptr && cache && cache->usable) {
      child = child_name(entry.path, cache->parent);
    }
    if (child && is_ordinary_name(*child)) {
      link_text.assign(dir_prefix).append(names[i]);
      target_text.assign(cache->prefix).append(*child);
      bool linked = false;
      bool missing = absent;
      if (!absent) {
        auto holds = link_holds(link_text, target_text);
        linked = holds && *holds;
        missing = !holds && holds.error() == std::errc::no_such_file_or_directory;
      }
      if (linked || missing) {
        // Filled in place: the texts are copied once, into the item that keeps them.
        LinkItem& item = items.emplace_back();
        item.name = entry.name;
        item.state = linked ? LinkState::linked : LinkState::missing;
        if (!linked || paths == LinkPaths::all) {
          item.link_path = link_text;
          item.target.emplace(target_text);
        }
        continue;
      }
    }
    fs::path link_path = dir / fs::path(names[i]);
    // Entries are named under the Commons as given; their text starts from its physical place.
    const CommonsEntry physical =
        named == nullptr
            ? entry
            : CommonsEntry{
                  .name = entry.name,
                  .file_name = entry.file_name,
                  .path = root.normal /
                          absolute_normal_path(entry.path).lexically_relative(view.commons.normal)};
    EntryPlace place = place_of(physical, folder, root, cache);
    LinkState state =
        absent ? LinkState::missing : classify_entry(link_path, view, physical, place);
    const bool with_paths = state != LinkState::linked || paths == LinkPaths::all;
    items.push_back(LinkItem{
        .name = entry.name,
        .link_path = with_paths ? link_path.native() : PathText(),
        .target = with_paths ? std::optional<PathText>(place.expected.native()) : std::nullopt,
        .state = state});
  }

  if (listed) {
    add_strays(dir, *listed, planned.sorted, view, named, items, keys);
  }
  return in_link_order(std::move(items), keys, planned.plain);
}

}  // namespace

bool links_into_commons(const fs::path& path, const fs::path& commons) {
  return probe_in_view(path, view_of(path.parent_path(), commons)).kind == LinkProbe::Kind::ours;
}

Result<std::vector<LinkItem>, std::error_code> list_commons_links(const fs::path& dir,
                                                                  const fs::path& commons) {
  std::vector<LinkItem> items;
  if (folder_place(dir, commons) != FolderPlace::own) {
    return items;
  }
  auto listed = list_folder(dir);
  if (!listed) {
    return unexpected(listed.error());
  }
  const LinkView view = view_of(dir, commons);
  for (const fs::path& path : *listed) {
    if (probe_in_view(path, view).kind == LinkProbe::Kind::ours) {
      items.push_back(LinkItem{.name = path_text(path.filename()),
                               .link_path = path.native(),
                               .target = std::nullopt,
                               .state = LinkState::duplicate});
    }
  }
  sort_by_link_path(items);
  return items;
}

Result<void, std::error_code> make_link(const fs::path& target, const fs::path& link) {
  auto created = create_link_like_target(target, link);
  if (!created) {
    return unexpected(explain_link_error(created.error()));
  }
  return {};
}

Result<void, std::error_code> remove_link(const fs::path& path) {
  // Removing a link never follows it, so a folder link goes without its target's contents;
  // a real folder that is not empty is refused rather than emptied.
  return remove_entry(path);
}

namespace {

// What keeps a link from being made at `link` ("File exists"): `link` itself when something is
// there, else the nearest of its folders that exists but cannot be passed through, with what it
// is ("a dangling link", "a file", ...). Nullopt when nothing is in the way.
struct LinkObstacle {
  std::filesystem::path path;
  std::string what;

  bool operator==(const LinkObstacle&) const = default;
};

std::optional<LinkObstacle> find_obstacle(const fs::path& link) {
  auto own = path_kind(link, false);
  if (own) {
    return LinkObstacle{.path = link, .what = *own == PathKind::link ? "a link" : "already there"};
  }
  for (fs::path dir = link.parent_path(); !dir.empty() && dir != dir.parent_path();
       dir = dir.parent_path()) {
    auto kind = path_kind(dir, false);
    if (!kind) {
      continue;  // created on the way, unless something above it is in the way
    }
    if (*kind == PathKind::folder) {
      return std::nullopt;
    }
    if (*kind == PathKind::link) {
      auto through = path_kind(dir, true);
      if (!through) {
        return LinkObstacle{.path = dir, .what = "a dangling link"};
      }
      if (*through == PathKind::folder) {
        return std::nullopt;
      }
      return LinkObstacle{.path = dir, .what = "a link to a file"};
    }
    return LinkObstacle{.path = dir, .what = *kind == PathKind::file ? "a file" : "a special file"};
  }
  return std::nullopt;
}

}  // namespace

std::string link_failure(const fs::path& link, const std::error_code& error, const fs::path& home) {
  std::string text = error.message();
  if (error == std::errc::file_exists) {
    if (std::optional<LinkObstacle> obstacle = find_obstacle(link)) {
      text += " (" + display_under(obstacle->path, home) + " is " + obstacle->what + ")";
    }
  }
  return text;
}

namespace {

// Two agents may share one link folder: the first one's fix has then already made the link
// that the second one planned. Made from the texts as planned: a first sync makes thousands.
Result<void, std::error_code> make_wanted_link(const PathText& target, const PathText& link) {
  auto made = create_link_text_like_target(target, link);
  if (made) {
    return {};
  }
  const std::error_code error = explain_link_error(made.error());
  if (error == std::errc::file_exists) {
    auto held = read_link_text(fs::path(link));
    if (held && held->native() == target) {
      return {};
    }
  }
  return unexpected(error);
}

// The same for a removal: a link that is already gone is removed.
Result<void, std::error_code> remove_gone_link(const fs::path& link) {
  auto removed = remove_link(link);
  if (!removed && removed.error() == std::errc::no_such_file_or_directory) {
    return {};
  }
  return removed;
}

}  // namespace

Result<void, std::error_code> apply_link_fix(const LinkItem& item) {
  switch (item.state) {
    case LinkState::missing: {
      KELVARO_CHECK(item.target.has_value(), "missing implies a Commons entry");
      // The folder exists for all but the first link made in it; only a failed attempt pays
      // for creating it, and the attempt after that fails as it always did.
      if (make_wanted_link(*item.target, item.link_path)) {
        return {};
      }
      auto created = create_parent_folders(fs::path(item.link_path));
      if (!created) {
        return created;
      }
      return make_wanted_link(*item.target, item.link_path);
    }
    case LinkState::stale: {
      KELVARO_CHECK(item.target.has_value(), "stale implies a Commons entry");
      auto removed = remove_gone_link(fs::path(item.link_path));
      if (!removed) {
        return removed;
      }
      return make_wanted_link(*item.target, item.link_path);
    }
    case LinkState::dangling:
    case LinkState::duplicate:
      return remove_gone_link(fs::path(item.link_path));
    case LinkState::linked:
    case LinkState::variant_identical:
    case LinkState::variant:
    case LinkState::foreign:
      return {};
  }
  return {};
}

}  // namespace kelvaro
