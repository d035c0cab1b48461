// libFuzzer target: the JSON reader never crashes; what it accepts prints and reads back as the
// same value; reading one member and printing with one member replaced, without building the
// document, agree with parsing it whole.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "documents.hpp"
#include "documents_scan.hpp"
#include "fsutil.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kelvaro::is_valid_utf8(text)) {
    return 0;  // the file reader refuses such text before parsing
  }
  auto whole = kelvaro::parse_json(text);
  auto member = kelvaro::read_json_member(text, "m");
  const kelvaro::Json replacement = {{"r", 1}};
  auto streamed = kelvaro::print_json_with_member(text, "m", replacement);
  if (!whole || !whole->is_object()) {
    if (member || streamed) {
      std::abort();
    }
  } else {
    const auto held = whole->find("m");
    if (!member || member->has_value() != (held != whole->end()) ||
        (member->has_value() && (*member)->dump() != held->dump())) {
      std::abort();
    }
    kelvaro::Json edited = *whole;
    edited["m"] = replacement;
    if (streamed && *streamed != *kelvaro::dump_json(edited)) {
      std::abort();
    }
  }
  auto value = kelvaro::parse_json_object(text, "fuzz");
  if (!value) {
    return 0;
  }
  auto printed = kelvaro::dump_json(*value);
  if (!printed) {
    std::abort();
  }
  auto again = kelvaro::parse_json_object(*printed, "fuzz");
  if (!again || !kelvaro::json_equal(*value, *again)) {
    std::abort();
  }
  return 0;
}
