#pragma once

#include <string>
#include <vector>

// The record every planned section of a report shares, so that `sync`, `status` and the other
// commands treat the errors of each section alike.
namespace kelvaro {

template <typename Item>
struct Section {
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

}  // namespace kelvaro
