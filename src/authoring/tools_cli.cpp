#include "authoring/tools_cli.h"

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
#include "ui/text_output.h"

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
    "  --seed S   Semilla del azar (por defecto 1).\n"
    "\n"
    "Estado de salida: 0 sin problemas; 1 si alguna partida eligió una opción que lleva a\n"
    "una sección inexistente; 2 uso incorrecto o historia ilegible.\n";

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
    "random_play {victory, defeat, neutral, death, stuck, missing_section, endless,\n"
    "exact; unexplored si el análisis es parcial; unsolved, la masa sin resolver, si exact\n"
    "es false}, endings [{id, type, random_play}], best_play {victory (si exact es false,\n"
    "una cota inferior), exact, at_most (cota superior, si exact es false), first_move\n"
    "{option, label} o null}, traps [{section, path}],\n"
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
    "Estado de salida: 0 análisis completo sin problemas; 1 con algún encierro, una opción que\n"
    "no se puede tomar o una que lleva a una sección inexistente; 2 uso incorrecto, historia "
    "ilegible o con más de 64 objetos (o 64\n"
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

int run_check(UiContext& ui, int argc, char** argv) {
  bool json = false, notes = false;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--notas") == 0) {
      notes = true;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      ui_error_printf(ui, "check: opción desconocida «%s».\n%s", argv[i],
                      check_help_text().c_str());
      return 2;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) {
    ui_error_write(ui, check_help_text().c_str());
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
        ui_error_printf(ui, "%s: no se puede leer el archivo.\n", f.c_str());
      } else if (report.findings.empty()) {
        ui_printf(ui, "%s: sin problemas.\n", f.c_str());
      } else {
        ui_write(ui, check_format_text(report).c_str());
      }
    }
    reports.push_back(std::move(report));
  }
  free_story(story);
  if (json) ui_write(ui, check_format_json(reports).c_str());
  if (unreadable) return 2;
  return problems ? 1 : 0;
}

int run_map(UiContext& ui, int argc, char** argv) {
  if (argc != 3 || argv[2][0] == '-') {
    ui_error_write(ui, kMapHelp);
    return 2;
  }
  Story* story = new_story();
  if (story == nullptr) return 2;
  bool ok = story_parser_load_file(*story, argv[2]);
  if (!ok && story->section_count == 0) {
    ui_error_printf(ui, "%s: no se puede leer el archivo o no tiene secciones.\n", argv[2]);
    free_story(story);
    return 2;
  }
  ui_write(ui, story_map_dot(*story).c_str());
  free_story(story);
  return 0;
}

int run_play(UiContext& ui, int argc, char** argv) {
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
      ui_error_printf(ui, "play: argumento no válido «%s».\n%s", argv[i], kPlayHelp);
      return 2;
    }
  }
  if (file.empty()) {
    ui_error_printf(ui, "play: falta el archivo de la historia.\n\n%s", kPlayHelp);
    return 2;
  }
  if (walks < 1 || walks > 1000000) {
    ui_error_printf(ui, "play: --walk necesita un número de partidas entre 1 y 1000000.\n\n%s",
                    kPlayHelp);
    return 2;
  }
  Story* story = new_story();
  if (story == nullptr) return 2;
  if (!story_parser_load_file(*story, file.c_str())) {
    ui_error_printf(ui, "%s: no se puede leer el archivo o no tiene secciones.\n", file.c_str());
    free_story(story);
    return 2;
  }
  WalkReport report;
  if (!story_walk(*story, file, static_cast<int>(walks), static_cast<std::uint32_t>(seed),
                  report)) {
    ui_error_write(ui, "play: no se pudo crear una carpeta temporal para las partidas.\n");
    free_story(story);
    return 2;
  }
  ui_write(ui, story_walk_format(*story, report).c_str());
  free_story(story);
  // A walk that met a broken link found a fault of the story.
  return report.missing_sections > 0 ? 1 : 0;
}

int run_analyze(UiContext& ui, int argc, char** argv) {
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
        ui_error_printf(ui, "analyze: --max-states necesita un número entre 1 y 1000000000.\n\n%s",
                        kAnalyzeHelp);
        return 2;
      }
      max_states = n;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      ui_error_printf(ui, "analyze: argumento no válido «%s».\n\n%s", argv[i], kAnalyzeHelp);
      return 2;
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) {
    ui_error_printf(ui, "analyze: falta el archivo de la historia.\n\n%s", kAnalyzeHelp);
    return 2;
  }
  Story* story = new_story();
  if (story == nullptr) return 2;
  bool unusable = false, partial = false, problems = false;
  if (json) ui_write(ui, "[\n");
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
      ui_error_printf(ui, "%s: %s.\n", file.c_str(), report.error.c_str());
    } else {
      partial = partial || !report.complete;
      // A trap, an option nobody can take, or an option that leads to no section.
      problems = problems || !report.traps.empty() || !report.never_takeable.empty() ||
                 report.random_play.missing_section > 0;
    }
    if (json) {
      ui_write(ui, story_analyze_format_json(*story, file, report, 2).c_str());
      ui_write(ui, f + 1 < files.size() ? ",\n" : "\n");
    } else if (report.analysable) {
      if (f > 0) ui_write(ui, "\n");
      ui_write(ui, story_analyze_format_text(*story, file, report).c_str());
    }
  }
  if (json) ui_write(ui, "]\n");
  free_story(story);
  if (unusable) return 2;
  if (partial) return 3;
  return problems ? 1 : 0;
}

}  // namespace

int tools_run(Host& host, int argc, char** argv) {
  UiContext& ui = host.ui;
  if (argc < 2) {
    ui_error_write(ui, kUsage);
    return 2;
  }
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    ui_write(ui, kUsage);
    return 0;
  }
  if (command == "check") {
    if (wants_help(argc, argv, 2)) return ui_write(ui, check_help_text().c_str()), 0;
    return run_check(ui, argc, argv);
  }
  if (command == "map") {
    if (wants_help(argc, argv, 2)) return ui_write(ui, kMapHelp), 0;
    return run_map(ui, argc, argv);
  }
  if (command == "play") {
    if (wants_help(argc, argv, 2)) return ui_write(ui, kPlayHelp), 0;
    return run_play(ui, argc, argv);
  }
  if (command == "analyze") {
    if (wants_help(argc, argv, 2)) return ui_write(ui, kAnalyzeHelp), 0;
    return run_analyze(ui, argc, argv);
  }
  ui_error_printf(ui, "Orden desconocida «%s».\n\n%s", argv[1], kUsage);
  return 2;
}
