#include "report.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "documents.hpp"

namespace kelvaro {
namespace {

struct Streams {
  std::ostringstream out;
  std::ostringstream err;
  Reporter reporter{.out = &out, .err = &err, .errors = 0, .warnings = 0};
};

TEST(Reporter, ErrorsAndWarningsArePrefixedAndCounted) {
  Streams s;

  report_error(s.reporter, "first");
  report_warning(s.reporter, "careful");
  report_error(s.reporter, "second");

  EXPECT_EQ(s.err.str(), "error: first\nwarning: careful\nerror: second\n");
  EXPECT_EQ(s.out.str(), "");
  EXPECT_EQ(s.reporter.errors, 2u);
  EXPECT_EQ(s.reporter.warnings, 1u);
}

TEST(Reporter, ResultLinesGoToOutUnchanged) {
  Streams s;

  print_line(s.reporter, "two\nlines\n");
  print_line(s.reporter, "caf\xC3\xA9 — done");

  EXPECT_EQ(s.out.str(), "two\nlines\n\ncaf\xC3\xA9 — done\n");
  EXPECT_EQ(s.err.str(), "");
  EXPECT_EQ(s.reporter.errors + s.reporter.warnings, 0u);
}

// A stream buffer that refuses every byte, as a closed pipe does.
struct RefusingBuffer : std::streambuf {
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(Reporter, LinesThatCannotBeWrittenStillCount) {
  RefusingBuffer refusing;
  std::ostream quiet(&refusing);
  std::ostream throwing(&refusing);
  throwing.exceptions(std::ios::badbit);
  Reporter reporter{.out = &quiet, .err = &throwing, .errors = 0, .warnings = 0};

  print_line(reporter, "lost");
  report_error(reporter, "lost");
  report_warning(reporter, "lost too");
  print_json(throwing, nlohmann::ordered_json::object());

  EXPECT_EQ(reporter.errors, 1u);
  EXPECT_EQ(reporter.warnings, 1u);
}

// The JSON printer hands its text on through `write_text`: a stream that refuses it loses it
// without an exception.
TEST(WriteText, AStreamSetToThrowLosesTheTextWithoutAnException) {
  RefusingBuffer refusing;
  std::ostream throwing(&refusing);
  throwing.exceptions(std::ios::badbit);
  JsonPrinter lost([&](std::string_view piece) { write_text(throwing, piece); });
  lost.open_object();
  for (int i = 0; i < 5000; ++i) {
    lost.key("entry-" + std::to_string(i));
    lost.number(static_cast<std::uint64_t>(i));
  }
  lost.close_object();
  lost.finish();
  EXPECT_TRUE(throwing.bad());
}

#ifndef _WIN32
// What a POSIX shell makes of `word` as one argument of `printf %s`.
std::string through_shell(const std::string& word) {
  std::string got;
  FILE* shell = popen(("printf %s " + word).c_str(), "r");
  if (shell == nullptr) {
    return "(no shell)";
  }
  char buffer[256];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, shell)) > 0;) {
    got.append(buffer, n);
  }
  pclose(shell);
  return got;
}
#endif

// A path printed as advice is pasted into a shell: it must reach the command as one argument,
// whole, whatever it holds; plain paths stay unquoted.
TEST(CommandArgument, AShellGivesBackThePathWhole) {
#ifdef _WIN32
  GTEST_SKIP() << "the quoting is checked with a POSIX shell";
#else
  EXPECT_EQ(command_argument("/home/u/.claude/skills/pdf-tools_2"),
            "/home/u/.claude/skills/pdf-tools_2");
  EXPECT_EQ(command_argument("/home/u/My Skills/x"), "\"/home/u/My Skills/x\"");
  for (const std::string text :
       {"/home/u/My Skills/x", "/h/it's", "/h/$HOME and `date` !x \"q\"", "/h/a\\b", "~/x", "/h/*",
        "/h/a;b|c&d", "/h/caf\xC3\xA9 x", "/h/a'b$c"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(through_shell(command_argument(std::filesystem::path(text))), text);
  }
#endif
}

}  // namespace
}  // namespace kelvaro
