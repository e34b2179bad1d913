// Every ```historia example of the story guide must parse as its row in the table below says.
// The guide is shown to players as it is, so what each example must do is written down here:
// key=value or key[arg]=value facts, in '' when they hold spaces (\' \\ \n escapes inside).
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

using Facts = std::map<std::string, std::string>;

// Adds "key[arg]" ("key" without an arg) for each key, with the value in the same place.
void put(Facts& f, const std::string& arg, std::initializer_list<const char*> keys,
         std::initializer_list<std::string> values) {
  ASSERT_EQ(keys.size(), values.size());
  const std::string* v = values.begin();
  for (const char* key : keys) f.emplace(arg.empty() ? key : key + ("[" + arg + "]"), *v++);
}

// Everything an expectation can name; a repeated section or stat counts only once, as in play.
Facts facts_of(const Story& st) {
  auto s = [](const auto& text) { return std::string(text.view()); };
  auto n = [](auto value) { return std::to_string(value); };
  Facts f;
  put(f, "",
      {"secciones", "titulo", "autor", "descripcion", "hp", "inicio", "stats", "objetos", "lore",
       "musica_explorar", "musica_combate", "musica_victoria"},
      {n(st.section_count), s(st.title), s(st.author), s(st.description), n(st.hp), s(st.start),
       n(st.stat_count), n(st.item_count), n(st.lore_count), s(st.music_explore),
       s(st.music_combat), s(st.music_victory)});
  for (int i = 0; i < st.stat_count; ++i)
    put(f, s(st.stats[i].name), {"stat"}, {n(st.stats[i].value)});
  for (int i = 0; i < st.stat_count; ++i) put(f, n(i + 1), {"stat_nombre"}, {s(st.stats[i].name)});
  for (int i = 0; i < st.item_count; ++i) put(f, n(i + 1), {"objeto"}, {s(st.items[i])});
  for (int i = 0; i < st.lore_count; ++i)
    put(f, n(i + 1), {"lore_nombre", "lore_seccion", "lore_texto"},
        {s(st.lore[i].name), s(st.lore[i].section_id), s(st.lore[i].text)});
  for (int i = 0; i < st.section_count; ++i) {
    const StorySection& sec = st.sections[i];
    const std::string id = s(sec.id);
    put(f, n(i + 1), {"id"}, {id});
    if (f.count("texto[" + id + "]") != 0) continue;  // a repeated id is never reached
    std::string found;
    for (int k = 0; k < sec.item_count; ++k) found += (k ? "|" : "") + s(sec.items[k]);
    put(f, id,
        {"titulo_seccion", "texto", "historia", "opciones", "dano", "final", "musica", "arte",
         "hallazgos"},
        {s(sec.title), s(sec.text), s(sec.lore_text), n(sec.transition_count), n(sec.damage),
         sec.is_ending ? s(sec.ending_type) : "no", s(sec.music), s(sec.art), found});
    for (int k = 0; k < sec.transition_count; ++k) {
      const StoryTransition& t = sec.transitions[k];
      put(f, id + "." + n(k + 1),
          {"destino", "fallo", "prueba", "danofallo", "requiere", "obtiene", "etiqueta", "comando",
           "oculta", "terminal"},
          {s(t.target), s(t.fail_target), s(t.check_stat) + "/" + n(t.check_dc), n(t.fail_damage),
           s(t.required_item), s(t.gain_item), s(t.label), s(t.command), t.is_hidden ? "si" : "no",
           t.has_command ? "si" : "no"});
    }
  }
  return f;
}

// One row per example, in the guide's order, named by the example's first section header.
struct Example {
  const char* first_header;
  const char* facts;
};
const Example kExamples[] = {
    {"## [1] El Brocal",
     R"(secciones=3 titulo='El Pozo de los Deseos' autor='Ana Autora' hp=10 inicio=1 stats=2 )"
     R"(stat[Ingenio]=2 objetos=1 objeto[1]='Antorcha' opciones[1]=2 destino[1.1]=2 )"
     R"(prueba[1.2]=Ingenio/7 destino[1.2]=3 fallo[1.2]=2 danofallo[1.2]=2 hallazgos[2]='Moneda )"
     R"(de Oro' opciones[2]=1 final[1]=no final[2]=no final[3]=victory)"},
    {"## [entrada] Al pie de la torre",
     R"(secciones=2 titulo='La Torre Hueca' autor='Bruno Escribano' descripcion='Una torre sin )"
     R"(escaleras y un mago que no quiere visitas.' hp=15 inicio=entrada objetos=3 )"
     R"(objeto[1]='Cuerda' objeto[2]='Pan duro' objeto[3]='Mapa rasgado' stats=2 stat[Fuerza]=2 )"
     R"(stat[Magia]=-1 musica_explorar=dungeon musica_combate=combate musica_victoria=victoria )"
     R"(id[1]=entrada final[cima]=neutral)"},
    {"## [1] Con corchetes",
     R"(secciones=2 id[1]=1 id[2]=sotano titulo_seccion[1]='Con corchetes' )"
     R"(titulo_seccion[sotano]='El sótano húmedo' texto[sotano]='Sin corchetes, el )"
     R"(identificador es la primera palabra.\n\n##[3] Sin espacio tras las almohadillas no hay )"
     R"(sección\n\n### Tampoco esto es una sección' opciones[sotano]=1 destino[sotano.1]=1)"},
    {"## [1] La biblioteca",
     R"(secciones=1 texto[1]='Cada línea del archivo es un párrafo.\n\nLas líneas en blanco no )"
     R"(cuentan: da igual dejar una o cinco.\n\n> Una cita que empieza por «> » se muestra tal )"
     R"(cual, con su signo.\n\n- Esta línea empieza por guion pero no es una opción: se queda )"
     R"(en el texto.' opciones[1]=1)"},
    {"## [1] La forja abandonada",
     R"(secciones=2 arte[1]=yunque musica[1]=forja hallazgos[1]='Martillo|Tenazas' dano[1]=2 )"
     R"(texto[1]='El calor del horno todavía quema.' arte[2]=amanecer musica[2]=combat )"
     R"(dano[2]=1 final[2]=neutral hallazgos[2]='')"},
    {"## [1] El cruce",
     R"(opciones[1]=5 destino[1.1]=2 obtiene[1.1]='Farol' etiqueta[1.1]='Seguir la flecha y )"
     R"(coger el farol' prueba[1.2]=Sigilo/7 destino[1.2]=2 fallo[1.2]=3 danofallo[1.2]=2 )"
     R"(etiqueta[1.2]='Cruzar sin que te vean' requiere[1.3]='Llave de Cobre' destino[1.3]=2 )"
     R"(etiqueta[1.3]='Abrir la verja' destino[1.4]=3 etiqueta[1.4]='Volver atrás' )"
     R"(prueba[1.5]=Sigilo/6 destino[1.5]=2 fallo[1.5]='' etiqueta[1.5]='[-> 3] Esta flecha se )"
     R"(queda en el texto' final[2]=victory final[3]=defeat)"},
    {"## [1] La puerta atrancada",
     R"(opciones[1]=4 prueba[1.1]=Fuerza/8 etiqueta[1.1]='Probar Fuerza (Dificultad 8)' )"
     R"(danofallo[1.1]=3 requiere[1.2]='Palanca' destino[1.2]=2 etiqueta[1.2]='Usar Palanca' )"
     R"(prueba[1.3]=Fuerza/6 destino[1.3]=2 fallo[1.3]='' etiqueta[1.3]='Empujar con el hombro' )"
     R"(prueba[1.4]=Fuerza/0 final[2]=victory final[3]=defeat)"},
    {"## [1] Terminal del vigilante",
     R"(opciones[1]=7 terminal[1.1]=si comando[1.1]='nmap -sV 10.0.0.5' terminal[1.2]=si )"
     R"(comando[1.2]='ssh root@10.0.0.5' etiqueta[1.2]='Entrar como administrador' )"
     R"(comando[1.3]='grep -i error /var/log/syslog' etiqueta[1.3]='Revisar el registro con )"
     R"(`grep -i error /var/log/syslog`' comando[1.4]='whoami' etiqueta[1.4]='' oculta[1.5]=si )"
     R"(terminal[1.5]=si comando[1.5]='cat /root/token_backup.txt' destino[1.5]=4 )"
     R"(oculta[1.1]=no prueba[1.6]=Hackeo/8 comando[1.6]='python3 exploit.py --objetivo )"
     R"(10.0.0.5' terminal[1.7]=no comando[1.7]='' final[2]=victory final[3]=defeat )"
     R"(final[4]=victory)"},
    {"## [1] El archivo",
     R"(lore=3 lore_nombre[1]='El Origen' lore_seccion[1]=0 lore_texto[1]='Cuentan que el )"
     R"(enclave fue abandonado tras la gran convergencia.' lore_nombre[2]='Memoria del mundo' )"
     R"(lore_texto[2]='Un pasaje sin nombre toma el título de la historia.' lore_nombre[3]='El )"
     R"(Archivero' lore_seccion[3]=1 historia[1]='El archivo guardaba los mapas de la )"
     R"(convergencia. Se perdieron todos en el incendio.' texto[1]='Estanterías vacías hasta el )"
     R"(techo.' musica[1]=dungeon opciones[1]=1 final[2]=victory)"},
    {"## [1] La encrucijada",
     R"(secciones=8 opciones[1]=7 final[1]=no final[2]=victory final[3]=defeat final[4]=neutral )"
     R"(final[5]=defeat final[6]=victory final[7]=no final[8]=defeat)"},
    {"## [1] El Puente del Rey",
     R"(musica_explorar=dungeon musica_combate=combate musica_victoria=victory musica[1]='' )"
     R"(musica[2]=dungeon)"},
    {"## [1] Errores frecuentes",
     R"(hp=0 stats=1 stat_nombre[1]='"Fuerza"' final[1]=no texto[1]='[Final]\n\n- [CmdOculto: )"
     R"(ls -la]' opciones[1]=6 prueba[1.1]=Fuerza/0 destino[1.2]='' prueba[1.2]=Fuerza/7 )"
     R"(terminal[1.3]=si comando[1.3]='Echo un vistazo al pasillo' obtiene[1.4]='' )"
     R"(etiqueta[1.4]='[Item: Llave] Coger la llave' destino[1.5]=Llave etiqueta[1.5]='Usar la )"
     R"(llave' prueba[1.6]=/7 final[2]=no)"},
    {"## [1] El Comienzo del Sendero",
     R"(secciones=6 titulo='El Enigma Olvidado' autor='Aventurero Anónimo' hp=12 inicio=1 )"
     R"(objetos=2 stats=4 stat[Físico]=2 stat[Presencia]=0 lore=1 lore_nombre[1]='El Origen' )"
     R"(lore_seccion[1]=0 opciones[1]=2 obtiene[1.1]='Llave de Cobre' destino[1.1]=2 )"
     R"(prueba[1.2]=Sigilo/7 fallo[1.2]=2 requiere[2.1]='Llave de Cobre' destino[2.1]=4 )"
     R"(prueba[2.2]=Físico/8 obtiene[3.1]='Poción Sagrada' musica[4]=combat final[4]=no )"
     R"(final[5]=victory final[6]=defeat)"},
};

TEST(GuideExamples, EveryExampleParsesAndBehavesAsTheGuideSays) {
  std::istringstream guide(qh_test::read_file(QH_SOURCE_DIR "/GUIA_CREACION_HISTORIAS.md"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(guide, line);) lines.push_back(line);
  static const std::regex pair(R"re(([a-z_]+(?:\[[^\]]*\])?)=(?:'((?:[^'\\]|\\.)*)'|(\S*)))re");
  static Story story;  // 7 MB: never on the stack
  std::size_t examples = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("```historia") == std::string::npos) continue;
    SCOPED_TRACE("example at line " + std::to_string(i + 1));
    ASSERT_EQ(lines[i], "```historia");  // a malformed fence fails here
    std::string text, header;            // a whole story an author can copy, its first section
    for (++i; i < lines.size() && lines[i] != "```"; ++i) {
      if (header.empty() && lines[i].rfind("## ", 0) == 0) header = lines[i];
      text += lines[i] + "\n";
    }
    ASSERT_LT(i, lines.size()) << "no closing fence";
    ASSERT_LT(examples, std::size(kExamples)) << "more examples in the guide than in the table";
    const Example& row = kExamples[examples++];
    ASSERT_EQ(header, row.first_header) << "the guide and the table are out of step";
    const std::string expects = row.facts;
    EXPECT_EQ(std::regex_replace(expects, pair, "").find_first_not_of(' '), std::string::npos)
        << "only key=value facts";
    std::memset(static_cast<void*>(&story), 0, sizeof(Story));
    EXPECT_TRUE(story_parser_load_string(story, text.c_str(), "ejemplo"));
    const Facts facts = facts_of(story);
    for (std::sregex_iterator m(expects.begin(), expects.end(), pair), end; m != end; ++m) {
      // One of the two values is empty; only a quoted one holds escapes.
      const std::string raw = (*m)[2].str() + (*m)[3].str();
      std::string want;
      for (std::size_t k = 0; k < raw.size(); ++k)
        want += raw[k] != '\\' ? raw[k] : raw[++k] == 'n' ? '\n' : raw[k];
      auto got = facts.find((*m)[1]);
      EXPECT_EQ(got == facts.end() ? "(no such key)" : got->second, want) << (*m)[1];
    }
  }
  EXPECT_EQ(examples, std::size(kExamples)) << "more rows in the table than examples in the guide";
}

}  // namespace
