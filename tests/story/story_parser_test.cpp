#include "story/story_parser.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// The story the creator's wizard writes for a new adventure.
const std::string& workshop_template() {
  static const std::string text = qh_test::read_file(QH_TEST_DATA_DIR "/workshop_template.md");
  return text;
}

// A literal with its embedded NUL bytes.
template <std::size_t N>
std::string bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

std::string with_crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class StoryParser : public ::testing::Test {
 protected:
  void SetUp() override { story_ = static_cast<Story*>(std::calloc(1, sizeof(Story))); }
  void TearDown() override { std::free(story_); }

  bool parse(const std::string& text, const char* default_title = "Defecto") {
    return story_parser_load_string(*story_, text.c_str(), default_title);
  }
  // Parses a body under one section "1" and returns that section.
  const StorySection& section_of(const std::string& body) {
    EXPECT_TRUE(parse("## 1 Prueba\n" + body));
    return story_->sections[0];
  }
  Story& story() { return *story_; }

 private:
  Story* story_ = nullptr;
};

}  // namespace

TEST_F(StoryParser, WorkshopTemplateFieldByField) {
  ASSERT_TRUE(parse(workshop_template()));
  const Story& s = story();
  EXPECT_EQ(s.title.view(), "La Cripta del Rey");
  EXPECT_EQ(s.author.view(), "Aventurero Anónimo");
  EXPECT_EQ(s.description.view(), "Una aventura creada con el Taller del Creador de Quillhaven.");
  EXPECT_EQ(s.hp, 12);
  EXPECT_EQ(s.start.view(), "1");
  ASSERT_EQ(s.item_count, 2);
  EXPECT_EQ(s.items[0].view(), "Antorcha");
  EXPECT_EQ(s.items[1].view(), "Daga");
  ASSERT_EQ(s.stat_count, 4);
  EXPECT_EQ(s.stats[0].name.view(), "Físico");
  EXPECT_EQ(s.stats[0].value, 2);
  EXPECT_EQ(s.stats[3].name.view(), "Presencia");
  EXPECT_EQ(s.stats[3].value, 0);
  EXPECT_EQ(std::string(s.music_explore.view()) + s.music_combat.c_str() + s.music_victory.c_str(),
            "dungeoncombatvictory");
  ASSERT_EQ(s.lore_count, 1);
  EXPECT_EQ(s.lore[0].name.view(), "El Origen");
  EXPECT_EQ(s.lore[0].section_id.view(), "0");
  EXPECT_EQ(s.lore[0].text.view(),
            "Cuentan las leyendas que este enclave fue abandonado tras la gran convergencia.");

  struct {
    const char* id;
    const char* title;
    int options;
    const char* ending;
    const char* music;
  } sections[] = {
      {"1", "El Comienzo del Sendero", 2, "", ""},
      {"2", "La Cámara Central", 2, "", ""},
      {"3", "La Grieta Secreta", 2, "", ""},
      {"4", "El Núcleo del Santuario", 2, "", "combat"},
      {"5", "Victoria Legendaria", 0, "victory", ""},
      {"6", "Caída en el Abismo", 0, "defeat", ""},
  };
  ASSERT_EQ(s.section_count, 6);
  for (int i = 0; i < 6; ++i) {
    const StorySection& sec = s.sections[i];
    EXPECT_EQ(sec.id.view(), sections[i].id);
    EXPECT_EQ(sec.title.view(), sections[i].title);
    EXPECT_EQ(sec.transition_count, sections[i].options) << i;
    EXPECT_EQ(sec.is_ending, sections[i].ending[0] != '\0') << i;
    EXPECT_EQ(sec.ending_type.view(), sections[i].ending) << i;
    EXPECT_EQ(sec.music.view(), sections[i].music) << i;
    EXPECT_TRUE(sec.item_count == 0 && sec.damage == 0 && sec.lore_text.empty()) << i;
  }
  EXPECT_EQ(s.sections[3].text.view(),
            "Un guardián milenario despierta al cruzar el umbral. ¡Desenvaina tu arma!");

  // Every option: target, check, failure, requirement, pick-up, label.
  struct {
    int section, option;
    const char *target, *stat;
    int dc;
    const char *fail, *required, *gain, *label;
  } options[] = {
      {0, 0, "2", "", 0, "", "", "Llave de Cobre", "Avanzar hacia la cámara principal"},
      {0, 1, "3", "Sigilo", 7, "2", "", "", "Rodear el perímetro buscando una entrada oculta"},
      {1, 0, "4", "", 0, "", "Llave de Cobre", "", "Abrir la cerradura de cobre con tu llave"},
      {1, 1, "4", "Físico", 8, "3", "", "", "Forzar los goznes de la puerta"},
      {2, 0, "4", "", 0, "", "", "Poción Sagrada",
       "Recoger el contenido del cofre y correr a la puerta"},
      {2, 1, "1", "", 0, "", "", "", "Regresar al umbral"},
      {3, 0, "5", "Físico", 8, "6", "", "", "Combatir al guardián cara a cara"},
      {3, 1, "5", "Ingenio", 7, "6", "", "", "Utilizar el entorno para atrapar al guardián"},
  };
  const int fail_damage[] = {0, 2, 0, 3, 0, 0, 4, 3};
  for (int i = 0; i < 8; ++i) {
    const auto& o = options[i];
    const StoryTransition& t = s.sections[o.section].transitions[o.option];
    EXPECT_EQ(t.target.view(), o.target) << i;
    EXPECT_EQ(t.check_stat.view(), o.stat) << i;
    EXPECT_EQ(t.check_dc, o.dc) << i;
    EXPECT_EQ(t.fail_target.view(), o.fail) << i;
    EXPECT_EQ(t.fail_damage, fail_damage[i]) << i;
    EXPECT_EQ(t.required_item.view(), o.required) << i;
    EXPECT_EQ(t.gain_item.view(), o.gain) << i;
    EXPECT_EQ(t.label.view(), o.label) << i;
    EXPECT_FALSE(t.has_command) << i;
  }
  EXPECT_EQ(story_get_section(s, "4"), &s.sections[3]);
  EXPECT_EQ(story_get_section(s, "7"), nullptr);
}

TEST_F(StoryParser, CrlfLinesParseLikeLineFeeds) {
  ASSERT_TRUE(parse(workshop_template()));
  Story* lf = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  std::memcpy(lf, &story(), sizeof(Story));
  std::memset(&story(), 0, sizeof(Story));
  ASSERT_TRUE(parse(with_crlf(workshop_template())));
  EXPECT_EQ(std::memcmp(lf, &story(), sizeof(Story)), 0);
  std::free(lf);
}

TEST_F(StoryParser, FrontMatterDetection) {
  // No closing marker: everything is body and the front-matter lines are ignored.
  EXPECT_TRUE(parse("---\ntitle: Perdido\nhp: 30\n## 1 Uno\ntexto\n"));
  EXPECT_EQ(story().title.view(), "Defecto");
  EXPECT_EQ(story().hp, 10);
  EXPECT_EQ(story().sections[0].text.view(), "texto");

  // "---" twice: the block runs on to the next "---" line, swallowing a header.
  EXPECT_TRUE(parse("---\n---\ntitle: Dentro\n## 1 Tragado\nxx\n---\n## 2 Real\nyy\n"));
  EXPECT_EQ(story().title.view(), "Dentro");
  ASSERT_EQ(story().section_count, 1);
  EXPECT_EQ(story().sections[0].id.view(), "2");

  // Leading blank lines before the marker; dashes and blank lines after the close.
  EXPECT_TRUE(parse("\n  \n---\r\n\r\ntitle: 'Con Comillas'\n-----\n---\n\n## 1\n"));
  EXPECT_EQ(story().title.view(), "Con Comillas");
  EXPECT_EQ(story().sections[0].id.view(), "1");
  EXPECT_TRUE(story().sections[0].title.empty());

  // Front matter but no header: filled all the same, reported as unplayable.
  EXPECT_FALSE(parse("---\ntitle: Sin Secciones\nauthor: Ana\n---\nSolo texto.\n"));
  EXPECT_EQ(story().title.view(), "Sin Secciones");
  EXPECT_EQ(story().author.view(), "Ana");
  EXPECT_EQ(story().section_count, 0);
}

TEST_F(StoryParser, FrontMatterEntries) {
  struct Case {
    const char* front;
    const char* title;
    int hp;
    const char* start;
  } cases[] = {
      {"title: \"\"\n", "Defecto", 10, "1"},
      {"title:\nhp: abc\n", "Defecto", 0, "1"},
      {"TITLE: \"Mayúsculas'\nHp: +15\nStart: \"intro\"\n", "\"Mayúsculas'", 15, "intro"},
      {"hp: 99999999999\n", "Defecto", INT_MAX, "1"},
      {"hp: -99999999999\n", "Defecto", INT_MIN, "1"},
      {"start: 0123456789012345678901234567890123456789\n", "Defecto", 10,
       "0123456789012345678901234567890"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(parse(std::string("---\n") + c.front + "---\n## 1\n")) << c.front;
    EXPECT_EQ(story().title.view(), c.title) << c.front;
    EXPECT_EQ(story().hp, c.hp) << c.front;
    EXPECT_EQ(story().start.view(), c.start) << c.front;
  }

  // Blocks: items need indentation and a dash, stats a colon, music a known name.
  ASSERT_TRUE(
      parse("---\n"
            "items:\n"
            "  - \"Antorcha\"\n"
            "- Cuerda\n"
            "\t-   'Pan duro'  \n"
            "  - \"\"\n"
            "  Escudo\n"
            "stats:\n"
            "  Fuerza: 3\n"
            "  fuerza: \"4\"\n"
            "  Magia 2\n"
            "Agilidad: 5\n"
            "  Suerte: 9\n"
            "Music:\n"
            "  Explore: 'cueva'\n"
            "  COMBAT: \"duelo\"\n"
            "  boss: jefe\n"
            "---\n"
            "## 1\n"));
  const Story& s = story();
  ASSERT_EQ(s.item_count, 2);
  EXPECT_EQ(s.items[0].view(), "Antorcha");
  EXPECT_EQ(s.items[1].view(), "Pan duro");
  ASSERT_EQ(s.stat_count, 2);  // "Agilidad" ends the stats block
  EXPECT_EQ(s.stats[0].name.view(), "Fuerza");
  EXPECT_EQ(s.stats[0].value, 3);
  EXPECT_EQ(s.stats[1].name.view(), "fuerza");
  EXPECT_EQ(s.stats[1].value, 0);  // quotes are kept in stat values
  EXPECT_EQ(s.music_explore.view(), "cueva");
  EXPECT_EQ(s.music_combat.view(), "duelo");
  EXPECT_EQ(s.music_victory.view(), "victory");
}

TEST_F(StoryParser, SectionHeaders) {
  ASSERT_TRUE(
      parse("antes del primer encabezado\n"
            "## [ \n"
            "## [1] El Comienzo del Sendero\n"
            "uno\n"
            "## Palabra\n"
            "## [sin cierre\n"
            "sigue en Palabra\n"
            "##[3] No es encabezado\n"
            "### Otro nivel\n"
            "## [ ] vacío\n"
            "## [ abc  ]   Título   con espacios  \n"
            "##\tTabulado\n"
            "## " +
            std::string(40, 'w') +
            " resto\n"
            "## [1] Duplicado\n"));
  struct Expected {
    const char* id;
    const char* title;
  } expected[] = {
      {"1", "El Comienzo del Sendero"},
      {"Palabra", ""},
      {"abc", "Título   con espacios"},
      {"wwwwwwwwwwwwwwwwwwwwwwwwwwwwwww", "wwwwwwwww resto"},
      {"1", "Duplicado"},
  };
  ASSERT_EQ(story().section_count, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(story().sections[i].id.view(), expected[i].id);
    EXPECT_EQ(story().sections[i].title.view(), expected[i].title);
  }
  EXPECT_EQ(story().sections[0].text.view(), "uno");
  EXPECT_EQ(story().sections[1].text.view(),
            "sigue en Palabra\n\n##[3] No es encabezado\n\n### Otro nivel");
  EXPECT_EQ(story().sections[2].text.view(), "##\tTabulado");
  EXPECT_EQ(story_get_section(story(), "1"), &story().sections[0]);  // the first one wins
  EXPECT_EQ(story_get_section(story(), "palabra"), nullptr);
  EXPECT_EQ(story_get_section(story(), ""), nullptr);
}

TEST_F(StoryParser, TagLines) {
  const StorySection& s = section_of(
      "[Art: Calavera]\n"
      "> [Arte: Torre ]\n"
      "[Cinemática: Intro\n"
      "[Musica: cueva]\n"
      "> [Música: jefe]\n"
      "[Obtener: Espada]\n"
      "[Item:  Escudo  ] con texto detrás\n"
      "[Obtener: sin cierre\n"
      "[Daño: 3]\n"
      "> [Dañar: -2 puntos\n"
      "[Dano: 5]\n"
      "[Musica]\n"
      ">[Art: pegado]\n"
      "texto\n");
  EXPECT_EQ(s.art.view(), "Torre");
  EXPECT_EQ(s.music.view(), "jefe");
  ASSERT_EQ(s.item_count, 2);
  EXPECT_EQ(s.items[0].view(), "Espada");
  EXPECT_EQ(s.items[1].view(), "Escudo");
  EXPECT_EQ(s.damage, -2);
  EXPECT_FALSE(s.is_ending);
  // Only lines that are not tags reach the text (no accent, no colon, no space after ">").
  EXPECT_EQ(s.text.view(), "[Dano: 5]\n\n[Musica]\n\n>[Art: pegado]\n\ntexto");
}

TEST_F(StoryParser, EndingsByTagAndByWording) {
  struct Case {
    const char* body;
    const char* ending;
  } cases[] = {
      {"[Final: Victoria]", "victory"},
      {"> [Final: Derrota]", "defeat"},
      {"[Fin: Muerte heroica]", "defeat"},
      {"[Fin: Epílogo]", "neutral"},
      {"[Final: VICTORIA]", "victory"},
      {"[Final: Derrota]\n[Final: Victoria pírrica]", "victory"},  // the last tag wins
      {"[Final: Derrota]\n- [-> 1] Otra vez", "defeat"},           // a tag ends even with options
      {"[Final: neutral]\nHas muerto.", "neutral"},                // wording never overrides a tag
      {"Al fin HAS VENCIDO al dragón.", "victory"},
      {"Escapas por la ventana.", "victory"},
      {"La victoria parecía cerca, pero caes sobre las rocas.", "defeat"},
      {"Es el fin de tu viaje.", "defeat"},
      {"Has muerto.\n- [-> 1] Volver", ""},  // a section with options is no ending
      {"[Final]\nUn pasillo sin salida.", ""},
      {"Nada por aquí.", ""},
  };
  for (const auto& c : cases) {
    const StorySection& s = section_of(std::string(c.body) + "\n");
    EXPECT_EQ(s.is_ending, c.ending[0] != '\0') << c.body;
    EXPECT_EQ(s.ending_type.view(), c.ending) << c.body;
  }

  // Only the first 1023 bytes of the text are read for wording.
  const StorySection& late = section_of(std::string(1020, 'a') + " has vencido\n");
  EXPECT_FALSE(late.is_ending);
}

TEST_F(StoryParser, LoreEntriesAndLoreHeadings) {
  ASSERT_TRUE(
      parse("---\ntitle: Saga\n---\n"
            "> [Lore: El Origen]   Hubo una vez.  \n"
            "> [Lore] Sin nombre.\n"
            "> [Lore sin cierre: nada\n"
            "## [3] Torre Alta\n"
            "> [Lore: Torre] La torre cayó.\n"
            "> [Lore]: Nombre tras el corchete.\n"
            "Antes.\n"
            "### Lore de la torre\n"
            "Primera línea.\n"
            "[Musica: viento]\n"
            "> [Lore: Eco] Resuena.\n"
            "Segunda línea.\n"
            "- [-> 4] Subir\n"
            "Después.\n"
            "### Historia\n"
            "Tercera.\n"
            "- sin opción\n"
            "Cuarta va al texto.\n"
            "### Historia\n"
            "Quinta.\n"
            "## 4\n"
            "Sexta va al texto.\n"));
  const Story& s = story();
  struct Expected {
    const char* name;
    const char* text;
    const char* section;
  } lore[] = {
      {"El Origen", "Hubo una vez.", "0"},
      {"Saga", "Sin nombre.", "0"},
      {"Torre", "La torre cayó.", "3"},
      {"Torre Alta", ": Nombre tras el corchete.", "3"},
      {"Eco", "Resuena.", "3"},
  };
  ASSERT_EQ(s.lore_count, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(s.lore[i].name.view(), lore[i].name);
    EXPECT_EQ(s.lore[i].text.view(), lore[i].text);
    EXPECT_EQ(s.lore[i].section_id.view(), lore[i].section);
  }
  const StorySection& tower = s.sections[0];
  EXPECT_EQ(tower.lore_text.view(), "Primera línea. Segunda línea. Tercera. Quinta.");
  EXPECT_EQ(tower.text.view(), "Antes.\n\nDespués.\n\n- sin opción\n\nCuarta va al texto.");
  EXPECT_EQ(tower.music.view(), "viento");
  EXPECT_EQ(tower.transition_count, 1);
  EXPECT_EQ(s.sections[1].text.view(), "Sexta va al texto.");
  EXPECT_TRUE(s.sections[1].lore_text.empty());
}

// Every list at N-1, N and N+1 entries: the last one that fits is kept, the
// one past the capacity is dropped (a dropped header's lines go on to the
// last section).
TEST_F(StoryParser, ListsAtTheirCapacity) {
  for (int extra : {-1, 0, 1}) {
    auto n = [extra](int capacity) { return capacity + extra; };
    auto kept = [extra](int capacity) { return extra > 0 ? capacity : capacity + extra; };
    std::string text = "---\nitems:\n";
    for (int i = 0; i < n(STORY_MAX_ITEMS); ++i) text += "  - i" + std::to_string(i) + "\n";
    text += "stats:\n";
    for (int i = 0; i < n(STORY_MAX_STATS); ++i) text += "  s" + std::to_string(i) + ": 1\n";
    text += "---\n";
    for (int i = 0; i < n(STORY_MAX_LORE); ++i) text += "> [Lore: L" + std::to_string(i) + "] x\n";
    for (int i = 1; i <= n(STORY_MAX_SECTIONS); ++i) text += "## " + std::to_string(i) + "\n";
    text += "tras el último\n";
    for (int i = 0; i < n(SECTION_MAX_ITEMS); ++i) text += "[Item: c" + std::to_string(i) + "]\n";
    ASSERT_TRUE(parse(text)) << extra;

    const Story& s = story();
    ASSERT_EQ(s.item_count, kept(STORY_MAX_ITEMS)) << extra;
    EXPECT_EQ(s.items[s.item_count - 1].view(), "i" + std::to_string(s.item_count - 1));
    ASSERT_EQ(s.stat_count, kept(STORY_MAX_STATS)) << extra;
    EXPECT_EQ(s.stats[s.stat_count - 1].name.view(), "s" + std::to_string(s.stat_count - 1));
    ASSERT_EQ(s.lore_count, kept(STORY_MAX_LORE)) << extra;
    EXPECT_EQ(s.lore[s.lore_count - 1].name.view(), "L" + std::to_string(s.lore_count - 1));
    ASSERT_EQ(s.section_count, kept(STORY_MAX_SECTIONS)) << extra;
    const StorySection& last = s.sections[s.section_count - 1];
    EXPECT_EQ(last.id.view(), std::to_string(s.section_count));
    EXPECT_EQ(last.text.view(), "tras el último");
    ASSERT_EQ(last.item_count, kept(SECTION_MAX_ITEMS)) << extra;
    EXPECT_EQ(last.items[last.item_count - 1].view(), "c" + std::to_string(last.item_count - 1));
  }
}

TEST_F(StoryParser, OptionsInSections) {
  std::string body = "- Sin corchetes\n* [-> 2] Estrella\n- [Check: Vigor | DC: 3]\n";
  for (int i = 3; i <= 33; ++i) body += "- [-> " + std::to_string(i) + "] Ir\n";
  const StorySection& s = section_of(body);
  ASSERT_EQ(s.transition_count, SECTION_MAX_TRANSITIONS);
  EXPECT_EQ(s.transitions[0].target.view(), "2");
  EXPECT_EQ(s.transitions[1].label.view(), "Probar Vigor (Dificultad 3)");
  EXPECT_EQ(s.transitions[31].target.view(), "32");
  // A rejected bullet and the 33rd option stay in the text with their dash.
  EXPECT_EQ(s.text.view(), "- Sin corchetes\n\n- [-> 33] Ir");
}

TEST_F(StoryParser, LongLinesAndFullTexts) {
  std::string longline(3000, 'x');
  longline[2046] = 'y';
  longline[2047] = 'z';
  const StorySection& s = section_of(longline + "\nsiguiente\n");
  EXPECT_EQ(s.text.view(), std::string(2046, 'x') + "y\n\nsiguiente");

  // The separator counts toward the capacity: a text one byte short of full
  // takes half of it and nothing of the next line.
  std::string a(2047, 'a');
  const StorySection& full =
      section_of(a + "\n" + a + "\n" + a + "\n" + std::string(2043, 'b') + "\nzz\n");
  EXPECT_EQ(full.text.size(), 8191u);
  EXPECT_EQ(full.text.view().substr(8186), "bbbb\n");
}

TEST_F(StoryParser, ControlBytesNeverReachTheStory) {
  ASSERT_TRUE(
      parse("\x01---\n"
            "title: Ro\x1b[31mjo\x07\n"
            "\x7f---\n"
            "## [1\x08] Entrada\x1b\n"
            "Tex\x1b[2Jto\tcon\x0e tab\x1f\n"
            "-\x02 [->\x03 2] Ir\x7f\n"
            "\x1b\n"
            "[Fi\x05nal: Derrota]\n",
            "Def\x1b"
            "ault"));
  const Story& s = story();
  EXPECT_EQ(s.title.view(), "Ro[31mjo");
  const StorySection& sec = s.sections[0];
  EXPECT_EQ(sec.id.view(), "1");
  EXPECT_EQ(sec.title.view(), "Entrada");
  EXPECT_EQ(sec.text.view(), "Tex[2Jto\tcon tab");
  ASSERT_EQ(sec.transition_count, 1);
  EXPECT_EQ(sec.transitions[0].target.view(), "2");
  EXPECT_EQ(sec.transitions[0].label.view(), "Ir");
  EXPECT_EQ(sec.ending_type.view(), "defeat");

  EXPECT_TRUE(parse("## 1\nfin", "Def\x1b[0mault\x07"));
  EXPECT_EQ(story().title.view(), "Def[0mault");
}

TEST_F(StoryParser, ReusedRecordKeepsNothingFromTheLastStory) {
  ASSERT_TRUE(parse(workshop_template()));
  ASSERT_TRUE(parse("## 9 Solo\ntexto\n", nullptr));
  const Story& s = story();
  EXPECT_TRUE(s.title.empty());
  EXPECT_TRUE(s.author.empty());
  EXPECT_EQ(s.item_count, 0);
  EXPECT_EQ(s.stat_count, 0);
  EXPECT_EQ(s.lore_count, 0);
  EXPECT_EQ(s.hp, 10);
  ASSERT_EQ(s.section_count, 1);
  const StorySection& sec = s.sections[0];
  EXPECT_EQ(sec.id.view(), "9");
  EXPECT_EQ(sec.text.view(), "texto");
  EXPECT_EQ(sec.transition_count, 0);
  EXPECT_FALSE(sec.is_ending);
  EXPECT_TRUE(sec.music.empty());
  // The slot is cleared as it is appended: no bytes of the earlier section remain.
  const char* raw = reinterpret_cast<const char*>(&sec);
  EXPECT_EQ(std::memchr(raw + offsetof(StorySection, transitions), 'A', sizeof sec.transitions),
            nullptr);

  // A null text leaves the story as it was.
  EXPECT_FALSE(story_parser_load_string(story(), nullptr, "x"));
  EXPECT_EQ(story().sections[0].id.view(), "9");
}

TEST_F(StoryParser, ShortStoryTouchesLittleOfTheRecord) {
  // A fresh anonymous mapping: only pages the parser writes become resident.
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t length = (sizeof(Story) + page - 1) / page * page;
  void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  madvise(map, length, MADV_NOHUGEPAGE);  // count small pages only
  std::string text = workshop_template();
  for (int i = 7; i <= 12; ++i) {
    text += "## " + std::to_string(i) + "\nUn pasillo más.\n- [-> 1] Volver\n";
  }
  ASSERT_TRUE(story_parser_load_string(*static_cast<Story*>(map), text.c_str(), "x"));
  EXPECT_EQ(static_cast<Story*>(map)->section_count, 12);
  std::vector<unsigned char> resident(length / page);
  ASSERT_EQ(mincore(map, length, resident.data()), 0);
  std::size_t touched = 0;
  for (unsigned char r : resident) touched += (r & 1) * page;
  EXPECT_LT(touched, 1024u * 1024u);
  munmap(map, length);
}

TEST_F(StoryParser, LoadFile) {
  qh_test::TempDir dir;
  qh_test::write_file(dir.file("La Cripta.md"), workshop_template());
  ASSERT_TRUE(story_parser_load_file(story(), dir.file("La Cripta.md").c_str()));
  EXPECT_EQ(story().section_count, 6);

  // The default title is the base name without its extension.
  struct Case {
    const char* name;
    const char* title;
  } cases[] = {{"El.Pozo.v2.md", "El.Pozo.v2"},
               {"sin_extension", "sin_extension"},
               {"a\\b\\Ruta Windows.txt", "Ruta Windows"},
               {".oculto", ""}};
  for (const auto& c : cases) {
    qh_test::write_file(dir.file(c.name), "## 1\nx\n");
    ASSERT_TRUE(story_parser_load_file(story(), dir.file(c.name).c_str())) << c.name;
    EXPECT_EQ(story().title.view(), c.title);
  }

  // A NUL byte ends the text.
  qh_test::write_file(dir.file("nul.md"), bytes("## 1\nantes\0## 2\ndespués\n"));
  ASSERT_TRUE(story_parser_load_file(story(), dir.file("nul.md").c_str()));
  EXPECT_EQ(story().section_count, 1);
  EXPECT_EQ(story().sections[0].text.view(), "antes");
}

TEST_F(StoryParser, LoadFileRefusesWhatIsNotAReadableStory) {
  qh_test::TempDir dir;
  ASSERT_TRUE(parse("## guard\n"));
  qh_test::write_file(dir.file("vacio.md"), "");
  ASSERT_EQ(mkfifo(dir.file("tubo.md").c_str(), 0600), 0);
  // A sparse file one byte over the limit costs no disk space.
  std::string big = dir.file("enorme.md");
  qh_test::write_file(big, "");
  ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(STORY_MAX_FILE_BYTES) + 1), 0);
  qh_test::write_file(dir.file("limite.md"), "## ok\n");
  ASSERT_EQ(truncate(dir.file("limite.md").c_str(), static_cast<off_t>(STORY_MAX_FILE_BYTES)), 0);

  for (const std::string& path :
       {dir.file("no_existe.md"), dir.file("vacio.md"), dir.path(), dir.file("tubo.md"), big}) {
    EXPECT_FALSE(story_parser_load_file(story(), path.c_str())) << path;
    EXPECT_EQ(story().sections[0].id.view(), "guard") << path;
  }
  EXPECT_FALSE(story_parser_load_file(story(), nullptr));
  EXPECT_EQ(story().section_count, 1);
  // Exactly at the limit is read (the zero bytes after the header end the text).
  EXPECT_TRUE(story_parser_load_file(story(), dir.file("limite.md").c_str()));
  EXPECT_EQ(story().sections[0].id.view(), "ok");
}
