#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace kelvaro {

Utf8Sequence utf8_sequence(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    return {.valid = true, .length = 1};
  }
  std::size_t need = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 == 0xE0) {
    need = 2;
    lo = 0xA0;
  } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
    need = 2;
  } else if (b0 == 0xED) {
    need = 2;
    hi = 0x9F;  // U+D800..U+DFFF are surrogates
  } else if (b0 == 0xF0) {
    need = 3;
    lo = 0x90;
  } else if (b0 >= 0xF1 && b0 <= 0xF3) {
    need = 3;
  } else if (b0 == 0xF4) {
    need = 3;
    hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {.valid = false, .length = 1};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size()) {
      return {.valid = false, .length = k};
    }
    unsigned char b = byte(i + k);
    unsigned char min = k == 1 ? lo : 0x80;
    unsigned char max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) {
      return {.valid = false, .length = k};
    }
  }
  return {.valid = true, .length = need + 1};
}

bool is_valid_utf8(std::string_view text) {
  return first_invalid_utf8(text) == std::string_view::npos;
}

std::size_t first_invalid_utf8(std::string_view text, std::size_t from) {
  for (std::size_t i = from; i < text.size();) {
    // Settings files are mostly ASCII: 32 and then eight bytes at a time while none has its
    // high bit set.
    while (i + 32 <= text.size()) {
      std::uint64_t words[4] = {};
      std::memcpy(words, text.data() + i, sizeof words);
      if (((words[0] | words[1] | words[2] | words[3]) & 0x8080808080808080ULL) != 0) {
        break;
      }
      i += 32;
    }
    while (i + 8 <= text.size()) {
      std::uint64_t word = 0;
      std::memcpy(&word, text.data() + i, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) {
        break;
      }
      i += 8;
    }
    if (i >= text.size()) {
      break;
    }
    auto [valid, length] = utf8_sequence(text, i);
    if (!valid) {
      return i;
    }
    i += length;
  }
  return std::string_view::npos;
}

std::size_t code_point_count(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); at += utf8_sequence(text, at).length) {
    ++count;
  }
  return count;
}

std::string to_valid_utf8(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto [valid, length] = utf8_sequence(text, i);
    if (valid) {
      result.append(text.substr(i, length));
    } else {
      result.append("\xEF\xBF\xBD");
    }
    i += length;
  }
  return result;
}

Utf8CodePoint decode_utf8(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    return {b0, 1};
  }
  std::size_t need = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1Fu;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0Fu;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07u;
    min = 0x10000;
  } else {
    return {std::nullopt, 1};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size() || (byte(i + k) & 0xC0) != 0x80) {
      return {std::nullopt, k};
    }
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF) {
    return {std::nullopt, need + 1};
  }
  return {cp, need + 1};
}

void append_utf8(std::string& out, char32_t cp) {
  auto byte = [&](char32_t b) { out.push_back(static_cast<char>(static_cast<unsigned char>(b))); };
  if (cp < 0x80) {
    byte(cp);
  } else if (cp < 0x800) {
    byte(0xC0 | (cp >> 6));
    byte(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    byte(0xE0 | (cp >> 12));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  } else {
    byte(0xF0 | (cp >> 18));
    byte(0x80 | ((cp >> 12) & 0x3F));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  }
}

}  // namespace kelvaro
