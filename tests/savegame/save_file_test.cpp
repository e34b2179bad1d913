#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "savegame/save_browser.h"
#include "savegame/save_file.h"
#include "support/test_support.h"

using qh_test::read_file;
using qh_test::TempDir;
using qh_test::write_file;

namespace {

std::string saved_at_of(const std::string& text) {
  const std::string key = "\"saved_at\": \"";
  std::size_t at = text.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return text.substr(at, text.find('"', at) - at);
}

Character known_hero() {
  Character c;
  character_init(c, "Ana", 10);
  c.hp = 7;
  character_set_stat(c, "Fuerza", 2);
  character_set_stat(c, "Magia", -1);
  character_add_item(c, "Antorcha");
  character_add_item(c, "Cuerda");
  character_add_state(c, "Cansado");
  character_set_flag(c, "puerta", 1);
  character_set_flag(c, "trampa", 0);
  return c;
}

bool same_character(const Character& a, const Character& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(SaveFile, WritesTheFixedLayout) {
  TempDir dir;
  std::string folder = dir.file("saves/sub");  // parents are created
  Character hero = known_hero();
  ASSERT_TRUE(save_game(folder.c_str(), "la_cripta", "La Cripta", "3", "El Foso", &hero, nullptr));
  std::string text = read_file(folder + "/quicksave_la_cripta.json");
  std::string at = saved_at_of(text);
  EXPECT_EQ(at.size(), 16u) << at;
  EXPECT_EQ(text,
            "{\n"
            "  \"version\": 2,\n"
            "  \"story_slug\": \"la_cripta\",\n"
            "  \"story_title\": \"La Cripta\",\n"
            "  \"saved_at\": \"" + at + "\",\n"
            "  \"current_section_id\": \"3\",\n"
            "  \"current_section_title\": \"El Foso\",\n"
            "  \"character\": {\n"
            "    \"name\": \"Ana\",\n"
            "    \"hp\": 7,\n"
            "    \"max_hp\": 10,\n"
            "    \"stats\": {\n"
            "      \"Fuerza\": 2,\n"
            "      \"Magia\": -1\n"
            "    },\n"
            "    \"inventory\": [\n"
            "      \"Antorcha\",\n"
            "      \"Cuerda\"\n"
            "    ],\n"
            "    \"states\": [\n"
            "      \"Cansado\"\n"
            "    ],\n"
            "    \"flags\": {\n"
            "      \"puerta\": true,\n"
            "      \"trampa\": false\n"
            "    }\n"
            "  }\n"
            "}\n");

  Character loaded;
  char section[32] = "";
  ASSERT_TRUE(load_game(folder.c_str(), "la_cripta", section, sizeof section, &loaded, nullptr));
  EXPECT_STREQ(section, "3");
  EXPECT_TRUE(same_character(loaded, hero));
}

TEST(SaveFile, EmptyCollectionsAndDefaults) {
  TempDir dir;
  Character hero;
  character_init(hero, "Bea", 5);
  ASSERT_TRUE(save_game(dir.path().c_str(), nullptr, nullptr, nullptr, nullptr, &hero, ""));
  std::string text = read_file(dir.file("quicksave_adventure.json"));
  EXPECT_NE(text.find("  \"story_slug\": \"adventure\",\n"
                      "  \"story_title\": \"Aventura\",\n"),
            std::string::npos);
  EXPECT_NE(text.find("  \"current_section_id\": \"1\",\n"
                      "  \"current_section_title\": \"\",\n"),
            std::string::npos);
  const std::string tail =
      "    \"stats\": {\n    },\n    \"inventory\": [\n    ],\n"
      "    \"states\": [\n    ],\n    \"flags\": {\n    }\n  }\n}\n";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  Character loaded;
  char section[32] = "";
  ASSERT_TRUE(load_game(dir.path().c_str(), nullptr, section, sizeof section, &loaded, nullptr));
  EXPECT_TRUE(same_character(loaded, hero));
  EXPECT_FALSE(save_game(dir.path().c_str(), "x", "X", "1", "", nullptr, nullptr));
}

TEST(SaveFile, QuotesBracketsAndBackslashesSurviveARoundTrip) {
  TempDir dir;
  Character hero;
  character_init(hero, "Ana \"la \\ Roja\"", 12);
  hero.hp = 4;
  character_set_stat(hero, "a}b", 3);
  character_set_stat(hero, "states", 4);  // must not hide the states list
  character_set_stat(hero, "inventory", 5);
  character_set_stat(hero, "x\"hp", 6);
  character_add_item(hero, "Carta \"sellada\"");
  character_add_item(hero, "Mapa [viejo]");
  character_add_item(hero, "ruta\\");
  character_add_item(hero, "a\",\"b");
  character_add_state(hero, "Herido \"leve\"");
  character_add_state(hero, "]");
  character_set_flag(hero, "f\"}1", 1);
  character_set_flag(hero, "g,\n}", 0);
  character_set_flag(hero, "ok", 1);
  const char* title = "La \"Cripta\" \\ [2] {x}";
  ASSERT_TRUE(save_game(dir.path().c_str(), "cripta", title, "s\"1\\", "Sala \"A\"", &hero,
                        "autosave_cripta.json"));

  Character loaded;
  char section[32] = "";
  ASSERT_TRUE(load_game(dir.path().c_str(), "cripta", section, sizeof section, &loaded, nullptr));
  EXPECT_STREQ(section, "s\"1\\");
  EXPECT_EQ(loaded.name.view(), "Ana \"la \\ Roja\"");
  EXPECT_EQ(loaded.inventory_count, 4);
  EXPECT_TRUE(same_character(loaded, hero));  // every text, count and value

  SaveSummary row[2];
  ASSERT_EQ(save_manager_list_saves(dir.path().c_str(), row, 2), 1);
  EXPECT_EQ(row[0].story_title.view(), title);
  EXPECT_EQ(row[0].hero_name.view(), "Ana \"la \\ Roja\"");
  EXPECT_EQ(row[0].current_section_id.view(), "s\"1\\");
  EXPECT_EQ(row[0].hp, 4);
  EXPECT_EQ(row[0].max_hp, 12);
}

TEST(SaveFile, LoaderIsTolerantOfHandEditedFiles) {
  TempDir dir;
  // Written without escapes and with odd spacing: keys read as before.
  write_file(dir.file("autosave_vieja.json"),
             "{\"current_section_id\":\r\n\t\"" + std::string(40, '7') + "\",\n"
             "\"character\": {\"name\": \"Lia\", \"hp\" : 3, \"max_hp\": 0,\n"
             "\"stats\": {\"" + std::string(80, 's') + "\": 99999999999, \"Magia\":-2},\n"
             "\"inventory\": [\"\", \"Vela\", \"vela\", \"Soga\"],\n"
             "\"states\": [\"Cansado\"],\n"
             "\"flags\": {\"a\": true, \"b\": false, \"c\":   true}}}\n");
  Character hero;
  char section[8] = "prev";
  // No quicksave: the autosave of the same story is read.
  ASSERT_TRUE(load_game(dir.path().c_str(), "vieja", section, sizeof section, &hero, nullptr));
  EXPECT_STREQ(section, "7777777");
  EXPECT_EQ(hero.name.view(), "Lia");
  EXPECT_EQ(hero.max_hp, 10);  // 0 becomes 10
  EXPECT_EQ(hero.hp, 10);      // "hp" followed by a space is not found
  ASSERT_EQ(hero.stat_count, 2);
  EXPECT_EQ(hero.stats[0].name.view(), std::string(63, 's'));
  EXPECT_EQ(hero.stats[0].value, INT32_MAX);
  EXPECT_EQ(character_get_stat(hero, "magia"), -2);
  ASSERT_EQ(hero.inventory_count, 2);
  EXPECT_EQ(hero.inventory[1].view(), "Soga");
  EXPECT_EQ(character_get_flag(hero, "a"), 1);
  EXPECT_EQ(character_get_flag(hero, "b"), 0);
  EXPECT_EQ(character_get_flag(hero, "c"), 1);
  EXPECT_EQ(hero.flag_count, 3);

  // Missing keys: defaults, and the caller's section id is kept. A dead hero stays dead.
  write_file(dir.file("raro.json"), "{\"character\": {\"hp\": 0}}");
  char kept[32] = "previa";
  ASSERT_TRUE(load_game(dir.path().c_str(), nullptr, kept, sizeof kept, &hero, "raro.json"));
  EXPECT_STREQ(kept, "previa");
  EXPECT_EQ(hero.name.view(), "Valiente");
  EXPECT_EQ(hero.hp, 0);
  EXPECT_EQ(hero.max_hp, 10);
  EXPECT_EQ(hero.inventory_count, 0);
}

TEST(SaveFile, UnreadableSavesLeaveTheOutputsAlone) {
  TempDir dir;
  write_file(dir.file("vacio.json"), "");
  mkdir(dir.file("carpeta.json").c_str(), 0755);
  write_file(dir.file("enorme.json"),
             "{\"current_section_id\": \"9\"," + std::string(SAVE_MAX_FILE_BYTES, ' ') + "}");
  Character hero;
  character_init(hero, "Intacto", 3);
  Character before = hero;
  for (const char* name : {"vacio.json", "carpeta.json", "enorme.json", "nada.json"}) {
    SCOPED_TRACE(name);
    char section[32] = "previa";
    EXPECT_FALSE(load_game(dir.path().c_str(), "x", section, sizeof section, &hero, name));
    EXPECT_STREQ(section, "previa");
    EXPECT_TRUE(same_character(hero, before));
  }
  char section[32] = "";
  EXPECT_FALSE(load_game(dir.path().c_str(), "nada", section, sizeof section, &hero, nullptr));
  EXPECT_FALSE(load_game(dir.path().c_str(), "x", nullptr, 32, &hero, "vacio.json"));
  EXPECT_FALSE(load_game(dir.path().c_str(), "x", section, sizeof section, nullptr, "vacio.json"));
}

TEST(SaveFile, AFailedWriteKeepsThePreviousSave) {
  TempDir dir;
  std::string folder = dir.file("saves");
  Character hero = known_hero();
  ASSERT_TRUE(save_game(folder.c_str(), "c", "C", "1", "", &hero, nullptr));
  const std::string path = folder + "/quicksave_c.json";
  const std::string old = read_file(path);
  Character other;
  character_init(other, "Otro heroe con un nombre bastante largo", 99);
  for (int i = 0; i < 20; ++i) character_add_item(other, "objeto" + std::to_string(i));

  // A file-size limit makes every write beyond a few bytes fail, even for root.
  {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool written = save_game(folder.c_str(), "c", "C", "2", "", &other, nullptr);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(read_file(path), old);
    SaveSummary rows[4];
    EXPECT_EQ(save_manager_list_saves(folder.c_str(), rows, 4), 1);  // no leftovers listed
  }

  // A folder without write permission (root is not stopped by it).
  if (geteuid() != 0) {
    chmod(folder.c_str(), 0555);
    EXPECT_FALSE(save_game(folder.c_str(), "c", "C", "2", "", &other, nullptr));
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(read_file(path), old);
  }

  // The target is a folder, or the saves folder is a regular file.
  mkdir((folder + "/quicksave_d.json").c_str(), 0755);
  EXPECT_FALSE(save_game(folder.c_str(), "d", "D", "1", "", &hero, nullptr));
  EXPECT_FALSE(save_game(path.c_str(), "c", "C", "1", "", &hero, nullptr));
  EXPECT_EQ(read_file(path), old);
}

TEST(SaveFile, TheLongestSlugStillSavesLoadsAndLists) {
  TempDir dir;
  const std::string slug(124, 'z');
  Character hero = known_hero();
  ASSERT_TRUE(save_game(dir.path().c_str(), slug.c_str(), "T", "4", "", &hero, nullptr));
  const std::string autosave = "autosave_" + slug + ".json";
  ASSERT_TRUE(save_game(dir.path().c_str(), slug.c_str(), "T", "5", "", &hero, autosave.c_str()));

  Character loaded;
  char section[32] = "";
  ASSERT_TRUE(load_game(dir.path().c_str(), slug.c_str(), section, sizeof section, &loaded,
                        nullptr));
  EXPECT_STREQ(section, "4");  // the quicksave comes first
  ASSERT_TRUE(load_game(dir.path().c_str(), slug.c_str(), section, sizeof section, &loaded,
                        autosave.c_str()));
  EXPECT_STREQ(section, "5");

  SaveSummary rows[4];
  ASSERT_EQ(save_manager_list_saves(dir.path().c_str(), rows, 4), 2);
  std::set<std::string> names;
  for (const SaveSummary& row : {rows[0], rows[1]}) {
    names.insert(std::string(row.file_name.view()));
    EXPECT_EQ(row.story_slug.view(), slug);
  }
  EXPECT_EQ(names, (std::set<std::string>{autosave, "quicksave_" + slug + ".json"}));

  // A name longer than a file name may be is refused, not cut into another file.
  const std::string too_long = std::string(252, 'n') + ".json";
  EXPECT_FALSE(save_game(dir.path().c_str(), "s", "T", "1", "", &hero, too_long.c_str()));
  EXPECT_FALSE(load_game(dir.path().c_str(), "s", section, sizeof section, &loaded,
                         too_long.c_str()));
}

TEST(SaveFile, ExtractIntReadsTheQuotedKey) {
  const std::string text = "{\"max_hp\": 12, \"hp\":\n\t-3, \"big\": 99999999999, \"bad\": x}";
  EXPECT_EQ(extract_int(text, "hp"), -3);
  EXPECT_EQ(extract_int(text, "max_hp"), 12);
  EXPECT_EQ(extract_int(text, "big"), INT32_MAX);
  EXPECT_EQ(extract_int(text, "bad"), 0);
  EXPECT_EQ(extract_int(text, "missing"), 10);
  EXPECT_EQ(extract_int("{\"max_hp\": 12}", "hp"), 10);
  EXPECT_EQ(extract_int(text, nullptr), 10);
}
