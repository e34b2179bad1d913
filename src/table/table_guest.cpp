#include "table/table_guest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/json_text.h"
#include "common/text_util.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "rules/option_rules.h"
#include "table/table_broker.h"
#include "table/table_events.h"
#include "table/table_mqtt.h"
#include "table/table_protocol.h"
#include "table/table_screen.h"
#include "table/table_state.h"

namespace {

constexpr std::int32_t kConnectMs = 10000;
constexpr std::int32_t kGoodbyeMs = 3000;
constexpr std::uint32_t kSessionSeconds = 3600;
constexpr std::size_t kPasswordBytes = 24;  // 48 hex digits, within the 32 to 64 allowed

constexpr const char* kHelp =
    "En la mesa:\n"
    "  N              votas la opción (o la propuesta) N\n"
    "  texto          propones una acción o una orden de terminal; los demás pueden votarla\n"
    "  /decir TEXTO   hablas a la mesa\n"
    "  /ficha, /mochila   el héroe de la compañía\n"
    "  /mesa          quién está y qué ha votado\n"
    "  /salir         dejas la mesa\n";

// The lobby's side of a join: the answer to our nonce.
struct Lobby {
  std::mutex mutex;
  std::condition_variable answered;
  std::string table_id;
  std::uint8_t key[TABLE_MAC_BYTES];
  std::string topic;
  bool has_answer = false;
  TableJoinAnswer answer{};
};

void lobby_message(void* user, const char* topic, std::string_view payload, bool) {
  auto* lobby = static_cast<Lobby*>(user);
  if (lobby->topic != topic) return;
  TableMessage m;
  if (!table_message_open(lobby->table_id, lobby->key, topic, payload, m, nullptr)) return;
  TableJoinAnswer answer;
  if (m.type != TABLE_MSG_JOIN_ANSWER || !table_decode_join_answer(table_message_data(m), answer))
    return;
  std::lock_guard<std::mutex> lock(lobby->mutex);
  lobby->answer = answer;
  lobby->has_answer = true;
  lobby->answered.notify_all();
}

}  // namespace

struct TableGuest {
  TableGuestSettings settings;
  std::string table_id;
  std::uint8_t key[TABLE_MAC_BYTES]{};
  TablePlayerId id;
  std::string password;
  TableMqttClient* mqtt = nullptr;
  TableScreen* screen = nullptr;

  std::mutex publish_mutex;  // the signer and the presence pair
  TableSigner signer{};
  std::string presence_message;  // "present", sent on every connection

  // What the network thread learnt; read by the typing thread.
  mutable std::mutex mutex;
  std::condition_variable ended;
  TableReplayGuard* guard = nullptr;
  TableGuestEnd end = TableGuestEnd::kNone;
  std::int32_t turn = 0;
  bool vote_open = false;
  bool paused = false;
  std::int32_t choices = 0;  // numbered options and proposals of the open vote
  bool commands = false;     // the scene is played by typing terminal commands
  bool host_away = false;
  bool drawn = false;  // a scene was drawn: a retained state is drawn only when newer
  std::string table_line = "Nadie más en la mesa todavía.";
  // This adventurer's latest vote or proposal, sent again when a host that
  // was away comes back: a host that crashed may not have kept it.
  std::int32_t action_turn = 0;
  std::string action_type;
  std::string action_data;
  Character* hero = nullptr;     // the latest panel's, for /ficha and /mochila
  int credential_fd = -1;        // the kept credential, locked while at the table
  bool credential_kept = false;  // the file holds one (read or written)
};

namespace {

std::string credential_path(const TableGuest& g) {
  if (g.settings.root.empty()) return {};
  return g.settings.root + "/" + PATH_TABLE_JOINED_DIR + "/" + g.table_id + "-" + g.id.c_str() +
         ".json";
}

void forget_credential(const TableGuest& g) {
  std::string path = credential_path(g);
  if (!path.empty()) unlink(path.c_str());
}

// The credential's file stays locked while this adventurer sits at the table:
// a second terminal with the same name cannot take the seat over (it would
// push the first off the broker with the same client id). False when it is
// in use; true, without a file, when none is kept.
bool lock_credential(TableGuest& g) {
  std::string path = credential_path(g);
  if (path.empty()) return true;
  std::string folder = g.settings.root + "/" + PATH_TABLE_JOINED_DIR;
  if (!platform_mkdir_p(folder.c_str())) return true;
  chmod(folder.c_str(), 0700);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (fd >= 0) close(fd);
    return true;  // nothing kept, nothing to guard
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  g.credential_fd = fd;
  return true;
}

void keep_credential(TableGuest& g) {
  if (g.credential_fd < 0) return;
  std::string text =
      "{\"jugador\": \"" + std::string(g.id.view()) + "\", \"clave\": \"" + g.password + "\"}\n";
  g.credential_kept = true;
  if (ftruncate(g.credential_fd, 0) == 0 &&
      pwrite(g.credential_fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
    fsync(g.credential_fd);
  }
}

bool read_credential(TableGuest& g) {
  if (g.credential_fd < 0) return false;
  char buffer[4096];
  ssize_t n = pread(g.credential_fd, buffer, sizeof buffer, 0);
  JsonMember root;
  if (n <= 0 ||
      !json_parse_tree(std::string_view(buffer, static_cast<std::size_t>(n)), root, nullptr)) {
    return false;
  }
  const JsonMember* id = json_find_typed(root, "jugador", JsonType::kString);
  const JsonMember* password = json_find_typed(root, "clave", JsonType::kString);
  if (id == nullptr || password == nullptr || id->text != g.id.view() || password->text.empty())
    return false;
  g.password = password->text;
  g.credential_kept = true;
  return true;
}

void note(TableGuest& g, std::string_view text, std::string_view level = "info") {
  if (g.screen != nullptr) table_screen_note(*g.screen, text, level);
}

void finish(TableGuest& g, TableGuestEnd end) {
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.end != TableGuestEnd::kNone) return;
    g.end = end;
  }
  g.ended.notify_all();
}

bool send(TableGuest& g, std::string_view type, const std::string& data,
          std::int32_t vote_turn = 0) {
  if (vote_turn > 0) {
    std::lock_guard<std::mutex> lock(g.mutex);
    g.action_turn = vote_turn;
    g.action_type.assign(type);
    g.action_data = data;
  }
  std::string topic = table_topic(g.table_id, TableChannel::kActions, g.id.view());
  std::string message;
  std::lock_guard<std::mutex> lock(g.publish_mutex);
  return table_message_seal(g.signer, topic, TableChannel::kActions, type, data, 0, message) &&
         table_mqtt_publish(*g.mqtt, topic, message, false, 0, nullptr);
}

// "Gone" on this adventurer's presence topic; `wait_ms` waits for the broker.
void say_goodbye(TableGuest& g, std::int32_t wait_ms) {
  std::string topic = table_topic(g.table_id, TableChannel::kPresence, g.id.view());
  std::string data, message;
  table_encode_presence(g.settings.name, false, data);
  table_json_add_flag(data, "despedida", true);
  {
    std::lock_guard<std::mutex> lock(g.publish_mutex);
    if (!table_message_seal(g.signer, topic, TableChannel::kPresence, TABLE_MSG_PRESENCE, data, 0,
                            message)) {
      return;
    }
  }
  table_mqtt_publish(*g.mqtt, topic, message, true, wait_ms, nullptr);
}

// How many options of an options message a number can name.
std::int32_t numbered_options(const JsonMember& options, bool& commands) {
  commands = false;
  std::int32_t count = 0;
  const JsonMember* list = json_find_typed(options, "lista", JsonType::kArray);
  if (list == nullptr) return 0;
  for (const JsonMember& m : list->children) {
    const JsonMember* access = json_find_typed(m, "acceso", JsonType::kString);
    if (access == nullptr) continue;
    if (access->text == "numero") ++count;
    if (access->text == "comando") commands = true;
  }
  return count > SECTION_MAX_TRANSITIONS ? SECTION_MAX_TRANSITIONS : count;
}

// Takes what a message says about the vote; the lock is held.
void learn(TableGuest& g, std::string_view type, const JsonMember& data) {
  if (type == TABLE_MSG_OPTIONS) {
    g.turn = table_decode_turn(data);
    g.choices = numbered_options(data, g.commands);
    g.vote_open = true;
  } else if (type == TABLE_MSG_CANDIDATE) {
    std::int32_t number = table_read_int(data, "numero", 0, 0, SECTION_MAX_TRANSITIONS);
    if (table_read_int(data, "turno", -1, -1, INT32_MAX) == g.turn && number > g.choices)
      g.choices = number;
  } else if (type == TABLE_MSG_RESULT) {
    if (table_read_int(data, "turno", -1, -1, INT32_MAX) == g.turn) g.vote_open = false;
  } else if (type == TABLE_MSG_PAUSE) {
    g.paused = table_read_flag(data, "pausa");
  } else if (type == TABLE_MSG_PANEL && g.hero != nullptr) {
    table_decode_hero(data, *g.hero);
  }
}

// The retained state: drawn when nothing was drawn yet or it is of a later
// turn than what is on screen (a late joiner, or one back after a long absence).
void take_state(TableGuest& g, const TableMessage& m) {
  const JsonMember& data = table_message_data(m);
  bool draw = false;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    TableText line;
    if (table_read_text(data, "texto", line)) g.table_line = line.c_str();
    std::int32_t turn = table_read_int(data, "turno", 0, 0, INT32_MAX);
    g.paused = table_read_flag(data, "pausa");
    if (!g.drawn || turn > g.turn) {
      draw = json_find_typed(data, "escena", JsonType::kObject) != nullptr;
      g.drawn = g.drawn || draw;
      g.turn = turn;
      g.vote_open = table_read_flag(data, "abierta");
      g.choices = 0;
      if (const JsonMember* options = json_find_typed(data, "opciones", JsonType::kObject))
        g.choices = numbered_options(*options, g.commands);
      if (const JsonMember* list = json_find_typed(data, "candidatas", JsonType::kArray)) {
        for (const JsonMember& c : list->children) {
          std::int32_t number = table_read_int(c, "numero", 0, 0, SECTION_MAX_TRANSITIONS);
          if (number > g.choices) g.choices = number;
        }
      }
      if (const JsonMember* panel = json_find_typed(data, "panel", JsonType::kObject)) {
        if (g.hero != nullptr) table_decode_hero(*panel, *g.hero);
      }
    }
  }
  if (draw && g.screen != nullptr) table_screen_post(*g.screen, m.type.view(), data);
}

void host_presence(TableGuest& g, const TableMessage& m) {
  TableNameText name;
  bool present = false;
  if (!table_decode_presence(table_message_data(m), name, present)) return;
  bool changed;
  std::string type, data;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    changed = g.host_away == present && g.end == TableGuestEnd::kNone;
    g.host_away = !present;
    if (changed && present && g.vote_open && g.action_turn == g.turn) {
      type = g.action_type;
      data = g.action_data;
    }
  }
  if (!changed) return;
  if (present) {
    note(g, "✅ El anfitrión ha vuelto a la mesa.", "success");
    if (!type.empty()) send(g, type, data);
  } else {
    note(g, "⚠️ El anfitrión se ha desconectado: la mesa le espera (tus votos se guardan).",
         "warning");
  }
}

void guest_message(void* user, const char* topic, std::string_view payload, bool) {
  TableGuest& g = *static_cast<TableGuest*>(user);
  if (payload.empty()) return;  // a retained message being cleared
  TableMessage m;
  if (!table_message_open(g.table_id, g.key, topic, payload, m, nullptr)) return;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!table_guard_accept(*g.guard, m, nullptr)) return;
  }
  switch (m.topic.channel) {
    case TableChannel::kState:
      take_state(g, m);
      break;
    case TableChannel::kHostPresence:
      host_presence(g, m);
      break;
    default:
      break;
  }
  if (m.topic.channel == TableChannel::kEvents) {
    std::lock_guard<std::mutex> lock(g.mutex);
    learn(g, m.type.view(), table_message_data(m));
    if (m.type == TABLE_MSG_SCENE) g.drawn = true;
  }
  // Told once the guest itself knows: a hook may act on what it hears.
  if (g.settings.hooks.message != nullptr) g.settings.hooks.message(g.settings.hooks.user, m);
  if (m.topic.channel != TableChannel::kEvents) return;
  const JsonMember& data = table_message_data(m);
  JsonMember copy = data;
  if (g.screen != nullptr) table_screen_post(*g.screen, m.type.view(), std::move(copy));
  if (m.type == TABLE_MSG_CLOSED) {
    // Heard: the goodbye at once tells the closing host it may let go.
    say_goodbye(g, 0);
    finish(g, table_read_flag(data, "final") ? TableGuestEnd::kFinished : TableGuestEnd::kClosed);
  } else if (m.type == TABLE_MSG_REMOVED) {
    const JsonMember* who = json_find_typed(data, "quien", JsonType::kString);
    if (who != nullptr && who->text == g.id.view()) finish(g, TableGuestEnd::kRemoved);
  }
}

// The presence pair of one connection: "present" now, and the will saying
// "gone" with the next sequence, so a later departure is never taken for a replay.
void arm_will(TableGuest& g) {
  std::lock_guard<std::mutex> lock(g.publish_mutex);
  std::string topic = table_topic(g.table_id, TableChannel::kPresence, g.id.view());
  std::uint64_t present_seq = table_signer_take(g.signer, TableChannel::kPresence);
  std::uint64_t will_seq = table_signer_take(g.signer, TableChannel::kPresence);
  std::string data, will;
  table_encode_presence(g.settings.name, true, data);
  table_message_seal(g.signer, topic, TableChannel::kPresence, TABLE_MSG_PRESENCE, data,
                     present_seq, g.presence_message);
  table_encode_presence(g.settings.name, false, data);
  if (table_message_seal(g.signer, topic, TableChannel::kPresence, TABLE_MSG_PRESENCE, data,
                         will_seq, will)) {
    table_mqtt_set_will(*g.mqtt, topic, will, true);
  }
}

void guest_connected(void* user, TableMqttClient& client, bool reconnected) {
  TableGuest& g = *static_cast<TableGuest*>(user);
  table_mqtt_subscribe(client, table_topic(g.table_id, TableChannel::kState), 0, nullptr);
  table_mqtt_subscribe(client, table_topic(g.table_id, TableChannel::kEvents), 0, nullptr);
  table_mqtt_subscribe(client, table_topic(g.table_id, TableChannel::kHostPresence), 0, nullptr);
  std::string message;
  {
    std::lock_guard<std::mutex> lock(g.publish_mutex);
    message = g.presence_message;
  }
  table_mqtt_publish(client, table_topic(g.table_id, TableChannel::kPresence, g.id.view()), message,
                     true, 0, nullptr);
  if (reconnected) note(g, "✅ Conexión recuperada.", "success");
}

void guest_disconnected(void* user, TableMqttClient& client, int) {
  TableGuest& g = *static_cast<TableGuest*>(user);
  if (table_mqtt_last_refusal(client) != 0) {
    // The broker refuses the credential now: removed, or the table is gone.
    note(g, "❌ El servidor ya no acepta tu acceso a esta mesa.", "error");
    finish(g, TableGuestEnd::kRefused);
    return;
  }
  if (table_guest_end(g) == TableGuestEnd::kNone)
    note(g, "⚠️ Conexión perdida con el servidor: reintentando…", "warning");
  arm_will(g);
}

// Connects with the adventurer's own credential. False with the broker's reason.
bool connect_player(TableGuest& g, int& reason) {
  TableMqttSettings settings;
  settings.host = g.settings.code.host.c_str();
  settings.port = g.settings.code.port;
  settings.client_id = table_broker_player_user(g.table_id, g.id.view());
  if (!g.settings.code.open_broker) {
    settings.username = settings.client_id;
    settings.password = g.password;
  }
  settings.session_seconds = kSessionSeconds;
  g.mqtt = table_mqtt_create(
      settings, TableMqttHandlers{guest_message, guest_connected, guest_disconnected, &g});
  if (g.mqtt == nullptr) {
    reason = TABLE_MQTT_UNREACHABLE;
    return false;
  }
  arm_will(g);
  if (table_mqtt_connect(*g.mqtt, kConnectMs, &reason)) return true;
  table_mqtt_destroy(g.mqtt);
  g.mqtt = nullptr;
  return false;
}

// Asks the host for a seat through the lobby credential every holder of the code has.
bool ask_to_join(TableGuest& g, TableErrorText* error) {
  Lobby lobby;
  lobby.table_id = g.table_id;
  std::memcpy(lobby.key, g.key, sizeof lobby.key);
  TableJoinRequest request{};
  request.name.assign(g.settings.name);
  request.nonce.assign(table_crypto_random_hex(TABLE_NONCE_LENGTH / 2));
  g.password = table_crypto_random_hex(kPasswordBytes);
  request.password.assign(g.password);
  if (request.nonce.empty() || g.password.empty()) {
    error->assign("no se pudieron obtener bytes aleatorios del sistema");
    return false;
  }
  lobby.topic = table_topic(g.table_id, TableChannel::kJoinAnswer, request.nonce.view());
  TableMqttSettings settings;
  settings.host = g.settings.code.host.c_str();
  settings.port = g.settings.code.port;
  settings.client_id = table_broker_lobby_user(g.table_id) + "-" + table_crypto_random_hex(6);
  if (!g.settings.code.open_broker) {
    settings.username = table_broker_lobby_user(g.table_id);
    settings.password = table_broker_lobby_password(g.settings.code.key);
  }
  TableMqttClient* client =
      table_mqtt_create(settings, TableMqttHandlers{lobby_message, nullptr, nullptr, &lobby});
  int reason = 0;
  std::string data, message;
  TableSigner signer;
  table_signer_init(signer, g.settings.code.key, TABLE_SENDER_LOBBY, 0);
  std::string topic = table_topic(g.table_id, TableChannel::kJoinRequest);
  table_encode_join(request, data);
  bool ok = client != nullptr && table_mqtt_connect(*client, kConnectMs, &reason) &&
            table_mqtt_subscribe(*client, lobby.topic, kConnectMs, &reason) &&
            table_message_seal(signer, topic, TableChannel::kJoinRequest, TABLE_MSG_JOIN, data, 0,
                               message) &&
            table_mqtt_publish(*client, topic, message, false, kConnectMs, &reason);
  if (!ok) {
    table_mqtt_destroy(client);
    char line[TABLE_ERROR_BYTES];
    std::snprintf(line, sizeof line, "no se pudo entrar en la mesa (%s:%d): %s",
                  g.settings.code.host.c_str(), g.settings.code.port,
                  table_mqtt_reason_text(reason));
    error->assign(line);
    return false;
  }
  {
    std::unique_lock<std::mutex> lock(lobby.mutex);
    lobby.answered.wait_for(lock, std::chrono::milliseconds(g.settings.answer_ms),
                            [&] { return lobby.has_answer; });
  }
  table_mqtt_destroy(client);
  if (!lobby.has_answer) {
    error->assign("el anfitrión no responde: ¿está abierta la mesa?");
    return false;
  }
  if (!lobby.answer.admitted) {
    error->assign("el anfitrión no te deja entrar: " + std::string(lobby.answer.reason.view()));
    return false;
  }
  g.id = lobby.answer.player_id;
  return true;
}

}  // namespace

TableGuest* table_guest_join(const TableGuestSettings& settings, TableErrorText* error) {
  TableErrorText local{};
  if (error == nullptr) error = &local;
  auto* g = new (std::nothrow) TableGuest;
  if (g == nullptr) return nullptr;
  g->settings = settings;
  g->table_id = settings.code.table_id.c_str();
  table_message_key(settings.code.key, g->key);
  g->guard = static_cast<TableReplayGuard*>(std::calloc(1, sizeof(TableReplayGuard)));
  g->hero = static_cast<Character*>(std::calloc(1, sizeof(Character)));
  if (g->guard == nullptr || g->hero == nullptr) {
    table_guest_leave(g);
    return nullptr;
  }
  if (!table_player_id(settings.name, g->id)) {
    error->assign(table_admit_reason(TableAdmit::kBadName));
    table_guest_leave(g);
    return nullptr;
  }
  // The screen is there before the connection: the retained state comes at once.
  if (settings.draw) g->screen = table_screen_open(settings.screen, TablePrompt::kAdventurer);
  if (!lock_credential(*g)) {
    error->assign("alguien de este equipo ya está en la mesa con ese nombre");
    table_guest_leave(g);
    return nullptr;
  }
  // Back at a table joined before: the kept credential, else a new seat.
  int reason = 0;
  bool connected = false;
  if (read_credential(*g)) {
    table_signer_init(g->signer, settings.code.key, g->id.view(), 0);
    connected = connect_player(*g, reason);
    // Refused: removed, or a table of the past. Unreachable: kept for another try.
    if (!connected && (reason == TABLE_MQTT_BAD_CREDENTIALS || reason == TABLE_MQTT_NOT_AUTHORIZED))
      g->credential_kept = false;
  }
  if (!connected) {
    if (!ask_to_join(*g, error)) {
      table_guest_leave(g);
      return nullptr;
    }
    table_signer_init(g->signer, settings.code.key, g->id.view(), 0);
    if (!connect_player(*g, reason)) {
      char line[TABLE_ERROR_BYTES];
      std::snprintf(line, sizeof line, "admitido, pero no se pudo conectar: %s",
                    table_mqtt_reason_text(reason));
      error->assign(line);
      table_guest_leave(g);
      return nullptr;
    }
    keep_credential(*g);
  }
  return g;
}

bool table_guest_vote(TableGuest& g, std::int32_t option) {
  std::int32_t turn;
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!g.vote_open || g.paused || option < 1 || option > g.choices) return false;
    turn = g.turn;
  }
  std::string data;
  table_encode_vote(option, turn, data);
  return send(g, TABLE_MSG_VOTE, data, turn);
}

std::int32_t table_guest_turn(const TableGuest& g, std::int32_t* choices) {
  std::lock_guard<std::mutex> lock(g.mutex);
  if (choices != nullptr) *choices = g.choices;
  return g.turn;
}

void table_guest_line(TableGuest& g, std::string_view raw) {
  if (g.screen != nullptr) table_screen_answered(*g.screen);
  std::string clean = text_printable(trim_view(raw));
  std::string_view line = clean;
  std::string_view argument;
  if (line.empty()) return;
  if (rules_option_line_is_number(line)) {
    std::int32_t option = read_decimal_i32(line);
    bool open, paused;
    std::int32_t choices;
    {
      std::lock_guard<std::mutex> lock(g.mutex);
      open = g.vote_open;
      paused = g.paused;
      choices = g.choices;
    }
    if (paused) {
      note(g, "La mesa está en pausa: espera a que siga.", "warning");
    } else if (!open) {
      note(g, "No hay ninguna votación abierta ahora mismo.", "warning");
    } else if (option < 1 || option > choices) {
      note(g, "Esa opción no existe. Elige un número del 1 al " + std::to_string(choices) + ".",
           "warning");
    } else {
      table_guest_vote(g, option);
    }
    return;
  }
  if (command_word(line, "/decir", argument)) {
    if (argument.empty()) {
      note(g, "Uso: /decir TEXTO", "warning");
      return;
    }
    std::string data;
    table_encode_text(argument, "", false, data);
    send(g, TABLE_MSG_SAY, data);
  } else if (command_word(line, "/ficha", argument) || command_word(line, "/stats", argument) ||
             command_word(line, "/mochila", argument) || command_word(line, "/inv", argument)) {
    bool sheet = starts_with(line, "/ficha") || starts_with(line, "/stats");
    Character hero;
    {
      std::lock_guard<std::mutex> lock(g.mutex);
      hero = *g.hero;
    }
    if (g.screen != nullptr)
      table_screen_local(*g.screen, sheet ? SessionEventKind::kSheet : SessionEventKind::kInventory,
                         hero);
  } else if (command_word(line, "/mesa", argument)) {
    std::string shown;
    {
      std::lock_guard<std::mutex> lock(g.mutex);
      shown = g.table_line;
    }
    note(g, shown);
  } else if (command_word(line, "/ayuda", argument)) {
    note(g, kHelp);
  } else if (command_word(line, "/salir", argument)) {
    finish(g, TableGuestEnd::kLeft);
  } else if (line[0] == '/') {
    note(g, "Esa orden no está disponible en la mesa. Escribe /ayuda.", "warning");
  } else {
    bool open, paused, commands;
    std::int32_t turn;
    {
      std::lock_guard<std::mutex> lock(g.mutex);
      open = g.vote_open;
      paused = g.paused;
      commands = g.commands;
      turn = g.turn;
    }
    if (!open || paused) {
      note(g,
           paused ? "La mesa está en pausa: espera a que siga."
                  : "Espera a las opciones del turno para proponer algo.",
           "warning");
      return;
    }
    std::string data;
    table_encode_text(line, "", false, data);
    table_json_add_int(data, "turno", turn);
    send(g, commands ? TABLE_MSG_COMMAND : TABLE_MSG_PROPOSAL, data, turn);
  }
}

TableGuestEnd table_guest_wait_end(TableGuest& g, std::int32_t ms) {
  std::unique_lock<std::mutex> lock(g.mutex);
  g.ended.wait_for(lock, std::chrono::milliseconds(ms),
                   [&] { return g.end != TableGuestEnd::kNone; });
  return g.end;
}

TableGuestEnd table_guest_end(const TableGuest& g) {
  std::lock_guard<std::mutex> lock(g.mutex);
  return g.end;
}

void table_guest_drain(TableGuest& g) {
  if (g.screen != nullptr) table_screen_drain(*g.screen);
}

void table_guest_leave(TableGuest* g) {
  if (g == nullptr) return;
  TableGuestEnd end = table_guest_end(*g);
  const bool welcome = end != TableGuestEnd::kRemoved && end != TableGuestEnd::kRefused;
  // A goodbye: the table waits for this adventurer's vote no longer.
  if (g->mqtt != nullptr && welcome && table_mqtt_connected(*g->mqtt)) say_goodbye(*g, kGoodbyeMs);
  if (end == TableGuestEnd::kFinished || end == TableGuestEnd::kRemoved || !g->credential_kept)
    forget_credential(*g);
  // Whoever comes back later reads the table's state, not a backlog of what they missed.
  table_mqtt_destroy(g->mqtt, true);
  if (g->credential_fd >= 0) close(g->credential_fd);  // and its lock with it
  table_screen_close(g->screen);
  std::free(g->guard);
  std::free(g->hero);
  delete g;
}
