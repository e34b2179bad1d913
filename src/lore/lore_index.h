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

extern const std::array<const char*, LORE_STOPWORD_COUNT> STOPWORDS;

struct LoreChunk {
  FixedText<32> kind;   // "meta", "lore", "section_lore" or "scene"
  IdText ref_id;
  FixedText<128> title;
  FixedText<1024> text;
};
static_assert(std::is_trivially_copyable_v<LoreChunk>);

struct LoreIndex {
  LoreChunk chunks[LORE_MAX_CHUNKS];
  std::int32_t chunk_count;
};
static_assert(std::is_trivially_copyable_v<LoreIndex>);

struct LoreHit {
  FixedText<128> title;
  FixedText<1024> text;
  float score;
};
static_assert(std::is_trivially_copyable_v<LoreHit>);

void rag_index_story(LoreIndex& index, const Story& story);
// Fills up to `wanted` results, best first; returns how many were filled.
std::int32_t rag_query(const LoreIndex& index, std::string_view query, LoreHit* results,
                       std::int32_t wanted);
// The text search compares up to 32 bytes at once where the processor
// allows. Tests narrow it (1, 16 or 32) to cover every variant; returns the
// width in effect, which may be narrower than asked.
int rag_set_search_width(int bytes);
