#include "chiptune.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

ChipScore parse_ok(const std::string& text) {
  ChipScore score;
  ChipError error;
  EXPECT_TRUE(chip_parse_score(text, score, error)) << error.line << ": " << error.message;
  return score;
}

std::uint32_t le32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
std::uint16_t le16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    static_cast<unsigned char>(b[at + 1]) << 8);
}

}  // namespace

TEST(Chiptune, WavHeaderDescribesMono16BitPcm) {
  ChipScore score = parse_ok("tempo 120\nrate 11025\nvoice a square vol=0.5\na: C4/4 r/4\n");
  std::vector<std::int16_t> samples = chip_render(score, nullptr);
  ASSERT_EQ(samples.size(), 11025u);  // two beats at 120 per minute: one second
  std::string wav = chip_wav_bytes(samples, score.rate);
  ASSERT_EQ(wav.size(), 44 + samples.size() * 2);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(wav, 4), wav.size() - 8);
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(le32(wav, 16), 16u);
  EXPECT_EQ(le16(wav, 20), 1);  // PCM
  EXPECT_EQ(le16(wav, 22), 1);  // mono
  EXPECT_EQ(le32(wav, 24), 11025u);
  EXPECT_EQ(le32(wav, 28), 22050u);
  EXPECT_EQ(le16(wav, 32), 2);
  EXPECT_EQ(le16(wav, 34), 16);
  EXPECT_EQ(wav.substr(36, 4), "data");
  EXPECT_EQ(le32(wav, 40), samples.size() * 2);
  // Samples are stored little-endian in order.
  EXPECT_EQ(static_cast<std::int16_t>(le16(wav, 44 + 2 * 1000)), samples[1000]);
}

TEST(Chiptune, LengthFollowsTheScoreExactly) {
  struct Case {
    const char* score;
    std::int64_t samples;
  } cases[] = {
      // Eight quarter notes at 120 per minute: four seconds.
      {"tempo 120\nvoice a square\na: [C4/4]x8\n", 88200},
      // Triplets, dotted and tied lengths add up to two whole notes.
      {"tempo 120\nvoice a triangle\na: C4/12 D4 E4 F4/4. G4/8 A4/2 | C5/2+4\n", 88200},
      // An uneven tempo rounds only the total, never note by note.
      {"tempo 97\nrate 22050\nvoice a noise\nvoice b square\na: [C6/16]x32\nb: C3/1 r/1\n",
       2 * 4 * 22050 * 60 / 97},
  };
  for (const Case& c : cases) {
    ChipScore score = parse_ok(c.score);
    EXPECT_EQ(chip_total_samples(score), c.samples) << c.score;
    EXPECT_EQ(static_cast<std::int64_t>(chip_render(score, nullptr).size()), c.samples) << c.score;
  }
}

TEST(Chiptune, LoopEndMeetsItsStart) {
  ChipScore score = parse_ok(
      "tempo 140\n"
      "voice lead square duty=25 vol=0.35 decay=200 sustain=0.6 vibrato=10\n"
      "voice bass triangle vol=0.4\n"
      "voice hat noise vol=0.15 decay=40 sustain=0\n"
      "lead: E5/8 G5 B5/4 A5/2\n"
      "bass: E2/1\n"
      "hat: [C8/8]x8\n");
  std::int64_t clipped = -1;
  std::vector<std::int16_t> s = chip_render(score, &clipped);
  ASSERT_GT(s.size(), 100u);
  EXPECT_EQ(clipped, 0);
  // Every note fades in and out inside its own length, so playing the file
  // again from the top has no jump at the seam.
  EXPECT_LT(std::abs(s.front()), 200);
  EXPECT_LT(std::abs(s.back()), 200);
  int loudest = 0;
  for (std::int16_t v : s) loudest = std::max(loudest, std::abs(static_cast<int>(v)));
  EXPECT_GT(loudest, 8000);
}

TEST(Chiptune, EchoWrapsAroundOnlyInLoops) {
  const std::string body =
      "tempo 120\nvoice a square vol=0.5 echo=250 feedback=0.5\na: r/2. C5/8 r/8\n";
  std::vector<std::int16_t> looped = chip_render(parse_ok(body), nullptr);
  std::vector<std::int16_t> once = chip_render(parse_ok("loop no\n" + body), nullptr);
  ASSERT_EQ(looped.size(), once.size());
  // The note sits in the last beat; its first repeat lands a quarter second later,
  // which in a loop is the start of the file.
  auto energy = [](const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    double e = 0;
    for (std::size_t i = from; i < to; ++i) e += std::abs(static_cast<double>(s[i]));
    return e;
  };
  EXPECT_GT(energy(looped, 0, 2000), 100000.0);
  EXPECT_EQ(energy(once, 0, 2000), 0.0);
}

TEST(Chiptune, PatternsRepeatsAndDefaultLengths) {
  ChipScore score = parse_ok(
      "# a comment line\n"
      "tempo 100   # trailing comment\n"
      "voice v square\n"
      "pattern p: C4/8 E4\n"
      "v: [@p^12]x2 r/4. C#4/2+8 Bb3\n");
  ASSERT_EQ(score.channels.size(), 1u);
  const std::vector<ChipNote>& n = score.channels[0].notes;
  struct Expect {
    std::int64_t start, ticks;
    int midi;
  } expected[] = {{0, 24, 72},  {24, 24, 76},   {48, 24, 72},
                  {72, 24, 76}, {168, 120, 61}, {288, 120, 58}};
  ASSERT_EQ(n.size(), std::size(expected));
  for (std::size_t i = 0; i < n.size(); ++i) {
    EXPECT_EQ(n[i].start_tick, expected[i].start) << i;
    EXPECT_EQ(n[i].ticks, expected[i].ticks) << i;
    EXPECT_EQ(n[i].midi, expected[i].midi) << i;
  }
  EXPECT_EQ(score.length_ticks, 408);
}

TEST(Chiptune, ErrorsNameTheirLine) {
  struct Case {
    const char* score;
    int line;
    const char* message;
  } cases[] = {
      {"tempo 120\nvoice a square\na: C4 H4\n", 3, "nota desconocida 'H4'"},
      {"voice a square\n\nb: C4\n", 3, "voz no declarada 'b' (declárala antes con 'voice')"},
      {"voice a square\na: C4/5\n", 2, "duración no válida '/5'"},
      {"voice a square\na: [C4 D4\n", 2, "falta cerrar un '['"},
      {"voice a square\na: C4]x2\n", 2, "']' sin un '[' que lo abra"},
      {"voice a square\na: [C4]x0\n", 2, "las repeticiones van de 1 a 999: ']x0'"},
      {"tempo 10\n", 1, "el tempo debe ser un entero entre 20 y 400"},
      {"temp 120\n", 1, "instrucción desconocida 'temp'"},
      {"voice a sine\n", 1, "onda desconocida 'sine' (square, triangle o noise)"},
      {"voice a square vol=2\n", 1, "valor no válido en 'vol=2' (de 0 a 1)"},
      {"voice a square\nvoice a noise\n", 2, "la voz 'a' ya existe"},
      {"voice a square\na: @riff\n", 2, "patrón desconocido 'riff'"},
      {"pattern p: C4\npattern p: @p\n", 2, "un patrón no puede usarse a sí mismo"},
      {"voice a square\na: [[C4/64]x999]x999\n", 2, "la secuencia es demasiado larga"},
      {"voice a square\nvoice b triangle\na: C4/1\nb: C3/2\n", 2,
       "la voz 'b' dura 2 negras y la más larga 4"},
      {"tempo 120\n# nothing else\n", 0, "la partitura no tiene ninguna voz con notas"},
  };
  for (const Case& c : cases) {
    ChipScore score;
    ChipError error;
    EXPECT_FALSE(chip_parse_score(c.score, score, error)) << c.score;
    EXPECT_EQ(error.line, c.line) << c.score;
    EXPECT_EQ(error.message, c.message) << c.score;
  }
}

TEST(Chiptune, WritesWholeFilesOrNothing) {
  char dir[] = "/tmp/qh_chip_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/out.wav";
  ASSERT_TRUE(chip_write_file_atomic(path, "abc"));
  ASSERT_TRUE(chip_write_file_atomic(path, "second"));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[16] = {};
  std::size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), "second");
  EXPECT_FALSE(chip_write_file_atomic(std::string(dir) + "/missing/out.wav", "x"));
  unlink(path.c_str());
  rmdir(dir);  // fails (and the test notices below) if a temporary file was left
  EXPECT_NE(access(dir, F_OK), 0);
}

TEST(Chiptune, ComposersGuideExampleAndGameScoresRender) {
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const std::string root = QH_SOURCE_DIR;
  // The guide's complete example is its one ```text block: eight seconds, no clipping.
  std::string guide = read(root + "/GUIA_COMPOSICION_MUSICAL.md");
  std::size_t start = guide.find("```text\n");
  ASSERT_NE(start, std::string::npos);
  start += 8;
  ChipScore example = parse_ok(guide.substr(start, guide.find("```", start) - start));
  EXPECT_EQ(chip_total_samples(example), 8 * 22050);
  std::int64_t clipped = -1;
  chip_render(example, &clipped);
  EXPECT_EQ(clipped, 0);

  for (const char* name : {"quillhaven_intro", "dungeon_ambient", "battle_tension"}) {
    ChipScore score = parse_ok(read(root + "/tools/chiptune/scores/" + name + ".score"));
    double seconds = static_cast<double>(chip_total_samples(score)) / score.rate;
    EXPECT_TRUE(score.loop && seconds >= 10 && seconds <= 30) << name << " " << seconds;
  }

#ifdef QH_AUDIO_DIR
  // The build rendered every game score, whole, into its own tree.
  for (const char* name :
       {"quillhaven_intro", "dungeon_ambient", "battle_tension", "victory_fanfare"}) {
    ChipScore score = parse_ok(read(root + "/tools/chiptune/scores/" + name + ".score"));
    std::string wav = read(std::string(QH_AUDIO_DIR) + "/" + name + ".wav");
    ASSERT_GE(wav.size(), 44u) << name;
    EXPECT_EQ(wav.substr(0, 4), "RIFF") << name;
    EXPECT_EQ(le32(wav, 24), static_cast<std::uint32_t>(score.rate)) << name;
    EXPECT_EQ(wav.size(), 44 + 2 * static_cast<std::size_t>(chip_total_samples(score))) << name;
  }
#endif
}
