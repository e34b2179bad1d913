// The 2d6 check: two dice plus a modifier against a difficulty, in five tiers.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/fixed_text.h"
#include "rules/game_random.h"

enum RollOutcome : std::int32_t {
  OUTCOME_NONE = 0,
  OUTCOME_CRIT_SUCCESS = 1,
  OUTCOME_SUCCESS = 2,
  OUTCOME_COST = 3,
  OUTCOME_FAILURE = 4,
  OUTCOME_CRIT_FAILURE = 5,
};

struct RollResult {
  std::int32_t die1;
  std::int32_t die2;
  std::int32_t modifier;
  std::int32_t total;
  std::int32_t dc;
  std::int32_t outcome;  // a RollOutcome; OUTCOME_NONE when never rolled
  FixedText<256> text;   // one-line summary
};
static_assert(std::is_trivially_copyable_v<RollResult>);

// Draws two values of the adventure's generator and classifies them.
RollResult rules_roll_2d6(GameRandom& random, std::int32_t modifier, std::int32_t dc);
// The draw alone: the first value drawn is always the first die.
void rules_draw_2d6(GameRandom& random, std::int32_t& die1, std::int32_t& die2);
// The pure part: tier and summary for chosen dice.
RollResult rules_classify_roll(std::int32_t die1, std::int32_t die2, std::int32_t modifier,
                               std::int32_t dc);
// The tier alone, by the same rules, without formatting the summary.
RollOutcome rules_roll_outcome(std::int32_t die1, std::int32_t die2, std::int32_t modifier,
                               std::int32_t dc);
