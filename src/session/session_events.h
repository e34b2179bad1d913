// What an adventure reports as it is played. The session never prints: it
// hands each event to a sink. The game's sink draws it on the host's terminal
// (session_render_event); the shared table's sink also sends it to the table.
#pragma once

#include <cstdint>

#include "character/character.h"
#include "lore/lore_index.h"
#include "narration/llm_narrator.h"
#include "rules/dice.h"
#include "story/story.h"
#include "ui/text_output.h"

enum class SessionEventKind : std::int32_t {
  kStart,      // the adventure begins: `text` is the opening line
  kMessage,    // a one-line message: `text` and its `level`
  kHazard,     // the scene's hazard hurt the hero: `amount` taken, `text` the warning
  kItemFound,  // an item lying in the scene was taken: `name`, `text` the message
  kPanel,      // the status panel of `hero`, with the narrator `classic` or not, `counters`
  kScene,      // the scene `section`; `typed` when its text is typed out, else written at once
  kOptions,    // the options of `section` as `hero` may take them
  kPrompt,     // the adventure waits for the player's line
  kDice,       // a check was rolled: `roll`, with the stat `name`
  kNarration,  // `text` narrated, `from_model` when the language model answered; `counters`
  kHelp,       // the list of commands
  kSheet,      // the character sheet of `hero`
  kInventory,  // the backpack of `hero`
  kLore,       // the lore answer to the query `name`: `hits`, `hit_count` of them
  kEnding,     // `section` ended the adventure: `text` the closing line in its `level`
  kDeath,      // the hero died: `text` the closing line
};

// Every field not named is empty: an event names only what its kind uses.
struct SessionEvent {
  SessionEventKind kind{};
  const char* text = nullptr;               // message, narration or closing line
  const char* level = nullptr;              // "error", "warning", "success" or "info"
  const char* name = nullptr;               // item, stat or lore query
  const StorySection* section = nullptr;    // scene, options, ending
  const Character* hero = nullptr;          // panel, options, sheet, backpack
  const RollResult* roll = nullptr;         // dice
  const TokenCounters* counters = nullptr;  // panel and narration
  const LoreHit* hits = nullptr;            // lore answer
  std::int32_t hit_count = 0;
  std::int32_t amount = 0;       // hazard damage
  bool classic = false;          // panel: the classic narrator answers
  bool show_tokens = false;      // panel: token use is shown
  bool typed = false;            // scene: typed out at the terminal's speed
  bool from_model = false;       // narration: the language model answered
  GameRandom* random = nullptr;  // dice: the generator of the rolling faces
};

// Receives every event of an adventure, in order.
struct SessionSink {
  void (*emit)(const SessionEvent& event, void* user);
  void* user;
};

// Draws one event on a terminal, exactly as the game shows it.
void session_render_event(UiContext& ui, const SessionEvent& event);
