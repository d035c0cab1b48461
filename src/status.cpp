#include "status.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "agents.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace {

// 17 is the length of "variant-identical", so every section's labels start in one column.
constexpr std::size_t word_width = 17;

template <typename Item>
std::uint64_t count_attention(const std::vector<Item>& items) {
  return static_cast<std::uint64_t>(std::count_if(
      items.begin(), items.end(), [](const Item& item) { return needs_attention(item.state); }));
}

void print_link_groups(const SyncPlan& plan, Reporter& reporter) {
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
      if (item.state != LinkState::linked) {
        print_line(reporter, format_row(row_of(item), word_width));
      }
    }
  }
}

// The heading, then every item of the section, whatever its state.
template <typename Item, typename RowOf>
void print_section(Reporter& reporter, std::string_view heading, const std::vector<Item>& items,
                   RowOf row) {
  if (items.empty()) {
    return;
  }
  print_line(reporter, heading);
  for (const Item& item : items) {
    print_line(reporter, format_row(row(item), word_width));
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

}  // namespace

std::uint64_t attention_count(const SyncPlan& plan) {
  std::uint64_t count = 0;
  for (const LinkGroup& group : plan.link_groups) {
    count += count_attention(group.items);
  }
  return count + count_attention(plan.instructions) + count_attention(plan.mcp.items) +
         count_attention(plan.hooks.items) + count_attention(plan.renders);
}

void print_status_json(const SyncPlan& plan, std::ostream& out) {
  const std::uint64_t count = attention_count(plan);
  JsonPrinter json([&out](std::string_view piece) { write_text(out, piece); });
  json.open_object();
  member(json, "commons", path_to_utf8(plan.ctx.commons));
  items_array(json, "instructions", plan.instructions, [&](const InstructionsItem& item) {
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
  items_array(json, "rendered", plan.renders, [&](const RenderItem& item) {
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

void print_status(const SyncPlan& plan, Reporter& reporter) {
  auto row = [](const auto& item) { return row_of(item); };
  print_link_groups(plan, reporter);
  print_section(reporter, "instructions (AGENTS.md)", plan.instructions, row);
  print_section(reporter, "mcp (mcp.json)", plan.mcp.items, row);
  print_section(reporter, "hooks", plan.hooks.items,
                [](const HookItem& item) { return row_of(item, CommandForm::whole); });
  print_section(reporter, "rendered commands", plan.renders, row);
  print_line(reporter, "");
  print_line(reporter, closing_line(plan, reporter.errors > 0));
}

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
