#include "savegame/save_browser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "savegame/save_file.h"

namespace {

// Only the head of each file is read: every value the list shows is there,
// even when each of its bytes was written as a six-byte escape.
constexpr std::size_t kHeadBytes = 4095;

// The first bytes of a regular file; false for anything else (a folder, a
// FIFO that would block, a device) or when it cannot be opened.
bool read_head(const std::string& path, std::string& out) {
  int fd = platform_open_regular(path.c_str(), O_RDONLY | O_NOCTTY);
  if (fd < 0) return false;
  out.assign(kHeadBytes, '\0');
  std::size_t got = 0;
  while (got < kHeadBytes) {
    ssize_t n = read(fd, out.data() + got, kHeadBytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  out.resize(got);
  return true;
}

template <std::size_t N>
void fill_text(FixedText<N>& field, std::string_view text, std::string_view key) {
  std::string value;
  if (json_text_read_quoted(text, key, N - 1, value)) field.assign(value);
}

void fill_row(SaveSummary& row, std::string_view text) {
  fill_text(row.story_title, text, "story_title");
  fill_text(row.story_slug, text, "story_slug");
  fill_text(row.saved_at, text, "saved_at");
  fill_text(row.current_section_id, text, "current_section_id");
  fill_text(row.hero_name, text, "name");
  row.hp = extract_int(text, "hp");
  row.max_hp = extract_int(text, "max_hp");
}

}  // namespace

std::int32_t save_manager_list_page(const char* folder, std::int32_t first, SaveSummary* rows,
                                    std::int32_t capacity, std::int32_t* total) {
  if (total != nullptr) *total = 0;
  if (rows == nullptr || capacity < 1 || first < 0) return 0;
  const char* dir_path = (folder != nullptr && folder[0] != '\0') ? folder : PATH_SAVES_DIR;
  DIR* dir = opendir(dir_path);
  if (dir == nullptr) return 0;

  // Only names and times are gathered for the whole folder; files are opened
  // for the rows asked for alone, so a folder of thousands lists at once.
  struct Entry {
    timespec modified;
    std::string name;
  };
  std::vector<Entry> entries;
  while (const dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.find(".json") == std::string_view::npos) continue;
    // Only regular files (or links to them) can be saves: a folder, a FIFO or
    // a dangling link named *.json would be a row with nothing in it.
    struct stat info {};
    if (fstatat(dirfd(dir), entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode)) continue;
    entries.push_back(Entry{info.st_mtim, std::string(name)});
  }
  closedir(dir);
  // Newest first; saves of the same instant by name, so the order is stable.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec > b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec) return a.modified.tv_nsec > b.modified.tv_nsec;
    return a.name < b.name;
  });
  const auto listed = static_cast<std::int32_t>(
      std::min<std::size_t>(entries.size(), static_cast<std::size_t>(INT32_MAX)));
  if (total != nullptr) *total = listed;

  std::int32_t count = 0;
  std::string head;
  for (std::int32_t i = first; i < listed && count < capacity; ++i) {
    const std::string& name = entries[static_cast<std::size_t>(i)].name;
    SaveSummary& row = rows[count++];
    std::memset(static_cast<void*>(&row), 0, sizeof row);
    row.file_name.assign(name);
    // A file that cannot be read keeps a row with its name only.
    std::string path = std::string(dir_path) + "/" + name;
    if (read_head(path, head)) fill_row(row, json_text_until_nul(head));
  }
  return count;
}

std::int32_t save_manager_list_saves(const char* folder, SaveSummary* rows, std::int32_t capacity) {
  return save_manager_list_page(folder, 0, rows, capacity, nullptr);
}
