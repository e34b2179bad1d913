#include "app/shell.h"

#include <cstdlib>

#include "common/text_util.h"
#include "platform/platform.h"
#include "ui/text_output.h"

bool app_read_answer(UiContext& ui, char* buffer, std::size_t capacity) {
  // The rest of an over-long answer is dropped: it must never become the
  // answer to the next prompt (a menu entry, a hero's name, a first action).
  return ui_read_line_discard_rest(ui, buffer, capacity);
}

bool app_read_choice(UiContext& ui, std::int32_t count, std::int32_t& choice) {
  char answer[APP_MENU_ANSWER_BYTES];
  if (!app_read_answer(ui, answer, sizeof answer)) return false;
  choice = read_decimal_i32(answer);
  if (choice < 1 || choice > count) {
    ui_print_message(ui, "Opción inválida.", "warning");
    return false;
  }
  return true;
}

SessionEnd app_play(Host& host, const SessionIo& io, const Story& story, const char* story_path,
                    AppConfig& config, const char* hero_name, const char* section_id,
                    const Character* saved_hero) {
  platform_catch_stop_signals(true, host.ui.in != nullptr ? fileno(host.ui.in) : -1);
  SessionEnd end =
      game_session_run(io, &story, story_path, &config, hero_name, section_id, saved_hero);
  platform_catch_stop_signals(false);
  if (int signal_number = platform_stop_signal()) {
    ui_flush(host.ui);
    platform_cleanup();
    std::exit(128 + signal_number);
  }
  return end;
}

void app_after_adventure(Host& host, const AppConfig& config, SessionEnd end) {
  if (end == SESSION_END_ENDING || end == SESSION_END_DEATH_AT_SCENE ||
      end == SESSION_END_DEATH_AFTER_ACTION || end == SESSION_END_MISSING_SECTION) {
    ui_pause_enter(host.ui);
  }
  app_replay_intro(config, host.audio);
}

void app_replay_intro(const AppConfig& config, AudioState* audio) {
  if (config.music_enabled && audio != nullptr) audio_play(*audio, "intro", true);
}
