// quillhaven-tools: the story author's checker, map and playthrough runner.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "authoring/story_check.h"
#include "authoring/story_map.h"
#include "authoring/story_walk.h"
#include "common/text_util.h"
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

bool wants_help(int argc, char** argv, int from) {
  for (int i = from; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

Story* new_story() { return static_cast<Story*>(std::calloc(1, sizeof(Story))); }

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
  std::free(story);
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
    std::free(story);
    return 2;
  }
  std::fputs(story_map_dot(*story).c_str(), stdout);
  std::free(story);
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
    std::free(story);
    return 2;
  }
  WalkReport report;
  if (!story_walk(*story, file, static_cast<int>(walks), static_cast<std::uint32_t>(seed),
                  report)) {
    std::fputs("play: no se pudo crear una carpeta temporal para las partidas.\n", stderr);
    std::free(story);
    return 2;
  }
  std::fputs(story_walk_format(*story, report).c_str(), stdout);
  std::free(story);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
  std::fprintf(stderr, "Orden desconocida «%s».\n\n%s", argv[1], kUsage);
  return 2;
}
