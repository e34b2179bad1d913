#include "table/table_message.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/text_util.h"

namespace {

constexpr std::string_view kSignatureKey = ",\"firma\":\"";
// `,"firma":"` + 64 hex digits + `"}` close every message.
constexpr std::size_t kSignatureTail = kSignatureKey.size() + 2 * TABLE_MAC_BYTES + 2;

std::uint64_t clock_microseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec / 1000);
}

__attribute__((format(printf, 3, 4))) bool reject(TableRejection* why, TableReject code,
                                                  const char* format, ...) {
  if (why != nullptr) {
    why->code = code;
    char line[TABLE_ERROR_BYTES];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    why->detail.assign(text_printable_line(line));
  }
  return false;
}

void signed_text(std::string_view topic, std::string_view body, std::string& out) {
  out.assign(topic);
  out += '\n';
  out += body;
}

bool is_lower_hex(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool is_type_name(std::string_view text) {
  if (text.empty() || text.size() > TABLE_TYPE_MAX) return false;
  for (char c : text)
    if (!((c >= 'a' && c <= 'z') || c == '_')) return false;
  return true;
}

// A sender named in an envelope: an adventurer's id or one of the two parties.
bool is_sender(std::string_view text) {
  return text == TABLE_SENDER_HOST || text == TABLE_SENDER_LOBBY || table_player_id_valid(text);
}

}  // namespace

void table_message_key(const std::uint8_t (&table_key)[TABLE_KEY_BYTES],
                       std::uint8_t (&out)[TABLE_MAC_BYTES]) {
  table_crypto_derive(table_key, "quillhaven mesa v1 firma", out);
}

void table_signer_init(TableSigner& signer, const std::uint8_t (&table_key)[TABLE_KEY_BYTES],
                       std::string_view sender, std::uint64_t start_seq) {
  std::memset(static_cast<void*>(&signer), 0, sizeof signer);
  table_message_key(table_key, signer.key);
  signer.sender.assign(sender);
  std::uint64_t start = start_seq != 0 ? start_seq : clock_microseconds();
  for (std::uint64_t& seq : signer.next_seq) seq = start;
}

std::uint64_t table_signer_take(TableSigner& signer, TableChannel channel) {
  std::uint64_t& next = signer.next_seq[static_cast<int>(channel)];
  return next < TABLE_MAX_SEQUENCE ? next++ : TABLE_MAX_SEQUENCE;
}

bool table_message_seal(TableSigner& signer, std::string_view topic, TableChannel channel,
                        std::string_view type, std::string_view data, std::uint64_t seq,
                        std::string& out) {
  std::string id = table_crypto_random_hex(TABLE_MESSAGE_ID_LENGTH / 2);
  if (id.empty()) return false;
  if (seq == 0) seq = table_signer_take(signer, channel);
  char number[32];
  std::snprintf(number, sizeof number, "%" PRIu64, seq);
  out.clear();
  out.reserve(data.size() + 200);
  out += "{\"v\":1,\"tipo\":";
  json_text_append_quoted(out, type);
  out += ",\"de\":";
  json_text_append_quoted(out, signer.sender.view());
  out += ",\"id\":\"";
  out += id;
  out += "\",\"seq\":";
  out += number;
  out += ",\"datos\":";
  out += data;
  std::string covered;
  signed_text(topic, out, covered);
  std::uint8_t mac[TABLE_MAC_BYTES];
  table_crypto_hmac(signer.key, covered, mac);
  out += kSignatureKey;
  table_crypto_append_hex(out, mac);
  out += "\"}";
  return true;
}

bool table_message_open(std::string_view table_id, const std::uint8_t (&key)[TABLE_MAC_BYTES],
                        std::string_view topic, std::string_view bytes, TableMessage& out,
                        TableRejection* why) {
  if (why != nullptr) *why = TableRejection{};
  out = TableMessage{};
  if (!table_topic_parse(table_id, topic, out.topic))
    return reject(why, TableReject::kTopic, "tema desconocido");
  std::size_t limit = table_topic_limit(out.topic.channel);
  if (bytes.size() > limit) {
    return reject(why, TableReject::kTooLarge, "mensaje demasiado grande (%zu bytes; máximo %zu)",
                  bytes.size(), limit);
  }
  // The signature first: nothing from an unsigned or forged message is parsed.
  if (bytes.size() < kSignatureTail || !bytes.ends_with("\"}") ||
      bytes.substr(bytes.size() - kSignatureTail, kSignatureKey.size()) != kSignatureKey) {
    return reject(why, TableReject::kUnsigned, "mensaje sin firma");
  }
  std::string_view body = bytes.substr(0, bytes.size() - kSignatureTail);
  std::string_view hex = bytes.substr(body.size() + kSignatureKey.size(), 2 * TABLE_MAC_BYTES);
  std::string covered;
  signed_text(topic, body, covered);
  std::uint8_t mac[TABLE_MAC_BYTES];
  table_crypto_hmac(key, covered, mac);
  std::string expected;
  table_crypto_append_hex(expected, mac);
  if (!table_crypto_equal(expected, hex)) {
    return reject(why, TableReject::kBadSignature,
                  "firma no válida: no viene de alguien con el código de la mesa, o fue alterado");
  }

  JsonError error;
  if (!json_parse_tree(bytes, out.root, &error)) {
    return reject(why, TableReject::kMalformed, "JSON mal formado (columna %d): %s", error.column,
                  error.reason);
  }
  const JsonMember* version = json_find_typed(out.root, "v", JsonType::kNumber);
  if (version == nullptr || version->number != TABLE_PROTOCOL_VERSION)
    return reject(why, TableReject::kVersion, "versión del protocolo desconocida");
  const JsonMember* type = json_find_typed(out.root, "tipo", JsonType::kString);
  const JsonMember* sender = json_find_typed(out.root, "de", JsonType::kString);
  const JsonMember* id = json_find_typed(out.root, "id", JsonType::kString);
  const JsonMember* seq = json_find_typed(out.root, "seq", JsonType::kNumber);
  if (type == nullptr || !is_type_name(type->text))
    return reject(why, TableReject::kField, "falta el tipo o no es válido");
  if (sender == nullptr || !is_sender(sender->text))
    return reject(why, TableReject::kField, "falta el remitente o no es válido");
  if (id == nullptr || !is_lower_hex(id->text, TABLE_MESSAGE_ID_LENGTH))
    return reject(why, TableReject::kField, "falta el identificador o no es válido");
  if (seq == nullptr || !(seq->number >= 1) ||
      seq->number > static_cast<double>(TABLE_MAX_SEQUENCE) ||
      std::floor(seq->number) != seq->number) {
    return reject(why, TableReject::kField, "falta la secuencia o no es un entero válido");
  }
  if (json_find_typed(out.root, "datos", JsonType::kObject) == nullptr)
    return reject(why, TableReject::kField, "faltan los datos");
  if (sender->text != table_topic_sender(out.topic)) {
    return reject(why, TableReject::kSender, "remitente «%s» en un tema de «%s»",
                  sender->text.c_str(), std::string(table_topic_sender(out.topic)).c_str());
  }
  out.type.assign(type->text);
  out.sender.assign(sender->text);
  out.id.assign(id->text);
  out.seq = static_cast<std::uint64_t>(seq->number);
  return true;
}

const JsonMember& table_message_data(const TableMessage& message) {
  static const JsonMember kEmpty{"", JsonType::kObject, false, 0.0, "", {}};
  const JsonMember* data = json_find_typed(message.root, "datos", JsonType::kObject);
  return data != nullptr ? *data : kEmpty;
}

bool table_guard_accept(TableReplayGuard& guard, const TableMessage& message, TableRejection* why) {
  if (why != nullptr) *why = TableRejection{};
  auto channel = static_cast<std::uint8_t>(message.topic.channel);
  ++guard.clock;
  TableGuardEntry* entry = nullptr;
  for (TableGuardEntry& e : list_used(guard.entries, guard.entry_count)) {
    if (e.channel == channel && e.sender == message.sender.view()) entry = &e;
  }
  // Every adventurer knocking at the lobby signs as the lobby, each counting
  // from its own clock: their requests arrive in any order, and only a
  // repeated id tells a redelivery.
  const bool shared = message.topic.channel == TableChannel::kJoinRequest;
  if (entry != nullptr && (shared || message.seq <= entry->last_seq)) {
    for (const TableMessageId& seen : entry->ids) {
      if (seen == message.id.view()) {
        return reject(why, TableReject::kDuplicate, "mensaje repetido (ya recibido)");
      }
    }
    if (!shared) {
      return reject(why, TableReject::kReplay,
                    "mensaje antiguo o reenviado (secuencia %" PRIu64 ", ya se vio la %" PRIu64 ")",
                    message.seq, entry->last_seq);
    }
  }
  if (entry == nullptr) {
    entry = list_append(guard.entries, guard.entry_count);
    if (entry == nullptr) {
      // Full: the pair seen least recently makes room.
      entry = &guard.entries[0];
      for (TableGuardEntry& e : guard.entries)
        if (e.last_used < entry->last_used) entry = &e;
      std::memset(static_cast<void*>(entry), 0, sizeof *entry);
    }
    entry->sender.assign(message.sender.view());
    entry->channel = channel;
  }
  if (message.seq > entry->last_seq) entry->last_seq = message.seq;
  entry->last_used = guard.clock;
  entry->ids[entry->next_id].assign(message.id.view());
  entry->next_id = (entry->next_id + 1) % TABLE_GUARD_IDS;
  return true;
}

void table_guard_forget(TableReplayGuard& guard, std::string_view sender) {
  for (std::int32_t i = guard.entry_count - 1; i >= 0; --i) {
    if (guard.entries[i].sender == sender) list_remove_at(guard.entries, guard.entry_count, i);
  }
}

void table_rejection_line(const TableRejection& why, std::string_view topic, FixedText<256>& out) {
  char line[256];
  std::string shown = text_printable_line(topic.substr(0, 120));
  std::snprintf(line, sizeof line, "⚠️ Mensaje ignorado en %s: %s", shown.c_str(),
                why.detail.c_str());
  out.assign(line);
}
