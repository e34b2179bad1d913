#include "workshop/workshop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/audio.h"
#include "platform/platform.h"
#include "story/story_parser.h"
#include "support/test_support.h"
#include "workshop/workshop_screens.h"

using qh_test::contains_in_order;
using qh_test::lacks;

namespace {

std::string run_menu(const std::string& input, const std::string& base,
                     AudioState* audio = nullptr) {
  AppConfig config;
  config_set_defaults(config);
  config.community_vault_repo.clear();
  std::string out;
  qh_test::with_stdin(input, [&] {
    out = qh_test::capture_stdout([&] { workshop_open_menu(base.c_str(), config, audio); });
  });
  return out;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string expected_story(const std::string& title, const std::string& author) {
  return "---\ntitle: \"" + title + "\"\nauthor: \"" + author + "\"\n" +
         "description: \"Una aventura creada con el Taller del Creador de Quillhaven.\"\n"
         "hp: 12\n"
         "start: \"1\"\n"
         "items:\n"
         "  - \"Antorcha\"\n"
         "  - \"Daga\"\n"
         "stats:\n"
         "  Físico: 2\n"
         "  Ingenio: 1\n"
         "  Sigilo: 1\n"
         "  Presencia: 0\n"
         "music:\n"
         "  explore: \"dungeon\"\n"
         "  combat: \"combat\"\n"
         "  victory: \"victory\"\n"
         "---\n"
         "\n"
         "> [Lore: El Origen] Cuentan las leyendas que este enclave fue abandonado tras la gran "
         "convergencia.\n"
         "\n"
         "## [1] El Comienzo del Sendero\n"
         "Te encuentras ante las puertas del antiguo santuario. El viento aúlla entre las "
         "hendiduras de la roca.\n"
         "\n"
         "- [-> 2] [Obtener: Llave de Cobre] Avanzar hacia la cámara principal\n"
         "- [Check: Sigilo | DC: 7 | Éxito: 3 | Fallo: 2 | DañoFallo: 2] Rodear el perímetro "
         "buscando una entrada oculta\n"
         "\n"
         "## [2] La Cámara Central\n"
         "Una amplia nave de piedra con un foso central. En el extremo opuesto, una puerta con "
         "cerradura de cobre te corta el paso.\n"
         "\n"
         "- [Requiere: Llave de Cobre | Destino: 4] Abrir la cerradura de cobre con tu llave\n"
         "- [Check: Físico | DC: 8 | Éxito: 4 | Fallo: 3 | DañoFallo: 3] Forzar los goznes de la "
         "puerta\n"
         "\n"
         "## [3] La Grieta Secreta\n"
         "Un pasadizo angosto lleno de escombros. Al final encuentras un cofre antiguo.\n"
         "\n"
         "- [-> 4] [Obtener: Poción Sagrada] Recoger el contenido del cofre y correr a la puerta\n"
         "- [-> 1] Regresar al umbral\n"
         "\n"
         "## [4] El Núcleo del Santuario\n"
         "[Musica: combat]\n"
         "Un guardián milenario despierta al cruzar el umbral. ¡Desenvaina tu arma!\n"
         "\n"
         "- [Check: Físico | DC: 8 | Éxito: 5 | Fallo: 6 | DañoFallo: 4] Combatir al guardián "
         "cara a cara\n"
         "- [Check: Ingenio | DC: 7 | Éxito: 5 | Fallo: 6 | DañoFallo: 3] Utilizar el entorno "
         "para atrapar al guardián\n"
         "\n"
         "## [5] Victoria Legendaria\n"
         "El guardián colapsa y la luz del triunfo baña la cámara. ¡Has conquistado el "
         "santuario!\n"
         "\n"
         "[Final: Victoria]\n"
         "\n"
         "## [6] Caída en el Abismo\n"
         "Tus fuerzas no fueron suficientes. Caes derrotado en el santuario.\n"
         "\n"
         "[Final: Derrota]\n";
}

std::string success_line(const std::string& path) {
  return "\x1b[38;5;46m\x1b[1m✅ ¡Historia '" + path + "' creada con éxito!\n\x1b[0m";
}

const char* const PAUSE = "\x1b[38;5;244m\nPresiona Enter para continuar...\x1b[0m";
const char* const MORE = "\x1b[38;5;244m\n--- Presiona Enter para ver más ---\x1b[0m";

std::vector<int> g_sleeps;

}  // namespace

TEST(Workshop, WizardWritesThePlayableTemplate) {
  qh_test::TempDir dir;
  std::string out = run_menu("1\n2\nLa Cripta del Rey\nAna\n\n8\n", dir.path());
  std::string path = dir.file("stories/la_cripta_del_rey.md");
  EXPECT_EQ(qh_test::read_file(path), expected_story("La Cripta del Rey", "Ana"));
  EXPECT_TRUE(contains_in_order(
      out,
      {"Selecciona (1-4): ", "Título de la aventura: ", "Nombre del autor: ", success_line(path),
       "   Puedes jugarla inmediatamente desde '1. Iniciar Nueva Aventura'.\n", PAUSE,
       "Selecciona una opción (1-8): "}));

  auto story = std::unique_ptr<Story, decltype(&std::free)>(
      static_cast<Story*>(std::calloc(1, sizeof(Story))), &std::free);
  ASSERT_TRUE(story_parser_load_file(*story, path.c_str()));
  EXPECT_EQ(story->title.view(), "La Cripta del Rey");
  EXPECT_EQ(story->section_count, 6);
  EXPECT_EQ(story->lore_count, 1);
}

TEST(Workshop, WizardTitleFallbacksAndQuotes) {
  struct Case {
    const char* title;
    const char* author;
    const char* file;
    const char* head;
  } cases[] = {
      {"¡¿!?", "Ana", "nueva_historia.md", "---\ntitle: \"¡¿!?\"\nauthor: \"Ana\"\n"},
      {"", "", "el_enigma_olvidado.md",
       "---\ntitle: \"El Enigma Olvidado\"\nauthor: \"Aventurero Anónimo\"\n"},
      {"Dijo \"no\"", "Ana", "dijo_no.md", "---\ntitle: \"Dijo \"no\"\"\nauthor: \"Ana\"\n"},
  };
  for (const Case& c : cases) {
    qh_test::TempDir dir;
    run_menu(std::string("1\n1\n") + c.title + "\n" + c.author + "\n\n8\n", dir.path());
    std::string text = qh_test::read_file(dir.file(std::string("stories/") + c.file));
    EXPECT_EQ(text.substr(0, std::string(c.head).size()), c.head) << c.file;
  }
}

TEST(Workshop, SlugKeepsAsciiLettersDigitsAndSeparators) {
  struct Case {
    std::string title;
    std::string slug;
  } cases[] = {
      {"La Cripta del Rey", "la_cripta_del_rey"},
      {"Cámara 2", "cmara_2"},
      {"a  b--c__d", "a__b__c__d"},
      {"¡¿!?", "nueva_historia"},
      {std::string(130, 'Z'), std::string(124, 'z')},
  };
  for (const Case& c : cases) {
    char slug[WORKSHOP_SLUG_MAX + 1];
    workshop_story_slug(c.title.c_str(), slug, sizeof slug);
    EXPECT_EQ(std::string(slug), c.slug) << c.title;
  }
}

TEST(Workshop, LongTitleIsCutAndItsRestIsTheAuthor) {
  qh_test::TempDir dir;
  std::string title(127, 'b');
  run_menu("1\n1\n" + title + "xyz\n\n8\n", dir.path());
  std::string text = qh_test::read_file(dir.file("stories/" + std::string(124, 'b') + ".md"));
  const std::string head = "---\ntitle: \"" + title + "\"\nauthor: \"xyz\"\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
}

TEST(Workshop, LaterRunsNeverReplaceAStory) {
  qh_test::TempDir dir;
  std::string run = "1\n1\nLa Cripta del Rey\n";
  std::string out =
      run_menu(run + "Ana\n\n" + run + "Otro\n\n" + run + "Tercero\n\n8\n", dir.path());
  EXPECT_EQ(qh_test::read_file(dir.file("stories/la_cripta_del_rey.md")),
            expected_story("La Cripta del Rey", "Ana"));
  EXPECT_EQ(qh_test::read_file(dir.file("stories/la_cripta_del_rey_2.md")),
            expected_story("La Cripta del Rey", "Otro"));
  EXPECT_EQ(qh_test::read_file(dir.file("stories/la_cripta_del_rey_3.md")),
            expected_story("La Cripta del Rey", "Tercero"));
  EXPECT_TRUE(contains_in_order(out, {success_line(dir.file("stories/la_cripta_del_rey.md")),
                                      success_line(dir.file("stories/la_cripta_del_rey_2.md")),
                                      success_line(dir.file("stories/la_cripta_del_rey_3.md"))}));
}

TEST(Workshop, FailedCreationOrWriteLeavesNoFile) {
  const std::string error =
      "\x1b[38;5;196m\x1b[1m❌ Error al crear el archivo de historia.\x1b[0m\n";
  {  // "stories" is a file, so nothing can be created inside it
    qh_test::TempDir dir;
    qh_test::write_file(dir.file("stories"), "no soy una carpeta");
    std::string out = run_menu("1\n1\nLa Cripta\nAna\n\n8\n", dir.path());
    EXPECT_TRUE(contains_in_order(out, {error, PAUSE, "Selecciona una opción"}));
    EXPECT_TRUE(lacks(out, "creada con éxito"));
  }
  {  // the file can be created but not written whole: a file-size limit cuts the write
    qh_test::TempDir dir;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // output to a pipe: the size limit applies to files only
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    std::fflush(stdout);
    int saved_out = dup(1);
    dup2(fds[1], 1);
    setrlimit(RLIMIT_FSIZE, &small);
    AppConfig config;
    config_set_defaults(config);
    qh_test::with_stdin("1\n1\nLa Cripta\nAna\n\n8\n",
                        [&] { workshop_open_menu(dir.path().c_str(), config, nullptr); });
    std::fflush(stdout);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    dup2(saved_out, 1);
    close(saved_out);
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
    close(fds[0]);
    EXPECT_TRUE(contains_in_order(out, {error, PAUSE}));
    EXPECT_FALSE(qh_test::file_exists(dir.file("stories/la_cripta.md")));
  }
}

TEST(Workshop, MenuShowsEightEntriesAndRejectsAnythingElse) {
  qh_test::TempDir dir;
  std::string out = run_menu("0\n9\n01\n1.\n 1\n\n8\n", dir.path());
  const std::string menu =
      "\n\x1b[38;5;39m==================================================================\n\x1b[0m"
      "\x1b[38;5;214m\x1b[1m      🛠️   TALLER DEL CREADOR: HISTORIAS, ARTE & MÚSICA          "
      "\n"
      "\x1b[0m"
      "\x1b[38;5;39m==================================================================\n\x1b[0m"
      "1. 🧙♂️ Crear Nueva Historia (Asistente interactivo en Markdown)\n"
      "2. 🌐 Bóveda Comunitaria en GitHub (Quillhaven Vault)\n"
      "3. 🖼️  Creador de Imágenes & Estudio de Arte (Pixel Art & Sprites)\n"
      "4. 🎨 Galería y Probador de Cinemáticas (TrueColor en Consola)\n"
      "5. 🎹 Probador y Secuenciador Chiptune (Escalas y Timbres)\n"
      "6. 📖 Ver Guía de Creación de Historias (Markdown, Dados & RAG)\n"
      "7. 📜 Ver Guía de Composición Musical (Recetas y Escalas)\n"
      "8. 🚪 Volver al Menú Principal\n\n"
      "\x1b[38;5;226mSelecciona una opción (1-8): \x1b[0m";
  const std::string warning = "\x1b[38;5;226m\x1b[1mOpción inválida. Elige del 1 al 8.\x1b[0m\n";
  std::string expected;
  for (int i = 0; i < 6; ++i) expected += menu + warning;
  EXPECT_EQ(out, expected + menu);
}

TEST(Workshop, EndOfInputReturnsWithoutWriting) {
  const char* inputs[] = {"", "1\n", "1\n1\n", "1\n1\nTitulo\n", "2\n", "3\n", "5\n", "6\n"};
  platform_set_sleep_hook([](std::int32_t) {});
  for (const char* input : inputs) {
    qh_test::TempDir dir;
    std::string guide;
    for (int i = 1; i <= 40; ++i) guide += "línea\n";
    qh_test::write_file(dir.file("GUIA_CREACION_HISTORIAS.md"), guide);
    std::string out = run_menu(input, dir.path());
    EXPECT_EQ(count(out, "Selecciona una opción"), 1u) << input;
    EXPECT_FALSE(qh_test::file_exists(dir.file("stories"))) << input;
  }
  platform_set_sleep_hook(nullptr);
}

TEST(Workshop, EntriesThreeAndFourShowTheSameGallery) {
  qh_test::TempDir dir;
  std::string three = run_menu("3\n\n8\n", dir.path());
  EXPECT_EQ(three, run_menu("4\n\n8\n", dir.path()));
  EXPECT_TRUE(contains_in_order(
      three,
      {"\n\x1b[38;5;214m\x1b[1m=== 🎨 GALERÍA Y ESTUDIO DE ARTE RETRO ===\x1b[0m\n\n"
       "\x1b[38;5;51m1. Calavera Nigromante (ANSI TrueColor):\n\x1b[0m\x1b[38;5;231m"
       "      .---.\n     /     \\\n    | () () |\n     \\  ^  /\n      |||||\n      '---'\n"
       "\x1b[0m\x1b[38;5;214m\n2. Cofre del Tesoro Arcano:\n\x1b[0m\x1b[38;5;226m"
       "   .-----------------.\n  /                 / \\\n |=================|   |\n"
       " | [~]  ARCANE [~] |   |\n |                 |  /\n '-----------------' '\n\x1b[0m"
       "\x1b[38;5;46m\n3. Terminal Cyberdeck CRT (Zero-Day Infiltration):\n\x1b[0m\x1b[38;5;46m"
       "  .------------------------------------.\n"
       "  | [root@nexus-7 ~]#                  |\n"
       "  | > nmap -sS -p 22,80 10.10.4.0/24   |\n"
       "  | [PORT 22/SSH OPEN: OpenSSH 7.4p1]  |\n"
       "  | > python3 zero_day.py --target OK  |\n"
       "  '------------------------------------'\n\x1b[0m",
       PAUSE}));
}

TEST(Workshop, VaultNoticeWithAnEmptyRepository) {
  qh_test::TempDir dir;
  EXPECT_TRUE(contains_in_order(
      run_menu("2\n\n8\n", dir.path()),
      {"\n\x1b[38;5;214m🌐 Bóveda Comunitaria: github.com/\n\x1b[0mPuedes compartir y descargar "
       "historias en formato .quillhaven o .md directamente en el repositorio.\n",
       PAUSE}));
}

TEST(Workshop, ChiptuneTesterPlaysTheScaleWithMusicOff) {
  qh_test::TempDir dir;
  platform_set_sleep_hook([](std::int32_t ms) { g_sleeps.push_back(ms); });
  AudioState audio;
  audio_init(audio, dir.path().c_str(), false, 0.7f);
  g_sleeps.clear();
  std::string out = run_menu("5\n\n8\n", dir.path(), &audio);
  EXPECT_TRUE(contains_in_order(
      out, {"\n\x1b[38;5;214m\x1b[1m=== 🎹 SECUENCIADOR Y PROBADOR CHIPTUNE ===\x1b[0m\n"
            "Reproduciendo escala retro (Do4, Mi4, Sol4, Do5)...\n"
            "\x1b[38;5;51m  🎵 Nota 261 Hz\n\x1b[0m\a\x1b[38;5;51m  🎵 Nota 329 Hz\n\x1b[0m\a"
            "\x1b[38;5;51m  🎵 Nota 392 Hz\n\x1b[0m\a\x1b[38;5;51m  🎵 Nota 523 Hz\n\x1b[0m\a"
            "\x1b[38;5;226m\nReproduciendo fanfarria de victoria retro...\n\x1b[0m",
            PAUSE}));
  EXPECT_EQ(g_sleeps, (std::vector<int>{130, 130, 130, 130, 1500}));
  EXPECT_FALSE(audio.playing);

  g_sleeps.clear();  // without a music state there is no fanfare at all
  out = run_menu("5\n\n8\n", dir.path(), nullptr);
  EXPECT_TRUE(lacks(out, "fanfarria"));
  EXPECT_EQ(g_sleeps, (std::vector<int>{130, 130, 130, 130}));
  platform_set_sleep_hook(nullptr);
}

TEST(Workshop, GuidePausesAfterEvery28Pieces) {
  qh_test::TempDir dir;
  auto guide_of = [](int lines) {
    std::string text;
    for (int i = 1; i <= lines; ++i) text += "línea " + std::to_string(i) + "\n";
    return text;
  };
  auto show = [&](const std::string& text, const std::string& input) {
    qh_test::write_file(dir.file("GUIA.md"), text);
    std::string out;
    qh_test::with_stdin(input, [&] {
      out = qh_test::capture_stdout([&] { show_guide_file(dir.path().c_str(), "GUIA.md", "T"); });
    });
    return out;
  };
  const std::string title = "\n\x1b[38;5;214m\x1b[1m=== T ===\x1b[0m\n\n";
  std::string out = show(guide_of(60), "\n\n\n");
  EXPECT_TRUE(contains_in_order(out, {title, "línea 28\n", MORE, "línea 29\n", "línea 56\n", MORE,
                                      "línea 57\n", "línea 60\n", PAUSE}));
  EXPECT_EQ(count(out, MORE), 2u);
  EXPECT_EQ(count(show(guide_of(28), "\n\n"), MORE), 1u);
  EXPECT_EQ(show("", "\n"), title + PAUSE);
}

TEST(Workshop, GuideLookupUsesTheSiblingFolderAndRegularFilesOnly) {
  qh_test::TempDir dir;
  std::string base = dir.file("juego");
  std::string sibling = dir.file("Quillhaven-Lantern");
  ASSERT_TRUE(platform_mkdir_p(base.c_str()));
  qh_test::write_file(sibling + "/GUIA_CREACION_HISTORIAS.md", "guía hermana\n");
  ASSERT_TRUE(platform_mkdir_p((sibling + "/GUIA_COMPOSICION_MUSICAL.md").c_str()));
  ASSERT_EQ(mkfifo((sibling + "/FIFO.md").c_str(), 0644), 0);
  const std::string missing =
      "\x1b[38;5;226m\x1b[1mNo se encontró el archivo de guía.\x1b[0m\n" + std::string(PAUSE);

  std::string out = run_menu("6\n\n7\n\n8\n", base);
  EXPECT_TRUE(contains_in_order(
      out, {"\x1b[38;5;214m\x1b[1m=== 📖 GUÍA DE CREACIÓN DE HISTORIAS ===\x1b[0m\n\nguía hermana\n",
            PAUSE, "Selecciona una opción", missing, "Selecciona una opción"}));
  for (const char* name : {"FIFO.md", "NO_EXISTE.md"}) {
    qh_test::with_stdin("\n", [&] {
      out = qh_test::capture_stdout([&] { show_guide_file(base.c_str(), name, "T"); });
    });
    EXPECT_EQ(out, missing) << name;
  }
}
