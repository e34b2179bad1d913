// Whole-program runs over a story pack, saves, settings, a guide and model
// replies that carry terminal escape sequences (window title, clipboard,
// terminal reset, cursor moves) and C1 controls: the captured screens may hold
// no escape sequence other than the program's own colours and cursor move.
#include <filesystem>
#include <string>
#include <string_view>

#include "common/slug.h"
#include "support/test_support.h"

namespace {

using qh_test::contains_in_order;
using qh_test::RunResult;

#define BOLD "\x1b[1m"
#define WHITE "\x1b[38;5;231m"
#define RESET "\x1b[0m"

// Window title, icon name and clipboard (OSC 0, 2 and 52, ended by BEL), a full
// reset (ESC c), and cursor moves and erasure (CSI).
const std::string kOsc = "\x1b]0;pwn\x07\x1b]2;title\x07\x1b]52;c;SGVsbG8=\x07";
const std::string kReset =
    "\x1b"
    "c";
const std::string kCsi = "\x1b[2J\x1b[5;5H\x1b[3A";
// Every C1 control, U+0080 to U+009F, in UTF-8: CSI is U+009B, OSC U+009D.
std::string all_c1() {
  std::string text;
  for (int c = 0x80; c <= 0x9F; ++c) text += {'\xc2', static_cast<char>(c)};
  return text;
}
const std::string kC1 = all_c1();
const std::string kC1Shown(32, '?');
// For the inside of a story's [tags], where brackets would end the tag.
const std::string kTagHostile = kC1 + kReset;
const std::string kHostile = kOsc + kReset + kCsi + kC1 + "\x7f\x01\x08";

// The text of a JSON string holding `text`, controls as \u escapes (C1 as raw bytes).
std::string json_escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

// Every ESC starts one of the program's own sequences; no C1 control, and no C0
// control but line feed, tab, and the carriage return that starts a dice frame.
::testing::AssertionResult only_own_sequences(const std::string& out) {
  static const std::string_view kOwn[] = {"\x1b[38;5;39m",  "\x1b[38;5;51m",  "\x1b[38;5;214m",
                                          "\x1b[38;5;226m", "\x1b[38;5;46m",  "\x1b[38;5;196m",
                                          "\x1b[38;5;244m", "\x1b[38;5;231m", "\x1b[1m",
                                          "\x1b[0m",        "\x1b[5A"};
  auto context = [&](std::size_t at) {
    std::size_t from = at < 60 ? 0 : at - 60;
    return " at byte " + std::to_string(at) + ": ..." + out.substr(from, 100);
  };
  for (std::size_t at = 0; at < out.size(); ++at) {
    auto byte = static_cast<unsigned char>(out[at]);
    std::string_view rest = std::string_view(out).substr(at);
    if (byte == 0x1B) {
      bool own = false;
      for (std::string_view seq : kOwn) own = own || rest.substr(0, seq.size()) == seq;
      if (!own) return ::testing::AssertionFailure() << "foreign escape" << context(at);
    } else if (byte == '\r') {
      const std::string_view frame = rest.substr(1, std::string_view("\x1b[38;5;244m  ┌").size());
      if (frame != "\x1b[38;5;244m  ┌" && frame != "\x1b[38;5;231m  ┌") {
        return ::testing::AssertionFailure() << "carriage return" << context(at);
      }
    } else if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
      return ::testing::AssertionFailure() << "control byte " << int{byte} << context(at);
    } else if (byte == 0xC2 && at + 1 < out.size() &&
               static_cast<unsigned char>(out[at + 1]) >= 0x80 &&
               static_cast<unsigned char>(out[at + 1]) <= 0x9F) {
      return ::testing::AssertionFailure() << "C1 control" << context(at);
    }
  }
  return ::testing::AssertionSuccess();
}

// The text as the story parser keeps it: without C0 controls and DEL.
std::string without_c0(const std::string& text) {
  std::string kept;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) kept += c;
  }
  return kept;
}

// A save of the hostile story at `section` by a hero whose every text is
// hostile. Its title is the story's, as the game writes it: resuming opens
// only the story a save names.
std::string hostile_save(const std::string& slug, const std::string& section) {
  const std::string h = json_escaped(kOsc + kC1);
  return "{\n  \"version\": 2,\n  \"story_slug\": \"" + slug + "\",\n  \"story_title\": \"" +
         json_escaped(without_c0("Cripta" + kHostile)) + "\",\n  \"saved_at\": \"2024" + h +
         "\",\n  \"current_section_id\": \"" + json_escaped(section) +
         "\",\n  \"current_section_title\": \"T" + h +
         "\",\n  \"character\": {\n    \"name\": \"Eva" + json_escaped(kOsc) +
         "\",\n    \"hp\": 20,\n    \"max_hp\": 30,\n    \"stats\": {\n      \"Fuerza" + kC1 +
         "\": 2\n    },\n    \"inventory\": [\n      \"Daga" + json_escaped(kCsi + kReset) + kC1 +
         "\"\n    ],\n    \"states\": [\n      \"Maldito" + json_escaped(kCsi) +
         "\"\n    ],\n    \"flags\": {\n    }\n  }\n}\n";
}

std::string hostile_config(const std::string& what) {
  const std::string h = json_escaped(kOsc + kReset + kCsi) + kC1;
  return "{\n  \"gemini_api_key\": \"KEY\",\n  \"model\": \"gemini" + h +
         "\",\n  \"offline_mode\": false,\n  \"language\": \"es\",\n  \"show_token_usage\": "
         "true,\n  \"typing_speed\": 0.0000,\n  \"music_enabled\": false,\n  \"music_volume\": "
         "0.70,\n  \"mqtt_broker\": \"" +
         what + h + "\",\n  \"mqtt_port\": 1883,\n  \"community_vault_repo\": \"repo" + h +
         "\"\n}\n";
}

const std::string kStory = "---\ntitle: \"Cripta" + kHostile + "\"\nauthor: \"Autor" + kHostile +
                           "\"\nhp: 30\nstart: \"1" + kC1 + "\"\nstats:\n  Fuerza" + kC1 +
                           ": 2\nitems:\n  - \"Antorcha" + kHostile +
                           "\"\n---\n\n"
                           "> [Lore: Reliquia" +
                           kTagHostile + "] La reliquia duerme" + kHostile +
                           " bajo la cripta.\n\n"
                           "## [1" +
                           kC1 + "] Entrada" + kHostile + "\n\nTexto de la escena" + kHostile +
                           ".\n\n"
                           "- [Check: Fuerza" +
                           kC1 + " | DC: 2 | Éxito: 2 | Fallo: 2] Empujar la losa" + kHostile +
                           "\n- [Requiere: Llave" + kTagHostile + " | Destino: 2] Abrir la verja" +
                           kHostile + "\n- [-> 2] Bajar" + kC1 + " [Cmd: nmap -sV" + kTagHostile +
                           "]\n- [-> 2] Seguir" + kHostile + "\n\n## [2] Fondo" + kHostile +
                           "\nAgua" + kHostile + ".\n> [Obtener: Gema" + kTagHostile +
                           "]\n- [-> 1" + kC1 + "] Volver" + kHostile + "\n";

// A file name that sets the window title, writes the clipboard and resets the terminal.
const std::string kStoryFile =
    "\x1b]2;pwn\x07\x1b]52;c;SGVsbG8=\x07\x1b"
    "c x.md";

// What the stand-in curl answers: the model's text with JSON-escaped and raw controls.
const std::string kReply =
    "{\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"La cripta tiembla" +
    json_escaped(kOsc + kReset + kCsi) + "\\u009b2J\\u0085" + kC1 + kOsc + kReset + kCsi +
    " y calla.\"}]}}],\n\"usageMetadata\": {\"promptTokenCount\": 5, \"candidatesTokenCount\": "
    "6}}\n";

class Pack {
 public:
  Pack() {
    write("stories/" + kStoryFile, kStory);
    SlugText slug;
    make_slug(("stories/" + kStoryFile).c_str(), "", slug);
    write("saves/autosave_" + std::string(slug.c_str()) + ".json", hostile_save(slug.c_str(), "2"));
    const std::string quicksave = "saves/quicksave_" + std::string(slug.c_str()) + ".json";
    write(quicksave, hostile_save(slug.c_str(), "zz" + kOsc + kC1));
    // The autosave is the newest, so it is the browser's first row.
    std::error_code ignored;
    std::filesystem::last_write_time(
        dir_.file(quicksave),
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24), ignored);
    // A guide line longer than a read splits a C1 control between two reads.
    std::string long_line(510, 'g');
    long_line +=
        "\xc2\x9b"
        "31m" +
        kHostile + "\n";
    write("GUIA_CREACION_HISTORIAS.md", "# Guía" + kHostile + "\n" + long_line + "fin\n");
    write("reply", kReply);
    qh_test::make_executable_script(dir_.file("bin/curl"),
                                    "#!/bin/sh\ncat '" + dir_.file("reply") + "'\n");
  }
  void write(const std::string& name, const std::string& text) const {
    qh_test::write_file(dir_.file(name), text);
  }
  std::string read(const std::string& name) const { return qh_test::read_file(dir_.file(name)); }
  RunResult run(const std::string& input) const {
    qh_test::RunOptions options;
    options.cwd = dir_.path();
    options.input = input;
    options.env["PATH"] = dir_.file("bin") + ":" + std::getenv("PATH");
    RunResult r = qh_test::run_program(options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    return r;
  }

 private:
  qh_test::TempDir dir_;
};

}  // namespace

TEST(Injection, HostilePackSaveSettingsGuideAndModelReachNoScreenRaw) {
  Pack pack;
  pack.write("config.json", hostile_config("broker"));
  const std::string input =
      // The hostile save: its row, panel, sheet and backpack; then a quicksave
      // whose section does not exist (its error waits for Enter).
      "2\n1\n/stats\n/inv\n/cargar\n\n"
      // The hostile story under a hostile name, played by a hostile hero: lore,
      // a misspelt command, free text and a check narrated by the model.
      "1\n1\nAna" +
      kOsc + kC1 + "\n/lore reliquia " + kOsc + "\nnmapp -sV" + kCsi + "\nexamino la tumba" +
      kReset +
      "\n1\n/inv\n/salir\nn\n"  // Eva's autosave is kept: Ana's game gets its own
      // The multiplayer, settings (with both edit prompts), vault and guide screens.
      "3\n\n5\n3\n\n\n4\n\n\n5\n4\n2\n\n6\n\n8\n6\n";
  RunResult r = pack.run(input);
  EXPECT_TRUE(only_own_sequences(r.out));

  // Every screen did show the hostile texts, made harmless (and cut where
  // their records end).
  const std::string osc = "?]0;pwn??]2;title??]52;c;SGVsbG8=?";
  const std::string parsed = "]0;pwn]2;title]52;c;SGVsbG8=c[2J[5;5H[3A";  // the parser drops C0
  const std::string csi = "?[2J?[5;5H?[3A";
  EXPECT_TRUE(contains_in_order(
      r.out,
      {"| Héroe: Eva" + osc + " (20/30 HP) | Sec: 2 | 2024?]0;pwn??]2;title??]52;c;SG\n",
       "║ " BOLD WHITE "Eva" + osc, "Estado: " BOLD "Maldito" + csi,
       "Mochila: " RESET "Daga" + csi + "?c???", "--- Ficha de Eva" + osc, "  - Fuerza???", "?: +2",
       "Estados: Maldito" + csi, "--- Mochila de Eva" + osc, "📦 Daga" + csi,
       "No se encontró la sección 'zz?]0;pwn??]2;title??]52;c;SGVs'",
       "  [1] Cripta" + parsed + kC1Shown + " (?]2;pwn??]52;c;SGVsbG8=??c x.md)",
       "📖 Iniciando 'Cripta" + parsed + kC1Shown + "' por Autor" + parsed + kC1Shown,
       "║ " BOLD WHITE "Ana" + osc + "???", "[1???", "?] Entrada" + parsed + kC1Shown,
       "Texto de la escena" + parsed + kC1Shown, "Empujar la losa" + parsed + kC1Shown,
       "[Tirada: Fuerza???", "Requiere: Llave???", ">_ nmap -sV" + kC1Shown + "c",
       "Seguir" + parsed + kC1Shown, "Conocimiento recuperado sobre 'reliquia " + osc + "'",
       "[Reliquia???", "La reliquia duerme" + parsed + kC1Shown,
       "Comando mal escrito o incompleto: 'nmapp -sV" + csi + "'", ">_ nmap -sV" + kC1Shown + "c",
       "La cripta tiembla", "+ Fuerza???", "? (+2)", "La cripta tiembla",
       "Has encontrado un objeto: Gema???",
       "Broker configurado : broker" + osc + "?c" + csi + kC1Shown + ":1883",
       "Modelo LLM              : gemini" + osc + "?c" + csi,
       "Servidor Mosquitto (KVM): broker" + osc, "Bóveda GitHub           : github.com/repo" + osc,
       "(actual: broker" + osc, "(actual: repo" + osc, "Bóveda Comunitaria: github.com/repo" + osc,
       "# Guía" + osc + "?c" + csi + kC1Shown + "???",
       // A C1 control split between two reads of a long line shows whole.
       "gggg?31m" + osc}));
}

TEST(Injection, SettingsFromAShippedExampleAreShownSafely) {
  Pack pack;
  pack.write("config.json.example", hostile_config("ejemplo"));
  RunResult r = pack.run("5\n5\n3\n\n6\n");
  EXPECT_TRUE(only_own_sequences(r.out));
  EXPECT_TRUE(contains_in_order(
      r.out, {"Modelo LLM              : gemini?]0;pwn", "Servidor Mosquitto (KVM): ejemplo?]0;pwn",
              "Broker configurado : ejemplo?]0;pwn"}));
}
