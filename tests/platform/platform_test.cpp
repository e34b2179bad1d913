// Folders, and the music child and the themes on top of it, driven by a
// stand-in player script put first on PATH.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio.h"
#include "support/test_support.h"

namespace {

using namespace qh_test;
using std::chrono::milliseconds;

// True once `pid` has ended: gone, or a zombie.
bool ended(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || std::strchr("ZX", stat[stat.rfind(')') + 2]) != nullptr;
}

template <typename Condition>
bool eventually(Condition condition, int timeout_ms = 3000) {
  auto deadline = std::chrono::steady_clock::now() + milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

class Music : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PATH", (bin_ + ":" + path_).c_str(), 1);
    write_file(track_, "RIFF");
    write_file(other_, "RIFF");
  }
  void TearDown() override {
    platform_stop_audio();
    setenv("PATH", path_.c_str(), 1);
  }
  // The stand-in logs "<pid> <argument>", then runs `rest`.
  void install(const std::string& rest, const char* name = "afplay") {
    make_executable_script(bin_ + "/" + name,
                           "#!/bin/sh\nprintf '%s %s\\n' $$ \"$1\" >> '" + log_ + "'\n" + rest);
  }
  // Player runs so far: pid and argument.
  std::vector<std::pair<pid_t, std::string>> runs() const {
    std::vector<std::pair<pid_t, std::string>> out;
    std::string log = read_file(log_);
    for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
      out.emplace_back(std::atoi(&log[at]),
                       log.substr(log.find(' ', at) + 1, end - log.find(' ', at) - 1));
    }
    return out;
  }
  bool wait_runs(std::size_t count) const {
    return eventually([&] { return runs().size() >= count; });
  }

  std::string path_ = std::getenv("PATH");
  TempDir dir_;
  std::string bin_ = dir_.file("bin");
  std::string log_ = dir_.file("player.log");
  std::string track_ = dir_.file("track.wav");
  std::string other_ = dir_.file("other.wav");
};

TEST_F(Music, LoopsUntilAStopOrASecondTrackEndsThePlayerAtOnce) {
  // Three short runs, each ending with status 0, then one that lasts.
  install("[ $(wc -l < '" + log_ + "') -le 3 ] && exec sleep 0.05\nexec sleep 30");
  platform_play_audio_async(track_.c_str(), true);
  ASSERT_TRUE(wait_runs(4));
  // A second track stops the first before it starts: never two at once.
  pid_t first = runs().back().first;
  platform_play_audio_async(other_.c_str(), false);
  EXPECT_TRUE(ended(first));
  ASSERT_TRUE(eventually([&] { return runs().back().second == other_; }));
  for (bool loop : {false, true}) {
    if (loop) platform_play_audio_async(track_.c_str(), true);
    ASSERT_TRUE(eventually([&] { return runs().back().second == (loop ? track_ : other_); }));
    pid_t player = runs().back().first;
    std::size_t seen = runs().size();
    auto start = std::chrono::steady_clock::now();
    platform_stop_audio();
    EXPECT_TRUE(eventually([&] { return ended(player); }, 500)) << loop;
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(platform_audio_child(), -1);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(runs().size(), seen) << "a repetition started after the stop";
  }
}

TEST_F(Music, UnplayableFilesOrNoPlayerLeaveTheCurrentTrack) {
  install("exec sleep 30");
  ASSERT_TRUE(platform_play_audio_async(track_.c_str(), true));
  ASSERT_TRUE(wait_runs(1));
  pid_t child = platform_audio_child();
  std::string fifo = dir_.file("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& bad : {dir_.file("missing.wav"), dir_.path(), fifo, std::string()}) {
    EXPECT_FALSE(platform_play_audio_async(bad.c_str(), false)) << bad;
  }
  EXPECT_FALSE(platform_play_audio_async(nullptr, false));
  setenv("PATH", dir_.file("nothing").c_str(), 1);
  EXPECT_FALSE(platform_audio_player_available());
  EXPECT_FALSE(platform_play_audio_async(other_.c_str(), false));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(platform_audio_child(), child);
  EXPECT_FALSE(ended(runs()[0].first));
  EXPECT_EQ(runs().size(), 1u);

  // Without afplay the next player of the list plays; a failing run ends the loop.
  install("exit 1", "paplay");
  unlink((bin_ + "/afplay").c_str());
  setenv("PATH", bin_.c_str(), 1);  // no real player of this machine in the way
  platform_play_audio_async(other_.c_str(), true);
  ASSERT_TRUE(wait_runs(2));
  EXPECT_EQ(runs()[1].second, other_);
  child = platform_audio_child();
  EXPECT_TRUE(eventually([&] { return ended(child); }));
  EXPECT_EQ(runs().size(), 2u);
}

TEST_F(Music, FileNamesArePassedLiterallyWithoutAShell) {
  install("exit 0");
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  for (std::string name : {"t$(touch PWN).wav", "-x.wav"}) {
    write_file(name, "RIFF");
    platform_play_audio_async(name.c_str(), true);
    if (name[0] == '-') name.insert(0, "./");  // never read as an option
    EXPECT_TRUE(eventually([&] { return !runs().empty() && runs().back().second == name; }))
        << name;
    platform_stop_audio();
  }
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_FALSE(file_exists(dir_.file("PWN")));
}

TEST_F(Music, ManyStartsAndStopsLeaveNoZombieAndPrintNothingTwice) {
  install("echo ruido\nexec sleep 30");
  std::string out = capture_stdout([&] {
    for (int i = 0; i < 50; ++i) {
      std::printf("%d|", i);  // still buffered when the child is forked
      platform_play_audio_async(i % 3 == 0 ? other_.c_str() : track_.c_str(), i % 2 == 0);
      if (i % 4 == 0) std::this_thread::sleep_for(milliseconds(20));  // let a player start
      if (i % 5 != 4) platform_stop_audio();  // otherwise the next start replaces it
    }
    platform_stop_audio();
  });
  std::string expected;
  for (int i = 0; i < 50; ++i) expected += std::to_string(i) + "|";
  EXPECT_EQ(out, expected);
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left, not even a zombie
  EXPECT_EQ(errno, ECHILD);
  EXPECT_GT(runs().size(), 0u);
  for (const auto& run : runs()) EXPECT_TRUE(ended(run.first)) << run.first;
}

TEST_F(Music, ThemesPlayThroughThePlayer) {
  install("exec sleep 30");
  // Tracks are looked for below the base folder, then in assets/audio, then alone.
  const std::string base = dir_.file("base/assets/audio/");
  for (const char* file : {"base/assets/audio/quillhaven_intro.wav",
                           "assets/audio/quillhaven_intro.wav", "assets/audio/dungeon_ambient.wav",
                           "battle_tension.wav", "base/assets/audio/victory_fanfare.wav"}) {
    write_file(dir_.file(file), "RIFF");
  }
  ASSERT_EQ(mkdir((base + "dungeon_ambient.wav").c_str(), 0755), 0);  // a folder is no track
  AudioState state;
  audio_init(state, dir_.file("base").c_str(), true, 0.0f);
  EXPECT_FLOAT_EQ(state.volume, 0.7f);  // no usable volume: the default
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  std::string found;
  for (const char* theme : {"intro", "dungeon", "combate", "victoria", "Combat"}) {
    char path[512] = "-";
    found += (audio_find_track(state, theme, path, sizeof path) ? path : "none") + std::string(";");
  }
  EXPECT_EQ(found, base +
                       "quillhaven_intro.wav;assets/audio/dungeon_ambient.wav;"
                       "battle_tension.wav;" +
                       base + "victory_fanfare.wav;none;");
  audio_play(state, "dungeon", true);
  ASSERT_EQ(chdir(saved), 0);
  ASSERT_TRUE(wait_runs(1));
  EXPECT_EQ(runs()[0].second, "assets/audio/dungeon_ambient.wav");
  audio_play(state, "missing", true);  // a missing track leaves the current one
  EXPECT_EQ(state.current_theme, "dungeon");
  EXPECT_FALSE(audio_toggle(state));  // off: the player ends, the theme is forgotten
  EXPECT_TRUE(ended(runs()[0].first) && state.current_theme.empty());
  audio_play_victory_fanfare(state);
  EXPECT_EQ(capture_stdout([&] { audio_play_dice_sound(state); }), "");
  EXPECT_TRUE(audio_toggle(state));  // on again: silent until the next play
  EXPECT_EQ(capture_stdout([&] { audio_play_dice_sound(state); }), "\a");
  audio_play_victory_fanfare(state);
  ASSERT_TRUE(wait_runs(2));
  EXPECT_EQ(runs()[1].second, base + "victory_fanfare.wav");
  // Without any player the theme is not recorded, so a caller tries again later.
  setenv("PATH", dir_.file("nothing").c_str(), 1);
  audio_play(state, "intro", true);
  EXPECT_EQ(state.current_theme, "victory");
  audio_stop(state);
  audio_play(state, "intro", true);
  EXPECT_TRUE(state.current_theme.empty() && !state.playing);
  for (auto [volume, stored] : {std::pair{-0.2f, 0.0f}, {1.5f, 1.0f}, {std::nanf(""), 0.0f}}) {
    audio_set_volume(state, volume);
    EXPECT_FLOAT_EQ(state.volume, stored);
  }
}

TEST(Platform, MkdirPCreatesEveryPrefixBelow1024Bytes) {
  TempDir dir;
  auto is_dir = [&](const std::string& path) {
    struct stat st;
    return stat(dir.file(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_TRUE(platform_mkdir_p("a/b/c") && platform_mkdir_p("a/b/c/"));  // again: still true
  // A backslash separates like a slash: "x" first, then "x\y" (one name here).
  EXPECT_TRUE(platform_mkdir_p("x\\y"));
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_TRUE(is_dir("a/b/c") && is_dir("x") && is_dir("x\\y"));
  EXPECT_FALSE(platform_mkdir_p(nullptr) || platform_mkdir_p(""));
  // Absolute paths of exactly 1023 and 1024 bytes, in names the file system takes.
  for (std::size_t total : {1023u, 1024u}) {
    std::string top = "p" + std::to_string(total);
    std::string path = dir.file(top);
    while (path.size() < total)
      path += "/" + std::string(std::min<std::size_t>(200, total - path.size() - 1), 'd');
    ASSERT_EQ(path.size(), total);
    EXPECT_EQ(platform_mkdir_p(path.c_str()), total == 1023);
    EXPECT_EQ(is_dir(path.substr(dir.path().size() + 1)), total == 1023);
    EXPECT_EQ(is_dir(top), total == 1023);  // nothing is made of a path too long
  }
}

}  // namespace
