#include "config.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <system_error>

#include "agents.hpp"
#include "documents.hpp"
#include "fsutil.hpp"
#include "report.hpp"
#include "toml.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// The item under `name` when it is a table (with a header, implicit or dotted); an inline
// table is a value, and like any other value it is not one.
const toml::Table* table_at(const toml::Table& parent, std::string_view name) {
  const toml::Entry* entry = toml::find(parent, name);
  return entry != nullptr ? toml::as_table(*entry) : nullptr;
}

const toml::Value* value_of(const toml::Entry& entry) {
  const toml::Line* line = toml::as_line(entry);
  return line != nullptr ? &line->value : nullptr;
}

const std::string* string_of(const toml::Entry* entry) {
  if (entry == nullptr) {
    return nullptr;
  }
  const toml::Value* value = value_of(*entry);
  return value != nullptr && value->kind == toml::Kind::string ? &value->str : nullptr;
}

Result<void> read_targets(const toml::Table& root, const std::string& path, Config& config) {
  const toml::Table* targets = table_at(root, "targets");
  if (targets == nullptr) {
    return {};
  }
  for (const auto& entry : targets->entries) {
    const toml::Value* value = value_of(entry);
    if (value == nullptr || value->kind != toml::Kind::boolean) {
      return unexpected(fmt::format("{}: targets.{} must be true or false", path, entry.key.name));
    }
    if (!value->boolean) {
      config.disabled.push_back(entry.key.name);
    }
  }
  return {};
}

Result<void> read_custom(const toml::Table& root, const std::string& path, Config& config) {
  const toml::Table* custom = table_at(root, "custom");
  if (custom == nullptr) {
    return {};
  }
  for (const auto& entry : custom->entries) {
    const std::string& name = entry.key.name;
    const toml::Table* table = toml::as_table(entry);
    if (table == nullptr) {
      return unexpected(fmt::format("{}: custom.{} must be a table", path, name));
    }
    const std::string* root_dir = string_of(toml::find(*table, "root"));
    if (root_dir == nullptr) {
      return unexpected(fmt::format("{}: custom.{} needs a `root`", path, name));
    }
    CustomAgent agent{.name = name, .root = *root_dir, .dirs = {}};
    for (Family family : all_families) {
      if (const std::string* dir = string_of(toml::find(*table, family_word(family)))) {
        agent.dirs[family] = *dir;
      }
    }
    if (!agent.dirs.contains(Family::agents)) {
      if (const std::string* dir = string_of(toml::find(*table, "subagents"))) {
        agent.dirs[Family::agents] = *dir;
      }
    }
    config.custom.push_back(std::move(agent));
  }
  return {};
}

// The class that `entry` asks for `agent`, or the detail of why it cannot have it.
Result<InstructionsClass> instructions_choice(const std::string& agent, const toml::Entry& entry,
                                              const Config& config) {
  const AgentDescriptor* descriptor = builtin_agent(agent);
  if (descriptor == nullptr) {
    bool is_custom = std::any_of(config.custom.begin(), config.custom.end(),
                                 [&](const CustomAgent& custom) { return custom.name == agent; });
    if (is_custom) {
      return unexpected(
          fmt::format("{} is defined in this file and takes fan-out families only", agent));
    }
    return unexpected(fmt::format("{} names no agent kelvaro knows about", agent));
  }

  const std::string* word = string_of(&entry);
  if (word == nullptr || (*word != "symlink" && *word != "import")) {
    return unexpected(std::string("must be \"symlink\" or \"import\""));
  }
  const InstructionsClass wanted =
      *word == "symlink" ? InstructionsClass::symlink : InstructionsClass::import;

  if (descriptor->instructions.empty()) {
    return unexpected(fmt::format("{} takes no instructions from kelvaro", agent));
  }
  std::vector<std::string_view> offered;
  for (const auto& route : descriptor->instructions) {
    InstructionsClass cls = instructions_class(route.kind);
    if (cls == wanted) {
      return cls;
    }
    offered.push_back(to_string(cls));
  }
  return unexpected(fmt::format("{} has no {} route kelvaro can use, only \"{}\" (ADR-0008)", agent,
                                *word, fmt::join(offered, "\" or \"")));
}

Result<void> read_instructions(const toml::Table& root, const std::string& path, Config& config) {
  const toml::Entry* entry = toml::find(root, "instructions");
  if (entry == nullptr) {
    return {};
  }
  const toml::Table* instructions = toml::as_table(*entry);
  if (instructions == nullptr) {
    return unexpected(fmt::format("{}: `instructions` must be a table of agents", path));
  }
  for (const auto& choice : instructions->entries) {
    const std::string& agent = choice.key.name;
    auto cls = instructions_choice(agent, choice, config);
    if (!cls) {
      return unexpected(fmt::format("{}: instructions.{}: {}", path, agent, cls.error()));
    }
    config.instructions[agent] = *cls;
  }
  return {};
}

Result<ServerSettings> read_server(const toml::Table& table, const std::string& path,
                                   const std::string& server) {
  ServerSettings settings;
  for (const auto& entry : table.entries) {
    const std::string& key = entry.key.name;
    if (key == "agents") {
      const toml::Value* value = value_of(entry);
      if (value == nullptr || value->kind != toml::Kind::array) {
        return unexpected(
            fmt::format("{}: mcp.{}.agents must be a list of agent names", path, server));
      }
      std::vector<std::string> agents;
      for (const auto& item : value->items) {
        if (item.kind != toml::Kind::string) {
          return unexpected(fmt::format("{}: mcp.{}.agents must hold agent names", path, server));
        }
        agents.push_back(item.str);
      }
      settings.agents = std::move(agents);
    } else if (key == "tweaks") {
      const toml::Table* tweaks = toml::as_table(entry);
      if (tweaks == nullptr) {
        return unexpected(fmt::format("{}: mcp.{}.tweaks must be a table of agents", path, server));
      }
      for (const auto& tweak : tweaks->entries) {
        const toml::Table* keys = toml::as_table(tweak);
        if (keys == nullptr) {
          return unexpected(
              fmt::format("{}: mcp.{}.tweaks.{} must be a table", path, server, tweak.key.name));
        }
        settings.tweaks[tweak.key.name] = toml_item_to_json(tweak);
      }
    } else {
      return unexpected(fmt::format(
          "{}: mcp.{}.{} is not a setting — expected `agents` or `tweaks`", path, server, key));
    }
  }
  return settings;
}

Result<void> read_mcp(const toml::Table& root, const std::string& path, Config& config) {
  const toml::Entry* entry = toml::find(root, "mcp");
  if (entry == nullptr) {
    return {};
  }
  const toml::Table* mcp = toml::as_table(*entry);
  if (mcp == nullptr) {
    return unexpected(
        fmt::format("{}: `mcp` must be a table of servers written as [mcp.<name>]", path));
  }
  for (const auto& server : mcp->entries) {
    const std::string& name = server.key.name;
    const toml::Table* table = toml::as_table(server);
    if (table == nullptr) {
      return unexpected(fmt::format("{}: mcp.{} must be a table", path, name));
    }
    auto settings = read_server(*table, path, name);
    if (!settings) {
      return unexpected(settings.error());
    }
    config.mcp[name] = std::move(*settings);
  }
  return {};
}

std::string not_a_builtin(const std::string& server, const std::string& agent) {
  return fmt::format("mcp.{} names `{}`, which is not an agent kelvaro knows about", server, agent);
}

}  // namespace

std::string_view to_string(InstructionsClass cls) {
  switch (cls) {
    case InstructionsClass::symlink:
      return "symlink";
    case InstructionsClass::import:
      return "import";
  }
  return "";
}

Result<Config> load_config(const fs::path& config_dir) {
  const fs::path file = config_dir / "kelvaro.toml";
  const std::string path = display(file);

  auto loaded = read_toml_file(file, TomlFileUse::read);
  if (!loaded) {
    const TomlFileError& error = loaded.error();
    if (!error.invalid.empty()) {
      return unexpected(fmt::format("{} is not valid TOML ({})", path, error.invalid));
    }
    if (error.read == std::errc::no_such_file_or_directory) {
      return Config{};
    }
    return unexpected(cannot_read(file, error.read));
  }

  Config config;
  const toml::Table& root = loaded->doc.root;
  // `instructions` comes after `custom`, so that an entry for a custom agent gets its own
  // message.
  for (auto section : {read_targets, read_custom, read_instructions, read_mcp}) {
    auto read = section(root, path, config);
    if (!read) {
      return unexpected(read.error());
    }
  }
  return config;
}

Result<void> check_mcp_agents(const Config& config) {
  for (const auto& [server, settings] : config.mcp) {
    if (settings.agents) {
      for (const auto& agent : *settings.agents) {
        if (builtin_agent(agent) == nullptr) {
          return unexpected(not_a_builtin(server, agent));
        }
      }
    }
    for (const std::string& agent : settings.tweaks.names()) {
      if (builtin_agent(agent) == nullptr) {
        return unexpected(not_a_builtin(server, agent));
      }
    }
  }
  return {};
}

Result<Config> load_checked_config(const std::filesystem::path& config_dir) {
  auto config = load_config(config_dir);
  if (!config) {
    return config;
  }
  if (auto checked = check_mcp_agents(*config); !checked) {
    return unexpected(std::move(checked).error());
  }
  return config;
}

}  // namespace kelvaro
