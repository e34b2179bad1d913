#include "app/story_files.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "session/session.h"

namespace {

// The title shown for a story file: the name without its last extension,
// underscores read as spaces.
void story_title_from_file_name(const FixedText<128>& file, FixedText<128>& title) {
  title = file;
  char* text = title.raw();
  char* dot = std::strrchr(text, '.');
  if (dot != nullptr) *dot = '\0';
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == '_') *p = ' ';
  }
}

// "<dir>/<file>" into `path`; false (and `path` unusable) when it does not fit,
// since a cut path could name another file.
bool join_path(const char* dir, const char* file, FixedText<512>& path) {
  int n = std::snprintf(path.raw(), path.capacity(), "%s/%s", dir, file);
  return n > 0 && static_cast<std::size_t>(n) < path.capacity();
}

// Every entry of `dir` that a listing would show is tried, not only the first
// APP_MAX_STORIES: directory order changes as files come and go, and a story
// once listed must stay reachable from its saves.
bool find_in_dir(const char* dir, std::string_view slug, FixedText<512>& path) {
  DIR* handle = opendir(dir);
  if (handle == nullptr) return false;
  FixedText<128> candidate;
  bool found = false;
  while (!found) {
    const dirent* entry = readdir(handle);
    if (entry == nullptr) break;
    if (std::strstr(entry->d_name, ".md") == nullptr) continue;
    if (!join_path(dir, entry->d_name, path)) continue;
    story_files_slug(path.c_str(), candidate);
    found = candidate.view() == slug;
  }
  closedir(handle);
  return found;
}

}  // namespace

std::int32_t list_stories_in_dir(const char* dir, FixedText<128>* files, FixedText<128>* titles) {
  if (dir == nullptr || files == nullptr || titles == nullptr) return 0;
  DIR* handle = opendir(dir);
  if (handle == nullptr) return 0;
  std::int32_t count = 0;
  // Directory order, unsorted; "." and ".." never contain ".md".
  while (count < APP_MAX_STORIES) {
    const dirent* entry = readdir(handle);
    if (entry == nullptr) break;
    if (std::strstr(entry->d_name, ".md") == nullptr) continue;
    files[count].assign(entry->d_name);
    story_title_from_file_name(files[count], titles[count]);
    ++count;
  }
  closedir(handle);
  return count;
}

std::int32_t story_files_list(FixedText<128>* files, FixedText<128>* titles) {
  std::int32_t count = list_stories_in_dir(APP_STORIES_DIR, files, titles);
  if (count == 0) count = list_stories_in_dir(APP_FALLBACK_STORIES_DIR, files, titles);
  return count;
}

void story_files_path(const char* file, FixedText<512>& path) {
  // A listed name is at most 127 bytes, so both paths fit.
  if (join_path(APP_STORIES_DIR, file, path) && platform_file_exists(path.c_str())) return;
  join_path(APP_FALLBACK_STORIES_DIR, file, path);
}

void story_files_slug(const char* path, FixedText<128>& slug) { session_make_slug(path, slug); }

bool story_files_find_by_slug(std::string_view slug, FixedText<512>& path) {
  if (find_in_dir(APP_STORIES_DIR, slug, path) ||
      find_in_dir(APP_FALLBACK_STORIES_DIR, slug, path)) {
    return true;
  }
  path.clear();
  return false;
}
