// What the story parser tells a writer about the decisions it takes, and the
// one catalogue of every code the author's checker reports.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <type_traits>

#include "story/story.h"

enum class StorySeverity : std::uint8_t {
  error,    // the story cannot be played as written
  warning,  // something the writer wrote is ignored, dropped or cut
  note,     // a decision worth knowing that is often intended
};

// Every code, in the order of STORY_CODES. The parser reports the first
// sixteen; the checker's cross-checks over the parsed story report the rest.
enum class StoryCode : std::uint8_t {
  cabecera_sin_cierre,
  clave_ignorada,
  cabecera_linea_ignorada,
  valor_no_numerico,
  estadistica_entre_comillas,
  fuera_de_seccion,
  cabecera_descartada,
  id_duplicado,
  etiqueta_sin_dos_puntos,
  etiqueta_desconocida,
  etiqueta_mal_formada,
  opcion_rechazada,
  comando_por_palabra,
  descartado,
  texto_cortado,
  final_por_texto,
  sin_secciones,
  destino_inexistente,
  inalcanzable,
  callejon_sin_salida,
  objeto_inalcanzable,
  estadistica_desconocida,
  dificultad_invalida,
  musica_no_encontrada,
};

struct StoryCodeInfo {
  StoryCode code;
  const char* name;  // stable identifier that editors match, e.g. "destino-inexistente"
  StorySeverity severity;
  const char* meaning;  // one Spanish line: what the game does
  const char* fix;      // one Spanish line: how the writer fixes it
};

inline constexpr int STORY_CODE_COUNT = 24;
extern const std::array<StoryCodeInfo, STORY_CODE_COUNT> STORY_CODES;

const StoryCodeInfo& story_code_info(StoryCode code);
// "error", "aviso" or "nota".
const char* story_severity_name(StorySeverity severity);

// One decision of the parser.
struct StoryDiagnostic {
  std::int32_t line;  // 1-based line of the story text
  StoryCode code;
  const char* message;  // one Spanish line; valid only during the call
};

// Where the parser read each part of the story: 1-based lines, 0 where
// nothing was read. Filled only when a sink asks for it.
struct StoryLineMap {
  std::int32_t section[STORY_MAX_SECTIONS];                          // header lines
  std::int32_t option[STORY_MAX_SECTIONS][SECTION_MAX_TRANSITIONS];  // option lines
  std::int32_t section_music[STORY_MAX_SECTIONS];  // the music tag that took effect
  std::int32_t start;                              // the front matter's "start"
  std::int32_t music_explore;                      // the front matter's music entries
  std::int32_t music_combat;
  std::int32_t music_victory;
};
static_assert(std::is_trivially_copyable_v<StoryLineMap>);

// Receives the parser's decisions. Every member may be null.
struct StoryDiagnosticSink {
  void (*report)(void* context, const StoryDiagnostic& diagnostic) = nullptr;
  void* context = nullptr;
  StoryLineMap* lines = nullptr;
};

// Formats one message (cut at 1023 bytes) and hands it to the sink; does
// nothing when the sink or its report function is null.
void story_report(const StoryDiagnosticSink* sink, int line, StoryCode code, const char* format,
                  ...) __attribute__((format(printf, 4, 5)));
void story_report_v(const StoryDiagnosticSink* sink, int line, StoryCode code, const char* format,
                    va_list args) __attribute__((format(printf, 4, 0)));
