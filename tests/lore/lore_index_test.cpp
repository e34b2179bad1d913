#include "lore/lore_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

constexpr std::string_view kDelimiters = " \t\r\n.,;:!?()[]\"'";

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

// The next draw of a fixed pseudo-random sequence, so that every run asks the same queries.
std::uint32_t next_draw(std::uint32_t& seed) { return (seed = seed * 1664525u + 1013904223u) >> 8; }

// The words of a text, split at the delimiters.
std::vector<std::string_view> split(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::size_t i = text.find_first_not_of(kDelimiters); i != text.npos;) {
    std::size_t end = std::min(text.find_first_of(kDelimiters, i), text.size());
    out.push_back(text.substr(i, end - i));
    i = text.find_first_not_of(kDelimiters, end);
  }
  return out;
}

// Queries drawn from the indexed text itself: each word alone (every `stride`-th word when there
// are many), as capitals and cut to its first and last three bytes, then mixes of story words, stop
// words, short words, unknown words, accented capitals, punctuation and repeats, up to 24 words,
// some longer than the 511 bytes a query keeps. Each must rank as the plain scan does, hit for hit
// and bit for bit: lower-cased copies of every chunk searched term by term, left to right without
// overlap, then the exchange sort, best first; rag_query writes nothing past its hits.
void compare_with_plain_scan(const LoreIndex& index, int mixes, std::size_t stride = 1) {
  std::vector<std::string> titles, texts;
  std::set<std::string> word_set;
  for (const LoreChunk& c : list_used(index.chunks, index.chunk_count)) {
    titles.push_back(lowered(c.title.view()));
    texts.push_back(lowered(c.text.view()));
    for (std::string_view field : {c.title.view(), c.text.view()})
      for (std::string_view w : split(field)) word_set.emplace(w);
  }
  auto hit = [](std::string_view title, std::string_view text, float score) {
    return std::string(title) + "|" + std::string(text) + "|" +
           std::to_string(std::bit_cast<std::uint32_t>(score)) + ";";
  };
  auto expect_same = [&](std::string_view full, int wanted) {
    std::vector<std::string> terms;
    for (std::string_view w : split(full.substr(0, std::min(full.find('\0'), std::size_t{511})))) {
      const std::string word = lowered(w);
      if (terms.size() < LORE_MAX_TERMS && word.size() >= 3 &&
          std::none_of(STOPWORDS.begin(), STOPWORDS.end(),
                       [&](const char* s) { return word == lowered(s); }))
        terms.push_back(word.substr(0, 63));
    }
    std::vector<std::pair<float, const LoreChunk*>> found;
    for (std::size_t c = 0; c < texts.size() && !terms.empty(); ++c) {
      float score = 0.0f;
      for (const std::string& term : terms) {
        if (titles[c].find(term) != std::string::npos) score += 4.0f;
        for (std::size_t at = texts[c].find(term); at != std::string::npos;
             at = texts[c].find(term, at + term.size()))
          score += 1.0f;
      }
      const LoreChunk& chunk = index.chunks[c];
      if (chunk.kind == "lore" || chunk.kind == "section_lore") score *= 1.3f;
      if (score > 0.0f) found.emplace_back(score, &chunk);
    }
    for (std::size_t i = 0; i + 1 < found.size(); ++i)
      for (std::size_t j = i + 1; j < found.size(); ++j)
        if (found[j].first > found[i].first) std::swap(found[i], found[j]);
    std::string expected, got;
    for (std::size_t k = 0; k < found.size() && k < static_cast<std::size_t>(wanted); ++k)
      expected += hit(found[k].second->title.view(), found[k].second->text.view(), found[k].first);
    LoreHit hits[6];
    for (LoreHit& h : hits) h.score = -1.0f;
    const std::int32_t n = rag_query(index, full, hits, wanted);
    for (std::int32_t k = 0; k < n; ++k)
      got += hit(hits[k].title.view(), hits[k].text.view(), hits[k].score);
    ASSERT_EQ(got, expected) << full;
    for (int k = n; k < 6; ++k) ASSERT_EQ(hits[k].score, -1.0f) << full;
  };
  std::vector<std::string> words(word_set.begin(), word_set.end());
  for (std::size_t k = 0; k < words.size(); k += stride) {
    const std::string& w = words[k];
    std::string upper = w;
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    expect_same(w, 2);
    expect_same(upper, 1);
    if (w.size() > 3) expect_same(w.substr(0, 3) + " " + w.substr(w.size() - 3), 3);
  }
  const char* const extra[] = {"de",    "la",      "que",  "Para",  "PORQUE",   "y",
                               "zzq",   "¿Qué",    "¡Ay!", "ÁRBOL", "Ñandú",    "(llave)",
                               "—dijo", "eco,eco", "aaa",  "ción",  "\tporque", "x"};
  std::uint32_t seed = 7;
  for (int q = 0; q < mixes; ++q) {
    std::string query;
    for (std::uint32_t n = next_draw(seed) % 24 + 1; n > 0; --n) {
      std::uint32_t pick = next_draw(seed) % 8;
      if (pick == 0)
        query += extra[next_draw(seed) % std::size(extra)];
      else if (pick == 1 && !query.empty())
        query += query.substr(0, query.find(' '));  // a repeated word
      else if (!words.empty())
        query += words[next_draw(seed) % words.size()];
      query += std::string_view(" .,;!?'").substr(next_draw(seed) % 7, 1);
    }
    expect_same(query, static_cast<int>(next_draw(seed) % 5 + 1));
  }
}

class Lore : public ::testing::Test {
 protected:
  ~Lore() override { rag_set_search_width(32); }
  // Parses and indexes a story.
  void parse(const std::string& t) {
    ASSERT_TRUE(story_parser_load_string(story_, t.c_str(), ""));
    rag_index_story(index_, story_);
  }
  // "kind ref|title|text" of every chunk, a line each.
  std::string chunks() {
    std::string out;
    for (const LoreChunk& c : list_used(index_.chunks, index_.chunk_count))
      out += std::string(c.kind) + " " + std::string(c.ref_id) + "|" + std::string(c.title) + "|" +
             std::string(c.text) + "\n";
    return out;
  }
  // "title=score;" per hit, best first, with every bit of the single-precision score.
  std::string query(std::string_view q, std::int32_t wanted = 4) {
    std::string out;
    for (std::int32_t k = 0, n = rag_query(index_, q, hits_, wanted); k < n; ++k) {
      char score[32];
      std::snprintf(score, sizeof score, "=%.9g;", static_cast<double>(hits_[k].score));
      out += std::string(hits_[k].title) + score;
    }
    return out;
  }

  std::unique_ptr<Story> story_ptr_ = std::make_unique<Story>();  // zeroed, too large for the stack
  std::unique_ptr<LoreIndex> index_ptr_ = std::make_unique<LoreIndex>();
  Story& story_ = *story_ptr_;
  LoreIndex& index_ = *index_ptr_;
  LoreHit hits_[5] = {};
};

// Spans in brackets do not nest; a long title, text or passage is cut.
TEST_F(Lore, ChunksFollowTheStoryCutAndWithoutTags) {
  parse(qh_test::read_file(QH_TEST_DATA_DIR "/lore/chunks_story.md"));
  EXPECT_EQ(chunks(), qh_test::read_file(QH_TEST_DATA_DIR "/lore/chunks.txt"));
}

TEST_F(Lore, KeepsOnlyTheFirst256Chunks) {
  // Synopsis + 127 sections with lore and body: 255 chunks, one short of full.
  std::string text;
  for (int s = 1; s <= 127; ++s) text += "## " + std::to_string(s) + " S\ncuerpo\n### Lore\nlore\n";
  parse(text);
  EXPECT_TRUE(chunks().ends_with("scene 127|Escena: S|cuerpo\n"));
  EXPECT_EQ(index_.chunk_count, 255);
  // The 128th section brings chunks 256 and 257: its scene is left out.
  parse(text += "## 128 S\ncuerpo\n### Lore\nlore\n");
  EXPECT_TRUE(chunks().ends_with("section_lore 128|Lore de S|lore\n"));
  // A lore passage comes before the sections and pushes one more chunk off.
  parse("> [Lore: Reino]\n" + text);
  EXPECT_TRUE(chunks().ends_with("scene 127|Escena: S|cuerpo\n"));
  EXPECT_EQ(index_.chunk_count, 256);
}

TEST_F(Lore, QueriesScoreAndRankChunks) {
  parse(qh_test::read_file(QH_TEST_DATA_DIR "/lore/query_story.md"));
  hits_[3].score = -7.0f;
  std::istringstream rows(qh_test::read_file(QH_TEST_DATA_DIR "/lore/queries.txt"));
  int count = 0;
  for (std::string row; std::getline(rows, row);) {
    std::size_t wanted = row.find('\t') + 1, hits = row.find('\t', wanted) + 1;
    if (wanted == 0) continue;
    EXPECT_EQ(query(row.substr(0, wanted - 1), std::atoi(&row[wanted])), row.substr(hits)) << row;
    ++count;
  }
  EXPECT_EQ(count, 14);
  EXPECT_EQ(hits_[3].score, -7.0f);  // no query found four chunks, and none wrote past its hits
  EXPECT_EQ(rag_query(index_, "eco", hits_, 0) + rag_query(index_, "eco", nullptr, 2), 0);
}

TEST_F(Lore, CountsMatchesAnywhereWithEverySearchWidth) {
  for (int width : {1, 16, 32}) {
    SCOPED_TRACE(rag_set_search_width(width));
    // One match at every offset, across the steps of the search, up to the last byte of a
    // full-length text.
    for (std::size_t length : {5u, 31u, 64u, 65u, 200u, 1023u}) {
      for (std::size_t at = 0; at + 5 <= length; at += (at < 70 ? 1 : 37)) {
        parse("## 1 llave llave\n" + std::string(length, 'x').replace(at, 5, "LLAVE"));
        ASSERT_EQ(query("llave"), "Escena: llave llave=5;") << length << " " << at;
      }
    }
    parse("## 2 S\n" + std::string(1023, 'a') + "\n## 3 T\n" + std::string(960, 'x') +
          std::string(63, 'b'));
    EXPECT_EQ(query("aaa " + std::string(63, 'b')), "Escena: S=341;Escena: T=1;");
  }
}

// A distinct word of `length` bytes for every `n`: "q", four letters, then "z"s.
std::string numbered_word(int n, std::size_t length) {
  std::string word = "q";
  for (int digit = 0; digit < 4; ++digit, n /= 26) word += static_cast<char>('a' + n % 26);
  return word + std::string(length - word.size(), 'z');
}

// Sections whose bodies and lore hold `words` in order, under 1,000 bytes a chunk so that none is
// cut. Besides them, the index holds the words "sinopsis", "escena" and "lore" (21 bytes with their
// separators).
std::string story_of_words(const std::vector<std::string>& words) {
  std::string story, chunk;
  int chunks = 0;
  auto flush = [&] {
    story += chunks % 2 == 0 ? "## [" + std::to_string(chunks / 2 + 1) + "] S\n" : "### Lore\n";
    story += chunk + "\n";
    chunk.clear();
    ++chunks;
  };
  for (const std::string& w : words) {
    if (chunk.size() + w.size() >= 1000) flush();
    chunk += w + " ";
  }
  flush();
  return story;
}

// Every bundled story and the test stories, queried many ways, rank exactly as the plain scan does;
// so does a full index of long passages from a small vocabulary, where every chunk holds most terms
// many times and sixteen-term queries find every chunk.
TEST_F(Lore, RanksExactlyAsThePlainScan) {
  for (std::string path : {std::string(QH_SOURCE_DIR "/stories/la_cripta_del_rey_ceniza.md"),
                           std::string(QH_SOURCE_DIR "/stories/intrusion_en_neon.md"),
                           std::string(QH_TEST_DATA_DIR "/lore/query_story.md"),
                           std::string(QH_TEST_DATA_DIR "/lore/chunks_story.md")}) {
    SCOPED_TRACE(path);
    parse(qh_test::read_file(path));
    ASSERT_GT(index_.chunk_count, 5);
    compare_with_plain_scan(index_, 400);
  }
  const char* const vocabulary[] = {"llave", "Llaves", "puerta", "PUERTA", "cripta", "aaa",
                                    "aaaa",  "niebla", "río",    "RÍO",    "eco",    "ecoeco."};
  std::vector<std::string> words;
  for (std::uint32_t seed = 3; words.size() < 50000;)
    words.push_back(vocabulary[next_draw(seed) % std::size(vocabulary)]);
  parse(story_of_words(words));
  ASSERT_EQ(index_.chunk_count, 256);
  compare_with_plain_scan(index_, 60);
}

// A damaged word table may rank wrongly but never reads outside its arrays (the sanitizer build
// checks that): positions past the ends, lists that run backwards or beyond, words out of order.
TEST_F(Lore, DamagedWordTableStaysInsideItsArrays) {
  parse(qh_test::read_file(QH_SOURCE_DIR "/stories/intrusion_en_neon.md"));
  LoreWordTable& words = index_.words;
  std::uint32_t seed = 11;
  auto next = [&seed](std::uint32_t below) { return next_draw(seed) % below; };
  for (int w = 0; w <= LORE_MAX_WORDS; ++w) {
    words.word_start[w] = next(LORE_WORD_BYTES + 4096);
    words.text_start[w] = next(2 * LORE_MAX_TEXT_WORDS);
    words.title_start[w] = static_cast<std::uint16_t>(next(65536));
  }
  for (char& c : words.bytes) c = static_cast<char>('a' + next(3));
  words.ready = 1;
  words.word_count = LORE_MAX_WORDS;
  words.bytes_used = LORE_WORD_BYTES;
  for (const char* q : {"aaa", "abc bca cab", "aaaa bbbb cccc abcabc", "zzz"})
    EXPECT_LE(rag_query(index_, q, hits_, 4), 4) << q;
}

// A story whose words just fit the word table, or overflow it by one word or one byte, ranks as the
// plain scan does either way. In the first cases every other word is the one before it less its
// last letter.
TEST_F(Lore, RanksAsThePlainScanAtTheWordTableLimits) {
  constexpr int kFixedWords = 3, kFixedBytes = 21;
  const int by_count = LORE_MAX_WORDS - kFixedWords;
  const int by_bytes = (LORE_WORD_BYTES - kFixedBytes) / 64 + 1;
  const std::size_t rest = (LORE_WORD_BYTES - kFixedBytes) % 64;
  // {generated words, bytes of each (0: twins), bytes of the last, the table is used}
  for (auto [count, length, last, ready] :
       {std::tuple{by_count - 1, std::size_t{0}, std::size_t{0}, 1},
        {by_count, 0, 0, 1},
        {by_count + 1, 0, 0, 0},
        {by_bytes, 63, rest - 1, 1},
        {by_bytes, 63, rest, 0}}) {
    SCOPED_TRACE(testing::Message() << count << " words, " << length << " + " << last);
    std::vector<std::string> words;
    for (int n = 0; n < count; ++n)
      words.push_back(length == 0 ? numbered_word(n / 2, 6 - static_cast<std::size_t>(n % 2))
                                  : numbered_word(n, n + 1 < count ? length : last));
    parse(story_of_words(words));
    ASSERT_EQ(index_.words.ready, ready);
    EXPECT_EQ(ready ? index_.words.word_count : 0, ready ? count + kFixedWords : 0);
    SCOPED_TRACE(rag_set_search_width(count % 3 == 0 ? 1 : 16 << (count % 2)));
    compare_with_plain_scan(index_, 12, 300);
  }
}

}  // namespace
