#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "config.hpp"
#include "context.hpp"
#include "report.hpp"

// The `doctor` command: where everything is, what the Commons holds, which agents are installed
// and how material reaches them, and what is in the way. It only reads, except for one probe
// file per agent folder that it creates and removes at once.
namespace kelvaro {

// A Commons entry that is a link out of the Commons (a Sourced entry).
struct SourcedEntry {
  std::string name;              // as the family folder holds it (with any ".md")
  std::filesystem::path source;  // the link's target, resolved against its folder, normalised
  bool missing = false;          // the target cannot be reached
  Family family = Family::skills;

  bool operator==(const SourcedEntry&) const = default;
};

// The links among the entries of the three family folders of `commons` (hidden names left
// out), sorted by family, then by name byte for byte. Folders that cannot be listed give none.
std::vector<SourcedEntry> find_sourced_entries(const std::filesystem::path& commons);

// Warns about the former-name folder `folder` when it is a folder: move its `ostrevan.toml`
// into `config_dir`, or delete it when it holds none.
void check_legacy_dir(const std::filesystem::path& folder, const std::filesystem::path& config_dir,
                      Reporter& reporter);

// Runs `doctor`. Returns 1 when an error was reported (no Commons, an agent folder that cannot
// be written), else 0.
int doctor(const RunContext& ctx, const Config& config, Reporter& reporter);

}  // namespace kelvaro
