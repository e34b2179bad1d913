#include "table/table_screen.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "table/table_events.h"
#include "table/table_protocol.h"
#include "ui/palette.h"

namespace {

enum class ItemKind : std::uint8_t { kMessage, kNote, kLocal };

struct Item {
  ItemKind kind;
  std::string type;  // message type, line type, or note level
  JsonMember data;
  std::string text;  // a note's or line's text; after a message, what follows it
  SessionEventKind local = SessionEventKind::kHelp;
  Character* hero = nullptr;  // owned, for kLocal
};

}  // namespace

struct TableScreen {
  UiContext ui{};
  TablePrompt prompt = TablePrompt::kAdventurer;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Item> items;
  bool closing = false;
  bool busy = false;
  std::thread thread;
  TableView* view = nullptr;             // touched by the screen's thread only
  GameRandom random{};                   // the rolling faces of the dice animation
  std::atomic<bool> prompt_open{false};  // the cursor waits after a prompt
};

namespace {

void end_prompt_line(TableScreen& s) {
  if (!s.prompt_open) return;
  ui_write(s.ui, "\n");
  s.prompt_open = false;
}

void draw_prompt(TableScreen& s) {
  switch (s.prompt) {
    case TablePrompt::kAdventurer: {
      SessionEvent prompt{};
      prompt.kind = SessionEventKind::kPrompt;
      session_render_event(s.ui, prompt);
      break;
    }
    case TablePrompt::kDirector:
      ui_write(s.ui, "\n" QH_GREY
                     "   (Enter: confirmar la más votada · número: elegir · texto: acción · "
                     "/ayuda)" QH_RESET "\n" QH_ORANGE QH_BOLD "Director ❯ " QH_RESET);
      break;
    case TablePrompt::kNone:
      return;
  }
  ui_flush(s.ui);
  s.prompt_open = true;
}

// `extra` follows the event (the director's hidden options), before any prompt.
void draw_event(TableScreen& s, const SessionEvent& e, std::string_view extra = {}) {
  SessionEvent shown = e;
  // The dice roll with faces of this terminal's own: the settled dice are the host's.
  if (shown.kind == SessionEventKind::kDice) shown.random = &s.random;
  session_render_event(s.ui, shown);
  ui_write(s.ui, extra);
  if (shown.kind == SessionEventKind::kOptions) draw_prompt(s);
  ui_flush(s.ui);
}

// The retained state: the current panel, scene and options at once, then who
// is at the table and how the vote stands.
void draw_state(TableScreen& s, const JsonMember& data) {
  TableView& view = *s.view;
  SessionEvent e;
  if (const JsonMember* panel = json_find_typed(data, "panel", JsonType::kObject)) {
    if (table_event_decode_data(TABLE_MSG_PANEL, *panel, view, e)) draw_event(s, e);
  }
  const JsonMember* scene = json_find_typed(data, "escena", JsonType::kObject);
  if (scene != nullptr && table_event_decode_data(TABLE_MSG_SCENE, *scene, view, e)) {
    e.typed = false;
    draw_event(s, e);
    if (const JsonMember* options = json_find_typed(data, "opciones", JsonType::kObject)) {
      if (table_event_decode_data(TABLE_MSG_OPTIONS, *options, view, e)) draw_event(s, e);
    }
  }
  TableText line;
  if (table_read_text(data, "texto", line, true) && !line.empty()) {
    end_prompt_line(s);
    table_render_line(s.ui, TABLE_MSG_PRESENT, line.view());
  }
}

void draw(TableScreen& s, Item& item) {
  switch (item.kind) {
    case ItemKind::kMessage: {
      if (item.type == "estado") {
        end_prompt_line(s);
        draw_state(s, item.data);
        return;
      }
      if (table_event_is_line(item.type)) {
        TableText line;
        if (!table_read_text(item.data, "texto", line, true)) return;
        end_prompt_line(s);
        table_render_line(s.ui, item.type, line.view());
        return;
      }
      SessionEvent e;
      if (!table_event_decode_data(item.type, item.data, *s.view, e)) return;
      end_prompt_line(s);
      draw_event(s, e, item.text);
      return;
    }
    case ItemKind::kNote:
      end_prompt_line(s);
      ui_print_message(s.ui, table_printable_lines(item.text).c_str(), item.type.c_str());
      ui_flush(s.ui);
      return;
    case ItemKind::kLocal: {
      end_prompt_line(s);
      SessionEvent e{};
      e.kind = item.local;
      e.hero = item.hero;
      session_render_event(s.ui, e);
      ui_flush(s.ui);
      return;
    }
  }
}

void run(TableScreen* s) {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->busy = false;
      s->changed.notify_all();
      s->changed.wait(lock, [&] { return s->closing || !s->items.empty(); });
      if (s->items.empty()) return;
      item = std::move(s->items.front());
      s->items.pop_front();
      s->busy = true;
    }
    draw(*s, item);
    delete item.hero;
  }
}

void push(TableScreen& s, Item item) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.items.push_back(std::move(item));
  }
  s.changed.notify_all();
}

}  // namespace

TableScreen* table_screen_open(const UiContext& ui, TablePrompt prompt) {
  auto* s = new (std::nothrow) TableScreen;
  if (s == nullptr) return nullptr;
  s->view = static_cast<TableView*>(std::calloc(1, sizeof(TableView)));
  if (s->view == nullptr) {
    delete s;
    return nullptr;
  }
  s->ui = ui;
  s->prompt = prompt;
  rules_random_seed(s->random, platform_entropy_seed());
  s->thread = std::thread(run, s);
  return s;
}

void table_screen_close(TableScreen* screen) {
  if (screen == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(screen->mutex);
    screen->closing = true;
  }
  screen->changed.notify_all();
  screen->thread.join();
  end_prompt_line(*screen);
  ui_flush(screen->ui);
  std::free(screen->view);
  delete screen;
}

void table_screen_post(TableScreen& screen, std::string_view type, JsonMember data,
                       std::string after) {
  push(screen, Item{ItemKind::kMessage, std::string(type), std::move(data), std::move(after)});
}

void table_screen_post_json(TableScreen& screen, std::string_view type, std::string_view json,
                            std::string after) {
  JsonMember data;
  if (!json_parse_tree(json, data, nullptr)) return;
  table_screen_post(screen, type, std::move(data), std::move(after));
}

void table_screen_note(TableScreen& screen, std::string_view text, std::string_view level) {
  push(screen, Item{ItemKind::kNote, std::string(level), {}, std::string(text)});
}

void table_screen_local(TableScreen& screen, SessionEventKind kind, const Character& hero) {
  Item item{ItemKind::kLocal, {}, {}, {}};
  item.local = kind;
  item.hero = new (std::nothrow) Character(hero);
  if (item.hero == nullptr) return;
  push(screen, std::move(item));
}

void table_screen_answered(TableScreen& screen) { screen.prompt_open = false; }

void table_screen_drain(TableScreen& screen) {
  std::unique_lock<std::mutex> lock(screen.mutex);
  screen.changed.wait(lock, [&] { return screen.items.empty() && !screen.busy; });
}
