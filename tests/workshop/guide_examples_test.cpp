// Every ```historia example of the story guide must parse as its row of
// tests/data/guide_examples.txt says: the guide is shown to authors as it is.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

using Facts = std::map<std::string, std::string>;

// Adds "key[arg]" ("key" without an arg) for each key, with the value in the same place.
void put(Facts& f, const std::string& arg, std::initializer_list<const char*> keys,
         std::initializer_list<std::string> values) {
  ASSERT_EQ(keys.size(), values.size());
  const std::string* v = values.begin();
  for (const char* key : keys) f.emplace(arg.empty() ? key : key + ("[" + arg + "]"), *v++);
}

// Everything an expectation can name; a repeated section or stat counts only once, as in play.
Facts facts_of(const Story& st) {
  auto s = [](const auto& text) { return std::string(text.view()); };
  auto n = [](auto value) { return std::to_string(value); };
  Facts f;
  put(f, "",
      {"secciones", "titulo", "autor", "descripcion", "hp", "inicio", "stats", "objetos", "lore",
       "musica_explorar", "musica_combate", "musica_victoria"},
      {n(st.section_count), s(st.title), s(st.author), s(st.description), n(st.hp), s(st.start),
       n(st.stat_count), n(st.item_count), n(st.lore_count), s(st.music_explore),
       s(st.music_combat), s(st.music_victory)});
  for (int i = 0; i < st.stat_count; ++i)
    put(f, s(st.stats[i].name), {"stat"}, {n(st.stats[i].value)});
  for (int i = 0; i < st.stat_count; ++i) put(f, n(i + 1), {"stat_nombre"}, {s(st.stats[i].name)});
  for (int i = 0; i < st.item_count; ++i) put(f, n(i + 1), {"objeto"}, {s(st.items[i])});
  for (int i = 0; i < st.lore_count; ++i)
    put(f, n(i + 1), {"lore_nombre", "lore_seccion", "lore_texto"},
        {s(st.lore[i].name), s(st.lore[i].section_id), s(st.lore[i].text)});
  for (int i = 0; i < st.section_count; ++i) {
    const StorySection& sec = st.sections[i];
    const std::string id = s(sec.id);
    put(f, n(i + 1), {"id"}, {id});
    if (f.count("texto[" + id + "]") != 0) continue;  // a repeated id is never reached
    std::string found;
    for (int k = 0; k < sec.item_count; ++k) found += (k ? "|" : "") + s(sec.items[k]);
    put(f, id,
        {"titulo_seccion", "texto", "historia", "opciones", "dano", "final", "musica", "arte",
         "hallazgos"},
        {s(sec.title), s(sec.text), s(sec.lore_text), n(sec.transition_count), n(sec.damage),
         sec.is_ending ? s(sec.ending_type) : "no", s(sec.music), s(sec.art), found});
    for (int k = 0; k < sec.transition_count; ++k) {
      const StoryTransition& t = sec.transitions[k];
      put(f, id + "." + n(k + 1),
          {"destino", "fallo", "prueba", "danofallo", "requiere", "obtiene", "etiqueta", "comando",
           "oculta", "terminal"},
          {s(t.target), s(t.fail_target), s(t.check_stat) + "/" + n(t.check_dc), n(t.fail_damage),
           s(t.required_item), s(t.gain_item), s(t.label), s(t.command), t.is_hidden ? "si" : "no",
           t.has_command ? "si" : "no"});
    }
  }
  return f;
}

TEST(GuideExamples, EveryExampleParsesAndBehavesAsTheGuideSays) {
  std::istringstream guide(qh_test::read_file(QH_SOURCE_DIR "/GUIA_CREACION_HISTORIAS.md"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(guide, line);) lines.push_back(line);
  static const std::regex pair(R"re(([a-z_]+(?:\[[^\]]*\])?)=(?:'((?:[^'\\]|\\.)*)'|(\S*)))re");
  static Story story;  // 7 MB: never on the stack; every example reuses it, as the game does
  // The expected facts, one row per example in the guide's order, named by the example's first
  // section header; the fact lines under it are joined. Other '#' lines are comments.
  std::vector<std::pair<std::string, std::string>> rows;
  std::istringstream table(qh_test::read_file(QH_TEST_DATA_DIR "/guide_examples.txt"));
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || (line[0] == '#' && line.rfind("## ", 0) != 0)) continue;
    if (line.rfind("## ", 0) == 0 || rows.empty()) rows.emplace_back(line, "");  // a new row
    if (line != rows.back().first) rows.back().second += " " + line;
  }
  std::size_t examples = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("```historia") == std::string::npos) continue;
    SCOPED_TRACE("example at line " + std::to_string(i + 1));
    ASSERT_EQ(lines[i], "```historia");  // a malformed fence fails here
    std::string text, header;            // a whole story an author can copy, its first section
    for (++i; i < lines.size() && lines[i] != "```"; ++i) {
      if (header.empty() && lines[i].rfind("## ", 0) == 0) header = lines[i];
      text += lines[i] + "\n";
    }
    ASSERT_LT(i, lines.size()) << "no closing fence";
    ASSERT_LT(examples, rows.size()) << "more examples in the guide than in the table";
    const auto& [first_header, expects] = rows[examples++];
    ASSERT_EQ(header, first_header) << "the guide and the table are out of step";
    EXPECT_EQ(std::regex_replace(expects, pair, "").find_first_not_of(' '), std::string::npos)
        << "only key=value facts";
    EXPECT_TRUE(story_parser_load_string(story, text.c_str(), "ejemplo"));
    const Facts facts = facts_of(story);
    for (std::sregex_iterator m(expects.begin(), expects.end(), pair), end; m != end; ++m) {
      // One of the two values is empty; only a quoted one holds escapes.
      const std::string raw = (*m)[2].str() + (*m)[3].str();
      std::string want;
      for (std::size_t k = 0; k < raw.size(); ++k)
        want += raw[k] != '\\' ? raw[k] : raw[++k] == 'n' ? '\n' : raw[k];
      auto got = facts.find((*m)[1]);
      EXPECT_EQ(got == facts.end() ? "(no such key)" : got->second, want) << (*m)[1];
    }
  }
  EXPECT_EQ(examples, rows.size()) << "more rows in the table than examples in the guide";
}

}  // namespace
