// The table's own Mosquitto: its configuration in the game's root folder
// (mesa/broker/, private modes), its administrator credential, starting and
// stopping the broker, and the per-table credentials and access rules it
// keeps through its dynamic security plugin.
//
// Who may do what, per table T (all topics under qh/v1/T/):
//   qh-T-anfitrion  the host: publishes and reads everything of its table.
//   qh-T-entrada    the lobby, whose password derives from the table key (so
//                   only holders of the join code connect): may only publish
//                   join requests, which only the host can read, and read the
//                   answers. A request carries the password the adventurer
//                   chose for itself.
//   qh-T-j-<id>     one adventurer, created by the host on admission with that
//                   password: reads the host's topics and everyone's presence,
//                   publishes only under qh/v1/T/jugadores/<id>/.
// No anonymous access; nothing else may subscribe to or publish on a table.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/fixed_text.h"
#include "table/table_code.h"
#include "table/table_mqtt.h"

inline constexpr const char* TABLE_BROKER_ADMIN = "qh-admin";  // the administrator's user name
inline constexpr std::int32_t TABLE_BROKER_WAIT_MS = 10000;    // start-up and control answers

struct TableBrokerAdmin {
  FixedText<65> username;
  FixedText<65> password;
};

// Where the files of a broker live, from the game's root folder (absolute).
struct TableBrokerPaths {
  std::string folder;    // <root>/mesa/broker
  std::string config;    // mosquitto.conf
  std::string security;  // dynamic-security.json, the plugin's own file
  std::string admin;     // admin.json, the administrator's password (0600)
  std::string log;       // mosquitto.log
};
TableBrokerPaths table_broker_paths(std::string_view root);

// The configuration text: one listener on `address`:`port`, no anonymous
// access, persistence in the folder, the security plugin, a log file, and,
// when the broker is started by root, no change of user (the files belong to
// root and the folder is private).
std::string table_broker_config_text(const TableBrokerPaths& paths, std::string_view address,
                                     std::int32_t port, std::string_view plugin, bool as_root);
// The plugin's first file: the administrator (password hashed) with a role
// that may only run the plugin's commands.
bool table_broker_security_text(std::string_view admin_password, std::string& out);

// Creates the folder (0700) and writes the configuration (0600) for
// `address`:`port`; the administrator credential and the plugin's file are
// made the first time only, so tables and adventurers survive a restart.
bool table_broker_prepare(std::string_view root, std::string_view address, std::int32_t port,
                          TableErrorText* error);
bool table_broker_read_admin(std::string_view root, TableBrokerAdmin& admin);

// The broker program and its security plugin, where this system installs
// them; nullptr when missing.
const char* table_broker_program();
const char* table_broker_plugin();

// Starts `mosquitto -c <config>` (an argument vector, never a shell) in its
// own process group, standard streams on /dev/null; it is sent SIGTERM should
// this process die first. Then waits until it accepts connections on
// `address`:`port`. False (and no process left) when it cannot start.
bool table_broker_start(std::string_view root, std::string_view address, std::int32_t port,
                        pid_t& pid, TableErrorText* error);
// SIGTERM, up to five seconds for it to save and end, then SIGKILL; reaps it.
void table_broker_stop(pid_t pid);
// True once a TCP connection to `address`:`port` succeeds within `timeout_ms`;
// false at once when `pid` (when positive) has ended.
bool table_broker_wait_ready(std::string_view address, std::int32_t port, pid_t pid,
                             std::int32_t timeout_ms);

// User and role names of a table's parties.
std::string table_broker_host_user(std::string_view table_id);
std::string table_broker_lobby_user(std::string_view table_id);
std::string table_broker_player_user(std::string_view table_id, std::string_view player_id);
// The lobby's password, derived from the table key: every holder of the code knows it.
std::string table_broker_lobby_password(const std::uint8_t (&table_key)[TABLE_KEY_BYTES]);

// The plugin's command documents ({"commands":[...]}) for a table's life.
std::string table_dynsec_create_table(std::string_view table_id, std::string_view host_password,
                                      std::string_view lobby_password);
std::string table_dynsec_add_player(std::string_view table_id, std::string_view player_id,
                                    std::string_view password);
// Deleting the client also disconnects it at once.
std::string table_dynsec_remove_player(std::string_view table_id, std::string_view player_id);
// Removes the table's host, lobby and the adventurers named, with their roles.
std::string table_dynsec_delete_table(std::string_view table_id,
                                      std::span<const std::string> player_ids);

// An administrator connection to the plugin. One request at a time; safe
// to share between the tables of one process.
struct TableDynsec;
TableDynsec* table_dynsec_open(std::string_view host, std::int32_t port,
                               const TableBrokerAdmin& admin, TableErrorText* error);
void table_dynsec_close(TableDynsec* dynsec);
// Sends one command document and waits for the answer. Every command must
// succeed, except that with `tolerate_existing` one creating what already
// exists counts as done (a table resumed after a crash).
bool table_dynsec_run(TableDynsec& dynsec, const std::string& commands, bool tolerate_existing,
                      TableErrorText* error);
