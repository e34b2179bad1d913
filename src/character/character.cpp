#include "character/character.h"

#include <cstring>

#include "common/fixed_list.h"
#include "common/text_util.h"

namespace {

constexpr std::string_view kDefaultHeroName = "Valiente";
constexpr std::int32_t kDefaultHp = 10;
// The badly-wounded state covers 1 to 3 hit points; healing to this clears it.
constexpr std::int64_t kWoundedMaxHp = 3;

// Index of the first entry whose name matches, or -1. The whole given name is
// compared, so a name longer than a field never matches its own cut copy.
template <std::size_t N>
std::int32_t find_text(const NameText (&list)[N], std::int32_t count, std::string_view name) {
  auto used = list_used(list, count);
  for (std::size_t i = 0; i < used.size(); ++i) {
    if (ascii_iequals(used[i].view(), name)) return static_cast<std::int32_t>(i);
  }
  return -1;
}

template <typename Entry, std::size_t N>
Entry* find_named(Entry (&list)[N], std::int32_t count, std::string_view name) {
  for (Entry& e : list_used(list, count)) {
    if (ascii_iequals(e.name.view(), name)) return &e;
  }
  return nullptr;
}

template <typename Entry, std::size_t N>
const Entry* find_named(const Entry (&list)[N], std::int32_t count, std::string_view name) {
  for (const Entry& e : list_used(list, count)) {
    if (ascii_iequals(e.name.view(), name)) return &e;
  }
  return nullptr;
}

// The entry with that name, appended (zeroed, named) when missing; null when the list is full.
template <typename Entry, std::size_t N>
Entry* find_or_add_named(Entry (&list)[N], std::int32_t& count, std::string_view name) {
  Entry* e = find_named(list, count, name);
  if (e == nullptr && (e = list_append(list, count)) != nullptr) e->name.assign(name);
  return e;
}

template <std::size_t N>
void add_unique_text(NameText (&list)[N], std::int32_t& count, std::string_view name) {
  if (name.empty() || find_text(list, count, name) >= 0) return;
  if (NameText* slot = list_append(list, count)) slot->assign(name);
}

template <std::size_t N>
bool remove_text(NameText (&list)[N], std::int32_t& count, std::string_view name) {
  if (name.empty()) return false;
  std::int32_t index = find_text(list, count, name);
  return index >= 0 && list_remove_at(list, count, index);
}

}  // namespace

void character_init(Character& c, std::string_view name, std::int32_t starting_hp) {
  std::memset(static_cast<void*>(&c), 0, sizeof c);
  c.name.assign(name.empty() ? kDefaultHeroName : name);
  c.max_hp = starting_hp > 0 ? starting_hp : kDefaultHp;
  c.hp = c.max_hp;
}

bool character_is_alive(const Character& c) { return c.hp > 0; }

std::int32_t character_take_damage(Character& c, std::int32_t amount) {
  // A hero already at 0 or below has nothing left to lose; without this the
  // "smaller of amount and hp" rule would turn a negative hp into healing.
  if (amount < 1 || c.hp <= 0) return 0;
  std::int32_t dealt = amount < c.hp ? amount : c.hp;
  c.hp -= dealt;
  if (c.hp >= 1 && c.hp <= kWoundedMaxHp) character_add_state(c, STATE_BADLY_WOUNDED);
  return dealt;
}

std::int32_t character_heal(Character& c, std::int32_t amount) {
  // A hero at or above the maximum (a hand-edited save) is not lowered by healing.
  if (amount < 1 || c.hp >= c.max_hp) return 0;
  std::int64_t healed = static_cast<std::int64_t>(c.hp) + amount;
  if (healed > c.max_hp) healed = c.max_hp;
  std::int32_t gained = static_cast<std::int32_t>(healed - c.hp);
  c.hp = static_cast<std::int32_t>(healed);
  if (c.hp > kWoundedMaxHp) character_remove_state(c, STATE_BADLY_WOUNDED);
  return gained;
}

void character_add_state(Character& c, std::string_view state) {
  add_unique_text(c.states, c.state_count, state);
}

void character_remove_state(Character& c, std::string_view state) {
  remove_text(c.states, c.state_count, state);
}

void character_add_item(Character& c, std::string_view item) {
  add_unique_text(c.inventory, c.inventory_count, item);
}

bool character_has_item(const Character& c, std::string_view item) {
  // An empty requirement is always met.
  if (item.empty()) return true;
  return find_text(c.inventory, c.inventory_count, item) >= 0;
}

bool character_remove_item(Character& c, std::string_view item) {
  return remove_text(c.inventory, c.inventory_count, item);
}

std::int32_t character_get_stat(const Character& c, std::string_view stat) {
  if (stat.empty()) return 0;
  const StatEntry* e = find_named(c.stats, c.stat_count, stat);
  return e != nullptr ? e->value : 0;
}

void character_set_stat(Character& c, std::string_view stat, std::int32_t value) {
  if (stat.empty()) return;
  if (StatEntry* e = find_or_add_named(c.stats, c.stat_count, stat)) e->value = value;
}

std::int32_t character_get_flag(const Character& c, std::string_view flag) {
  if (flag.empty()) return 0;
  const FlagEntry* e = find_named(c.flags, c.flag_count, flag);
  return e != nullptr ? e->value : 0;
}

void character_set_flag(Character& c, std::string_view flag, std::int32_t value) {
  if (flag.empty()) return;
  if (FlagEntry* e = find_or_add_named(c.flags, c.flag_count, flag)) {
    e->value = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFFu);
  }
}

void character_seed_from_story(Character& c, const Story& story, std::string_view name) {
  character_init(c, name, story.hp);
  // Later duplicates overwrite earlier stats and are dropped for items.
  for (const StatEntry& s : list_used(story.stats, story.stat_count)) {
    character_set_stat(c, s.name.view(), s.value);
  }
  for (const NameText& item : list_used(story.items, story.item_count)) {
    character_add_item(c, item.view());
  }
}
