// Start-up and the main menu loop.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/app.h"
#include "app/shell.h"
#include "common/fixed_list.h"
#include "config/config.h"
#include "narration/llm_narrator.h"
#include "platform/audio.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "ui/palette.h"
#include "ui/text_output.h"
#include "workshop/workshop.h"

namespace {

// What the main menu decided for one pass.
enum class MenuStep { kContinue, kLeave };

}  // namespace

void app_print_main_menu(UiContext& ui, const AppConfig& config, AudioNotice music) {
  // The mode names who will actually answer: without a key that is the classic narrator.
  const char* mode = "⚡ Narrador IA";
  switch (llm_planned_narrator(&config)) {
    case NarratorOutcome::kModel:
      break;
    case NarratorOutcome::kNoKey:
      mode = "💾 Narrador Clásico (sin clave de IA: configúrala en Ajustes)";
      break;
    default:
      mode = "💾 Narrador Clásico (Sin IA - 0 tokens)";
      break;
  }
  ui_printf(ui, QH_CYAN "Modo actual: %s\n" QH_RESET, mode);
  if (music == AudioNotice::kNoPlayer) {
    ui_write(ui, QH_CYAN
             "Música: 🔇 en silencio, no se encontró ningún reproductor de audio (afplay, "
             "pw-play, paplay o aplay)\n" QH_RESET);
  } else if (music == AudioNotice::kPlayerFails) {
    ui_write(ui, QH_CYAN
             "Música: 🔇 detenida, el reproductor de audio no consigue reproducir las "
             "pistas\n" QH_RESET);
  }
  ui_write(ui,
           "\n--- MENÚ PRINCIPAL ---\n"
           "1. 🗡️  Iniciar Nueva Aventura\n"
           "2. 📂 Cargar Partida Guardada\n"
           "3. 🎮 Mesa de Rol Multijugador (MQTT / KVM)\n"
           "4. 🛠️  Taller del Creador (Historias, Guías y Música)\n"
           "5. ⚙️  Ajustes y Configuración\n"
           "6. 🚪 Salir\n\n");
  ui_write(ui, QH_YELLOW "Selecciona una opción (1-6): " QH_RESET);
}

namespace {

MenuStep main_menu_pass(Host& host, AppContext& app) {
  UiContext& ui = host.ui;
  // A closed input cannot answer anything more: leave without showing the menu again.
  if (ui_input_closed(ui)) return MenuStep::kLeave;

  AudioState* audio = host.audio;
  if (audio != nullptr && app.config.music_enabled &&
      !(audio->playing && audio->current_theme == std::string_view("intro"))) {
    audio_play(*audio, "intro", true);
  }
  ui_print_banner(ui);
  app_print_main_menu(ui, app.config,
                      audio != nullptr ? audio_take_notice(*audio) : AudioNotice::kNone);

  char answer[APP_MENU_ANSWER_BYTES];
  if (!app_read_answer(ui, answer, sizeof answer)) return MenuStep::kLeave;
  char choice = ui_menu_choice(answer, '6');
  if (choice == 0) {
    ui_print_message(ui, "Opción inválida. Elige del 1 al 6.", "warning");
    return MenuStep::kContinue;
  }
  switch (choice) {
    case '1':
      app_new_adventure(host, app);
      break;
    case '2':
      app_resume_adventure(host, app);
      break;
    case '3':
      app_multiplayer_screen(host, app.config);
      break;
    case '4':
      workshop_open_menu(host, app.config);
      app_replay_intro(app.config, host.audio);
      break;
    case '5':
      app_settings_screen(host, app);
      break;
    default:
      return MenuStep::kLeave;
  }
  return MenuStep::kContinue;
}

void print_warnings(UiContext& ui, const ConfigReport& report) {
  for (const auto& line : list_used(report.warnings, report.warning_count))
    ui_print_message(ui, line.c_str(), "warning");
}

// What a save of the settings will do to a config.json that start-up could
// not use, as the player is told it.
const char* unusable_config_notice(ConfigReplacement replacement) {
  switch (replacement) {
    case ConfigReplacement::kReadOnly:
      return "Se usan los ajustes por defecto. config.json es de solo lectura y no se "
             "modificará: los cambios de ajustes solo durarán esta sesión.";
    case ConfigReplacement::kFolder:
      return "Se usan los ajustes por defecto. config.json es una carpeta: los ajustes no se "
             "podrán guardar y los cambios solo durarán esta sesión.";
    case ConfigReplacement::kLink:
      return "Se usan los ajustes por defecto. config.json no se modificará hasta que guardes "
             "los ajustes; entonces el enlace se sustituirá por un archivo con los ajustes y el "
             "archivo al que apunta quedará como está.";
    case ConfigReplacement::kOther:
      return "Se usan los ajustes por defecto. config.json no se modificará hasta que guardes "
             "los ajustes; entonces se sustituirá por un archivo normal con los ajustes, sin "
             "guardar copia de lo que hay ahora.";
    default:
      return "Se usan los ajustes por defecto. config.json no se modificará hasta que guardes "
             "los ajustes; entonces se conservará una copia en config.json.bak.";
  }
}

// config.json first; when it is missing or empty, the example, then the
// defaults, and config.json is written with the settings now in force. One
// that is there but cannot be used gives the defaults and is left as it is
// until the player saves settings.
void load_settings(Host& host, AppContext& app) {
  UiContext& ui = host.ui;
  PathText config_path, example_path;
  host_path(host, PATH_CONFIG, config_path);
  host_path(host, PATH_CONFIG_EXAMPLE, example_path);
  ConfigReport report;
  const bool loaded = config_load(app.config, config_path.c_str(), &report);
  print_warnings(ui, report);
  if (loaded) return;
  if (report.state == ConfigFileState::kMissing || report.state == ConfigFileState::kEmpty) {
    if (!config_load(app.config, example_path.c_str(), &report)) config_set_defaults(app.config);
    print_warnings(ui, report);
    // After the first run config.json exists; a failed write (a read-only
    // empty file is never written) is not fatal and the settings in memory
    // stay in force.
    (void)config_save(app.config, config_path.c_str());
    return;
  }
  // The failed load left the defaults in force, as the notice says.
  const ConfigReplacement replacement = config_replacement(config_path.c_str());
  app.config_backup_pending = replacement == ConfigReplacement::kBackup;
  ui_print_message(ui, unusable_config_notice(replacement), "info");
}

// Temporary files of writes that a kill cut short, in the folders the game
// writes: the settings beside it, the saves and the workshop's stories.
void remove_interrupted_writes(const Host& host) {
  PathText saves, stories;
  platform_remove_stale_temps(host.root.c_str(), PATH_CONFIG_STEM);
  if (host_path(host, PATH_SAVES_DIR, saves)) platform_remove_stale_temps(saves.c_str(), "");
  if (host_path(host, PATH_STORIES_DIR, stories)) platform_remove_stale_temps(stories.c_str(), "");
}

}  // namespace

int app_run(Host& host, AppContext& app) {
  platform_init();
  std::atexit(platform_cleanup);
  remove_interrupted_writes(host);
  load_settings(host, app);
  if (host.audio != nullptr) {
    audio_init(*host.audio, host.root.c_str(), app.config.music_enabled, app.config.music_volume);
  }

  while (main_menu_pass(host, app) == MenuStep::kContinue) {
  }

  if (host.audio != nullptr) audio_stop(*host.audio);
  ui_write(host.ui,
           "\n" QH_ORANGE
           "¡Gracias por jugar a Quillhaven! Que los dados te sean favorables." QH_RESET "\n\n");
  ui_flush(host.ui);
  return 0;
}
