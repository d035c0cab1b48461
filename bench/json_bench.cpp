// Reads a generated 20 MB JSON object of 50,000 members, changes one member and writes it
// back, timing each step and reporting the peak resident memory against the file size.
// Targets: under 1 s in all, peak memory under ten times the file size.

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>

#include "documents.hpp"
#include "fsutil.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int member_count = 50'000;
constexpr std::size_t target_bytes = 20u << 20;

// Streams the document straight to the file, so that generating it adds nothing to the peak.
std::uintmax_t generate(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  const std::string padding(target_bytes / member_count - 235, 'x');
  out << "{\n";
  for (int i = 0; i < member_count; ++i) {
    out << fmt::format(
        "  \"server-{:05}\": {{\n    \"command\": \"npx\",\n    \"args\": [\"-y\", "
        "\"@scope/server-{}\", \"--port\", \"{}\"],\n    \"env\": {{\"TOKEN\": \"${{env:T{}}}\", "
        "\"MODE\": \"caf\\u00e9 \\u2014 {}\"}},\n    \"enabled\": {},\n    \"weight\": {},\n"
        "    \"note\": \"{}\"\n  }}{}\n",
        i, i, 3000 + i % 1000, i, padding.size(), i % 3 == 0 ? "true" : "false", i * 0.25, padding,
        i + 1 < member_count ? "," : "");
  }
  out << "}";
  out.close();
  return fs::file_size(path);
}

long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  const fs::path dir =
      fs::temp_directory_path() / fmt::format("kelvaro-json-bench-{}", kelvaro::process_id());
  fs::create_directories(dir);
  const fs::path path = dir / "settings.json";
  const std::uintmax_t size = generate(path);
  const long rss_before = peak_rss_kib();

  const auto start = Clock::now();
  auto doc = kelvaro::read_json_object(path);
  const double read_s = seconds_since(start);
  if (!doc) {
    std::fprintf(stderr, "%s\n", doc.error().c_str());
    return 1;
  }

  const auto change_start = Clock::now();
  const auto member = doc->find("server-49999");
  if (member == doc->end()) {
    std::fprintf(stderr, "generated member missing\n");
    return 1;
  }
  (*member)["enabled"] = true;
  const double change_s = seconds_since(change_start);

  const auto write_start = Clock::now();
  auto written = kelvaro::write_json(path, *doc);
  const double write_s = seconds_since(write_start);
  const double total_s = seconds_since(start);
  if (!written) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.string().c_str(),
                 written.error().message().c_str());
    return 1;
  }

  const long peak = peak_rss_kib();
  const double size_mb = static_cast<double>(size) / 1e6;
  const double peak_mb = static_cast<double>(peak) * 1024 / 1e6;
  fmt::print("file: {:.1f} MB, {} members\n", size_mb, doc->size());
  fmt::print("read_json_object: {:.3f} s\nchange one member: {:.3f} ms\nwrite_json: {:.3f} s\n",
             read_s, change_s * 1000, write_s);
  fmt::print("total: {:.3f} s (target < 1 s)\n", total_s);
  fmt::print("peak RSS: {:.1f} MB before reading {:.1f} MB, {:.1f}x the file (target < 10x)\n",
             peak_mb, static_cast<double>(rss_before) * 1024 / 1e6, peak_mb / size_mb);

  std::error_code ec;
  fs::remove_all(dir, ec);
  return total_s < 1.0 && peak_mb < 10 * size_mb ? 0 : 2;
}
