#include <regex>

#include "session_fixture.h"

using qh_session_test::count;
using qh_session_test::scene;
using qh_session_test::SessionFixture;
using qh_test::contains_in_order;
using qh_test::file_exists;
using qh_test::lacks;
using qh_test::read_file;

namespace {

const char* const kInvalid =
    "Opción inválida. Elige un número del 1 al 4 para las decisiones disponibles.";
const char* const kFarewell = "Guardando partida automáticamente y saliendo...";

}  // namespace

TEST(SessionSlug, DerivedFromThePathByteByByte) {
  const std::string long_source(200, 'A');
  struct Case {
    const char* source;
    std::string slug;
  } cases[] = {
      {"stories/La Cripta-2.md", "storiesla_cripta_2md"},
      {"", "adventure"},
      {nullptr, "adventure"},
      {"///..", "adventure"},
      {"Ñandú Épico_v2", "and_pico_v2"},  // every byte of a multi-byte character is dropped
      {long_source.c_str(), std::string(124, 'a')},
  };
  for (const Case& k : cases) {
    FixedText<128> slug{};
    session_make_slug(k.source, slug);
    EXPECT_EQ(slug.view(), k.slug) << (k.source ? k.source : "(null)");
  }
}

TEST_F(SessionFixture, VictoryThroughAnItemGateOpenedByAFoundItem) {
  load(qh_session_test::kDungeon);
  std::string out = play("2\n1\n3\n");
  EXPECT_TRUE(contains_in_order(
      out, {"\x1b[38;5;51m\n📖 Iniciando 'La Cripta' por Tester\x1b[0m\n", scene("1", "Entrada"),
            "🎁 Has encontrado un objeto: Llave", scene("2", "Sala del tesoro"),
            "Avanzas: Volver a la entrada", scene("1", "Entrada"), "Avanzas: Abrir el portón",
            scene("3", "Salida"),
            "\x1b[38;5;46m\x1b[1m\n🎉 ¡Felicidades! Has completado la aventura victoriosamente."
            "\x1b[0m\n"}));
  EXPECT_EQ(count(out, "Has encontrado un objeto"), 1);
  EXPECT_TRUE(lacks(out, kFarewell));
  EXPECT_FALSE(file_exists(save_file("autosave")));
}

TEST_F(SessionFixture, DefeatByAFailedCheckShowsTheDice) {
  load(qh_session_test::kDungeon);
  std::string out = play("4\n");
  EXPECT_TRUE(contains_in_order(
      out, {"🎲 Tirando dados 2d6\x1b[0m\x1b[38;5;51m + Sigilo (+1)\x1b[0m...\n",
            "Fallaste la prueba de Sigilo", scene("4", "Trampa"),
            "\x1b[38;5;196m\x1b[1m\n💀 Has sucumbido al destino de la mazmorra.\x1b[0m\n"}));
  EXPECT_FALSE(file_exists(save_file("autosave")));
}

TEST_F(SessionFixture, HazardAppliesOnEveryPassUntilDeath) {
  load(qh_session_test::kDungeon);
  // 10 hit points: 4 on arrival, 4 after a command, the last 2 after another.
  std::string out = play("1\n/ayuda\n/ayuda\n");
  EXPECT_TRUE(contains_in_order(
      out, {"⚠️ ¡Peligro de entorno! Sufres 4 de daño.", "=== COMANDOS DEL SISTEMA ===",
            "⚠️ ¡Peligro de entorno! Sufres 4 de daño.", "=== COMANDOS DEL SISTEMA ===",
            "⚠️ ¡Peligro de entorno! Sufres 2 de daño.", scene("5", "Pozo venenoso"),
            "\x1b[38;5;196m\x1b[1m\n💀 Has caído en la oscuridad. Tu viaje ha terminado.\x1b[0m\n"}));
  EXPECT_TRUE(lacks(out, kFarewell));
  EXPECT_FALSE(file_exists(save_file("autosave")));
}

TEST_F(SessionFixture, DeathByAnOptionEndsQuietlyAfterItsNarration) {
  load(qh_session_test::kDungeon);
  std::string out = play("2\n2\n");
  EXPECT_TRUE(contains_in_order(out, {"NARRADOR", "Fallaste la prueba de Fuerza", "└──"}));
  EXPECT_TRUE(lacks(out, "Has caído en la oscuridad"));
  EXPECT_TRUE(lacks(out, scene("3", "Salida")));
  EXPECT_FALSE(file_exists(save_file("autosave")));
}

TEST_F(SessionFixture, NumbersOutOfRangeHugeOrWithLeadingZero) {
  load(qh_session_test::kDungeon);
  // 4294967297 would wrap to option 1 (the hazard) without saturation.
  std::string out = play("0\n99\n4294967297\n3\n02\n");
  EXPECT_TRUE(contains_in_order(
      out, {kInvalid, kInvalid, kInvalid,
            "\x1b[38;5;226m\x1b[1mNecesitas tener el objeto 'Llave' para hacer esto.\x1b[0m\n",
            scene("1", "Entrada"), scene("2", "Sala del tesoro"), kFarewell}));
  EXPECT_EQ(count(out, kInvalid), 3);
  EXPECT_TRUE(lacks(out, "Peligro"));
  EXPECT_TRUE(lacks(out, "Tirando dados"));
  // The refused gate rolled nothing and kept the scene; the end of input saved the game.
  std::string saved = read_file(save_file("autosave"));
  EXPECT_NE(saved.find("\"current_section_id\": \"2\""), std::string::npos);
  EXPECT_NE(saved.find("\"hp\": 10,"), std::string::npos);
}

TEST_F(SessionFixture, ExitCommandsWriteTheAutosaveInItsExactLayout) {
  load(qh_session_test::kDungeon);
  std::string out = play("/salir\n", nullptr, nullptr, nullptr, "stories/La Cripta-2.md");
  EXPECT_NE(out.find(std::string("\x1b[38;5;51m") + kFarewell + "\x1b[0m\n"), std::string::npos);
  std::string saved = read_file(dir.file("saves/autosave_storiesla_cripta_2md.json"));
  saved = std::regex_replace(saved, std::regex("\"saved_at\": \"[^\"]*\""), "\"saved_at\": \"T\"");
  EXPECT_EQ(saved,
            "{\n"
            "  \"version\": 2,\n"
            "  \"story_slug\": \"storiesla_cripta_2md\",\n"
            "  \"story_title\": \"La Cripta\",\n"
            "  \"saved_at\": \"T\",\n"
            "  \"current_section_id\": \"1\",\n"
            "  \"current_section_title\": \"Entrada\",\n"
            "  \"character\": {\n"
            "    \"name\": \"Ana\",\n"
            "    \"hp\": 10,\n"
            "    \"max_hp\": 10,\n"
            "    \"stats\": {\n"
            "      \"Fuerza\": 2,\n"
            "      \"Sigilo\": 1\n"
            "    },\n"
            "    \"inventory\": [\n"
            "      \"Antorcha\"\n"
            "    ],\n"
            "    \"states\": [\n"
            "    ],\n"
            "    \"flags\": {\n"
            "    }\n"
            "  }\n"
            "}\n");

  // The other exit words leave the same way; the options are not shown again.
  for (const char* word : {"/exit\n", "/quit\n"}) {
    out = play(word);
    EXPECT_EQ(count(out, "OPCIONES Y ACCIONES"), 1) << word;
    EXPECT_NE(out.find(kFarewell), std::string::npos) << word;
  }
}

TEST_F(SessionFixture, ClosedInputSavesAndEndsTheSession) {
  load(qh_session_test::kDungeon);
  std::string out = play("2\n");
  EXPECT_TRUE(contains_in_order(out, {scene("2", "Sala del tesoro"), kFarewell}));
  std::string saved = read_file(save_file("autosave"));
  EXPECT_TRUE(contains_in_order(saved, {"\"current_section_id\": \"2\"", "\"Antorcha\",",
                                        "\"Llave\""}));
}

TEST_F(SessionFixture, ResumedHeroAndBrokenStarts) {
  load(qh_session_test::kDungeon);
  Character dead{};
  character_init(dead, "Bea", 10);
  dead.hp = 0;
  // A saved hero who is already dead: the greeting, then nothing, and no save.
  std::string out = play("1\n", nullptr, &dead);
  EXPECT_NE(out.find("Iniciando 'La Cripta'"), std::string::npos);
  EXPECT_TRUE(lacks(out, "OPCIONES"));
  EXPECT_FALSE(file_exists(save_file("autosave")));

  // A saved hero is used as it is, at the saved section, and never written back.
  Character saved_hero{};
  character_init(saved_hero, "Bea", 12);
  saved_hero.hp = 9;
  out = play("1\n/salir\n", nullptr, &saved_hero, "5");
  EXPECT_TRUE(contains_in_order(
      out, {"Sufres 4 de daño.", "Bea", " 5/12", scene("5", "Pozo venenoso"), kFarewell}));
  EXPECT_EQ(saved_hero.hp, 9);

  out = play("", nullptr, nullptr, "nope");
  EXPECT_NE(out.find("\x1b[38;5;196m\x1b[1mError: No se encontró la sección 'nope'.\x1b[0m\n"),
            std::string::npos);
}
