#include "lore/lore_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "story/story_parser.h"

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
// Weights are whole numbers, so a chunk's score stays an exact integer in
// single precision (at most 16 terms * (4 + 341 matches)) until the lore
// factor: adding it up in any order gives the same bits.
constexpr std::uint32_t kTitleWeight = 4;  // a term anywhere in the title, once
constexpr std::uint32_t kTextWeight = 1;   // each occurrence of a term in the text
constexpr float kLoreFactor = 1.3f;        // passages written as lore rank higher

using ChunkText = FixedText<1024>;

// Any run of these separates two words of a query.
constexpr std::string_view kDelimiters = " \t\r\n.,;:!?()[]\"'";

constexpr std::array<bool, 256> kIsDelimiter = [] {
  std::array<bool, 256> table{};
  for (char c : kDelimiters) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

bool is_delimiter(char c) { return kIsDelimiter[static_cast<unsigned char>(c)]; }

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

// The lore passages, then every section's lore and scene, until the index
// is full.
void add_story_chunks(LoreIndex& index, const Story& story) {
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
static_assert(LORE_WORD_PADDING >= static_cast<int>(kScanPadding));

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
// first one when `first_only`. `on_match`, when set, hears every position.
struct Search {
  const char* text;
  std::size_t last_start;  // the last position where the term fits
  const Term& term;
  bool first_only;
  int found;
  std::size_t resume;
  void (*on_match)(void* context, std::size_t pos);
  void* context;
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
    if (s.on_match != nullptr) s.on_match(s.context, pos);
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
  // This may run before main, where the processor's features are not read yet.
  __builtin_cpu_init();
  if (width >= 32 && __builtin_cpu_supports("avx2")) return {search_avx2, 32};
  if (width >= 16) return {search_sse2, 16};
#endif
  (void)width;
  return {search_bytes, 1};
}

// Chosen once before main, so sessions on several threads only ever read it;
// only rag_set_search_width (tests and benchmarks) changes it afterwards.
SearchChoice g_search = choose_search(32);

// Searches `text`, which must be followed by kScanPadding readable bytes.
int search_text(std::string_view text, const Term& term, bool first_only,
                void (*on_match)(void*, std::size_t) = nullptr, void* context = nullptr) {
  if (text.size() < term.length) return 0;
  Search s{text.data(), text.size() - term.length, term, first_only, 0, 0, on_match, context};
  g_search.function(s);
  return s.found;
}

// Lower-cases `field` into `buffer` and calls `visit` with every word long
// enough to hold a term.
template <std::size_t N, typename Visit>
bool for_each_word(const FixedText<N>& field, char (&buffer)[N + kScanPadding], Visit&& visit) {
  const std::size_t n = lowered_copy(field, buffer).size();
  // A delimiter right after the text ends its last word, and the zero after
  // that ends a run of delimiters: neither loop has to watch the length.
  buffer[n] = ' ';
  std::size_t i = 0;
  for (;;) {
    while (is_delimiter(buffer[i])) ++i;
    if (i > n) return true;
    const std::size_t start = i;
    while (!is_delimiter(buffer[i])) ++i;
    if (i - start >= kMinWordBytes && !visit(std::string_view(buffer + start, i - start))) {
      return false;
    }
  }
}

// Words are hashed and compared eight bytes at a time, reading past a short
// word's end: every word is followed by other words or by padding, in the
// table and in the lowered copies alike.
std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The bytes of a load that come from its first `n` (1 to 8) addresses.
std::uint64_t first_bytes(std::uint64_t v, std::size_t n) {
  const std::size_t drop = 64 - 8 * n;
  if constexpr (std::endian::native == std::endian::little) return v & (~std::uint64_t{0} >> drop);
  return v & (~std::uint64_t{0} << drop);
}

// A word's first eight bytes (fewer when shorter) and its last eight (none
// when it has no more), read without a branch on its length.
struct WordKey {
  std::uint64_t head;
  std::uint64_t tail;
};

WordKey word_key(const char* p, std::size_t n) {
  const bool long_word = n > 8;
  const std::uint64_t head = first_bytes(load8(p), long_word ? 8 : n);
  const std::uint64_t tail = load8(p + (long_word ? n - 8 : 0)) & (0 - std::uint64_t{long_word});
  return {head, tail};
}

// Multiplicative hashing: the top bits of the product depend on every bit
// of the key, and the table takes its slot from them.
std::uint64_t word_hash(WordKey key, std::size_t n) {
  return (key.head ^ std::rotl(key.tail, 29) ^ n) * 0x9E3779B97F4A7C15u;
}

std::string_view table_word(const LoreWordTable& t, std::uint32_t w) {
  return std::string_view(t.bytes + t.word_start[w], t.word_start[w + 1] - t.word_start[w] - 1);
}

// A slot of the find-or-add table holds word + 1 in its low bits and the
// word's place among the bytes above them, so a probe reaches the bytes in
// one step; 0 is a free slot.
constexpr int kSlotWordBits = 15;
static_assert(LORE_MAX_WORDS < (1 << kSlotWordBits));
static_assert(LORE_WORD_BYTES <= (std::uint64_t{1} << (32 - kSlotWordBits)));

std::uint32_t slot_word(std::uint32_t slot) { return (slot & ((1u << kSlotWordBits) - 1)) - 1; }

// The slot holding `word`, or the free slot where it belongs. Kept inline:
// building the table looks up every word occurrence twice.
[[gnu::always_inline]] inline std::uint32_t& find_slot(LoreWordTable& t, std::string_view word) {
  const std::uint32_t mask = static_cast<std::uint32_t>(t.slot_count) - 1;
  const int shift = 64 - std::countr_zero(static_cast<std::uint32_t>(t.slot_count));
  const WordKey key = word_key(word.data(), word.size());
  for (std::uint32_t i = static_cast<std::uint32_t>(word_hash(key, word.size()) >> shift);;
       i = (i + 1) & mask) {
    std::uint32_t& slot = t.slots[i];
    if (slot == 0) return slot;
    // A word of up to 16 bytes is its key. Words hold no separator, so the
    // same key followed by one is the same word, read without its length.
    const char* bytes = t.bytes + (slot >> kSlotWordBits);
    if (word.size() <= 16) {
      const WordKey other = word_key(bytes, word.size());
      if (other.head == key.head && other.tail == key.tail && bytes[word.size()] == ' ') {
        return slot;
      }
    } else if (table_word(t, slot_word(slot)) == word) {
      return slot;
    }
  }
}

std::uint32_t make_slot(const LoreWordTable& t, std::uint32_t w) {
  return (t.word_start[w] << kSlotWordBits) | (w + 1);
}

// Starts the find-or-add table over with `count` slots (a power of two)
// and puts every word back. It grows as words come, so a small story only
// writes a small table.
void reset_slots(LoreWordTable& t, std::int32_t count) {
  t.slot_count = count;
  std::memset(t.slots, 0, sizeof(t.slots[0]) * static_cast<std::size_t>(count));
  for (std::uint32_t w = 0; w < static_cast<std::uint32_t>(t.word_count); ++w) {
    find_slot(t, table_word(t, w)) = make_slot(t, w);
  }
}

// The number of `word`, adding it when new; -1 when the table is full.
std::int32_t find_or_add_word(LoreWordTable& t, std::string_view word) {
  std::uint32_t& slot = find_slot(t, word);
  if (slot != 0) return static_cast<std::int32_t>(slot_word(slot));
  const std::int32_t w = t.word_count;
  const std::size_t used = static_cast<std::size_t>(t.bytes_used);
  if (w == LORE_MAX_WORDS || word.size() + 1 > LORE_WORD_BYTES - used) return -1;
  std::memcpy(t.bytes + used, word.data(), word.size());
  t.bytes[used + word.size()] = ' ';  // a delimiter: no match runs into the next word
  t.bytes_used = static_cast<std::int32_t>(used + word.size() + 1);
  t.word_start[w + 1] = static_cast<std::uint32_t>(t.bytes_used);
  t.text_start[w + 2] = 0;
  t.title_start[w + 2] = 0;
  t.word_count = w + 1;
  slot = make_slot(t, static_cast<std::uint32_t>(w));
  if (2 * t.word_count > t.slot_count) reset_slots(t, 2 * t.slot_count);
  return w;
}

// Calls `visit(chunk position, in_title, word)` for every word of every
// chunk's lower-cased title and text; stops when it returns false.
template <typename Visit>
bool for_each_chunk_word(std::span<const LoreChunk> chunks, Visit&& visit) {
  char title[sizeof(LoreChunk::title) + kScanPadding];
  char text[sizeof(LoreChunk::text) + kScanPadding];
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    if (!for_each_word(chunks[c].title, title,
                       [&](std::string_view word) { return visit(c, true, word); }) ||
        !for_each_word(chunks[c].text, text,
                       [&](std::string_view word) { return visit(c, false, word); })) {
      return false;
    }
  }
  return true;
}

// Builds the word table of `chunks`; leaves it unused (`ready` 0) when the
// words do not fit. Occurrence lists are laid out by counting: a first walk
// numbers the words and counts their occurrences, a second one files each
// occurrence under its word. Walking twice takes no memory beyond the table,
// where noting every occurrence's word in between would take two bytes each.
void build_word_table(LoreWordTable& t, std::span<const LoreChunk> chunks) {
  t.ready = 0;
  t.word_count = 0;
  t.bytes_used = 0;
  t.word_start[0] = 0;
  t.text_start[0] = t.text_start[1] = 0;
  t.title_start[0] = t.title_start[1] = 0;
  reset_slots(t, 1024);
  // Word w's count goes to [w + 2], so that after the running sum [w + 1]
  // is where its list starts and can serve as its filing cursor.
  const bool fits =
      for_each_chunk_word(chunks, [&t](std::size_t, bool in_title, std::string_view word) {
        const std::int32_t w = find_or_add_word(t, word);
        if (w < 0) return false;
        if (in_title) {
          ++t.title_start[w + 2];
        } else {
          ++t.text_start[w + 2];
        }
        return true;
      });
  if (!fits) return;
  for (std::int32_t w = 0; w < t.word_count; ++w) {
    t.text_start[w + 2] += t.text_start[w + 1];
    t.title_start[w + 2] = static_cast<std::uint16_t>(t.title_start[w + 2] + t.title_start[w + 1]);
  }
  for_each_chunk_word(chunks, [&t](std::size_t c, bool in_title, std::string_view word) {
    const std::uint32_t w = slot_word(find_slot(t, word));
    if (in_title) {
      t.title_chunks[t.title_start[w + 1]++] = static_cast<std::uint8_t>(c);
    } else {
      t.text_chunks[t.text_start[w + 1]++] = static_cast<std::uint8_t>(c);
    }
    return true;
  });
  // Each cursor now stands at the end of its list, which is where the next
  // word's list starts: [w] is word w's start again.
  std::memset(t.bytes + t.bytes_used, 0, LORE_WORD_PADDING);
  t.ready = 1;
}

// The matches of one term among the distinct words, taken in order: each
// word's count of matches is added to every chunk text the word occurs in
// (once per occurrence), and the chunks whose title holds it are marked.
// Every position read from the table is kept inside its array, so a damaged
// table gives wrong hits at worst, never a read out of bounds.
struct WordMatches {
  const LoreWordTable& table;
  std::uint32_t word_count;
  std::uint32_t* totals;
  std::uint64_t in_title[LORE_MAX_CHUNKS / 64];
  std::uint32_t word;
  std::uint32_t count;
};

void credit_word(WordMatches& m) {
  if (m.count == 0) return;
  const LoreWordTable& t = m.table;
  const std::uint32_t text_end =
      std::min<std::uint32_t>(t.text_start[m.word + 1], LORE_MAX_TEXT_WORDS);
  for (std::uint32_t k = t.text_start[m.word]; k < text_end; ++k) {
    m.totals[t.text_chunks[k]] += m.count * kTextWeight;
  }
  const std::uint32_t title_end =
      std::min<std::uint32_t>(t.title_start[m.word + 1], LORE_MAX_TITLE_WORDS);
  for (std::uint32_t k = t.title_start[m.word]; k < title_end; ++k) {
    m.in_title[t.title_chunks[k] / 64] |= std::uint64_t{1} << (t.title_chunks[k] % 64);
  }
}

void on_word_match(void* context, std::size_t pos) {
  WordMatches& m = *static_cast<WordMatches*>(context);
  const std::uint32_t* starts = m.table.word_start;
  if (m.count > 0 && pos < starts[m.word + 1]) {
    ++m.count;
    return;
  }
  credit_word(m);
  // Matches come in increasing order: the word is after the previous one.
  const std::uint32_t* first = starts + (m.count > 0 ? m.word + 1 : 0);
  const std::uint32_t* found = std::upper_bound(first, starts + m.word_count, pos);
  m.word = static_cast<std::uint32_t>(found - starts) - (found > starts ? 1 : 0);
  m.count = 1;
}

// Integer scores of every chunk from the word table.
void score_by_words(const LoreWordTable& t, std::span<const Term> terms, std::uint32_t* totals) {
  const auto used = static_cast<std::size_t>(std::clamp(t.bytes_used, 0, LORE_WORD_BYTES));
  const std::uint32_t word_count =
      static_cast<std::uint32_t>(std::clamp(t.word_count, 0, LORE_MAX_WORDS));
  if (word_count == 0) return;
  for (const Term& term : terms) {
    WordMatches m{t, word_count, totals, {}, 0, 0};
    search_text(std::string_view(t.bytes, used), term, false, on_word_match, &m);
    credit_word(m);
    for (std::size_t part = 0; part < std::size(m.in_title); ++part) {
      for (std::uint64_t bits = m.in_title[part]; bits != 0; bits &= bits - 1) {
        totals[part * 64 + static_cast<std::size_t>(std::countr_zero(bits))] += kTitleWeight;
      }
    }
  }
}

// Integer scores of every chunk by searching each chunk's lower-cased title
// and text: the way for an index whose words did not fit the table.
void score_every_chunk(std::span<const LoreChunk> chunks, std::span<const Term> terms,
                       std::uint32_t* totals) {
  char title[sizeof(LoreChunk::title) + kScanPadding];
  char text[sizeof(LoreChunk::text) + kScanPadding];
  for (std::size_t pos = 0; pos < chunks.size(); ++pos) {
    std::string_view low_title = lowered_copy(chunks[pos].title, title);
    std::string_view low_text = lowered_copy(chunks[pos].text, text);
    for (const Term& term : terms) {
      if (search_text(low_title, term, true) > 0) totals[pos] += kTitleWeight;
      totals[pos] += static_cast<std::uint32_t>(search_text(low_text, term, false)) * kTextWeight;
    }
  }
}

struct Candidate {
  std::int32_t chunk;
  float score;
};

}  // namespace

void rag_index_story(LoreIndex& index, const Story& story) {
  // Only the chunks an earlier build filled need clearing: the rest are
  // still zero in an index allocated zeroed, and staying untouched keeps
  // their pages out of memory when a story fills only a few of them.
  std::span<LoreChunk> used = list_used(index.chunks, index.chunk_count);
  std::memset(static_cast<void*>(used.data()), 0, used.size_bytes());
  index.chunk_count = 0;

  if (LoreChunk* meta = add_chunk(index, "meta", "0")) {
    meta->title.assign("Sinopsis");
    meta->text.assign(story.title.view());
    meta->text.append(": ");
    meta->text.append(story.description.view());
  }
  add_story_chunks(index, story);
  build_word_table(index.words, list_used(index.chunks, index.chunk_count));
}

void rag_visible_chunks(const LoreIndex& index, const Story& story, const bool* visited,
                        LoreVisibility& out) {
  out = LoreVisibility{};
  std::span<const LoreChunk> chunks = list_used(index.chunks, index.chunk_count);
  for (std::size_t pos = 0; pos < chunks.size(); ++pos) {
    const LoreChunk& chunk = chunks[pos];
    bool shown = chunk.kind == "meta";
    if (!shown) {
      const StorySection* section = story_get_section(story, chunk.ref_id.view());
      if (section != nullptr) {
        shown = visited != nullptr && visited[section - story.sections];
      } else {
        // A passage written before the first section belongs to no scene.
        shown = chunk.kind == "lore" && chunk.ref_id == "0";
      }
    }
    if (shown) out.bits[pos / 64] |= std::uint64_t{1} << (pos % 64);
  }
}

int rag_set_search_width(int bytes) {
  g_search = choose_search(bytes);
  return g_search.width;
}

std::int32_t rag_query(const LoreIndex& index, std::string_view query, LoreHit* results,
                       std::int32_t wanted, const LoreVisibility* visible) {
  if (results == nullptr || wanted < 1 || query.data() == nullptr) return 0;

  Term terms[LORE_MAX_TERMS];
  int term_count = collect_terms(query, terms);
  if (term_count == 0) return 0;

  std::span<const LoreChunk> chunks = list_used(index.chunks, index.chunk_count);
  std::span<const Term> used_terms(terms, static_cast<std::size_t>(term_count));
  std::uint32_t totals[LORE_MAX_CHUNKS] = {};
  if (index.words.ready != 0) {
    score_by_words(index.words, used_terms, totals);
  } else {
    score_every_chunk(chunks, used_terms, totals);
  }

  Candidate candidates[LORE_MAX_CHUNKS];
  std::int32_t candidate_count = 0;
  for (std::size_t pos = 0; pos < chunks.size(); ++pos) {
    if (totals[pos] == 0) continue;
    if (visible != nullptr && (visible->bits[pos / 64] >> (pos % 64) & 1u) == 0) continue;
    float score = static_cast<float>(totals[pos]);
    if (chunks[pos].kind == "lore" || chunks[pos].kind == "section_lore") score *= kLoreFactor;
    candidates[candidate_count++] = {static_cast<std::int32_t>(pos), score};
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
