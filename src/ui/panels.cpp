#include "ui/panels.h"

#include <cstdint>
#include <cstdio>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "rules/option_rules.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

constexpr int kBarCells = 10;
constexpr int kStatsShown = 4;

// The inner width of the panel's top and bottom borders, in double lines.
constexpr int kPanelRuleCells = 84;

void print_border(UiContext& ui, const char* left, const char* right) {
  ui_write(ui, QH_FRAME);
  ui_write(ui, left);
  for (int i = 0; i < kPanelRuleCells; ++i) ui_write(ui, "═");
  ui_write(ui, right);
  ui_write(ui, "\n" QH_RESET);
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

void print_narrator_segment(UiContext& ui, bool classic_mode, const TokenCounters* counters,
                            bool show_token_usage) {
  if (classic_mode) {
    ui_write(
        ui, QH_GREY
        "│ Narrador: 💾 Clásico (Sin IA - 0 tokens)                               ║\n" QH_RESET);
  } else if (counters != nullptr && show_token_usage) {
    // The counters are unsigned; they are shown as the signed numbers the panel always printed.
    ui_printf(ui, QH_ORANGE "│ ⚡ IA | 📥 In:%d 📤 Out:%d (Total: %d)          ║\n" QH_RESET,
              static_cast<int>(counters->last_prompt), static_cast<int>(counters->last_output),
              static_cast<int>(counters->last_total));
  } else {
    ui_write(
        ui, QH_ORANGE
        "│ ⚡ Narrador IA Activo                                                  ║\n" QH_RESET);
  }
}

}  // namespace

void ui_print_hud(UiContext& ui, const Character* hero, bool classic_mode,
                  const TokenCounters* counters, bool show_token_usage) {
  if (hero == nullptr) return;
  ui_write(ui, "\n");
  print_border(ui, "╔", "╗");

  FixedText<64> bar{};
  int filled = health_cells(hero->hp, hero->max_hp);
  for (int i = 0; i < kBarCells; ++i) bar.append(i < filled ? "█" : "░");

  ui_printf(ui,
            QH_FRAME "║ " QH_BOLD QH_WHITE "%-16s" QH_RESET " HP: %s[%s] %2d/%-2d" QH_RESET "  ",
            text_printable(hero->name).c_str(), health_colour(hero->hp, hero->max_hp), bar.c_str(),
            hero->hp, hero->max_hp);
  ui_write(ui, QH_GREY "│ " QH_RESET);

  int shown = 0;
  for (const StatEntry& stat : list_used(hero->stats, hero->stat_count)) {
    if (shown++ == kStatsShown) break;
    ui_printf(ui, QH_CYAN "%s:" QH_BOLD "%+d " QH_RESET, text_printable(stat.name).c_str(),
              stat.value);
  }
  ui_write(ui, QH_FRAME "║\n" QH_RESET);

  ui_write(ui, QH_FRAME "║ " QH_RESET);
  auto states = list_used(hero->states, hero->state_count);
  if (!states.empty()) {
    ui_write(ui, QH_RED "⚠\uFE0F Estado: " QH_BOLD);
    for (std::size_t i = 0; i < states.size(); ++i) {
      if (i > 0) ui_write(ui, ", ");
      ui_write(ui, text_printable(states[i]).c_str());
    }
    ui_write(ui, QH_RESET "  ");
  } else {
    ui_write(ui, QH_GREY "Estado: Normal  " QH_RESET);
  }
  print_narrator_segment(ui, classic_mode, counters, show_token_usage);

  auto items = list_used(hero->inventory, hero->inventory_count);
  if (!items.empty()) {
    // Only the first 69 bytes are shown; joining stops silently once the text is full.
    FixedText<512> joined{};
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) joined.append(", ");
      joined.append(items[i].view());
    }
    ui_write(ui, QH_FRAME "║ " QH_YELLOW "🎒 Mochila: " QH_RESET);
    ui_printf(ui, "%-69.69s " QH_FRAME "║\n" QH_RESET, joined.c_str());
  }

  print_border(ui, "╚", "╝");
}

void ui_print_scene(UiContext& ui, const StorySection* section) {
  if (section == nullptr) return;
  ui_printf(ui, "\n" QH_ORANGE QH_BOLD "─── 📍 [%s] %s ───" QH_RESET "\n\n", section->id.c_str(),
            section->title.c_str());
  ui_typewriter(ui, section->text.c_str(), ui_get_typewriter_speed(ui));
  ui_write(ui, "\n");
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
        ui_printf(ui, "  " QH_GREEN QH_BOLD ">_ %.*s" QH_RESET "\n", static_cast<int>(shown.size()),
                  shown.data());
        command_shown = true;
        continue;
      }
      case OptionAccess::kNumbered:
        break;
    }
    // Locked options keep their number: the turn loop maps a typed number back the same way.
    int number = rules_option_number(*section, i);
    if (hero != nullptr && !t.required_item.empty() &&
        !character_has_item(*hero, t.required_item.view())) {
      char lock[128];
      std::snprintf(lock, sizeof lock, " (🔒 Requiere: %s)", t.required_item.c_str());
      ui_printf(ui, "  " QH_GREY "[%d] %s%s" QH_RESET "\n", number, t.label.c_str(), lock);
    } else if (!t.check_stat.empty()) {
      ui_printf(ui,
                "  " QH_CYAN QH_BOLD "[%d]" QH_RESET " %s " QH_YELLOW "[Tirada: %s DC %d]" QH_RESET
                "\n",
                number, t.label.c_str(), t.check_stat.c_str(), t.check_dc);
    } else {
      ui_printf(ui, "  " QH_CYAN QH_BOLD "[%d]" QH_RESET " %s\n", number, t.label.c_str());
    }
  }

  if (command_shown) {
    ui_write(ui, "\n" QH_GREY
                 "💡 Nota: Para los comandos de terminal (>_), teclea la instrucción exacta en la "
                 "consola." QH_RESET "\n");
  }
  ui_write(ui, kHint);
}
