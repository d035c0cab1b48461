#include "context.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

TEST(ResolveContext, HomeComesFromTheFirstVariablePresent) {
  struct Case {
    EnvSnapshot env;
    std::optional<std::string> home;
  };
  const Case cases[] = {
      {{{"KELVARO_TARGET_ROOT", "/target"}, {"HOME", "/h"}, {"USERPROFILE", "/u"}}, "/target"},
      {{{"HOME", "/h"}, {"USERPROFILE", "/u"}}, "/h"},
      {{{"USERPROFILE", "/u"}}, "/u"},
      {{{"HOME", "relative/home"}}, "relative/home"},  // used unchanged
      // A present but empty variable does not fall through.
      {{{"HOME", ""}, {"USERPROFILE", "/u"}}, std::nullopt},
      {{{"KELVARO_TARGET_ROOT", ""}, {"HOME", "/h"}}, std::nullopt},
      // Names match byte for byte.
      {{{"Home", "/h"}, {"home", "/h"}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.home.value_or("(none)"));
    auto ctx = resolve_context(c.env);
    ASSERT_EQ(ctx.has_value(), c.home.has_value());
    if (ctx) {
      EXPECT_EQ(ctx->home, std::filesystem::path(*c.home));
      EXPECT_EQ(ctx->env, c.env);
    }
  }
}

TEST(ResolveContext, DefaultLocationsUnderHome) {
  auto ctx = resolve_context({{"HOME", "/h"}});

  ASSERT_TRUE(ctx);
  EXPECT_EQ(*ctx, (RunContext{.home = "/h",
                              .commons = "/h/.agents",
                              .config_dir = "/h/.config/kelvaro",
                              .state_dir = "/h/.local/state/kelvaro",
                              .legacy_home_dir = "/h/.ostrevan",
                              .legacy_config_dir = "/h/.config/ostrevan",
                              .env = {{"HOME", "/h"}}}));
}

TEST(ResolveContext, CommonsFromKelvaroHomeWhenNotEmpty) {
  struct Case {
    std::string value;
    std::string commons;
  };
  const Case cases[] = {
      {"", "/h/.agents"},
      {"/elsewhere/commons", "/elsewhere/commons"},
      {"rel/commons", "rel/commons"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    auto ctx = resolve_context({{"HOME", "/h"}, {"KELVARO_HOME", c.value}});
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->commons, fs::path(c.commons));
  }
}

TEST(ResolveContext, XdgFoldersOnlyWhenAbsolute) {
  struct Case {
    std::string config;
    std::string state;
    std::string config_dir;
    std::string state_dir;
    std::string legacy_config_dir;
  };
  const Case cases[] = {
      {"/xc", "/xs", "/xc/kelvaro", "/xs/kelvaro", "/xc/ostrevan"},
      {"rel", "rel", "/h/.config/kelvaro", "/h/.local/state/kelvaro", "/h/.config/ostrevan"},
      {"", "", "/h/.config/kelvaro", "/h/.local/state/kelvaro", "/h/.config/ostrevan"},
      {"./xc", "/xs", "/h/.config/kelvaro", "/xs/kelvaro", "/h/.config/ostrevan"},
  };
  // "/x…" stands for an absolute path of this system ("C:/x…" on Windows).
  auto here = [](const std::string& text) {
    return text.starts_with("/x") ? absolute_text(text) : text;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config + " " + c.state);
    auto ctx = resolve_context(
        {{"HOME", "/h"}, {"XDG_CONFIG_HOME", here(c.config)}, {"XDG_STATE_HOME", here(c.state)}});
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->config_dir, fs::path(here(c.config_dir)));
    EXPECT_EQ(ctx->state_dir, fs::path(here(c.state_dir)));
    EXPECT_EQ(ctx->legacy_config_dir, fs::path(here(c.legacy_config_dir)));
    EXPECT_EQ(ctx->legacy_home_dir, fs::path("/h/.ostrevan"));
  }
}

}  // namespace
}  // namespace kelvaro
