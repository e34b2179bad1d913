#include <gtest/gtest.h>

#include <tuple>

#include "rules/dice.h"

TEST(Dice, TiersAndSummaries) {
  struct Case { int32_t d1, d2, mod, dc, outcome, total; const char* text; };
  const Case cases[] = {
      {6, 6, 0, 20, OUTCOME_CRIT_SUCCESS, 12,
       "¡Éxito Crítico Espectacular! (Doble 6, total 12 vs DC 20)"},
      {1, 1, 10, 5, OUTCOME_CRIT_FAILURE, 12,
       "¡Pifia Crítica Desastrosa! (Doble 1, total 12 vs DC 5)"},
      {3, 4, 0, 7, OUTCOME_SUCCESS, 7, "Éxito Total (7 vs DC 7)"},
      {2, 3, 0, 7, OUTCOME_COST, 5, "Éxito con Costo / Complicación (5 vs DC 7)"},
      {1, 3, 0, 7, OUTCOME_FAILURE, 4, "Fallo (4 vs DC 7)"},
      {2, 3, -8, 1, OUTCOME_FAILURE, -3, "Fallo (-3 vs DC 1)"},
      // Extreme values: the tier comes from the true sum, the total saturates.
      {6, 5, INT32_MAX, INT32_MAX, OUTCOME_SUCCESS, INT32_MAX,
       "Éxito Total (2147483647 vs DC 2147483647)"},
      {1, 2, INT32_MAX - 4, INT32_MAX, OUTCOME_COST, INT32_MAX - 1,
       "Éxito con Costo / Complicación (2147483646 vs DC 2147483647)"},
      {1, 2, INT32_MIN, INT32_MAX, OUTCOME_FAILURE, INT32_MIN + 3,
       "Fallo (-2147483645 vs DC 2147483647)"},
  };
  for (const Case& c : cases) {
    RollResult r = rules_classify_roll(c.d1, c.d2, c.mod, c.dc);
    EXPECT_EQ(std::tie(r.die1, r.die2, r.modifier, r.dc, r.outcome, r.total),
              std::tie(c.d1, c.d2, c.mod, c.dc, c.outcome, c.total)) << c.text;
    EXPECT_EQ(r.text.view(), c.text);
  }
}
