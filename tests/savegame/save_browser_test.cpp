#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "savegame/save_browser.h"
#include "savegame/save_file.h"
#include "support/test_support.h"

using qh_test::read_file;
using qh_test::TempDir;
using qh_test::write_file;

namespace {

// The ".json" entries of a folder in the order the listing yields them.
std::vector<std::string> json_entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.find(".json") != std::string::npos) names.push_back(name);
  }
  closedir(d);
  return names;
}

}  // namespace

TEST(SaveBrowser, EmptyOrMissingFolders) {
  TempDir dir;
  SaveSummary rows[4];
  EXPECT_EQ(save_manager_list_saves(dir.path().c_str(), rows, 4), 0);
  EXPECT_EQ(save_manager_list_saves(dir.file("no_existe").c_str(), rows, 4), 0);
  write_file(dir.file("a.json"), "{}");
  EXPECT_EQ(save_manager_list_saves(dir.path().c_str(), rows, 0), 0);
  EXPECT_EQ(save_manager_list_saves(dir.path().c_str(), nullptr, 4), 0);
  EXPECT_EQ(save_manager_list_saves(dir.path().c_str(), rows, 1), 1);
}

TEST(SaveBrowser, RowsFollowTheSavedValues) {
  TempDir dir;
  Character hero;
  character_init(hero, "Ana", 12);
  hero.hp = 5;
  const std::string title(150, 'T');
  ASSERT_TRUE(save_game(dir.path().c_str(), "cripta", title.c_str(), "7b", "Sala", &hero, nullptr));
  ASSERT_TRUE(save_game(dir.path().c_str(), "cripta", "Corta", "8", "Sala", &hero,
                        "autosave_cripta.json"));
  SaveSummary rows[4];
  ASSERT_EQ(save_manager_list_saves(dir.path().c_str(), rows, 4), 2);
  const SaveSummary& quick =
      rows[0].file_name == "quicksave_cripta.json" ? rows[0] : rows[1];
  const SaveSummary& autos = &quick == &rows[0] ? rows[1] : rows[0];
  EXPECT_EQ(quick.file_name.view(), "quicksave_cripta.json");
  EXPECT_EQ(quick.story_title.view(), std::string(127, 'T'));
  EXPECT_EQ(quick.story_slug.view(), "cripta");
  std::string text = read_file(dir.file("quicksave_cripta.json"));
  EXPECT_NE(text.find("\"saved_at\": \"" + std::string(quick.saved_at.view()) + "\""),
            std::string::npos);
  EXPECT_FALSE(quick.saved_at.empty());
  EXPECT_EQ(quick.current_section_id.view(), "7b");
  EXPECT_EQ(quick.hero_name.view(), "Ana");
  EXPECT_EQ(quick.hp, 5);
  EXPECT_EQ(quick.max_hp, 12);
  EXPECT_EQ(autos.file_name.view(), "autosave_cripta.json");
  EXPECT_EQ(autos.story_title.view(), "Corta");
  EXPECT_EQ(autos.current_section_id.view(), "8");
}

TEST(SaveBrowser, EveryJsonEntryInDirectoryOrderUpToTheCapacity) {
  TempDir dir;
  Character hero;
  character_init(hero, "H", 10);
  for (int i = 0; i < 20; ++i) {
    std::string name = "quicksave_s" + std::to_string(i) + ".json";
    ASSERT_TRUE(save_game(dir.path().c_str(), "s", "T", "1", "", &hero, name.c_str()));
  }
  write_file(dir.file("notas.txt"), "{\"name\": \"x\"}");
  std::vector<std::string> order = json_entries(dir.path());
  ASSERT_EQ(order.size(), 20u);
  SaveSummary rows[16];
  ASSERT_EQ(save_manager_list_saves(dir.path().c_str(), rows, 16), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(rows[i].file_name.view(), order[i]) << i;
}

TEST(SaveBrowser, OddEntriesStillGetARow) {
  TempDir dir;
  write_file(dir.file("config.json"), "{\"music\": true}");
  mkdir(dir.file("carpeta.json").c_str(), 0755);
  ASSERT_EQ(mkfifo(dir.file("tubo.json").c_str(), 0644), 0);  // must not block the list
  // Keys past the first 1023 bytes are not seen.
  write_file(dir.file("lejos.json"),
             "{" + std::string(1030, ' ') + "\"name\": \"Lejos\", \"hp\": 3}");
  // An escaped quote inside a value, and a value cut to the field.
  write_file(dir.file("x.json.bak"),
             "{\"name\": \"Ana \\\"R\\\" \\\\" + std::string(80, 'n') + "\", \"saved_at\": 5}");

  SaveSummary rows[8];
  int32_t n = save_manager_list_saves(dir.path().c_str(), rows, 8);
  ASSERT_EQ(n, 5);
  for (int i = 0; i < n; ++i) {
    const SaveSummary& r = rows[i];
    SCOPED_TRACE(r.file_name.c_str());
    if (r.file_name == "config.json" || r.file_name == "lejos.json") {
      EXPECT_TRUE(r.hero_name.empty());
      EXPECT_EQ(r.hp, 10);
      EXPECT_EQ(r.max_hp, 10);
    } else if (r.file_name == "carpeta.json" || r.file_name == "tubo.json") {
      EXPECT_TRUE(r.story_title.empty());
      EXPECT_EQ(r.hp, 0);
      EXPECT_EQ(r.max_hp, 0);
    } else {
      EXPECT_EQ(r.file_name.view(), "x.json.bak");
      EXPECT_EQ(r.hero_name.view(), "Ana \"R\" \\" + std::string(54, 'n'));
      EXPECT_TRUE(r.saved_at.empty());  // not a quoted text
    }
  }
}
