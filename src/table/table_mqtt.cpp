#include "table/table_mqtt.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

struct TableMqttClient {
  mosquitto* mosq = nullptr;
  TableMqttSettings settings;
  TableMqttHandlers handlers{};
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool connected = false;
  bool ever_connected = false;
  bool loop_running = false;
  int connack = TABLE_MQTT_TIMEOUT;  // answer to the last connection attempt
  int refusal = 0;
  // Publishes and subscriptions someone waits for: message id -> reason code
  // (TABLE_MQTT_TIMEOUT until the broker answers).
  std::map<int, int> waiting;
};

namespace {

constexpr int kQos = 1;
constexpr unsigned kReconnectMin = 1;
constexpr unsigned kReconnectMax = 8;

void ensure_library() {
  // libmosquitto's own one-time set-up; thread-safe through the static.
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
}

void on_connect(mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
  auto* client = static_cast<TableMqttClient*>(obj);
  bool reconnected;
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    client->connack = rc;
    client->connected = rc == 0;
    reconnected = client->ever_connected;
    if (rc == 0) {
      client->ever_connected = true;
    } else {
      client->refusal = rc;
    }
  }
  client->changed.notify_all();
  if (rc != 0) {
    // Refused credentials stay refused: stop retrying instead of knocking forever.
    mosquitto_disconnect(client->mosq);
    return;
  }
  if (client->handlers.connected != nullptr)
    client->handlers.connected(client->handlers.user, *client, reconnected);
}

void on_disconnect(mosquitto*, void* obj, int rc, const mosquitto_property*) {
  auto* client = static_cast<TableMqttClient*>(obj);
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    client->connected = false;
    // Whatever was waiting will not be answered on this connection.
    for (auto& [mid, reason] : client->waiting)
      if (reason == TABLE_MQTT_TIMEOUT) reason = TABLE_MQTT_UNREACHABLE;
  }
  client->changed.notify_all();
  if (client->handlers.disconnected != nullptr)
    client->handlers.disconnected(client->handlers.user, *client, rc);
}

void on_publish(mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
  auto* client = static_cast<TableMqttClient*>(obj);
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    auto it = client->waiting.find(mid);
    if (it == client->waiting.end()) return;
    it->second = reason;
  }
  client->changed.notify_all();
}

void on_subscribe(mosquitto*, void* obj, int mid, int count, const int* granted,
                  const mosquitto_property*) {
  auto* client = static_cast<TableMqttClient*>(obj);
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    auto it = client->waiting.find(mid);
    if (it == client->waiting.end()) return;
    // A granted QoS (0..2) is success; 128 and up is the broker's refusal.
    int code = count > 0 ? granted[0] : MQTT_RC_UNSPECIFIED;
    it->second = code <= 2 ? TABLE_MQTT_SUCCESS : code;
  }
  client->changed.notify_all();
}

void on_message(mosquitto*, void* obj, const mosquitto_message* message,
                const mosquitto_property*) {
  auto* client = static_cast<TableMqttClient*>(obj);
  if (client->handlers.message == nullptr || message == nullptr || message->topic == nullptr)
    return;
  std::string_view payload(
      static_cast<const char*>(message->payload),
      message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0);
  client->handlers.message(client->handlers.user, message->topic, payload, message->retain);
}

// Waits for the answer to `mid` (registered in `waiting` under the lock held by `lock`).
int wait_for(TableMqttClient& client, std::unique_lock<std::mutex>& lock, int mid,
             std::int32_t timeout_ms) {
  client.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return client.waiting[mid] != TABLE_MQTT_TIMEOUT; });
  int reason = client.waiting[mid];
  client.waiting.erase(mid);
  return reason;
}

}  // namespace

TableMqttClient* table_mqtt_create(const TableMqttSettings& settings,
                                   const TableMqttHandlers& handlers) {
  ensure_library();
  auto* client = new (std::nothrow) TableMqttClient;
  if (client == nullptr) return nullptr;
  client->settings = settings;
  client->handlers = handlers;
  const char* id = settings.client_id.empty() ? nullptr : settings.client_id.c_str();
  client->mosq = mosquitto_new(id, settings.session_seconds == 0, client);
  if (client->mosq == nullptr) {
    delete client;
    return nullptr;
  }
  mosquitto_int_option(client->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  // Small messages go out at once instead of waiting to be merged with the next.
  mosquitto_int_option(client->mosq, MOSQ_OPT_TCP_NODELAY, 1);
  if (!settings.username.empty())
    mosquitto_username_pw_set(client->mosq, settings.username.c_str(), settings.password.c_str());
  mosquitto_reconnect_delay_set(client->mosq, kReconnectMin, kReconnectMax, true);
  mosquitto_connect_v5_callback_set(client->mosq, on_connect);
  mosquitto_disconnect_v5_callback_set(client->mosq, on_disconnect);
  mosquitto_publish_v5_callback_set(client->mosq, on_publish);
  mosquitto_subscribe_v5_callback_set(client->mosq, on_subscribe);
  mosquitto_message_v5_callback_set(client->mosq, on_message);
  return client;
}

void table_mqtt_destroy(TableMqttClient* client, bool end_session) {
  if (client == nullptr) return;
  if (end_session) {
    // MQTT 5 lets a client end its persistent session as it leaves.
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 0);
    mosquitto_disconnect_v5(client->mosq, MQTT_RC_NORMAL_DISCONNECTION, properties);
    mosquitto_property_free_all(&properties);
  } else {
    mosquitto_disconnect(client->mosq);
  }
  if (client->loop_running) mosquitto_loop_stop(client->mosq, false);
  mosquitto_destroy(client->mosq);
  delete client;
}

bool table_mqtt_set_will(TableMqttClient& client, const std::string& topic,
                         std::string_view payload, bool retain) {
  return mosquitto_will_set_v5(client.mosq, topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), kQos, retain, nullptr) == MOSQ_ERR_SUCCESS;
}

bool table_mqtt_connect(TableMqttClient& client, std::int32_t timeout_ms, int* reason) {
  int local_reason = 0;
  int& out = reason != nullptr ? *reason : local_reason;
  mosquitto_property* properties = nullptr;
  if (client.settings.session_seconds > 0) {
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                 client.settings.session_seconds);
  }
  {
    std::lock_guard<std::mutex> lock(client.mutex);
    client.connack = TABLE_MQTT_TIMEOUT;
  }
  int rc =
      mosquitto_connect_bind_v5(client.mosq, client.settings.host.c_str(), client.settings.port,
                                client.settings.keepalive_seconds, nullptr, properties);
  mosquitto_property_free_all(&properties);
  if (rc != MOSQ_ERR_SUCCESS) {
    out = TABLE_MQTT_UNREACHABLE;
    return false;
  }
  if (!client.loop_running) {
    if (mosquitto_loop_start(client.mosq) != MOSQ_ERR_SUCCESS) {
      out = TABLE_MQTT_UNREACHABLE;
      return false;
    }
    client.loop_running = true;
  }
  std::unique_lock<std::mutex> lock(client.mutex);
  client.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return client.connack != TABLE_MQTT_TIMEOUT; });
  out = client.connack;
  if (out == 0) return true;
  lock.unlock();
  // Not connected: the network thread stops, so a later attempt starts afresh.
  mosquitto_disconnect(client.mosq);
  mosquitto_loop_stop(client.mosq, false);
  client.loop_running = false;
  return false;
}

bool table_mqtt_connected(const TableMqttClient& client) {
  std::lock_guard<std::mutex> lock(client.mutex);
  return client.connected;
}

int table_mqtt_last_refusal(const TableMqttClient& client) {
  std::lock_guard<std::mutex> lock(client.mutex);
  return client.refusal;
}

bool table_mqtt_subscribe(TableMqttClient& client, const std::string& filter,
                          std::int32_t timeout_ms, int* reason) {
  int local_reason = 0;
  int& out = reason != nullptr ? *reason : local_reason;
  int mid = 0;
  if (timeout_ms <= 0) {
    int rc = mosquitto_subscribe_v5(client.mosq, &mid, filter.c_str(), kQos, 0, nullptr);
    out = rc == MOSQ_ERR_SUCCESS ? TABLE_MQTT_SUCCESS : TABLE_MQTT_UNREACHABLE;
    return rc == MOSQ_ERR_SUCCESS;
  }
  // The id is registered before the network thread can deliver its answer:
  // that thread takes this lock before it looks the id up.
  std::unique_lock<std::mutex> lock(client.mutex);
  int rc = mosquitto_subscribe_v5(client.mosq, &mid, filter.c_str(), kQos, 0, nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    out = TABLE_MQTT_UNREACHABLE;
    return false;
  }
  client.waiting[mid] = TABLE_MQTT_TIMEOUT;
  out = wait_for(client, lock, mid, timeout_ms);
  return out == TABLE_MQTT_SUCCESS;
}

bool table_mqtt_publish(TableMqttClient& client, const std::string& topic, std::string_view payload,
                        bool retain, std::int32_t timeout_ms, int* reason) {
  int local_reason = 0;
  int& out = reason != nullptr ? *reason : local_reason;
  int mid = 0;
  std::unique_lock<std::mutex> lock(client.mutex, std::defer_lock);
  if (timeout_ms > 0) lock.lock();
  int rc = mosquitto_publish_v5(client.mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                payload.data(), kQos, retain, nullptr);
  // Queued while disconnected: the library sends it once the connection is back.
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
    out = TABLE_MQTT_UNREACHABLE;
    return false;
  }
  if (timeout_ms <= 0) {
    out = TABLE_MQTT_SUCCESS;
    return true;
  }
  client.waiting[mid] = TABLE_MQTT_TIMEOUT;
  out = wait_for(client, lock, mid, timeout_ms);
  return out == TABLE_MQTT_SUCCESS || out == TABLE_MQTT_NO_SUBSCRIBERS;
}

const char* table_mqtt_reason_text(int reason) {
  switch (reason) {
    case TABLE_MQTT_SUCCESS:
      return "aceptado";
    case TABLE_MQTT_TIMEOUT:
      return "el servidor no responde a tiempo";
    case TABLE_MQTT_UNREACHABLE:
      return "no se puede conectar con el servidor";
    case TABLE_MQTT_BAD_CREDENTIALS:
      return "usuario o contraseña incorrectos";
    case TABLE_MQTT_NOT_AUTHORIZED:
      return "sin permiso";
    case 5:  // MQTT 3.1.1 CONNACK "not authorised"
      return "sin permiso";
    default:
      return "rechazado por el servidor";
  }
}
