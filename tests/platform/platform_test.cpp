#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

using qh_test::capture_stdout;
using qh_test::read_file;
using qh_test::TempDir;
using qh_test::write_file;

namespace {

std::vector<std::int32_t> g_sleeps;

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(Platform, SleepsAndTerminalPrimitives) {
  g_sleeps.clear();
  platform_set_sleep_hook([](std::int32_t ms) { g_sleeps.push_back(ms); });
  for (int ms : {0, -5, 1500, 1}) platform_sleep_ms(ms);
  platform_set_sleep_hook(nullptr);
  EXPECT_EQ(g_sleeps, (std::vector<std::int32_t>{1500, 1}));

  int cols = 0;
  int rows = 0;
  std::string out = capture_stdout([&] {
    EXPECT_EQ(platform_get_terminal_size(&cols, &rows), 80);
    EXPECT_EQ(platform_get_terminal_size(nullptr, nullptr), 80);
    platform_clear_screen();
    platform_beep(880, 50);
  });
  EXPECT_EQ(cols * 100 + rows, 8024);
  EXPECT_EQ(out, "\x1b[2J\x1b[H\a");
}

TEST(Platform, OnlyRegularFilesExistOrAreRead) {
  TempDir dir;
  std::string file = dir.file("a.txt");
  std::string fifo = dir.file("fifo.wav");
  write_file(file, "hola");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_TRUE(platform_file_exists(file.c_str()));
  for (const char* p : {static_cast<const char*>(nullptr), "", dir.path().c_str(), fifo.c_str()}) {
    std::string out = "stale";
    EXPECT_FALSE(platform_file_exists(p));
    EXPECT_FALSE(platform_read_regular_file(p, 100, out));
    EXPECT_EQ(out, "");
  }
  std::string out;
  EXPECT_TRUE(platform_read_regular_file(file.c_str(), 4, out));
  EXPECT_EQ(out, "hola");
  EXPECT_FALSE(platform_read_regular_file(file.c_str(), 3, out));
  std::string big(200000, 'z');
  write_file(file, big);
  EXPECT_TRUE(platform_read_regular_file(file.c_str(), 1 << 20, out));
  EXPECT_EQ(out, big);
  if (geteuid() != 0) {  // root reads files regardless of their mode
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    EXPECT_FALSE(platform_file_exists(file.c_str()));
  }
}

TEST(Platform, AtomicWriteReplacesTheTargetWithTheGivenMode) {
  TempDir dir;
  std::string target = dir.file("datos.json");
  write_file(target, "viejo");
  ASSERT_TRUE(platform_write_file_atomic(target.c_str(), "nuevo", 0640));
  EXPECT_EQ(read_file(target), "nuevo");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask);
  EXPECT_FALSE(platform_write_file_atomic(dir.file("").c_str(), "a", 0600));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(Platform, MkdirPCreatesEveryPrefixBelow1024Bytes) {
  TempDir dir;
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_TRUE(platform_mkdir_p("a/b/c"));
  EXPECT_TRUE(platform_mkdir_p("a/b/c/"));  // already there, trailing separator: still true
  // A backslash separates like a slash: "x" first, then "x\y" (one name on this system).
  EXPECT_TRUE(platform_mkdir_p("x\\y"));
  EXPECT_TRUE(is_dir("a/b/c") && is_dir("x") && is_dir("x\\y"));
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_TRUE(platform_mkdir_p(dir.file("abs/one").c_str()));
  EXPECT_TRUE(is_dir(dir.file("abs/one")));
  EXPECT_FALSE(platform_mkdir_p(nullptr));
  EXPECT_FALSE(platform_mkdir_p(""));

  // Exactly 1023 and 1024 bytes, in names short enough for the file system.
  auto long_path = [&](const std::string& top, std::size_t total) {
    std::string p = dir.file(top);
    while (p.size() + 1 < total)
      p += "/" + std::string(std::min<std::size_t>(200, total - p.size() - 1), 'd');
    return p;
  };
  std::string fits = long_path("fits", 1023);
  std::string too_long = long_path("long", 1024);
  ASSERT_EQ(fits.size() + 1, too_long.size());
  EXPECT_TRUE(platform_mkdir_p(fits.c_str()));
  EXPECT_TRUE(is_dir(fits));
  EXPECT_FALSE(platform_mkdir_p(too_long.c_str()));
  EXPECT_FALSE(qh_test::file_exists(dir.file("long")));
}

TEST(Platform, CurrentTimeTextIsBoundedByTheCapacity) {
  char buffer[64];
  platform_get_current_time_str(buffer, sizeof buffer);
  EXPECT_TRUE(std::regex_match(buffer, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}"))) << buffer;
  std::memset(buffer, '#', sizeof buffer);
  platform_get_current_time_str(buffer, 0);
  EXPECT_EQ(buffer[0], '#');
  platform_get_current_time_str(buffer, 5);
  EXPECT_EQ(std::strlen(buffer), 4u);
  EXPECT_EQ(buffer[5], '#');
}

TEST(Platform, RunCaptureCutsButDrainsAndWaits) {
  char out[16];
  std::size_t len = 99;
  const char* echo[] = {"printf", "%s|%s", "a b", "$(x)", nullptr};
  ASSERT_TRUE(platform_run_capture(echo, out, sizeof out, &len));
  EXPECT_STREQ(out, "a b|$(x)");
  EXPECT_EQ(len, 8u);
  // Far more output than a pipe holds: the first 15 bytes are kept, no deadlock.
  const char* seq[] = {"seq", "1", "200000", nullptr};
  ASSERT_TRUE(platform_run_capture(seq, out, sizeof out, &len));
  EXPECT_STREQ(out, "1\n2\n3\n4\n5\n6\n7\n8");
  // Standard input is /dev/null, so a reader of stdin ends at once.
  const char* cat[] = {"cat", nullptr};
  EXPECT_TRUE(platform_run_capture(cat, out, sizeof out, &len));
  EXPECT_EQ(len, 0u);
  const char* missing[] = {"qh-no-such-program-here", nullptr};
  EXPECT_FALSE(platform_run_capture(missing, out, sizeof out, &len));
  const char* none[] = {nullptr};
  EXPECT_FALSE(platform_run_capture(none, out, sizeof out, &len));
}

}  // namespace
