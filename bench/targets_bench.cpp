// The game's performance targets in one run, each measured on whole processes
// in scratch folders with quiet settings (offline narrator, no typewriter, no
// music). The game is the one built here, or the binary named by the
// environment variable QH_BENCH_GAME: bench/compare measures an older build
// with this same harness that way.
//
// Every cost is the difference of the medians of two scripts that differ only
// in the work measured, run alternately so that other load on the machine
// falls on both alike; each comes as wall time and, with "_cpu" in its name,
// as the child's processor time:
//  - start: the game to its menu and out ("6"), against a dynamically linked
//    C hello built here, as start_ms, hello_ms and start_vs_hello;
//  - load: the largest story loaded up to the hero's name (where the closed
//    input ends the game) less start and exit alone, as load_ms;
//  - turn: 127 options taken on a ring of plain sections, less the same
//    session left at once, per option, as turn_ms;
//  - lore: 100 /lore queries of 16 words on the largest story, less 100 empty
//    answers (which show the scene again just the same), per query, as lore_ms;
//  - memory: the peak resident set of the load and the lore runs on the
//    largest story, as peak_largest_mib, and of the bundled crypt story played
//    to its victory, as peak_bundled_mib (both the highest of three runs).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "process_runner.h"
#include "story_gen.h"

namespace {

using namespace bench_process;

constexpr int kTurns = 127;
constexpr int kQueries = 100;

// The runs start in scratch folders, so a relative name is made absolute here.
const char* game_binary() {
  static const std::string binary = [] {
    const char* chosen = std::getenv("QH_BENCH_GAME");
    if (chosen == nullptr || chosen[0] == '\0') return std::string(QH_BINARY);
    std::error_code ec;
    return std::filesystem::absolute(chosen, ec).string();
  }();
  return binary.c_str();
}

// A scratch folder holding one story and the scripts run against it.
class Sandbox {
 public:
  Sandbox(const char* file, const std::string& story) : dir_("qh_targets_bench") {
    std::error_code ec;
    std::filesystem::create_directory(dir_.file("stories"), ec);
    ok_ = dir_.ok() && !ec && write_text(dir_.file(std::string("stories/") + file), story);
  }
  bool ok() const { return ok_; }

  // Writes `input` as a script and returns its path (empty on failure).
  std::string script(const std::string& name, const std::string& input) {
    std::string path = dir_.file(name);
    if (!write_text(path, input)) ok_ = false;
    return path;
  }
  std::string output() const { return dir_.file("stdout"); }

  // One run of `binary` on `script`; false when it failed.
  bool run(const char* binary, const std::string& script, GameRun* run) const {
    return run_program(binary, dir_.path(), script, output(), run);
  }
  // The peak resident memory in KiB of one run of `binary` on `script`, taken
  // by a small go-between so that this benchmark's own memory is not counted;
  // -1 when the run failed.
  long peak_kb(const char* binary, const std::string& script) const {
    std::string figure = dir_.file("peak_rss");
    const char* argv[] = {QH_PEAK_RSS_BINARY, figure.c_str(), binary, nullptr};
    GameRun unused;
    if (!run_argv(argv, dir_.path(), script, output(), &unused)) return -1;
    return std::strtol(read_text(figure).c_str(), nullptr, 10);
  }

 private:
  ScratchDir dir_;
  bool ok_ = false;
};

// Wall time is what a player waits; processor time (the child's user and
// system time, page faults included) is what other work on the machine moves
// least, so both are kept.
struct Series {
  std::vector<double> ms;
  std::vector<double> cpu_ms;
  void add(const GameRun& run) {
    ms.push_back(run.wall_ms);
    cpu_ms.push_back(run.cpu_ms);
  }
};

// The median cost of `a` beyond `b`, per `count` units of work.
double wall_beyond(const Series& a, const Series& b, int count = 1) {
  return (median(a.ms) - median(b.ms)) / count;
}
double cpu_beyond(const Series& a, const Series& b, int count = 1) {
  return (median(a.cpu_ms) - median(b.cpu_ms)) / count;
}

// The highest peak of `runs` runs of each script; -1 when one failed.
long highest_peak_kb(const Sandbox& box, std::initializer_list<std::string> scripts, int runs) {
  long highest = 0;
  for (const std::string& script : scripts) {
    for (int i = 0; i < runs; ++i) {
      long kb = box.peak_kb(game_binary(), script);
      if (kb < 0) return -1;
      highest = std::max(highest, kb);
    }
  }
  return highest;
}

// Runs `a` and `b` `rounds` times each, alternately in blocks of `block`
// runs. The first run of `a` is checked with `check` on its output. False
// (with the error set) on failure.
template <typename Check>
bool run_pair(benchmark::State& state, const Sandbox& box, const char* binary_a,
              const std::string& a, const char* binary_b, const std::string& b, int rounds,
              int block, Series& sa, Series& sb, Check check) {
  for (int i = 0; i < rounds; i += block) {
    for (int j = 0; j < block; ++j) {
      GameRun run;
      if (!box.run(binary_a, a, &run)) {
        state.SkipWithError("a measured run did not exit with status 0");
        return false;
      }
      if (i + j == 0 && !check(read_text(box.output()))) {
        state.SkipWithError("a measured run did not do what its script asks");
        return false;
      }
      sa.add(run);
    }
    for (int j = 0; j < block; ++j) {
      GameRun run;
      if (!box.run(binary_b, b, &run)) {
        state.SkipWithError("a reference run did not exit with status 0");
        return false;
      }
      sb.add(run);
    }
  }
  return true;
}

bool has(std::string_view text, std::string_view fragment) {
  return text.find(fragment) != std::string_view::npos;
}

constexpr std::string_view kFarewell = "¡Gracias por jugar a Quillhaven!";
constexpr std::string_view kRefused = "Opción inválida";

double mib(long kb) { return static_cast<double>(kb) / 1024.0; }

void BM_Start(benchmark::State& state) {
  Sandbox box("sala.md", "## [1] Sala\nNada.\n");
  std::string menu_exit = box.script("menu_exit", "6\n");
  if (!box.ok()) return state.SkipWithError("cannot write the sandbox");
  Series game, hello;
  for (auto _ : state) {
    // In blocks: each program runs after itself, with its own libraries (or
    // none) warm in the caches, as when it is started again and again.
    if (!run_pair(state, box, game_binary(), menu_exit, QH_HELLO_BINARY, menu_exit, 200, 10, game,
                  hello, [](std::string_view out) { return has(out, kFarewell); })) {
      return;
    }
  }
  state.counters["start_ms"] = median(game.ms);
  state.counters["hello_ms"] = median(hello.ms);
  state.counters["start_vs_hello"] = median(game.ms) / median(hello.ms);
  state.counters["start_cpu_vs_hello"] = median(game.cpu_ms) / median(hello.cpu_ms);
}

// The largest story's figures: its load, one /lore query and the peak memory.
void BM_LargestStory(benchmark::State& state) {
  Sandbox box("la_gran_prueba.md", bench_story::largest_story(false));
  std::string menu_exit = box.script("menu_exit", "6\n");
  std::string load = box.script("load", "1\n1\n");
  std::string lore = "1\n1\nBanco\n", empty = lore;
  for (const std::string& q : bench_story::lore_queries(kQueries)) lore += "/lore " + q + "\n";
  for (int i = 0; i < kQueries; ++i) empty += "\n";
  std::string lore_script = box.script("lore", lore + "/salir\n6\n");
  std::string empty_script = box.script("empty", empty + "/salir\n6\n");
  if (!box.ok()) return state.SkipWithError("cannot write the sandbox");

  const char* game = game_binary();
  Series loaded, started, queried, idle;
  for (auto _ : state) {
    auto loaded_ok = [](std::string_view out) {
      return has(out, "Introduce el nombre de tu aventurero") && has(out, kFarewell);
    };
    if (!run_pair(state, box, game, load, game, menu_exit, 40, 1, loaded, started, loaded_ok))
      return;
    auto queried_ok = [](std::string_view out) {
      return has(out, "Conocimiento recuperado") && has(out, kFarewell) && !has(out, kRefused);
    };
    if (!run_pair(state, box, game, lore_script, game, empty_script, 25, 1, queried, idle,
                  queried_ok)) {
      return;
    }
  }
  long peak = highest_peak_kb(box, {load, lore_script}, 3);
  if (peak < 0) return state.SkipWithError("a run for the peak memory failed");
  state.counters["load_ms"] = wall_beyond(loaded, started);
  state.counters["load_cpu_ms"] = cpu_beyond(loaded, started);
  state.counters["lore_ms"] = wall_beyond(queried, idle, kQueries);
  state.counters["lore_cpu_ms"] = cpu_beyond(queried, idle, kQueries);
  state.counters["peak_largest_mib"] = mib(peak);
}

void BM_Turn(benchmark::State& state) {
  Sandbox box("la_ronda.md", bench_story::ring_story());
  std::string walk = "1\n1\nBanco\n", stay = walk + "/salir\n6\n";
  for (int t = 0; t < kTurns; ++t) {
    walk += std::to_string(bench_story::ring_forward_option(t % bench_story::kRingSections + 1));
    walk += "\n";
  }
  std::string walk_script = box.script("walk", walk + "/salir\n6\n");
  std::string stay_script = box.script("stay", stay);
  if (!box.ok()) return state.SkipWithError("cannot write the sandbox");
  Series walked, stayed;
  for (auto _ : state) {
    auto walked_ok = [](std::string_view out) {
      return has(out, "[128] Estancia 128") && has(out, kFarewell) && !has(out, kRefused);
    };
    const char* game = game_binary();
    if (!run_pair(state, box, game, walk_script, game, stay_script, 25, 1, walked, stayed,
                  walked_ok)) {
      return;
    }
  }
  state.counters["turn_ms"] = wall_beyond(walked, stayed, kTurns);
  state.counters["turn_cpu_ms"] = cpu_beyond(walked, stayed, kTurns);
}

// Holy water, the sacristan's prayer (the one check), the tunnel, the ford
// opened with the water, the bronze doors, the silver seal.
void BM_BundledStory(benchmark::State& state) {
  const char* file = "la_cripta_del_rey_ceniza.md";
  std::string text = read_text(std::string(QH_SOURCE_DIR) + "/stories/" + file);
  Sandbox box(file, text);
  std::string play = box.script("play", "1\n1\nAna\n2\n1\n1\n1\n1\n1\n6\n");
  if (text.empty() || !box.ok()) return state.SkipWithError("cannot write the sandbox");
  GameRun unused_run;
  if (!box.run(game_binary(), play, &unused_run) ||
      !has(read_text(box.output()), "¡Felicidades! Has completado")) {
    return state.SkipWithError("the script did not reach the victory");
  }
  long peak = 0;
  for (auto _ : state) peak = highest_peak_kb(box, {play}, 3);
  if (peak < 0) return state.SkipWithError("a run for the peak memory failed");
  state.counters["peak_bundled_mib"] = mib(peak);
}

}  // namespace

BENCHMARK(BM_Start)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LargestStory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Turn)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BundledStory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
