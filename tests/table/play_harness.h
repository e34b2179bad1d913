// A whole table for one test: Mosquitto on a free port of 127.0.0.1, a host on
// a thread, adventurers in this process or as real programs, bare MQTT clients.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/json_value.h"
#include "support/test_support.h"
#include "table/table_broker.h"
#include "table/table_crypto.h"
#include "table/table_guest.h"
#include "table/table_host.h"
#include "table/table_message.h"
#include "table/table_protocol.h"

namespace qh_test {

inline constexpr int kTableWaitMs = 15000;
inline const std::string kCryptStory = std::string(QH_SOURCE_DIR) + "/" + BUNDLED_STORIES[1];

inline bool eventually(const std::function<bool()>& ready, int ms = kTableWaitMs) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ready();
}

inline std::int32_t free_local_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  std::int32_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

// The table's own broker in a fresh root folder; `plain` runs Mosquitto as
// anyone may instead: anonymous, nothing administered, so a host must treat
// it as public.
class TableBrokerHarness {
 public:
  explicit TableBrokerHarness(bool plain = false) {
    // The port is free when chosen but another program may take it before the
    // broker binds it: a few tries with fresh ports.
    for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) {
      port_ = free_local_port();
      TableErrorText error{};
      if (plain) {
        write_file(table_broker_paths(root()).config,
                   "listener " + std::to_string(port_) +
                       " 127.0.0.1\nallow_anonymous true\npersistence false\n");
      } else if (!table_broker_prepare(root(), "127.0.0.1", port_, &error)) {
        error_ = error.c_str();
        continue;
      }
      restart();
    }
  }
  ~TableBrokerHarness() { table_broker_stop(pid_); }
  bool running() const { return pid_ > 0; }
  const std::string& root() const { return root_.path(); }
  std::int32_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }
  // Stops and starts the broker again on the same port (its files kept).
  bool restart() {
    table_broker_stop(pid_);
    TableErrorText error{};
    bool ok = table_broker_start(root(), "127.0.0.1", port_, pid_, &error);
    if (!ok) error_ = error.c_str();
    return ok;
  }

 private:
  TempDir root_;
  std::int32_t port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

// A bare MQTT client on 127.0.0.1 that keeps every message it receives.
class MqttPeer {
 public:
  // Connects as `user` (anonymous when empty); reason() is the broker's answer.
  explicit MqttPeer(std::int32_t port, const std::string& user = "",
                    const std::string& password = "", std::uint32_t session_seconds = 0) {
    auto on_message = [](void* self, const char* topic, std::string_view payload, bool) {
      auto* peer = static_cast<MqttPeer*>(self);
      std::lock_guard<std::mutex> lock(peer->mutex_);
      peer->messages_.emplace_back(topic, std::string(payload));
    };
    TableMqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.username = user;
    settings.password = password;
    settings.client_id = user + "-" + table_crypto_random_hex(4);
    settings.session_seconds = session_seconds;
    client_ = table_mqtt_create(settings, TableMqttHandlers{on_message, nullptr, nullptr, this});
    table_mqtt_connect(*client_, 5000, &reason_);
  }
  ~MqttPeer() { table_mqtt_destroy(client_); }
  TableMqttClient& client() { return *client_; }
  int reason() const { return reason_; }
  // These return the reason code of the broker's answer (0: accepted).
  int publish(const std::string& topic, std::string_view payload = "x", bool retain = false,
              int ms = 5000) {
    int reason = 0;
    table_mqtt_publish(*client_, topic, payload, retain, ms, &reason);
    return reason;
  }
  int subscribe(const std::string& filter) {
    int reason = 0;
    table_mqtt_subscribe(*client_, filter, 5000, &reason);
    return reason;
  }
  // The payload of the first message on `topic`; "" when none came in time.
  std::string wait_for(const std::string& topic, int ms = 5000) {
    std::string payload;
    eventually(
        [&] {
          std::lock_guard<std::mutex> lock(mutex_);
          for (auto& [t, p] : messages_)
            if (t == topic) return !(payload = p).empty();
          return false;
        },
        ms);
    return payload;
  }

 private:
  TableMqttClient* client_ = nullptr;
  int reason_ = 0;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> messages_;
};

// Signs any body as the protocol does (the signature and closing brace
// added), so that bad content behind a good signature can be tried.
inline std::string sign_body(const std::uint8_t (&table_key)[TABLE_KEY_BYTES],
                             const std::string& topic, const std::string& body) {
  std::uint8_t key[TABLE_MAC_BYTES], mac[TABLE_MAC_BYTES];
  table_message_key(table_key, key);
  table_crypto_hmac(key, topic + "\n" + body, mac);
  std::string out = body + ",\"firma\":\"";
  table_crypto_append_hex(out, mac);
  return out + "\"}";
}

// One party at the table (the host or an adventurer): its screen, written to a
// file and read back while it is drawn, and the messages it saw, in order, as
// "type: key" (the key is a scene's id, a roll's summary, a panel's items,
// otherwise the text). Safe to read while both grow.
class Party {
 public:
  Party() : screen_file_(std::fopen(dir_.file("screen.txt").c_str(), "w")) {}
  ~Party() {
    if (screen_file_ != nullptr) std::fclose(screen_file_);
  }
  std::string screen() const { return read_file(dir_.file("screen.txt")); }
  bool screen_shows(std::string_view fragment) const {
    return eventually([&] { return screen().find(fragment) != std::string::npos; });
  }
  std::vector<std::string> seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  // Only the adventure: scenes, dice, narration and the ending.
  std::vector<std::string> adventure() const {
    std::vector<std::string> out;
    for (const std::string& s : seen())
      for (std::string type :
           {TABLE_MSG_SCENE, TABLE_MSG_DICE, TABLE_MSG_NARRATION, TABLE_MSG_ENDING})
        if (s.starts_with(type + ": ")) out.push_back(s);
    return out;
  }
  bool saw(std::string_view type, std::string_view fragment, int ms = kTableWaitMs) const {
    std::string head = std::string(type) + ": ";
    return eventually(
        [&] {
          return std::ranges::any_of(seen(), [&](const std::string& s) {
            return s.starts_with(head) && s.find(fragment, head.size()) != std::string::npos;
          });
        },
        ms);
  }
  std::string dump() const {
    std::string out;
    for (const std::string& s : seen()) out += s + "\n";
    return out;
  }

 protected:
  UiContext screen_context() const {
    UiContext ui{};
    ui.out = screen_file_;
    ui.sleep = [](std::int32_t, void*) {};
    return ui;
  }
  void add(std::string_view type, const JsonMember& data) {
    const char* key = type == TABLE_MSG_SCENE ? "id" : type == TABLE_MSG_DICE ? "resumen" : "texto";
    std::string seen = std::string(type) + ": ";
    if (type == TABLE_MSG_PANEL) {
      if (const JsonMember* items = json_find_typed(data, "mochila", JsonType::kArray))
        for (const JsonMember& item : items->children) seen += item.text + ";";
    } else if (const JsonMember* text = json_find_typed(data, key, JsonType::kString)) {
      seen += text->text;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(seen));
  }

 private:
  TempDir dir_;
  std::FILE* screen_file_;
  mutable std::mutex mutex_;
  std::vector<std::string> seen_;
};

class Adventurer : public Party {
 public:
  ~Adventurer() { leave(); }

  // Joins with the table's code as `name`, keeping its credential in `root`.
  bool join(const std::string& code, const std::string& name, const std::string& root) {
    auto on_message = [](void* self, const TableMessage& message) {
      if (message.topic.channel == TableChannel::kEvents)
        static_cast<Adventurer*>(self)->add(message.type.view(), table_message_data(message));
    };
    TableGuestSettings settings{.name = name, .root = root, .screen = screen_context()};
    settings.hooks = {on_message, this};
    settings.answer_ms = 10000;
    TableErrorText error{};
    if (table_code_parse(code, settings.code, &error)) guest_ = table_guest_join(settings, &error);
    error_ = error.c_str();
    return guest_ != nullptr;
  }
  TableGuest* guest() { return guest_; }
  const std::string& error() const { return error_; }
  // Waits until the adventurer sees the vote of `turn` open, then votes.
  bool vote(std::int32_t turn, std::int32_t option) {
    return eventually([&] {
             std::int32_t choices = 0;
             return table_guest_turn(*guest_, &choices) >= turn && choices >= option;
           }) &&
           table_guest_vote(*guest_, option);
  }
  // Leaves (or only releases, once the table is over) and returns the screen.
  std::string leave() {
    if (guest_ != nullptr) {
      table_guest_drain(*guest_);
      table_guest_leave(std::exchange(guest_, nullptr));
    }
    return screen();
  }

 private:
  TableGuest* guest_ = nullptr;
  std::string error_;
};

class TablePlay : public Party {
 public:
  // The broker of the table's own configuration, or a plain one (`own_broker`
  // false). The root's config.json points at it, for the real programs.
  explicit TablePlay(bool own_broker = true) : broker_(!own_broker) {
    EXPECT_TRUE(broker_.running()) << broker_.error();
    write_file(root() + "/config.json",
               "{\"offline_mode\": true, \"typing_speed\": 0, \"music_enabled\": false, "
               "\"show_token_usage\": false, \"mqtt_broker\": \"127.0.0.1\", \"mqtt_port\": " +
                   std::to_string(port()) + "}");
  }
  ~TablePlay() {
    if (host_ == nullptr) return;
    table_host_stop(*host_);
    runner_.join();
    table_host_close(host_);
  }

  const std::string& root() const { return broker_.root(); }
  std::int32_t port() const { return broker_.port(); }
  TableBrokerHarness& broker() { return broker_; }
  ::testing::AssertionResult open(const std::string& story = kCryptStory,
                                  TableMode mode = TableMode::kVote,
                                  std::int32_t presence_grace_ms = TABLE_PRESENCE_GRACE_MS) {
    auto on_vote = [](void* self, std::int32_t turn) {
      static_cast<TablePlay*>(self)->turn_ = turn;
    };
    auto on_publish = [](void* self, std::string_view type, std::string_view,
                         std::string_view data) {
      JsonMember parsed;
      if (type != TABLE_MSG_STATE && json_parse_tree(data, parsed, nullptr))
        static_cast<TablePlay*>(self)->add(type, parsed);
    };
    TableHostSettings s;
    s.root = root();
    s.story_path = story;
    s.mode = mode;
    s.vote_seconds = 0;
    s.presence_grace_ms = presence_grace_ms;
    s.seed = 7;
    s.screen = screen_context();
    s.hooks = {on_vote, on_publish, this};
    EXPECT_TRUE(config_load(s.config, (root() + "/config.json").c_str()));
    TableErrorText error{};
    host_ = table_host_open(s, &error);
    if (host_ == nullptr) return ::testing::AssertionFailure() << error.c_str();
    code_ = table_host_code(*host_);
    runner_ = std::thread([this] {
      end_ = table_host_run(*host_);
      done_ = true;
    });
    return ::testing::AssertionSuccess();
  }
  ::testing::AssertionResult seat(Adventurer& adventurer, const std::string& name) const {
    if (adventurer.join(code_, name, root())) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << name << ": " << adventurer.error();
  }
  TableHost* host() { return host_; }
  std::string code() const { return code_; }
  // Waits for the vote of `turn` to open (false when the run ended first).
  bool wait_turn(std::int32_t turn, int ms = kTableWaitMs) const {
    eventually([&] { return turn_ >= turn || done_; }, ms);
    return turn_ >= turn;
  }
  // Waits for the host's run to end and returns how; the screen is then complete.
  SessionEnd finish(int ms = kTableWaitMs) {
    if (!eventually([&] { return done_.load(); }, ms)) return SESSION_END_NONE;
    runner_.join();
    table_host_close(std::exchange(host_, nullptr));
    return end_;
  }

 private:
  TableBrokerHarness broker_;
  TableHost* host_ = nullptr;
  std::thread runner_;
  std::string code_;
  std::atomic<std::int32_t> turn_ = 0;
  std::atomic<bool> done_ = false;
  SessionEnd end_ = SESSION_END_NONE;  // set before done_
};

// The real program, started in `cwd` with its dice fixed (seed 7), its
// standard input from a pipe this process holds (closing it is the end of
// input) and its output in files.
class MesaProcess {
 public:
  MesaProcess(const std::string& cwd, std::vector<std::string> args) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), QH_MESA_BINARY);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char seed[] = "QUILLHAVEN_SEED=7", path[] = "PATH=/usr/bin:/bin:/usr/sbin";
    char* envp[] = {seed, path, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    for (int fd : {1, 2})
      posix_spawn_file_actions_addopen(&actions, fd, dir_.file(fd == 1 ? "out" : "err").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[0]);
    input_ = pipe_fds[1];
  }
  ~MesaProcess() {
    if (input_ >= 0) ::close(input_);
    wait(5000);
  }
  void type(const std::string& line) {
    std::string text = line + "\n";
    EXPECT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // SIGKILL, no goodbye.
  void kill_now() { wait(0); }
  // The exit status; -1 when it had to be killed.
  int wait(int ms) {
    if (pid_ <= 0) return -1;
    int status = 0;
    bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, ms);
    if (!ended) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out() const { return read_file(dir_.file("out")); }
  std::string err() const { return read_file(dir_.file("err")); }
  bool wait_output(std::string_view fragment, int ms = kTableWaitMs) const {
    return eventually([&] { return out().find(fragment) != std::string::npos; }, ms);
  }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int input_ = -1;
};

}  // namespace qh_test
