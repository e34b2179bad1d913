#include "savegame/save_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/fixed_list.h"
#include "savegame/save_browser.h"
#include "support/test_support.h"

namespace {

class SaveFile : public ::testing::Test {
 protected:
  void SetUp() override { character_init(hero, "Ana", 10); }

  // Loads `file` (else the story's quicksave, else its autosave); returns the section id.
  std::string load(const char* slug, const char* file = nullptr) {
    char section[32] = "previa";
    bool ok = load_game(dir.path().c_str(), slug, section, sizeof section, &loaded, file);
    return ok ? section : "(false) " + std::string(section);
  }
  bool loaded_is(const Character& c) const { return std::memcmp(&loaded, &c, sizeof c) == 0; }

  // Every row of the folder as "file | title | slug | section | hero | hp/max".
  std::set<std::string> rows() const {
    SaveSummary r[16];
    std::set<std::string> out;
    for (int i = 0, n = save_manager_list_saves(dir.path().c_str(), r, 16); i < n; ++i) {
      out.insert(std::string(r[i].file_name) + " | " + std::string(r[i].story_title) + " | " +
                 std::string(r[i].story_slug) + " | " + std::string(r[i].current_section_id) +
                 " | " + std::string(r[i].hero_name) + " | " + std::to_string(r[i].hp) + "/" +
                 std::to_string(r[i].max_hp));
    }
    return out;
  }

  qh_test::TempDir dir;
  Character hero, loaded;
};

}  // namespace

TEST_F(SaveFile, WritesTheFixedLayoutAndReadsItBack) {
  hero.hp = 7;
  for (auto [name, value] : {std::pair{"Fuerza", 2}, {"Magia", -1}}) {
    character_set_stat(hero, name, value);
    character_add_item(hero, value > 0 ? "Antorcha" : "Cuerda");
    character_set_flag(hero, value > 0 ? "puerta" : "trampa", value > 0);
  }
  const std::string folder = dir.file("saves/sub"), file = folder + "/quicksave_adventure.json";
  ASSERT_TRUE(save_game(folder.c_str(), nullptr, nullptr, nullptr, nullptr, &hero, ""));
  std::string text = qh_test::read_file(file);
  text.replace(text.find("\"saved_at\": \"") + 13, 16, "AAAA-MM-DD HH:MM");  // the time varies
  EXPECT_EQ(text, qh_test::read_file(QH_TEST_DATA_DIR "/savegame/layout.json"));
  rename(file.c_str(), dir.file("autosave_adventure.json").c_str());
  EXPECT_EQ(load(nullptr), "1");  // no quicksave: the autosave
  EXPECT_TRUE(loaded_is(hero));
  ASSERT_TRUE(save_game(dir.path().c_str(), nullptr, nullptr, "2", nullptr, &hero, nullptr));
  EXPECT_EQ(load(nullptr), "2");  // the quicksave comes first
}

// Every byte but NUL, control characters included, and texts that spell the file's own keys, quotes
// and brackets, in every kind of text: the file is valid JSON (no raw control byte inside a value)
// and reads back the same.
TEST_F(SaveFile, EveryTextSurvivesARoundTripAndTheFileStaysValidJson) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::vector<std::string> texts = {"Carta \"sellada\"",
                                    "Mapa [viejo]",
                                    "ruta\\",
                                    "a\",\"b",
                                    "]",
                                    "f\"}1",
                                    "g,\n}",
                                    "a}b",
                                    "states",
                                    "inventory",
                                    "x\"hp"};
  for (std::size_t at = 0; at < all.size(); at += 63) texts.push_back(all.substr(at, 63));
  character_init(hero, "Ana \"la \\ Roja\"" + all.substr(0, 40), 12);
  hero.hp = 4;
  for (const std::string& text : texts) {
    character_add_item(hero, text);
    character_add_state(hero, text);
    character_set_stat(hero, text, static_cast<int>(text.size()));
    character_set_flag(hero, text, text[0] & 1);
  }
  ASSERT_EQ(hero.stat_count, CHARACTER_MAX_STATS);
  const std::string slug(124, 'z'), name = "quicksave_" + slug + ".json";
  const std::string title = all.substr(0, 127), section = "s\"1\\" + all.substr(100, 27);
  ASSERT_TRUE(save_game(dir.path().c_str(), slug.c_str(), title.c_str(), section.c_str(),
                        all.c_str(), &hero, nullptr));
  const std::string text = qh_test::read_file(dir.file(name));
  EXPECT_TRUE(std::ranges::none_of(
      text, [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7F; }));
  EXPECT_EQ(load(slug.c_str()), section);
  EXPECT_TRUE(loaded_is(hero));  // every text, count and value
  EXPECT_EQ(rows(), (std::set<std::string>{name + " | " + title + " | " + slug + " | " + section +
                                           " | " + hero.name.data + " | 4/12"}));
}

// The list is sorted newest first and read a page at a time; a page past the end is empty.
TEST_F(SaveFile, ListIsNewestFirstAndPaged) {
  for (int i = 0; i < 20; ++i) {
    const std::string file = dir.file("p" + std::to_string(i) + ".json");
    qh_test::write_file(file, "{\"name\": \"H" + std::to_string(i) + "\"}");
    // Saves 0 and 1 share an instant: the name decides between them.
    const timespec times[2] = {{1000 + i, 0}, {1000 + (i < 2 ? 0 : i), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  }
  SaveSummary page[16];
  std::int32_t total = -1;
  ASSERT_EQ(save_manager_list_page(dir.path().c_str(), 0, page, 16, &total), 16);
  EXPECT_EQ(total, 20);
  EXPECT_EQ(std::string(page[0].file_name), "p19.json");
  EXPECT_EQ(std::string(page[15].hero_name), "H4");
  ASSERT_EQ(save_manager_list_page(dir.path().c_str(), 16, page, 16, &total), 4);
  EXPECT_EQ(std::string(page[1].file_name) + std::string(page[2].file_name) +
                std::string(page[3].hero_name),
            "p2.jsonp0.jsonH1");
  EXPECT_EQ(save_manager_list_page(dir.path().c_str(), 20, page, 16, &total), 0);
  EXPECT_EQ(total, 20);
}

TEST_F(SaveFile, LoaderIsTolerantOfHandEditedFiles) {
  // Written without escapes, with a CRLF line end and odd spacing; "max_hp" before a space is not
  // found. The rest of the file holds a 40-byte section id and an 80-byte stat name.
  qh_test::write_file(dir.file("vieja.json"),
                      "{\"current_section_id\":\r\n\t" +
                          qh_test::read_file(QH_TEST_DATA_DIR "/savegame/hand_edited_rest.txt"));
  EXPECT_EQ(load("x", "vieja.json"), std::string(31, '7'));
  character_init(hero, "Lia", 10);
  hero.hp = 0;  // a dead hero stays dead
  character_set_stat(hero, std::string(63, 's'), INT32_MAX);
  character_set_stat(hero, "Magia", -2);
  for (const char* item : {"Vela", "Soga"}) character_add_item(hero, item);
  character_add_state(hero, "Cansado");
  for (const char* flag : {"a", "b", "c"}) character_set_flag(hero, flag, flag[0] != 'b');
  EXPECT_TRUE(loaded_is(hero));
  EXPECT_EQ(extract_int("{\"max_hp\": 12, \"hp\":\n\t-99999999999}", "hp"), INT32_MIN);
}

TEST_F(SaveFile, AFailedWriteKeepsThePreviousSave) {
  const std::string path = dir.file("quicksave_c.json");
  ASSERT_TRUE(save_game(dir.path().c_str(), "c", "C", "1", "", &hero, nullptr));
  const std::string old = qh_test::read_file(path);
  // A file-size limit makes every write beyond a few bytes fail, even for root.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit small{64, saved.rlim_max};
  sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = save_game(dir.path().c_str(), "c", "C", "2", "", &hero, nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  EXPECT_EQ(rows().size(), 1u);  // no leftover file is listed
  EXPECT_FALSE(save_game(path.c_str(), "c", "C", "1", "", &hero, nullptr));  // folder is a file
  EXPECT_EQ(qh_test::read_file(path), old);
  // A name longer than a file name may be is refused, not cut into another file.
  const std::string too_long = std::string(252, 'n') + ".json";
  EXPECT_FALSE(save_game(dir.path().c_str(), "s", "T", "1", "", &hero, too_long.c_str()));
}

// A folder, a FIFO or a dangling link named *.json is no save and no row; a link to a save is one.
TEST_F(SaveFile, RegularJsonFilesAreListedButOnlySavesLoad) {
  SaveSummary some[16];
  EXPECT_EQ(save_manager_list_saves(dir.file("no_existe").c_str(), some, 4), 0);
  hero.hp = 5;
  const std::string title(150, 'T');
  ASSERT_TRUE(save_game(dir.path().c_str(), "cripta", title.c_str(), "7b", "Sala", &hero, nullptr));
  qh_test::write_file(dir.file("notas.txt"), "{\"name\": \"x\"}");
  qh_test::write_file(dir.file("vacio.json"), "");
  mkdir(dir.file("carpeta.json").c_str(), 0755);
  ASSERT_EQ(mkfifo(dir.file("tubo.json").c_str(), 0644), 0);  // must block neither reader
  ASSERT_EQ(symlink("no_existe.json", dir.file("roto.json").c_str()), 0);
  ASSERT_EQ(symlink("quicksave_cripta.json", dir.file("enlace.json").c_str()), 0);
  // The list reads only the first 4095 bytes; the loader refuses files over 1 MiB.
  const std::string pad(4072, ' '), big(SAVE_MAX_FILE_BYTES, ' ');
  qh_test::write_file(dir.file("enorme.json"),
                      "{\"current_section_id\": \"9\"," + pad + "\"name\": \"L\"," + big + "}");
  const std::set<std::string> expected = {
      "quicksave_cripta.json | " + title.substr(0, 127) + " | cripta | 7b | Ana | 5/10",
      "enlace.json | " + title.substr(0, 127) + " | cripta | 7b | Ana | 5/10",
      "enorme.json |  |  | 9 |  | 10/10", "vacio.json |  |  |  |  | 10/10"};
  EXPECT_EQ(rows(), expected);
  loaded = hero;
  for (const char* name : {"vacio.json", "carpeta.json", "tubo.json", "enorme.json", "no.json"})
    EXPECT_EQ(load("x", name), "(false) previa") << name;
  EXPECT_EQ(load("nada"), "(false) previa");
  EXPECT_TRUE(loaded_is(hero));
  for (int i = 0; i < 12; ++i) qh_test::write_file(dir.file(std::to_string(i) + ".json"), "{}");
  EXPECT_EQ(save_manager_list_saves(dir.path().c_str(), some, 16), 16);  // no more than fit
}

// Visited ids are cut like every section id, kept once, and at most a story's worth of them. (Where
// the key is written, and a save without it, are fixed by the end-to-end resume test.)
TEST(SaveVisits, VisitedSectionsAreCutKeptOnceAndBounded) {
  Character hero{};
  SaveVisited visits{};
  std::string many = "{\"visited_sections\": [\"" + std::string(40, 'a') + "\", \"x\", \"x\"";
  for (int i = 0; i < STORY_MAX_SECTIONS + 1; ++i) many += ", \"s" + std::to_string(i) + "\"";
  save_parse_text(many + "]}", nullptr, 0, hero, &visits);
  EXPECT_EQ(std::tuple(visits.present, visits.count, visits.ids[0].view(), visits.ids[1].view(),
                       visits.ids[2].view(), visits.ids[STORY_MAX_SECTIONS - 1].view()),
            std::tuple(true, STORY_MAX_SECTIONS, std::string(31, 'a'), "x", "s0",
                       "s" + std::to_string(STORY_MAX_SECTIONS - 3)));
}
