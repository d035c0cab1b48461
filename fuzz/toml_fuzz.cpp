// libFuzzer target: every input either parses and prints back byte for byte (less a leading
// byte-order mark), or fails at an offset inside the input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "toml.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto doc = kelvaro::toml::parse(text);
  if (!doc) {
    if (doc.error().offset > size) {
      std::abort();
    }
    return 0;
  }
  std::string_view body = text;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") {
    body.remove_prefix(3);
  }
  const std::string printed = kelvaro::toml::print(*doc);
  if (printed != body) {
    std::abort();
  }
  if (!kelvaro::toml::parse(kelvaro::toml::with_crlf(printed))) {
    std::abort();
  }
  return 0;
}
