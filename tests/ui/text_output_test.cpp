#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"
#include "ui/text_output.h"

using qh_test::capture_stdout;
using qh_test::with_stdin;

namespace {
std::vector<int> g_sleeps;
void record_sleep(int32_t ms) { g_sleeps.push_back(ms); }

struct SleepRecorder {
  SleepRecorder() {
    g_sleeps.clear();
    platform_set_sleep_hook(record_sleep);
  }
  ~SleepRecorder() { platform_set_sleep_hook(nullptr); }
};
}  // namespace

TEST(Typewriter, PausesAfterEvenBytesButNotAfterLineFeeds) {
  SleepRecorder rec;
  std::string out = capture_stdout([] { ui_typewriter("ab\ncd", 0.01f); });
  EXPECT_EQ(out, "ab\ncd");
  EXPECT_EQ(g_sleeps, (std::vector<int>{10, 10}));  // positions 0 and 4

  g_sleeps.clear();
  capture_stdout([] { ui_typewriter("abcde", 0.0015f); });
  EXPECT_EQ(g_sleeps, (std::vector<int>{1, 1, 1}));  // 1.5 ms truncates to 1
  g_sleeps.clear();
  capture_stdout([] { ui_typewriter("ab", 0.00015f); });
  EXPECT_EQ(g_sleeps, (std::vector<int>{1}));  // 0 is raised to 1

  g_sleeps.clear();
  out = capture_stdout([] {
    ui_typewriter("todo de golpe", 0.0f);
    ui_typewriter("sin pausa", 0.0001f);
    ui_typewriter(nullptr, 0.01f);
    ui_typewriter("", 0.01f);
  });
  EXPECT_EQ(out, "todo de golpesin pausa");
  EXPECT_TRUE(g_sleeps.empty());
}

TEST(Typewriter, SpeedSettersClampDifferently) {
  ui_init(-1.0f);
  EXPECT_FLOAT_EQ(ui_get_typewriter_speed(), 0.01f);
  ui_set_typewriter_speed(-1.0f);
  EXPECT_FLOAT_EQ(ui_get_typewriter_speed(), 0.0f);
  ui_init(0.025f);
  EXPECT_FLOAT_EQ(ui_get_typewriter_speed(), 0.025f);
  ui_set_typewriter_speed(0.0f);
}

TEST(Messages, KindSelectsColourAndTextIsNeverAFormat) {
  std::string out = capture_stdout([] {
    ui_print_message("fallo %s %n", "error");
    ui_print_message("ojo", "warning");
    ui_print_message("bien", "success");
    ui_print_message("dato", "info");
    ui_print_message("vacío", "");
    ui_print_message("mayúsculas", "ERROR");
    ui_print_message(nullptr, "error");
  });
  EXPECT_EQ(out,
            "\x1b[38;5;196m\x1b[1mfallo %s %n\x1b[0m\n"
            "\x1b[38;5;226m\x1b[1mojo\x1b[0m\n"
            "\x1b[38;5;46m\x1b[1mbien\x1b[0m\n"
            "\x1b[38;5;51mdato\x1b[0m\n"
            "\x1b[38;5;51mvacío\x1b[0m\n"
            "\x1b[38;5;51mmayúsculas\x1b[0m\n");
}

TEST(Prompt, StripsLineEndsAndLeavesTheRestOfALongLine) {
  std::string long_line(600, 'x');
  std::string input = "\nhola\r\n" + long_line + "\n";
  std::vector<std::string> got;
  std::string out = capture_stdout([&] {
    with_stdin(input, [&] {
      char buf[512];
      for (int i = 0; i < 4; ++i) {
        ui_prompt_action(buf, sizeof buf);
        got.emplace_back(buf);
      }
    });
  });
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "");
  EXPECT_EQ(got[1], "hola");
  EXPECT_EQ(got[2], std::string(511, 'x'));
  EXPECT_EQ(got[3], std::string(89, 'x'));
  EXPECT_TRUE(qh_test::contains_in_order(out, {"\n\x1b[38;5;214m\x1b[1m¿Qué deseas hacer? ❯ \x1b[0m"}));
}

TEST(Prompt, EndOfInputIsRecordedAndDiffersFromAnEmptyLine) {
  with_stdin("\n", [] {
    char buf[16];
    EXPECT_TRUE(ui_read_line(buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_FALSE(ui_input_closed());
    EXPECT_FALSE(ui_read_line(buf, sizeof buf));
    EXPECT_TRUE(ui_input_closed());
  });
}

TEST(Prompt, DiscardRestDropsTheTailOfAnOverlongAnswer) {
  with_stdin(std::string(100, 'n') + "\nsiguiente\n", [] {
    char name[64];
    ASSERT_TRUE(ui_read_line_discard_rest(name, sizeof name));
    EXPECT_EQ(std::string(name), std::string(63, 'n'));
    char next[64];
    ASSERT_TRUE(ui_read_line(next, sizeof next));
    EXPECT_STREQ(next, "siguiente");
  });
}

TEST(Banner, SixLogoLinesOfEqualWidthAndTheSubtitle) {
  std::string out = capture_stdout([] { ui_print_banner(); });
  ASSERT_TRUE(out.rfind("\x1b[38;5;51m\x1b[1m\n", 0) == 0);
  std::vector<std::string> lines;
  std::size_t pos = std::string("\x1b[38;5;51m\x1b[1m\n").size();
  for (int i = 0; i < 6; ++i) {
    std::size_t nl = out.find('\n', pos);
    lines.push_back(out.substr(pos, nl - pos));
    pos = nl + 1;
  }
  auto columns = [](const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
  };
  for (const auto& l : lines) {
    EXPECT_EQ(l.rfind("   ", 0), 0u);
    EXPECT_EQ(columns(l), columns(lines[0]));
    EXPECT_LE(columns(l), 88u);
  }
  std::string subtitle = out.substr(pos);
  EXPECT_EQ(subtitle.rfind("\x1b[38;5;214m" + std::string(18, ' ') + "⚔️  LLM & RAG Terminal Engine (", 0),
            0u);
  const std::string tail = ") ⚔️\n\x1b[0m";
  ASSERT_GT(subtitle.size(), tail.size());
  EXPECT_EQ(subtitle.substr(subtitle.size() - tail.size()), tail);
}

TEST(Prompt, EnterPauseIgnoresTheWholeLine) {
  std::string out = capture_stdout([] {
    with_stdin(std::string(100, 'z') + "\n3\n", [] {
      ui_pause_enter();
      char next[16];
      ASSERT_TRUE(ui_read_line(next, sizeof next));
      EXPECT_STREQ(next, "3");
    });
  });
  EXPECT_EQ(out, "\x1b[38;5;244m\nPresiona Enter para continuar...\x1b[0m");
}
