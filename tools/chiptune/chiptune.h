// A small chiptune synthesizer: parses a text score and renders it to 16-bit mono PCM.
//
// Score format, one statement per line ('#' at the start of a word starts a comment):
//   tempo 120                      quarter notes per minute (20..400)
//   rate 22050                     sample rate in Hz (8000..48000)
//   loop yes|no                    yes: echo tails wrap around to the start
//   master 0.9                     final gain (0..4)
//   voice lead square duty=25 vol=0.3 attack=2 decay=200 sustain=0.6 release=10
//         vibrato=12 sweep=-24 gate=0.9 echo=250 feedback=0.35
//   pattern riff: A3/8 C4 E4 [A4 G4]x2 r/4
//   lead: @riff @riff^5 | C5/4. D5/8 E5/2
// Notes are a letter A-G, an optional '#' or 'b' and an octave (A4 = 440 Hz), or
// 'r' for a rest, with an optional length: /4 a quarter, /8 an eighth, /4. dotted,
// /2+8 tied; without one the previous length of that line's voice or pattern is
// used. '[' ... ']xN' repeats, '@name^N' plays a pattern transposed N semitones,
// '|' is a bar line and is ignored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A whole note lasts this many ticks: every length from /1 to /192 (triplets
// included) is a whole number of ticks.
inline constexpr std::int64_t CHIP_TICKS_PER_WHOLE = 192;
// Longest score the renderer accepts, in seconds.
inline constexpr double CHIP_MAX_SECONDS = 600.0;

enum class ChipWave { kSquare, kTriangle, kNoise };

struct ChipVoice {
  std::string name;
  ChipWave wave = ChipWave::kSquare;
  double volume = 0.5;  // 0..1
  double duty = 0.5;    // square: fraction of the period spent high
  double attack_ms = 2.0;
  double decay_ms = 0.0;    // time from full level down to `sustain`; 0 = none
  double sustain = 1.0;     // 0..1
  double release_ms = 6.0;  // fade at the end of the sounding part of each note
  double vibrato_cents = 0.0;
  double sweep_semitones = 0.0;  // pitch slide over the decay (or the whole note)
  double gate = 1.0;             // sounding fraction of each note's length
  double echo_ms = 0.0;          // 0 = no echo
  double feedback = 0.35;        // level of each echo repeat
  int line = 0;                  // where the voice was declared
};

struct ChipNote {
  std::int64_t start_tick = 0;
  std::int64_t ticks = 0;
  int midi = 0;  // MIDI note number: 69 is A4
};

struct ChipChannel {
  ChipVoice voice;
  std::vector<ChipNote> notes;
  std::int64_t length_ticks = 0;  // notes and rests together
};

struct ChipScore {
  int tempo = 120;
  int rate = 22050;
  bool loop = true;
  double master = 1.0;
  std::vector<ChipChannel> channels;
  std::int64_t length_ticks = 0;
};

struct ChipError {
  int line = 0;  // 0 when the problem is not tied to one line
  std::string message;
};

// Parses a score. On failure `error` holds the first problem and its line.
bool chip_parse_score(std::string_view text, ChipScore& score, ChipError& error);

// The sample index at which a tick falls; the last tick gives the total count.
std::int64_t chip_tick_to_sample(const ChipScore& score, std::int64_t tick);
std::int64_t chip_total_samples(const ChipScore& score);

// Synthesizes the whole score: exactly chip_total_samples() samples. `clipped`
// (optional) receives how many samples had to be limited to the 16-bit range.
std::vector<std::int16_t> chip_render(const ChipScore& score, std::int64_t* clipped);

// A complete RIFF/WAVE file: PCM, mono, 16 bits.
std::string chip_wav_bytes(const std::vector<std::int16_t>& samples, int rate);

// Writes `bytes` to a temporary file beside `path` and renames it into place,
// so a reader never sees half a file. False (and nothing left behind) on failure.
bool chip_write_file_atomic(const std::string& path, std::string_view bytes);
