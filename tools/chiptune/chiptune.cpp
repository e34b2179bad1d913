#include "chiptune.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

constexpr std::int64_t QUARTER_TICKS = CHIP_TICKS_PER_WHOLE / 4;
// Bounds that keep a mistyped repeat count from exhausting memory: ten minutes
// at the fastest tempo, and a generous number of notes per voice.
constexpr std::int64_t MAX_TICKS = 400 * 10 * QUARTER_TICKS;
constexpr std::size_t MAX_EVENTS = 100000;
constexpr int MAX_REPEAT = 999;
constexpr double PI = 3.14159265358979323846;

// One note or rest of a voice line or pattern, before it is placed in time.
struct Event {
  int midi;  // -1 for a rest
  std::int64_t ticks;
};

struct Sequence {
  std::vector<Event> events;
  std::int64_t ticks = 0;
  std::int64_t default_ticks = QUARTER_TICKS;
};

struct Parser {
  ChipScore* score = nullptr;
  ChipError* error = nullptr;
  int line = 0;
  std::vector<ChipVoice> voices;
  std::map<std::string, Sequence, std::less<>> voice_seqs;
  std::map<std::string, Sequence, std::less<>> patterns;

  bool fail(std::string message) {
    error->line = line;
    error->message = std::move(message);
    return false;
  }
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim_sv(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// A '#' starts a comment only at the start of a word, so C#4 stays a note.
std::string_view strip_comment(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || is_space(line[i - 1]))) return line.substr(0, i);
  }
  return line;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

bool parse_number(std::string_view text, double& out) {
  if (text.empty() || text.size() > 63) return false;
  char buf[64];
  text.copy(buf, text.size());
  buf[text.size()] = '\0';
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(buf, &end);
  if (end != buf + text.size() || errno != 0 || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool parse_int(std::string_view text, long& out) {
  if (text.empty() || text.size() > 18) return false;
  long v = 0;
  std::size_t i = 0;
  bool negative = false;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    i = 1;
    if (text.size() == 1) return false;
  }
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  out = negative ? -v : v;
  return true;
}

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > 32) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// "/4", "/8.", "/2+8": sums of whole-note fractions, each optionally dotted.
bool parse_length(std::string_view lengths, std::int64_t& ticks) {
  ticks = 0;
  if (lengths.empty()) return false;
  while (true) {
    std::size_t plus = lengths.find('+');
    std::string_view term = lengths.substr(0, plus);
    bool dotted = !term.empty() && term.back() == '.';
    if (dotted) term.remove_suffix(1);
    long denominator = 0;
    if (!parse_int(term, denominator) || term[0] == '-' || term[0] == '+') return false;
    if (denominator <= 0 || denominator > CHIP_TICKS_PER_WHOLE ||
        CHIP_TICKS_PER_WHOLE % denominator != 0) {
      return false;
    }
    std::int64_t t = CHIP_TICKS_PER_WHOLE / denominator;
    if (dotted) {
      if (t % 2 != 0) return false;
      t += t / 2;
    }
    ticks += t;
    if (plus == std::string_view::npos) return true;
    lengths.remove_prefix(plus + 1);
  }
}

// "C4", "F#3", "Bb2" -> MIDI number; false when it is not a note name.
bool parse_pitch(std::string_view text, int& midi) {
  static constexpr int SEMITONE_OF_LETTER[] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  if (text.size() < 2 || text[0] < 'A' || text[0] > 'G') return false;
  int pitch = SEMITONE_OF_LETTER[text[0] - 'A'];
  std::size_t i = 1;
  if (text[i] == '#') {
    ++pitch;
    ++i;
  } else if (text[i] == 'b') {
    --pitch;
    ++i;
  }
  long octave = 0;
  std::string_view rest = text.substr(i);
  if (rest.empty() || rest[0] == '-' || rest[0] == '+' || !parse_int(rest, octave)) return false;
  if (octave > 9) return false;
  midi = static_cast<int>((octave + 1) * 12) + pitch;
  return midi >= 0 && midi <= 127;
}

std::string quoted(std::string_view text) {
  std::string out = "'";
  out.append(text);
  out += '\'';
  return out;
}

bool append_event(Parser& p, Sequence& seq, Event e) {  // by value: e may live in seq
  if (seq.events.size() >= MAX_EVENTS || seq.ticks + e.ticks > MAX_TICKS) {
    return p.fail("la secuencia es demasiado larga");
  }
  seq.events.push_back(e);
  seq.ticks += e.ticks;
  return true;
}

// Splits a word into bracket tokens and the note between them: "[C4" -> "[", "C4";
// "G4]x2]" -> "G4", "]x2", "]".
void split_brackets(std::string_view word, std::vector<std::string_view>& out) {
  while (!word.empty() && word.front() == '[') {
    out.push_back(word.substr(0, 1));
    word.remove_prefix(1);
  }
  std::size_t close = word.find(']');
  if (close != 0 && !word.empty()) out.push_back(word.substr(0, close));
  while (close != std::string_view::npos) {
    word.remove_prefix(close);
    std::size_t next = word.find(']', 1);
    out.push_back(word.substr(0, next));
    close = next;
  }
}

bool parse_sequence_tokens(Parser& p, Sequence& seq, std::string_view text, const Sequence* self) {
  std::vector<std::string_view> tokens;
  for (std::string_view word : split_words(text)) split_brackets(word, tokens);

  std::vector<std::size_t> open;  // event index where each open group starts
  for (std::string_view tok : tokens) {
    if (tok == "|") continue;
    if (tok == "[") {
      open.push_back(seq.events.size());
      continue;
    }
    if (tok[0] == ']') {
      if (open.empty()) return p.fail("']' sin un '[' que lo abra");
      std::string_view count_text = tok.substr(1);
      if (!count_text.empty() && (count_text[0] == 'x' || count_text[0] == '*')) {
        count_text.remove_prefix(1);
      }
      long count = 1;
      if (!count_text.empty() &&
          (!parse_int(count_text, count) || count_text[0] == '-' || count_text[0] == '+')) {
        return p.fail("repetición no válida " + quoted(tok));
      }
      if (count < 1 || count > MAX_REPEAT) {
        return p.fail("las repeticiones van de 1 a 999: " + quoted(tok));
      }
      std::size_t start = open.back();
      open.pop_back();
      std::size_t end = seq.events.size();
      for (long r = 1; r < count; ++r) {
        for (std::size_t i = start; i < end; ++i) {
          if (!append_event(p, seq, seq.events[i])) return false;
        }
      }
      continue;
    }
    if (tok[0] == '@') {
      std::string_view name = tok.substr(1);
      long transpose = 0;
      std::size_t caret = name.find('^');
      if (caret != std::string_view::npos) {
        if (!parse_int(name.substr(caret + 1), transpose) || transpose < -48 || transpose > 48) {
          return p.fail("transposición no válida " + quoted(tok));
        }
        name = name.substr(0, caret);
      }
      auto it = p.patterns.find(name);
      if (it == p.patterns.end()) return p.fail("patrón desconocido " + quoted(name));
      if (&it->second == self) return p.fail("un patrón no puede usarse a sí mismo");
      const std::vector<Event> copy = it->second.events;
      for (Event e : copy) {
        if (e.midi >= 0) {
          e.midi += static_cast<int>(transpose);
          if (e.midi < 0 || e.midi > 127) {
            return p.fail("la transposición saca una nota de rango en " + quoted(tok));
          }
        }
        if (!append_event(p, seq, e)) return false;
      }
      continue;
    }

    // A note or a rest with an optional length.
    std::size_t slash = tok.find('/');
    std::string_view head = tok.substr(0, slash);
    Event e{-1, seq.default_ticks};
    if (slash != std::string_view::npos) {
      std::int64_t ticks = 0;
      if (!parse_length(tok.substr(slash + 1), ticks)) {
        return p.fail("duración no válida " + quoted(tok.substr(slash)));
      }
      e.ticks = ticks;
      seq.default_ticks = ticks;
    }
    if (head != "r" && head != "R" && !parse_pitch(head, e.midi)) {
      return p.fail("nota desconocida " + quoted(head));
    }
    if (!append_event(p, seq, e)) return false;
  }
  if (!open.empty()) return p.fail("falta cerrar un '['");
  return true;
}

bool parse_voice(Parser& p, const std::vector<std::string_view>& words) {
  if (words.size() < 3)
    return p.fail("uso: voice <nombre> square|triangle|noise [opción=valor ...]");
  ChipVoice v;
  v.name = std::string(words[1]);
  v.line = p.line;
  if (!valid_name(words[1])) return p.fail("nombre de voz no válido " + quoted(words[1]));
  for (const ChipVoice& other : p.voices) {
    if (other.name == v.name) return p.fail("la voz " + quoted(v.name) + " ya existe");
  }
  std::string_view wave = words[2];
  if (wave == "square" || wave == "cuadrada") {
    v.wave = ChipWave::kSquare;
  } else if (wave == "triangle" || wave == "triangular") {
    v.wave = ChipWave::kTriangle;
  } else if (wave == "noise" || wave == "ruido") {
    v.wave = ChipWave::kNoise;
  } else {
    return p.fail("onda desconocida " + quoted(wave) + " (square, triangle o noise)");
  }

  struct Option {
    const char* key;
    double ChipVoice::*field;
    double min;
    double max;
  };
  static const Option VOICE_OPTIONS[] = {
      {"vol", &ChipVoice::volume, 0, 1},
      {"duty", &ChipVoice::duty, 0, 100},
      {"attack", &ChipVoice::attack_ms, 0, 5000},
      {"decay", &ChipVoice::decay_ms, 0, 10000},
      {"sustain", &ChipVoice::sustain, 0, 1},
      {"release", &ChipVoice::release_ms, 0, 5000},
      {"vibrato", &ChipVoice::vibrato_cents, 0, 200},
      {"sweep", &ChipVoice::sweep_semitones, -48, 48},
      {"gate", &ChipVoice::gate, 0.05, 1},
      {"echo", &ChipVoice::echo_ms, 0, 2000},
      {"feedback", &ChipVoice::feedback, 0, 0.9},
  };
  for (std::size_t i = 3; i < words.size(); ++i) {
    std::string_view w = words[i];
    std::size_t eq = w.find('=');
    if (eq == std::string_view::npos) return p.fail("se esperaba opción=valor en " + quoted(w));
    std::string_view key = w.substr(0, eq);
    const Option* opt = nullptr;
    for (const Option& o : VOICE_OPTIONS) {
      if (key == o.key) opt = &o;
    }
    if (opt == nullptr) return p.fail("opción desconocida " + quoted(key));
    double value = 0;
    if (!parse_number(w.substr(eq + 1), value) || value < opt->min || value > opt->max) {
      char range[64];
      std::snprintf(range, sizeof range, " (de %g a %g)", opt->min, opt->max);
      return p.fail("valor no válido en " + quoted(w) + range);
    }
    v.*(opt->field) = value;
  }
  // The duty cycle may be written as a percentage (25) or a fraction (0.25).
  if (v.duty > 1) v.duty /= 100;
  if (v.duty <= 0 || v.duty >= 1)
    return p.fail("el ciclo 'duty' debe estar entre 0 y 100 sin incluirlos");
  p.voices.push_back(v);
  p.voice_seqs[v.name];
  return true;
}

bool parse_line(Parser& p, std::string_view raw) {
  std::string_view text = trim_sv(strip_comment(raw));
  if (text.empty()) return true;
  std::vector<std::string_view> words = split_words(text);
  std::string_view head = words[0];

  auto one_number = [&](double& out) { return words.size() == 2 && parse_number(words[1], out); };
  if (head == "tempo") {
    double v = 0;
    if (!one_number(v) || v != std::floor(v) || v < 20 || v > 400) {
      return p.fail("el tempo debe ser un entero entre 20 y 400");
    }
    p.score->tempo = static_cast<int>(v);
    return true;
  }
  if (head == "rate") {
    double v = 0;
    if (!one_number(v) || v != std::floor(v) || v < 8000 || v > 48000) {
      return p.fail("la frecuencia de muestreo debe ser un entero entre 8000 y 48000");
    }
    p.score->rate = static_cast<int>(v);
    return true;
  }
  if (head == "master") {
    double v = 0;
    if (!one_number(v) || v < 0 || v > 4) return p.fail("'master' debe estar entre 0 y 4");
    p.score->master = v;
    return true;
  }
  if (head == "loop") {
    if (words.size() == 2 && (words[1] == "yes" || words[1] == "si" || words[1] == "sí")) {
      p.score->loop = true;
    } else if (words.size() == 2 && words[1] == "no") {
      p.score->loop = false;
    } else {
      return p.fail("uso: loop yes|no");
    }
    return true;
  }
  if (head == "voice") return parse_voice(p, words);

  bool is_pattern = head == "pattern";
  std::string_view rest = is_pattern ? trim_sv(text.substr(head.size())) : text;
  std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) {
    if (is_pattern) return p.fail("uso: pattern <nombre>: notas...");
    return p.fail("instrucción desconocida " + quoted(head));
  }
  std::string_view name = trim_sv(rest.substr(0, colon));
  std::string_view notes = rest.substr(colon + 1);
  if (is_pattern) {
    if (!valid_name(name)) return p.fail("nombre de patrón no válido " + quoted(name));
    Sequence& seq = p.patterns[std::string(name)];
    return parse_sequence_tokens(p, seq, notes, &seq);
  }
  auto it = p.voice_seqs.find(name);
  if (it == p.voice_seqs.end()) {
    return p.fail("voz no declarada " + quoted(name) + " (declárala antes con 'voice')");
  }
  return parse_sequence_tokens(p, it->second, notes, nullptr);
}

std::string beats_text(std::int64_t ticks) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(ticks) / QUARTER_TICKS);
  return buf;
}

double note_frequency(double midi) { return 440.0 * std::exp2((midi - 69.0) / 12.0); }

// Renders one voice's notes (without its volume) into `out`.
void render_channel(const ChipScore& score, const ChipChannel& ch, std::vector<float>& out) {
  const ChipVoice& v = ch.voice;
  const double rate = score.rate;
  std::uint32_t lfsr = 1;  // 15-bit noise register, reset per voice so renders repeat exactly
  for (const ChipNote& note : ch.notes) {
    std::int64_t s0 = chip_tick_to_sample(score, note.start_tick);
    std::int64_t s1 = chip_tick_to_sample(score, note.start_tick + note.ticks);
    std::int64_t length = s1 - s0;
    if (length <= 0) continue;
    std::int64_t sounding = std::llround(static_cast<double>(length) * v.gate);
    if (sounding < 1) sounding = 1;
    if (sounding > length) sounding = length;
    // Ramps at both ends keep every note click-free, and keep all sound inside
    // the note, so a loop's last sample meets its first one smoothly.
    const double span = static_cast<double>(sounding);
    double attack = std::min(v.attack_ms * rate / 1000.0, span / 2.0);
    double release = std::min(v.release_ms * rate / 1000.0, span / 2.0);
    double sweep_seconds = v.decay_ms > 0 ? v.decay_ms / 1000.0 : span / rate;
    bool bends = v.sweep_semitones != 0 || v.vibrato_cents != 0;
    double freq = note_frequency(note.midi);
    double phase = 0;
    double noise_clock = 0;
    for (std::int64_t i = 0; i < sounding; ++i) {
      const double at = static_cast<double>(i);
      double t = at / rate;
      double level = 1.0;
      if (v.decay_ms > 0) {
        double x = std::min(t * 1000.0 / v.decay_ms, 1.0);
        level = v.sustain + (1.0 - v.sustain) * (1.0 - x) * (1.0 - x);
      }
      if (attack > 0 && at < attack) level *= at / attack;
      double left = static_cast<double>(sounding - i);
      if (release > 0 && left < release) level *= left / release;

      double f = freq;
      if (bends) {
        double semis = v.sweep_semitones * std::min(t / sweep_seconds, 1.0);
        if (v.vibrato_cents > 0 && t > 0.12) {
          semis += v.vibrato_cents / 100.0 * std::sin(2 * PI * 5.5 * (t - 0.12));
        }
        f = freq * std::exp2(semis / 12.0);
      }

      double value = 0;
      switch (v.wave) {
        case ChipWave::kSquare:
          // Centred so that silence and sound share the same zero line, and
          // scaled so the peak is 1 whatever the duty cycle.
          value = ((phase < v.duty ? 1.0 : -1.0) - (2.0 * v.duty - 1.0)) /
                  (2.0 * std::max(v.duty, 1.0 - v.duty));
          break;
        case ChipWave::kTriangle: {
          double tri = 1.0 - 4.0 * std::fabs(phase - 0.5);
          value = std::round((tri + 1.0) * 7.5) / 7.5 - 1.0;  // 16 steps, the chip sound
          break;
        }
        case ChipWave::kNoise:
          noise_clock += std::min(f * 16.0, rate) / rate;
          while (noise_clock >= 1.0) {
            std::uint32_t bit = (lfsr ^ (lfsr >> 1)) & 1u;
            lfsr = (lfsr >> 1) | (bit << 14);
            noise_clock -= 1.0;
          }
          value = (lfsr & 1u) ? 1.0 : -1.0;
          break;
      }
      out[static_cast<std::size_t>(s0 + i)] += static_cast<float>(value * level);
      phase += f / rate;
      phase -= std::floor(phase);
    }
  }
}

// Adds decaying repeats of the voice. In a loop the repeats that run past the
// end come back in at the start, as they would when the track plays again.
void apply_echo(const ChipScore& score, const ChipVoice& v, std::vector<float>& buf) {
  std::int64_t n = static_cast<std::int64_t>(buf.size());
  std::int64_t delay = std::llround(v.echo_ms * score.rate / 1000.0);
  if (v.echo_ms <= 0 || v.feedback <= 0 || delay < 1 || n == 0) return;
  std::vector<float> dry = buf;
  double gain = v.feedback;
  for (int k = 1; k <= 32 && gain >= 0.01; ++k, gain *= v.feedback) {
    std::int64_t offset = delay * k;
    for (std::int64_t i = 0; i < n; ++i) {
      std::int64_t from = i - offset;
      if (from < 0) {
        if (!score.loop) continue;
        from = ((from % n) + n) % n;
      }
      buf[static_cast<std::size_t>(i)] +=
          static_cast<float>(gain * dry[static_cast<std::size_t>(from)]);
    }
  }
}

}  // namespace

bool chip_parse_score(std::string_view text, ChipScore& score, ChipError& error) {
  score = ChipScore{};
  error = ChipError{};
  Parser p;
  p.score = &score;
  p.error = &error;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::string_view raw = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
    ++p.line;
    if (!parse_line(p, raw)) return false;
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }

  p.line = 0;
  for (const ChipVoice& v : p.voices) {
    const Sequence& seq = p.voice_seqs[v.name];
    if (seq.events.empty()) continue;  // declared but silent: not part of the mix
    ChipChannel ch;
    ch.voice = v;
    ch.length_ticks = seq.ticks;
    std::int64_t tick = 0;
    for (const Event& e : seq.events) {
      if (e.midi >= 0) ch.notes.push_back(ChipNote{tick, e.ticks, e.midi});
      tick += e.ticks;
    }
    if (ch.length_ticks > score.length_ticks) score.length_ticks = ch.length_ticks;
    score.channels.push_back(std::move(ch));
  }
  if (score.channels.empty()) return p.fail("la partitura no tiene ninguna voz con notas");
  // Every voice must fill the whole piece, or the loop point would drift.
  for (const ChipChannel& ch : score.channels) {
    if (ch.length_ticks != score.length_ticks) {
      p.line = ch.voice.line;
      const char* unit = ch.length_ticks == QUARTER_TICKS ? " negra" : " negras";
      return p.fail("la voz " + quoted(ch.voice.name) + " dura " + beats_text(ch.length_ticks) +
                    unit + " y la más larga " + beats_text(score.length_ticks));
    }
  }
  double seconds = static_cast<double>(score.length_ticks) / QUARTER_TICKS * 60.0 / score.tempo;
  if (seconds > CHIP_MAX_SECONDS) return p.fail("la partitura dura más de 10 minutos");
  return true;
}

std::int64_t chip_tick_to_sample(const ChipScore& score, std::int64_t tick) {
  // samples = ticks * rate * 60 * 4 / (tempo * ticks per whole), kept in integers
  // so the total never drifts by rounding.
  return tick * score.rate * 240 / (static_cast<std::int64_t>(score.tempo) * CHIP_TICKS_PER_WHOLE);
}

std::int64_t chip_total_samples(const ChipScore& score) {
  return chip_tick_to_sample(score, score.length_ticks);
}

std::vector<std::int16_t> chip_render(const ChipScore& score, std::int64_t* clipped) {
  std::size_t n = static_cast<std::size_t>(chip_total_samples(score));
  std::vector<double> mix(n, 0.0);
  std::vector<float> voice(n);
  for (const ChipChannel& ch : score.channels) {
    std::fill(voice.begin(), voice.end(), 0.0f);
    render_channel(score, ch, voice);
    apply_echo(score, ch.voice, voice);
    for (std::size_t i = 0; i < n; ++i) mix[i] += voice[i] * ch.voice.volume;
  }
  std::vector<std::int16_t> samples(n);
  std::int64_t over = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double v = mix[i] * score.master;
    if (v > 1.0 || v < -1.0) {
      ++over;
      v = v > 0 ? 1.0 : -1.0;
    }
    samples[i] = static_cast<std::int16_t>(std::lround(v * 32767.0));
  }
  if (clipped != nullptr) *clipped = over;
  return samples;
}

std::string chip_wav_bytes(const std::vector<std::int16_t>& samples, int rate) {
  std::string out;
  auto u32 = [&out](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  auto u16 = [&out](std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
  };
  std::uint32_t data_bytes = static_cast<std::uint32_t>(samples.size() * 2);
  out.reserve(44 + data_bytes);
  out += "RIFF";
  u32(36 + data_bytes);
  out += "WAVEfmt ";
  u32(16);                                    // size of the format chunk
  u16(1);                                     // PCM
  u16(1);                                     // mono
  u32(static_cast<std::uint32_t>(rate));      // samples per second
  u32(static_cast<std::uint32_t>(rate) * 2);  // bytes per second
  u16(2);                                     // bytes per sample frame
  u16(16);                                    // bits per sample
  out += "data";
  u32(data_bytes);
  for (std::int16_t s : samples) u16(static_cast<std::uint16_t>(s));
  return out;
}

bool chip_write_file_atomic(const std::string& path, std::string_view bytes) {
  std::string temp = path + ".tmpXXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  if (close(fd) != 0) ok = false;
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) unlink(temp.c_str());
  return ok;
}
