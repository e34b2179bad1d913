// Generated stories and queries shared by the benchmarks. Everything is built
// from fixed seeds, so every run and every build measures the same input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "story/story.h"

namespace bench_story {

struct Rng {
  std::uint32_t state;
  std::uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

// 4,096 three-syllable words, like prose where a term occurs in a few passages.
inline std::vector<std::string> varied_words() {
  const char* const syllables[] = {"ca", "lo",  "mi",  "ran", "te", "por", "si",  "bu",
                                   "el", "dra", "qui", "ña",  "to", "ve",  "gor", "án"};
  std::vector<std::string> words;
  for (const char* a : syllables) {
    for (const char* b : syllables) {
      for (const char* c : syllables) words.push_back(std::string(a) + b + c);
    }
  }
  return words;
}

// Prose of exactly `length` bytes drawn from `words`.
inline std::string prose(const std::vector<std::string>& words, Rng& rng, std::size_t length) {
  std::string text;
  for (int count = 1; text.size() < length; ++count) {
    text += words[rng.next() % words.size()];
    text += count % 12 == 0 ? ". " : " ";
  }
  text.resize(length);
  return text;
}

// A body line of exactly 200 bytes.
inline std::string body_line(int section, int line) {
  std::string text =
      "Parrafo " + std::to_string(line) + " de la seccion " + std::to_string(section) + ": ";
  while (text.size() < 200) text += "la niebla cubre las losas y el eco responde. ";
  return text.substr(0, 200);
}

// Options cycle through the option forms and the command forms; the first one
// of every section leads to the next section.
inline std::string option_line(int section, int i) {
  std::string to = std::to_string((section + i) % STORY_MAX_SECTIONS + 1);
  switch (i % 6) {
    case 0:
      return "- [-> " + to + "] [Obtener: Llave " + std::to_string(i) + "] Seguir el pasillo";
    case 1:
      return "- [Check: Sigilo | DC: 7 | Éxito: " + to +
             " | Fallo: 1 | DañoFallo: 2] Rodear el perímetro";
    case 2:
      return "- [Requiere: Llave de Cobre | Destino: " + to + "] Abrir la cerradura";
    case 3:
      return "* [" + to + "] Saltar al vacío";
    case 4:
      return "- [-> " + to + "] [Cmd: nmap -sV 10.0.0." + std::to_string(i) + "] Escanear";
    default:
      return "- [CmdOculto: sudo su] [-> " + to + "] Escalar privilegios";
  }
}

// The largest story the format allows: full front-matter lists, 128 sections
// with full 8 KB bodies and 32 options each, and 64 lore passages of about
// 2 KB of varied prose. With `hazards` every section also deals one point of
// damage, so a hero cannot stay in it for long.
inline std::string largest_story(bool hazards) {
  std::vector<std::string> words = varied_words();
  Rng rng{12345};
  std::string s =
      "---\ntitle: \"La Gran Prueba\"\nauthor: \"Banco\"\nhp: 20\nstart: \"1\"\nitems:\n";
  for (int i = 0; i < STORY_MAX_ITEMS; ++i) s += "  - \"Objeto " + std::to_string(i) + "\"\n";
  s += "stats:\n";
  for (int i = 0; i < STORY_MAX_STATS; ++i) s += "  Stat" + std::to_string(i) + ": 2\n";
  s += "music:\n  explore: \"dungeon\"\n---\n\n";
  for (int sec = 1; sec <= STORY_MAX_SECTIONS; ++sec) {
    s += "## [" + std::to_string(sec) + "] Sala numero " + std::to_string(sec) + "\n";
    s += "[Musica: combat]\n[Obtener: Gema]\n";
    if (hazards) s += "[Daño: 1]\n";
    if (sec <= STORY_MAX_LORE) {
      s += "> [Lore: Cronica " + std::to_string(sec) + "] " + prose(words, rng, 2000) + "\n";
    }
    for (int line = 0; line < 41; ++line) s += body_line(sec, line) + "\n\n";  // 41 * 202 > 8191
    for (int i = 0; i < SECTION_MAX_TRANSITIONS; ++i) s += option_line(sec, i) + "\n";
  }
  return s;
}

// Queries of 16 words from the lore's vocabulary; one word in four occurs in no text.
inline std::vector<std::string> lore_queries(int count) {
  std::vector<std::string> words = varied_words();
  Rng rng{777};
  std::vector<std::string> queries;
  for (int q = 0; q < count; ++q) {
    std::string query;
    for (int t = 0; t < 16; ++t) {
      if (t > 0) query += ' ';
      const std::string& word = words[rng.next() % words.size()];
      query += rng.next() % 4 == 0 ? "zq" + word : word;
    }
    queries.push_back(query);
  }
  return queries;
}

// A ring of 128 plain sections: three paragraphs of about 330 bytes each,
// four options, a lore passage in every other section. The option that moves
// on sits at a different position in each section; the last section leads
// back to the first, so a walk can go on for any number of turns.
constexpr int kRingSections = 128;
constexpr int kRingOptions = 4;

inline int ring_forward_option(int section) { return section % kRingOptions + 1; }

// A paragraph of about 330 bytes of dungeon prose, different for every
// section and position.
inline std::string ring_paragraph(int section, int index) {
  static constexpr const char* kSentences[] = {
      "El pasillo se estrecha y las paredes rezuman una humedad que huele a hierro viejo. ",
      "A lo lejos se oye el goteo constante del agua sobre la piedra, como un reloj sin prisa. ",
      "Las antorchas de las argollas llevan siglos apagadas, pero la ceniza aún está tibia. ",
      "Alguien grabó en el dintel una advertencia que el tiempo ha vuelto casi ilegible. ",
      "Bajo tus botas crujen fragmentos de cerámica y huesos pequeños de animales. ",
      "Una corriente de aire frío sube desde las grietas del suelo y agita tu capa. ",
      "En un rincón, un cofre desfondado guarda solo telarañas y el recuerdo de un tesoro. ",
      "Las vigas del techo se curvan bajo el peso de la roca y gimen cuando las miras. ",
  };
  std::string text;
  for (int i = 0; i < 4; ++i) text += kSentences[(section * 3 + index * 5 + i) % 8];
  return text;
}

inline std::string ring_story() {
  std::string s =
      "---\ntitle: \"La Ronda\"\nauthor: \"Banco\"\nhp: 12\nstart: \"1\"\n"
      "items:\n  - \"Antorcha\"\n  - \"Cuerda\"\nstats:\n  Fuerza: 2\n  Agilidad: 1\n"
      "  Ingenio: 1\nmusic:\n  explore: \"dungeon\"\n---\n\n";
  for (int n = 1; n <= kRingSections; ++n) {
    const std::string id = std::to_string(n);
    s += "## [" + id + "] Estancia " + id + "\n\n";
    for (int p = 0; p < 3; ++p) s += ring_paragraph(n, p) + "\n\n";
    if (n % 2 == 0) {
      s += "> [Lore: Crónica " + id + "] Los cronistas cuentan que la estancia " + id +
           " fue excavada por canteros que nunca vieron el sol. " + ring_paragraph(n, 7) + "\n\n";
    }
    for (int o = 1; o <= kRingOptions; ++o) {
      bool forward = o == ring_forward_option(n);
      int to = forward ? n % kRingSections + 1 : (n * 7 + o * 13) % n + 1;
      s += "- [-> " + std::to_string(to) + "] " +
           (forward ? std::string("Seguir adelante por el pasadizo que desciende")
                    : "Volver sobre tus pasos hacia la estancia " + std::to_string(to)) +
           "\n";
    }
    s += "\n";
  }
  return s;
}

}  // namespace bench_story
