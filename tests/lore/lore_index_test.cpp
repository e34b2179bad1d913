#include "lore/lore_index.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fixed_list.h"

namespace {

class LoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    story_ = static_cast<Story*>(std::calloc(1, sizeof(Story)));
    index_ = static_cast<LoreIndex*>(std::calloc(1, sizeof(LoreIndex)));
    ASSERT_NE(story_, nullptr);
    ASSERT_NE(index_, nullptr);
  }
  void TearDown() override {
    std::free(story_);
    std::free(index_);
  }

  StorySection* add_section(std::string_view id, std::string_view title, std::string_view text,
                            std::string_view lore = {}) {
    StorySection* s = list_append(story_->sections, story_->section_count);
    if (s == nullptr) return nullptr;
    s->id.assign(id);
    s->title.assign(title);
    s->text.assign(text);
    s->lore_text.assign(lore);
    return s;
  }
  void add_lore(std::string_view name, std::string_view text, std::string_view section) {
    LoreEntry* e = list_append(story_->lore, story_->lore_count);
    ASSERT_NE(e, nullptr);
    e->name.assign(name);
    e->text.assign(text);
    e->section_id.assign(section);
  }
  const LoreChunk& chunk(int k) const { return index_->chunks[k]; }
  std::int32_t query(std::string_view q, LoreHit* hits, std::int32_t wanted) {
    rag_index_story(*index_, *story_);
    return rag_query(*index_, q, hits, wanted);
  }

  Story* story_ = nullptr;
  LoreIndex* index_ = nullptr;
};

TEST_F(LoreTest, BuildsChunksInStoryOrder) {
  story_->title.assign("La Cripta");
  story_->description.assign("Un descenso");
  add_lore("Reino", "Antiguo reino", "0");
  add_section("1", "Entrada", "Cuerpo uno", "Lore uno");
  add_section("2", "Pasillo", "Cuerpo dos");
  add_section("3", "Sala", "", "Solo lore");
  add_section("4", "Vacia", "");
  rag_index_story(*index_, *story_);

  struct Expected {
    const char* kind;
    const char* ref;
    const char* title;
    const char* text;
  };
  const Expected expected[] = {
      {"meta", "0", "Sinopsis", "La Cripta: Un descenso"},
      {"lore", "0", "Reino", "Antiguo reino"},
      {"section_lore", "1", "Lore de Entrada", "Lore uno"},
      {"scene", "1", "Escena: Entrada", "Cuerpo uno"},
      {"scene", "2", "Escena: Pasillo", "Cuerpo dos"},
      {"section_lore", "3", "Lore de Sala", "Solo lore"},
  };
  ASSERT_EQ(index_->chunk_count, 6);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(chunk(k).kind.view(), expected[k].kind);
    EXPECT_EQ(chunk(k).ref_id.view(), expected[k].ref);
    EXPECT_EQ(chunk(k).title.view(), expected[k].title);
    EXPECT_EQ(chunk(k).text.view(), expected[k].text);
  }

  // Indexing again starts from an empty index.
  story_->section_count = 0;
  story_->lore_count = 0;
  rag_index_story(*index_, *story_);
  EXPECT_EQ(index_->chunk_count, 1);
  EXPECT_TRUE(chunk(1).title.empty());
}

TEST_F(LoreTest, CutsTitlesAndTexts) {
  std::string long_title(200, 't');
  add_section("1", long_title, std::string(1100, 'x'), std::string(1100, 'y'));
  add_lore(std::string(127, 'n'), std::string(1500, 'z'), "1");
  rag_index_story(*index_, *story_);
  ASSERT_EQ(index_->chunk_count, 4);
  EXPECT_EQ(chunk(1).text.view(), std::string(1023, 'z'));
  EXPECT_EQ(chunk(2).title.view(), "Lore de " + std::string(119, 't'));
  EXPECT_EQ(chunk(2).text.view(), std::string(1023, 'y'));
  EXPECT_EQ(chunk(3).title.view(), "Escena: " + std::string(119, 't'));
  EXPECT_EQ(chunk(3).text.view(), std::string(1023, 'x'));
}

TEST_F(LoreTest, SceneTextLosesBracketedSpans) {
  const struct {
    std::string body;
    std::string indexed;
  } cases[] = {
      {"Abres la puerta [ITEM: llave] y entras.", "Abres la puerta  y entras."},
      {"a [b [c] d] e", "a  d e"},  // spans do not nest
      {"antes [sin cierre y mas", "antes "},
      {"a ] b", "a  b"},
      // 1023 bytes are kept after the spans are removed.
      {"[tag]" + std::string(1100, 'x'), std::string(1023, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    story_->section_count = 0;
    add_section("1", "S", c.body);
    rag_index_story(*index_, *story_);
    ASSERT_EQ(index_->chunk_count, 2);
    EXPECT_EQ(chunk(1).text.view(), c.indexed);
  }
}

TEST_F(LoreTest, KeepsOnlyTheFirst256Chunks) {
  // Synopsis + 127 sections with lore and body: 255 chunks, one short of full.
  for (int s = 1; s <= 127; ++s) add_section(std::to_string(s), "S", "cuerpo", "lore");
  rag_index_story(*index_, *story_);
  EXPECT_EQ(index_->chunk_count, 255);

  // The 128th section brings chunks 256 and 257: its scene is left out.
  add_section("128", "S", "cuerpo", "lore");
  rag_index_story(*index_, *story_);
  ASSERT_EQ(index_->chunk_count, 256);
  EXPECT_EQ(chunk(255).kind.view(), "section_lore");
  EXPECT_EQ(chunk(255).ref_id.view(), "128");

  // A lore passage comes before the sections and pushes one more chunk off.
  add_lore("Reino", "texto", "0");
  rag_index_story(*index_, *story_);
  ASSERT_EQ(index_->chunk_count, 256);
  EXPECT_EQ(chunk(1).kind.view(), "lore");
  EXPECT_EQ(chunk(255).kind.view(), "scene");
  EXPECT_EQ(chunk(255).ref_id.view(), "127");
}

TEST_F(LoreTest, QueriesWithoutTermsFindNothing) {
  add_section("1", "de la que", "de la que para como PARA el yo");
  LoreHit hits[2];
  std::memset(static_cast<void*>(hits), 0, sizeof(hits));
  hits[0].score = -7.0f;
  for (const char* q : {"de la que", "", " .,;:!?()[]\"' ", "Para COMO porque", "el yo tu"}) {
    SCOPED_TRACE(q);
    EXPECT_EQ(query(q, hits, 2), 0);
    EXPECT_EQ(hits[0].score, -7.0f);  // nothing written
  }
  EXPECT_EQ(query("cuerpo", nullptr, 2), 0);
  EXPECT_EQ(rag_query(*index_, "para", hits, 0), 0);
  EXPECT_EQ(rag_query(*index_, "para", hits, -1), 0);
  EXPECT_EQ(rag_query(*index_, std::string_view(), hits, 1), 0);
}

TEST_F(LoreTest, OnlyTheFirst16TermsCount) {
  add_section("1", "S", "aqui esta zzq");
  std::string fifteen;
  for (int k = 0; k < 15; ++k) fifteen += "t" + std::to_string(k + 10) + " ";  // t10 .. t24
  LoreHit hit;
  // Stop words and short words take no term slot.
  EXPECT_EQ(query(fifteen + "de la que para zzq", &hit, 1), 1);
  EXPECT_EQ(query(fifteen + "t99 zzq", &hit, 1), 0);
  // A word repeated in the query is two terms and scores twice.
  ASSERT_EQ(query("zzq", &hit, 1), 1);
  EXPECT_EQ(hit.score, 1.0f);
  ASSERT_EQ(query("zzq ZZQ", &hit, 1), 1);
  EXPECT_EQ(hit.score, 2.0f);
}

TEST_F(LoreTest, ScoresTitleOnceTextByOccurrenceAndLoreByFactor) {
  story_->title.assign("Sinopsis");
  story_->description.assign("sinopsis y SINOPSIS");
  add_section("1", "La llave", "nada", "Una llave, dos llaves y otra LLAVE.");
  add_section("2", "eco eco eco", "aaaaaaa");
  LoreHit hits[3];

  ASSERT_EQ(query("Llave", hits, 3), 2);
  EXPECT_EQ(hits[0].title.view(), "Lore de La llave");
  EXPECT_EQ(hits[0].text.view(), "Una llave, dos llaves y otra LLAVE.");
  EXPECT_EQ(hits[0].score, (4.0f + 3.0f) * 1.3f);
  EXPECT_EQ(hits[1].title.view(), "Escena: La llave");
  EXPECT_EQ(hits[1].score, 4.0f);

  // The meta chunk has no factor; its title "Sinopsis" and text "Sinopsis: ..." match.
  ASSERT_EQ(query("sinopsis", hits, 3), 1);
  EXPECT_EQ(hits[0].score, 4.0f + 3.0f);

  // Title bonus once however often the term occurs there; text counted
  // without overlap: "aaa" occurs twice in "aaaaaaa".
  ASSERT_EQ(query("eco aaa", hits, 3), 1);
  EXPECT_EQ(hits[0].score, 4.0f + 2.0f);
}

TEST_F(LoreTest, CountsMatchesAnywhereInTheText) {
  // Matches at every offset, across the steps of the search, up to the last
  // byte of a full-length text; for every search width this processor runs.
  const struct {
    std::string text;
    std::string term;
    float score;
  } cases[] = {
      {std::string(100, 'a'), "aaa", 33.0f},
      {std::string(1023, 'a'), "aaa", 341.0f},
      {std::string(960, 'x') + std::string(63, 'b'), std::string(63, 'b'), 1.0f},
      {std::string(1021, 'x') + "ab", "xab", 1.0f},
      {"abcabcab", "abcab", 1.0f},
      {"ab", "abc", 0.0f},
  };
  LoreHit hit;
  for (int width : {1, 16, 32}) {
    SCOPED_TRACE(rag_set_search_width(width));
    for (std::size_t length : {3u, 31u, 64u, 65u, 200u, 1023u}) {
      for (std::size_t at = 0; at + 5 <= length; at += (at < 70 ? 1 : 37)) {
        std::string text(length, 'x');
        text.replace(at, 5, "LLAVE");
        story_->section_count = 0;
        add_section("1", "llave llave", text);
        ASSERT_EQ(query("llave", &hit, 1), 1) << length << " " << at;
        EXPECT_EQ(hit.score, 5.0f) << length << " " << at;
      }
    }
    for (const auto& c : cases) {
      story_->section_count = 0;
      add_section("1", "S", c.text);
      EXPECT_EQ(query(c.term, &hit, 1), c.score > 0 ? 1 : 0) << c.term;
      if (c.score > 0) {
        EXPECT_EQ(hit.score, c.score) << c.term;
      }
    }
  }
  rag_set_search_width(32);
}

TEST_F(LoreTest, FoldsOnlyAsciiLetters) {
  add_section("1", "S", "Árbol ¿Puerta?");
  add_section("2", "S", "árbol puerta");
  LoreHit hits[2];
  // Accented capitals stay as they are; the ASCII letters fold.
  ASSERT_EQ(query("ÁRBOL", hits, 2), 1);
  EXPECT_EQ(hits[0].text.view(), "Árbol ¿Puerta?");
  ASSERT_EQ(query("áRBOL", hits, 2), 1);
  EXPECT_EQ(hits[0].text.view(), "árbol puerta");
  // The inverted question mark is not a delimiter: it stays part of the term.
  ASSERT_EQ(query("¿PUERTA", hits, 2), 1);
  EXPECT_EQ(hits[0].text.view(), "Árbol ¿Puerta?");
}

TEST_F(LoreTest, ExchangeSortOrderOnTies) {
  // Scores in index order: 1, 1, 2. The swap that brings the 2 to the front
  // carries the first 1 past the second: the order is S3, S2, S1 (a stable
  // sort would give S3, S1, S2).
  add_section("1", "A", "eco");
  add_section("2", "B", "eco");
  add_section("3", "C", "eco eco");
  LoreHit hits[5];
  std::memset(static_cast<void*>(hits), 0, sizeof(hits));
  hits[3].score = -1.0f;
  ASSERT_EQ(query("eco", hits, 5), 3);
  EXPECT_EQ(hits[0].title.view(), "Escena: C");
  EXPECT_EQ(hits[1].title.view(), "Escena: B");
  EXPECT_EQ(hits[2].title.view(), "Escena: A");
  EXPECT_EQ(hits[3].score, -1.0f);

  ASSERT_EQ(query("eco", hits, 2), 2);
  EXPECT_EQ(hits[0].title.view(), "Escena: C");
  EXPECT_EQ(hits[1].title.view(), "Escena: B");
}

}  // namespace
