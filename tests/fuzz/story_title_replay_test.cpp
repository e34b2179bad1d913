// Replays the title corpus, and the story corpus, through the property the
// title fuzz target checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "story_title_invariants.h"
#include "support/test_support.h"

TEST(FuzzReplay, TitlesReadAloneAreTheParsersTitles) {
  auto story = std::make_unique<Story>();
  int files = 0;
  for (const char* corpus : {QH_FUZZ_DIR "/corpus_story_title", QH_FUZZ_DIR "/corpus_story"}) {
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
      EXPECT_EQ(story_title_invariants::check_title(qh_test::read_file(entry.path()), *story),
                nullptr)
          << entry.path();
      ++files;
    }
  }
  EXPECT_GT(files, 10);
}
