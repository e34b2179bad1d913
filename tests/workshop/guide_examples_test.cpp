// The story-writing guide promises that its examples behave as described.
// Every ```historia block is parsed, and the "<!-- espera: ... -->" line that
// follows it lists what the parse must give: key=value pairs, a value in
// double quotes when it holds spaces (\" \\ and \n escapes inside).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

struct Example {
  int line = 0;         // line of the opening fence in the guide
  std::string text;     // the story between the fences
  std::string expects;  // the content of the comment after it
};

std::vector<Example> guide_examples(const std::string& guide) {
  std::vector<Example> examples;
  const std::string open = "```historia\n";
  std::size_t pos = 0;
  while ((pos = guide.find(open, pos)) != std::string::npos) {
    if (pos != 0 && guide[pos - 1] != '\n') {
      pos += open.size();
      continue;
    }
    Example ex;
    ex.line = 1 + static_cast<int>(std::count(guide.begin(), guide.begin() + static_cast<long>(pos), '\n'));
    std::size_t body = pos + open.size();
    std::size_t close = guide.find("\n```", body - 1);
    if (close == std::string::npos) {
      ex.text = guide.substr(body);
      examples.push_back(ex);
      break;
    }
    ex.text = guide.substr(body, close + 1 - body);
    std::size_t after = guide.find('\n', close + 1);
    after = after == std::string::npos ? guide.size() : after + 1;
    const std::string marker = "<!-- espera:";
    if (guide.compare(after, marker.size(), marker) == 0) {
      std::size_t end = guide.find("-->", after);
      ex.expects = guide.substr(after + marker.size(), end == std::string::npos ? std::string::npos : end - after - marker.size());
    }
    examples.push_back(ex);
    pos = close + 4;
  }
  return examples;
}

struct Expectation {
  std::string key;  // e.g. "destino"
  std::string arg;  // e.g. "1.2", empty without brackets
  std::string value;
};

// Splits the expectation text; returns false on a token it cannot read.
bool parse_expectations(std::string_view text, std::vector<Expectation>& out, std::string& error) {
  std::size_t i = 0;
  auto blank = [&](std::size_t k) { return text[k] == ' ' || text[k] == '\n' || text[k] == '\t'; };
  while (true) {
    while (i < text.size() && blank(i)) ++i;
    if (i >= text.size()) return true;
    Expectation e;
    std::size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) {
      error = "no '=' in " + std::string(text.substr(i));
      return false;
    }
    std::string_view name = text.substr(i, eq - i);
    std::size_t bracket = name.find('[');
    if (bracket != std::string_view::npos) {
      if (name.back() != ']') {
        error = "bad key " + std::string(name);
        return false;
      }
      e.arg = std::string(name.substr(bracket + 1, name.size() - bracket - 2));
      name = name.substr(0, bracket);
    }
    e.key = std::string(name);
    i = eq + 1;
    if (i < text.size() && text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
          ++i;
          e.value.push_back(text[i] == 'n' ? '\n' : text[i]);
        } else {
          e.value.push_back(text[i]);
        }
      }
      if (i >= text.size()) {
        error = "unclosed quote after " + e.key;
        return false;
      }
      ++i;
    } else {
      while (i < text.size() && !blank(i)) e.value.push_back(text[i++]);
    }
    out.push_back(e);
  }
}

std::string yes_no(bool b) { return b ? "si" : "no"; }

class GuideExamples : public ::testing::Test {
 protected:
  void SetUp() override { story_ = static_cast<Story*>(std::calloc(1, sizeof(Story))); }
  void TearDown() override { std::free(story_); }

  const StorySection* section(const std::string& id) { return story_get_section(*story_, id); }

  // "3.2" is the second option of section "3"; the last dot splits.
  const StoryTransition* option(const std::string& arg) {
    std::size_t dot = arg.rfind('.');
    if (dot == std::string::npos) return nullptr;
    const StorySection* s = section(arg.substr(0, dot));
    int k = std::atoi(arg.c_str() + dot + 1);
    if (s == nullptr || k < 1 || k > s->transition_count) return nullptr;
    return &s->transitions[k - 1];
  }

  // The value the guide talks about, or an error text starting with "?".
  std::string actual(const Expectation& e) {
    const std::string& a = e.arg;
    const Story& st = *story_;
    auto nth = [&](int count) { int k = std::atoi(a.c_str()); return (k >= 1 && k <= count) ? k - 1 : -1; };
    if (e.key == "secciones") return std::to_string(st.section_count);
    if (e.key == "titulo") return std::string(st.title.view());
    if (e.key == "autor") return std::string(st.author.view());
    if (e.key == "descripcion") return std::string(st.description.view());
    if (e.key == "hp") return std::to_string(st.hp);
    if (e.key == "inicio") return std::string(st.start.view());
    if (e.key == "stats") return std::to_string(st.stat_count);
    if (e.key == "objetos") return std::to_string(st.item_count);
    if (e.key == "lore") return std::to_string(st.lore_count);
    if (e.key == "musica_explorar") return std::string(st.music_explore.view());
    if (e.key == "musica_combate") return std::string(st.music_combat.view());
    if (e.key == "musica_victoria") return std::string(st.music_victory.view());
    if (e.key == "stat") {
      for (int i = 0; i < st.stat_count; ++i)
        if (st.stats[i].name == a) return std::to_string(st.stats[i].value);
      return "?no stat " + a;
    }
    if (e.key == "stat_nombre") {
      int k = nth(st.stat_count);
      return k < 0 ? "?no stat #" + a : std::string(st.stats[k].name.view());
    }
    if (e.key == "objeto") {
      int k = nth(st.item_count);
      return k < 0 ? "?no item #" + a : std::string(st.items[k].view());
    }
    if (e.key == "lore_nombre" || e.key == "lore_seccion" || e.key == "lore_texto") {
      int k = nth(st.lore_count);
      if (k < 0) return "?no lore #" + a;
      const LoreEntry& l = st.lore[k];
      return std::string(e.key == "lore_nombre" ? l.name.view() : e.key == "lore_seccion" ? l.section_id.view() : l.text.view());
    }
    if (e.key == "id") {
      int k = nth(st.section_count);
      return k < 0 ? "?no section #" + a : std::string(st.sections[k].id.view());
    }
    static const char* const kSectionKeys[] = {"titulo_seccion", "texto", "historia", "opciones", "final",
                                               "dano", "musica", "arte", "hallazgos"};
    for (const char* key : kSectionKeys) {
      if (e.key != key) continue;
      const StorySection* s = section(a);
      if (s == nullptr) return "?no section " + a;
      if (e.key == "titulo_seccion") return std::string(s->title.view());
      if (e.key == "texto") return std::string(s->text.view());
      if (e.key == "historia") return std::string(s->lore_text.view());
      if (e.key == "opciones") return std::to_string(s->transition_count);
      if (e.key == "final") return s->is_ending ? std::string(s->ending_type.view()) : "no";
      if (e.key == "dano") return std::to_string(s->damage);
      if (e.key == "musica") return std::string(s->music.view());
      if (e.key == "arte") return std::string(s->art.view());
      std::string joined;
      for (int i = 0; i < s->item_count; ++i) joined += (i ? "|" : "") + std::string(s->items[i].view());
      return joined;
    }
    static const char* const kOptionKeys[] = {"destino", "fallo", "prueba", "danofallo", "requiere", "obtiene",
                                              "etiqueta", "comando", "oculta", "terminal"};
    for (const char* key : kOptionKeys) {
      if (e.key != key) continue;
      const StoryTransition* t = option(a);
      if (t == nullptr) return "?no option " + a;
      if (e.key == "destino") return std::string(t->target.view());
      if (e.key == "fallo") return std::string(t->fail_target.view());
      if (e.key == "prueba") return std::string(t->check_stat.view()) + "/" + std::to_string(t->check_dc);
      if (e.key == "danofallo") return std::to_string(t->fail_damage);
      if (e.key == "requiere") return std::string(t->required_item.view());
      if (e.key == "obtiene") return std::string(t->gain_item.view());
      if (e.key == "etiqueta") return std::string(t->label.view());
      if (e.key == "comando") return std::string(t->command.view());
      if (e.key == "oculta") return yes_no(t->is_hidden);
      return yes_no(t->has_command);
    }
    return "?unknown key " + e.key;
  }

  Story* story_ = nullptr;
};

TEST_F(GuideExamples, EveryExampleParsesAndBehavesAsTheGuideSays) {
  std::string guide = qh_test::read_file(std::string(QH_SOURCE_DIR) + "/GUIA_CREACION_HISTORIAS.md");
  ASSERT_FALSE(guide.empty());
  std::vector<Example> examples = guide_examples(guide);
  ASSERT_GE(examples.size(), 10u);

  int checked = 0;
  for (const Example& ex : examples) {
    SCOPED_TRACE("example at line " + std::to_string(ex.line));
    // Examples are whole stories an author can copy: front matter and sections.
    EXPECT_EQ(ex.text.rfind("---\n", 0), 0u);
    EXPECT_NE(ex.text.find("\n## "), std::string::npos);
    ASSERT_FALSE(ex.expects.empty()) << "no <!-- espera: --> line right after the example";

    std::vector<Expectation> expectations;
    std::string error;
    ASSERT_TRUE(parse_expectations(ex.expects, expectations, error)) << error;
    ASSERT_FALSE(expectations.empty());

    std::memset(static_cast<void*>(story_), 0, sizeof(Story));
    EXPECT_TRUE(story_parser_load_string(*story_, ex.text.c_str(), "ejemplo"));
    for (const Expectation& e : expectations) {
      std::string got = actual(e);
      EXPECT_EQ(got, e.value) << e.key << (e.arg.empty() ? "" : "[" + e.arg + "]");
      ++checked;
    }
  }
  EXPECT_GE(checked, 100);
}

TEST(GuideExamplesHarness, ReadsBlocksAndExpectationsAsWritten) {
  std::string guide =
      "texto\n```historia\n---\ntitle: A\n---\n## [1] Uno\n```\n"
      "<!-- espera: secciones=1 texto[1]=\"dos\\npalabras \\\"entre\\\" comillas\" destino[a.b.2]=x -->\n"
      "```text\nno es un ejemplo\n```\n"
      "```historia\n---\n---\n## 2\n```\nsin comprobación\n";
  std::vector<Example> examples = guide_examples(guide);
  ASSERT_EQ(examples.size(), 2u);
  EXPECT_EQ(examples[0].line, 2);
  EXPECT_EQ(examples[0].text, "---\ntitle: A\n---\n## [1] Uno\n");
  EXPECT_EQ(examples[1].text, "---\n---\n## 2\n");
  EXPECT_TRUE(examples[1].expects.empty());

  std::vector<Expectation> e;
  std::string error;
  ASSERT_TRUE(parse_expectations(examples[0].expects, e, error)) << error;
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].key, "secciones");
  EXPECT_EQ(e[0].value, "1");
  EXPECT_EQ(e[1].arg, "1");
  EXPECT_EQ(e[1].value, "dos\npalabras \"entre\" comillas");
  EXPECT_EQ(e[2].arg, "a.b.2");

  e.clear();
  EXPECT_FALSE(parse_expectations(" texto[1]=\"sin cierre", e, error));
  EXPECT_FALSE(parse_expectations(" suelto", e, error));
}

}  // namespace
