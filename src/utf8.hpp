#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// UTF-8 as bytes: checking, replacing what is ill-formed, decoding and encoding code points.
// Knows nothing of paths, files or agents.
namespace kelvaro {

// The UTF-8 sequence that begins at `text[at]` (`at` < size): whether it is well-formed and
// its length in bytes. An ill-formed sequence has the length of its longest valid prefix (at
// least 1), so that stepping by it replaces each one by a single U+FFFD.
struct Utf8Sequence {
  bool valid = false;
  std::size_t length = 1;
};
Utf8Sequence utf8_sequence(std::string_view text, std::size_t at);

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// The offset of the first ill-formed sequence in `text` at or after `from`, or npos when the
// rest is well-formed UTF-8.
std::size_t first_invalid_utf8(std::string_view text, std::size_t from = 0);

// `text` with each invalid UTF-8 sequence replaced by U+FFFD.
std::string to_valid_utf8(std::string_view text);

// The number of code points in `text`, each ill-formed sequence counted as the one U+FFFD that
// replaces it: the width a terminal gives the program's own texts.
std::size_t code_point_count(std::string_view text);

// The code point encoded at `text[at]` (`at` < size) and the bytes it takes. The three-byte
// form of a surrogate decodes to the surrogate, so that text carrying a lone one keeps it.
// nullopt for anything else that is not UTF-8: a sequence cut short takes the bytes up to
// where it breaks, a complete one that is overlong or above U+10FFFF takes all its bytes.
struct Utf8CodePoint {
  std::optional<char32_t> code_point{};
  std::size_t length = 1;
};
Utf8CodePoint decode_utf8(std::string_view text, std::size_t at);

// Appends the UTF-8 form of `code_point` (at most U+10FFFF) to `out`; a surrogate gets the
// three-byte form that `is_valid_utf8` refuses.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace kelvaro
