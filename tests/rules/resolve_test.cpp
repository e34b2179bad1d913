#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "rules/resolve.h"

namespace {

class Resolve : public ::testing::Test {
 protected:
  // A hero at 10/10 with Fuerza 1 and a plain option to "exito".
  void SetUp() override {
    character_init(hero, "Ana", 10);
    character_set_stat(hero, "Fuerza", 1);
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    t.target.assign("exito");
    t.label.assign("Saltar");
    t.check_stat.assign("FUERZA");  // as written in the story
  }
  void TearDown() override { srand(1); }

  // "taken -> target: message" or "refused -> target: message"; the roll lands in `roll`.
  std::string resolve(std::size_t target_capacity = 32, std::size_t message_capacity = 512) {
    std::string target(40, '#'), message(520, '#');
    std::memset(&roll, 0x5A, sizeof roll);  // must come back cleared or filled
    bool taken = rules_resolve_transition(hero, t, target.data(), target_capacity, &roll,
                                          message.data(), message_capacity);
    EXPECT_TRUE(target[target_capacity] == '#' && message[message_capacity] == '#');
    return (taken ? "taken -> " : "refused -> ") + std::string(target.c_str()) + ": " +
           message.c_str();
  }

  Character hero;
  StoryTransition t;
  RollResult roll;
};

}  // namespace

// Refusals come in a fixed order; they, and options without a check, draw no die.
TEST_F(Resolve, RefusalsAndPlainMovesLeaveTheDiceAlone) {
  struct Case { const char *item, *required_flag, *blocking_flag; int32_t dc; const char* result; };
  const Case cases[] = {
      {"Red", "abierta", "", 7, "refused -> : Necesitas tener el objeto 'Red' para hacer esto."},
      {"", "abierta", "usada", 7,
       "refused -> : No se cumplen las condiciones necesarias para esta opción."},
      {"Antorcha", "visto", "usada", 7, "refused -> : Esta opción ya no está disponible."},
      {"ANTORCHA", "visto", "nunca", 0, "taken -> exito: Avanzas: Saltar [Obtienes: Oro]"},
      {"", "", "", -3, "taken -> exito: Avanzas: Saltar [Obtienes: Oro]"},
  };
  srand(1);
  const int first = rand();
  for (const Case& c : cases) {
    SetUp();
    character_add_item(hero, "antorcha");
    character_set_flag(hero, "visto", 1);
    character_set_flag(hero, "usada", 1);
    const Character before = hero;
    const RollResult zero{};
    t.required_item.assign(c.item);
    t.required_flag.assign(c.required_flag);
    t.blocking_flag.assign(c.blocking_flag);
    t.check_dc = c.dc;
    t.gain_item.assign("Oro");
    // The refusal test alone: the same answer and reason, cut to the buffer, or no buffer.
    const bool refused = c.result[0] == 'r';
    char reason[12];
    EXPECT_EQ(rules_transition_refused(hero, t, reason, sizeof reason), refused);
    EXPECT_EQ(std::string(reason), refused ? std::string(c.result + 13, 11) : "");
    EXPECT_EQ(rules_transition_refused(hero, t, nullptr, 0), refused);
    srand(1);
    EXPECT_EQ(resolve(), c.result);
    EXPECT_EQ(std::memcmp(&roll, &zero, sizeof zero), 0) << c.result;
    EXPECT_EQ(std::memcmp(&hero, &before, sizeof hero) == 0, refused) << c.result;
    EXPECT_EQ(rand(), first) << c.result;
  }
}

TEST_F(Resolve, EveryOutcomeGivesItsMessageDamageDestinationAndTheEffects) {
  // `pair`: 6 or 1 for a double of that die, 0 for two different dice.
  struct Case { int32_t pair, hp, dc_over_total, fail_damage, success_damage, hp_after; char kind;
                const char *fail_target, *target, *after_roll; };
  const Case cases[] = {
      {0, 10, 0, 0, 3, 7, 'S', "foso", "exito", " (Recibes 3 de daño en el proceso)."},
      {0, 0, -1, 0, 3, 0, 'S', "", "exito", " (Recibes 0 de daño en el proceso)."},
      {6, 10, 30, 5, 0, 10, 'S', "foso", "exito", ""},
      {0, 10, 1, 1, 0, 9, 'C', "foso", "exito", ". Recibes 1 de daño."},  // half, at least 1
      {0, 10, 2, 5, 0, 8, 'C', "foso", "exito", ". Recibes 2 de daño."},
      {0, 10, 2, -4, 0, 9, 'C', "foso", "exito", ". Recibes 1 de daño."},
      {0, 10, 3, 4, 9, 6, 'F', "foso", "foso", ". ¡Recibes 4 puntos de daño!"},
      {0, 10, 30, 0, 0, 10, 'F', "", "exito", "."},  // no fail target: the story moves on
      {0, 0, 30, 6, 0, 0, 'F', "foso", "foso", "."},
      {1, 10, -1, 2, 0, 8, 'F', "foso", "foso", ". ¡Recibes 2 puntos de daño!"},
  };
  for (const Case& c : cases) {
    SetUp();
    hero.hp = c.hp;
    character_add_item(hero, "Vela");
    // Seeds the generator with the first seed whose next roll shows the wanted dice.
    int32_t d1 = 0, d2 = 0;
    for (unsigned seed = 1; d1 == 0 || (c.pair ? d1 != c.pair || d2 != c.pair : d1 == d2);) {
      srand(++seed);
      d1 = rand() % 6 + 1;
      d2 = rand() % 6 + 1;
      srand(seed);
    }
    t.check_dc = d1 + d2 + 1 + c.dc_over_total;
    t.fail_target.assign(c.fail_target);
    t.fail_damage = c.fail_damage;
    t.success_damage = c.success_damage;
    t.gain_item.assign("Mapa");
    t.lose_item.assign("vela");
    t.set_flag.assign("visto");
    t.add_state.assign("Cansado");
    const RollResult expected = rules_classify_roll(d1, d2, 1, t.check_dc);
    const char* lead = c.kind == 'S'   ? ": Superaste la prueba de FUERZA: "
                       : c.kind == 'C' ? ": Logras avanzar con esfuerzo o sufriendo daño: "
                                       : ": Fallaste la prueba de FUERZA: ";
    EXPECT_EQ(resolve(), "taken -> " + std::string(c.target) + lead +
                             std::string(expected.text.view()) + c.after_roll +
                             " [Obtienes: Mapa] [Pierdes: vela] [Nuevo estado: Cansado]");
    EXPECT_EQ(std::memcmp(&roll, &expected, sizeof expected), 0) << expected.text.c_str();
    EXPECT_EQ(hero.hp, c.hp_after) << expected.text.c_str();
    EXPECT_TRUE(hero.inventory_count == 1 && hero.inventory[0] == "Mapa" &&
                character_get_flag(hero, "visto") == 1 && hero.states[0] == "Cansado");
  }
}

TEST_F(Resolve, EveryWriteRespectsTheCapacities) {
  t.label.assign(std::string(511, 'x'));
  t.target.assign(std::string(40, 't'));
  t.check_stat.clear();
  t.gain_item.assign("Oro");
  EXPECT_EQ(resolve(), "taken -> " + std::string(31, 't') + ": Avanzas: " + std::string(502, 'x'));
  EXPECT_TRUE(character_has_item(hero, "Oro"));  // the effect applies although its note is cut

  t.label.assign("Cruzar");
  t.target.assign("seccion_larga");
  EXPECT_EQ(resolve(8, 16), "taken -> seccion: Avanzas: Cruzar");
}
