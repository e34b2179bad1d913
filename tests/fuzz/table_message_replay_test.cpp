// Replays the table message corpus (and any crash inputs added to it)
// through the property the fuzz target checks.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"
#include "table_message_invariants.h"

TEST(FuzzReplay, TableMessagesHoldTheInvariants) {
  std::error_code error;
  int files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(QH_FUZZ_DIR "/corpus_table_message", error)) {
    EXPECT_EQ(table_message_invariants::check(qh_test::read_file(entry.path())), nullptr)
        << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0);
}
