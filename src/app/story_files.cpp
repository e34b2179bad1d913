#include "app/story_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/slug.h"
#include "common/text_util.h"
#include "platform/platform.h"
#include "session/session.h"
#include "story/story_parser.h"

namespace {

// The title shown for a story file without one: the name without its last
// extension, underscores read as spaces.
void story_title_from_file_name(std::string_view file, StoryTitleText& title) {
  title.assign(file);
  char* text = title.raw();
  char* dot = std::strrchr(text, '.');
  if (dot != nullptr) *dot = '\0';
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == '_') *p = ' ';
  }
}

// Cuts `text` to what a listed title holds without splitting a character.
void assign_whole_characters(StoryTitleText& title, std::string_view text) {
  std::size_t n = text.size();
  if (n > StoryTitleText::max_length()) {
    n = StoryTitleText::max_length();
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  title.assign(text.substr(0, n));
}

// The front matter's title of the regular file at `path`, read a little at a
// time: most front matters close within the first few hundred bytes. Empty
// when there is none, or none within APP_TITLE_HEAD_BYTES.
void read_front_matter_title(const std::string& path, FixedText<256>& title) {
  title.clear();
  int fd = platform_open_regular(path.c_str(), O_RDONLY | O_NOCTTY);
  if (fd < 0) return;
  std::string head;
  for (std::size_t want = 4096;; want = APP_TITLE_HEAD_BYTES) {
    std::size_t got = head.size();
    head.resize(want);
    bool at_end = false;
    while (got < want) {
      ssize_t n = read(fd, head.data() + got, want - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        at_end = true;
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    if (story_parser_read_title(head.c_str(), title) || at_end || want == APP_TITLE_HEAD_BYTES) {
      break;
    }
  }
  close(fd);
}

bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_ascii_digit(c);
}

// The text titles are sorted by: ASCII letters lower-cased, accented Latin
// letters as their plain letters, every run of ASCII punctuation, white space
// or Latin-1 signs ("¡", "¿", "«") as one space, and no space at either end,
// so "¿Quién?" sorts with the Q. Other characters stay as they are.
std::string sort_key(std::string_view title) {
  std::string key;
  bool gap = false;
  for (std::size_t i = 0; i < title.size();) {
    const char c = title[i];
    std::size_t bytes = 1;
    std::string_view letters;
    if (is_ascii_alnum(c)) {
      letters = std::string_view(&c, 1);
    } else if (const char* plain = slug_latin_letter(title.substr(i), bytes)) {
      letters = plain;
    } else if (static_cast<unsigned char>(c) < 0x80 ||
               (static_cast<unsigned char>(c) == 0xC2 && i + 1 < title.size())) {
      bytes = static_cast<unsigned char>(c) < 0x80 ? 1 : 2;
      gap = true;
      i += bytes;
      continue;
    } else {
      letters = std::string_view(&c, 1);
    }
    if (gap && !key.empty()) key += ' ';
    gap = false;
    for (char l : letters) key += ascii_lower(l);
    i += bytes;
  }
  return key;
}

struct ListedStory {
  std::string key;
  std::string file;
  StoryTitleText title;
};

// The entries of `dir` whose names contain ".md", sorted by name. "." and
// ".." never contain ".md". Empty when `dir` cannot be opened.
std::vector<std::string> story_names_in(const char* dir) {
  std::vector<std::string> names;
  DIR* handle = opendir(dir);
  if (handle == nullptr) return names;
  while (const dirent* entry = readdir(handle)) {
    if (std::strstr(entry->d_name, ".md") != nullptr) names.emplace_back(entry->d_name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());
  return names;
}

// Every story of `dir` whose path, with `key_of`, gives `slug`, by file name.
template <typename KeyOf>
void find_in_dir(const Host& host, const char* dir, std::string_view slug, KeyOf key_of,
                 PathText* paths, std::int32_t capacity, std::int32_t& count) {
  PathText folder, path;
  if (!host_path(host, dir, folder)) return;
  SlugText candidate;
  for (const std::string& name : story_names_in(folder.c_str())) {
    if (count >= capacity) return;
    if (!path_join(dir, name, path)) continue;
    key_of(path.c_str(), SESSION_SLUG_FALLBACK, candidate);
    if (candidate.view() != slug) continue;
    // A plain name keeps its legacy key: found once, among the first.
    if (std::find_if(paths, paths + count, [&](const PathText& p) { return p == path.view(); }) ==
        paths + count) {
      paths[count++] = path;
    }
  }
}

}  // namespace

std::int32_t list_stories_in_dir(const char* dir, StoryFileName* files, StoryTitleText* titles) {
  if (dir == nullptr || files == nullptr || titles == nullptr) return 0;
  // Every entry is read and sorted before the first APP_MAX_STORIES are
  // kept, so the listing is the same whatever order the folder yields.
  std::vector<ListedStory> stories;
  FixedText<256> title;
  for (std::string& name : story_names_in(dir)) {
    ListedStory story{{}, std::move(name), {}};
    read_front_matter_title(std::string(dir) + "/" + story.file, title);
    if (title.empty()) {
      story_title_from_file_name(story.file, story.title);
    } else {
      assign_whole_characters(story.title, title.view());
    }
    story.key = sort_key(story.title.view());
    stories.push_back(std::move(story));
  }
  std::stable_sort(stories.begin(), stories.end(), [](const ListedStory& a, const ListedStory& b) {
    return a.key < b.key;  // equal keys stay in name order
  });
  std::int32_t count = 0;
  for (const ListedStory& story : stories) {
    if (count == APP_MAX_STORIES) break;
    files[count].assign(story.file);
    titles[count] = story.title;
    ++count;
  }
  return count;
}

std::int32_t story_files_list(const Host& host, StoryFileName* files, StoryTitleText* titles) {
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
  // A listed name is at most 255 bytes, so both paths fit.
  PathText full;
  if (path_join(PATH_STORIES_DIR, file, path) && host_path(host, path.view(), full) &&
      platform_file_exists(full.c_str())) {
    return;
  }
  path_join(PATH_FALLBACK_STORIES_DIR, file, path);
}

std::int32_t story_files_find_by_slug(const Host& host, std::string_view slug, PathText* paths,
                                      std::int32_t capacity) {
  std::int32_t count = 0;
  if (paths == nullptr || slug.empty()) return 0;
  // Every entry is tried, not only the first APP_MAX_STORIES of a listing: a
  // story once listed must stay reachable from its saves.
  for (auto key_of : {make_slug, make_legacy_slug}) {
    find_in_dir(host, PATH_STORIES_DIR, slug, key_of, paths, capacity, count);
    find_in_dir(host, PATH_FALLBACK_STORIES_DIR, slug, key_of, paths, capacity, count);
  }
  return count;
}

bool story_files_title_matches(std::string_view saved_title, std::string_view title) {
  if (saved_title.empty() || saved_title == title) return true;
  return saved_title.size() == StoryTitleText::max_length() && title.starts_with(saved_title);
}
