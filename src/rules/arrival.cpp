#include "rules/arrival.h"

#include "common/fixed_list.h"

void rules_arrive(Character& hero, const StorySection& section, Arrival& out) {
  out.hazard = section.damage > 0;
  out.damage_dealt = out.hazard ? character_take_damage(hero, section.damage) : 0;
  out.found_count = 0;
  auto items = list_used(section.items, section.item_count);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (character_has_item(hero, items[i].view())) continue;
    character_add_item(hero, items[i].view());
    out.found[out.found_count++] = static_cast<std::int32_t>(i);
  }
  if (!character_is_alive(hero)) {
    out.end = ArrivalEnd::kDeath;
  } else {
    out.end = section.is_ending ? ArrivalEnd::kEnding : ArrivalEnd::kNone;
  }
}
