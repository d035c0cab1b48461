// Times parse + one edit + print of a generated TOML file of about 1 MB.
// Usage: toml_bench [size-in-bytes] [runs]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "toml.hpp"

namespace {

// CPU time of this thread: on a loaded machine wall time mostly measures the neighbours.
double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string generate(std::size_t target) {
  std::string out =
      "# generated settings\nmodel = \"gpt\"\napproval.policy = \"never\"\n\n[targets]\n"
      "claude = true\ncursor = false\n";
  for (std::size_t i = 0; out.size() < target; ++i) {
    const std::string n = std::to_string(i);
    out += "\n# server " + n + "\n[mcp_servers.srv" + n + "]\n";
    out += "command = \"npx\"  # launcher\n";
    out += "args = [\"-y\", \"@scope/server-" + n + "\", \"--port\", \"" + n + "\"]\n";
    out += "timeout = " + n + "\nratio = 0." + n + "e3\nenabled = true\n";
    out += "started = 1979-05-27T07:32:00.25Z\n";
    out += "env = { HOME = \"/home/u\", TOKEN = 'secret-" + n + "', nested.deep = 1 }\n";
    out += "note = \"\"\"\nline one\nline \\\"two\\\"\n\"\"\"\n";
    out += "dotted.a.b = " + n + "\n";
    if (i % 10 == 0) {
      out += "\n[[mcp_servers.srv" + n + ".hooks]]\nname = \"h\"\n";
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  namespace toml = kelvaro::toml;
  const std::size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1'000'000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::string text = generate(size);

  std::vector<double> total_ms, parse_ms, print_ms, cpu_total_ms;
  for (int r = 0; r < runs; ++r) {
    const double c0 = cpu_ms();
    const auto t0 = std::chrono::steady_clock::now();
    auto doc = toml::parse(text);
    if (!doc) {
      std::fprintf(stderr, "parse failed at %zu: %s\n", doc.error().offset,
                   doc.error().message.c_str());
      return 1;
    }
    const auto t1 = std::chrono::steady_clock::now();
    toml::Table& servers = *toml::as_table(*toml::find(doc->root, "mcp_servers"));
    toml::Table& mid = *toml::as_table(servers.entries[servers.entries.size() / 2]);
    toml::set_value(mid, "args", toml::array_value({toml::string_value("changed")}));
    const auto t2 = std::chrono::steady_clock::now();
    const std::string out = toml::print(*doc);
    const auto t3 = std::chrono::steady_clock::now();
    cpu_total_ms.push_back(cpu_ms() - c0);
    if (out.size() + 40 < text.size()) {
      std::fprintf(stderr, "print lost text\n");
      return 1;
    }
    const auto ms = [](auto a, auto b) {
      return std::chrono::duration<double, std::milli>(b - a).count();
    };
    total_ms.push_back(ms(t0, t3));
    parse_ms.push_back(ms(t0, t1));
    print_ms.push_back(ms(t2, t3));
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("input %zu bytes, %d runs\n", text.size(), runs);
  std::printf("parse+edit+print: median %.2f ms, min %.2f ms\n", median(total_ms),
              *std::min_element(total_ms.begin(), total_ms.end()));
  std::printf("parse+edit+print CPU time: median %.2f ms, min %.2f ms\n", median(cpu_total_ms),
              *std::min_element(cpu_total_ms.begin(), cpu_total_ms.end()));
  std::printf("parse: median %.2f ms; print: median %.2f ms\n", median(parse_ms), median(print_ms));
  return 0;
}
