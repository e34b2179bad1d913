// One MQTT connection over libmosquitto (MQTT 5): credentials, a last will,
// QoS 1, a persistent session where asked, automatic reconnection, and
// publishing and subscribing that can wait for the broker's answer. Every
// connection owns its network thread and its state, so one process may hold
// hundreds (many tables hosted side by side) and use them from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// MQTT 5 reason codes a caller may meet.
inline constexpr int TABLE_MQTT_SUCCESS = 0;
inline constexpr int TABLE_MQTT_NO_SUBSCRIBERS = 16;    // a publish reached nobody: not an error
inline constexpr int TABLE_MQTT_BAD_CREDENTIALS = 134;  // CONNACK: bad user name or password
inline constexpr int TABLE_MQTT_NOT_AUTHORIZED = 135;   // CONNACK, PUBACK or SUBACK
inline constexpr int TABLE_MQTT_TIMEOUT = -1;           // no answer in time
inline constexpr int TABLE_MQTT_UNREACHABLE = -2;       // no connection to the broker

struct TableMqttClient;

// Called on the connection's own thread. `connected` runs after every
// successful CONNACK, the first one included: subscribe there (without
// waiting: timeout 0). `disconnected` runs when the connection is lost or
// closed: a new will for the next reconnection may be set there.
struct TableMqttHandlers {
  void (*message)(void* user, const char* topic, std::string_view payload, bool retained);
  void (*connected)(void* user, TableMqttClient& client, bool reconnected);
  void (*disconnected)(void* user, TableMqttClient& client, int reason);
  void* user;
};

struct TableMqttSettings {
  std::string host;
  std::int32_t port = 1883;
  std::string client_id;
  std::string username;  // empty: anonymous
  std::string password;
  // A persistent session keeps the subscriptions and the QoS 1 messages
  // waiting for this client while it is away, for this many seconds.
  std::uint32_t session_seconds = 0;  // 0: a clean session
  std::int32_t keepalive_seconds = 10;
};

// Nothing is connected yet. nullptr when the library refuses the settings.
TableMqttClient* table_mqtt_create(const TableMqttSettings& settings,
                                   const TableMqttHandlers& handlers);
// Disconnects cleanly (no will) and releases everything; with `end_session`
// the broker also forgets the persistent session and what waits in it.
// Accepts nullptr.
void table_mqtt_destroy(TableMqttClient* client, bool end_session = false);

// The will the broker publishes if this client vanishes; used by the next
// connection or reconnection. May be called from the `disconnected` handler.
bool table_mqtt_set_will(TableMqttClient& client, const std::string& topic,
                         std::string_view payload, bool retain);

// Connects and waits for the broker's answer. True when accepted; otherwise
// `reason` gets the CONNACK reason code or TABLE_MQTT_TIMEOUT/UNREACHABLE and
// the client stays disconnected. Once connected, a lost connection is retried
// by itself (from 1 up to 8 seconds apart) until the client is destroyed.
bool table_mqtt_connect(TableMqttClient& client, std::int32_t timeout_ms, int* reason);
bool table_mqtt_connected(const TableMqttClient& client);
// The reason code of the last refused (re)connection, 0 when none was refused.
int table_mqtt_last_refusal(const TableMqttClient& client);

// Subscribes at QoS 1. With a positive timeout, waits for the SUBACK: true
// when granted; `reason` gets the code (TABLE_MQTT_NOT_AUTHORIZED when the
// broker refused). With timeout 0, only sends it.
bool table_mqtt_subscribe(TableMqttClient& client, const std::string& filter,
                          std::int32_t timeout_ms, int* reason);

// Publishes at QoS 1. With a positive timeout, waits for the PUBACK: true
// when the broker took it; `reason` gets its code (TABLE_MQTT_NOT_AUTHORIZED
// when an access rule refused the topic). With timeout 0, only queues it
// (libmosquitto sends it again after a reconnection until it is acknowledged).
// Never wait from a handler: the answer would come through the thread running it.
bool table_mqtt_publish(TableMqttClient& client, const std::string& topic, std::string_view payload,
                        bool retain, std::int32_t timeout_ms, int* reason);

// A short Spanish description of a reason code, for error lines.
const char* table_mqtt_reason_text(int reason);
