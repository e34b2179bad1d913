#include "rules/resolve.h"

#include <cstring>
#include <string>

#include "common/fixed_text.h"

namespace {

// Every piece is cut to the room left in the caller's buffer.
void put(char* message, std::size_t capacity, std::string_view piece) {
  text_append(message, capacity, piece);
}

std::string refusal_reason(const Character& hero, const StoryTransition& t) {
  if (!t.required_item.empty() && !character_has_item(hero, t.required_item.view())) {
    return "Necesitas tener el objeto '" + std::string(t.required_item.view()) +
           "' para hacer esto.";
  }
  if (!t.required_flag.empty() && character_get_flag(hero, t.required_flag.view()) == 0) {
    return "No se cumplen las condiciones necesarias para esta opción.";
  }
  if (!t.blocking_flag.empty() && character_get_flag(hero, t.blocking_flag.view()) != 0) {
    return "Esta opción ya no está disponible.";
  }
  return {};
}

}  // namespace

bool rules_resolve_transition(Character& hero, const StoryTransition& transition, char* target,
                              std::size_t target_capacity, RollResult* roll, char* message,
                              std::size_t message_capacity) {
  if (target == nullptr || target_capacity == 0 || message == nullptr || message_capacity == 0) {
    return false;
  }
  const StoryTransition& t = transition;
  target[0] = '\0';
  message[0] = '\0';
  if (roll != nullptr) std::memset(static_cast<void*>(roll), 0, sizeof *roll);

  // Refusals come before any draw, so a refused option leaves the dice
  // sequence and the hero exactly as they were.
  std::string reason = refusal_reason(hero, t);
  if (!reason.empty()) {
    put(message, message_capacity, reason);
    return false;
  }

  std::string_view destination = t.target.view();
  if (t.check_stat.empty() || t.check_dc < 1) {
    put(message, message_capacity, "Avanzas: ");
    put(message, message_capacity, t.label.view());
  } else {
    std::string_view stat = t.check_stat.view();
    RollResult r = rules_roll_2d6(character_get_stat(hero, stat), t.check_dc);
    if (roll != nullptr) *roll = r;
    std::string text;
    switch (r.outcome) {
      case OUTCOME_CRIT_SUCCESS:
      case OUTCOME_SUCCESS:
        text = "Superaste la prueba de " + std::string(stat) + ": " + std::string(r.text.view());
        if (t.success_damage > 0) {
          std::int32_t taken = character_take_damage(hero, t.success_damage);
          text += " (Recibes " + std::to_string(taken) + " de daño en el proceso).";
        }
        break;
      case OUTCOME_COST: {
        // Success at a price: half the failure damage, never less than 1.
        std::int32_t cost = t.fail_damage > 0 ? t.fail_damage / 2 : 1;
        if (cost < 1) cost = 1;
        std::int32_t taken = character_take_damage(hero, cost);
        text = "Logras avanzar con esfuerzo o sufriendo daño: " + std::string(r.text.view()) +
               ". Recibes " + std::to_string(taken) + " de daño.";
        break;
      }
      default: {
        if (!t.fail_target.empty()) destination = t.fail_target.view();
        std::int32_t taken = t.fail_damage > 0 ? character_take_damage(hero, t.fail_damage) : 0;
        text = "Fallaste la prueba de " + std::string(stat) + ": " + std::string(r.text.view());
        if (taken > 0) {
          text += ". ¡Recibes " + std::to_string(taken) + " puntos de daño!";
        } else {
          text += ".";
        }
        break;
      }
    }
    put(message, message_capacity, text);
  }
  text_copy(target, target_capacity, destination);

  // The option's effects apply whatever the check gave, each with its note.
  if (!t.gain_item.empty()) {
    character_add_item(hero, t.gain_item.view());
    put(message, message_capacity, " [Obtienes: " + std::string(t.gain_item.view()) + "]");
  }
  if (!t.lose_item.empty()) {
    character_remove_item(hero, t.lose_item.view());
    put(message, message_capacity, " [Pierdes: " + std::string(t.lose_item.view()) + "]");
  }
  if (!t.set_flag.empty()) character_set_flag(hero, t.set_flag.view(), 1);
  if (!t.add_state.empty()) {
    character_add_state(hero, t.add_state.view());
    put(message, message_capacity, " [Nuevo estado: " + std::string(t.add_state.view()) + "]");
  }
  return true;
}
