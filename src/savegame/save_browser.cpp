#include "savegame/save_browser.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/json_text.h"
#include "platform/platform.h"
#include "savegame/save_file.h"

namespace {

constexpr const char* kDefaultFolder = "saves";
// Only the head of each file is read: every value the list shows is there.
constexpr std::size_t kHeadBytes = 1023;

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
  if (json_text_read_quoted(text, key, JsonKeyStyle::kColon, N - 1, value)) field.assign(value);
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

std::int32_t save_manager_list_saves(const char* folder, SaveSummary* rows, std::int32_t capacity) {
  if (rows == nullptr || capacity < 1) return 0;
  const char* dir_path = (folder != nullptr && folder[0] != '\0') ? folder : kDefaultFolder;
  DIR* dir = opendir(dir_path);
  if (dir == nullptr) return 0;

  std::int32_t count = 0;
  std::string head;
  // Directory order, unsorted: the list shows saves as the folder yields them.
  while (count < capacity) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    std::string_view name = entry->d_name;
    if (name.find(".json") == std::string_view::npos) continue;

    SaveSummary& row = rows[count++];
    std::memset(static_cast<void*>(&row), 0, sizeof row);
    row.file_name.assign(name);
    // A file that cannot be read keeps a row with its name only.
    std::string path = std::string(dir_path) + "/" + std::string(name);
    if (read_head(path, head)) fill_row(row, json_text_until_nul(head));
  }
  closedir(dir);
  return count;
}
