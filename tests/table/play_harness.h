// A whole table for one test: the table's own broker on a free port of
// 127.0.0.1, a host running the game's session on a thread, adventurers
// joined in this process (or as real programs), and what each of them saw.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "broker_harness.h"
#include "common/json_value.h"
#include "table/table_guest.h"
#include "table/table_host.h"

namespace qh_test {

inline constexpr int kTableWaitMs = 15000;

// One thing seen at the table: the message type and its telling field (a
// scene's id, a roll's summary, a narration's or line's text).
struct Seen {
  std::string type;
  std::string key;
  bool operator==(const Seen&) const = default;
};
Seen seen_of(std::string_view type, const JsonMember& data);
void PrintTo(const Seen& seen, std::ostream* out);
// The last `count` entries of `all` (what a party that came in late saw).
std::vector<Seen> last(const std::vector<Seen>& all, std::size_t count);

// What one party saw, in order; safe to read while it grows.
class SeenLog {
 public:
  void add(Seen seen);
  std::vector<Seen> all() const;
  // Only the adventure: scenes, dice, narration and the ending.
  std::vector<Seen> adventure() const;
  // Waits until an entry of `type` whose key contains `fragment` is there.
  bool wait_for(std::string_view type, std::string_view fragment, int ms = kTableWaitMs) const;
  std::string dump() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable grew_;
  std::vector<Seen> seen_;
};

// Waits up to `ms` for `ready`, checking every few milliseconds.
bool eventually(const std::function<bool()>& ready, int ms = kTableWaitMs);

// A story of the repository, by file name.
std::string bundled_story(const std::string& name);

// A screen written to a file, read back through a file of its own while the
// screen's thread keeps writing.
class Capture {
 public:
  Capture();
  ~Capture();
  std::FILE* file() const { return file_; }
  std::string text() const;
  bool wait_for(std::string_view fragment, int ms = kTableWaitMs) const;

 private:
  TempDir dir_;
  std::FILE* file_;
};

class TablePlay {
 public:
  // The broker of the table's own configuration; `own_broker` false starts a
  // plain anonymous Mosquitto instead, which the host must treat as public.
  explicit TablePlay(bool own_broker = true);
  ~TablePlay();

  const std::string& root() const { return broker_ ? broker_->root() : plain_root_.path(); }
  std::int32_t port() const { return broker_ ? broker_->port() : plain_port_; }
  TableBrokerHarness& broker() { return *broker_; }
  AppConfig config() const;
  TableHostSettings settings(const std::string& story, TableMode mode) const;

  // Opens the host and runs it on a thread. False (and `error()`) when it cannot open.
  bool open(TableHostSettings settings);
  TableHost* host() { return host_; }
  std::string code() const { return code_; }
  const std::string& error() const { return error_; }
  // The last turn whose vote opened.
  std::int32_t turn() const;
  bool wait_turn(std::int32_t turn, int ms = kTableWaitMs) const;
  // Waits for the host's run to end and returns how; the screen is then complete.
  SessionEnd finish(int ms = kTableWaitMs);
  bool finished() const;
  const SeenLog& seen() const { return seen_; }
  std::string screen() const { return screen_.text(); }
  bool screen_shows(std::string_view fragment) const { return screen_.wait_for(fragment); }

 private:
  static void on_vote(void* user, std::int32_t turn);
  static void on_publish(void* user, std::string_view type, std::string_view id,
                         std::string_view data);

  std::unique_ptr<TableBrokerHarness> broker_;
  TempDir plain_root_;
  std::int32_t plain_port_ = 0;
  pid_t plain_broker_ = -1;
  TableHost* host_ = nullptr;
  std::thread runner_;
  std::string code_;
  std::string error_;
  Capture screen_;
  SeenLog seen_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::int32_t turn_ = 0;
  bool done_ = false;
  SessionEnd end_ = SESSION_END_NONE;
};

class Adventurer {
 public:
  Adventurer() = default;
  ~Adventurer();
  Adventurer(const Adventurer&) = delete;
  Adventurer& operator=(const Adventurer&) = delete;

  // Joins with the table's code as `name`, keeping its credential in `root`.
  bool join(const std::string& code, const std::string& name, const std::string& root);
  TableGuest* guest() { return guest_; }
  const std::string& error() const { return error_; }
  // Waits until the adventurer sees the vote of `turn` open, then votes.
  bool vote(std::int32_t turn, std::int32_t option);
  void type(const std::string& line) { table_guest_line(*guest_, line); }
  const SeenLog& seen() const { return seen_; }
  bool screen_shows(std::string_view fragment) const { return screen_.wait_for(fragment); }
  // Leaves (or only releases, once the table is over) and returns the screen.
  std::string leave();

 private:
  static void on_message(void* user, const TableMessage& message);
  TableGuest* guest_ = nullptr;
  std::string error_;
  Capture screen_;
  SeenLog seen_;
  std::string screen_text_;
};

// The real program, started in `cwd` with its standard input from a pipe this
// process holds (closing it is the end of input) and its output in files.
class MesaProcess {
 public:
  MesaProcess(const std::string& cwd, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {});
  ~MesaProcess();
  pid_t pid() const { return pid_; }
  void type(const std::string& line);
  void close_input();
  void kill_now();   // SIGKILL, no goodbye
  int wait(int ms);  // exit status, -1 when it had to be killed
  std::string out() const;
  std::string err() const;
  bool wait_output(std::string_view fragment, int ms = kTableWaitMs) const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int input_ = -1;
};

}  // namespace qh_test
