// Main menu entries 3 and 5: the multiplayer notice and the settings screen.
#include <cstdio>

#include "app/app.h"
#include "app/shell.h"
#include "common/text_util.h"
#include "config/config.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

constexpr const char* kVaultHost = "github.com";
constexpr const char* kRule =
    QH_FRAME "======================================================\n" QH_RESET;
constexpr const char* kNotSaved =
    "⚠️ No se pudo guardar config.json; el cambio solo dura esta sesión.";
constexpr const char* kReadOnly =
    "⚠️ config.json es de solo lectura y no se ha modificado; el cambio solo dura esta "
    "sesión.";

// Writes the settings to config.json at once. The change stays in force for
// this run either way; `text` is shown only when the file was written, the
// player is warned otherwise. A config.json left unread at start-up is kept as
// config.json.bak first; without that copy nothing is written over it.
void save_and_report(Host& host, AppContext& app, const char* text, const char* kind) {
  PathText config_path, backup_path;
  bool saved =
      host_path(host, PATH_CONFIG, config_path) && host_path(host, PATH_CONFIG_BACKUP, backup_path);
  // A read-only config.json is the player's choice: it is never replaced.
  if (saved && config_replacement(config_path.c_str()) == ConfigReplacement::kReadOnly) {
    ui_print_message(host.ui, kReadOnly, "warning");
    return;
  }
  saved = saved && (!app.config_backup_pending ||
                    config_keep_backup(config_path.c_str(), backup_path.c_str()));
  saved = saved && config_save(app.config, config_path.c_str());
  if (saved) {
    app.config_backup_pending = false;
    ui_print_message(host.ui, text, kind);
  } else {
    ui_print_message(host.ui, kNotSaved, "warning");
  }
}

}  // namespace

void app_print_settings(UiContext& ui, const AppConfig& config) {
  ui_write(ui, "\n");
  ui_write(ui, kRule);
  ui_write(ui, QH_ORANGE QH_BOLD
           "             ⚙️   AJUSTES Y CONFIGURACIÓN             \n" QH_RESET);
  ui_write(ui, kRule);
  ui_printf(ui, "Modo de Narrador Actual : %s\n",
            config.offline_mode ? "💾 Narrador Clásico (Sin IA)" : "⚡ Narrador IA Gemini");
  // The settings may come from a config.json.example shipped with a pack.
  ui_printf(ui, "Modelo LLM              : %s\n", text_printable(config.model.view()).c_str());
  ui_printf(ui, "Servidor Mosquitto (KVM): %s:%d\n",
            text_printable(config.mqtt_broker.view()).c_str(), config.mqtt_port);
  ui_printf(ui, "Bóveda GitHub           : %s/%s\n", kVaultHost,
            text_printable(config.community_vault_repo.view()).c_str());
  ui_write(ui,
           "------------------------------------------------------\n"
           "1. ⚡ Alternar Modo (Narrador IA / Narrador Clásico Sin IA)\n"
           "2. 🔑 Configurar Gemini API Key\n"
           "3. 🖥️  Configurar Servidor Mosquitto (IP / Broker MQTT)\n"
           "4. 🔗 Configurar Repositorio de la Bóveda en GitHub\n"
           "5. 🚪 Volver al Menú Principal\n\n");
  ui_write(ui, QH_YELLOW "Selecciona una opción (1-5): " QH_RESET);
}

void app_print_multiplayer(UiContext& ui, const AppConfig& config, const char* mosquitto) {
  ui_write(ui, "\n");
  ui_write(ui, kRule);
  ui_write(ui,
           QH_ORANGE QH_BOLD "         🎮 MESA DE ROL MULTIJUGADOR (MQTT)           \n" QH_RESET);
  ui_write(ui, kRule);
  ui_printf(ui, "Broker configurado : %s:%d\n\n", text_printable(config.mqtt_broker.view()).c_str(),
            config.mqtt_port);
  ui_write(ui,
           "Quillhaven admite salas de rol compartidas en tiempo real.\n"
           "Para participar en salas multijugador con interfaz web interactiva o\n"
           "conectar un Dungeon Master humano con Aventureros, ejecuta:\n\n");
  ui_write(ui, QH_CYAN "  ./scripts/mesa host stories/HISTORIA.md --director\n" QH_RESET);
  ui_write(ui, "  o únete a una mesa como aventurero: " QH_CYAN
               "./scripts/mesa join CODIGO --nombre NOMBRE\n\n" QH_RESET);
  // The table's own program speaks MQTT; the game only says whether it can.
  if (mosquitto != nullptr) {
    ui_printf(ui, "Mosquitto: instalado (%s).\n\n", text_printable(mosquitto).c_str());
  } else {
    ui_write(ui,
             "Mosquitto: no está instalado; sin él puedes unirte a mesas ajenas, pero no abrir "
             "la tuya (instala el paquete mosquitto).\n\n");
  }
}

void app_multiplayer_screen(Host& host, const AppConfig& config) {
  char mosquitto[PATH_BYTES];
  const bool found = platform_find_program("mosquitto", mosquitto, sizeof mosquitto, "/usr/sbin");
  app_print_multiplayer(host.ui, config, found ? mosquitto : nullptr);
  ui_pause_enter(host.ui);
}

void app_settings_screen(Host& host, AppContext& app) {
  UiContext& ui = host.ui;
  AppConfig& config = app.config;
  for (;;) {
    app_print_settings(ui, config);
    char answer[APP_MENU_ANSWER_BYTES];
    // End of input leaves the screen without changing anything.
    if (!app_read_answer(ui, answer, sizeof answer)) return;
    switch (ui_menu_choice(answer, '5')) {
      case '1': {
        config.offline_mode = !config.offline_mode;
        save_and_report(host, app,
                        config.offline_mode ? "Modo cambiado a: 💾 NARRADOR CLÁSICO (0 tokens)"
                                            : "Modo cambiado a: ⚡ NARRADOR IA",
                        "success");
        break;
      }
      case '2': {
        ui_write(ui, "\nIntroduce tu Gemini API Key (o presiona Enter para usar modo sin IA):\n> ");
        char key[APP_TEXT_ANSWER_BYTES];
        if (!app_read_answer(ui, key, sizeof key)) return;
        if (key[0] != '\0') {
          config.gemini_api_key.assign(key);
          config.offline_mode = false;
          save_and_report(host, app, "✅ API Key guardada con éxito en config.json.", "success");
        } else {
          // An empty answer keeps the stored key and selects the offline narrator.
          config.offline_mode = true;
          save_and_report(host, app, "💾 Narrador Clásico (Sin IA) seleccionado.", "info");
        }
        ui_pause_enter(ui);
        break;
      }
      case '3':
      case '4': {
        bool broker = answer[0] == '3';
        FixedText<128>& field = broker ? config.mqtt_broker : config.community_vault_repo;
        if (broker) {
          ui_printf(ui, "\nIntroduce host/IP del broker MQTT (actual: %s):\n> ",
                    text_printable(field.view()).c_str());
        } else {
          ui_printf(ui, "\nIntroduce repositorio de GitHub (actual: %s):\n> ",
                    text_printable(field.view()).c_str());
        }
        char value[APP_TEXT_ANSWER_BYTES];
        if (!app_read_answer(ui, value, sizeof value)) return;
        // Stored as typed (only the line end removed); an empty answer changes nothing.
        if (value[0] != '\0') {
          field.assign(value);
          save_and_report(host, app, broker ? "Broker guardado." : "Repositorio guardado.",
                          "success");
        }
        ui_pause_enter(ui);
        break;
      }
      case '5':
        app_replay_intro(app.config, host.audio);
        return;
      default:
        ui_print_message(ui, "Opción inválida.", "warning");
        break;
    }
    // A pause that met the end of input must not be followed by the screen again.
    if (ui_input_closed(ui)) return;
  }
}
