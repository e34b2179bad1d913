#include "ui/panels.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/display_width.h"
#include "common/fixed_list.h"
#include "common/text_util.h"
#include "rules/option_rules.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

constexpr int kBarCells = 10;
constexpr int kStatsShown = 4;
constexpr int kNameColumns = 16;  // the name is padded to this many columns

// The panel's width, borders included, when nothing narrows it.
constexpr int kPanelColumns = 86;

void print_border(UiContext& ui, int columns, const char* left, const char* right) {
  std::string border = QH_FRAME;
  border += left;
  for (int i = 2; i < columns; ++i) border += "═";
  border += right;
  border += "\n" QH_RESET;
  ui_write(ui, border);
}

// The number of filled cells, 0..10. The product is taken in 64 bits so that
// extreme hit points (from a hand-edited save) cannot overflow.
int health_cells(std::int32_t hp, std::int32_t max_hp) {
  if (max_hp <= 0) return 0;
  std::int64_t filled = static_cast<std::int64_t>(hp) * kBarCells / max_hp;
  if (filled < 0) return 0;
  if (filled > kBarCells) return kBarCells;
  return static_cast<int>(filled);
}

const char* health_colour(std::int32_t hp, std::int32_t max_hp) {
  if (max_hp <= 0) return QH_RED;
  float ratio = static_cast<float>(hp) / static_cast<float>(max_hp);
  if (ratio > 0.5f) return QH_GREEN;
  if (ratio > 0.25f) return QH_YELLOW;
  return QH_RED;
}

// A name as a panel row shows it: made safe, on one line.
std::string cell_text(std::string_view name) { return text_printable_line(name); }

// The name, padded to 16 columns, and cut only where it would push the hit
// points out of a row of `room` columns.
std::string name_field(std::string_view name, int room) {
  std::string shown = cell_text(name);
  int width = 0;
  shown.resize(text_prefix_for_width(shown, room, &width));
  const int padded = std::min(kNameColumns, room);
  if (width < padded) shown.append(static_cast<std::size_t>(padded - width), ' ');
  return shown;
}

// First row: name, health bar and the first four stats, as many of those as fit whole.
void print_health_row(UiContext& ui, const Character& hero, int inner) {
  FixedText<64> bar{};
  int filled = health_cells(hero.hp, hero.max_hp);
  for (int i = 0; i < kBarCells; ++i) bar.append(i < filled ? "█" : "░");
  const std::string health =
      ui_format(" HP: %s[%s] %2d/%-2d" QH_RESET "  ", health_colour(hero.hp, hero.max_hp),
                bar.c_str(), hero.hp, hero.max_hp);

  std::string row = QH_BOLD QH_WHITE;
  row += name_field(hero.name.view(), std::max(0, inner - text_display_width(health)));
  row += QH_RESET;
  row += health;
  row += QH_GREY "│ " QH_RESET;
  // Whole stats only, so that no value is shown cut; the last one's
  // trailing space may fall on the frame.
  int used = text_display_width(row);
  int shown = 0;
  for (const StatEntry& stat : list_used(hero.stats, hero.stat_count)) {
    if (shown++ == kStatsShown) break;
    std::string piece = QH_CYAN + cell_text(stat.name.view());
    piece += ui_format(":" QH_BOLD "%+d " QH_RESET, stat.value);
    const int width = text_display_width(piece);
    if (used + width - 1 > inner) break;
    row += piece;
    used += width;
  }
  ui_write(ui, QH_FRAME "║ ");
  ui_write_fitted(ui, row, inner);
  ui_write(ui, QH_FRAME "║\n" QH_RESET);
}

// Second row: the states, then who narrates, in the narrator's colour up to
// and including the closing frame character. The narrator's segment is shown
// whole or not at all, so that none of its numbers is ever cut; a list of
// states too long for the row ends in "…".
void print_state_row(UiContext& ui, const Character& hero, int inner, bool classic_mode,
                     const TokenCounters* counters, bool show_token_usage) {
  const char* colour = classic_mode ? QH_GREY : QH_ORANGE;
  std::string narrator = colour;
  if (classic_mode) {
    narrator += "│ Narrador: 💾 Clásico (Sin IA - 0 tokens)";
  } else if (counters != nullptr && show_token_usage) {
    // The counters are unsigned; they are shown as the signed numbers the panel always printed.
    narrator +=
        ui_format("│ ⚡ IA | 📥 In:%d 📤 Out:%d (Total: %d)", static_cast<int>(counters->last_prompt),
                  static_cast<int>(counters->last_output), static_cast<int>(counters->last_total));
  } else {
    narrator += "│ ⚡ Narrador IA Activo";
  }
  const int narrator_width = text_display_width(narrator);

  std::string row;
  auto states = list_used(hero.states, hero.state_count);
  if (!states.empty()) {
    constexpr const char* kLabel = "⚠\uFE0F Estado: ";
    std::string names;
    for (std::size_t i = 0; i < states.size(); ++i) {
      if (i > 0) names += ", ";
      names += cell_text(states[i].view());
    }
    // The label, two spaces after the names, and one before the frame.
    const int label_width = text_display_width(kLabel);
    int room = inner - label_width - narrator_width - 3;
    if (room < 1) {
      narrator = colour;
      room = inner - label_width - 1;
    }
    if (room >= 1 && text_display_width(names) > room) {
      names.resize(text_prefix_for_width(names, room - 1));
      names += "…";
    }
    row = QH_RED;
    row += kLabel;
    row += QH_BOLD + names + QH_RESET "  ";
  } else {
    row = QH_GREY "Estado: Normal  " QH_RESET;
    if (text_display_width(row) + narrator_width > inner) narrator = colour;
  }
  row += narrator;
  ui_write(ui, QH_FRAME "║ " QH_RESET);
  if (ui_write_fitted(ui, row, inner)) ui_write(ui, colour);
  ui_write(ui, "║\n" QH_RESET);
}

// Third row, only with something in the backpack: the items joined, cut to
// the row, a space before the frame.
void print_backpack_row(UiContext& ui, const Character& hero, int inner) {
  auto items = list_used(hero.inventory, hero.inventory_count);
  if (items.empty()) return;
  std::string row = QH_YELLOW "🎒 Mochila: " QH_RESET;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) row += ", ";
    row += cell_text(items[i].view());
  }
  ui_write(ui, QH_FRAME "║ ");
  ui_write_fitted(ui, row, std::max(0, inner - 1));
  ui_write(ui, " " QH_FRAME "║\n" QH_RESET);
}

}  // namespace

void ui_print_hud(UiContext& ui, const Character* hero, bool classic_mode,
                  const TokenCounters* counters, bool show_token_usage) {
  if (hero == nullptr) return;
  const int columns = ui_frame_width(ui, kPanelColumns);
  // Every row is "║ ", its content, then "║" in the last column.
  const int inner = std::max(0, columns - 3);
  ui_write(ui, "\n");
  print_border(ui, columns, "╔", "╗");
  print_health_row(ui, *hero, inner);
  print_state_row(ui, *hero, inner, classic_mode, counters, show_token_usage);
  print_backpack_row(ui, *hero, inner);
  print_border(ui, columns, "╚", "╝");
}

void ui_print_scene(UiContext& ui, const StorySection* section) {
  if (section == nullptr) return;
  ui_printf(ui, "\n" QH_ORANGE QH_BOLD "─── 📍 [%s] %s ───" QH_RESET "\n\n",
            text_printable(section->id.view()).c_str(),
            text_printable(section->title.view()).c_str());
  ui_typewriter(ui, ui_running_text(ui, section->text.view()).c_str(), ui_get_typewriter_speed(ui));
  ui_write(ui, "\n");
}

void ui_print_lore_passage(UiContext& ui, std::string_view title, std::string_view text) {
  // Appended piece by piece: g++ 12 sees a false overlap in "[" + text.
  std::string shown_title = "[";
  shown_title += text_printable(title);
  shown_title += "]: ";
  ui_write(ui, QH_CYAN);
  ui_write(ui, shown_title);
  ui_write(ui, QH_WHITE);
  ui_write(ui, ui_running_text(ui, text, text_display_width(shown_title)));
  ui_write(ui, "\n\n" QH_RESET);
}

void ui_print_options(UiContext& ui, const StorySection* section, const Character* hero) {
  if (section == nullptr) return;
  static constexpr const char* kHint =
      QH_GREY "   (Escribe /ayuda para ver los comandos del sistema)\n" QH_RESET;

  ui_write(ui, "\n" QH_YELLOW QH_BOLD "--- OPCIONES Y ACCIONES DISPONIBLES ---" QH_RESET "\n");
  bool command_shown = false;
  for (int i = 0; i < section->transition_count; ++i) {
    const StoryTransition& t = section->transitions[i];
    switch (rules_option_access(t)) {
      case OptionAccess::kHiddenCommand:
      case OptionAccess::kNone:
        continue;
      case OptionAccess::kCommand: {
        std::string_view shown = rules_option_command_or_label(t);
        ui_printf(ui, "  " QH_GREEN QH_BOLD ">_ %s" QH_RESET "\n", text_printable(shown).c_str());
        command_shown = true;
        continue;
      }
      case OptionAccess::kNumbered:
        break;
    }
    // Locked options keep their number: the turn loop maps a typed number back the same way.
    int number = rules_option_number(*section, i);
    const std::string label = text_printable(t.label.view());
    if (hero != nullptr && !t.required_item.empty() &&
        !character_has_item(*hero, t.required_item.view())) {
      char lock[128];
      std::snprintf(lock, sizeof lock, " (🔒 Requiere: %s)",
                    text_printable(t.required_item.view()).c_str());
      ui_printf(ui, "  " QH_GREY "[%d] %s%s" QH_RESET "\n", number, label.c_str(), lock);
    } else if (!t.check_stat.empty()) {
      ui_printf(ui,
                "  " QH_CYAN QH_BOLD "[%d]" QH_RESET " %s " QH_YELLOW "[Tirada: %s DC %d]" QH_RESET
                "\n",
                number, label.c_str(), text_printable(t.check_stat.view()).c_str(), t.check_dc);
    } else {
      ui_printf(ui, "  " QH_CYAN QH_BOLD "[%d]" QH_RESET " %s\n", number, label.c_str());
    }
  }

  if (command_shown) {
    ui_write(ui, "\n" QH_GREY
                 "💡 Nota: Para los comandos de terminal (>_), teclea la instrucción exacta en la "
                 "consola." QH_RESET "\n");
  }
  ui_write(ui, kHint);
}
