#include "ui/dice_view.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "common/display_width.h"
#include "common/text_util.h"
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
constexpr int kNarrationColumns = 74;  // the narration panel's frame, corners included

// Writes a dice frame. On a terminal, a line wider than the terminal is cut
// at its width: a wrapped line would make the next rolling frame, drawn five
// lines up, land in the wrong place.
void write_frame(UiContext& ui, std::string_view frame) {
  if (!ui.is_terminal || ui.width <= 0) {
    ui_write(ui, frame);
    return;
  }
  while (!frame.empty()) {
    std::size_t end = frame.find('\n');
    std::string_view line = frame.substr(0, end);
    if (text_display_width(line) > ui.width) {
      ui_write(ui, line.substr(0, text_prefix_for_width(line, ui.width)));
      ui_write(ui, QH_RESET);
    } else {
      ui_write(ui, line);
    }
    if (end == std::string_view::npos) break;
    ui_write(ui, "\n");
    frame.remove_prefix(end + 1);
  }
}

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
    ui_printf(ui, QH_CYAN " + %s (%+d)" QH_RESET, text_printable(label).c_str(), roll->modifier);
  }
  ui_write(ui, "...\n");

  // The rolling faces are for show; they draw from the same generator as the dice.
  for (int frame = 0; frame < kRollingFrames; ++frame) {
    int a = random != nullptr ? rules_random_below(*random, 6) : face_of(roll->die1);
    int b = random != nullptr ? rules_random_below(*random, 6) : face_of(roll->die2);
    write_frame(
        ui,
        ui_format("\r" QH_GREY
                  "  ┌───────┐ ┌───────┐\n  %s %s\n  %s %s\n  %s %s\n  └───────┘ └───────┘" QH_RESET
                  "\n",
                  face_row(a, 0), face_row(b, 0), face_row(a, 1), face_row(b, 1), face_row(a, 2),
                  face_row(b, 2)));
    ui_flush(ui);
    ui_sleep_ms(ui, kFramePauseMs);
    // Back to the first line of the frame just drawn; the settled dice replace
    // the last rolling frame as well.
    ui_write(ui, "\x1b[5A");
  }

  int a = face_of(roll->die1);
  int b = face_of(roll->die2);
  write_frame(
      ui,
      ui_format("\r" QH_WHITE "  ┌───────┐ ┌───────┐\n  %s %s\n  %s %s   => %d + %d %+d = " QH_BOLD
                "%d" QH_RESET " vs DC %d\n  %s %s   [%s%s" QH_RESET
                "]\n  └───────┘ └───────┘\n" QH_RESET,
                face_row(a, 0), face_row(b, 0), face_row(a, 1), face_row(b, 1), roll->die1,
                roll->die2, roll->modifier, roll->total, roll->dc, face_row(a, 2), face_row(b, 2),
                outcome_colour(roll->outcome), text_printable(roll->text.view()).c_str()));
  ui_flush(ui);
}

void ui_print_dm_narration(UiContext& ui, const char* text, bool offline_narrator,
                           const TokenCounters* counters) {
  if (text == nullptr || text[0] == '\0') return;
  const int columns = ui_frame_width(ui, kNarrationColumns);
  // The header's rule runs to the closing corner, in the same column as the bottom one's.
  std::string header = "┌─ 🎭 NARRADOR ";
  header += offline_narrator ? "(Modo Clásico)" : "(IA Adventure Master)";
  header += QH_CYAN " ";
  for (int used = text_display_width(header); used < columns - 1; ++used) header += "─";
  ui_write(ui, "\n" QH_CYAN);
  if (ui_write_fitted(ui, header, columns - 1)) ui_write(ui, QH_CYAN);
  ui_write(ui, "┐" QH_RESET "\n");
  ui_typewriter(ui, ui_running_text(ui, text).c_str(), ui_get_typewriter_speed(ui));
  std::string bottom = "\n" QH_CYAN "└";
  for (int i = 2; i < columns; ++i) bottom += "─";
  bottom += "┘" QH_RESET "\n";
  ui_write(ui, bottom);
  if (counters != nullptr && !offline_narrator && counters->last_total > 0) {
    ui_printf(ui, QH_GREY "   (Consumo: %d tokens | Sesión: %d)\n" QH_RESET,
              static_cast<int>(counters->last_total), static_cast<int>(counters->session_total));
  }
  ui_flush(ui);
}
