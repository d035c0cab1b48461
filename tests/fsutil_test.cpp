#include "fsutil.hpp"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

TEST(Display, ReplacesInvalidUtf8AndShowsSeparatorsAsThePathHoldsThem) {
  const std::string fffd = "\xEF\xBF\xBD";
  // Separators are shown as the path holds them: on Windows a joined name follows "\\" while
  // the "/" written into the first piece stays.
  const std::string sep(1, static_cast<char>(fs::path::preferred_separator));
  EXPECT_EQ(display(fs::path("dir/sub") / not_unicode_name("na", "me")),
            "dir/sub" + sep + "na" + fffd + "me");
}

TEST(VisibleText, EscapesC0DelAndC1AndNothingElse) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"plain caf\xC3\xA9 \xE2\x80\x94", "plain caf\xC3\xA9 \xE2\x80\x94"},
      {"x\x1b[2J", "x\\x1b[2J"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"tab\there\nnext\x7F", "tab\\x09here\\x0anext\\x7f"},
      {"csi\xC2\x9B"
       "1m nel\xC2\x85",
       "csi\\u009b1m nel\\u0085"},
      {"nbsp\xC2\xA0", "nbsp\xC2\xA0"},  // U+00A0 is printable
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(visible_text(c.text), c.shown);
  }
  EXPECT_EQ(display(fs::path("dir/x\x1b]0;t\x07")), "dir/x\\x1b]0;t\\x07");
}

TEST(TrimSpace, TakesEveryUnicodeWhiteSpaceAndStopsAtOtherBytes) {
  struct Case {
    std::string text, both, end, start;
  };
  const std::vector<Case> cases = {
      {"", "", "", ""},
      {" \t a b \r\n", "a b", " \t a b", "a b \r\n"},
      {"\xC2\xA0x\xE3\x80\x80", "x", "\xC2\xA0x", "x\xE3\x80\x80"},
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx", "\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // zero width: no
      {"\xA0 x \xC2", "\xA0 x \xC2", "\xA0 x \xC2", "\xA0 x \xC2"},          // not UTF-8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(trim_space(c.text), c.both);
    EXPECT_EQ(trim_space_end(c.text), c.end);
    EXPECT_EQ(trim_space_start(c.text), c.start);
  }
}

TEST(NormalizePath, FollowsTheLexicalRule) {
  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {"a/./b/../c", "a/c"},
      {"../../x", "../../x"},
      {"/../x", "/x"},
      {"a/..", ""},
      {".", ""},
      {"", ""},
      {"a/../../b", "../b"},
      {"/home/u/.claude/../.agents/skills/", "/home/u/.agents/skills"},
      {"/a/b/../../..", "/"},
      {"a//b", "a/b"},
      {"../a/../..", "../.."},
      {"/", "/"},
      {"./a", "a"},
      {"a/b/./", "a/b"},
      {"/..", "/"},
      {"..", ".."},
      {"a/../b/../c/./d/..", "c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(normalize_path(c.path), fs::path(c.expected));
  }
}

TEST(NormalizePath, TextIsTheKeptComponentsJoinedAsThePathJoinsThem) {
  EXPECT_EQ(normalize_path("a/./b/../c/").native(), (fs::path("a") / "c").native());
  EXPECT_EQ(normalize_path("/x/y/..").native(), (fs::path("/") / "x").native());
  EXPECT_EQ(normalize_path("/x/./").native(), fs::path("/x").native());
  EXPECT_EQ(normalize_path("/a/b/../../..").native(), fs::path("/").native());

  // A deep path keeps every component in order: 4,000 folders, every other one undone.
  std::string deep;
  fs::path expected;
  for (int i = 0; i < 4000; ++i) {
    deep += "d" + std::to_string(i) + (i % 2 == 1 ? "/../" : "/");
    if (i % 2 == 0) {
      expected /= "d" + std::to_string(i);
    }
  }
  EXPECT_EQ(normalize_path(deep).native(), expected.native());
}

TEST(ResolveLinkTarget, RelativeTargetsStartAtTheLinkFolder) {
  struct Case {
    std::string link;
    std::string target;
    std::string expected;
  };
  const Case cases[] = {
      {"/home/u/.claude/skills/x", "../../.agents/skills/x", "/home/u/.agents/skills/x"},
      {"/home/u/.claude/skills/x", "/home/u/./.agents/skills/x", "/home/u/.agents/skills/x"},
      {"link", "target", "target"},
      {"a/link", "../../t", "../t"},
      {"/l", "../../t", "/t"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link + " -> " + c.target);
    EXPECT_EQ(resolve_link_target(c.link, c.target), fs::path(c.expected));
  }
}

// No ".name.kelvaro-pid" file may stay behind in `dir`.
void expect_no_temp_files(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename().string().find(".kelvaro-"), std::string::npos)
        << entry.path().string();
  }
}

struct PathCase {
  fs::path from;
  fs::path to;
  fs::path expected;
};

TEST(LexicalPaths, RelativePathIsLexical) {
  const std::vector<PathCase> cases = {
      {"/home/u/.claude/skills", "/home/u/.agents/skills/x", "../../.agents/skills/x"},
      {"/home/u/.claude/skills", "/home/u/.claude/skills", "."},
      {"/home/u/.claude/skills/", "/home/u/.claude/skills", "."},
      {"/a/./b/../c", "/a/c/x", "x"},
      {"/", "/x/y", "x/y"},
      {"/a/b", "/", "../.."},
      {"/a/bc", "/a/b/x", "../b/x"},
      {"rel/dir", "/abs/./x", "/abs/x"},
      {"/abs/dir", "rel/../x", "x"},
      {"a/b", "a/c/d", "../c/d"},
      {"../up", "x", "../../x"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.from.string() + " -> " + c.to.string());
    // A path beginning with "/" is absolute only on POSIX; Windows needs a drive as well.
    auto here = [](const fs::path& p) {
      return p.string().starts_with("/") ? fs::path(absolute_text(p.string())) : p;
    };
    EXPECT_EQ(relative_path(here(c.from), here(c.to)), here(c.expected));
  }
}

TEST(LexicalPaths, LiesWithinComparesWholeComponents) {
  struct Case {
    fs::path path;
    fs::path dir;
    bool within;
  };
  fs::path cwd = fs::current_path();
  const std::vector<Case> cases = {
      {"/h/.agents", "/h/.agents", true},
      {"/h/.agents/skills/x", "/h/.agents/", true},
      {"/h/.agents2/skills/x", "/h/.agents", false},
      {"/h/.agents/../x", "/h/.agents", false},
      {"/h", "/h/.agents", false},
      {cwd / "rel/.agents/x", "rel/.agents", true},
      {"rel/.agents/x", cwd / "rel/./.agents", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string() + " in " + c.dir.string());
    EXPECT_EQ(lies_within(c.path, c.dir), c.within);
  }
}

TEST(ReachedPath, ADotDotStepsOutOfTheFolderTheSystemReaches) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows removes \"..\" by text before it follows a link";
#endif
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  const fs::path r = home.root();
  home.make_dir(r / "real/home/sub");
  home.make_dir(r / "home");
  home.make_link(r / "link", "real/home", true);
  home.make_link(r / "real/home/up", "..", true);
  struct Case {
    fs::path path;
    fs::path reached;
  };
  const std::vector<Case> cases = {
      {r / "link/../home", r / "real/home"},
      {r / "link/./sub/../../home/", r / "real/home"},
      // Links that no ".." follows, and a ".." that leads where the text says, keep the text.
      {r / "link/sub", r / "link/sub"},
      {r / "link/sub/../sub", r / "link/sub"},
      {r / "real/home/sub/..", r / "real/home"},
      {r / "link/up/..", r},
      // Out of a folder that cannot be reached the system cannot step either.
      {r / "missing/../home", r / "missing/../home"},
      {"/..", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    EXPECT_EQ(reached_path(c.path), c.reached);
  }
  EXPECT_EQ(reached_path("rel/./x"), fs::current_path() / "rel/x");
}

TEST(WriteAtomic, CreatesMissingFoldersAndReturnsThePathAsPassed) {
  TempHome home;
  const fs::path path = home.path("a/b/c/settings.json");

  auto written = write_atomic(path, "{}\n");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(*written, (WriteOutcome{.path = path, .mode = std::nullopt}));
  EXPECT_EQ(home.read(path), "{}\n");
  expect_no_temp_files(path.parent_path());
}

TEST(WriteAtomic, EachFolderIsRecordedOnceForOneFlushAfterItsLastRename) {
  TempHome home;
  flush_written_folders();

  ASSERT_TRUE(write_atomic(home.path("a/one.json"), "1"));
  ASSERT_TRUE(write_atomic(home.path("b/two.json"), "2"));
  ASSERT_TRUE(write_atomic(home.path("a/three.json"), "3"));
  ASSERT_TRUE(write_atomic(home.path("a/one.json"), "4"));
  EXPECT_FALSE(write_atomic(home.path("a"), "a folder is not replaced"));

  EXPECT_EQ(folders_to_flush(), (std::vector<fs::path>{home.path("a"), home.path("b")}));
  flush_written_folders();
  EXPECT_TRUE(folders_to_flush().empty());
  EXPECT_EQ(home.read("a/one.json"), "4");
  EXPECT_EQ(home.read("a/three.json"), "3");
}

TEST(WriteAtomic, ReplacesContentWholeAndKeepsPermissionBits) {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    GTEST_SKIP() << "Windows files have no POSIX permission bits (see "
                    "WriteAtomic.WindowsReplacementIsAPlainWritableFile)";
  }
  TempHome home;
  const fs::path path = home.write("config.toml", "a much longer old content\n");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);

  auto written = write_atomic(path, "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(home.read(path), "new");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);
}

#ifndef _WIN32
// Sets the process's umask for one test and puts the old one back.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

// The bits of a temporary file of kelvaro's in `dir`, while one is there.
std::optional<std::uint32_t> temporary_file_bits(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().find(".kelvaro-") != std::string::npos) {
      return permission_bits(entry.path());
    }
  }
  return std::nullopt;
}

TEST(WriteAtomic, TheTemporaryFileHasTheFinalBitsWhileItIsWritten) {
  const ScopedUmask mask(022);
  TempHome home;
  fs::permissions(home.write("private.json", "old"), fs::perms(0600));
  fs::permissions(home.write("group.toml", "old"), fs::perms(0664));
  struct Case {
    const char* name;
    std::optional<std::uint32_t> new_file_mode;
    std::uint32_t bits;
  };
  const std::vector<Case> cases = {
      {"private.json", std::nullopt, 0600},
      {"group.toml", std::nullopt, 0664},  // kept exactly, though the umask would narrow it
      {"new.json", std::nullopt, 0600},    // a new file is its owner's unless said otherwise
      {"commands.toml", shared_file_mode, 0644},
      {"given.json", 0640, 0640},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::uint32_t> seen;
    auto written = write_atomic_from(
        home.path(c.name),
        [&](const std::function<bool(std::string_view)>& put) {
          seen = temporary_file_bits(home.home());
          return put("{\"token\": \"ghp_REAL\"}");
        },
        c.new_file_mode);

    ASSERT_TRUE(written) << written.error().message();
    EXPECT_EQ(seen, c.bits);
    EXPECT_EQ(permission_bits(home.path(c.name)), c.bits);
  }
}

#ifdef __linux__
// Bits narrowed after the creation leave a moment the mid-write look cannot see: another user
// who opens the file then keeps reading what is written after. No change of attributes at all
// reaches a temporary file whose final bits the umask leaves whole, so it was created with them.
TEST(WriteAtomic, TheTemporaryFileIsCreatedWithItsBitsNotNarrowedAfter) {
  const ScopedUmask mask(022);
  TempHome home;
  const fs::path replaced = home.write("settings.json", "old");
  fs::permissions(replaced, fs::perms(0600));
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, home.home().c_str(), IN_ATTRIB | IN_CREATE), 0);

  ASSERT_TRUE(write_atomic(replaced, "{\"token\": \"ghp_REAL\"}"));
  ASSERT_TRUE(write_atomic(home.path("opencode.json"), "{\"token\": \"ghp_REAL\"}"));

  std::vector<std::string> created;
  std::vector<std::string> changed;
  alignas(inotify_event) char buffer[8192];
  ssize_t got = 0;
  while ((got = ::read(watch, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const std::string name = event->len > 0 ? event->name : "";
      if (name.find(".kelvaro-") != std::string::npos) {
        ((event->mask & IN_CREATE) != 0 ? created : changed).push_back(name);
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  EXPECT_EQ(created.size(), 2u);
  EXPECT_EQ(changed, std::vector<std::string>{});
  EXPECT_EQ(permission_bits(replaced), 0600u);
  EXPECT_EQ(permission_bits(home.path("opencode.json")), 0600u);
}
#endif
#endif

#ifndef _WIN32
TEST(WriteAtomic, ReplacedFileKeepsItsOwnerAndGroup) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a file to another user";
  }
  TempHome home;
  const fs::path path = home.write(".claude/settings.json", "{}");
  ASSERT_EQ(::chown(path.c_str(), 4321, 4322), 0);

  ASSERT_TRUE(write_atomic(path, "{\"hooks\": {}}"));

  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
}
#endif

#ifdef _WIN32
TEST(WriteAtomic, WindowsReplacementIsAPlainWritableFile) {
  TempHome home;
  const fs::path path = home.write("config.toml", "old");

  auto first = write_atomic(path, "new");
  auto second = write_atomic(path, "newer");

  // No bits to carry over: the new file takes its folder's access list, and nothing makes it
  // read-only, so the next replacement succeeds as well.
  ASSERT_TRUE(first) << first.error().message();
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(home.read(path), "newer");
  EXPECT_NE(fs::status(path).permissions() & fs::perms::owner_write, fs::perms::none);
}
#endif

TEST(WriteAtomic, EmptyContentGivesAnEmptyFile) {
  TempHome home;
  const fs::path path = home.write("f", "old");

  ASSERT_TRUE(write_atomic(path, ""));

  EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(WriteAtomic, WritesThroughALinkToItsTarget) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  const fs::path target = home.write("dotfiles/settings.json", "old");
  const fs::path link = home.make_link(".claude/settings.json", "../dotfiles/settings.json");

  auto written = write_atomic(link, "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(written->path, fs::canonical(target));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_EQ(fs::read_symlink(link), fs::path("../dotfiles/settings.json"));
  EXPECT_EQ(home.read(target), "new");
}

TEST(WriteAtomic, DanglingRelativeLinkTargetIsCreated) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  const fs::path link = home.make_link(".codex/config.toml", "../store/codex/config.toml");

  auto written = write_atomic(link, "model = 1\n");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(written->path, home.path("store/codex/config.toml"));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_EQ(home.read(link), "model = 1\n");
}

TEST(WriteAtomic, FolderAtTheDestinationFailsAndLeavesNoTemporaryFile) {
  TempHome home;
  const fs::path dir = home.make_dir("out/target");
  home.write("out/target/inside", "kept");

  auto written = write_atomic(dir, "x");

  ASSERT_FALSE(written);
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(home.read("out/target/inside"), "kept");
  expect_no_temp_files(home.path("out"));
}

TEST(LeftoverProcess, ReadsTheIdOfKelvarosNamesForThatFileOnly) {
  struct Case {
    std::string entry;
    std::optional<std::uint64_t> pid;
  };
  const std::vector<Case> cases = {
      {".opencode.json.kelvaro-4242", 4242},
      {".kelvaro-17", 17},  // the short name of a name near the length limit
      {".other.json.kelvaro-4242", std::nullopt},
      {".opencode.json.kelvaro-", std::nullopt},
      {".opencode.json.kelvaro-42x", std::nullopt},
      {".opencode.json.kelvaro--1", std::nullopt},
      {".opencode.json.kelvaro-99999999999999999999999", std::nullopt},
      {"opencode.json.kelvaro-4242", std::nullopt},
      {".kelvaro-probe-4242", std::nullopt},  // doctor's probe, removed by doctor itself
      {".opencode.json.kelvaro-1.kelvaro-2", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(leftover_process(c.entry, "opencode.json"), c.pid) << c.entry;
  }
  EXPECT_EQ(leftover_process(".a.kelvaro-1.kelvaro-2", "a.kelvaro-1"), 2u);
}

TEST(ProcessRunning, TellsThisProcessFromOneThatEnded) {
  EXPECT_TRUE(process_running(process_id()));
  EXPECT_FALSE(process_running(ended_process_id()));
}

// A dead run's temporary file beside the destination goes, whether its id is unused now or is
// this run's own (a pid namespace gives every container's first process the same id); those
// of a running process, of other files and of other kinds stay.
TEST(WriteAtomic, RemovesDeadRunsTemporaryFilesOfTheFileItWrites) {
  TempHome home;
  const fs::path path = home.write("opencode.json", "old");
  const std::string own = std::to_string(process_id());
  const std::string ended = std::to_string(ended_process_id());
  const fs::path same_id = home.write(".opencode.json.kelvaro-" + own, "left by a dead run");
  const fs::path dead = home.write(".opencode.json.kelvaro-" + ended, "a full-size copy");
  const fs::path dead_short = home.write(".kelvaro-" + ended, "a long name's copy");
  const std::vector<fs::path> kept = {
      home.write(".other.json.kelvaro-" + ended, "another file's, gone with its next write"),
      home.write(".kelvaro-probe-" + ended, "doctor's"),
#ifndef _WIN32
      home.write(".opencode.json.kelvaro-" + std::to_string(::getppid()), "a running writer's"),
#endif
  };

  auto written = write_atomic(path, "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(home.read(path), "new");
  EXPECT_FALSE(exists_here(same_id));
  EXPECT_FALSE(exists_here(dead));
  EXPECT_FALSE(exists_here(dead_short));
  for (const fs::path& entry : kept) {
    EXPECT_TRUE(exists_here(entry)) << display(entry);
  }
}

TEST(RemoveDeadLeftovers, RemovesAWholeFolderAndLeavesTheEntryItself) {
  TempHome home;
  home.write(".agents/skills/foo/SKILL.md", "the entry");
  const fs::path half_copy =
      home.path(".agents/skills/.foo.kelvaro-" + std::to_string(ended_process_id()));
  home.write(half_copy / "a/b", "x");

  remove_dead_leftovers(home.path(".agents/skills/foo"));

  EXPECT_FALSE(exists_here(half_copy));
  EXPECT_EQ(home.read(".agents/skills/foo/SKILL.md"), "the entry");
}

TEST(WriteAtomic, NameNearTheLengthLimitGetsAShorterTemporaryName) {
#ifdef _WIN32
  GTEST_SKIP() << "a name near 255 characters makes the full path longer than MAX_PATH (260), "
                  "which Windows refuses without long-path support";
#endif
  TempHome home;
  const fs::path path = home.write(std::string(240, 'c') + ".toml", "old");

  auto written = write_atomic(path, "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(home.read(path), "new");
  expect_no_temp_files(home.home());
}

TEST(WriteAtomic, BareFileNameIsWrittenInTheCurrentFolder) {
  TempHome home;
  const fs::path before = fs::current_path();
  fs::current_path(home.home());

  auto written = write_atomic("bare.txt", "text");

  fs::current_path(before);
  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(written->path, fs::path("bare.txt"));
  EXPECT_EQ(home.read("bare.txt"), "text");
  expect_no_temp_files(home.home());
}

TEST(WriteAtomic, FolderThatCannotBeCreatedIsAnError) {
  TempHome home;
  home.write("blocker", "a file where a folder should be");

  auto written = write_atomic(home.path("blocker/sub/file"), "x");

  ASSERT_FALSE(written);
  EXPECT_EQ(home.read("blocker"), "a file where a folder should be");
}

TEST(ReadFile, ReturnsTheBytesOrTheSystemError) {
  TempHome home;
  const std::string bytes("a\0b\r\n\xFF", 6);
  home.write("data", bytes);
  home.make_dir("folder");

  auto data = read_file(home.path("data"));
  auto missing = read_file(home.path("missing"));
  auto folder = read_file(home.path("folder"));

  ASSERT_TRUE(data);
  EXPECT_EQ(*data, bytes);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
  // Reading a folder is refused by the system: "is a directory" on POSIX, access denied on
  // Windows; either is passed on as the system said it.
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error(), folder_open_error().default_error_condition());
}

TEST(ReadFile, ReadsEveryByteWhateverTheSizeAtTheStart) {
  TempHome home;
  // Around the sizes the read is planned by: empty, one byte, and larger than one read call.
  // Small files go into a string, large ones into memory of their own: both sides of the line
  // between them, and a size that ends inside a large page.
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65537}, std::size_t{3} << 20,
                           (std::size_t{4} << 20) - 1, std::size_t{4} << 20,
                           (std::size_t{4} << 20) + 1, (std::size_t{7} << 20) + 12345}) {
    SCOPED_TRACE(size);
    std::string bytes(size, 'x');
    for (std::size_t i = 0; i < size; i += 4093) {
      bytes[i] = static_cast<char>('a' + i % 26);
    }
    home.write("data", bytes);
    auto data = read_file(home.path("data"));
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), size);
    EXPECT_TRUE(*data == bytes);
  }
#ifndef _WIN32
  // A file the system gives no size for is read to its end all the same.
  auto status = read_file("/proc/self/status");
  ASSERT_TRUE(status);
  EXPECT_NE(status->view().find("Name:"), std::string::npos);
  EXPECT_NE(status->view().find("\nPid:"), std::string::npos);
#endif
}

TEST(FileText, AMovedTextStillShowsItsBytes) {
  TempHome home;
  // A short text lives inside the string object itself, which a move leaves behind.
  home.write("short", "ab");
  home.write("long", std::string((std::size_t{5} << 20) + 3, 'z'));

  for (const char* name : {"short", "long"}) {
    SCOPED_TRACE(name);
    auto read = read_file(home.path(name));
    ASSERT_TRUE(read);
    const std::string expected = home.read(name);

    FileText moved = std::move(*read);
    FileText assigned;
    assigned = std::move(moved);

    EXPECT_EQ(assigned.view(), expected);
    EXPECT_EQ(std::move(assigned).take_string(), expected);
  }
}

#ifndef _WIN32
// A file cut short and grown again (by another program) while it is read: every read either
// fails as changed or gives the whole text of one size the file had, never a text cut
// somewhere in between.
TEST(ReadFile, AFileResizedWhileReadIsChangedOrWholeNeverCut) {
  TempHome home;
  for (std::size_t full : {std::size_t{256} << 10, std::size_t{6} << 20}) {
    SCOPED_TRACE(full);
    const std::size_t cut = full / 2;
    // Growing a file fills it with zero bytes, so the long text is the short one and zeros.
    std::string short_text(cut, 'x');
    for (std::size_t i = 0; i < cut; i += 97) {
      short_text[i] = static_cast<char>('a' + i % 26);
    }
    const std::string long_text = short_text + std::string(full - cut, '\0');
    home.write("settings.json", long_text);
    const std::string path = home.path("settings.json").string();

    std::atomic<bool> stop = false;
    std::thread resizer([&] {
      while (!stop) {
        static_cast<void>(::truncate(path.c_str(), static_cast<off_t>(cut)));
        static_cast<void>(::truncate(path.c_str(), static_cast<off_t>(full)));
      }
    });
    for (int i = 0; i < 300; ++i) {
      auto read = read_file(path);
      if (!read) {
        EXPECT_EQ(read.error(), changed_while_read());
        continue;
      }
      const bool one_of_them = *read == long_text || *read == short_text;
      EXPECT_TRUE(one_of_them) << "a text of " << read->size() << " bytes";
      if (!one_of_them) {
        break;
      }
    }
    stop = true;
    resizer.join();
  }
  EXPECT_EQ(changed_while_read().message(), "changed while it was read");
}

TEST(ReadFile, RefusesAFifoWithoutWaitingForAWriter) {
  TempHome home;
  const fs::path fifo = home.path("AGENTS.md");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  auto reading = std::async(std::launch::async, [&] { return read_file(fifo); });
  const bool returned = reading.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!returned) {
    // Lets a blocked reader finish, so that the test fails instead of hanging.
    std::ofstream(fifo).close();
  }
  auto read = reading.get();

  EXPECT_TRUE(returned);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error(), not_a_regular_file());
  EXPECT_EQ(read.error().message(), "not a regular file");
}
#endif

TEST(ReadLinkText, ReturnsTheStoredTextWhateverItsLength) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  const std::string long_target = std::string(300, 'a') + "/../x";
  home.make_link("short", "../x");
  home.make_link("long", long_target);
  home.write("file", "x");

  auto short_text = read_link_text(home.path("short"));
  auto long_text = read_link_text(home.path("long"));
  auto missing = read_link_text(home.path("missing"));
  auto file = read_link_text(home.path("file"));

  ASSERT_TRUE(short_text);
  EXPECT_EQ(short_text->string(), "../x");
  ASSERT_TRUE(long_text);
  EXPECT_EQ(long_text->string(), long_target);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), std::errc::invalid_argument);
}

TEST(LinkHolds, TellsTheExactTextFromEveryNearOne) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  // Longer than the fixed buffer, so that the comparison past it is exercised too.
  const std::string long_target = std::string(600, 'a') + "/x";
  home.make_link("short", "../x");
  home.make_link("long", long_target);
  home.write("file", "x");
  struct Case {
    std::string link;
    std::string expected;
    bool holds;
  };
  const std::vector<Case> cases = {
      {"short", "../x", true},
      {"short", "../", false},    // a prefix of the text
      {"short", "../xy", false},  // the text is a prefix of it
      {"short", "../y", false},   // same length, last byte differs
      {"short", "", false},
      {"short", "./../x", false},  // reaches the same, other text
      {"long", long_target, true},
      {"long", long_target + "y", false},
      {"long", long_target.substr(1), false},
      {"long", std::string(600, 'a') + "/y", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link + " holds " + c.expected.substr(0, 20));
    auto held = link_holds(home.path(c.link).native(), path_from_utf8(c.expected).native());
    ASSERT_TRUE(held);
    EXPECT_EQ(*held, c.holds);
  }
  auto missing = link_holds(home.path("missing").native(), path_from_utf8("../x").native());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
  auto file = link_holds(home.path("file").native(), path_from_utf8("x").native());
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), std::errc::invalid_argument);
}

TEST(Links, CreatedLinksAreSeenAsLinks) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir("store/skill");
  home.write("store/note.md", "x");

  home.make_dir("links");

  auto dir_link = create_link("../store/skill", home.path("links/skill"), true);
  auto file_link = create_link("../store/note.md", home.path("links/note.md"), false);
  auto taken = create_link("../store/note.md", home.path("links/note.md"), false);

  ASSERT_TRUE(dir_link);
  ASSERT_TRUE(file_link);
  EXPECT_FALSE(taken);
  EXPECT_TRUE(is_link(home.path("links/skill")));
  EXPECT_TRUE(fs::is_directory(home.path("links/skill")));
  EXPECT_EQ(home.read("links/note.md"), "x");
  EXPECT_FALSE(is_link(home.path("store/note.md")));
  EXPECT_FALSE(is_link(home.path("nothing here")));
}

TEST(ReadTextFile, RefusesBytesThatAreNotUtf8) {
  TempHome home;
  home.write("text", "caf\xC3\xA9\n");
  home.write("binary", "caf\xE9\n");

  auto text = read_text_file(home.path("text"));
  auto binary = read_text_file(home.path("binary"));
  auto missing = read_text_file(home.path("missing"));

  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "caf\xC3\xA9\n");
  ASSERT_FALSE(binary);
  EXPECT_EQ(binary.error(), std::errc::illegal_byte_sequence);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
}

TEST(ListFolder, GivesEveryEntryNothingForAMissingFolderOrTheSystemError) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.write("dir/file", "x");
  home.make_dir("dir/sub");
  home.make_link("dir/dangling", "nowhere");

  auto listed = list_folder(home.path("dir"));
  auto names = list_folder_names(home.path("dir"));
  auto missing = list_folder(home.path("missing"));
  auto missing_names = list_folder_names(home.path("missing"));
  auto gone = list_folder(home.path("dir/dangling"));
  auto file = list_folder(home.path("dir/file"));

  ASSERT_TRUE(listed);
  std::vector<fs::path> entries = *listed;
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<fs::path>{home.path("dir/dangling"), home.path("dir/file"),
                                            home.path("dir/sub")}));
  ASSERT_TRUE(names);
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<fs::path>{"dangling", "file", "sub"}));
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->empty());
  ASSERT_TRUE(gone);
  EXPECT_TRUE(gone->empty());
  ASSERT_FALSE(missing_names);
  EXPECT_EQ(missing_names.error(), std::errc::no_such_file_or_directory);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), std::errc::not_a_directory);
}

// The kinds a listing carries must be the ones an attribute read gives: the Commons scan judges
// its entries by them. A link to a folder is a link, not a folder, and a dangling one a link too.
TEST(ListFolderEntries, GivesTheNamesAndEachKnownKindAsAnUnfollowedReadGivesIt) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.write("dir/file", "x");
  home.make_dir("dir/sub");
  home.make_link("dir/folder-link", "sub", true);
  home.make_link("dir/dangling", "nowhere");

  auto listed = list_folder_entries(home.path("dir"));
  auto missing = list_folder_entries(home.path("missing"));
  auto file = list_folder_entries(home.path("dir/file"));

  ASSERT_TRUE(listed);
  std::vector<fs::path> names;
  for (const ListedEntry& entry : *listed) {
    SCOPED_TRACE(entry.name.string());
    names.push_back(entry.name);
    if (entry.kind) {
      auto read = path_kind(home.path("dir") / entry.name, false);
      ASSERT_TRUE(read);
      EXPECT_EQ(*entry.kind, *read);
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<fs::path>{"dangling", "file", "folder-link", "sub"}));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), std::errc::not_a_directory);
}

// Links are made by the thousand a folder at a time, and the folder may be held open between
// them: each must still land in the folder that its path names when it is made.
TEST(CreateLinkText, EachLinkLandsInTheFolderItsPathNamesNow) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir("skills");
  auto made = [&](const char* link) {
    return create_link_text_like_target(fs::path("../store/x").native(), home.path(link).native());
  };
  auto lands_in = [&](const char* link) {
    auto text = read_link_text(home.path(link));
    return text && *text == fs::path("../store/x");
  };

  EXPECT_TRUE(made("skills/one"));
  // Moved away by this process, and made again under the same name.
  ASSERT_TRUE(rename_path(home.path("skills"), home.path("moved")));
  home.make_dir("skills");
  EXPECT_TRUE(made("skills/two"));
  EXPECT_TRUE(lands_in("skills/two"));
  EXPECT_FALSE(path_kind(home.path("moved/two"), false));
  // Removed and made again by another program, which this process cannot see.
  EXPECT_TRUE(made("skills/three"));
  fs::remove_all(home.path("skills"));
  home.make_dir("skills");
  EXPECT_TRUE(made("skills/four"));
  EXPECT_TRUE(lands_in("skills/four"));
  // Each failure is the one the whole path gives.
  auto taken = made("skills/four");
  auto no_folder = made("absent/five");
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error(), std::errc::file_exists);
  ASSERT_FALSE(no_folder);
  EXPECT_EQ(no_folder.error(), std::errc::no_such_file_or_directory);
  EXPECT_TRUE(lands_in("moved/one"));
}

TEST(RemoveEntry, TakesAFileALinkOrAnEmptyFolderNeverWhatALinkLeadsTo) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.write("store/skill/SKILL.md", "x");
  home.write("file", "x");
  home.make_link("folder-link", "store/skill", true);
  home.make_link("dangling", "nowhere");
  home.make_dir("empty");

  for (const char* name : {"file", "folder-link", "dangling", "empty"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(remove_entry(home.path(name)));
    EXPECT_FALSE(path_kind(home.path(name), false));
  }
  auto full = remove_entry(home.path("store/skill"));
  auto missing = remove_entry(home.path("missing"));

  EXPECT_EQ(home.read("store/skill/SKILL.md"), "x");
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error(), std::errc::directory_not_empty);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
}

TEST(CreateParentFolders, CreatesTheChainAboveThePathOnly) {
  TempHome home;

  auto nested = create_parent_folders(home.path("a/b/file"));
  auto bare = create_parent_folders("file");

  ASSERT_TRUE(nested);
  EXPECT_TRUE(is_folder(home.path("a/b")));
  EXPECT_FALSE(path_exists(home.path("a/b/file")));
  EXPECT_TRUE(bare);
}

TEST(PermissionBits, ReadsARegularFileThroughLinks) {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    GTEST_SKIP() << "Windows files have no POSIX permission bits";
  }
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.write("secret", "x");
  fs::permissions(home.path("secret"), fs::perms::owner_read | fs::perms::owner_write);
  home.make_link("link", "secret");
  home.make_dir("folder");

  EXPECT_EQ(permission_bits(home.path("secret")), 0600u);
  EXPECT_EQ(permission_bits(home.path("link")), 0600u);
  EXPECT_EQ(permission_bits(home.path("folder")), std::nullopt);
  EXPECT_EQ(permission_bits(home.path("missing")), std::nullopt);
}

TEST(ExplainLinkError, OnlyTheMissingPrivilegeGetsTheDeveloperModeAdvice) {
  const std::error_code privilege(1314, std::system_category());
  const std::error_code other_category(1314, std::generic_category());
  const std::error_code denied = std::make_error_code(std::errc::permission_denied);

  EXPECT_EQ(explain_link_error(privilege).message(),
            "creating symlinks requires Windows Developer Mode (Settings → System → For "
            "developers) or an elevated shell");
  EXPECT_EQ(explain_link_error(privilege).value(), 1314);
  EXPECT_EQ(explain_link_error(other_category), other_category);
  EXPECT_EQ(explain_link_error(denied), denied);
}

// Sets (or, with nullopt, removes) a variable of this process's environment; on Windows the
// value is UTF-16, so that text which is not valid Unicode can be given.
#ifdef _WIN32
void set_variable(const char* name, std::optional<std::u16string> value) {
  std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  std::wstring wide_value = value ? std::wstring(value->begin(), value->end()) : L"";
  ASSERT_TRUE(::SetEnvironmentVariableW(wide_name.c_str(), value ? wide_value.c_str() : nullptr));
}
#else
void set_variable(const char* name, std::optional<std::string> value) {
  if (value) {
    ASSERT_EQ(::setenv(name, value->c_str(), 1), 0);
  } else {
    ASSERT_EQ(::unsetenv(name), 0);
  }
}
#endif

TEST(CaptureEnvironment, RefusesAValueThatIsNotUnicode) {
#ifdef _WIN32
  const std::u16string good_value = u"ok \u2014";
  const std::u16string bad_value = u"bad " + std::u16string(1, char16_t{0xD800});
#else
  const std::string good_value = "ok \xE2\x80\x94";
  const std::string bad_value = "bad \xFF";
#endif
  set_variable("KELVARO_TEST_VALUE", good_value);
  auto good = capture_environment();
  set_variable("KELVARO_TEST_VALUE", bad_value);
  auto bad = capture_environment();
  set_variable("KELVARO_TEST_VALUE", std::nullopt);

  ASSERT_TRUE(good) << good.error();
  EXPECT_EQ(env_get(*good, "KELVARO_TEST_VALUE"), "ok \xE2\x80\x94");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "the value of environment variable KELVARO_TEST_VALUE is not valid UTF-8");
}

}  // namespace
}  // namespace kelvaro
