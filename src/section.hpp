#pragma once

#include <string>
#include <utility>
#include <vector>

// The record every planned section shares, so that `sync`, `status` and the other commands
// treat the errors of each section alike and print each under its own title.
namespace kelvaro {

template <typename Item>
struct Section {
  // The heading a report prints above the section's rows ("mcp (mcp.json)"); empty for a plan
  // made outside the reports.
  std::string title{};
  // The planned items, in the order the section prints them.
  std::vector<Item> items{};
  // One message per agent whose file cannot be used (that agent has no items). They are
  // reported, and the other agents go on.
  std::vector<std::string> errors{};
  // Problems of the Commons side that make the section's plan meaningless: they stop `sync`
  // before any change and `status` before any report.
  std::vector<std::string> fatal{};

  bool operator==(const Section&) const = default;
};

// Moves the fatal texts of `section` to the end of `blocking`, in their order.
template <typename Item>
void move_fatal(Section<Item>& section, std::vector<std::string>& blocking) {
  for (std::string& text : section.fatal) {
    blocking.push_back(std::move(text));
  }
  section.fatal.clear();
}

}  // namespace kelvaro
