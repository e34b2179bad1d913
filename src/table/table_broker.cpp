#include "table/table_broker.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "common/json_text.h"
#include "common/json_value.h"
#include "common/text_util.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "table/table_crypto.h"
#include "table/table_topic.h"

namespace {

constexpr const char* kControlTopic = "$CONTROL/dynamic-security/v1";
constexpr const char* kResponseTopic = "$CONTROL/dynamic-security/v1/response";

constexpr const char* kPrograms[] = {"/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto",
                                     "/usr/bin/mosquitto", "/usr/local/bin/mosquitto",
                                     "/opt/homebrew/sbin/mosquitto"};
constexpr const char* kPlugins[] = {
    "/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so",
    "/usr/lib/aarch64-linux-gnu/mosquitto_dynamic_security.so",
    "/usr/lib/mosquitto_dynamic_security.so",
    "/usr/local/lib/mosquitto_dynamic_security.so",
    "/opt/homebrew/lib/mosquitto_dynamic_security.so",
};

void set_error(TableErrorText* error, std::string_view text) {
  if (error != nullptr) error->assign(text);
}

const char* first_existing(std::span<const char* const> paths) {
  for (const char* p : paths)
    if (access(p, R_OK) == 0) return p;
  return nullptr;
}

// One ACL line of a role: {"command":"addRoleACL",...}.
void add_acl(std::string& out, std::string_view role, const char* type, std::string_view topic) {
  out += ",{\"command\":\"addRoleACL\",\"rolename\":";
  json_text_append_quoted(out, role);
  out += ",\"acltype\":\"";
  out += type;
  out += "\",\"topic\":";
  json_text_append_quoted(out, topic);
  out += ",\"allow\":true}";
}

void command(std::string& out, const char* name, const char* field, std::string_view value) {
  out += ",{\"command\":\"";
  out += name;
  out += "\",\"";
  out += field;
  out += "\":";
  json_text_append_quoted(out, value);
  out += '}';
}

// A client with its roles. With `set_again`, its password is then set again:
// a table resumed after a crash finds the client there and still ends with
// the password given now. Each command makes the plugin rewrite its whole
// file, so an adventurer, created once and never again, goes without.
void create_client(std::string& out, std::string_view user, std::string_view password,
                   std::initializer_list<std::string_view> roles, bool set_again = true) {
  out += ",{\"command\":\"createClient\",\"username\":";
  json_text_append_quoted(out, user);
  out += ",\"password\":";
  json_text_append_quoted(out, password);
  out += ",\"roles\":[";
  bool first = true;
  for (std::string_view role : roles) {
    out += first ? "{\"rolename\":" : ",{\"rolename\":";
    first = false;
    json_text_append_quoted(out, role);
    out += '}';
  }
  out += "]}";
  if (!set_again) return;
  out += ",{\"command\":\"setClientPassword\",\"username\":";
  json_text_append_quoted(out, user);
  out += ",\"password\":";
  json_text_append_quoted(out, password);
  out += '}';
}

// The command list starts with a comma after each entry's writer; this closes it.
std::string finish(std::string& body) {
  std::string out = "{\"commands\":[";
  out += body.empty() ? std::string_view() : std::string_view(body).substr(1);
  out += "]}";
  return out;
}

std::string role_of_table(std::string_view table_id) {
  return "qh-" + std::string(table_id) + "-mesa";
}

}  // namespace

TableBrokerPaths table_broker_paths(std::string_view root) {
  TableBrokerPaths p;
  p.folder = std::string(root) + "/" + PATH_TABLE_BROKER_DIR;
  p.config = p.folder + "/mosquitto.conf";
  p.security = p.folder + "/dynamic-security.json";
  p.admin = p.folder + "/admin.json";
  p.log = p.folder + "/mosquitto.log";
  return p;
}

std::string table_broker_config_text(const TableBrokerPaths& paths, std::string_view address,
                                     std::int32_t port, std::string_view plugin, bool as_root) {
  char listener[128];
  std::snprintf(listener, sizeof listener, "listener %d %.*s\n", port,
                static_cast<int>(address.size()), address.data());
  std::string out =
      "# Quillhaven: el servidor de la mesa. Se reescribe con cada arranque.\n"
      "per_listener_settings false\n"
      "allow_anonymous false\n";
  out += listener;
  out += "persistence true\n";
  out += "persistence_location " + paths.folder + "/\n";
  // Sessions and queued votes are saved every few seconds, and on a clean stop.
  out += "autosave_interval 5\n";
  out += "max_packet_size 262144\n";
  out += "set_tcp_nodelay true\n";
  out += "plugin " + std::string(plugin) + "\n";
  out += "plugin_opt_config_file " + paths.security + "\n";
  out += "log_dest file " + paths.log + "\n";
  out += "log_type error\nlog_type warning\nlog_type notice\n";
  // Started by root, the broker would switch to the "mosquitto" user, who may
  // not reach this private folder: it keeps the identity that owns the files.
  if (as_root) out += "user root\n";
  return out;
}

bool table_broker_security_text(std::string_view admin_password, std::string& out) {
  TableCryptoPasswordHash hash;
  if (!table_crypto_password_hash(admin_password, hash)) return false;
  char iterations[16];
  std::snprintf(iterations, sizeof iterations, "%d", hash.iterations);
  out = "{\n\"clients\":[{\"username\":\"";
  out += TABLE_BROKER_ADMIN;
  out += "\",\"textName\":\"Quillhaven\",\"password\":\"" + hash.hash + "\",\"salt\":\"" +
         hash.salt + "\",\"iterations\":" + iterations +
         ",\"roles\":[{\"rolename\":\"qh-admin\"}]}],\n"
         "\"roles\":[{\"rolename\":\"qh-admin\",\"acls\":["
         "{\"acltype\":\"publishClientSend\",\"topic\":\"$CONTROL/dynamic-security/#\","
         "\"allow\":true},"
         "{\"acltype\":\"publishClientReceive\",\"topic\":\"$CONTROL/dynamic-security/#\","
         "\"allow\":true},"
         "{\"acltype\":\"subscribePattern\",\"topic\":\"$CONTROL/dynamic-security/#\","
         "\"allow\":true}]}],\n"
         "\"groups\":[],\n"
         "\"defaultACLAccess\":{\"publishClientSend\":false,\"publishClientReceive\":true,"
         "\"subscribe\":false,\"unsubscribe\":true}\n}\n";
  return true;
}

bool table_broker_prepare(std::string_view root, std::string_view address, std::int32_t port,
                          TableErrorText* error) {
  TableBrokerPaths paths = table_broker_paths(root);
  // Paths go into a line-based file: a line break would start a new option.
  if (paths.folder.find_first_of("\n\r") != std::string::npos ||
      address.find_first_of("\n\r #") != std::string_view::npos || address.empty()) {
    set_error(error, "la carpeta o la dirección contienen caracteres que no se admiten");
    return false;
  }
  if (port < 1 || port > 65535) {
    set_error(error, "el puerto debe estar entre 1 y 65535");
    return false;
  }
  const char* plugin = table_broker_plugin();
  if (plugin == nullptr) {
    set_error(error,
              "no se encuentra el complemento de seguridad de Mosquitto "
              "(mosquitto_dynamic_security.so)");
    return false;
  }
  if (!platform_mkdir_p(paths.folder.c_str()) || chmod(paths.folder.c_str(), 0700) != 0) {
    set_error(error, "no se pudo crear la carpeta mesa/broker");
    return false;
  }
  std::string config = table_broker_config_text(paths, address, port, plugin, geteuid() == 0);
  if (!platform_write_file_atomic(paths.config.c_str(), config, 0600)) {
    set_error(error, "no se pudo escribir mesa/broker/mosquitto.conf");
    return false;
  }
  TableBrokerAdmin admin;
  if (table_broker_read_admin(root, admin) && platform_file_exists(paths.security.c_str()))
    return true;
  // First start: a new administrator, stored only here, readable by the owner alone.
  std::string password = table_crypto_random_hex(24);
  std::string security;
  if (password.empty() || !table_broker_security_text(password, security)) {
    set_error(error, "no se pudo generar la credencial de administración");
    return false;
  }
  std::string admin_text = "{\"usuario\": \"";
  admin_text += TABLE_BROKER_ADMIN;
  admin_text += "\", \"clave\": \"" + password + "\"}\n";
  if (!platform_write_file_atomic(paths.admin.c_str(), admin_text, 0600) ||
      !platform_write_file_atomic(paths.security.c_str(), security, 0600)) {
    set_error(error, "no se pudo guardar la credencial de administración");
    return false;
  }
  return true;
}

bool table_broker_read_admin(std::string_view root, TableBrokerAdmin& admin) {
  admin = TableBrokerAdmin{};
  std::string text;
  TableBrokerPaths paths = table_broker_paths(root);
  if (!platform_read_regular_file(paths.admin.c_str(), 4096, text)) return false;
  std::vector<JsonMember> members;
  if (!json_parse_object(text, members, nullptr)) return false;
  const JsonMember* user = json_find_member(members, "usuario");
  const JsonMember* password = json_find_member(members, "clave");
  if (user == nullptr || password == nullptr || user->type != JsonType::kString ||
      password->type != JsonType::kString || user->text.empty() || password->text.empty()) {
    return false;
  }
  admin.username.assign(user->text);
  admin.password.assign(password->text);
  return true;
}

const char* table_broker_program() { return first_existing(kPrograms); }
const char* table_broker_plugin() { return first_existing(kPlugins); }

bool table_broker_start(std::string_view root, std::string_view address, std::int32_t port,
                        pid_t& pid, TableErrorText* error) {
  pid = -1;
  const char* program = table_broker_program();
  if (program == nullptr) {
    set_error(error, "no se encuentra Mosquitto (instala el paquete mosquitto)");
    return false;
  }
  TableBrokerPaths paths = table_broker_paths(root);
  const char* argv[] = {program, "-c", paths.config.c_str(), nullptr};
  pid_t parent = getpid();
  pid_t child = fork();
  if (child < 0) {
    set_error(error, "no se pudo iniciar Mosquitto");
    return false;
  }
  if (child == 0) {
    setpgid(0, 0);
    platform_prepare_child(parent);
    // The caller may hold SIGTERM to take it itself: the broker must not inherit that.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(program, const_cast<char* const*>(argv));
    _exit(127);
  }
  pid = child;
  if (!table_broker_wait_ready(address, port, child, TABLE_BROKER_WAIT_MS)) {
    table_broker_stop(child);
    pid = -1;
    set_error(error, "Mosquitto no llegó a aceptar conexiones (mira mesa/broker/mosquitto.log)");
    return false;
  }
  return true;
}

void table_broker_stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    platform_sleep_ms(50);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool table_broker_wait_ready(std::string_view address, std::int32_t port, pid_t pid,
                             std::int32_t timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  std::string host(address);
  if (getaddrinfo(host.c_str(), service, &hints, &found) != 0 || found == nullptr) return false;
  bool ready = false;
  for (std::int32_t waited = 0; !ready && waited <= timeout_ms; waited += 50) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) break;  // it ended: no need to wait
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd >= 0) {
      ready = connect(fd, found->ai_addr, found->ai_addrlen) == 0;
      close(fd);
    }
    if (!ready) platform_sleep_ms(50);
  }
  freeaddrinfo(found);
  return ready;
}

std::string table_broker_host_user(std::string_view table_id) {
  return "qh-" + std::string(table_id) + "-anfitrion";
}
std::string table_broker_lobby_user(std::string_view table_id) {
  return "qh-" + std::string(table_id) + "-entrada";
}
std::string table_broker_player_user(std::string_view table_id, std::string_view player_id) {
  return "qh-" + std::string(table_id) + "-j-" + std::string(player_id);
}

std::string table_broker_lobby_password(const std::uint8_t (&table_key)[TABLE_KEY_BYTES]) {
  std::uint8_t secret[TABLE_MAC_BYTES];
  table_crypto_derive(table_key, "quillhaven mesa v1 entrada", secret);
  std::string out;
  table_crypto_append_hex(out, std::span<const std::uint8_t>(secret, 16));
  return out;
}

std::string table_dynsec_create_table(std::string_view table_id, std::string_view host_password,
                                      std::string_view lobby_password) {
  std::string root = table_topic_root(table_id);
  std::string host = table_broker_host_user(table_id);
  std::string lobby = table_broker_lobby_user(table_id);
  std::string table = role_of_table(table_id);
  std::string body;
  command(body, "createRole", "rolename", host);
  add_acl(body, host, "publishClientSend", root + "/#");
  add_acl(body, host, "subscribePattern", root + "/#");
  command(body, "createRole", "rolename", lobby);
  add_acl(body, lobby, "publishClientSend", table_topic(table_id, TableChannel::kJoinRequest));
  add_acl(body, lobby, "subscribePattern", root + "/entrada/respuestas/+");
  // What every adventurer reads: the host's topics and everyone's presence.
  command(body, "createRole", "rolename", table);
  add_acl(body, table, "subscribeLiteral", table_topic(table_id, TableChannel::kState));
  add_acl(body, table, "subscribeLiteral", table_topic(table_id, TableChannel::kEvents));
  add_acl(body, table, "subscribeLiteral", table_topic(table_id, TableChannel::kHostPresence));
  add_acl(body, table, "subscribePattern", root + "/jugadores/+/presencia");
  create_client(body, host, host_password, {host});
  create_client(body, lobby, lobby_password, {lobby});
  return finish(body);
}

std::string table_dynsec_add_player(std::string_view table_id, std::string_view player_id,
                                    std::string_view password) {
  std::string user = table_broker_player_user(table_id, player_id);
  std::string body;
  command(body, "createRole", "rolename", user);
  add_acl(body, user, "publishClientSend",
          table_topic_root(table_id) + "/jugadores/" + std::string(player_id) + "/#");
  create_client(body, user, password, {role_of_table(table_id), user}, false);
  return finish(body);
}

std::string table_dynsec_remove_player(std::string_view table_id, std::string_view player_id) {
  std::string user = table_broker_player_user(table_id, player_id);
  std::string body;
  command(body, "deleteClient", "username", user);
  command(body, "deleteRole", "rolename", user);
  return finish(body);
}

std::string table_dynsec_delete_table(std::string_view table_id,
                                      std::span<const std::string> player_ids) {
  std::string body;
  for (const std::string& id : player_ids) {
    std::string user = table_broker_player_user(table_id, id);
    command(body, "deleteClient", "username", user);
    command(body, "deleteRole", "rolename", user);
  }
  for (const std::string& user :
       {table_broker_host_user(table_id), table_broker_lobby_user(table_id)}) {
    command(body, "deleteClient", "username", user);
    command(body, "deleteRole", "rolename", user);
  }
  command(body, "deleteRole", "rolename", role_of_table(table_id));
  return finish(body);
}

struct TableDynsec {
  TableMqttClient* client = nullptr;
  std::mutex request;  // one command document at a time
  std::mutex mutex;
  std::condition_variable answered;
  std::string correlation;  // of the request waiting for its answer
  std::string response;
  bool has_response = false;
};

namespace {

void dynsec_message(void* user, const char* topic, std::string_view payload, bool) {
  auto* dynsec = static_cast<TableDynsec*>(user);
  if (std::strcmp(topic, kResponseTopic) != 0) return;
  std::lock_guard<std::mutex> lock(dynsec->mutex);
  if (dynsec->correlation.empty() ||
      payload.find("\"" + dynsec->correlation + "\"") == std::string_view::npos) {
    return;  // an answer to some other administrator
  }
  dynsec->response.assign(payload);
  dynsec->has_response = true;
  dynsec->answered.notify_all();
}

void dynsec_connected(void*, TableMqttClient& client, bool) {
  table_mqtt_subscribe(client, kResponseTopic, 0, nullptr);
}

}  // namespace

TableDynsec* table_dynsec_open(std::string_view host, std::int32_t port,
                               const TableBrokerAdmin& admin, TableErrorText* error) {
  auto* dynsec = new (std::nothrow) TableDynsec;
  if (dynsec == nullptr) return nullptr;
  TableMqttSettings settings;
  settings.host.assign(host);
  settings.port = port;
  settings.client_id = "qh-admin-" + table_crypto_random_hex(6);
  settings.username.assign(admin.username.view());
  settings.password.assign(admin.password.view());
  TableMqttHandlers handlers{dynsec_message, dynsec_connected, nullptr, dynsec};
  dynsec->client = table_mqtt_create(settings, handlers);
  int reason = 0;
  if (dynsec->client == nullptr ||
      !table_mqtt_connect(*dynsec->client, TABLE_BROKER_WAIT_MS, &reason) ||
      !table_mqtt_subscribe(*dynsec->client, kResponseTopic, TABLE_BROKER_WAIT_MS, &reason)) {
    char line[TABLE_ERROR_BYTES];
    std::snprintf(line, sizeof line, "no se pudo administrar el servidor de la mesa: %s",
                  table_mqtt_reason_text(reason));
    set_error(error, line);
    table_dynsec_close(dynsec);
    return nullptr;
  }
  return dynsec;
}

void table_dynsec_close(TableDynsec* dynsec) {
  if (dynsec == nullptr) return;
  table_mqtt_destroy(dynsec->client);
  delete dynsec;
}

bool table_dynsec_run(TableDynsec& dynsec, const std::string& commands, bool tolerate_existing,
                      TableErrorText* error) {
  std::lock_guard<std::mutex> one_at_a_time(dynsec.request);
  std::string correlation = table_crypto_random_hex(12);
  // The first command carries a correlation the answer echoes back: other
  // administrators' answers arrive on the same topic.
  std::string tagged = commands;
  constexpr std::string_view kStart = "{\"commands\":[{";
  if (!tagged.starts_with(kStart)) {
    set_error(error, "orden mal formada");
    return false;
  }
  tagged.insert(kStart.size(), "\"correlationData\":\"" + correlation + "\",");
  {
    std::lock_guard<std::mutex> lock(dynsec.mutex);
    dynsec.correlation = correlation;
    dynsec.has_response = false;
  }
  int reason = 0;
  if (!table_mqtt_publish(*dynsec.client, kControlTopic, tagged, false, TABLE_BROKER_WAIT_MS,
                          &reason)) {
    char line[TABLE_ERROR_BYTES];
    std::snprintf(line, sizeof line, "el servidor no aceptó la orden: %s",
                  table_mqtt_reason_text(reason));
    set_error(error, line);
    return false;
  }
  std::string response;
  {
    std::unique_lock<std::mutex> lock(dynsec.mutex);
    dynsec.answered.wait_for(lock, std::chrono::milliseconds(TABLE_BROKER_WAIT_MS),
                             [&] { return dynsec.has_response; });
    bool answered = dynsec.has_response;
    response = dynsec.response;
    dynsec.correlation.clear();
    if (!answered) {
      set_error(error, "el servidor no respondió a la orden");
      return false;
    }
  }
  // {"responses":[{"command":"createRole","correlationData":"..."},{..., "error":"..."}]}
  // Each response object is found by its "command" key; its error, if any, follows.
  std::size_t at = 0;
  while ((at = response.find("\"error\"", at)) != std::string::npos) {
    std::string text;
    std::size_t value = json_text_find_value(response, "error", at);
    if (value < response.size() && response[value] == '"')
      json_text_decode_quoted(response, value, 120, &text);
    at = value;
    bool exists = text.find("already exists") != std::string::npos ||
                  text.find("already has role") != std::string::npos;
    if (tolerate_existing && exists) continue;
    set_error(error, "el servidor rechazó la orden: " + text_printable(text));
    return false;
  }
  return true;
}
