// An adventurer at a table: joins through the lobby (or comes back with the
// credential kept from an earlier join), follows the host's events and draws
// them with the game's own code, and sends what the adventurer types: a vote
// (an option number), a proposal (free text or a terminal command), or words
// to the table (/decir). Reconnects by itself; a lost connection leaves a
// last will that tells the table the adventurer is gone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "table/table_code.h"
#include "table/table_message.h"
#include "ui/text_output.h"

struct TableGuest;

// For tests and the benchmark. Called on the connection's thread, in order.
struct TableGuestHooks {
  void (*message)(void* user, const TableMessage& message);  // every message the host sent
  void* user;
};

struct TableGuestSettings {
  TableCode code{};
  std::string name;    // as the adventurer wrote it
  std::string root;    // the game's root: the credential to come back is kept in mesa/;
                       // empty: not kept
  UiContext screen{};  // the adventurer's terminal
  bool draw = true;    // false: nothing is drawn (a bot)
  TableGuestHooks hooks{};
  std::int32_t answer_ms = 30000;  // how long the host may take to answer the join request
};

enum class TableGuestEnd : std::uint8_t {
  kNone,      // still at the table
  kFinished,  // the adventure ended
  kClosed,    // the host closed the table (it may be resumed)
  kRemoved,   // the director removed this adventurer
  kRefused,   // the broker no longer accepts this adventurer's credential
  kLeft,      // the adventurer left
};

// Joins the table of `settings.code` and connects. Null with a Spanish reason
// (refused by the host, no answer, no broker).
TableGuest* table_guest_join(const TableGuestSettings& settings, TableErrorText* error);

// A line the adventurer typed: a number votes, "/decir ..." speaks, "/ficha",
// "/mochila", "/mesa" and "/ayuda" are answered here, "/salir" leaves, and
// anything else is proposed to the table.
void table_guest_line(TableGuest& guest, std::string_view line);
// Votes `option` in the open vote (a bot). False when no vote is open.
bool table_guest_vote(TableGuest& guest, std::int32_t option);
// The vote the host opened last, 0 before any; and how many choices it has.
std::int32_t table_guest_turn(const TableGuest& guest, std::int32_t* choices = nullptr);

// Waits up to `ms` for the adventurer's time at the table to end.
TableGuestEnd table_guest_wait_end(TableGuest& guest, std::int32_t ms);
TableGuestEnd table_guest_end(const TableGuest& guest);
// Waits until everything received so far is drawn.
void table_guest_drain(TableGuest& guest);
// Tells the table the adventurer leaves (unless the table is over), disconnects
// and releases. Accepts nullptr.
void table_guest_leave(TableGuest* guest);
