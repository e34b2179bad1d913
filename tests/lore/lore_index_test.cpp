#include "lore/lore_index.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "common/fixed_list.h"
#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

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

}  // namespace
