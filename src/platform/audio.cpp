#include "platform/audio.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/paths.h"
#include "platform/platform.h"

namespace {

// Longest track file name (a theme name with ".wav" added is cut here).
constexpr std::size_t AUDIO_FILE_NAME_MAX = 127;
// Longest path tried below the base directory.
constexpr std::size_t AUDIO_PATH_MAX = 511;
constexpr float AUDIO_DEFAULT_VOLUME = 0.7f;

struct ThemeFile {
  const char* theme;
  const char* file;
};

constexpr ThemeFile THEME_FILES[] = {
    {"intro", "quillhaven_intro.wav"},  {"dungeon", "dungeon_ambient.wav"},
    {"combat", "battle_tension.wav"},   {"combate", "battle_tension.wav"},
    {"victory", "victory_fanfare.wav"}, {"victoria", "victory_fanfare.wav"},
};

// Builds one candidate path; a path that would not fit is skipped rather than
// cut, since a cut path could name a different file.
bool try_candidate(char* out, std::size_t capacity, const char* first, const char* second,
                   const char* third) {
  char path[AUDIO_PATH_MAX + 1];
  int n = std::snprintf(path, sizeof path, "%s%s%s", first, second, third);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return false;
  if (static_cast<std::size_t>(n) >= capacity) return false;
  if (!platform_file_exists(path)) return false;
  std::memcpy(out, path, static_cast<std::size_t>(n) + 1);
  return true;
}

// The folder holding the running program, read from /proc/self/exe (which
// names the real file, past any symbolic link). False where the system has no
// such link or the path would not fit.
bool program_dir(char* out, std::size_t capacity) {
  if (capacity < 2) return false;
  ssize_t n = readlink("/proc/self/exe", out, capacity - 1);
  // A result that fills the buffer may have been cut.
  if (n <= 0 || static_cast<std::size_t>(n) >= capacity - 1) return false;
  out[n] = '\0';
  char* slash = std::strrchr(out, '/');
  if (slash == nullptr) return false;
  *slash = '\0';  // a program in "/" leaves "", and "/assets/audio/" is then its folder
  return true;
}

void stop_track(AudioState& state) {
  // The music child belongs to whichever state started it: one that never
  // played (a scripted adventure, a table's session) leaves it alone.
  bool had_track = state.playing;
  state.playing = false;
  state.current_theme.clear();
  if (had_track) platform_stop_audio();
}

}  // namespace

void audio_theme_file_name(const char* theme, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  out[0] = '\0';
  if (theme == nullptr) return;
  for (const ThemeFile& entry : THEME_FILES) {
    if (std::strcmp(theme, entry.theme) == 0) {
      text_copy(out, capacity, entry.file);
      return;
    }
  }
  char name[AUDIO_FILE_NAME_MAX + 1];
  if (std::strstr(theme, ".wav") != nullptr) {
    text_copy(name, sizeof name, theme);
  } else {
    std::snprintf(name, sizeof name, "%s.wav", theme);
  }
  text_copy(out, capacity, name);
}

bool audio_find_track(const AudioState& state, const char* theme, char* out, std::size_t capacity) {
  if (theme == nullptr || theme[0] == '\0' || out == nullptr || capacity == 0) return false;
  char file[AUDIO_FILE_NAME_MAX + 1];
  audio_theme_file_name(theme, file, sizeof file);
  const char* base = state.base_dir.empty() ? "." : state.base_dir.c_str();
  char below_base[AUDIO_PATH_MAX + 1];
  int n = std::snprintf(below_base, sizeof below_base, "%s/%s/", base, PATH_AUDIO_DIR);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof below_base &&
      try_candidate(out, capacity, below_base, file, "")) {
    return true;
  }
  if (try_candidate(out, capacity, base, "/", file)) return true;
  // Last, the tracks the build renders beside the program, so the music plays
  // from whatever folder the game is started in.
  char dir[AUDIO_PATH_MAX + 1];
  if (!program_dir(dir, sizeof dir)) return false;
  char below_program[AUDIO_PATH_MAX + 1];
  n = std::snprintf(below_program, sizeof below_program, "%s/%s/", dir, PATH_AUDIO_DIR);
  return n > 0 && static_cast<std::size_t>(n) < sizeof below_program &&
         try_candidate(out, capacity, below_program, file, "");
}

void audio_init(AudioState& state, const char* base_dir, bool enabled, float volume) {
  std::memset(&state, 0, sizeof state);
  state.base_dir.assign(base_dir != nullptr && base_dir[0] != '\0' ? base_dir : ".");
  state.enabled = enabled;
  state.volume = volume > 0.0f ? volume : AUDIO_DEFAULT_VOLUME;
}

void audio_play(AudioState& state, const char* theme, bool loop) {
  if (theme == nullptr || theme[0] == '\0' || !state.enabled) return;
  // A machine without a player, a missing file or a failed start: silence,
  // and the theme the caller compares with is recorded only for a real start.
  // Music is wanted here, so a missing player is noted for the player to hear
  // about once, whether or not the track exists.
  if (!platform_audio_player_available()) {
    state.no_player = true;
    return;
  }
  char path[AUDIO_PATH_MAX + 1];
  if (!audio_find_track(state, theme, path, sizeof path)) return;
  if (!platform_play_audio_async(path, loop)) {
    // A start that failed after the old track was stopped leaves nothing playing.
    if (platform_audio_child() < 0) {
      state.playing = false;
      state.current_theme.clear();
    }
    return;
  }
  state.current_theme.assign(theme);
  state.playing = true;
}

void audio_stop(AudioState& state) { stop_track(state); }

AudioNotice audio_take_notice(AudioState& state) {
  if (state.no_player && !state.no_player_told) {
    state.no_player_told = true;
    return AudioNotice::kNoPlayer;
  }
  // Only a track this state started is its concern. The theme stays recorded,
  // so callers comparing themes do not start the failing player every turn.
  if (state.playing && !state.failure_told && platform_audio_music() == PlatformMusic::kFailed) {
    state.failure_told = true;
    return AudioNotice::kPlayerFails;
  }
  return AudioNotice::kNone;
}

bool audio_toggle(AudioState& state) {
  state.enabled = !state.enabled;
  // Switching on starts nothing: the next audio_play does, since the theme is empty.
  if (!state.enabled) stop_track(state);
  return state.enabled;
}

void audio_set_volume(AudioState& state, float volume) {
  if (!(volume >= 0.0f)) volume = 0.0f;  // also catches NaN
  if (volume > 1.0f) volume = 1.0f;
  state.volume = volume;
}

void audio_play_dice_sound(const AudioState& state, std::FILE* out) {
  if (state.enabled) platform_beep(out, 880, 50);
}

void audio_play_victory_fanfare(AudioState& state) {
  if (state.enabled) audio_play(state, "victory", false);
}
