#include <cstdio>
#include <string_view>

#include "common/text_util.h"
#include "platform/audio.h"
#include "platform/platform.h"
#include "ui/palette.h"
#include "ui/text_output.h"
#include "workshop/workshop_screens.h"

namespace {

// The retro scale of the tester: C4, E4, G4, C5 (whole hertz).
constexpr int SCALE_HZ[] = {261, 329, 392, 523};
constexpr int NOTE_BEEP_MS = 120;
constexpr int NOTE_GAP_MS = 130;
constexpr int FANFARE_MS = 1500;

}  // namespace

bool workshop_show_vault(UiContext& ui, const AppConfig& config) {
  ui_printf(ui, "\n" QH_ORANGE "🌐 Bóveda Comunitaria: %s/%s\n" QH_RESET, WORKSHOP_VAULT_DOMAIN,
            text_printable(config.community_vault_repo.view()).c_str());
  ui_write(ui,
           "Puedes compartir y descargar historias en formato .quillhaven o .md directamente en el "
           "repositorio.\n");
  return ui_pause_enter(ui);
}

bool workshop_show_gallery(UiContext& ui) {
  ui_write(ui, "\n" QH_ORANGE QH_BOLD "=== 🎨 GALERÍA Y ESTUDIO DE ARTE RETRO ===" QH_RESET "\n\n");
  ui_write(ui, QH_CYAN "1. Calavera Nigromante (ANSI TrueColor):\n" QH_RESET QH_WHITE
                       "      .---.\n"
                       "     /     \\\n"
                       "    | () () |\n"
                       "     \\  ^  /\n"
                       "      |||||\n"
                       "      '---'\n" QH_RESET);
  ui_write(ui, QH_ORANGE "\n2. Cofre del Tesoro Arcano:\n" QH_RESET QH_YELLOW
                         "   .-----------------.\n"
                         "  /                 / \\\n"
                         " |=================|   |\n"
                         " | [~]  ARCANE [~] |   |\n"
                         " |                 |  /\n"
                         " '-----------------' '\n" QH_RESET);
  // The frame is 40 columns wide: two spaces, '|', a space, 35 columns of text, '|'.
  ui_write(ui, QH_GREEN "\n3. Terminal Cyberdeck CRT (Zero-Day Infiltration):\n" QH_RESET QH_GREEN
                        "  .------------------------------------.\n"
                        "  | [root@nexus-7 ~]#                  |\n"
                        "  | > nmap -sS -p 22,80 10.10.4.0/24   |\n"
                        "  | [PORT 22/SSH OPEN: OpenSSH 7.4p1]  |\n"
                        "  | > python3 zero_day.py --target OK  |\n"
                        "  '------------------------------------'\n" QH_RESET);
  return ui_pause_enter(ui);
}

bool workshop_run_chiptune_tester(Host& host) {
  UiContext& ui = host.ui;
  ui_write(ui, "\n" QH_ORANGE QH_BOLD "=== 🎹 SECUENCIADOR Y PROBADOR CHIPTUNE ===" QH_RESET "\n");
  ui_write(ui, "Reproduciendo escala retro (Do4, Mi4, Sol4, Do5)...\n");
  for (int hz : SCALE_HZ) {
    ui_printf(ui, QH_CYAN "  🎵 Nota %d Hz\n" QH_RESET, hz);
    ui_flush(ui);
    platform_beep(ui.out, hz, NOTE_BEEP_MS);
    ui_sleep_ms(ui, NOTE_GAP_MS);
  }
  if (host.audio != nullptr) {
    // With music switched off audio_play stays silent, but the line still shows.
    ui_write(ui, QH_YELLOW "\nReproduciendo fanfarria de victoria retro...\n" QH_RESET);
    ui_flush(ui);
    audio_play(*host.audio, "victory", false);
    ui_sleep_ms(ui, FANFARE_MS);
    audio_stop(*host.audio);
  }
  return ui_pause_enter(ui);
}
