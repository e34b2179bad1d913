// A table under faults: messages forged, malformed, oversized or replayed; an
// adventurer killed mid-vote; the broker restarted mid-vote; the host killed
// and resumed; a broker nobody administers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "play_harness.h"
#include "support/test_support.h"
#include "table/table_broker.h"
#include "table/table_crypto.h"
#include "table/table_message.h"
#include "table/table_mqtt.h"
#include "table/table_protocol.h"

using qh_test::Adventurer;
using qh_test::bundled_story;
using qh_test::contains_in_order;
using qh_test::MesaProcess;
using qh_test::TablePlay;

namespace {

constexpr const char* kCrypt = "la_cripta_del_rey_ceniza.md";

TableCode code_of(const std::string& text) {
  TableCode code{};
  EXPECT_TRUE(table_code_parse(text, code, nullptr)) << text;
  return code;
}

// The settings a program started in `root` reads: quiet, and this table's broker.
void write_config(const TablePlay& table) {
  qh_test::write_file(table.root() + "/config.json",
                      "{\"offline_mode\": true, \"typing_speed\": 0, \"music_enabled\": false, "
                      "\"mqtt_broker\": \"127.0.0.1\", \"mqtt_port\": " +
                          std::to_string(table.port()) + "}");
}

// Someone holding the host's credential (read from the table's own file) who
// writes what a careless or hostile program would.
struct Intruder {
  TableMqttClient* client = nullptr;
  std::string captured;  // the last message seen on the topic it watches
  std::mutex mutex;

  static void on_message(void* user, const char*, std::string_view payload, bool) {
    auto* self = static_cast<Intruder*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->captured.assign(payload);
  }
  Intruder(const TablePlay& table, const std::string& table_id) {
    std::string file =
        qh_test::read_file(table.root() + "/mesa/salas/la_cripta_del_rey_ceniza/mesa.json");
    std::size_t at = file.find("\"anfitrion\": \"") + 14;
    TableMqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = table.port();
    settings.client_id = "intruso";
    settings.username = table_broker_host_user(table_id);
    settings.password = file.substr(at, file.find('"', at) - at);
    client = table_mqtt_create(settings, TableMqttHandlers{on_message, nullptr, nullptr, this});
    int reason = 0;
    EXPECT_TRUE(table_mqtt_connect(*client, 5000, &reason)) << reason;
  }
  ~Intruder() { table_mqtt_destroy(client); }
  void watch(const std::string& topic) {
    EXPECT_TRUE(table_mqtt_subscribe(*client, topic, 5000, nullptr));
  }
  void send(const std::string& topic, std::string_view payload) {
    EXPECT_TRUE(table_mqtt_publish(*client, topic, payload, false, 5000, nullptr));
  }
  std::string last() {
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
  }
};

}  // namespace

TEST(TableFaults, ForgedMalformedOversizedAndReplayedMessagesAreIgnoredWithALine) {
  TablePlay table;
  ASSERT_TRUE(table.open(table.settings(bundled_story(kCrypt), TableMode::kVote))) << table.error();
  TableCode code = code_of(table.code());
  std::string id = code.table_id.c_str();
  std::string topic = table_topic(id, TableChannel::kActions, "ana");
  Adventurer ana, bob;
  ASSERT_TRUE(ana.join(table.code(), "Ana", table.root())) << ana.error();
  ASSERT_TRUE(bob.join(table.code(), "Bob", table.root())) << bob.error();
  Intruder intruder(table, id);
  intruder.watch(topic);

  ASSERT_TRUE(ana.vote(1, 1));
  ASSERT_TRUE(table.seen().wait_for(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 1"));
  ASSERT_TRUE(qh_test::eventually([&] { return !intruder.last().empty(); }));
  std::string ana_vote = intruder.last();

  std::string vote;
  table_encode_vote(2, 1, vote);
  std::string forged, wrong_sender, replayed;
  TableCode stranger = code;
  stranger.key[0] ^= 1;  // someone without the code guesses at the key
  TableSigner signer;
  table_signer_init(signer, stranger.key, "ana", 0);
  table_message_seal(signer, topic, TableChannel::kActions, TABLE_MSG_VOTE, vote, 0, forged);
  table_signer_init(signer, code.key, "bob", 0);
  table_message_seal(signer, topic, TableChannel::kActions, TABLE_MSG_VOTE, vote, 0, wrong_sender);
  table_signer_init(signer, code.key, "ana", 1);  // numbered below what Ana already sent
  table_message_seal(signer, topic, TableChannel::kActions, TABLE_MSG_VOTE, vote, 0, replayed);
  // Signed with the right key, but not JSON.
  std::string body = "{\"v\":1,,\"tipo\":\"voto\"";
  std::uint8_t key[TABLE_MAC_BYTES], mac[TABLE_MAC_BYTES];
  table_message_key(code.key, key);
  table_crypto_hmac(key, topic + "\n" + body, mac);
  std::string malformed = body + ",\"firma\":\"";
  table_crypto_append_hex(malformed, mac);
  malformed += "\"}";

  intruder.send(topic, forged);
  intruder.send(topic, std::string(5000, '{'));
  intruder.send(topic, malformed);
  intruder.send(topic, wrong_sender);
  intruder.send(topic, replayed);
  intruder.send(topic, ana_vote);  // a redelivery: dropped without a word
  intruder.send(topic, std::string("\0\x01\xff hola", 9));

  const std::string where = "⚠️ Mensaje ignorado en qh/v1/" + id + "/jugadores/ana/acciones: ";
  for (const std::string& why :
       {std::string("firma no válida"),
        std::string("mensaje demasiado grande (5000 bytes; máximo 4096)"),
        std::string("JSON mal formado"), std::string("remitente «bob» en un tema de «ana»"),
        std::string("mensaje antiguo o reenviado"), std::string("mensaje sin firma")}) {
    EXPECT_TRUE(table.screen_shows(where + why)) << why;
  }
  // The table goes on as if nothing had come: Ana's vote counted once, and for option 1.
  ASSERT_TRUE(bob.vote(1, 1));
  EXPECT_TRUE(table.seen().wait_for(TABLE_MSG_RESULT, "Gana la opción 1 con 2 votos."));
  EXPECT_TRUE(table.wait_turn(2));
  std::string screen = table.screen();
  EXPECT_EQ(screen.find("Ana vota la opción 2"), std::string::npos);
  EXPECT_EQ(screen.find("Ana vota la opción 1"), screen.rfind("Ana vota la opción 1"));
}

TEST(TableFaults, AdventurerKilledMidVoteIsShownGoneAndTheVoteGoesOn) {
  TablePlay table;
  write_config(table);
  TableHostSettings settings = table.settings(bundled_story(kCrypt), TableMode::kVote);
  settings.presence_grace_ms = 1000;
  ASSERT_TRUE(table.open(settings)) << table.error();
  Adventurer ana;
  ASSERT_TRUE(ana.join(table.code(), "Ana", table.root())) << ana.error();
  MesaProcess bob(table.root(), {"join", table.code(), "--nombre", "Bob"});
  ASSERT_TRUE(table.seen().wait_for(TABLE_MSG_PRESENT, "Bob se sienta a la mesa.")) << bob.err();
  ASSERT_TRUE(bob.wait_output("¿Qué deseas hacer?"));

  ASSERT_TRUE(ana.vote(1, 2));
  ASSERT_TRUE(table.seen().wait_for(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 2"));
  bob.kill_now();
  // The broker tells the table by Bob's last will; the vote no longer waits for him.
  EXPECT_TRUE(ana.seen().wait_for(TABLE_MSG_PRESENT, "Bob se ha ido de la mesa."));
  EXPECT_TRUE(ana.seen().wait_for(TABLE_MSG_RESULT, "Gana la opción 2 con 1 voto."));
  EXPECT_TRUE(table.wait_turn(2));
  EXPECT_TRUE(contains_in_order(table.seen().dump(),
                                {"Bob ha perdido la conexión: la mesa le espera 1 segundo.",
                                 "Bob se ha ido de la mesa.", "Gana la opción 2 con 1 voto."}));
}

TEST(TableFaults, BrokerRestartedMidVoteLosesNoVote) {
  TablePlay table;
  ASSERT_TRUE(table.open(table.settings(bundled_story(kCrypt), TableMode::kVote))) << table.error();
  Adventurer ana, bob;
  ASSERT_TRUE(ana.join(table.code(), "Ana", table.root())) << ana.error();
  ASSERT_TRUE(bob.join(table.code(), "Bob", table.root())) << bob.error();
  ASSERT_TRUE(table.wait_turn(1));
  ASSERT_TRUE(bob.vote(1, 2));
  ASSERT_TRUE(table.seen().wait_for(TABLE_MSG_VOTE_SEEN, "Bob vota la opción 2"));

  table_broker_stop(table.broker().pid());
  // Sent while the broker is down: kept by Ana's side until it is back.
  ASSERT_TRUE(ana.vote(1, 2));
  ASSERT_TRUE(table.broker().restart()) << table.broker().error();
  EXPECT_TRUE(table.seen().wait_for(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 2", 30000))
      << table.screen();
  EXPECT_TRUE(table.seen().wait_for(TABLE_MSG_RESULT, "Gana la opción 2 con 2 votos.", 30000));
  EXPECT_TRUE(ana.seen().wait_for(TABLE_MSG_SCENE, "3", 30000));
  EXPECT_TRUE(bob.seen().wait_for(TABLE_MSG_SCENE, "3", 30000));
}

TEST(TableFaults, CrashedHostResumesAndItsAdventurersCarryOn) {
  TablePlay table;
  write_config(table);
  const std::vector<std::string> args = {"host", bundled_story(kCrypt), "--votacion", "--plazo",
                                         "0"};
  auto host = std::make_unique<MesaProcess>(table.root(), args,
                                            std::vector<std::string>{"QUILLHAVEN_SEED=7"});
  ASSERT_TRUE(host->wait_output("--nombre NOMBRE")) << host->err();
  std::string out = host->out();
  std::size_t at = out.find("join ") + 5;
  std::string code = out.substr(at, out.find(' ', at) - at);
  Adventurer ana, bob;
  ASSERT_TRUE(ana.join(code, "Ana", table.root())) << ana.error();
  ASSERT_TRUE(bob.join(code, "Bob", table.root())) << bob.error();
  ASSERT_TRUE(ana.vote(1, 2));
  ASSERT_TRUE(bob.vote(1, 2));
  ASSERT_TRUE(ana.seen().wait_for(TABLE_MSG_SCENE, "3"));

  // Mid-vote the host dies without a word; its last will tells the table.
  ASSERT_TRUE(ana.vote(2, 1));
  ASSERT_TRUE(ana.seen().wait_for(TABLE_MSG_VOTE_SEEN, "Ana vota la opción 1"));
  host->kill_now();
  EXPECT_TRUE(ana.screen_shows("El anfitrión se ha desconectado"));
  // Bob votes while nobody hosts: the broker keeps it for the host.
  ASSERT_TRUE(bob.vote(2, 1));

  host = std::make_unique<MesaProcess>(
      table.root(), std::vector<std::string>{"host", bundled_story(kCrypt), "--reanudar"},
      std::vector<std::string>{"QUILLHAVEN_SEED=7"});
  ASSERT_TRUE(host->wait_output(code)) << host->err();
  // The same scene, the hero as saved, and both votes counted.
  EXPECT_TRUE(bob.seen().wait_for(TABLE_MSG_RESULT, "Gana la opción 1 con 2 votos.", 20000))
      << bob.seen().dump() << host->out() << host->err();
  EXPECT_TRUE(bob.seen().wait_for(TABLE_MSG_SCENE, "9"));
  EXPECT_TRUE(bob.seen().wait_for(TABLE_MSG_PANEL, "Agua Bendita;Sello de Plata;"));
  host->type("/salir");
  EXPECT_EQ(host->wait(10000), 0) << host->err();
  EXPECT_EQ(host->err(), "");
}
