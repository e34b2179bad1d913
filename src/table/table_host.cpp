#include "table/table_host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/slug.h"
#include "common/text_util.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "rules/option_rules.h"
#include "savegame/save_file.h"
#include "story/story_parser.h"
#include "table/table_events.h"
#include "table/table_message.h"
#include "table/table_mqtt.h"
#include "table/table_protocol.h"
#include "table/table_screen.h"
#include "ui/palette.h"

namespace {

constexpr std::int32_t kConnectMs = 10000;
constexpr std::int32_t kFlushMs = 5000;          // the last messages of a closing table
constexpr std::uint32_t kSessionSeconds = 3600;  // the broker keeps the host's votes this long
constexpr std::size_t kProposalMax = 200;        // bytes of a proposal given to the session
constexpr std::size_t kInboxMax = 10000;         // messages waiting; beyond, a flood is dropped
constexpr int kRejectionsShown = 10;             // refusal lines per window on the screen
constexpr std::int64_t kRejectionWindowMs = 10000;
constexpr std::int64_t kIdleWaitMs = 1000;
constexpr std::int64_t kStateIntervalMs = 1000;  // the retained state, at most this often
constexpr std::int64_t kRemovalGraceMs = 2000;   // a removed adventurer hears why before the cut
constexpr std::int64_t kFarewellMs = 3000;       // adventurers take their leave of a closing table

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string seconds_text(std::int64_t seconds) {
  return std::to_string(seconds) + (seconds == 1 ? " segundo" : " segundos");
}

enum class InboxKind : std::uint8_t { kMessage, kRejected, kConsole, kConsoleClosed, kStop };

struct InboxItem {
  InboxKind kind = InboxKind::kStop;
  TableMessage message;
  std::string text;
};

InboxItem inbox_item(InboxKind kind, std::string_view text = {}) {
  InboxItem item;
  item.kind = kind;
  item.text.assign(text);
  return item;
}

// A line an adventurer proposed, put to the vote under a number after the
// options' own.
struct Candidate {
  std::int32_t number;
  std::string text;
  std::string who;       // the proposer's id
  std::string who_name;  // and name
  bool command;
};

// What the table decided for the session's line.
struct Decision {
  std::string line;
  bool takes_turn = true;  // false for a director's command: the vote stays open
  std::string who;         // the adventurer whose proposal was taken, for the narration
};

const char* mode_name(TableMode mode) {
  return mode == TableMode::kDirector ? "director" : "votacion";
}

std::string base_name_without_extension(std::string_view path) {
  std::size_t slash = path.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

// True for an address of this machine: loopback, "localhost", or one of its
// interfaces' addresses, written as digits. A name is never looked up: only
// the table's own broker, on this machine, receives its administrator's password.
bool is_this_machine(std::string_view host) {
  if (host == "localhost") return true;
  std::string text(host);
  in_addr v4{};
  in6_addr v6{};
  bool is_v4 = inet_pton(AF_INET, text.c_str(), &v4) == 1;
  bool is_v6 = !is_v4 && inet_pton(AF_INET6, text.c_str(), &v6) == 1;
  if (!is_v4 && !is_v6) return false;
  if (is_v4 && (ntohl(v4.s_addr) >> 24) == 127) return true;
  if (is_v6 && IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    if (is_v4 && a->ifa_addr->sa_family == AF_INET) {
      found =
          std::memcmp(&reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, &v4, sizeof v4) == 0;
    } else if (is_v6 && a->ifa_addr->sa_family == AF_INET6) {
      found = std::memcmp(&reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, &v6,
                          sizeof v6) == 0;
    }
  }
  freeifaddrs(list);
  return found;
}

void no_sleep(std::int32_t, void*) {}

}  // namespace

struct TableHost {
  TableHostSettings settings;
  AppConfig config{};
  Story* own_story = nullptr;
  const Story* story = nullptr;
  TableCode code{};
  FixedText<TABLE_CODE_MAX> code_text;
  std::string table_id;
  std::uint8_t key[TABLE_MAC_BYTES]{};
  std::string host_password;
  bool own_broker = false;
  TableDynsec* dynsec = nullptr;
  bool own_dynsec = false;
  TableMqttClient* mqtt = nullptr;
  TableScreen* screen = nullptr;
  std::string room_name;  // as shown
  std::string room_dir;
  std::string room_file;
  std::string story_slug_source;
  SlugText slug;
  std::string autosave_name;
  std::string party_name;

  // The network thread's: refusals of replays and duplicates.
  std::mutex guard_mutex;
  TableReplayGuard* guard = nullptr;

  // Handed from any thread to the session's.
  std::mutex inbox_mutex;
  std::condition_variable inbox_changed;
  std::deque<InboxItem> inbox;
  std::size_t inbox_dropped = 0;

  // Every message is sealed and queued under this lock, so sequences leave in order.
  std::mutex publish_mutex;
  TableSigner signer{};
  std::uint64_t presence_seq = 0;

  // Below: the session's thread only.
  TableState state{};
  std::int32_t turn = 0;
  bool vote_consumed = true;  // the next options open a new vote
  bool prompt_pending = false;
  bool stopping = false;
  bool closing = false;   // the table said goodbye: departures are no news any more
  bool due_told = false;  // the director heard that the vote is complete
  std::vector<Candidate> candidates;
  std::string panel_json, scene_json, options_json;
  const StorySection* voted = nullptr;  // the scene whose options are being voted
  Character hero{};
  std::string narration_who;
  bool visited[STORY_MAX_SECTIONS]{};
  GameRandom table_random{};
  bool state_dirty = false;
  std::int64_t state_published_ms = 0;
  bool save_warned = false;
  std::int64_t window_start = 0;
  int window_shown = 0;
  int window_dropped = 0;
  // Credentials of removed adventurers, deleted once they have had time to
  // hear why: deleting one cuts its connection at once.
  std::vector<std::pair<std::string, std::int64_t>> removals;
  // Adventurers whose connection was lost, and when the table stops waiting for them.
  std::vector<std::pair<std::string, std::int64_t>> departures;

  // A resumed table's game.
  bool resumed = false;
  Character saved_hero{};
  SaveVisited saved_visits{};
  IdText saved_section;
  SessionEnd end = SESSION_END_NONE;
};

namespace {

// ---- publishing ---------------------------------------------------------------

std::string_view message_id(std::string_view message) {
  constexpr std::string_view kKey = "\"id\":\"";
  std::size_t at = message.find(kKey);
  if (at == std::string_view::npos) return {};
  return message.substr(at + kKey.size(), TABLE_MESSAGE_ID_LENGTH);
}

// Seals and queues one message; libmosquitto sends it again after a lost
// connection until the broker acknowledges it. Sealing and queueing happen
// under one lock, so sequences leave in order. `wait_ms` waits for the
// broker's acknowledgement (outside the lock: the network thread may need it).
bool publish(TableHost& h, TableChannel channel, std::string_view part, std::string_view type,
             std::string_view data, bool retain, std::int32_t wait_ms = 0) {
  std::string topic = table_topic(h.table_id, channel, part);
  std::string message;
  bool sent = true;
  {
    std::unique_lock<std::mutex> lock(h.publish_mutex);
    if (!table_message_seal(h.signer, topic, channel, type, data, 0, message)) return false;
    if (wait_ms <= 0) sent = table_mqtt_publish(*h.mqtt, topic, message, retain, 0, nullptr);
  }
  if (wait_ms > 0) sent = table_mqtt_publish(*h.mqtt, topic, message, retain, wait_ms, nullptr);
  if (sent && h.settings.hooks.published != nullptr)
    h.settings.hooks.published(h.settings.hooks.user, type, message_id(message), data);
  return sent;
}

// An event for everyone: the table, and the host's own screen.
void announce(TableHost& h, std::string_view type, const std::string& data,
              std::string after = {}) {
  publish(h, TableChannel::kEvents, {}, type, data, false);
  if (h.screen != nullptr) table_screen_post_json(*h.screen, type, data, std::move(after));
}

// One of the table's lines, with the fields that go with it.
void announce_line(TableHost& h, std::string_view type, std::string_view text,
                   std::string extra_members = {}) {
  std::string data;
  table_encode_notice(text, "info", data);
  if (!extra_members.empty()) {
    data.pop_back();
    data += ',';
    data += extra_members;
    data += '}';
  }
  announce(h, type, data);
}

void note(TableHost& h, std::string_view text, std::string_view level = "info") {
  if (h.screen != nullptr) table_screen_note(*h.screen, text, level);
}

// ---- the retained state -----------------------------------------------------------

std::string players_line(const TableHost& h) {
  std::string line = "En la mesa «" + h.room_name + "»: ";
  bool any = false;
  for (const TablePlayer& p : list_used(h.state.players, h.state.player_count)) {
    if (p.removed) continue;
    if (any) line += ", ";
    any = true;
    line += p.name.view();
    if (!p.present) line += " (ausente)";
  }
  if (!any) line += "nadie todavía";
  line += '.';
  if (h.state.vote_open) {
    std::string votes;
    for (const TablePlayer& p : list_used(h.state.players, h.state.player_count)) {
      if (p.removed || !p.present || p.vote == 0) continue;
      char vote[96];
      std::snprintf(vote, sizeof vote, "%s%s → %d", votes.empty() ? "" : ", ", p.name.c_str(),
                    p.vote);
      votes += vote;
    }
    if (!votes.empty()) line += " Votos: " + votes + '.';
  }
  if (h.state.paused) line += " La mesa está en pausa.";
  return line;
}

void publish_state(TableHost& h) {
  h.state_dirty = false;
  h.state_published_ms = now_ms();
  std::string data = "{\"sala\":" + json_text_quoted(h.room_name) + ",\"modo\":\"" +
                     mode_name(h.state.mode) + "\",\"turno\":" + std::to_string(h.turn) +
                     ",\"abierta\":" + (h.state.vote_open ? "true" : "false") +
                     ",\"pausa\":" + (h.state.paused ? "true" : "false");
  if (!h.panel_json.empty()) data += ",\"panel\":" + h.panel_json;
  if (!h.scene_json.empty()) data += ",\"escena\":" + h.scene_json;
  if (!h.options_json.empty()) data += ",\"opciones\":" + h.options_json;
  data += ",\"presentes\":[";
  bool first = true;
  for (const TablePlayer& p : list_used(h.state.players, h.state.player_count)) {
    if (p.removed) continue;
    data += first ? "" : ",";
    first = false;
    data += "{\"id\":" + json_text_quoted(p.id.view()) +
            ",\"nombre\":" + json_text_quoted(p.name.view()) +
            ",\"presente\":" + (p.present ? "true" : "false") + '}';
  }
  data += "],\"votos\":[";
  first = true;
  for (const TablePlayer& p : list_used(h.state.players, h.state.player_count)) {
    if (p.removed || !p.present || p.vote == 0 || !h.state.vote_open) continue;
    data += first ? "" : ",";
    first = false;
    data += "{\"quien\":" + json_text_quoted(p.id.view()) +
            ",\"opcion\":" + std::to_string(p.vote) + '}';
  }
  data += "],\"candidatas\":[";
  first = true;
  for (const Candidate& c : h.candidates) {
    data += first ? "" : ",";
    first = false;
    data += "{\"numero\":" + std::to_string(c.number) +
            ",\"propuesta\":" + json_text_quoted(c.text) + ",\"quien\":" + json_text_quoted(c.who) +
            '}';
  }
  data += "],\"texto\":" + json_text_quoted(players_line(h)) + '}';
  publish(h, TableChannel::kState, {}, TABLE_MSG_STATE, data, true);
}

// ---- the table's file --------------------------------------------------------------

bool write_room_file(TableHost& h) {
  std::string key_hex;
  table_crypto_append_hex(key_hex, h.code.key);
  std::string out = "{\n  \"version\": 1,\n  \"mesa\": " + json_text_quoted(h.table_id) +
                    ",\n  \"clave\": " + json_text_quoted(key_hex) +
                    ",\n  \"anfitrion\": " + json_text_quoted(h.host_password) +
                    ",\n  \"servidor\": " + json_text_quoted(h.code.host.view()) +
                    ",\n  \"puerto\": " + std::to_string(h.code.port) +
                    ",\n  \"publico\": " + (h.code.open_broker ? "true" : "false") +
                    ",\n  \"modo\": \"" + mode_name(h.state.mode) +
                    "\",\n  \"plazo\": " + std::to_string(h.settings.vote_seconds) +
                    ",\n  \"sala\": " + json_text_quoted(h.room_name) +
                    ",\n  \"historia\": " + json_text_quoted(h.slug.view()) +
                    ",\n  \"turno\": " + std::to_string(h.turn) + ",\n  \"jugadores\": [";
  bool first = true;
  for (const TablePlayer& p : list_used(h.state.players, h.state.player_count)) {
    out += first ? "\n    " : ",\n    ";
    first = false;
    out += "{\"id\": " + json_text_quoted(p.id.view()) +
           ", \"nombre\": " + json_text_quoted(p.name.view()) +
           ", \"expulsado\": " + (p.removed ? "true" : "false") + "}";
  }
  out += "\n  ]\n}\n";
  return platform_write_file_atomic(h.room_file.c_str(), out, 0600);
}

bool read_room_file(TableHost& h, TableErrorText* error) {
  std::string text;
  JsonMember root;
  if (!platform_read_regular_file(h.room_file.c_str(), 256 * 1024, text) ||
      !json_parse_tree(text, root, nullptr)) {
    error->assign("no se puede leer el archivo de la mesa (mesa.json)");
    return false;
  }
  const JsonMember* id = json_find_typed(root, "mesa", JsonType::kString);
  const JsonMember* key = json_find_typed(root, "clave", JsonType::kString);
  const JsonMember* password = json_find_typed(root, "anfitrion", JsonType::kString);
  const JsonMember* server = json_find_typed(root, "servidor", JsonType::kString);
  const JsonMember* story = json_find_typed(root, "historia", JsonType::kString);
  std::int32_t port = table_read_int(root, "puerto", 0, 0, 65535);
  if (id == nullptr || key == nullptr || password == nullptr || server == nullptr ||
      story == nullptr || !table_crypto_from_hex(key->text, h.code.key) || port < 1 ||
      id->text.size() != TABLE_ID_LENGTH || !table_code_host_valid(server->text)) {
    error->assign("el archivo de la mesa (mesa.json) está dañado");
    return false;
  }
  if (story->text != h.slug.view()) {
    error->assign("esa mesa jugaba otra historia: " + text_printable(story->text.substr(0, 80)));
    return false;
  }
  h.code.table_id.assign(id->text);
  h.code.host.assign(server->text);
  h.code.port = port;
  h.code.open_broker = table_read_flag(root, "publico");
  h.host_password = password->text;
  TableText mode;
  table_read_text(root, "modo", mode);
  if (!h.settings.mode_given)
    h.settings.mode = mode == "director" ? TableMode::kDirector : TableMode::kVote;
  if (h.settings.vote_seconds < 0)
    h.settings.vote_seconds = table_read_int(root, "plazo", -1, -1, TABLE_MAX_VOTE_SECONDS);
  TableText room;
  if (table_read_text(root, "sala", room) && !room.empty()) h.room_name = room.c_str();
  h.turn = table_read_int(root, "turno", 0, 0, INT32_MAX);
  table_state_init(h.state, h.settings.mode);
  if (const JsonMember* players = json_find_typed(root, "jugadores", JsonType::kArray)) {
    for (const JsonMember& p : players->children) {
      TableNameText name;
      const JsonMember* pid = json_find_typed(p, "id", JsonType::kString);
      if (pid == nullptr || !table_read_name(p, "nombre", name)) continue;
      if (table_state_admit(h.state, pid->text, name.view()) != TableAdmit::kAdmitted) continue;
      table_state_set_present(h.state, pid->text, false);
      if (table_read_flag(p, "expulsado")) table_state_remove(h.state, pid->text);
    }
  }
  return true;
}

// ---- the session's side -----------------------------------------------------------------

// The hidden options of a scene, for the director's eyes only.
std::string hidden_options(const StorySection& section) {
  std::string out;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (rules_option_access(t) != OptionAccess::kHiddenCommand) continue;
    out += "  " QH_GREY "🔒 (oculta) >_ " + text_printable(t.command.view()) + " — " +
           text_printable(t.label.view()) + QH_RESET "\n";
  }
  if (!out.empty())
    out = QH_GREY "   Solo el director ve estas órdenes ocultas:" QH_RESET "\n" + out;
  return out;
}

void open_turn(TableHost& h, const StorySection& section) {
  if (!h.vote_consumed && h.state.vote_open) return;  // the same vote, shown again
  ++h.turn;
  h.candidates.clear();
  h.vote_consumed = false;
  h.due_told = false;
  std::int32_t seconds = h.settings.vote_seconds > 0 ? h.settings.vote_seconds : 0;
  table_state_open_vote(h.state, h.turn, rules_option_numbered_count(section), now_ms(), seconds);
}

void host_emit(const SessionEvent& e, void* user) {
  TableHost& h = *static_cast<TableHost*>(user);
  switch (e.kind) {
    case SessionEventKind::kPrompt:
      h.prompt_pending = true;
      return;
    case SessionEventKind::kHelp:
    case SessionEventKind::kSheet:
    case SessionEventKind::kInventory:
      // The director's own questions: answered on the director's screen alone.
      if (h.screen != nullptr) table_screen_local(*h.screen, e.kind, e.hero ? *e.hero : h.hero);
      return;
    default:
      break;
  }
  if (e.kind == SessionEventKind::kOptions && e.section != nullptr) open_turn(h, *e.section);
  std::string type, data;
  if (!table_event_encode(e, h.turn, type, data)) return;
  std::string after;
  switch (e.kind) {
    case SessionEventKind::kPanel:
      if (e.hero != nullptr) h.hero = *e.hero;
      h.panel_json = data;
      break;
    case SessionEventKind::kScene:
      h.scene_json = data;
      h.options_json.clear();
      if (e.section != nullptr) {
        std::ptrdiff_t index = e.section - h.story->sections;
        if (index >= 0 && index < STORY_MAX_SECTIONS) h.visited[index] = true;
      }
      break;
    case SessionEventKind::kOptions:
      h.options_json = data;
      h.voted = e.section;
      if (h.state.mode == TableMode::kDirector) after = hidden_options(*e.section);
      break;
    case SessionEventKind::kNarration:
      if (!h.narration_who.empty()) table_json_add_text(data, "quien", h.narration_who);
      break;
    default:
      break;
  }
  announce(h, type, data, std::move(after));
  if (e.kind == SessionEventKind::kOptions) {
    publish_state(h);
    if (h.settings.hooks.vote_opened != nullptr)
      h.settings.hooks.vote_opened(h.settings.hooks.user, h.turn);
  }
}

// Each turn, before the table is asked: the game and the table, saved in the
// table's folder, so a host that crashes continues from here.
void host_before_prompt(const StorySection& section, const Character& hero, void* user) {
  TableHost& h = *static_cast<TableHost*>(user);
  auto* visits = static_cast<SaveVisited*>(std::calloc(1, sizeof(SaveVisited)));
  bool saved = visits != nullptr;
  if (saved) {
    visits->present = true;
    for (int i = 0; i < h.story->section_count && i < STORY_MAX_SECTIONS; ++i) {
      if (!h.visited[i]) continue;
      if (IdText* id = list_append(visits->ids, visits->count))
        id->assign(h.story->sections[i].id.view());
    }
    std::string saves = h.room_dir + "/" + PATH_SAVES_DIR;
    saved = save_game(saves.c_str(), h.slug.c_str(), h.story->title.c_str(), section.id.c_str(),
                      section.title.c_str(), &hero, h.autosave_name.c_str(), visits);
    std::free(visits);
  }
  saved = write_room_file(h) && saved;
  if (!saved && !h.save_warned) {
    note(h,
         "⚠️ No se pudo guardar la mesa en " + h.room_dir +
             ": si el anfitrión se cae, no se "
             "podrá reanudar desde aquí.",
         "warning");
  }
  h.save_warned = !saved;
}

// ---- refusals on the screen ---------------------------------------------------------------

void show_rejection(TableHost& h, const std::string& line) {
  std::int64_t now = now_ms();
  if (now - h.window_start >= kRejectionWindowMs) {
    if (h.window_dropped > 0) {
      note(h, "⚠️ … y " + std::to_string(h.window_dropped) + " mensajes ignorados más.",
           "warning");
    }
    h.window_start = now;
    h.window_shown = 0;
    h.window_dropped = 0;
  }
  if (h.window_shown < kRejectionsShown) {
    ++h.window_shown;
    note(h, line, "warning");
  } else {
    ++h.window_dropped;
  }
}

// ---- the table's decisions ------------------------------------------------------------------

// What option or proposal `number` says, for the lines the table reads.
std::string option_label(const TableHost& h, std::int32_t number) {
  for (const Candidate& c : h.candidates)
    if (c.number == number) return "«" + c.text + "»";
  if (h.voted == nullptr) return {};
  const StoryTransition* t = rules_option_by_number(*h.voted, number);
  return t != nullptr ? "(" + text_printable(t->label.view()) + ")" : std::string();
}

// The line the session gets for the option or proposal `number`.
Decision decision_for(const TableHost& h, std::int32_t number) {
  Decision d;
  for (const Candidate& c : h.candidates) {
    if (c.number != number) continue;
    d.line = c.text;
    d.who = c.who_name;
    return d;
  }
  d.line = std::to_string(number);
  return d;
}

void close_vote(TableHost& h, std::int32_t number, const std::string& line) {
  std::string data = "{\"texto\":" + json_text_quoted(line) +
                     ",\"turno\":" + std::to_string(h.turn) +
                     ",\"opcion\":" + std::to_string(number) + "}";
  announce(h, TABLE_MSG_RESULT, data);
  table_state_close_vote(h.state);
  h.vote_consumed = true;
  h.state_dirty = true;
}

// A vote with most votes: the result line, with the proposal it names.
std::string result_line(const TableHost& h, const TableTally& tally) {
  std::string line = tally.line.c_str();
  std::string label = option_label(h, tally.winner);
  if (!label.empty()) line += " " + label;
  return line;
}

bool check_vote(TableHost& h, Decision& decision) {
  // Cut off from the broker, the host knows neither who is there nor what
  // they voted: nothing is decided until it is back.
  if (!table_mqtt_connected(*h.mqtt)) return false;
  if (!table_state_vote_due(h.state, now_ms())) return false;
  TableTally tally;
  table_state_tally(h.state, tally);
  if (h.state.mode == TableMode::kDirector) {
    if (h.due_told) return false;
    h.due_told = true;
    std::string line = tally.winner == 0 ? std::string("Votación cerrada: nadie ha votado.")
                                         : "Votación completa. " + result_line(h, tally);
    note(h, line + " Enter para confirmarla, o un número o una acción para decidir otra cosa.",
         "info");
    return false;
  }
  if (tally.winner == 0) {
    // Nobody voted in time: the table gets more time rather than a random
    // choice; an empty table waits without a word.
    std::int32_t seconds = h.settings.vote_seconds > 0 ? h.settings.vote_seconds : 60;
    table_state_extend(h.state, now_ms(), seconds);
    if (table_state_present_count(h.state) == 0) return false;
    announce_line(h, TABLE_MSG_RESULT,
                  "Nadie ha votado a tiempo: el plazo se amplía " + seconds_text(seconds) + ".");
    return false;
  }
  close_vote(h, tally.winner, result_line(h, tally));
  decision = decision_for(h, tally.winner);
  return true;
}

// ---- adventurers' messages ----------------------------------------------------------------

void handle_join(TableHost& h, const TableMessage& m) {
  TableJoinRequest request;
  if (!table_decode_join(table_message_data(m), request)) {
    show_rejection(h, "⚠️ Solicitud de entrada ilegible: ignorada.");
    return;
  }
  TableJoinAnswer answer{};
  TablePlayerId id;
  TableAdmit admit = TableAdmit::kAdmitted;
  if (!table_player_id(request.name.view(), id)) {
    admit = TableAdmit::kBadName;
  } else if (const TablePlayer* known = table_state_find(h.state, id.view())) {
    admit = known->removed ? TableAdmit::kRemoved : TableAdmit::kNameTaken;
  } else if (h.state.player_count >= TABLE_MAX_PLAYERS) {
    admit = TableAdmit::kFull;
  }
  if (admit == TableAdmit::kAdmitted && h.own_broker) {
    TableErrorText error{};
    if (!table_dynsec_run(*h.dynsec,
                          table_dynsec_add_player(h.table_id, id.view(), request.password.view()),
                          false, &error)) {
      note(h,
           "⚠️ No se pudo dar acceso a " + std::string(request.name.view()) + ": " +
               error.c_str(),
           "warning");
      answer.reason.assign("el servidor de la mesa no pudo darte acceso; inténtalo de nuevo");
    }
  }
  if (admit == TableAdmit::kAdmitted && answer.reason.empty()) {
    admit = table_state_admit(h.state, id.view(), request.name.view());
    // Present once its own connection says so.
    table_state_set_present(h.state, id.view(), false);
  }
  answer.admitted = admit == TableAdmit::kAdmitted && answer.reason.empty();
  if (answer.admitted) {
    answer.player_id.assign(id.view());
  } else if (answer.reason.empty()) {
    answer.reason.assign(table_admit_reason(admit));
  }
  std::string data;
  table_encode_join_answer(answer, data);
  publish(h, TableChannel::kJoinAnswer, request.nonce.view(), TABLE_MSG_JOIN_ANSWER, data, false);
  note(h, answer.admitted ? "📨 " + std::string(request.name.view()) + " entra en la mesa."
                          : "📨 " + std::string(request.name.view()) +
                                " no puede entrar: " + answer.reason.c_str() + ".");
  h.state_dirty = true;
  if (answer.admitted) write_room_file(h);
}

void announce_departure(TableHost& h, const TablePlayer& p) {
  if (!table_state_set_present(h.state, p.id.view(), false) || h.closing) return;
  announce_line(h, TABLE_MSG_PRESENT, std::string(p.name.view()) + " se ha ido de la mesa.");
  h.state_dirty = true;
}

// A goodbye counts at once. A last will (a lost connection) counts once the
// adventurer has not come back within the grace: a restarted broker sends
// every will, and its adventurers reconnect moments later.
void handle_presence(TableHost& h, const TableMessage& m) {
  TableNameText name;
  bool present = false;
  const JsonMember& data = table_message_data(m);
  if (!table_decode_presence(data, name, present)) return;
  TablePlayer* p = table_state_find(h.state, m.topic.part.view());
  if (p == nullptr || p->removed) return;
  auto pending = std::find_if(h.departures.begin(), h.departures.end(),
                              [&](const auto& d) { return d.first == p->id.view(); });
  if (present) {
    if (pending != h.departures.end()) {
      h.departures.erase(pending);
      announce_line(h, TABLE_MSG_PRESENT, std::string(p->name.view()) + " ha vuelto.");
      return;
    }
    if (!table_state_set_present(h.state, p->id.view(), true)) return;
    announce_line(h, TABLE_MSG_PRESENT, std::string(p->name.view()) + " se sienta a la mesa.");
    h.state_dirty = true;
    return;
  }
  if (!p->present || pending != h.departures.end()) return;
  if (table_read_flag(data, "despedida") || h.settings.presence_grace_ms <= 0) {
    announce_departure(h, *p);
    return;
  }
  h.departures.emplace_back(p->id.c_str(), now_ms() + h.settings.presence_grace_ms);
  announce_line(h, TABLE_MSG_PRESENT,
                std::string(p->name.view()) + " ha perdido la conexión: la mesa le espera " +
                    seconds_text((h.settings.presence_grace_ms + 999) / 1000) + ".");
}

// Those who did not come back in time are gone.
void settle_departures(TableHost& h) {
  std::int64_t now = now_ms();
  for (std::size_t i = 0; i < h.departures.size();) {
    if (h.departures[i].second > now) {
      ++i;
      continue;
    }
    if (TablePlayer* p = table_state_find(h.state, h.departures[i].first))
      announce_departure(h, *p);
    h.departures.erase(h.departures.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void refuse_action(TableHost& h, const TablePlayer& p, std::string_view what, const char* why) {
  show_rejection(
      h, "⚠️ " + std::string(what) + " de " + p.name.c_str() + " ignorado: " + why + ".");
}

void handle_vote(TableHost& h, TablePlayer& p, const TableMessage& m) {
  std::int32_t option = 0, turn = 0;
  if (!table_decode_vote(table_message_data(m), option, turn)) {
    refuse_action(h, p, "Voto", "mal formado");
    return;
  }
  // A vote sent again (by an adventurer who saw the host come back) changes nothing to say.
  const bool again = p.vote == option && h.state.vote_open && turn == h.state.turn;
  TableVote result = table_state_vote(h.state, p.id.view(), turn, option, m.seq);
  if (result != TableVote::kAccepted) {
    refuse_action(h, p, "Voto", table_vote_reason(result));
    return;
  }
  if (again) return;
  std::string label = option_label(h, option);
  announce_line(h, TABLE_MSG_VOTE_SEEN,
                std::string(p.name.view()) + " vota la opción " + std::to_string(option) +
                    (label.empty() ? "" : " " + label) + ".",
                "\"quien\":" + json_text_quoted(p.id.view()) +
                    ",\"opcion\":" + std::to_string(option) + ",\"turno\":" + std::to_string(turn));
  h.state_dirty = true;
}

// A free-text or command proposal becomes a numbered choice of this vote,
// and the proposer's vote.
void handle_proposal(TableHost& h, TablePlayer& p, const TableMessage& m, bool command) {
  const JsonMember& data = table_message_data(m);
  TableText text;
  table_read_text(data, "texto", text);
  std::int32_t turn = table_read_int(data, "turno", -1, -1, INT32_MAX);
  std::string line(trim_view(text.view()).substr(0, kProposalMax));
  const char* why = nullptr;
  if (line.empty()) {
    why = "está vacía";
  } else if (line[0] == '/') {
    // Slash commands belong to the host's console: an adventurer never runs one.
    why = "las órdenes con / no se proponen";
  } else if (rules_option_line_is_number(line)) {
    why = "un número es un voto, no una propuesta";
  } else if (!h.state.vote_open || turn != h.state.turn) {
    why = "no es para la votación abierta";
  } else if (h.state.paused) {
    why = "la mesa está en pausa";
  }
  if (why != nullptr) {
    refuse_action(h, p, "Propuesta", why);
    return;
  }
  std::int32_t number = 0;
  for (const Candidate& c : h.candidates)
    if (ascii_iequals(c.text, line)) number = c.number;
  bool added = false;
  if (number == 0) {
    if (h.state.option_count >= SECTION_MAX_TRANSITIONS) {
      refuse_action(h, p, "Propuesta", "ya hay demasiadas propuestas en esta votación");
      return;
    }
    number = ++h.state.option_count;
    h.candidates.push_back(Candidate{number, line, p.id.c_str(), p.name.c_str(), command});
    added = true;
  }
  const bool again = !added && p.vote == number;
  TableVote result = table_state_vote(h.state, p.id.view(), turn, number, m.seq);
  if (added) {
    std::string shown = std::string(p.name.view()) +
                        (command ? " propone la orden «" : " propone «") + line + "»: vota " +
                        std::to_string(number) + " para elegirla.";
    announce_line(
        h, TABLE_MSG_CANDIDATE, shown,
        "\"numero\":" + std::to_string(number) + ",\"propuesta\":" + json_text_quoted(line) +
            ",\"quien\":" + json_text_quoted(p.id.view()) + ",\"turno\":" + std::to_string(turn) +
            ",\"comando\":" + (command ? "true" : "false"));
  }
  if (result == TableVote::kAccepted && !again) {
    announce_line(h, TABLE_MSG_VOTE_SEEN,
                  std::string(p.name.view()) + " vota la opción " + std::to_string(number) + " «" +
                      line + "».",
                  "\"quien\":" + json_text_quoted(p.id.view()) + ",\"opcion\":" +
                      std::to_string(number) + ",\"turno\":" + std::to_string(turn));
  }
  h.state_dirty = true;
}

void handle_say(TableHost& h, const TablePlayer& p, const TableMessage& m) {
  TableText text;
  table_read_text(table_message_data(m), "texto", text);
  std::string_view said = trim_view(text.view());
  if (said.empty()) return;
  announce_line(h, TABLE_MSG_SAID, std::string(p.name.view()) + ": " + std::string(said),
                "\"quien\":" + json_text_quoted(p.id.view()));
}

void handle_message(TableHost& h, const TableMessage& m) {
  switch (m.topic.channel) {
    case TableChannel::kJoinRequest:
      if (m.type == TABLE_MSG_JOIN) handle_join(h, m);
      return;
    case TableChannel::kPresence:
      if (m.type == TABLE_MSG_PRESENCE) handle_presence(h, m);
      return;
    case TableChannel::kActions:
      break;
    default:
      return;
  }
  TablePlayer* p = table_state_find(h.state, m.topic.part.view());
  if (p == nullptr || p->removed) {
    show_rejection(h, "⚠️ Mensaje de «" + std::string(m.topic.part.view()) +
                          "», que no está en la mesa: ignorado.");
    return;
  }
  if (m.type == TABLE_MSG_VOTE) {
    handle_vote(h, *p, m);
  } else if (m.type == TABLE_MSG_PROPOSAL || m.type == TABLE_MSG_COMMAND) {
    handle_proposal(h, *p, m, m.type == TABLE_MSG_COMMAND);
  } else if (m.type == TABLE_MSG_SAY) {
    handle_say(h, *p, m);
  } else {
    show_rejection(
        h, "⚠️ Mensaje de tipo desconocido de " + std::string(p->name.view()) + ": ignorado.");
  }
}

// ---- the console ------------------------------------------------------------------------------

constexpr const char* kDirectorHelp =
    "Órdenes del director:\n"
    "  Enter            confirma la opción más votada\n"
    "  N                elige la opción o propuesta N (aunque no sea la más votada)\n"
    "  texto            la compañía hace lo que escribas (acción libre u orden de terminal)\n"
    "  /narrar TEXTO    narras a toda la mesa con tus palabras\n"
    "  /decir TEXTO     hablas a la mesa\n"
    "  /tirada ATRIBUTO DC   tiras 2d6 + atributo en público\n"
    "  /dar OBJETO, /quitar OBJETO, /vida +N|-N   cambias al héroe de la compañía\n"
    "  /pausa, /seguir  pausas la mesa o la reanudas\n"
    "  /expulsar NOMBRE expulsas a un aventurero\n"
    "  /mesa            quién está y qué ha votado\n"
    "  /ficha, /mochila, /lore TEMA, /guardar   como en el juego\n"
    "  /salir           guardas y cierras la mesa (se reanuda con --reanudar)\n";

constexpr const char* kHostHelp =
    "Mesa sin director: los aventureros votan desde sus terminales.\n"
    "  /mesa            quién está y qué ha votado\n"
    "  /pausa, /seguir  pausas la mesa o la reanudas\n"
    "  /salir           guardas y cierras la mesa (se reanuda con --reanudar)\n";

void set_pause(TableHost& h, bool paused) {
  if (!table_state_pause(h.state, paused, now_ms())) {
    note(h, paused ? "La mesa ya está en pausa." : "La mesa no está en pausa.");
    return;
  }
  std::string data = "{\"texto\":" +
                     json_text_quoted(paused ? "La mesa está en pausa: los votos esperan."
                                             : "La mesa sigue: podéis votar.") +
                     ",\"pausa\":" + (paused ? "true" : "false") + "}";
  announce(h, TABLE_MSG_PAUSE, data);
  h.state_dirty = true;
}

void remove_player(TableHost& h, std::string_view who) {
  TablePlayerId id;
  TablePlayer* p = table_player_id(who, id) ? table_state_find(h.state, id.view()) : nullptr;
  if (p == nullptr || p->removed) {
    note(h, "No hay ningún aventurero «" + text_printable(who) + "» en la mesa.", "warning");
    return;
  }
  std::string name = p->name.c_str();
  table_state_remove(h.state, id.view());
  std::erase_if(h.departures, [&](const auto& d) { return d.first == id.view(); });
  announce_line(h, TABLE_MSG_REMOVED, "El director expulsa a " + name + " de la mesa.",
                "\"quien\":" + json_text_quoted(id.view()));
  // Their retained presence goes; their credential, and with it their
  // connection, a moment later.
  table_mqtt_publish(*h.mqtt, table_topic(h.table_id, TableChannel::kPresence, id.view()), "", true,
                     0, nullptr);
  if (h.own_broker) h.removals.emplace_back(id.c_str(), now_ms() + kRemovalGraceMs);
  {
    std::lock_guard<std::mutex> lock(h.guard_mutex);
    table_guard_forget(*h.guard, id.view());
  }
  h.state_dirty = true;
  write_room_file(h);
}

void delete_removed(TableHost& h, bool all) {
  std::int64_t now = now_ms();
  for (std::size_t i = 0; i < h.removals.size();) {
    if (!all && h.removals[i].second > now) {
      ++i;
      continue;
    }
    TableErrorText error{};
    if (!table_dynsec_run(*h.dynsec, table_dynsec_remove_player(h.table_id, h.removals[i].first),
                          false, &error)) {
      note(h, std::string("⚠️ No se pudo retirar el acceso de un expulsado: ") + error.c_str(),
           "warning");
    }
    h.removals.erase(h.removals.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void public_roll(TableHost& h, std::string_view argument) {
  std::string_view rest = trim_view(argument);
  std::size_t space = rest.find_last_of(' ');
  std::string_view dc_text = space == std::string_view::npos ? rest : rest.substr(space + 1);
  std::string_view stat = space == std::string_view::npos ? "" : trim_view(rest.substr(0, space));
  bool digits = !dc_text.empty() && dc_text.size() <= 4;
  for (char c : dc_text) digits = digits && is_ascii_digit(c);
  if (stat.empty() || !digits) {
    note(h, "Uso: /tirada ATRIBUTO DC (por ejemplo /tirada Fuerza 8)", "warning");
    return;
  }
  std::int32_t dc = read_decimal_i32(dc_text);
  NameText name;
  name.assign(stat);
  bool known = false;
  for (const StatEntry& s : list_used(h.hero.stats, h.hero.stat_count)) {
    if (ascii_iequals(s.name.view(), stat)) {
      name = s.name;
      known = true;
    }
  }
  if (!known) note(h, "La compañía no tiene «" + text_printable(stat) + "»: se tira con +0.");
  RollResult roll = rules_roll_2d6(h.table_random, character_get_stat(h.hero, name.view()), dc);
  announce_line(h, TABLE_MSG_DIRECTOR,
                "El director pide una tirada de " + text_printable(name.view()) + " contra DC " +
                    std::to_string(dc) + ".");
  std::string data;
  table_encode_roll(roll, name.view(), data);
  announce(h, TABLE_MSG_DICE, data);
}

// A line typed at the host's console. True with `decision` when it is the
// session's next line.
bool handle_console(TableHost& h, std::string_view raw, Decision& decision) {
  std::string clean = text_printable(trim_view(raw));
  std::string_view line = clean;
  std::string_view argument;
  const bool director = h.state.mode == TableMode::kDirector;
  if (command_word(line, "/ayuda", argument)) {
    note(h, director ? kDirectorHelp : kHostHelp);
  } else if (command_word(line, "/mesa", argument)) {
    note(h, players_line(h));
  } else if (command_word(line, "/pausa", argument)) {
    set_pause(h, true);
  } else if (command_word(line, "/seguir", argument)) {
    set_pause(h, false);
  } else if (command_word(line, "/salir", argument)) {
    h.stopping = true;
  } else if (!director) {
    if (!line.empty())
      note(h, "En una mesa sin director deciden los votos de los aventureros. /ayuda", "warning");
  } else if (command_word(line, "/narrar", argument)) {
    if (argument.empty()) {
      note(h, "Uso: /narrar TEXTO", "warning");
    } else {
      announce_line(h, TABLE_MSG_DIRECTOR, "El director narra: " + std::string(argument));
    }
  } else if (command_word(line, "/decir", argument)) {
    if (!argument.empty())
      announce_line(h, TABLE_MSG_SAID, "Director: " + std::string(argument),
                    "\"quien\":\"director\"");
  } else if (command_word(line, "/tirada", argument)) {
    public_roll(h, argument);
  } else if (command_word(line, "/expulsar", argument)) {
    remove_player(h, argument);
  } else if (command_word(line, "/dar", argument) || command_word(line, "/quitar", argument) ||
             command_word(line, "/vida", argument) || command_word(line, "/ficha", argument) ||
             command_word(line, "/stats", argument) || command_word(line, "/mochila", argument) ||
             command_word(line, "/inv", argument) || command_word(line, "/lore", argument) ||
             command_word(line, "/guardar", argument)) {
    // The game's own commands, run by the session itself; the vote stays open.
    decision.line = line;
    decision.takes_turn = false;
    return true;
  } else if (!line.empty() && line[0] == '/') {
    note(h, "Orden desconocida en la mesa. Escribe /ayuda.", "warning");
  } else if (!h.state.vote_open) {
    note(h, "Espera a que la mesa tenga opciones.", "warning");
  } else {
    TableTally tally;
    table_state_tally(h.state, tally);
    TableLine said;
    if (line.empty()) {
      if (tally.winner == 0) {
        note(h, "Nadie ha votado todavía: escribe un número o la acción de la compañía.",
             "warning");
        return false;
      }
      table_state_director_choose(h.state, tally, tally.winner, said);
      close_vote(h, tally.winner, said.c_str() + std::string(" ") + option_label(h, tally.winner));
      decision = decision_for(h, tally.winner);
      return true;
    }
    if (rules_option_line_is_number(line)) {
      std::int32_t number = read_decimal_i32(line);
      if (!table_state_director_choose(h.state, tally, number, said)) {
        note(h, said.c_str(), "warning");
        return false;
      }
      close_vote(h, number, said.c_str() + std::string(" ") + option_label(h, number));
      decision = decision_for(h, number);
      return true;
    }
    std::string action(line.substr(0, kProposalMax));
    close_vote(h, 0, "El director decide: «" + action + "».");
    decision.line = action;
    return true;
  }
  return false;
}

// ---- the line source: the table's turn --------------------------------------------------------

void push_item(TableHost& h, InboxItem item) {
  {
    std::lock_guard<std::mutex> lock(h.inbox_mutex);
    // Console lines and stops always get in; a flood of network messages does not.
    if (item.kind == InboxKind::kMessage || item.kind == InboxKind::kRejected) {
      if (h.inbox.size() >= kInboxMax) {
        ++h.inbox_dropped;
        return;
      }
    }
    h.inbox.push_back(std::move(item));
  }
  h.inbox_changed.notify_all();
}

bool pop_item(TableHost& h, std::int64_t wait_ms, InboxItem& out, std::size_t& dropped) {
  std::unique_lock<std::mutex> lock(h.inbox_mutex);
  if (wait_ms > 0 && h.inbox.empty())
    h.inbox_changed.wait_for(lock, std::chrono::milliseconds(wait_ms));
  dropped = h.inbox_dropped;
  h.inbox_dropped = 0;
  if (h.inbox.empty()) return false;
  out = std::move(h.inbox.front());
  h.inbox.pop_front();
  return true;
}

// Handles one item; true with `decision` when the session gets a line.
bool handle_item(TableHost& h, InboxItem& item, Decision& decision) {
  switch (item.kind) {
    case InboxKind::kMessage:
      handle_message(h, item.message);
      return false;
    case InboxKind::kRejected:
      show_rejection(h, item.text);
      return false;
    case InboxKind::kConsole:
      return handle_console(h, item.text, decision);
    case InboxKind::kConsoleClosed:
      // A director who is gone cannot decide anything more: the table is saved.
      if (h.state.mode == TableMode::kDirector) h.stopping = true;
      return false;
    case InboxKind::kStop:
      h.stopping = true;
      return false;
  }
  return false;
}

bool host_source(char* buffer, std::size_t capacity, void* user) {
  TableHost& h = *static_cast<TableHost*>(user);
  if (capacity < 2) return false;
  if (h.stopping) return false;
  if (!h.prompt_pending) {
    // A question of the game outside a turn (whether to replace another
    // hero's save): the table keeps what is there.
    note(h, "La partida pregunta si reemplazar otro guardado: la mesa responde que no.");
    std::snprintf(buffer, capacity, "n\n");
    return true;
  }
  h.prompt_pending = false;
  Decision decision;
  bool decided = false;
  while (!decided) {
    std::int64_t wait = kIdleWaitMs;
    if (h.state.vote_open && h.state.deadline_ms != 0 && !h.state.paused) {
      // Woken at the deadline; once it has passed (a director deciding), idle again.
      std::int64_t left = h.state.deadline_ms - now_ms();
      if (left > 0 && left < wait) wait = left;
    }
    if (!h.removals.empty()) {
      delete_removed(h, false);
      wait = 100;
    }
    if (!h.departures.empty()) {
      settle_departures(h);
      wait = 100;
    }
    // The retained state is for newcomers: at most once a second, the
    // events tell everyone else at once.
    std::int64_t state_due = h.state_published_ms + kStateIntervalMs - now_ms();
    if (h.state_dirty && state_due < wait) wait = state_due < 0 ? 0 : state_due;
    InboxItem item;
    std::size_t dropped = 0;
    bool got = pop_item(h, wait, item, dropped);
    if (dropped > 0)
      show_rejection(
          h, "⚠️ Demasiados mensajes a la vez: " + std::to_string(dropped) + " ignorados.");
    if (got) decided = handle_item(h, item, decision);
    if (h.stopping) return false;
    if (!decided) decided = check_vote(h, decision);
    if (h.state_dirty && !decided && now_ms() - h.state_published_ms >= kStateIntervalMs)
      publish_state(h);
  }
  if (decision.takes_turn) h.narration_who = decision.who;
  std::string line = decision.line.substr(0, capacity - 2) + "\n";
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  if (!decision.takes_turn) {
    // The same vote continues once the command's answer is drawn.
    h.vote_consumed = false;
  }
  return true;
}

// ---- the connection ---------------------------------------------------------------------

void host_message(void* user, const char* topic, std::string_view payload, bool) {
  TableHost& h = *static_cast<TableHost*>(user);
  if (payload.empty()) return;  // a retained message being cleared
  InboxItem item = inbox_item(InboxKind::kMessage);
  TableRejection why{};
  bool opened = table_message_open(h.table_id, h.key, topic, payload, item.message, &why);
  if (opened) {
    std::lock_guard<std::mutex> lock(h.guard_mutex);
    opened = table_guard_accept(*h.guard, item.message, &why);
  }
  if (!opened) {
    if (why.code == TableReject::kDuplicate) return;  // a redelivery: already handled
    FixedText<256> line;
    table_rejection_line(why, topic, line);
    item.kind = InboxKind::kRejected;
    item.text = line.c_str();
    item.message = TableMessage{};
  }
  push_item(h, std::move(item));
}

// The presence pair of one connection: "present" now, and the will saying
// "gone" with the next sequence, should the connection be lost.
void arm_will(TableHost& h) {
  std::lock_guard<std::mutex> lock(h.publish_mutex);
  h.presence_seq = table_signer_take(h.signer, TableChannel::kHostPresence);
  std::uint64_t will_seq = table_signer_take(h.signer, TableChannel::kHostPresence);
  std::string topic = table_topic(h.table_id, TableChannel::kHostPresence);
  std::string data, will;
  table_encode_presence(h.room_name, false, data);
  if (table_message_seal(h.signer, topic, TableChannel::kHostPresence, TABLE_MSG_PRESENCE, data,
                         will_seq, will)) {
    table_mqtt_set_will(*h.mqtt, topic, will, true);
  }
}

void host_connected(void* user, TableMqttClient& client, bool) {
  TableHost& h = *static_cast<TableHost*>(user);
  std::string root = table_topic_root(h.table_id);
  table_mqtt_subscribe(client, root + "/jugadores/+/acciones", 0, nullptr);
  table_mqtt_subscribe(client, root + "/jugadores/+/presencia", 0, nullptr);
  table_mqtt_subscribe(client, table_topic(h.table_id, TableChannel::kJoinRequest), 0, nullptr);
  std::string data;
  table_encode_presence(h.room_name, true, data);
  std::string topic = table_topic(h.table_id, TableChannel::kHostPresence);
  std::string message;
  std::lock_guard<std::mutex> lock(h.publish_mutex);
  if (table_message_seal(h.signer, topic, TableChannel::kHostPresence, TABLE_MSG_PRESENCE, data,
                         h.presence_seq, message)) {
    table_mqtt_publish(client, topic, message, true, 0, nullptr);
  }
}

void host_disconnected(void* user, TableMqttClient&, int) {
  arm_will(*static_cast<TableHost*>(user));
}

bool connect(TableHost& h, TableErrorText* error) {
  TableMqttSettings settings;
  settings.host = h.code.host.c_str();
  settings.port = h.code.port;
  // A fixed client id and a persistent session: what adventurers send while
  // the host is away waits for it at the broker.
  settings.client_id = table_broker_host_user(h.table_id);
  if (h.own_broker) {
    settings.username = table_broker_host_user(h.table_id);
    settings.password = h.host_password;
  }
  settings.session_seconds = kSessionSeconds;
  h.mqtt = table_mqtt_create(
      settings, TableMqttHandlers{host_message, host_connected, host_disconnected, &h});
  if (h.mqtt == nullptr) {
    error->assign("no se pudo preparar la conexión con el servidor");
    return false;
  }
  arm_will(h);
  int reason = 0;
  if (!table_mqtt_connect(*h.mqtt, kConnectMs, &reason)) {
    char line[TABLE_ERROR_BYTES];
    std::snprintf(line, sizeof line, "no se pudo conectar con %s:%d: %s%s", h.code.host.c_str(),
                  h.code.port, table_mqtt_reason_text(reason),
                  is_this_machine(h.code.host.view()) && !h.own_broker
                      ? " (¿has arrancado el servidor de la mesa con «quillhaven-mesa broker»?)"
                      : "");
    error->assign(line);
    return false;
  }
  return true;
}

// The table's own broker administers credentials; any other is public.
bool choose_broker(TableHost& h, TableErrorText* error) {
  std::string_view address = h.code.host.view();
  TableBrokerAdmin admin;
  if (!is_this_machine(address) ||
      (h.settings.dynsec == nullptr && !table_broker_read_admin(h.settings.root, admin))) {
    h.own_broker = false;
    h.code.open_broker = true;
    return true;
  }
  h.own_broker = true;
  h.code.open_broker = false;
  if (h.settings.dynsec != nullptr) {
    h.dynsec = h.settings.dynsec;
    return true;
  }
  h.dynsec = table_dynsec_open(address, h.code.port, admin, error);
  h.own_dynsec = h.dynsec != nullptr;
  return h.dynsec != nullptr;
}

bool load_resumed_game(TableHost& h, TableErrorText* error) {
  std::string saves = h.room_dir + "/" + PATH_SAVES_DIR;
  char section[IdText::kCapacity] = "";
  if (!load_game(saves.c_str(), h.slug.c_str(), section, sizeof section, &h.saved_hero,
                 h.autosave_name.c_str(), &h.saved_visits) ||
      section[0] == '\0') {
    error->assign("no se encuentra la partida guardada de la mesa (" + h.autosave_name + ")");
    return false;
  }
  h.saved_section.assign(section);
  h.party_name = h.saved_hero.name.c_str();
  for (const IdText& id : list_used(h.saved_visits.ids, h.saved_visits.count)) {
    if (const StorySection* seen = story_get_section(*h.story, id.view()))
      h.visited[seen - h.story->sections] = true;
  }
  return true;
}

// Once the table is told it closes, its adventurers leave; their goodbyes
// say they heard everything before their credentials go.
void await_departures(TableHost& h) {
  h.closing = true;
  std::int64_t until = now_ms() + kFarewellMs;
  while (table_state_present_count(h.state) > 0) {
    std::int64_t left = until - now_ms();
    if (left <= 0) break;
    InboxItem item;
    std::size_t dropped = 0;
    if (!pop_item(h, left, item, dropped)) continue;
    if (item.kind == InboxKind::kMessage && item.message.topic.channel == TableChannel::kPresence)
      handle_message(h, item.message);
  }
}

}  // namespace

TableHost* table_host_open(const TableHostSettings& settings, TableErrorText* error) {
  TableErrorText local{};
  if (error == nullptr) error = &local;
  auto* h = new (std::nothrow) TableHost;
  if (h == nullptr) return nullptr;
  h->settings = settings;
  h->config = settings.config;
  h->config.music_enabled = false;
  h->guard = static_cast<TableReplayGuard*>(std::calloc(1, sizeof(TableReplayGuard)));
  if (h->guard == nullptr) {
    delete h;
    return nullptr;
  }
  // The story: shared, or read here.
  if (settings.story != nullptr) {
    h->story = settings.story;
  } else {
    h->own_story = static_cast<Story*>(platform_alloc_large(sizeof(Story)));
    std::string path = settings.story_path;
    if (!path.empty() && path[0] != '/') path = settings.root + "/" + path;
    if (h->own_story == nullptr || !story_parser_load_file(*h->own_story, path.c_str()) ||
        h->own_story->section_count == 0) {
      error->assign("no se puede leer la historia " + text_printable(settings.story_path));
      table_host_close(h);
      return nullptr;
    }
    h->story = h->own_story;
  }
  h->story_slug_source = base_name_without_extension(settings.story_path);
  make_slug(h->story_slug_source.c_str(), SESSION_SLUG_FALLBACK, h->slug);
  h->autosave_name = "autosave_" + std::string(h->slug.view()) + ".json";
  h->room_name = settings.room.empty() ? h->story_slug_source : settings.room;
  h->room_name = text_printable(h->room_name.substr(0, TABLE_PLAYER_NAME_MAX));
  SlugText room_slug;
  make_name_slug(h->room_name.c_str(), "mesa", room_slug);
  h->room_dir = settings.root + "/" + PATH_TABLE_ROOMS_DIR + "/" + room_slug.c_str();
  h->room_file = h->room_dir + "/mesa.json";
  h->party_name = settings.room.empty() ? TABLE_DEFAULT_PARTY : h->room_name;

  if (settings.resume) {
    h->resumed = true;
    if (!platform_file_exists(h->room_file.c_str())) {
      error->assign("no hay ninguna mesa «" + h->room_name + "» que reanudar");
      table_host_close(h);
      return nullptr;
    }
    if (!read_room_file(*h, error) || !load_resumed_game(*h, error)) {
      table_host_close(h);
      return nullptr;
    }
    // The vote that was open when the host stopped opens again under its
    // number: votes sent meanwhile still count.
    if (h->turn > 0) --h->turn;
  } else {
    if (platform_file_exists(h->room_file.c_str())) {
      error->assign("la mesa «" + h->room_name +
                    "» no terminó: continúala con --reanudar, o usa otro nombre con --sala");
      table_host_close(h);
      return nullptr;
    }
    table_state_init(h->state, settings.mode);
    if (!table_code_new(h->code, settings.config.mqtt_broker.view(), settings.config.mqtt_port,
                        error)) {
      table_host_close(h);
      return nullptr;
    }
    h->host_password = table_crypto_random_hex(16);
  }
  if (h->settings.vote_seconds < 0) {
    h->settings.vote_seconds =
        h->settings.mode == TableMode::kDirector ? 0 : TABLE_DEFAULT_VOTE_SECONDS;
  }
  h->state.mode = h->settings.mode;
  h->table_id = h->code.table_id.c_str();
  table_message_key(h->code.key, h->key);
  table_signer_init(h->signer, h->code.key, TABLE_SENDER_HOST, 0);
  rules_random_seed(h->table_random, settings.seed + 1);

  const bool was_open = h->code.open_broker;
  if (!choose_broker(*h, error)) {
    table_host_close(h);
    return nullptr;
  }
  if (h->resumed && was_open != h->code.open_broker) {
    error->assign("el servidor de la mesa ya no es del mismo tipo que cuando se abrió");
    table_host_close(h);
    return nullptr;
  }
  if (h->own_broker) {
    std::string commands = table_dynsec_create_table(h->table_id, h->host_password,
                                                     table_broker_lobby_password(h->code.key));
    if (!table_dynsec_run(*h->dynsec, commands, h->resumed, error)) {
      table_host_close(h);
      return nullptr;
    }
  }
  if (!table_code_format(h->code, h->code_text)) {
    error->assign("la dirección del servidor no cabe en un código de mesa");
    table_host_close(h);
    return nullptr;
  }
  // Connected first: a table that cannot open leaves no file behind to refuse the next.
  if (!connect(*h, error)) {
    table_host_close(h);
    return nullptr;
  }
  std::string saves = h->room_dir + "/" + PATH_SAVES_DIR;
  if (!platform_mkdir_p(saves.c_str()) || chmod(h->room_dir.c_str(), 0700) != 0 ||
      !write_room_file(*h)) {
    error->assign("no se puede escribir en " + h->room_dir);
    table_host_close(h);
    return nullptr;
  }
  UiContext screen = settings.screen;
  screen.typing_speed = settings.config.typing_speed;
  h->screen = table_screen_open(
      screen, h->state.mode == TableMode::kDirector ? TablePrompt::kDirector : TablePrompt::kNone);
  return h;
}

const char* table_host_code(const TableHost& host) { return host.code_text.c_str(); }

bool table_host_public(const TableHost& host) { return !host.own_broker; }

SessionEnd table_host_run(TableHost& h) {
  if (h.screen != nullptr && !h.own_broker) {
    note(h,
         "⚠️ Servidor público (" + std::string(h.code.host.view()) + ":" +
             std::to_string(h.code.port) +
             "): cualquiera puede ver lo que pasa en esta mesa. Nadie sin el código puede "
             "actuar en ella, pero quien tenga el código puede hacerse pasar por otro.",
         "warning");
  }
  // Messages waiting from before (votes queued for a resumed table) are
  // handled at the first turn, once its vote is open again.
  Host session_host{};
  session_host.ui.source = host_source;
  session_host.ui.sleep = no_sleep;
  session_host.ui.user = &h;
  session_host.root.assign(h.room_dir);
  SessionSink sink{host_emit, &h};
  SessionObserver observer{host_before_prompt, nullptr, nullptr, &h};
  SessionIo io{.host = session_host,
               .observer = &observer,
               .seed = h.settings.seed,
               .sink = &sink,
               .resumed_file = h.resumed ? h.autosave_name.c_str() : nullptr,
               .resumed_visits = h.resumed ? &h.saved_visits : nullptr,
               .director_commands = h.state.mode == TableMode::kDirector};
  h.end = game_session_run(io, h.story, h.story_slug_source.c_str(), &h.config,
                           h.party_name.c_str(), h.resumed ? h.saved_section.c_str() : nullptr,
                           h.resumed ? &h.saved_hero : nullptr);
  const bool finished = h.end != SESSION_END_EXIT && h.end != SESSION_END_NONE;
  table_state_close_vote(h.state);
  announce_line(h, TABLE_MSG_CLOSED,
                finished ? "La aventura ha terminado. ¡Gracias por jugar!"
                         : "El anfitrión ha cerrado la mesa; podréis volver con el mismo código "
                           "cuando la reanude.",
                std::string("\"final\":") + (finished ? "true" : "false"));
  publish_state(h);
  std::string gone;
  table_encode_presence(h.room_name, false, gone);
  publish(h, TableChannel::kHostPresence, {}, TABLE_MSG_PRESENCE, gone, true, kFlushMs);
  await_departures(h);
  if (h.own_broker) delete_removed(h, true);
  if (finished) {
    // Nothing is left to resume: the table's credentials, retained messages
    // and files go.
    std::vector<std::string> ids;
    for (const TablePlayer& p : list_used(h.state.players, h.state.player_count)) {
      ids.emplace_back(p.id.view());
      table_mqtt_publish(*h.mqtt, table_topic(h.table_id, TableChannel::kPresence, p.id.view()), "",
                         true, 0, nullptr);
    }
    table_mqtt_publish(*h.mqtt, table_topic(h.table_id, TableChannel::kState), "", true, 0,
                       nullptr);
    table_mqtt_publish(*h.mqtt, table_topic(h.table_id, TableChannel::kHostPresence), "", true,
                       kFlushMs, nullptr);
    if (h.own_broker) {
      TableErrorText error{};
      table_dynsec_run(*h.dynsec, table_dynsec_delete_table(h.table_id, ids), false, &error);
    }
    std::string save = h.room_dir + "/" + PATH_SAVES_DIR + "/" + h.autosave_name;
    unlink(save.c_str());
    unlink(h.room_file.c_str());
  } else {
    write_room_file(h);
  }
  if (h.screen != nullptr) table_screen_drain(*h.screen);
  return h.end;
}

void table_host_console(TableHost& host, std::string_view line) {
  if (host.screen != nullptr) table_screen_answered(*host.screen);
  push_item(host, inbox_item(InboxKind::kConsole, line));
}

void table_host_console_closed(TableHost& host) {
  push_item(host, inbox_item(InboxKind::kConsoleClosed));
}

void table_host_stop(TableHost& host) { push_item(host, inbox_item(InboxKind::kStop)); }

void table_host_close(TableHost* host) {
  if (host == nullptr) return;
  table_mqtt_destroy(host->mqtt);
  host->mqtt = nullptr;
  table_screen_close(host->screen);
  if (host->own_dynsec) table_dynsec_close(host->dynsec);
  if (host->own_story != nullptr) platform_free_large(host->own_story, sizeof(Story));
  std::free(host->guard);
  delete host;
}
