#include "story/option_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "story/command_detect.h"
#include "story_dump.h"
#include "support/test_support.h"

namespace {

// The rows of a data file, split at their tabs; lines without a tab only describe the rows.
std::vector<std::vector<std::string>> rows_of(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream text(qh_test::read_file(QH_TEST_DATA_DIR "/story/" + name));
  for (std::string line; std::getline(text, line);) {
    if (line.find('\t') == line.npos) continue;
    std::istringstream fields(line + "\t");
    rows.emplace_back();
    for (std::string field; std::getline(fields, field, '\t');) rows.back().push_back(field);
  }
  return rows;
}

}  // namespace

TEST(CommandDetect, TagBackticksAndLeadingWord) {
  const auto rows = rows_of("command_detect.txt");
  ASSERT_EQ(rows.size(), 14u);
  for (const auto& row : rows) {
    FixedText<512> label;
    label.assign(row[0]);
    FixedText<256> command;
    command.assign("restos de una llamada anterior");
    bool has = true;
    detect_command_in_text(label, command, has);
    EXPECT_EQ(std::string(label) + " | " + std::string(command), row[1] + " | " + row[2]);
    EXPECT_EQ(has, !row[2].empty()) << row[0];
  }
}

TEST(OptionLine, FormsFieldsAndPrecedence) {
  auto rows = rows_of("option_lines.txt");
  rows.push_back({std::string("- [-> 2] Ir\0[Obtener: Oro]", 26), "to=2 | label=Ir"});  // NUL ends
  ASSERT_EQ(rows.size(), 28u);
  for (const auto& row : rows) {
    const std::string expected = row.size() > 1 ? row[1] : "";
    StoryTransition t;
    std::memset(&t, 0x5A, sizeof t);  // leftovers must never show through
    EXPECT_EQ(parse_transition_line(row[0], t), !expected.empty()) << row[0];
    EXPECT_EQ(expected.empty() ? "" : story_test::describe(t), expected) << row[0];
  }
}

// What a line told to report says, at the line it is told, and that it parses the same as without a
// sink.
TEST(OptionLine, ReportsWhyALineIsNoOptionAndWhatItCouldNotRead) {
  const auto rows = rows_of("option_reports.txt");
  ASSERT_EQ(rows.size(), 15u);
  for (const auto& row : rows) {
    std::string got, expected;
    for (std::size_t i = 1; i < row.size(); ++i)
      expected += row[i].empty() ? "" : "7 " + row[i] + "\n";
    StoryTransition quiet, told;
    const bool option = parse_transition_line(row[0], quiet);
    EXPECT_EQ(parse_transition_line(row[0], told, {story_test::append_report, &got}, 7), option)
        << row[0];
    EXPECT_EQ(got, expected) << row[0];
    EXPECT_EQ(got.starts_with("7 opcion-rechazada: "), !option) << row[0];
    EXPECT_EQ(option ? story_test::describe(told) : "", option ? story_test::describe(quiet) : "")
        << row[0];
  }
}
