#include "story/option_line.h"

#include <cstdio>
#include <cstring>

#include "common/text_util.h"
#include "story/command_detect.h"
#include "story/story_text.h"

namespace {

using namespace story_text;

constexpr std::string_view kCheckTag = "[Check:";
constexpr std::string_view kRequireTag = "[Requiere:";
constexpr std::string_view kArrowTag = "[->";

// A stored field is a prefix of its trimmed source; anything shorter lost text.
void report_cut(const LineReports& r, const char* what, std::string_view stored,
                std::string_view source, std::size_t capacity) {
  if (stored.size() < trim_view(source).size()) {
    char shown[80];
    story_report(r.sink, r.line, StoryCode::texto_cortado,
                 "%s pasa de %zu bytes y se corta: queda «%s».", what, capacity,
                 excerpt(stored, shown));
  }
}

void report_number(const LineReports& r, std::string_view key, std::string_view value) {
  if (!has_number(value)) {
    story_report(r.sink, r.line, StoryCode::valor_no_numerico,
                 "«%.*s: %.*s» no es un número: vale 0.", static_cast<int>(key.size()), key.data(),
                 static_cast<int>(value.size()), value.data());
  }
}

void report_unknown_key(const LineReports& r, std::string_view key, std::string_view tag) {
  if (ascii_iequals(key, "éxito")) {
    story_report(r.sink, r.line, StoryCode::clave_ignorada,
                 "La clave «%.*s» con «é» minúscula se ignora: escribe «Éxito» o «Exito».",
                 static_cast<int>(key.size()), key.data());
  } else {
    story_report(r.sink, r.line, StoryCode::clave_ignorada,
                 "La clave «%.*s» de %.*s] no se reconoce y se ignora.",
                 static_cast<int>(key.size()), key.data(), static_cast<int>(tag.size()),
                 tag.data());
  }
}

// The source of a "key: value" field's value, before its cut.
std::string_view raw_value(std::string_view field) { return field.substr(field.find(':') + 1); }

// The working copy of one option line: at most 1023 bytes, terminated.
struct WorkLine {
  char data[1024];
  std::size_t length = 0;

  void set(std::string_view text) {
    length = text.size() < sizeof data - 1 ? text.size() : sizeof data - 1;
    std::memcpy(data, text.data(), length);
    data[length] = '\0';
  }
  std::string_view view() const { return std::string_view(data, length); }
  // Cuts [from, to) out and trims what is left.
  void cut(std::size_t from, std::size_t to) { length = cut_out_and_trim(data, length, from, to); }
};

// Calls `field` with every non-empty part of `inside` between "|" and "]",
// trimmed.
template <typename Fn>
void for_each_field(std::string_view inside, Fn&& field) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= inside.size(); ++i) {
    if (i < inside.size() && inside[i] != '|' && inside[i] != ']') continue;
    if (i > start) field(trim_view(inside.substr(start, i - start)));
    start = i + 1;
  }
}

template <typename R>
void parse_check(std::string_view inside, StoryTransition& out, const R& r) {
  for_each_field(inside, [&](std::string_view field) {
    NameText key, value;
    if (!split_key_value(field, key, value)) {
      if (out.check_stat.empty()) {
        out.check_stat.assign(field);
        if constexpr (R::kOn) report_cut(r, "El atributo de la tirada", out.check_stat, field, 63);
      }
      return;
    }
    std::string_view k = key.view();
    if (k.empty()) {
      out.check_stat.assign(value.view());
      if constexpr (R::kOn)
        report_cut(r, "El atributo de la tirada", out.check_stat, raw_value(field), 63);
    } else if (ascii_iequals(k, "DC")) {
      out.check_dc = read_decimal_i32(value.view());
      if constexpr (R::kOn) report_number(r, k, value.view());
    } else if (ascii_iequals(k, "Exito") || ascii_iequals(k, "Éxito")) {
      out.target.assign(value.view());
      if constexpr (R::kOn) report_cut(r, "El destino", out.target, raw_value(field), 31);
    } else if (ascii_iequals(k, "Fallo")) {
      out.fail_target.assign(value.view());
      if constexpr (R::kOn)
        report_cut(r, "El destino de fallo", out.fail_target, raw_value(field), 31);
    } else if (ascii_iequals(k, "DañoFallo") || ascii_iequals(k, "DanoFallo")) {
      out.fail_damage = read_decimal_i32(value.view());
      if constexpr (R::kOn) report_number(r, k, value.view());
    } else {
      if constexpr (R::kOn) report_unknown_key(r, k, kCheckTag);
    }
  });
}

template <typename R>
void parse_requirement(std::string_view inside, StoryTransition& out, const R& r) {
  for_each_field(inside, [&](std::string_view field) {
    NameText key, value;
    if (!split_key_value(field, key, value)) {
      if (out.required_item.empty()) {
        out.required_item.assign(field);
        if constexpr (R::kOn) report_cut(r, "El objeto exigido", out.required_item, field, 63);
      }
      return;
    }
    if (key.empty()) {
      out.required_item.assign(value.view());
      if constexpr (R::kOn)
        report_cut(r, "El objeto exigido", out.required_item, raw_value(field), 63);
    } else if (ascii_iequals(key.view(), "Destino")) {
      out.target.assign(value.view());
      if constexpr (R::kOn) report_cut(r, "El destino", out.target, raw_value(field), 31);
    } else {
      if constexpr (R::kOn) report_unknown_key(r, key.view(), kRequireTag);
    }
  });
}

// Fills `out` from the working line by the first option form that matches.
template <typename R>
bool parse_forms(WorkLine& work, StoryTransition& out, const R& r) {
  std::string_view line = work.view();

  // Skill check: the tag text counts up to 255 bytes, the rest of an
  // over-long tag is not read as fields (but is still cut out).
  if (TagMatch check = find_tag(line, kCheckTag); check.closed()) {
    std::string_view whole = line.substr(check.open, check.close - check.open + 1);
    std::string_view tag = whole.substr(0, 255);
    if constexpr (R::kOn) {
      if (whole.size() > tag.size()) {
        story_report(r.sink, r.line, StoryCode::texto_cortado,
                     "La etiqueta [Check: ...] tiene %zu bytes; solo se leen los primeros 255.",
                     whole.size());
      }
    }
    parse_check(tag.substr(kCheckTag.size()), out, r);
    work.cut(check.open, check.close + 1);
    out.label.assign(work.view());
    if constexpr (R::kOn) report_cut(r, "El texto de la opción", out.label, work.view(), 511);
    if (out.label.empty()) {
      std::snprintf(out.label.raw(), out.label.capacity(), "Probar %s (Dificultad %d)",
                    out.check_stat.c_str(), out.check_dc);
    }
    return true;
  }

  if (TagMatch req = find_tag(line, kRequireTag); req.closed()) {
    parse_requirement(req.inner, out, r);
    work.cut(req.open, req.close + 1);
    out.label.assign(work.view());
    if constexpr (R::kOn) report_cut(r, "El texto de la opción", out.label, work.view(), 511);
    if (out.label.empty()) {
      std::snprintf(out.label.raw(), out.label.capacity(), "Usar %s", out.required_item.c_str());
    }
    return true;
  }

  if (TagMatch arrow = find_tag(line, kArrowTag); arrow.closed()) {
    assign_cut_trim(out.target, arrow.inner, 31);
    if constexpr (R::kOn) report_cut(r, "El destino", out.target, arrow.inner, 31);
    work.cut(arrow.open, arrow.close + 1);
    out.label.assign(work.view());
    if constexpr (R::kOn) report_cut(r, "El texto de la opción", out.label, work.view(), 511);
    TagMatch pick = find_tag_either(out.label.view(), "[Obtener:", "[Tomar:");
    if (pick.closed()) {
      assign_cut_trim(out.gain_item, pick.inner, 63);
      if constexpr (R::kOn) report_cut(r, "El objeto", out.gain_item, pick.inner, 63);
      cut_out_and_trim(out.label, pick.open, pick.close + 1);
    }
    return true;
  }

  // Any short bracketed text at the start names the destination.
  if (!line.empty() && line[0] == '[') {
    std::size_t close = line.find(']');
    if (close != npos && close >= 2 && close - 1 <= 31) {
      out.target.assign(trim_view(line.substr(1, close - 1)));
      out.label.assign(trim_view(line.substr(close + 1)));
      if constexpr (R::kOn)
        report_cut(r, "El texto de la opción", out.label, line.substr(close + 1), 511);
      return true;
    }
  }
  return false;
}

// A "[Name:" tag left in a finished label has no effect there and shows as
// text ("[Item: Llave]" in an arrow option, "[Obtener: Oro]" in a check).
void report_label_tag(const LineReports& r, std::string_view label) {
  for (std::size_t open = label.find('['); open != npos; open = label.find('[', open + 1)) {
    std::size_t colon = label.find(':', open);
    std::size_t close = label.find(']', open);
    if (colon == npos || close == npos || close < colon || colon == open + 1) continue;
    std::string_view name = label.substr(open + 1, colon - open - 1);
    bool word = true;
    for (char c : name) word = word && !is_blank(c) && c != '[';
    if (!word) continue;
    story_report(r.sink, r.line, StoryCode::etiqueta_desconocida,
                 "La etiqueta «[%.*s:» no tiene efecto en esta opción: se muestra en su texto.",
                 static_cast<int>(name.size()), name.data());
    return;
  }
}

// Why the working line of a rejected option line fits no form.
const char* rejection_reason(std::string_view line, bool hidden) {
  const char* hidden_alone =
      "un comando oculto necesita además un destino, como «[-> id]», y sin él la línea muestra "
      "el secreto";
  if (line.empty()) return hidden ? hidden_alone : "no hay nada tras el guion";
  if (find_tag(line, kCheckTag).found()) return "la etiqueta «[Check:» no se cierra con «]»";
  if (find_tag(line, kRequireTag).found()) return "la etiqueta «[Requiere:» no se cierra con «]»";
  if (find_tag(line, kArrowTag).found()) return "la etiqueta «[->» no se cierra con «]»";
  if (line[0] == '[') {
    std::size_t close = line.find(']');
    if (close == npos) return "el «[» del principio no se cierra";
    if (close == 1) return "los corchetes del principio están vacíos";
    return "el texto entre los corchetes del principio pasa de 31 bytes, el máximo de un id";
  }
  if (hidden) return hidden_alone;
  return "no lleva «[-> id]», «[Check: ...]», «[Requiere: ...]» ni «[id]» al principio";
}

template <typename R>
bool parse_line(std::string_view line, StoryTransition& out, const R& r) {
  std::memset(static_cast<void*>(&out), 0, sizeof out);

  // The working copy: the first 1023 bytes (a NUL ends the line earlier),
  // trimmed, without one leading "-" or "*", trimmed again.
  std::string_view text = line.substr(0, 1023);
  text = trim_view(text.substr(0, text.find('\0')));
  if constexpr (R::kOn) {
    std::string_view whole = line.substr(0, line.find('\0'));
    if (cut_loses_text(whole, 1023)) {
      story_report(r.sink, r.line, StoryCode::texto_cortado,
                   "La línea de opción tiene %zu bytes; solo se leen los primeros 1023.",
                   whole.size());
    }
  }
  if (!text.empty() && (text[0] == '-' || text[0] == '*')) text = trim_view(text.substr(1));
  WorkLine work;
  work.set(text);

  TagMatch hidden = find_tag_either(work.view(), "[CmdOculto:", "[HiddenCmd:");
  if (hidden.closed()) {
    assign_cut_trim(out.command, hidden.inner);
    if constexpr (R::kOn) report_cut(r, "El comando oculto", out.command, hidden.inner, 255);
    out.is_hidden = true;
    out.has_command = true;
    work.cut(hidden.open, hidden.close + 1);
  }

  if (!parse_forms(work, out, r)) {
    if constexpr (R::kOn) {
      story_report(r.sink, r.line, StoryCode::opcion_rechazada,
                   "La línea empieza con «-» o «*» pero no es una opción: %s. Se muestra como "
                   "texto de la escena.",
                   rejection_reason(work.view(), out.is_hidden));
    }
    return false;
  }
  if (!out.is_hidden) {
    if constexpr (R::kOn) {
      detect_command_in_text(out.label, out.command, out.has_command, *r.sink, r.line);
    } else {
      detect_command_in_text(out.label, out.command, out.has_command);
    }
  }
  if constexpr (R::kOn) report_label_tag(r, out.label.view());
  return true;
}

}  // namespace

bool parse_transition_line(std::string_view line, StoryTransition& out) {
  return parse_line(line, out, Quiet{});
}

bool parse_transition_line(std::string_view line, StoryTransition& out,
                           const StoryDiagnosticSink& sink, int line_number) {
  return parse_line(line, out, LineReports{&sink, line_number});
}

bool option_line_has_tag(std::string_view text) {
  return find_tag(text, kCheckTag).closed() || find_tag(text, kRequireTag).closed() ||
         find_tag(text, kArrowTag).closed();
}
