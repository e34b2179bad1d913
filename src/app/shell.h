// What every screen of the shell shares: how answers are read, and when the
// intro theme starts again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "platform/audio.h"
#include "session/session.h"
#include "ui/host.h"
#include "ui/text_output.h"

inline constexpr std::size_t APP_MENU_ANSWER_BYTES = 16;   // menu answers and numbers: 15 bytes
inline constexpr std::size_t APP_TEXT_ANSWER_BYTES = 128;  // key, broker, repository: 127 bytes

// Reads one answer of at most capacity-1 bytes, trailing CR/LF removed; the
// rest of a longer line is discarded. False (empty answer) at end of input.
bool app_read_answer(UiContext& ui, char* buffer, std::size_t capacity);
// Reads a numbered choice from 1 to `count` into `choice`. False at end of
// input (silently) or for any other answer ("Opción inválida." is shown).
bool app_read_choice(UiContext& ui, std::int32_t count, std::int32_t& choice);
// Plays one adventure of the game. While it runs, Ctrl+C, a closed terminal
// and SIGTERM make it save and end in good order; the program then stops its
// music and exits with the signal's conventional status (128 + its number).
SessionEnd app_play(Host& host, const SessionIo& io, const Story& story, const char* story_path,
                    AppConfig& config, const char* hero_name, const char* section_id,
                    const Character* saved_hero);
// Back at the menu after an adventure: an ending, a death or a broken story
// waits for Enter, so its last words are read before the menu's banner;
// then the intro plays again.
void app_after_adventure(Host& host, const AppConfig& config, SessionEnd end);
// Plays "intro" in a loop from its beginning, when music is enabled (and the
// host has music at all).
void app_replay_intro(const AppConfig& config, AudioState* audio);
