#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

// `~/.agents` a dotfile manager's link to the folder KELVARO_HOME names: the agents that read
// `~/.agents` by themselves reach the Commons through it.
TEST(E2eDoctorHomes, NoKelvaroHomeWarningWhenTheDefaultFolderLeadsToTheCommons) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir("dots/agents/skills");
  home.make_link(".agents", "dots/agents", true);
  home.make_dir(".codex");
  home.set_env("KELVARO_HOME", path_to_utf8(home.path("dots/agents")));

  RunResult linked = run_kelvaro({"doctor"}, home.env());
  fs::remove(home.path(".agents"));
  home.make_dir(".agents");
  RunResult apart = run_kelvaro({"doctor"}, home.env());

  EXPECT_EQ(linked.err, "");
  EXPECT_EQ(linked.status, 0);
  EXPECT_EQ(apart.err, "warning: KELVARO_HOME points the Commons at " +
                           path_to_utf8(home.path("dots/agents")) + ", but codex read " +
                           path_to_utf8(home.path(".agents")) + " directly and will not see it\n");
}

// Counting the hooks of a folder that cannot be listed as none would be a false finding.
TEST(E2eDoctorHomes, HooksFolderThatCannotBeListedIsAnError) {
  KELVARO_REQUIRE_LINKS();
  TempHome home;
  home.make_dir(".agents/skills");
  home.make_link(".agents/hooks", "hooks", true);  // a loop: listing it fails

  RunResult result = run_kelvaro({"doctor"}, home.env());

  EXPECT_TRUE(result.err.starts_with("error: cannot read " +
                                     path_to_utf8(home.path(".agents/hooks")) + ": "))
      << result.err;
  EXPECT_EQ(result.status, 1);
}

}  // namespace
}  // namespace kelvaro
