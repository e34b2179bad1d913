// The host of a table: plays one adventure with the game's own session for the
// whole table (one shared hero, the party), sends every event of it to the
// table, and gives the session, as the player's line, what the table decides:
// the most voted option, or the director's choice typed at the host's console.
// Joins, presence, votes, proposals, chat, pause and removal are handled
// between the session's questions; each turn the game and the table are saved
// in the table's own folder, so a crashed host continues with --reanudar.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/config.h"
#include "session/session.h"
#include "story/story.h"
#include "table/table_broker.h"
#include "table/table_code.h"
#include "table/table_state.h"
#include "ui/text_output.h"

inline constexpr std::int32_t TABLE_DEFAULT_VOTE_SECONDS = 90;  // a vote without a director
inline constexpr std::int32_t TABLE_MAX_VOTE_SECONDS = 3600;
// How long the table waits for an adventurer whose connection was lost (its
// last will) before the votes go on without them: a broker restart or a short
// network cut is over sooner.
inline constexpr std::int32_t TABLE_PRESENCE_GRACE_MS = 10000;
inline constexpr const char* TABLE_DEFAULT_PARTY = "La Compañía";  // the shared hero's name

struct TableHost;

// For tests and the benchmark; every function may be null. Called from the
// host's own threads.
struct TableHostHooks {
  // A vote was opened (a new turn), after its options left for the table.
  void (*vote_opened)(void* user, std::int32_t turn);
  // A message left for the table: its type, id and data.
  void (*published)(void* user, std::string_view type, std::string_view id, std::string_view data);
  void* user;
};

struct TableHostSettings {
  std::string root;        // the game's root folder: config.json and mesa/
  std::string story_path;  // the story file, as given
  std::string room;        // the table's name (--sala); empty: the story file's name
  TableMode mode = TableMode::kVote;
  bool mode_given = true;          // false: a resumed table keeps its own mode
  std::int32_t vote_seconds = -1;  // -1: the default of the mode (none with a director)
  bool resume = false;
  std::int32_t presence_grace_ms = TABLE_PRESENCE_GRACE_MS;
  std::uint32_t seed = 0;         // the adventure's seed; the table's public rolls use the next one
  AppConfig config{};             // the broker, the narrator; the typing speed of the host's screen
  UiContext screen{};             // the host's terminal (the director's screen); out null: none
  const Story* story = nullptr;   // a story already read (shared by many tables); null: read it
  TableDynsec* dynsec = nullptr;  // a shared administrator connection; null: the table opens one
  TableHostHooks hooks{};
};

// Reads the story, chooses the broker (the table's own, with credentials per
// table, when config.json names this machine; any other as a public broker,
// with a warning on the screen), creates or resumes the table and connects.
// Null with a Spanish reason when anything fails.
TableHost* table_host_open(const TableHostSettings& settings, TableErrorText* error);
// The join code, in groups of five.
const char* table_host_code(const TableHost& host);
bool table_host_public(const TableHost& host);
// Plays until the adventure ends, table_host_stop, or the director's /salir
// (then the game is saved and the table can be resumed).
SessionEnd table_host_run(TableHost& host);
// One line typed at the host's console. Any thread.
void table_host_console(TableHost& host, std::string_view line);
// The console's input ended: a director's table is saved and closed.
void table_host_console_closed(TableHost& host);
// Saves and closes the table (it can be resumed). Any thread; not from a signal handler.
void table_host_stop(TableHost& host);
// Disconnects and releases. Accepts nullptr.
void table_host_close(TableHost* host);
