#include "config.hpp"

namespace kelvaro {

// Placeholder until the configuration file is read: nothing is set.
Result<Config> load_config(const std::filesystem::path&) { return Config{}; }

std::optional<std::string> check_mcp_agents(const Config&) { return std::nullopt; }

}  // namespace kelvaro
