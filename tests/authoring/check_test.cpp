#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/story_check.h"
#include "authoring/story_map.h"
#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

class StoryCheck : public ::testing::Test {
 protected:
  void SetUp() override { story_ = static_cast<Story*>(std::calloc(1, sizeof(Story))); }
  void TearDown() override { std::free(story_); }

  Story* story_ = nullptr;
};

}  // namespace

// The bundled stories and every story of the test data, checked with notes, against the findings
// recorded for them: one problem at a time (check/un_problema), the parser's capacities filled
// exactly and overrun (check/limites), and everything at once. The bundled stories and the
// workshop template may hold notes, nothing else.
TEST_F(StoryCheck, EveryStoryFileChecksAsRecordedAndTheShippedOnesClean) {
  // Theme files are looked up relative to the working folder, as the game does.
  std::string previous = std::filesystem::current_path().string();
  std::filesystem::current_path(QH_SOURCE_DIR);
  std::vector<std::string> files(std::begin(qh_test::BUNDLED_STORIES),
                                 std::end(qh_test::BUNDLED_STORIES));
  for (const auto& entry : std::filesystem::recursive_directory_iterator("tests/data")) {
    if (entry.is_regular_file() && entry.path().extension() == ".md")
      files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  std::string expected = qh_test::read_file("tests/data/check/expected_diagnostics.txt");
  std::string got = expected.substr(0, expected.find("\n== ") + 1);  // the header
  for (const std::string& file : files) {
    CheckReport report;
    check_story_file(file, *story_, report, true);
    EXPECT_TRUE(report.readable) << file;
    got += "== " + file + "\n";
    for (const CheckFinding& f : report.findings)
      got += std::to_string(f.line) + " " + f.code + "\n";
    if (file.starts_with("stories/") || file == "tests/data/workshop_template.md") {
      EXPECT_FALSE(check_has_problems(report)) << file << "\n" << check_format_text(report);
    }
  }
  EXPECT_EQ(got, expected);
  EXPECT_GE(std::count(files.begin(), files.end(), "tests/data/workshop_template.md"), 1);
  // The recorded findings show every code at work.
  for (const StoryCodeInfo& info : STORY_CODES)
    EXPECT_NE(expected.find(std::string(" ") + info.name + "\n"), std::string::npos) << info.name;
  std::filesystem::current_path(previous);
}

// The help, the README and the guide list exactly the codes of the table, with its severities.
TEST_F(StoryCheck, HelpReadmeAndGuideListEveryCodeWithItsSeverity) {
  std::vector<std::string> table;
  for (const StoryCodeInfo& info : STORY_CODES)
    table.push_back(std::string(info.name) + " " + story_severity_name(info.severity));
  std::sort(table.begin(), table.end());
  // The pairs a text lists, in lines matching `row`, between `from` and the next `until`.
  auto listed = [](const std::string& text, const std::string& from, const std::string& until,
                   const std::regex& row) {
    std::size_t begin = text.find(from);
    EXPECT_NE(begin, std::string::npos) << from;
    std::istringstream lines(text.substr(begin, text.find(until, begin + from.size()) - begin));
    std::vector<std::string> pairs;
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
      if (std::regex_match(line, m, row)) pairs.push_back(m[1].str() + " " + m[2].str());
    std::sort(pairs.begin(), pairs.end());
    return pairs;
  };
  const std::regex table_row(R"(\| `([a-z-]+)` \| (error|aviso|nota) \|.*)");
  qh_test::RunResult help = qh_test::run_program({.cwd = QH_SOURCE_DIR,
                                                  .input = "",
                                                  .args = {"check", "--help"},
                                                  .binary = QH_TOOLS_BINARY,
                                                  .env = {}});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.out.starts_with("Uso: quillhaven-tools check"));
  EXPECT_EQ(
      listed(help.out, "Códigos", "\n\n", std::regex(R"(  ([a-z-]+) \((error|aviso|nota)\))")),
      table);
  EXPECT_EQ(listed(qh_test::read_file(QH_SOURCE_DIR "/README.md"), "## The author's toolkit",
                   "\n## ", table_row),
            table);
  EXPECT_EQ(listed(qh_test::read_file(QH_SOURCE_DIR "/GUIA_CREACION_HISTORIAS.md"),
                   "### Revisar: `check`", "\n### ", table_row),
            table);
}

TEST_F(StoryCheck, MapDrawsSectionsEndingsAndFailureEdges) {
  ASSERT_TRUE(story_parser_load_file(*story_, QH_TEST_DATA_DIR "/authoring/mapa.md"));
  // A hidden option without a command takes no number: nothing typed reaches it.
  StorySection& start = story_->sections[0];
  start.transitions[2] = start.transitions[1];
  start.transitions[1] = StoryTransition{};
  start.transitions[1].target.assign("3");
  start.transitions[1].is_hidden = true;
  start.transition_count = 3;
  EXPECT_EQ(story_map_dot(*story_), qh_test::read_file(QH_TEST_DATA_DIR "/authoring/mapa.dot"));
}
