#include "rules/dice.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

std::int32_t clamp_to_i32(std::int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

std::int32_t draw_die(GameRandom& random) { return rules_random_below(random, 6) + 1; }

}  // namespace

RollOutcome rules_roll_outcome(std::int32_t die1, std::int32_t die2, std::int32_t modifier,
                               std::int32_t dc) {
  // Compare in 64 bits: a huge stat or a DC near the 32-bit limits must still
  // land in the right tier.
  std::int64_t total = static_cast<std::int64_t>(modifier) + die1 + die2;
  if (die1 == 6 && die2 == 6) return OUTCOME_CRIT_SUCCESS;
  if (die1 == 1 && die2 == 1) return OUTCOME_CRIT_FAILURE;
  if (total >= dc) return OUTCOME_SUCCESS;
  if (total >= static_cast<std::int64_t>(dc) - 2) return OUTCOME_COST;
  return OUTCOME_FAILURE;
}

RollResult rules_classify_roll(std::int32_t die1, std::int32_t die2, std::int32_t modifier,
                               std::int32_t dc) {
  RollResult r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.die1 = die1;
  r.die2 = die2;
  r.modifier = modifier;
  r.dc = dc;
  // Only the stored total is clamped; the tier is decided on the exact sum.
  r.total = clamp_to_i32(static_cast<std::int64_t>(modifier) + die1 + die2);
  r.outcome = rules_roll_outcome(die1, die2, modifier, dc);

  // One literal format per tier, so the compiler checks each against its arguments.
  char line[decltype(r.text)::kCapacity];
  const std::int32_t total = r.total;
  switch (r.outcome) {
    case OUTCOME_CRIT_SUCCESS:
      std::snprintf(line, sizeof line, "¡Éxito Crítico Espectacular! (Doble 6, total %d vs DC %d)",
                    total, dc);
      break;
    case OUTCOME_CRIT_FAILURE:
      std::snprintf(line, sizeof line, "¡Pifia Crítica Desastrosa! (Doble 1, total %d vs DC %d)",
                    total, dc);
      break;
    case OUTCOME_SUCCESS:
      std::snprintf(line, sizeof line, "Éxito Total (%d vs DC %d)", total, dc);
      break;
    case OUTCOME_COST:
      std::snprintf(line, sizeof line, "Éxito con Costo / Complicación (%d vs DC %d)", total, dc);
      break;
    default:
      std::snprintf(line, sizeof line, "Fallo (%d vs DC %d)", total, dc);
      break;
  }
  r.text.assign(line);
  return r;
}

void rules_draw_2d6(GameRandom& random, std::int32_t& die1, std::int32_t& die2) {
  // Two separate statements: the first draw is always the first die.
  die1 = draw_die(random);
  die2 = draw_die(random);
}

RollResult rules_roll_2d6(GameRandom& random, std::int32_t modifier, std::int32_t dc) {
  std::int32_t die1 = 0;
  std::int32_t die2 = 0;
  rules_draw_2d6(random, die1, die2);
  return rules_classify_roll(die1, die2, modifier, dc);
}
