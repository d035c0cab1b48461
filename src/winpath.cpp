#include "winpath.hpp"

#include "utf8.hpp"

namespace kelvaro {

namespace {

constexpr char16_t replacement_character = 0xFFFD;

bool is_high_surrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
    return;
  }
  cp -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

// The share form is tried first: it begins with the local prefix too.
std::u16string without_prefix(std::u16string_view text, std::u16string_view unc,
                              std::u16string_view local) {
  if (text.starts_with(unc)) {
    return u"\\\\" + std::u16string(text.substr(unc.size()));
  }
  if (text.starts_with(local)) {
    return std::u16string(text.substr(local.size()));
  }
  return std::u16string(text);
}

std::u16string without_nt_prefix(std::u16string_view text) {
  return without_prefix(text, u"\\??\\UNC\\", u"\\??\\");
}

// A lone surrogate is either kept as its three-byte form, which is not valid UTF-8 and so is
// refused where the text is checked, or replaced by U+FFFD.
std::string from_utf16(std::u16string_view text, bool replace_lone_surrogates) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      char32_t low = text[++i];
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else if (replace_lone_surrogates && (is_high_surrogate(unit) || is_low_surrogate(unit))) {
      append_utf8(out, replacement_character);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

std::uint32_t read_le(std::span<const unsigned char> bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t k = width; k > 0; --k) {
    value = (value << 8) | bytes[at + k - 1];
  }
  return value;
}

// Windows refuses links without the privilege (error 1314); the plain system text does not
// tell the user how to get it.
class DeveloperModeCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "kelvaro.symlink"; }
  std::string message(int) const override {
    return "creating symlinks requires Windows Developer Mode (Settings → System → For "
           "developers) or an elevated shell";
  }
};

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) {
  return from_utf16(text, false);
}

std::string utf16_to_valid_utf8(std::u16string_view text) {
  return from_utf16(text, true);
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto [cp, length] = decode_utf8(text, i);
    if (cp) {
      append_utf16(out, *cp);
    } else {
      out.push_back(replacement_character);
    }
    i += length;
  }
  return out;
}

bool is_absolute_windows_path(std::string_view text) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (text.size() >= 3 && letter(text[0]) && text[1] == ':' && separator(text[2])) {
    return true;
  }
  if (text.size() < 2 || !separator(text[0]) || !separator(text[1])) {
    return false;
  }
  // A share needs both its server and its share name: "\\srv" alone names nothing to open.
  std::string_view rest = text.substr(2);
  std::size_t server_end = 0;
  while (server_end < rest.size() && !separator(rest[server_end])) {
    ++server_end;
  }
  if (server_end == 0 || server_end + 1 >= rest.size()) {
    return false;
  }
  return !separator(rest[server_end + 1]);
}

std::u16string strip_final_path_prefix(std::u16string_view text) {
  return without_prefix(text, u"\\\\?\\UNC\\", u"\\\\?\\");
}

bool is_link_reparse_point(std::uint32_t attributes, std::uint32_t tag) {
  // Wine marks a folder link made on the Unix side with the reparse bit and tag 0: not a
  // Windows link, and nothing can be read from it as one.
  constexpr std::uint32_t name_surrogate_bit = 0x20000000;
  return (attributes & windows_reparse_point_attribute) != 0 && (tag & name_surrogate_bit) != 0;
}

std::optional<std::u16string> reparse_link_text(std::span<const unsigned char> buffer) {
  constexpr std::size_t header = 8;
  if (buffer.size() < header) {
    return std::nullopt;
  }
  const std::uint32_t tag = read_le(buffer, 0, 4);
  const std::size_t data_end = header + read_le(buffer, 4, 2);
  // Symbolic links carry a flags word before their names; junctions do not.
  std::size_t names_start = 0;
  if (tag == reparse_tag_symlink) {
    names_start = header + 12;
  } else if (tag == reparse_tag_mount_point) {
    names_start = header + 8;
  } else {
    return std::nullopt;
  }
  if (data_end > buffer.size() || names_start > data_end) {
    return std::nullopt;
  }
  const std::size_t offset = read_le(buffer, header, 2);
  const std::size_t length = read_le(buffer, header + 2, 2);
  if (length % 2 != 0 || names_start + offset + length > data_end) {
    return std::nullopt;
  }
  std::u16string name;
  for (std::size_t at = names_start + offset; at < names_start + offset + length; at += 2) {
    name.push_back(static_cast<char16_t>(read_le(buffer, at, 2)));
  }
  return without_nt_prefix(name);
}

std::error_code link_creation_error(int code) {
  constexpr int privilege_not_held = 1314;
  if (code == privilege_not_held) {
    static const DeveloperModeCategory category;
    return {code, category};
  }
  return {code, std::system_category()};
}

std::vector<std::pair<std::string, std::string>> read_environment_block(const char16_t* block) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const char16_t* entry = block; entry != nullptr && *entry != u'\0';) {
    std::u16string_view text(entry);
    entry += text.size() + 1;
    if (text.front() == u'=') {
      continue;
    }
    const auto eq = text.find(u'=');
    std::u16string_view name = text.substr(0, eq);
    std::u16string_view value = eq == std::u16string_view::npos ? u"" : text.substr(eq + 1);
    entries.emplace_back(utf16_to_utf8(name), utf16_to_utf8(value));
  }
  return entries;
}

}  // namespace kelvaro
