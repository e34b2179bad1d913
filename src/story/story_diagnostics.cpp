#include "story/story_diagnostics.h"

#include <cstdio>

namespace {

using enum StoryCode;
constexpr StorySeverity kError = StorySeverity::error;
constexpr StorySeverity kWarning = StorySeverity::warning;
constexpr StorySeverity kNote = StorySeverity::note;

constexpr std::array<StoryCodeInfo, STORY_CODE_COUNT> kCodes = {{
    {cabecera_sin_cierre, "cabecera-sin-cierre", kError,
     "La cabecera empieza con «---» pero no tiene la línea «---» de cierre: todo se lee como "
     "cuerpo y se pierden título, atributos y objetos.",
     "Cierra la cabecera con una línea «---» antes de la primera sección."},
    {clave_ignorada, "clave-ignorada", kWarning,
     "Una clave que el juego no conoce se ignora: en la cabecera, en «music:», o dentro de "
     "«[Check: ...]» o «[Requiere: ...]» (como «éxito» con «é» minúscula).",
     "Usa las claves de la guía: title, author, description, hp, start, items, stats, music; "
     "explore, combat, victory; DC, Éxito, Fallo, DañoFallo; Destino."},
    {cabecera_linea_ignorada, "cabecera-linea-ignorada", kWarning,
     "Una línea de la cabecera que el juego no entiende se ignora: sin «:», un objeto sin «-» o "
     "vacío, o una línea con sangría bajo una clave que no lleva entradas.",
     "Escribe «clave: valor»; las entradas de items, stats y music van con sangría, y cada "
     "objeto empieza por «-»."},
    {valor_no_numerico, "valor-no-numerico", kWarning,
     "Un valor que debe ser un número (hp, un atributo, DC, DañoFallo o Daño) no tiene cifras: "
     "vale 0, y un hp de 0 da al héroe 10 puntos de vida.",
     "Escribe el número en cifras, como «hp: 12» o «DC: 7»."},
    {estadistica_entre_comillas, "estadistica-entre-comillas", kWarning,
     "El nombre de un atributo lleva comillas, que forman parte del nombre: las tiradas no lo "
     "encuentran y suman 0.",
     "Escribe el nombre del atributo sin comillas: «Fuerza: 2»."},
    {fuera_de_seccion, "fuera-de-seccion", kWarning,
     "Líneas antes de la primera sección que no son cabecera ni lore: el juego las ignora.",
     "Llévalas a una sección o conviértelas en pasajes «> [Lore: nombre] texto»."},
    {cabecera_descartada, "cabecera-descartada", kWarning,
     "Una línea de sección sin id, con «[» sin «]», o con «##» sin espacio detrás: no crea "
     "sección y sus líneas siguen en la anterior.",
     "Escribe «## [id] Título», con un espacio tras «##»."},
    {id_duplicado, "id-duplicado", kError,
     "Dos secciones con el mismo id: solo la primera se puede alcanzar.",
     "Da a cada sección un id distinto."},
    {etiqueta_sin_dos_puntos, "etiqueta-sin-dos-puntos", kWarning,
     "Una etiqueta como «[Final]» o «[Daño 2]» sin «:» tras su nombre: se muestra como texto y "
     "no tiene efecto.",
     "Escribe los dos puntos: «[Final: Victoria]», «[Daño: 2]»."},
    {etiqueta_desconocida, "etiqueta-desconocida", kWarning,
     "Una etiqueta «[Nombre: ...]» que no tiene efecto donde está: un nombre que el juego no "
     "conoce, un lore sin «> » delante, o «[Item: ...]» dentro de una opción. Se ve como texto.",
     "Usa una etiqueta de la guía (Arte, Musica, Obtener, Item, Daño, Final); los pasajes de "
     "lore se escriben «> [Lore: nombre] texto»."},
    {etiqueta_mal_formada, "etiqueta-mal-formada", kWarning,
     "Una etiqueta de arte, música u objeto sin «]» o sin valor: la línea desaparece y no "
     "guarda nada útil.",
     "Escríbela completa, con su valor y su «]»: «[Musica: combat]»."},
    {opcion_rechazada, "opcion-rechazada", kWarning,
     "Una línea que empieza por «-» o «*» no es una opción (el aviso dice por qué): se verá "
     "como texto de la escena.",
     "Dale un destino con «[-> id]», «[Check: ...]», «[Requiere: ...]» con su «Destino», o "
     "«[id]» al principio; si es una lista de texto a propósito, ignora el aviso."},
    {comando_por_palabra, "comando-por-palabra", kWarning,
     "Una opción que parece prosa se convirtió en comando de terminal solo porque su primera "
     "palabra es un comando («Echo de menos...»): no se puede elegir por número.",
     "Empieza el texto de la opción con otra palabra."},
    {descartado, "descartado", kWarning,
     "Algo que supera una capacidad (la sección 129, la opción 33 de una sección, el pasaje de "
     "lore 65, el objeto 9 de una sección, el atributo 17, el objeto inicial 65) o una línea de "
     "lore sin «]» se descarta.",
     "Reparte el contenido entre menos elementos, o cierra con «]» el nombre del lore."},
    {texto_cortado, "texto-cortado", kWarning,
     "Un texto no cabe en su campo y se corta: lo que pasa de la capacidad se pierde.",
     "Acórtalo, o reparte el texto entre más líneas o secciones."},
    {final_por_texto, "final-por-texto", kNote,
     "Una sección sin opciones y sin etiqueta de final se convierte en final por su texto "
     "(«has muerto», «victoria», «escapas»...).",
     "Si es lo que querías, nada; si no, añade opciones, o marca el final con «[Final: ...]»."},
    {sin_secciones, "sin-secciones", kError,
     "El archivo no tiene ninguna sección «## »: el juego no puede abrirlo.",
     "Añade al menos una sección «## [1] Título»."},
    {destino_inexistente, "destino-inexistente", kError,
     "Una opción, el fallo de una tirada, un «Requiere» o la sección inicial llevan a una "
     "sección que no existe, o no llevan a ninguna: la aventura se interrumpe.",
     "Escribe el id exacto de una sección (mayúsculas y acentos cuentan) o crea esa sección."},
    {inalcanzable, "inalcanzable", kWarning,
     "Ninguna opción lleva a esa sección desde la sección inicial.",
     "Añade una opción que lleve a ella, o bórrala."},
    {callejon_sin_salida, "callejon-sin-salida", kError,
     "Una sección sin opciones que no es un final: la partida se queda atascada.",
     "Añade opciones, o marca el final con «[Final: Victoria]» o «[Final: Derrota]»."},
    {objeto_inalcanzable, "objeto-inalcanzable", kWarning,
     "Un «Requiere» pide un objeto que ni la cabecera ni ninguna sección u opción entrega: la "
     "opción nunca se puede tomar.",
     "Entrega el objeto antes con «[Obtener: ...]» o en «items:», o corrige su nombre."},
    {estadistica_desconocida, "estadistica-desconocida", kWarning,
     "Una tirada usa un atributo que el héroe no tiene: se tira con +0.",
     "Añade el atributo en «stats:» o corrige su nombre en la tirada."},
    {dificultad_invalida, "dificultad-invalida", kWarning,
     "Una tirada con «DC» menor que 1, o sin «DC»: se juega sin dados, como un movimiento.",
     "Escribe «DC: N» con N de 1 en adelante."},
    {musica_no_encontrada, "musica-no-encontrada", kWarning,
     "Un tema musical sin su archivo en assets/audio: no sonará.",
     "Usa dungeon, combat o victory, o añade el archivo .wav del tema en assets/audio."},
}};

constexpr bool codes_in_enum_order() {
  for (std::size_t i = 0; i < kCodes.size(); ++i) {
    if (static_cast<std::size_t>(kCodes[i].code) != i) return false;
  }
  return true;
}
static_assert(codes_in_enum_order(), "STORY_CODES must follow the order of StoryCode");

}  // namespace

const std::array<StoryCodeInfo, STORY_CODE_COUNT> STORY_CODES = kCodes;

const StoryCodeInfo& story_code_info(StoryCode code) {
  return STORY_CODES[static_cast<std::size_t>(code)];
}

const char* story_severity_name(StorySeverity severity) {
  switch (severity) {
    case StorySeverity::error:
      return "error";
    case StorySeverity::warning:
      return "aviso";
    case StorySeverity::note:
      return "nota";
  }
  return "aviso";
}

void story_report_v(const StoryDiagnosticSink* sink, int line, StoryCode code, const char* format,
                    va_list args) {
  if (sink == nullptr || sink->report == nullptr) return;
  char message[1024];
  std::vsnprintf(message, sizeof message, format, args);
  sink->report(sink->context, StoryDiagnostic{line, code, message});
}

void story_report(const StoryDiagnosticSink* sink, int line, StoryCode code, const char* format,
                  ...) {
  va_list args;
  va_start(args, format);
  story_report_v(sink, line, code, format, args);
  va_end(args);
}
