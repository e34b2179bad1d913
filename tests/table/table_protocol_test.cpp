#include "table/table_protocol.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "common/json_value.h"
#include "story/story_parser.h"
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

std::string json_list(int count, std::string (*item)(int)) {
  std::string out = "[";
  for (int i = 0; i < count; ++i) out += (i ? "," : "") + item(i);
  return out + "]";
}

}  // namespace

TEST(TableEvents, EveryEventIsDrawnAsTheGameDrawsIt) {
  auto view = std::make_unique<TableView>();
  auto story = std::make_unique<Story>();
  ASSERT_TRUE(story_parser_load_file(*story, QH_TEST_DATA_DIR "/table/osario.md"));
  StorySection* section = &story->sections[0];
  for (int i = 0; i < section->transition_count; ++i)
    section->transitions[i].required_flag.assign("secreto");  // never travels
  Character hero{};
  character_seed_from_story(hero, *story, "Ana \"la Roja\"");
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
  const SessionEvent events[] = {
      {.kind = K::kStart, .text = "\n📖 Iniciando 'La Cripta'"},
      {.kind = K::kMessage, .text = "No llevas eso.", .level = "warning"},
      {.kind = K::kHazard, .text = "¡Peligro!", .level = "warning", .amount = 3},
      {.kind = K::kItemFound, .text = "🎁 Antorcha", .level = "success", .name = "Antorcha"},
      {.kind = K::kPanel, .hero = &hero, .classic = true},
      {.kind = K::kScene, .section = section, .typed = true},
      // The locked option is drawn locked on both sides.
      {.kind = K::kOptions, .section = section, .hero = &hero},
      {.kind = K::kDice, .name = "Agilidad", .roll = &roll},
      {.kind = K::kNarration, .text = "La puerta cede.\nEntras."},
      {.kind = K::kLore, .name = "necrófago", .hits = hits, .hit_count = 2},
      {.kind = K::kEnding,
       .text = "\n🎉 ¡Felicidades!",
       .level = "success",
       .section = &story->sections[1]},
      {.kind = K::kDeath, .text = "\n💀 Has caído."}};
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
  for (K kind : {K::kPrompt, K::kHelp, K::kSheet, K::kInventory})
    EXPECT_FALSE(table_event_encode({.kind = kind, .hero = &hero}, 1, type, data));
  // Options without their scene name nothing: they are refused, not drawn blank.
  SessionEvent out;
  EXPECT_FALSE(table_event_decode_data(TABLE_MSG_OPTIONS, parse("{\"turno\":1,\"lista\":[]}"),
                                       *std::make_unique<TableView>(), out));
}

TEST(TableProtocol, NetworkDataIsMadeTerminalSafeAndCutToTheRecords) {
  JsonMember scene = parse(qh_test::read_file(QH_TEST_DATA_DIR "/table/hostile_scene.json"));
  JsonMember options = parse(qh_test::read_file(QH_TEST_DATA_DIR "/table/hostile_options.json"));
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
  std::istringstream bad(qh_test::read_file(QH_TEST_DATA_DIR "/table/bad_join_requests.txt"));
  for (std::string line; std::getline(bad, line);)
    EXPECT_FALSE(table_decode_join(parse(line), got)) << line;
}
