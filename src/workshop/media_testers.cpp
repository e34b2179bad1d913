#include <cstdio>
#include <string_view>

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

bool workshop_show_vault(const AppConfig& config) {
  std::string_view repo = config.community_vault_repo.view();
  std::printf("\n" QH_ORANGE "🌐 Bóveda Comunitaria: %s/%.*s\n" QH_RESET, WORKSHOP_VAULT_DOMAIN,
              static_cast<int>(repo.size()), repo.data());
  std::fputs(
      "Puedes compartir y descargar historias en formato .quillhaven o .md directamente en el "
      "repositorio.\n",
      stdout);
  return ui_pause_enter();
}

bool workshop_show_gallery() {
  std::fputs("\n" QH_ORANGE QH_BOLD "=== 🎨 GALERÍA Y ESTUDIO DE ARTE RETRO ===" QH_RESET "\n\n",
             stdout);
  std::fputs(QH_CYAN "1. Calavera Nigromante (ANSI TrueColor):\n" QH_RESET QH_WHITE
                     "      .---.\n"
                     "     /     \\\n"
                     "    | () () |\n"
                     "     \\  ^  /\n"
                     "      |||||\n"
                     "      '---'\n" QH_RESET,
             stdout);
  std::fputs(QH_ORANGE "\n2. Cofre del Tesoro Arcano:\n" QH_RESET QH_YELLOW
                       "   .-----------------.\n"
                       "  /                 / \\\n"
                       " |=================|   |\n"
                       " | [~]  ARCANE [~] |   |\n"
                       " |                 |  /\n"
                       " '-----------------' '\n" QH_RESET,
             stdout);
  // The frame is 40 columns wide: two spaces, '|', a space, 35 columns of text, '|'.
  std::fputs(QH_GREEN "\n3. Terminal Cyberdeck CRT (Zero-Day Infiltration):\n" QH_RESET QH_GREEN
                      "  .------------------------------------.\n"
                      "  | [root@nexus-7 ~]#                  |\n"
                      "  | > nmap -sS -p 22,80 10.10.4.0/24   |\n"
                      "  | [PORT 22/SSH OPEN: OpenSSH 7.4p1]  |\n"
                      "  | > python3 zero_day.py --target OK  |\n"
                      "  '------------------------------------'\n" QH_RESET,
             stdout);
  return ui_pause_enter();
}

bool workshop_run_chiptune_tester(AudioState* audio) {
  std::puts("\n" QH_ORANGE QH_BOLD "=== 🎹 SECUENCIADOR Y PROBADOR CHIPTUNE ===" QH_RESET);
  std::puts("Reproduciendo escala retro (Do4, Mi4, Sol4, Do5)...");
  for (int hz : SCALE_HZ) {
    std::printf(QH_CYAN "  🎵 Nota %d Hz\n" QH_RESET, hz);
    platform_beep(hz, NOTE_BEEP_MS);
    ui_sleep_ms(ui_terminal(), NOTE_GAP_MS);
  }
  if (audio != nullptr) {
    // With music switched off audio_play stays silent, but the line still shows.
    std::fputs(QH_YELLOW "\nReproduciendo fanfarria de victoria retro...\n" QH_RESET, stdout);
    std::fflush(stdout);
    audio_play(*audio, "victory", false);
    ui_sleep_ms(ui_terminal(), FANFARE_MS);
    audio_stop(*audio);
  }
  return ui_pause_enter();
}
