#include "table/table_state.h"

#include <cstdio>
#include <cstring>

#include "common/fixed_list.h"
#include "common/text_util.h"

void table_state_init(TableState& state, TableMode mode) {
  std::memset(static_cast<void*>(&state), 0, sizeof state);
  state.mode = mode;
}

TablePlayer* table_state_find(TableState& state, std::string_view id) {
  for (TablePlayer& p : list_used(state.players, state.player_count))
    if (p.id == id) return &p;
  return nullptr;
}

const TablePlayer* table_state_find(const TableState& state, std::string_view id) {
  for (const TablePlayer& p : list_used(state.players, state.player_count))
    if (p.id == id) return &p;
  return nullptr;
}

std::int32_t table_state_present_count(const TableState& state) {
  std::int32_t n = 0;
  for (const TablePlayer& p : list_used(state.players, state.player_count))
    if (p.present && !p.removed) ++n;
  return n;
}

TableAdmit table_state_admit(TableState& state, std::string_view id, std::string_view name) {
  if (!table_player_id_valid(id)) return TableAdmit::kBadName;
  if (const TablePlayer* known = table_state_find(state, id))
    return known->removed ? TableAdmit::kRemoved : TableAdmit::kNameTaken;
  TablePlayer* p = list_append(state.players, state.player_count);
  if (p == nullptr) return TableAdmit::kFull;
  p->id.assign(id);
  p->name.assign(text_printable(name.substr(0, TABLE_PLAYER_NAME_MAX)));
  p->present = true;
  return TableAdmit::kAdmitted;
}

const char* table_admit_reason(TableAdmit result) {
  switch (result) {
    case TableAdmit::kAdmitted:
      return "";
    case TableAdmit::kNameTaken:
      return "ese nombre ya está en la mesa; elige otro";
    case TableAdmit::kRemoved:
      return "el director te ha expulsado de esta mesa";
    case TableAdmit::kFull:
      return "la mesa está llena";
    case TableAdmit::kBadName:
      break;
  }
  return "el nombre debe tener alguna letra o cifra sin acento";
}

bool table_state_set_present(TableState& state, std::string_view id, bool present) {
  TablePlayer* p = table_state_find(state, id);
  if (p == nullptr || p->removed || p->present == present) return false;
  p->present = present;
  return true;
}

bool table_state_remove(TableState& state, std::string_view id) {
  TablePlayer* p = table_state_find(state, id);
  if (p == nullptr || p->removed) return false;
  p->removed = true;
  p->present = false;
  p->vote = 0;
  return true;
}

void table_state_open_vote(TableState& state, std::int32_t turn, std::int32_t option_count,
                           std::int64_t now_ms, std::int32_t seconds) {
  state.turn = turn;
  state.vote_open = true;
  state.option_count = option_count < 0                         ? 0
                       : option_count > SECTION_MAX_TRANSITIONS ? SECTION_MAX_TRANSITIONS
                                                                : option_count;
  state.deadline_ms = seconds > 0 ? now_ms + static_cast<std::int64_t>(seconds) * 1000 : 0;
  if (state.paused) state.paused_at_ms = now_ms;
  for (TablePlayer& p : list_used(state.players, state.player_count)) {
    p.vote = 0;
    p.vote_seq = 0;
  }
}

TableVote table_state_vote(TableState& state, std::string_view id, std::int32_t turn,
                           std::int32_t option, std::uint64_t seq) {
  TablePlayer* p = table_state_find(state, id);
  if (p == nullptr) return TableVote::kUnknown;
  if (!p->present || p->removed) return TableVote::kAbsent;
  if (!state.vote_open) return TableVote::kClosed;
  if (turn != state.turn) return TableVote::kOtherTurn;
  if (state.paused) return TableVote::kPaused;
  if (option < 1 || option > state.option_count) return TableVote::kBadOption;
  if (p->vote != 0 && seq <= p->vote_seq) return TableVote::kStale;
  p->vote = option;
  p->vote_seq = seq;
  return TableVote::kAccepted;
}

const char* table_vote_reason(TableVote result) {
  switch (result) {
    case TableVote::kAccepted:
      return "";
    case TableVote::kUnknown:
      return "no está en la mesa";
    case TableVote::kAbsent:
      return "ya no está en la mesa";
    case TableVote::kClosed:
      return "no hay ninguna votación abierta";
    case TableVote::kOtherTurn:
      return "es un voto de otro turno";
    case TableVote::kBadOption:
      return "esa opción no existe";
    case TableVote::kPaused:
      return "la mesa está en pausa";
    case TableVote::kStale:
      break;
  }
  return "llegó después de un voto más reciente";
}

bool table_state_vote_due(const TableState& state, std::int64_t now_ms) {
  if (!state.vote_open || state.paused) return false;
  if (state.deadline_ms != 0 && now_ms >= state.deadline_ms) return true;
  std::int32_t present = 0;
  for (const TablePlayer& p : list_used(state.players, state.player_count)) {
    if (!p.present || p.removed) continue;
    if (p.vote == 0) return false;
    ++present;
  }
  return present > 0;
}

void table_state_tally(const TableState& state, TableTally& tally) {
  std::memset(static_cast<void*>(&tally), 0, sizeof tally);
  for (const TablePlayer& p : list_used(state.players, state.player_count)) {
    if (!p.present || p.removed || p.vote < 1 || p.vote > SECTION_MAX_TRANSITIONS) continue;
    ++tally.counts[p.vote];
    ++tally.votes;
  }
  // The first option reaching the top count wins: the lowest number among ties.
  std::int32_t tied = 0;
  for (std::int32_t option = 1; option <= SECTION_MAX_TRANSITIONS; ++option) {
    if (tally.counts[option] == 0) continue;
    if (tally.counts[option] > tally.top) {
      tally.top = tally.counts[option];
      tally.winner = option;
      tied = 1;
    } else if (tally.counts[option] == tally.top) {
      ++tied;
    }
  }
  // Room for the whole line before it is cut to the record's capacity.
  char line[2 * TABLE_LINE_BYTES];
  if (tally.winner == 0) {
    std::snprintf(line, sizeof line, "Nadie ha votado.");
  } else if (tied == 1) {
    std::snprintf(line, sizeof line, "Gana la opción %d con %d %s.", tally.winner, tally.top,
                  tally.top == 1 ? "voto" : "votos");
  } else {
    // "Empate a 2 votos entre las opciones 2, 3 y 5: gana la 2, la de número más bajo."
    FixedText<TABLE_LINE_BYTES> list{};
    std::int32_t listed = 0;
    for (std::int32_t option = 1; option <= SECTION_MAX_TRANSITIONS; ++option) {
      if (tally.counts[option] != tally.top) continue;
      ++listed;
      char number[16];
      std::snprintf(number, sizeof number, "%s%d",
                    listed == 1 ? "" : (listed == tied ? " y " : ", "), option);
      list.append(number);
    }
    std::snprintf(line, sizeof line,
                  "Empate a %d %s entre las opciones %s: gana la %d, la de número más bajo.",
                  tally.top, tally.top == 1 ? "voto" : "votos", list.c_str(), tally.winner);
  }
  tally.line.assign(line);
}

void table_state_close_vote(TableState& state) {
  state.vote_open = false;
  state.deadline_ms = 0;
}

void table_state_extend(TableState& state, std::int64_t now_ms, std::int32_t seconds) {
  if (state.vote_open && seconds > 0)
    state.deadline_ms = now_ms + static_cast<std::int64_t>(seconds) * 1000;
}

bool table_state_director_choose(const TableState& state, const TableTally& tally,
                                 std::int32_t option, TableLine& line) {
  if (option < 1 || option > state.option_count) {
    line.assign("Esa opción no existe.");
    return false;
  }
  char text[TABLE_LINE_BYTES];
  if (tally.winner == option) {
    std::snprintf(text, sizeof text, "El director confirma la opción %d.", option);
  } else if (tally.winner == 0) {
    std::snprintf(text, sizeof text, "El director elige la opción %d.", option);
  } else {
    std::snprintf(text, sizeof text,
                  "El director elige la opción %d en lugar de la %d, la más votada.", option,
                  tally.winner);
  }
  line.assign(text);
  return true;
}

bool table_state_pause(TableState& state, bool paused, std::int64_t now_ms) {
  if (state.paused == paused) return false;
  state.paused = paused;
  if (paused) {
    state.paused_at_ms = now_ms;
  } else if (state.deadline_ms != 0 && now_ms > state.paused_at_ms) {
    state.deadline_ms += now_ms - state.paused_at_ms;
  }
  return true;
}
