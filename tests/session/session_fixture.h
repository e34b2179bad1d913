// A whole adventure run in-process: a parsed story, quiet settings, scripted
// input and captured output, inside a fresh folder so saves land there.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "platform/platform.h"
#include "session/session.h"
#include "story/story_parser.h"
#include "support/test_support.h"
#include "ui/text_output.h"

namespace qh_session_test {

inline void skip_sleep(std::int32_t) {}

// The dungeon used by most scenarios: plain moves, an item gate, a check that
// cannot succeed, a lethal check, a hazard, endings and one lore passage.
inline constexpr const char* kDungeon = R"(---
title: La Cripta
author: Tester
hp: 10
stats:
  Fuerza: 2
  Sigilo: 1
items:
  - Antorcha
---
> [Lore: El Rey Antiguo] Un monarca olvidado duerme bajo la cripta.

## 1 Entrada
Una puerta de piedra.
- [-> 5] Bajar al pozo
- [-> 2] Cruzar la puerta
- [Requiere: Llave | Destino: 3] Abrir el portón
- [Check: Sigilo | DC: 30 | Éxito: 3 | Fallo: 4] Escabullirse entre sombras

## 2 Sala del tesoro
> [Obtener: Llave]
Brilla el oro.
- [-> 1] Volver a la entrada
- [Check: Fuerza | DC: 30 | Éxito: 3 | Fallo: 3 | DañoFallo: 99] Forzar el cofre maldito

## 3 Salida
> [Final: Victoria]
Sales a la luz.

## 4 Trampa
> [Final: Derrota]
Caes en un foso.

## 5 Pozo venenoso
> [Daño: 4]
Gas tóxico.
- [-> 1] Subir
)";

// The slug that "stories/prueba.md" gives.
inline constexpr const char* kSlug = "storiespruebamd";

struct SessionFixture : ::testing::Test {
  qh_test::TempDir dir;
  char old_cwd[PATH_MAX] = {};
  Story* story = nullptr;
  AppConfig config{};

  void SetUp() override {
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
    ASSERT_NE(story, nullptr);
    config_set_defaults(config);
    config.offline_mode = true;
    config.show_token_usage = false;
    config.typing_speed = 0.0f;
    config.music_enabled = false;
    platform_set_sleep_hook(skip_sleep);
    std::srand(1);
  }
  void TearDown() override {
    platform_set_sleep_hook(nullptr);
    ui_set_typewriter_speed(0.0f);
    std::free(story);
    EXPECT_EQ(chdir(old_cwd), 0);
  }

  void load(const char* text) { ASSERT_TRUE(story_parser_load_string(*story, text, "x")); }

  std::string play(const std::string& input, AudioState* audio = nullptr,
                   const Character* saved = nullptr, const char* start = nullptr,
                   const char* slug_source = "stories/prueba.md") {
    std::string out;
    qh_test::with_stdin(input, [&] {
      out = qh_test::capture_stdout([&] {
        game_session_run(story, slug_source, &config, audio, "Ana", start, saved);
      });
    });
    return out;
  }

  std::string save_file(const char* kind) const {
    return dir.file(std::string("saves/") + kind + "_" + kSlug + ".json");
  }
};

inline int count(const std::string& text, const std::string& piece) {
  int n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++n;
  }
  return n;
}

// Scene headers as the scene view writes them.
inline std::string scene(const char* id, const char* title) {
  return std::string("📍 [") + id + "] " + title + " ───";
}

}  // namespace qh_session_test
