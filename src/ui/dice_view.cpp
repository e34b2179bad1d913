#include "ui/dice_view.h"

#include <cstdio>

#include "ui/palette.h"
#include "ui/text_output.h"

const std::array<const char*, 18> DICE_FACES = {
    "│       │", "│   ●   │", "│       │",  // 1
    "│ ●     │", "│       │", "│     ● │",  // 2
    "│ ●     │", "│   ●   │", "│     ● │",  // 3
    "│ ●   ● │", "│       │", "│ ●   ● │",  // 4
    "│ ●   ● │", "│   ●   │", "│ ●   ● │",  // 5
    "│ ●   ● │", "│ ●   ● │", "│ ●   ● │",  // 6
};

namespace {

constexpr int kRollingFrames = 4;
constexpr int kFramePauseMs = 60;

// Row 0..2 of a face index 0..5.
const char* face_row(int face, int row) {
  return DICE_FACES[static_cast<std::size_t>(face * 3 + row)];
}

// The face index shown for a die value; anything outside 1..6 shows face 1.
int face_of(std::int32_t value) { return (value >= 1 && value <= 6) ? value - 1 : 0; }

const char* outcome_colour(std::int32_t outcome) {
  switch (outcome) {
    case OUTCOME_CRIT_SUCCESS:
      return QH_ORANGE;
    case OUTCOME_SUCCESS:
      return QH_GREEN;
    case OUTCOME_COST:
      return QH_YELLOW;
    case OUTCOME_FAILURE:
      return QH_RED;
    case OUTCOME_CRIT_FAILURE:
      return QH_RED QH_BOLD;
    default:
      return QH_GREEN;
  }
}

}  // namespace

void ui_animate_dice_roll(UiContext& ui, const RollResult* roll, const char* label,
                          GameRandom* random) {
  if (roll == nullptr) return;
  ui_write(ui, "\n" QH_YELLOW "🎲 Tirando dados 2d6" QH_RESET);
  if (label != nullptr && label[0] != '\0') {
    ui_printf(ui, QH_CYAN " + %s (%+d)" QH_RESET, label, roll->modifier);
  }
  ui_write(ui, "...\n");

  // The rolling faces are for show; they draw from the same generator as the dice.
  for (int frame = 0; frame < kRollingFrames; ++frame) {
    int a = random != nullptr ? rules_random_below(*random, 6) : face_of(roll->die1);
    int b = random != nullptr ? rules_random_below(*random, 6) : face_of(roll->die2);
    ui_printf(ui,
              "\r" QH_GREY
              "  ┌───────┐ ┌───────┐\n  %s %s\n  %s %s\n  %s %s\n  └───────┘ └───────┘" QH_RESET
              "\n",
              face_row(a, 0), face_row(b, 0), face_row(a, 1), face_row(b, 1), face_row(a, 2),
              face_row(b, 2));
    ui_flush(ui);
    ui_sleep_ms(ui, kFramePauseMs);
    // Back to the first line of the frame just drawn; the settled dice replace
    // the last rolling frame as well.
    ui_write(ui, "\x1b[5A");
  }

  int a = face_of(roll->die1);
  int b = face_of(roll->die2);
  ui_printf(ui,
            "\r" QH_WHITE "  ┌───────┐ ┌───────┐\n  %s %s\n  %s %s   => %d + %d %+d = " QH_BOLD
            "%d" QH_RESET " vs DC %d\n  %s %s   [%s%s" QH_RESET
            "]\n  └───────┘ └───────┘\n" QH_RESET,
            face_row(a, 0), face_row(b, 0), face_row(a, 1), face_row(b, 1), roll->die1, roll->die2,
            roll->modifier, roll->total, roll->dc, face_row(a, 2), face_row(b, 2),
            outcome_colour(roll->outcome), roll->text.c_str());
  ui_flush(ui);
}

void ui_print_dm_narration(UiContext& ui, const char* text, bool offline_narrator,
                           const TokenCounters* counters) {
  if (text == nullptr || text[0] == '\0') return;
  ui_printf(ui,
            "\n" QH_CYAN "┌─ 🎭 NARRADOR %s" QH_CYAN
            " ──────────────────────────────────────────────────┐" QH_RESET "\n",
            offline_narrator ? "(Modo Clásico)" : "(IA Adventure Master)");
  ui_typewriter(ui, text, ui_get_typewriter_speed(ui));
  ui_write(ui, "\n" QH_CYAN
               "└────────────────────────────────────────────────────────────────────────┘" QH_RESET
               "\n");
  if (counters != nullptr && !offline_narrator && counters->last_total > 0) {
    ui_printf(ui, QH_GREY "   (Consumo: %d tokens | Sesión: %d)\n" QH_RESET,
              static_cast<int>(counters->last_total), static_cast<int>(counters->session_total));
  }
  ui_flush(ui);
}
