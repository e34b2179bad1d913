// The table's messages: one JSON object per MQTT message, in a versioned
// envelope, signed with a key derived from the table key.
//
//   {"v":1,"tipo":"voto","de":"ana","id":"<32 hex>","seq":N,"datos":{...},"firma":"<64 hex>"}
//
// The signature is the HMAC-SHA256 of the topic, a line feed, and every byte
// of the message before `,"firma":`. It binds the message to its topic, so a
// message copied to another topic or table is refused like a forged one.
// Every refusal carries a reason for the director's screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/fixed_text.h"
#include "common/json_value.h"
#include "table/table_code.h"
#include "table/table_crypto.h"
#include "table/table_topic.h"

inline constexpr int TABLE_PROTOCOL_VERSION = 1;
inline constexpr std::size_t TABLE_MESSAGE_ID_LENGTH = 32;  // hex digits of a message id
inline constexpr std::size_t TABLE_TYPE_MAX = 16;           // bytes of a message type
// Sequences stay exact in a JSON number (a double): at most 2^53.
inline constexpr std::uint64_t TABLE_MAX_SEQUENCE = 9007199254740992ULL;
inline constexpr int TABLE_GUARD_SENDERS = 64;  // (sender, channel) pairs a guard remembers
inline constexpr int TABLE_GUARD_IDS = 32;      // recent message ids kept per pair

using TableMessageId = FixedText<TABLE_MESSAGE_ID_LENGTH + 1>;

// Signs what one party sends. Each party numbers its messages per channel;
// a sequence starts at the clock in microseconds, so a party that restarts
// still numbers above everything it sent before.
struct TableSigner {
  std::uint8_t key[TABLE_MAC_BYTES];  // derived signing key, never the table key itself
  TablePlayerId sender;
  std::uint64_t next_seq[TABLE_CHANNEL_COUNT];
};
static_assert(std::is_trivially_copyable_v<TableSigner>);

// The signing key of a table (derived from its key); both ends compute it.
void table_message_key(const std::uint8_t (&table_key)[TABLE_KEY_BYTES],
                       std::uint8_t (&out)[TABLE_MAC_BYTES]);
// `start_seq` 0 starts every channel at the clock.
void table_signer_init(TableSigner& signer, const std::uint8_t (&table_key)[TABLE_KEY_BYTES],
                       std::string_view sender, std::uint64_t start_seq);
// Takes the next sequence number of the channel.
std::uint64_t table_signer_take(TableSigner& signer, TableChannel channel);

// Builds a signed message. `data` must be a JSON object (the encoders in
// table_protocol.h write them); `seq` 0 takes the channel's next sequence.
// The id is random; false only when the random generator fails.
bool table_message_seal(TableSigner& signer, std::string_view topic, TableChannel channel,
                        std::string_view type, std::string_view data, std::uint64_t seq,
                        std::string& out);

enum class TableReject : std::uint8_t {
  kNone,
  kTopic,         // not a topic of this table
  kTooLarge,      // beyond the channel's limit
  kUnsigned,      // no signature where the message must end with one
  kBadSignature,  // signed with another key, or altered, or moved to another topic
  kMalformed,     // not a JSON object
  kVersion,       // another protocol version
  kField,         // an envelope field missing or of the wrong form
  kSender,        // the sender is not the one the topic allows
  kDuplicate,     // the same message again (a QoS 1 redelivery)
  kReplay,        // an older message of that sender, or a copy of one
};

struct TableRejection {
  TableReject code;
  TableErrorText detail;  // Spanish, terminal-safe
};
static_assert(std::is_trivially_copyable_v<TableRejection>);

// A message that passed every check.
struct TableMessage {
  TableTopic topic;
  FixedText<TABLE_TYPE_MAX + 1> type;
  TablePlayerId sender;
  TableMessageId id;
  std::uint64_t seq = 0;
  JsonMember root;  // the whole message
};
// The "datos" object of an opened message (every opened message has one).
const JsonMember& table_message_data(const TableMessage& message);

// Checks topic, size, signature, JSON, envelope and sender, in this order: no
// byte is parsed before the signature holds. False with the reason in `why`.
bool table_message_open(std::string_view table_id, const std::uint8_t (&key)[TABLE_MAC_BYTES],
                        std::string_view topic, std::string_view bytes, TableMessage& out,
                        TableRejection* why);

// Remembers, per sender and channel, the highest sequence and the latest ids,
// so a redelivered message is recognised and a replayed one refused. The
// least recently seen pair is forgotten when the guard is full.
struct TableGuardEntry {
  TablePlayerId sender;
  std::uint8_t channel;
  std::uint64_t last_seq;
  std::uint64_t last_used;  // the guard's clock when this pair last accepted
  TableMessageId ids[TABLE_GUARD_IDS];
  std::int32_t next_id;  // ring position
};
static_assert(std::is_trivially_copyable_v<TableGuardEntry>);

struct TableReplayGuard {
  TableGuardEntry entries[TABLE_GUARD_SENDERS];
  std::int32_t entry_count;
  std::uint64_t clock;
};
static_assert(std::is_trivially_copyable_v<TableReplayGuard>);

// True and recorded when the message is newer than everything of its sender
// on its channel; false with kDuplicate or kReplay otherwise. Join requests,
// which every adventurer signs as the lobby, are refused only as duplicates.
bool table_guard_accept(TableReplayGuard& guard, const TableMessage& message, TableRejection* why);
// Forgets one sender (an adventurer who left for good).
void table_guard_forget(TableReplayGuard& guard, std::string_view sender);

// The line shown on the director's screen for a refused message.
void table_rejection_line(const TableRejection& why, std::string_view topic, FixedText<256>& out);
