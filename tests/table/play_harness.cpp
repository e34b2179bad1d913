#include "play_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "table/table_protocol.h"

namespace qh_test {

namespace {

std::string text_of(const JsonMember& data, std::string_view key) {
  const JsonMember* m = json_find_typed(data, key, JsonType::kString);
  return m != nullptr ? m->text : std::string();
}

}  // namespace

Seen seen_of(std::string_view type, const JsonMember& data) {
  Seen seen{std::string(type), {}};
  if (type == TABLE_MSG_SCENE) {
    seen.key = text_of(data, "id");
  } else if (type == TABLE_MSG_DICE) {
    seen.key = text_of(data, "resumen");
  } else if (type == TABLE_MSG_PANEL) {
    const JsonMember* items = json_find_typed(data, "mochila", JsonType::kArray);
    if (items != nullptr)
      for (const JsonMember& item : items->children) seen.key += item.text + ";";
  } else if (type == TABLE_MSG_OPTIONS) {
    const JsonMember* turn = json_find_typed(data, "turno", JsonType::kNumber);
    seen.key = turn != nullptr ? std::to_string(static_cast<int>(turn->number)) : "";
  } else {
    seen.key = text_of(data, "texto");
  }
  return seen;
}

void PrintTo(const Seen& seen, std::ostream* out) { *out << seen.type << ": " << seen.key; }

std::vector<Seen> last(const std::vector<Seen>& all, std::size_t count) {
  if (count >= all.size()) return all;
  return std::vector<Seen>(all.end() - static_cast<std::ptrdiff_t>(count), all.end());
}

void SeenLog::add(Seen seen) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(seen));
  }
  grew_.notify_all();
}

std::vector<Seen> SeenLog::all() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

std::vector<Seen> SeenLog::adventure() const {
  std::vector<Seen> out;
  for (const Seen& s : all()) {
    if (s.type == TABLE_MSG_SCENE || s.type == TABLE_MSG_DICE || s.type == TABLE_MSG_NARRATION ||
        s.type == TABLE_MSG_ENDING) {
      out.push_back(s);
    }
  }
  return out;
}

bool SeenLog::wait_for(std::string_view type, std::string_view fragment, int ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return grew_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    for (const Seen& s : seen_)
      if (s.type == type && s.key.find(fragment) != std::string::npos) return true;
    return false;
  });
}

std::string SeenLog::dump() const {
  std::string out;
  for (const Seen& s : all()) out += s.type + ": " + s.key + "\n";
  return out;
}

bool eventually(const std::function<bool()>& ready, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ready();
}

std::string bundled_story(const std::string& name) {
  return std::string(QH_SOURCE_DIR) + "/stories/" + name;
}

Capture::Capture() : file_(std::fopen(dir_.file("screen.txt").c_str(), "w")) {}
Capture::~Capture() {
  if (file_ != nullptr) std::fclose(file_);
}
std::string Capture::text() const { return read_file(dir_.file("screen.txt")); }
bool Capture::wait_for(std::string_view fragment, int ms) const {
  return eventually([&] { return text().find(fragment) != std::string::npos; }, ms);
}

TablePlay::TablePlay(bool own_broker) {
  if (own_broker) {
    broker_ = std::make_unique<TableBrokerHarness>();
    EXPECT_TRUE(broker_->running()) << broker_->error();
    return;
  }
  // Mosquitto as anyone may run it: anonymous, nothing administered.
  plain_port_ = free_local_port();
  std::string config = plain_root_.file("plain.conf");
  write_file(config, "listener " + std::to_string(plain_port_) +
                         " 127.0.0.1\nallow_anonymous true\npersistence false\n");
  const char* program = table_broker_program();
  EXPECT_NE(program, nullptr);
  plain_broker_ = fork();
  if (plain_broker_ == 0) {
    int null = ::open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execl(program, program, "-c", config.c_str(), nullptr);
    _exit(127);
  }
  EXPECT_TRUE(table_broker_wait_ready("127.0.0.1", plain_port_, plain_broker_, 10000));
}

TablePlay::~TablePlay() {
  if (host_ != nullptr) {
    table_host_stop(*host_);
    if (runner_.joinable()) runner_.join();
    table_host_close(host_);
  }
  if (plain_broker_ > 0) table_broker_stop(plain_broker_);
}

AppConfig TablePlay::config() const {
  AppConfig config;
  config_set_defaults(config);
  config.offline_mode = true;
  config.music_enabled = false;
  config.typing_speed = 0.0f;
  config.show_token_usage = false;
  config.mqtt_broker.assign("127.0.0.1");
  config.mqtt_port = port();
  return config;
}

TableHostSettings TablePlay::settings(const std::string& story, TableMode mode) const {
  TableHostSettings s;
  s.root = root();
  s.story_path = story;
  s.mode = mode;
  s.vote_seconds = 0;
  s.seed = 7;
  s.config = config();
  s.screen.out = screen_.file();
  s.screen.sleep = [](std::int32_t, void*) {};
  return s;
}

void TablePlay::on_vote(void* user, std::int32_t turn) {
  auto* t = static_cast<TablePlay*>(user);
  {
    std::lock_guard<std::mutex> lock(t->mutex_);
    t->turn_ = turn;
  }
  t->changed_.notify_all();
}

void TablePlay::on_publish(void* user, std::string_view type, std::string_view,
                           std::string_view data) {
  auto* t = static_cast<TablePlay*>(user);
  JsonMember parsed;
  if (type == TABLE_MSG_STATE || !json_parse_tree(data, parsed, nullptr)) return;
  t->seen_.add(seen_of(type, parsed));
}

bool TablePlay::open(TableHostSettings settings) {
  settings.hooks = TableHostHooks{on_vote, on_publish, this};
  TableErrorText error{};
  host_ = table_host_open(settings, &error);
  if (host_ == nullptr) {
    error_ = error.c_str();
    return false;
  }
  code_ = table_host_code(*host_);
  runner_ = std::thread([this] {
    SessionEnd end = table_host_run(*host_);
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = end;
    done_ = true;
    changed_.notify_all();
  });
  return true;
}

std::int32_t TablePlay::turn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return turn_;
}

bool TablePlay::wait_turn(std::int32_t turn, int ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return turn_ >= turn || done_;
  }) && turn_ >= turn;
}

SessionEnd TablePlay::finish(int ms) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done_; });
    if (!done_) return SESSION_END_NONE;
  }
  runner_.join();
  table_host_close(host_);
  host_ = nullptr;
  return end_;
}

bool TablePlay::finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

Adventurer::~Adventurer() {
  if (guest_ != nullptr) leave();
}

void Adventurer::on_message(void* user, const TableMessage& message) {
  auto* a = static_cast<Adventurer*>(user);
  if (message.topic.channel != TableChannel::kEvents) return;
  a->seen_.add(seen_of(message.type.view(), table_message_data(message)));
}

bool Adventurer::join(const std::string& code, const std::string& name, const std::string& root) {
  TableGuestSettings settings;
  TableErrorText error{};
  if (!table_code_parse(code, settings.code, &error)) {
    error_ = error.c_str();
    return false;
  }
  settings.name = name;
  settings.root = root;
  settings.screen.out = screen_.file();
  settings.screen.sleep = [](std::int32_t, void*) {};
  settings.hooks = TableGuestHooks{on_message, this};
  settings.answer_ms = 10000;
  guest_ = table_guest_join(settings, &error);
  if (guest_ == nullptr) error_ = error.c_str();
  return guest_ != nullptr;
}

bool Adventurer::vote(std::int32_t turn, std::int32_t option) {
  if (!eventually([&] {
        std::int32_t choices = 0;
        return table_guest_turn(*guest_, &choices) >= turn && choices >= option;
      })) {
    return false;
  }
  return table_guest_vote(*guest_, option);
}

std::string Adventurer::leave() {
  if (guest_ != nullptr) {
    table_guest_drain(*guest_);
    table_guest_leave(guest_);
    guest_ = nullptr;
    screen_text_ = screen_.text();
  }
  return screen_text_;
}

MesaProcess::MesaProcess(const std::string& cwd, const std::vector<std::string>& args,
                         const std::vector<std::string>& env) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  std::string out = dir_.file("out.txt"), err = dir_.file("err.txt");
  std::vector<std::string> argv_text{QH_MESA_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text(env);
  env_text.emplace_back("PATH=/usr/bin:/bin:/usr/sbin");
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  // Everything the child needs is prepared before fork: it only redirects and execs.
  int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipe_fds[0], 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(out_fd);
  ::close(err_fd);
  ::close(pipe_fds[0]);
  input_ = pipe_fds[1];
}

MesaProcess::~MesaProcess() {
  close_input();
  if (pid_ > 0 && wait(5000) == -1) kill_now();
}

void MesaProcess::type(const std::string& line) {
  std::string text = line + "\n";
  if (input_ >= 0 && ::write(input_, text.data(), text.size()) < 0) close_input();
}

void MesaProcess::close_input() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void MesaProcess::kill_now() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int MesaProcess::wait(int ms) {
  if (pid_ <= 0) return -1;
  for (int waited = 0; waited <= ms; waited += 10) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::string MesaProcess::out() const { return read_file(dir_.file("out.txt")); }
std::string MesaProcess::err() const { return read_file(dir_.file("err.txt")); }

bool MesaProcess::wait_output(std::string_view fragment, int ms) const {
  return eventually([&] { return out().find(fragment) != std::string::npos; }, ms);
}

}  // namespace qh_test
