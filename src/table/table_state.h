// Who sits at a table and how its choices are made: presence (joins and
// last-will departures), one vote per present adventurer (the latest counts),
// the result (most votes; ties go to the lowest number, said in the line),
// the director's confirmation or override, pause and removal. Pure logic:
// the host feeds it opened messages and the clock.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "common/fixed_text.h"
#include "story/story.h"
#include "table/table_protocol.h"
#include "table/table_topic.h"

inline constexpr int TABLE_MAX_PLAYERS = 16;  // adventurers admitted to one table, removed included
inline constexpr std::size_t TABLE_LINE_BYTES = 256;  // one Spanish line for the table

using TableLine = FixedText<TABLE_LINE_BYTES>;

enum class TableMode : std::uint8_t {
  kVote,      // no director: the most voted option is taken
  kDirector,  // the director confirms or overrides the vote
};

struct TablePlayer {
  TablePlayerId id;
  TableNameText name;
  bool present;
  bool removed;            // removed by the director: never admitted again
  std::int32_t vote;       // option number voted this turn, 0 none
  std::uint64_t vote_seq;  // sequence of the vote kept, so an older one never replaces it
};
static_assert(std::is_trivially_copyable_v<TablePlayer>);

struct TableState {
  TableMode mode;
  bool paused;
  TablePlayer players[TABLE_MAX_PLAYERS];
  std::int32_t player_count;
  std::int32_t turn;  // the vote being taken, counted from 1; 0 before the first
  bool vote_open;
  std::int32_t option_count;  // options 1..option_count may be voted
  std::int64_t deadline_ms;   // when the vote closes anyway; 0 without a deadline
  std::int64_t paused_at_ms;
};
static_assert(std::is_trivially_copyable_v<TableState>);

void table_state_init(TableState& state, TableMode mode);
TablePlayer* table_state_find(TableState& state, std::string_view id);
const TablePlayer* table_state_find(const TableState& state, std::string_view id);
std::int32_t table_state_present_count(const TableState& state);

enum class TableAdmit : std::uint8_t { kAdmitted, kNameTaken, kRemoved, kFull, kBadName };
// Admits a new adventurer (present from now on). An id already known is never
// given to a second person: it is taken, or removed for good.
TableAdmit table_state_admit(TableState& state, std::string_view id, std::string_view name);
const char* table_admit_reason(TableAdmit result);  // Spanish, for the join answer
// Marks an admitted adventurer present or gone (its last will). True when that changed.
bool table_state_set_present(TableState& state, std::string_view id, bool present);
// Removes an adventurer for good: gone, vote dropped. False when unknown or already removed.
bool table_state_remove(TableState& state, std::string_view id);

// Opens vote `turn` on options 1..option_count; `seconds` 0 means no deadline.
void table_state_open_vote(TableState& state, std::int32_t turn, std::int32_t option_count,
                           std::int64_t now_ms, std::int32_t seconds);

enum class TableVote : std::uint8_t {
  kAccepted,
  kUnknown,    // not an admitted adventurer
  kAbsent,     // gone or removed
  kClosed,     // no vote open
  kOtherTurn,  // for an earlier or later vote
  kBadOption,  // outside 1..option_count
  kPaused,
  kStale,  // older than the vote already kept from this adventurer
};
TableVote table_state_vote(TableState& state, std::string_view id, std::int32_t turn,
                           std::int32_t option, std::uint64_t seq);
const char* table_vote_reason(TableVote result);  // Spanish

// The vote is due when it is open, not paused, and every present adventurer
// has voted (at least one being present) or the deadline has passed.
bool table_state_vote_due(const TableState& state, std::int64_t now_ms);

struct TableTally {
  std::int32_t counts[SECTION_MAX_TRANSITIONS + 1];  // votes per option number
  std::int32_t votes;                                // votes counted
  std::int32_t winner;                               // 0 when nobody voted
  std::int32_t top;                                  // the winner's votes
  TableLine line;                                    // says the result, and the tie rule when used
};
static_assert(std::is_trivially_copyable_v<TableTally>);

// Counts the votes of present adventurers only: one who left takes the vote along.
void table_state_tally(const TableState& state, TableTally& tally);
void table_state_close_vote(TableState& state);
// Pushes the deadline `seconds` past `now_ms` (a vote nobody answered in time).
void table_state_extend(TableState& state, std::int64_t now_ms, std::int32_t seconds);

// The director's decision on a tallied vote: `option` must be 1..option_count.
// The line says whether it confirms the most voted option or overrides it.
bool table_state_director_choose(const TableState& state, const TableTally& tally,
                                 std::int32_t option, TableLine& line);

// Pauses or resumes; a resumed vote keeps the time it had left. True when that changed.
bool table_state_pause(TableState& state, bool paused, std::int64_t now_ms);
