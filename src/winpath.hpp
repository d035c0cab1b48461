#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

// The decisions of the Windows platform half, kept free of system calls so that every build
// compiles and tests them; fsutil_windows.cpp only feeds them what the system returns.
namespace kelvaro {

// --- text ---------------------------------------------------------------------------------

// `text` (UTF-16) as UTF-8. A lone surrogate becomes its three-byte form, which
// `is_valid_utf8` refuses, so that a name Windows allows survives `utf8_to_utf16` unchanged.
std::string utf16_to_utf8(std::u16string_view text);
// `text` (UTF-16) as valid UTF-8 for showing: a lone surrogate becomes U+FFFD.
std::string utf16_to_valid_utf8(std::u16string_view text);
// `text` (UTF-8, lone surrogates in their three-byte form allowed) as UTF-16; every other
// invalid sequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// --- paths --------------------------------------------------------------------------------

// True when `text` is an absolute Windows path: a drive letter, a colon and a separator
// ("C:\x"), or a share ("\\srv\share\x"); "C:x", "\x" and "/x" are not.
bool is_absolute_windows_path(std::string_view text);

// A path from GetFinalPathNameByHandleW without its "\\?\" prefix: "\\?\C:\x" is "C:\x",
// "\\?\UNC\srv\share" is "\\srv\share"; any other text is returned unchanged.
std::u16string strip_final_path_prefix(std::u16string_view text);

// --- reparse points -----------------------------------------------------------------------

inline constexpr std::uint32_t windows_directory_attribute = 0x10;
inline constexpr std::uint32_t windows_reparse_point_attribute = 0x400;
inline constexpr std::uint32_t reparse_tag_symlink = 0xA000000C;
inline constexpr std::uint32_t reparse_tag_mount_point = 0xA0000003;

// True when a path's own `attributes` and reparse `tag` make it a link: a reparse point whose
// tag marks a name surrogate (symbolic links and junctions, not deduplicated or cloud files).
bool is_link_reparse_point(std::uint32_t attributes, std::uint32_t tag);

// The stored text of a symbolic link or junction from the bytes FSCTL_GET_REPARSE_POINT
// returned: the substitute name, without the "\??\" prefix that absolute targets and
// junctions carry ("\??\UNC\srv\share" becomes "\\srv\share"). Nullopt for another tag or a
// buffer too short for what it claims.
std::optional<std::u16string> reparse_link_text(std::span<const unsigned char> buffer);

// --- errors and the environment -------------------------------------------------------------

// The error of a failed CreateSymbolicLinkW with the system error `code`: 1314 (privilege not
// held) says how to get the privilege; every other code is the system's own.
std::error_code link_creation_error(int code);

// The entries of the Windows environment block at `block` ("NAME=value" texts, each ended by
// a NUL, the block by an empty one) as UTF-8 name and value, in block order. Entries whose
// name begins with "=" (the current folder of each drive, "=C:=C:\x") are the system's own
// and left out.
std::vector<std::pair<std::string, std::string>> read_environment_block(const char16_t* block);

}  // namespace kelvaro
