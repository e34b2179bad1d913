// Whole-process playthroughs by option numbers, quiet settings (offline
// narrator, typing speed 0, music off):
//  - a generated story of 128 sections chained by plain options, walked from
//    the first section to the victory in the last (127 options taken);
//  - the bundled crypt story played to its victory (6 options, one check).
// Counters: per_turn_ms is the median wall time of a whole run, less the dice
// animation's deliberate 240 ms per check rolled, divided by the options
// taken; per_turn_net_ms also leaves out the median time of a start-up that
// goes straight to the exit entry; cpu_per_turn_ms is the child's processor
// time, which other work on the machine barely moves. peak_rss_mb is the child's peak resident
// memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "process_runner.h"
#include "story_gen.h"

namespace {

using namespace bench_process;

constexpr int kSections = 128;
constexpr int kOptionsPerSection = 4;
constexpr double kDicePauseMs = 240.0;  // four rolling frames of 60 ms
constexpr std::string_view kDiceMarker = "Tirando dados";
constexpr std::string_view kVictory = "¡Felicidades! Has completado la aventura";
constexpr std::string_view kInvalid = "Opción inválida";

// The option that moves on from `section` sits at a different position in
// each section, so the walk uses every option number.
int forward_option(int section) { return section % kOptionsPerSection + 1; }

std::string generated_story() {
  std::string s =
      "---\ntitle: \"La Larga Marcha\"\nauthor: \"Banco\"\nhp: 12\nstart: \"1\"\n"
      "items:\n  - \"Antorcha\"\n  - \"Cuerda\"\nstats:\n  Fuerza: 2\n  Agilidad: 1\n"
      "  Ingenio: 1\nmusic:\n  explore: \"dungeon\"\n---\n\n";
  for (int n = 1; n <= kSections; ++n) {
    const std::string id = std::to_string(n);
    s += "## [" + id + "] Estancia " + id + "\n\n";
    for (int p = 0; p < 3; ++p) s += bench_story::ring_paragraph(n, p) + "\n\n";
    if (n % 2 == 0) {
      s += "> [Lore: Crónica " + id + "] Los cronistas cuentan que la estancia " + id +
           " fue excavada por canteros que nunca vieron el sol. " +
           bench_story::ring_paragraph(n, 7) + "\n\n";
    }
    if (n == kSections) {
      s += "[Final: Victoria]\n\n";
      break;
    }
    for (int o = 1; o <= kOptionsPerSection; ++o) {
      // The other options lead back to this section or an earlier one.
      int to = o == forward_option(n) ? n + 1 : (n * 7 + o * 13) % n + 1;
      s += "- [-> " + std::to_string(to) + "] " +
           (o == forward_option(n)
                ? "Seguir adelante por el pasadizo que desciende"
                : "Volver sobre tus pasos hacia la estancia " + std::to_string(to)) +
           "\n";
    }
    s += "\n";
  }
  return s;
}

std::string generated_input() {
  std::string input = "1\n1\nBanco\n";
  for (int n = 1; n < kSections; ++n) input += std::to_string(forward_option(n)) + "\n";
  return input + "6\n";
}

std::size_t count_of(std::string_view text, std::string_view fragment) {
  std::size_t count = 0;
  for (std::size_t at = text.find(fragment); at != std::string_view::npos;
       at = text.find(fragment, at + fragment.size())) {
    ++count;
  }
  return count;
}

// Plays `story_text` (saved as stories/<file>) with `input`, checking on every
// run that the story was played to its victory without a refused answer.
void play(benchmark::State& state, const char* file, const std::string& story_text,
          const std::string& input, int turns) {
  ScratchDir dir("qh_playthrough_bench");
  std::error_code ec;
  std::filesystem::create_directory(dir.file("stories"), ec);
  const std::string input_path = dir.file("stdin");
  const std::string menu_exit_path = dir.file("stdin_exit");
  const std::string output_path = dir.file("stdout");
  if (!dir.ok() || !write_text(dir.file(std::string("stories/") + file), story_text) ||
      !write_text(input_path, input) || !write_text(menu_exit_path, "6\n")) {
    state.SkipWithError("cannot write the sandbox");
    return;
  }

  // Start-up and exit alone, to tell the per-turn cost from the fixed one.
  std::vector<double> baseline_ms;
  for (int i = 0; i < 15; ++i) {
    GameRun run;
    if (!run_game(dir.path(), menu_exit_path, output_path, &run)) {
      state.SkipWithError("the game did not start and exit cleanly");
      return;
    }
    baseline_ms.push_back(run.wall_ms);
  }

  std::vector<double> times_ms;
  std::vector<double> cpu_ms;
  long max_rss_kb = 0;
  std::size_t dice = 0;
  for (auto _ : state) {
    GameRun run;
    if (!run_game(dir.path(), input_path, output_path, &run)) {
      state.SkipWithError("the game did not exit with status 0");
      return;
    }
    std::string out = read_text(output_path);
    if (out.find(kVictory) == std::string::npos || out.find(kInvalid) != std::string::npos) {
      state.SkipWithError("the scripted input did not reach the victory");
      return;
    }
    dice = count_of(out, kDiceMarker);
    times_ms.push_back(run.wall_ms);
    cpu_ms.push_back(run.cpu_ms);
    max_rss_kb = std::max(max_rss_kb, run.max_rss_kb);
  }

  double processing_ms = median(times_ms) - kDicePauseMs * static_cast<double>(dice);
  state.counters["per_turn_ms"] = processing_ms / turns;
  state.counters["per_turn_net_ms"] = (processing_ms - median(baseline_ms)) / turns;
  state.counters["cpu_per_turn_ms"] = median(cpu_ms) / turns;
  state.counters["peak_rss_mb"] = static_cast<double>(max_rss_kb) / 1024.0;
  state.counters["checks"] = static_cast<double>(dice);
}

void BM_GeneratedStoryByOptions(benchmark::State& state) {
  play(state, "larga_marcha.md", generated_story(), generated_input(), kSections - 1);
}

// Holy water, the sacristan's prayer (the one check), the tunnel, the ford
// opened with the water, the bronze doors, the silver seal.
void BM_BundledCryptByOptions(benchmark::State& state) {
  const char* file = "la_cripta_del_rey_ceniza.md";
  std::string text = read_text(std::string(QH_SOURCE_DIR) + "/stories/" + file);
  if (text.empty()) {
    state.SkipWithError("the bundled story is not readable");
    return;
  }
  play(state, file, text, "1\n1\nAna\n2\n1\n1\n1\n1\n1\n6\n", 6);
}

}  // namespace

BENCHMARK(BM_GeneratedStoryByOptions)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BundledCryptByOptions)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
