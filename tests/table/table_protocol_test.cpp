#include "table/table_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "common/json_value.h"
#include "support/scripted_ui.h"
#include "ui/dice_view.h"
#include "ui/panels.h"

namespace {

JsonMember parse(const std::string& text) {
  JsonMember root;
  JsonError error;
  EXPECT_TRUE(json_parse_tree(text, root, &error)) << text << ": " << error.reason;
  return root;
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

TEST(TableProtocol, RebuiltSceneAndOptionsDrawLikeTheOriginal) {
  auto section = std::make_unique<StorySection>();
  std::memset(static_cast<void*>(section.get()), 0, sizeof *section);
  section->id.assign("puente");
  section->title.assign("El puente roto");
  section->text.assign("Primer párrafo.\n\nSegundo \"párrafo\".");
  add_option(*section, "Cruzar", "", false, "", "Destreza", 8);
  add_option(*section, "Susurrar la clave", "abrete sesamo", true, "", "", 0);
  add_option(*section, "Usar la cuerda", "", false, "Cuerda", "", 0);
  add_option(*section, "Escribir en la consola", "ls -la", false, "", "", 0);
  add_option(*section, "Volver", "", false, "", "", 0);

  std::string scene_json, options_json, director_json;
  table_encode_scene(*section, scene_json);
  table_encode_options(*section, false, 3, options_json);
  table_encode_options(*section, true, 3, director_json);
  EXPECT_EQ(options_json.find("sesamo"), std::string::npos);  // hidden stays with the director
  EXPECT_NE(director_json.find("sesamo"), std::string::npos);
  EXPECT_EQ(options_json.find("secreto"), std::string::npos);

  JsonMember scene = parse(scene_json);
  JsonMember options = parse(options_json);
  EXPECT_EQ(table_decode_turn(options), 3);
  auto rebuilt = std::make_unique<StorySection>();
  ASSERT_TRUE(table_decode_scene(scene, &options, *rebuilt));
  EXPECT_EQ(rebuilt->transition_count, 4);

  Character hero{};
  character_init(hero, "Ana", 10);
  qh_test::ScriptedUi original, copy;
  ui_print_scene(original.ui(), section.get());
  ui_print_options(original.ui(), section.get(), &hero);
  ui_print_scene(copy.ui(), rebuilt.get());
  ui_print_options(copy.ui(), rebuilt.get(), &hero);
  std::string drawn = original.output();
  EXPECT_EQ(copy.output(), drawn);
  // Numbers survive the hidden option being left out.
  EXPECT_NE(drawn.find("[3]"), std::string::npos);
  EXPECT_NE(drawn.find("Cuerda"), std::string::npos);
}

TEST(TableProtocol, NetworkTextNeverReachesTheTerminalRaw) {
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
  std::string many = "{\"lista\":[";
  for (int i = 0; i < SECTION_MAX_TRANSITIONS + 1; ++i)
    many += std::string(i ? "," : "") + "{\"etiqueta\":\"o\",\"acceso\":\"numero\"}";
  many += "]}";
  JsonMember many_options = parse(many);
  ASSERT_TRUE(table_decode_scene(scene, &many_options, *section));
  EXPECT_EQ(section->transition_count, SECTION_MAX_TRANSITIONS);
}

TEST(TableProtocol, HeroPanelRoundTripsWithinItsCapacities) {
  Character hero{};
  character_init(hero, "Ana \"la Roja\"", 12);
  character_set_stat(hero, "Fuerza", 2);
  character_set_stat(hero, "Destreza", -1);
  character_add_item(hero, "Antorcha");
  character_add_state(hero, "Envenenado");
  character_set_flag(hero, "traicion", 1);
  hero.hp = 3;
  std::string json;
  table_encode_hero(hero, json);
  EXPECT_EQ(json.find("traicion"), std::string::npos);
  Character back{};
  ASSERT_TRUE(table_decode_hero(parse(json), back));
  qh_test::ScriptedUi a, b;
  ui_print_hud(a.ui(), &hero, true, nullptr, false);
  ui_print_hud(b.ui(), &back, true, nullptr, false);
  EXPECT_EQ(b.output(), a.output());
  EXPECT_EQ(back.flag_count, 0);

  // Inventory at N-1, N and N+1 entries; absurd numbers saturate.
  for (int n : {CHARACTER_MAX_ITEMS - 1, CHARACTER_MAX_ITEMS, CHARACTER_MAX_ITEMS + 1}) {
    std::string text = "{\"nombre\":\"x\",\"vida\":1e99,\"vida_max\":-5,\"mochila\":[";
    for (int i = 0; i < n; ++i)
      text += std::string(i ? "," : "") + "\"o" + std::to_string(i) + "\"";
    text += "]}";
    ASSERT_TRUE(table_decode_hero(parse(text), back));
    EXPECT_EQ(back.inventory_count, n > CHARACTER_MAX_ITEMS ? CHARACTER_MAX_ITEMS : n);
    EXPECT_EQ(back.hp, 1000000);
    EXPECT_EQ(back.max_hp, 0);
  }
  EXPECT_FALSE(table_decode_hero(parse("{\"vida\":3}"), back));
}

TEST(TableProtocol, DiceAndSmallMessagesRoundTrip) {
  RollResult roll = rules_classify_roll(6, 5, 2, 9);
  std::string json;
  table_encode_roll(roll, "Fuerza", json);
  RollResult back{};
  FixedText<64> stat;
  ASSERT_TRUE(table_decode_roll(parse(json), back, stat));
  EXPECT_EQ(std::memcmp(&back, &roll, sizeof roll), 0);
  EXPECT_STREQ(stat.c_str(), "Fuerza");
  // Dice off the faces are drawn as faces, never index outside them.
  ASSERT_TRUE(table_decode_roll(parse("{\"dado1\":99,\"dado2\":-4,\"resultado\":42}"), back, stat));
  EXPECT_EQ(back.die1, 6);
  EXPECT_EQ(back.die2, 1);
  EXPECT_EQ(back.outcome, OUTCOME_CRIT_FAILURE);

  TableText text;
  TableNameText who;
  bool classic = false;
  table_encode_text("Hola\nmesa", "Ana", true, json);
  ASSERT_TRUE(table_decode_text(parse(json), text, &who, &classic));
  EXPECT_STREQ(text.c_str(), "Hola\nmesa");
  EXPECT_STREQ(who.c_str(), "Ana");
  EXPECT_TRUE(classic);

  FixedText<16> kind;
  table_encode_notice("ojo", "\x1b[0m", json);
  ASSERT_TRUE(table_decode_notice(parse(json), text, kind));
  EXPECT_STREQ(kind.c_str(), "info");

  TableJoinRequest request{};
  request.name.assign("Ana");
  request.password.assign(std::string(32, 'a'));
  request.nonce.assign(std::string(32, '0'));
  table_encode_join(request, json);
  TableJoinRequest got{};
  ASSERT_TRUE(table_decode_join(parse(json), got));
  EXPECT_EQ(got.password.view(), request.password.view());
  for (const char* bad : {"{\"nombre\":\"Ana\",\"clave\":\"short\",\"respuesta\":"
                          "\"00000000000000000000000000000000\"}",
                          "{\"nombre\":\"\",\"clave\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\","
                          "\"respuesta\":\"00000000000000000000000000000000\"}",
                          "{\"nombre\":\"Ana\",\"clave\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\","
                          "\"respuesta\":\"0\"}"}) {
    EXPECT_FALSE(table_decode_join(parse(bad), got)) << bad;
  }
}
