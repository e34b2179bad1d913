// Whole tables on a real broker: a voting table played to an ending, a
// director's table, a table on a broker nobody administers, and a late joiner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "play_harness.h"
#include "support/test_support.h"
#include "table/table_message.h"
#include "table/table_mqtt.h"
#include "table/table_protocol.h"

using qh_test::Adventurer;
using qh_test::bundled_story;
using qh_test::contains_in_order;
using qh_test::TablePlay;

namespace {

// Plays `route` (one option per turn, the same for both adventurers; 0 for a
// tie between options 2 and 3) until the host ends or the route runs out.
void play_route(TablePlay& table, Adventurer& ana, Adventurer& bob, const std::vector<int>& route) {
  for (std::size_t i = 0; i < route.size() && !table.finished(); ++i) {
    const auto turn = static_cast<std::int32_t>(i + 1);
    if (!table.wait_turn(turn)) break;
    int a = route[i] == 0 ? 3 : route[i];
    int b = route[i] == 0 ? 2 : route[i];
    ASSERT_TRUE(ana.vote(turn, a)) << "turn " << turn;
    ASSERT_TRUE(bob.vote(turn, b)) << "turn " << turn;
  }
}

}  // namespace

TEST(TablePlay, VotingTableReachesAnEndingAndEveryoneSawTheSame) {
  TablePlay table;
  ASSERT_TRUE(
      table.open(table.settings(bundled_story("la_cripta_del_rey_ceniza.md"), TableMode::kVote)))
      << table.error();
  Adventurer ana, bob;
  ASSERT_TRUE(ana.join(table.code(), "Ana", table.root())) << ana.error();
  ASSERT_TRUE(bob.join(table.code(), "Bob", table.root())) << bob.error();
  ASSERT_TRUE(table.seen().wait_for(TABLE_MSG_PRESENT, "Bob se sienta"));

  play_route(table, ana, bob, {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  EXPECT_EQ(table.finish(), SESSION_END_ENDING) << table.seen().dump();
  EXPECT_EQ(table_guest_wait_end(*ana.guest(), 5000), TableGuestEnd::kFinished);
  EXPECT_EQ(table_guest_wait_end(*bob.guest(), 5000), TableGuestEnd::kFinished);

  // The first scene came before they joined, with the table's state; from
  // there on every scene, roll, narration and the ending are the same.
  std::vector<qh_test::Seen> story = table.seen().adventure();
  std::vector<qh_test::Seen> seen_by_ana = ana.seen().adventure();
  ASSERT_GE(seen_by_ana.size(), 8u);
  EXPECT_EQ(seen_by_ana, qh_test::last(story, seen_by_ana.size()));
  EXPECT_EQ(bob.seen().adventure(), seen_by_ana);
  EXPECT_EQ(seen_by_ana.back().type, TABLE_MSG_ENDING);
  EXPECT_EQ(story.front(), (qh_test::Seen{TABLE_MSG_SCENE, "1"}));

  // Drawn by the game's own code: the scene from the retained state, the tie
  // rule, a check and the ending, on every screen alike.
  std::vector<std::string> screens = {ana.leave(), bob.leave(), table.screen()};
  for (const std::string& screen : screens) {
    EXPECT_TRUE(contains_in_order(
        screen, {"─── 📍 [1] Las Puertas de la Abadía ───", "[1]\x1b[0m Descender por la escalera",
                 "Empate a 1 voto entre las opciones 2 y 3: gana la 2, la de número más bajo.",
                 "─── 📍 [3] La Sacristía Olvidada ───", "🎲 Tirando dados 2d6",
                 "¡Felicidades! Has completado la aventura victoriosamente."}));
  }
  EXPECT_TRUE(contains_in_order(screens[0], {"Bob vota la opción 2", "¿Qué deseas hacer?"}));
}

namespace {

constexpr const char* kBridgeStory = R"(---
title: "El Puente"
author: "Pruebas"
hp: 10
start: "1"
stats:
  Fuerza: 2
items:
  - "Cuerda"
---

## [1] El puente roto
Un puente de cuerdas cruza el abismo. Un grabado en la roca dice: «ábrete».

- [-> 3] Volver al camino
- [-> 2] Cruzar el puente
- [CmdOculto: abrete sesamo] [-> 4] Susurrar la palabra del grabado

## [2] La otra orilla
Al otro lado esperan dos caminos.

- [-> 4] Entrar en la cueva
- [-> 3] Bajar al río

## [3] El camino de vuelta
[Final: Te vuelves a casa]
Vuelves a casa sin gloria.

## [4] El tesoro
[Final: Victoria]
Encuentras el tesoro.
)";

}  // namespace

TEST(TablePlay, DirectorOverridesNarratesRollsGivesPausesAndRemoves) {
  TablePlay table;
  std::string story = table.root() + "/puente.md";
  qh_test::write_file(story, kBridgeStory);
  ASSERT_TRUE(table.open(table.settings(story, TableMode::kDirector))) << table.error();
  TableHost& host = *table.host();
  Adventurer ana, bob;
  ASSERT_TRUE(ana.join(table.code(), "Ana", table.root())) << ana.error();
  ASSERT_TRUE(bob.join(table.code(), "Bob", table.root())) << bob.error();
  ASSERT_TRUE(table.seen().wait_for(TABLE_MSG_PRESENT, "Bob se sienta"));
  // A second terminal of this machine cannot take Ana's seat with her kept credential.
  Adventurer twin;
  EXPECT_FALSE(twin.join(table.code(), "Ana", table.root()));
  EXPECT_EQ(twin.error(), "alguien de este equipo ya está en la mesa con ese nombre");

  // Both vote 1; the director is told and decides otherwise later.
  ASSERT_TRUE(ana.vote(1, 1));
  ASSERT_TRUE(bob.vote(1, 1));
  ASSERT_TRUE(table.screen_shows("Votación completa. Gana la opción 1 con 2 votos."));
  table_host_console(host, "/narrar Un viento helado sube del abismo.");
  table_host_console(host, "/dar Amuleto de Plata");
  table_host_console(host, "/tirada fuerza 8");
  ASSERT_TRUE(ana.seen().wait_for(TABLE_MSG_DICE, "vs DC 8"));
  EXPECT_TRUE(ana.seen().wait_for(TABLE_MSG_PANEL, "Cuerda;Amuleto de Plata;"));
  table_host_console(host, "2");
  ASSERT_TRUE(ana.seen().wait_for(
      TABLE_MSG_RESULT, "El director elige la opción 2 en lugar de la 1, la más votada."));
  ASSERT_TRUE(ana.seen().wait_for(TABLE_MSG_SCENE, "2"));
  ASSERT_TRUE(table.wait_turn(2));

  // Paused, a vote is refused at once; resumed, it counts.
  table_host_console(host, "/pausa");
  ASSERT_TRUE(ana.seen().wait_for(TABLE_MSG_PAUSE, "en pausa"));
  EXPECT_FALSE(table_guest_vote(*ana.guest(), 1));
  table_host_console(host, "/seguir");
  ASSERT_TRUE(ana.seen().wait_for(TABLE_MSG_PAUSE, "sigue"));

  // Removed, Bob is disconnected and may not come back, not even as a new request.
  table_host_console(host, "/expulsar bob");
  EXPECT_EQ(table_guest_wait_end(*bob.guest(), 5000), TableGuestEnd::kRemoved)
      << table.screen() << "\n=====\n"
      << bob.seen().dump();
  bob.leave();
  Adventurer again;
  EXPECT_FALSE(again.join(table.code(), "Bob", table.root()));
  EXPECT_EQ(again.error(),
            "el anfitrión no te deja entrar: el director te ha expulsado de esta mesa");

  // A late joiner sees the scene being played at once, from the table's retained state.
  Adventurer carol;
  ASSERT_TRUE(carol.join(table.code(), "Carol", table.root())) << carol.error();
  EXPECT_TRUE(carol.screen_shows("─── 📍 [2] La otra orilla ───"));

  ASSERT_TRUE(ana.vote(2, 1));
  ASSERT_TRUE(carol.vote(2, 1));
  ASSERT_TRUE(table.screen_shows("Gana la opción 1 con 2 votos. (Entrar en la cueva)"));
  table_host_console(host, "");
  EXPECT_EQ(table.finish(), SESSION_END_ENDING);
  EXPECT_TRUE(ana.seen().wait_for(TABLE_MSG_RESULT, "El director confirma la opción 1."));
  EXPECT_TRUE(ana.seen().wait_for(TABLE_MSG_ENDING, "victoriosamente"));

  std::string director = table.screen();
  std::string seen_by_ana = ana.leave();
  // Only the director sees the hidden option; everyone sees what the director did.
  EXPECT_TRUE(contains_in_order(
      director, {"🔒 (oculta) >_ abrete sesamo — Susurrar la palabra del grabado", "Director ❯ ",
                 "Votación completa. Gana la opción 1 con 2 votos."}));
  EXPECT_TRUE(qh_test::lacks(seen_by_ana, "sesamo"));
  EXPECT_TRUE(contains_in_order(
      seen_by_ana,
      {"Ana vota la opción 1 (Volver al camino).", "🎭 El director narra: Un viento helado",
       "🎁 El director te entrega: Amuleto de Plata", "Mochila: \x1b[0mCuerda, Amuleto de Plata",
       "El director pide una tirada de Fuerza contra DC 8.", "🎲 Tirando dados 2d6", "vs DC 8",
       "El director elige la opción 2 en lugar de la 1, la más votada.",
       "─── 📍 [2] La otra orilla ───", "La mesa está en pausa", "El director expulsa a Bob",
       "Carol se sienta a la mesa.", "El director confirma la opción 1.", "[4] El tesoro",
       "¡Felicidades!"}));
}

// A broker the host does not administer is used as a public one: said on the
// screen and in the code, anyone may read the table, nobody without the code
// may act at it.
TEST(TablePlay, PublicBrokerIsUsedWithAWarningAndEveryMessageStaysSigned) {
  TablePlay table(false);
  ASSERT_TRUE(
      table.open(table.settings(bundled_story("la_cripta_del_rey_ceniza.md"), TableMode::kVote)))
      << table.error();
  EXPECT_TRUE(table_host_public(*table.host()));
  TableCode code{};
  ASSERT_TRUE(table_code_parse(table.code(), code, nullptr));
  EXPECT_TRUE(code.open_broker);
  EXPECT_TRUE(
      table.screen_shows("⚠️ Servidor público (127.0.0.1:" + std::to_string(table.port()) +
                         "): cualquiera puede ver lo que pasa en esta mesa."));
  Adventurer ana;
  ASSERT_TRUE(ana.join(table.code(), "Ana", table.root())) << ana.error();

  // A stranger reads the table, and signs with a key of its own.
  std::string id = code.table_id.c_str();
  TableMqttSettings settings;
  settings.host = "127.0.0.1";
  settings.port = table.port();
  settings.client_id = "curioso";
  std::vector<std::string> read;  // touched by the connection's thread until it is destroyed
  auto on_message = [](void* user, const char* topic, std::string_view, bool) {
    static_cast<std::vector<std::string>*>(user)->push_back(topic);
  };
  TableMqttClient* stranger =
      table_mqtt_create(settings, TableMqttHandlers{on_message, nullptr, nullptr, &read});
  ASSERT_TRUE(table_mqtt_connect(*stranger, 5000, nullptr));
  ASSERT_TRUE(table_mqtt_subscribe(*stranger, table_topic_root(id) + "/estado", 5000, nullptr));
  std::string vote, forged;
  table_encode_vote(3, 1, vote);
  TableCode guess = code;
  guess.key[5] ^= 0x40;
  TableSigner signer;
  table_signer_init(signer, guess.key, "ana", 0);
  std::string topic = table_topic(id, TableChannel::kActions, "ana");
  table_message_seal(signer, topic, TableChannel::kActions, TABLE_MSG_VOTE, vote, 0, forged);
  EXPECT_TRUE(table_mqtt_publish(*stranger, topic, forged, false, 5000, nullptr));
  EXPECT_TRUE(table.screen_shows("jugadores/ana/acciones: firma no válida"));
  table_mqtt_destroy(stranger);
  EXPECT_FALSE(read.empty());  // the retained state came with the subscription

  ASSERT_TRUE(ana.vote(1, 2));
  EXPECT_TRUE(ana.seen().wait_for(TABLE_MSG_RESULT, "Gana la opción 2 con 1 voto."));
  EXPECT_TRUE(qh_test::lacks(table.seen().dump(), "opción 3"));
}
