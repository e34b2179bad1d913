#include "rules/arrival.h"

#include "common/fixed_list.h"

namespace {

void pass(Character& hero, const StorySection& section, bool arriving, Arrival& out) {
  out.hazard = arriving && section.damage > 0;
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

}  // namespace

void rules_arrive(Character& hero, const StorySection& section, Arrival& out) {
  pass(hero, section, true, out);
}

void rules_revisit(Character& hero, const StorySection& section, Arrival& out) {
  pass(hero, section, false, out);
}
