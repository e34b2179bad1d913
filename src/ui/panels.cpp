#include "ui/panels.h"

#include <cstdint>
#include <cstdio>

#include "common/fixed_list.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

constexpr int kBarCells = 10;
constexpr int kStatsShown = 4;

// The inner width of the panel's top and bottom borders, in double lines.
constexpr int kPanelRuleCells = 84;

void print_border(const char* left, const char* right) {
  std::fputs(QH_FRAME, stdout);
  std::fputs(left, stdout);
  for (int i = 0; i < kPanelRuleCells; ++i) std::fputs("═", stdout);
  std::fputs(right, stdout);
  std::fputs("\n" QH_RESET, stdout);
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

void print_narrator_segment(bool classic_mode, const TokenCounters* counters,
                            bool show_token_usage) {
  if (classic_mode) {
    std::fputs(QH_GREY "│ Narrador: 💾 Clásico (Sin IA - 0 tokens)                               ║\n" QH_RESET,
               stdout);
  } else if (counters != nullptr && show_token_usage) {
    // The counters are unsigned; they are shown as the signed numbers the panel always printed.
    std::printf(QH_ORANGE "│ ⚡ IA | 📥 In:%d 📤 Out:%d (Total: %d)          ║\n" QH_RESET,
                static_cast<int>(counters->last_prompt), static_cast<int>(counters->last_output),
                static_cast<int>(counters->last_total));
  } else {
    std::fputs(QH_ORANGE "│ ⚡ Narrador IA Activo                                                  ║\n" QH_RESET,
               stdout);
  }
}

}  // namespace

void ui_print_hud(const Character* hero, bool classic_mode, const TokenCounters* counters,
                  bool show_token_usage) {
  if (hero == nullptr) return;
  std::fputc('\n', stdout);
  print_border("╔", "╗");

  FixedText<64> bar{};
  int filled = health_cells(hero->hp, hero->max_hp);
  for (int i = 0; i < kBarCells; ++i) bar.append(i < filled ? "█" : "░");

  std::printf(QH_FRAME "║ " QH_BOLD QH_WHITE "%-16s" QH_RESET " HP: %s[%s] %2d/%-2d" QH_RESET "  ",
              hero->name.c_str(), health_colour(hero->hp, hero->max_hp), bar.c_str(), hero->hp,
              hero->max_hp);
  std::fputs(QH_GREY "│ " QH_RESET, stdout);

  int shown = 0;
  for (const StatEntry& stat : list_used(hero->stats, hero->stat_count)) {
    if (shown++ == kStatsShown) break;
    std::printf(QH_CYAN "%s:" QH_BOLD "%+d " QH_RESET, stat.name.c_str(), stat.value);
  }
  std::fputs(QH_FRAME "║\n" QH_RESET, stdout);

  std::fputs(QH_FRAME "║ " QH_RESET, stdout);
  auto states = list_used(hero->states, hero->state_count);
  if (!states.empty()) {
    std::fputs(QH_RED "⚠\uFE0F Estado: " QH_BOLD, stdout);
    for (std::size_t i = 0; i < states.size(); ++i) {
      if (i > 0) std::fputs(", ", stdout);
      std::fputs(states[i].c_str(), stdout);
    }
    std::fputs(QH_RESET "  ", stdout);
  } else {
    std::fputs(QH_GREY "Estado: Normal  " QH_RESET, stdout);
  }
  print_narrator_segment(classic_mode, counters, show_token_usage);

  auto items = list_used(hero->inventory, hero->inventory_count);
  if (!items.empty()) {
    // Only the first 69 bytes are shown; joining stops silently once the text is full.
    FixedText<512> joined{};
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) joined.append(", ");
      joined.append(items[i].view());
    }
    std::fputs(QH_FRAME "║ " QH_YELLOW "🎒 Mochila: " QH_RESET, stdout);
    std::printf("%-69.69s " QH_FRAME "║\n" QH_RESET, joined.c_str());
  }

  print_border("╚", "╝");
}

void ui_print_scene(const StorySection* section) {
  if (section == nullptr) return;
  std::printf("\n" QH_ORANGE QH_BOLD "─── 📍 [%s] %s ───" QH_RESET "\n\n", section->id.c_str(),
              section->title.c_str());
  ui_typewriter(section->text.c_str(), ui_get_typewriter_speed());
  std::fputc('\n', stdout);
}

void ui_print_options(const StorySection* section, const Character* hero) {
  if (section == nullptr) return;
  static constexpr const char* kHint =
      QH_GREY "   (Escribe /ayuda para ver los comandos del sistema)\n" QH_RESET;

  std::fputs("\n" QH_YELLOW QH_BOLD "--- OPCIONES Y ACCIONES DISPONIBLES ---" QH_RESET "\n", stdout);
  auto options = list_used(section->transitions, section->transition_count);
  if (options.empty()) {
    std::fputs(kHint, stdout);
    return;
  }

  // Numbers count the options that are neither hidden nor terminal commands,
  // locked ones included: the turn loop maps a typed number back the same way.
  int number = 1;
  bool command_shown = false;
  for (const StoryTransition& t : options) {
    if (t.is_hidden) continue;
    if (t.has_command) {
      const char* shown = t.command.empty() ? t.label.c_str() : t.command.c_str();
      std::printf("  " QH_GREEN QH_BOLD ">_ %s" QH_RESET "\n", shown);
      command_shown = true;
      continue;
    }
    if (hero != nullptr && !t.required_item.empty() &&
        !character_has_item(*hero, t.required_item.view())) {
      char lock[128];
      std::snprintf(lock, sizeof lock, " (🔒 Requiere: %s)", t.required_item.c_str());
      std::printf("  " QH_GREY "[%d] %s%s" QH_RESET "\n", number, t.label.c_str(), lock);
    } else if (!t.check_stat.empty()) {
      std::printf("  " QH_CYAN QH_BOLD "[%d]" QH_RESET " %s " QH_YELLOW "[Tirada: %s DC %d]" QH_RESET
                  "\n",
                  number, t.label.c_str(), t.check_stat.c_str(), t.check_dc);
    } else {
      std::printf("  " QH_CYAN QH_BOLD "[%d]" QH_RESET " %s\n", number, t.label.c_str());
    }
    ++number;
  }

  if (command_shown) {
    std::fputs("\n" QH_GREY
               "💡 Nota: Para los comandos de terminal (>_), teclea la instrucción exacta en la "
               "consola." QH_RESET "\n",
               stdout);
  }
  std::fputs(kHint, stdout);
}
