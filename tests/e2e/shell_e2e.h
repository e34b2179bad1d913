// Shared pieces of the end-to-end tests of the game's shell: a sandbox folder
// with a quiet config.json, the screen texts checked byte for byte, and helpers
// that read back the files a run left behind.
#pragma once

#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace shell_e2e {

inline const std::string kMenuPrompt = "\x1b[38;5;226mSelecciona una opción (1-6): \x1b[0m";
inline const std::string kInvalidMenu =
    "\x1b[38;5;226m\x1b[1mOpción inválida. Elige del 1 al 6.\x1b[0m\n";
inline const std::string kFarewell =
    "\n\x1b[38;5;214m¡Gracias por jugar a Quillhaven! Que los dados te sean "
    "favorables.\x1b[0m\n\n";
inline const std::string kPause = "\x1b[38;5;244m\nPresiona Enter para continuar...\x1b[0m";
inline const std::string kWarnInvalid = "\x1b[38;5;226m\x1b[1mOpción inválida.\x1b[0m\n";
inline const std::string kHeroPrompt =
    "\x1b[38;5;226m\nIntroduce el nombre de tu aventurero (por defecto: Valiente): \x1b[0m";
inline const std::string kActionPrompt = "\x1b[38;5;214m\x1b[1m¿Qué deseas hacer? ❯ \x1b[0m";

// The layout the program writes config.json in.
inline std::string config_text(const std::string& key, bool offline, const std::string& broker,
                               const std::string& repo, const std::string& speed = "0.0000",
                               bool music = false, int port = 1883) {
  return "{\n  \"gemini_api_key\": \"" + key +
         "\",\n"
         "  \"model\": \"gemini-flash-lite-latest\",\n"
         "  \"offline_mode\": " +
         (offline ? "true" : "false") +
         ",\n"
         "  \"language\": \"es\",\n"
         "  \"show_token_usage\": true,\n"
         "  \"typing_speed\": " +
         speed +
         ",\n"
         "  \"music_enabled\": " +
         (music ? "true" : "false") +
         ",\n"
         "  \"music_volume\": 0.70,\n"
         "  \"mqtt_broker\": \"" +
         broker +
         "\",\n"
         "  \"mqtt_port\": " +
         std::to_string(port) +
         ",\n"
         "  \"community_vault_repo\": \"" +
         repo + "\"\n}\n";
}

inline const std::string kDefaultBroker = "test.mosquitto.org";
inline const std::string kDefaultRepo = "oskel/Quillhaven-Vault";

// One sandbox: a fresh working folder with the quiet settings.
class Sandbox {
 public:
  Sandbox() { qh_test::write_quiet_config(dir_.path()); }
  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  std::string read(const std::string& name) const { return qh_test::read_file(dir_.file(name)); }
  void write(const std::string& name, const std::string& content) const {
    qh_test::write_file(dir_.file(name), content);
  }
  // Copies a story of tests/data into the sandbox's stories/ folder.
  void add_test_story(const std::string& name) const {
    qh_test::copy_file(std::string(QH_TEST_DATA_DIR) + "/" + name, dir_.file("stories/" + name));
  }
  qh_test::RunResult run(const std::string& input) const {
    qh_test::RunOptions options;
    options.cwd = dir_.path();
    options.input = input;
    return qh_test::run_program(options);
  }

 private:
  qh_test::TempDir dir_;
};

// Number of non-overlapping occurrences of `needle`.
inline int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

// The file's text with its "saved_at" value replaced by a fixed stamp, after
// checking that the real one has the "YYYY-MM-DD HH:MM" shape.
inline std::string without_saved_at(const std::string& save) {
  static const std::regex stamp("\"saved_at\": \"\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}\"");
  std::smatch m;
  if (!std::regex_search(save, m, stamp)) return "saved_at missing or malformed:\n" + save;
  return std::regex_replace(save, stamp, "\"saved_at\": \"STAMP\"",
                            std::regex_constants::format_first_only);
}

// The value of "saved_at" in a save file.
inline std::string saved_at_of(const std::string& save) {
  static const std::regex stamp("\"saved_at\": \"([^\"]*)\"");
  std::smatch m;
  return std::regex_search(save, m, stamp) ? m[1].str() : std::string();
}

inline mode_t file_mode(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

}  // namespace shell_e2e
