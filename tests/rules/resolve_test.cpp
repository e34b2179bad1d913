#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "rules/resolve.h"

namespace {

// The dice that the next roll will show after srand(seed).
struct Dice {
  int32_t d1, d2;
};
Dice dice_after(unsigned seed) {
  srand(seed);
  Dice d{rand() % 6 + 1, rand() % 6 + 1};
  return d;
}

// A seed whose first roll satisfies `want`; the generator is left seeded
// with it so the next resolution draws those dice.
Dice seed_dice(const std::function<bool(Dice)>& want) {
  for (unsigned seed = 1; seed < 100000; ++seed) {
    Dice d = dice_after(seed);
    if (want(d)) {
      srand(seed);
      return d;
    }
  }
  ADD_FAILURE() << "no seed gives the wanted dice";
  return {0, 0};
}
bool plain(Dice d) { return !(d.d1 == d.d2 && (d.d1 == 1 || d.d1 == 6)); }

StoryTransition option(const char* target, const char* label) {
  StoryTransition t;
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  t.target.assign(target);
  t.label.assign(label);
  return t;
}

StoryTransition check(const char* stat, int32_t dc) {
  StoryTransition t = option("exito", "Saltar el foso");
  t.check_stat.assign(stat);
  t.check_dc = dc;
  return t;
}

struct Outcome {
  bool taken;
  std::string target;
  std::string message;
  RollResult roll;
};

Outcome resolve(Character& hero, const StoryTransition& t) {
  Outcome o;
  char target[32];
  char message[512];
  std::memset(&o.roll, 0x5A, sizeof o.roll);  // must come back cleared or filled
  o.taken = rules_resolve_transition(hero, t, target, sizeof target, &o.roll, message,
                                     sizeof message);
  o.target = target;
  o.message = message;
  return o;
}

Character hero_with(int32_t hp, int32_t fuerza) {
  Character c;
  character_init(c, "Ana", 10);
  c.hp = hp;
  character_set_stat(c, "Fuerza", fuerza);
  return c;
}

bool roll_is_zero(const RollResult& r) {
  RollResult zero;
  std::memset(static_cast<void*>(&zero), 0, sizeof zero);
  return std::memcmp(&r, &zero, sizeof r) == 0;
}

class Resolve : public ::testing::Test {
 protected:
  void TearDown() override { srand(1); }
};

}  // namespace

TEST_F(Resolve, RefusalsLeaveHeroAndDiceUntouched) {
  struct Case {
    const char* item;
    const char* required_flag;
    const char* blocking_flag;
    const char* message;
  } cases[] = {
      {"Llave de hierro", "", "", "Necesitas tener el objeto 'Llave de hierro' para hacer esto."},
      {"Llave de hierro", "abierta", "", "Necesitas tener el objeto 'Llave de hierro' para hacer esto."},
      {"", "abierta", "", "No se cumplen las condiciones necesarias para esta opción."},
      {"", "abierta", "usada", "No se cumplen las condiciones necesarias para esta opción."},
      {"Antorcha", "visto", "usada", "Esta opción ya no está disponible."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Character hero = hero_with(10, 2);
    character_add_item(hero, "antorcha");
    character_set_flag(hero, "visto", 1);
    character_set_flag(hero, "usada", 1);
    Character before = hero;
    StoryTransition t = check("Fuerza", 7);
    t.required_item.assign(c.item);
    t.required_flag.assign(c.required_flag);
    t.blocking_flag.assign(c.blocking_flag);
    t.gain_item.assign("Oro");
    t.fail_damage = 5;

    srand(1);
    int first = rand();
    srand(1);
    Outcome o = resolve(hero, t);
    EXPECT_FALSE(o.taken);
    EXPECT_EQ(o.target, "");
    EXPECT_EQ(o.message, c.message);
    EXPECT_TRUE(roll_is_zero(o.roll));
    EXPECT_EQ(std::memcmp(&hero, &before, sizeof hero), 0);
    EXPECT_EQ(rand(), first);  // no die was drawn
  }

  // Requirements that are met let the option through.
  Character hero = hero_with(10, 0);
  character_add_item(hero, "Antorcha");
  character_set_flag(hero, "visto", 1);
  StoryTransition t = option("2", "Entrar");
  t.required_item.assign("ANTORCHA");
  t.required_flag.assign("visto");
  t.blocking_flag.assign("usada");
  Outcome o = resolve(hero, t);
  EXPECT_TRUE(o.taken);
  EXPECT_EQ(o.message, "Avanzas: Entrar");
}

TEST_F(Resolve, MissingBuffersWriteNothing) {
  Character hero = hero_with(10, 0);
  StoryTransition t = option("2", "Entrar");
  char target[32] = "viejo";
  char message[512] = "previo";
  EXPECT_FALSE(rules_resolve_transition(hero, t, nullptr, 32, nullptr, message, sizeof message));
  EXPECT_FALSE(rules_resolve_transition(hero, t, target, sizeof target, nullptr, nullptr, 512));
  EXPECT_FALSE(rules_resolve_transition(hero, t, target, 0, nullptr, message, sizeof message));
  EXPECT_STREQ(target, "viejo");
  EXPECT_STREQ(message, "previo");
  // The roll is optional.
  EXPECT_TRUE(rules_resolve_transition(hero, t, target, sizeof target, nullptr, message,
                                       sizeof message));
  EXPECT_STREQ(target, "2");
}

TEST_F(Resolve, OptionsWithoutACheckDrawNothing) {
  for (int32_t dc : {0, -3}) {
    Character hero = hero_with(10, 2);
    StoryTransition t = check("Fuerza", dc);
    srand(1);
    int first = rand();
    srand(1);
    Outcome o = resolve(hero, t);
    EXPECT_TRUE(o.taken);
    EXPECT_EQ(o.target, "exito");
    EXPECT_EQ(o.message, "Avanzas: Saltar el foso");
    EXPECT_TRUE(roll_is_zero(o.roll));
    EXPECT_EQ(rand(), first);
  }
}

TEST_F(Resolve, CheckMessagesDamageAndDestinations) {
  enum DiceKind { PLAIN, SIXES, ONES };
  struct Case {
    DiceKind dice;
    int32_t hp, stat;
    int32_t dc;  // when 0: the total plus `over`
    int32_t over;
    const char* fail_target;
    int32_t fail_damage, success_damage;
    int32_t outcome;
    const char* target;
    int32_t hp_after;
    const char* before_roll;
    const char* after_roll;
  } cases[] = {
      {PLAIN, 10, 2, 0, 0, "foso", 0, 3, OUTCOME_SUCCESS, "exito", 7,
       "Superaste la prueba de FUERZA: ", " (Recibes 3 de daño en el proceso)."},
      {PLAIN, 0, 2, 1, 0, "", 0, 3, OUTCOME_SUCCESS, "exito", 0,
       "Superaste la prueba de FUERZA: ", " (Recibes 0 de daño en el proceso)."},
      {SIXES, 10, 0, 40, 0, "foso", 5, 0, OUTCOME_CRIT_SUCCESS, "exito", 10,
       "Superaste la prueba de FUERZA: ", ""},
      // Success with a cost: half the failure damage, never less than 1.
      {PLAIN, 10, 1, 0, 1, "foso", 0, 0, OUTCOME_COST, "exito", 9,
       "Logras avanzar con esfuerzo o sufriendo daño: ", ". Recibes 1 de daño."},
      {PLAIN, 10, 1, 0, 2, "foso", 2, 0, OUTCOME_COST, "exito", 9,
       "Logras avanzar con esfuerzo o sufriendo daño: ", ". Recibes 1 de daño."},
      {PLAIN, 10, 1, 0, 1, "foso", 3, 0, OUTCOME_COST, "exito", 9,
       "Logras avanzar con esfuerzo o sufriendo daño: ", ". Recibes 1 de daño."},
      {PLAIN, 10, 1, 0, 2, "foso", 5, 0, OUTCOME_COST, "exito", 8,
       "Logras avanzar con esfuerzo o sufriendo daño: ", ". Recibes 2 de daño."},
      {PLAIN, 10, 1, 0, 2, "foso", -4, 0, OUTCOME_COST, "exito", 9,
       "Logras avanzar con esfuerzo o sufriendo daño: ", ". Recibes 1 de daño."},
      {PLAIN, 10, 0, 0, 3, "foso", 4, 9, OUTCOME_FAILURE, "foso", 6,
       "Fallaste la prueba de FUERZA: ", ". ¡Recibes 4 puntos de daño!"},
      // Without a fail target the story still moves on.
      {PLAIN, 10, 0, 50, 0, "", 0, 0, OUTCOME_FAILURE, "exito", 10,
       "Fallaste la prueba de FUERZA: ", "."},
      {PLAIN, 0, 0, 50, 0, "foso", 6, 0, OUTCOME_FAILURE, "foso", 0,
       "Fallaste la prueba de FUERZA: ", "."},
      {ONES, 10, 8, 2, 0, "foso", 2, 0, OUTCOME_CRIT_FAILURE, "foso", 8,
       "Fallaste la prueba de FUERZA: ", ". ¡Recibes 2 puntos de daño!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.before_roll) + c.after_roll);
    Character hero = hero_with(c.hp, c.stat);
    Dice d = seed_dice([&](Dice x) {
      if (c.dice == SIXES) return x.d1 == 6 && x.d2 == 6;
      if (c.dice == ONES) return x.d1 == 1 && x.d2 == 1;
      return plain(x);
    });
    int32_t dc = c.dc != 0 ? c.dc : d.d1 + d.d2 + c.stat + c.over;
    StoryTransition t = check("FUERZA", dc);  // the stat as written in the story
    t.fail_target.assign(c.fail_target);
    t.fail_damage = c.fail_damage;
    t.success_damage = c.success_damage;
    Outcome o = resolve(hero, t);
    RollResult expected = rules_classify_roll(d.d1, d.d2, c.stat, dc);
    EXPECT_TRUE(o.taken);
    EXPECT_EQ(o.roll.outcome, c.outcome);
    EXPECT_EQ(std::memcmp(&o.roll, &expected, sizeof expected), 0);
    EXPECT_EQ(o.target, c.target);
    EXPECT_EQ(o.message, c.before_roll + std::string(expected.text.view()) + c.after_roll);
    EXPECT_EQ(hero.hp, c.hp_after);
  }
}

TEST_F(Resolve, EffectsApplyInOrderWhateverTheCheckGave) {
  for (bool passes : {true, false}) {
    SCOPED_TRACE(passes);
    Character hero = hero_with(10, 0);
    character_add_item(hero, "Vela");
    Dice d = seed_dice(plain);
    StoryTransition t = check("Fuerza", passes ? 2 : d.d1 + d.d2 + 3);
    t.gain_item.assign("Mapa");
    t.lose_item.assign("vela");
    t.set_flag.assign("mapa_visto");
    t.add_state.assign("Cansado");
    Outcome o = resolve(hero, t);
    EXPECT_TRUE(o.taken);
    const std::string notes = " [Obtienes: Mapa] [Pierdes: vela] [Nuevo estado: Cansado]";
    ASSERT_GE(o.message.size(), notes.size());
    EXPECT_EQ(o.message.substr(o.message.size() - notes.size()), notes);
    EXPECT_TRUE(character_has_item(hero, "Mapa"));
    EXPECT_FALSE(character_has_item(hero, "Vela"));
    EXPECT_EQ(character_get_flag(hero, "mapa_visto"), 1);
    EXPECT_TRUE(character_has_state(hero, "Cansado"));
  }

  // Notes are written even when the inventory is full or the item is not carried.
  Character full = hero_with(10, 0);
  for (int i = 0; i < CHARACTER_MAX_ITEMS; ++i) character_add_item(full, "i" + std::to_string(i));
  StoryTransition t = option("3", "Cruzar");
  t.gain_item.assign("Oro");
  t.lose_item.assign("Espada");
  Outcome o = resolve(full, t);
  EXPECT_EQ(o.message, "Avanzas: Cruzar [Obtienes: Oro] [Pierdes: Espada]");
  EXPECT_FALSE(character_has_item(full, "Oro"));
}

TEST_F(Resolve, EveryWriteRespectsTheCapacities) {
  Character hero = hero_with(10, 0);
  StoryTransition t = option("", std::string(511, 'x').c_str());
  t.target.assign(std::string(40, 't'));
  t.gain_item.assign("Oro");
  Outcome o = resolve(hero, t);
  EXPECT_EQ(o.message.size(), 511u);
  EXPECT_EQ(o.message, "Avanzas: " + std::string(502, 'x'));
  EXPECT_EQ(o.target, std::string(31, 't'));
  EXPECT_TRUE(character_has_item(hero, "Oro"));  // the effect applies although its note is cut

  // Smaller buffers: nothing is written past them.
  char target[8 + 4];
  char message[16 + 4];
  std::memset(target, '#', sizeof target);
  std::memset(message, '#', sizeof message);
  t = option("seccion_larga", "Abrir la puerta");
  t.add_state.assign("Alerta");
  EXPECT_TRUE(rules_resolve_transition(hero, t, target, 8, nullptr, message, 16));
  EXPECT_STREQ(target, "seccion");
  EXPECT_STREQ(message, "Avanzas: Abrir ");
  EXPECT_EQ(std::string(target + 8, 4), "####");
  EXPECT_EQ(std::string(message + 16, 4), "####");
}
