#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "agents.hpp"
#include "config.hpp"
#include "link.hpp"
#include "support.hpp"

// `status` against `sync` on generated homes: whatever a home holds, the reports must agree
// with what a sync does, and none of the read-only commands may change a byte of it.
namespace kelvaro {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

const std::vector<std::string> kSkillNames = {"s0", "s1", "s2", "s3"};
const std::vector<std::string> kFileNames = {"n0", "n1", "n2"};
constexpr std::string_view kMarker = "# kelvaro: this file is generated — edit the Commons instead";

// One random home: Commons entries and servers, installed agents, and in their folders links
// of every kind, copies, strays, hook entries, MCP entries, generated files and instructions
// files.
class RandomHome {
 public:
  RandomHome(TempHome& home, unsigned seed) : home_(home), rng_(seed) {
    fill_commons();
    for (const AgentDescriptor& agent : builtin_agents()) {
      if (chance(0.4)) {
        home_.make_dir(agent.home);
      }
    }
    for (const Agent& agent : list_agents(home_.home(), Config{})) {
      for (const Surface& surface : agent.surfaces) {
        fill_surface(surface);
      }
      if (agent.descriptor != nullptr) {
        fill_agent_files(*agent.descriptor);
      }
    }
  }

 private:
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

  static std::string file_name(Family family, const std::string& name) {
    return family == Family::skills ? name : name + ".md";
  }
  static std::string content(Family family, const std::string& name) {
    return std::string(family_word(family)) + " " + name;
  }
  // Writes the entry `name` of `family` at `path`: a folder with SKILL.md, or a Markdown file.
  void write_entry(const fs::path& path, Family family, const std::string& text) {
    home_.write(family == Family::skills ? path / "SKILL.md" : path, text);
  }

  void fill_commons() {
    for (Family family : all_families) {
      for (const std::string& name : family == Family::skills ? kSkillNames : kFileNames) {
        if (chance(0.6)) {
          write_entry(home_.commons() / family_word(family) / file_name(family, name), family,
                      content(family, name));
        }
      }
    }
    if (chance(0.7)) {
      home_.write(".agents/AGENTS.md", "Be brief.\n");
    }
    if (chance(0.6)) {
      home_.write(".agents/hooks/Stop.toml", "[[hook]]\ncommand = \"say done\"\n");
    }
    if (chance(0.4)) {
      home_.write(".agents/hooks/PreToolUse.toml",
                  "[[hook]]\ncommand = \"lint --fix\"\nmatcher = \"Bash\"\ntimeout = 30\n");
    }
    if (chance(0.7)) {
      Json servers = Json::object();
      for (const auto& [name, server] : kServers.items()) {
        if (chance(0.6)) {
          servers[name] = server;
        }
      }
      home_.write(".agents/mcp.json", Json{{"mcpServers", servers}}.dump());
    }
    if (chance(0.3)) {
      home_.write(".config/kelvaro/kelvaro.toml", "[mcp.gh]\nagents = [\"claude\"]\n");
    }
  }

  // Servers the Commons may hold; agents hold them as they are, changed, or not at all.
  inline static const Json kServers = Json::parse(R"({
    "fs": {"command": "fs"},
    "gh": {"command": "gh", "args": ["serve"]},
    "off": {"command": "off", "disabled": true}
  })");

  // An MCP file of the standard dialect (claude, cursor, cline) with random entries.
  void fill_mcp_file(const fs::path& file) {
    Json held = Json::object();
    for (const auto& [name, server] : kServers.items()) {
      if (chance(0.5)) {
        held[name] = chance(0.7) ? Json{{"command", server["command"]}} : Json{{"command", "x"}};
        if (server.contains("args")) {
          held[name]["args"] = server["args"];
        }
      }
    }
    if (chance(0.4)) {
      held["mine"] = Json{{"url", "https://example.com/mcp"}};
    }
    home_.write(file, Json{{"theme", "dark"}, {"mcpServers", held}}.dump());
  }

  void fill_surface(const Surface& surface) {
    const fs::path dir = home_.path(surface.dir);
    const Family family = surface.family;
    for (const std::string& name : family == Family::skills ? kSkillNames : kFileNames) {
      const std::string file = file_name(family, name);
      const fs::path entry = home_.commons() / family_word(family) / file;
      switch (pick(7)) {
        case 0:
          home_.make_link(dir / file, relative_path(dir, entry), family == Family::skills);
          break;
        case 1:  // stale when the entry exists, else dangling
          home_.make_link(dir / file, entry, family == Family::skills);
          break;
        case 2:
          write_entry(dir / file, family, content(family, name));
          break;
        case 3:
          write_entry(dir / file, family, "my own " + name);
          break;
        case 4:
          home_.make_dir("elsewhere/" + file);
          home_.make_link(dir / file, home_.path("elsewhere/" + file), true);
          break;
        default:
          break;
      }
    }
  }

  void fill_agent_files(const AgentDescriptor& agent) {
    if (agent.mcp.kind == McpRouteKind::key_merge && agent.mcp.shape == ServerShape::standard &&
        chance(0.6)) {
      fill_mcp_file(agent.mcp.file);
    }
    if (agent.skills.kind == SkillsRouteKind::native && !agent.skills.dir.empty() && chance(0.5)) {
      home_.make_link(agent.skills.dir / "s0", home_.commons() / "skills/s0", true);
    }
    if (agent.hooks_file && chance(0.5)) {
      const std::string entry = chance(0.5) ? R"({"type": "command", "command": "say done",
                                                  "timeout": 5})"
                                            : R"({"type": "command", "command": "my own"})";
      home_.write(*agent.hooks_file,
                  R"({"theme": "dark", "hooks": {"Stop": [{"hooks": [)" + entry + "]}]}}");
    }
    if (agent.commands.kind == CommandsRouteKind::render) {
      const fs::path dir = agent.commands.dir;
      if (chance(0.5)) {
        home_.write(dir / "zz.toml", std::string(kMarker) + "\nprompt = \"gone\"\n");
      }
      if (chance(0.5)) {
        home_.write(dir / "n0.toml", std::string(kMarker) + "\nprompt = \"edited\"\n");
      }
      if (chance(0.3)) {
        home_.write(dir / "n1.toml", "prompt = \"mine\"\n");
      }
    }
    if (!agent.instructions.empty() && chance(0.5)) {
      const InstructionsRoute& route = agent.instructions.front();
      if (route.kind == InstructionsRouteKind::rules_dir_link) {
        home_.make_link(route.path / "AGENTS.md", home_.commons() / "AGENTS.md");
      } else if (route.kind != InstructionsRouteKind::include_entry) {
        home_.write(route.path, chance(0.5) ? "# notes\n" : "<claude-mem-context>\nx\n");
      }
    }
  }

  TempHome& home_;
  std::mt19937 rng_;
};

// The change count of a dry run's summary line.
std::size_t dry_run_changes(const RunResult& dry_run) {
  const std::string& out = dry_run.out;
  const std::size_t end = out.rfind(" would be made.");
  if (end == std::string::npos) {
    return 0;
  }
  const std::size_t start = out.rfind('\n', end) + 1;
  return std::stoul(out.substr(start, end - start));
}

std::size_t variant_identical(const Json& status) {
  std::size_t count = 0;
  for (const Json& target : status["targets"]) {
    for (const Json& entry : target["entries"]) {
      count += entry["state"] == "variant-identical" ? 1U : 0U;
    }
  }
  return count;
}

TEST(E2eStatusProperty, AttentionCountMatchesWhatSyncChanges) {
  KELVARO_REQUIRE_LINKS();
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempHome home;
    RandomHome random(home, seed);

    const RunResult before = run_in_process({"status", "--json"}, home.env());
    ASSERT_EQ(before.err, "");
    const Json report = Json::parse(before.out);
    const std::size_t copies = variant_identical(report);
    const RunResult dry_run = run_in_process({"sync", "--dry-run"}, home.env());
    ASSERT_EQ(dry_run.status, 0) << dry_run.err;

    EXPECT_EQ(report["actionable"], dry_run_changes(dry_run) + copies) << dry_run.out;
    EXPECT_EQ(report["clean"], report["actionable"] == 0);
    EXPECT_EQ(before.status, report["actionable"] == 0 ? 0 : 2);

    const RunResult synced = run_in_process({"sync"}, home.env());
    ASSERT_EQ(synced.status, 0) << synced.out << synced.err;
    const RunResult after = run_in_process({"status"}, home.env());

    const std::string closing =
        copies == 0 ? "\nEverything is in sync.\n"
                    : "\n" + std::to_string(copies) +
                          " items need attention — re-link each identical copy with `kelvaro "
                          "adopt PATH`.\n";
    EXPECT_TRUE(after.out.ends_with(closing)) << after.out;
    EXPECT_EQ(after.status, copies == 0 ? 0 : 2);
  }
}

TEST(E2eStatusProperty, ReadOnlyCommandsLeaveTheHomeAsItWas) {
  KELVARO_REQUIRE_LINKS();
  for (unsigned seed = 100; seed < 110; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempHome home;
    RandomHome random(home, seed);
    home.make_dir(".agents/skills");
    home.make_dir(".agents/commands");
    home.make_dir(".agents/agents");
    const std::vector<std::string> before = tree_listing(home.root());

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"status"}, {"status", "--json"}, {"init"}, {"mcp", "list"}}) {
      run_kelvaro(args, home.env());
      EXPECT_EQ(tree_listing(home.root()), before) << args.front();
    }
  }
}

}  // namespace
}  // namespace kelvaro
