#include "story/story_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "story_dump.h"
#include "support/test_support.h"

namespace {

const std::string kMusic = " | music=dungeon/combat/victory\n";
const std::string kFront = "title=Defecto | hp=10 | start=1" + kMusic;

class StoryParser : public story_test::StoryTest {
 protected:
  // The whole parse, with "(false) " in front when no section was read.
  std::string parsed(const std::string& text, const char* default_title = "Defecto") {
    bool ok = story_parser_load_string(story(), text.c_str(), default_title);
    return (ok ? "" : "(false) ") + story_test::dump(story());
  }
  std::string model() { return qh_test::read_file(QH_TEST_DATA_DIR "/workshop_template.md"); }
};

}  // namespace

TEST_F(StoryParser, WorkshopTemplateFieldByFieldAlsoWithCrlf) {
  const std::string text = model();
  ASSERT_TRUE(story_parser_load_string(story(), text.c_str(), "x"));
  EXPECT_EQ(story_test::dump(story(), false),
            "title=La Cripta del Rey | author=Aventurero Anónimo | description=Una aventura creada "
            "con el Taller del Creador de Quillhaven. | hp=12 | start=1 | items=Antorcha,Daga | "
            "stats=Físico:2,Ingenio:1,Sigilo:1,Presencia:0" + kMusic + "> 0 El Origen: Cuentan "
            "las leyendas que este enclave fue abandonado tras la gran convergencia.\n## [1] El "
            "Comienzo del Sendero\n- to=2 | label=Avanzar hacia la cámara principal | gain=Llave "
            "de Cobre\n- to=3 | label=Rodear el perímetro buscando una entrada oculta | "
            "check=Sigilo | dc=7 | fail=2 | damage=2\n## [2] La Cámara Central\n- to=4 | "
            "label=Abrir la cerradura de cobre con tu llave | need=Llave de Cobre\n- to=4 | "
            "label=Forzar los goznes de la puerta | check=Físico | dc=8 | fail=3 | damage=3\n"
            "## [3] La Grieta Secreta\n- to=4 | label=Recoger el contenido del cofre y correr a la "
            "puerta | gain=Poción Sagrada\n- to=1 | label=Regresar al umbral\n## [4] El Núcleo "
            "del Santuario | music=combat\n- to=5 | label=Combatir al guardián cara a cara | "
            "check=Físico | dc=8 | fail=6 | damage=4\n- to=5 | label=Utilizar el entorno para "
            "atrapar al guardián | check=Ingenio | dc=7 | fail=6 | damage=3\n## [5] Victoria "
            "Legendaria | ending=victory\n## [6] Caída en el Abismo | ending=defeat\n");
  std::string crlf;  // carriage returns before every line feed change nothing
  for (char c : text) crlf += c == '\n' ? "\r\n" : std::string(1, c);
  EXPECT_EQ(parsed(crlf), parsed(text));
}

TEST_F(StoryParser, FrontMatter) {
  // No closing marker: all is body. "---" twice: the block runs to the next "---" line.
  EXPECT_EQ(parsed("---\ntitle: Perdido\nhp: 30\n## 1 Uno\ntexto\n"),
            kFront + "## [1] Uno\ntext: texto\n");
  EXPECT_EQ(parsed("---\n---\ntitle: Dentro\n## 1 Tragado\nxx\n---\n## 2 Real\nyy\n"),
            "title=Dentro | hp=10 | start=1" + kMusic + "## [2] Real\ntext: yy\n");
  // Blank lines before the marker; line ends, dashes and blank lines after it.
  EXPECT_EQ(parsed("\n  \n---\r\n\r\ntitle: 'Con Comillas'\n-----\n---\n\n## 1\n"),
            "title=Con Comillas | hp=10 | start=1" + kMusic + "## [1] \n");
  EXPECT_EQ(parsed("---\ntitle: Sin Secciones\nauthor: Ana\n---\nSolo texto.\n"),
            "(false) title=Sin Secciones | author=Ana | hp=10 | start=1" + kMusic);

  const std::pair<const char*, std::string> entries[] = {
      {"title: \"\"\n", kFront},
      {"title:\nhp: abc\n", "title=Defecto | hp=0 | start=1" + kMusic},
      {"TITLE: \"M'\nHp: +15\nStart: \"intro\"\n", "title=\"M' | hp=15 | start=intro" + kMusic},
      {"hp: 99999999999\n", "title=Defecto | hp=2147483647 | start=1" + kMusic},
      // Items need an indented dash, stats a colon, music a known name; no indent ends a block.
      {"items:\n  - \"Antorcha\"\n- Cuerda\n\t-   'Pan duro'  \n  - \"\"\n  Escudo\nstats:\n"
       "  Fuerza: 3\n  fuerza: \"4\"\n  Magia 2\nAgilidad: 5\n  Suerte: 9\n"
       "Music:\n  Explore: 'cueva'\n  COMBAT: \"duelo\"\n  boss: jefe\n",
       "title=Defecto | hp=10 | start=1 | items=Antorcha,Pan duro | stats=Fuerza:3,fuerza:0 | "
       "music=cueva/duelo/victory\n"},
  };
  for (const auto& [front, expected] : entries) {
    EXPECT_EQ(parsed(std::string("---\n") + front + "---\n## 1\n"), expected + "## [1] \n");
  }
}

TEST_F(StoryParser, SectionHeadersAndTagLines) {
  parsed(model());  // a used record: nothing of the last story may show through
  EXPECT_EQ(parsed("antes del primer encabezado\n## [ \n## [1] El Comienzo del Sendero\nuno\n"
                   "## Palabra\n## [sin cierre\nsigue en Palabra\n##[3] No es encabezado\n"
                   "### Otro nivel\n## [ ] vacío\n## [ abc  ]   Título   con espacios  \n"
                   "##\tTabulado\n## " + std::string(40, 'w') + " resto\n## [1] Duplicado\n"),
            kFront + "## [1] El Comienzo del Sendero\ntext: uno\n## [Palabra] \n"
                     "text: sigue en Palabra\n\n##[3] No es encabezado\n\n### Otro nivel\n"
                     "## [abc] Título   con espacios\ntext: ##\tTabulado\n"
                     "## [" + std::string(31, 'w') + "] wwwwwwwww resto\n## [1] Duplicado\n");
  EXPECT_EQ(story_get_section(story(), "1"), &story().sections[0]);  // the first one wins

  // Prefixes match exactly, with or without "> "; a tag without "]" stores nothing; the last
  // art, music and damage win. Lines that are not tags reach the text.
  EXPECT_EQ(parsed("## 1 Prueba\n[Art: Calavera]\n> [Arte: Torre ]\n[Cinemática: Intro\n"
                   "[Musica: cueva]\n> [Música: jefe]\n[Obtener: Espada]\n"
                   "[Item:  Escudo  ] con texto detrás\n[Obtener: sin cierre\n[Daño: 3]\n"
                   "> [Dañar: -2 puntos\n[Dano: 5]\n[Musica]\n>[Art: pegado]\ntexto\n"),
            kFront + "## [1] Prueba | music=jefe | art=Torre | damage=-2 | items=Espada,Escudo\n"
                     "text: [Dano: 5]\n\n[Musica]\n\n>[Art: pegado]\n\ntexto\n");
}

TEST_F(StoryParser, EndingsByTagAndByWording) {
  const std::pair<std::string, const char*> cases[] = {
      {"[Final: Victoria]", "victory"}, {"> [Final: Derrota]", "defeat"},
      {"[Fin: Muerte heroica]", "defeat"}, {"[Fin: Epílogo]", "neutral"},
      {"[Final: Derrota]\n[Final: VICTORIA pírrica]", "victory"},  // the last tag wins
      {"[Final: Derrota]\n- [-> 1] Otra vez", "defeat"},           // a tag ends even with options
      {"[Final: neutral]\nHas muerto.", "neutral"},                // wording never overrides a tag
      {"Al fin HAS VENCIDO al dragón.", "victory"}, {"Escapas por la ventana.", "victory"},
      {"La victoria parecía cerca, pero caes sobre las rocas.", "defeat"},
      {"Es el fin de tu viaje.", "defeat"},
      {"Has muerto.\n- [-> 1] Volver", ""},  // a section with options is no ending
      {"[Final]\nUn pasillo sin salida.", ""},
      {std::string(1020, 'a') + " has vencido", ""},  // only the first 1023 bytes are read
  };
  for (const auto& [body, ending] : cases) {
    ASSERT_TRUE(story_parser_load_string(story(), ("## 1\n" + body + "\n").c_str(), "x"));
    EXPECT_EQ(story().sections[0].is_ending, ending[0] != '\0') << body;
    EXPECT_EQ(story().sections[0].ending_type.view(), ending) << body;
  }
}

TEST_F(StoryParser, LoreEntriesAndLoreHeadings) {
  EXPECT_EQ(parsed("---\ntitle: Saga\n---\n> [Lore: El Origen]   Hubo una vez.  \n"
                   "> [Lore] Sin nombre.\n> [Lore sin cierre: nada\n## [3] Torre Alta\n"
                   "> [Lore: Torre] La torre cayó.\n> [Lore]: Nombre tras el corchete.\nAntes.\n"
                   "### Lore de la torre\nPrimera línea.\n[Musica: viento]\n> [Lore: Eco] "
                   "Resuena.\nSegunda línea.\n- [-> 4] Subir\nDespués.\n### Historia\nTercera.\n"
                   "- sin opción\nCuarta va al texto.\n### Historia\nQuinta.\n## 4\nSexta.\n"),
            "title=Saga | hp=10 | start=1" + kMusic +
                "> 0 El Origen: Hubo una vez.\n> 0 Saga: Sin nombre.\n"
                "> 3 Torre: La torre cayó.\n> 3 Torre Alta: : Nombre tras el corchete.\n"
                "> 3 Eco: Resuena.\n## [3] Torre Alta | music=viento\n- to=4 | label=Subir\n"
                "text: Antes.\n\nDespués.\n\n- sin opción\n\nCuarta va al texto.\n"
                "lore: Primera línea. Segunda línea. Tercera. Quinta.\n## [4] \ntext: Sexta.\n");
}

// Every list at N-1, N and N+1 entries: the last one that fits is kept, the one past the
// capacity is dropped (a dropped header's or option's line goes on to the last section).
TEST_F(StoryParser, ListsAtTheirCapacity) {
  for (int extra : {-1, 0, 1}) {
    auto lines = [extra](int capacity, const std::string& head, const std::string& tail) {
      std::string out;
      for (int i = 0; i < capacity + extra; ++i) out += head + std::to_string(i) + tail + "\n";
      return out;
    };
    const std::string text =
        "---\nitems:\n" + lines(STORY_MAX_ITEMS, "  - i", "") + "stats:\n" +
        lines(STORY_MAX_STATS, "  s", ": 1") + "---\n" + lines(STORY_MAX_LORE, "> [Lore: L", "]") +
        lines(STORY_MAX_SECTIONS, "## s", "") + "tras el último\n" +
        lines(SECTION_MAX_ITEMS, "[Item: c", "]") + lines(SECTION_MAX_TRANSITIONS, "- [-> ", "]");
    ASSERT_TRUE(story_parser_load_string(story(), text.c_str(), "x")) << extra;
    const Story& s = story();
    const int kept = extra > 0 ? 0 : extra;
    const StorySection& last = s.sections[s.section_count - 1];
    auto name = [kept](char head, int n) { return head + std::to_string(n + kept - 1); };
    EXPECT_EQ(s.items[s.item_count - 1].view(), name('i', STORY_MAX_ITEMS));
    EXPECT_EQ(s.stats[s.stat_count - 1].name.view(), name('s', STORY_MAX_STATS));
    EXPECT_EQ(s.lore[s.lore_count - 1].name.view(), name('L', STORY_MAX_LORE));
    EXPECT_EQ(last.id.view(), name('s', STORY_MAX_SECTIONS));
    EXPECT_EQ(last.items[last.item_count - 1].view(), name('c', SECTION_MAX_ITEMS));
    EXPECT_EQ(last.transition_count, SECTION_MAX_TRANSITIONS + kept) << extra;
    EXPECT_EQ(last.text.view(), extra > 0 ? "tras el último\n\n- [-> 32]" : "tras el último");
  }
}

// Stories are shared: their bytes must never drive the terminal. Long lines are cut.
TEST_F(StoryParser, ControlBytesAndLongLines) {
  EXPECT_EQ(parsed("\x01---\ntitle: Ro\x1b[31mjo\x07\n\x7f---\n## [1\x08] Entrada\x1b\n"
                   "Tex\x1b[2Jto\tcon\x0e tab\x1f\n-\x02 [->\x03 2] Ir\x7f\n\x1b\n"
                   "[Fi\x05nal: Derrota]\n"),
            "title=Ro[31mjo | hp=10 | start=1" + kMusic +
                "## [1] Entrada | ending=defeat\n- to=2 | label=Ir\ntext: Tex[2Jto\tcon tab\n");
  parsed("## 1\nfin", "Def\x1b[0mault\x07");
  EXPECT_EQ(story().title.view(), "Def[0mault");
  const std::string a(2047, 'a');  // a body line keeps 2047 bytes; the rest is no new line
  EXPECT_EQ(parsed("## 1\n" + a + "zz\nb\n"), kFront + "## [1] \ntext: " + a + "\n\nb\n");
}

TEST_F(StoryParser, LoadFileTakesRegularFilesUpToTheLimit) {
  qh_test::TempDir dir;
  // The default title is the base name without its extension; a NUL byte ends the text.
  const std::pair<const char*, std::string> titles[] = {
      {".oculto", ""}, {"a\\b\\Ruta.Windows.txt", "title=Ruta.Windows | "}};
  for (const auto& [name, front] : titles) {
    qh_test::write_file(dir.file(name), std::string("## 1\na\0## 2\ndespués\n", 20));
    ASSERT_TRUE(story_parser_load_file(story(), dir.file(name).c_str())) << name;
    EXPECT_EQ(story_test::dump(story()), front + "hp=10 | start=1" + kMusic + "## [1] \ntext: a\n");
  }
  qh_test::write_file(dir.file("vacio.md"), "");
  ASSERT_EQ(mkfifo(dir.file("tubo.md").c_str(), 0600), 0);
  const std::string big = dir.file("enorme.md");  // sparse: one byte over the limit, no disk
  qh_test::write_file(big, "## ok\n");
  ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(STORY_MAX_FILE_BYTES) + 1), 0);
  for (const std::string& path :
       {dir.file("no.md"), dir.file("vacio.md"), dir.path(), dir.file("tubo.md"), big}) {
    EXPECT_FALSE(story_parser_load_file(story(), path.c_str())) << path;
    EXPECT_EQ(story().title.view(), "Ruta.Windows") << path;  // untouched
  }
}
