#include "character/character.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

TEST(Character, InitDamageAndHealing) {
  Character c;
  character_init(c, std::string(80, 'x'), -4);
  EXPECT_EQ(c.name.view(), std::string(63, 'x'));
  character_add_item(c, "Antorcha");
  character_init(c, "", 0);
  EXPECT_TRUE(c.name == "Valiente" && c.inventory_count == 0);
  // From 10/10, one step after another; a `set_hp` first forces a hand-edited value.
  struct Step {
    int32_t set_hp, damage, heal, result, hp, wounded;
  };
  const Step steps[] = {
      {0, -3, 0, 0, 10, 0}, {0, 7, 0, 7, 3, 1}, {0, 1, 0, 1, 2, 1},  // wounded only once
      {0, 0, 1, 1, 3, 1},   {0, 0, 5, 5, 8, 0}, {0, 0, 100, 2, 10, 0},
      {0, 15, 0, 10, 0, 0}, {0, 4, 0, 0, 0, 0}, {-5, 3, 0, 0, -5, 0},  // never raises hp
      {12, 0, 3, 0, 12, 0},  // never lowers an hp above the maximum
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.damage << "/" << s.heal);
    if (s.set_hp != 0) c.hp = s.set_hp;
    EXPECT_EQ(s.heal != 0 ? character_heal(c, s.heal) : character_take_damage(c, s.damage),
              s.result);
    EXPECT_EQ(std::tuple(c.hp, c.state_count, character_is_alive(c)),
              std::tuple(s.hp, s.wounded, s.hp > 0));
  }
  character_init(c, "Ana", INT32_MAX);  // the sum must not overflow
  c.hp = 1;
  EXPECT_EQ(character_heal(c, INT32_MAX), INT32_MAX - 1);
  EXPECT_EQ(c.hp, INT32_MAX);
}

TEST(Character, NamesMatchWholeAndIgnoringAsciiCaseOnly) {
  Character c;
  character_init(c, "Ana", 10);
  for (const char* item : {"antorcha", "Antorcha", "Éter", "Cuerda"}) character_add_item(c, item);
  character_add_item(c, std::string(70, 'k'));  // stored cut to 63
  EXPECT_TRUE(character_has_item(c, ""));       // an empty requirement is always met
  EXPECT_FALSE(character_has_item(c, "éter"));  // accented letters are not folded
  EXPECT_TRUE(character_remove_item(c, "ANTORCHA"));
  ASSERT_EQ(c.inventory_count, 3);
  EXPECT_EQ(c.inventory[0].view(), "Éter");
  EXPECT_EQ(c.inventory[2].view(), std::string(63, 'k'));
  character_set_stat(c, "Fuerza", 3);
  character_set_stat(c, "FUERZA", -2);
  EXPECT_EQ(character_get_stat(c, "fuerza"), -2);
  EXPECT_EQ(character_get_stat(c, "magia"), 0);
  character_set_flag(c, "llave", 257);  // only the low 8 bits are kept
  EXPECT_EQ(character_get_flag(c, "LLAVE"), 1);
}

TEST(Character, EveryListHoldsItsCapacityAndDropsTheNext) {
  auto name = [](int i) { return "e" + std::to_string(i); };
  for (int extra : {-1, 0, 1}) {  // N-1, N and N+1 entries
    Character c;
    character_init(c, "Ana", 10);
    for (int i = 0; i < CHARACTER_MAX_ITEMS + extra; ++i) character_add_item(c, name(i));
    for (int i = 0; i < CHARACTER_MAX_STATES + extra; ++i) character_add_state(c, name(i));
    for (int i = 0; i < CHARACTER_MAX_STATS + extra; ++i) character_set_stat(c, name(i), 7);
    for (int i = 0; i < CHARACTER_MAX_FLAGS + extra; ++i) character_set_flag(c, name(i), 1);
    const int kept = std::min(extra, 0);
    EXPECT_EQ(c.inventory_count, CHARACTER_MAX_ITEMS + kept);
    EXPECT_EQ(c.state_count, CHARACTER_MAX_STATES + kept);
    EXPECT_EQ(c.stat_count, CHARACTER_MAX_STATS + kept);
    EXPECT_EQ(c.flag_count, CHARACTER_MAX_FLAGS + kept);
    EXPECT_EQ(c.inventory[c.inventory_count - 1].view(), name(c.inventory_count - 1));
    EXPECT_EQ(c.flags[c.flag_count - 1].name.view(), name(c.flag_count - 1));
    if (extra <= 0) continue;
    character_set_stat(c, "E15", 99);  // an existing entry still changes in a full list
    EXPECT_EQ(character_get_stat(c, "e15"), 99);
  }
}
