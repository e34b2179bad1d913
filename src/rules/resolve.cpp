#include "rules/resolve.h"

#include <cstdio>
#include <cstring>

#include "common/fixed_text.h"

namespace {

// Every piece is cut to the room left in the caller's buffer, so appending
// piece by piece gives the same bytes as cutting the whole message once.
void put(char* message, std::size_t capacity, std::string_view piece) {
  text_append(message, capacity, piece);
}

void put_number(char* message, std::size_t capacity, std::int32_t value) {
  if (message == nullptr) return;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", static_cast<int>(value));
  put(message, capacity, digits);
}

// The note of one effect: " [<what>: <name>]".
void put_note(char* message, std::size_t capacity, std::string_view what, std::string_view name) {
  put(message, capacity, " [");
  put(message, capacity, what);
  put(message, capacity, ": ");
  put(message, capacity, name);
  put(message, capacity, "]");
}

// The summary of a rolled check, with any damage it dealt; `destination` moves
// to the failure target when the check failed and the option names one.
void put_check(Character& hero, const StoryTransition& t, const RollResult& r,
               std::string_view& destination, char* message, std::size_t capacity) {
  std::string_view stat = t.check_stat.view();
  switch (r.outcome) {
    case OUTCOME_CRIT_SUCCESS:
    case OUTCOME_SUCCESS:
      put(message, capacity, "Superaste la prueba de ");
      put(message, capacity, stat);
      put(message, capacity, ": ");
      put(message, capacity, r.text.view());
      if (t.success_damage > 0) {
        std::int32_t taken = character_take_damage(hero, t.success_damage);
        put(message, capacity, " (Recibes ");
        put_number(message, capacity, taken);
        put(message, capacity, " de daño en el proceso).");
      }
      break;
    case OUTCOME_COST: {
      // Success at a price: half the failure damage, never less than 1.
      std::int32_t cost = t.fail_damage > 0 ? t.fail_damage / 2 : 1;
      if (cost < 1) cost = 1;
      std::int32_t taken = character_take_damage(hero, cost);
      put(message, capacity, "Logras avanzar con esfuerzo o sufriendo daño: ");
      put(message, capacity, r.text.view());
      put(message, capacity, ". Recibes ");
      put_number(message, capacity, taken);
      put(message, capacity, " de daño.");
      break;
    }
    default: {
      if (!t.fail_target.empty()) destination = t.fail_target.view();
      std::int32_t taken = t.fail_damage > 0 ? character_take_damage(hero, t.fail_damage) : 0;
      put(message, capacity, "Fallaste la prueba de ");
      put(message, capacity, stat);
      put(message, capacity, ": ");
      put(message, capacity, r.text.view());
      if (taken > 0) {
        put(message, capacity, ". ¡Recibes ");
        put_number(message, capacity, taken);
        put(message, capacity, " puntos de daño!");
      } else {
        put(message, capacity, ".");
      }
      break;
    }
  }
}

}  // namespace

bool rules_transition_refused(const Character& hero, const StoryTransition& t, char* message,
                              std::size_t capacity) {
  text_copy(message, capacity, "");
  if (!t.required_item.empty() && !character_has_item(hero, t.required_item.view())) {
    put(message, capacity, "Necesitas tener el objeto '");
    put(message, capacity, t.required_item.view());
    put(message, capacity, "' para hacer esto.");
    return true;
  }
  if (!t.required_flag.empty() && character_get_flag(hero, t.required_flag.view()) == 0) {
    put(message, capacity, "No se cumplen las condiciones necesarias para esta opción.");
    return true;
  }
  if (!t.blocking_flag.empty() && character_get_flag(hero, t.blocking_flag.view()) != 0) {
    put(message, capacity, "Esta opción ya no está disponible.");
    return true;
  }
  return false;
}

bool rules_transition_rolls(const StoryTransition& t) {
  return !t.check_stat.empty() && t.check_dc >= 1;
}

bool rules_resolve_transition(Character& hero, const StoryTransition& transition,
                              GameRandom& random, char* target, std::size_t target_capacity,
                              RollResult* roll, char* message, std::size_t message_capacity) {
  if (target == nullptr || target_capacity == 0 || message == nullptr || message_capacity == 0) {
    return false;
  }
  // Refusals come before any draw, so a refused option leaves the dice
  // sequence and the hero exactly as they were; so does a plain move.
  std::int32_t die1 = 0;
  std::int32_t die2 = 0;
  bool rolls = rules_transition_rolls(transition);
  if (rolls && !rules_transition_refused(hero, transition, nullptr, 0))
    rules_draw_2d6(random, die1, die2);
  return rules_resolve_transition_with_dice(hero, transition, die1, die2, target, target_capacity,
                                            roll, message, message_capacity);
}

bool rules_resolve_transition_with_dice(Character& hero, const StoryTransition& transition,
                                        std::int32_t die1, std::int32_t die2, char* target,
                                        std::size_t target_capacity, RollResult* roll,
                                        char* message, std::size_t message_capacity) {
  if (target == nullptr || target_capacity == 0) return false;
  if (message_capacity == 0) message = nullptr;
  const StoryTransition& t = transition;
  target[0] = '\0';
  if (roll != nullptr) std::memset(static_cast<void*>(roll), 0, sizeof *roll);

  if (rules_transition_refused(hero, t, message, message_capacity)) return false;

  std::string_view destination = t.target.view();
  if (!rules_transition_rolls(t)) {
    put(message, message_capacity, "Avanzas: ");
    put(message, message_capacity, t.label.view());
  } else {
    std::int32_t modifier = character_get_stat(hero, t.check_stat.view());
    RollResult r;
    if (message == nullptr && roll == nullptr) {
      // Nobody reads the summary or the roll: the tier is all the effects read.
      r.outcome = rules_roll_outcome(die1, die2, modifier, t.check_dc);
      r.text.clear();
    } else {
      r = rules_classify_roll(die1, die2, modifier, t.check_dc);
    }
    if (roll != nullptr) *roll = r;
    put_check(hero, t, r, destination, message, message_capacity);
  }
  text_copy(target, target_capacity, destination);

  // The option's effects apply whatever the check gave, each with its note.
  if (!t.gain_item.empty()) {
    character_add_item(hero, t.gain_item.view());
    put_note(message, message_capacity, "Obtienes", t.gain_item.view());
  }
  if (!t.lose_item.empty()) {
    character_remove_item(hero, t.lose_item.view());
    put_note(message, message_capacity, "Pierdes", t.lose_item.view());
  }
  if (!t.set_flag.empty()) character_set_flag(hero, t.set_flag.view(), 1);
  if (!t.add_state.empty()) {
    character_add_state(hero, t.add_state.view());
    put_note(message, message_capacity, "Nuevo estado", t.add_state.view());
  }
  return true;
}
