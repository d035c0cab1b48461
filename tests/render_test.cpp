#include "render.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"
#include "toml.hpp"

namespace kelvaro {
namespace {

namespace fs = std::filesystem;

const std::string marker(generated_marker);

// The generated file for a command with description "Review the diff" and body
// "Check the changes.".
const std::string review_toml = marker +
                                "\n"
                                "description = \"Review the diff\"\n"
                                "prompt = \"Check the changes.\"\n";

const std::string review_md =
    "---\n"
    "description: \"Review the diff\"\n"
    "---\n"
    "Check the changes.\n";

// A home with gemini installed and one Commons command, `review`.
struct RenderHome : TempHome {
  RenderHome() {
    make_dir(".gemini");
    write(".agents/commands/review.md", review_md);
  }

  fs::path generated(const std::string& file) const { return path(".gemini/commands/" + file); }

  RenderPlan plan(const Config& config = {}) const {
    return plan_renders(ctx(), list_agents(home(), config), commons());
  }
};

std::string string_at(const toml::Document& doc, std::string_view key) {
  const toml::Entry* entry = toml::find(doc.root, key);
  if (entry == nullptr || toml::as_line(*entry) == nullptr) {
    ADD_FAILURE() << "no value line " << key;
    return {};
  }
  const toml::Line& line = *toml::as_line(*entry);
  EXPECT_EQ(line.value.kind, toml::Kind::string);
  return line.value.str;
}

TEST(RenderFrontMatter, Variants) {
  struct Case {
    std::string name;
    std::string text;
    std::optional<std::string> description;
    std::string prompt;
  };
  const std::vector<Case> cases = {
      {"double quotes", "---\ndescription: \"Review the diff\"\n---\nCheck the changes.\n",
       "Review the diff", "Check the changes."},
      {"no front matter keeps the whole text", "Just do it.\n\n  \n", std::nullopt, "Just do it."},
      {"CRLF front matter gives LF body", "---\r\ndescription: d\r\n---\r\na\r\nb\r\n", "d",
       "a\nb"},
      {"CRLF without front matter keeps CRLF inside", "a\r\nb\r\n", std::nullopt, "a\r\nb"},
      {"first description wins", "---\ndescription: one\ndescription: two\n---\nx", "one", "x"},
      {"keys are case-sensitive", "---\nDescription: x\n---\nbody", std::nullopt, "body"},
      {"line without colon is skipped", "---\ndescription\nname: n\n---\nbody", std::nullopt,
       "body"},
      {"unclosed front matter is all prompt", "---\ndescription: d\nbody\n", std::nullopt,
       "---\ndescription: d\nbody"},
      {"empty value is an empty description", "---\ndescription:\n---\nbody", "", "body"},
      {"apostrophe inside double quotes stays", "---\ndescription: \"it's fine\"\n---\nb",
       "it's fine", "b"},
      {"mixed quotes both go", "---\ndescription: 'mixed\"\n---\nb", "mixed", "b"},
      {"value split at the first colon only", "---\n description : a: b \n---\nb", "a: b", "b"},
      {"fences may carry blanks", "  ---  \ndescription: d\n\t---\nb", "d", "b"},
      {"empty lines after the fence go, blanks stay", "---\n---\n\n\n   \n  body\n", std::nullopt,
       "   \n  body"},
      {"front matter with no body", "---\ndescription: d\n---\n", "d", ""},
      {"trailing Unicode white space goes", "body\xE3\x80\x80\xC2\xA0\n", std::nullopt, "body"},
      {"leading white space of a plain text stays", "\n  body", std::nullopt, "\n  body"},
      {"empty text", "", std::nullopt, ""},
      {"a byte-order mark hides the fence", "\xEF\xBB\xBF---\ndescription: d\n---\nb", std::nullopt,
       "\xEF\xBB\xBF---\ndescription: d\n---\nb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);

    const CommandText command = parse_command_text(c.text);

    EXPECT_EQ(command.description, c.description);
    EXPECT_EQ(command.prompt, c.prompt);
  }
}

TEST(RenderGenerated, MarkerInFirstThreeLines) {
  struct Case {
    std::string name;
    std::string text;
    bool generated;
  };
  const std::string former(former_generated_marker);
  const std::vector<Case> cases = {
      {"first line", marker + "\nprompt = \"x\"\n", true},
      {"third line", "a\nb\n" + marker + "\n", true},
      {"fourth line", "a\nb\nc\n" + marker + "\n", false},
      {"indented", "  \t" + marker + "  \n", true},
      {"CRLF", "x\r\n" + marker + "\r\nprompt = \"x\"\r\n", true},
      {"former name", former + "\n", true},
      {"no final line end", marker, true},
      {"longer line", marker + " really\n", false},
      {"empty", "", false},
      {"plain file", "prompt = \"mine\"\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_generated(c.text), c.generated);
  }
}

TEST(RenderToml, ValuesReadBackThroughTheParser) {
  const std::vector<std::string> prompts = {
      "plain",
      "say \"hi\"",
      "C:\\Tools\\bin",
      "line one\nline two",
      "ends with a quote \"",
      "three \"\"\" quotes\nand more \"\"\"\"",
      "\"\nstarts with a quote",
      "tab\there, cr\r\nand control \x01 \x7F",
      "back\\slash at end\\",
      "unicode — → 🙂",
      "\nleading line break",
      "",
  };
  for (const std::string& prompt : prompts) {
    SCOPED_TRACE(prompt);
    const CommandText command{.description = "a \"quoted\" \\ description", .prompt = prompt};

    const std::string content = render_toml_command(command);

    ASSERT_TRUE(content.starts_with(marker + "\n"));
    EXPECT_TRUE(is_generated(content));
    auto doc = toml::parse(content);
    ASSERT_TRUE(doc) << doc.error().message;
    EXPECT_EQ(string_at(*doc, "description"), *command.description);
    EXPECT_EQ(string_at(*doc, "prompt"), prompt);
    const bool multi_line = content.find("prompt = \"\"\"") != std::string::npos;
    EXPECT_EQ(multi_line, prompt.find('\n') != std::string::npos);
    EXPECT_EQ(render_toml_command(command), content);
  }
}

TEST(RenderToml, NoDescriptionGivesPromptOnly) {
  const std::string content = render_toml_command({.description = std::nullopt, .prompt = "x"});

  EXPECT_EQ(content, marker + "\nprompt = \"x\"\n");
}

TEST(RenderJson, ObjectIsPrettyWithFinalLineEnd) {
  auto with = render_command({.description = "d \"q\"", .prompt = "a\nb"}, FileFormat::json);
  auto without = render_command({.description = std::nullopt, .prompt = "p"}, FileFormat::json);

  ASSERT_TRUE(with);
  EXPECT_EQ(*with, "{\n  \"description\": \"d \\\"q\\\"\",\n  \"prompt\": \"a\\nb\"\n}\n");
  ASSERT_TRUE(without);
  EXPECT_EQ(*without, "{\n  \"prompt\": \"p\"\n}\n");
  // A json file carries no marker, so once written it is no longer the
  // program's.
  EXPECT_FALSE(is_generated(*with));
}

TEST(RenderPlan, MissingFileCarriesItsExactBytes) {
  RenderHome home;

  const RenderPlan plan = home.plan();

  EXPECT_TRUE(plan.fatal.empty());
  EXPECT_TRUE(plan.errors.empty());
  ASSERT_EQ(plan.items.size(), 1u);
  EXPECT_EQ(plan.items[0], (RenderItem{.agent = "gemini",
                                       .name = "review",
                                       .path = home.generated("review.toml"),
                                       .content = review_toml,
                                       .state = RenderState::missing}));
}

TEST(RenderPlan, WrittenFileIsManaged) {
  RenderHome home;
  auto applied = apply_render_item(home.plan().items.at(0));
  ASSERT_TRUE(applied) << applied.error();
  EXPECT_TRUE(*applied);

  const RenderPlan plan = home.plan();

  EXPECT_EQ(home.read(home.generated("review.toml")), review_toml);
  ASSERT_EQ(plan.items.size(), 1u);
  EXPECT_EQ(plan.items[0].state, RenderState::managed);
  EXPECT_EQ(plan.items[0].content, review_toml);
}

TEST(RenderPlan, HandEditedFileIsDriftedAndRestored) {
  RenderHome home;
  home.write(home.generated("review.toml"), marker + "\nprompt = \"my own\"\n");

  const RenderPlan plan = home.plan();
  ASSERT_EQ(plan.items.size(), 1u);
  EXPECT_EQ(plan.items[0].state, RenderState::drifted);
  auto applied = apply_render_item(plan.items[0]);

  ASSERT_TRUE(applied) << applied.error();
  EXPECT_EQ(home.read(home.generated("review.toml")), review_toml);
}

TEST(RenderPlan, EditedCommonsCommandMakesFileDrifted) {
  RenderHome home;
  home.write(home.generated("review.toml"), review_toml);
  home.write(".agents/commands/review.md", review_md + "And the tests.\n");

  const RenderPlan plan = home.plan();

  ASSERT_EQ(plan.items.size(), 1u);
  EXPECT_EQ(plan.items[0].state, RenderState::drifted);
  EXPECT_NE(plan.items[0].content->find("And the tests."), std::string::npos);
}

TEST(RenderPlan, FileWithoutMarkerIsForeignAndLeftAlone) {
  struct Case {
    std::string name;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"user file", "prompt = \"mine\"\n"},
      {"marker on the fourth line", "a = 1\nb = 2\nc = 3\n" + marker + "\n"},
      {"not UTF-8, marker included", marker + "\nprompt = \"\xFF\xFE\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RenderHome home;
    home.write(home.generated("review.toml"), c.bytes);

    const RenderPlan plan = home.plan();
    ASSERT_EQ(plan.items.size(), 1u);
    EXPECT_EQ(plan.items[0].state, RenderState::foreign);
    auto applied = apply_render_item(plan.items[0]);

    ASSERT_TRUE(applied);
    EXPECT_FALSE(*applied);
    EXPECT_EQ(home.read(home.generated("review.toml")), c.bytes);
  }
}

TEST(RenderPlan, FolderAtGeneratedPathIsForeign) {
  RenderHome home;
  home.make_dir(home.generated("review.toml"));

  const RenderPlan plan = home.plan();

  ASSERT_EQ(plan.items.size(), 1u);
  EXPECT_EQ(plan.items[0].state, RenderState::foreign);
}

TEST(RenderPlan, FormerNameMarkerIsGenerated) {
  RenderHome home;
  const std::string former_file =
      std::string(former_generated_marker) + "\nprompt = \"Check the changes.\"\n";
  home.write(home.generated("review.toml"), former_file);
  home.write(home.generated("old.toml"), former_file);

  const RenderPlan plan = home.plan();
  ASSERT_EQ(plan.items.size(), 2u);
  EXPECT_EQ(plan.items[0].state, RenderState::drifted);
  EXPECT_EQ(plan.items[1].state, RenderState::orphaned);
  auto applied = apply_render_item(plan.items[0]);

  ASSERT_TRUE(applied);
  EXPECT_EQ(home.read(home.generated("review.toml")), review_toml);
}

TEST(RenderPlan, DeletedCommandLeavesAnOrphanThatIsRemoved) {
  RenderHome home;
  home.write(home.generated("old.toml"), review_toml);
  home.write(home.generated("review.json"),
             review_toml);                                      // stem of a Commons command
  home.write(home.generated("mine.toml"), "prompt = \"x\"\n");  // no marker
  home.write(home.generated("bad.toml"), marker + "\n\xFF\n");  // not UTF-8
  home.make_dir(home.generated("folder.toml"));

  const RenderPlan plan = home.plan();
  ASSERT_EQ(plan.items.size(), 2u);
  EXPECT_EQ(plan.items[0].name, "review");
  EXPECT_EQ(plan.items[1], (RenderItem{.agent = "gemini",
                                       .name = "old",
                                       .path = home.generated("old.toml"),
                                       .content = std::nullopt,
                                       .state = RenderState::orphaned}));
  auto applied = apply_render_item(plan.items[1]);

  ASSERT_TRUE(applied) << applied.error();
  EXPECT_TRUE(*applied);
  EXPECT_FALSE(fs::exists(home.generated("old.toml")));
  EXPECT_TRUE(fs::exists(home.generated("review.json")));
  EXPECT_TRUE(fs::exists(home.generated("mine.toml")));
}

TEST(RenderPlan, OrphanStemRules) {
  struct Case {
    std::string file;
    std::string stem;
  };
  const std::vector<Case> cases = {
      {"a.b.toml", "a.b"}, {".hidden", ".hidden"}, {".old.toml", ".old"},
      {"noext", "noext"},  {"trail.", "trail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    RenderHome home;
    home.write(home.generated(c.file), review_toml);

    const RenderPlan plan = home.plan();

    ASSERT_EQ(plan.items.size(), 2u);
    EXPECT_EQ(plan.items[1].name, c.stem);
    EXPECT_EQ(plan.items[1].state, RenderState::orphaned);
  }
}

TEST(RenderPlan, UnreadableCommandIsOneErrorAndNoItem) {
  RenderHome home;
  // Named as the scan joins it, so that the separators match on Windows too.
  const fs::path bad = home.write(home.commons() / "commands" / "bad.md", "caf\xE9\n");
  home.write(home.generated("bad.toml"),
             review_toml);  // still named in the Commons

  const RenderPlan plan = home.plan();

  EXPECT_EQ(plan.fatal, std::vector<std::string>{
                            "cannot read " + bad.string() + ": " +
                            std::make_error_code(std::errc::illegal_byte_sequence).message()});
  ASSERT_EQ(plan.items.size(), 1u);
  EXPECT_EQ(plan.items[0].name, "review");
}

TEST(RenderPlan, NoRenderingAgentReadsNothing) {
  struct Case {
    std::string name;
    bool gemini_dir;
    Config config;
  };
  Config disabled;
  disabled.disabled = {"gemini"};
  const std::vector<Case> cases = {
      {"gemini not installed", false, {}},
      {"gemini disabled", true, disabled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome home;
    home.make_dir(".claude");
    if (c.gemini_dir) {
      home.make_dir(".gemini");
    }
    home.write(".agents/commands/bad.md", "\xFF");

    const RenderPlan plan =
        plan_renders(home.ctx(), list_agents(home.home(), c.config), home.commons());

    EXPECT_EQ(plan, RenderPlan{});
  }
}

TEST(RenderPlan, CommandsInNameOrderThenOrphans) {
  RenderHome home;
  home.write(".agents/commands/a.md", "first");
  home.write(".agents/commands/zz.md", "last");
  home.write(home.generated("gone.toml"), review_toml);

  const RenderPlan plan = home.plan();

  std::vector<std::string> names;
  for (const RenderItem& item : plan.items) {
    names.push_back(item.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a", "review", "zz", "gone"}));
}

TEST(RenderPlan, NamesReducedToTheSameNameRenderOnce) {
  RenderHome home;
  home.write(".agents/commands/review.md.md", "the other one");

  const RenderPlan plan = home.plan();

  ASSERT_EQ(plan.items.size(), 1u);
  EXPECT_EQ(plan.items[0].content, review_toml);
}

TEST(RenderApply, FolderThatCannotBeCreatedIsReported) {
  RenderHome home;
  home.write(".gemini/commands", "a file where the folder goes");
  const RenderPlan plan = home.plan();
  ASSERT_EQ(plan.items.size(), 1u);
  ASSERT_EQ(plan.items[0].state, RenderState::missing);

  auto applied = apply_render_item(plan.items[0]);

  ASSERT_FALSE(applied);
  EXPECT_TRUE(
      applied.error().starts_with("cannot create " + home.path(".gemini/commands").string() + ": "))
      << applied.error();
  EXPECT_EQ(home.read(".gemini/commands"), "a file where the folder goes");
}

TEST(RenderApply, VanishedOrphanIsAnError) {
  RenderHome home;
  const RenderItem item{.agent = "gemini",
                        .name = "gone",
                        .path = home.generated("gone.toml"),
                        .content = std::nullopt,
                        .state = RenderState::orphaned};

  // The system's own words for removing what is not there, whatever system this is.
  const std::string not_there = remove_file(item.path).error().message();

  auto applied = apply_render_item(item);

  ASSERT_FALSE(applied);
  EXPECT_EQ(applied.error(), "cannot remove " + item.path.string() + ": " + not_there);
}

}  // namespace
}  // namespace kelvaro
