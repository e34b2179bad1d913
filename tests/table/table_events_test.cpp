// Every event of an adventure, sent to the table and rebuilt, is drawn byte
// for byte as the game draws it.
#include "table/table_events.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/json_value.h"
#include "support/scripted_ui.h"

namespace {

struct FreeView {
  void operator()(TableView* view) const { std::free(view); }
};
using ViewPtr = std::unique_ptr<TableView, FreeView>;

struct Drawn {
  std::string original;
  std::string rebuilt;
  std::string type;
};

// Draws `event` as the game does, sends it through the table and draws what arrives.
Drawn through_the_table(const SessionEvent& event, TableView& view) {
  Drawn d;
  qh_test::ScriptedUi game, table;
  session_render_event(game.ui(), event);
  d.original = game.output();
  std::string data;
  if (!table_event_encode(event, 4, d.type, data)) return d;
  JsonMember parsed;
  EXPECT_TRUE(json_parse_tree(data, parsed, nullptr)) << data;
  SessionEvent rebuilt;
  EXPECT_TRUE(table_event_decode_data(d.type, parsed, view, rebuilt)) << d.type;
  session_render_event(table.ui(), rebuilt);
  d.rebuilt = table.output();
  return d;
}

}  // namespace

TEST(TableEvents, EveryEventIsDrawnAsTheGameDrawsIt) {
  ViewPtr view(static_cast<TableView*>(std::calloc(1, sizeof(TableView))));
  auto section = std::make_unique<StorySection>();
  std::memset(static_cast<void*>(section.get()), 0, sizeof *section);
  section->id.assign("7");
  section->title.assign("El osario");
  section->text.assign("Huesos.\n\nMás huesos.");
  section->ending_type.assign("victory");
  StoryTransition& t = section->transitions[section->transition_count++];
  t.label.assign("Abrir la puerta de hueso");
  t.required_item.assign("Llave de Hueso");
  StoryTransition& c = section->transitions[section->transition_count++];
  c.label.assign("Deslizarte");
  c.check_stat.assign("Agilidad");
  c.check_dc = 7;
  Character hero{};
  character_init(hero, "La Compañía", 12);
  character_set_stat(hero, "Agilidad", 1);
  character_add_item(hero, "Antorcha");
  RollResult roll = rules_classify_roll(6, 5, 1, 7);
  LoreHit hits[2] = {};
  hits[0].title.assign("El Necrófago");
  hits[0].text.assign("Un monje que se alimentó de los muertos.");
  hits[1].title.assign("Los Huesos");
  hits[1].text.assign("Apilados como leña.");

  auto event = [](SessionEventKind kind) {
    SessionEvent e{};
    e.kind = kind;
    return e;
  };
  std::vector<SessionEvent> events;
  events.push_back(event(SessionEventKind::kStart));
  events.back().text = "\n📖 Iniciando 'La Cripta'";
  events.push_back(event(SessionEventKind::kMessage));
  events.back().text = "No llevas eso.";
  events.back().level = "warning";
  events.push_back(event(SessionEventKind::kHazard));
  events.back().text = "¡Peligro!";
  events.back().level = "warning";
  events.back().amount = 3;
  events.push_back(event(SessionEventKind::kItemFound));
  events.back().text = "🎁 Antorcha";
  events.back().level = "success";
  events.back().name = "Antorcha";
  events.push_back(event(SessionEventKind::kPanel));
  events.back().hero = &hero;
  events.back().classic = true;
  events.push_back(event(SessionEventKind::kScene));
  events.back().section = section.get();
  events.back().typed = true;
  events.push_back(event(SessionEventKind::kOptions));
  events.back().section = section.get();
  events.back().hero = &hero;  // the locked option is drawn locked on both sides
  events.push_back(event(SessionEventKind::kDice));
  events.back().roll = &roll;
  events.back().name = "Agilidad";
  events.push_back(event(SessionEventKind::kNarration));
  events.back().text = "La puerta cede.";
  events.push_back(event(SessionEventKind::kLore));
  events.back().name = "necrófago";
  events.back().hits = hits;
  events.back().hit_count = 2;
  events.push_back(event(SessionEventKind::kEnding));
  events.back().text = "\n🎉 ¡Felicidades!";
  events.back().level = "success";
  events.back().section = section.get();
  events.push_back(event(SessionEventKind::kDeath));
  events.back().text = "\n💀 Has caído.";
  for (const SessionEvent& e : events) {
    Drawn d = through_the_table(e, *view);
    ASSERT_FALSE(d.type.empty()) << static_cast<int>(e.kind);
    EXPECT_FALSE(d.original.empty()) << d.type;
    EXPECT_EQ(d.rebuilt, d.original) << d.type;
  }
  // What the director asked at the host stays there.
  std::string type, data;
  for (SessionEventKind kind : {SessionEventKind::kPrompt, SessionEventKind::kHelp,
                                SessionEventKind::kSheet, SessionEventKind::kInventory}) {
    SessionEvent e = event(kind);
    e.hero = &hero;
    EXPECT_FALSE(table_event_encode(e, 1, type, data));
  }
  // Options without their scene name nothing: they are refused, not drawn blank.
  ViewPtr fresh(static_cast<TableView*>(std::calloc(1, sizeof(TableView))));
  JsonMember options;
  ASSERT_TRUE(json_parse_tree("{\"turno\":1,\"lista\":[]}", options, nullptr));
  SessionEvent out;
  EXPECT_FALSE(table_event_decode_data(TABLE_MSG_OPTIONS, options, *fresh, out));
}
