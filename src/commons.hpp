#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config.hpp"
#include "fsutil.hpp"

// Reading one family folder of the Commons: the usable entries and what is wrong with the rest.
namespace kelvaro {

// One usable entry of a Commons family.
struct CommonsEntry {
  std::string name;       // folder name, or file name without every trailing ".md"
  std::string file_name;  // the name exactly as the family folder holds it
  PathText path;          // <commons>/<family>/<file_name>, as the caller spelled commons

  // The paths compare as paths do, component by component.
  bool operator==(const CommonsEntry& other) const;
};

// A hidden entry (its name begins with ".").
struct ScanDotPrefixed {
  Family family = Family::skills;
  std::string name;

  bool operator==(const ScanDotPrefixed&) const = default;
};

// An entry of the wrong kind; `kind` is the expected kind word, "directory" or "markdown file".
struct ScanWrongKind {
  Family family = Family::skills;
  std::string name;
  std::string kind;

  bool operator==(const ScanWrongKind&) const = default;
};

// A symbolic link whose target cannot be reached.
struct ScanMissingTarget {
  Family family = Family::skills;
  std::string name;

  bool operator==(const ScanMissingTarget&) const = default;
};

// A family folder that exists but cannot be listed; `error` is the system's error text.
struct ScanUnreadable {
  std::filesystem::path path;
  std::string error;

  bool operator==(const ScanUnreadable&) const = default;
};

// An entry whose name differs from an earlier one (in byte order) only in bytes that are not
// UTF-8: both become the same text, and so the same link name. `name` is that text.
struct ScanNameClash {
  Family family = Family::skills;
  std::string name;

  bool operator==(const ScanNameClash&) const = default;
};

// One problem found by `scan_family`, in this variant order.
using ScanWarning =
    std::variant<ScanDotPrefixed, ScanWrongKind, ScanMissingTarget, ScanUnreadable, ScanNameClash>;

// The warning's only rendering, used for printing (after "warning: ") and for sorting.
std::string to_string(const ScanWarning& warning);

// The result of one scan: entries sorted by `name`, warnings sorted by their text (both by
// UTF-8 bytes, stable).
struct FamilyScan {
  std::vector<CommonsEntry> entries;
  std::vector<ScanWarning> warnings;

  bool operator==(const FamilyScan&) const = default;
};

// The name an entry of `family` goes by, from its `file_name`: a skill's folder name as it is,
// a command's or agent's file name without every trailing ".md".
std::string entry_name(Family family, std::string_view file_name);

// Whether something named `file_name` can be an entry of `family`: skills are folders, the
// other families single `.md` files. The scan and `adopt` judge with this one rule.
enum class EntryFit : std::uint8_t {
  fits,
  not_a_folder,  // skills: a file
  a_folder,      // other families: a folder
  not_markdown,  // other families: a file whose name does not end in .md
};
EntryFit entry_fit(Family family, bool is_folder, std::string_view file_name);

// Reads `<commons>/<family word>`. Never fails: a missing folder gives an empty scan, every
// other problem a warning. Reads attributes only, never contents.
FamilyScan scan_family(const std::filesystem::path& commons, Family family);

}  // namespace kelvaro
