#include "status.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "agents.hpp"
#include "documents.hpp"
#include "fsutil.hpp"
#include "sync.hpp"

namespace kelvaro {

namespace {

constexpr auto every = [](const auto&) { return true; };

// One width for the whole report, so that the labels of every section start in one column: at
// least the longest link word ("variant-identical"), more when a printed word is longer.
std::size_t report_width(const SyncPlan& plan) {
  std::size_t width = to_string(LinkState::variant_identical).size();
  for (const LinkGroup& group : plan.link_groups) {
    width = word_width(group.items, not_linked, width);
  }
  width = word_width(plan.instructions.items, every, width);
  width = word_width(plan.mcp.items, every, width);
  width = word_width(plan.hooks.items, every, width);
  return word_width(plan.renders.items, every, width);
}

template <typename Item>
std::uint64_t count_attention(const std::vector<Item>& items) {
  return static_cast<std::uint64_t>(std::count_if(
      items.begin(), items.end(), [](const Item& item) { return needs_attention(item.state); }));
}

void print_link_groups(const SyncPlan& plan, Reporter& reporter, std::size_t width) {
  for (const LinkGroup& group : plan.link_groups) {
    if (group.items.empty()) {
      continue;
    }
    std::uint64_t linked = 0;
    for (const LinkItem& item : group.items) {
      linked += item.state == LinkState::linked ? 1U : 0U;
    }
    print_line(reporter, fmt::format("{} ({})  {} linked", visible_text(group.agent),
                                     visible_text(group.dir), linked));
    for (const LinkItem& item : group.items) {
      if (not_linked(item)) {
        print_line(reporter, format_row(row_of(item), width));
      }
    }
  }
}

// One member whose value is a string; names and paths can come from file names that are not
// UTF-8, which the printer replaces so that the document still prints.
void member(JsonPrinter& json, std::string_view key, std::string_view value) {
  json.key(key);
  json.string(value);
}

// One JSON entry per item: the fields `fill` prints, then the state and whether it needs
// attention.
template <typename Item, typename Fill>
void items_array(JsonPrinter& json, std::string_view key, const std::vector<Item>& items,
                 Fill fill) {
  json.key(key);
  json.open_array();
  for (const Item& item : items) {
    json.open_object();
    fill(item);
    member(json, "state", to_string(item.state));
    json.key("actionable");
    json.boolean(needs_attention(item.state));
    json.close_object();
  }
  json.close_array();
}

void targets_array(JsonPrinter& json, const SyncPlan& plan) {
  json.key("targets");
  json.open_array();
  for (const LinkGroup& group : plan.link_groups) {
    json.open_object();
    member(json, "agent", group.agent);
    member(json, "family", family_word(group.family));
    member(json, "dir", group.dir);
    items_array(json, "entries", group.items,
                [&](const LinkItem& item) { member(json, "name", item.name); });
    json.close_object();
  }
  json.close_array();
}

// The items of every section of `plan` whose state needs attention (`needs_attention`).
std::uint64_t attention_count(const SyncPlan& plan) {
  std::uint64_t count = 0;
  for (const LinkGroup& group : plan.link_groups) {
    count += count_attention(group.items);
  }
  return count + count_attention(plan.instructions.items) + count_attention(plan.mcp.items) +
         count_attention(plan.hooks.items) + count_attention(plan.renders.items);
}

// The `status --json` document of `plan`: "commons", "instructions", "mcp", "hooks",
// "rendered", "clean", "actionable", "targets", every item with its state and mark.
void print_status_json(const SyncPlan& plan, std::ostream& out) {
  const std::uint64_t count = attention_count(plan);
  JsonPrinter json([&out](std::string_view piece) { write_text(out, piece); });
  json.open_object();
  member(json, "commons", path_to_utf8(plan.ctx.commons));
  items_array(json, "instructions", plan.instructions.items, [&](const InstructionsItem& item) {
    member(json, "agent", item.agent);
    member(json, "path", path_to_utf8(item.path));
  });
  items_array(json, "mcp", plan.mcp.items, [&](const McpItem& item) {
    member(json, "agent", item.agent);
    member(json, "name", item.server);
  });
  items_array(json, "hooks", plan.hooks.items, [&](const HookItem& item) {
    member(json, "agent", item.agent);
    member(json, "event", item.event);
    member(json, "hook", item.command);
  });
  items_array(json, "rendered", plan.renders.items, [&](const RenderItem& item) {
    member(json, "agent", item.agent);
    member(json, "name", item.name);
  });
  json.key("clean");
  json.boolean(count == 0);
  json.key("actionable");
  json.number(count);
  targets_array(json, plan);
  json.close_object();
  json.finish();
  write_text(out, "\n");
}

// The last line of the text report. It sends the user to `sync` only for what `sync` changes:
// a copy identical to the Commons needs attention too, but only `adopt` re-links it. After an
// error some agent's file was not checked, so the report cannot say all is in sync.
std::string closing_line(const SyncPlan& plan, bool errors) {
  const std::uint64_t count = attention_count(plan);
  if (count == 0) {
    return errors ? "Not everything could be checked — see the errors above."
                  : "Everything is in sync.";
  }
  std::uint64_t copies = 0;
  for (const LinkGroup& group : plan.link_groups) {
    copies += static_cast<std::uint64_t>(std::count_if(
        group.items.begin(), group.items.end(),
        [](const LinkItem& item) { return item.state == LinkState::variant_identical; }));
  }
  constexpr std::string_view relink = "re-link each identical copy with `kelvaro adopt PATH`";
  if (copies == 0) {
    return fmt::format("{} items need attention — run `kelvaro sync`.", count);
  }
  if (copies == count) {
    return fmt::format("{} items need attention — {}.", count, relink);
  }
  return fmt::format("{} items need attention — run `kelvaro sync`, and {}.", count, relink);
}

// The text report: the link groups with items, then the sections that have items, then the
// closing line.
void print_status(const SyncPlan& plan, Reporter& reporter) {
  auto row = [](const auto& item) { return row_of(item); };
  const std::size_t width = report_width(plan);
  print_link_groups(plan, reporter, width);
  print_section(reporter, plan.instructions, every, row, width);
  print_section(reporter, plan.mcp, every, row, width);
  print_section(
      reporter, plan.hooks, every,
      [](const HookItem& item) { return row_of(item, CommandForm::whole); }, width);
  print_section(reporter, plan.renders, every, row, width);
  print_line(reporter, "");
  print_line(reporter, closing_line(plan, reporter.errors > 0));
}

}  // namespace

int status(const RunContext& ctx, const Config& config, Reporter& reporter, bool json) {
  if (!require_commons(ctx, reporter)) {
    return 1;
  }
  const SyncPlan plan = plan_sync(ctx, config);
  report_plan_warnings(plan, reporter);
  report_plan_errors(plan, reporter);
  if (!plan.blocking.empty()) {
    return 1;
  }

  if (json) {
    if (reporter.out != nullptr) {
      print_status_json(plan, *reporter.out);
    }
  } else {
    print_status(plan, reporter);
  }
  if (reporter.errors > 0) {
    return 1;
  }
  return attention_count(plan) > 0 ? 2 : 0;
}

}  // namespace kelvaro
