#include <sys/stat.h>

#include <map>
#include <string>

#include "app/app.h"
#include "support/test_support.h"
#include "ui/text_output.h"

using Listing = std::map<std::string, std::string>;  // file name -> title

static Listing listed(const std::string& dir) {
  FixedText<128> files[APP_MAX_STORIES], titles[APP_MAX_STORIES];
  Listing m;
  for (int i = 0, n = list_stories_in_dir(dir.c_str(), files, titles); i < n; ++i) {
    m[files[i].c_str()] = titles[i].c_str();
  }
  return m;
}

TEST(ListStories, NamesWithMdTitlesFromThemAndTheLimits) {
  qh_test::TempDir dir, many, longdir;
  // ".MD" is not ".md"; a folder with the suffix is taken like any name.
  for (const char* name : {"la_cripta_oscura.md", "mi.historia.md", "x.md.bak", "Viaje.MD",
                           "notas.txt", "sin_punto_md"}) {
    qh_test::write_file(dir.file(name), "x");
  }
  ASSERT_EQ(mkdir(dir.file("carpeta.md").c_str(), 0755), 0);
  EXPECT_EQ(listed(dir.path()), (Listing{{"la_cripta_oscura.md", "la cripta oscura"},
                                         {"mi.historia.md", "mi.historia"},
                                         {"x.md.bak", "x.md"}, {"carpeta.md", "carpeta"}}));
  EXPECT_TRUE(listed(dir.file("no_existe")).empty() && listed(longdir.path()).empty());
  EXPECT_EQ(list_stories_in_dir(nullptr, nullptr, nullptr), 0);

  // At most 32 distinct entries; a 133-byte name is cut to 127 bytes, leaving no dot.
  for (int i = 0; i < 40; ++i) qh_test::write_file(many.file("h" + std::to_string(i) + ".md"), "x");
  EXPECT_EQ(listed(many.path()).size(), 32u);
  qh_test::write_file(longdir.file(std::string(130, 'a') + ".md"), "x");
  EXPECT_EQ(listed(longdir.path()), (Listing{{std::string(127, 'a'), std::string(127, 'a')}}));
}

TEST(MenuAnswers, OverlongLinesAreAnsweredOnce) {
  // The tail "777771" of a long line never becomes the next answer.
  qh_test::with_stdin(std::string(20, '7') + "1\n3\r\n", [] {
    char answer[APP_MENU_ANSWER_BYTES];
    EXPECT_TRUE(app_read_answer(answer, sizeof answer));
    EXPECT_EQ(std::string(answer), std::string(15, '7'));
    EXPECT_TRUE(app_read_answer(answer, sizeof answer));
    EXPECT_STREQ(answer, "3");
    EXPECT_FALSE(app_read_answer(answer, sizeof answer));
    EXPECT_TRUE(answer[0] == '\0' && ui_input_closed());
  });
}
