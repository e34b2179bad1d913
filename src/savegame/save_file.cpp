#include "savegame/save_file.h"

#include <string>

#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/text_util.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace {

constexpr const char* kDefaultSlug = "adventure";
constexpr const char* kDefaultTitle = "Aventura";
constexpr const char* kDefaultSectionId = "1";
constexpr std::size_t kNameLimit = NameText::max_length();
constexpr mode_t kSaveFileMode = 0644;

const char* or_default(const char* text, const char* fallback) {
  return (text == nullptr || text[0] == '\0') ? fallback : text;
}

// "folder/name", or an empty text when the name is longer than a file name
// may be (a cut name would silently save under another file).
std::string save_path(const char* folder, const std::string& name) {
  if (name.size() > SAVE_MAX_FILE_NAME_BYTES) return {};
  return std::string(or_default(folder, PATH_SAVES_DIR)) + "/" + name;
}

std::string slot_name(const char* prefix, const char* slug) {
  return std::string(prefix) + or_default(slug, kDefaultSlug) + ".json";
}

void put_text_line(std::string& out, std::string_view before, std::string_view value,
                   std::string_view after) {
  out += before;
  json_text_append_quoted(out, value);
  out += after;
}

}  // namespace

std::string save_build_text(const char* slug, const char* story_title, const char* section_id,
                            const char* section_title, const Character& hero, const char* saved_at,
                            const SaveVisited* visited) {
  std::string out;
  out.reserve(4096);
  out += "{\n";
  out += "  \"version\": 2,\n";
  put_text_line(out, "  \"story_slug\": ", or_default(slug, kDefaultSlug), ",\n");
  put_text_line(out, "  \"story_title\": ", or_default(story_title, kDefaultTitle), ",\n");
  put_text_line(out, "  \"saved_at\": ", or_default(saved_at, ""), ",\n");
  put_text_line(out, "  \"current_section_id\": ", or_default(section_id, kDefaultSectionId),
                ",\n");
  put_text_line(out, "  \"current_section_title\": ", or_default(section_title, ""), ",\n");
  out += "  \"character\": {\n";
  put_text_line(out, "    \"name\": ", hero.name.view(), ",\n");
  out += "    \"hp\": " + std::to_string(hero.hp) + ",\n";
  out += "    \"max_hp\": " + std::to_string(hero.max_hp) + ",\n";

  out += "    \"stats\": {\n";
  auto stats = list_used(hero.stats, hero.stat_count);
  for (std::size_t i = 0; i < stats.size(); ++i) {
    put_text_line(out, "      ", stats[i].name.view(), ": " + std::to_string(stats[i].value));
    out += i + 1 < stats.size() ? ",\n" : "\n";
  }
  out += "    },\n";

  out += "    \"inventory\": [\n";
  auto items = list_used(hero.inventory, hero.inventory_count);
  for (std::size_t i = 0; i < items.size(); ++i) {
    put_text_line(out, "      ", items[i].view(), i + 1 < items.size() ? ",\n" : "\n");
  }
  out += "    ],\n";

  out += "    \"states\": [\n";
  auto states = list_used(hero.states, hero.state_count);
  for (std::size_t i = 0; i < states.size(); ++i) {
    put_text_line(out, "      ", states[i].view(), i + 1 < states.size() ? ",\n" : "\n");
  }
  out += "    ],\n";

  out += "    \"flags\": {\n";
  auto flags = list_used(hero.flags, hero.flag_count);
  for (std::size_t i = 0; i < flags.size(); ++i) {
    put_text_line(out, "      ", flags[i].name.view(), flags[i].value != 0 ? ": true" : ": false");
    out += i + 1 < flags.size() ? ",\n" : "\n";
  }
  out += "    }\n";
  if (visited == nullptr) {
    out += "  }\n";
    out += "}\n";
    return out;
  }
  out += "  },\n";
  out += "  \"visited_sections\": [\n";
  auto ids = list_used(visited->ids, visited->count);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    put_text_line(out, "    ", ids[i].view(), i + 1 < ids.size() ? ",\n" : "\n");
  }
  out += "  ]\n";
  out += "}\n";
  return out;
}

namespace {

// Skips a quoted text starting at `open`; returns the index just past it.
std::size_t skip_quoted(std::string_view text, std::size_t open) {
  std::size_t close = json_text_decode_quoted(text, open, 0, nullptr);
  return close < text.size() ? close + 1 : text.size();
}

// The index of the first `ch` at or after `from` that lies outside quoted
// texts, or npos. Brackets and commas inside names must not end a collection.
std::size_t find_outside_quotes(std::string_view text, std::size_t from, char ch) {
  std::size_t i = from;
  while (i < text.size()) {
    if (text[i] == ch) return i;
    i = text[i] == '"' ? skip_quoted(text, i) : i + 1;
  }
  return std::string_view::npos;
}

// A collection is the first "\"key\":" whose value starts with `open`, up to
// its `close` outside quoted texts. A stat that happens to be called like a
// collection has a number for value and is passed over.
bool find_collection(std::string_view text, std::string_view key, char open, char close,
                     std::size_t& begin, std::size_t& end) {
  std::size_t from = 0;
  for (;;) {
    std::size_t pos = json_text_find_value(text, key, from);
    if (pos == std::string_view::npos) return false;
    std::size_t v = pos;
    while (v < text.size() && is_blank(text[v])) ++v;
    if (v < text.size() && text[v] == open) {
      std::size_t e = find_outside_quotes(text, v + 1, close);
      if (e == std::string_view::npos) return false;
      begin = v;
      end = e;
      return true;
    }
    from = pos;
  }
}

// Walks the "name": value pairs of an object collection, calling `take` with
// the decoded name and the text after its colon.
template <typename Take>
void walk_object(std::string_view text, std::string_view key, Take take) {
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!find_collection(text, key, '{', '}', begin, end)) return;
  std::size_t p = begin;
  while (p < end) {
    std::size_t open = text.find('"', p);
    if (open == std::string_view::npos || open >= end) return;
    std::string name;
    std::size_t close = json_text_decode_quoted(text, open, kNameLimit, &name);
    if (close >= end) return;
    std::size_t colon = text.find(':', close + 1);
    if (colon == std::string_view::npos || colon >= end) return;
    take(name, text.substr(colon + 1, end - colon - 1));
    // Continue after the next comma, or at the next line feed.
    std::size_t i = colon + 1;
    std::size_t next = std::string_view::npos;
    while (i < end) {
      if (text[i] == ',') {
        next = i + 1;
        break;
      }
      if (text[i] == '\n') {
        next = i;
        break;
      }
      i = text[i] == '"' ? skip_quoted(text, i) : i + 1;
    }
    if (next == std::string_view::npos) return;
    p = next;
  }
}

// Walks the quoted texts of an array collection.
template <typename Take>
void walk_array(std::string_view text, std::string_view key, Take take) {
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!find_collection(text, key, '[', ']', begin, end)) return;
  std::size_t p = begin + 1;
  while (p < end) {
    std::size_t open = text.find('"', p);
    if (open == std::string_view::npos || open >= end) return;
    std::string entry;
    std::size_t close = json_text_decode_quoted(text, open, kNameLimit, &entry);
    if (close >= end) return;
    if (!entry.empty()) take(entry);
    p = close + 1;
  }
}

void rebuild_character(std::string_view text, Character& hero) {
  std::string name = "Valiente";
  std::string found;
  if (json_text_read_quoted(text, "name", kNameLimit, found)) name = found;
  std::int32_t hp = extract_int(text, "hp");
  std::int32_t max_hp = extract_int(text, "max_hp");

  character_init(hero, name, max_hp);
  // Kept as saved, even above the maximum or at 0: the session judges it.
  hero.hp = hp;

  walk_object(text, "stats", [&](const std::string& stat, std::string_view value) {
    character_set_stat(hero, stat, read_decimal_i32(value));
  });
  walk_array(text, "inventory", [&](const std::string& item) { character_add_item(hero, item); });
  walk_array(text, "states", [&](const std::string& state) { character_add_state(hero, state); });
  walk_object(text, "flags", [&](const std::string& flag, std::string_view value) {
    std::string_view v = trim_view(value);
    character_set_flag(hero, flag, starts_with(v, "true") ? 1 : 0);
  });
}

}  // namespace

bool save_game(const char* folder, const char* slug, const char* story_title,
               const char* section_id, const char* section_title, const Character* hero,
               const char* file_name, const SaveVisited* visited) {
  if (hero == nullptr) return false;
  const char* dir = or_default(folder, PATH_SAVES_DIR);
  std::string name = (file_name != nullptr && file_name[0] != '\0') ? std::string(file_name)
                                                                    : slot_name("quicksave_", slug);
  std::string path = save_path(dir, name);
  if (path.empty()) return false;
  // A folder that cannot be made shows up as the write failing.
  platform_mkdir_p(dir);
  char saved_at[64] = "";
  platform_get_current_time_str(saved_at, sizeof saved_at);
  std::string content =
      save_build_text(slug, story_title, section_id, section_title, *hero, saved_at, visited);
  // Written beside the old save and renamed over it: a failed write leaves
  // the previous save exactly as it was.
  return platform_write_file_atomic(path.c_str(), content, kSaveFileMode);
}

bool load_game(const char* folder, const char* slug, char* section_id,
               std::size_t section_id_capacity, Character* hero, const char* file_name,
               SaveVisited* visited) {
  if (section_id == nullptr || section_id_capacity == 0 || hero == nullptr) return false;
  std::string path;
  if (file_name != nullptr && file_name[0] != '\0') {
    path = save_path(folder, file_name);
  } else {
    path = save_path(folder, slot_name("quicksave_", slug));
    if (path.empty() || !platform_file_exists(path.c_str())) {
      path = save_path(folder, slot_name("autosave_", slug));
    }
  }
  if (path.empty()) return false;

  std::string content;
  if (!platform_read_regular_file(path.c_str(), SAVE_MAX_FILE_BYTES, content)) return false;
  if (content.empty()) return false;
  save_parse_text(content, section_id, section_id_capacity, *hero, visited);
  return true;
}

void save_parse_text(std::string_view content, char* section_id, std::size_t section_id_capacity,
                     Character& hero, SaveVisited* visited) {
  std::string_view text = json_text_until_nul(content);
  std::string id;
  if (section_id != nullptr && section_id_capacity > 0 &&
      json_text_read_quoted(text, "current_section_id", section_id_capacity - 1, id)) {
    text_copy(section_id, section_id_capacity, id);
  }
  rebuild_character(text, hero);
  if (visited == nullptr) return;
  *visited = SaveVisited{};
  std::size_t begin = 0;
  std::size_t end = 0;
  visited->present = find_collection(text, "visited_sections", '[', ']', begin, end);
  walk_array(text, "visited_sections", [&](const std::string& entry) {
    IdText cut;
    cut.assign(entry);  // cut as every section id is cut
    for (const IdText& seen : list_used(visited->ids, visited->count)) {
      if (seen == cut.view()) return;
    }
    if (IdText* slot = list_append(visited->ids, visited->count)) *slot = cut;
  });
}

std::int32_t extract_int(std::string_view text, const char* key) {
  return json_text_read_int(text, key, 10);
}
