#include <gtest/gtest.h>

#include <string>

#include "table/table_topic.h"

// An adventurer's id is the name's slug: accents written as their plain
// letters, at most the id's length; a name with no letter or digit names nobody.
TEST(TablePlayerId, NamesBecomeIdsWithoutAccentsOrHashes) {
  const std::pair<std::string, std::string> cases[] = {
      {"Ana", "ana"}, {"Ánä Pérez", "ana_perez"}, {"Bea-2", "bea_2"}, {"Ñandú", "nandu"}};
  for (const auto& [name, id] : cases) {
    TablePlayerId out;
    ASSERT_TRUE(table_player_id(name, out)) << name;
    EXPECT_EQ(out.view(), id) << name;
  }
  TablePlayerId out;
  EXPECT_FALSE(table_player_id("¡¿!?", out));
  EXPECT_FALSE(table_player_id("__", out));
  ASSERT_TRUE(table_player_id(std::string(200, 'z'), out));
  EXPECT_EQ(out.size(), TABLE_PLAYER_ID_MAX);
}
