#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/story_check.h"
#include "authoring/story_map.h"
#include "authoring/story_walk.h"
#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

class StoryCheck : public ::testing::Test {
 protected:
  void SetUp() override { story_ = static_cast<Story*>(std::calloc(1, sizeof(Story))); }
  void TearDown() override { std::free(story_); }

  std::vector<CheckFinding> check(const std::string& text) {
    CheckReport report;
    report.readable = true;
    check_story_text(text, "prueba", QH_SOURCE_DIR "/stories", *story_, report);
    return report.findings;
  }

  // Expects exactly one finding, with this code at this line.
  void expect_only(const std::string& text, const std::string& code, int line) {
    auto findings = check(text);
    ASSERT_EQ(findings.size(), 1u) << describe(findings);
    EXPECT_EQ(findings[0].code, code) << findings[0].message;
    EXPECT_EQ(findings[0].line, line) << findings[0].message;
  }

  static std::string describe(const std::vector<CheckFinding>& findings) {
    std::string out;
    for (const auto& f : findings)
      out += std::to_string(f.line) + " " + f.code + ": " + f.message + "\n";
    return out;
  }

  Story* story_ = nullptr;
};

// A tiny story that checks clean: a start, one choice and two endings.
const std::string kHead =
    "---\n"            // 1
    "title: Prueba\n"  // 2
    "stats:\n"         // 3
    "  Fuerza: 1\n"    // 4
    "---\n"            // 5
    "## [1] Inicio\n"  // 6
    "Un pasillo.\n";   // 7
const std::string kEndings =
    "## [2] Gloria\n"
    "[Final: Victoria]\n"
    "## [3] Caída\n"
    "[Final: Derrota]\n";

}  // namespace

TEST_F(StoryCheck, EachProblemIsReportedOnceAtItsLine) {
  // Each story is kHead + `options` + kEndings + `after` (or `whole` alone); the
  // options start at line 8. An empty code means the story checks clean.
  struct Case {
    const char* options;
    const char* after;
    const char* code;
    int line;
  } cases[] = {
      {"- [Check: Fuerza | DC: 7 | Éxito: 2 | Fallo: 3] Empujar\n", "", "", 0},
      // Option, failure and requirement destinations that name no section.
      {"- [-> 9] Saltar\n- [-> 2] Ir\n- [-> 3] Caer\n", "", "destino-inexistente", 8},
      {"- [Check: Fuerza | DC: 7 | Éxito: 2 | Fallo: 7] Empujar\n- [-> 3] x\n", "",
       "destino-inexistente", 8},
      {"- [Requiere: Daga | Destino: 8] Cortar\n- [Obtener: Daga] [-> 2] Ir\n- [-> 3] c\n", "",
       "destino-inexistente", 8},
      // Unreachable, dead end, repeated id.
      {"- [-> 2] Ir\n- [-> 3] c\n", "## [4] Olvidada\n[Final: Fin]\n", "inalcanzable", 14},
      {"- [-> 2] Ir\n- [-> 3] c\n- [-> 4] d\n", "## [4] Pasillo\nNada.\n", "callejon-sin-salida",
       15},
      {"- [-> 2] Ir\n- [-> 3] c\n", "## [2] Otra\n[Final: Victoria]\n", "id-duplicado", 14},
      // A rejected bullet, a difficulty below 1, an unknown key, an unknown stat.
      {"- una lista sin corchetes\n- [-> 2] Ir\n- [-> 3] c\n", "", "opcion-rechazada", 8},
      {"- [Check: Fuerza | Éxito: 2 | Fallo: 3] Empujar\n", "", "dificultad-invalida", 8},
      {"- [Check: Fuerza | DC: 7 | Éxito: 2 | Fallo: 3 | Daño: 2] Empujar\n", "", "clave-ignorada",
       8},
      {"- [Check: Magia | DC: 7 | Éxito: 2 | Fallo: 3] Conjurar\n", "", "estadistica-desconocida",
       8},
      // Sentences whose first word happens to be a command word.
      {"- [-> 2] Echo de menos la luz\n- [-> 3] c\n- [-> 2] d\n", "", "comando-por-palabra", 8},
      {"- [-> 2] sed de venganza ciega\n- [-> 3] c\n", "", "comando-por-palabra", 8},
      // A tag word without its colon, a gate nobody opens, a theme without a file (last tag wins).
      {"[Final]\n- [-> 2] Ir\n- [-> 3] c\n", "", "etiqueta-sin-dos-puntos", 8},
      {"- [Requiere: Llave de Plata | Destino: 2] Abrir\n- [-> 3] c\n", "", "objeto-inalcanzable",
       8},
      {"[Musica: combate]\n[Musica: tema_inexistente]\n- [-> 2] Ir\n- [-> 3] c\n", "",
       "musica-no-encontrada", 9},
  };
  for (const Case& c : cases) {
    auto findings = check(kHead + c.options + kEndings + c.after);
    SCOPED_TRACE(c.options);
    if (c.code[0] == '\0') {
      EXPECT_TRUE(findings.empty()) << describe(findings);
      continue;
    }
    ASSERT_EQ(findings.size(), 1u) << describe(findings);
    EXPECT_EQ(findings[0].code, c.code) << findings[0].message;
    EXPECT_EQ(findings[0].line, c.line) << findings[0].message;
  }
  // Front matter values the game cannot read as intended.
  expect_only("---\nhp: muchos\n---\n## [1] Solo\n[Final: Victoria]\n", "valor-no-numerico", 2);
  expect_only("---\nstats:\n  \"Fuerza\": 2\n---\n## [1] Solo\n[Final: Victoria]\n",
              "estadistica-entre-comillas", 3);
  expect_only("---\nmusic:\n  explore: tema_perdido\n---\n## [1] Solo\n[Final: Victoria]\n",
              "musica-no-encontrada", 3);
  // A small accented "é" is an unknown key, so the check also loses its destination.
  auto findings = check(
      kHead + "- [Check: Fuerza | DC: 7 | éxito: 2 | Fallo: 3] Empujar\n- [-> 2] x\n" + kEndings);
  ASSERT_EQ(findings.size(), 2u) << describe(findings);
  EXPECT_EQ(findings[0].code, "clave-ignorada");
  EXPECT_NE(findings[0].message.find("«Éxito»"), std::string::npos);
  EXPECT_EQ(findings[1].code, "destino-inexistente");
  EXPECT_EQ(findings[1].line, 8);
}

TEST_F(StoryCheck, FrontMatterWithoutClosingMarker) {
  auto findings = check("---\ntitle: Roto\n## [1] Inicio\n[Final: Victoria]\n");
  ASSERT_FALSE(findings.empty());
  EXPECT_EQ(findings[0].code, "cabecera-sin-cierre");
  EXPECT_EQ(findings[0].line, 1);
}

TEST_F(StoryCheck, WhatTheParserDropsOrCutsIsReported) {
  std::string many_options;
  for (int i = 0; i < 33; ++i) many_options += "- [-> 2] Opción " + std::to_string(i) + "\n";
  auto findings = check(kHead + many_options + "- [-> 3] c\n" + kEndings);
  ASSERT_FALSE(findings.empty());
  EXPECT_EQ(findings[0].code, "descartado");
  EXPECT_EQ(findings[0].line, 8 + 32);

  std::string sections;
  for (int i = 0; i < 129; ++i) {
    sections +=
        "## [" + std::to_string(i + 1) + "] S\n- [-> " + std::to_string(i + 2) + "] Sigue\n";
  }
  findings = check(sections + "## [130] Fin\n[Final: Victoria]\n");
  bool dropped = false;
  for (const auto& f : findings) dropped = dropped || (f.code == "descartado" && f.line == 257);
  EXPECT_TRUE(dropped) << describe(findings);

  std::string lore;
  for (int i = 0; i < 65; ++i) lore += "> [Lore: L" + std::to_string(i) + "] texto\n";
  findings = check(lore + "## [1] Solo\n[Final: Victoria]\n");
  ASSERT_EQ(findings.size(), 1u) << describe(findings);
  EXPECT_EQ(findings[0].line, 65);

  findings = check("## [1] Largo\n" + std::string(3000, 'a') + "\n[Final: Victoria]\n");
  ASSERT_EQ(findings.size(), 1u) << describe(findings);
  EXPECT_EQ(findings[0].code, "texto-cortado");
  EXPECT_EQ(findings[0].line, 2);

  // A text that exactly fills its field loses nothing; one byte more, or one more line, does.
  const std::string line(2047, 'b');
  for (int extra : {0, 1}) {
    // Section text: four paragraphs of 8191 bytes with their separators, or 8192.
    std::string text = "## [1] Lleno\n[Final: Victoria]\n" + line + "\n" + line + "\n" + line +
                       "\n" + std::string(2044 + extra, 'c') + "\n";
    findings = check(text);
    if (extra == 0) {
      EXPECT_TRUE(findings.empty()) << describe(findings);
      findings = check(text + "d\n");
    }
    ASSERT_EQ(findings.size(), 1u) << extra << describe(findings);
    EXPECT_EQ(findings[0].code, "texto-cortado");
    EXPECT_EQ(findings[0].line, extra == 0 ? 7 : 6);
    // Lore heading text: one line of 2047 bytes, or 2047 and one more line.
    text = "## [1] Lleno\n[Final: Victoria]\n### Lore\n" + line + "\n" + (extra ? "e\n" : "");
    findings = check(text);
    EXPECT_EQ(findings.size(), static_cast<std::size_t>(extra)) << describe(findings);
    if (extra == 1) {
      EXPECT_EQ(findings[0].line, 5) << describe(findings);
    }
  }
}

// The bundled stories and every story of the test data, checked with notes, against the findings
// recorded for them. The bundled stories and the workshop template may hold notes, nothing else.
TEST_F(StoryCheck, EveryStoryFileChecksAsRecordedAndTheShippedOnesClean) {
  // Theme files are looked up relative to the working folder, as the game does.
  std::string previous = std::filesystem::current_path().string();
  std::filesystem::current_path(QH_SOURCE_DIR);
  std::vector<std::string> files(std::begin(qh_test::BUNDLED_STORIES),
                                 std::end(qh_test::BUNDLED_STORIES));
  for (const auto& entry : std::filesystem::recursive_directory_iterator("tests/data")) {
    if (entry.is_regular_file() && entry.path().extension() == ".md") {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  std::string expected = qh_test::read_file("tests/data/check/expected_diagnostics.txt");
  std::string got;
  for (std::size_t at = 0; at < expected.size() && expected[at] == '#';) {  // the header
    at = expected.find('\n', at) + 1;
    got = expected.substr(0, at);
  }
  for (const std::string& file : files) {
    CheckReport report;
    check_story_file(file, *story_, report, true);
    EXPECT_TRUE(report.readable) << file;
    got += "== " + file + "\n";
    for (const CheckFinding& f : report.findings)
      got += std::to_string(f.line) + " " + f.code + "\n";
    if (file.rfind("stories/", 0) == 0 || file == "tests/data/workshop_template.md") {
      EXPECT_FALSE(check_has_problems(report)) << file << "\n" << check_format_text(report);
    }
  }
  EXPECT_EQ(got, expected);
  EXPECT_GE(std::count(files.begin(), files.end(), "tests/data/workshop_template.md"), 1);
  // The recorded findings show every code at work.
  for (const StoryCodeInfo& info : STORY_CODES) {
    EXPECT_NE(expected.find(std::string(" ") + info.name + "\n"), std::string::npos) << info.name;
  }
  std::filesystem::current_path(previous);
}

// The help, the README and the guide list exactly the codes of the table, with its severities.
TEST_F(StoryCheck, HelpReadmeAndGuideListEveryCodeWithItsSeverity) {
  std::vector<std::string> table;
  for (const StoryCodeInfo& info : STORY_CODES) {
    table.push_back(std::string(info.name) + " " + story_severity_name(info.severity));
  }
  std::sort(table.begin(), table.end());
  // The pairs a text lists, in lines matching `row`, between `from` and the next `until`.
  auto listed = [](const std::string& text, const std::string& from, const std::string& until,
                   const std::regex& row) {
    std::size_t begin = text.find(from);
    EXPECT_NE(begin, std::string::npos) << from;
    std::string part = text.substr(begin, text.find(until, begin + from.size()) - begin);
    std::vector<std::string> pairs;
    std::istringstream lines(part);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_match(line, m, row)) pairs.push_back(m[1].str() + " " + m[2].str());
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
  };
  const std::regex table_row(R"(\| `([a-z-]+)` \| (error|aviso|nota) \|.*)");
  qh_test::RunOptions options;
  options.binary = QH_TOOLS_BINARY;
  options.cwd = QH_SOURCE_DIR;
  options.args = {"check", "--help"};
  qh_test::RunResult help = qh_test::run_program(options);
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(
      listed(help.out, "Códigos", "\n\n", std::regex(R"(  ([a-z-]+) \((error|aviso|nota)\))")),
      table);
  EXPECT_EQ(listed(qh_test::read_file(QH_SOURCE_DIR "/README.md"), "## The author's toolkit",
                   "\n## ", table_row),
            table);
  EXPECT_EQ(listed(qh_test::read_file(QH_SOURCE_DIR "/GUIA_CREACION_HISTORIAS.md"),
                   "### Revisar: `check`", "\n### ", table_row),
            table);
}

// Notes are shown only when asked for, and never make the exit status fail.
TEST_F(StoryCheck, NotesOnlyWhenAskedAndNeverAProblem) {
  qh_test::TempDir dir;
  qh_test::write_file(dir.file("final.md"), "## [1] Foso\nCaes sobre las estacas.\n");
  qh_test::RunOptions options;
  options.binary = QH_TOOLS_BINARY;
  options.cwd = dir.path();
  options.args = {"check", "final.md"};
  qh_test::RunResult quiet = qh_test::run_program(options);
  EXPECT_EQ(quiet.exit_code, 0);
  EXPECT_EQ(quiet.out, "final.md: sin problemas.\n");
  options.args = {"check", "--notas", "final.md"};
  qh_test::RunResult notes = qh_test::run_program(options);
  EXPECT_EQ(notes.exit_code, 0);
  EXPECT_EQ(notes.out,
            "final.md:1: La sección «1» no tiene opciones y es un final de derrota porque su texto "
            "dice «caes sobre». [final-por-texto]\n");
}

TEST_F(StoryCheck, JsonListsTheSameFindings) {
  CheckReport report;
  report.file = "a\"b.md";
  report.readable = true;
  check_story_text(kHead + "- [-> 9] Saltar\n- [-> 2] Ir\n- [-> 3] c\n" + kEndings, "a", ".",
                   *story_, report);
  std::string json = check_format_json({report});
  EXPECT_TRUE(
      qh_test::contains_in_order(json, {"\"file\": \"a\\\"b.md\"", "\"readable\": true",
                                        "\"line\": 8", "\"code\": \"destino-inexistente\""}));
}

TEST_F(StoryCheck, MissingDestinationsNameTheOptionOrTheRequirement) {
  std::string messages;
  for (const CheckFinding& f : check(kHead + "- [Requiere: Daga | Destino: 9] Cortar\n" +
                                     "- [-> 8] Ir\n- [-> 2] Seguir\n- [-> 3] Caer\n" + kEndings)) {
    if (f.code == "destino-inexistente") messages += f.message + "\n";
  }
  EXPECT_EQ(messages,
            "El destino «9» del requisito «Cortar» no es ninguna sección.\n"
            "El destino «8» de la opción «Ir» no es ninguna sección.\n");
}

TEST_F(StoryCheck, MapDrawsSectionsEndingsAndFailureEdges) {
  ASSERT_TRUE(story_parser_load_string(
      *story_,
      (kHead + "[Daño: 2]\n[Obtener: Oro]\n[Item: Daga]\n" +
       "- [Check: Fuerza | DC: 7 | Éxito: 2 | Fallo: 3 | DañoFallo: 2] Empujar\n"
       "- [Requiere: Daga | Destino: 2] Cortar\n" +
       kEndings)
          .c_str(),
      "x"));
  // A hidden option without a command takes no number: nothing typed reaches it.
  StorySection& start = story_->sections[0];
  start.transitions[2] = start.transitions[1];
  start.transitions[1] = StoryTransition{};
  start.transitions[1].target.assign("3");
  start.transitions[1].is_hidden = true;
  start.transition_count = 3;
  std::string dot = story_map_dot(*story_);
  EXPECT_TRUE(qh_test::contains_in_order(
      dot,
      {"digraph historia {", "s0 [label=\"[1] Inicio\\n⚠ peligro: -2 PV\\n🎁 Oro\\n🎁 Daga\"",
       "s1 [label=\"[2] Gloria\", shape=doubleoctagon", "s2 [label=\"[3] Caída\", shape=octagon",
       "s0 -> s1 [label=\"[1]\\nFuerza DC 7\"]", "s0 -> s2 [style=dashed", "fallo (-2 PV)",
       "s0 -> s2 [label=\"(oculta, inalcanzable)\"]", "s0 -> s1 [label=\"[2]\\n🔒 Daga\"]", "}"}));
}

TEST_F(StoryCheck, WalksTypeOnlyLinesThatTakeAnOption) {
  // Neither a hidden command with nothing to type nor a command that reads as an option
  // number is ever chosen: every run ends in the one reachable ending, and quietly.
  ASSERT_TRUE(story_parser_load_string(
      *story_,
      (kHead + "- [CmdOculto: ] [-> 2]\n- [-> 2] Contar [Cmd: 42]\n- [-> 3] Caer\n" + kEndings)
          .c_str(),
      "x"));
  WalkReport report;
  ASSERT_TRUE(story_walk(*story_, "prueba.md", 40, 3, report));
  EXPECT_EQ(report.endings, (std::map<std::string, int>{{"[3] Caída (derrota)", 40}}));
  EXPECT_TRUE(report.deaths.empty() && report.other_ends.empty());
  EXPECT_EQ(report.never_visited, std::vector<std::string>{"[2] Gloria"});
  EXPECT_EQ(report.longest_run, 1);
}
