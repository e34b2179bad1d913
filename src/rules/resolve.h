// Taking an option: requirements, the check, damage and effects on the hero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "character/character.h"
#include "rules/dice.h"
#include "story/story.h"

struct TransitionResult {
  IdText target;           // empty when refused
  FixedText<512> message;  // mechanical summary or the reason for a refusal
  RollResult roll;         // all zero when no check was rolled
};
static_assert(std::is_trivially_copyable_v<TransitionResult>);

// The requirement tests of an option, in their fixed order: the item it needs,
// the flag it needs, the flag that blocks it. True when the option is refused,
// with the reason in `message` (cut to `capacity`); false when it may be taken,
// with `message` left empty. `message` may be null when only the answer matters.
bool rules_transition_refused(const Character& hero, const StoryTransition& transition,
                              char* message, std::size_t capacity);

// True when taking the option rolls a check: it names a stat and its
// difficulty is at least 1. Any other option is a plain move.
bool rules_transition_rolls(const StoryTransition& transition);

// Returns true when the option was taken (effects applied, `target` set);
// false when refused (`message` holds the reason, hero unchanged) or when a
// buffer is missing (nothing written). `roll` may be null. The dice of a check
// come from `random`, drawn only when the option is taken and rolls.
bool rules_resolve_transition(Character& hero, const StoryTransition& transition,
                              GameRandom& random, char* target, std::size_t target_capacity,
                              RollResult* roll, char* message, std::size_t message_capacity);

// The same resolution with chosen dice (each 1 to 6), for tools that weigh
// every outcome of a check instead of rolling one; the dice are ignored when
// the option rolls nothing. `message` may be null (or its capacity 0): the
// effects are then applied without building the summary. False, with nothing
// written, when `target` is missing.
bool rules_resolve_transition_with_dice(Character& hero, const StoryTransition& transition,
                                        std::int32_t die1, std::int32_t die2, char* target,
                                        std::size_t target_capacity, RollResult* roll,
                                        char* message, std::size_t message_capacity);
