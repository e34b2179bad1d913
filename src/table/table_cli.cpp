#include "table/table_cli.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "common/text_util.h"
#include "config/config.h"
#include "table/table_broker.h"
#include "table/table_code.h"

namespace {

constexpr const char* kDefaultAddress = "127.0.0.1";

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
    "  host HISTORIA.md [--sala NOMBRE] [--director | --votacion]\n"
    "      Abre una mesa con la historia y muestra el código para unirse.\n"
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
  std::string config_path = root + "/config.json";
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

int run_join(Args& args, std::FILE* out, std::FILE* err) {
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
  std::fprintf(out, "Mesa %s en %s:%d.\n", code.table_id.c_str(), code.host.c_str(), code.port);
  print_error(err, "La partida compartida aún no está disponible en esta versión.");
  return 1;
}

int run_host(Args& args, std::FILE* err) {
  std::string_view story;
  bool director = false;
  bool vote = false;
  while (args.more()) {
    std::string_view arg = args.next();
    if (arg == "--director") {
      director = true;
    } else if (arg == "--votacion") {
      vote = true;
    } else if (arg == "--sala") {
      if (!args.more()) {
        print_error(err, "Falta el nombre tras --sala.");
        return 2;
      }
      args.next();
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
                "[--director | --votacion]");
    return 2;
  }
  print_error(err, "La partida compartida aún no está disponible en esta versión.");
  return 1;
}

}  // namespace

int table_cli_run(int argc, const char* const argv[], const std::string& root, std::FILE* out,
                  std::FILE* err) {
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
  if (command == "join") return run_join(args, out, err);
  if (command == "host") return run_host(args, err);
  std::fprintf(err, "❌ Orden desconocida: %s\n\n", text_printable(command).c_str());
  std::fputs(kHelp, err);
  return 2;
}
