#include "config/config.h"

#include <sys/resource.h>
#include <sys/stat.h>

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
    return config_load(c_, path_.c_str());
  }
  bool is_default() const {
    AppConfig d;
    config_set_defaults(d);
    return std::memcmp(&d, &c_, sizeof c_) == 0;
  }
  std::ptrdiff_t entries() const {
    return std::distance(std::filesystem::directory_iterator(dir_.path()), {});
  }
  TempDir dir_;
  std::string path_ = dir_.file("config.json");
  AppConfig c_;
};

TEST_F(ConfigFile, ReaderTakesTheFirstUsableValueOfARegularFileAndKeepsDefaultsOtherwise) {
  // Quoted booleans and numbers are the wrong form.
  ASSERT_TRUE(load(R"({"offline_mode": "true", "mqtt_port": "80", "music_enabled": fals,
                       "show_token_usage": null, "typing_speed": "0.3", "language": 5})"));
  EXPECT_TRUE(is_default());
  // Only the leading part of a value counts, and the first occurrence of a key
  // wins wherever it stands, even in text that is not JSON.
  ASSERT_TRUE(load(R"(basura "offline_mode":trueish "mqtt_port": 1883.9 "typing_speed": 1.2.3
                      "music_volume": - "model" :: "m-1" ]]] {{ {"model": "segundo"})"));
  EXPECT_TRUE(c_.offline_mode && c_.mqtt_port == 1883 && c_.music_volume == 0.0f &&
              c_.typing_speed == 1.2f && c_.model == "m-1");
  // Numbers saturate; ports are cut toward zero.
  const std::string nines(200, '9');
  for (auto [value, port, volume] : {std::tuple{std::string("-80.7"), -80, -80.7f},
                                     {nines, INT32_MAX, FLT_MAX},
                                     {"-" + nines, INT32_MIN, -FLT_MAX}}) {
    ASSERT_TRUE(load("{\"mqtt_port\": " + value + ", \"music_volume\": " + value + "}"));
    EXPECT_EQ(c_.mqtt_port, port) << value;
    EXPECT_EQ(c_.music_volume, volume) << value;
  }
  // Texts are cut, JSON escapes are decoded (any other escaped byte is taken as
  // itself), a NUL ends the file.
  ASSERT_TRUE(load("{\"gemini_api_key\": \"" + std::string(200, 'k') + "\", \"language\": \"" +
                   std::string(20, 'l') + R"(", "model": "a\"b\\c\nd\u00e9", "mqtt_broker": "z\)"));
  EXPECT_EQ(c_.gemini_api_key, std::string(127, 'k'));
  EXPECT_EQ(c_.language, std::string(15, 'l'));
  EXPECT_EQ(c_.model, "a\"b\\c\nd\xC3\xA9");
  EXPECT_EQ(c_.mqtt_broker, R"(z\)");  // unterminated, backslash last
  ASSERT_TRUE(load(std::string("{\"language\": \"en\"}\0\"model\": \"x\"", 31)));
  EXPECT_EQ(c_.model, "gemini-flash-lite-latest");
  // Only regular files of 1 to 65,536 bytes load.
  const std::string exact = R"({"model": "limite"})" + std::string(CONFIG_MAX_FILE_BYTES - 19, ' ');
  ASSERT_TRUE(load(exact));
  EXPECT_EQ(c_.model, "limite");
  EXPECT_FALSE(load(exact + " ") || !is_default());
  EXPECT_FALSE(load("") || !is_default());
  // Missing, a directory or a FIFO: false, defaults, and no blocking.
  std::string fifo = dir_.file("fifo.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& p : {dir_.file("missing.json"), dir_.path(), fifo}) {
    std::memset(&c_, 0x5a, sizeof c_);
    EXPECT_FALSE(config_load(c_, p.c_str()) || !is_default()) << p;
  }
  EXPECT_FALSE(config_load(c_, nullptr) || config_save(c_, nullptr));
}

TEST_F(ConfigFile, SavesAtomicallyAndEveryValueRoundTrips) {
  AppConfig changed;
  config_set_defaults(changed);
  changed.gemini_api_key.assign(R"(k"e\y\")");
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

  // A full disk, made by a file-size limit: the write fails half-way and the
  // old file stays byte for byte.
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
