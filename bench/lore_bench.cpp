// Lore memory at full capacity: building the index from the largest story and
// answering queries of 16 terms. Targets: indexing under 2 ms (two walks over
// every word to build the word table), a query under 0.1 ms (median).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/fixed_list.h"
#include "lore/lore_index.h"
#include "story_gen.h"

namespace {

using bench_story::Rng;
using bench_story::varied_words;

// Two fixed vocabularies, so texts and queries are the same on every run.
// Varied: 4,096 generated words, like real prose, where a term occurs in a
// few passages. Narrow: 48 words, the worst case, where every passage holds
// every term several times and every passage is a candidate.
std::vector<std::string> narrow_words() {
  return {"antorcha", "llave",  "puerta", "cripta",   "sombra", "espada",   "piedra",  "torre",
          "hechizo",  "dragon", "bosque", "camino",   "ruinas", "templo",   "guardia", "muralla",
          "cadena",   "runas",  "niebla", "campana",  "altar",  "reliquia", "pasillo", "escalera",
          "sangre",   "fuego",  "hielo",  "trueno",   "cuervo", "lobo",     "mapa",    "brujula",
          "veneno",   "pocion", "escudo", "martillo", "cofre",  "moneda",   "corona",  "trono",
          "susurro",  "eco",    "grieta", "abismo",   "puente", "rio",      "barca",   "faro"};
}

struct Corpus {
  std::vector<std::string> words;
  Rng rng{12345};
  const std::string& word() { return words[rng.next() % words.size()]; }

  // Prose of `length` bytes, with an inline tag every forty words when asked.
  std::string prose(std::size_t length, bool tags) {
    std::string text;
    int count = 0;
    while (text.size() < length) {
      text += word();
      ++count;
      if (tags && count % 40 == 0) text += " [ITEM: llave de hierro]";
      text += count % 12 == 0 ? ". " : " ";
    }
    text.resize(length);
    return text;
  }
};

// Every capacity full: 64 lore passages and 128 sections with body and lore
// at their longest, more than the 256 passages the index keeps.
Story* build_full_story(Corpus& corpus) {
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  story->title.assign("La cripta sin nombre");
  story->description.assign(corpus.prose(1023, false));
  for (int k = 0; k < STORY_MAX_LORE; ++k) {
    LoreEntry* entry = list_append(story->lore, story->lore_count);
    entry->name.assign("Leyenda de " + corpus.word());
    entry->text.assign(corpus.prose(2047, false));
    entry->section_id.assign(std::to_string(k % STORY_MAX_SECTIONS + 1));
  }
  for (int k = 0; k < STORY_MAX_SECTIONS; ++k) {
    StorySection* section = list_append(story->sections, story->section_count);
    section->id.assign(std::to_string(k + 1));
    section->title.assign("La " + corpus.word() + " del " + corpus.word());
    section->text.assign(corpus.prose(8191, true));
    section->lore_text.assign(corpus.prose(2047, false));
  }
  return story;
}

// 1,000 queries of 16 terms; one term in four occurs in no text.
std::vector<std::string> build_queries(Corpus& corpus) {
  std::vector<std::string> queries;
  for (int q = 0; q < 1000; ++q) {
    std::string query;
    for (int t = 0; t < LORE_MAX_TERMS; ++t) {
      query += corpus.rng.next() % 4 == 0 ? "zq" + corpus.word() : corpus.word();
      query += ' ';
    }
    queries.push_back(query);
  }
  return queries;
}

struct Fixture {
  Story* story;
  LoreIndex* index;
  std::vector<std::string> queries;
  explicit Fixture(std::vector<std::string> words) {
    Corpus corpus{std::move(words)};
    story = build_full_story(corpus);
    index = static_cast<LoreIndex*>(std::calloc(1, sizeof(LoreIndex)));
    queries = build_queries(corpus);
    rag_index_story(*index, *story);
  }
};

Fixture& fixture(std::int64_t narrow) {
  static Fixture varied(varied_words());
  static Fixture worst(narrow_words());
  return narrow != 0 ? worst : varied;
}

void BM_IndexFullStory(benchmark::State& state) {
  Fixture& f = fixture(state.range(0));
  for (auto _ : state) {
    rag_index_story(*f.index, *f.story);
    benchmark::DoNotOptimize(f.index->chunk_count);
  }
  state.counters["chunks"] = f.index->chunk_count;
  state.counters["words"] = f.index->words.ready != 0 ? f.index->words.word_count : -1;
}
BENCHMARK(BM_IndexFullStory)->ArgName("narrow")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The 1,000 queries one by one; reports the median and 90th percentile of
// one query's time. The second argument is the widest search step in bytes.
void BM_Query16Terms(benchmark::State& state) {
  Fixture& f = fixture(state.range(0));
  state.counters["width"] = rag_set_search_width(static_cast<int>(state.range(1)));
  LoreHit hits[2];
  std::vector<double> micros(f.queries.size());
  std::int64_t found = 0;
  for (auto _ : state) {
    for (std::size_t q = 0; q < f.queries.size(); ++q) {
      auto start = std::chrono::steady_clock::now();
      found += rag_query(*f.index, f.queries[q], hits, 2);
      micros[q] =
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count();
    }
  }
  benchmark::DoNotOptimize(found);
  std::sort(micros.begin(), micros.end());
  state.counters["median_query_us"] = micros[micros.size() / 2];
  state.counters["p90_query_us"] = micros[micros.size() * 9 / 10];
  rag_set_search_width(32);
}
BENCHMARK(BM_Query16Terms)
    ->ArgNames({"narrow", "width"})
    ->ArgsProduct({{0, 1}, {32, 16, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
