// What arriving at a scene does to the hero, before anything is shown: the
// scene's hazard, the items lying there, and whether the adventure ends. The
// turn loop applies it and tells the player; the analyzer applies it to every
// state it explores.
#pragma once

#include <cstdint>
#include <type_traits>

#include "character/character.h"
#include "story/story.h"

enum class ArrivalEnd : std::uint8_t {
  kNone,    // the scene is played: its options are offered
  kDeath,   // the hazard left the hero without hit points
  kEnding,  // an ending scene: the adventure ends with its type
};

struct Arrival {
  bool hazard;                            // the scene's hazard struck (on arrival only)
  std::int32_t damage_dealt;              // what the hazard actually took
  std::int32_t found[SECTION_MAX_ITEMS];  // indexes into section.items, in order
  std::int32_t found_count;
  ArrivalEnd end;
};
static_assert(std::is_trivially_copyable_v<Arrival>);

// Applies the hazard, then hands over each listed item the hero does not
// carry yet (in order; one the full backpack cannot take still counts as
// found), then decides how the pass goes on: death before an ending.
void rules_arrive(Character& hero, const StorySection& section, Arrival& out);
// A pass that brings the hero nowhere new (the scene shown again after a
// command or an answer, a resumed game): the same, except that the hazard
// does not strike. Damage belongs to arriving, not to reading.
void rules_revisit(Character& hero, const StorySection& section, Arrival& out);
