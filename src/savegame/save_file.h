// Save files, version 2: writing, loading and reading integer keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "character/character.h"
#include "story/story.h"

inline constexpr std::size_t SAVE_MAX_FILE_BYTES = 1024u * 1024u;  // larger files are not saves
inline constexpr std::size_t SAVE_MAX_FILE_NAME_BYTES = 255;       // longest save file name

// The sections the hero has been in, saved with the game (the key
// "visited_sections", after every older key) so that what the lore memory may
// tell survives a resume. Saves written before it have no such key.
struct SaveVisited {
  IdText ids[STORY_MAX_SECTIONS];
  std::int32_t count;
  bool present;  // the file had the key
};
static_assert(std::is_trivially_copyable_v<SaveVisited>);

// Null folder means "saves"; null/empty file name means "quicksave_<slug>.json".
// Without `visited` the file has no visited-sections key.
bool save_game(const char* folder, const char* slug, const char* story_title,
               const char* section_id, const char* section_title, const Character* hero,
               const char* file_name, const SaveVisited* visited = nullptr);
// `visited`, when given, receives the file's visited sections (or none, with
// `present` false, for an older save).
bool load_game(const char* folder, const char* slug, char* section_id,
               std::size_t section_id_capacity, Character* hero, const char* file_name,
               SaveVisited* visited = nullptr);
// The whole text of a save file, as save_game writes it with `saved_at` for
// the date and time.
std::string save_build_text(const char* slug, const char* story_title, const char* section_id,
                            const char* section_title, const Character& hero, const char* saved_at,
                            const SaveVisited* visited = nullptr);
// Rebuilds the hero (and the section id, when the file holds one and an output
// is given; the visited sections, when asked for) from the text of a save
// file, the way load_game reads a file.
void save_parse_text(std::string_view content, char* section_id, std::size_t section_id_capacity,
                     Character& hero, SaveVisited* visited = nullptr);
// The integer after the first "\"key\":"; 10 when the key is absent.
std::int32_t extract_int(std::string_view text, const char* key);
