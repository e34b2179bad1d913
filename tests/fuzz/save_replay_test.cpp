// Replays the save seed corpus (and any saved crash inputs added to it)
// through the round-trip property of the save fuzz target.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "save_roundtrip.h"
#include "support/test_support.h"

TEST(FuzzReplay, SavesReadBackAsTheyAreWritten) {
  std::error_code error;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QH_FUZZ_DIR "/corpus_save", error)) {
    EXPECT_EQ(save_roundtrip::check(qh_test::read_file(entry.path())), nullptr) << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0);
}
