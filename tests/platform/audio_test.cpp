#include "platform/audio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

using qh_test::capture_stdout;
using qh_test::TempDir;
using qh_test::write_file;

namespace {

std::string file_for(const std::string& theme) {
  char out[128];
  audio_theme_file_name(theme.c_str(), out, sizeof out);
  return out;
}

TEST(Audio, ThemeNamesMapToFiles) {
  const char* cases[][2] = {
      {"intro", "quillhaven_intro.wav"},   {"dungeon", "dungeon_ambient.wav"},
      {"combat", "battle_tension.wav"},    {"combate", "battle_tension.wav"},
      {"victoria", "victory_fanfare.wav"}, {"Combat", "Combat.wav"},
      {"mi.wav.bak", "mi.wav.bak"},        {"intro ", "intro .wav"},
  };
  for (const auto& c : cases) EXPECT_EQ(file_for(c[0]), c[1]) << c[0];
  // Cut at 127 characters, ".wav" added before the cut.
  EXPECT_EQ(file_for(std::string(125, 'b')), std::string(125, 'b') + ".w");
  EXPECT_EQ(file_for(std::string(130, 'c') + ".wav"), std::string(127, 'c'));
}

TEST(Audio, TracksAreLookedUpBelowBaseThenAssetsThenAlone) {
  TempDir dir;
  std::string base = dir.file("base");
  std::string work = dir.file("work");
  for (const char* f : {"/assets/audio/quillhaven_intro.wav", "/quillhaven_intro.wav",
                        "/assets/audio/dungeon_ambient.wav", "/battle_tension.wav"}) {
    write_file(work + f, "RIFF");
  }
  write_file(base + "/assets/audio/quillhaven_intro.wav", "RIFF");
  // A folder named like a track is not a track.
  ASSERT_EQ(mkdir((base + "/assets/audio/dungeon_ambient.wav").c_str(), 0755), 0);

  AudioState state;
  audio_init(state, base.c_str(), true, 0.5f);
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(work.c_str()), 0);
  char path[512];
  EXPECT_TRUE(audio_find_track(state, "intro", path, sizeof path));
  EXPECT_EQ(std::string(path), base + "/assets/audio/quillhaven_intro.wav");
  EXPECT_TRUE(audio_find_track(state, "dungeon", path, sizeof path));
  EXPECT_STREQ(path, "assets/audio/dungeon_ambient.wav");
  EXPECT_TRUE(audio_find_track(state, "combate", path, sizeof path));
  EXPECT_STREQ(path, "battle_tension.wav");
  EXPECT_FALSE(audio_find_track(state, "victory", path, sizeof path));
  EXPECT_FALSE(audio_find_track(state, "", path, sizeof path));

  audio_init(state, nullptr, true, 0.5f);  // base "."
  EXPECT_TRUE(audio_find_track(state, "intro", path, sizeof path));
  EXPECT_STREQ(path, "./assets/audio/quillhaven_intro.wav");
  // A missing track leaves the current one and its theme alone.
  state.current_theme.assign("dungeon");
  state.playing = true;
  audio_play(state, "victory", true);
  EXPECT_EQ(state.current_theme, "dungeon");
  ASSERT_EQ(chdir(saved), 0);
}

TEST(Audio, SwitchesVolumeAndDiceSound) {
  AudioState state;
  std::memset(&state, 0x5a, sizeof state);
  audio_init(state, "", false, 0.0f);
  EXPECT_EQ(state.base_dir, ".");
  EXPECT_FLOAT_EQ(state.volume, 0.7f);
  EXPECT_EQ(state.current_theme, "");
  EXPECT_FALSE(state.playing);

  // {init in, init stored, set in, set stored}
  const float cases[][4] = {
      {-0.2f, 0.7f, -0.2f, 0.0f}, {1.5f, 1.5f, 1.5f, 1.0f}, {0.3f, 0.3f, std::nanf(""), 0.0f}};
  for (const auto& c : cases) {
    audio_init(state, ".", false, c[0]);
    EXPECT_FLOAT_EQ(state.volume, c[1]);
    audio_set_volume(state, c[2]);
    EXPECT_FLOAT_EQ(state.volume, c[3]);
  }
  // Music off: nothing plays, nothing is recorded, no bell.
  audio_play(state, "intro", true);
  audio_play_victory_fanfare(state);
  EXPECT_EQ(state.current_theme, "");
  EXPECT_EQ(capture_stdout([&] { audio_play_dice_sound(state); }), "");
  // On again: silent until the next play. Off again clears the theme.
  EXPECT_TRUE(audio_toggle(state));
  EXPECT_EQ(platform_audio_child(), -1);
  EXPECT_EQ(capture_stdout([&] { audio_play_dice_sound(state); }), "\a");
  state.current_theme.assign("intro");
  state.playing = true;
  EXPECT_FALSE(audio_toggle(state));
  EXPECT_EQ(state.current_theme, "");
  EXPECT_FALSE(state.playing);
}

}  // namespace
