// Lexical lore memory: story passages scored by word terms.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "common/fixed_text.h"
#include "story/story.h"

inline constexpr int LORE_MAX_CHUNKS = 256;  // passages kept in one index
inline constexpr int LORE_MAX_TERMS = 16;    // search terms taken from one query
inline constexpr int LORE_STOPWORD_COUNT = 33;

// Word table capacities. A story with more distinct words, or longer ones,
// is searched chunk by chunk instead, with the same results.
inline constexpr int LORE_MAX_WORDS = 16384;        // distinct words of all titles and texts
inline constexpr int LORE_WORD_BYTES = 128 * 1024;  // their bytes, one separator after each
// Only words of three bytes or more are kept (no search term is shorter), so
// occurrences never overflow: a text of 1023 bytes holds at most 256 such
// words ("aaa aaa ..."), a title of 127 bytes at most 32.
inline constexpr int LORE_MAX_TEXT_WORDS = LORE_MAX_CHUNKS * 256;
inline constexpr int LORE_MAX_TITLE_WORDS = LORE_MAX_CHUNKS * 32;
// Zero bytes after the words: a search step reads ahead of its position.
inline constexpr int LORE_WORD_PADDING = 64;

extern const std::array<const char*, LORE_STOPWORD_COUNT> STOPWORDS;

struct LoreChunk {
  FixedText<32> kind;  // "meta", "lore", "section_lore" or "scene"
  IdText ref_id;
  FixedText<128> title;
  FixedText<1024> text;
};
static_assert(std::is_trivially_copyable_v<LoreChunk>);

// Every distinct word of the chunks' lower-cased titles and texts (a word is
// a run between search delimiters, and no search term holds a delimiter, so
// every match lies inside one word), stored once with the chunks it occurs
// in. A query searches each distinct word once instead of every chunk's text.
// Built with the chunks; only the used part of each array is ever written.
struct LoreWordTable {
  std::uint8_t ready;  // 0: not built, or the words did not fit: queries scan every chunk
  std::int32_t word_count;
  std::int32_t bytes_used;  // of `bytes`, separators included
  std::int32_t slot_count;  // slots of the find-or-add table in use
  // Word w is bytes[word_start[w]] up to the separator before word_start[w + 1].
  std::uint32_t word_start[LORE_MAX_WORDS + 1];
  // text_chunks[text_start[w]] up to text_start[w + 1] name the chunk of every
  // occurrence of word w in a text, in chunk order; the same for titles. The
  // last entry of each start array only serves while counting.
  std::uint32_t text_start[LORE_MAX_WORDS + 2];
  std::uint16_t title_start[LORE_MAX_WORDS + 2];
  std::uint8_t text_chunks[LORE_MAX_TEXT_WORDS];
  std::uint8_t title_chunks[LORE_MAX_TITLE_WORDS];
  std::uint32_t slots[2 * LORE_MAX_WORDS];  // find-or-add table, only used while building
  char bytes[LORE_WORD_BYTES + LORE_WORD_PADDING];
};
static_assert(std::is_trivially_copyable_v<LoreWordTable>);
static_assert(LORE_MAX_CHUNKS <= 256, "chunk positions are stored in one byte");

struct LoreIndex {
  LoreChunk chunks[LORE_MAX_CHUNKS];
  std::int32_t chunk_count;
  LoreWordTable words;
};
static_assert(std::is_trivially_copyable_v<LoreIndex>);

struct LoreHit {
  FixedText<128> title;
  FixedText<1024> text;
  float score;
};
static_assert(std::is_trivially_copyable_v<LoreHit>);

// The chunks a query may answer from: one bit per chunk position.
struct LoreVisibility {
  std::uint64_t bits[LORE_MAX_CHUNKS / 64];
};
static_assert(std::is_trivially_copyable_v<LoreVisibility>);

// Clears and fills the index in place. Pages of an index allocated zeroed
// are only written as far as the story needs them.
void rag_index_story(LoreIndex& index, const Story& story);
// Fills up to `wanted` results, best first; returns how many were filled.
// With `visible`, only those chunks are candidates; the ranking among them is
// the same as without.
std::int32_t rag_query(const LoreIndex& index, std::string_view query, LoreHit* results,
                       std::int32_t wanted, const LoreVisibility* visible = nullptr);
// What a hero who has been in the sections marked in `visited` (one flag per
// entry of story.sections) may be told: the synopsis, the lore passages
// written before the first section, and the scenes, section lore and lore
// passages of the visited sections. Nothing of a scene the hero has not seen.
void rag_visible_chunks(const LoreIndex& index, const Story& story, const bool* visited,
                        LoreVisibility& out);
// The text search compares up to 32 bytes at once where the processor
// allows. Tests narrow it (1, 16 or 32) to cover every variant; returns the
// width in effect, which may be narrower than asked.
int rag_set_search_width(int bytes);
