#include "lore/lore_index.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/fixed_list.h"
#include "common/text_util.h"

const std::array<const char*, LORE_STOPWORD_COUNT> STOPWORDS = {
    "para",  "como",  "este",  "esta",  "estos",  "estas", "pero", "hacia",  "sobre",
    "entre", "desde", "hasta", "donde", "cuando", "quien", "cual", "porque", "hacer",
    "hace",  "todo",  "toda",  "todos", "todas",  "los",   "las",  "una",    "uno",
    "unos",  "unas",  "del",   "que",   "con",    "por",
};

namespace {

constexpr std::size_t kQueryBytes = 511;  // bytes of a query that are split into words
constexpr std::size_t kMinWordBytes = 3;  // shorter words are never search terms
constexpr std::size_t kTermBytes = 63;    // bytes kept of one search term
constexpr float kTitleWeight = 4.0f;      // a term anywhere in the title, once
constexpr float kTextWeight = 1.0f;       // each occurrence of a term in the text
constexpr float kLoreFactor = 1.3f;       // passages written as lore rank higher

using ChunkText = FixedText<1024>;

// Any run of these separates two words of a query.
constexpr std::string_view kDelimiters = " \t\r\n.,;:!?()[]\"'";

bool is_delimiter(char c) { return kDelimiters.find(c) != std::string_view::npos; }

bool is_stopword(std::string_view word) {
  for (const char* stop : STOPWORDS) {
    if (ascii_iequals(word, stop)) return true;
  }
  return false;
}

LoreChunk* add_chunk(LoreIndex& index, std::string_view kind, std::string_view ref_id) {
  LoreChunk* chunk = list_append(index.chunks, index.chunk_count);
  if (chunk == nullptr) return nullptr;
  chunk->kind.assign(kind);
  chunk->ref_id.assign(ref_id);
  return chunk;
}

// Copies a scene body without its bracketed spans (inline tags such as
// "[ITEM: llave]"). Spans do not nest: the first "]" closes the span, an
// unclosed "[" drops the rest, and a stray "]" is dropped on its own.
void copy_without_bracket_spans(std::string_view body, ChunkText& out) {
  char* dst = out.raw();
  std::size_t kept = 0;
  bool in_span = false;
  for (char c : body) {
    if (kept >= ChunkText::max_length()) break;
    if (in_span) {
      if (c == ']') in_span = false;
      continue;
    }
    if (c == '[') {
      in_span = true;
      continue;
    }
    if (c == ']') continue;
    dst[kept++] = c;
  }
  dst[kept] = '\0';
}

struct Term {
  char text[kTermBytes + 1];
  std::size_t length;
};

// Collects the search terms of a query in order; returns how many.
int collect_terms(std::string_view query, Term (&terms)[LORE_MAX_TERMS]) {
  std::size_t nul = query.find('\0');
  if (nul != std::string_view::npos) query = query.substr(0, nul);
  query = query.substr(0, kQueryBytes);

  int count = 0;
  std::size_t i = 0;
  while (i < query.size() && count < LORE_MAX_TERMS) {
    while (i < query.size() && is_delimiter(query[i])) ++i;
    std::size_t start = i;
    while (i < query.size() && !is_delimiter(query[i])) ++i;
    std::string_view word = query.substr(start, i - start);
    if (word.size() < kMinWordBytes || is_stopword(word)) continue;
    Term& term = terms[count++];
    term.length = word.size() < kTermBytes ? word.size() : kTermBytes;
    for (std::size_t k = 0; k < term.length; ++k) term.text[k] = ascii_lower(word[k]);
    term.text[term.length] = '\0';
  }
  return count;
}

// Lowered copies are followed by this many zero bytes: a search step may
// read up to one step (64 bytes) past the end of the text.
constexpr std::size_t kScanPadding = 64;

// Lower-case copy of a field into `out`, zero-padded after the text.
template <std::size_t N>
std::string_view lowered_copy(const FixedText<N>& field, char (&out)[N + kScanPadding]) {
  std::size_t n = field.size();
  for (std::size_t k = 0; k < n; ++k) out[k] = ascii_lower(field.data[k]);
  std::memset(out + n, 0, kScanPadding);
  return std::string_view(out, n);
}

// One search for one term: occurrences counted left to right without
// overlap (each search resumes right after the previous match), or only the
// first one when `first_only`.
struct Search {
  const char* text;
  std::size_t last_start;  // the last position where the term fits
  const Term& term;
  bool first_only;
  int found;
  std::size_t resume;
};

// Takes the candidate start positions of one block (bit k of `mask` is
// position block + k) in order; false once the search is over.
inline bool take_candidates(Search& s, std::size_t block, unsigned mask) {
  while (mask != 0) {
    std::size_t pos = block + static_cast<std::size_t>(__builtin_ctz(mask));
    mask &= mask - 1;
    if (pos > s.last_start) return false;
    if (pos < s.resume) continue;
    // The first two and the last bytes already matched.
    const char* at = s.text + pos;
    std::size_t k = 2;
    while (k + 1 < s.term.length && at[k] == s.term.text[k]) ++k;
    if (k + 1 < s.term.length) continue;
    ++s.found;
    if (s.first_only) return false;
    s.resume = pos + s.term.length;
  }
  return true;
}

// A block of start positions at a time: a position is a candidate when the
// term's first two and last two bytes are in place (terms are at least three
// bytes long); only candidates are compared in full. The text must be
// followed by kScanPadding readable bytes.
#if defined(__x86_64__)
// Candidate mask of the 32 positions from `at`: 0xFF where the term's first
// two and last two bytes are in place.
__attribute__((target("avx2"))) inline __m256i avx2_candidates(const char* at, std::size_t length,
                                                               const __m256i (&bytes)[4]) {
  auto load = [](const char* p) { return reinterpret_cast<const __m256i*>(p); };
  __m256i a = _mm256_cmpeq_epi8(_mm256_loadu_si256(load(at)), bytes[0]);
  __m256i b = _mm256_cmpeq_epi8(_mm256_loadu_si256(load(at + 1)), bytes[1]);
  __m256i c = _mm256_cmpeq_epi8(_mm256_loadu_si256(load(at + length - 2)), bytes[2]);
  __m256i d = _mm256_cmpeq_epi8(_mm256_loadu_si256(load(at + length - 1)), bytes[3]);
  return _mm256_and_si256(_mm256_and_si256(a, b), _mm256_and_si256(c, d));
}

// Sixty-four positions per step in two halves, with one test for both.
__attribute__((target("avx2"))) void search_avx2(Search& s) {
  const std::size_t length = s.term.length;
  const __m256i bytes[4] = {_mm256_set1_epi8(s.term.text[0]), _mm256_set1_epi8(s.term.text[1]),
                            _mm256_set1_epi8(s.term.text[length - 2]),
                            _mm256_set1_epi8(s.term.text[length - 1])};
  for (std::size_t block = 0; block <= s.last_start; block += 64) {
    __m256i low = avx2_candidates(s.text + block, length, bytes);
    __m256i high = avx2_candidates(s.text + block + 32, length, bytes);
    __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    if (!take_candidates(s, block, static_cast<unsigned>(_mm256_movemask_epi8(low)))) return;
    if (!take_candidates(s, block + 32, static_cast<unsigned>(_mm256_movemask_epi8(high)))) return;
  }
}

void search_sse2(Search& s) {
  const std::size_t length = s.term.length;
  const __m128i first = _mm_set1_epi8(s.term.text[0]);
  const __m128i second = _mm_set1_epi8(s.term.text[1]);
  const __m128i before_last = _mm_set1_epi8(s.term.text[length - 2]);
  const __m128i last = _mm_set1_epi8(s.term.text[length - 1]);
  auto load = [](const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  for (std::size_t block = 0; block <= s.last_start; block += 16) {
    const char* at = s.text + block;
    __m128i head =
        _mm_and_si128(_mm_cmpeq_epi8(load(at), first), _mm_cmpeq_epi8(load(at + 1), second));
    __m128i tail = _mm_and_si128(_mm_cmpeq_epi8(load(at + length - 2), before_last),
                                 _mm_cmpeq_epi8(load(at + length - 1), last));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(head, tail)));
    if (mask != 0 && !take_candidates(s, block, mask)) return;
  }
}
#endif

// Without the vector units: the C library finds each next first byte.
void search_bytes(Search& s) {
  std::size_t pos = 0;
  while (pos <= s.last_start) {
    const void* hit = std::memchr(s.text + pos, s.term.text[0], s.last_start + 1 - pos);
    if (hit == nullptr) return;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - s.text);
    const char* at = s.text + pos;
    if (at[1] == s.term.text[1] && at[s.term.length - 1] == s.term.text[s.term.length - 1] &&
        !take_candidates(s, pos, 1u)) {
      return;
    }
    ++pos;
  }
}

using SearchFunction = void (*)(Search&);

struct SearchChoice {
  SearchFunction function;
  int width;
};

// The widest search this processor runs, at most `width` bytes per step.
SearchChoice choose_search(int width) {
#if defined(__x86_64__)
  if (width >= 32 && __builtin_cpu_supports("avx2")) return {search_avx2, 32};
  if (width >= 16) return {search_sse2, 16};
#endif
  (void)width;
  return {search_bytes, 1};
}

SearchChoice g_search = {nullptr, 0};

int count_occurrences(std::string_view text, const Term& term, bool first_only) {
  if (g_search.function == nullptr) g_search = choose_search(32);
  if (text.size() < term.length) return 0;
  Search s{text.data(), text.size() - term.length, term, first_only, 0, 0};
  g_search.function(s);
  return s.found;
}

struct Candidate {
  std::int32_t chunk;
  float score;
};

}  // namespace

void rag_index_story(LoreIndex& index, const Story& story) {
  std::memset(static_cast<void*>(&index), 0, sizeof(index));

  if (LoreChunk* meta = add_chunk(index, "meta", "0")) {
    meta->title.assign("Sinopsis");
    meta->text.assign(story.title.view());
    meta->text.append(": ");
    meta->text.append(story.description.view());
  }

  for (const LoreEntry& entry : list_used(story.lore, story.lore_count)) {
    LoreChunk* chunk = add_chunk(index, "lore", entry.section_id.view());
    if (chunk == nullptr) return;
    chunk->title.assign(entry.name.view());
    chunk->text.assign(entry.text.view());
  }

  for (const StorySection& section : list_used(story.sections, story.section_count)) {
    if (!section.lore_text.empty()) {
      LoreChunk* chunk = add_chunk(index, "section_lore", section.id.view());
      if (chunk == nullptr) return;
      chunk->title.assign("Lore de ");
      chunk->title.append(section.title.view());
      chunk->text.assign(section.lore_text.view());
    }
    if (!section.text.empty()) {
      LoreChunk* chunk = add_chunk(index, "scene", section.id.view());
      if (chunk == nullptr) return;
      chunk->title.assign("Escena: ");
      chunk->title.append(section.title.view());
      copy_without_bracket_spans(section.text.view(), chunk->text);
    }
  }
}

int rag_set_search_width(int bytes) {
  g_search = choose_search(bytes);
  return g_search.width;
}

std::int32_t rag_query(const LoreIndex& index, std::string_view query, LoreHit* results,
                       std::int32_t wanted) {
  if (results == nullptr || wanted < 1 || query.data() == nullptr) return 0;

  Term terms[LORE_MAX_TERMS];
  int term_count = collect_terms(query, terms);
  if (term_count == 0) return 0;

  Candidate candidates[LORE_MAX_CHUNKS];
  std::int32_t candidate_count = 0;
  char title[sizeof(LoreChunk::title) + kScanPadding];
  char text[sizeof(LoreChunk::text) + kScanPadding];
  std::span<const LoreChunk> chunks = list_used(index.chunks, index.chunk_count);
  for (std::size_t pos = 0; pos < chunks.size(); ++pos) {
    const LoreChunk& chunk = chunks[pos];
    std::string_view low_title = lowered_copy(chunk.title, title);
    std::string_view low_text = lowered_copy(chunk.text, text);
    float score = 0.0f;
    for (int t = 0; t < term_count; ++t) {
      if (count_occurrences(low_title, terms[t], true) > 0) score += kTitleWeight;
      score += static_cast<float>(count_occurrences(low_text, terms[t], false)) * kTextWeight;
    }
    if (chunk.kind == "lore" || chunk.kind == "section_lore") score *= kLoreFactor;
    if (score > 0.0f) candidates[candidate_count++] = {static_cast<std::int32_t>(pos), score};
  }

  // Exchange sort, best first. Its order on equal scores is relied upon: two
  // equal scores are never swapped with each other, but a swap with a higher
  // score can carry one past another of equal score. Pass i only touches
  // positions i and later, so the first `filled` passes settle the results.
  std::int32_t filled = candidate_count < wanted ? candidate_count : wanted;
  for (std::int32_t i = 0; i < filled && i + 1 < candidate_count; ++i) {
    for (std::int32_t j = i + 1; j < candidate_count; ++j) {
      if (candidates[j].score > candidates[i].score) {
        Candidate swap = candidates[i];
        candidates[i] = candidates[j];
        candidates[j] = swap;
      }
    }
  }

  for (std::int32_t r = 0; r < filled; ++r) {
    const LoreChunk& chunk = chunks[static_cast<std::size_t>(candidates[r].chunk)];
    results[r].title.assign(chunk.title.view());
    results[r].text.assign(chunk.text.view());
    results[r].score = candidates[r].score;
  }
  return filled;
}
