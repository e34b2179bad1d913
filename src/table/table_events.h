// The adventure's events as the table carries them. The host turns each event
// of its session into one message; an adventurer turns the message back into
// the same event, over records rebuilt from it, and draws it with the game's
// own session_render_event. The table's own happenings (votes, proposals,
// chat, the director's words, presence, pause, removal, closing) travel as a
// line of text each, drawn in one style per kind by table_render_line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "character/character.h"
#include "lore/lore_index.h"
#include "rules/dice.h"
#include "session/session_events.h"
#include "story/story.h"
#include "table/table_message.h"
#include "table/table_protocol.h"

inline constexpr int TABLE_LORE_HITS = 4;  // lore passages one answer may carry

// The message of one session event: its type and data. `turn` numbers the
// vote an options event opens. False for what stays at the host: the prompt,
// and the help, sheet and backpack a director asked for at their own console.
bool table_event_encode(const SessionEvent& event, std::int32_t turn, std::string& type,
                        std::string& data);

// What an adventurer knows of the adventure: the latest hero, the latest
// scene with the options of the latest turn, and the records of the event
// being drawn. About 70 KB: allocate it once.
struct TableView {
  Character hero;
  bool has_hero;
  bool classic;  // the panel names the classic narrator
  StorySection scene;
  bool has_scene;
  bool has_options;
  std::int32_t turn;  // of the options shown; 0 before any
  RollResult roll;
  FixedText<64> stat;
  TableText text;
  FixedText<16> level;
  NameText item;
  FixedText<256> query;
  LoreHit hits[TABLE_LORE_HITS];
  std::int32_t hit_count;
  std::int32_t amount;
};
static_assert(std::is_trivially_copyable_v<TableView>);

// Rebuilds the session event a message carries, into `view` (which keeps the
// hero, scene and options for later events) and `event` (pointing into it).
// False for messages that carry no session event, or whose data is unusable.
bool table_event_decode(const TableMessage& message, TableView& view, SessionEvent& event);
// The same from a message type and its data (the retained state's parts).
bool table_event_decode_data(std::string_view type, const JsonMember& data, TableView& view,
                             SessionEvent& event);

// True for the types drawn as one line by table_render_line.
bool table_event_is_line(std::string_view type);
// One line of the table (a vote seen, a result, a proposal, chat, the
// director's narration, presence, pause, removal, closing) in its kind's
// style. `text` is shown terminal-safe, line feeds kept.
void table_render_line(UiContext& ui, std::string_view type, std::string_view text);
