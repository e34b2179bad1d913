#include "lore/lore_index.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/fixed_list.h"

namespace {

class Lore : public ::testing::Test {
 protected:
  ~Lore() override {
    std::free(&story_);
    std::free(&index_);
    rag_set_search_width(32);
  }
  void section(std::string_view id, std::string_view title, std::string_view text,
               std::string_view lore = {}) {
    StorySection* s = list_append(story_.sections, story_.section_count);
    s->id.assign(id);
    s->title.assign(title);
    s->text.assign(text);
    s->lore_text.assign(lore);
  }
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

  Story& story_ = *static_cast<Story*>(std::calloc(1, sizeof(Story)));
  LoreIndex& index_ = *static_cast<LoreIndex*>(std::calloc(1, sizeof(LoreIndex)));
  LoreHit hits_[5] = {};
};

TEST_F(Lore, ChunksFollowTheStoryCutAndWithoutTags) {
  story_.title.assign("La Cripta");
  story_.description.assign("Un descenso");
  LoreEntry* entry = list_append(story_.lore, story_.lore_count);
  entry->name.assign("Reino");
  entry->text.assign(std::string(1500, 'z'));
  section("1", "Entrada", "Cuerpo uno", "Lore uno");
  section("2", std::string(200, 't'), "[tag]" + std::string(1100, 'x'));
  section("3", "Sala", "", "Solo lore");
  section("4", "Vacia", "");
  section("5", "S", "Abres [ITEM: llave] y [b [c] d] e ] f [sin cierre");  // spans do not nest
  EXPECT_EQ(chunks(), "meta 0|Sinopsis|La Cripta: Un descenso\nlore |Reino|" +
                          std::string(1023, 'z') +
                          "\nsection_lore 1|Lore de Entrada|Lore uno\n"
                          "scene 1|Escena: Entrada|Cuerpo uno\nscene 2|Escena: " +
                          std::string(119, 't') + "|" + std::string(1023, 'x') +
                          "\nsection_lore 3|Lore de Sala|Solo lore\n"
                          "scene 5|Escena: S|Abres  y  d e  f \n");
}

TEST_F(Lore, KeepsOnlyTheFirst256Chunks) {
  // Synopsis + 127 sections with lore and body: 255 chunks, one short of full.
  for (int s = 1; s <= 127; ++s) section(std::to_string(s), "S", "cuerpo", "lore");
  EXPECT_TRUE(chunks().ends_with("scene 127|Escena: S|cuerpo\n"));
  EXPECT_EQ(index_.chunk_count, 255);
  // The 128th section brings chunks 256 and 257: its scene is left out.
  section("128", "S", "cuerpo", "lore");
  EXPECT_TRUE(chunks().ends_with("section_lore 128|Lore de S|lore\n"));
  // A lore passage comes before the sections and pushes one more chunk off.
  list_append(story_.lore, story_.lore_count)->name.assign("Reino");
  EXPECT_TRUE(chunks().ends_with("scene 127|Escena: S|cuerpo\n"));
  EXPECT_EQ(index_.chunk_count, 256);
}

TEST_F(Lore, QueriesScoreAndRankChunks) {
  story_.title.assign("Sinopsis");
  story_.description.assign("sinopsis y SINOPSIS");
  section("1", "A", "eco ola de la que para como PARA el yo");
  section("2", "B", "eco ola");
  section("3", "C", "eco eco");
  section("4", "La llave", "nada", "Una llave, dos llaves y otra LLAVE.");
  section("5", "zzz zzz zzz", "aaaaaaa");
  hits_[3].score = -7.0f;
  // Stop words and words under three bytes are no terms, and find nothing.
  for (const char* q : {"de la que", "", " .,;:!?()[]\"' ", "Para COMO porque", "el yo tu"}) {
    EXPECT_EQ(query(q), "") << q;
  }
  EXPECT_EQ(rag_query(index_, "eco", hits_, 0) + rag_query(index_, "eco", nullptr, 2), 0);
  // Scores 1, 1, 2 in index order: the swap that brings the 2 to the front
  // carries the first 1 past the second (a stable sort would give C, A, B).
  EXPECT_EQ(query("eco", 5), "Escena: C=2;Escena: B=1;Escena: A=1;");
  EXPECT_EQ(hits_[3].score, -7.0f);  // nothing written past the hits
  EXPECT_EQ(query("eco", 2), "Escena: C=2;Escena: B=1;");
  EXPECT_EQ(query("ola"), "Escena: A=1;Escena: B=1;");  // equal scores are never swapped
  EXPECT_EQ(query("eco ECO", 1), "Escena: C=4;");       // a repeated word counts twice
  // Only the first 16 terms count.
  std::string fifteen;
  for (int k = 10; k < 25; ++k) fifteen += "t" + std::to_string(k) + " ";
  EXPECT_EQ(query(fifteen + "de la que para eco", 1), "Escena: C=2;");
  EXPECT_EQ(query(fifteen + "t99 eco"), "");
  // Lore passages weigh (4 + 3) * 1.3 in single precision; the meta chunk has
  // no factor; a title counts once; "aaa" occurs twice in "aaaaaaa".
  EXPECT_EQ(query("Llave"), "Lore de La llave=9.09999943;Escena: La llave=4;");
  EXPECT_EQ(query("sinopsis"), "Sinopsis=7;");
  EXPECT_EQ(query("zzz aaa"), "Escena: zzz zzz zzz=6;");
}

TEST_F(Lore, CountsMatchesAnywhereWithEverySearchWidth) {
  for (int width : {1, 16, 32}) {
    SCOPED_TRACE(rag_set_search_width(width));
    // One match at every offset, across the steps of the search, up to the
    // last byte of a full-length text.
    for (std::size_t length : {5u, 31u, 64u, 65u, 200u, 1023u}) {
      for (std::size_t at = 0; at + 5 <= length; at += (at < 70 ? 1 : 37)) {
        story_.section_count = 0;
        section("1", "llave llave", std::string(length, 'x').replace(at, 5, "LLAVE"));
        ASSERT_EQ(query("llave"), "Escena: llave llave=5;") << length << " " << at;
      }
    }
    section("2", "S", std::string(1023, 'a'));
    section("3", "T", std::string(960, 'x') + std::string(63, 'b'));
    EXPECT_EQ(query("aaa " + std::string(63, 'b')), "Escena: S=341;Escena: T=1;");
  }
}

}  // namespace
