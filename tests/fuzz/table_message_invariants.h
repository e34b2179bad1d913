// The property the table's message reader must hold for any bytes on any
// topic: it never crashes, refuses with a reason, and what it accepts
// decodes into records whose texts are terminal-safe and within capacity.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "table/table_events.h"
#include "table/table_message.h"
#include "table/table_protocol.h"

namespace table_message_invariants {

inline constexpr const char* kTable = "k3j9x2ab";

inline void signing_key(std::uint8_t (&out)[TABLE_MAC_BYTES]) {
  std::uint8_t table_key[TABLE_KEY_BYTES];
  std::memset(table_key, 0x5A, sizeof table_key);
  table_message_key(table_key, out);
}

inline bool safe(std::string_view text, bool multiline) {
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\n' && multiline) continue;
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// Input: the topic (after the table's root) up to the first line feed, then
// the message. The message is tried as it is and, so the fuzzer reaches past
// the signature, once more signed with the table's key. nullptr when every
// property holds, else what failed.
inline const char* check(std::string_view input) {
  std::size_t cut = input.find('\n');
  std::string topic = std::string("qh/v1/") + kTable + "/" +
                      std::string(input.substr(0, cut == std::string_view::npos ? 0 : cut));
  std::string body(cut == std::string_view::npos ? input : input.substr(cut + 1));
  std::uint8_t key[TABLE_MAC_BYTES];
  signing_key(key);
  std::string resigned = body;
  std::size_t mark = resigned.rfind(",\"firma\":\"");
  if (mark != std::string::npos) resigned.resize(mark);
  std::uint8_t mac[TABLE_MAC_BYTES];
  table_crypto_hmac(key, topic + "\n" + resigned, mac);
  resigned += ",\"firma\":\"";
  table_crypto_append_hex(resigned, mac);
  resigned += "\"}";

  auto guard = std::make_unique<TableReplayGuard>();
  std::memset(static_cast<void*>(guard.get()), 0, sizeof *guard);
  for (const std::string* bytes : {&body, &resigned}) {
    TableMessage message;
    TableRejection why{};
    bool ok = table_message_open(kTable, key, topic, *bytes, message, &why);
    if (ok != (why.code == TableReject::kNone)) return "result and reason disagree";
    if (!ok) {
      if (why.detail.empty()) return "refusal without a reason";
      if (!safe(why.detail.view(), false)) return "reason not terminal-safe";
      continue;
    }
    if (bytes->size() > table_topic_limit(message.topic.channel)) return "oversized accepted";
    if (!table_guard_accept(*guard, message, &why)) return "fresh message refused by the guard";
    if (table_guard_accept(*guard, message, &why) || why.code != TableReject::kDuplicate)
      return "duplicate accepted";
    const JsonMember& data = table_message_data(message);
    auto section = std::make_unique<StorySection>();
    if (table_decode_scene(data, &data, *section)) {
      if (!safe(section->title.view(), false) || !safe(section->text.view(), true))
        return "scene text not terminal-safe";
      if (section->transition_count < 0 || section->transition_count > SECTION_MAX_TRANSITIONS)
        return "option count out of range";
      for (int i = 0; i < section->transition_count; ++i)
        if (!safe(section->transitions[i].label.view(), false)) return "label not terminal-safe";
    }
    auto hero = std::make_unique<Character>();
    if (table_decode_hero(data, *hero)) {
      if (!safe(hero->name.view(), false)) return "hero name not terminal-safe";
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
        (!safe(text.view(), true) || !safe(who.view(), false)))
      return "text not terminal-safe";
    TableJoinRequest join;
    if (table_decode_join(data, join) && !safe(join.name.view(), false))
      return "join name not terminal-safe";
    // As an adventurer receives it: rebuilt into the game's event and drawn.
    auto* view = static_cast<TableView*>(std::calloc(1, sizeof(TableView)));
    SessionEvent event;
    const char* failure = nullptr;
    if (view != nullptr && table_event_decode(message, *view, event)) {
      if (event.text != nullptr && !safe(event.text, true))
        failure = "event text not terminal-safe";
      if (event.name != nullptr && !safe(event.name, false))
        failure = "event name not terminal-safe";
      if (event.hit_count < 0 || event.hit_count > TABLE_LORE_HITS) failure = "lore out of range";
      for (int i = 0; i < event.hit_count && failure == nullptr; ++i) {
        if (!safe(event.hits[i].title.view(), false) || !safe(event.hits[i].text.view(), true))
          failure = "lore not terminal-safe";
      }
      UiContext nowhere{};  // drawing on no terminal still walks every record
      session_render_event(nowhere, event);
    }
    std::free(view);
    if (failure != nullptr) return failure;
  }
  return nullptr;
}

inline void abort_on(const char* failure) {
  if (failure != nullptr) std::abort();
}

}  // namespace table_message_invariants
