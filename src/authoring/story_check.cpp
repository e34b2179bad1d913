#include "authoring/story_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include "authoring/text_join.h"
#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/text_util.h"
#include "platform/audio.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "story/story_parser.h"

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

void add(CheckReport& report, int line, StoryCode code, std::string message) {
  const StoryCodeInfo& info = story_code_info(code);
  report.findings.push_back({line, info.name, std::move(message), info.severity});
}

// The parser's reports become findings as they come.
struct Collector {
  CheckReport* report;
  bool with_notes;
};

void collect(void* context, const StoryDiagnostic& diagnostic) {
  Collector& c = *static_cast<Collector*>(context);
  if (story_code_info(diagnostic.code).severity == StorySeverity::note && !c.with_notes) return;
  add(*c.report, diagnostic.line, diagnostic.code, diagnostic.message);
}

// What the parser cannot see line by line: destinations, reachability, gated
// items, stats, difficulties and music files, over the whole parsed story.
class CrossCheck {
 public:
  CrossCheck(const Story& story, const StoryLineMap& lines, const std::string& story_dir,
             CheckReport& report)
      : story_(story), lines_(lines), story_dir_(story_dir), report_(report) {}

  void run() {
    check_graph();
    check_items();
    check_checks();
    check_music();
  }

 private:
  int option_line(int section, int option) const { return lines_.option[section][option]; }

  void check_graph() {
    std::map<std::string, int> index;  // first section with each id
    for (int s = 0; s < story_.section_count; ++s) index.emplace(story_.sections[s].id.c_str(), s);

    auto target_ok = [&](const IdText& id) { return index.count(id.c_str()) > 0; };
    for (int s = 0; s < story_.section_count; ++s) {
      const StorySection& sec = story_.sections[s];
      for (int o = 0; o < sec.transition_count; ++o) {
        const StoryTransition& t = sec.transitions[o];
        int at = option_line(s, o);
        if (t.target.empty()) {
          add(report_, at, StoryCode::destino_inexistente,
              format("La opción «%s» no tiene destino: elegirla termina la aventura con un "
                     "error.",
                     t.label.c_str()));
        } else if (!target_ok(t.target)) {
          const char* of_what = !t.required_item.empty() ? "del requisito" : "de la opción";
          add(report_, at, StoryCode::destino_inexistente,
              format("El destino «%s» %s «%s» no es ninguna sección.", t.target.c_str(), of_what,
                     t.label.c_str()));
        }
        if (!t.fail_target.empty() && !target_ok(t.fail_target)) {
          add(report_, at, StoryCode::destino_inexistente,
              format("El destino de fallo «%s» de la prueba «%s» no es ninguna sección.",
                     t.fail_target.c_str(), t.label.c_str()));
        }
      }
      if (sec.transition_count == 0 && !sec.is_ending) {
        add(report_, lines_.section[s], StoryCode::callejon_sin_salida,
            format("La sección «%s» no tiene opciones y no es un final: la partida se queda "
                   "atascada.",
                   sec.id.c_str()));
      }
    }

    if (story_.section_count == 0) {
      add(report_, 0, StoryCode::sin_secciones,
          "La historia no tiene ninguna sección «## »: no se puede jugar.");
      return;
    }
    auto start = index.find(story_.start.c_str());
    if (start == index.end()) {
      add(report_, lines_.start, StoryCode::destino_inexistente,
          format("La sección inicial «%s» no existe.", story_.start.c_str()));
      return;
    }
    std::vector<bool> seen(static_cast<std::size_t>(story_.section_count), false);
    std::vector<int> todo{start->second};
    seen[static_cast<std::size_t>(start->second)] = true;
    while (!todo.empty()) {
      int s = todo.back();
      todo.pop_back();
      const StorySection& sec = story_.sections[s];
      for (int o = 0; o < sec.transition_count; ++o) {
        for (const IdText* id : {&sec.transitions[o].target, &sec.transitions[o].fail_target}) {
          auto it = index.find(id->c_str());
          if (it != index.end() && !seen[static_cast<std::size_t>(it->second)]) {
            seen[static_cast<std::size_t>(it->second)] = true;
            todo.push_back(it->second);
          }
        }
      }
    }
    // A repeated id is reported by the parser; only the first of an id counts here.
    for (int s = 0; s < story_.section_count; ++s) {
      const char* id = story_.sections[s].id.c_str();
      if (!seen[static_cast<std::size_t>(s)] && index[id] == s) {
        add(report_, lines_.section[s], StoryCode::inalcanzable,
            format("Ninguna opción lleva a la sección «%s» desde la sección inicial.", id));
      }
    }
  }

  void check_items() {
    std::set<std::string> given;
    auto lower = [](std::string_view s) {
      std::string out(s);
      for (char& c : out) c = ascii_lower(c);
      return out;
    };
    for (int i = 0; i < story_.item_count; ++i) given.insert(lower(story_.items[i].view()));
    for (int s = 0; s < story_.section_count; ++s) {
      const StorySection& sec = story_.sections[s];
      for (int i = 0; i < sec.item_count; ++i) given.insert(lower(sec.items[i].view()));
      for (int o = 0; o < sec.transition_count; ++o) {
        if (!sec.transitions[o].gain_item.empty()) {
          given.insert(lower(sec.transitions[o].gain_item.view()));
        }
      }
    }
    for (int s = 0; s < story_.section_count; ++s) {
      const StorySection& sec = story_.sections[s];
      for (int o = 0; o < sec.transition_count; ++o) {
        const StoryTransition& t = sec.transitions[o];
        if (!t.required_item.empty() && !given.count(lower(t.required_item.view()))) {
          add(report_, option_line(s, o), StoryCode::objeto_inalcanzable,
              format("La opción exige «%s», pero ninguna sección ni opción lo entrega.",
                     t.required_item.c_str()));
        }
      }
    }
  }

  bool story_has_stat(std::string_view name) const {
    for (const StatEntry& stat : list_used(story_.stats, story_.stat_count)) {
      if (ascii_iequals(stat.name.view(), name)) return true;
    }
    return false;
  }

  // A check below difficulty 1 is played as a plain move; any other rolls the
  // named stat, or +0 when the hero lacks it.
  void check_checks() {
    for (int s = 0; s < story_.section_count; ++s) {
      const StorySection& sec = story_.sections[s];
      for (int o = 0; o < sec.transition_count; ++o) {
        const StoryTransition& t = sec.transitions[o];
        if (t.check_stat.empty()) continue;
        if (t.check_dc < 1) {
          add(report_, option_line(s, o), StoryCode::dificultad_invalida,
              format("La prueba de «%s» tiene dificultad %d (menor que 1): se juega como un "
                     "movimiento sin tirada.",
                     t.check_stat.c_str(), t.check_dc));
        } else if (!story_has_stat(t.check_stat.view())) {
          add(report_, option_line(s, o), StoryCode::estadistica_desconocida,
              format("La prueba usa «%s», una estadística que el héroe no tiene: se tirará con "
                     "+0.",
                     t.check_stat.c_str()));
        }
      }
    }
  }

  // The four themes the game ships with are rendered at build time and always
  // count as present; any other theme must exist beside the story or the game.
  bool theme_file_found(const char* theme) const {
    char file[128];
    audio_theme_file_name(theme, file, sizeof file);
    for (const char* shipped : {"quillhaven_intro.wav", "dungeon_ambient.wav", "battle_tension.wav",
                                "victory_fanfare.wav"}) {
      if (std::strcmp(file, shipped) == 0) return true;
    }
    const std::string audio_dir = PATH_AUDIO_DIR;
    std::string candidates[] = {audio_dir + "/" + file, file,
                                story_dir_ + "/../" + audio_dir + "/" + file,
                                story_dir_ + "/" + audio_dir + "/" + file};
    for (const std::string& path : candidates) {
      if (platform_file_exists(path.c_str())) return true;
    }
    return false;
  }

  void check_music() {
    std::set<std::string> reported;
    auto check = [&](int line, const FixedText<64>& theme) {
      if (theme.empty() || reported.count(theme.c_str())) return;
      if (!theme_file_found(theme.c_str())) {
        reported.insert(theme.c_str());
        char file[128];
        audio_theme_file_name(theme.c_str(), file, sizeof file);
        add(report_, line, StoryCode::musica_no_encontrada,
            format("No se encuentra el archivo «%s» del tema musical «%s» en assets/audio.", file,
                   theme.c_str()));
      }
    };
    check(lines_.music_explore, story_.music_explore);
    check(lines_.music_combat, story_.music_combat);
    check(lines_.music_victory, story_.music_victory);
    for (int s = 0; s < story_.section_count; ++s) {
      check(lines_.section_music[s], story_.sections[s].music);
    }
  }

  const Story& story_;
  const StoryLineMap& lines_;
  const std::string& story_dir_;
  CheckReport& report_;
};

// Characters of a UTF-8 text: every byte that does not continue a sequence.
std::size_t columns(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Appends `text` in lines of at most `width` characters, each after `indent`.
void append_wrapped(std::string& out, std::string_view text, std::string_view indent,
                    std::size_t width) {
  std::string line;
  auto flush = [&] {
    out.append(indent).append(line).append("\n");
    line.clear();
  };
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view word = text.substr(start, end - start);
    if (!line.empty() && columns(line) + 1 + columns(word) > width) flush();
    if (!line.empty()) line += ' ';
    line.append(word);
    start = end + 1;
  }
  if (!line.empty()) flush();
}

}  // namespace

void check_story_text(const std::string& text, const std::string& default_title,
                      const std::string& story_dir, Story& story, CheckReport& report,
                      bool with_notes) {
  auto lines = std::make_unique<StoryLineMap>();
  Collector collector{&report, with_notes};
  StoryDiagnosticSink sink{collect, &collector, lines.get()};
  story_parser_load_string(story, text.c_str(), default_title.c_str(), &sink);
  CrossCheck(story, *lines, story_dir, report).run();
  std::stable_sort(report.findings.begin(), report.findings.end(),
                   [](const CheckFinding& a, const CheckFinding& b) { return a.line < b.line; });
}

void check_story_file(const std::string& path, Story& story, CheckReport& report, bool with_notes) {
  report.file = path;
  std::string text;
  report.readable =
      platform_read_regular_file(path.c_str(), STORY_MAX_FILE_BYTES, text) && !text.empty();
  if (!report.readable) return;
  char title[128];
  story_parser_default_title(path.c_str(), title);
  std::size_t slash = path.find_last_of("/\\");
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  check_story_text(text, title, dir, story, report, with_notes);
}

bool check_has_problems(const CheckReport& report) {
  return std::any_of(report.findings.begin(), report.findings.end(),
                     [](const CheckFinding& f) { return f.severity != StorySeverity::note; });
}

std::string check_help_text() {
  std::string out =
      "Uso: quillhaven-tools check [--json] [--notas] ARCHIVO...\n"
      "\n"
      "Lee cada historia con el mismo analizador que el juego y avisa, con su número de línea,\n"
      "de todo lo que el juego aceptaría en silencio: destinos que no existen, secciones\n"
      "inalcanzables o sin salida, ids repetidos, lo que se descarta o se corta por superar\n"
      "una capacidad, líneas que no se leen como se escribieron, pruebas con dificultad menor\n"
      "que 1, claves ignoradas, opciones convertidas en comandos sin querer, objetos exigidos\n"
      "que nadie entrega y temas musicales sin archivo.\n"
      "\n"
      "  --json    Escribe los hallazgos en JSON (para editores).\n"
      "  --notas   Muestra también las notas: decisiones del juego que suelen ser queridas.\n"
      "\n"
      "Estado de salida: 0 sin errores ni avisos, 1 si los hay, 2 si algún archivo no se puede\n"
      "leer.\n"
      "\n"
      "Códigos, con su gravedad (error, aviso o nota), lo que significan y cómo arreglarlos:\n";
  for (const StoryCodeInfo& info : STORY_CODES) {
    out += join({"  ", info.name, " (", story_severity_name(info.severity), ")\n"});
    append_wrapped(out, info.meaning, "      ", 84);
    append_wrapped(out, join({"→ ", info.fix}), "      ", 84);
  }
  return out;
}

std::string check_format_text(const CheckReport& report) {
  std::string out;
  if (!report.readable) return report.file + ": no se puede leer el archivo.\n";
  for (const CheckFinding& f : report.findings) {
    out += report.file;
    if (f.line > 0) out += join({":", std::to_string(f.line)});
    out += ": " + f.message + " [" + f.code + "]\n";
  }
  return out;
}

std::string check_format_json(const std::vector<CheckReport>& reports) {
  std::string out = "[\n";
  for (std::size_t r = 0; r < reports.size(); ++r) {
    const CheckReport& rep = reports[r];
    out += join({"  {\"file\": ", json_text_quoted(rep.file), ", \"readable\": "});
    out += rep.readable ? "true" : "false";
    out += ", \"findings\": [";
    for (std::size_t i = 0; i < rep.findings.size(); ++i) {
      const CheckFinding& f = rep.findings[i];
      out += i == 0 ? "\n" : ",\n";
      out +=
          join({"    {\"line\": ", std::to_string(f.line), ", \"code\": ", json_text_quoted(f.code),
                ", \"message\": ", json_text_quoted(f.message), "}"});
    }
    out += rep.findings.empty() ? "]}" : "\n  ]}";
    out += r + 1 < reports.size() ? ",\n" : "\n";
  }
  out += "]\n";
  return out;
}
