// Replays the fuzz seed corpora (and any saved crash inputs added to them)
// through the same invariant checks the fuzz targets apply.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "story/option_line.h"
#include "story/story_parser.h"
#include "story_invariants.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> corpus_files(const std::string& dir) {
  std::vector<std::string> files;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

TEST(FuzzReplay, StoryCorpusHoldsTheInvariants) {
  std::vector<std::string> files = corpus_files(QH_FUZZ_DIR "/corpus_story");
  ASSERT_FALSE(files.empty());
  Story* fresh = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  Story* reused = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  for (const std::string& path : files) {
    std::string text = qh_test::read_file(path);
    bool ok = story_parser_load_string(*reused, text.c_str(), "Fuzz");
    EXPECT_EQ(ok, reused->section_count > 0) << path;
    EXPECT_EQ(story_invariants::check_story(*reused), nullptr) << path;

    // A reused record reads the same as a fresh one, up to every count.
    std::memset(fresh, 0, sizeof(Story));
    story_parser_load_string(*fresh, text.c_str(), "Fuzz");
    ASSERT_EQ(fresh->section_count, reused->section_count) << path;
    for (int i = 0; i < fresh->section_count; ++i) {
      const StorySection& a = fresh->sections[i];
      const StorySection& b = reused->sections[i];
      EXPECT_EQ(a.text.view(), b.text.view()) << path;
      ASSERT_EQ(a.transition_count, b.transition_count) << path;
      for (int j = 0; j < a.transition_count; ++j) {
        EXPECT_EQ(a.transitions[j].label.view(), b.transitions[j].label.view()) << path;
      }
    }
  }
  std::free(fresh);
  std::free(reused);
}

TEST(FuzzReplay, OptionCorpusHoldsTheInvariants) {
  std::vector<std::string> files = corpus_files(QH_FUZZ_DIR "/corpus_option");
  ASSERT_FALSE(files.empty());
  for (const std::string& path : files) {
    std::string line = qh_test::read_file(path);
    StoryTransition t;
    if (parse_transition_line(line, t)) {
      EXPECT_EQ(story_invariants::check_transition(t), nullptr) << path;
    }
  }
}
