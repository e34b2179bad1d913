// quillhaven-tools: the story author's checker, map, playthrough runner and analyzer.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "authoring/story_analyze.h"
#include "authoring/story_check.h"
#include "authoring/story_map.h"
#include "authoring/story_walk.h"
#include "common/text_util.h"
#include "platform/platform.h"
#include "story/story_parser.h"

namespace {

constexpr const char* kUsage =
    "Uso: quillhaven-tools <orden> [opciones]\n"
    "\n"
    "Herramientas para autores de historias de Quillhaven.\n"
    "\n"
    "Órdenes:\n"
    "  check [--json] [--notas] ARCHIVO...  Revisa historias y explica cada problema.\n"
    "  map ARCHIVO                          Escribe el mapa de la historia en formato DOT.\n"
    "  play ARCHIVO --walk N [--seed S]     Juega N partidas al azar e informa del resultado.\n"
    "  analyze [--json] [--max-states N] ARCHIVO...\n"
    "                                       Calcula con exactitud finales, trampas y opciones.\n"
    "\n"
    "Escribe 'quillhaven-tools <orden> --help' para ver la ayuda de cada orden.\n";

constexpr const char* kMapHelp =
    "Uso: quillhaven-tools map ARCHIVO\n"
    "\n"
    "Escribe en la salida estándar el grafo de la historia en formato DOT de Graphviz:\n"
    "secciones con su id y título, finales con forma propia (victoria, derrota, neutro),\n"
    "opciones con su número o comando, las pruebas con su atributo y dificultad, el camino\n"
    "de fallo en línea discontinua y los objetos exigidos. Por ejemplo:\n"
    "  quillhaven-tools map stories/mi_historia.md | dot -Tsvg > mapa.svg\n";

constexpr const char* kPlayHelp =
    "Uso: quillhaven-tools play ARCHIVO --walk N [--seed S]\n"
    "\n"
    "Juega N partidas completas con el código real del juego, eligiendo al azar entre las\n"
    "opciones que el héroe puede tomar (narrador clásico, sin pausas y sin música), e informa\n"
    "de los finales alcanzados con su frecuencia, las secciones nunca visitadas, las muertes y\n"
    "sus causas, y el recorrido más largo. La misma semilla da el mismo informe.\n"
    "\n"
    "  --walk N   Número de partidas (1 a 1000000).\n"
    "  --seed S   Semilla del azar (por defecto 1).\n";

constexpr const char* kAnalyzeHelp =
    "Uso: quillhaven-tools analyze [--json] [--max-states N] ARCHIVO...\n"
    "\n"
    "Recorre todos los estados posibles del héroe (sección, puntos de vida, objetos y\n"
    "condiciones) con las reglas del propio juego y calcula, sin azar:\n"
    "  - la probabilidad exacta de cada final si se elige al azar entre las opciones\n"
    "    posibles (las mismas que elige 'play --walk');\n"
    "  - la mejor probabilidad de victoria jugando con cuidado, y su primera opción;\n"
    "  - los encierros: estados desde los que no se llega a ningún final (escenas sin\n"
    "    opciones posibles, bucles cerrados), con el camino más corto hasta ellos;\n"
    "  - los estados sin victoria: vivo y sin final, pero ya no se puede ganar, por\n"
    "    sección, con lo que le falta al héroe;\n"
    "  - las probabilidades de cada prueba (pares de dados de 36), las opciones que\n"
    "    ninguna partida puede tomar y las secciones a las que nunca se llega;\n"
    "  - condiciones y objetos que se activan u obtienen y nada usa, o al revés.\n"
    "\n"
    "  --json           Escribe el análisis en JSON (para editores).\n"
    "  --max-states N   Límite de estados explorados (por defecto 2000000).\n"
    "\n"
    "Claves del JSON (una lista con un objeto por archivo): file, states, complete,\n"
    "random_play {victory, defeat, neutral, death, stuck, missing_section, endless;\n"
    "unexplored si el análisis es parcial}, endings [{id, type, random_play}],\n"
    "best_play {victory, first_move {option, label} o null}, traps [{section, path}],\n"
    "lost_causes [{section, states, example_missing, path}], checks [{section, option,\n"
    "stat, dc, modifier, odds {crit_success, success, cost, failure, crit_failure}}],\n"
    "never_takeable [{section, option, reason}], unreachable_sections,\n"
    "flags {set_never_tested, tested_never_set},\n"
    "items {required_never_obtainable, obtained_never_required}. Un archivo que no se\n"
    "puede analizar da {file, error}. Cada paso de un camino (path) es {section, option,\n"
    "tier}: la opción tomada (su posición en la sección, desde 1) y, si decidió una\n"
    "prueba, su resultado; el último paso solo lleva section. example_missing es el\n"
    "nombre de un objeto, \"flag:NOMBRE\" para una condición, \"hp\" si solo faltan puntos\n"
    "de vida, o vacío. reason: hidden_without_command, no_typed_input,\n"
    "item_never_obtainable, flag_never_set, flag_always_set, never_allowed,\n"
    "ending_section, death_on_arrival.\n"
    "\n"
    "Estado de salida: 0 análisis completo sin problemas; 1 con algún encierro u opción que\n"
    "no se puede tomar; 2 uso incorrecto, historia ilegible o con más de 64 objetos (o 64\n"
    "condiciones) distintos, que ya no se analizan con exactitud; 3 se alcanzó el límite de\n"
    "estados (el informe, marcado como parcial, muestra lo encontrado).\n";

bool wants_help(int argc, char** argv, int from) {
  for (int i = from; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

Story* new_story() { return static_cast<Story*>(platform_alloc_large(sizeof(Story))); }
void free_story(Story* story) { platform_free_large(story, sizeof(Story)); }

int run_check(int argc, char** argv) {
  bool json = false, notes = false;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--notas") == 0) {
      notes = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "check: opción desconocida «%s».\n%s", argv[i],
                   check_help_text().c_str());
      return 2;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fputs(check_help_text().c_str(), stderr);
    return 2;
  }
  Story* story = new_story();
  if (story == nullptr) return 2;
  std::vector<CheckReport> reports;
  bool unreadable = false, problems = false;
  for (const std::string& f : files) {
    CheckReport report;
    check_story_file(f, *story, report, notes);
    unreadable = unreadable || !report.readable;
    problems = problems || check_has_problems(report);
    if (!json) {
      if (!report.readable) {
        std::fprintf(stderr, "%s: no se puede leer el archivo.\n", f.c_str());
      } else if (report.findings.empty()) {
        std::printf("%s: sin problemas.\n", f.c_str());
      } else {
        std::fputs(check_format_text(report).c_str(), stdout);
      }
    }
    reports.push_back(std::move(report));
  }
  free_story(story);
  if (json) std::fputs(check_format_json(reports).c_str(), stdout);
  if (unreadable) return 2;
  return problems ? 1 : 0;
}

int run_map(int argc, char** argv) {
  if (argc != 3 || argv[2][0] == '-') {
    std::fputs(kMapHelp, stderr);
    return 2;
  }
  Story* story = new_story();
  if (story == nullptr) return 2;
  bool ok = story_parser_load_file(*story, argv[2]);
  if (!ok && story->section_count == 0) {
    std::fprintf(stderr, "%s: no se puede leer el archivo o no tiene secciones.\n", argv[2]);
    free_story(story);
    return 2;
  }
  std::fputs(story_map_dot(*story).c_str(), stdout);
  free_story(story);
  return 0;
}

int run_play(int argc, char** argv) {
  std::string file;
  long walks = -1;
  long seed = 1;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--walk") == 0 && i + 1 < argc) {
      walks = read_decimal_i32(argv[++i]);
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = read_decimal_i32(argv[++i]);
    } else if (argv[i][0] != '-' && file.empty()) {
      file = argv[i];
    } else {
      std::fprintf(stderr, "play: argumento no válido «%s».\n%s", argv[i], kPlayHelp);
      return 2;
    }
  }
  if (file.empty()) {
    std::fprintf(stderr, "play: falta el archivo de la historia.\n\n%s", kPlayHelp);
    return 2;
  }
  if (walks < 1 || walks > 1000000) {
    std::fprintf(stderr, "play: --walk necesita un número de partidas entre 1 y 1000000.\n\n%s",
                 kPlayHelp);
    return 2;
  }
  Story* story = new_story();
  if (story == nullptr) return 2;
  if (!story_parser_load_file(*story, file.c_str())) {
    std::fprintf(stderr, "%s: no se puede leer el archivo o no tiene secciones.\n", file.c_str());
    free_story(story);
    return 2;
  }
  WalkReport report;
  if (!story_walk(*story, file, static_cast<int>(walks), static_cast<std::uint32_t>(seed),
                  report)) {
    std::fputs("play: no se pudo crear una carpeta temporal para las partidas.\n", stderr);
    free_story(story);
    return 2;
  }
  std::fputs(story_walk_format(*story, report).c_str(), stdout);
  free_story(story);
  return 0;
}

int run_analyze(int argc, char** argv) {
  bool json = false;
  std::int64_t max_states = ANALYZE_DEFAULT_MAX_STATES;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--max-states") == 0 && i + 1 < argc) {
      char* end = nullptr;
      long long n = std::strtoll(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || n < 1 || n > 1000000000) {
        std::fprintf(stderr, "analyze: --max-states necesita un número entre 1 y 1000000000.\n\n%s",
                     kAnalyzeHelp);
        return 2;
      }
      max_states = n;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "analyze: argumento no válido «%s».\n\n%s", argv[i], kAnalyzeHelp);
      return 2;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "analyze: falta el archivo de la historia.\n\n%s", kAnalyzeHelp);
    return 2;
  }
  Story* story = new_story();
  if (story == nullptr) return 2;
  bool unusable = false, partial = false, problems = false;
  if (json) std::fputs("[\n", stdout);
  for (std::size_t f = 0; f < files.size(); ++f) {
    const std::string& file = files[f];
    AnalyzeReport report;
    if (!story_parser_load_file(*story, file.c_str())) {
      report.error = "no se puede leer el archivo o no tiene secciones";
    } else {
      story_analyze(*story, max_states, report);
    }
    if (!report.analysable) {
      unusable = true;
      std::fprintf(stderr, "%s: %s.\n", file.c_str(), report.error.c_str());
    } else {
      partial = partial || !report.complete;
      problems = problems || !report.traps.empty() || !report.never_takeable.empty();
    }
    if (json) {
      std::fputs(story_analyze_format_json(*story, file, report, 2).c_str(), stdout);
      std::fputs(f + 1 < files.size() ? ",\n" : "\n", stdout);
    } else if (report.analysable) {
      if (f > 0) std::fputs("\n", stdout);
      std::fputs(story_analyze_format_text(*story, file, report).c_str(), stdout);
    }
  }
  if (json) std::fputs("]\n", stdout);
  free_story(story);
  if (unusable) return 2;
  if (partial) return 3;
  return problems ? 1 : 0;
}

int run_command(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "check") {
    if (wants_help(argc, argv, 2)) return std::fputs(check_help_text().c_str(), stdout), 0;
    return run_check(argc, argv);
  }
  if (command == "map") {
    if (wants_help(argc, argv, 2)) return std::fputs(kMapHelp, stdout), 0;
    return run_map(argc, argv);
  }
  if (command == "play") {
    if (wants_help(argc, argv, 2)) return std::fputs(kPlayHelp, stdout), 0;
    return run_play(argc, argv);
  }
  if (command == "analyze") {
    if (wants_help(argc, argv, 2)) return std::fputs(kAnalyzeHelp, stdout), 0;
    return run_analyze(argc, argv);
  }
  std::fprintf(stderr, "Orden desconocida «%s».\n\n%s", argv[1], kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  platform_init();
  // Reports and maps written to a file or a pipe go out in large blocks. On a
  // terminal standard output stays line by line, so an error on standard error
  // still appears after the lines before it.
  static char output_buffer[64 * 1024];
  if (isatty(STDOUT_FILENO) == 0) {
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
  }
  int status = run_command(argc, argv);
  // A report cut short (a full disk, the file-size limit) is no success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("No se pudo escribir la salida completa.\n", stderr);
    return 2;
  }
  return status;
}
