// The analyzer on the bundled stories, on a generated story whose items,
// flags and hit points multiply into about a million states, and on stories
// that are one large loop of states (the exact solver's hardest case).
// Targets on the reference machine (release build, one thread): under 50 ms per
// bundled story; a million states explored and solved in under 2 s, with the
// analysis holding under 150 bytes per state at its peak.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "authoring/story_analyze.h"
#include "story/story_parser.h"

namespace {

Story* new_story() { return static_cast<Story*>(std::calloc(1, sizeof(Story))); }

void analyze_file(benchmark::State& state, const char* file) {
  std::string path = std::string(QH_SOURCE_DIR) + "/stories/" + file;
  Story* story = new_story();
  if (story == nullptr || !story_parser_load_file(*story, path.c_str())) {
    state.SkipWithError("story not readable");
    std::free(story);
    return;
  }
  AnalyzeReport report;
  for (auto _ : state) {
    story_analyze(*story, ANALYZE_DEFAULT_MAX_STATES, report);
    benchmark::DoNotOptimize(report.random_play.victory);
  }
  state.counters["states"] = static_cast<double>(report.states);
  std::free(story);
}

StoryTransition& add_option(StorySection& s, const std::string& target, const char* label) {
  StoryTransition& t = s.transitions[s.transition_count++];
  std::memset(static_cast<void*>(&t), 0, sizeof t);
  t.target.assign(target);
  t.label.assign(label);
  return t;
}

void add_ending(Story& story, const char* id, const char* type) {
  StorySection& end = story.sections[story.section_count++];
  end.id.assign(id);
  end.is_ending = true;
  end.ending_type.assign(type);
}

// A ring of `rooms` rooms. In each of the first `items` rooms an option picks
// up that room's item; in the next `flags` rooms one raises that room's flag.
// Every room leads on and back and has a door that needs the item of an
// earlier room; every other room has a climb (a check that skips a room on
// success and costs a hit point on failure). Every third room burns a hit point on arrival. The
// last room's exit needs the first flag, gives up on a flag that blocks it, and leads to a vault
// that needs the last flag: victory; a trapdoor is a defeat. States: rooms x the subsets of items
// and flags collected x hit points left.
void generate(Story& story, int rooms, int items, int flags, int hp) {
  std::memset(static_cast<void*>(&story), 0, sizeof story);
  story.title.assign("Laberinto generado");
  story.hp = hp;
  story.start.assign("1");
  std::strcpy(story.stats[0].name.raw(), "Fuerza");
  story.stats[0].value = 1;
  story.stat_count = 1;
  auto room = [&](int i) { return std::to_string((i + rooms) % rooms + 1); };
  for (int i = 0; i < rooms; ++i) {
    StorySection& s = story.sections[story.section_count++];
    s.id.assign(room(i));
    s.title.assign("Sala " + room(i));
    if (i % 3 == 2) s.damage = 1;
    add_option(s, room(i + 1), "Seguir adelante");
    add_option(s, room(i - 1), "Volver atrás");
    if (i % 2 == 0) {
      StoryTransition& climb = add_option(s, room(i + 2), "Trepar por la cornisa");
      climb.check_stat.assign("Fuerza");
      climb.check_dc = 8;
      climb.fail_target.assign(room(i));
      climb.fail_damage = 1;
    }
    if (i < items) {
      add_option(s, room(i), "Recoger el objeto").gain_item.assign("Objeto " + room(i));
    } else if (i < items + flags) {
      add_option(s, room(i), "Accionar la palanca").set_flag.assign("Palanca " + room(i));
    }
    if (i > 0 && items > 0) {
      add_option(s, room(i + 1), "Abrir la puerta")
          .required_item.assign("Objeto " + room(i % items));
    }
  }
  StorySection& last = story.sections[rooms - 1];
  StoryTransition& exit = add_option(last, "boveda", "Bajar a la bóveda");
  exit.required_flag.assign("Palanca " + room(items));
  exit.blocking_flag.assign("Palanca " + room(items + 1));
  add_option(last, "trampilla", "Saltar por la trampilla");

  StorySection& vault = story.sections[story.section_count++];
  vault.id.assign("boveda");
  add_option(vault, "tesoro", "Abrir el cofre")
      .required_flag.assign("Palanca " + room(items + flags - 1));
  add_option(vault, room(0), "Volver a la primera sala");
  add_ending(story, "tesoro", "victory");
  add_ending(story, "trampilla", "defeat");
}

// A ring of `rooms` rooms where each of the first `items` rooms lets the hero
// pick up or drop its item: every set of items can be undone, so all
// rooms x 2^items states form one loop, the solver's hardest case. The last
// room's door needs every item (victory); a check at the first room's pit
// sends a clumsy hero to the defeat.
void generate_loop(Story& story, int rooms, int items) {
  std::memset(static_cast<void*>(&story), 0, sizeof story);
  story.title.assign("Un solo bucle");
  story.hp = 5;
  story.start.assign("1");
  auto room = [&](int i) { return std::to_string((i + rooms) % rooms + 1); };
  for (int i = 0; i < rooms; ++i) {
    StorySection& s = story.sections[story.section_count++];
    s.id.assign(room(i));
    s.title.assign("Sala " + room(i));
    add_option(s, room(i + 1), "Seguir adelante");
    add_option(s, room(i - 1), "Volver atrás");
    if (i < items) {
      add_option(s, room(i), "Recoger el objeto").gain_item.assign("Objeto " + room(i));
      add_option(s, room(i), "Dejar el objeto").lose_item.assign("Objeto " + room(i));
    }
  }
  StoryTransition& pit = add_option(story.sections[0], "foso", "Saltar el foso");
  pit.check_stat.assign("Fuerza");
  pit.check_dc = 14;
  pit.fail_target.assign("1");
  StoryTransition* door = &add_option(story.sections[rooms - 1], "tesoro", "Abrir la puerta");
  for (int i = 0; i < items; ++i) {
    // One requirement per option: a chain of doors, each needing one more item.
    door->required_item.assign("Objeto " + room(i));
    if (i + 1 < items) {
      StorySection& hall = story.sections[story.section_count++];
      hall.id.assign("puerta" + std::to_string(i));
      door->target.assign(hall.id.view());
      add_option(hall, room(0), "Volver a la primera sala");
      door = &add_option(hall, "tesoro", "Abrir la puerta siguiente");
    }
  }
  add_ending(story, "tesoro", "victory");
  add_ending(story, "foso", "defeat");
}

// The states explored and the memory each took at the peak.
void count_states(benchmark::State& state, const AnalyzeReport& report) {
  state.counters["states"] = static_cast<double>(report.states);
  state.counters["bytes_per_state"] = report.states > 0 ? static_cast<double>(report.peak_bytes) /
                                                              static_cast<double>(report.states)
                                                        : 0.0;
}

void analyze_loop(benchmark::State& state) {
  Story* story = new_story();
  if (story == nullptr) {
    state.SkipWithError("no memory");
    return;
  }
  generate_loop(*story, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  AnalyzeReport report;
  for (auto _ : state) {
    story_analyze(*story, ANALYZE_DEFAULT_MAX_STATES, report);
    benchmark::DoNotOptimize(report.random_play.victory);
  }
  count_states(state, report);
  state.counters["exact"] = report.random_play.exact && report.best_exact ? 1 : 0;
  // How far apart the bounds are when it is not.
  state.counters["unsolved"] = report.random_play.unsolved;
  state.counters["best_gap"] = report.best_victory_at_most - report.best_victory;
  std::free(story);
}

void analyze_generated(benchmark::State& state) {
  Story* story = new_story();
  if (story == nullptr) {
    state.SkipWithError("no memory");
    return;
  }
  generate(*story, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
           static_cast<int>(state.range(2)), static_cast<int>(state.range(3)));
  AnalyzeReport report;
  for (auto _ : state) {
    story_analyze(*story, ANALYZE_DEFAULT_MAX_STATES, report);
    benchmark::DoNotOptimize(report.random_play.victory);
  }
  count_states(state, report);
  state.counters["complete"] = report.complete ? 1 : 0;
  std::free(story);
}

}  // namespace

BENCHMARK_CAPTURE(analyze_file, cripta, "la_cripta_del_rey_ceniza.md")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(analyze_file, neon, "intrusion_en_neon.md")->Unit(benchmark::kMillisecond);
BENCHMARK(analyze_generated)
    ->Args({12, 6, 3, 8})
    ->Args({24, 10, 4, 9})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(analyze_loop)
    ->Args({16, 8})
    ->Args({16, 12})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
