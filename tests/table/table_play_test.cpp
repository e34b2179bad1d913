// Whole tables on a real broker, played to their endings, and the faults of
// an adventurer, the broker or the host going away mid-vote.
#include <gtest/gtest.h>

#include <memory>

#include "play_harness.h"
#include "table/table_mqtt.h"

namespace qh_test {

// On a broker the host does not administer, the table says it is public (on
// the screen and in its code) and every message stands on its signature alone.
TEST(TablePlay, VotingTableReachesAnEndingThroughForgedAndReplayedMessages) {
  TablePlay table(false);
  ASSERT_TRUE(table.open());
  EXPECT_TRUE(table_host_public(*table.host()));
  TableCode code{};
  ASSERT_TRUE(table_code_parse(table.code(), code, nullptr));
  EXPECT_TRUE(code.open_broker);
  EXPECT_TRUE(
      table.screen_shows("⚠️ Servidor público (127.0.0.1:" + std::to_string(table.port()) +
                         "): cualquiera puede ver lo que pasa en esta mesa."));
  Adventurer ana, bob;
  ASSERT_TRUE(table.seat(ana, "Ana"));
  ASSERT_TRUE(table.seat(bob, "Bob"));
  ASSERT_TRUE(table.saw(TABLE_MSG_PRESENT, "Bob se sienta"));

  // Anyone may write on Ana's topic what a careless or hostile program would.
  std::string id = code.table_id.c_str();
  std::string topic = table_topic(id, TableChannel::kActions, "ana");
  MqttPeer intruder(table.port());
  ASSERT_EQ(intruder.reason(), 0);
  ASSERT_EQ(intruder.subscribe(topic), 0);
  ASSERT_TRUE(ana.vote(1, 3));
  ASSERT_TRUE(table.saw(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 3"));
  std::string ana_vote = intruder.wait_for(topic);
  ASSERT_FALSE(ana_vote.empty());

  // A vote for 2 sent as `from`, numbered below what Ana already sent.
  auto vote = [&](const char* from) {
    return "{\"v\":1,\"tipo\":\"voto\",\"de\":\"" + std::string(from) + "\",\"id\":\"" +
           std::string(32, 'f') + "\",\"seq\":1,\"datos\":{\"opcion\":2,\"turno\":1}";
  };
  TableCode stranger = code;
  stranger.key[0] ^= 1;  // someone without the code guesses at the key
  for (const std::string& payload :
       {sign_body(stranger.key, topic, vote("ana")), std::string(5000, '{'),
        sign_body(code.key, topic, "{\"v\":1,,\"tipo\":\"voto\""),  // not JSON
        sign_body(code.key, topic, vote("bob")),
        sign_body(code.key, topic, vote("ana")),  // older than Ana's clock
        ana_vote,                                 // a redelivery: dropped without a word
        std::string("\0\x01\xff hola", 9)}) {
    EXPECT_EQ(intruder.publish(topic, payload), 0);
  }
  const std::string where = "⚠️ Mensaje ignorado en qh/v1/" + id + "/jugadores/ana/acciones: ";
  for (const char* why :
       {"firma no válida", "mensaje demasiado grande (5000 bytes; máximo 4096)", "JSON mal formado",
        "remitente «bob» en un tema de «ana»", "mensaje antiguo o reenviado", "mensaje sin firma"})
    EXPECT_TRUE(table.screen_shows(where + why)) << why;

  // The table goes on as if nothing had come: Ana's vote counts once, for 3,
  // and ties with Bob's; then both take the first option until the ending.
  ASSERT_TRUE(bob.vote(1, 2));
  for (std::int32_t turn = 2; turn <= 20 && table.wait_turn(turn); ++turn) {
    ASSERT_TRUE(ana.vote(turn, 1)) << "turn " << turn;
    ASSERT_TRUE(bob.vote(turn, 1)) << "turn " << turn;
  }
  EXPECT_EQ(table.finish(), SESSION_END_ENDING) << table.dump();
  for (Adventurer* a : {&ana, &bob})
    EXPECT_EQ(table_guest_wait_end(*a->guest(), 5000), TableGuestEnd::kFinished);

  // The first scene came before they joined, with the table's state; from
  // there on every scene, roll, narration and the ending are the same.
  std::vector<std::string> story = table.adventure(), seen_by_ana = ana.adventure();
  ASSERT_GE(seen_by_ana.size(), 8u);
  ASSERT_LE(seen_by_ana.size(), story.size());
  story.erase(story.begin(), story.end() - static_cast<std::ptrdiff_t>(seen_by_ana.size()));
  EXPECT_EQ(seen_by_ana, story);
  EXPECT_EQ(bob.adventure(), seen_by_ana);
  EXPECT_EQ(table.adventure().front(), std::string(TABLE_MSG_SCENE) + ": 1");

  // Drawn by the game's own code: the scene from the retained state, the tie
  // rule, a check and the ending, on every screen alike.
  std::vector<std::string> screens = {ana.leave(), bob.leave(), table.screen()};
  for (const std::string& screen : screens)
    EXPECT_TRUE(contains_in_order(
        screen, {"─── 📍 [1] Las Puertas de la Abadía ───", "[1]\x1b[0m Descender por la escalera",
                 "Empate a 1 voto entre las opciones 2 y 3: gana la 2, la de número más bajo.",
                 "─── 📍 [3] La Sacristía Olvidada ───", "🎲 Tirando dados 2d6",
                 "¡Felicidades! Has completado la aventura victoriosamente."}));
  EXPECT_TRUE(contains_in_order(screens[0], {"Bob vota la opción 2", "¿Qué deseas hacer?"}));
  EXPECT_TRUE(lacks(screens[2], "Ana vota la opción 2"));
  EXPECT_EQ(screens[2].find("Ana vota la opción 3"), screens[2].rfind("Ana vota la opción 3"));
}

TEST(TablePlay, DirectorOverridesNarratesRollsGivesPausesAndRemoves) {
  TablePlay table;
  ASSERT_TRUE(table.open(QH_TEST_DATA_DIR "/table/puente.md", TableMode::kDirector));
  TableHost& host = *table.host();
  Adventurer ana, bob;
  ASSERT_TRUE(table.seat(ana, "Ana"));
  ASSERT_TRUE(table.seat(bob, "Bob"));
  ASSERT_TRUE(table.saw(TABLE_MSG_PRESENT, "Bob se sienta"));
  // A second terminal of this machine cannot take Ana's seat with her kept credential.
  Adventurer twin;
  EXPECT_FALSE(table.seat(twin, "Ana"));
  EXPECT_EQ(twin.error(), "alguien de este equipo ya está en la mesa con ese nombre");

  // Both vote 1; the director is told and decides otherwise later.
  ASSERT_TRUE(ana.vote(1, 1));
  ASSERT_TRUE(bob.vote(1, 1));
  ASSERT_TRUE(table.screen_shows("Votación completa. Gana la opción 1 con 2 votos."));
  for (const char* line : {"/narrar Un viento helado sube del abismo.", "/dar Amuleto de Plata",
                           "/tirada fuerza 8", "2"})
    table_host_console(host, line);
  ASSERT_TRUE(table.wait_turn(2));

  // Paused, a vote is refused at once; resumed, it counts.
  table_host_console(host, "/pausa");
  ASSERT_TRUE(ana.saw(TABLE_MSG_PAUSE, "en pausa"));
  EXPECT_FALSE(table_guest_vote(*ana.guest(), 1));
  table_host_console(host, "/seguir");
  ASSERT_TRUE(ana.saw(TABLE_MSG_PAUSE, "sigue"));

  // Removed, Bob is disconnected and may not come back, not even as a new request.
  table_host_console(host, "/expulsar bob");
  EXPECT_EQ(table_guest_wait_end(*bob.guest(), 5000), TableGuestEnd::kRemoved) << bob.dump();
  bob.leave();
  Adventurer again;
  EXPECT_FALSE(table.seat(again, "Bob"));
  EXPECT_EQ(again.error(),
            "el anfitrión no te deja entrar: el director te ha expulsado de esta mesa");

  // A late joiner sees the scene being played at once, from the table's retained state.
  Adventurer carol;
  ASSERT_TRUE(table.seat(carol, "Carol"));
  EXPECT_TRUE(carol.screen_shows("─── 📍 [2] La otra orilla ───"));

  ASSERT_TRUE(ana.vote(2, 1));
  ASSERT_TRUE(carol.vote(2, 1));
  ASSERT_TRUE(table.screen_shows("Gana la opción 1 con 2 votos. (Entrar en la cueva)"));
  table_host_console(host, "");
  EXPECT_EQ(table.finish(), SESSION_END_ENDING);
  EXPECT_TRUE(ana.saw(TABLE_MSG_ENDING, "victoriosamente"));

  std::string seen_by_ana = ana.leave();
  // Only the director sees the hidden option; everyone sees what the director did.
  EXPECT_TRUE(contains_in_order(
      table.screen(), {"🔒 (oculta) >_ abrete sesamo — Susurrar la palabra del grabado",
                       "Director ❯ ", "Votación completa. Gana la opción 1 con 2 votos."}));
  EXPECT_TRUE(lacks(seen_by_ana, "sesamo"));
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

TEST(TableFaults, AdventurerKilledMidVoteIsShownGoneAndTheVoteGoesOn) {
  TablePlay table;
  ASSERT_TRUE(table.open(kCryptStory, TableMode::kVote, 1000));
  Adventurer ana;
  ASSERT_TRUE(table.seat(ana, "Ana"));
  MesaProcess bob(table.root(), {"join", table.code(), "--nombre", "Bob"});
  ASSERT_TRUE(table.saw(TABLE_MSG_PRESENT, "Bob se sienta a la mesa.")) << bob.err();
  ASSERT_TRUE(bob.wait_output("¿Qué deseas hacer?"));

  ASSERT_TRUE(ana.vote(1, 2));
  ASSERT_TRUE(table.saw(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 2"));
  bob.kill_now();
  // The broker tells the table by Bob's last will; the vote no longer waits for him.
  EXPECT_TRUE(ana.saw(TABLE_MSG_PRESENT, "Bob se ha ido de la mesa."));
  EXPECT_TRUE(ana.saw(TABLE_MSG_RESULT, "Gana la opción 2 con 1 voto."));
  EXPECT_TRUE(table.wait_turn(2));
  EXPECT_TRUE(contains_in_order(table.dump(),
                                {"Bob ha perdido la conexión: la mesa le espera 1 segundo.",
                                 "Bob se ha ido de la mesa.", "Gana la opción 2 con 1 voto."}));
}

TEST(TableFaults, BrokerRestartedMidVoteLosesNoVote) {
  TablePlay table;
  ASSERT_TRUE(table.open());
  Adventurer ana, bob;
  ASSERT_TRUE(table.seat(ana, "Ana"));
  ASSERT_TRUE(table.seat(bob, "Bob"));
  ASSERT_TRUE(table.wait_turn(1));
  ASSERT_TRUE(bob.vote(1, 2));
  ASSERT_TRUE(table.saw(TABLE_MSG_VOTE_SEEN, "Bob vota la opción 2"));

  table_broker_stop(table.broker().pid());
  // Sent while the broker is down: kept by Ana's side until it is back.
  ASSERT_TRUE(ana.vote(1, 2));
  ASSERT_TRUE(table.broker().restart()) << table.broker().error();
  EXPECT_TRUE(table.saw(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 2", 30000)) << table.screen();
  EXPECT_TRUE(table.saw(TABLE_MSG_RESULT, "Gana la opción 2 con 2 votos.", 30000));
  EXPECT_TRUE(ana.saw(TABLE_MSG_SCENE, "3", 30000));
  EXPECT_TRUE(bob.saw(TABLE_MSG_SCENE, "3", 30000));
}

TEST(TableFaults, CrashedHostResumesAndItsAdventurersCarryOn) {
  TablePlay table;
  auto host = std::make_unique<MesaProcess>(
      table.root(), std::vector<std::string>{"host", kCryptStory, "--votacion", "--plazo", "0"});
  ASSERT_TRUE(host->wait_output("--nombre NOMBRE")) << host->err();
  std::string out = host->out();
  std::size_t at = out.find("join ") + 5;
  std::string code = out.substr(at, out.find(' ', at) - at);
  Adventurer ana, bob;
  ASSERT_TRUE(ana.join(code, "Ana", table.root())) << ana.error();
  ASSERT_TRUE(bob.join(code, "Bob", table.root())) << bob.error();
  ASSERT_TRUE(ana.vote(1, 2));
  ASSERT_TRUE(bob.vote(1, 2));
  ASSERT_TRUE(ana.saw(TABLE_MSG_SCENE, "3"));

  // Mid-vote the host dies without a word; its last will tells the table.
  ASSERT_TRUE(ana.vote(2, 1));
  ASSERT_TRUE(ana.saw(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 1"));
  host->kill_now();
  EXPECT_TRUE(ana.screen_shows("El anfitrión se ha desconectado"));
  // Bob votes while nobody hosts: the broker keeps it for the host.
  ASSERT_TRUE(bob.vote(2, 1));

  host = std::make_unique<MesaProcess>(table.root(),
                                       std::vector<std::string>{"host", kCryptStory, "--reanudar"});
  ASSERT_TRUE(host->wait_output(code)) << host->err();
  // The same scene, the hero as saved, and both votes counted.
  EXPECT_TRUE(bob.saw(TABLE_MSG_RESULT, "Gana la opción 1 con 2 votos.", 20000))
      << bob.dump() << host->out() << host->err();
  EXPECT_TRUE(bob.saw(TABLE_MSG_SCENE, "9"));
  EXPECT_TRUE(bob.saw(TABLE_MSG_PANEL, "Agua Bendita;Sello de Plata;"));
  host->type("/salir");
  EXPECT_EQ(host->wait(10000), 0) << host->err();
  EXPECT_EQ(host->err(), "");
}

}  // namespace qh_test
