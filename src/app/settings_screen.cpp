// Main menu entries 3 and 5: the multiplayer notice and the settings screen.
#include <cstdio>

#include "app/app.h"
#include "app/shell.h"
#include "config/config.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

constexpr const char* kConfigPath = "config.json";
constexpr const char* kBackupPath = "config.json.bak";
constexpr const char* kVaultHost = "github.com";
constexpr const char* kRule =
    QH_FRAME "======================================================\n" QH_RESET;
constexpr const char* kNotSaved =
    "⚠️ No se pudo guardar config.json; el cambio solo dura esta sesión.";

// Writes the settings to config.json at once. The change stays in force for
// this run either way; `text` is shown only when the file was written, the
// player is warned otherwise. A config.json left unread at start-up is kept as
// config.json.bak first; without that copy nothing is written over it.
void save_and_report(AppContext& app, const char* text, const char* kind) {
  bool saved = !app.config_backup_pending || config_keep_backup(kConfigPath, kBackupPath);
  saved = saved && config_save(app.config, kConfigPath);
  if (saved) {
    app.config_backup_pending = false;
    ui_print_message(text, kind);
  } else {
    ui_print_message(kNotSaved, "warning");
  }
}

void print_settings(const AppConfig& config) {
  std::fputs("\n", stdout);
  std::fputs(kRule, stdout);
  std::fputs(QH_ORANGE QH_BOLD
             "             ⚙️   AJUSTES Y CONFIGURACIÓN             \n" QH_RESET,
             stdout);
  std::fputs(kRule, stdout);
  std::printf("Modo de Narrador Actual : %s\n",
              config.offline_mode ? "💾 Narrador Clásico (Sin IA)" : "⚡ Narrador IA Gemini");
  std::printf("Modelo LLM              : %s\n", config.model.c_str());
  std::printf("Servidor Mosquitto (KVM): %s:%d\n", config.mqtt_broker.c_str(), config.mqtt_port);
  std::printf("Bóveda GitHub           : %s/%s\n", kVaultHost, config.community_vault_repo.c_str());
  std::fputs(
      "------------------------------------------------------\n"
      "1. ⚡ Alternar Modo (Narrador IA / Narrador Clásico Sin IA)\n"
      "2. 🔑 Configurar Gemini API Key\n"
      "3. 🖥️  Configurar Servidor Mosquitto (IP / Broker MQTT)\n"
      "4. 🔗 Configurar Repositorio de la Bóveda en GitHub\n"
      "5. 🚪 Volver al Menú Principal\n\n",
      stdout);
  std::fputs(QH_YELLOW "Selecciona una opción (1-5): " QH_RESET, stdout);
}

}  // namespace

void app_multiplayer_screen(const AppConfig& config) {
  std::fputs("\n", stdout);
  std::fputs(kRule, stdout);
  std::fputs(QH_ORANGE QH_BOLD "         🎮 MESA DE ROL MULTIJUGADOR (MQTT)           \n" QH_RESET,
             stdout);
  std::fputs(kRule, stdout);
  std::printf("Broker configurado : %s:%d\n\n", config.mqtt_broker.c_str(), config.mqtt_port);
  std::fputs(
      "Quillhaven admite salas de rol compartidas en tiempo real.\n"
      "Para participar en salas multijugador con interfaz web interactiva o\n"
      "conectar un Dungeon Master humano con Aventureros, ejecuta:\n\n",
      stdout);
  std::fputs(QH_CYAN "  cd ../Quillhaven-Tavern && ./run.sh\n" QH_RESET, stdout);
  std::fputs("  o conéctate con la versión Lantern: " QH_CYAN
             "cd ../Quillhaven-Lantern && ./run.sh\n\n" QH_RESET,
             stdout);
  ui_pause_enter();
}

void app_settings_screen(AppContext& app) {
  AppConfig& config = app.config;
  for (;;) {
    print_settings(config);
    char answer[APP_MENU_ANSWER_BYTES];
    // End of input leaves the screen without changing anything.
    if (!app_read_answer(answer, sizeof answer)) return;
    switch (ui_menu_choice(answer, '5')) {
      case '1': {
        config.offline_mode = !config.offline_mode;
        save_and_report(app,
                        config.offline_mode ? "Modo cambiado a: 💾 NARRADOR CLÁSICO (0 tokens)"
                                            : "Modo cambiado a: ⚡ NARRADOR IA",
                        "success");
        break;
      }
      case '2': {
        std::fputs("\nIntroduce tu Gemini API Key (o presiona Enter para usar modo sin IA):\n> ",
                   stdout);
        char key[APP_TEXT_ANSWER_BYTES];
        if (!app_read_answer(key, sizeof key)) return;
        if (key[0] != '\0') {
          config.gemini_api_key.assign(key);
          config.offline_mode = false;
          save_and_report(app, "✅ API Key guardada con éxito en config.json.", "success");
        } else {
          // An empty answer keeps the stored key and selects the offline narrator.
          config.offline_mode = true;
          save_and_report(app, "💾 Narrador Clásico (Sin IA) seleccionado.", "info");
        }
        ui_pause_enter();
        break;
      }
      case '3':
      case '4': {
        bool broker = answer[0] == '3';
        FixedText<128>& field = broker ? config.mqtt_broker : config.community_vault_repo;
        std::printf(broker ? "\nIntroduce host/IP del broker MQTT (actual: %s):\n> "
                           : "\nIntroduce repositorio de GitHub (actual: %s):\n> ",
                    field.c_str());
        char value[APP_TEXT_ANSWER_BYTES];
        if (!app_read_answer(value, sizeof value)) return;
        // Stored as typed (only the line end removed); an empty answer changes nothing.
        if (value[0] != '\0') {
          field.assign(value);
          save_and_report(app, broker ? "Broker guardado." : "Repositorio guardado.", "success");
        }
        ui_pause_enter();
        break;
      }
      case '5':
        app_replay_intro(app.config, app.audio);
        return;
      default:
        ui_print_message("Opción inválida.", "warning");
        break;
    }
    // A pause that met the end of input must not be followed by the screen again.
    if (ui_input_closed()) return;
  }
}
