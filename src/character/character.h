// The hero's sheet: hit points, stats, inventory, states and flags.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "story/story.h"

inline constexpr int CHARACTER_MAX_STATS = 16;
inline constexpr int CHARACTER_MAX_ITEMS = 64;
inline constexpr int CHARACTER_MAX_STATES = 32;
inline constexpr int CHARACTER_MAX_FLAGS = 64;

// Managed by damage and healing: present while the hero has 1 to 3 hit points.
inline constexpr const char* STATE_BADLY_WOUNDED = "Herido de gravedad";

struct FlagEntry {
  NameText name;
  std::uint8_t value;  // 0 = not set
};
static_assert(std::is_trivially_copyable_v<FlagEntry>);

struct Character {
  NameText name;
  std::int32_t max_hp;
  std::int32_t hp;
  StatEntry stats[CHARACTER_MAX_STATS];
  std::int32_t stat_count;
  NameText inventory[CHARACTER_MAX_ITEMS];
  std::int32_t inventory_count;
  NameText states[CHARACTER_MAX_STATES];
  std::int32_t state_count;
  FlagEntry flags[CHARACTER_MAX_FLAGS];
  std::int32_t flag_count;
};
static_assert(std::is_trivially_copyable_v<Character>);

// Names compare with the same length, byte for byte after ASCII lower-casing.
// An empty name makes every operation do nothing and return its neutral result.
void character_init(Character& c, std::string_view name, std::int32_t starting_hp);
bool character_is_alive(const Character& c);
std::int32_t character_take_damage(Character& c, std::int32_t amount);
std::int32_t character_heal(Character& c, std::int32_t amount);
void character_add_state(Character& c, std::string_view state);
void character_remove_state(Character& c, std::string_view state);
void character_add_item(Character& c, std::string_view item);
bool character_has_item(const Character& c, std::string_view item);
bool character_remove_item(Character& c, std::string_view item);
std::int32_t character_get_stat(const Character& c, std::string_view stat);
void character_set_stat(Character& c, std::string_view stat, std::int32_t value);
std::int32_t character_get_flag(const Character& c, std::string_view flag);
void character_set_flag(Character& c, std::string_view flag, std::int32_t value);

// A new hero from a story's starting values: init with the story's hp, then
// its stats and items in file order.
void character_seed_from_story(Character& c, const Story& story, std::string_view name);
