// Dice, option resolution, option rules, arrival at a scene and the adventure's generator.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "rules/arrival.h"
#include "rules/dice.h"
#include "rules/game_random.h"
#include "rules/option_rules.h"
#include "rules/resolve.h"
#include "story/option_line.h"
#include "support/test_support.h"

namespace {

// The rows of a data file under rules/: its lines that hold a tab.
std::vector<std::string> rows_of(const std::string& name) {
  std::istringstream text(qh_test::read_file(QH_TEST_DATA_DIR "/rules/" + name));
  std::vector<std::string> rows;
  for (std::string row; std::getline(text, row);) {
    if (row.find('\t') != row.npos) rows.push_back(row);
  }
  return rows;
}

std::string field(std::istream& in) {
  std::string word;
  in >> word;
  return word == "-" ? "" : word;
}

}  // namespace

TEST(Dice, TiersAndSummaries) {
  const auto rows = rows_of("dice_tiers.txt");
  EXPECT_EQ(rows.size(), 9u);
  for (const std::string& row : rows) {
    std::int32_t d1, d2, modifier, dc;
    std::istringstream(row) >> d1 >> d2 >> modifier >> dc;
    const RollResult r = rules_classify_roll(d1, d2, modifier, dc);
    EXPECT_TRUE(r.die1 == d1 && r.die2 == d2 && r.modifier == modifier && r.dc == dc) << row;
    EXPECT_EQ(std::to_string(r.outcome) + " " + std::to_string(r.total) + " " + r.text.c_str(),
              row.substr(row.find('\t') + 1));
  }
}

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

  // "taken -> target: message" or "refused -> target: message"; the roll lands in `roll`.
  std::string resolve(std::size_t target_capacity = 32, std::size_t message_capacity = 512) {
    std::string target(40, '#'), message(520, '#');
    std::memset(&roll, 0x5A, sizeof roll);  // must come back cleared or filled
    bool taken = rules_resolve_transition(hero, t, random, target.data(), target_capacity, &roll,
                                          message.data(), message_capacity);
    EXPECT_TRUE(target[target_capacity] == '#' && message[message_capacity] == '#');
    return (taken ? "taken -> " : "refused -> ") + std::string(target.c_str()) + ": " +
           message.c_str();
  }

  Character hero;
  StoryTransition t;
  RollResult roll;
  GameRandom random;
};

// Refusals come in a fixed order; they, and options without a check, draw no die.
TEST_F(Resolve, RefusalsAndPlainMovesLeaveTheDiceAlone) {
  const auto rows = rows_of("refusals.txt");
  EXPECT_EQ(rows.size(), 5u);
  rules_random_seed(random, 1);
  const int first = rules_random_next(random);
  for (const std::string& row : rows) {
    SetUp();
    character_add_item(hero, "antorcha");
    for (const char* flag : {"visto", "usada"}) character_set_flag(hero, flag, 1);
    const Character before = hero;
    const RollResult zero{};
    std::istringstream in(row);
    t.required_item.assign(field(in));
    t.required_flag.assign(field(in));
    t.blocking_flag.assign(field(in));
    in >> t.check_dc;
    t.gain_item.assign("Oro");
    const std::string result = row.substr(row.find('\t') + 1);
    // The refusal test alone: the same answer and reason, cut to the buffer, or no buffer.
    const bool refused = result[0] == 'r';
    char reason[12];
    EXPECT_EQ(rules_transition_refused(hero, t, reason, sizeof reason), refused);
    EXPECT_EQ(std::string(reason), refused ? result.substr(13, 11) : "");
    EXPECT_EQ(rules_transition_refused(hero, t, nullptr, 0), refused);
    rules_random_seed(random, 1);
    EXPECT_EQ(resolve(), result);
    EXPECT_EQ(std::memcmp(&roll, &zero, sizeof zero), 0) << result;
    EXPECT_EQ(std::memcmp(&hero, &before, sizeof hero) == 0, refused) << result;
    EXPECT_EQ(rules_random_next(random), first) << result;
  }
}

TEST_F(Resolve, EveryOutcomeGivesItsMessageDamageDestinationAndTheEffects) {
  const auto rows = rows_of("outcomes.txt");
  EXPECT_EQ(rows.size(), 10u);
  for (const std::string& row : rows) {
    SetUp();
    std::int32_t pair, over, hp_after, d1 = 0, d2 = 0;
    std::string fail_target, message;
    std::istringstream in(row);
    in >> pair >> hero.hp >> over >> t.fail_damage >> t.success_damage;
    fail_target = field(in);
    in >> hp_after;
    std::getline(in >> std::ws, message);
    // Seeds the generator with the first seed whose next roll shows the wanted dice.
    for (unsigned seed = 1; d1 == 0 || (pair ? d1 != pair || d2 != pair : d1 == d2);) {
      rules_random_seed(random, ++seed);
      d1 = rules_random_next(random) % 6 + 1;
      d2 = rules_random_next(random) % 6 + 1;
      rules_random_seed(random, seed);
    }
    t.check_dc = d1 + d2 + 1 + over;
    t.fail_target.assign(fail_target);
    t.gain_item.assign("Mapa");
    t.lose_item.assign("vela");
    t.set_flag.assign("visto");
    t.add_state.assign("Cansado");
    character_add_item(hero, "Vela");
    EXPECT_EQ(resolve(), message);
    const RollResult expected = rules_classify_roll(d1, d2, 1, t.check_dc);
    EXPECT_EQ(std::memcmp(&roll, &expected, sizeof expected), 0) << row;
    EXPECT_EQ(hero.hp, hp_after) << row;
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

// The resolution with chosen dice is the rolling one without the draw: the same destination,
// summary, roll and hero for the dice the roll showed, and without a summary buffer the same
// effects. It never touches the generator. Refused, it changes nothing and writes nothing but an
// empty target.
TEST_F(Resolve, ChosenDiceResolveAsTheRolledOnes) {
  for (unsigned seed = 1; seed <= 60; ++seed) {
    SetUp();
    t.check_dc = 8;
    t.fail_target.assign("foso");
    t.fail_damage = 3;
    t.success_damage = 1;
    t.gain_item.assign("Mapa");
    hero.hp = static_cast<std::int32_t>(seed % 5);
    const Character before = hero;
    rules_random_seed(random, seed);
    const int first = rules_random_next(random);
    rules_random_seed(random, seed);
    const std::string rolled = resolve();
    const RollResult rolled_roll = roll;
    const Character rolled_hero = hero;
    rules_random_seed(random, seed);
    char target[32], message[512];
    RollResult chosen;
    for (bool summary : {true, false}) {
      hero = before;
      ASSERT_TRUE(rules_resolve_transition_with_dice(
          hero, t, rolled_roll.die1, rolled_roll.die2, target, sizeof target,
          summary ? &chosen : nullptr, summary ? message : nullptr, summary ? sizeof message : 0));
      EXPECT_EQ(std::memcmp(&hero, &rolled_hero, sizeof hero), 0);
    }
    EXPECT_EQ("taken -> " + std::string(target) + ": " + message, rolled);
    EXPECT_EQ(std::memcmp(&chosen, &rolled_roll, sizeof chosen), 0);
    EXPECT_EQ(rules_random_next(random), first) << "the chosen dice drew from the generator";
  }
  SetUp();
  t.required_item.assign("Red");
  const Character before = hero;
  char target[4] = "xyz";
  EXPECT_FALSE(rules_resolve_transition_with_dice(hero, t, 6, 6, target, sizeof target, nullptr,
                                                  nullptr, 0));
  EXPECT_EQ(std::string(target), "");
  EXPECT_EQ(std::memcmp(&hero, &before, sizeof hero), 0);
  EXPECT_FALSE(rules_resolve_transition_with_dice(hero, t, 6, 6, nullptr, 0, nullptr, nullptr, 0));
}

// Arriving at a scene: the hazard first, then the items not yet carried (a full backpack still
// "finds" them), and death decides before an ending. "hazard damage found... end hp".
TEST(Arrival, HazardThenItemsThenDeathBeforeEnding) {
  StorySection section;
  std::memset(static_cast<void*>(&section), 0, sizeof section);
  section.items[0].assign("Llave");
  section.items[1].assign("Antorcha");
  section.items[2].assign("llave");  // same item, another spelling: already carried by then
  section.item_count = 3;
  section.is_ending = true;
  Character hero;
  character_init(hero, "Ana", 10);
  character_add_item(hero, "Antorcha");
  auto arrive = [&] {
    Arrival a;
    rules_arrive(hero, section, a);
    std::string out = std::to_string(a.hazard) + " " + std::to_string(a.damage_dealt);
    for (int i = 0; i < a.found_count; ++i) out += " found " + std::to_string(a.found[i]);
    return out +
           (a.end == ArrivalEnd::kEnding  ? " ending "
            : a.end == ArrivalEnd::kDeath ? " death "
                                          : " none ") +
           std::to_string(hero.hp);
  };
  EXPECT_EQ(arrive(), "0 0 found 0 ending 10");
  section.damage = 4;
  for (int i = 0; i < CHARACTER_MAX_ITEMS; ++i) character_add_item(hero, "x" + std::to_string(i));
  section.items[0].assign("Espada");  // no room left, yet found
  EXPECT_EQ(arrive(), "1 4 found 0 ending 6");
  EXPECT_FALSE(character_has_item(hero, "Espada"));
  section.damage = 6;
  EXPECT_EQ(arrive(), "1 6 found 0 death 0");
}

// Every option of a scene: its access, number, the line that takes it and whether it is a move (a
// reachable option the hero may take: the locked one is not, until the key is carried).
TEST(OptionRules, NumbersCommandsAndTheLineThatTakesEachOption) {
  const auto rows = rows_of("option_access.txt");
  ASSERT_EQ(rows.size(), 12u);
  auto section = std::make_unique<StorySection>();
  for (const std::string& row : rows) {
    StoryTransition& t = section->transitions[section->transition_count++];
    if (row[0] != '-') {
      ASSERT_TRUE(parse_transition_line(row.substr(0, row.find('\t')), t)) << row;
    } else {
      t.target.assign("3");
      t.label.assign("Pasadizo");
      t.is_hidden = true;
    }
  }
  Character hero{};
  character_init(hero, "Ana", 10);
  const int locked = 4;
  for (int i = 0; i < section->transition_count; ++i) {
    SCOPED_TRACE(rows[i]);
    std::istringstream in(rows[i].substr(rows[i].find('\t') + 1));
    int access, number;
    std::string expected;
    in >> access >> number;
    const bool takes = static_cast<bool>(std::getline(in >> std::ws, expected));
    EXPECT_EQ(static_cast<int>(rules_option_access(section->transitions[i])), access);
    EXPECT_EQ(rules_option_number(*section, i), number);
    OptionLineText input;
    EXPECT_EQ(rules_option_input(*section, i, input), takes);
    EXPECT_EQ(input.view(), expected);
    EXPECT_EQ(rules_option_is_move(*section, i, hero), takes && i != locked);
    // The listed line, typed, finds the option itself.
    if (takes && access != static_cast<int>(OptionAccess::kNumbered)) {
      OptionLineText cleaned;
      rules_option_clean(cleaned, expected);
      EXPECT_EQ(rules_option_find_command(*section, rules_option_command_text(cleaned.view())),
                &section->transitions[i]);
    }
  }
  character_add_item(hero, "llave");
  EXPECT_TRUE(rules_option_is_move(*section, locked, hero));
  EXPECT_EQ(rules_option_numbered_count(*section), 2);
  EXPECT_EQ(rules_option_by_number(*section, 2), &section->transitions[locked]);
  for (int outside : {0, -1, 3}) EXPECT_EQ(rules_option_by_number(*section, outside), nullptr);
  OptionLineText none;
  EXPECT_FALSE(rules_option_input(*section, -1, none) ||
               rules_option_input(*section, section->transition_count, none));
  EXPECT_EQ(rules_option_number(*section, section->transition_count), 0);
}

TEST(OptionRules, TypedLinesAreCleanedAndStrippedOfTheirPrompt) {
  const std::pair<const char*, const char*> lines[] = {
      {">_  $ #  NMAP\t-sV   10.0.0.5 ", "nmap -sv 10.0.0.5"},
      {">_", ""},
      {"$$ #", ""},
      {"echo $HOME", "echo $home"},
      {"ÉXITO >_ x", "Éxito >_ x"},
      {"a>_b", "a>_b"}};
  for (auto [typed, command] : lines) {
    OptionLineText cleaned;
    rules_option_clean(cleaned, typed);
    EXPECT_EQ(rules_option_command_text(cleaned.view()), command) << typed;
  }
  // Only a line of digits names an option by number; "02" is option 2.
  for (auto [line, number] : {std::pair{"02", true}, {"", false}, {" 1", false}, {"1a", false}})
    EXPECT_EQ(rules_option_line_is_number(line), number) << line;
  // A NUL ends the text; the cut comes before a blank left at the end is dropped.
  char out[5] = "zzzz";
  rules_option_clean(out, sizeof out, std::string_view("abc d\0ef", 8));
  EXPECT_STREQ(out, "abc");
  rules_option_clean(out, sizeof out, std::string_view("ab\0cd", 5));
  EXPECT_STREQ(out, "ab");
  rules_option_clean(nullptr, 4, "x");  // nothing to write into
}

// Seeded with N, an adventure's generator yields exactly what the C library's rand() yields after
// srand(N), so seed 1 rolls what an unseeded game rolled; seeds above 2^31 are read as negative
// words by both. (That two adventures' generators never disturb each other is
// SessionHosts.TwoAdventuresAtOnceEachPlayAsAlone.)
TEST(GameRandom, FollowsTheCLibraryStreamForEverySeedAndDrawsBelowABound) {
  GameRandom b;
  for (unsigned seed : {0u, 1u, 2u, 7u, 127773u, 2147483647u, 2147483648u, 4294967295u}) {
    std::srand(seed);
    rules_random_seed(b, seed);
    int differences = 0;
    for (int i = 0; i < 20000; ++i) differences += rules_random_next(b) != std::rand();
    EXPECT_EQ(differences, 0) << seed;
  }
  EXPECT_TRUE(rules_random_below(b, 0) == 0 && rules_random_below(b, -3) == 0);
  for (int i = 0, v; i < 1000; ++i) ASSERT_TRUE((v = rules_random_below(b, 6)) >= 0 && v < 6);
}
