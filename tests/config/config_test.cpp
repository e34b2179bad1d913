#include "config/config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/test_support.h"

using qh_test::read_file;
using qh_test::TempDir;
using qh_test::write_file;

namespace {

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
  std::size_t entries() const {
    auto it = std::filesystem::directory_iterator(dir_.path());
    return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
  }
  TempDir dir_;
  std::string path_ = dir_.file("config.json");
  AppConfig c_;
};

TEST_F(ConfigFile, DefaultsAreWrittenInTheFixedLayoutWithOwnerOnlyMode) {
  AppConfig d;
  config_set_defaults(d);
  ASSERT_TRUE(config_save(d, path_.c_str()));
  EXPECT_EQ(read_file(path_),
            "{\n  \"gemini_api_key\": \"\",\n  \"model\": \"gemini-flash-lite-latest\",\n"
            "  \"offline_mode\": false,\n  \"language\": \"es\",\n  \"show_token_usage\": true,\n"
            "  \"typing_speed\": 0.0120,\n  \"music_enabled\": true,\n  \"music_volume\": 0.70,\n"
            "  \"mqtt_broker\": \"test.mosquitto.org\",\n  \"mqtt_port\": 1883,\n"
            "  \"community_vault_repo\": \"oskel/Quillhaven-Vault\"\n}\n");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(entries(), 1u);  // no temporary file left behind
  ASSERT_TRUE(load(read_file(path_)));
  EXPECT_TRUE(is_default());
}

TEST_F(ConfigFile, ReaderTakesTheFirstUsableValueAndKeepsDefaultsOtherwise) {
  ASSERT_TRUE(load("{}"));
  EXPECT_TRUE(is_default());
  // Quoted booleans and numbers are the wrong form; only leading letters count.
  ASSERT_TRUE(
      load("{\"offline_mode\": \"true\", \"mqtt_port\": \"80\", \"music_enabled\": fals,"
           " \"show_token_usage\":null, \"language\": 5}"));
  EXPECT_TRUE(is_default());
  ASSERT_TRUE(load("{\"offline_mode\":trueish, \"mqtt_port\": 1883.9, \"model\": \"\"}"));
  EXPECT_TRUE(c_.offline_mode);
  EXPECT_EQ(c_.mqtt_port, 1883);
  EXPECT_EQ(c_.model, "");
  // The first occurrence wins wherever it stands, even in text that is not JSON.
  ASSERT_TRUE(load("{\"x\": {\"model\": \"primero\"}, \"model\": \"segundo\"}"));
  EXPECT_EQ(c_.model, "primero");
  ASSERT_TRUE(load("basura \"model\" :: \"m-1\" ]]] {{"));
  EXPECT_EQ(c_.model, "m-1");
  c_.model.assign("gemini-flash-lite-latest");
  EXPECT_TRUE(is_default());
}

TEST_F(ConfigFile, NumbersUseTheLeadingPartAndSaturate) {
  struct {
    const char* value;
    float speed;
  } speeds[] = {{"1.2.3", 1.2f}, {"-", 0.0f},         {"1e-3", 1.0f},
                {"+0.5x", 0.5f}, {"\"0.3\"", 0.012f}, {"", 0.012f}};
  for (const auto& s : speeds) {
    ASSERT_TRUE(load(std::string("{\"typing_speed\": ") + s.value));
    EXPECT_FLOAT_EQ(c_.typing_speed, s.speed) << s.value;
  }
  const std::string nines(200, '9');
  struct {
    std::string value;
    std::int32_t port;
  } ports[] = {
      {"-80.7", -80}, {"2147483647", INT32_MAX}, {nines, INT32_MAX}, {"-" + nines, INT32_MIN}};
  for (const auto& p : ports) {
    ASSERT_TRUE(load("{\"mqtt_port\": " + p.value + "}"));
    EXPECT_EQ(c_.mqtt_port, p.port) << p.value;
  }
  ASSERT_TRUE(load("{\"music_volume\": " + nines + "}"));
  EXPECT_GT(c_.music_volume, 1e38f);
}

TEST_F(ConfigFile, TextValuesAreCutUnescapedAndRoundTrip) {
  ASSERT_TRUE(load("{\"gemini_api_key\": \"" + std::string(200, 'k') + "\", \"language\": \"" +
                   std::string(20, 'l') + "\"}"));
  EXPECT_EQ(c_.gemini_api_key, std::string(127, 'k'));
  EXPECT_EQ(c_.language, std::string(15, 'l'));
  ASSERT_TRUE(load(R"({"model": "a\"b\\c\nd\u00e9"})"));
  EXPECT_EQ(c_.model, R"(a"b\cndu00e9)");
  ASSERT_TRUE(load(R"({"model": "abc\)"));  // unterminated, backslash last
  EXPECT_EQ(c_.model, R"(abc\)");
  ASSERT_TRUE(load(std::string("{\"language\": \"en\"}\0\"model\": \"x\"", 31)));  // NUL ends it
  EXPECT_EQ(c_.model, "gemini-flash-lite-latest");

  AppConfig original;
  config_set_defaults(original);
  original.gemini_api_key.assign(R"(k"e\y\")");
  original.language.assign(R"(\)");
  original.mqtt_broker.assign("broker \"quoted\" \\ end \xc3\xb1");
  original.community_vault_repo.assign(std::string(127, '"'));  // doubles when escaped
  original.offline_mode = true;
  original.music_enabled = false;
  original.mqtt_port = -5;
  original.music_volume = 0.25f;
  ASSERT_TRUE(config_save(original, path_.c_str()));
  ASSERT_TRUE(config_load(c_, path_.c_str()));
  EXPECT_EQ(std::memcmp(&original, &c_, sizeof c_), 0) << read_file(path_);
}

TEST_F(ConfigFile, OnlyRegularFilesOfOneTo65536BytesLoad) {
  std::string body = "{\"model\": \"limite\"}";
  std::string exact = body + std::string(CONFIG_MAX_FILE_BYTES - body.size(), ' ');
  ASSERT_TRUE(load(exact));
  EXPECT_EQ(c_.model, "limite");
  EXPECT_FALSE(load(exact + " "));
  EXPECT_TRUE(is_default());
  EXPECT_FALSE(load(""));
  EXPECT_TRUE(is_default());
  // Missing, a directory or a FIFO: false, defaults, and no blocking.
  std::string fifo = dir_.file("fifo.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& p : {dir_.file("missing.json"), dir_.path(), fifo}) {
    std::memset(&c_, 0x5a, sizeof c_);
    EXPECT_FALSE(config_load(c_, p.c_str()));
    EXPECT_TRUE(is_default());
  }
  std::memset(&c_, 0x11, sizeof c_);
  AppConfig before = c_;
  EXPECT_FALSE(config_load(c_, nullptr));
  EXPECT_FALSE(config_save(c_, nullptr));
  EXPECT_EQ(std::memcmp(&before, &c_, sizeof c_), 0);
}

TEST_F(ConfigFile, FailedSaveLeavesTheOldFileByteIdentical) {
  const std::string old_text = "{\"model\": \"antiguo\"}\n";
  AppConfig changed;
  config_set_defaults(changed);
  changed.model.assign("nuevo");
  EXPECT_FALSE(config_save(changed, dir_.file("no/such/config.json").c_str()));
  // The name is taken by a directory: the rename fails and the temporary goes.
  std::string blocked = dir_.file("blocked.json");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  EXPECT_FALSE(config_save(changed, blocked.c_str()));
  EXPECT_EQ(entries(), 1u);

  // A full disk, made by a file-size limit in a child: the write fails half-way.
  write_file(path_, old_text);
  std::fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(config_save(changed, path_.c_str()) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save claimed success";
  EXPECT_EQ(read_file(path_), old_text);
  EXPECT_EQ(entries(), 2u);

  if (geteuid() != 0) {  // a read-only folder does not stop root
    ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
    EXPECT_FALSE(config_save(changed, path_.c_str()));
    chmod(dir_.path().c_str(), 0755);
    EXPECT_EQ(read_file(path_), old_text);
  }
  ASSERT_TRUE(config_save(changed, path_.c_str()));
  ASSERT_TRUE(config_load(c_, path_.c_str()));
  EXPECT_EQ(c_.model, "nuevo");
}

}  // namespace
