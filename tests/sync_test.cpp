#include "sync.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kelvaro {
namespace {

LinkItem item(std::string name, LinkState state) {
  return LinkItem{.name = std::move(name), .link_path = {}, .target = {}, .state = state};
}

// A column is as wide as its least width, or as the longest word among the rows it prints:
// rows that are left out do not widen it.
TEST(WordWidth, TheLongestPrintedWordWidensTheColumn) {
  const std::vector<LinkItem> items = {item("a", LinkState::missing),
                                       item("b", LinkState::variant_identical)};
  auto all = [](const LinkItem&) { return true; };
  auto fixable = [](const LinkItem& i) { return is_actionable(i.state); };

  EXPECT_EQ(word_width(items, fixable, sync_link_width), 9U);
  EXPECT_EQ(word_width(items, all, sync_link_width), 17U);
  EXPECT_EQ(word_width(items, all, 20), 20U);
  EXPECT_EQ(word_width(std::vector<LinkItem>{}, all, 12), 12U);
}

TEST(PrintSection, TitleAndPickedRowsOrNothing) {
  std::ostringstream out;
  Reporter reporter{.out = &out, .err = nullptr, .errors = 0, .warnings = 0};
  const Section<LinkItem> section{
      .title = "links", .items = {item("a", LinkState::linked), item("b", LinkState::missing)}};
  auto row = [](const LinkItem& i) { return row_of(i); };

  EXPECT_FALSE(print_section(
      reporter, section, [](const LinkItem& i) { return i.state == LinkState::foreign; }, row, 9));
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(print_section(
      reporter, section, [](const LinkItem& i) { return i.state != LinkState::linked; }, row, 9));
  EXPECT_EQ(out.str(), "links\n  missing   b — not linked yet\n");
}

}  // namespace
}  // namespace kelvaro
