#include "rules/dice.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::int32_t clamp_to_i32(std::int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

std::int32_t draw_die() { return std::rand() % 6 + 1; }

}  // namespace

RollResult rules_classify_roll(std::int32_t die1, std::int32_t die2, std::int32_t modifier,
                               std::int32_t dc) {
  RollResult r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.die1 = die1;
  r.die2 = die2;
  r.modifier = modifier;
  r.dc = dc;
  // Compare in 64 bits: a huge stat or a DC near the 32-bit limits must still
  // land in the right tier; only the stored total is clamped.
  std::int64_t total = static_cast<std::int64_t>(modifier) + die1 + die2;
  r.total = clamp_to_i32(total);

  // Each tier names itself, then the total against the difficulty; the
  // critical tiers also say which double decided them.
  const char* tier = nullptr;
  if (die1 == 6 && die2 == 6) {
    r.outcome = OUTCOME_CRIT_SUCCESS;
    tier = "¡Éxito Crítico Espectacular! (Doble 6, total ";
  } else if (die1 == 1 && die2 == 1) {
    r.outcome = OUTCOME_CRIT_FAILURE;
    tier = "¡Pifia Crítica Desastrosa! (Doble 1, total ";
  } else if (total >= dc) {
    r.outcome = OUTCOME_SUCCESS;
    tier = "Éxito Total (";
  } else if (total >= static_cast<std::int64_t>(dc) - 2) {
    r.outcome = OUTCOME_COST;
    tier = "Éxito con Costo / Complicación (";
  } else {
    r.outcome = OUTCOME_FAILURE;
    tier = "Fallo (";
  }
  char line[decltype(r.text)::kCapacity];
  std::snprintf(line, sizeof line, "%s%d vs DC %d)", tier, static_cast<int>(r.total),
                static_cast<int>(r.dc));
  r.text.assign(line);
  return r;
}

RollResult rules_roll_2d6(std::int32_t modifier, std::int32_t dc) {
  // Two separate statements: the first draw is always the first die.
  std::int32_t die1 = draw_die();
  std::int32_t die2 = draw_die();
  return rules_classify_roll(die1, die2, modifier, dc);
}
