#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <type_traits>

#include "cli.hpp"
#include "fsutil.hpp"

namespace kelvaro {

namespace fs = std::filesystem;

void PrintTo(const RunResult& result, std::ostream* os) {
  *os << "{status " << result.status << ", out " << ::testing::PrintToString(result.out) << ", err "
      << ::testing::PrintToString(result.err) << "}";
}

TempHome::TempHome() {
  auto canonical = canonical_path(make_temp_folder());
  if (!canonical) {
    ADD_FAILURE() << "cannot resolve the temporary folder: " << canonical.error().message();
    std::abort();
  }
  root_ = *canonical;
  home_ = root_ / "home";
  fs::create_directories(home_);
  env_ = {
      {"KELVARO_TARGET_ROOT", path_to_utf8(home_)},
      {"HOME", path_to_utf8(home_)},
      {"XDG_CONFIG_HOME", path_to_utf8(home_ / ".config")},
      {"XDG_STATE_HOME", path_to_utf8(home_ / ".local" / "state")},
  };
  ctx_ = *resolve_context(env_);
}

TempHome::~TempHome() {
  if (::testing::Test::HasFailure()) {
    std::cerr << "kept the test folder " << display(root_) << "\n";
    return;
  }
  (void)remove_tree(root_);
}

namespace {

// Keeps the last context that resolved when `env` no longer gives one, so that a test can
// remove HOME and still reach its folders.
void refresh(const EnvSnapshot& env, RunContext& ctx) {
  if (auto resolved = resolve_context(env)) {
    ctx = *resolved;
  }
}

}  // namespace

void TempHome::set_env(const std::string& name, const std::string& value) {
  env_[name] = value;
  refresh(env_, ctx_);
}

void TempHome::unset_env(const std::string& name) {
  env_.erase(name);
  refresh(env_, ctx_);
}

fs::path TempHome::path(const TestPath& rel) const {
  return rel.path.is_absolute() ? rel.path : home_ / rel.path;
}

fs::path TempHome::write(const TestPath& rel, std::string_view content) const {
  fs::path full = path(rel);
  fs::create_directories(full.parent_path());
  std::ofstream file(full, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  EXPECT_TRUE(file.good()) << "cannot write " << display(full);
  return full;
}

fs::path TempHome::make_dir(const TestPath& rel) const {
  fs::path full = path(rel);
  fs::create_directories(full);
  return full;
}

fs::path TempHome::make_link(const TestPath& rel, const TestPath& target, bool dir) const {
  fs::path full = path(rel);
  fs::create_directories(full.parent_path());
  auto made = create_link(target.path, full, dir);
  EXPECT_TRUE(made) << "cannot link " << display(full) << ": " << made.error().message();
  return full;
}

std::string TempHome::read(const TestPath& rel) const {
  fs::path full = path(rel);
  auto bytes = read_file(full);
  EXPECT_TRUE(bytes) << "cannot read " << display(full);
  return bytes ? std::move(*bytes).take_string() : std::string();
}

RunResult run_in_process(const std::vector<std::string>& args, const EnvSnapshot& env) {
  std::vector<std::string> full{"kelvaro"};
  full.insert(full.end(), args.begin(), args.end());
  std::ostringstream out;
  std::ostringstream err;
  int status = run(full, env, out, err);
  return {.out = out.str(), .err = err.str(), .status = status};
}

namespace {

// `path` with its components joined by "/" on every system, so that expected listings are
// written once.
std::string slashed(const fs::path& path) {
  std::string text;
  for (const fs::path& part : path) {
    if (!text.empty() && text.back() != '/') {
      text += '/';
    }
    text += part == path.root_directory() ? std::string("/") : path_to_utf8(part);
  }
  return text;
}

void list_tree(const fs::path& root, const fs::path& dir, const fs::path& skip,
               std::vector<std::string>& lines) {
  auto entries = list_folder(dir, MissingFolder::error);
  if (!entries) {
    ADD_FAILURE() << "cannot list " << display(dir) << ": " << entries.error().message();
    return;
  }
  for (const fs::path& entry : *entries) {
    if (!skip.empty() && entry == skip) {
      continue;
    }
    const std::string rel = slashed(entry.lexically_relative(root));
    auto kind = path_kind(entry, false);
    if (kind && *kind == PathKind::link) {
      auto text = read_link_text(entry);
      lines.push_back(rel + " -> " + (text ? slashed(*text) : "?"));
    } else if (kind && *kind == PathKind::folder) {
      lines.push_back(rel + "/");
      list_tree(root, entry, skip, lines);
    } else {
      auto bytes = read_file(entry);
      lines.push_back(rel + " = " + (bytes ? std::string(bytes->view()) : "?"));
    }
  }
}

}  // namespace

std::vector<std::string> tree_listing(const fs::path& root, const fs::path& skip) {
  std::vector<std::string> lines;
  list_tree(root, root, skip, lines);
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool holds_link_text(const fs::path& link, const fs::path& text) {
  auto stored = read_link_text(link);
  return is_link(link) && stored && *stored == text;
}

bool exists_here(const fs::path& path) {
  return path_kind(path, false).has_value();
}

EnvSnapshot rooted_env(const TempHome& home, const std::string& root) {
  EnvSnapshot env = home.env();
  env["KELVARO_TARGET_ROOT"] = root;
  env["HOME"] = root;
  env.erase("XDG_CONFIG_HOME");
  env.erase("XDG_STATE_HOME");
  return env;
}

std::error_code folder_open_error() {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    constexpr int access_denied = 5;
    return {access_denied, std::system_category()};
  } else {
    return std::make_error_code(std::errc::is_a_directory);
  }
}

std::string absolute_text(std::string_view posix_path) {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    return "C:" + std::string(posix_path);
  } else {
    return std::string(posix_path);
  }
}

bool case_sensitive_names(const fs::path& dir) {
  const fs::path lower = dir / "kelvaro-case-probe";
  std::ofstream(lower, std::ios::binary) << "x";
  const bool sensitive = !path_exists(dir / "KELVARO-CASE-PROBE");
  (void)remove_file(lower);
  return sensitive;
}

std::string not_unicode_text() {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    return "\xED\xA0\x80";
  } else {
    return "\xFF";
  }
}

fs::path not_unicode_name(std::string_view before, std::string_view after) {
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    std::wstring name(before.begin(), before.end());
    name += static_cast<wchar_t>(0xD800);
    name.append(after.begin(), after.end());
    return name;
  } else {
    return std::string(before) + "\xFF" + std::string(after);
  }
}

bool links_supported() {
  static const bool supported = [] {
    const fs::path dir = make_temp_folder();
    const bool made = create_link("target", dir / "probe", false).has_value();
    const bool seen = made && is_link(dir / "probe");
    (void)remove_tree(dir);
    return seen;
  }();
  return supported;
}

}  // namespace kelvaro
