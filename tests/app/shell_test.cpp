#include <sys/stat.h>

#include <map>
#include <string>

#include "app/app.h"
#include "support/test_support.h"
#include "ui/text_output.h"

namespace {

using qh_test::TempDir;
using qh_test::write_file;

struct StoryList {
  FixedText<128> files[APP_MAX_STORIES];
  FixedText<128> titles[APP_MAX_STORIES];
  std::int32_t count = 0;
  std::map<std::string, std::string> by_file() const {
    std::map<std::string, std::string> m;
    for (std::int32_t i = 0; i < count; ++i) m[files[i].c_str()] = titles[i].c_str();
    return m;
  }
};

TEST(ListStories, TakesEveryNameWithMdAndDerivesTitles) {
  TempDir dir;
  write_file(dir.file("la_cripta_oscura.md"), "x");
  write_file(dir.file("mi.historia.md"), "x");
  write_file(dir.file("x.md.bak"), "x");
  write_file(dir.file("Gran-Viaje_Final.MD"), "x");  // ".MD" is not ".md"
  write_file(dir.file("notas.txt"), "x");
  write_file(dir.file("sin_punto_md"), "x");
  ASSERT_EQ(mkdir(dir.file("carpeta.md").c_str(), 0755), 0);  // taken, like any name

  StoryList list;
  list.count = list_stories_in_dir(dir.path().c_str(), list.files, list.titles);
  std::map<std::string, std::string> expected = {
      {"la_cripta_oscura.md", "la cripta oscura"},
      {"mi.historia.md", "mi.historia"},
      {"x.md.bak", "x.md"},
      {"carpeta.md", "carpeta"},
  };
  EXPECT_EQ(list.count, 4);
  EXPECT_EQ(list.by_file(), expected);
}

TEST(ListStories, StopsAtThirtyTwoAndCutsLongNames) {
  TempDir dir;
  for (int i = 0; i < 40; ++i) write_file(dir.file("h" + std::to_string(i) + ".md"), "x");
  StoryList list;
  list.count = list_stories_in_dir(dir.path().c_str(), list.files, list.titles);
  EXPECT_EQ(list.count, 32);
  std::map<std::string, std::string> seen = list.by_file();
  EXPECT_EQ(seen.size(), 32u);  // 32 distinct entries, none repeated

  TempDir longdir;
  std::string name = std::string(130, 'a') + ".md";  // 133 bytes: cut to 127, no dot left
  write_file(longdir.file(name), "x");
  StoryList one;
  ASSERT_EQ(list_stories_in_dir(longdir.path().c_str(), one.files, one.titles), 1);
  EXPECT_EQ(std::string(one.files[0].c_str()), std::string(127, 'a'));
  EXPECT_EQ(std::string(one.titles[0].c_str()), std::string(127, 'a'));
}

TEST(ListStories, MissingOrEmptyFolderGivesNothing) {
  TempDir dir;
  StoryList list;
  EXPECT_EQ(list_stories_in_dir(dir.file("no_existe").c_str(), list.files, list.titles), 0);
  EXPECT_EQ(list_stories_in_dir(dir.path().c_str(), list.files, list.titles), 0);
  EXPECT_EQ(list_stories_in_dir(nullptr, list.files, list.titles), 0);
}

TEST(MenuChoice, OnlyExactlyOneCharacterInRange) {
  struct Case {
    const char* answer;
    char last;
    char expected;
  } cases[] = {
      {"1", '6', '1'}, {"6", '6', '6'}, {"5", '5', '5'}, {"6", '5', 0},
      {"0", '6', 0},   {"7", '6', 0},   {"", '6', 0},    {" 3", '6', 0},
      {"3 ", '6', 0},  {"33", '6', 0},  {"3.", '6', 0},  {"a", '6', 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app_menu_choice(c.answer, c.last), c.expected) << "[" << c.answer << "]";
  }
}

TEST(ReadAnswer, LongLineRestIsDroppedAndEndOfInputIsReported) {
  std::string long_line = std::string(20, '7') + "1\n";
  qh_test::with_stdin(long_line + "3\r\n", [] {
    char answer[APP_MENU_ANSWER_BYTES];
    ASSERT_TRUE(app_read_answer(answer, sizeof answer));
    EXPECT_EQ(std::string(answer), std::string(15, '7'));
    // The next answer is the next line, not the tail "777771" of the long one.
    ASSERT_TRUE(app_read_answer(answer, sizeof answer));
    EXPECT_STREQ(answer, "3");
    EXPECT_FALSE(app_read_answer(answer, sizeof answer));
    EXPECT_STREQ(answer, "");
    EXPECT_TRUE(ui_input_closed());
  });
}

}  // namespace
