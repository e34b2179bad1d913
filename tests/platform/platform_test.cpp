// Folders, and the music child and the themes on top of it, driven by a stand-in player script put
// first on PATH.
#include "platform/platform.h"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <tuple>
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

// True when `pid` is gone altogether: ended and reaped.
bool gone(pid_t pid) { return read_file("/proc/" + std::to_string(pid) + "/stat").empty(); }

template <typename Condition>
bool eventually(Condition condition, int timeout_ms = 3000) {
  auto deadline = std::chrono::steady_clock::now() + milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// What the dice sound writes to the terminal behind a stream.
std::string dice_bell(const AudioState& state) {
  char bell[8] = {};
  std::FILE* out = fmemopen(bell, sizeof bell - 1, "w");
  audio_play_dice_sound(state, out);
  std::fclose(out);
  return bell;
}

// Every test runs inside its own folder with the stand-in players first on PATH.
class Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PATH", (bin_ + ":" + path_).c_str(), 1);
    for (const std::string& file : {track_, other_}) write_file(file, "RIFF");
    ASSERT_TRUE(getcwd(cwd_, sizeof cwd_) && chdir(dir_.path().c_str()) == 0);
  }
  void TearDown() override {
    platform_stop_audio();
    setenv("PATH", path_.c_str(), 1);
    ASSERT_EQ(chdir(cwd_), 0);
  }
  // The stand-in logs "<pid> <argument>", then runs `rest`.
  void install(const std::string& rest, const char* name = "afplay") {
    make_executable_script(bin_ + "/" + name,
                           "#!/bin/sh\nprintf '%s %s\\n' $$ \"$1\" >> '" + log_ + "'\n" + rest);
  }
  // Player runs so far: pid and argument.
  std::vector<std::pair<pid_t, std::string>> runs() const {
    std::vector<std::pair<pid_t, std::string>> out;
    std::istringstream log(read_file(log_));
    pid_t pid;
    for (std::string arg; log >> pid && std::getline(log.ignore(1), arg);)
      out.emplace_back(pid, arg);
    return out;
  }

  std::string path_ = std::getenv("PATH");
  char cwd_[4096];
  TempDir dir_;
  std::string bin_ = dir_.file("bin");
  std::string log_ = dir_.file("player.log");
  std::string track_ = dir_.file("track.wav");
  std::string other_ = dir_.file("other.wav");
};

TEST_F(Platform, MusicLoopsUntilAStopOrASecondTrackAndOutlastsUnplayableFiles) {
  // Three short runs, each ending with status 0, then one that lasts.
  install("[ $(wc -l < '" + log_ + "') -le 3 ] && exec sleep 0.05\nexec sleep 30");
  platform_play_audio_async(track_.c_str(), true);
  ASSERT_TRUE(eventually([&] { return runs().size() >= 4; }));
  // Unplayable files, or no player at all, leave the current track playing.
  const pid_t first = runs().back().first, child = platform_audio_child();
  ASSERT_EQ(mkfifo("fifo.wav", 0644), 0);
  for (const char* bad : {"missing.wav", ".", "fifo.wav", "", static_cast<const char*>(nullptr)})
    EXPECT_FALSE(platform_play_audio_async(bad, false)) << (bad ? bad : "null");
  setenv("PATH", dir_.file("nothing").c_str(), 1);
  EXPECT_FALSE(platform_play_audio_async(other_.c_str(), false));
  setenv("PATH", (bin_ + ":" + path_).c_str(), 1);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_TRUE(platform_audio_child() == child && !ended(first) && runs().size() == 4u);
  // A second track stops the first before it starts: never two at once.
  platform_play_audio_async(other_.c_str(), false);
  EXPECT_TRUE(ended(first));
  for (bool loop : {false, true}) {
    if (loop) platform_play_audio_async(track_.c_str(), true);
    ASSERT_TRUE(eventually([&] { return runs().back().second == (loop ? track_ : other_); }));
    const auto [player, seen, start] =
        std::tuple{runs().back().first, runs().size(), std::chrono::steady_clock::now()};
    platform_stop_audio();
    EXPECT_TRUE(eventually([&] { return ended(player); }, 500)) << loop;
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(platform_audio_child(), -1);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(runs().size(), seen) << "a repetition started after the stop";
  }
}

TEST_F(Platform, MusicFileNamesReachThePlayerLiterallyAndAFailedRunEndsTheLoop) {
  install("exit 0");
  for (std::string name : {"t$(touch PWN).wav", "-x.wav"}) {
    write_file(name, "RIFF");
    platform_play_audio_async(name.c_str(), true);
    if (name[0] == '-') name.insert(0, "./");  // never read as an option
    EXPECT_TRUE(eventually([&] { return !runs().empty() && runs().back().second == name; }));
    platform_stop_audio();
  }
  EXPECT_FALSE(file_exists("PWN"));
  // Without afplay the next player of the list plays; a failing run ends the loop.
  install("exit 1", "paplay");
  unlink((bin_ + "/afplay").c_str());
  setenv("PATH", bin_.c_str(), 1);  // no real player of this machine in the way
  const std::size_t seen = runs().size();
  platform_play_audio_async(other_.c_str(), true);
  ASSERT_TRUE(eventually([&] { return runs().size() > seen; }));
  EXPECT_EQ(runs().back().second, other_);
  EXPECT_TRUE(eventually([] { return ended(platform_audio_child()); }));
  EXPECT_EQ(runs().size(), seen + 1);
}

TEST_F(Platform, APlayerThatEndsAtOnceIsRetriedLessAndLessOftenThenGivenUp) {
  install("exit 0");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform_play_audio_async(track_.c_str(), true));
  const pid_t child = platform_audio_child();
  EXPECT_EQ(platform_audio_music(), PlatformMusic::kPlaying);
  // Five quick runs, the last four after pauses of 100, 200, 400 and 800 ms; then the loop child
  // gives up and is reaped without anyone asking.
  ASSERT_TRUE(eventually([&] { return gone(child); }, 6000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(1500));
  EXPECT_EQ(runs().size(), 5u);
  EXPECT_EQ(platform_audio_music(), PlatformMusic::kFailed);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(runs().size(), 5u);
  // A run that really plays starts the count again: two quick ones between long ones go on.
  install("n=$(wc -l < '" + log_ + "')\n[ $((n % 3)) -eq 0 ] && exec sleep 0.6\nexit 0");
  write_file(log_, "");
  ASSERT_TRUE(platform_play_audio_async(track_.c_str(), true));
  ASSERT_TRUE(eventually([&] { return runs().size() >= 8; }, 6000));
  EXPECT_EQ(platform_audio_music(), PlatformMusic::kPlaying);
  platform_stop_audio();
  EXPECT_EQ(platform_audio_music(), PlatformMusic::kNone);
}

TEST_F(Platform, EndedMusicChildrenAreReapedAtOnceAndSayHowTheyEnded) {
  // Loop or single play, with the player's status, and how the child is then seen.
  const std::tuple<bool, const char*, PlatformMusic> cases[] = {
      {true, "exit 1", PlatformMusic::kFailed},
      {false, "exit 0", PlatformMusic::kEnded},
      {false, "exit 2", PlatformMusic::kFailed},
      {true, "kill -9 $$", PlatformMusic::kFailed}};
  for (const auto& [loop, script, expected] : cases) {
    install(script);
    ASSERT_TRUE(platform_play_audio_async(track_.c_str(), loop));
    const pid_t child = platform_audio_child();
    EXPECT_TRUE(eventually([&] { return gone(child); })) << script;
    EXPECT_EQ(platform_audio_music(), expected) << script;
    EXPECT_EQ(platform_audio_child(), child);  // still recorded until a stop or a new track
  }
  platform_stop_audio();
  EXPECT_EQ(platform_audio_music(), PlatformMusic::kNone);
  EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);

  // The music layer tells each trouble once: no player at all, then a player that fails.
  write_file("assets/audio/dungeon_ambient.wav", "RIFF");
  AudioState state;
  audio_init(state, ".", false, 0.7f);
  setenv("PATH", dir_.file("nothing").c_str(), 1);
  audio_play(state, "dungeon", true);  // music off: nothing wanted, nothing to tell
  EXPECT_EQ(audio_take_notice(state), AudioNotice::kNone);
  EXPECT_TRUE(audio_toggle(state));
  audio_play(state, "dungeon", true);
  audio_play(state, "missing", true);
  EXPECT_EQ(audio_take_notice(state), AudioNotice::kNoPlayer);
  EXPECT_EQ(audio_take_notice(state), AudioNotice::kNone);
  setenv("PATH", (bin_ + ":" + path_).c_str(), 1);
  install("exit 1");
  audio_play(state, "dungeon", true);
  EXPECT_TRUE(eventually([&] { return audio_take_notice(state) == AudioNotice::kPlayerFails; }));
  EXPECT_EQ(state.current_theme, "dungeon");  // kept, so callers do not start it every turn
  audio_play(state, "dungeon", true);
  EXPECT_TRUE(eventually([] { return platform_audio_music() == PlatformMusic::kFailed; }));
  EXPECT_EQ(audio_take_notice(state), AudioNotice::kNone);
}

TEST_F(Platform, ProgramsAreFoundOnlyInAbsoluteFoldersOfPath) {
  install("exit 0", "herramienta");
  ASSERT_EQ(mkdir("rel", 0755), 0);
  make_executable_script("rel/herramienta", "#!/bin/sh\n");
  write_file(dir_.file("plain/herramienta"), "not executable");
  char found[256] = "-";
  setenv("PATH", ("rel::" + dir_.file("plain") + ":" + bin_).c_str(), 1);
  EXPECT_TRUE(platform_find_program("herramienta", found, sizeof found));
  EXPECT_EQ(std::string(found), bin_ + "/herramienta");
  setenv("PATH", "rel:.", 1);
  EXPECT_FALSE(platform_find_program("herramienta", found, sizeof found));
  EXPECT_STREQ(found, "");
  setenv("PATH", bin_.c_str(), 1);
  EXPECT_FALSE(platform_find_program("herramienta", found, bin_.size() + 5));  // would be cut
  EXPECT_FALSE(platform_find_program("bin/herramienta", found, sizeof found));
}

// Run as a child of the test below (its standard output a file of the parent's): text still
// buffered when a music child is forked is written once.
TEST_F(Platform, ManyMusicStartsAndStopsLeaveNoZombieAndPrintNothingTwice) {
  if (std::getenv("QH_PLATFORM_CHILD") == nullptr) {
    const RunResult child = run_program({.cwd = "",
                                         .input = "",
                                         .args = {"--gtest_filter=*.ManyMusicStarts*"},
                                         .binary = "/proc/self/exe",
                                         .env = {{"QH_PLATFORM_CHILD", "1"}}});
    EXPECT_EQ(child.exit_code, 0) << child.out << child.err;
    EXPECT_TRUE(contains_in_order(child.out, {"<<" + std::string(50, 'x') + ">>"}));
    EXPECT_EQ(child.out.find("<<"), child.out.rfind("<<")) << child.out;
    return;
  }
  install("echo ruido\nexec sleep 30");
  std::fputs("<<", stdout);
  for (int i = 0; i < 50; ++i) {
    std::fputs("x", stdout);  // still buffered when the child is forked
    platform_play_audio_async(i % 3 == 0 ? other_.c_str() : track_.c_str(), i % 2 == 0);
    if (i % 4 == 0) std::this_thread::sleep_for(milliseconds(20));  // let a player start
    // At least the first one surely does, however busy the machine.
    EXPECT_TRUE(i != 0 || eventually([&] { return !runs().empty(); }));
    if (i % 5 != 4) platform_stop_audio();  // otherwise the next start replaces it
  }
  platform_stop_audio();
  std::fputs(">>\n", stdout);
  std::fflush(stdout);
  EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) << std::strerror(errno);
  EXPECT_GT(runs().size(), 0u);
  for (const auto& run : runs()) EXPECT_TRUE(ended(run.first)) << run.first;
}

TEST_F(Platform, ThemesPlayThroughThePlayer) {
  install("exec sleep 30");
  // Tracks are looked for below the base folder's assets/audio, then in the base folder itself;
  // never in the working folder, which is not the game's.
  for (const char* file :
       {"base/assets/audio/quillhaven_intro.wav", "assets/audio/quillhaven_intro.wav",
        "assets/audio/dungeon_ambient.wav", "base/dungeon_ambient.wav", "battle_tension.wav",
        "base/assets/audio/victory_fanfare.wav"})
    write_file(file, "RIFF");
  ASSERT_EQ(mkdir("base/assets/audio/dungeon_ambient.wav", 0755), 0);  // a folder is no track
  AudioState state;
  audio_init(state, "base", true, 0.0f);
  EXPECT_FLOAT_EQ(state.volume, 0.7f);  // no usable volume: the default
  std::string found;
  for (const char* theme : {"intro", "dungeon", "combate", "victoria", "Combat"}) {
    char path[512] = "-";
    found += (audio_find_track(state, theme, path, sizeof path) ? path : "none") + std::string(";");
  }
  EXPECT_EQ(found,
            "base/assets/audio/quillhaven_intro.wav;base/dungeon_ambient.wav;"
            "none;base/assets/audio/victory_fanfare.wav;none;");
  // Last, assets/audio beside the running program (here the test binary), found from any folder;
  // one below the base folder still comes first.
  std::error_code ec;
  const std::string beside =
      std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string() + "/assets/audio";
  const std::string theme = "beside_" + std::to_string(getpid()), file = theme + ".wav";
  write_file(beside + "/" + file, "RIFF");
  for (const std::string& expected : {beside + "/" + file, "base/assets/audio/" + file}) {
    char path[512] = "-";
    EXPECT_TRUE(audio_find_track(state, theme.c_str(), path, sizeof path) && path == expected);
    write_file("base/assets/audio/" + file, "RIFF");
  }
  unlink((beside + "/" + file).c_str());
  rmdir(beside.c_str());  // only when the test made it
  rmdir(beside.substr(0, beside.rfind('/')).c_str());
  audio_play(state, "dungeon", true);
  ASSERT_TRUE(eventually([&] { return runs().size() == 1; }));
  EXPECT_EQ(runs()[0].second, "base/dungeon_ambient.wav");
  EXPECT_FALSE(audio_toggle(state));  // off: the player ends, the theme is forgotten
  EXPECT_TRUE(ended(runs()[0].first) && state.current_theme.empty());
  audio_play_victory_fanfare(state);
  EXPECT_EQ(dice_bell(state), "");
  EXPECT_TRUE(audio_toggle(state));  // on again: silent until the next play
  EXPECT_EQ(dice_bell(state), "\a");
  audio_play_victory_fanfare(state);
  ASSERT_TRUE(eventually([&] { return runs().size() == 2; }));
  EXPECT_EQ(runs()[1].second, "base/assets/audio/victory_fanfare.wav");
  // Without any player the theme is not recorded, so a caller tries again later.
  setenv("PATH", dir_.file("nothing").c_str(), 1);
  audio_play(state, "intro", true);
  EXPECT_EQ(state.current_theme, "victory");
  for (auto [volume, stored] : {std::pair{-0.2f, 0.0f}, {1.5f, 1.0f}, {std::nanf(""), 0.0f}}) {
    audio_set_volume(state, volume);
    EXPECT_FLOAT_EQ(state.volume, stored);
  }
}

TEST_F(Platform, MkdirPCreatesEveryPrefixBelow1024Bytes) {
  using std::filesystem::is_directory;
  std::error_code ec;
  EXPECT_TRUE(platform_mkdir_p("a/b/c") && platform_mkdir_p("a/b/c/"));  // again: still true
  // A backslash separates like a slash: "x" first, then "x\y" (one name here).
  EXPECT_TRUE(platform_mkdir_p("x\\y"));
  EXPECT_TRUE(is_directory("a/b/c", ec) && is_directory("x", ec) && is_directory("x\\y", ec));
  EXPECT_FALSE(platform_mkdir_p(nullptr) || platform_mkdir_p(""));
  // Absolute paths of exactly 1023 and 1024 bytes, in names the file system takes.
  for (std::size_t total : {1023u, 1024u}) {
    std::string top = "p" + std::to_string(total), path = dir_.file(top);
    while (path.size() < total)
      path += "/" + std::string(std::min<std::size_t>(200, total - path.size() - 1), 'd');
    EXPECT_EQ(platform_mkdir_p(path.c_str()), total == 1023);
    EXPECT_EQ(is_directory(path, ec), total == 1023);
    EXPECT_EQ(is_directory(top, ec), total == 1023);  // nothing is made of a path too long
  }
}

// The mapping of this process that holds `address`: its VmFlags line of /proc/self/smaps, or ""
// when none is found.
std::string vm_flags_at(const void* address) {
  auto at = reinterpret_cast<std::uintptr_t>(address);
  std::istringstream smaps(read_file("/proc/self/smaps"));
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t begin = 0, end = 0;
    // Mapping lines start "begin-end"; no field line parses as two hex numbers.
    if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR, &begin, &end) == 2)
      inside = begin <= at && at < end;
    else if (inside && line.rfind("VmFlags:", 0) == 0)
      return line;
  }
  return "";
}

TEST(PlatformLargeBlocks, ZeroedWritableToTheLastByteAndZeroedAgainAfterReuse) {
  const std::size_t sizes[] = {1,        PLATFORM_LARGE_BLOCK - 1, PLATFORM_LARGE_BLOCK,
                               2u << 20, (2u << 20) + 1,           7162548};
  for (std::size_t size : sizes) {
    for (int round = 0; round < 2; ++round) {
      auto* block = static_cast<unsigned char*>(platform_alloc_large(size));
      ASSERT_NE(block, nullptr) << size;
      EXPECT_TRUE(std::all_of(block, block + size, [](unsigned char c) { return c == 0; }))
          << size << " round " << round;
      std::memset(block, 0xFF, size);  // a second block of the same size must be zeroed again
      platform_free_large(block, size);
    }
  }
  for (std::size_t size : {std::size_t{0}, SIZE_MAX, SIZE_MAX - 4096})
    EXPECT_EQ(platform_alloc_large(size), nullptr) << size;
  platform_free_large(nullptr, PLATFORM_LARGE_BLOCK);  // nothing to release
}

// A mapped block ends on a huge-page boundary. Only its whole huge pages from 2 MiB into it on ask
// for huge pages, so a small use of its first entries stays in small pages, until a fill of the
// block is announced.
TEST(PlatformLargeBlocks, HugePagesFromTwoMegabytesOnUntilAFillIsAnnounced) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "under AddressSanitizer large blocks come from the C heap";
#endif
  constexpr std::size_t kHuge = 2u << 20;
  const std::size_t size = 3 * kHuge + 12345;
  auto* block = static_cast<unsigned char*>(platform_alloc_large(size));
  ASSERT_NE(block, nullptr);
  const std::size_t pages = (size + 4095) / 4096 * 4096, first = pages % kHuge;
  EXPECT_EQ((reinterpret_cast<std::uintptr_t>(block) + pages) % kHuge, 0u);
  // Whether each address lies in a huge page, '+' or '-'; nothing without transparent ones.
  const bool thp = file_exists("/sys/kernel/mm/transparent_hugepage/enabled");
  auto huge = [thp](std::initializer_list<const void*> at, std::string_view expected) {
    std::string out;
    for (const void* a : at) out += vm_flags_at(a).find(" hg") != std::string::npos ? '+' : '-';
    EXPECT_EQ(thp ? out : "", thp ? expected : "");
  };
  huge({block, block + first, block + first + kHuge, block + size - 1}, "--++");

  // Announced from an unaligned address inside the block: whole pages only.
  platform_advise_fill(block + 100, size - 100);
  huge({block + first}, "+");
  // Every page is faulted in but the first and the last, which lie partly outside the range (the
  // last one may come with its huge page); kernels older than 5.14 cannot fault a range in at once.
  void* probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(probe, MAP_FAILED);
  const bool populates = madvise(probe, 4096, MADV_POPULATE_WRITE) == 0;
  if (munmap(probe, 4096) == 0 && populates) {
    std::vector<unsigned char> resident(pages / 4096);
    ASSERT_EQ(mincore(block, pages, resident.data()), 0);
    EXPECT_EQ(resident.front() & 1, 0);
    EXPECT_EQ(std::count_if(resident.begin() + 1, resident.end() - 1,
                            [](unsigned char r) { return (r & 1) == 0; }),
              0);
  }
  platform_free_large(block, size);

  // A block of up to one huge page takes a whole huge page of its own.
  void* small = platform_alloc_large(PLATFORM_LARGE_BLOCK + 1);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small) % kHuge, 0u);
  huge({small}, "+");
  platform_free_large(small, PLATFORM_LARGE_BLOCK + 1);
}

}  // namespace

// A stop signal that lands just before the adventure's read starts must still end that read: the
// input is at its end afterwards instead of blocking.
TEST(PlatformStopSignals, ASignalBeforeTheReadEndsTheInputAndTheFlagSaysWhichCame) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  platform_catch_stop_signals(true, input[0]);
  EXPECT_EQ(platform_stop_signal(), 0);
  ASSERT_EQ(raise(SIGTERM), 0);
  EXPECT_EQ(platform_stop_signal(), SIGTERM);
  // The writing end is still open: without the handler this read would block.
  pollfd ready{input[0], POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 2000), 1);
  char byte;
  EXPECT_EQ(read(input[0], &byte, 1), 0);
  platform_catch_stop_signals(false);
  close(input[0]);
  close(input[1]);
}
