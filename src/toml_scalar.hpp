#pragma once

// Numbers and date-times for the TOML parser: read from the text alone, without any of the
// parser's state. Internal to the TOML module.

#include <cstddef>
#include <optional>
#include <string_view>

#include "toml.hpp"

namespace kelvaro::toml::scalar {

// The integer or float that `token` is the whole text of (its `kind` and `integer` or `real`);
// nullopt when it is malformed or out of range.
std::optional<Value> read_number(std::string_view token);

// Whether a date-time, a date or a time starts at `at`: four digits and `-`, or two digits
// and `:`.
bool starts_datetime(std::string_view text, std::size_t at);

// Reads the date-time, date or time at `at` in `text` into `dt` and moves `at` past it.
// Returns what is wrong with it, or nullptr.
const char* read_datetime(std::string_view text, std::size_t& at, Datetime& dt);

}  // namespace kelvaro::toml::scalar
