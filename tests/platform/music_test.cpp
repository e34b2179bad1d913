// The music child, driven by a stand-in player script put first on PATH.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio.h"
#include "platform/platform.h"
#include "support/test_support.h"

using qh_test::read_file;
using qh_test::TempDir;
using qh_test::write_file;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct PlayerRun {
  pid_t pid;
  std::string argument;
};

// Parent pid and state letter of a process; state '\0' when it is gone.
std::pair<int, char> process_info(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  char state = '\0';
  int ppid = 0;
  if (close != std::string::npos) std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid);
  return {ppid, state};
}

bool process_ended(pid_t pid) {
  char state = process_info(pid).second;
  return state == '\0' || state == 'Z' || state == 'X';
}

int children_of_this_process() {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* e = proc ? readdir(proc) : nullptr) {
    pid_t pid = std::atoi(e->d_name);
    if (pid > 0 && process_info(pid).first == getpid()) ++count;  // zombies included
  }
  if (proc) closedir(proc);
  return count;
}

bool eventually(const std::function<bool()>& condition, int timeout_ms) {
  auto deadline = Clock::now() + milliseconds(timeout_ms);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

class Music : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
    ASSERT_EQ(mkdir(bin_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(empty_bin_.c_str(), 0755), 0);
    set_path(bin_ + ":" + saved_path_);
    write_file(track_, "RIFF");
    write_file(other_, "RIFF");
  }
  void TearDown() override {
    platform_stop_audio();
    set_path(saved_path_);
  }
  static void set_path(const std::string& path) { setenv("PATH", path.c_str(), 1); }

  // The stand-in logs its pid and argument, then runs `rest`.
  void install_player(const std::string& rest, const char* name = "afplay") {
    qh_test::make_executable_script(
        bin_ + "/" + name, "#!/bin/sh\nprintf '%s %s\\n' \"$$\" \"$1\" >> '" + log_ + "'\n" + rest);
  }
  std::vector<PlayerRun> runs() const {
    std::vector<PlayerRun> out;
    std::istringstream in(read_file(log_));
    for (std::string line; std::getline(in, line);) {
      out.push_back({std::atoi(line.c_str()), line.substr(line.find(' ') + 1)});
    }
    return out;
  }
  bool wait_runs(std::size_t count) const {
    return eventually([&] { return runs().size() >= count; }, 3000);
  }

  TempDir dir_;
  std::string saved_path_;
  std::string bin_ = dir_.file("bin");
  std::string empty_bin_ = dir_.file("nothing");
  std::string log_ = dir_.file("player.log");
  std::string track_ = dir_.file("track.wav");
  std::string other_ = dir_.file("other.wav");
};

TEST_F(Music, LoopRepeatsWhileThePlayerSucceeds) {
  install_player("sleep 0.05");
  platform_play_audio_async(track_.c_str(), true);
  ASSERT_TRUE(wait_runs(3));
  platform_stop_audio();
  std::size_t seen = runs().size();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(runs().size(), seen) << "a repetition started after the stop";
  for (const PlayerRun& r : runs()) EXPECT_EQ(r.argument, track_);

  // A failing run ends the loop after one run.
  std::remove(log_.c_str());
  install_player("exit 1");
  platform_play_audio_async(track_.c_str(), true);
  pid_t child = platform_audio_child();
  EXPECT_TRUE(eventually([&] { return process_ended(child); }, 2000));
  EXPECT_EQ(runs().size(), 1u);
}

TEST_F(Music, StopAndSecondTrackEndThePlayerItselfAtOnce) {
  install_player("exec sleep 30");
  for (bool loop : {true, false}) {
    platform_play_audio_async(track_.c_str(), loop);
    ASSERT_TRUE(wait_runs(1));
    pid_t player = runs().back().pid;
    auto start = Clock::now();
    platform_stop_audio();
    EXPECT_TRUE(eventually([&] { return process_ended(player); }, 500)) << "loop " << loop;
    EXPECT_LT(Clock::now() - start, milliseconds(500));
    EXPECT_EQ(platform_audio_child(), -1);
    std::remove(log_.c_str());
  }
  // A second track stops the first before it starts: never two at once.
  platform_play_audio_async(track_.c_str(), true);
  ASSERT_TRUE(wait_runs(1));
  pid_t first = runs()[0].pid;
  platform_play_audio_async(other_.c_str(), true);
  EXPECT_TRUE(process_ended(first));
  ASSERT_TRUE(wait_runs(2));
  EXPECT_EQ(runs()[1].argument, other_);
}

TEST_F(Music, UnplayableFilesOrNoPlayerLeaveTheCurrentTrack) {
  install_player("exec sleep 30");
  platform_play_audio_async(track_.c_str(), true);
  ASSERT_TRUE(wait_runs(1));
  pid_t child = platform_audio_child();
  std::string missing = dir_.file("missing.wav");
  std::string fifo = dir_.file("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const char* bad : {missing.c_str(), dir_.path().c_str(), fifo.c_str(), "",
                          static_cast<const char*>(nullptr)}) {
    platform_play_audio_async(bad, false);
  }
  set_path(empty_bin_);
  EXPECT_FALSE(platform_audio_player_available());
  platform_play_audio_async(other_.c_str(), false);
  EXPECT_EQ(platform_audio_child(), child);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_FALSE(process_ended(runs()[0].pid));
  EXPECT_EQ(runs().size(), 1u);

  // Without afplay, the next player of the list plays.
  install_player("exit 0", "paplay");
  set_path(empty_bin_ + ":" + bin_);  // keep any real player of this machine out of the way
  unlink((bin_ + "/afplay").c_str());
  platform_play_audio_async(other_.c_str(), false);
  ASSERT_TRUE(wait_runs(2));
  EXPECT_EQ(runs()[1].argument, other_);
}

TEST_F(Music, FileNamesArePassedLiterallyWithoutAShell) {
  install_player("exit 0");
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  const char* names[] = {"t$(touch PWN).wav", "a \"b\" `touch PWN2`;c.wav", "-x.wav"};
  for (std::size_t i = 0; i < 3; ++i) {
    write_file(names[i], "RIFF");
    platform_play_audio_async(names[i], i == 0);
    std::string expected = i == 2 ? std::string("./-x.wav") : names[i];
    EXPECT_TRUE(eventually(
        [&] {
          std::vector<PlayerRun> r = runs();
          return !r.empty() && r.back().argument == expected;
        },
        3000))
        << expected;
    platform_stop_audio();
  }
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_FALSE(qh_test::file_exists(dir_.file("PWN")) || qh_test::file_exists(dir_.file("PWN2")));
}

TEST_F(Music, ManyStartsAndStopsLeaveNoZombieOrStrayPlayer) {
  install_player("exec sleep 30");
  for (int i = 0; i < 50; ++i) {
    platform_play_audio_async(i % 3 == 0 ? other_.c_str() : track_.c_str(), i % 2 == 0);
    if (i % 4 == 0) std::this_thread::sleep_for(milliseconds(20));  // let a player start
    if (i % 5 != 4) platform_stop_audio();  // otherwise the next start replaces it
  }
  platform_stop_audio();
  EXPECT_EQ(children_of_this_process(), 0);
  EXPECT_GT(runs().size(), 0u);
  for (const PlayerRun& r : runs()) EXPECT_TRUE(process_ended(r.pid)) << r.pid;
}

TEST_F(Music, EarlierTextAppearsOnceAndPlayerOutputIsDiscarded) {
  install_player("echo ruido\necho ruido-err >&2\nsleep 0.05");
  std::string err_path = dir_.file("stderr");
  int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int saved_err = dup(2);
  dup2(err_fd, 2);
  std::string out = qh_test::capture_stdout([&] {
    std::printf("antes|");
    platform_play_audio_async(track_.c_str(), true);
    wait_runs(2);
    std::printf("entre|");
    platform_play_audio_async(other_.c_str(), false);
    wait_runs(3);
    platform_stop_audio();
  });
  dup2(saved_err, 2);
  close(saved_err);
  close(err_fd);
  EXPECT_EQ(out, "antes|entre|");
  EXPECT_EQ(read_file(err_path), "");
}

TEST_F(Music, AudioStatePlaysThroughThePlayer) {
  install_player("exec sleep 30");
  std::string base = dir_.file("base");
  write_file(base + "/assets/audio/quillhaven_intro.wav", "RIFF");
  write_file(base + "/assets/audio/victory_fanfare.wav", "RIFF");
  AudioState state;
  audio_init(state, base.c_str(), true, 0.7f);
  audio_play(state, "intro", true);
  EXPECT_EQ(state.current_theme, "intro");
  EXPECT_TRUE(state.playing);
  ASSERT_TRUE(wait_runs(1));
  EXPECT_EQ(runs()[0].argument, base + "/assets/audio/quillhaven_intro.wav");

  EXPECT_FALSE(audio_toggle(state));  // off: the player ends
  EXPECT_TRUE(process_ended(runs()[0].pid));
  EXPECT_TRUE(audio_toggle(state));  // on: still silent
  EXPECT_EQ(platform_audio_child(), -1);
  audio_play_victory_fanfare(state);
  EXPECT_EQ(state.current_theme, "victory");
  ASSERT_TRUE(wait_runs(2));
  EXPECT_EQ(runs()[1].argument, base + "/assets/audio/victory_fanfare.wav");
  audio_stop(state);
  EXPECT_TRUE(process_ended(runs()[1].pid));
  EXPECT_EQ(state.current_theme, "");

  // Without any player the theme is not recorded, so a caller tries again later.
  set_path(empty_bin_);
  audio_play(state, "intro", true);
  EXPECT_EQ(state.current_theme, "");
  EXPECT_FALSE(state.playing);
}

}  // namespace
