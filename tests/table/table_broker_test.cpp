// The table's broker, started for real on 127.0.0.1: who can connect, read
// and write, and a restart mid-vote.
#include "table/table_broker.h"

#include <gtest/gtest.h>

#include <memory>

#include "play_harness.h"
#include "table/table_mqtt.h"
#include "table/table_topic.h"

using qh_test::MqttPeer;

namespace {

// The broker refuses a bad user or password as one or the other, as it chooses.
bool refused(int reason) {
  return reason == TABLE_MQTT_BAD_CREDENTIALS || reason == TABLE_MQTT_NOT_AUTHORIZED;
}

// A table with its host connected and reading everything of the table.
struct Table {
  qh_test::TableBrokerHarness broker;
  TableDynsec* dynsec = nullptr;
  TableCode code{};
  std::string id;
  std::unique_ptr<MqttPeer> host;

  Table() {
    EXPECT_TRUE(broker.running()) << broker.error();
    TableBrokerAdmin admin;
    EXPECT_TRUE(table_broker_read_admin(broker.root(), admin));
    TableErrorText error{};
    dynsec = table_dynsec_open("127.0.0.1", broker.port(), admin, &error);
    EXPECT_NE(dynsec, nullptr) << error.c_str();
    EXPECT_TRUE(table_code_new(code, "127.0.0.1", broker.port(), nullptr));
    id = code.table_id.c_str();
    std::string password = table_crypto_random_hex(16);
    EXPECT_TRUE(run(table_dynsec_create_table(id, password, lobby_password())));
    host = std::make_unique<MqttPeer>(broker.port(), table_broker_host_user(id), password, 600);
    EXPECT_EQ(host->reason(), 0);
    EXPECT_EQ(host->subscribe(table_topic_root(id) + "/#"), 0);
  }
  ~Table() { table_dynsec_close(dynsec); }

  ::testing::AssertionResult run(const std::string& commands, bool tolerate_existing = false) {
    TableErrorText error{};
    if (table_dynsec_run(*dynsec, commands, tolerate_existing, &error))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << error.c_str();
  }
  std::string lobby_password() const { return table_broker_lobby_password(code.key); }
  std::string topic(TableChannel channel, std::string_view part = {}) const {
    return table_topic(id, channel, part);
  }
};

}  // namespace

TEST(TableBroker, StrangersAndAdventurersMeetTheAccessRules) {
  Table table;
  const std::int32_t port = table.broker.port();
  const std::string root = table_topic_root(table.id);
  MqttPeer anonymous(port), wrong(port, table_broker_host_user(table.id), "not-it");
  EXPECT_NE(anonymous.reason(), 0);
  EXPECT_TRUE(refused(wrong.reason()));
  EXPECT_TRUE(refused(MqttPeer(port, "qh-otra-anfitrion", "x").reason()));

  // The lobby writes join requests and reads answers (every join at a table on
  // its own broker does), nothing else.
  MqttPeer lobby(port, table_broker_lobby_user(table.id), table.lobby_password());
  ASSERT_EQ(lobby.reason(), 0);
  EXPECT_EQ(lobby.subscribe(table.topic(TableChannel::kJoinRequest)), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(lobby.subscribe(root + "/#"), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(lobby.publish(table.topic(TableChannel::kState)), TABLE_MQTT_NOT_AUTHORIZED);

  // An adventurer writes only under its own name.
  EXPECT_TRUE(table.run(table_dynsec_add_player(table.id, "ana", "clave-de-ana")));
  EXPECT_TRUE(table.run(table_dynsec_add_player(table.id, "bob", "clave-de-bob")));
  MqttPeer ana(port, table_broker_player_user(table.id, "ana"), "clave-de-ana");
  ASSERT_EQ(ana.reason(), 0);
  EXPECT_EQ(ana.publish(table.topic(TableChannel::kActions, "ana"), "voto"), 0);
  EXPECT_EQ(table.host->wait_for(table.topic(TableChannel::kActions, "ana")), "voto");
  for (const std::string& forbidden :
       {table.topic(TableChannel::kActions, "bob"), table.topic(TableChannel::kPresence, "bob"),
        table.topic(TableChannel::kState), table.topic(TableChannel::kEvents),
        table.topic(TableChannel::kHostPresence),
        table.topic(TableChannel::kJoinAnswer, std::string(32, 'a'))})
    EXPECT_EQ(ana.publish(forbidden, "falso"), TABLE_MQTT_NOT_AUTHORIZED) << forbidden;
  // It never reads another adventurer's actions (the host's topics, every
  // adventurer at a table reads).
  for (const std::string& forbidden :
       {table.topic(TableChannel::kActions, "bob"), root + "/jugadores/+/acciones", root + "/#",
        std::string("#"), table_topic_root("otramesa") + "/estado"})
    EXPECT_EQ(ana.subscribe(forbidden), TABLE_MQTT_NOT_AUTHORIZED) << forbidden;
  // Nothing Ana was refused reached the host.
  for (TableChannel channel : {TableChannel::kActions, TableChannel::kEvents})
    EXPECT_TRUE(table.host->wait_for(table.topic(channel, "bob"), 0).empty());

  // Removal disconnects her at once and her credential is gone.
  ASSERT_TRUE(table.run(table_dynsec_remove_player(table.id, "ana")));
  EXPECT_TRUE(qh_test::eventually([&] { return !table_mqtt_connected(ana.client()); }, 2000));
  EXPECT_TRUE(
      refused(MqttPeer(port, table_broker_player_user(table.id, "ana"), "clave-de-ana").reason()));
  // Creating what exists fails unless a resumed table asks to tolerate it.
  std::string create = table_dynsec_create_table(table.id, "x", table.lobby_password());
  EXPECT_FALSE(table.run(create));
  EXPECT_TRUE(table.run(create, true));
}

TEST(TableBroker, VoteSentWhileTheBrokerRestartsIsDelivered) {
  Table table;
  EXPECT_TRUE(table.run(table_dynsec_add_player(table.id, "ana", "clave-de-ana")));
  MqttPeer ana(table.broker.port(), table_broker_player_user(table.id, "ana"), "clave-de-ana", 600);
  ASSERT_EQ(ana.reason(), 0);
  table_broker_stop(table.broker.pid());
  qh_test::eventually([&] { return !table_mqtt_connected(ana.client()); }, 2000);
  // Queued while the broker is away; both clients reconnect by themselves.
  EXPECT_EQ(ana.publish(table.topic(TableChannel::kActions, "ana"), "voto 2", false, 0), 0);
  ASSERT_TRUE(table.broker.restart()) << table.broker.error();
  EXPECT_EQ(table.host->wait_for(table.topic(TableChannel::kActions, "ana"), 20000), "voto 2");
  EXPECT_TRUE(table_mqtt_connected(ana.client()));
}
