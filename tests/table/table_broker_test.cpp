// The table's broker, started for real on 127.0.0.1: who can connect, read
// and write, the last will of a killed adventurer, and a restart mid-vote.
#include "table/table_broker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker_harness.h"
#include "support/test_support.h"
#include "table/table_message.h"
#include "table/table_mqtt.h"
#include "table/table_protocol.h"

namespace {

constexpr std::int32_t kWaitMs = 5000;

// The broker refuses a bad user or password as one or the other, as it chooses.
bool refused(int reason) {
  return reason == TABLE_MQTT_BAD_CREDENTIALS || reason == TABLE_MQTT_NOT_AUTHORIZED;
}

// Messages a client received, in order, from its network thread.
struct Inbox {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> messages;  // topic, payload

  static void on_message(void* user, const char* topic, std::string_view payload, bool) {
    auto* inbox = static_cast<Inbox*>(user);
    std::lock_guard<std::mutex> lock(inbox->mutex);
    inbox->messages.emplace_back(topic, std::string(payload));
  }
  // Waits for a message on `topic` and returns its payload ("" after the wait).
  std::string wait_for(const std::string& topic, std::int32_t ms = kWaitMs) {
    for (std::int32_t waited = 0; waited < ms; waited += 20) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [t, payload] : messages)
          if (t == topic) return payload;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
  }
  bool saw(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [t, payload] : messages)
      if (t == topic) return true;
    return false;
  }
};

struct Client {
  TableMqttClient* client = nullptr;
  Inbox inbox;
  ~Client() { table_mqtt_destroy(client); }
  // Connects as `user`; the reason code of the answer.
  int connect(const qh_test::TableBrokerHarness& broker, const std::string& user,
              const std::string& password, std::uint32_t session_seconds = 0) {
    TableMqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = broker.port();
    settings.client_id = user + "-" + table_crypto_random_hex(4);
    settings.username = user;
    settings.password = password;
    settings.session_seconds = session_seconds;
    client =
        table_mqtt_create(settings, TableMqttHandlers{Inbox::on_message, nullptr, nullptr, &inbox});
    int reason = 0;
    table_mqtt_connect(*client, kWaitMs, &reason);
    return reason;
  }
  int publish(const std::string& topic, std::string_view payload = "x") {
    int reason = 0;
    table_mqtt_publish(*client, topic, payload, false, kWaitMs, &reason);
    return reason;
  }
  int subscribe(const std::string& filter) {
    int reason = 0;
    table_mqtt_subscribe(*client, filter, kWaitMs, &reason);
    return reason;
  }
};

// A table with its host connected and reading everything of the table.
struct Table {
  qh_test::TableBrokerHarness broker;
  TableDynsec* dynsec = nullptr;
  TableCode code{};
  std::string id;
  std::string host_password = table_crypto_random_hex(16);
  Client host;

  Table() {
    EXPECT_TRUE(broker.running()) << broker.error();
    TableBrokerAdmin admin;
    EXPECT_TRUE(table_broker_read_admin(broker.root(), admin));
    TableErrorText error{};
    dynsec = table_dynsec_open("127.0.0.1", broker.port(), admin, &error);
    EXPECT_NE(dynsec, nullptr) << error.c_str();
    EXPECT_TRUE(table_code_new(code, "127.0.0.1", broker.port(), nullptr));
    id = code.table_id.c_str();
    EXPECT_TRUE(table_dynsec_run(
        *dynsec,
        table_dynsec_create_table(id, host_password, table_broker_lobby_password(code.key)), false,
        &error))
        << error.c_str();
    EXPECT_EQ(host.connect(broker, table_broker_host_user(id), host_password, 600), 0);
    EXPECT_EQ(host.subscribe(table_topic_root(id) + "/#"), 0);
  }
  ~Table() { table_dynsec_close(dynsec); }

  void add_player(const std::string& player, const std::string& password) {
    TableErrorText error{};
    EXPECT_TRUE(
        table_dynsec_run(*dynsec, table_dynsec_add_player(id, player, password), false, &error))
        << error.c_str();
  }
  std::string topic(TableChannel channel, std::string_view part = {}) const {
    return table_topic(id, channel, part);
  }
};

}  // namespace

TEST(TableBroker, StrangersAndAdventurersMeetTheAccessRules) {
  Table table;
  // Without the right credentials nobody connects.
  Client anonymous, wrong, unknown;
  EXPECT_NE(anonymous.connect(table.broker, "", ""), 0);
  EXPECT_TRUE(refused(wrong.connect(table.broker, table_broker_host_user(table.id), "not-it")));
  EXPECT_TRUE(refused(unknown.connect(table.broker, "qh-otra-anfitrion", "x")));
  EXPECT_FALSE(table_mqtt_connected(*wrong.client));

  // The lobby writes join requests and reads answers, nothing else.
  Client lobby;
  ASSERT_EQ(lobby.connect(table.broker, table_broker_lobby_user(table.id),
                          table_broker_lobby_password(table.code.key)),
            0);
  EXPECT_EQ(lobby.subscribe(table.topic(TableChannel::kJoinRequest)), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(lobby.subscribe(table_topic_root(table.id) + "/#"), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(lobby.subscribe(table_topic_root(table.id) + "/entrada/respuestas/+"), 0);
  EXPECT_EQ(lobby.publish(table.topic(TableChannel::kState)), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(lobby.publish(table.topic(TableChannel::kJoinRequest), "hola"), 0);
  EXPECT_EQ(table.host.inbox.wait_for(table.topic(TableChannel::kJoinRequest)), "hola");

  // An adventurer writes only under its own name.
  table.add_player("ana", "clave-de-ana");
  table.add_player("bob", "clave-de-bob");
  Client ana;
  ASSERT_EQ(ana.connect(table.broker, table_broker_player_user(table.id, "ana"), "clave-de-ana"),
            0);
  EXPECT_EQ(ana.publish(table.topic(TableChannel::kActions, "ana"), "voto"), 0);
  EXPECT_EQ(table.host.inbox.wait_for(table.topic(TableChannel::kActions, "ana")), "voto");
  for (const std::string& forbidden :
       {table.topic(TableChannel::kActions, "bob"), table.topic(TableChannel::kPresence, "bob"),
        table.topic(TableChannel::kState), table.topic(TableChannel::kEvents),
        table.topic(TableChannel::kHostPresence),
        table.topic(TableChannel::kJoinAnswer, std::string(32, 'a'))}) {
    EXPECT_EQ(ana.publish(forbidden, "falso"), TABLE_MQTT_NOT_AUTHORIZED) << forbidden;
  }
  // It reads the host's topics and presence, never another adventurer's actions.
  EXPECT_EQ(ana.subscribe(table.topic(TableChannel::kActions, "bob")), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(ana.subscribe(table_topic_root(table.id) + "/jugadores/+/acciones"),
            TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(ana.subscribe(table_topic_root(table.id) + "/#"), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(ana.subscribe("#"), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(ana.subscribe(table_topic_root("otramesa") + "/estado"), TABLE_MQTT_NOT_AUTHORIZED);
  EXPECT_EQ(ana.subscribe(table.topic(TableChannel::kState)), 0);
  EXPECT_EQ(ana.subscribe(table_topic_root(table.id) + "/jugadores/+/presencia"), 0);
  int reason = 0;
  ASSERT_TRUE(table_mqtt_publish(*table.host.client, table.topic(TableChannel::kState), "escena",
                                 true, kWaitMs, &reason));
  EXPECT_EQ(ana.inbox.wait_for(table.topic(TableChannel::kState)), "escena");
  // Nothing Ana was refused reached the host.
  EXPECT_FALSE(table.host.inbox.saw(table.topic(TableChannel::kActions, "bob")));
  EXPECT_FALSE(table.host.inbox.saw(table.topic(TableChannel::kEvents)));

  // Removal disconnects her at once and her credential is gone.
  TableErrorText error{};
  ASSERT_TRUE(
      table_dynsec_run(*table.dynsec, table_dynsec_remove_player(table.id, "ana"), false, &error))
      << error.c_str();
  for (int i = 0; i < 100 && table_mqtt_connected(*ana.client); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(table_mqtt_connected(*ana.client));
  Client again;
  EXPECT_TRUE(refused(
      again.connect(table.broker, table_broker_player_user(table.id, "ana"), "clave-de-ana")));
  // Creating what exists fails unless a resumed table asks to tolerate it.
  std::string create =
      table_dynsec_create_table(table.id, "x", table_broker_lobby_password(table.code.key));
  EXPECT_FALSE(table_dynsec_run(*table.dynsec, create, false, &error));
  EXPECT_TRUE(table_dynsec_run(*table.dynsec, create, true, &error)) << error.c_str();
}

TEST(TableBroker, KilledAdventurerIsShownGoneByItsLastWill) {
  Table table;
  table.add_player("bob", "clave-de-bob");
  TableSigner signer;
  table_signer_init(signer, table.code.key, "bob", 0);
  std::string topic = table.topic(TableChannel::kPresence, "bob");
  std::string data, will;
  table_encode_presence("Bob", false, data);
  ASSERT_TRUE(table_message_seal(signer, topic, TableChannel::kPresence, TABLE_MSG_PRESENCE, data,
                                 0, will));
  int reason = 0;
  ASSERT_TRUE(table_mqtt_publish(*table.host.client, table.topic(TableChannel::kState), "{}", true,
                                 kWaitMs, &reason));

  // Bob is another process: the broker's own client, killed without a goodbye.
  qh_test::TempDir dir;
  std::string out = dir.file("sub.txt");
  std::string port = std::to_string(table.broker.port());
  std::string user = table_broker_player_user(table.id, "bob");
  std::string state = table.topic(TableChannel::kState);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    const char* argv[] = {"mosquitto_sub", "-h",           "127.0.0.1",   "-p",
                          port.c_str(),    "-u",           user.c_str(),  "-P",
                          "clave-de-bob",  "-V",           "mqttv5",      "-t",
                          state.c_str(),   "--will-topic", topic.c_str(), "--will-payload",
                          will.c_str(),    "--will-qos",   "1",           "--will-retain",
                          nullptr};
    execvp("mosquitto_sub", const_cast<char* const*>(argv));
    _exit(127);
  }
  // Connected once it has printed the retained state.
  for (int i = 0; i < 250 && qh_test::read_file(out).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(qh_test::read_file(out), "{}\n");
  EXPECT_FALSE(table.host.inbox.saw(topic));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  std::string payload = table.host.inbox.wait_for(topic);
  ASSERT_FALSE(payload.empty());
  std::uint8_t key[TABLE_MAC_BYTES];
  table_message_key(table.code.key, key);
  TableMessage message;
  ASSERT_TRUE(table_message_open(table.id, key, topic, payload, message, nullptr));
  TableNameText name;
  bool present = true;
  ASSERT_TRUE(table_decode_presence(table_message_data(message), name, present));
  EXPECT_STREQ(name.c_str(), "Bob");
  EXPECT_FALSE(present);
}

TEST(TableBroker, VoteSentWhileTheBrokerRestartsIsDelivered) {
  Table table;
  table.add_player("ana", "clave-de-ana");
  Client ana;
  ASSERT_EQ(
      ana.connect(table.broker, table_broker_player_user(table.id, "ana"), "clave-de-ana", 600), 0);
  table_broker_stop(table.broker.pid());
  for (int i = 0; i < 100 && table_mqtt_connected(*ana.client); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // Queued while the broker is away; both clients reconnect by themselves.
  int reason = 0;
  EXPECT_TRUE(table_mqtt_publish(*ana.client, table.topic(TableChannel::kActions, "ana"), "voto 2",
                                 false, 0, &reason));
  ASSERT_TRUE(table.broker.restart()) << table.broker.error();
  EXPECT_EQ(table.host.inbox.wait_for(table.topic(TableChannel::kActions, "ana"), 20000), "voto 2");
  EXPECT_TRUE(table_mqtt_connected(*ana.client));
}
