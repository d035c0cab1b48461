#include "winpath.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "utf8.hpp"

namespace kelvaro {
namespace {

// A reparse buffer as FSCTL_GET_REPARSE_POINT returns it: header, (for symbolic links) a flags
// word, then the substitute name followed by the print name.
std::vector<unsigned char> reparse_buffer(std::uint32_t tag, std::u16string_view substitute,
                                          std::u16string_view print, std::uint32_t flags = 0) {
  std::vector<unsigned char> bytes;
  auto put = [&](std::uint32_t value, int width) {
    for (int k = 0; k < width; ++k) {
      bytes.push_back(static_cast<unsigned char>((value >> (8 * k)) & 0xFF));
    }
  };
  const bool symlink = tag == reparse_tag_symlink;
  const auto sub_bytes = static_cast<std::uint32_t>(substitute.size() * 2);
  const auto print_bytes = static_cast<std::uint32_t>(print.size() * 2);
  const std::uint32_t data_length = (symlink ? 12u : 8u) + sub_bytes + print_bytes;
  put(tag, 4);
  put(data_length, 2);
  put(0, 2);
  put(0, 2);
  put(sub_bytes, 2);
  put(sub_bytes, 2);
  put(print_bytes, 2);
  if (symlink) {
    put(flags, 4);
  }
  for (char16_t unit : substitute) {
    put(unit, 2);
  }
  for (char16_t unit : print) {
    put(unit, 2);
  }
  return bytes;
}

TEST(WinpathUtf16, ConvertsBothWaysAndKeepsLoneSurrogates) {
  struct Case {
    std::u16string wide;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {u"skills", "skills"},
      {u"caf\u00e9 \u2014 \u2713", "caf\xC3\xA9 \xE2\x80\x94 \xE2\x9C\x93"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, char16_t{0xD800}), "\xED\xA0\x80"},
      {u"a" + std::u16string(1, char16_t{0xDC01}) + u"b",
       "a\xED\xB0\x81"
       "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(utf16_to_utf8(c.wide), c.utf8);
    EXPECT_EQ(utf8_to_utf16(c.utf8), c.wide);
  }
  // The lone surrogate's form is refused by the check every argument and variable goes through.
  EXPECT_FALSE(is_valid_utf8(utf16_to_utf8(std::u16string(1, char16_t{0xD800}))));
  // For display the lone surrogate becomes U+FFFD; a pair still makes one character.
  EXPECT_EQ(utf16_to_valid_utf8(u"a" + std::u16string(1, char16_t{0xDC01}) + u"\U0001F600"),
            "a\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(WinpathUtf16, ReplacesInvalidUtf8) {
  const std::u16string r(1, char16_t{0xFFFD});
  EXPECT_EQ(utf8_to_utf16("a\xFF"
                          "b"),
            u"a" + r + u"b");
  EXPECT_EQ(utf8_to_utf16("\xC3"), r);
  EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), r + r);      // C0 never begins a sequence
  EXPECT_EQ(utf8_to_utf16("\xF4\x90\x80\x80"), r);  // above U+10FFFF
  EXPECT_EQ(utf8_to_utf16("\xE2\x80x"), r + u"x");
}

TEST(WinpathAbsolute, NeedsDriveOrShareAndRoot) {
  struct Case {
    std::string text;
    bool absolute;
  };
  const std::vector<Case> cases = {
      {"C:\\x", true},       {"c:/x", true},     {"C:\\", true},       {"\\\\srv\\share\\x", true},
      {"//srv/share", true}, {"C:x", false},     {"C:", false},        {"\\x", false},
      {"/x", false},         {"\\\\srv", false}, {"\\\\srv\\", false}, {"\\\\\\share", false},
      {"x\\y", false},       {"", false},        {"1:\\x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(is_absolute_windows_path(c.text), c.absolute);
  }
}

TEST(WinpathFinalPath, StripsTheLongPathPrefix) {
  EXPECT_EQ(strip_final_path_prefix(u"\\\\?\\C:\\Users\\u\\.agents"), u"C:\\Users\\u\\.agents");
  EXPECT_EQ(strip_final_path_prefix(u"\\\\?\\UNC\\srv\\share\\x"), u"\\\\srv\\share\\x");
  EXPECT_EQ(strip_final_path_prefix(u"C:\\x"), u"C:\\x");
  EXPECT_EQ(strip_final_path_prefix(u"\\\\srv\\share"), u"\\\\srv\\share");
}

TEST(WinpathReparse, OnlyNameSurrogatesAreLinks) {
  constexpr std::uint32_t reparse = windows_reparse_point_attribute;
  constexpr std::uint32_t folder = windows_directory_attribute;
  constexpr std::uint32_t dedup = 0x80000013;
  constexpr std::uint32_t cloud = 0x9000001A;

  EXPECT_TRUE(is_link_reparse_point(reparse, reparse_tag_symlink));
  EXPECT_TRUE(is_link_reparse_point(reparse | folder, reparse_tag_symlink));
  EXPECT_TRUE(is_link_reparse_point(reparse | folder, reparse_tag_mount_point));
  EXPECT_FALSE(is_link_reparse_point(reparse, dedup));
  EXPECT_FALSE(is_link_reparse_point(reparse | folder, cloud));
  // What Wine shows for a folder link made on the Unix side.
  EXPECT_FALSE(is_link_reparse_point(reparse | folder, 0));
  EXPECT_FALSE(is_link_reparse_point(folder, reparse_tag_symlink));
}

TEST(WinpathReparse, ReadsTheSubstituteNameOfLinksAndJunctions) {
  constexpr std::uint32_t relative_flag = 1;
  EXPECT_EQ(reparse_link_text(reparse_buffer(reparse_tag_symlink, u"..\\..\\.agents\\skills\\x",
                                             u"..\\..\\.agents\\skills\\x", relative_flag)),
            u"..\\..\\.agents\\skills\\x");
  EXPECT_EQ(reparse_link_text(
                reparse_buffer(reparse_tag_symlink, u"\\??\\C:\\Users\\u\\x", u"C:\\Users\\u\\x")),
            u"C:\\Users\\u\\x");
  EXPECT_EQ(reparse_link_text(reparse_buffer(reparse_tag_symlink, u"\\??\\UNC\\srv\\share\\x",
                                             u"\\\\srv\\share\\x")),
            u"\\\\srv\\share\\x");
  // Some tools leave a junction's print name empty; the substitute name is always there.
  EXPECT_EQ(reparse_link_text(reparse_buffer(reparse_tag_mount_point, u"\\??\\D:\\target", u"")),
            u"D:\\target");
}

TEST(WinpathReparse, RefusesOtherTagsAndShortBuffers) {
  EXPECT_EQ(reparse_link_text(reparse_buffer(0x80000013, u"x", u"x")), std::nullopt);
  std::vector<unsigned char> whole = reparse_buffer(reparse_tag_symlink, u"abc", u"abc");
  for (std::size_t size : {std::size_t{0}, std::size_t{7}, std::size_t{19}, whole.size() - 1}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(reparse_link_text(std::span<const unsigned char>(whole.data(), size)), std::nullopt);
  }
  // A name that claims to reach past the data.
  whole[10] = 0x40;
  EXPECT_EQ(reparse_link_text(whole), std::nullopt);
}

TEST(WinpathErrors, PrivilegeNotHeldSaysHowToGetIt) {
  std::error_code denied = link_creation_error(1314);
  EXPECT_EQ(denied.value(), 1314);
  EXPECT_EQ(denied.message(),
            "creating symlinks requires Windows Developer Mode (Settings → System → For "
            "developers) or an elevated shell");

  std::error_code other = link_creation_error(5);
  EXPECT_EQ(other, std::error_code(5, std::system_category()));
}

TEST(WinpathEnvironment, ReadsTheBlockWithoutHiddenEntries) {
  std::u16string block = u"=C:=C:\\work";
  block += u'\0';
  block += u"PATH=C:\\bin;D:\\x=y";
  block += u'\0';
  block += u"=ExitCode=00000000";
  block += u'\0';
  block += u"KELVARO_PROBE=caf\u00e9";
  block += u'\0';
  block += u"EMPTY=";
  block += u'\0';
  block += u'\0';
  block += u"AFTER=the end";  // past the empty entry: not part of the block

  using Entries = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(
      read_environment_block(block.c_str()),
      (Entries{{"PATH", "C:\\bin;D:\\x=y"}, {"KELVARO_PROBE", "caf\xC3\xA9"}, {"EMPTY", ""}}));
  EXPECT_TRUE(read_environment_block(u"").empty());
}

}  // namespace
}  // namespace kelvaro
