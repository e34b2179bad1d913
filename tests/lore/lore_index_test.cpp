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

// The plain scan every answer must agree with, hit for hit and bit for bit:
// lower-cased copies of every chunk searched term by term, left to right
// without overlap, then the exchange sort, best first.
class PlainScan {
 public:
  explicit PlainScan(const LoreIndex& index) : index_(index) {
    for (const LoreChunk& c : list_used(index.chunks, index.chunk_count)) {
      titles_.push_back(lowered(c.title.view()));
      texts_.push_back(lowered(c.text.view()));
    }
  }

  // (chunk, score) pairs, best first.
  std::vector<std::pair<int, float>> query(std::string_view query, int wanted) const {
    query = query.substr(0, std::min(query.find('\0'), std::size_t{511}));
    std::vector<std::string> terms;
    for (std::size_t i = 0; i < query.size() && terms.size() < LORE_MAX_TERMS;) {
      std::size_t start = query.find_first_not_of(kDelimiters, i);
      if (start == std::string_view::npos) break;
      std::size_t end = std::min(query.find_first_of(kDelimiters, start), query.size());
      std::string_view word = query.substr(start, end - start);
      i = end;
      bool stop = false;
      for (const char* s : STOPWORDS) stop = stop || lowered(word) == lowered(s);
      if (word.size() >= 3 && !stop) terms.push_back(lowered(word.substr(0, 63)));
    }
    std::vector<std::pair<int, float>> hits;
    if (terms.empty()) return hits;
    for (std::size_t c = 0; c < texts_.size(); ++c) {
      float score = 0.0f;
      for (const std::string& term : terms) {
        if (titles_[c].find(term) != std::string::npos) score += 4.0f;
        for (std::size_t at = texts_[c].find(term); at != std::string::npos;
             at = texts_[c].find(term, at + term.size())) {
          score += 1.0f;
        }
      }
      const LoreChunk& chunk = index_.chunks[c];
      if (chunk.kind == "lore" || chunk.kind == "section_lore") score *= 1.3f;
      if (score > 0.0f) hits.emplace_back(static_cast<int>(c), score);
    }
    for (std::size_t i = 0; i + 1 < hits.size(); ++i) {
      for (std::size_t j = i + 1; j < hits.size(); ++j) {
        if (hits[j].second > hits[i].second) std::swap(hits[i], hits[j]);
      }
    }
    hits.resize(std::min(hits.size(), static_cast<std::size_t>(wanted)));
    return hits;
  }

  // The hits of rag_query against the plain scan: count, order, chunk (its
  // title and text) and every bit of the score; nothing written past the count.
  void expect_same(const std::string& query, int wanted) const {
    LoreHit hits[6];
    for (LoreHit& h : hits) h.score = -1.0f;
    std::vector<std::pair<int, float>> expected = this->query(query, wanted);
    std::int32_t n = rag_query(index_, query, hits, wanted);
    ASSERT_EQ(n, static_cast<std::int32_t>(expected.size())) << query;
    for (std::int32_t k = 0; k < n; ++k) {
      auto [chunk, score] = expected[static_cast<std::size_t>(k)];
      ASSERT_TRUE(hits[k].title == index_.chunks[chunk].title.view() &&
                  hits[k].text == index_.chunks[chunk].text.view() &&
                  std::bit_cast<std::uint32_t>(hits[k].score) ==
                      std::bit_cast<std::uint32_t>(score))
          << query << " hit " << k << ": " << hits[k].title.c_str() << "=" << hits[k].score;
    }
    for (int k = n; k < 6; ++k) ASSERT_EQ(hits[k].score, -1.0f) << query;
  }

 private:
  const LoreIndex& index_;
  std::vector<std::string> titles_, texts_;
};

// Queries drawn from the indexed text itself: every word alone, as capitals
// and cut to its first and last three bytes, then mixes of story words, stop
// words, short words, unknown words, accented capitals, punctuation and
// repeats, up to 24 words, some longer than the 511 bytes a query keeps.
void compare_with_plain_scan(const LoreIndex& index, int mixes) {
  PlainScan plain(index);
  std::set<std::string> word_set;
  for (const LoreChunk& c : list_used(index.chunks, index.chunk_count)) {
    for (std::string_view field : {c.title.view(), c.text.view()}) {
      for (std::size_t i = field.find_first_not_of(kDelimiters); i != std::string_view::npos;) {
        std::size_t end = std::min(field.find_first_of(kDelimiters, i), field.size());
        word_set.insert(std::string(field.substr(i, end - i)));
        i = field.find_first_not_of(kDelimiters, end);
      }
    }
  }
  std::vector<std::string> words(word_set.begin(), word_set.end());
  for (const std::string& w : words) {
    std::string upper = w;
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    plain.expect_same(w, 2);
    plain.expect_same(upper, 1);
    if (w.size() > 3) {
      plain.expect_same(w.substr(0, 3) + " " + w.substr(w.size() - 3), 3);
    }
  }
  const char* const extra[] = {"de",    "la",      "que",  "Para",  "PORQUE",   "y",
                               "zzq",   "¿Qué",    "¡Ay!", "ÁRBOL", "Ñandú",    "(llave)",
                               "—dijo", "eco,eco", "aaa",  "ción",  "\tporque", "x"};
  std::uint32_t seed = 7;
  auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (int q = 0; q < mixes; ++q) {
    std::string query;
    for (std::uint32_t n = next() % 24 + 1; n > 0; --n) {
      std::uint32_t pick = next() % 8;
      if (pick == 0) {
        query += extra[next() % std::size(extra)];
      } else if (pick == 1 && !query.empty()) {
        query += query.substr(0, query.find(' '));  // a repeated word
      } else if (!words.empty()) {
        query += words[next() % words.size()];
      }
      query += std::string_view(" .,;!?'").substr(next() % 7, 1);
    }
    plain.expect_same(query, static_cast<int>(next() % 5 + 1));
  }
}

class Lore : public ::testing::Test {
 protected:
  ~Lore() override { rag_set_search_width(32); }
  void parse(const std::string& t) { ASSERT_TRUE(story_parser_load_string(story_, t.c_str(), "")); }
  // "kind ref|title|text" of every chunk, a line each, after indexing anew.
  std::string chunks() {
    rag_index_story(index_, story_);
    std::string out;
    for (const LoreChunk& c : list_used(index_.chunks, index_.chunk_count)) {
      out += std::string(c.kind) + " " + std::string(c.ref_id) + "|" + std::string(c.title) + "|" +
             std::string(c.text) + "\n";
    }
    return out;
  }
  // Indexes the story and queries it: "title=score;" per hit, best first,
  // with every bit of the single-precision score.
  std::string query(std::string_view q, std::int32_t wanted = 4) {
    rag_index_story(index_, story_);
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
    // One match at every offset, across the steps of the search, up to the
    // last byte of a full-length text.
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

// Every bundled story and the test stories, queried many ways, rank exactly
// as the plain scan does.
TEST_F(Lore, RanksExactlyAsThePlainScan) {
  for (std::string path : {std::string(QH_SOURCE_DIR "/stories/la_cripta_del_rey_ceniza.md"),
                           std::string(QH_SOURCE_DIR "/stories/intrusion_en_neon.md"),
                           std::string(QH_TEST_DATA_DIR "/lore/query_story.md"),
                           std::string(QH_TEST_DATA_DIR "/lore/chunks_story.md")}) {
    SCOPED_TRACE(path);
    parse(qh_test::read_file(path));
    rag_index_story(index_, story_);
    ASSERT_GT(index_.chunk_count, 5);
    compare_with_plain_scan(index_, 400);
  }
}

// A full index of long passages from a small vocabulary: every chunk holds
// most terms many times, and sixteen-term queries find every chunk.
TEST_F(Lore, RanksAFullIndexExactlyAsThePlainScan) {
  const char* const vocabulary[] = {"llave", "Llaves", "puerta", "PUERTA", "cripta", "aaa",
                                    "aaaa",  "niebla", "río",    "RÍO",    "eco",    "ecoeco"};
  std::uint32_t seed = 3;
  auto prose = [&](std::size_t length) {
    std::string text;
    while (text.size() < length) {
      seed = seed * 1664525u + 1013904223u;
      text += vocabulary[(seed >> 8) % std::size(vocabulary)];
      text += (seed >> 20) % 9 == 0 ? ". " : " ";
    }
    return text;
  };
  std::string text;
  for (int k = 0; k < 8; ++k) text += "> [Lore: Leyenda " + prose(20) + "] " + prose(1100) + "\n";
  for (int s = 1; s <= 128; ++s) {
    text += "## [" + std::to_string(s) + "] " + prose(40) + "\n" + prose(1100) + "\n### Lore\n" +
            prose(1100) + "\n";
  }
  parse(text);
  rag_index_story(index_, story_);
  ASSERT_EQ(index_.chunk_count, 256);
  compare_with_plain_scan(index_, 60);
}

}  // namespace
