// The "datos" of every message type: what the host publishes for each event
// of an adventure and of the table, and what the adventurers send. Encoders
// write a JSON object; decoders rebuild the records the game's own renderers
// take (the hero's panel, the scene, the options, the dice), with every text
// made terminal-safe and cut to its field, so nothing from the network reaches
// a terminal raw and no field can overflow.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "character/character.h"
#include "common/fixed_text.h"
#include "common/json_value.h"
#include "rules/dice.h"
#include "story/story.h"
#include "table/table_topic.h"

inline constexpr std::size_t TABLE_TEXT_MAX = 2048;  // a line said, proposed or narrated
using TableText = FixedText<TABLE_TEXT_MAX>;
using TableNameText = FixedText<TABLE_PLAYER_NAME_MAX + 1>;

// Message types ("tipo"). Host, on <root>/eventos (and the snapshot on <root>/estado):
inline constexpr const char* TABLE_MSG_STATE = "estado";          // snapshot for late joiners
inline constexpr const char* TABLE_MSG_PANEL = "panel";           // the hero's panel
inline constexpr const char* TABLE_MSG_SCENE = "escena";          // a scene is shown
inline constexpr const char* TABLE_MSG_OPTIONS = "opciones";      // the options of this turn
inline constexpr const char* TABLE_MSG_DICE = "dados";            // a check was rolled
inline constexpr const char* TABLE_MSG_NARRATION = "narracion";   // the narrator answered
inline constexpr const char* TABLE_MSG_NOTICE = "aviso";          // a status message
inline constexpr const char* TABLE_MSG_ITEM = "objeto";           // an item was found
inline constexpr const char* TABLE_MSG_HAZARD = "peligro";        // hazard damage
inline constexpr const char* TABLE_MSG_ENDING = "final";          // ending or death
inline constexpr const char* TABLE_MSG_VOTE_SEEN = "voto_visto";  // who voted for what
inline constexpr const char* TABLE_MSG_RESULT = "resultado";      // a vote was decided
inline constexpr const char* TABLE_MSG_SAID = "dicho";            // an adventurer spoke
inline constexpr const char* TABLE_MSG_DIRECTOR = "director";     // the director narrates
inline constexpr const char* TABLE_MSG_PAUSE = "pausa";           // paused or resumed
inline constexpr const char* TABLE_MSG_REMOVED = "expulsion";     // an adventurer was removed
inline constexpr const char* TABLE_MSG_CANDIDATE = "candidata";   // a proposal put to the vote
inline constexpr const char* TABLE_MSG_PRESENT = "presentes";     // who is at the table, and why
inline constexpr const char* TABLE_MSG_LORE = "lore";             // a lore answer read to the table
inline constexpr const char* TABLE_MSG_CLOSED = "cierre";         // the host closed the table
// Adventurers, on <root>/jugadores/<id>/acciones and .../presencia:
inline constexpr const char* TABLE_MSG_VOTE = "voto";
inline constexpr const char* TABLE_MSG_PROPOSAL = "propuesta";  // free text for the narrator
inline constexpr const char* TABLE_MSG_COMMAND = "comando";     // a typed terminal command
inline constexpr const char* TABLE_MSG_SAY = "decir";
inline constexpr const char* TABLE_MSG_PRESENCE = "presencia";  // also the host's
// The lobby and the host's answer:
inline constexpr const char* TABLE_MSG_JOIN = "solicitud";
inline constexpr const char* TABLE_MSG_JOIN_ANSWER = "respuesta";

// Writes the texts every renderer needs from a hero (name, hit points, stats,
// inventory and states; flags stay with the host: they would spoil the story).
void table_encode_hero(const Character& hero, std::string& out);
bool table_decode_hero(const JsonMember& data, Character& out);

// The scene: id, title, body, whether it ends the story and how, its hazard damage.
void table_encode_scene(const StorySection& section, std::string& out);
// The options as a player sees them: number, label, command, the item that
// locks one and the check it asks for. Hidden options are never written: the
// director sees them on the host's own screen, never through the broker.
// `turn` names the vote these options belong to.
void table_encode_options(const StorySection& section, std::int32_t turn, std::string& out);
// Rebuilds a section from a scene and (when given) its options. False when a
// required field is missing; `out` is then reset.
bool table_decode_scene(const JsonMember& scene, const JsonMember* options, StorySection& out);
// Replaces the options of a rebuilt section with those of an options message.
void table_decode_options(const JsonMember& options, StorySection& out);
std::int32_t table_decode_turn(const JsonMember& options);

// A check: both dice, modifier, total, difficulty, tier, summary, and the stat named.
void table_encode_roll(const RollResult& roll, std::string_view stat, std::string& out);
bool table_decode_roll(const JsonMember& data, RollResult& out, FixedText<64>& stat);

// A text with who said or answered it: narration ("quien" answered, "clasico"
// when the offline narrator wrote it), chat, director narration, proposals.
void table_encode_text(std::string_view text, std::string_view who, bool classic, std::string& out);
bool table_decode_text(const JsonMember& data, TableText& text, TableNameText* who, bool* classic);

// A status message and its kind ("error", "warning", "success", "info").
void table_encode_notice(std::string_view text, std::string_view kind, std::string& out);
bool table_decode_notice(const JsonMember& data, TableText& text, FixedText<16>& kind);

// A vote: the option number and the turn it is for.
void table_encode_vote(std::int32_t option, std::int32_t turn, std::string& out);
bool table_decode_vote(const JsonMember& data, std::int32_t& option, std::int32_t& turn);

// Presence: the shown name and whether the party is at the table.
void table_encode_presence(std::string_view name, bool present, std::string& out);
bool table_decode_presence(const JsonMember& data, TableNameText& name, bool& present);

// A join request: the name wanted, the password the adventurer chose for
// itself, and the nonce naming the topic of the answer.
struct TableJoinRequest {
  TableNameText name;
  FixedText<65> password;  // 32 to 64 hex digits
  FixedText<TABLE_NONCE_LENGTH + 1> nonce;
};
static_assert(std::is_trivially_copyable_v<TableJoinRequest>);
void table_encode_join(const TableJoinRequest& request, std::string& out);
bool table_decode_join(const JsonMember& data, TableJoinRequest& out);

// The host's answer: admitted or not, the id given, and why not.
struct TableJoinAnswer {
  bool admitted;
  TablePlayerId player_id;
  TableText reason;
};
static_assert(std::is_trivially_copyable_v<TableJoinAnswer>);
void table_encode_join_answer(const TableJoinAnswer& answer, std::string& out);
bool table_decode_join_answer(const JsonMember& data, TableJoinAnswer& out);

// Adds one member to an object written by an encoder: `json` is the value as
// JSON (use the helpers below for texts and flags).
void table_json_add(std::string& object, std::string_view key, std::string_view json);
void table_json_add_text(std::string& object, std::string_view key, std::string_view text);
void table_json_add_int(std::string& object, std::string_view key, std::int64_t value);
void table_json_add_flag(std::string& object, std::string_view key, bool value);

// Members of a decoded object, made safe as every decoder makes them: a text
// terminal-safe (line feeds kept with `multiline`) and cut to its field, an
// integer clamped into [low, high] (`fallback` when absent), a flag false
// when absent.
bool table_read_text(const JsonMember& object, std::string_view key, TableText& out,
                     bool multiline = false);
bool table_read_name(const JsonMember& object, std::string_view key, TableNameText& out);
std::int32_t table_read_int(const JsonMember& object, std::string_view key, std::int32_t fallback,
                            std::int32_t low, std::int32_t high);
bool table_read_flag(const JsonMember& object, std::string_view key);

// The text as a terminal may show it, line feeds kept: each line goes through
// the one terminal-safe filter.
std::string table_printable_lines(std::string_view text);
