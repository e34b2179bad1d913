// Replays the fuzz seed corpora (and any saved crash inputs added to them)
// through the same invariant checks the fuzz targets apply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "story/option_line.h"
#include "story/story_dump.h"
#include "story_invariants.h"
#include "support/test_support.h"

namespace {

// The files of one corpus in name order, so that the reused record sees them in a fixed order.
std::vector<std::filesystem::path> corpus_files(const char* dir) {
  std::error_code error;
  std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(dir, error), {});
  std::sort(files.begin(), files.end());
  EXPECT_FALSE(files.empty()) << dir;
  return files;
}

}  // namespace

TEST(FuzzReplay, CorporaHoldTheInvariants) {
  auto reused = std::make_unique<Story>();
  auto garbage = std::make_unique<Story>();
  for (const auto& path : corpus_files(QH_FUZZ_DIR "/corpus_story")) {
    std::string text = qh_test::read_file(path);
    bool ok = story_parser_load_string(*reused, text.c_str(), "Fuzz");
    EXPECT_EQ(story_invariants::check_parse(*reused, ok), nullptr) << path;
    auto fresh = std::make_unique<Story>();  // a reused record reads the same as a fresh one
    story_parser_load_string(*fresh, text.c_str(), "Fuzz");
    EXPECT_EQ(story_test::dump(*fresh), story_test::dump(*reused)) << path;
    // So does one whose every byte is garbage: the parse must reset each field it
    // leaves unwritten, not rely on zeroed memory.
    std::memset(static_cast<void*>(garbage.get()), 0xA5, sizeof(Story));
    bool garbage_ok = story_parser_load_string(*garbage, text.c_str(), "Fuzz");
    EXPECT_EQ(story_invariants::check_parse(*garbage, garbage_ok), nullptr) << path;
    EXPECT_EQ(story_test::dump(*fresh), story_test::dump(*garbage)) << path;
  }
  for (const auto& path : corpus_files(QH_FUZZ_DIR "/corpus_option")) {
    StoryTransition t;
    if (parse_transition_line(qh_test::read_file(path), t)) {
      EXPECT_EQ(story_invariants::check_transition(t), nullptr) << path;
    }
  }
}
