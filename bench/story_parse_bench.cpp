// Parsing a story that fills every capacity: 128 sections with full 8 KB
// bodies and 32 options each, 64 lore passages, full starting lists.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "story/story_parser.h"

namespace {

std::string body_line(int section, int line) {
  std::string text =
      "Parrafo " + std::to_string(line) + " de la seccion " + std::to_string(section) + ": ";
  while (text.size() < 200) text += "la niebla cubre las losas y el eco responde. ";
  return text.substr(0, 200);
}

// Options cycle through the four forms and the command forms.
std::string option_line(int section, int i) {
  std::string to = std::to_string((section + i) % STORY_MAX_SECTIONS + 1);
  switch (i % 6) {
    case 0:
      return "- [-> " + to + "] [Obtener: Llave " + std::to_string(i) + "] Seguir el pasillo";
    case 1:
      return "- [Check: Sigilo | DC: 7 | Éxito: " + to +
             " | Fallo: 1 | DañoFallo: 2] Rodear "
             "el perímetro";
    case 2:
      return "- [Requiere: Llave de Cobre | Destino: " + to + "] Abrir la cerradura";
    case 3:
      return "* [" + to + "] Saltar al vacío";
    case 4:
      return "- [-> " + to + "] [Cmd: nmap -sV 10.0.0." + std::to_string(i) + "] Escanear";
    default:
      return "- [CmdOculto: sudo su] [-> " + to + "] Escalar privilegios";
  }
}

std::string max_story() {
  std::string s =
      "---\ntitle: \"La Gran Prueba\"\nauthor: \"Banco\"\nhp: 20\nstart: \"1\"\nitems:\n";
  for (int i = 0; i < STORY_MAX_ITEMS; ++i) s += "  - \"Objeto " + std::to_string(i) + "\"\n";
  s += "stats:\n";
  for (int i = 0; i < STORY_MAX_STATS; ++i) s += "  Stat" + std::to_string(i) + ": 2\n";
  s += "music:\n  explore: \"dungeon\"\n---\n\n";
  for (int sec = 1; sec <= STORY_MAX_SECTIONS; ++sec) {
    s += "## [" + std::to_string(sec) + "] Sala numero " + std::to_string(sec) + "\n";
    s += "[Musica: combat]\n[Daño: 1]\n[Obtener: Gema]\n";
    if (sec <= STORY_MAX_LORE) {
      s += "> [Lore: Cronica " + std::to_string(sec) + "] " + body_line(sec, 0) + "\n";
    }
    for (int line = 0; line < 41; ++line) s += body_line(sec, line) + "\n\n";  // 41 * 202 > 8191
    for (int i = 0; i < SECTION_MAX_TRANSITIONS; ++i) s += option_line(sec, i) + "\n";
  }
  return s;
}

const std::string& story_text() {
  static const std::string text = max_story();
  return text;
}

void check_full(benchmark::State& state, const Story& story) {
  if (story.section_count != STORY_MAX_SECTIONS || story.lore_count != STORY_MAX_LORE ||
      story.sections[STORY_MAX_SECTIONS - 1].transition_count != SECTION_MAX_TRANSITIONS ||
      story.sections[0].text.size() != 8191) {
    state.SkipWithError("the generated story does not fill every capacity");
  }
}

// A fresh zeroed record per parse: the page faults of the pages the parse
// touches are part of the cost.
void BM_ParseIntoFreshRecord(benchmark::State& state) {
  const std::string& text = story_text();
#if defined(__GLIBC__)
  // A fixed threshold keeps every calloc of the record a new mapping; the
  // default one adapts after the first free and would hand back the same,
  // already faulted-in memory.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
  for (auto _ : state) {
    Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
    benchmark::DoNotOptimize(story_parser_load_string(*story, text.c_str(), "Banco"));
    benchmark::ClobberMemory();
    if (state.iterations() == 0) check_full(state, *story);
    std::free(story);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseIntoFreshRecord)->Unit(benchmark::kMillisecond);

// The record the game keeps for the whole run, parsed again and again.
void BM_ParseIntoUsedRecord(benchmark::State& state) {
  const std::string& text = story_text();
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  story_parser_load_string(*story, text.c_str(), "Banco");
  check_full(state, *story);
  for (auto _ : state) {
    benchmark::DoNotOptimize(story_parser_load_string(*story, text.c_str(), "Banco"));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  std::free(story);
}
BENCHMARK(BM_ParseIntoUsedRecord)->Unit(benchmark::kMillisecond);

}  // namespace
