// Where a table's messages travel: every topic of one table lies under one
// versioned root, "qh/v1/<table id>/", and says who may publish on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/fixed_text.h"

inline constexpr const char* TABLE_TOPIC_PREFIX = "qh/v1/";  // protocol version 1
inline constexpr std::size_t TABLE_PLAYER_ID_MAX = 24;       // bytes of an adventurer's id (slug)
inline constexpr std::size_t TABLE_PLAYER_NAME_MAX = 32;     // bytes of the name shown at the table
inline constexpr std::size_t TABLE_NONCE_LENGTH = 32;        // hex digits naming one join request

// The sender names of the two parties that are not adventurers.
inline constexpr const char* TABLE_SENDER_HOST = "anfitrion";
inline constexpr const char* TABLE_SENDER_LOBBY = "entrada";

// Largest message accepted on each kind of topic, in bytes. A full state
// (scene text, 32 options and the hero) stays well under the host's limit.
inline constexpr std::size_t TABLE_MAX_HOST_MESSAGE = 128 * 1024;
inline constexpr std::size_t TABLE_MAX_ACTION_MESSAGE = 4096;
inline constexpr std::size_t TABLE_MAX_SMALL_MESSAGE = 1024;  // presence, join request and answer

enum class TableChannel : std::uint8_t {
  kState,         // <root>/estado: retained snapshot, host only
  kEvents,        // <root>/eventos: what happens, host only
  kHostPresence,  // <root>/anfitrion/presencia: retained, host only (its last will)
  kActions,       // <root>/jugadores/<id>/acciones: one adventurer's votes, proposals, chat
  kPresence,      // <root>/jugadores/<id>/presencia: retained, that adventurer (its last will)
  kJoinRequest,   // <root>/entrada/solicitudes: lobby credential writes, host alone reads
  kJoinAnswer,    // <root>/entrada/respuestas/<nonce>: host writes, lobby reads
};
inline constexpr int TABLE_CHANNEL_COUNT = 7;

using TablePlayerId = FixedText<TABLE_PLAYER_ID_MAX + 1>;

struct TableTopic {
  TableChannel channel;
  FixedText<TABLE_NONCE_LENGTH + 1> part;  // the adventurer's id, or the join request's nonce
};
static_assert(std::is_trivially_copyable_v<TableTopic>);

std::string table_topic_root(std::string_view table_id);  // "qh/v1/<id>"
// The topic of `channel`; `part` is the adventurer's id or the nonce where the channel has one.
std::string table_topic(std::string_view table_id, TableChannel channel,
                        std::string_view part = {});
// Reads a topic of table `table_id`. False for any topic outside the table or
// not in the list above (a level too many, an empty or oversized id).
bool table_topic_parse(std::string_view table_id, std::string_view topic, TableTopic& out);
// The only sender a message on this topic may name.
std::string_view table_topic_sender(const TableTopic& topic);
// Largest message accepted on the channel.
std::size_t table_topic_limit(TableChannel channel);

// An adventurer's id from the name they chose: ASCII letters lower-cased,
// digits kept, blanks, '-' and '_' as '_', other bytes dropped, at most 24
// bytes. False when nothing is left, or the id is one the table reserves.
bool table_player_id(std::string_view name, TablePlayerId& out);
// An id as it travels: 1 to 24 of a-z, 0-9 and '_', and not reserved.
bool table_player_id_valid(std::string_view id);
