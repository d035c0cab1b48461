// libFuzzer target: the JSON reader never crashes; what it accepts prints and reads back as the
// same value.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "documents.hpp"
#include "fsutil.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!kelvaro::is_valid_utf8(text)) {
    return 0;  // the file reader refuses such text before parsing
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
