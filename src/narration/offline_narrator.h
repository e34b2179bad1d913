// Narration from fixed flavour tables, without any network service.
#pragma once

#include <array>
#include <cstddef>

#include "character/character.h"
#include "lore/lore_index.h"
#include "rules/dice.h"
#include "story/story.h"

extern const std::array<const char*, 3> CRIT_SUCCESS_FLAVOR;
extern const std::array<const char*, 3> SUCCESS_FLAVOR;
extern const std::array<const char*, 3> COST_FLAVOR;
extern const std::array<const char*, 3> CRIT_FAILURE_FLAVOR;
extern const std::array<const char*, 3> FAILURE_FLAVOR;

// The flavour sentence of a check is drawn from `random` (the adventure's
// generator); without a generator the first sentence of its table is used.
void offline_narrator_describe_action(const char* action, const RollResult* roll,
                                      const char* result, const LoreHit* lore, GameRandom* random,
                                      char* out, std::size_t capacity);
void offline_narrator_describe_scene(const StorySection* section, const Character* hero, char* out,
                                     std::size_t capacity);
