// Save files, version 2: writing, loading and reading integer keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "character/character.h"

inline constexpr std::size_t SAVE_MAX_FILE_BYTES = 1024u * 1024u;  // larger files are not saves
inline constexpr std::size_t SAVE_MAX_FILE_NAME_BYTES = 255;       // longest save file name

// Null folder means "saves"; null/empty file name means "quicksave_<slug>.json".
bool save_game(const char* folder, const char* slug, const char* story_title,
               const char* section_id, const char* section_title, const Character* hero,
               const char* file_name);
bool load_game(const char* folder, const char* slug, char* section_id,
               std::size_t section_id_capacity, Character* hero, const char* file_name);
// The whole text of a save file, as save_game writes it with `saved_at` for
// the date and time.
std::string save_build_text(const char* slug, const char* story_title, const char* section_id,
                            const char* section_title, const Character& hero, const char* saved_at);
// Rebuilds the hero (and the section id, when the file holds one and an output
// is given) from the text of a save file, the way load_game reads a file.
void save_parse_text(std::string_view content, char* section_id, std::size_t section_id_capacity,
                     Character& hero);
// The integer after the first "\"key\":"; 10 when the key is absent.
std::int32_t extract_int(std::string_view text, const char* key);
