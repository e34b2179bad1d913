#include "app/story_files.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "common/slug.h"
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

// Every entry of `dir` that a listing would show is tried, not only the first
// APP_MAX_STORIES: directory order changes as files come and go, and a story
// once listed must stay reachable from its saves.
bool find_in_dir(const Host& host, const char* dir, std::string_view slug, PathText& path) {
  PathText folder;
  if (!host_path(host, dir, folder)) return false;
  DIR* handle = opendir(folder.c_str());
  if (handle == nullptr) return false;
  SlugText candidate;
  bool found = false;
  while (!found) {
    const dirent* entry = readdir(handle);
    if (entry == nullptr) break;
    if (std::strstr(entry->d_name, ".md") == nullptr) continue;
    if (!path_join(dir, entry->d_name, path)) continue;
    // The key the session names this story's saves with.
    make_slug(path.c_str(), SESSION_SLUG_FALLBACK, candidate);
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

std::int32_t story_files_list(const Host& host, FixedText<128>* files, FixedText<128>* titles) {
  PathText folder;
  std::int32_t count = 0;
  if (host_path(host, PATH_STORIES_DIR, folder)) {
    count = list_stories_in_dir(folder.c_str(), files, titles);
  }
  if (count == 0 && host_path(host, PATH_FALLBACK_STORIES_DIR, folder)) {
    count = list_stories_in_dir(folder.c_str(), files, titles);
  }
  return count;
}

void story_files_path(const Host& host, const char* file, PathText& path) {
  // A listed name is at most 127 bytes, so both paths fit.
  PathText full;
  if (path_join(PATH_STORIES_DIR, file, path) && host_path(host, path.view(), full) &&
      platform_file_exists(full.c_str())) {
    return;
  }
  path_join(PATH_FALLBACK_STORIES_DIR, file, path);
}

bool story_files_find_by_slug(const Host& host, std::string_view slug, PathText& path) {
  if (find_in_dir(host, PATH_STORIES_DIR, slug, path) ||
      find_in_dir(host, PATH_FALLBACK_STORIES_DIR, slug, path)) {
    return true;
  }
  path.clear();
  return false;
}
