// What travels to the table: every event of an adventure, sent and rebuilt, is
// drawn byte for byte as the game draws it; what must stay at the host never
// leaves it; what arrives from the network is cut to the records and made
// terminal-safe.
#include "table/table_protocol.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/json_value.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"
#include "table/table_events.h"

namespace {

JsonMember parse(const std::string& text) {
  JsonMember root;
  JsonError error;
  EXPECT_TRUE(json_parse_tree(text, root, &error)) << text << ": " << error.reason;
  return root;
}

// A JSON list of `count` entries, the i-th being `item(i)`.
std::string json_list(int count, std::string (*item)(int)) {
  std::string out = "[";
  for (int i = 0; i < count; ++i) out += (i ? "," : "") + item(i);
  return out + "]";
}

void add_option(StorySection& s, const char* label, const char* command, bool hidden,
                const char* item, const char* stat, std::int32_t dc) {
  StoryTransition& t = s.transitions[s.transition_count++];
  t.target.assign("x");
  t.label.assign(label);
  t.command.assign(command);
  t.has_command = command[0] != '\0' && !hidden;
  t.is_hidden = hidden;
  t.required_item.assign(item);
  t.check_stat.assign(stat);
  t.check_dc = dc;
  t.required_flag.assign("secreto");  // never travels
}

}  // namespace

TEST(TableEvents, EveryEventIsDrawnAsTheGameDrawsIt) {
  auto view = std::make_unique<TableView>();
  auto section = std::make_unique<StorySection>();
  section->id.assign("7");
  section->title.assign("El osario");
  section->text.assign("Huesos.\n\nMás \"huesos\".");
  section->ending_type.assign("victory");
  add_option(*section, "Abrir la puerta de hueso", "", false, "Llave de Hueso", "", 0);
  add_option(*section, "Deslizarte", "", false, "", "Agilidad", 7);
  add_option(*section, "Susurrar la clave", "abrete sesamo", true, "", "", 0);
  add_option(*section, "Escribir en la consola", "ls -la", false, "", "", 0);
  add_option(*section, "Volver", "", false, "", "", 0);
  Character hero{};
  character_init(hero, "Ana \"la Roja\"", 12);
  character_set_stat(hero, "Agilidad", 1);
  character_set_stat(hero, "Destreza", -1);
  character_add_item(hero, "Antorcha");
  character_add_state(hero, "Envenenado");
  character_set_flag(hero, "traicion", 1);
  hero.hp = 3;
  RollResult roll = rules_classify_roll(6, 5, 1, 7);
  LoreHit hits[2] = {};
  hits[0].title.assign("El Necrófago");
  hits[0].text.assign("Un monje que se alimentó de los muertos.");
  hits[1].title.assign("Los Huesos");
  hits[1].text.assign("Apilados como leña.");

  using K = SessionEventKind;
  std::vector<SessionEvent> events;
  auto add = [&](K kind, const char* text = nullptr, const char* level = nullptr) -> SessionEvent& {
    SessionEvent& e = events.emplace_back();
    e.kind = kind;
    e.text = text;
    e.level = level;
    return e;
  };
  add(K::kStart, "\n📖 Iniciando 'La Cripta'");
  add(K::kMessage, "No llevas eso.", "warning");
  add(K::kHazard, "¡Peligro!", "warning").amount = 3;
  add(K::kItemFound, "🎁 Antorcha", "success").name = "Antorcha";
  add(K::kPanel).hero = &hero;
  events.back().classic = true;
  add(K::kScene).section = section.get();
  events.back().typed = true;
  add(K::kOptions).section = section.get();
  events.back().hero = &hero;  // the locked option is drawn locked on both sides
  add(K::kDice).roll = &roll;
  events.back().name = "Agilidad";
  add(K::kNarration, "La puerta cede.\nEntras.");
  add(K::kLore).name = "necrófago";
  events.back().hits = hits;
  events.back().hit_count = 2;
  add(K::kEnding, "\n🎉 ¡Felicidades!", "success").section = section.get();
  add(K::kDeath, "\n💀 Has caído.");
  // Each event drawn as the game draws it, sent through the table and drawn
  // again from what arrives; the data sent is kept by type.
  std::map<std::string, std::string> sent;
  for (const SessionEvent& e : events) {
    qh_test::ScriptedUi game, table;
    session_render_event(game.ui(), e);
    std::string type, data, original = game.output();
    ASSERT_TRUE(table_event_encode(e, 4, type, data)) << static_cast<int>(e.kind);
    SessionEvent rebuilt;
    EXPECT_TRUE(table_event_decode_data(type, parse(data), *view, rebuilt)) << type;
    session_render_event(table.ui(), rebuilt);
    EXPECT_FALSE(original.empty()) << type;
    EXPECT_EQ(table.output(), original) << type;
    sent[type] = data;
    // The numbers of the options shown survive the hidden one being left out.
    EXPECT_TRUE(type != TABLE_MSG_OPTIONS || original.find("[3]") != std::string::npos);
  }
  // The hidden option stays with the director, flags with the host.
  EXPECT_TRUE(qh_test::lacks(sent[TABLE_MSG_OPTIONS], "sesamo"));
  EXPECT_TRUE(qh_test::lacks(sent[TABLE_MSG_OPTIONS], "secreto"));
  EXPECT_TRUE(qh_test::lacks(sent[TABLE_MSG_PANEL], "traicion"));
  // What the director asked at the host stays there.
  std::string type, data;
  for (K kind : {K::kPrompt, K::kHelp, K::kSheet, K::kInventory}) {
    add(kind).hero = &hero;
    EXPECT_FALSE(table_event_encode(events.back(), 1, type, data));
  }
  // Options without their scene name nothing: they are refused, not drawn blank.
  SessionEvent out;
  EXPECT_FALSE(table_event_decode_data(TABLE_MSG_OPTIONS, parse("{\"turno\":1,\"lista\":[]}"),
                                       *std::make_unique<TableView>(), out));
}

TEST(TableProtocol, NetworkDataIsMadeTerminalSafeAndCutToTheRecords) {
  JsonMember scene = parse(
      "{\"id\":\"a\\u001b[2J\",\"titulo\":\"T\\u0007\",\"texto\":\"uno\\ndos\\u001b]0;x\\u0007"
      "\\r\",\"final\":true,\"tipo_final\":\"victory\"}");
  JsonMember options = parse(
      "{\"turno\":1,\"lista\":[{\"etiqueta\":\"\\u009b31m\",\"acceso\":\"numero\"},"
      "{\"etiqueta\":\"sin acceso\"},{\"etiqueta\":\"x\",\"acceso\":\"raro\"},"
      "{\"etiqueta\":\"c\",\"acceso\":\"comando\",\"comando\":\"rm\\u001b\"},7]}");
  auto section = std::make_unique<StorySection>();
  ASSERT_TRUE(table_decode_scene(scene, &options, *section));
  EXPECT_STREQ(section->id.c_str(), "a?[2J");
  EXPECT_STREQ(section->title.c_str(), "T?");
  EXPECT_STREQ(section->text.c_str(), "uno\ndos?]0;x??");  // line feeds alone are kept
  EXPECT_TRUE(section->is_ending);
  ASSERT_EQ(section->transition_count, 2);
  EXPECT_STREQ(section->transitions[0].label.c_str(), "?31m");
  EXPECT_TRUE(section->transitions[1].has_command);
  EXPECT_STREQ(section->transitions[1].command.c_str(), "rm?");
  // A scene without its required fields is refused and leaves nothing behind.
  EXPECT_FALSE(table_decode_scene(parse("{\"id\":\"a\",\"texto\":\"b\"}"), nullptr, *section));
  EXPECT_TRUE(section->id.empty());

  // More options than a section holds: the extra ones are dropped.
  JsonMember many_options = parse(
      "{\"lista\":" +
      json_list(SECTION_MAX_TRANSITIONS + 1,
                [](int) -> std::string { return "{\"etiqueta\":\"o\",\"acceso\":\"numero\"}"; }) +
      "}");
  ASSERT_TRUE(table_decode_scene(scene, &many_options, *section));
  EXPECT_EQ(section->transition_count, SECTION_MAX_TRANSITIONS);

  // A backpack at N-1, N and N+1 items; absurd numbers saturate.
  Character back{};
  for (int n : {CHARACTER_MAX_ITEMS - 1, CHARACTER_MAX_ITEMS, CHARACTER_MAX_ITEMS + 1}) {
    ASSERT_TRUE(table_decode_hero(
        parse("{\"nombre\":\"x\",\"vida\":1e99,\"vida_max\":-5,\"mochila\":" +
              json_list(n, [](int i) { return "\"o" + std::to_string(i) + "\""; }) + "}"),
        back));
    EXPECT_EQ(back.inventory_count, n > CHARACTER_MAX_ITEMS ? CHARACTER_MAX_ITEMS : n);
    EXPECT_EQ(back.hp, 1000000);
    EXPECT_EQ(back.max_hp, 0);
  }
  EXPECT_FALSE(table_decode_hero(parse("{\"vida\":3}"), back));  // no name

  // Dice off the faces are drawn as faces, never index outside them.
  RollResult roll{};
  FixedText<64> stat;
  ASSERT_TRUE(table_decode_roll(parse("{\"dado1\":99,\"dado2\":-4,\"resultado\":42}"), roll, stat));
  EXPECT_EQ(roll.die1, 6);
  EXPECT_EQ(roll.die2, 1);
  EXPECT_EQ(roll.outcome, OUTCOME_CRIT_FAILURE);

  // A kind from the network that names no known one is drawn as "info".
  std::string json;
  TableText text;
  FixedText<16> kind;
  table_encode_notice("ojo", "\x1b[0m", json);
  ASSERT_TRUE(table_decode_notice(parse(json), text, kind));
  EXPECT_STREQ(kind.c_str(), "info");

  // A join request with a short password, no name or a short answer is refused.
  TableJoinRequest got{};
  for (const char* bad : {"{\"nombre\":\"Ana\",\"clave\":\"short\",\"respuesta\":"
                          "\"00000000000000000000000000000000\"}",
                          "{\"nombre\":\"\",\"clave\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\","
                          "\"respuesta\":\"00000000000000000000000000000000\"}",
                          "{\"nombre\":\"Ana\",\"clave\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\","
                          "\"respuesta\":\"0\"}"}) {
    EXPECT_FALSE(table_decode_join(parse(bad), got)) << bad;
  }
}
