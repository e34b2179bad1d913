#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"
#include "ui/dice_view.h"
#include "ui/text_output.h"

using qh_test::capture_stdout;

namespace {

std::vector<int> g_dice_sleeps;
void record_dice_sleep(std::int32_t ms) { g_dice_sleeps.push_back(ms); }

// Sleeps are recorded instead of taken, and the generator starts from its initial state.
struct DiceFixture : ::testing::Test {
  void SetUp() override {
    g_dice_sleeps.clear();
    platform_set_sleep_hook(record_dice_sleep);
    std::srand(1);
  }
  void TearDown() override { platform_set_sleep_hook(nullptr); }
};

RollResult make_roll(int d1, int d2, int modifier, int dc, int outcome, const char* text) {
  RollResult r{};
  r.die1 = d1;
  r.die2 = d2;
  r.modifier = modifier;
  r.total = d1 + d2 + modifier;
  r.dc = dc;
  r.outcome = outcome;
  r.text.assign(text);
  return r;
}

std::string rolling_frame(const char* r1, const char* r2, const char* r3) {
  return std::string("\r\x1b[38;5;244m  ┌───────┐ ┌───────┐\n  ") + r1 + "\n  " + r2 + "\n  " + r3 +
         "\n  └───────┘ └───────┘\x1b[0m\n\x1b[5A";
}

// The part of the output after the four rolling frames.
std::string settled(const std::string& out) {
  std::size_t at = out.rfind("\x1b[5A");
  return at == std::string::npos ? out : out.substr(at + 4);
}

}  // namespace

TEST_F(DiceFixture, WholeAnimationFromTheInitialGeneratorState) {
  RollResult roll = make_roll(6, 3, 2, 9, OUTCOME_SUCCESS, "Éxito Total (11 vs DC 9)");
  std::string out = capture_stdout([&] { ui_animate_dice_roll(&roll, "Sigilo"); });

  // glibc's first eight values after srand(1), mod 6: 1 4, 3 1, 5 1, 4 0.
  std::string expected =
      "\n\x1b[38;5;226m🎲 Tirando dados 2d6\x1b[0m\x1b[38;5;51m + Sigilo (+2)\x1b[0m...\n" +
      rolling_frame("│ ●     │ │ ●   ● │", "│       │ │   ●   │", "│     ● │ │ ●   ● │") +
      rolling_frame("│ ●   ● │ │ ●     │", "│       │ │       │", "│ ●   ● │ │     ● │") +
      rolling_frame("│ ●   ● │ │ ●     │", "│ ●   ● │ │       │", "│ ●   ● │ │     ● │") +
      rolling_frame("│ ●   ● │ │       │", "│   ●   │ │   ●   │", "│ ●   ● │ │       │") +
      "\r\x1b[38;5;231m  ┌───────┐ ┌───────┐\n"
      "  │ ●   ● │ │ ●     │\n"
      "  │ ●   ● │ │   ●   │   => 6 + 3 +2 = \x1b[1m11\x1b[0m vs DC 9\n"
      "  │ ●   ● │ │     ● │   [\x1b[38;5;46mÉxito Total (11 vs DC 9)\x1b[0m]\n"
      "  └───────┘ └───────┘\n\x1b[0m";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(g_dice_sleeps, (std::vector<int>{60, 60, 60, 60}));
  EXPECT_EQ(std::rand(), 596516649);  // exactly eight values were consumed
}

TEST_F(DiceFixture, LabelModifierOutcomeColourAndOddDice) {
  RollResult zero = make_roll(2, 2, 0, 3, OUTCOME_SUCCESS, "ok");
  std::string out = capture_stdout([&] { ui_animate_dice_roll(&zero, "Mente"); });
  EXPECT_TRUE(qh_test::contains_in_order(out, {" + Mente (+0)\x1b[0m...\n", "=> 2 + 2 +0 = "}));

  for (const char* label : {static_cast<const char*>(nullptr), ""}) {
    out = capture_stdout([&] { ui_animate_dice_roll(&zero, label); });
    EXPECT_EQ(out.rfind("\n\x1b[38;5;226m🎲 Tirando dados 2d6\x1b[0m...\n", 0), 0u);
  }

  struct Case {
    int outcome;
    const char* colour;
  } cases[] = {{OUTCOME_CRIT_SUCCESS, "\x1b[38;5;214m"}, {OUTCOME_COST, "\x1b[38;5;226m"},
               {OUTCOME_FAILURE, "\x1b[38;5;196m"}, {OUTCOME_CRIT_FAILURE, "\x1b[38;5;196m\x1b[1m"},
               {OUTCOME_NONE, "\x1b[38;5;46m"}, {9, "\x1b[38;5;46m"}};
  for (const Case& k : cases) {
    RollResult r = make_roll(1, 1, -1, 7, k.outcome, "texto");
    out = settled(capture_stdout([&] { ui_animate_dice_roll(&r, "X"); }));
    EXPECT_NE(out.find(std::string("   [") + k.colour + "texto\x1b[0m]\n"), std::string::npos)
        << k.outcome;
    EXPECT_NE(out.find("=> 1 + 1 -1 = \x1b[1m1\x1b[0m vs DC 7"), std::string::npos);
  }

  // Dice outside 1..6 draw face 1 but print their own value.
  RollResult odd = make_roll(0, 7, 1, 5, OUTCOME_FAILURE, "raro");
  out = settled(capture_stdout([&] { ui_animate_dice_roll(&odd, nullptr); }));
  EXPECT_EQ(out,
            "\r\x1b[38;5;231m  ┌───────┐ ┌───────┐\n"
            "  │       │ │       │\n"
            "  │   ●   │ │   ●   │   => 0 + 7 +1 = \x1b[1m8\x1b[0m vs DC 5\n"
            "  │       │ │       │   [\x1b[38;5;196mraro\x1b[0m]\n"
            "  └───────┘ └───────┘\n\x1b[0m");

  EXPECT_EQ(capture_stdout([] { ui_animate_dice_roll(nullptr, "X"); }), "");
}

TEST(NarrationPanel, HeaderTextFrameAndConsumptionLine) {
  ui_set_typewriter_speed(0);
  TokenCounters counters{};
  counters.last_total = 120;
  counters.session_total = 480;
  const std::string frame_end =
      "\n\x1b[38;5;51m└────────────────────────────────────────────────────────────────────────┘"
      "\x1b[0m\n";
  const std::string rule = " ──────────────────────────────────────────────────┐\x1b[0m\n";

  EXPECT_EQ(capture_stdout([&] { ui_print_dm_narration("La puerta cede.", false, &counters); }),
            "\n\x1b[38;5;51m┌─ 🎭 NARRADOR (IA Adventure Master)\x1b[38;5;51m" + rule +
                "La puerta cede." + frame_end +
                "\x1b[38;5;244m   (Consumo: 120 tokens | Sesión: 480)\n\x1b[0m");

  // Classic mode never shows the consumption line, whatever the counters say.
  EXPECT_EQ(capture_stdout([&] { ui_print_dm_narration("Texto.", true, &counters); }),
            "\n\x1b[38;5;51m┌─ 🎭 NARRADOR (Modo Clásico)\x1b[38;5;51m" + rule + "Texto." +
                frame_end);

  std::string out = capture_stdout([] { ui_print_dm_narration("Texto.", false, nullptr); });
  EXPECT_TRUE(qh_test::lacks(out, "Consumo"));
  counters.last_total = 0;
  out = capture_stdout([&] { ui_print_dm_narration("Texto.", false, &counters); });
  EXPECT_TRUE(qh_test::lacks(out, "Consumo"));

  EXPECT_EQ(capture_stdout([&] { ui_print_dm_narration("", false, &counters); }), "");
  EXPECT_EQ(capture_stdout([&] { ui_print_dm_narration(nullptr, false, &counters); }), "");
}
