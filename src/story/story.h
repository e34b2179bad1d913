// The in-memory story: fixed-capacity records filled by the story parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/fixed_text.h"

// Capacities of a story. Entries beyond them are dropped silently; texts
// longer than their field are cut at the field's capacity.
inline constexpr int STORY_MAX_STATS = 16;          // starting stats of the hero
inline constexpr int STORY_MAX_ITEMS = 64;          // starting inventory
inline constexpr int STORY_MAX_SECTIONS = 128;      // sections of one story
inline constexpr int STORY_MAX_LORE = 64;           // lore passages of one story
inline constexpr int SECTION_MAX_TRANSITIONS = 32;  // options of one section
inline constexpr int SECTION_MAX_ITEMS = 8;         // items found in one section

using NameText = FixedText<64>;  // stat, item, state and flag names
using IdText = FixedText<32>;    // section ids

// What the parser reads of a line: the rest of a longer line is ignored.
inline constexpr std::size_t STORY_FRONT_MATTER_LINE_MAX = 511;  // a front-matter line
inline constexpr std::size_t STORY_BODY_LINE_MAX = 2047;         // a line after the front matter
// The value of a front-matter key ("title: ...") is cut here before it is stored.
inline constexpr std::size_t STORY_FRONT_MATTER_VALUE_MAX = 255;
// The hero's starting hit points when the front matter gives none.
inline constexpr std::int32_t STORY_DEFAULT_HP = 10;

struct StatEntry {
  NameText name;
  std::int32_t value;
};
static_assert(std::is_trivially_copyable_v<StatEntry>);

// One option (exit) of a section.
struct StoryTransition {
  IdText target;             // destination; for a check, the destination on success
  FixedText<512> label;      // the text shown to the player
  NameText required_item;    // item the hero must carry
  NameText required_flag;    // flag that must be set
  NameText blocking_flag;    // flag that, when set, makes the option unavailable
  NameText check_stat;       // stat tested by a check; empty = no check
  std::int32_t check_dc;     // difficulty of the check
  IdText fail_target;        // destination on a failed check; empty = target
  std::int32_t fail_damage;  // damage on a failed check
  std::int32_t success_damage;
  NameText gain_item;
  NameText lose_item;
  NameText set_flag;
  NameText add_state;
  FixedText<256> command;  // terminal command bound to the option
  bool is_hidden;          // never listed; taken only by typing its command
  bool has_command;        // listed and taken as a command line, not a number
};
static_assert(std::is_trivially_copyable_v<StoryTransition>);

struct StorySection {
  IdText id;
  FixedText<256> title;
  FixedText<8192> text;       // body paragraphs joined with "\n\n"
  FixedText<2048> lore_text;  // lines after a "### Lore" heading, joined with " "
  StoryTransition transitions[SECTION_MAX_TRANSITIONS];
  std::int32_t transition_count;
  bool is_ending;
  FixedText<32> ending_type;  // "victory", "defeat", "neutral" or empty
  NameText items[SECTION_MAX_ITEMS];
  std::int32_t item_count;
  std::int32_t damage;  // hazard damage applied each time the section is shown
  FixedText<64> music;
  FixedText<128> art;
};
static_assert(std::is_trivially_copyable_v<StorySection>);

struct LoreEntry {
  FixedText<128> name;
  FixedText<2048> text;
  IdText section_id;  // "0" for a passage before the first section
};
static_assert(std::is_trivially_copyable_v<LoreEntry>);

// About 7 MB: allocate once (zeroed) and reuse; never a local variable.
struct Story {
  FixedText<256> title;
  FixedText<128> author;
  FixedText<1024> description;
  StatEntry stats[STORY_MAX_STATS];
  std::int32_t stat_count;
  std::int32_t hp;
  NameText items[STORY_MAX_ITEMS];
  std::int32_t item_count;
  IdText start;
  FixedText<64> music_explore;
  FixedText<64> music_combat;
  FixedText<64> music_victory;
  // Lore before sections, sections last: a short story's record uses its
  // first pages only, and the untouched rest is never faulted in.
  LoreEntry lore[STORY_MAX_LORE];
  std::int32_t lore_count;
  std::int32_t section_count;
  StorySection sections[STORY_MAX_SECTIONS];
};
static_assert(std::is_trivially_copyable_v<Story>);
static_assert(std::is_trivially_default_constructible_v<Story>);
