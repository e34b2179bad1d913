#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "authoring/story_analyze.h"
#include "authoring/story_analyze_loop.h"
#include "authoring/story_walk.h"
#include "character/character.h"
#include "rules/dice.h"
#include "rules/resolve.h"
#include "story/story_parser.h"
#include "support/test_support.h"

using qh_test::contains_in_order;
using qh_test::RunOptions;
using qh_test::RunResult;

namespace {

const std::string kDir = QH_TEST_DATA_DIR "/analyze/";
const char* const kBundled[] = {QH_SOURCE_DIR "/stories/la_cripta_del_rey_ceniza.md",
                                QH_SOURCE_DIR "/stories/intrusion_en_neon.md"};

class StoryAnalyze : public ::testing::Test {
 protected:
  void SetUp() override { story_ = static_cast<Story*>(std::calloc(1, sizeof(Story))); }
  void TearDown() override { std::free(story_); }

  void load(const std::string& path) { ASSERT_TRUE(story_parser_load_file(*story_, path.c_str())); }
  void parse(const std::string& text) {
    ASSERT_TRUE(story_parser_load_string(*story_, text.c_str(), "historia"));
  }

  AnalyzeReport analyze(std::int64_t cap = ANALYZE_DEFAULT_MAX_STATES) {
    AnalyzeReport report;
    story_analyze(*story_, cap, report);
    return report;
  }

  std::string id(int section) const { return std::string(story_->sections[section].id.view()); }
  std::string path(const AnalyzePath& p) const { return story_analyze_path_text(*story_, p); }

  // Sections and options written as records, for the fields no option line fills.
  StorySection& add_section(const char* section_id, const char* ending = "") {
    StorySection& s = story_->sections[story_->section_count++];
    s.id.assign(section_id);
    s.title.assign(section_id);
    s.is_ending = ending[0] != '\0';
    s.ending_type.assign(ending);
    return s;
  }
  static StoryTransition& add_option(StorySection& s, const char* target, const char* label) {
    StoryTransition& t = s.transitions[s.transition_count++];
    t.target.assign(target);
    t.label.assign(label);
    return t;
  }
  void reset(std::int32_t hp) {
    std::memset(static_cast<void*>(story_), 0, sizeof *story_);
    story_->hp = hp;
  }

  Story* story_ = nullptr;
};

struct Expected {
  const char* file;
  std::int64_t states;
  double victory, defeat, death, stuck, endless;
  double best;
  int first_option;
  const char* traps;           // "section: witness" lines
  const char* lost_causes;     // "section lost/all missing: witness" lines
  const char* never_takeable;  // "section option reason" lines
  const char* unreachable;
};

// Small stories worked out by hand; the fractions are the exact answers.
TEST_F(StoryAnalyze, HandWorkedStoriesGiveTheirExactAnswers) {
  const Expected cases[] = {
      // One check at DC 7 with +0 and 1 hit point: a success wins (21 of 36), a
      // cost of 1 hit point kills before the destination counts (9), a failure
      // without damage falls to the defeat (6).
      {"prueba_simple.md", 1, 21.0 / 36, 6.0 / 36, 9.0 / 36, 0, 0, 21.0 / 36, 1, "", "", "", ""},
      // Three ways out of a crossroads: a two-room loop, a cell without options, the exit.
      {"encierros.md", 4, 1.0 / 3, 0, 0, 1.0 / 3, 1.0 / 3, 1, 3,
       "2 loop: 1 → 2\n3 loop: 1 → 2 → 3\n4 stuck: 1 → 4\n", "", "", ""},
      // The key lies in a side room; the slide to the cellar is one way.
      {"llave_olvidada.md", 5, 0.25, 0.75, 0, 0, 0, 1, 1, "", "3 1/2 Llave de Hierro: 1 → 3\n", "",
       ""},
      // 5 hit points, 3 of steam on each visit: the second visit kills.
      {"peligro.md", 3, 0.5, 0, 0.5, 0, 0, 1, 1, "", "1 1/2 hp: 1 → 2 → 1\n", "", ""},
      // A hidden option with nothing to type is never a move.
      {"opcion_oculta.md", 1, 0, 1, 0, 0, 0, 0, 0, "", "", "1 2 hidden_without_command\n", "3"},
      // An item nobody gives, a command an earlier option already answers, the
      // options of an ending and of a furnace that kills on arrival.
      {"opciones_muertas.md", 1, 2.0 / 3, 0, 1.0 / 3, 0, 0, 1, 1, "", "",
       "1 3 item_never_obtainable\n1 5 no_typed_input\n2 1 ending_section\n"
       "3 1 death_on_arrival\n",
       ""},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.file);
    load(kDir + c.file);
    AnalyzeReport r = analyze();
    ASSERT_TRUE(r.analysable) << r.error;
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.states, c.states);
    const AnalyzeRandomPlay& p = r.random_play;
    EXPECT_NEAR(p.victory, c.victory, 1e-12);
    EXPECT_NEAR(p.defeat, c.defeat, 1e-12);
    EXPECT_NEAR(p.death, c.death, 1e-12);
    EXPECT_NEAR(p.stuck, c.stuck, 1e-12);
    EXPECT_NEAR(p.endless, c.endless, 1e-12);
    EXPECT_EQ(p.neutral + p.missing_section + p.unexplored, 0);
    EXPECT_NEAR(r.best_victory, c.best, 1e-12);
    EXPECT_EQ(r.best_first_option, c.first_option);

    std::string traps, lost, never, unreachable;
    for (const AnalyzeTrap& t : r.traps) {
      traps += id(t.section) + (t.stuck ? " stuck: " : " loop: ") + path(t.path) + "\n";
    }
    for (const AnalyzeLostCause& l : r.lost_causes) {
      lost += id(l.section) + " " + std::to_string(l.states) + "/" + std::to_string(l.of_states) +
              " " + l.example_missing + ": " + path(l.path) + "\n";
    }
    for (const AnalyzeNeverTakeable& n : r.never_takeable) {
      never += id(n.section) + " " + std::to_string(n.option) + " " + n.reason + "\n";
    }
    for (int s : r.unreachable_sections) unreachable += (unreachable.empty() ? "" : " ") + id(s);
    EXPECT_EQ(traps, c.traps);
    EXPECT_EQ(lost, c.lost_causes);
    EXPECT_EQ(never, c.never_takeable);
    EXPECT_EQ(unreachable, c.unreachable);
  }

  load(kDir + "prueba_simple.md");
  AnalyzeReport r = analyze();
  ASSERT_EQ(r.checks.size(), 1u);
  const AnalyzeCheck& check = r.checks[0];
  EXPECT_EQ(check.dc, 7);
  EXPECT_EQ(check.modifier, 0);
  EXPECT_EQ(std::vector<int>(check.odds + 1, check.odds + 6), (std::vector<int>{1, 20, 9, 5, 1}));
}

// A hall whose only way forward is a run of four checks won once in 36 (a
// double six), every failure sending the hero back.
const char* const kFourLocks = R"(---
title: "Cuatro cerraduras"
hp: 5
---

## [1] El vestíbulo
- [Check: Suerte | DC: 15 | Éxito: v2 | Fallo: 1] Probar la puerta dorada
- [-> abismo] Rendirse

## [v2] Puerta dorada, cerradura 2
- [Check: Suerte | DC: 15 | Éxito: v3 | Fallo: 1] Cerradura dorada 2

## [v3] Puerta dorada, cerradura 3
- [Check: Suerte | DC: 15 | Éxito: v4 | Fallo: 1] Cerradura dorada 3

## [v4] Puerta dorada, cerradura 4
- [Check: Suerte | DC: 15 | Éxito: oro | Fallo: 1] Cerradura dorada 4

## [oro] El tesoro
[Final: Victoria]
Oro.

## [abismo] El abismo
[Final: Derrota]
Caes.
)";

// Two such doors of `locks` locks in the hall, the golden one to the
// treasure, the black one to the abyss, and no way to give up.
std::string two_doors(int locks) {
  std::string text = "---\ntitle: \"Dos puertas\"\nhp: 5\n---\n\n## [1] El vestíbulo\n";
  for (const char* door : {"v", "n"}) {
    text += std::string("- [Check: Suerte | DC: 15 | Éxito: ") + door + "2 | Fallo: 1] Probar\n";
  }
  for (const char* door : {"v", "n"}) {
    for (int i = 2; i <= locks; ++i) {
      std::string next = i < locks        ? door + std::to_string(i + 1)
                         : door[0] == 'v' ? "oro"
                                          : "abismo";
      text += "\n## [" + (door + std::to_string(i)) + "] Cerradura\n- [Check: Suerte | DC: 15 | " +
              "Éxito: " + next + " | Fallo: 1] Abrir\n";
    }
  }
  return text +
         "\n## [oro] El tesoro\n[Final: Victoria]\n\n## [abismo] El abismo\n[Final: Derrota]\n";
}

// A hero who always retries wins for certain; with two doors either is as
// likely to open first.
TEST_F(StoryAnalyze, RetriedRareChecksAreSolvedExactly) {
  struct Case {
    const char* name;
    std::string text;
    std::int64_t states;
    double victory, defeat, best;
  };
  const double p4 = std::pow(1.0 / 36, 4);
  const Case cases[] = {{"four locks", kFourLocks, 4, p4 / (1 + p4), 1 / (1 + p4), 1},
                        {"two doors of 5", two_doors(5), 9, 0.5, 0.5, 1},
                        {"two doors of 8", two_doors(8), 15, 0.5, 0.5, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    parse(c.text);
    AnalyzeReport r = analyze();
    ASSERT_TRUE(r.analysable) << r.error;
    EXPECT_EQ(r.states, c.states);
    EXPECT_TRUE(r.random_play.exact && r.best_exact);
    EXPECT_NEAR(r.random_play.victory, c.victory, 1e-12 * c.victory);
    EXPECT_NEAR(r.random_play.defeat, c.defeat, 1e-12);
    EXPECT_NEAR(r.best_victory, c.best, 1e-12);
    EXPECT_EQ(r.best_first_option, 1);
    EXPECT_TRUE(r.lost_causes.empty() && r.traps.empty());
  }
}

// A hall with a check that opens the first of `locks` locks and a way to give
// up; each lock is the same check, a failure sends the hero back to the hall
// and success at a cost takes a hit point. Compared with the answer worked
// out from the odds of one check: a walk through the locks either wins,
// comes back having paid k hit points, or dies.
TEST_F(StoryAnalyze, RetryLoopsMatchTheirClosedForm) {
  constexpr int kHp = 5;
  for (int locks = 1; locks <= 12; ++locks) {
    for (std::int32_t dc = 2; dc <= 15; ++dc) {
      SCOPED_TRACE(std::to_string(locks) + " locks, DC " + std::to_string(dc));
      reset(kHp);
      std::vector<std::string> ids = {"1"};
      for (int i = 2; i <= locks; ++i) ids.push_back("c" + std::to_string(i));
      ids.push_back("oro");
      for (int i = 0; i < locks; ++i) {
        StorySection& s = add_section(ids[static_cast<std::size_t>(i)].c_str());
        StoryTransition& t = add_option(s, ids[static_cast<std::size_t>(i) + 1].c_str(), "Abrir");
        t.check_stat.assign("Suerte");
        t.check_dc = dc;
        t.fail_target.assign("1");
        if (i == 0) add_option(s, "abismo", "Rendirse");
      }
      add_section("oro", "victory");
      add_section("abismo", "defeat");

      double odds[6] = {0, 0, 0, 0, 0, 0};
      for (int d1 = 1; d1 <= 6; ++d1) {
        for (int d2 = 1; d2 <= 6; ++d2) odds[rules_roll_outcome(d1, d2, 0, dc)] += 1.0 / 36;
      }
      const double pass = odds[OUTCOME_CRIT_SUCCESS] + odds[OUTCOME_SUCCESS];
      const double cost = odds[OUTCOME_COST];
      const double fail = odds[OUTCOME_FAILURE] + odds[OUTCOME_CRIT_FAILURE];
      // best[h] and random[h]: victory from the hall with h hit points.
      double best[kHp + 1] = {0}, random[kHp + 1] = {0};
      for (int h = 1; h <= kHp; ++h) {
        // at[k]: reaching the current lock having paid k; won[k], back[k]: after the run.
        std::vector<double> at(static_cast<std::size_t>(h), 0), won, back(at);
        at[0] = 1;
        for (int lock = 0; lock < locks; ++lock) {
          std::vector<double> next(at.size(), 0);
          for (std::size_t k = 0; k < at.size(); ++k) {
            back[k] += at[k] * fail;
            next[k] += at[k] * pass;
            if (k + 1 < at.size()) next[k + 1] += at[k] * cost;  // else the cost kills
          }
          at = next;
        }
        won = at;
        // Coming back having paid nothing starts over: divide by what does
        // not, summed rather than subtracted from 1.
        double leave = std::pow(pass, locks);
        for (int lock = 0; lock < locks; ++lock) leave += std::pow(pass, lock) * cost;
        double b = 0, r = 0;
        for (std::size_t k = 0; k < won.size(); ++k) {
          b += won[k] + (k > 0 ? back[k] * best[h - static_cast<int>(k)] : 0);
          r += won[k] + (k > 0 ? back[k] * random[h - static_cast<int>(k)] : 0);
        }
        best[h] = leave > 0 ? b / leave : 0;
        random[h] = r / (1 + leave);  // half the time the hero gives up at once
      }
      AnalyzeReport report = analyze();
      ASSERT_TRUE(report.analysable) << report.error;
      EXPECT_TRUE(report.random_play.exact && report.best_exact);
      EXPECT_NEAR(report.best_victory, best[kHp], 1e-12 * best[kHp]);
      EXPECT_NEAR(report.random_play.victory, random[kHp], 1e-12 * random[kHp]);
      EXPECT_EQ(report.best_first_option, best[kHp] > 0 ? 1 : 0);
    }
  }
}

// Small random stories, loops and checks everywhere, against a model built
// here from the option records (section and hit points) and solved by plain
// value iteration.
TEST_F(StoryAnalyze, RandomStoriesAgreeWithValueIteration) {
  constexpr int kSections = 6;
  constexpr int kHp = 3;
  const char* const names[] = {"1", "2", "3", "4", "5", "6", "v", "d"};
  std::uint32_t seed = 12345;
  auto draw = [&seed](int n) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>((seed >> 8) % static_cast<std::uint32_t>(n));
  };
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("story " + std::to_string(round));
    reset(kHp);
    struct Move {
      int to, fail;
      std::int32_t dc;  // 0: no check
    };
    std::vector<std::vector<Move>> moves(kSections);
    for (int sec = 0; sec < kSections; ++sec) {
      StorySection& s = add_section(names[sec]);
      int options = 1 + draw(3);
      for (int o = 0; o < options; ++o) {
        Move m{draw(8), draw(8), draw(2) == 0 ? 0 : 4 + draw(9)};
        StoryTransition& t = add_option(s, names[m.to], "Ir");
        if (m.dc > 0) {
          t.check_stat.assign("Fuerza");
          t.check_dc = m.dc;
          t.fail_target.assign(names[m.fail]);
        }
        moves[static_cast<std::size_t>(sec)].push_back(m);
      }
    }
    add_section("v", "victory");
    add_section("d", "defeat");

    // value[sec][hp], for the best player and for the random one.
    double best[kSections][kHp + 1] = {}, random[kSections][kHp + 1] = {};
    auto worth = [](double(*v)[kHp + 1], int sec, int hp) {
      if (hp <= 0) return 0.0;
      if (sec == 6) return 1.0;
      return sec == 7 ? 0.0 : v[sec][hp];
    };
    for (int sweep = 0; sweep < 200000; ++sweep) {
      double change = 0;
      for (int sec = 0; sec < kSections; ++sec) {
        for (int hp = 1; hp <= kHp; ++hp) {
          double top = 0, sum = 0;
          for (const Move& m : moves[static_cast<std::size_t>(sec)]) {
            double q[2] = {0, 0};
            double(*v[2])[kHp + 1] = {best, random};
            for (int which = 0; which < 2; ++which) {
              if (m.dc == 0) {
                q[which] = worth(v[which], m.to, hp);
                continue;
              }
              for (int d1 = 1; d1 <= 6; ++d1) {
                for (int d2 = 1; d2 <= 6; ++d2) {
                  RollOutcome o = rules_roll_outcome(d1, d2, 0, m.dc);
                  double w = o == OUTCOME_COST ? worth(v[which], m.to, hp - 1)
                             : o == OUTCOME_FAILURE || o == OUTCOME_CRIT_FAILURE
                                 ? worth(v[which], m.fail, hp)
                                 : worth(v[which], m.to, hp);
                  q[which] += w / 36;
                }
              }
            }
            top = std::max(top, q[0]);
            sum += q[1];
          }
          double mean = sum / static_cast<double>(moves[static_cast<std::size_t>(sec)].size());
          change =
              std::max({change, std::fabs(top - best[sec][hp]), std::fabs(mean - random[sec][hp])});
          best[sec][hp] = top;
          random[sec][hp] = mean;
        }
      }
      if (change < 1e-17) break;
    }
    AnalyzeReport r = analyze();
    ASSERT_TRUE(r.analysable) << r.error;
    EXPECT_NEAR(r.best_victory, best[0][kHp], 1e-10);
    EXPECT_NEAR(r.random_play.victory, random[0][kHp], 1e-10);
  }
}

// A loop given too small a budget to solve is iterated instead, and the
// report says so, with bounds that still hold; a partial analysis calls no
// state a lost cause unless it has found a victory to lose.
TEST_F(StoryAnalyze, BoundsWhereALoopIsTooLargeOrTheMapPartial) {
  parse(two_doors(5));
  AnalyzeReport r;
  ASSERT_TRUE(story_analyze(*story_, ANALYZE_DEFAULT_MAX_STATES, r, 8));
  const AnalyzeRandomPlay& p = r.random_play;
  EXPECT_FALSE(p.exact);
  EXPECT_GT(p.unsolved, 0);
  EXPECT_NEAR(p.victory + p.defeat + p.unsolved, 1, 1e-12);
  EXPECT_LE(p.victory, 0.5);
  EXPECT_GE(p.victory + p.unsolved, 0.5);
  EXPECT_FALSE(r.best_exact);
  EXPECT_LE(r.best_victory, 1);
  EXPECT_GE(r.best_victory_at_most, 1);
  std::string json = story_analyze_format_json(*story_, "dos_puertas_5.md", r, 0);
  EXPECT_TRUE(contains_in_order(
      json, {"\"endless\": 0, \"exact\": false, \"unsolved\": ", "\"best_play\": {\"victory\": ",
             ", \"exact\": false, \"at_most\": 1, \"first_move\""}));
  std::string text = story_analyze_format_text(*story_, "dos_puertas_5.md", r);
  EXPECT_TRUE(contains_in_order(
      text, {"  sin resolver  ", "  (aproximado: un bucle de estados es demasiado grande",
             " de victorias como mínimo y 100.0 % como máximo (un bucle"}));

  // No victory anywhere: the full analysis lists no lost cause, and neither
  // may a partial one that meets states with no victory ahead.
  parse(R"(---
hp: 10
---
## [1] La boca del pozo
- [-> 2] Bajar al pozo
- [-> 3] Entrar en la cueva

## [2] El pozo
[Daño: 1]
- [-> 2] Seguir bajando
- [-> 1] Subir

## [3] La cueva
[Daño: 4]
- [-> 3] Cavar
)");
  AnalyzeReport full = analyze();
  AnalyzeReport partial = analyze(7);
  EXPECT_TRUE(full.complete);
  EXPECT_FALSE(partial.complete);
  EXPECT_TRUE(full.lost_causes.empty());
  EXPECT_TRUE(partial.lost_causes.empty());
  EXPECT_TRUE(full.random_play.exact && full.best_exact);
  EXPECT_NE(story_analyze_format_json(*story_, "x", full, 0).find("\"exact\": true"),
            std::string::npos);
}

// Flags are set, required and block as the resolution does; a flag that
// every hero here already carries blocks for ever, one nobody sets never opens.
TEST_F(StoryAnalyze, FlagsOpenAndBlockOptionsAsTheResolutionDoes) {
  reset(10);
  StorySection& lever = add_section("1");
  add_option(lever, "1", "Accionar la palanca").set_flag.assign("puerta");
  add_option(lever, "2", "Cruzar la puerta").required_flag.assign("PUERTA");
  add_option(lever, "4", "Huir").blocking_flag.assign("Puerta");
  add_option(lever, "3", "Usar la llave maestra").required_flag.assign("maestra");
  add_option(lever, "1", "Gritar").set_flag.assign("grito");
  StorySection& hall = add_section("2");
  add_option(hall, "1", "Volver").blocking_flag.assign("puerta");
  add_option(hall, "3", "Salir");
  add_section("3", "victory");
  add_section("4", "defeat");
  add_option(add_section("5"), "3", "Atajo");

  AnalyzeReport r = analyze();
  ASSERT_TRUE(r.analysable) << r.error;
  // Six states: the lever room with each set of the two flags, the hall with the door open.
  EXPECT_EQ(r.states, 6);
  EXPECT_NEAR(r.random_play.victory, 0.5, 1e-12);
  EXPECT_NEAR(r.random_play.defeat, 0.5, 1e-12);
  EXPECT_NEAR(r.best_victory, 1, 1e-12);
  EXPECT_EQ(r.best_first_option, 1);
  ASSERT_EQ(r.never_takeable.size(), 2u);
  EXPECT_EQ(id(r.never_takeable[0].section) + " " + std::to_string(r.never_takeable[0].option) +
                " " + r.never_takeable[0].reason,
            "1 4 flag_never_set");
  EXPECT_EQ(id(r.never_takeable[1].section) + " " + std::to_string(r.never_takeable[1].option) +
                " " + r.never_takeable[1].reason,
            "2 1 flag_always_set");
  EXPECT_EQ(r.unreachable_sections, std::vector<int>{4});
  EXPECT_EQ(r.flags_set_never_tested, std::vector<std::string>{"grito"});
  EXPECT_EQ(r.flags_tested_never_set, std::vector<std::string>{"maestra"});
  EXPECT_TRUE(r.traps.empty() && r.lost_causes.empty());
}

// An item can be dropped and picked up again, states the hero gains do not
// make new states, and damage on a success kills before a missing destination counts.
TEST_F(StoryAnalyze, LostItemsNewConditionsAndDamageOnSuccess) {
  reset(2);
  StorySection& entry = add_section("1");
  StoryTransition& take = add_option(entry, "1", "Tomar la antorcha");
  take.gain_item.assign("Antorcha");
  take.add_state.assign("Cansado");
  add_option(entry, "1", "Soltar la antorcha").lose_item.assign("antorcha");
  add_option(entry, "2", "Entrar en la cueva").required_item.assign("ANTORCHA");
  StorySection& cave = add_section("2");
  StoryTransition& climb = add_option(cave, "zz", "Trepar");
  climb.check_stat.assign("Fuerza");
  climb.check_dc = 2;
  climb.success_damage = 2;
  climb.fail_target.assign("3");
  add_section("3", "defeat");

  AnalyzeReport r = analyze();
  ASSERT_TRUE(r.analysable) << r.error;
  EXPECT_EQ(r.states, 3);
  EXPECT_NEAR(r.random_play.death, 35.0 / 36, 1e-12);
  EXPECT_NEAR(r.random_play.defeat, 1.0 / 36, 1e-12);
  EXPECT_EQ(r.random_play.missing_section, 0);
  EXPECT_EQ(r.random_play.endless, 0);
  EXPECT_EQ(r.best_victory, 0);
  EXPECT_EQ(r.best_first_option, 0);
  EXPECT_TRUE(r.lost_causes.empty());  // no victory anywhere: nothing is lost
  EXPECT_TRUE(r.never_takeable.empty());
  EXPECT_TRUE(r.items_required_never_obtainable.empty() && r.items_obtained_never_required.empty());
  ASSERT_EQ(r.checks.size(), 1u);
  EXPECT_EQ(std::vector<int>(r.checks[0].odds + 1, r.checks[0].odds + 6),
            (std::vector<int>{1, 34, 0, 0, 1}));
}

// A ring of 40 rooms is one loop of 40 states, solved whole.
TEST_F(StoryAnalyze, LongLoopsAreSolvedToo) {
  reset(10);
  const int rooms = 40;
  std::vector<std::string> ids;
  for (int i = 0; i < rooms; ++i) ids.push_back(std::to_string(i + 1));
  for (int i = 0; i < rooms; ++i) {
    StorySection& room = add_section(ids[static_cast<std::size_t>(i)].c_str());
    add_option(room, ids[static_cast<std::size_t>((i + 1) % rooms)].c_str(), "Seguir");
    if (i > 0) continue;
    StoryTransition& leap = add_option(room, "salida", "Saltar el foso");
    leap.check_stat.assign("Fuerza");
    leap.check_dc = 7;
    leap.fail_target.assign("foso");
  }
  add_section("salida", "victory");
  add_section("foso", "defeat");
  AnalyzeReport r = analyze();
  ASSERT_TRUE(r.analysable) << r.error;
  EXPECT_EQ(r.states, rooms);
  EXPECT_NEAR(r.random_play.victory, 30.0 / 36, 1e-12);
  EXPECT_NEAR(r.random_play.defeat, 6.0 / 36, 1e-12);
  EXPECT_NEAR(r.best_victory, 30.0 / 36, 1e-12);
  EXPECT_EQ(r.best_first_option, 2);
}

// Up to 64 distinct items (as the sheet compares names) a state spans two
// words; one more and the analysis could no longer be exact: it refuses.
TEST_F(StoryAnalyze, SixtyFourItemsAtMost) {
  reset(10);
  for (int i = 0; i < 60; ++i) {
    story_->items[story_->item_count++].assign("Objeto " + std::to_string(i));
  }
  story_->items[story_->item_count++].assign("OBJETO 7");  // the same item
  StorySection& room = add_section("1");
  for (const char* item : {"Ala", "Bota", "Capa", "Daga"}) {
    add_option(room, "1", "Coger").gain_item.assign(item);
  }
  add_option(room, "2", "Salir");
  add_section("2", "victory");
  AnalyzeReport r = analyze();
  ASSERT_TRUE(r.analysable) << r.error;
  EXPECT_EQ(r.states, 16);  // every set of the four items picked up
  EXPECT_NEAR(r.random_play.victory, 1, 1e-12);
  EXPECT_TRUE(r.traps.empty() && r.never_takeable.empty());

  room.items[room.item_count++].assign("Uno más");
  r = analyze();
  EXPECT_FALSE(r.analysable);
  EXPECT_EQ(r.error, "la historia usa 65 objetos distintos; el análisis exacto admite hasta 64");
}

// What the cap cuts off is counted as unexplored, never guessed: nothing is
// reported as trapped, lost or never taken on the strength of a partial map.
TEST_F(StoryAnalyze, TheStateCapGivesAPartialReport) {
  load(kBundled[0]);
  AnalyzeReport full = analyze();
  AnalyzeReport r = analyze(40);
  ASSERT_TRUE(r.analysable);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.states, 40);
  const AnalyzeRandomPlay& p = r.random_play;
  EXPECT_GT(p.unexplored, 0);
  EXPECT_NEAR(p.victory + p.defeat + p.neutral + p.death + p.stuck + p.missing_section + p.endless +
                  p.unexplored,
              1, 1e-12);
  EXPECT_LE(r.best_victory, full.best_victory);
  EXPECT_TRUE(r.traps.empty() && r.lost_causes.empty());
  EXPECT_TRUE(r.never_takeable.empty() && r.unreachable_sections.empty());
  EXPECT_TRUE(full.complete);
  EXPECT_EQ(analyze(full.states).complete, true);

  // Later caps do find lost causes: each must be one of the whole story's.
  bool some = false;
  for (std::int64_t cap : {120, 200, 300}) {
    SCOPED_TRACE(cap);
    AnalyzeReport part = analyze(cap);
    for (const AnalyzeLostCause& c : part.lost_causes) {
      some = true;
      auto same = std::find_if(full.lost_causes.begin(), full.lost_causes.end(),
                               [&c](const AnalyzeLostCause& f) { return f.section == c.section; });
      ASSERT_NE(same, full.lost_causes.end()) << id(c.section);
      EXPECT_LE(c.states, same->states);
    }
  }
  EXPECT_TRUE(some);
}

// The analysis weighs a check by its tiers, resolving one pair of dice per
// tier: sound only while the resolution reads nothing of the dice but the tier.
TEST_F(StoryAnalyze, ACheckDependsOnTheDiceOnlyThroughItsTier) {
  for (const char* file : kBundled) {
    load(file);
    Character seeded;
    character_seed_from_story(seeded, *story_, "");
    for (std::int32_t hp : {seeded.hp, 3, 1}) {
      for (const StorySection& s : std::span(story_->sections, story_->section_count)) {
        for (const StoryTransition& t : std::span(s.transitions, s.transition_count)) {
          if (!rules_transition_rolls(t)) continue;
          std::int32_t modifier = character_get_stat(seeded, t.check_stat.view());
          std::map<int, std::pair<std::string, Character>> first;
          for (std::int32_t d1 = 1; d1 <= 6; ++d1) {
            for (std::int32_t d2 = 1; d2 <= 6; ++d2) {
              Character hero = seeded;
              hero.hp = hp;
              char target[32];
              ASSERT_TRUE(rules_resolve_transition_with_dice(hero, t, d1, d2, target, sizeof target,
                                                             nullptr, nullptr, 0));
              int tier = rules_roll_outcome(d1, d2, modifier, t.check_dc);
              auto [it, fresh] = first.try_emplace(tier, target, hero);
              if (fresh) continue;
              EXPECT_EQ(it->second.first, target) << t.label.view();
              EXPECT_EQ(std::memcmp(&it->second.second, &hero, sizeof hero), 0) << t.label.view();
            }
          }
        }
      }
    }
  }
}

TEST_F(StoryAnalyze, BundledStoriesHaveNoTrapAndEveryOptionCanBeTaken) {
  for (const char* file : kBundled) {
    SCOPED_TRACE(file);
    load(file);
    AnalyzeReport r = analyze();
    ASSERT_TRUE(r.analysable);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(r.traps.empty());
    EXPECT_TRUE(r.never_takeable.empty());
    EXPECT_TRUE(r.unreachable_sections.empty());
    EXPECT_GT(r.best_victory, r.random_play.victory);
  }
}

// Three states in a ring, two of them with a way out (only the first one
// paying): values and visits worked out by hand. Then a five-state clique,
// every state linked to every other (20 weights): a budget below that
// refuses and leaves the output alone.
TEST(LoopSolver, SolvesValuesAndVisitsAndRefusesPastItsBudget) {
  LoopSolver loop;
  auto ring = [&loop](double rhs0) {
    loop.reset(3);
    loop.begin_row(0);
    loop.add(1, 0.25);
    loop.add(1, 0.25);  // two moves to the same state add up
    loop.add_exit(0.5);
    loop.add_rhs(rhs0);
    loop.end_row();
    loop.begin_row(1);
    loop.add(2, 1);
    loop.end_row();
    loop.begin_row(2);
    loop.add(0, 0.5);
    loop.add_exit(0.5);
    loop.end_row();
  };
  std::vector<double> out(3, -1);
  ring(0.5);
  ASSERT_TRUE(loop.solve_values(100, out));
  EXPECT_NEAR(out[0], 2.0 / 3, 1e-15);
  EXPECT_NEAR(out[1], 1.0 / 3, 1e-15);
  EXPECT_NEAR(out[2], 1.0 / 3, 1e-15);
  ring(1);  // one hero arrives at state 0
  ASSERT_TRUE(loop.solve_flows(100, out));
  EXPECT_NEAR(out[0], 4.0 / 3, 1e-15);
  EXPECT_NEAR(out[1], 2.0 / 3, 1e-15);
  EXPECT_NEAR(out[2], 2.0 / 3, 1e-15);

  auto clique = [&loop] {
    loop.reset(5);
    for (std::uint32_t i = 0; i < 5; ++i) {
      loop.begin_row(i);
      for (std::uint32_t j = 0; j < 5; ++j) {
        if (j != i) loop.add(j, 0.2);
      }
      loop.add_exit(0.2);
      loop.add_rhs(i == 0 ? 1 : 0);
      loop.end_row();
    }
  };
  std::vector<double> untouched(5, -1);
  clique();
  EXPECT_FALSE(loop.solve_flows(19, untouched));
  EXPECT_EQ(untouched, std::vector<double>(5, -1));
  clique();
  ASSERT_TRUE(loop.solve_flows(20, untouched));
  // Each visit leaves with 1/5: five visits in all; the start's own visit
  // plus a fifth of every visit elsewhere.
  double total = 0;
  for (double x : untouched) total += x;
  EXPECT_NEAR(total, 5, 1e-14);
  EXPECT_NEAR(untouched[0], 1 + (5 - untouched[0]) * 0.2, 1e-14);
}

RunResult tools(std::vector<std::string> args) {
  RunOptions options;
  options.binary = QH_TOOLS_BINARY;
  options.cwd = kDir;
  options.args = std::move(args);
  options.timeout_ms = 60000;
  return qh_test::run_program(options);
}

TEST(AnalyzeCli, ReportsAndExitStatus) {
  RunResult text = tools({"analyze", "llave_olvidada.md"});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_EQ(text.err, "");
  EXPECT_EQ(text.out, qh_test::read_file(kDir + "llave_olvidada.txt"));

  RunResult json = tools({"analyze", "--json", "encierros.md"});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_EQ(json.out, qh_test::read_file(kDir + "encierros.json"));

  RunResult hidden = tools({"analyze", "opcion_oculta.md"});
  EXPECT_EQ(hidden.exit_code, 1);
  EXPECT_TRUE(
      contains_in_order(hidden.out, {"Opciones que ninguna partida puede tomar:",
                                     "[1] opción 2 «sin texto»: oculta y sin nada que teclear",
                                     "Secciones a las que nunca se llega: [3] La sala secreta"}));

  RunResult partial = tools({"analyze", "--max-states", "2", "llave_olvidada.md", "peligro.md"});
  EXPECT_EQ(partial.exit_code, 3);
  EXPECT_TRUE(contains_in_order(partial.out, {"Estados: 2 (parcial: se alcanzó el límite",
                                              "sin explorar", "Estados: 2 (parcial"}));

  RunResult several = tools({"analyze", "--json", "peligro.md", "falta.md", "prueba_simple.md"});
  EXPECT_EQ(several.exit_code, 2);
  EXPECT_EQ(several.err, "falta.md: no se puede leer el archivo o no tiene secciones.\n");
  EXPECT_TRUE(
      contains_in_order(several.out, {"[\n  {\n    \"file\": \"peligro.md\"",
                                      "  {\"file\": \"falta.md\", \"error\": \"no se puede leer",
                                      "    \"file\": \"prueba_simple.md\"", "\n]\n"}));

  for (std::vector<std::string> bad : {std::vector<std::string>{"analyze"},
                                       {"analyze", "--max-states", "0", "peligro.md"},
                                       {"analyze", "--max-states", "12x", "peligro.md"},
                                       {"analyze", "--rapido", "peligro.md"}}) {
    RunResult r = tools(bad);
    EXPECT_EQ(r.exit_code, 2) << bad.back();
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Uso: quillhaven-tools analyze"), std::string::npos);
  }
  RunResult help = tools({"analyze", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(contains_in_order(help.out, {"Uso: quillhaven-tools analyze", "random_play",
                                           "lost_causes", "Estado de salida"}));
}

// The real game, played at random by the playthrough runner, lands on each
// end as often as the analysis says: within 4 standard errors.
TEST(AnalyzeAgreement, WalkFrequenciesMatchTheExactOdds) {
  struct Case {
    std::string file;
    int walks;
  };
  // Walks that loop for ever run to the turn limit: few of those.
  const Case cases[] = {{kBundled[0], 1000},
                        {kBundled[1], 1000},
                        {kDir + "prueba_simple.md", 1000},
                        {kDir + "llave_olvidada.md", 1000},
                        {kDir + "peligro.md", 1000},
                        {kDir + "opcion_oculta.md", 300},
                        {kDir + "opciones_muertas.md", 300},
                        {kDir + "encierros.md", 60}};
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  ASSERT_NE(story, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(story_parser_load_file(*story, c.file.c_str()));
    AnalyzeReport exact;
    ASSERT_TRUE(story_analyze(*story, ANALYZE_DEFAULT_MAX_STATES, exact));
    WalkReport walked;
    ASSERT_TRUE(story_walk(*story, c.file, c.walks, 7, walked));

    std::map<std::string, double> expected;
    std::map<std::string, int> seen;
    for (const AnalyzeEnding& e : exact.endings) {
      const StorySection& s = story->sections[e.section];
      std::string_view type = s.ending_type.view();
      expected[std::string("[") + std::string(s.id.view()) + "] " + std::string(s.title.view()) +
               (type == "victory"  ? " (victoria)"
                : type == "defeat" ? " (derrota)"
                                   : " (neutral)")] = e.random_play;
    }
    for (const auto& [name, n] : walked.endings) seen[name] += n;
    expected["muerte"] = exact.random_play.death;
    for (const auto& [cause, n] : walked.deaths) seen["muerte"] += n;
    expected["atascado"] = exact.random_play.stuck;
    expected["sección inexistente"] = exact.random_play.missing_section;
    expected["sin fin"] = exact.random_play.endless;
    for (const auto& [what, n] : walked.other_ends) {
      if (what.rfind("sin opciones posibles", 0) == 0) {
        seen["atascado"] += n;
      } else if (what.rfind("sección inexistente", 0) == 0) {
        seen["sección inexistente"] += n;
      } else if (what.rfind("cortada tras", 0) == 0) {
        seen["sin fin"] += n;
      } else {
        seen[what] += n;  // anything else is an end the analysis does not know
      }
    }
    for (const auto& [name, n] : seen) {
      EXPECT_TRUE(expected.count(name)) << name << " happened " << n << " times";
    }
    for (const auto& [name, p] : expected) {
      double f = static_cast<double>(seen[name]) / c.walks;
      double se = std::sqrt(p * (1 - p) / c.walks);
      EXPECT_LE(std::fabs(f - p), 4 * se + 1e-9) << name << ": walked " << f << ", exact " << p;
    }
  }
  std::free(story);
}

}  // namespace
