#include "commons.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <optional>
#include <system_error>
#include <utility>

#include "agents.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

struct WarningText {
  std::string text;
  ScanWarning warning;
};

struct WarningVisitor {
  std::string operator()(const ScanDotPrefixed& w) const {
    return fmt::format(
        "Commons {}/{}: dot-prefixed names are invisible to agents and are never synced",
        family_word(w.family), visible_text(w.name));
  }
  std::string operator()(const ScanWrongKind& w) const {
    return fmt::format("Commons {}/{}: not a {}, skipped", family_word(w.family),
                       visible_text(w.name), w.kind);
  }
  std::string operator()(const ScanMissingTarget& w) const {
    return fmt::format("Commons {}/{}: symlink target is missing, skipped", family_word(w.family),
                       visible_text(w.name));
  }
  std::string operator()(const ScanUnreadable& w) const {
    return fmt::format("cannot read {}: {}", display(w.path), w.error);
  }
  std::string operator()(const ScanNameClash& w) const {
    return fmt::format(
        "Commons {}/{}: another entry's name differs only in bytes that are not UTF-8 — only the "
        "first in byte order is synced",
        family_word(w.family), visible_text(w.name));
  }
};

constexpr std::string_view markdown_ending = ".md";

// Decides one listed entry: an entry, a warning, or (never) both. An entry takes `path` over.
// `listed` is the entry's kind as the listing gave it, when it did.
void judge_entry(Family family, PathText&& path, const std::string& name,
                 std::optional<PathKind> listed, std::vector<CommonsEntry>& entries,
                 std::vector<ScanWarning>& warnings) {
  if (name.starts_with('.')) {
    warnings.push_back(ScanDotPrefixed{.family = family, .name = name});
    return;
  }
  auto own = listed ? Result<PathKind, std::error_code>(*listed) : path_kind(fs::path(path), false);
  bool is_dir = false;
  if (own && *own == PathKind::link) {
    auto resolved = path_kind(path, true);
    if (!resolved) {
      warnings.push_back(ScanMissingTarget{.family = family, .name = name});
      return;
    }
    is_dir = *resolved == PathKind::folder;
  } else {
    is_dir = own ? *own == PathKind::folder : is_folder(path);
  }

  if (entry_fit(family, is_dir, name) != EntryFit::fits) {
    warnings.push_back(
        ScanWrongKind{.family = family,
                      .name = name,
                      .kind = family == Family::skills ? "directory" : "markdown file"});
    return;
  }
  entries.push_back(
      CommonsEntry{.name = entry_name(family, name), .file_name = name, .path = std::move(path)});
}

// Names that differ only in bytes that are not UTF-8 become one text, and so one link name:
// linking both would flip the link between them on every run. The first in byte order stays.
// `converted` tells whether any listed name changed on its way to text; when none did, no two
// can clash.
void drop_name_clashes(Family family, std::vector<CommonsEntry>& entries,
                       std::vector<ScanWarning>& warnings, bool converted) {
  if (!converted) {
    return;
  }
  std::map<std::string, fs::path::string_type> first;
  for (const CommonsEntry& entry : entries) {
    fs::path::string_type raw = fs::path(entry.path).filename().native();
    auto [it, fresh] = first.try_emplace(entry.file_name, raw);
    if (!fresh && raw < it->second) {
      it->second = raw;
    }
  }
  std::erase_if(entries, [&](const CommonsEntry& entry) {
    if (fs::path(entry.path).filename().native() == first[entry.file_name]) {
      return false;
    }
    warnings.push_back(ScanNameClash{.family = family, .name = entry.file_name});
    return true;
  });
}

}  // namespace

bool CommonsEntry::operator==(const CommonsEntry& other) const {
  return name == other.name && file_name == other.file_name &&
         fs::path(path) == fs::path(other.path);
}

std::string entry_name(Family family, std::string_view file_name) {
  if (family != Family::skills) {
    while (file_name.ends_with(markdown_ending)) {
      file_name.remove_suffix(markdown_ending.size());
    }
  }
  return std::string(file_name);
}

EntryFit entry_fit(Family family, bool is_folder, std::string_view file_name) {
  if (family == Family::skills) {
    return is_folder ? EntryFit::fits : EntryFit::not_a_folder;
  }
  if (is_folder) {
    return EntryFit::a_folder;
  }
  return file_name.ends_with(markdown_ending) ? EntryFit::fits : EntryFit::not_markdown;
}

std::string to_string(const ScanWarning& warning) {
  return std::visit(WarningVisitor{}, warning);
}

FamilyScan scan_family(const fs::path& commons, Family family) {
  FamilyScan scan;
  fs::path folder = commons / fs::path(std::string(family_word(family)));

  auto listed = list_folder_entries(folder);
  if (!listed && listed.error() == std::errc::no_such_file_or_directory) {
    return scan;
  }
  if (!listed) {
    scan.warnings.push_back(ScanUnreadable{.path = folder, .error = listed.error().message()});
    return scan;
  }
  scan.entries.reserve(listed->size());
  // Each entry's path is the folder's text and its name, joined as `folder / name` joins them,
  // with no path object built for it.
  fs::path::string_type prefix = (folder / "x").native();
  prefix.pop_back();
  const std::size_t prefix_size = prefix.size();
  bool converted = false;
  for (const ListedEntry& listed_entry : *listed) {
    // The real file name stays in the path so that an entry whose name is not valid UTF-8 can
    // still be reached; only the reported names are converted.
    const fs::path& file_name = listed_entry.name;
    const std::string name = path_text(file_name);
    converted = converted || path_to_utf8(file_name) != name;
    prefix.resize(prefix_size);
    prefix.append(file_name.native());
    judge_entry(family, PathText(prefix), name, listed_entry.kind, scan.entries, scan.warnings);
  }
  drop_name_clashes(family, scan.entries, scan.warnings, converted);

  // Sorted through their positions: an entry holds three texts, dearer to move than a number.
  // The listing order stays among equal names.
  std::vector<std::size_t> order(scan.entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return scan.entries[a].name < scan.entries[b].name;
  });
  if (!std::is_sorted(order.begin(), order.end())) {
    std::vector<CommonsEntry> sorted;
    sorted.reserve(order.size());
    for (std::size_t i : order) {
      sorted.push_back(std::move(scan.entries[i]));
    }
    scan.entries = std::move(sorted);
  }

  std::vector<WarningText> texts;
  texts.reserve(scan.warnings.size());
  for (ScanWarning& w : scan.warnings) {
    texts.push_back(WarningText{.text = to_string(w), .warning = std::move(w)});
  }
  std::stable_sort(texts.begin(), texts.end(),
                   [](const WarningText& a, const WarningText& b) { return a.text < b.text; });
  scan.warnings.clear();
  for (WarningText& t : texts) {
    scan.warnings.push_back(std::move(t.warning));
  }
  return scan;
}

}  // namespace kelvaro
