// Where the shell finds stories and saves: the story folders, the key a story
// is saved under, and the way back from a save to the story it was made from.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/fixed_text.h"
#include "platform/paths.h"
#include "ui/host.h"

inline constexpr int APP_MAX_STORIES = 32;  // entries of one story listing

// Lists the entries of `dir` whose names contain ".md", in directory order, at
// most APP_MAX_STORIES: each name cut to 127 bytes and its display title (the
// name without its last extension, underscores as spaces). 0 when `dir`
// cannot be opened.
std::int32_t list_stories_in_dir(const char* dir, FixedText<128>* files, FixedText<128>* titles);

// Lists the host's stories/, or its fallback folder when stories/ lists nothing.
std::int32_t story_files_list(const Host& host, FixedText<128>* files, FixedText<128>* titles);

// The path a listed file is played from, relative to the host's root:
// stories/<file> when it can be read, the fallback folder's otherwise,
// whichever folder listed it.
void story_files_path(const Host& host, const char* file, PathText& path);

// The path (relative to the host's root) of the story that a save with `slug`
// was made from: the first story of stories/, then of the fallback folder, in
// directory order, whose path gives that slug. That path gives the same slug
// again, so a resumed adventure keeps writing the same save files. False when
// no story matches.
bool story_files_find_by_slug(const Host& host, std::string_view slug, PathText& path);
