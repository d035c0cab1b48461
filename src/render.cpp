#include "render.hpp"

#include <fmt/format.h>

#include <array>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <utility>

#include "check.hpp"
#include "commons.hpp"
#include "documents.hpp"
#include "fsutil.hpp"
#include "report.hpp"
#include "toml.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// Lines split at "\n" with a "\r" right before it dropped; a final line without "\n" counts,
// the empty rest after a final "\n" does not. At most `limit` lines.
std::vector<std::string_view> split_lines(std::string_view text,
                                          std::size_t limit = std::string_view::npos) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size() && lines.size() < limit) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool is_fence(std::string_view line) {
  return trim_space(line) == "---";
}

// Authors quote front-matter values either way, and sometimes mix the two.
std::string_view strip_quotes(std::string_view value) {
  while (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
    value.remove_prefix(1);
  }
  while (!value.empty() && (value.back() == '"' || value.back() == '\'')) {
    value.remove_suffix(1);
  }
  return value;
}

// The state of the file at `path` against the `content` it should hold. A file that cannot
// be read as UTF-8 text is foreign: it may be anyone's, so it is never written over.
RenderState state_of(const fs::path& path, std::string_view content) {
  auto text = read_text_file(path);
  if (!text) {
    const std::error_code& error = text.error();
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
      return RenderState::missing;
    }
    return RenderState::foreign;
  }
  if (!is_generated(*text)) {
    return RenderState::foreign;
  }
  return *text == content ? RenderState::managed : RenderState::drifted;
}

// The file name without its last extension; a name whose only "." leads keeps it whole.
std::string file_stem(const std::string& file_name) {
  const std::size_t dot = file_name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    return file_name;
  }
  return file_name.substr(0, dot);
}

void add_once(std::vector<std::string>& errors, std::string text) {
  for (const std::string& existing : errors) {
    if (existing == text) {
      return;
    }
  }
  errors.push_back(std::move(text));
}

// Two Commons files can reduce to one name (`a.md`, `a.md.md`); both would render into the
// same generated file and undo each other on every run. The plainest spelling, which is the
// shortest, wins; the scan keeps entries of equal names together.
std::vector<CommonsEntry> distinct_names(std::vector<CommonsEntry> entries) {
  std::vector<CommonsEntry> kept;
  for (CommonsEntry& entry : entries) {
    if (!kept.empty() && kept.back().name == entry.name) {
      if (entry.file_name.size() < kept.back().file_name.size()) {
        kept.back() = std::move(entry);
      }
      continue;
    }
    kept.push_back(std::move(entry));
  }
  return kept;
}

// Leftover generated files among `listed`, the names in `dir`, whose stem names no Commons
// command.
std::vector<RenderItem> plan_orphans(const Agent& agent, const fs::path& dir,
                                     const std::vector<fs::path>& listed,
                                     const std::set<std::string>& names) {
  std::vector<RenderItem> items;
  for (const fs::path& name : listed) {
    const fs::path path = dir / name;
    const std::string file_name = path_text(name);
    if (file_name == "." || file_name == "..") {
      continue;
    }
    std::string stem = file_stem(file_name);
    if (names.contains(stem)) {
      continue;
    }
    auto text = read_text_file(path);
    if (!text || !is_generated(*text)) {
      continue;
    }
    items.push_back(RenderItem{.agent = agent.name,
                               .name = std::move(stem),
                               .path = path,
                               .content = std::nullopt,
                               .state = RenderState::orphaned});
  }
  return items;
}

// The complete generated json file: an object with "description" (when present) and "prompt",
// pretty-printed with a two-space indent, then "\n". Fails with the printer's message.
Result<std::string> render_json_command(const CommandText& command) {
  Json object = Json::object();
  if (command.description) {
    object["description"] = *command.description;
  }
  object["prompt"] = command.prompt;
  auto text = dump_json(object);
  if (!text) {
    return unexpected(text.error());
  }
  return *text + "\n";
}

}  // namespace

CommandText parse_command_text(std::string_view text) {
  const CommandText whole{.description = std::nullopt, .prompt = std::string(trim_space_end(text))};
  const std::vector<std::string_view> lines = split_lines(text);
  if (lines.empty() || !is_fence(lines[0])) {
    return whole;
  }
  std::size_t close = 1;
  while (close < lines.size() && !is_fence(lines[close])) {
    ++close;
  }
  if (close == lines.size()) {
    return whole;
  }

  CommandText command;
  for (std::size_t i = 1; i < close; ++i) {
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    if (trim_space(line.substr(0, colon)) == "description" && !command.description) {
      command.description = std::string(strip_quotes(trim_space(line.substr(colon + 1))));
    }
  }
  std::string body;
  for (std::size_t i = close + 1; i < lines.size(); ++i) {
    body.append(lines[i]);
    body.push_back('\n');
  }
  body.erase(0, body.find_first_not_of('\n'));
  command.prompt = std::string(trim_space_end(body));
  return command;
}

std::string render_toml_command(const CommandText& command) {
  toml::Document doc;
  if (command.description) {
    toml::set_value(doc.root, "description", toml::string_value(*command.description));
  }
  toml::set_value(doc.root, "prompt", toml::string_value(command.prompt));
  return fmt::format("{}\n{}", generated_marker, toml::print(doc));
}

Result<std::string> render_command(const CommandText& command, FileFormat format) {
  switch (format) {
    case FileFormat::toml:
      return render_toml_command(command);
    case FileFormat::json:
      return render_json_command(command);
  }
  KELVARO_CHECK(false, "unknown render format");
  return std::string();
}

bool is_generated(std::string_view text) {
  for (std::string_view line : split_lines(text, 3)) {
    const std::string_view trimmed = trim_space(line);
    if (trimmed == generated_marker || trimmed == former_generated_marker) {
      return true;
    }
  }
  return false;
}

std::string_view to_string(RenderState state) {
  switch (state) {
    case RenderState::managed:
      return "managed";
    case RenderState::missing:
      return "missing";
    case RenderState::drifted:
      return "drifted";
    case RenderState::orphaned:
      return "orphaned";
    case RenderState::foreign:
      return "foreign";
  }
  return "";
}

std::string_view render_note(RenderState state) {
  switch (state) {
    case RenderState::managed:
      return "";
    case RenderState::missing:
      return "not rendered yet";
    case RenderState::drifted:
      return "edited by hand — the Commons version will be restored";
    case RenderState::orphaned:
      return "no longer in the Commons — will be removed";
    case RenderState::foreign:
      return "not generated by kelvaro — left alone";
  }
  return "";
}

bool is_actionable(RenderState state) {
  return state == RenderState::missing || state == RenderState::drifted ||
         state == RenderState::orphaned;
}

bool needs_attention(RenderState state) {
  return is_actionable(state);
}

RenderPlan plan_renders(const RunContext& ctx, const std::vector<Agent>& agents,
                        const fs::path& commons) {
  return plan_renders(ctx, agents, commons, nullptr);
}

RenderPlan plan_renders(const RunContext& ctx, const std::vector<Agent>& agents,
                        const fs::path& commons, const FamilyScan* commands_scan) {
  RenderPlan plan;
  std::vector<const Agent*> renderers;
  for (const Agent& agent : agents) {
    if (agent.descriptor != nullptr &&
        agent.descriptor->commands.kind == CommandsRouteKind::render) {
      renderers.push_back(&agent);
    }
  }
  if (renderers.empty()) {
    return plan;
  }

  const FamilyScan own_scan =
      commands_scan == nullptr ? scan_family(commons, Family::commands) : FamilyScan{};
  const FamilyScan& scan = commands_scan == nullptr ? own_scan : *commands_scan;
  std::set<std::string> names;
  for (const CommonsEntry& entry : scan.entries) {
    names.insert(entry.name);
  }
  const std::vector<CommonsEntry> commands = distinct_names(scan.entries);
  // Each command file is read once, however many agents render it.
  std::vector<std::optional<Result<CommandText>>> texts(commands.size());

  for (const Agent* renderer : renderers) {
    const Agent& agent = *renderer;
    const CommandsRoute& route = agent.descriptor->commands;
    const fs::path dir = ctx.home / route.dir;
    const std::string_view extension = route.format == FileFormat::toml ? "toml" : "json";
    // A folder that is not there (or a file where it belongs) holds no generated file: every
    // command is missing without a read of its own.
    auto listed = list_folder_names(dir);
    const bool absent = !listed && (listed.error() == std::errc::no_such_file_or_directory ||
                                    listed.error() == std::errc::not_a_directory);
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const CommonsEntry& command = commands[i];
      if (!texts[i]) {
        auto text = read_text_file(command.path);
        if (text) {
          texts[i].emplace(parse_command_text(*text));
        } else {
          texts[i].emplace(unexpected(cannot_read(command.path, text.error())));
        }
      }
      const Result<CommandText>& text = *texts[i];
      if (!text) {
        add_once(plan.fatal, text.error());
        continue;
      }
      auto content = render_command(*text, route.format);
      if (!content) {
        add_once(plan.fatal,
                 fmt::format("cannot serialise a rendered command: {}", content.error()));
        continue;
      }
      fs::path path = dir / path_from_utf8(fmt::format("{}.{}", command.name, extension));
      const RenderState state = absent ? RenderState::missing : state_of(path, *content);
      plan.items.push_back(RenderItem{.agent = agent.name,
                                      .name = command.name,
                                      .path = std::move(path),
                                      .content = std::move(*content),
                                      .state = state});
    }
    if (listed) {
      for (RenderItem& orphan : plan_orphans(agent, dir, *listed, names)) {
        plan.items.push_back(std::move(orphan));
      }
    }
  }
  return plan;
}

Result<bool> apply_render_item(const RenderItem& item) {
  switch (item.state) {
    case RenderState::managed:
    case RenderState::foreign:
      return false;
    case RenderState::missing:
    case RenderState::drifted: {
      KELVARO_CHECK(item.content.has_value(), "a rendered file to write has content");
      // The write creates a missing folder itself; only a failed write asks again, to tell a
      // folder that cannot be made from a file that cannot be written.
      // A generated command holds the Commons' prompt text, no secret: others may read it.
      auto written = write_atomic(item.path, *item.content, shared_file_mode);
      if (!written) {
        if (auto created = create_parent_folders(item.path); !created) {
          return unexpected(fmt::format("cannot create {}: {}", display(item.path.parent_path()),
                                        created.error().message()));
        }
        return unexpected(cannot_write(item.path, written.error()));
      }
      return true;
    }
    case RenderState::orphaned: {
      if (auto removed = remove_entry(item.path); !removed) {
        return unexpected(
            fmt::format("cannot remove {}: {}", display(item.path), removed.error().message()));
      }
      return true;
    }
  }
  KELVARO_CHECK(false, "unknown render state");
  return false;
}

}  // namespace kelvaro
