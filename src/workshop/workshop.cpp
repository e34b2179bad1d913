#include "workshop/workshop.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/slug.h"
#include "common/text_util.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "ui/palette.h"
#include "ui/text_output.h"
#include "workshop/story_templates.h"
#include "workshop/workshop_screens.h"

namespace {

// Buffer sizes of the answers read in the workshop; the rest of a longer line
// is dropped, so it never answers the next prompt.
constexpr std::size_t MENU_ANSWER_BYTES = 16;
constexpr std::size_t TITLE_BYTES = 128;
constexpr std::size_t AUTHOR_BYTES = 64;
constexpr std::size_t STORY_PATH_BYTES = 512;
// When slug.md exists the wizard tries slug_2.md up to this suffix.
constexpr int MAX_NAME_SUFFIX = 999;
// A new story is readable by everyone, like the bundled ones.
constexpr mode_t STORY_FILE_MODE = 0644;

constexpr const char* DEFAULT_AUTHOR = "Aventurero Anónimo";
constexpr const char* CREATE_ERROR = "❌ Error al crear el archivo de historia.";

// A typed title or author as the front matter can hold it: every control
// byte (a carriage return would end the line and split the header) becomes a
// space, and the ends are trimmed. Quotes need nothing: the value is written
// between double quotes, and the reader takes off only that outer pair.
void clean_front_matter_value(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) *p = ' ';
  }
  trim(text);
}

std::string story_text(const char* title, const char* author, const WorkshopGenre& genre) {
  std::string text = "---\ntitle: \"";
  text += title;
  text += "\"\nauthor: \"";
  text += author;
  text += "\"\n";
  text += genre.body;
  return text;
}

// Asks for a genre until one of the list is named. False when the input ended.
bool read_genre(UiContext& ui, const WorkshopGenre*& genre) {
  for (;;) {
    ui_printf(ui, QH_YELLOW "Selecciona (1-%d): " QH_RESET, WORKSHOP_GENRE_COUNT);
    char answer[MENU_ANSWER_BYTES];
    if (!ui_read_line_discard_rest(ui, answer, sizeof answer)) return false;
    const char choice = ui_menu_choice(answer, static_cast<char>('0' + WORKSHOP_GENRE_COUNT));
    if (choice != 0) {
      genre = &WORKSHOP_GENRES[choice - '1'];
      return true;
    }
    ui_print_message(ui, "Opción inválida. Elige un género del 1 al 4.", "warning");
  }
}

// Writes the new story without ever replacing one: slug.md, else the first
// free name among slug_2.md, slug_3.md, ... The story is written whole to a
// temporary file and only then given its name, so a failed or interrupted
// write never leaves a cut story among the playable ones. The path used is
// left in `path`.
bool write_story(const Host& host, const char* slug, const std::string& text, char* path,
                 std::size_t capacity) {
  PathText folder;
  if (!host_path(host, PATH_STORIES_DIR, folder)) return false;
  platform_mkdir_p(folder.c_str());
  for (int n = 1; n <= MAX_NAME_SUFFIX; ++n) {
    int len = n == 1 ? std::snprintf(path, capacity, "%s/%s.md", folder.c_str(), slug)
                     : std::snprintf(path, capacity, "%s/%s_%d.md", folder.c_str(), slug, n);
    // A path that does not fit would name some other file: give up instead.
    if (len < 0 || static_cast<std::size_t>(len) >= capacity) return false;
    struct stat st;
    if (lstat(path, &st) == 0) continue;
    if (platform_write_file_atomic(path, text, STORY_FILE_MODE, false)) return true;
    // Taken meanwhile: try the next name.
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

void workshop_print_menu(UiContext& ui) {
  const char* rule = "==================================================================\n";
  ui_printf(ui, "\n" QH_FRAME "%s" QH_RESET, rule);
  ui_write(ui, QH_ORANGE QH_BOLD
           "      🛠️   TALLER DEL CREADOR: HISTORIAS, ARTE & MÚSICA          \n" QH_RESET);
  ui_printf(ui, QH_FRAME "%s" QH_RESET, rule);
  ui_write(ui,
           "1. 🧙♂️ Crear Nueva Historia (Asistente interactivo en Markdown)\n"
           "2. 🌐 Bóveda Comunitaria en GitHub (Quillhaven Vault)\n"
           "3. 🖼️  Creador de Imágenes & Estudio de Arte (Pixel Art & Sprites)\n"
           "4. 🎨 Galería y Probador de Cinemáticas (TrueColor en Consola)\n"
           "5. 🎹 Probador y Secuenciador Chiptune (Escalas y Timbres)\n"
           "6. 📖 Ver Guía de Creación de Historias (Markdown, Dados & RAG)\n"
           "7. 📜 Ver Guía de Composición Musical (Recetas y Escalas)\n"
           "8. 🚪 Volver al Menú Principal\n\n");
  ui_write(ui, QH_YELLOW "Selecciona una opción (1-8): " QH_RESET);
}

bool workshop_run_story_wizard(Host& host) {
  UiContext& ui = host.ui;
  ui_write(ui, "\n" QH_ORANGE QH_BOLD
               "=== 🧙♂️ ASISTENTE DE CREACIÓN DE HISTORIAS ===" QH_RESET "\n");
  ui_write(ui, "Elige el género de tu aventura:\n");
  for (int i = 0; i < WORKSHOP_GENRE_COUNT; ++i) {
    ui_printf(ui, "  %d. %s\n", i + 1, WORKSHOP_GENRES[i].name);
  }
  const WorkshopGenre* genre = nullptr;
  if (!read_genre(ui, genre)) return false;

  ui_write(ui, QH_YELLOW "Título de la aventura: " QH_RESET);
  char title[TITLE_BYTES];
  if (!ui_read_line_discard_rest(ui, title, sizeof title)) return false;
  ui_write(ui, QH_YELLOW "Nombre del autor: " QH_RESET);
  char author[AUTHOR_BYTES];
  if (!ui_read_line_discard_rest(ui, author, sizeof author)) return false;
  clean_front_matter_value(title);
  clean_front_matter_value(author);
  if (title[0] == '\0') text_copy(title, sizeof title, genre->default_title);
  if (author[0] == '\0') text_copy(author, sizeof author, DEFAULT_AUTHOR);

  SlugText slug;
  make_name_slug(title, WORKSHOP_SLUG_FALLBACK, slug);
  char path[STORY_PATH_BYTES];
  if (!write_story(host, slug.c_str(), story_text(title, author, *genre), path, sizeof path)) {
    ui_print_message(ui, CREATE_ERROR, "error");
    return ui_pause_enter(ui);
  }
  ui_printf(ui, QH_GREEN QH_BOLD "✅ ¡Historia '%s' creada con éxito!\n" QH_RESET,
            text_printable(path).c_str());
  ui_write(ui, "   Puedes jugarla inmediatamente desde '1. Iniciar Nueva Aventura'.\n");
  return ui_pause_enter(ui);
}

void workshop_open_menu(Host& host, const AppConfig& config) {
  UiContext& ui = host.ui;
  for (;;) {
    workshop_print_menu(ui);
    char answer[MENU_ANSWER_BYTES];
    if (!ui_read_line_discard_rest(ui, answer, sizeof answer)) return;
    char choice = ui_menu_choice(answer, '8');
    if (choice == 0) {
      ui_print_message(ui, "Opción inválida. Elige del 1 al 8.", "warning");
      continue;
    }
    bool input_open = true;
    switch (choice) {
      case '1':
        input_open = workshop_run_story_wizard(host);
        break;
      case '2':
        input_open = workshop_show_vault(ui, config);
        break;
      case '3':
      case '4':
        input_open = workshop_show_gallery(ui);
        break;
      case '5':
        input_open = workshop_run_chiptune_tester(host);
        break;
      case '6':
        input_open = show_guide_file(host, PATH_STORY_GUIDE, "📖 GUÍA DE CREACIÓN DE HISTORIAS");
        break;
      case '7':
        input_open = show_guide_file(host, PATH_MUSIC_GUIDE, "📜 GUÍA DE COMPOSICIÓN MUSICAL");
        break;
      default:
        return;
    }
    // At the end of input nothing more can be answered: back to the caller.
    if (!input_open) return;
  }
}
