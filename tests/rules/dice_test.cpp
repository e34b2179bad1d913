#include "rules/dice.h"

#include <sstream>
#include <string>

#include "support/test_support.h"

TEST(Dice, TiersAndSummaries) {
  std::istringstream rows(qh_test::read_file(QH_TEST_DATA_DIR "/rules/dice_tiers.txt"));
  int count = 0;
  for (std::string row; std::getline(rows, row);) {
    if (row.find('\t') == std::string::npos) continue;
    std::int32_t d1, d2, modifier, dc;
    std::istringstream(row) >> d1 >> d2 >> modifier >> dc;
    const RollResult r = rules_classify_roll(d1, d2, modifier, dc);
    EXPECT_TRUE(r.die1 == d1 && r.die2 == d2 && r.modifier == modifier && r.dc == dc) << row;
    EXPECT_EQ(std::to_string(r.outcome) + " " + std::to_string(r.total) + " " + r.text.c_str(),
              row.substr(row.find('\t') + 1));
    ++count;
  }
  EXPECT_EQ(count, 9);
}
