#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "character/character.h"

namespace {

Character make_hero(int hp = 10) {
  Character c;
  character_init(c, "Ana", hp);
  return c;
}

std::string numbered(const char* stem, int i) { return std::string(stem) + std::to_string(i); }

// Fills a list to N-1 entries, adds the N-th and an (N+1)-th, and checks the
// count and that the dropped entry is really absent.
void check_capacity(const char* what, int capacity,
                    const std::function<void(Character&, const std::string&)>& add,
                    const std::function<bool(const Character&, const std::string&)>& has,
                    const std::function<int(const Character&)>& count) {
  SCOPED_TRACE(what);
  Character c = make_hero();
  for (int i = 0; i < capacity - 1; ++i) add(c, numbered("e", i));
  EXPECT_EQ(count(c), capacity - 1);
  add(c, "ultimo");
  EXPECT_EQ(count(c), capacity);
  EXPECT_TRUE(has(c, "ultimo"));
  add(c, "sobrante");
  EXPECT_EQ(count(c), capacity);
  EXPECT_FALSE(has(c, "sobrante"));
  add(c, "ULTIMO");  // a duplicate in other letters is not a new entry either
  EXPECT_EQ(count(c), capacity);
}

}  // namespace

TEST(Character, InitResetsAndFallsBack) {
  Character c = make_hero(25);
  character_add_item(c, "Antorcha");
  character_init(c, "", 0);
  EXPECT_EQ(c.name.view(), "Valiente");
  EXPECT_EQ(c.hp, 10);
  EXPECT_EQ(c.max_hp, 10);
  EXPECT_EQ(c.inventory_count, 0);
  character_init(c, std::string(80, 'x'), -4);
  EXPECT_EQ(c.name.view(), std::string(63, 'x'));
  EXPECT_EQ(c.max_hp, 10);
}

TEST(Character, DamageNeverRaisesHpAndMarksBadWounds) {
  Character c = make_hero(10);
  EXPECT_EQ(character_take_damage(c, 0), 0);
  EXPECT_EQ(character_take_damage(c, -3), 0);
  EXPECT_EQ(character_take_damage(c, 7), 7);
  EXPECT_EQ(c.hp, 3);
  EXPECT_TRUE(character_has_state(c, STATE_BADLY_WOUNDED));
  EXPECT_EQ(character_take_damage(c, 1), 1);
  EXPECT_EQ(c.state_count, 1);  // not added twice
  EXPECT_EQ(character_take_damage(c, 5), 2);
  EXPECT_EQ(c.hp, 0);
  EXPECT_FALSE(character_is_alive(c));
  EXPECT_EQ(character_take_damage(c, 4), 0);
  // A hero loaded below 0 must not be "healed" by the min(amount, hp) rule.
  c.hp = -5;
  EXPECT_EQ(character_take_damage(c, 3), 0);
  EXPECT_EQ(c.hp, -5);
}

TEST(Character, HealingStopsAtMaximumAndClearsBadWounds) {
  Character c = make_hero(10);
  c.hp = 2;
  character_add_state(c, STATE_BADLY_WOUNDED);
  EXPECT_EQ(character_heal(c, 1), 1);
  EXPECT_TRUE(character_has_state(c, STATE_BADLY_WOUNDED));
  EXPECT_EQ(character_heal(c, 5), 5);
  EXPECT_EQ(c.hp, 8);
  EXPECT_FALSE(character_has_state(c, STATE_BADLY_WOUNDED));
  EXPECT_EQ(character_heal(c, 100), 2);
  EXPECT_EQ(c.hp, 10);
  // Above the maximum (a hand-edited save): healing never lowers hit points.
  c.hp = 12;
  EXPECT_EQ(character_heal(c, 3), 0);
  EXPECT_EQ(c.hp, 12);
  // Near the 32-bit limit the sum must not overflow.
  Character big = make_hero(INT32_MAX);
  big.hp = 1;
  EXPECT_EQ(character_heal(big, INT32_MAX), INT32_MAX - 1);
  EXPECT_EQ(big.hp, INT32_MAX);
}

TEST(Character, NamesMatchWholeAndIgnoringAsciiCaseOnly) {
  Character c = make_hero();
  character_add_item(c, "antorcha");
  character_add_item(c, "Antorcha");
  EXPECT_EQ(c.inventory_count, 1);
  EXPECT_TRUE(character_has_item(c, "ANTORCHA"));
  EXPECT_TRUE(character_has_item(c, ""));  // an empty requirement is always met
  character_add_item(c, "Éter");
  EXPECT_FALSE(character_has_item(c, "éter"));  // accented letters are not folded
  // A long name is stored cut and no longer matches its cut copy.
  std::string longname(70, 'k');
  character_add_item(c, longname);
  EXPECT_FALSE(character_has_item(c, longname));
  EXPECT_TRUE(character_has_item(c, std::string(63, 'K')));
  character_add_item(c, "Cuerda");
  EXPECT_TRUE(character_remove_item(c, "ANTORCHA"));
  EXPECT_FALSE(character_remove_item(c, "Antorcha"));
  ASSERT_EQ(c.inventory_count, 3);
  EXPECT_EQ(c.inventory[0].view(), "Éter");
  EXPECT_EQ(c.inventory[2].view(), "Cuerda");

  character_set_stat(c, "Fuerza", 3);
  character_set_stat(c, "FUERZA", -2);
  EXPECT_EQ(c.stat_count, 1);
  EXPECT_EQ(character_get_stat(c, "fuerza"), -2);
  EXPECT_EQ(character_get_stat(c, "magia"), 0);
  for (auto [value, stored] : {std::pair{255, 255}, {256, 0}, {257, 1}, {-1, 255}}) {
    character_set_flag(c, "llave", value);
    EXPECT_EQ(character_get_flag(c, "LLAVE"), stored) << value;
  }
}

TEST(Character, EveryListHoldsItsCapacityAndDropsTheNext) {
  check_capacity(
      "inventory", CHARACTER_MAX_ITEMS,
      [](Character& c, const std::string& n) { character_add_item(c, n); },
      [](const Character& c, const std::string& n) { return character_has_item(c, n); },
      [](const Character& c) { return c.inventory_count; });
  check_capacity(
      "states", CHARACTER_MAX_STATES,
      [](Character& c, const std::string& n) { character_add_state(c, n); },
      [](const Character& c, const std::string& n) { return character_has_state(c, n); },
      [](const Character& c) { return c.state_count; });
  check_capacity(
      "stats", CHARACTER_MAX_STATS,
      [](Character& c, const std::string& n) { character_set_stat(c, n, 7); },
      [](const Character& c, const std::string& n) { return character_get_stat(c, n) == 7; },
      [](const Character& c) { return c.stat_count; });
  check_capacity(
      "flags", CHARACTER_MAX_FLAGS,
      [](Character& c, const std::string& n) { character_set_flag(c, n, 1); },
      [](const Character& c, const std::string& n) { return character_get_flag(c, n) == 1; },
      [](const Character& c) { return c.flag_count; });

  // Existing entries still change when the list is full, and a removal frees a slot.
  Character c = make_hero();
  for (int i = 0; i < CHARACTER_MAX_STATS; ++i) character_set_stat(c, numbered("s", i), i);
  for (int i = 0; i < CHARACTER_MAX_FLAGS; ++i) character_set_flag(c, numbered("f", i), 0);
  character_set_stat(c, "s15", 99);
  character_set_flag(c, "F63", 1);
  EXPECT_EQ(character_get_stat(c, "s15"), 99);
  EXPECT_EQ(character_get_flag(c, "f63"), 1);
  for (int i = 0; i < CHARACTER_MAX_STATES; ++i) character_add_state(c, numbered("st", i));
  character_take_damage(c, 8);  // the wounded state finds no room
  EXPECT_FALSE(character_has_state(c, STATE_BADLY_WOUNDED));
  character_remove_state(c, "st0");
  character_take_damage(c, 1);
  EXPECT_TRUE(character_has_state(c, STATE_BADLY_WOUNDED));
  EXPECT_EQ(c.states[CHARACTER_MAX_STATES - 1].view(), STATE_BADLY_WOUNDED);
}

TEST(Character, SeededFromTheStoryInFileOrder) {
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  ASSERT_NE(story, nullptr);
  for (auto [name, value] : {std::pair{"Fuerza", 2}, {"Magia", 1}, {"fuerza", 4}}) {
    story->stats[story->stat_count].name.assign(name);
    story->stats[story->stat_count++].value = value;
  }
  for (const char* item : {"Antorcha", "Cuerda", "ANTORCHA"}) {
    story->items[story->item_count++].assign(item);
  }
  Character c;
  character_seed_from_story(c, *story, "Ana");
  EXPECT_EQ(c.hp, 10);  // a story without hp
  ASSERT_EQ(c.stat_count, 2);
  EXPECT_EQ(c.stats[0].value, 4);
  ASSERT_EQ(c.inventory_count, 2);
  EXPECT_EQ(c.inventory[1].view(), "Cuerda");
  std::free(story);
}
