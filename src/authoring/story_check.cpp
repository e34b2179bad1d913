#include "authoring/story_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "authoring/text_join.h"
#include "common/fixed_list.h"
#include "common/text_util.h"
#include "platform/audio.h"
#include "platform/platform.h"
#include "story/command_detect.h"
#include "story/option_line.h"
#include "story/story_parser.h"

namespace {

constexpr std::size_t kBodyLineMax = 2047;     // longer body lines are cut
constexpr std::size_t kFrontLineMax = 511;     // longer front-matter lines are cut
constexpr std::size_t kOptionWorkMax = 1023;   // working copy of an option line

struct Line {
  int number;
  std::string_view text;  // without its line end, not trimmed
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

// The parser drops these bytes before reading, so the checker reads the same text.
std::string strip_control_bytes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == 0) break;
    if ((c >= 0x01 && c <= 0x08) || (c >= 0x0E && c <= 0x1F) || c == 0x7F) continue;
    out.push_back(ch);
  }
  return out;
}

int line_at(const std::string& text, std::size_t offset) {
  int line = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
  return line;
}

// Splits [begin, end) of the text into non-empty lines with their numbers.
std::vector<Line> split_lines(const std::string& text, std::size_t begin) {
  std::vector<Line> lines;
  int number = line_at(text, begin);
  std::size_t i = begin;
  while (i < text.size()) {
    std::size_t e = i;
    while (e < text.size() && text[e] != '\n' && text[e] != '\r') ++e;
    if (e > i) lines.push_back({number, std::string_view(text).substr(i, e - i)});
    if (e < text.size() && text[e] == '\r' && e + 1 < text.size() && text[e + 1] == '\n') ++e;
    if (e < text.size()) ++number;
    i = e + 1;
  }
  return lines;
}

struct FrontMatter {
  bool present = false;
  bool unclosed = false;
  std::size_t block_begin = 0, block_end = 0, body_begin = 0;
};

FrontMatter find_front_matter(const std::string& text) {
  FrontMatter fm;
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  if (text.compare(i, 3, "---") != 0) return fm;
  std::size_t b = i + 3;
  while (b < text.size() && (text[b] == '\r' || text[b] == '\n')) ++b;
  std::size_t close = text.find("\n---", b);
  if (close == std::string::npos) {
    fm.unclosed = true;
    return fm;
  }
  fm.present = true;
  fm.block_begin = b;
  fm.block_end = close;
  std::size_t body = close + 4;
  while (body < text.size() && (text[body] == '\r' || text[body] == '\n' || text[body] == '-')) {
    ++body;
  }
  fm.body_begin = body;
  return fm;
}

// A decimal number follows (after blanks and a sign), as the game reads it.
bool has_number(std::string_view value) {
  std::string_view v = trim_view(value);
  if (!v.empty() && (v[0] == '+' || v[0] == '-')) v.remove_prefix(1);
  return !v.empty() && is_ascii_digit(v[0]);
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

class Checker {
 public:
  Checker(const std::string& text, const std::string& story_dir, const Story& story,
          CheckReport& report)
      : text_(text), story_dir_(story_dir), story_(story), report_(report) {}

  void run() {
    FrontMatter fm = find_front_matter(text_);
    if (fm.unclosed) {
      add(line_at(text_, text_.find("---")), "cabecera-sin-cierre",
          "La cabecera empieza con «---» pero no tiene una línea «---» de cierre: se lee todo "
          "como cuerpo y se pierden título, estadísticas y objetos.");
    }
    if (fm.present) scan_front_matter(fm);
    scan_body(fm.present ? fm.body_begin : 0);
    check_graph();
    check_items();
    check_music();
  }

 private:
  void add(int line, const char* code, std::string message) {
    report_.findings.push_back({line, code, std::move(message)});
  }

  // Front matter: stats and items beyond their capacity, values cut.
  void scan_front_matter(const FrontMatter& fm) {
    std::string block_key;
    int stats = 0, items = 0;
    for (const Line& raw : split_lines(text_, 0)) {
      std::size_t offset = static_cast<std::size_t>(raw.text.data() - text_.data());
      if (offset < fm.block_begin || offset >= fm.block_end) continue;
      std::string_view line = raw.text;
      if (line.size() > kFrontLineMax) {
        add(raw.number, "texto-cortado",
            format("La línea de cabecera tiene %zu caracteres; solo se leen los primeros %zu.",
                   line.size(), kFrontLineMax));
        line = line.substr(0, kFrontLineMax);
      }
      bool indented = line[0] == ' ' || line[0] == '\t';
      if (!indented) {
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        block_key = std::string(trim_view(line.substr(0, std::min<std::size_t>(colon, 63))));
        std::string_view value = trim_view(line.substr(colon + 1));
        if (ascii_iequals(block_key, "hp") && !has_number(value)) {
          add(raw.number, "valor-no-numerico",
              format("«hp» no es un número: el héroe empezará con 10 puntos de vida."));
        } else if (ascii_iequals(block_key, "title") && value.size() > 255) {
          add(raw.number, "texto-cortado", "El título supera 255 caracteres y se corta.");
        } else if (ascii_iequals(block_key, "description") && value.size() > 255) {
          add(raw.number, "texto-cortado", "La descripción supera 255 caracteres y se corta.");
        }
        continue;
      }
      std::string_view entry = trim_view(line);
      if (ascii_iequals(block_key, "items") && !entry.empty() && entry[0] == '-') {
        if (unquote(trim_view(entry.substr(1))).empty()) continue;  // the game skips it too
        if (++items == STORY_MAX_ITEMS + 1) {
          add(raw.number, "descartado",
              format("La historia ya tiene %d objetos iniciales: este y los siguientes se "
                     "descartan.",
                     STORY_MAX_ITEMS));
        }
      } else if (ascii_iequals(block_key, "music") &&
                 entry.find(':') != std::string_view::npos) {
        std::string_view name = trim_view(entry.substr(0, entry.find(':')));
        const char* kinds[] = {"explore", "combat", "victory"};
        for (int k = 0; k < 3; ++k) {
          if (ascii_iequals(name, kinds[k])) music_front_lines_[k] = raw.number;
        }
      } else if (ascii_iequals(block_key, "stats") &&
                 entry.find(':') != std::string_view::npos) {
        std::string_view name = trim_view(entry.substr(0, entry.find(':')));
        if (!name.empty() && (name[0] == '"' || name[0] == '\'')) {
          add(raw.number, "estadistica-entre-comillas",
              format("El nombre de la estadística %.*s lleva comillas, que forman parte del "
                     "nombre: escríbelo sin ellas.",
                     static_cast<int>(name.size()), name.data()));
        } else if (!has_number(entry.substr(entry.find(':') + 1))) {
          add(raw.number, "valor-no-numerico",
              format("La estadística «%.*s» no tiene un valor numérico: vale 0.",
                     static_cast<int>(name.size()), name.data()));
        }
        if (++stats == STORY_MAX_STATS + 1) {
          add(raw.number, "descartado",
              format("La historia ya tiene %d estadísticas: esta y las siguientes se descartan.",
                     STORY_MAX_STATS));
        }
      }
    }
  }

  // Mirrors the parser's line rules to give every section and option its line.
  void scan_body(std::size_t begin) {
    int section = -1;
    int lore_count = 0;
    for (const Line& raw : split_lines(text_, begin)) {
      std::string_view full = raw.text;
      if (full.size() > kBodyLineMax) {
        add(raw.number, "texto-cortado",
            format("La línea tiene %zu caracteres; solo se leen los primeros %zu.", full.size(),
                   kBodyLineMax));
        full = full.substr(0, kBodyLineMax);
      }
      std::string_view line = trim_view(full);
      if (line.empty()) continue;

      if (section < 0 && starts_with(line, "> [Lore")) {
        lore_line(raw.number, line, lore_count);
        continue;
      }
      if (starts_with(line, "## ")) {
        header_line(raw.number, line, section);
        continue;
      }
      if (section < 0) continue;
      if (tag_line(raw.number, line, section)) continue;
      if (starts_with(line, "### Lore") || starts_with(line, "### Historia")) continue;
      if (starts_with(line, "> [Lore")) {
        lore_line(raw.number, line, lore_count);
        continue;
      }
      if (line[0] == '-' || line[0] == '*') {
        option_line(raw.number, line, section);
      } else {
        tag_without_colon(raw.number, line);
      }
    }
    for (int s = 0; s < story_.section_count; ++s) {
      const StorySection& sec = story_.sections[s];
      int at = s < static_cast<int>(section_lines_.size()) ? section_lines_[s] : 0;
      if (sec.text.size() >= sec.text.max_length()) {
        add(at, "texto-cortado",
            format("El texto de la sección «%s» llega al máximo de %zu caracteres y se corta.",
                   sec.id.c_str(), sec.text.max_length()));
      }
      if (sec.lore_text.size() >= sec.lore_text.max_length()) {
        add(at, "texto-cortado",
            format("El bloque de lore de la sección «%s» llega al máximo de %zu caracteres y se "
                   "corta.",
                   sec.id.c_str(), sec.lore_text.max_length()));
      }
    }
  }

  void header_line(int number, std::string_view line, int& section) {
    std::string_view rest = trim_view(line.substr(2));
    std::string id;
    if (!rest.empty() && rest[0] == '[') {
      std::size_t close = rest.find(']');
      if (close == std::string_view::npos) {
        add(number, "cabecera-descartada",
            "El encabezado abre «[» sin cerrar «]»: no crea sección y su texto se añade a la "
            "anterior.");
        return;
      }
      id = std::string(trim_view(rest.substr(1, std::min<std::size_t>(close - 1, 31))));
    } else {
      std::size_t e = 0;
      while (e < rest.size() && !is_blank(rest[e])) ++e;
      id = std::string(rest.substr(0, std::min<std::size_t>(e, 31)));
    }
    if (id.empty()) {
      add(number, "cabecera-descartada", "El encabezado no tiene id: no crea sección.");
      return;
    }
    if (static_cast<int>(section_lines_.size()) >= STORY_MAX_SECTIONS) {
      add(number, "descartado",
          format("Sección «%s» descartada: una historia admite %d secciones; lo que sigue se "
                 "añade a la última.",
                 id.c_str(), STORY_MAX_SECTIONS));
      return;
    }
    auto first = first_line_of_id_.find(id);
    if (first != first_line_of_id_.end()) {
      add(number, "id-duplicado",
          format("La sección «%s» repite el id de la línea %d: solo la primera es alcanzable.",
                 id.c_str(), first->second));
    } else {
      first_line_of_id_[id] = number;
    }
    section = static_cast<int>(section_lines_.size());
    section_lines_.push_back(number);
    option_lines_.emplace_back();
    item_tags_.push_back(0);
    music_lines_.push_back(number);
  }

  // "[Final]" or "[Daño 2]": a tag word without its colon is plain body text.
  void tag_without_colon(int number, std::string_view line) {
    std::string_view tag = line;
    if (tag.size() >= 2 && tag[0] == '>' && tag[1] == ' ') tag = trim_view(tag.substr(2));
    static constexpr const char* kWords[] = {"Final", "Fin",    "Musica",     "Música",
                                             "Daño",  "Dañar",  "Obtener",    "Item",
                                             "Art",   "Arte",   "Cinematica", "Cinemática"};
    if (tag.empty() || tag[0] != '[') return;
    for (const char* word : kWords) {
      std::size_t n = std::strlen(word);
      if (tag.substr(1, n) != word || tag.size() <= n + 1) continue;
      char next = tag[n + 1];
      if (next != ']' && !is_blank(next)) continue;
      add(number, "etiqueta-sin-dos-puntos",
          format("La etiqueta «[%s» no lleva «:» tras su nombre: se muestra como texto y no "
                 "tiene efecto.",
                 word));
      return;
    }
  }

  void lore_line(int number, std::string_view line, int& lore_count) {
    if (line.find(']') == std::string_view::npos) {
      add(number, "descartado", "La línea de lore no tiene «]»: se descarta.");
      return;
    }
    if (++lore_count == STORY_MAX_LORE + 1) {
      add(number, "descartado",
          format("La historia ya tiene %d pasajes de lore: este y los siguientes se descartan.",
                 STORY_MAX_LORE));
    }
    std::string_view after = trim_view(line.substr(line.find(']') + 1));
    if (after.size() > 2047) {
      add(number, "texto-cortado", "El pasaje de lore supera 2047 caracteres y se corta.");
    }
  }

  bool tag_line(int number, std::string_view line, int section) {
    std::string_view tag = line;
    if (tag.size() >= 2 && tag[0] == '>' && tag[1] == ' ') tag = trim_view(tag.substr(2));
    static constexpr const char* kPrefixes[] = {
        "[Art:",   "[Arte:",  "[Cinematica:", "[Cinemática:", "[Musica:", "[Música:",
        "[Obtener:", "[Item:", "[Daño:",      "[Dañar:",      "[Final:",  "[Fin:"};
    for (const char* p : kPrefixes) {
      if (!starts_with(tag, p)) continue;
      bool is_item = std::strcmp(p, "[Obtener:") == 0 || std::strcmp(p, "[Item:") == 0;
      if (std::strcmp(p, "[Musica:") == 0 || std::strcmp(p, "[Música:") == 0) {
        music_lines_[section] = number;  // the last music tag wins, as in the game
      }
      if (is_item) {
        std::size_t colon = tag.find(':'), close = tag.find(']');
        if (colon != std::string_view::npos && close != std::string_view::npos && colon < close &&
            ++item_tags_[section] == SECTION_MAX_ITEMS + 1) {
          add(number, "descartado",
              format("La sección ya entrega %d objetos: este y los siguientes se descartan.",
                     SECTION_MAX_ITEMS));
        }
      }
      return true;
    }
    return false;
  }

  void option_line(int number, std::string_view line, int section) {
    auto& options = option_lines_[section];
    if (static_cast<int>(options.size()) >= SECTION_MAX_TRANSITIONS) {
      if (options.size() == SECTION_MAX_TRANSITIONS) {
        add(number, "descartado",
            format("La sección ya tiene %d opciones: esta y las siguientes se muestran como "
                   "texto.",
                   SECTION_MAX_TRANSITIONS));
        options.push_back(number);  // remember that the overflow was reported
      }
      return;
    }
    StoryTransition t;
    if (!parse_transition_line(line, t)) {
      add(number, "opcion-rechazada",
          "La línea empieza con «-» o «*» pero no es una opción válida: se muestra como texto "
          "del cuerpo.");
      return;
    }
    options.push_back(number);
    if (line.size() > kOptionWorkMax) {
      add(number, "texto-cortado",
          format("La línea de opción supera %zu caracteres y se corta.", kOptionWorkMax));
    }
    check_tag_keys(number, line);
    if (!t.check_stat.empty() && t.check_dc >= 1 && !story_has_stat(t.check_stat.view())) {
      add(number, "estadistica-desconocida",
          format("La prueba usa «%s», una estadística que el héroe no tiene: se tirará con +0.",
                 t.check_stat.c_str()));
    }
    if (!t.check_stat.empty() && t.check_dc < 1) {
      add(number, "dificultad-invalida",
          format("La prueba de «%s» tiene dificultad %d (menor que 1): se juega como un "
                 "movimiento sin tirada.",
                 t.check_stat.c_str(), t.check_dc));
    }
    if (t.has_command && !t.is_hidden && command_came_from_leading_word(line, t)) {
      add(number, "comando-por-palabra",
          format("La opción «%s» se convirtió en comando de terminal solo porque su primera "
                 "palabra es un comando: no se podrá elegir por número.",
                 t.label.c_str()));
    }
  }

  // Keys inside [Check:] and [Requiere:] that the game silently ignores.
  void check_tag_keys(int number, std::string_view line) {
    struct TagKeys {
      const char* tag;
      std::vector<const char*> known;
    };
    static const TagKeys kTags[] = {
        {"[Check:", {"", "DC", "Exito", "Éxito", "Fallo", "DañoFallo", "DanoFallo"}},
        {"[Requiere:", {"", "Destino"}},
    };
    for (const TagKeys& tk : kTags) {
      std::size_t at = line.find(tk.tag);
      if (at == std::string_view::npos) continue;
      std::size_t close = line.find(']', at);
      if (close == std::string_view::npos) continue;
      std::string_view inner = line.substr(at + std::strlen(tk.tag), close - at - std::strlen(tk.tag));
      std::size_t start = 0;
      while (start <= inner.size()) {
        std::size_t bar = inner.find('|', start);
        std::string_view field =
            trim_view(inner.substr(start, bar == std::string_view::npos ? std::string_view::npos
                                                                        : bar - start));
        start = bar == std::string_view::npos ? inner.size() + 1 : bar + 1;
        std::size_t colon = field.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = trim_view(field.substr(0, colon));
        bool known = false;
        for (const char* k : tk.known) known = known || ascii_iequals(key, k);
        if (known) continue;
        if (ascii_iequals(key, "éxito")) {
          add(number, "clave-ignorada",
              "La clave «éxito» con «é» minúscula se ignora: escribe «Éxito» o «Exito».");
        } else {
          add(number, "clave-ignorada",
              format("La clave «%.*s» de %s] no se reconoce y se ignora.",
                     static_cast<int>(key.size()), key.data(), tk.tag));
        }
      }
      break;  // only the first form that applies is interpreted
    }
  }

  // True when neither a command tag nor a backtick command explains has_command,
  // and the label reads like prose rather than a command line.
  static bool command_came_from_leading_word(std::string_view line, const StoryTransition& t) {
    for (const char* tag : {"[Cmd:", "[Comando:"}) {
      std::size_t at = line.find(tag);
      if (at != std::string_view::npos && line.find(']', at) != std::string_view::npos) {
        return false;
      }
    }
    std::size_t b1 = line.find('`');
    if (b1 != std::string_view::npos && line.find('`', b1 + 1) != std::string_view::npos) {
      std::string_view inside = trim_view(line.substr(b1 + 1, line.find('`', b1 + 1) - b1 - 1));
      std::size_t e = 0;
      while (e < inside.size() && !is_blank(inside[e])) ++e;
      if (is_known_shell_command(inside.substr(0, e))) return false;
    }
    std::string_view label = t.label.view();
    std::size_t e = 0;
    while (e < label.size() && !is_blank(label[e])) ++e;
    std::string word;
    for (char c : label.substr(0, e)) {
      if (c != '"' && c != '\'' && c != '(' && c != '`') word.push_back(c);
    }
    bool capitalised = !word.empty() && word[0] >= 'A' && word[0] <= 'Z';
    bool non_ascii = false, shell_like = false;
    int words = 0;
    bool in_word = false;
    for (char c : label) {
      non_ascii = non_ascii || static_cast<unsigned char>(c) >= 0x80;
      shell_like = shell_like || std::strchr("-/.=|>$<~*0123456789", c) != nullptr;
      if (!is_blank(c) && !in_word) ++words;
      in_word = !is_blank(c);
    }
    // Three or more plain words without any flag, path or number read as a sentence.
    return capitalised || non_ascii || (words >= 3 && !shell_like);
  }

  bool story_has_stat(std::string_view name) const {
    for (const StatEntry& stat : list_used(story_.stats, story_.stat_count)) {
      if (ascii_iequals(stat.name.view(), name)) return true;
    }
    return false;
  }

  int option_line_number(int section, int option) const {
    if (section < 0 || section >= static_cast<int>(option_lines_.size())) return 0;
    const auto& lines = option_lines_[section];
    return option < static_cast<int>(lines.size()) ? lines[option] : 0;
  }
  int section_line_number(int section) const {
    return section < static_cast<int>(section_lines_.size()) ? section_lines_[section] : 0;
  }

  void check_graph() {
    std::map<std::string, int> index;  // first section with each id
    for (int s = 0; s < story_.section_count; ++s) index.emplace(story_.sections[s].id.c_str(), s);

    auto target_ok = [&](const IdText& id) { return index.count(id.c_str()) > 0; };
    for (int s = 0; s < story_.section_count; ++s) {
      const StorySection& sec = story_.sections[s];
      for (int o = 0; o < sec.transition_count; ++o) {
        const StoryTransition& t = sec.transitions[o];
        int at = option_line_number(s, o);
        if (t.target.empty()) {
          add(at, "destino-inexistente",
              format("La opción «%s» no tiene destino: elegirla termina la aventura con un "
                     "error.",
                     t.label.c_str()));
        } else if (!target_ok(t.target)) {
          const char* what = !t.required_item.empty() ? "requisito" : "opción";
          add(at, "destino-inexistente",
              format("El destino «%s» de la %s «%s» no es ninguna sección.", t.target.c_str(),
                     what, t.label.c_str()));
        }
        if (!t.fail_target.empty() && !target_ok(t.fail_target)) {
          add(at, "destino-inexistente",
              format("El destino de fallo «%s» de la prueba «%s» no es ninguna sección.",
                     t.fail_target.c_str(), t.label.c_str()));
        }
      }
      if (sec.transition_count == 0 && !sec.is_ending) {
        add(section_line_number(s), "callejon-sin-salida",
            format("La sección «%s» no tiene opciones y no es un final: la partida se queda "
                   "atascada.",
                   sec.id.c_str()));
      }
    }

    auto start = index.find(story_.start.c_str());
    if (story_.section_count > 0 && start == index.end()) {
      add(0, "destino-inexistente",
          format("La sección inicial «%s» no existe.", story_.start.c_str()));
      return;
    }
    if (story_.section_count == 0) {
      add(0, "sin-secciones", "La historia no tiene ninguna sección «## »: no se puede jugar.");
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
    for (int s = 0; s < story_.section_count; ++s) {
      const char* id = story_.sections[s].id.c_str();
      if (!seen[static_cast<std::size_t>(s)] && index[id] == s) {
        add(section_line_number(s), "inalcanzable",
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
          add(option_line_number(s, o), "objeto-inalcanzable",
              format("La opción exige «%s», pero ninguna sección ni opción lo entrega.",
                     t.required_item.c_str()));
        }
      }
    }
  }

  // The four themes the game ships with are rendered at build time and always
  // count as present; any other theme must exist beside the story or the game.
  bool theme_file_found(const char* theme) const {
    char file[128];
    audio_theme_file_name(theme, file, sizeof file);
    for (const char* shipped : {"quillhaven_intro.wav", "dungeon_ambient.wav",
                                "battle_tension.wav", "victory_fanfare.wav"}) {
      if (std::strcmp(file, shipped) == 0) return true;
    }
    std::string candidates[] = {std::string("assets/audio/") + file, file,
                                story_dir_ + "/../assets/audio/" + file,
                                story_dir_ + "/assets/audio/" + file};
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
        add(line, "musica-no-encontrada",
            format("No se encuentra el archivo «%s» del tema musical «%s» en assets/audio.",
                   file, theme.c_str()));
      }
    };
    check(music_front_lines_[0], story_.music_explore);
    check(music_front_lines_[1], story_.music_combat);
    check(music_front_lines_[2], story_.music_victory);
    for (int s = 0; s < story_.section_count; ++s) {
      int line = s < static_cast<int>(music_lines_.size()) ? music_lines_[s] : 0;
      check(line, story_.sections[s].music);
    }
  }

  const std::string& text_;
  const std::string& story_dir_;
  const Story& story_;
  CheckReport& report_;
  std::vector<int> section_lines_;
  std::vector<std::vector<int>> option_lines_;
  std::vector<int> item_tags_;
  std::vector<int> music_lines_;
  int music_front_lines_[3] = {0, 0, 0};  // explore, combat, victory in the front matter
  std::map<std::string, int> first_line_of_id_;
};

std::string json_escape(std::string_view s) {
  std::string out;
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

}  // namespace

void check_story_text(const std::string& raw_text, const std::string& default_title,
                      const std::string& story_dir, Story& story, CheckReport& report) {
  std::string text = strip_control_bytes(raw_text);
  story_parser_load_string(story, text.c_str(), default_title.c_str());
  Checker(text, story_dir, story, report).run();
  std::stable_sort(report.findings.begin(), report.findings.end(),
                   [](const CheckFinding& a, const CheckFinding& b) { return a.line < b.line; });
}

void check_story_file(const std::string& path, Story& story, CheckReport& report) {
  report.file = path;
  std::string text;
  report.readable = platform_read_regular_file(path.c_str(), STORY_MAX_FILE_BYTES, text) &&
                    !text.empty();
  if (!report.readable) return;
  std::size_t slash = path.find_last_of("/\\");
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  base = base.substr(0, 127);
  std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos) base = base.substr(0, dot);
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  check_story_text(text, base, dir, story, report);
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
    out += join({"  {\"file\": \"", json_escape(rep.file), "\", \"readable\": "});
    out += rep.readable ? "true" : "false";
    out += ", \"findings\": [";
    for (std::size_t i = 0; i < rep.findings.size(); ++i) {
      const CheckFinding& f = rep.findings[i];
      out += i == 0 ? "\n" : ",\n";
      out += join({"    {\"line\": ", std::to_string(f.line), ", \"code\": \"", json_escape(f.code),
                   "\", \"message\": \"", json_escape(f.message), "\"}"});
    }
    out += rep.findings.empty() ? "]}" : "\n  ]}";
    out += r + 1 < reports.size() ? ",\n" : "\n";
  }
  out += "]\n";
  return out;
}
