// Music themes and sound effects on top of the background player.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "common/fixed_text.h"

struct AudioState {
  FixedText<512> base_dir;  // searched first for assets/audio
  bool enabled;
  float volume;                 // stored setting only; never passed to the player
  FixedText<64> current_theme;  // theme last started, as the caller named it
  bool playing;
  bool no_player;       // music was wanted but no audio player was found
  bool no_player_told;  // ... and the player has been told
  bool failure_told;    // a player that kept failing has been told
};
static_assert(std::is_trivially_copyable_v<AudioState>);

// Why music the player asked for stays silent, told once per AudioState.
enum class AudioNotice : std::uint8_t {
  kNone,
  kNoPlayer,     // no audio player was found on this machine
  kPlayerFails,  // the player failed, or kept ending at once, and the music gave up
};

void audio_init(AudioState& state, const char* base_dir, bool enabled, float volume);
void audio_play(AudioState& state, const char* theme, bool loop);
void audio_stop(AudioState& state);
// The trouble met since the last call that the player has not been told about
// yet, marked as told: each kind is returned at most once per AudioState.
AudioNotice audio_take_notice(AudioState& state);
bool audio_toggle(AudioState& state);
void audio_set_volume(AudioState& state, float volume);
// The dice bell, on the terminal behind `out`, when music is on.
void audio_play_dice_sound(const AudioState& state, std::FILE* out);
void audio_play_victory_fanfare(AudioState& state);
// The first readable track for a theme: base_dir/assets/audio/<file>, then
// base_dir/<file>, then assets/audio/<file> in the folder of the running
// program. False when none exists.
bool audio_find_track(const AudioState& state, const char* theme, char* out, std::size_t capacity);
// The WAV file name of a theme ("intro" -> "quillhaven_intro.wav", ...).
void audio_theme_file_name(const char* theme, char* out, std::size_t capacity);
