// Start-up and the main menu loop.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/app.h"
#include "app/shell.h"
#include "common/fixed_list.h"
#include "config/config.h"
#include "platform/audio.h"
#include "platform/platform.h"
#include "ui/palette.h"
#include "ui/text_output.h"
#include "workshop/workshop.h"

namespace {

// What the main menu decided for one pass.
enum class MenuStep { kContinue, kLeave };

void print_main_menu(const AppConfig& config) {
  std::printf(QH_CYAN "Modo actual: %s\n" QH_RESET,
              config.offline_mode ? "💾 Narrador Clásico (Sin IA - 0 tokens)" : "⚡ Narrador IA");
  std::fputs(
      "\n--- MENÚ PRINCIPAL ---\n"
      "1. 🗡️  Iniciar Nueva Aventura\n"
      "2. 📂 Cargar Partida Guardada\n"
      "3. 🎮 Mesa de Rol Multijugador (MQTT / KVM)\n"
      "4. 🛠️  Taller del Creador (Historias, Guías y Música)\n"
      "5. ⚙️  Ajustes y Configuración\n"
      "6. 🚪 Salir\n\n",
      stdout);
  std::fputs(QH_YELLOW "Selecciona una opción (1-6): " QH_RESET, stdout);
}

MenuStep main_menu_pass(AppContext& app) {
  // A closed input cannot answer anything more: leave without showing the menu again.
  if (ui_input_closed()) return MenuStep::kLeave;

  if (app.config.music_enabled &&
      !(app.audio.playing && app.audio.current_theme == std::string_view("intro"))) {
    audio_play(app.audio, "intro", true);
  }
  ui_print_banner();
  print_main_menu(app.config);

  char answer[APP_MENU_ANSWER_BYTES];
  if (!app_read_answer(answer, sizeof answer)) return MenuStep::kLeave;
  char choice = ui_menu_choice(answer, '6');
  if (choice == 0) {
    ui_print_message("Opción inválida. Elige del 1 al 6.", "warning");
    return MenuStep::kContinue;
  }
  switch (choice) {
    case '1':
      app_new_adventure(app);
      break;
    case '2':
      app_resume_adventure(app);
      break;
    case '3':
      app_multiplayer_screen(app.config);
      break;
    case '4':
      workshop_open_menu(".", app.config, &app.audio);
      app_replay_intro(app.config, app.audio);
      break;
    case '5':
      app_settings_screen(app);
      break;
    default:
      return MenuStep::kLeave;
  }
  return MenuStep::kContinue;
}

void print_warnings(const ConfigReport& report) {
  for (const auto& line : list_used(report.warnings, report.warning_count))
    ui_print_message(line.c_str(), "warning");
}

// config.json first, then the example, then the defaults. Only a missing or
// empty config.json is written with the settings now in force; one that is
// there but cannot be used is left as it is until the player saves settings.
void load_settings(AppContext& app) {
  ConfigReport report;
  const bool loaded = config_load(app.config, "config.json", &report);
  print_warnings(report);
  if (loaded) return;
  const bool replace =
      report.state == ConfigFileState::kMissing || report.state == ConfigFileState::kEmpty;
  if (!config_load(app.config, "config.json.example", &report)) config_set_defaults(app.config);
  print_warnings(report);
  if (replace) {
    // After the first run config.json exists; a failed write is not fatal and
    // the settings in memory stay in force.
    (void)config_save(app.config, "config.json");
    return;
  }
  app.config_backup_pending = true;
  ui_print_message(
      "Se usan los ajustes por defecto. config.json no se modificará hasta que guardes los "
      "ajustes; entonces se conservará una copia en config.json.bak.",
      "info");
}

// Temporary files of writes that a kill cut short, in the folders the game
// writes: the settings beside it, the saves and the workshop's stories.
void remove_interrupted_writes() {
  platform_remove_stale_temps(".", "config");
  platform_remove_stale_temps("saves", "");
  platform_remove_stale_temps("stories", "");
}

}  // namespace

int app_run(AppContext& app) {
  platform_init();
  std::atexit(platform_cleanup);
  remove_interrupted_writes();
  load_settings(app);
  audio_init(app.audio, ".", app.config.music_enabled, app.config.music_volume);

  while (main_menu_pass(app) == MenuStep::kContinue) {
  }

  audio_stop(app.audio);
  std::fputs("\n" QH_ORANGE
             "¡Gracias por jugar a Quillhaven! Que los dados te sean favorables." QH_RESET "\n\n",
             stdout);
  std::fflush(stdout);
  return 0;
}
