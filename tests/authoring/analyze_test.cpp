#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/story_analyze.h"
#include "authoring/story_walk.h"
#include "character/character.h"
#include "rules/dice.h"
#include "rules/resolve.h"
#include "story/story_parser.h"
#include "support/test_support.h"

using qh_test::contains_in_order;
using qh_test::RunResult;

namespace {

const std::string kDir = QH_TEST_DATA_DIR "/analyze/";
const char* const kBundled[] = {QH_SOURCE_DIR "/stories/la_cripta_del_rey_ceniza.md",
                                QH_SOURCE_DIR "/stories/intrusion_en_neon.md"};

// How a check at `dc` with +0 ends: passed, passed at a cost of 1 hit point, failed.
struct CheckOdds {
  double pass = 0, cost = 0, fail = 0;
};
CheckOdds check_odds(std::int32_t dc) {
  CheckOdds odds;
  for (int d = 0; d < 36; ++d) {
    RollOutcome o = rules_roll_outcome(d / 6 + 1, d % 6 + 1, 0, dc);
    (o == OUTCOME_COST                                   ? odds.cost
     : o == OUTCOME_FAILURE || o == OUTCOME_CRIT_FAILURE ? odds.fail
                                                         : odds.pass) += 1.0 / 36;
  }
  return odds;
}

// The next word of `in`, "a/b" or "a", as a number.
double fraction(std::istream& in) {
  std::string text;
  in >> text;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  return *end == '/' ? value / std::strtod(end + 1, nullptr) : value;
}

// "[id] Title (victoria)": an ending as the walk names it.
std::string ending_name(const StorySection& s) {
  std::string_view type = s.ending_type.view();
  return "[" + std::string(s.id.view()) + "] " + std::string(s.title.view()) +
         (type == "victory"  ? " (victoria)"
          : type == "defeat" ? " (derrota)"
                             : " (neutral)");
}

// Of 36 rolls, how many end in each tier, critical success to critical failure.
std::vector<int> tiers(const AnalyzeCheck& c) { return {c.odds + 1, c.odds + 6}; }

// What an exact analysis must find: random play, best play and its first option.
struct Odds {
  double victory, defeat, death, stuck, endless, best;
  int first_option;
};

class StoryAnalyze : public ::testing::Test {
 protected:
  void SetUp() override { story_ = static_cast<Story*>(std::calloc(1, sizeof(Story))); }
  void TearDown() override { std::free(story_); }

  void load(const std::string& path) { ASSERT_TRUE(story_parser_load_file(*story_, path.c_str())); }

  AnalyzeReport analyze(std::int64_t cap = ANALYZE_DEFAULT_MAX_STATES) {
    AnalyzeReport report;
    story_analyze(*story_, cap, report);
    return report;
  }

  std::string id(int section) const { return std::string(story_->sections[section].id.view()); }

  // Everything the report finds besides the odds, one line each, in the report's order.
  std::string findings(const AnalyzeReport& r) const {
    std::string out;
    for (const AnalyzeTrap& t : r.traps)
      out += "trap " + id(t.section) + (t.stuck ? " stuck: " : " loop: ") +
             story_analyze_path_text(*story_, t.path) + "\n";
    for (const AnalyzeLostCause& l : r.lost_causes)
      out += "lost " + id(l.section) + " " + std::to_string(l.states) + "/" +
             std::to_string(l.of_states) + " " + l.example_missing + ": " +
             story_analyze_path_text(*story_, l.path) + "\n";
    for (const AnalyzeNeverTakeable& n : r.never_takeable)
      out += "never " + id(n.section) + " " + std::to_string(n.option) + " " + n.reason + "\n";
    for (int s : r.unreachable_sections) out += "unreachable " + id(s) + "\n";
    auto names = [&out](const char* what, const std::vector<std::string>& list) {
      for (const std::string& name : list) out += what + name + "\n";
    };
    names("flag set, never tested ", r.flags_set_never_tested);
    names("flag tested, never set ", r.flags_tested_never_set);
    names("item never obtainable ", r.items_required_never_obtainable);
    names("item never required ", r.items_obtained_never_required);
    return out;
  }

  // A complete, exact analysis with these odds (to 1e-12, relative for a small victory).
  void expect_exact(const AnalyzeReport& r, std::int64_t states, const Odds& o,
                    const std::string& found) {
    ASSERT_TRUE(r.analysable) << r.error;
    EXPECT_TRUE(r.complete && r.random_play.exact && r.best_exact);
    EXPECT_EQ(r.states, states);
    const AnalyzeRandomPlay& p = r.random_play;
    EXPECT_NEAR(p.victory, o.victory, o.victory > 0 ? 1e-12 * o.victory : 1e-12);
    for (auto [got, want] : {std::pair{p.defeat, o.defeat},
                             {p.death, o.death},
                             {p.stuck, o.stuck},
                             {p.endless, o.endless}})
      EXPECT_NEAR(got, want, 1e-12);
    EXPECT_EQ(p.neutral + p.missing_section + p.unexplored, 0);
    EXPECT_NEAR(r.best_victory, o.best, 1e-12);
    EXPECT_EQ(r.best_first_option, o.first_option);
    EXPECT_EQ(findings(r), found);
  }

  // Sections and options written as records, for the fields no option line fills.
  StorySection& add_section(const std::string& section_id, const char* ending = "") {
    StorySection& s = story_->sections[story_->section_count++];
    s.id.assign(section_id);
    s.title.assign(section_id);
    s.is_ending = ending[0] != '\0';
    s.ending_type.assign(ending);
    return s;
  }
  static StoryTransition& add_option(StorySection& s, const std::string& target,
                                     const char* label) {
    StoryTransition& t = s.transitions[s.transition_count++];
    t.target.assign(target);
    t.label.assign(label);
    return t;
  }
  static StoryTransition& add_check(StorySection& s, const std::string& target, std::int32_t dc,
                                    const std::string& fail_target) {
    StoryTransition& t = add_option(s, target, "Probar");
    t.check_stat.assign("Fuerza");
    t.check_dc = dc;
    t.fail_target.assign(fail_target);
    return t;
  }
  void reset(std::int32_t hp) {
    std::memset(static_cast<void*>(story_), 0, sizeof *story_);
    story_->hp = hp;
  }

  Story* story_ = nullptr;
};
class AnalyzeAgreement : public StoryAnalyze {};

}  // namespace

// Small stories worked out by hand, with their exact answers as recorded in esperado.txt.
TEST_F(StoryAnalyze, HandWorkedStoriesGiveTheirExactAnswers) {
  std::istringstream lines(qh_test::read_file(kDir + "esperado.txt"));
  std::vector<std::pair<std::string, std::string>> stories;  // the "==" line, the findings
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("== "))
      stories.emplace_back(line.substr(3), "");
    else if (!line.empty() && line[0] != '#' && !stories.empty())
      stories.back().second += line + "\n";
  }
  EXPECT_EQ(stories.size(), 11u);
  for (const auto& [header, found] : stories) {
    SCOPED_TRACE(header);
    std::istringstream words(header);
    std::string file;
    std::int64_t states = 0;
    Odds o{};
    words >> file >> states;
    for (double* x : {&o.victory, &o.defeat, &o.death, &o.stuck, &o.endless, &o.best})
      *x = fraction(words);
    words >> o.first_option;
    load(kDir + file);
    expect_exact(analyze(), states, o, found);
  }

  load(kDir + "prueba_simple.md");
  AnalyzeReport r = analyze();
  ASSERT_EQ(r.checks.size(), 1u);
  EXPECT_TRUE(r.checks[0].dc == 7 && r.checks[0].modifier == 0);
  EXPECT_EQ(tiers(r.checks[0]), (std::vector<int>{1, 20, 9, 5, 1}));

  // One item more and the analysis could no longer be exact: it refuses.
  load(kDir + "sesenta_y_cinco_objetos.md");
  r = analyze();
  EXPECT_FALSE(r.analysable);
  EXPECT_EQ(r.error, "la historia usa 65 objetos distintos; el análisis exacto admite hasta 64");
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
      for (int i = 1; i <= locks; ++i) {
        StorySection& s = add_section(i == 1 ? "1" : "c" + std::to_string(i));
        add_check(s, i == locks ? "oro" : "c" + std::to_string(i + 1), dc, "1");
        if (i == 1) add_option(s, "abismo", "Rendirse");
      }
      add_section("oro", "victory");
      add_section("abismo", "defeat");

      const auto [pass, cost, fail] = check_odds(dc);
      // best[h] and random[h]: victory from the hall with h hit points.
      double best[kHp + 1] = {0}, random[kHp + 1] = {0};
      for (int h = 1; h <= kHp; ++h) {
        // at[k]: reaching the current lock having paid k; back[k]: sent back having paid k.
        std::vector<double> at(static_cast<std::size_t>(h), 0), back(at);
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
        // Coming back having paid nothing starts over: divide by what does
        // not, summed rather than subtracted from 1.
        double leave = std::pow(pass, locks);
        for (int lock = 0; lock < locks; ++lock) leave += std::pow(pass, lock) * cost;
        double b = 0, r = 0;
        for (std::size_t k = 0; k < at.size(); ++k) {  // `at` now holds the wins
          b += at[k] + (k > 0 ? back[k] * best[h - static_cast<int>(k)] : 0);
          r += at[k] + (k > 0 ? back[k] * random[h - static_cast<int>(k)] : 0);
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
      CheckOdds odds;
    };
    std::vector<std::vector<Move>> moves(kSections);
    for (int sec = 0; sec < kSections; ++sec) {
      StorySection& s = add_section(names[sec]);
      for (int o = 0, options = 1 + draw(3); o < options; ++o) {
        Move m{draw(8), draw(8), {1, 0, 0}};
        if (int dc = draw(2) == 0 ? 0 : 4 + draw(9); dc == 0) {
          add_option(s, names[m.to], "Ir");
        } else {
          add_check(s, names[m.to], dc, names[m.fail]);
          m.odds = check_odds(dc);
        }
        moves[static_cast<std::size_t>(sec)].push_back(m);
      }
    }
    add_section("v", "victory");
    add_section("d", "defeat");

    // value[0] for the best player, value[1] for the random one: victory from
    // [section][hit points]; the victory (6) is worth 1 with any, no hit points nothing.
    double value[2][kSections + 2][kHp + 1] = {};
    for (auto& v : value) std::fill(v[6] + 1, v[6] + kHp + 1, 1.0);
    for (int sweep = 0; sweep < 200000; ++sweep) {
      double change = 0;
      for (int sec = 0; sec < kSections; ++sec) {
        for (int hp = 1; hp <= kHp; ++hp) {
          double top = 0, sum = 0;
          for (const Move& m : moves[static_cast<std::size_t>(sec)]) {
            double q[2];
            for (int which = 0; which < 2; ++which) {
              const auto& v = value[which];
              q[which] = m.odds.pass * v[m.to][hp] + m.odds.cost * v[m.to][hp - 1] +
                         m.odds.fail * v[m.fail][hp];
            }
            top = std::max(top, q[0]);
            sum += q[1];
          }
          double mean = sum / static_cast<double>(moves[static_cast<std::size_t>(sec)].size());
          change = std::max(
              {change, std::fabs(top - value[0][sec][hp]), std::fabs(mean - value[1][sec][hp])});
          value[0][sec][hp] = top;
          value[1][sec][hp] = mean;
        }
      }
      if (change < 1e-17) break;
    }
    AnalyzeReport r = analyze();
    ASSERT_TRUE(r.analysable) << r.error;
    EXPECT_NEAR(r.best_victory, value[0][0][kHp], 1e-10);
    EXPECT_NEAR(r.random_play.victory, value[1][0][kHp], 1e-10);
  }
}

// A loop given too small a budget to solve is iterated instead, and the
// report says so, with bounds that still hold; a partial analysis calls no
// state a lost cause unless it has found a victory to lose.
TEST_F(StoryAnalyze, BoundsWhereALoopIsTooLargeOrTheMapPartial) {
  load(kDir + "dos_puertas_5.md");
  AnalyzeReport r;
  ASSERT_TRUE(story_analyze(*story_, ANALYZE_DEFAULT_MAX_STATES, r, 8));
  const AnalyzeRandomPlay& p = r.random_play;
  EXPECT_TRUE(!p.exact && p.unsolved > 0 && !r.best_exact);
  EXPECT_NEAR(p.victory + p.defeat + p.unsolved, 1, 1e-12);
  EXPECT_TRUE(p.victory <= 0.5 && p.victory + p.unsolved >= 0.5);
  EXPECT_TRUE(r.best_victory <= 1 && r.best_victory_at_most >= 1);
  EXPECT_TRUE(contains_in_order(
      story_analyze_format_json(*story_, "dos_puertas_5.md", r, 0),
      {"\"endless\": 0, \"exact\": false, \"unsolved\": ", "\"best_play\": {\"victory\": ",
       ", \"exact\": false, \"at_most\": 1, \"first_move\""}));
  EXPECT_TRUE(contains_in_order(
      story_analyze_format_text(*story_, "dos_puertas_5.md", r),
      {"  sin resolver  ", "  (aproximado: un bucle de estados es demasiado grande",
       " de victorias como mínimo y 100.0 % como máximo (un bucle"}));

  // No victory anywhere: the full analysis lists no lost cause, and neither
  // may a partial one that meets states with no victory ahead.
  load(kDir + "pozo_sin_salida.md");
  AnalyzeReport full = analyze(), partial = analyze(7);
  EXPECT_TRUE(full.complete && !partial.complete);
  EXPECT_TRUE(full.lost_causes.empty() && partial.lost_causes.empty());
  EXPECT_TRUE(full.random_play.exact && full.best_exact);
  EXPECT_NE(story_analyze_format_json(*story_, "x", full, 0).find("\"exact\": true"),
            std::string::npos);
}

// Flags are set, required and block as the resolution does; a flag that
// every hero here already carries blocks for ever, one nobody sets never opens.
// Six states: the lever room with each set of the two flags, the hall with the door open.
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
  expect_exact(analyze(), 6, {0.5, 0.5, 0, 0, 0, 1, 1},
               "never 1 4 flag_never_set\nnever 2 1 flag_always_set\nunreachable 5\n"
               "flag set, never tested grito\nflag tested, never set maestra\n");
}

// An item can be dropped and picked up again, states the hero gains do not
// make new states, and damage on a success kills before a missing destination
// counts. No victory anywhere: nothing is lost.
TEST_F(StoryAnalyze, LostItemsNewConditionsAndDamageOnSuccess) {
  reset(2);
  StorySection& entry = add_section("1");
  StoryTransition& take = add_option(entry, "1", "Tomar la antorcha");
  take.gain_item.assign("Antorcha");
  take.add_state.assign("Cansado");
  add_option(entry, "1", "Soltar la antorcha").lose_item.assign("antorcha");
  add_option(entry, "2", "Entrar en la cueva").required_item.assign("ANTORCHA");
  add_check(add_section("2"), "zz", 2, "3").success_damage = 2;
  add_section("3", "defeat");
  AnalyzeReport r = analyze();
  expect_exact(r, 3, {0, 1.0 / 36, 35.0 / 36, 0, 0, 0, 0}, "");
  EXPECT_EQ(r.best_victory, 0);
  EXPECT_EQ(r.random_play.endless, 0);
  ASSERT_EQ(r.checks.size(), 1u);
  EXPECT_EQ(tiers(r.checks[0]), (std::vector<int>{1, 34, 0, 0, 1}));
}

// The bundled stories in full: no trap, every option can be taken, and best
// play beats random play. The analysis weighs a check by its tiers, resolving
// one pair of dice per tier: sound only while the resolution reads nothing of
// the dice but the tier. What a state cap cuts off is counted as unexplored,
// never guessed: nothing is reported as trapped, lost or never taken on the
// strength of a partial map.
TEST_F(StoryAnalyze, BundledStoriesInFullAndInPart) {
  AnalyzeReport full;
  for (const char* file : {kBundled[1], kBundled[0]}) {
    SCOPED_TRACE(file);
    load(file);
    full = analyze();
    ASSERT_TRUE(full.analysable);
    EXPECT_TRUE(full.complete && full.traps.empty() && full.never_takeable.empty() &&
                full.unreachable_sections.empty());
    EXPECT_GT(full.best_victory, full.random_play.victory);

    Character seeded;
    character_seed_from_story(seeded, *story_, "");
    for (std::int32_t hp : {seeded.hp, 3, 1}) {
      for (const StorySection& s : std::span(story_->sections, story_->section_count)) {
        for (const StoryTransition& t : std::span(s.transitions, s.transition_count)) {
          if (!rules_transition_rolls(t)) continue;
          std::int32_t modifier = character_get_stat(seeded, t.check_stat.view());
          std::map<int, std::pair<std::string, Character>> first;
          for (std::int32_t d = 0; d < 36; ++d) {
            Character hero = seeded;
            hero.hp = hp;
            char target[32];
            ASSERT_TRUE(rules_resolve_transition_with_dice(hero, t, d / 6 + 1, d % 6 + 1, target,
                                                           sizeof target, nullptr, nullptr, 0));
            int tier = rules_roll_outcome(d / 6 + 1, d % 6 + 1, modifier, t.check_dc);
            auto [it, fresh] = first.try_emplace(tier, target, hero);
            if (fresh) continue;
            EXPECT_EQ(it->second.first, target) << t.label.view();
            EXPECT_EQ(std::memcmp(&it->second.second, &hero, sizeof hero), 0) << t.label.view();
          }
        }
      }
    }
  }

  // The crypt, the last one loaded, capped.
  AnalyzeReport r = analyze(40);
  ASSERT_TRUE(r.analysable);
  EXPECT_TRUE(!r.complete && r.states == 40);
  const AnalyzeRandomPlay& p = r.random_play;
  EXPECT_GT(p.unexplored, 0);
  EXPECT_NEAR(p.victory + p.defeat + p.neutral + p.death + p.stuck + p.missing_section + p.endless +
                  p.unexplored,
              1, 1e-12);
  EXPECT_LE(r.best_victory, full.best_victory);
  EXPECT_TRUE(r.traps.empty() && r.lost_causes.empty() && r.never_takeable.empty() &&
              r.unreachable_sections.empty());
  EXPECT_TRUE(analyze(full.states).complete);

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

// The real game, played at random by the playthrough runner, lands on each
// end as often as the analysis says: within 4 standard errors.
TEST_F(AnalyzeAgreement, WalkFrequenciesMatchTheExactOdds) {
  // Walks that loop for ever run to the turn limit: few of those.
  const std::pair<std::string, int> cases[] = {{kBundled[0], 1000},
                                               {kBundled[1], 1000},
                                               {kDir + "prueba_simple.md", 1000},
                                               {kDir + "llave_olvidada.md", 1000},
                                               {kDir + "peligro.md", 1000},
                                               {kDir + "opcion_oculta.md", 300},
                                               {kDir + "opciones_muertas.md", 300},
                                               {kDir + "encierros.md", 60}};
  for (const auto& [file, walks] : cases) {
    SCOPED_TRACE(file);
    load(file);
    AnalyzeReport exact = analyze();
    WalkReport walked;
    ASSERT_TRUE(story_walk(*story_, file, walks, 7, walked));
    // The walk names its other ends by these prefixes.
    const AnalyzeRandomPlay& p = exact.random_play;
    std::map<std::string, double> expected = {{"muerte", p.death},
                                              {"sin opciones posibles", p.stuck},
                                              {"sección inexistente", p.missing_section},
                                              {"cortada tras", p.endless}};
    for (const AnalyzeEnding& e : exact.endings)
      expected[ending_name(story_->sections[e.section])] = e.random_play;
    std::map<std::string, int> seen = walked.endings;
    for (const auto& [cause, n] : walked.deaths) seen["muerte"] += n;
    for (const auto& [what, n] : walked.other_ends) {
      std::string kind = what;  // anything else is an end the analysis does not know
      for (const char* prefix : {"sin opciones posibles", "sección inexistente", "cortada tras"})
        if (what.rfind(prefix, 0) == 0) kind = prefix;
      seen[kind] += n;
    }
    for (const auto& [name, n] : seen)
      EXPECT_TRUE(expected.count(name)) << name << " happened " << n << " times";
    for (const auto& [name, chance] : expected) {
      double f = static_cast<double>(seen[name]) / walks;
      double se = std::sqrt(chance * (1 - chance) / walks);
      EXPECT_LE(std::fabs(f - chance), 4 * se + 1e-9)
          << name << ": walked " << f << ", exact " << chance;
    }
  }
}

// Every bundled story is walked three times (seeds 7, 7 and 8), all at once:
// each run is a process of its own. The same seed walks the same way, another
// seed another, and every ending is reached.
TEST(ToolsCli, WalksReachEveryEndingAndRepeatWithTheSameSeed) {
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  ASSERT_NE(story, nullptr);
  std::vector<std::future<RunResult>> runs;
  for (const char* path : kBundled) {
    for (const char* seed : {"7", "7", "8"}) {
      runs.push_back(std::async(std::launch::async, [path, seed] {
        return qh_test::run_program({.cwd = QH_SOURCE_DIR,
                                     .input = "",
                                     .args = {"play", path, "--walk", "1000", "--seed", seed},
                                     .binary = QH_TOOLS_BINARY,
                                     .env = {},
                                     .timeout_ms = 120000});
      }));
    }
  }
  for (std::size_t i = 0; i < std::size(kBundled); ++i) {
    RunResult first = runs[3 * i].get(), again = runs[3 * i + 1].get(),
              other = runs[3 * i + 2].get();
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out, again.out);
    EXPECT_NE(first.out, other.out);
    EXPECT_TRUE(contains_in_order(
        first.out, {"Recorridos de «", "»: 1000", "Finales alcanzados:", "Muertes:",
                    "Secciones nunca visitadas:\n  (ninguna)", "Recorrido más largo: "}));
    ASSERT_TRUE(story_parser_load_file(*story, kBundled[i]));
    for (const StorySection& s : std::span(story->sections, story->section_count))
      EXPECT_TRUE(!s.is_ending || first.out.find(ending_name(s)) != std::string::npos)
          << kBundled[i] << " never reached " << ending_name(s);
  }
  std::free(story);
}
