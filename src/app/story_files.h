// Where the shell finds stories and saves: the story folders, the key a story
// is saved under, and the way back from a save to the story it was made from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/fixed_text.h"
#include "platform/paths.h"
#include "ui/host.h"

inline constexpr int APP_MAX_STORIES = 32;      // entries of one story listing
inline constexpr int APP_MAX_SLUG_MATCHES = 8;  // stories one save may name
// Bytes of a story read to list it by title: a front matter that runs on past
// them lists its file by name.
inline constexpr std::size_t APP_TITLE_HEAD_BYTES = 65536;

using StoryFileName = FixedText<256>;   // any file name the system allows: 255 bytes
using StoryTitleText = FixedText<128>;  // a listed title: 127 bytes, no character split

// Lists the entries of `dir` whose names contain ".md", at most
// APP_MAX_STORIES: each name and its display title, sorted by title (ASCII
// case, accents and punctuation aside), titles that compare equal by name.
// The title is the one the story's front matter gives, read from its first
// APP_TITLE_HEAD_BYTES only; without one (or for anything that is no regular
// file) it is the name without its last extension, underscores as spaces.
// 0 when `dir` cannot be opened.
std::int32_t list_stories_in_dir(const char* dir, StoryFileName* files, StoryTitleText* titles);

// Lists the host's stories/, or its fallback folder when stories/ lists nothing.
std::int32_t story_files_list(const Host& host, StoryFileName* files, StoryTitleText* titles);

// The path a listed file is played from, relative to the host's root:
// stories/<file> when it can be read, the fallback folder's otherwise,
// whichever folder listed it.
void story_files_path(const Host& host, const char* file, PathText& path);

// The paths (relative to the host's root) of the stories a save with `slug`
// may have been made from, best first: those whose path gives `slug` as the
// session names saves now (stories/ before the fallback folder, each by file
// name), then those whose path gave it under the legacy key, which several
// files could share. A path found gives the same slug again, so a resumed
// adventure keeps writing the same save files. Returns how many, at most
// `capacity`; 0 when no story matches.
std::int32_t story_files_find_by_slug(const Host& host, std::string_view slug, PathText* paths,
                                      std::int32_t capacity);

// True when a story titled `title` is the one a save names by `saved_title`:
// the same text, or its first 127 bytes when the save list cut it there. A
// save without a title names no particular story.
bool story_files_title_matches(std::string_view saved_title, std::string_view title);
