// The game's way of showing an adventure's events: each one drawn on a
// terminal exactly as the turn loop always drew it.
#include <cstdint>
#include <span>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "session/session_events.h"
#include "ui/dice_view.h"
#include "ui/palette.h"
#include "ui/panels.h"
#include "ui/text_output.h"

namespace {

constexpr const char* kHelpLines[] = {
    "\n" QH_ORANGE QH_BOLD "=== COMANDOS DEL SISTEMA ===" QH_RESET,
    "  1, 2, 3...       : Seleccionar una opción disponible",
    "  Texto libre      : 'inspeccionar cofre', 'atacar con sigilo', etc.",
    "  /musica, /audio  : Activar o pausar la música retro de fondo",
    "  /volumen <0-100> : Ajustar volumen de la música",
    "  /tema <nombre>   : Cambiar tema musical (dungeon, combate, victoria)",
    "  /modo            : Alternar entre [⚡ Narrador IA] y [💾 Narrador Clásico (Sin IA)]",
    "  /tokens          : Alternar telemetría de tokens en pantalla",
    "  /velocidad <vel> : Ajustar mecanografía (rapida, media, lenta, instantanea)",
    "  /stats, /ficha   : Ver atributos completos del personaje",
    "  /inv, /mochila   : Ver inventario detallado",
    "  /lore <tema>     : Consultar la memoria RAG del mundo",
    "  /guardar         : Guardar partida actual",
    "  /cargar          : Cargar última partida guardada",
    "  /salir           : Guardar automáticamente y salir al menú\n",
};

void print_help(UiContext& ui) {
  for (const char* line : kHelpLines) ui_printf(ui, "%s\n", line);
}

void print_sheet(UiContext& ui, const Character& hero) {
  ui_printf(ui, "\n" QH_CYAN QH_BOLD "--- Ficha de %s ---" QH_RESET "\n",
            text_printable(hero.name).c_str());
  ui_printf(ui, "Vida: %d / %d\n", hero.hp, hero.max_hp);
  ui_write(ui, "Atributos:\n");
  for (const StatEntry& stat : list_used(hero.stats, hero.stat_count)) {
    ui_printf(ui, "  - %s: %+d\n", text_printable(stat.name).c_str(), stat.value);
  }
  ui_write(ui, "Estados: ");
  auto states = list_used(hero.states, hero.state_count);
  if (states.empty()) ui_write(ui, "Ninguno");
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (i > 0) ui_write(ui, ", ");
    ui_write(ui, text_printable(states[i]).c_str());
  }
  ui_write(ui, "\n\n");
}

void print_inventory(UiContext& ui, const Character& hero) {
  ui_printf(ui, "\n" QH_YELLOW QH_BOLD "--- Mochila de %s ---" QH_RESET "\n",
            text_printable(hero.name).c_str());
  auto items = list_used(hero.inventory, hero.inventory_count);
  if (items.empty()) {
    ui_write(ui, "Tu mochila está vacía.\n\n");
    return;
  }
  for (const NameText& item : items) ui_printf(ui, "  📦 %s\n", text_printable(item).c_str());
  ui_write(ui, "\n");
}

void print_lore(UiContext& ui, const char* query, std::span<const LoreHit> hits) {
  ui_printf(ui, "\n" QH_ORANGE "📚 Conocimiento recuperado sobre '%s':" QH_RESET "\n",
            text_printable(query).c_str());
  for (const LoreHit& hit : hits) ui_print_lore_passage(ui, hit.title.view(), hit.text.view());
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

void session_render_event(UiContext& ui, const SessionEvent& e) {
  switch (e.kind) {
    case SessionEventKind::kStart:
      ui_print_message(ui, e.text, "info");
      return;
    case SessionEventKind::kMessage:
    case SessionEventKind::kHazard:
    case SessionEventKind::kItemFound:
    case SessionEventKind::kEnding:
      ui_print_message(ui, e.text, e.level);
      return;
    case SessionEventKind::kDeath:
      ui_print_message(ui, e.text, "error");
      return;
    case SessionEventKind::kPanel:
      ui_print_hud(ui, e.hero, e.classic, e.counters, e.show_tokens);
      return;
    case SessionEventKind::kScene: {
      // A scene shown before is written at once: only its first showing is typed.
      const float speed = ui_get_typewriter_speed(ui);
      if (!e.typed) ui_set_typewriter_speed(ui, 0.0f);
      ui_print_scene(ui, e.section);
      ui_set_typewriter_speed(ui, speed);
      return;
    }
    case SessionEventKind::kOptions:
      ui_print_options(ui, e.section, e.hero);
      return;
    case SessionEventKind::kPrompt:
      ui_print_action_prompt(ui);
      return;
    case SessionEventKind::kDice:
      ui_animate_dice_roll(ui, e.roll, e.name, e.random);
      return;
    case SessionEventKind::kNarration:
      ui_print_dm_narration(ui, e.text, !e.from_model, e.counters);
      return;
    case SessionEventKind::kHelp:
      print_help(ui);
      return;
    case SessionEventKind::kSheet:
      if (e.hero != nullptr) print_sheet(ui, *e.hero);
      return;
    case SessionEventKind::kInventory:
      if (e.hero != nullptr) print_inventory(ui, *e.hero);
      return;
    case SessionEventKind::kLore: {
      std::size_t count =
          e.hits != nullptr && e.hit_count > 0 ? static_cast<std::size_t>(e.hit_count) : 0;
      print_lore(ui, or_empty(e.name), std::span<const LoreHit>(e.hits, count));
      return;
    }
  }
}
