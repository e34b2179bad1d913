#include "config/config.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <tuple>

#include "support/test_support.h"

namespace {

using namespace qh_test;

class ConfigFile : public ::testing::Test {
 protected:
  // Loads `content` into a record that starts as garbage, so the defaults must be set.
  bool load(const std::string& content) {
    write_file(path_, content);
    std::memset(&c_, 0x5a, sizeof c_);
    return config_load(c_, path_.c_str(), &report_);
  }
  bool is_default() const {
    AppConfig d;
    config_set_defaults(d);
    return std::memcmp(&d, &c_, sizeof c_) == 0;
  }
  std::string warnings() const {  // each on a line of its own
    std::string all;
    for (int i = 0; i < report_.warning_count; ++i)
      all += std::string(report_.warnings[i].view()) + "\n";
    return all;
  }
  std::ptrdiff_t entries() const {
    return std::distance(std::filesystem::directory_iterator(dir_.path()), {});
  }
  TempDir dir_;
  std::string path_ = dir_.file("config.json");
  AppConfig c_;
  ConfigReport report_;
};

TEST_F(ConfigFile, ReadsOneJsonObjectWithExactKeysAndCheckedTypes) {
  // A wrong type keeps that key's default and says so; unknown keys and values nested elsewhere are
  // ignored.
  ASSERT_TRUE(load(R"({"offline_mode": "true", "mqtt_port": "80", "music_enabled": null,
                       "show_token_usage": 1, "typing_speed": "0.3", "language": 5,
                       "otra": {"model": "anidado", "mqtt_port": 1}, "lista": [1, [{}]]})"));
  EXPECT_TRUE(is_default() && report_.state == ConfigFileState::kLoaded);
  EXPECT_EQ(warnings(), read_file(QH_TEST_DATA_DIR "/config/type_warnings.txt"));
  // A key spelled inside another value is not that key: the loose search took the vault repository
  // from the end of the key's text and lost the real one.
  ASSERT_TRUE(load(R"({"gemini_api_key": "x \"community_vault_repo", "model": "m-1",
                       "community_vault_repo": "yo/real", "model": "segundo"})"));
  EXPECT_EQ(c_.gemini_api_key, R"(x "community_vault_repo)");
  EXPECT_EQ(c_.community_vault_repo, "yo/real");
  EXPECT_EQ(c_.model, "m-1");  // the first of two wins
  // Numbers follow JSON, exponents included; they saturate and ports are cut toward zero.
  ASSERT_TRUE(load(R"({"mqtt_port": 1883.9, "music_volume": 25e-2, "typing_speed": 1E-3})"));
  EXPECT_TRUE(c_.mqtt_port == 1883 && c_.music_volume == 0.25f && c_.typing_speed == 0.001f);
  const std::string nines(200, '9');
  for (auto [value, port, volume] : {std::tuple{std::string("-80.7"), -80, -80.7f},
                                     {nines, INT32_MAX, FLT_MAX},
                                     {"-" + nines, INT32_MIN, -FLT_MAX},
                                     {"1e400", INT32_MAX, FLT_MAX}}) {
    ASSERT_TRUE(load("{\"mqtt_port\": " + value + ", \"music_volume\": " + value + "}"));
    EXPECT_EQ(c_.mqtt_port, port) << value;
    EXPECT_EQ(c_.music_volume, volume) << value;
  }
  // Every escape is decoded (surrogate pairs into one UTF-8 character); texts are cut at their
  // field; a NUL is no text a field can hold.
  ASSERT_TRUE(load("\xEF\xBB\xBF{\"gemini_api_key\": \"" + std::string(200, 'k') +
                   "\", \"language\": \"" + std::string(20, 'l') +
                   R"(", "model": "a\"b\\c\/d\b\f\n\r\t\u00e9\u20AC\ud83d\ude00", )" +
                   R"("mqtt_broker": "x\u0000y"})"));
  EXPECT_EQ(c_.gemini_api_key, std::string(127, 'k'));
  EXPECT_EQ(c_.language, std::string(15, 'l'));
  EXPECT_EQ(c_.model, "a\"b\\c/d\b\f\n\r\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(c_.mqtt_broker, CONFIG_DEFAULT_BROKER);
  EXPECT_EQ(warnings(),
            "⚠️ config.json: \"mqtt_broker\" contiene un carácter nulo; se usa el valor por "
            "defecto.\n");
}

TEST_F(ConfigFile, TypingSpeedIsClampedIntoAPlayableRange) {
  std::string said;
  for (auto [text, speed] : {std::pair{"12", CONFIG_MAX_TYPING_SPEED},
                             {"1e47", CONFIG_MAX_TYPING_SPEED},
                             {"-1", 0.0f},
                             {"0.05", CONFIG_MAX_TYPING_SPEED},
                             {"0.025", 0.025f},
                             {"0", 0.0f}}) {
    ASSERT_TRUE(load(std::string("{\"typing_speed\": ") + text + "}"));
    EXPECT_EQ(c_.typing_speed, speed) << text;
    said += warnings();
  }
  EXPECT_EQ(said, read_file(QH_TEST_DATA_DIR "/config/typing_speed_warnings.txt"));
}

TEST_F(ConfigFile, AnythingButAReadableJsonObjectLeavesTheDefaultsAndSaysWhy) {
  // The warnings, one per text and in this order, are in malformed_warnings.txt.
  const std::string deep = std::string(40, '[') + std::string(40, ']');
  const std::string texts[] = {"{\n  \"model\": \"x\",\n}",
                               R"(basura "model" :: "m-1")",
                               R"({"model": "x"} {})",
                               R"({"model": tru})",
                               R"({"offline_mode": trueish})",
                               R"({"model": "\x"})",
                               R"({"model": "\ud800x"})",
                               R"({"model": "\u12G4"})",
                               R"({"mqtt_port": 1.2.3})",
                               R"({"mqtt_port": -})",
                               R"({"model": "sin cierre)",
                               "{\"a\": " + deep + "}",
                               std::string("{\"language\": \"en\"}\0\0", 20),
                               "[]"};
  std::string said;
  for (const std::string& text : texts) {
    EXPECT_FALSE(load(text)) << text;
    EXPECT_TRUE(is_default() && report_.state == ConfigFileState::kMalformed) << text;
    EXPECT_EQ(report_.warning_count, 1) << text;
    said += warnings();
  }
  EXPECT_EQ(said, read_file(QH_TEST_DATA_DIR "/config/malformed_warnings.txt"));
  // Only regular files of 1 to 65,536 bytes are read; blanks count as empty.
  const std::string exact = R"({"model": "limite"})" + std::string(CONFIG_MAX_FILE_BYTES - 19, ' ');
  ASSERT_TRUE(load(exact));
  EXPECT_EQ(c_.model, "limite");
  EXPECT_FALSE(load(exact + " ") || !is_default());
  EXPECT_EQ(report_.state, ConfigFileState::kTooLarge);
  EXPECT_EQ(report_.warnings[0], "⚠️ config.json ocupa más de 64 KiB y no se ha leído.");
  for (const char* blank : {"", " \n\t\r\n"}) {
    EXPECT_FALSE(load(blank) || !is_default());
    EXPECT_TRUE(report_.state == ConfigFileState::kEmpty && report_.warning_count == 0);
  }
  // Missing, a directory or a FIFO: false, defaults, and no blocking.
  std::string fifo = dir_.file("fifo.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_EQ(symlink("nada.json", dir_.file("roto.json").c_str()), 0);
  for (auto [p, state] : {std::pair{dir_.file("missing.json"), ConfigFileState::kMissing},
                          {dir_.file("roto.json"), ConfigFileState::kUnreadable},
                          {dir_.path(), ConfigFileState::kNotRegular},
                          {fifo, ConfigFileState::kNotRegular}}) {
    std::memset(&c_, 0x5a, sizeof c_);
    EXPECT_FALSE(config_load(c_, p.c_str(), &report_) || !is_default()) << p;
    EXPECT_EQ(report_.state, state) << p;
    EXPECT_EQ(report_.warning_count, state == ConfigFileState::kMissing ? 0 : 1) << p;
  }
  EXPECT_FALSE(config_load(c_, nullptr) || config_save(c_, nullptr));
}

// A save replaces what stands at the path, except a read-only file. What is replaced is kept once
// as a backup, and only a regular file is. (How start-up names a read-only file, a folder, a FIFO
// or a file to back up is fixed by the end-to-end StartUp and SettingsScreen tests.)
TEST_F(ConfigFile, ReplacingKeepsOneBackupAndNeverTouchesAReadOnlyFile) {
  AppConfig d;
  config_set_defaults(d);
  const std::string bak = dir_.file("config.json.bak"), folder = dir_.file("carpeta.json");
  EXPECT_EQ(config_replacement(path_.c_str()), ConfigReplacement::kWrite);
  EXPECT_EQ(config_replacement(nullptr), ConfigReplacement::kWrite);
  EXPECT_TRUE(config_keep_backup(path_.c_str(), bak.c_str()));  // nothing to keep
  EXPECT_FALSE(file_exists(bak));
  write_file(bak, "copia vieja");
  write_file(path_, "{roto");
  ASSERT_TRUE(config_keep_backup(path_.c_str(), bak.c_str()));
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  errno = 0;
  EXPECT_FALSE(config_save(d, path_.c_str()));
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(read_file(path_), "{roto");
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  ASSERT_TRUE(config_save(d, path_.c_str()));
  EXPECT_EQ(read_file(bak), "{roto");
  // A folder is neither copied nor replaced.
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  EXPECT_TRUE(config_keep_backup(folder.c_str(), dir_.file("carpeta.bak").c_str()));
  EXPECT_FALSE(file_exists(dir_.file("carpeta.bak")));
  EXPECT_FALSE(config_keep_backup(path_.c_str(), dir_.path().c_str()));
  ASSERT_EQ(symlink(path_.c_str(), dir_.file("enlace.json").c_str()), 0);
  EXPECT_EQ(config_replacement(dir_.file("enlace.json").c_str()), ConfigReplacement::kLink);
}

TEST_F(ConfigFile, SavesAtomicallyAndEveryValueRoundTrips) {
  AppConfig changed;
  config_set_defaults(changed);
  // Texts that spell other keys, as a loose key search would misread them.
  changed.gemini_api_key.assign(R"(k"e\y\ "community_vault_repo)");
  changed.model.assign("\"model\": \"b\t\x01\x7f");
  changed.language.assign(R"(\)");
  changed.mqtt_broker.assign("broker \"quoted\" \\ end \xc3\xb1");
  changed.community_vault_repo.assign(std::string(127, '"'));  // doubles when escaped
  changed.offline_mode = true;
  changed.music_enabled = false;
  changed.mqtt_port = -5;
  changed.music_volume = 0.25f;
  EXPECT_FALSE(config_save(changed, dir_.file("no/such/config.json").c_str()));
  // The name is taken by a directory: the rename fails and the temporary goes.
  ASSERT_EQ(mkdir(dir_.file("blocked.json").c_str(), 0755), 0);
  EXPECT_FALSE(config_save(changed, dir_.file("blocked.json").c_str()));
  EXPECT_EQ(entries(), 1);

  // A full disk, made by a file-size limit: the write fails half-way and the old file stays byte
  // for byte.
  const std::string old_text = "{\"model\": \"antiguo\"}\n";
  write_file(path_, old_text);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit small{100, saved.rlim_max};
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = config_save(changed, path_.c_str());
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(written) << "the save claimed success";
  EXPECT_EQ(read_file(path_), old_text);

  ASSERT_TRUE(config_save(changed, path_.c_str()));
  ASSERT_TRUE(config_load(c_, path_.c_str()));
  EXPECT_EQ(std::memcmp(&changed, &c_, sizeof c_), 0) << read_file(path_);
  EXPECT_EQ(entries(), 2);  // no temporary file left behind
}

}  // namespace
