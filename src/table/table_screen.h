// One terminal at the table: the host's (the director's screen) or an
// adventurer's. Messages are drawn in the order they are posted, on a thread
// of the screen's own, so neither the network nor the adventure ever waits
// for the typewriter. Session events are rebuilt from their messages and drawn
// by the game's session_render_event; the table's own lines by
// table_render_line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "character/character.h"
#include "common/json_value.h"
#include "session/session_events.h"
#include "ui/text_output.h"

struct TableScreen;

enum class TablePrompt : std::uint8_t {
  kAdventurer,  // the game's action prompt after each turn's options
  kDirector,    // the director's prompt, with a reminder of what may be typed
  kNone,        // a host without director: nothing is asked
};

// Draws on `ui` (copied; its stream stays the caller's). Nothing is drawn
// when `ui.out` is null, but every event is still rebuilt in order.
TableScreen* table_screen_open(const UiContext& ui, TablePrompt prompt);
// Draws what was posted, then stops the thread. Accepts nullptr.
void table_screen_close(TableScreen* screen);

// A message of the table: a session event (drawn as the game draws it), the
// retained state (the current panel, scene and options at once), or one of
// the table's lines. `after` is written after it (the director's hidden
// options follow the options), before the prompt.
void table_screen_post(TableScreen& screen, std::string_view type, JsonMember data,
                       std::string after = {});
// Parses `json` (an object an encoder wrote) and posts it.
void table_screen_post_json(TableScreen& screen, std::string_view type, std::string_view json,
                            std::string after = {});
// A line of this terminal alone, in the style of the game's messages
// ("error", "warning", "success", "info").
void table_screen_note(TableScreen& screen, std::string_view text, std::string_view level);
// An answer drawn from the hero alone (the sheet, the backpack) or the help,
// on this terminal alone.
void table_screen_local(TableScreen& screen, SessionEventKind kind, const Character& hero);

// The person at this terminal answered the prompt: the cursor is on a new line.
void table_screen_answered(TableScreen& screen);

// Waits until everything posted so far is drawn (tests, and before leaving).
void table_screen_drain(TableScreen& screen);
