#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "agents.hpp"
#include "commons.hpp"
#include "context.hpp"
#include "fsutil.hpp"
#include "result.hpp"

// Links from agents' folders into the Commons: classification and the three file-system
// actions. The path arithmetic they use (`relative_path`, `lies_within`) lives in fsutil.hpp.
namespace kelvaro {

// The state of one planned link. `sync` fixes missing, stale, dangling and duplicate and leaves
// the last three alone.
enum class LinkState : std::uint8_t {
  linked,
  missing,
  stale,
  dangling,
  duplicate,
  variant_identical,
  variant,
  foreign,
};

// The state word ("variant-identical", ...), as `sync`, `status` and the status JSON print it.
std::string_view to_string(LinkState state);
// True for the states `sync` fixes with `apply_link_fix`: missing, stale, dangling, duplicate.
bool is_actionable(LinkState state);
// True for the states a report counts as needing attention: those `sync` fixes, and
// `variant_identical`, which `sync` leaves alone but `adopt` can turn into a link.
bool needs_attention(LinkState state);

// One planned link.
struct LinkItem {
  std::string name;                // entry name, or a stray link's file name
  PathText link_path;              // where the link lives in the agent's folder
  std::optional<PathText> target;  // canonical relative target; none on strays
  LinkState state = LinkState::linked;

  // The paths compare as paths do, component by component.
  bool operator==(const LinkItem& other) const;
};

// The reason printed after the item's word: the state's own reason (empty for `linked`), but for a
// copy identical to the Commons the command that re-links it, since `sync` never will.
std::string link_note(const LinkItem& item);

// What `read_link_state` finds at a path. `raw_target`, `resolved` and `dangling` are set only
// for `ours`; `resolved` is absolute (a relative link path is anchored at the current folder).
struct LinkProbe {
  enum class Kind : std::uint8_t {
    absent,      // the path's own attributes cannot be read
    ours,        // a symbolic link whose resolved target lies in the Commons
    foreign,     // a symbolic link whose resolved target lies outside the Commons
    not_a_link,  // a real file or folder, or a link whose target text cannot be read
  };
  Kind kind = Kind::absent;
  std::filesystem::path raw_target;  // the link's target text as stored
  std::filesystem::path resolved;    // `resolve_link_target` of the link and `raw_target`
  bool dangling = false;             // the link's target cannot be reached

  bool operator==(const LinkProbe&) const = default;
};

// One file of a tree: its path relative to the tree's base, as text, and its bytes.
using TreeFile = std::pair<std::string, std::string>;

// Every file under `dir` (links followed, folders not recorded), sorted by relative path text;
// nullopt when any part of the tree cannot be read.
std::optional<std::vector<TreeFile>> collect_tree(const std::filesystem::path& dir);

// True when `a` and `b` hold the same bytes: two files, or two folders with the same files
// (empty folders aside). A folder and a file, or anything unreadable, are different.
bool same_content(const std::filesystem::path& a, const std::filesystem::path& b);

// Where the folder `path` physically is: the links among its leading components that exist
// resolved, the components below them kept as they are, normalised. `path`, anchored and
// normalised, when nothing of it can be resolved.
std::filesystem::path physical_location(const std::filesystem::path& path);

// The relative text of a link at `link` that reaches `entry`, a path in the Commons `commons`:
// computed from where the link physically lives, as `plan_links` computes its targets, so that
// it reaches the entry also when a folder above the link is a link elsewhere.
std::filesystem::path commons_link_text(const std::filesystem::path& link,
                                        const std::filesystem::path& entry,
                                        const std::filesystem::path& commons);

// What is at `path`, judged against `commons`. Never fails.
LinkProbe read_link_state(const std::filesystem::path& path, const std::filesystem::path& commons);

// True when `path` is a symbolic link into the Commons, its text followed from where the link
// physically lives; a text made from its folder's name, when that folder is a link at another
// depth, counts too. Never fails.
bool links_into_commons(const std::filesystem::path& path, const std::filesystem::path& commons);

// Where a folder that takes links lies against the Commons.
enum class FolderPlace : std::uint8_t {
  own,               // anywhere else, also elsewhere in the Commons folder: planned
  named_in_commons,  // named as the Commons folder, or inside one of its family folders
  reaches_commons,   // reaches the same through links (an agent folder linked to the Commons)
};

// Where `dir` lies against the Commons `commons`: the Commons folder itself, or one of its
// family folders and what lies in them, are the Commons' own (named so, or reached through
// links, a family folder that is itself a link followed); everything else is `own`.
FolderPlace folder_place(const std::filesystem::path& dir, const std::filesystem::path& commons);

// What a link folder holds for the Commons.
enum class FolderRole : std::uint8_t {
  surface,    // a fan-out folder: one link per Commons entry of its family
  leftovers,  // the skills folder of an agent that reads the Commons natively: old links only
};

// One agent folder that takes links from the Commons, or held them once.
struct LinkFolder {
  std::string agent;           // the agent's name
  std::filesystem::path dir;   // as the agent table or kelvaro.toml writes it
  std::filesystem::path path;  // `dir` under the home
  Family family = Family::skills;
  FolderRole role = FolderRole::surface;
  FolderPlace place = FolderPlace::own;  // only `own` folders are planned or cleaned

  bool operator==(const LinkFolder&) const = default;
};

// The link folders of `agents` under the home of `ctx`, judged against its Commons: for each
// family in family order, each agent's surface of that family in agent order, and after an
// agent's skills place the folder of its old skills links, when it reads skills natively.
std::vector<LinkFolder> link_folders(const RunContext& ctx, const std::vector<Agent>& agents);

// The links `dir` (an agent's surface folder) should hold for `entries`, plus the stray
// dangling and foreign links found there; sorted by link path, component by component. Empty
// when `folder_place` puts `dir` in the Commons: links there are the Commons' own. With
// `LinkPaths::unless_linked`, paths are built only for the items that are not linked.
// Which planned items carry their `link_path` and `target`.
enum class LinkPaths : std::uint8_t {
  all,
  unless_linked,  // a `linked` item carries its name and state only: nothing is done with it
};

std::vector<LinkItem> plan_links(const std::filesystem::path& dir,
                                 const std::vector<CommonsEntry>& entries,
                                 const std::filesystem::path& commons,
                                 LinkPaths paths = LinkPaths::all);

// `plan_links` for `folder`, one of `link_folders` for the same Commons, whose `place` is
// then already known and not looked up again.
std::vector<LinkItem> plan_folder_links(const LinkFolder& folder,
                                        const std::vector<CommonsEntry>& entries,
                                        const std::filesystem::path& commons,
                                        LinkPaths paths = LinkPaths::all);

// Every link into the Commons found in `dir`, each in state `duplicate`, sorted by link path;
// empty when `dir` does not exist or `folder_place` puts it in the Commons. Fails with the
// system error when `dir` cannot be listed.
Result<std::vector<LinkItem>, std::error_code> list_commons_links(
    const std::filesystem::path& dir, const std::filesystem::path& commons);

// Creates a symbolic link at `link` holding `target` unchanged; where the system tells folder
// links from file links, of the kind the target (resolved against the link's folder) has.
// Fails with the system error.
Result<void, std::error_code> make_link(const std::filesystem::path& target,
                                        const std::filesystem::path& link);

// Removes the link at `path` (a folder link as an empty folder, never its target's contents).
Result<void, std::error_code> remove_link(const std::filesystem::path& path);

// The text of `error`, a link that could not be made at `link`; when the system only says
// "File exists", followed by what is in the way (" ({} is {})", the path shown under `home`).
std::string link_failure(const std::filesystem::path& link, const std::error_code& error,
                         const std::filesystem::path& home);

// Applies `item`: creates (with its folder chain), replaces or removes the link for the
// fixable states; does nothing for the others. Fails with the system error of the failing step.
Result<void, std::error_code> apply_link_fix(const LinkItem& item);

}  // namespace kelvaro
