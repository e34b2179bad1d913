// Taking an option: requirements, the check, damage and effects on the hero.
#pragma once

#include <cstddef>
#include <type_traits>

#include "character/character.h"
#include "rules/dice.h"
#include "story/story.h"

struct TransitionResult {
  IdText target;            // empty when refused
  FixedText<512> message;   // mechanical summary or the reason for a refusal
  RollResult roll;          // all zero when no check was rolled
};
static_assert(std::is_trivially_copyable_v<TransitionResult>);

// The requirement tests of an option, in their fixed order: the item it needs,
// the flag it needs, the flag that blocks it. True when the option is refused,
// with the reason in `message` (cut to `capacity`); false when it may be taken,
// with `message` left empty. `message` may be null when only the answer matters.
bool rules_transition_refused(const Character& hero, const StoryTransition& transition,
                              char* message, std::size_t capacity);

// Returns true when the option was taken (effects applied, `target` set);
// false when refused (`message` holds the reason, hero unchanged) or when a
// buffer is missing (nothing written). `roll` may be null.
bool rules_resolve_transition(Character& hero, const StoryTransition& transition, char* target,
                              std::size_t target_capacity, RollResult* roll, char* message,
                              std::size_t message_capacity);
