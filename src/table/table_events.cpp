#include "table/table_events.h"

#include <cstring>

#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/text_util.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

// A level as the game's messages name it; anything else reads as "info".
const char* known_level(std::string_view level) {
  for (const char* known : {"error", "warning", "success"})
    if (level == known) return known;
  return "info";
}

void encode_lore(const SessionEvent& e, std::string& out) {
  out = "{\"consulta\":";
  json_text_append_quoted(out, or_empty(e.name));
  out += ",\"resultados\":[";
  std::int32_t count = e.hits != nullptr && e.hit_count > 0 ? e.hit_count : 0;
  if (count > TABLE_LORE_HITS) count = TABLE_LORE_HITS;
  for (std::int32_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += "{\"titulo\":";
    json_text_append_quoted(out, e.hits[i].title.view());
    out += ",\"texto\":";
    json_text_append_quoted(out, e.hits[i].text.view());
    out += '}';
  }
  out += "]}";
}

void decode_lore(const JsonMember& data, TableView& view) {
  TableText text;
  table_read_text(data, "consulta", text);
  view.query.assign(text.view());
  view.hit_count = 0;
  const JsonMember* list = json_find_typed(data, "resultados", JsonType::kArray);
  if (list == nullptr) return;
  for (const JsonMember& m : list->children) {
    if (m.type != JsonType::kObject) continue;
    LoreHit* hit = list_append(view.hits, view.hit_count);
    if (hit == nullptr) break;
    *hit = LoreHit{};
    table_read_text(m, "titulo", text);
    hit->title.assign(text.view());
    table_read_text(m, "texto", text);
    hit->text.assign(text.view());
  }
}

}  // namespace

bool table_event_encode(const SessionEvent& e, std::int32_t turn, std::string& type,
                        std::string& data) {
  type.clear();
  data.clear();
  switch (e.kind) {
    case SessionEventKind::kStart:
      type = TABLE_MSG_NOTICE;
      table_encode_notice(or_empty(e.text), "info", data);
      return true;
    case SessionEventKind::kMessage:
      type = TABLE_MSG_NOTICE;
      table_encode_notice(or_empty(e.text), known_level(or_empty(e.level)), data);
      return true;
    case SessionEventKind::kHazard:
      type = TABLE_MSG_HAZARD;
      table_encode_notice(or_empty(e.text), known_level(or_empty(e.level)), data);
      table_json_add_int(data, "dano", e.amount);
      return true;
    case SessionEventKind::kItemFound:
      type = TABLE_MSG_ITEM;
      table_encode_notice(or_empty(e.text), known_level(or_empty(e.level)), data);
      table_json_add_text(data, "nombre", or_empty(e.name));
      return true;
    case SessionEventKind::kPanel:
      if (e.hero == nullptr) return false;
      type = TABLE_MSG_PANEL;
      table_encode_hero(*e.hero, data);
      table_json_add_flag(data, "clasico", e.classic);
      return true;
    case SessionEventKind::kScene:
      if (e.section == nullptr) return false;
      type = TABLE_MSG_SCENE;
      table_encode_scene(*e.section, data);
      table_json_add_flag(data, "escrita", e.typed);
      return true;
    case SessionEventKind::kOptions:
      if (e.section == nullptr) return false;
      type = TABLE_MSG_OPTIONS;
      table_encode_options(*e.section, turn, data);
      return true;
    case SessionEventKind::kDice:
      if (e.roll == nullptr) return false;
      type = TABLE_MSG_DICE;
      table_encode_roll(*e.roll, or_empty(e.name), data);
      return true;
    case SessionEventKind::kNarration:
      type = TABLE_MSG_NARRATION;
      table_encode_text(or_empty(e.text), "", !e.from_model, data);
      return true;
    case SessionEventKind::kLore:
      type = TABLE_MSG_LORE;
      encode_lore(e, data);
      return true;
    case SessionEventKind::kEnding:
    case SessionEventKind::kDeath: {
      const bool death = e.kind == SessionEventKind::kDeath;
      type = TABLE_MSG_ENDING;
      table_encode_notice(or_empty(e.text), death ? "error" : known_level(or_empty(e.level)), data);
      table_json_add_flag(data, "muerte", death);
      if (!death && e.section != nullptr)
        table_json_add_text(data, "tipo_final", e.section->ending_type.view());
      return true;
    }
    case SessionEventKind::kPrompt:
    case SessionEventKind::kHelp:
    case SessionEventKind::kSheet:
    case SessionEventKind::kInventory:
      break;
  }
  return false;
}

bool table_event_decode_data(std::string_view type, const JsonMember& data, TableView& view,
                             SessionEvent& e) {
  e = SessionEvent{};
  if (type == TABLE_MSG_NOTICE || type == TABLE_MSG_HAZARD || type == TABLE_MSG_ITEM ||
      type == TABLE_MSG_ENDING) {
    if (!table_decode_notice(data, view.text, view.level)) return false;
    e.text = view.text.c_str();
    e.level = view.level.c_str();
    if (type == TABLE_MSG_NOTICE) {
      e.kind = SessionEventKind::kMessage;
    } else if (type == TABLE_MSG_HAZARD) {
      e.kind = SessionEventKind::kHazard;
      view.amount = table_read_int(data, "dano", 0, 0, 1000000);
      e.amount = view.amount;
    } else if (type == TABLE_MSG_ITEM) {
      e.kind = SessionEventKind::kItemFound;
      TableNameText name;
      table_read_name(data, "nombre", name);
      view.item.assign(name.view());
      e.name = view.item.c_str();
    } else {
      e.kind =
          table_read_flag(data, "muerte") ? SessionEventKind::kDeath : SessionEventKind::kEnding;
      e.section = view.has_scene ? &view.scene : nullptr;
    }
    return true;
  }
  if (type == TABLE_MSG_PANEL) {
    if (!table_decode_hero(data, view.hero)) return false;
    view.has_hero = true;
    view.classic = table_read_flag(data, "clasico");
    e.kind = SessionEventKind::kPanel;
    e.hero = &view.hero;
    e.classic = view.classic;
    return true;
  }
  if (type == TABLE_MSG_SCENE) {
    // A new scene has no options until its turn's options arrive.
    if (!table_decode_scene(data, nullptr, view.scene)) {
      view.has_scene = view.has_options = false;
      return false;
    }
    view.has_scene = true;
    view.has_options = false;
    e.kind = SessionEventKind::kScene;
    e.section = &view.scene;
    e.typed = table_read_flag(data, "escrita");
    return true;
  }
  if (type == TABLE_MSG_OPTIONS) {
    if (!view.has_scene) return false;
    table_decode_options(data, view.scene);
    view.has_options = true;
    view.turn = table_decode_turn(data);
    e.kind = SessionEventKind::kOptions;
    e.section = &view.scene;
    e.hero = view.has_hero ? &view.hero : nullptr;
    return true;
  }
  if (type == TABLE_MSG_DICE) {
    if (!table_decode_roll(data, view.roll, view.stat)) return false;
    e.kind = SessionEventKind::kDice;
    e.roll = &view.roll;
    e.name = view.stat.c_str();
    return true;
  }
  if (type == TABLE_MSG_NARRATION) {
    bool classic = false;
    if (!table_decode_text(data, view.text, nullptr, &classic)) return false;
    e.kind = SessionEventKind::kNarration;
    e.text = view.text.c_str();
    e.from_model = !classic;
    return true;
  }
  if (type == TABLE_MSG_LORE) {
    decode_lore(data, view);
    e.kind = SessionEventKind::kLore;
    e.name = view.query.c_str();
    e.hits = view.hits;
    e.hit_count = view.hit_count;
    return true;
  }
  return false;
}

bool table_event_decode(const TableMessage& message, TableView& view, SessionEvent& event) {
  return table_event_decode_data(message.type.view(), table_message_data(message), view, event);
}

bool table_event_is_line(std::string_view type) {
  for (const char* line_type : {TABLE_MSG_VOTE_SEEN, TABLE_MSG_RESULT, TABLE_MSG_CANDIDATE,
                                TABLE_MSG_SAID, TABLE_MSG_DIRECTOR, TABLE_MSG_PAUSE,
                                TABLE_MSG_REMOVED, TABLE_MSG_PRESENT, TABLE_MSG_CLOSED}) {
    if (type == line_type) return true;
  }
  return false;
}

void table_render_line(UiContext& ui, std::string_view type, std::string_view text) {
  std::string shown = table_printable_lines(text);
  const char* style = QH_GREY "👥 ";
  if (type == TABLE_MSG_VOTE_SEEN) {
    style = QH_GREY "🗳️  ";
  } else if (type == TABLE_MSG_RESULT) {
    style = QH_YELLOW QH_BOLD "⚖️  ";
  } else if (type == TABLE_MSG_CANDIDATE) {
    style = QH_CYAN "💡 ";
  } else if (type == TABLE_MSG_SAID) {
    style = QH_WHITE "💬 ";
  } else if (type == TABLE_MSG_DIRECTOR) {
    style = QH_ORANGE QH_BOLD "🎭 ";
  } else if (type == TABLE_MSG_PAUSE) {
    style = QH_YELLOW "⏸️  ";
  } else if (type == TABLE_MSG_REMOVED) {
    style = QH_RED "🚫 ";
  } else if (type == TABLE_MSG_CLOSED) {
    style = QH_ORANGE "🔚 ";
  }
  ui_write(ui, style);
  ui_write(ui, shown);
  ui_write(ui, QH_RESET "\n");
  ui_flush(ui);
}
