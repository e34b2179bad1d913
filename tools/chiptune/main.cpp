// qh_chiptune: renders a chiptune score to a WAV file.
//   qh_chiptune partitura.score salida.wav
#include <cstdio>
#include <string>

#include "chiptune.h"

namespace {

// Scores are small text files; anything bigger is surely the wrong file.
constexpr long MAX_SCORE_BYTES = 1 << 20;

bool read_score(const char* path, std::string& text) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char buf[4096];
  std::size_t n = 0;
  bool ok = true;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    text.append(buf, n);
    if (static_cast<long>(text.size()) > MAX_SCORE_BYTES) {
      ok = false;
      break;
    }
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "uso: %s partitura.score salida.wav\n",
                 argc > 0 ? argv[0] : "qh_chiptune");
    return 2;
  }
  const char* in = argv[1];
  const char* out = argv[2];
  std::string text;
  if (!read_score(in, text)) {
    std::fprintf(stderr, "%s: no se pudo leer la partitura\n", in);
    return 1;
  }
  ChipScore score;
  ChipError error;
  if (!chip_parse_score(text, score, error)) {
    if (error.line > 0) {
      std::fprintf(stderr, "%s:%d: %s\n", in, error.line, error.message.c_str());
    } else {
      std::fprintf(stderr, "%s: %s\n", in, error.message.c_str());
    }
    return 1;
  }
  std::int64_t clipped = 0;
  std::vector<std::int16_t> samples = chip_render(score, &clipped);
  if (!chip_write_file_atomic(out, chip_wav_bytes(samples, score.rate))) {
    std::fprintf(stderr, "%s: no se pudo escribir el archivo\n", out);
    return 1;
  }
  if (clipped > 0) {
    std::fprintf(stderr, "%s: aviso: %lld muestras saturadas; baja 'master' o los volúmenes\n", in,
                 static_cast<long long>(clipped));
  }
  std::printf("%s: %.2f s, %lld muestras a %d Hz\n", out,
              static_cast<double>(samples.size()) / score.rate,
              static_cast<long long>(samples.size()), score.rate);
  return 0;
}
