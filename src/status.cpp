#include "status.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "agents.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace {

// 17 is the length of "variant-identical", so every section's labels start in one column.
constexpr std::size_t word_width = 17;

// Names and paths can come from file names that are not UTF-8; the document must still print.
std::string text(std::string_view value) {
  return to_valid_utf8(value);
}

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

// One JSON entry per item: the fields `fill` sets, then the state and whether it needs attention.
template <typename Item, typename Fill>
Json items_array(const std::vector<Item>& items, Fill fill) {
  Json array = Json::array();
  for (const Item& item : items) {
    Json entry = Json::object();
    fill(entry, item);
    entry["state"] = to_string(item.state);
    entry["actionable"] = needs_attention(item.state);
    array.push_back(std::move(entry));
  }
  return array;
}

Json instructions_array(const SyncPlan& plan) {
  return items_array(plan.instructions, [](Json& entry, const InstructionsItem& item) {
    entry["agent"] = text(item.agent);
    entry["path"] = text(path_to_utf8(item.path));
  });
}

Json mcp_array(const SyncPlan& plan) {
  return items_array(plan.mcp.items, [](Json& entry, const McpItem& item) {
    entry["agent"] = text(item.agent);
    entry["name"] = text(item.server);
  });
}

Json hooks_array(const SyncPlan& plan) {
  return items_array(plan.hooks.items, [](Json& entry, const HookItem& item) {
    entry["agent"] = text(item.agent);
    entry["event"] = text(item.event);
    entry["hook"] = text(item.command);
  });
}

Json renders_array(const SyncPlan& plan) {
  return items_array(plan.renders, [](Json& entry, const RenderItem& item) {
    entry["agent"] = text(item.agent);
    entry["name"] = text(item.name);
  });
}

Json targets_array(const SyncPlan& plan) {
  Json array = Json::array();
  for (const LinkGroup& group : plan.link_groups) {
    Json entries = Json::array();
    entries.get_ref<Json::array_t&>().reserve(group.items.size());
    for (const LinkItem& item : group.items) {
      // A big home has tens of thousands of entries: their members are appended in place, the
      // keys being known distinct, rather than looked up and regrown one by one.
      Json entry = Json::object();
      auto& members = entry.get_ref<Json::object_t&>();
      members.reserve(3);
      members.emplace_back("name", text(item.name));
      members.emplace_back("state", to_string(item.state));
      members.emplace_back("actionable", needs_attention(item.state));
      entries.get_ref<Json::array_t&>().push_back(std::move(entry));
    }
    Json target = Json::object();
    target["agent"] = text(group.agent);
    target["family"] = family_word(group.family);
    target["dir"] = text(group.dir);
    target["entries"] = std::move(entries);
    array.push_back(std::move(target));
  }
  return array;
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

Json status_document(const SyncPlan& plan) {
  const std::uint64_t count = attention_count(plan);
  Json document = Json::object();
  document["commons"] = text(path_to_utf8(plan.ctx.commons));
  document["instructions"] = instructions_array(plan);
  document["mcp"] = mcp_array(plan);
  document["hooks"] = hooks_array(plan);
  document["rendered"] = renders_array(plan);
  document["clean"] = count == 0;
  document["actionable"] = count;
  document["targets"] = targets_array(plan);
  return document;
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
  const std::uint64_t count = attention_count(plan);
  if (count == 0) {
    print_line(reporter, "Everything is in sync.");
  } else {
    print_line(reporter, fmt::format("{} items need attention — run `kelvaro sync`.", count));
  }
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
      print_json(*reporter.out, status_document(plan));
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
