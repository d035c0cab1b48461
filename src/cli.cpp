#include "cli.hpp"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adopt.hpp"
#include "check.hpp"
#include "config.hpp"
#include "doctor.hpp"
#include "fsutil.hpp"
#include "init.hpp"
#include "mcp_cmd.hpp"
#include "report.hpp"
#include "result.hpp"
#include "revert.hpp"
#include "status.hpp"
#include "sync.hpp"
#include "utf8.hpp"

namespace kelvaro {

const std::string_view kVersion = KELVARO_VERSION;

namespace {

constexpr std::string_view kAbout =
    "One canonical .agents/ folder, fanned out to all your AI coding agents";
constexpr std::string_view kLongAbout =
    "One canonical .agents/ folder, fanned out to all your AI coding agents.\n"
    "\n"
    "Sync skills, instructions, MCP servers, commands, agents and hooks from the Commons — the "
    "canonical ~/.agents directory — to every installed agent.";
constexpr std::string_view kAdoptAbout =
    "Take a path under management; where it lives picks the mechanic";
constexpr std::string_view kAdoptLongAbout =
    "Take a path under management; where it lives picks the mechanic.\n"
    "\n"
    "Three mechanics, one verb. A real config in a Target surface is absorbed into the Commons, "
    "leaving a link behind. A path inside a git repo becomes a Sourced entry — the Commons links "
    "out to it, and the repo keeps the truth. Any other path is copied in, and the original is no "
    "longer consulted. A path already inside the Commons refuses: it is already home.";
constexpr std::string_view kJsonHelp = "Emit a machine-readable report on stdout";
constexpr std::string_view kHelpCommandAbout =
    "Print this message or the help of the given subcommand(s)";
constexpr std::size_t kWrapColumns = 100;

// Breaks each paragraph of `text` into lines of at most `kWrapColumns` code points.
std::string wrap(std::string_view text) {
  std::string result;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    std::size_t width = 0;
    bool first = true;
    std::size_t pos = 0;
    while (pos < line.size()) {
      std::size_t space = line.find(' ', pos);
      std::string_view word =
          line.substr(pos, space == std::string_view::npos ? space : space - pos);
      if (!first && width + 1 + code_point_count(word) > kWrapColumns) {
        result.push_back('\n');
        width = 0;
        first = true;
      }
      if (!first) {
        result.push_back(' ');
        ++width;
      }
      result.append(word);
      width += code_point_count(word);
      first = false;
      pos = space == std::string_view::npos ? line.size() : space + 1;
    }
    if (end == std::string_view::npos) {
      break;
    }
    result.push_back('\n');
    start = end + 1;
  }
  return result;
}

// The help layout: about (long about in `All` mode), usage, commands, arguments, options,
// footer; each section aligned on its longest entry.
class HelpFormatter : public CLI::FormatterBase {
 public:
  std::map<const CLI::App*, std::string> long_about;
  const CLI::Option* version = nullptr;

  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
    const bool long_mode = mode == CLI::AppFormatMode::All;
    auto long_it = long_about.find(app);
    const bool has_long = long_it != long_about.end();
    std::string text = wrap(long_mode && has_long ? long_it->second : app->get_description());
    text += "\n\nUsage: " + usage(app) + "\n";

    Rows commands;
    for (const CLI::App* sub : app->get_subcommands(nullptr)) {
      commands.push_back({sub->get_name(), sub->get_description()});
    }
    Rows arguments;
    Rows options;
    for (const CLI::Option* opt : app->get_options()) {
      if (opt->get_positional()) {
        arguments.push_back({positional_name(opt), opt->get_description()});
      } else if (opt->nonpositional() && !is_builtin(app, opt)) {
        options.push_back({option_name(opt), opt->get_description()});
      }
    }
    if (const CLI::Option* help = app->get_help_ptr()) {
      std::string more;
      if (has_long) {
        more = long_mode ? " (see a summary with '-h')" : " (see more with '--help')";
      }
      options.push_back({"-h, --help", help->get_description() + more});
    }
    if (version != nullptr && app->get_parent() == nullptr) {
      options.push_back({"-V, --version", version->get_description()});
    }
    text += section("Commands", commands);
    text += section("Arguments", arguments);
    text += section("Options", options);
    if (!app->get_footer().empty()) {
      text += "\n" + app->get_footer() + "\n";
    }
    return text;
  }

  // "kelvaro mcp adopt [OPTIONS] [SPEC]".
  std::string usage(const CLI::App* app) const {
    std::string text = path_of(app);
    const auto options = app->get_options();
    if (std::any_of(options.begin(), options.end(), [&](const CLI::Option* opt) {
          return opt->nonpositional() && !is_builtin(app, opt);
        })) {
      text += " [OPTIONS]";
    }
    for (const CLI::Option* opt : options) {
      if (opt->get_positional()) {
        text += " " + positional_name(opt);
      }
    }
    if (!app->get_subcommands(nullptr).empty()) {
      text += app->get_require_subcommand_min() > 0 ? " <COMMAND>" : " [COMMAND]";
    }
    return text;
  }

  static std::string path_of(const CLI::App* app) {
    std::string text = app->get_name();
    for (const CLI::App* up = app->get_parent(); up != nullptr; up = up->get_parent()) {
      text = up->get_name() + " " + text;
    }
    return text;
  }

 private:
  using Rows = std::vector<std::pair<std::string, std::string>>;

  bool is_builtin(const CLI::App* app, const CLI::Option* opt) const {
    return opt == app->get_help_ptr() || opt == app->get_help_all_ptr() || opt == version;
  }

  static std::string positional_name(const CLI::Option* opt) {
    std::string name = opt->get_name();
    std::string text = opt->get_required() ? "<" + name + ">" : "[" + name + "]";
    if (opt->get_items_expected_max() > 1) {
      text += "...";
    }
    return text;
  }

  static std::string option_name(const CLI::Option* opt) {
    std::string text = opt->get_snames().empty() ? "    " : "-" + opt->get_snames().front() + ", ";
    return text + "--" + opt->get_lnames().front();
  }

  static std::string section(std::string_view title, const Rows& rows) {
    if (rows.empty()) {
      return {};
    }
    std::size_t width = 0;
    for (const auto& row : rows) {
      width = std::max(width, code_point_count(row.first));
    }
    std::string text = fmt::format("\n{}:\n", title);
    for (const auto& [name, help] : rows) {
      text += "  " + name;
      if (!help.empty()) {
        text += std::string(width - code_point_count(name) + 2, ' ') + help;
      }
      text += "\n";
    }
    return text;
  }
};

// Where the parser stores what it matched; `CliCommand` is built from these afterwards.
struct Slots {
  bool sync_dry_run = false;
  std::string adopt_path;
  bool adopt_dry_run = false;
  std::string revert_agent;
  bool status_json = false;
  bool list_json = false;
  std::string mcp_spec;
  CLI::Option* mcp_spec_option = nullptr;
  bool mcp_all = false;
  std::string remove_name;
  std::string disable_name;
  std::string enable_name;
  std::vector<std::string> help_top;
  std::vector<std::string> help_mcp;
};

// The command a selected leaf App stands for, made from the bound values.
using CommandOf = CliCommand (*)(const Slots&);

// Every leaf App but `help` with the command it stands for, so no App can be mistaken for another
// by its name.
using CommandTable = std::vector<std::pair<const CLI::App*, CommandOf>>;

CliCommand mcp_command(McpCommand command) {
  return {CliCommand::Mcp{.command = command}};
}

struct Definition {
  std::unique_ptr<CLI::App> app;
  std::shared_ptr<HelpFormatter> formatter;
  CLI::App* mcp = nullptr;
  CommandTable commands;
};

void add_help_command(CLI::App& parent, std::vector<std::string>& names) {
  CLI::App* help = parent.add_subcommand("help", std::string(kHelpCommandAbout));
  help->add_option("COMMAND", names, "Print help for the subcommand(s)");
}

// The `mcp` group and its subcommands under `app`, each leaf entered in `commands`.
CLI::App* add_mcp_commands(CLI::App& app, Slots& slots, CommandTable& commands) {
  CLI::App* mcp = app.add_subcommand("mcp", "Manage MCP servers");
  mcp->require_subcommand(1);
  CLI::App* list =
      mcp->add_subcommand("list", "Show Commons servers and their state in every agent");
  list->add_flag("--json", slots.list_json, std::string(kJsonHelp));
  commands.emplace_back(
      list, [](const Slots& s) { return mcp_command({McpCommand::List{.json = s.list_json}}); });
  CLI::App* mcp_adopt =
      mcp->add_subcommand("adopt", "Take an agent's existing server into the Commons");
  slots.mcp_spec_option = mcp_adopt->add_option(
      "SPEC", slots.mcp_spec, "Which server, as agent/server — for example claude/serena");
  mcp_adopt->add_flag("--all", slots.mcp_all, "Adopt every server found in every agent's config");
  commands.emplace_back(mcp_adopt, [](const Slots& s) {
    std::optional<std::string> spec;
    if (s.mcp_spec_option->count() > 0) {
      spec = s.mcp_spec;
    }
    return mcp_command({McpCommand::Adopt{.spec = spec, .all = s.mcp_all}});
  });
  CLI::App* remove =
      mcp->add_subcommand("remove", "Delete a server from the Commons and from every agent");
  remove->add_option("NAME", slots.remove_name)->required();
  commands.emplace_back(remove, [](const Slots& s) {
    return mcp_command({McpCommand::Remove{.name = s.remove_name}});
  });
  CLI::App* disable =
      mcp->add_subcommand("disable", "Park a server: keep its definition, render it nowhere");
  disable->add_option("NAME", slots.disable_name)->required();
  commands.emplace_back(disable, [](const Slots& s) {
    return mcp_command({McpCommand::Disable{.name = s.disable_name}});
  });
  CLI::App* enable =
      mcp->add_subcommand("enable", "Restore a disabled server to every targeted agent");
  enable->add_option("NAME", slots.enable_name)->required();
  commands.emplace_back(enable, [](const Slots& s) {
    return mcp_command({McpCommand::Enable{.name = s.enable_name}});
  });
  add_help_command(*mcp, slots.help_mcp);
  return mcp;
}

// The whole command-line definition. The formatter, help flags, subcommand rules and option
// defaults are set before any subcommand is added, because subcommands copy them when they are
// created; the footer is set last so that only the top command shows it.
Definition cli_command(Slots& slots) {
  Definition def;
  def.formatter = std::make_shared<HelpFormatter>();
  def.app = std::make_unique<CLI::App>(std::string(kAbout), "kelvaro");
  CLI::App& app = *def.app;
  app.option_defaults()->disable_flag_override();
  app.formatter(def.formatter);
  app.set_help_flag("-h", "Print help");
  app.set_help_all_flag("--help", "Print help");
  app.require_subcommand(0, 1);
  app.allow_windows_style_options(false);
  def.formatter->version =
      app.set_version_flag("-V,--version", fmt::format("kelvaro {}", kVersion), "Print version");
  def.formatter->long_about[&app] = std::string(kLongAbout);

  CLI::App* sync = app.add_subcommand("sync", "Fan the Commons out to every installed agent");
  sync->add_flag("--dry-run", slots.sync_dry_run,
                 "Report the plan without touching the filesystem");
  def.commands.emplace_back(sync, [](const Slots& s) -> CliCommand {
    return {CliCommand::Sync{.dry_run = s.sync_dry_run}};
  });

  def.commands.emplace_back(
      app.add_subcommand("init",
                         "Create the Commons skeleton and report what this machine already has"),
      [](const Slots&) -> CliCommand { return {CliCommand::Init{}}; });

  CLI::App* adopt = app.add_subcommand("adopt", std::string(kAdoptAbout));
  def.formatter->long_about[adopt] = std::string(kAdoptLongAbout);
  adopt
      ->add_option("PATH", slots.adopt_path,
                   "A Target-surface path to absorb, a repo path to Source, or any other path to "
                   "copy in")
      ->required();
  adopt->add_flag("--dry-run", slots.adopt_dry_run,
                  "Name the mechanic and report every action without touching anything");
  def.commands.emplace_back(adopt, [](const Slots& s) -> CliCommand {
    return {CliCommand::Adopt{.path = s.adopt_path, .dry_run = s.adopt_dry_run}};
  });

  CLI::App* revert = app.add_subcommand("revert", "Remove everything kelvaro put into one target");
  revert
      ->add_option("AGENT", slots.revert_agent,
                   "The agent to strip, by the name `status` and `doctor` use")
      ->required();
  def.commands.emplace_back(revert, [](const Slots& s) -> CliCommand {
    return {CliCommand::Revert{.agent = s.revert_agent}};
  });

  CLI::App* status =
      app.add_subcommand("status", "Report what is in sync, what is not, and what is not ours");
  status->add_flag("--json", slots.status_json, std::string(kJsonHelp));
  def.commands.emplace_back(status, [](const Slots& s) -> CliCommand {
    return {CliCommand::Status{.json = s.status_json}};
  });

  def.mcp = add_mcp_commands(app, slots, def.commands);

  def.commands.emplace_back(
      app.add_subcommand(
          "doctor", "Check machine readiness: installed agents, Commons hygiene, Sourced entries"),
      [](const Slots&) -> CliCommand { return {CliCommand::Doctor{}}; });
  add_help_command(app, slots.help_top);

  app.footer(fmt::format("Home: {}", kHomePage));
  return def;
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string_view without_dashes(std::string_view word) {
  return word.substr(std::min(word.find_first_not_of('-'), word.size()));
}

// The candidate a mistyped `word` most likely meant: within two edits, or `word` (two
// characters or more) begins it.
std::optional<std::string> similar(std::string_view word, const std::vector<std::string>& names) {
  std::optional<std::string> best;
  std::size_t best_distance = 3;
  for (const std::string& name : names) {
    std::size_t distance = edit_distance(word, name);
    if (distance < best_distance) {
      best = name;
      best_distance = distance;
    }
  }
  if (best) {
    return best;
  }
  const std::string_view bare = without_dashes(word);
  for (const std::string& name : names) {
    if (bare.size() >= 2 && without_dashes(name).substr(0, bare.size()) == bare) {
      return name;
    }
  }
  return std::nullopt;
}

std::string usage_error(const Definition& def, const CLI::App* app, std::string_view message,
                        std::string_view tip = {}) {
  std::string text = fmt::format("error: {}\n", message);
  if (!tip.empty()) {
    text += fmt::format("\n  tip: {}\n", tip);
  }
  return text + fmt::format("\nUsage: {}\n\nFor more information, try '--help'.\n",
                            def.formatter->usage(app));
}

std::vector<std::string> subcommand_names(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app->get_subcommands(nullptr)) {
    names.push_back(sub->get_name());
  }
  return names;
}

std::string unrecognized_subcommand(const Definition& def, const CLI::App* app,
                                    const std::string& word) {
  std::string tip;
  if (auto name = similar(word, subcommand_names(app))) {
    tip = fmt::format("a similar subcommand exists: '{}'", *name);
  }
  return usage_error(def, app, fmt::format("unrecognized subcommand '{}'", word), tip);
}

// The error for a word that `app` did not take.
std::string unexpected_argument(const Definition& def, const CLI::App* app,
                                const std::string& word) {
  bool takes_values = false;
  std::vector<std::string> option_names;
  for (const CLI::Option* opt : app->get_options()) {
    takes_values = takes_values || opt->get_positional();
    for (const std::string& name : opt->get_lnames()) {
      option_names.push_back("--" + name);
    }
  }
  if (word.size() > 1 && word.front() == '-') {
    std::string name = word.substr(0, word.find('='));
    for (const std::string& flag : option_names) {
      if (name == flag && name != word) {
        return usage_error(
            def, app,
            fmt::format("unexpected value '{}' for '{}' found; no more were expected",
                        word.substr(name.size() + 1), name));
      }
    }
    std::string tip;
    if (auto similar_name = similar(name, option_names)) {
      tip = fmt::format("a similar argument exists: '{}'", *similar_name);
    } else if (takes_values) {
      tip = fmt::format("to pass '{}' as a value, use '-- {}'", word, word);
    }
    return usage_error(def, app, fmt::format("unexpected argument '{}' found", word), tip);
  }
  if (!app->get_subcommands(nullptr).empty() && app->get_subcommands().empty() && !takes_values) {
    return unrecognized_subcommand(def, app, word);
  }
  return usage_error(def, app, fmt::format("unexpected argument '{}' found", word));
}

// The chain of selected commands, top first.
std::vector<const CLI::App*> selection(const CLI::App& app) {
  std::vector<const CLI::App*> chain{&app};
  while (!chain.back()->get_subcommands().empty()) {
    chain.push_back(chain.back()->get_subcommands().front());
  }
  return chain;
}

// Renders a failed parse the way every usage error reads: leftovers first (the parser raises
// missing arguments before it looks at them), then missing arguments and subcommands.
std::string render_failure(const Definition& def, const CLI::ParseError& error,
                           const std::vector<std::string>& args) {
  auto chain = selection(*def.app);
  for (const CLI::App* app : chain) {
    bool after_separator = false;
    for (const std::string& word : app->remaining(false)) {
      if (word == "--") {
        after_separator = true;
      } else if (after_separator) {
        return usage_error(def, app, fmt::format("unexpected argument '{}' found", word));
      } else {
        return unexpected_argument(def, app, word);
      }
    }
  }
  const CLI::App* leaf = chain.back();
  for (const CLI::Option* opt : leaf->get_options()) {
    if (opt->get_positional() && opt->get_required() && opt->count() == 0) {
      return usage_error(def, leaf,
                         fmt::format("the following required arguments were not provided:\n  <{}>",
                                     opt->get_name()));
    }
  }
  if (leaf->get_require_subcommand_min() > 0 && leaf->get_subcommands().empty()) {
    return usage_error(def, leaf, "a subcommand is required but one was not provided");
  }
  // A flag given a value ("--dry-run=false") is refused without leaving a leftover.
  for (const std::string& word : args) {
    if (word.rfind("--", 0) == 0 && word.find('=') != std::string::npos) {
      return unexpected_argument(def, leaf, word);
    }
  }
  std::string message = error.what();
  if (!message.empty()) {
    message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
  }
  return usage_error(def, leaf, message);
}

// The parser lets `--flag=true` and `--flag=` through once flag overrides are disabled, and
// a flag takes no value at all: the usage error for the first such word before "--".
Result<void> refuse_flag_values(const Definition& def, const std::vector<const CLI::App*>& chain,
                                const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    if (word == "--") {
      return {};
    }
    const std::size_t equals = word.find('=');
    if (word.rfind("--", 0) != 0 || equals == std::string::npos) {
      continue;
    }
    const std::string name = word.substr(2, equals - 2);
    for (const CLI::App* app : chain) {
      for (const CLI::Option* opt : app->get_options()) {
        if (opt->get_expected_max() == 0 && opt->check_lname(name)) {
          return unexpected(unexpected_argument(def, app, word));
        }
      }
    }
  }
  return {};
}

ParseOutcome shown(std::string text) {
  ParseOutcome outcome;
  outcome.out = std::move(text);
  return outcome;
}

ParseOutcome failed(std::string text) {
  ParseOutcome outcome;
  outcome.status = 1;
  outcome.err = std::move(text);
  return outcome;
}

// `help NAME...`: the long help of the named command, looked up from the parent of `help`.
ParseOutcome help_command(const Definition& def, const CLI::App* parent,
                          const std::vector<std::string>& names) {
  const CLI::App* target = parent;
  for (const std::string& name : names) {
    const CLI::App* next = nullptr;
    for (const CLI::App* sub : target->get_subcommands(nullptr)) {
      if (sub->get_name() == name) {
        next = sub;
      }
    }
    if (next == nullptr) {
      return failed(unrecognized_subcommand(def, target, name));
    }
    target = next;
  }
  return shown(def.formatter->make_help(target, "", CLI::AppFormatMode::All));
}

CliCommand command_from_matches(const Definition& def, const CLI::App& leaf, const Slots& slots) {
  auto entry = std::find_if(def.commands.begin(), def.commands.end(),
                            [&](const auto& command) { return command.first == &leaf; });
  KELVARO_CHECK(entry != def.commands.end(), "every selected command is in the table");
  return entry->second(slots);
}

ParseOutcome parse_with(const Definition& def, Slots& slots, const std::vector<std::string>& args) {
  CLI::App& app = *def.app;
  std::vector<std::string> words(args.empty() ? args.begin() : args.begin() + 1, args.end());
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(std::move(reversed));
  } catch (const CLI::CallForHelp&) {
    return shown(app.help("", CLI::AppFormatMode::Normal));
  } catch (const CLI::CallForAllHelp&) {
    return shown(app.help("", CLI::AppFormatMode::All));
  } catch (const CLI::CallForVersion& e) {
    return shown(std::string(e.what()) + "\n");
  } catch (const CLI::ParseError& e) {
    if (def.mcp->parsed() && def.mcp->get_subcommands().empty() && app.remaining_size(true) == 0 &&
        dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
      return shown(def.formatter->make_help(def.mcp, "", CLI::AppFormatMode::Normal));
    }
    return failed(render_failure(def, e, words));
  }

  // After "--", a subcommand name is parsed but not selected: it was meant as a plain word.
  const std::vector<const CLI::App*> parents{&app, def.mcp};
  for (const CLI::App* parent : parents) {
    if (parent != &app && !def.mcp->parsed()) {
      continue;
    }
    if (!parent->get_subcommands().empty()) {
      continue;
    }
    for (const CLI::App* sub : parent->get_subcommands(nullptr)) {
      if (sub->parsed()) {
        return failed(usage_error(def, parent,
                                  fmt::format("unexpected argument '{}' found", sub->get_name())));
      }
    }
  }

  auto chain = selection(app);
  if (auto flags = refuse_flag_values(def, chain, words); !flags) {
    return failed(std::move(flags).error());
  }
  const CLI::App* leaf = chain.back();
  if (leaf->get_name() == "help" && leaf->get_parent() != nullptr) {
    const bool under_mcp = leaf->get_parent() == def.mcp;
    return help_command(def, leaf->get_parent(), under_mcp ? slots.help_mcp : slots.help_top);
  }
  Cli cli;
  if (chain.size() > 1) {
    cli.command = command_from_matches(def, *leaf, slots);
  }
  ParseOutcome outcome;
  outcome.cli = cli;
  return outcome;
}

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

int dispatch_mcp(const RunContext& ctx, const Config& config, Reporter& reporter,
                 const McpCommand& command) {
  return std::visit(
      Overloaded{
          [&](const McpCommand::List& c) { return mcp_list(ctx, config, reporter, c.json); },
          [&](const McpCommand::Adopt& c) {
            return mcp_adopt(ctx, config, reporter, c.spec, c.all);
          },
          [&](const McpCommand::Remove& c) { return mcp_remove(ctx, config, reporter, c.name); },
          [&](const McpCommand::Disable& c) { return mcp_disable(ctx, config, reporter, c.name); },
          [&](const McpCommand::Enable& c) { return mcp_enable(ctx, config, reporter, c.name); },
      },
      command.value);
}

// One entry per command, each calling that command with its own arguments; no subcommand is
// `sync` without a dry run.
int dispatch(const RunContext& ctx, const Config& config, Reporter& reporter, const Cli& cli) {
  const CliCommand command = cli.command.value_or(CliCommand{CliCommand::Sync{}});
  return std::visit(
      Overloaded{
          [&](const CliCommand::Sync& c) {
            return kelvaro::sync(ctx, config, reporter, c.dry_run);
          },
          [&](const CliCommand::Init&) { return kelvaro::init(ctx, config, reporter); },
          [&](const CliCommand::Adopt& c) {
            return kelvaro::adopt(ctx, config, reporter, c.path, c.dry_run);
          },
          [&](const CliCommand::Revert& c) {
            return kelvaro::revert(ctx, config, reporter, c.agent);
          },
          [&](const CliCommand::Status& c) {
            return kelvaro::status(ctx, config, reporter, c.json);
          },
          [&](const CliCommand::Mcp& c) { return dispatch_mcp(ctx, config, reporter, c.command); },
          [&](const CliCommand::Doctor&) { return kelvaro::doctor(ctx, config, reporter); },
      },
      command.value);
}

}  // namespace

ParseOutcome parse_command_line(const std::vector<std::string>& args) {
  Slots slots;
  Definition def = cli_command(slots);
  return parse_with(def, slots, args);
}

namespace {

int run_command(const std::vector<std::string>& args, const EnvSnapshot& env, std::ostream& out,
                std::ostream& err) {
  // The program's own name is not looked at, so only the arguments must be text.
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (!is_valid_utf8(args[i])) {
      write_text(err,
                 fmt::format("error: argument '{}' is not valid UTF-8\n", to_valid_utf8(args[i])));
      return 1;
    }
  }

  ParseOutcome parsed = parse_command_line(args);
  if (!parsed.cli) {
    write_text(parsed.status == 0 ? out : err, parsed.status == 0 ? parsed.out : parsed.err);
    return parsed.status;
  }

  auto ctx = resolve_context(env);
  if (!ctx) {
    write_text(err, fmt::format("error: {}\n", kHomeError));
    return 1;
  }
  auto config = load_checked_config(ctx->config_dir);
  if (!config) {
    write_text(err, fmt::format("error: {}\n", config.error()));
    return 1;
  }

  Reporter reporter{.out = &out, .err = &err};
  const int status = dispatch(*ctx, *config, reporter, *parsed.cli);
  // Whatever a command wrote is durable once it ends, not only what `sync` flushes itself.
  flush_written_folders();
  return status;
}

}  // namespace

int run(const std::vector<std::string>& args, const EnvSnapshot& env, std::ostream& out,
        std::ostream& err) {
  const int status = run_command(args, env, out, err);
  // A report that did not arrive is a failed run, whatever the command decided.
  if (const std::error_code error = finish_standard_output(out)) {
    write_text(err, fmt::format("error: cannot write standard output: {}\n", error.message()));
    return 1;
  }
  return status;
}

}  // namespace kelvaro
