#include "table/table_cli.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "common/text_util.h"
#include "config/config.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "table/table_broker.h"
#include "table/table_code.h"
#include "table/table_guest.h"
#include "table/table_host.h"
#include "ui/host.h"

namespace {

constexpr const char* kDefaultAddress = "127.0.0.1";
constexpr std::size_t kConsoleLine = 512;  // a typed line, as the game reads it

constexpr const char* kHelp =
    "Uso: quillhaven-mesa ORDEN [opciones]\n"
    "\n"
    "La mesa compartida: un anfitrión abre una mesa y los aventureros se unen\n"
    "desde sus terminales a través de un servidor MQTT.\n"
    "\n"
    "Órdenes:\n"
    "  broker [--direccion IP] [--puerto N]\n"
    "      Arranca el servidor de la mesa (Mosquitto) con la configuración del\n"
    "      juego, en mesa/broker/. Escucha solo en la dirección indicada\n"
    "      (127.0.0.1 por defecto) y en el puerto mqtt_port de config.json.\n"
    "      Sin acceso anónimo: cada mesa tiene sus propias credenciales.\n"
    "      Ctrl+C lo detiene.\n"
    "  host HISTORIA.md [--sala NOMBRE] [--director | --votacion] [--plazo SEGUNDOS]\n"
    "       [--reanudar]\n"
    "      Abre una mesa con la historia y muestra el código para unirse. El\n"
    "      servidor es el de mqtt_broker y mqtt_port en config.json: el de la mesa\n"
    "      si nombra este equipo (127.0.0.1), si no uno público (todos ven la mesa).\n"
    "      --director: quien abre la mesa dirige (confirma o cambia lo votado,\n"
    "      narra, tira dados, da y quita objetos y vida, pausa, expulsa).\n"
    "      --votacion (por defecto): gana la opción más votada cuando todos han\n"
    "      votado o vence el plazo (90 segundos por defecto).\n"
    "      --reanudar: continúa la mesa guardada con ese nombre de sala.\n"
    "  join CODIGO --nombre NOMBRE\n"
    "      Se une a una mesa como aventurero.\n"
    "\n"
    "Opciones generales:\n"
    "  --help, -h   Muestra esta ayuda.\n";

struct Args {
  int count;
  const char* const* values;
  int at;
  bool more() const { return at < count; }
  std::string_view next() { return values[at++]; }
};

bool read_port(std::string_view text, std::int32_t& port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (!is_ascii_digit(c)) return false;
  port = read_decimal_i32(text);
  return port >= 1 && port <= 65535;
}

void print_error(std::FILE* err, std::string_view text) {
  std::fprintf(err, "❌ %s\n", text_printable(text).c_str());
}

int run_broker(Args& args, const std::string& root, std::FILE* out, std::FILE* err) {
  AppConfig config;
  std::string config_path = root + "/" + PATH_CONFIG;
  config_load(config, config_path.c_str());
  std::string address = kDefaultAddress;
  std::int32_t port = config.mqtt_port;
  while (args.more()) {
    std::string_view option = args.next();
    if ((option == "--direccion" || option == "--puerto") && !args.more()) {
      std::fprintf(err, "❌ Falta el valor de %.*s.\n", static_cast<int>(option.size()),
                   option.data());
      return 2;
    }
    if (option == "--direccion") {
      address = args.next();
    } else if (option == "--puerto") {
      if (!read_port(args.next(), port)) {
        print_error(err, "El puerto debe ser un número entre 1 y 65535.");
        return 2;
      }
    } else {
      std::fprintf(err, "❌ Opción desconocida: %s\n", text_printable(option).c_str());
      return 2;
    }
  }
  TableErrorText error{};
  if (!table_broker_prepare(root, address, port, &error)) {
    print_error(err, error.view());
    return 1;
  }
  // Ctrl+C and SIGTERM are held from before the broker starts and taken
  // below, so a stop at any moment ends the broker cleanly instead of leaving it behind.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  pid_t pid = -1;
  if (!table_broker_start(root, address, port, pid, &error)) {
    print_error(err, error.view());
    return 1;
  }
  std::fprintf(out, "✅ Servidor de la mesa escuchando en %s:%d (Ctrl+C para detenerlo).\n",
               text_printable(address).c_str(), port);
  std::fflush(out);
  for (;;) {
    timespec tick{0, 100 * 1000 * 1000};
    if (sigtimedwait(&stop_signals, nullptr, &tick) > 0) break;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      print_error(err, "El servidor se ha detenido solo (mira mesa/broker/mosquitto.log).");
      return 1;
    }
  }
  table_broker_stop(pid);
  std::fprintf(out, "Servidor de la mesa detenido.\n");
  return 0;
}

// Lines typed at a terminal, handed to the table from a thread of their own.
// The thread may still be blocked reading when the table is gone: it then
// finds no target and stops.
struct ConsoleFeed {
  std::mutex mutex;
  std::function<void(std::string_view)> line;
  std::function<void()> closed;
};

void start_console(std::FILE* in, const std::shared_ptr<ConsoleFeed>& feed) {
  if (in == nullptr) return;
  std::thread([in, feed] {
    char buffer[kConsoleLine];
    std::string line;
    while (std::fgets(buffer, sizeof buffer, in) != nullptr) {
      line += buffer;
      if (line.empty() || line.back() != '\n') {
        if (line.size() < 4 * kConsoleLine) continue;  // the rest of a long line is dropped
      }
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      std::lock_guard<std::mutex> lock(feed->mutex);
      if (!feed->line) return;
      feed->line(line);
      line.clear();
    }
    std::lock_guard<std::mutex> lock(feed->mutex);
    if (feed->closed) feed->closed();
  }).detach();
}

void stop_console(const std::shared_ptr<ConsoleFeed>& feed) {
  std::lock_guard<std::mutex> lock(feed->mutex);
  feed->line = nullptr;
  feed->closed = nullptr;
}

// Ctrl+C and SIGTERM end the table or the adventurer's stay cleanly: they are
// held in every thread and taken by this watcher, which calls `stop` once.
class SignalWatch {
 public:
  explicit SignalWatch(std::function<void()> stop) : stop_(std::move(stop)) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    thread_ = std::thread([this] {
      while (!done_) {
        timespec tick{0, 200 * 1000 * 1000};
        if (sigtimedwait(&signals_, nullptr, &tick) > 0) {
          stop_();
          return;
        }
      }
    });
  }
  ~SignalWatch() {
    done_ = true;
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  std::function<void()> stop_;
  sigset_t signals_{};
  sigset_t previous_{};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

UiContext terminal(std::FILE* out, float typing_speed) {
  UiContext ui{};
  ui.out = out;
  ui.is_terminal = isatty(fileno(out)) != 0;
  if (ui.is_terminal) ui.width = platform_get_terminal_size(nullptr, nullptr);
  ui.typing_speed = typing_speed;
  return ui;
}

std::uint32_t adventure_seed(std::FILE* err) {
  // QUILLHAVEN_SEED fixes the dice, as in the game.
  if (const char* text = std::getenv("QUILLHAVEN_SEED")) {
    std::uint32_t seed = 0;
    if (host_parse_seed(text, seed)) return seed;
    std::fputs("QUILLHAVEN_SEED debe ser un número de 0 a 4294967295; se ignora.\n", err);
  }
  return platform_entropy_seed();
}

void print_public_warning(std::FILE* out, const TableCode& code) {
  std::fprintf(
      out,
      "⚠️ Esta mesa usa un servidor público (%s:%d): cualquiera puede ver lo que pasa "
      "en ella.\n",
      code.host.c_str(), code.port);
}

int run_join(Args& args, const std::string& root, std::FILE* in, std::FILE* out, std::FILE* err) {
  std::string_view code_text;
  std::string_view name;
  while (args.more()) {
    std::string_view arg = args.next();
    if (arg == "--nombre") {
      if (!args.more()) {
        print_error(err, "Falta el nombre tras --nombre.");
        return 2;
      }
      name = args.next();
    } else if (code_text.empty() && !starts_with(arg, "--")) {
      code_text = arg;
    } else {
      std::fprintf(err, "❌ Opción desconocida: %s\n", text_printable(arg).c_str());
      return 2;
    }
  }
  if (code_text.empty() || name.empty()) {
    print_error(err, "Uso: quillhaven-mesa join CODIGO --nombre NOMBRE");
    return 2;
  }
  TableCode code;
  TableErrorText error{};
  if (!table_code_parse(code_text, code, &error)) {
    std::fprintf(err, "❌ Código de mesa no válido: %s\n", error.c_str());
    return 1;
  }
  AppConfig config;
  std::string config_path = root + "/" + PATH_CONFIG;
  config_load(config, config_path.c_str());
  if (code.open_broker) print_public_warning(out, code);
  std::fprintf(out, "Entrando en la mesa %s de %s:%d…\n", code.table_id.c_str(), code.host.c_str(),
               code.port);
  std::fflush(out);
  TableGuestSettings settings;
  settings.code = code;
  settings.name.assign(name.substr(0, TABLE_PLAYER_NAME_MAX));
  settings.root = root;
  settings.screen = terminal(out, config.typing_speed);
  auto feed = std::make_shared<ConsoleFeed>();
  TableGuest* guest = nullptr;
  {
    SignalWatch watch([&feed] {
      std::lock_guard<std::mutex> lock(feed->mutex);
      if (feed->line) feed->line("/salir");
    });
    guest = table_guest_join(settings, &error);
    if (guest == nullptr) {
      print_error(err, std::string("No se pudo entrar: ") + error.c_str());
      return 1;
    }
    std::fprintf(out,
                 "✅ Estás en la mesa como «%s». Vota con el número de una opción, propón una "
                 "acción escribiéndola, habla con /decir; /ayuda lo explica.\n",
                 text_printable(settings.name).c_str());
    std::fflush(out);
    {
      std::lock_guard<std::mutex> lock(feed->mutex);
      feed->line = [guest](std::string_view line) { table_guest_line(*guest, line); };
      feed->closed = [guest] { table_guest_line(*guest, "/salir"); };
    }
    start_console(in, feed);
    while (table_guest_wait_end(*guest, 500) == TableGuestEnd::kNone) {
    }
    stop_console(feed);
  }
  TableGuestEnd end = table_guest_end(*guest);
  table_guest_drain(*guest);
  table_guest_leave(guest);
  switch (end) {
    case TableGuestEnd::kRemoved:
      std::fprintf(out, "El director te ha expulsado de la mesa.\n");
      return 1;
    case TableGuestEnd::kRefused:
      return 1;
    case TableGuestEnd::kLeft:
      std::fprintf(out, "Has dejado la mesa. Puedes volver con el mismo código y nombre.\n");
      return 0;
    default:
      return 0;
  }
}

int run_host(Args& args, const std::string& root, std::FILE* in, std::FILE* out, std::FILE* err) {
  std::string_view story;
  bool director = false;
  bool vote = false;
  TableHostSettings settings;
  settings.root = root;
  while (args.more()) {
    std::string_view arg = args.next();
    if (arg == "--director") {
      director = true;
    } else if (arg == "--votacion") {
      vote = true;
    } else if (arg == "--reanudar") {
      settings.resume = true;
    } else if (arg == "--sala" || arg == "--plazo") {
      if (!args.more()) {
        std::fprintf(err, "❌ Falta el valor de %.*s.\n", static_cast<int>(arg.size()), arg.data());
        return 2;
      }
      std::string_view value = args.next();
      if (arg == "--sala") {
        settings.room.assign(value);
        TablePlayerId check;
        if (value.size() > TABLE_PLAYER_NAME_MAX || !table_player_id(value, check)) {
          print_error(err, "El nombre de la sala debe tener alguna letra o cifra (hasta 32).");
          return 2;
        }
      } else {
        bool digits = !value.empty() && value.size() <= 4;
        for (char c : value) digits = digits && is_ascii_digit(c);
        settings.vote_seconds = digits ? read_decimal_i32(value) : -1;
        if (settings.vote_seconds < 0 || settings.vote_seconds > TABLE_MAX_VOTE_SECONDS) {
          print_error(err, "El plazo debe ser un número de segundos de 0 a 3600.");
          return 2;
        }
      }
    } else if (story.empty() && !starts_with(arg, "--")) {
      story = arg;
    } else {
      std::fprintf(err, "❌ Opción desconocida: %s\n", text_printable(arg).c_str());
      return 2;
    }
  }
  if (story.empty() || (director && vote)) {
    print_error(err,
                "Uso: quillhaven-mesa host HISTORIA.md [--sala NOMBRE] "
                "[--director | --votacion] [--plazo SEGUNDOS] [--reanudar]");
    return 2;
  }
  std::string config_path = root + "/" + PATH_CONFIG;
  config_load(settings.config, config_path.c_str());
  settings.story_path.assign(story);
  settings.mode = director ? TableMode::kDirector : TableMode::kVote;
  settings.mode_given = director || vote || !settings.resume;
  settings.seed = adventure_seed(err);
  settings.screen = terminal(out, settings.config.typing_speed);
  TableErrorText error{};
  TableHost* host = nullptr;
  auto feed = std::make_shared<ConsoleFeed>();
  {
    SignalWatch watch([&feed, &host] {
      std::lock_guard<std::mutex> lock(feed->mutex);
      if (host != nullptr) table_host_stop(*host);
    });
    host = table_host_open(settings, &error);
    if (host == nullptr) {
      print_error(err, std::string("No se pudo abrir la mesa: ") + error.c_str());
      return 1;
    }
    std::fprintf(out,
                 "🎲 Mesa abierta (%s). Código para unirse:\n\n    %s\n\n"
                 "Cada aventurero entra con: quillhaven-mesa join %s --nombre NOMBRE\n",
                 director ? "con director" : "por votación", table_host_code(*host),
                 table_host_code(*host));
    std::fflush(out);
    {
      std::lock_guard<std::mutex> lock(feed->mutex);
      feed->line = [host](std::string_view line) { table_host_console(*host, line); };
      feed->closed = [host] { table_host_console_closed(*host); };
    }
    start_console(in, feed);
    SessionEnd end = table_host_run(*host);
    stop_console(feed);
    if (end == SESSION_END_EXIT) {
      std::fprintf(
          out,
          "Mesa guardada y cerrada. Continúala con: quillhaven-mesa host %s%s%s %s--reanudar\n",
          text_printable(story).c_str(), settings.room.empty() ? "" : " --sala ",
          text_printable(settings.room).c_str(),
          director ? "--director " : (vote ? "--votacion " : ""));
    } else {
      std::fprintf(out, "Mesa terminada.\n");
    }
  }
  table_host_close(host);
  return 0;
}

}  // namespace

int table_cli_run(int argc, const char* const argv[], const std::string& root, std::FILE* in,
                  std::FILE* out, std::FILE* err) {
  Args args{argc, argv, 1};
  if (!args.more()) {
    std::fputs(kHelp, err);
    return 2;
  }
  std::string_view command = args.next();
  if (command == "--help" || command == "-h" || command == "ayuda") {
    std::fputs(kHelp, out);
    return 0;
  }
  if (command == "broker") return run_broker(args, root, out, err);
  if (command == "join") return run_join(args, root, in, out, err);
  if (command == "host") return run_host(args, root, in, out, err);
  std::fprintf(err, "❌ Orden desconocida: %s\n\n", text_printable(command).c_str());
  std::fputs(kHelp, err);
  return 2;
}
