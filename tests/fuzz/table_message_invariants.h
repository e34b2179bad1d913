// The property the table's message reader must hold for any bytes on any topic: it never crashes,
// refuses with a reason, and what it accepts decodes into records whose texts are terminal-safe and
// within capacity.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "table/table_events.h"
#include "table/table_message.h"
#include "table/table_protocol.h"

namespace table_message_invariants {

using namespace fuzz_check;

inline constexpr const char* kTable = "k3j9x2ab";

// Input: the topic (after the table's root) up to the first line feed, then the message. The
// message is tried as it is and, so the fuzzer reaches past the signature, once more signed with
// the table's key. nullptr when every property holds, else what failed.
inline Failure check(std::string_view input) {
  std::size_t cut = input.find('\n');
  std::string topic = std::string("qh/v1/") + kTable + "/" +
                      std::string(input.substr(0, cut == std::string_view::npos ? 0 : cut));
  std::string body(cut == std::string_view::npos ? input : input.substr(cut + 1));
  std::uint8_t table_key[TABLE_KEY_BYTES], key[TABLE_MAC_BYTES];
  std::memset(table_key, 0x5A, sizeof table_key);
  table_message_key(table_key, key);
  std::string resigned = body.substr(0, body.rfind(",\"firma\":\""));
  std::uint8_t mac[TABLE_MAC_BYTES];
  table_crypto_hmac(key, topic + "\n" + resigned, mac);
  resigned += ",\"firma\":\"";
  table_crypto_append_hex(resigned, mac);
  resigned += "\"}";

  auto guard = std::make_unique<TableReplayGuard>();
  for (const std::string* bytes : {&body, &resigned}) {
    TableMessage message;
    TableRejection why{};
    bool ok = table_message_open(kTable, key, topic, *bytes, message, &why);
    if (ok != (why.code == TableReject::kNone)) return "result and reason disagree";
    if (!ok) {
      if (why.detail.empty()) return "refusal without a reason";
      if (holds_control(why.detail.view())) return "reason not terminal-safe";
      continue;
    }
    if (bytes->size() > table_topic_limit(message.topic.channel)) return "oversized accepted";
    if (!table_guard_accept(*guard, message, &why)) return "fresh message refused by the guard";
    if (table_guard_accept(*guard, message, &why) || why.code != TableReject::kDuplicate)
      return "duplicate accepted";
    const JsonMember& data = table_message_data(message);
    auto section = std::make_unique<StorySection>();
    if (table_decode_scene(data, &data, *section)) {
      if (holds_control(section->title.view()) || holds_control(section->text.view(), "\n"))
        return "scene text not terminal-safe";
      if (section->transition_count < 0 || section->transition_count > SECTION_MAX_TRANSITIONS)
        return "option count out of range";
      for (int i = 0; i < section->transition_count; ++i)
        if (holds_control(section->transitions[i].label.view())) return "label not terminal-safe";
    }
    auto hero = std::make_unique<Character>();
    if (table_decode_hero(data, *hero)) {
      if (holds_control(hero->name.view())) return "hero name not terminal-safe";
      if (hero->inventory_count > CHARACTER_MAX_ITEMS || hero->stat_count > CHARACTER_MAX_STATS)
        return "hero list out of range";
    }
    RollResult roll;
    FixedText<64> stat;
    if (table_decode_roll(data, roll, stat) &&
        (roll.die1 < 1 || roll.die1 > 6 || roll.die2 < 1 || roll.die2 > 6))
      return "die outside its faces";
    TableText text;
    TableNameText who;
    if (table_decode_text(data, text, &who, nullptr) &&
        (holds_control(text.view(), "\n") || holds_control(who.view())))
      return "text not terminal-safe";
    TableJoinRequest join;
    if (table_decode_join(data, join) && holds_control(join.name.view()))
      return "join name not terminal-safe";
    // As an adventurer receives it: rebuilt into the game's event and drawn.
    auto view = std::make_unique<TableView>();
    SessionEvent event;
    if (table_event_decode(message, *view, event)) {
      if (event.text != nullptr && holds_control(event.text, "\n"))
        return "event text not terminal-safe";
      if (event.name != nullptr && holds_control(event.name)) return "event name not terminal-safe";
      if (event.hit_count < 0 || event.hit_count > TABLE_LORE_HITS) return "lore out of range";
      for (int i = 0; i < event.hit_count; ++i)
        if (holds_control(event.hits[i].title.view()) ||
            holds_control(event.hits[i].text.view(), "\n"))
          return "lore not terminal-safe";
      UiContext nowhere{};  // drawing on no terminal still walks every record
      session_render_event(nowhere, event);
    }
  }
  return nullptr;
}

}  // namespace table_message_invariants
