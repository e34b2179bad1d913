// The text and JSON reports of an analysis. Story text (titles, labels, ids)
// reaches the text report as it is: the caller prints it through the
// terminal-safe path; the JSON escapes it.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "authoring/story_analyze.h"
#include "authoring/text_join.h"
#include "common/json_text.h"
#include "common/text_util.h"
#include "rules/dice.h"
#include "rules/option_rules.h"

namespace {

const char* tier_name(int tier) {
  switch (tier) {
    case OUTCOME_CRIT_SUCCESS:
      return "éxito crítico";
    case OUTCOME_SUCCESS:
      return "éxito";
    case OUTCOME_COST:
      return "éxito con coste";
    case OUTCOME_FAILURE:
      return "fallo";
    case OUTCOME_CRIT_FAILURE:
      return "pifia";
    default:
      return "";
  }
}

const char* tier_key(int tier) {
  switch (tier) {
    case OUTCOME_CRIT_SUCCESS:
      return "crit_success";
    case OUTCOME_SUCCESS:
      return "success";
    case OUTCOME_COST:
      return "cost";
    case OUTCOME_FAILURE:
      return "failure";
    case OUTCOME_CRIT_FAILURE:
      return "crit_failure";
    default:
      return "";
  }
}

const char* ending_word(std::string_view type) {
  if (type == "victory") return "victoria";
  if (type == "defeat") return "derrota";
  return "neutral";
}

const char* ending_key(std::string_view type) {
  if (type == "victory") return "victory";
  if (type == "defeat") return "defeat";
  return "neutral";
}

const char* reason_text(std::string_view reason) {
  if (reason == "hidden_without_command") return "oculta y sin nada que teclear";
  if (reason == "no_typed_input") return "ninguna línea tecleada llega a ella";
  if (reason == "item_never_obtainable") return "ningún héroe llega aquí con el objeto que exige";
  if (reason == "flag_never_set") return "ningún héroe llega aquí con la condición que exige";
  if (reason == "flag_always_set") return "todo héroe llega aquí con la condición que la bloquea";
  if (reason == "never_allowed")
    return "ningún héroe llega aquí cumpliendo a la vez sus condiciones";
  if (reason == "ending_section") return "la sección es un final";
  if (reason == "death_on_arrival") return "todo héroe muere al llegar a la sección";
  return "";
}

// "26.8 %"; right-aligned in a column of `width` characters when asked.
std::string percent(double p, int width = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%*.1f %%", width, 100.0 * p);
  return buf;
}

std::string number(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", p);
  return buf;
}

std::string section_name(const Story& story, int sec) {
  const StorySection& s = story.sections[sec];
  return join({"[", s.id.view(), "] ", s.title.view()});
}

// `"key": [` with one item a line, indented under `in`, then `],`; `[]` when empty.
template <typename Item>
void append_array(std::string& out, std::string_view in, std::string_view key, std::size_t count,
                  Item item) {
  out += join({in, "\"", key, "\": ["});
  for (std::size_t i = 0; i < count; ++i) out += join({i ? ",\n" : "\n", in, "  ", item(i)});
  out += count == 0 ? "],\n" : join({"\n", in, "],\n"});
}

std::string names_line(const std::vector<std::string>& names, const char* none) {
  if (names.empty()) return none;
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) out += join({i ? ", " : "", names[i]});
  return out;
}

std::string names_json(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i)
    out += join({i ? ", " : "", json_text_quoted(names[i])});
  return out + "]";
}

std::string path_json(const Story& story, const AnalyzePath& path) {
  std::string out = "[";
  for (std::size_t i = 0; i < path.size(); ++i) {
    const AnalyzeStep& step = path[i];
    out += join({i ? ", " : "",
                 "{\"section\": ", json_text_quoted(story.sections[step.section].id.view())});
    if (step.option > 0) out += join({", \"option\": ", std::to_string(step.option)});
    if (step.tier != OUTCOME_NONE) out += join({", \"tier\": \"", tier_key(step.tier), "\""});
    out += "}";
  }
  return out + "]";
}

}  // namespace

std::string story_analyze_path_text(const Story& story, const AnalyzePath& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const AnalyzeStep& step = path[i];
    out += join({i ? " → " : "", story.sections[step.section].id.view()});
    if (step.tier == OUTCOME_NONE || step.option < 1) continue;
    const StoryTransition& t = story.sections[step.section].transitions[step.option - 1];
    out += join({" [", t.check_stat.view(), ": ", tier_name(step.tier), "]"});
  }
  return out;
}

std::string story_analyze_format_text(const Story& story, const std::string& file,
                                      const AnalyzeReport& report) {
  if (!report.analysable) return join({file, ": no se puede analizar: ", report.error, ".\n"});
  const AnalyzeRandomPlay& r = report.random_play;
  std::string out = join({"Análisis de «", story.title.view(), "» (", file, ")\n"});
  out += join({"Estados: ", std::to_string(report.states),
               report.complete ? "\n" : " (parcial: se alcanzó el límite de estados)\n"});

  out += "\nJuego al azar (cada opción posible con la misma probabilidad):\n";
  struct Row {
    const char* name;
    double p;
  };
  const Row rows[] = {{"victoria", r.victory},     {"derrota", r.defeat},
                      {"neutral", r.neutral},      {"muerte", r.death},
                      {"atascado", r.stuck},       {"sección inexistente", r.missing_section},
                      {"sin fin", r.endless},      {"sin explorar", r.unexplored},
                      {"sin resolver", r.unsolved}};
  for (const Row& row : rows) {
    std::string_view name = row.name;
    if (name == "sin explorar" && report.complete) continue;
    if (name == "sin resolver" && r.exact) continue;
    // Pad to a column of 22 characters, counting each UTF-8 character once.
    std::size_t columns = 0;
    for (char c : name) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    out += join({"  ", name, std::string(22 - columns, ' '), percent(row.p, 5), "\n"});
  }
  if (!report.endings.empty()) out += "  Por final:\n";
  for (const AnalyzeEnding& e : report.endings) {
    out += join({"    ", percent(e.random_play, 5), "  ", section_name(story, e.section), " (",
                 ending_word(story.sections[e.section].ending_type.view()), ")\n"});
  }

  if (!r.exact) {
    out +=
        "  (aproximado: un bucle de estados es demasiado grande para resolverlo exactamente; "
        "a cada cifra le puede faltar hasta lo que queda sin resolver)\n";
  }

  out += join({"\nMejor juego: ", percent(report.best_victory), " de victorias"});
  if (!report.complete || !report.best_exact) out += " como mínimo";
  if (report.complete && !report.best_exact) {
    out += join({" y ", percent(report.best_victory_at_most),
                 " como máximo (un bucle de estados es demasiado grande para resolverlo "
                 "exactamente)"});
  }
  if (report.best_first_option > 0 && report.start_section >= 0) {
    const StorySection& start = story.sections[report.start_section];
    OptionLineText input;
    rules_option_input(start, report.best_first_option - 1, input);
    out +=
        join({"; primera opción: «", start.transitions[report.best_first_option - 1].label.view(),
              "» (se elige tecleando «", input.view(), "»)"});
  }
  out += ".\n";

  out += "\nEncierros (estados desde los que no se llega a ningún final):\n";
  if (report.traps.empty()) out += "  (ninguno)\n";
  for (const AnalyzeTrap& t : report.traps) {
    out += join({"  ", section_name(story, t.section),
                 t.stuck ? ": sin ninguna opción posible\n" : ": un bucle del que no se sale\n",
                 "      ", story_analyze_path_text(story, t.path), "\n"});
  }

  out += "\nSin victoria (vivo, sin final a la vista, pero ya no se puede ganar):\n";
  if (report.lost_causes.empty()) out += "  (ninguna)\n";
  for (const AnalyzeLostCause& c : report.lost_causes) {
    out +=
        join({"  ", section_name(story, c.section), ": ", std::to_string(c.states), " de ",
              std::to_string(c.of_states), report.complete ? " estados" : " estados explorados"});
    if (c.example_missing == "hp") {
      out += "; le faltan puntos de vida";
    } else if (starts_with(c.example_missing, "flag:")) {
      out +=
          join({"; le falta la condición «", std::string_view(c.example_missing).substr(5), "»"});
    } else if (!c.example_missing.empty()) {
      out += join({"; le falta: ", c.example_missing});
    }
    out += join({"\n      ", story_analyze_path_text(story, c.path), "\n"});
  }

  out += "\nPruebas (pares de dados de 36):\n";
  if (report.checks.empty()) out += "  (ninguna)\n";
  for (const AnalyzeCheck& c : report.checks) {
    const StoryTransition& t = story.sections[c.section].transitions[c.option - 1];
    char line[256];
    std::snprintf(
        line, sizeof line,
        " %+d contra DC %d: crítico %d, éxito %d, coste %d, fallo %d, pifia %d; "
        "pasa %s\n",
        c.modifier, c.dc, c.odds[OUTCOME_CRIT_SUCCESS], c.odds[OUTCOME_SUCCESS],
        c.odds[OUTCOME_COST], c.odds[OUTCOME_FAILURE], c.odds[OUTCOME_CRIT_FAILURE],
        percent((c.odds[OUTCOME_CRIT_SUCCESS] + c.odds[OUTCOME_SUCCESS] + c.odds[OUTCOME_COST]) /
                36.0)
            .c_str());
    out += join({"  [", story.sections[c.section].id.view(), "] opción ", std::to_string(c.option),
                 ", ", t.check_stat.view(), line});
  }

  if (report.complete) {
    out += "\nOpciones que ninguna partida puede tomar:\n";
    if (report.never_takeable.empty()) out += "  (ninguna)\n";
    for (const AnalyzeNeverTakeable& n : report.never_takeable) {
      const StoryTransition& t = story.sections[n.section].transitions[n.option - 1];
      std::string_view label = t.label.empty() ? std::string_view("sin texto") : t.label.view();
      out += join({"  [", story.sections[n.section].id.view(), "] opción ",
                   std::to_string(n.option), " «", label, "»: ", reason_text(n.reason), "\n"});
    }
    std::vector<std::string> unreachable;
    for (int sec : report.unreachable_sections) unreachable.push_back(section_name(story, sec));
    out += join(
        {"\nSecciones a las que nunca se llega: ", names_line(unreachable, "(ninguna)"), "\n"});
  }

  out += join({"\nCondiciones que se activan y nada consulta: ",
               names_line(report.flags_set_never_tested, "(ninguna)"), "\n"});
  out += join({"Condiciones consultadas que nada activa: ",
               names_line(report.flags_tested_never_set, "(ninguna)"), "\n"});
  out += join({"Objetos exigidos que no se pueden obtener: ",
               names_line(report.items_required_never_obtainable, "(ninguno)"), "\n"});
  out += join({"Objetos que se obtienen y nada exige: ",
               names_line(report.items_obtained_never_required, "(ninguno)"), "\n"});
  return out;
}

std::string story_analyze_format_json(const Story& story, const std::string& file,
                                      const AnalyzeReport& report, int indent) {
  std::string pad(static_cast<std::size_t>(indent), ' ');
  std::string in = pad + "  ";
  if (!report.analysable) {
    return join({pad, "{\"file\": ", json_text_quoted(file),
                 ", \"error\": ", json_text_quoted(report.error), "}"});
  }
  const AnalyzeRandomPlay& r = report.random_play;
  std::string out = join({pad, "{\n", in, "\"file\": ", json_text_quoted(file), ",\n"});
  out += join({in, "\"states\": ", std::to_string(report.states), ",\n"});
  out += join({in, "\"complete\": ", report.complete ? "true" : "false", ",\n"});
  out += join({in, "\"random_play\": {\"victory\": ", number(r.victory),
               ", \"defeat\": ", number(r.defeat), ", \"neutral\": ", number(r.neutral),
               ", \"death\": ", number(r.death), ", \"stuck\": ", number(r.stuck),
               ", \"missing_section\": ", number(r.missing_section),
               ", \"endless\": ", number(r.endless)});
  if (!report.complete) out += join({", \"unexplored\": ", number(r.unexplored)});
  out += join({", \"exact\": ", r.exact ? "true" : "false"});
  if (!r.exact) out += join({", \"unsolved\": ", number(r.unsolved)});
  out += "},\n";

  out += join({in, "\"endings\": ["});
  for (std::size_t i = 0; i < report.endings.size(); ++i) {
    const AnalyzeEnding& e = report.endings[i];
    const StorySection& s = story.sections[e.section];
    out += join({i ? ", " : "", "{\"id\": ", json_text_quoted(s.id.view()), ", \"type\": \"",
                 ending_key(s.ending_type.view()), "\", \"random_play\": ", number(e.random_play),
                 "}"});
  }
  out += "],\n";

  out += join({in, "\"best_play\": {\"victory\": ", number(report.best_victory),
               ", \"exact\": ", report.best_exact ? "true" : "false"});
  if (!report.best_exact) out += join({", \"at_most\": ", number(report.best_victory_at_most)});
  out += ", \"first_move\": ";
  if (report.best_first_option > 0 && report.start_section >= 0) {
    const StorySection& start = story.sections[report.start_section];
    out +=
        join({"{\"option\": ", std::to_string(report.best_first_option), ", \"label\": ",
              json_text_quoted(start.transitions[report.best_first_option - 1].label.view()), "}"});
  } else {
    out += "null";
  }
  out += "},\n";

  append_array(out, in, "traps", report.traps.size(), [&](std::size_t i) {
    const AnalyzeTrap& t = report.traps[i];
    return join({"{\"section\": ", json_text_quoted(story.sections[t.section].id.view()),
                 ", \"path\": ", path_json(story, t.path), "}"});
  });
  append_array(out, in, "lost_causes", report.lost_causes.size(), [&](std::size_t i) {
    const AnalyzeLostCause& c = report.lost_causes[i];
    return join({"{\"section\": ", json_text_quoted(story.sections[c.section].id.view()),
                 ", \"states\": ", std::to_string(c.states),
                 ", \"example_missing\": ", json_text_quoted(c.example_missing),
                 ", \"path\": ", path_json(story, c.path), "}"});
  });
  append_array(out, in, "checks", report.checks.size(), [&](std::size_t i) {
    const AnalyzeCheck& c = report.checks[i];
    const StoryTransition& t = story.sections[c.section].transitions[c.option - 1];
    std::string item = join(
        {"{\"section\": ", json_text_quoted(story.sections[c.section].id.view()),
         ", \"option\": ", std::to_string(c.option),
         ", \"stat\": ", json_text_quoted(t.check_stat.view()), ", \"dc\": ", std::to_string(c.dc),
         ", \"modifier\": ", std::to_string(c.modifier), ", \"odds\": {"});
    for (int tier = OUTCOME_CRIT_SUCCESS; tier <= OUTCOME_CRIT_FAILURE; ++tier) {
      item += join({tier > OUTCOME_CRIT_SUCCESS ? ", \"" : "\"", tier_key(tier),
                    "\": ", std::to_string(c.odds[tier])});
    }
    return item + "}}";
  });
  append_array(out, in, "never_takeable", report.never_takeable.size(), [&](std::size_t i) {
    const AnalyzeNeverTakeable& n = report.never_takeable[i];
    return join({"{\"section\": ", json_text_quoted(story.sections[n.section].id.view()),
                 ", \"option\": ", std::to_string(n.option), ", \"reason\": \"", n.reason, "\"}"});
  });

  std::vector<std::string> unreachable;
  for (int sec : report.unreachable_sections) {
    unreachable.emplace_back(story.sections[sec].id.view());
  }
  out += join({in, "\"unreachable_sections\": ", names_json(unreachable), ",\n"});
  out += join({in, "\"flags\": {\"set_never_tested\": ", names_json(report.flags_set_never_tested),
               ", \"tested_never_set\": ", names_json(report.flags_tested_never_set), "},\n"});
  out += join({in, "\"items\": {\"required_never_obtainable\": ",
               names_json(report.items_required_never_obtainable),
               ", \"obtained_never_required\": ", names_json(report.items_obtained_never_required),
               "}\n"});
  out += join({pad, "}"});
  return out;
}
