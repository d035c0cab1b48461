#pragma once

#include "result.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelvaro {

// The three linked kinds of Commons material, in this order.
enum class Family { skills, commands, agents };

// The word of `instructions.<agent>`.
enum class InstructionsClass { symlink, import };

// One `[custom.<name>]` agent: it takes the linked families only.
struct CustomAgent {
  std::string name;
  std::string root;
  std::map<Family, std::string> dirs;

  bool operator==(const CustomAgent&) const = default;
};

// One `[mcp.<name>]` table. `agents` absent means every agent; an empty list means none.
struct ServerSettings {
  std::optional<std::vector<std::string>> agents;
  std::map<std::string, nlohmann::ordered_json> tweaks;

  bool operator==(const ServerSettings&) const = default;
};

// The validated contents of `kelvaro.toml`; all empty when the file is missing.
struct Config {
  std::vector<std::string> disabled;
  std::vector<CustomAgent> custom;
  std::map<std::string, InstructionsClass> instructions;
  std::map<std::string, ServerSettings> mcp;

  bool operator==(const Config&) const = default;
};

}  // namespace kelvaro
