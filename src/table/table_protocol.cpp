#include "table/table_protocol.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/text_util.h"
#include "rules/option_rules.h"

namespace {

// Writes the members of one JSON object, commas included.
struct ObjectWriter {
  std::string& out;
  bool first = true;

  explicit ObjectWriter(std::string& o) : out(o) { out += '{'; }
  void key(std::string_view k) {
    if (!first) out += ',';
    first = false;
    json_text_append_quoted(out, k);
    out += ':';
  }
  void text(std::string_view k, std::string_view v) {
    key(k);
    json_text_append_quoted(out, v);
  }
  void number(std::string_view k, std::int64_t v) {
    key(k);
    char digits[32];
    std::snprintf(digits, sizeof digits, "%" PRId64, v);
    out += digits;
  }
  void flag(std::string_view k, bool v) {
    key(k);
    out += v ? "true" : "false";
  }
  void raw(std::string_view k, std::string_view json) {
    key(k);
    out += json;
  }
  void close() { out += '}'; }
};

// Text from the network as a record keeps it: made terminal-safe, then cut.
template <std::size_t N>
bool read_text(const JsonMember& object, std::string_view key, FixedText<N>& out,
               bool multiline = false) {
  const JsonMember* m = json_find_typed(object, key, JsonType::kString);
  if (m == nullptr) {
    out.clear();
    return false;
  }
  std::string_view raw = std::string_view(m->text).substr(0, 4 * N);
  out.assign(multiline ? table_printable_lines(raw) : text_printable_line(raw));
  return true;
}

// An integer in [low, high]; `fallback` when absent or not a number.
std::int32_t read_int(const JsonMember& object, std::string_view key, std::int32_t fallback,
                      std::int32_t low, std::int32_t high) {
  const JsonMember* m = json_find_typed(object, key, JsonType::kNumber);
  if (m == nullptr || std::isnan(m->number)) return fallback;
  if (m->number <= low) return low;
  if (m->number >= high) return high;
  return static_cast<std::int32_t>(m->number);
}

bool read_flag(const JsonMember& object, std::string_view key) {
  const JsonMember* m = json_find_typed(object, key, JsonType::kBool);
  return m != nullptr && m->boolean;
}

constexpr std::int32_t kMaxMagnitude = 1000000;  // hit points, stats and modifiers shown

void write_names(ObjectWriter& w, std::string_view key, std::span<const NameText> names) {
  w.key(key);
  w.out += '[';
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) w.out += ',';
    json_text_append_quoted(w.out, names[i].view());
  }
  w.out += ']';
}

template <std::size_t N>
void read_names(const JsonMember& object, std::string_view key, NameText (&items)[N],
                std::int32_t& count) {
  count = 0;
  const JsonMember* list = json_find_typed(object, key, JsonType::kArray);
  if (list == nullptr) return;
  for (const JsonMember& m : list->children) {
    if (m.type != JsonType::kString) continue;
    NameText* slot = list_append(items, count);
    if (slot == nullptr) break;
    slot->assign(text_printable_line(std::string_view(m.text).substr(0, 256)));
  }
}

const char* access_name(OptionAccess access) {
  switch (access) {
    case OptionAccess::kNumbered:
      return "numero";
    case OptionAccess::kCommand:
      return "comando";
    case OptionAccess::kHiddenCommand:
      return "oculta";
    case OptionAccess::kNone:
      break;
  }
  return "ninguna";
}

}  // namespace

std::string table_printable_lines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('\n', start);
    out +=
        text_printable_line(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

void table_encode_hero(const Character& hero, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.text("nombre", hero.name.view());
  w.number("vida", hero.hp);
  w.number("vida_max", hero.max_hp);
  w.key("atributos");
  out += '[';
  bool first = true;
  for (const StatEntry& stat : list_used(hero.stats, hero.stat_count)) {
    if (!first) out += ',';
    first = false;
    ObjectWriter s(out);
    s.text("nombre", stat.name.view());
    s.number("valor", stat.value);
    s.close();
  }
  out += ']';
  write_names(w, "mochila", list_used(hero.inventory, hero.inventory_count));
  write_names(w, "estados", list_used(hero.states, hero.state_count));
  w.close();
}

bool table_decode_hero(const JsonMember& data, Character& out) {
  std::memset(static_cast<void*>(&out), 0, sizeof out);
  if (!read_text(data, "nombre", out.name)) return false;
  out.hp = read_int(data, "vida", 0, -kMaxMagnitude, kMaxMagnitude);
  out.max_hp = read_int(data, "vida_max", 0, 0, kMaxMagnitude);
  if (const JsonMember* stats = json_find_typed(data, "atributos", JsonType::kArray)) {
    for (const JsonMember& m : stats->children) {
      StatEntry entry{};
      if (!read_text(m, "nombre", entry.name)) continue;
      entry.value = read_int(m, "valor", 0, -kMaxMagnitude, kMaxMagnitude);
      StatEntry* slot = list_append(out.stats, out.stat_count);
      if (slot == nullptr) break;
      *slot = entry;
    }
  }
  read_names(data, "mochila", out.inventory, out.inventory_count);
  read_names(data, "estados", out.states, out.state_count);
  return true;
}

void table_encode_scene(const StorySection& section, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.text("id", section.id.view());
  w.text("titulo", section.title.view());
  w.text("texto", section.text.view());
  w.flag("final", section.is_ending);
  w.text("tipo_final", section.ending_type.view());
  w.number("dano", section.damage);
  w.close();
}

void table_encode_options(const StorySection& section, std::int32_t turn, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.number("turno", turn);
  w.key("lista");
  out += '[';
  bool first = true;
  for (int i = 0; i < section.transition_count && i < SECTION_MAX_TRANSITIONS; ++i) {
    const StoryTransition& t = section.transitions[i];
    OptionAccess access = rules_option_access(t);
    if (access == OptionAccess::kHiddenCommand || access == OptionAccess::kNone) continue;
    if (!first) out += ',';
    first = false;
    ObjectWriter o(out);
    o.number("numero", rules_option_number(section, i));
    o.text("etiqueta", t.label.view());
    o.text("acceso", access_name(access));
    if (t.has_command || t.is_hidden) o.text("comando", t.command.view());
    if (!t.required_item.empty()) o.text("requiere", t.required_item.view());
    if (!t.check_stat.empty()) {
      o.text("tirada", t.check_stat.view());
      o.number("dc", t.check_dc);
    }
    o.close();
  }
  out += ']';
  w.close();
}

bool table_decode_scene(const JsonMember& scene, const JsonMember* options, StorySection& out) {
  std::memset(static_cast<void*>(&out), 0, sizeof out);
  if (!read_text(scene, "id", out.id) || !read_text(scene, "titulo", out.title) ||
      !read_text(scene, "texto", out.text, true)) {
    std::memset(static_cast<void*>(&out), 0, sizeof out);
    return false;
  }
  out.is_ending = read_flag(scene, "final");
  read_text(scene, "tipo_final", out.ending_type);
  out.damage = read_int(scene, "dano", 0, -kMaxMagnitude, kMaxMagnitude);
  if (options != nullptr) table_decode_options(*options, out);
  return true;
}

void table_decode_options(const JsonMember& options, StorySection& out) {
  std::memset(static_cast<void*>(out.transitions), 0, sizeof out.transitions);
  out.transition_count = 0;
  const JsonMember* list = json_find_typed(options, "lista", JsonType::kArray);
  if (list == nullptr) return;
  for (const JsonMember& m : list->children) {
    StoryTransition t{};
    FixedText<16> access;
    if (!read_text(m, "etiqueta", t.label) || !read_text(m, "acceso", access)) continue;
    if (access == "comando" || access == "oculta") {
      t.has_command = access == "comando";
      t.is_hidden = access == "oculta";
      read_text(m, "comando", t.command);
    } else if (access != "numero") {
      continue;
    }
    read_text(m, "requiere", t.required_item);
    if (read_text(m, "tirada", t.check_stat)) t.check_dc = read_int(m, "dc", 0, 0, kMaxMagnitude);
    StoryTransition* slot = list_append(out.transitions, out.transition_count);
    if (slot == nullptr) break;
    *slot = t;
  }
}

std::int32_t table_decode_turn(const JsonMember& options) {
  return read_int(options, "turno", 0, 0, INT32_MAX);
}

void table_encode_roll(const RollResult& roll, std::string_view stat, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.number("dado1", roll.die1);
  w.number("dado2", roll.die2);
  w.number("modificador", roll.modifier);
  w.number("total", roll.total);
  w.number("dc", roll.dc);
  w.number("resultado", roll.outcome);
  w.text("resumen", roll.text.view());
  w.text("atributo", stat);
  w.close();
}

bool table_decode_roll(const JsonMember& data, RollResult& out, FixedText<64>& stat) {
  std::memset(static_cast<void*>(&out), 0, sizeof out);
  stat.clear();
  if (json_find_typed(data, "dado1", JsonType::kNumber) == nullptr ||
      json_find_typed(data, "dado2", JsonType::kNumber) == nullptr) {
    return false;
  }
  out.die1 = read_int(data, "dado1", 1, 1, 6);
  out.die2 = read_int(data, "dado2", 1, 1, 6);
  out.modifier = read_int(data, "modificador", 0, -kMaxMagnitude, kMaxMagnitude);
  out.total = read_int(data, "total", 0, -kMaxMagnitude, kMaxMagnitude);
  out.dc = read_int(data, "dc", 0, -kMaxMagnitude, kMaxMagnitude);
  out.outcome = read_int(data, "resultado", OUTCOME_NONE, OUTCOME_NONE, OUTCOME_CRIT_FAILURE);
  read_text(data, "resumen", out.text);
  read_text(data, "atributo", stat);
  return true;
}

void table_encode_text(std::string_view text, std::string_view who, bool classic,
                       std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.text("texto", text);
  if (!who.empty()) w.text("quien", who);
  if (classic) w.flag("clasico", true);
  w.close();
}

bool table_decode_text(const JsonMember& data, TableText& text, TableNameText* who, bool* classic) {
  if (who != nullptr) read_text(data, "quien", *who);
  if (classic != nullptr) *classic = read_flag(data, "clasico");
  return read_text(data, "texto", text, true);
}

void table_encode_notice(std::string_view text, std::string_view kind, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.text("texto", text);
  w.text("clase", kind);
  w.close();
}

bool table_decode_notice(const JsonMember& data, TableText& text, FixedText<16>& kind) {
  read_text(data, "clase", kind);
  if (kind != "error" && kind != "warning" && kind != "success") kind.assign("info");
  return read_text(data, "texto", text, true);
}

void table_encode_vote(std::int32_t option, std::int32_t turn, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.number("opcion", option);
  w.number("turno", turn);
  w.close();
}

bool table_decode_vote(const JsonMember& data, std::int32_t& option, std::int32_t& turn) {
  option = read_int(data, "opcion", 0, 0, INT32_MAX);
  turn = read_int(data, "turno", -1, -1, INT32_MAX);
  return option > 0 && turn >= 0;
}

void table_encode_presence(std::string_view name, bool present, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.text("nombre", name);
  w.flag("presente", present);
  w.close();
}

bool table_decode_presence(const JsonMember& data, TableNameText& name, bool& present) {
  present = read_flag(data, "presente");
  return read_text(data, "nombre", name) && !name.empty();
}

void table_encode_join(const TableJoinRequest& request, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.text("nombre", request.name.view());
  w.text("clave", request.password.view());
  w.text("respuesta", request.nonce.view());
  w.close();
}

bool table_decode_join(const JsonMember& data, TableJoinRequest& out) {
  std::memset(static_cast<void*>(&out), 0, sizeof out);
  const JsonMember* password = json_find_typed(data, "clave", JsonType::kString);
  const JsonMember* nonce = json_find_typed(data, "respuesta", JsonType::kString);
  auto hex = [](std::string_view text, std::size_t low, std::size_t high) {
    if (text.size() < low || text.size() > high) return false;
    for (char c : text)
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
  };
  if (!read_text(data, "nombre", out.name) || out.name.empty() || password == nullptr ||
      !hex(password->text, 32, 64) || nonce == nullptr ||
      !hex(nonce->text, TABLE_NONCE_LENGTH, TABLE_NONCE_LENGTH)) {
    std::memset(static_cast<void*>(&out), 0, sizeof out);
    return false;
  }
  out.password.assign(password->text);
  out.nonce.assign(nonce->text);
  return true;
}

void table_encode_join_answer(const TableJoinAnswer& answer, std::string& out) {
  out.clear();
  ObjectWriter w(out);
  w.flag("admitido", answer.admitted);
  w.text("jugador", answer.player_id.view());
  if (!answer.reason.empty()) w.text("motivo", answer.reason.view());
  w.close();
}

bool table_decode_join_answer(const JsonMember& data, TableJoinAnswer& out) {
  std::memset(static_cast<void*>(&out), 0, sizeof out);
  out.admitted = read_flag(data, "admitido");
  read_text(data, "motivo", out.reason, true);
  const JsonMember* id = json_find_typed(data, "jugador", JsonType::kString);
  if (id != nullptr && table_player_id_valid(id->text)) out.player_id.assign(id->text);
  return !out.admitted || !out.player_id.empty();
}

void table_json_add(std::string& object, std::string_view key, std::string_view json) {
  // Every encoder closes its object last: the member goes before that brace.
  if (object.empty() || object.back() != '}') return;
  object.pop_back();
  if (object.size() > 1) object += ',';
  json_text_append_quoted(object, key);
  object += ':';
  object += json;
  object += '}';
}

void table_json_add_text(std::string& object, std::string_view key, std::string_view text) {
  std::string quoted;
  json_text_append_quoted(quoted, text);
  table_json_add(object, key, quoted);
}

void table_json_add_int(std::string& object, std::string_view key, std::int64_t value) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%" PRId64, value);
  table_json_add(object, key, digits);
}

void table_json_add_flag(std::string& object, std::string_view key, bool value) {
  table_json_add(object, key, value ? "true" : "false");
}

bool table_read_text(const JsonMember& object, std::string_view key, TableText& out,
                     bool multiline) {
  return read_text(object, key, out, multiline);
}

bool table_read_name(const JsonMember& object, std::string_view key, TableNameText& out) {
  return read_text(object, key, out);
}

std::int32_t table_read_int(const JsonMember& object, std::string_view key, std::int32_t fallback,
                            std::int32_t low, std::int32_t high) {
  return read_int(object, key, fallback, low, high);
}

bool table_read_flag(const JsonMember& object, std::string_view key) {
  return read_flag(object, key);
}
