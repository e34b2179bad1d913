// How many tables one host process and one broker serve. A driver starts the
// table's own Mosquitto on 127.0.0.1, one host process holding every table,
// and one process of simulated adventurers (bots) who join through the lobby
// like anyone, wait for their whole table, and vote after a think time. Each
// table plays a fixed number of turns of an endless generated story. The
// driver then reports, over every event the host published, the time from
// the host's publishing it to its arrival at every adventurer of the table
// (p50, p99, max), and the processor time of the broker and of the host per
// turn played.
//
//   qh_table_scale [--mesas N] [--aventureros M] [--turnos T] [--pensar MIN:MAX]
//
// The host and the bots are this same program, started with --rol.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "story/story_parser.h"
#include "table/table_broker.h"
#include "table/table_crypto.h"
#include "table/table_guest.h"
#include "table/table_host.h"
#include "table/table_protocol.h"

namespace {

struct Options {
  std::string role = "driver";
  std::string root;
  int tables = 1;
  int adventurers = 8;
  int turns = 100;
  int think_min_ms = 0;
  int think_max_ms = 200;
  int port = 0;
  int first_table = 0;  // the bots of tables first_table .. last_table - 1
  int last_table = 0;
};

// libmosquitto waits on its sockets with select(), which sees descriptors
// below 1024 only, and each connection takes three: a process holds about
// 330 connections. The bots are spread over processes of this many.
constexpr int kBotsPerProcess = 300;

std::int64_t now_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// One message at one place and time: the id's 16 bytes and microseconds.
struct Record {
  std::uint8_t id[16];
  std::int64_t at;
};

bool id_bytes(std::string_view hex, std::uint8_t (&out)[16]) {
  return table_crypto_from_hex(hex, out);
}

void write_records(const std::string& path, const std::vector<Record>& records) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(records.data(), sizeof(Record), records.size(), f);
  std::fclose(f);
}

std::vector<Record> read_records(const std::string& path) {
  std::vector<Record> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  Record r;
  while (std::fread(&r, sizeof r, 1, f) == 1) out.push_back(r);
  std::fclose(f);
  return out;
}

// An endless story: a ring of scenes, each with a plain move, a longer move
// and a check, with scene texts of a usual length.
std::string ring_story() {
  constexpr int kScenes = 8;
  std::string text =
      "---\ntitle: \"Anillo\"\nauthor: \"Banco\"\nhp: 20\nstart: \"1\"\nstats:\n  Fuerza: 1\n"
      "items:\n  - \"Farol\"\n---\n\n";
  for (int s = 1; s <= kScenes; ++s) {
    int next = s % kScenes + 1, far = (s + 2) % kScenes + 1, back = (s + kScenes - 2) % kScenes + 1;
    text += "## [" + std::to_string(s) + "] Sala " + std::to_string(s) + "\n\n";
    for (int p = 0; p < 4; ++p) {
      text +=
          "La galería sigue entre columnas rotas y charcos de agua negra; el eco devuelve cada ";
      text += "paso multiplicado, y en las paredes alguien grabó marcas que nadie sabe leer.\n\n";
    }
    text += "- [-> " + std::to_string(next) + "] Seguir por el pasillo\n";
    text += "- [-> " + std::to_string(far) + "] Cruzar la sala grande\n";
    text += "- [Check: Fuerza | DC: 7 | Éxito: " + std::to_string(next) +
            " | Fallo: " + std::to_string(back) + "] Forzar la reja oxidada\n\n";
  }
  return text;
}

AppConfig quiet_config(int port) {
  AppConfig config;
  config_set_defaults(config);
  config.offline_mode = true;
  config.music_enabled = false;
  config.typing_speed = 0.0f;
  config.mqtt_broker.assign("127.0.0.1");
  config.mqtt_port = port;
  return config;
}

// ---- the host process ------------------------------------------------------------------

struct HostTable {
  TableHost* host = nullptr;
  int turns = 0;
  std::mutex mutex;
  std::vector<Record> published;
};

void host_vote_opened(void* user, std::int32_t turn) {
  auto* t = static_cast<HostTable*>(user);
  // The table has played its turns: saved and closed, as a host closes it.
  if (turn > t->turns) table_host_stop(*t->host);
}

void host_published(void* user, std::string_view type, std::string_view id, std::string_view) {
  auto* t = static_cast<HostTable*>(user);
  // Every event leaves on the events topic; the retained state is for late joiners.
  if (type == TABLE_MSG_STATE || type == TABLE_MSG_JOIN_ANSWER) return;
  Record r{};
  r.at = now_us();
  if (!id_bytes(id, r.id)) return;
  std::lock_guard<std::mutex> lock(t->mutex);
  t->published.push_back(r);
}

int run_host(const Options& o) {
  std::string story_path = o.root + "/anillo.md";
  auto* story = static_cast<Story*>(platform_alloc_large(sizeof(Story)));
  if (story == nullptr || !story_parser_load_file(*story, story_path.c_str())) return 1;
  TableBrokerAdmin admin;
  TableErrorText error{};
  if (!table_broker_read_admin(o.root, admin)) return 1;
  TableDynsec* dynsec = table_dynsec_open("127.0.0.1", o.port, admin, &error);
  if (dynsec == nullptr) {
    std::fprintf(stderr, "anfitrión: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::unique_ptr<HostTable>> tables;
  std::string codes;
  for (int i = 0; i < o.tables; ++i) {
    auto t = std::make_unique<HostTable>();
    t->turns = o.turns;
    TableHostSettings s;
    s.root = o.root;
    s.story_path = story_path;
    s.room = "mesa " + std::to_string(i);
    s.mode = TableMode::kVote;
    s.vote_seconds = 120;  // a bot that never votes cannot stall its table for good
    s.seed = static_cast<std::uint32_t>(i + 1);
    s.config = quiet_config(o.port);
    s.story = story;
    s.dynsec = dynsec;
    s.hooks = TableHostHooks{host_vote_opened, host_published, t.get()};
    t->host = table_host_open(s, &error);
    if (t->host == nullptr) {
      std::fprintf(stderr, "anfitrión: mesa %d: %s\n", i, error.c_str());
      return 1;
    }
    codes += std::string(table_host_code(*t->host)) + "\n";
    tables.push_back(std::move(t));
  }
  platform_write_file_atomic((o.root + "/codigos.txt").c_str(), codes, 0600);
  std::vector<std::thread> runners;
  for (auto& t : tables) runners.emplace_back([&t] { table_host_run(*t->host); });
  for (std::thread& r : runners) r.join();
  std::vector<Record> all;
  for (auto& t : tables) {
    all.insert(all.end(), t->published.begin(), t->published.end());
    table_host_close(t->host);
  }
  write_records(o.root + "/publicados.bin", all);
  table_dynsec_close(dynsec);
  platform_free_large(story, sizeof(Story));
  return 0;
}

// ---- the bots process ----------------------------------------------------------------

struct Bot;

struct Bot {
  std::atomic<TableGuest*> guest{nullptr};
  int table_size = 0;
  std::vector<Record> arrivals;  // the connection's thread alone writes here
  std::int32_t voted_turn = 0;   // under the scheduler's lock
};

// Votes due later, in time order, cast by one thread.
struct Scheduler {
  struct Vote {
    std::int64_t at;
    Bot* bot;
    std::int32_t turn;
    bool operator>(const Vote& other) const { return at > other.at; }
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::priority_queue<Vote, std::vector<Vote>, std::greater<Vote>> queue;
  std::mt19937 random{12345};
  int think_min = 0, think_max = 0;
  bool stopping = false;

  void add(Bot* bot, std::int32_t turn) {
    std::lock_guard<std::mutex> lock(mutex);
    if (bot->voted_turn >= turn) return;
    bot->voted_turn = turn;
    std::uniform_int_distribution<int> think(think_min, think_max);
    queue.push(Vote{now_us() + 1000LL * think(random), bot, turn});
    changed.notify_all();
  }
  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      if (queue.empty()) {
        changed.wait(lock);
        continue;
      }
      Vote v = queue.top();
      std::int64_t wait = v.at - now_us();
      if (wait > 0) {
        changed.wait_for(lock, std::chrono::microseconds(wait));
        continue;
      }
      queue.pop();
      TableGuest* guest = v.bot->guest;
      if (guest == nullptr) {
        // Seated before its join call returned: it votes a moment later.
        queue.push(Vote{now_us() + 100000, v.bot, v.turn});
        continue;
      }
      auto draw = static_cast<std::uint32_t>(random());
      lock.unlock();
      std::int32_t choices = 0;
      if (table_guest_turn(*guest, &choices) == v.turn && choices > 0)
        table_guest_vote(*guest, static_cast<std::int32_t>(draw % choices) + 1);
      lock.lock();
    }
  }
};

Scheduler* g_scheduler = nullptr;
// Votes start once every bot of every process is seated: the tables then play
// side by side, and the measure covers them all at once.
std::atomic<bool> g_go{false};

void bot_message(void* user, const TableMessage& m) {
  auto* bot = static_cast<Bot*>(user);
  if (m.topic.channel == TableChannel::kEvents) {
    Record r{};
    r.at = now_us();
    if (id_bytes(m.id.view(), r.id)) bot->arrivals.push_back(r);
  }
  const JsonMember& data = table_message_data(m);
  if (m.topic.channel == TableChannel::kState) {
    // A vote starts once the whole table is seated, or it would close with
    // whoever came first.
    const JsonMember* list = json_find_typed(data, "presentes", JsonType::kArray);
    int seated = 0;
    if (list != nullptr)
      for (const JsonMember& p : list->children) seated += table_read_flag(p, "presente") ? 1 : 0;
    if (g_go && seated >= bot->table_size && table_read_flag(data, "abierta"))
      g_scheduler->add(bot, table_read_int(data, "turno", 0, 0, INT32_MAX));
  } else if (m.type == TABLE_MSG_OPTIONS && g_go) {
    g_scheduler->add(bot, table_decode_turn(data));
  }
}

int run_bots(const Options& o) {
  std::string codes;
  for (int waited = 0;
       !platform_read_regular_file((o.root + "/codigos.txt").c_str(), 1 << 20, codes);
       waited += 100) {
    if (waited > 600000) return 1;
    platform_sleep_ms(100);
  }
  std::vector<std::string> lines;
  int index = 0;
  for (std::size_t at = 0, end; (end = codes.find('\n', at)) != std::string::npos;
       at = end + 1, ++index) {
    if (index >= o.first_table && index < o.last_table) lines.push_back(codes.substr(at, end - at));
  }
  Scheduler scheduler;
  scheduler.think_min = o.think_min_ms;
  scheduler.think_max = o.think_max_ms;
  g_scheduler = &scheduler;
  std::thread voter([&] { scheduler.run(); });
  std::vector<std::unique_ptr<Bot>> bots;
  for (std::size_t i = 0; i < lines.size() * static_cast<std::size_t>(o.adventurers); ++i) {
    auto bot = std::make_unique<Bot>();
    bot->table_size = o.adventurers;
    bot->arrivals.reserve(4096);
    bots.push_back(std::move(bot));
  }
  // Joins go several at a time, as a crowd arrives.
  std::atomic<std::size_t> next{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> joiners;
  std::int64_t joining = now_us();
  for (int j = 0; j < 4; ++j) {
    joiners.emplace_back([&] {
      for (std::size_t i; (i = next++) < bots.size();) {
        Bot& bot = *bots[i];
        std::size_t table_index = i / static_cast<std::size_t>(o.adventurers);
        TableGuestSettings s;
        if (!table_code_parse(lines[table_index], s.code, nullptr)) {
          ++failed;
          continue;
        }
        s.name = "bot " + std::to_string(i % static_cast<std::size_t>(o.adventurers));
        s.draw = false;
        s.hooks = TableGuestHooks{bot_message, &bot};
        s.answer_ms = 600000;  // admissions queue up at the broker's security plugin
        TableErrorText error{};
        bot.guest = table_guest_join(s, &error);
        if (bot.guest.load() == nullptr) {
          std::fprintf(stderr, "bot %zu: %s\n", i, error.c_str());
          ++failed;
        }
      }
    });
  }
  for (std::thread& j : joiners) j.join();
  std::fprintf(stderr, "  %zu bots sentados en %.1f s\n", bots.size(),
               static_cast<double>(now_us() - joining) / 1e6);
  if (failed > 0) {
    // A table missing a bot would wait for it forever.
    std::fprintf(stderr, "%d bots no entraron\n", failed.load());
    _exit(1);
  }
  platform_write_file_atomic((o.root + "/sentados_" + std::to_string(o.first_table)).c_str(), "",
                             0600);
  while (!platform_file_exists((o.root + "/adelante").c_str())) platform_sleep_ms(20);
  g_go = true;
  for (auto& bot : bots) {
    std::int32_t choices = 0;
    std::int32_t turn = table_guest_turn(*bot->guest, &choices);
    if (turn > 0 && choices > 0) scheduler.add(bot.get(), turn);
  }
  for (auto& bot : bots) {
    if (bot->guest.load() != nullptr) table_guest_wait_end(*bot->guest, 3600 * 1000);
  }
  {
    std::lock_guard<std::mutex> lock(scheduler.mutex);
    scheduler.stopping = true;
    scheduler.changed.notify_all();
  }
  voter.join();
  std::vector<Record> all;
  for (auto& bot : bots) {
    table_guest_leave(bot->guest);
    all.insert(all.end(), bot->arrivals.begin(), bot->arrivals.end());
  }
  write_records(o.root + "/llegadas_" + std::to_string(o.first_table) + ".bin", all);
  return 0;
}

// ---- the driver ----------------------------------------------------------------------

pid_t start_self(const Options& o, const char* role) {
  std::vector<std::string> args = {
      "/proc/self/exe",
      "--rol",
      role,
      "--raiz",
      o.root,
      "--mesas",
      std::to_string(o.tables),
      "--aventureros",
      std::to_string(o.adventurers),
      "--turnos",
      std::to_string(o.turns),
      "--pensar",
      std::to_string(o.think_min_ms) + ":" + std::to_string(o.think_max_ms),
      "--puerto",
      std::to_string(o.port),
      "--desde",
      std::to_string(o.first_table),
      "--hasta",
      std::to_string(o.last_table)};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  return pid;
}

// Processor time of a running process, in seconds, from /proc.
double cpu_seconds(pid_t pid) {
  std::string stat;
  if (!platform_read_regular_file(("/proc/" + std::to_string(pid) + "/stat").c_str(), 4096, stat))
    return 0;
  std::size_t at = stat.rfind(')');
  if (at == std::string::npos) return 0;
  // Fields after the name: state is the 3rd, utime the 14th and stime the 15th.
  std::vector<std::string> fields;
  for (std::size_t i = at + 2, end; i < stat.size(); i = end + 1) {
    end = stat.find(' ', i);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(i, end - i));
  }
  if (fields.size() < 13) return 0;
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr)) /
         ticks;
}

double rusage_seconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::size_t k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return values[k];
}

int run_driver(Options o) {
  // Every adventurer is a connection to the broker: descriptors for all of them.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  char folder[] = "/tmp/qh_table_scale_XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  o.root = folder;
  o.port = 20000 + static_cast<int>(getpid() % 20000);
  platform_write_file_atomic((o.root + "/anillo.md").c_str(), ring_story(), 0600);
  TableErrorText error{};
  pid_t broker = -1;
  if (!table_broker_prepare(o.root, "127.0.0.1", o.port, &error) ||
      !table_broker_start(o.root, "127.0.0.1", o.port, broker, &error)) {
    std::fprintf(stderr, "broker: %s\n", error.c_str());
    return 1;
  }
  double broker_before = cpu_seconds(broker);
  std::int64_t started = now_us();
  pid_t host = start_self(o, "anfitrion");
  std::vector<pid_t> bots;
  const int per_process = std::max(1, kBotsPerProcess / o.adventurers);
  for (int first = 0; first < o.tables; first += per_process) {
    Options part = o;
    part.first_table = first;
    part.last_table = std::min(o.tables, first + per_process);
    bots.push_back(start_self(part, "bots"));
  }
  // Everyone seated, the tables start together.
  std::int64_t go = 0;
  for (;;) {
    int seated = 0;
    for (int first = 0; first < o.tables; first += per_process)
      seated += platform_file_exists((o.root + "/sentados_" + std::to_string(first)).c_str());
    if (seated == static_cast<int>(bots.size())) break;
    int status = 0;
    if (waitpid(-1, &status, WNOHANG) > 0) {
      std::fprintf(stderr, "un proceso terminó antes de empezar (%d)\n", status);
      kill(host, SIGTERM);
      for (pid_t b : bots) kill(b, SIGTERM);
      table_broker_stop(broker);
      return 1;
    }
    platform_sleep_ms(50);
  }
  std::fprintf(stderr, "  todos sentados en %.1f s\n",
               static_cast<double>(now_us() - started) / 1e6);
  go = now_us();
  platform_write_file_atomic((o.root + "/adelante").c_str(), "", 0600);
  rusage host_usage{};
  double bots_cpu = 0;
  int host_status = -1, bots_status = 0;
  double broker_cpu = 0;
  for (std::size_t left = bots.size() + 1; left > 0; --left) {
    int status = 0;
    rusage usage{};
    pid_t done = wait4(-1, &status, 0, &usage);
    if (done == host) {
      host_status = status;
      host_usage = usage;
      broker_cpu = cpu_seconds(broker) - broker_before;
    } else if (std::find(bots.begin(), bots.end(), done) != bots.end()) {
      bots_cpu += rusage_seconds(usage);
      if (status != 0) bots_status = status;
      if (status != 0 && host_status == -1) kill(host, SIGTERM);
    } else {
      ++left;  // not one of ours
    }
  }
  double wall = static_cast<double>(now_us() - started) / 1e6;
  table_broker_stop(broker);
  if (host_status != 0 || bots_status != 0) {
    std::fprintf(stderr, "el anfitrión o los bots fallaron (%d, %d)\n", host_status, bots_status);
    return 1;
  }

  std::vector<Record> published = read_records(o.root + "/publicados.bin");
  std::vector<Record> arrivals;
  for (int first = 0; first < o.tables; first += std::max(1, kBotsPerProcess / o.adventurers)) {
    std::vector<Record> part = read_records(o.root + "/llegadas_" + std::to_string(first) + ".bin");
    arrivals.insert(arrivals.end(), part.begin(), part.end());
  }
  struct Delivery {
    std::int64_t sent;
    std::int64_t last = 0;
    int count = 0;
  };
  std::unordered_map<std::string, Delivery> by_id;
  by_id.reserve(published.size());
  for (const Record& r : published)
    by_id.emplace(std::string(reinterpret_cast<const char*>(r.id), 16), Delivery{r.at});
  std::vector<double> each;  // one delivery to one adventurer
  each.reserve(arrivals.size());
  for (const Record& r : arrivals) {
    auto it = by_id.find(std::string(reinterpret_cast<const char*>(r.id), 16));
    if (it == by_id.end()) continue;
    each.push_back(static_cast<double>(r.at - it->second.sent) / 1000.0);
    it->second.last = std::max(it->second.last, r.at);
    ++it->second.count;
  }
  std::vector<double> everyone;  // a state change reaching the whole table
  std::size_t partial = 0;
  for (auto& [id, d] : by_id) {
    if (d.count == o.adventurers) {
      everyone.push_back(static_cast<double>(d.last - d.sent) / 1000.0);
    } else {
      ++partial;
    }
  }
  const double turns = static_cast<double>(o.tables) * o.turns;
  std::printf("mesas %d × aventureros %d, %d turnos cada una (pensar %d–%d ms)\n", o.tables,
              o.adventurers, o.turns, o.think_min_ms, o.think_max_ms);
  std::printf("  eventos publicados: %zu (%zu sin llegar a toda su mesa), entregas: %zu\n",
              published.size(), partial, each.size());
  std::vector<double> copy = everyone;
  std::printf("  hasta toda la mesa: p50 %.2f ms, p99 %.2f ms, máx %.2f ms\n",
              percentile(copy, 0.50), percentile(copy, 0.99),
              everyone.empty() ? 0 : *std::max_element(everyone.begin(), everyone.end()));
  std::printf("  cada entrega:       p50 %.2f ms, p99 %.2f ms\n", percentile(each, 0.50),
              percentile(each, 0.99));
  std::printf("  CPU por turno: broker %.3f ms, anfitrión %.3f ms (bots %.3f ms)\n",
              1000.0 * broker_cpu / turns, 1000.0 * rusage_seconds(host_usage) / turns,
              1000.0 * bots_cpu / turns);
  std::printf("  CPU total: broker %.2f s, anfitrión %.2f s, bots %.2f s; duración %.1f s\n",
              broker_cpu, rusage_seconds(host_usage), bots_cpu, wall);
  // Play runs from the start signal to the last event: seating comes before.
  std::int64_t last = 0;
  for (const Record& r : published) last = std::max(last, r.at);
  double play = last > go ? static_cast<double>(last - go) / 1e6 : wall;
  std::printf("  juego: %.1f s, %.0f turnos por segundo, %.0f entregas por segundo\n", play,
              turns / play, static_cast<double>(each.size()) / play);
  std::error_code ignored;
  std::filesystem::remove_all(o.root, ignored);
  return 0;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--rol") {
      o.role = v;
    } else if (a == "--raiz") {
      o.root = v;
    } else if (a == "--mesas") {
      o.tables = std::atoi(v.c_str());
    } else if (a == "--aventureros") {
      o.adventurers = std::atoi(v.c_str());
    } else if (a == "--turnos") {
      o.turns = std::atoi(v.c_str());
    } else if (a == "--desde") {
      o.first_table = std::atoi(v.c_str());
    } else if (a == "--hasta") {
      o.last_table = std::atoi(v.c_str());
    } else if (a == "--puerto") {
      o.port = std::atoi(v.c_str());
    } else if (a == "--pensar") {
      std::size_t colon = v.find(':');
      o.think_min_ms = std::atoi(v.substr(0, colon).c_str());
      o.think_max_ms =
          colon == std::string::npos ? o.think_min_ms : std::atoi(v.substr(colon + 1).c_str());
    } else {
      return false;
    }
  }
  return o.tables > 0 && o.adventurers > 0 && o.adventurers <= TABLE_MAX_PLAYERS && o.turns > 0 &&
         o.think_min_ms >= 0 && o.think_max_ms >= o.think_min_ms;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "Uso: qh_table_scale [--mesas N] [--aventureros M] [--turnos T] "
                 "[--pensar MIN:MAX]\n");
    return 2;
  }
  if (o.role == "anfitrion") return run_host(o);
  if (o.role == "bots") return run_bots(o);
  return run_driver(o);
}
