// Replays the settings corpus (and any crash inputs added to it) through the
// round-trip property the fuzz target checks.
#include <gtest/gtest.h>

#include <filesystem>

#include "config_invariants.h"
#include "support/test_support.h"

TEST(FuzzReplay, SettingsCorpusRoundTrips) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QH_FUZZ_DIR "/corpus_config")) {
    EXPECT_EQ(config_invariants::check_round_trip(qh_test::read_file(entry.path())), nullptr)
        << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0);
}
