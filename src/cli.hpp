#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "context.hpp"

namespace kelvaro {

// The version `project()` in CMakeLists.txt gives the build. Defined in cli.cpp, the one
// file the build hands the version to.
extern const std::string_view kVersion;
inline constexpr std::string_view kHomePage = "https://github.com/kelvaro/kelvaro";

// The chosen `mcp` sub-subcommand.
struct McpCommand {
  struct List {
    bool json = false;
    bool operator==(const List&) const = default;
  };
  struct Adopt {
    std::optional<std::string> spec;
    bool all = false;
    bool operator==(const Adopt&) const = default;
  };
  struct Remove {
    std::string name;
    bool operator==(const Remove&) const = default;
  };
  struct Disable {
    std::string name;
    bool operator==(const Disable&) const = default;
  };
  struct Enable {
    std::string name;
    bool operator==(const Enable&) const = default;
  };

  std::variant<List, Adopt, Remove, Disable, Enable> value;

  bool operator==(const McpCommand&) const = default;
};

// The chosen subcommand.
struct CliCommand {
  struct Sync {
    bool dry_run = false;
    bool operator==(const Sync&) const = default;
  };
  struct Init {
    bool operator==(const Init&) const = default;
  };
  struct Adopt {
    std::filesystem::path path;  // as typed
    bool dry_run = false;
    bool operator==(const Adopt&) const = default;
  };
  struct Revert {
    std::string agent;
    bool operator==(const Revert&) const = default;
  };
  struct Status {
    bool json = false;
    bool operator==(const Status&) const = default;
  };
  struct Mcp {
    McpCommand command;
    bool operator==(const Mcp&) const = default;
  };
  struct Doctor {
    bool operator==(const Doctor&) const = default;
  };

  std::variant<Sync, Init, Adopt, Revert, Status, Mcp, Doctor> value;

  bool operator==(const CliCommand&) const = default;
};

// The parsed command line; `command` is absent when no subcommand was given (run `sync`).
struct Cli {
  std::optional<CliCommand> command;

  bool operator==(const Cli&) const = default;
};

// What parsing the command line came to: `cli` is set when a command is to run (status 0,
// nothing to print); otherwise `out` (help, version: status 0) or `err` (usage error: status
// 1) holds the text to print, ending with a line break.
struct ParseOutcome {
  int status = 0;
  std::string out;
  std::string err;
  std::optional<Cli> cli;

  bool operator==(const ParseOutcome&) const = default;
};

// Parses `args` (the program's own name first) against the command-line definition. Never
// throws; help and usage texts are plain text without colour codes.
ParseOutcome parse_command_line(const std::vector<std::string>& args);

// The dispatcher: parses `args`, resolves the run context from `env`, loads and checks the
// configuration and runs one command. Start-up failures go to `err` with status 1. Returns the
// exit status (0, 1, or 2 from `status` and `mcp list`).
int run(const std::vector<std::string>& args, const EnvSnapshot& env, std::ostream& out,
        std::ostream& err);

}  // namespace kelvaro
