#include "narration/offline_narrator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

RollResult roll_with(std::int32_t outcome) {
  RollResult roll;
  std::memset(static_cast<void*>(&roll), 0, sizeof(roll));
  roll.outcome = outcome;
  return roll;
}

LoreHit hit_with(std::string_view title, std::string_view text) {
  LoreHit hit;
  std::memset(static_cast<void*>(&hit), 0, sizeof(hit));
  hit.title.assign(title);
  hit.text.assign(text);
  hit.score = 1.0f;
  return hit;
}

std::string describe(const char* action, const RollResult* roll, const char* result,
                     const LoreHit* lore, std::size_t capacity = 4096) {
  std::string out(capacity, 'X');
  offline_narrator_describe_action(action, roll, result, lore, out.data(), capacity);
  return std::string(out.c_str());
}

TEST(OfflineNarrator, ChecksDrawAFlavourSentenceByTier) {
  const struct {
    std::int32_t outcome;
    const std::array<const char*, 3>* table;
  } cases[] = {
      {OUTCOME_CRIT_SUCCESS, &CRIT_SUCCESS_FLAVOR},
      {OUTCOME_SUCCESS, &SUCCESS_FLAVOR},
      {OUTCOME_COST, &COST_FLAVOR},
      {OUTCOME_FAILURE, &FAILURE_FLAVOR},
      {OUTCOME_CRIT_FAILURE, &CRIT_FAILURE_FLAVOR},
      {6, &FAILURE_FLAVOR},
      {-3, &FAILURE_FLAVOR},
  };
  for (unsigned seed = 1; seed <= 4; ++seed) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.outcome);
      std::srand(seed);
      int r = std::rand();
      std::srand(seed);
      RollResult roll = roll_with(c.outcome);
      std::string sentence = (*c.table)[static_cast<std::size_t>(r % 3)];
      EXPECT_EQ(describe("abrir", &roll, "Pierdes 2 PV.", nullptr), sentence + " Pierdes 2 PV.");
      // Without a result text the output ends in the separating space.
      std::srand(seed);
      EXPECT_EQ(describe("abrir", &roll, nullptr, nullptr), sentence + " ");
    }
  }
  std::srand(1);
}

TEST(OfflineNarrator, WithoutCheckUsesResultThenActionAndDrawsNothing) {
  RollResult none = roll_with(OUTCOME_NONE);
  std::srand(9);
  int first = std::rand();
  std::srand(9);
  EXPECT_EQ(describe("mirar", nullptr, "Investigación del entorno.", nullptr),
            "Investigación del entorno.");
  EXPECT_EQ(describe("mirar", &none, nullptr, nullptr), "mirar");
  EXPECT_EQ(describe(nullptr, &none, nullptr, nullptr), "");
  EXPECT_EQ(std::rand(), first);  // no value was drawn
  std::srand(1);
}

TEST(OfflineNarrator, AppendsTheLoreBlock) {
  LoreHit hit = hit_with("Escena: Cripta", "Huesos \"viejos\".");
  EXPECT_EQ(describe(nullptr, nullptr, "Investigación del entorno.", &hit),
            "Investigación del entorno.\n\n[📖 Detalle descubierto: Escena: Cripta]\n"
            "\"Huesos \"viejos\".\"");
  LoreHit untitled = hit_with("", "texto");
  EXPECT_EQ(describe(nullptr, nullptr, "R.", &untitled), "R.");

  // The block is cut at 1023 bytes on its own.
  LoreHit big = hit_with(std::string(127, 't'), std::string(1023, 'x'));
  std::string block = describe(nullptr, nullptr, "", &big);
  EXPECT_EQ(block.size(), 1023u);
  EXPECT_EQ(block.substr(0, 30), "\n\n[📖 Detalle descubierto: t");
}

TEST(OfflineNarrator, CutsToCapacity) {
  EXPECT_EQ(describe(nullptr, nullptr, "abcdefghij", nullptr, 5), "abcd");
  LoreHit hit = hit_with("T", "x");
  EXPECT_EQ(describe(nullptr, nullptr, "abc", &hit, 6), "abc\n\n");
  RollResult roll = roll_with(OUTCOME_SUCCESS);
  EXPECT_EQ(describe(nullptr, &roll, "r", nullptr, 4).size(), 3u);

  char untouched[4] = "abc";
  offline_narrator_describe_action("x", nullptr, "y", nullptr, untouched, 0);
  EXPECT_STREQ(untouched, "abc");
  offline_narrator_describe_action("x", nullptr, "y", nullptr, nullptr, 10);
  std::srand(1);
}

TEST(OfflineNarrator, DescribesScenes) {
  auto section = std::make_unique<StorySection>();
  std::memset(static_cast<void*>(section.get()), 0, sizeof(StorySection));
  section->text.assign("Una sala.");
  auto hero = std::make_unique<Character>();
  std::memset(static_cast<void*>(hero.get()), 0, sizeof(Character));
  const std::string warning =
      "\n\n⚠️ Apenas te mantienes en pie; la sangre y el agotamiento nublan tu vista.";

  auto scene = [&](const Character* h, std::size_t capacity = 4096) {
    std::string out(capacity, 'X');
    offline_narrator_describe_scene(section.get(), h, out.data(), capacity);
    return std::string(out.c_str());
  };
  EXPECT_EQ(scene(nullptr), "Una sala.");
  for (int hp : {0, 4, -2}) {
    hero->hp = hp;
    EXPECT_EQ(scene(hero.get()), "Una sala.") << hp;
  }
  for (int hp : {1, 3}) {
    hero->hp = hp;
    EXPECT_EQ(scene(hero.get()), "Una sala." + warning) << hp;
  }

  section->is_ending = true;
  const struct {
    const char* type;
    const char* banner;
  } endings[] = {
      {"victory", "🏆 ¡HAS ALCANZADO LA GLORIA! 🏆\n\n"},
      {"defeat", "💀 TU AVENTURA LLEGA A SU FIN 💀\n\n"},
      {"neutral", "📜 EPÍLOGO 📜\n\n"},
      {"", "📜 EPÍLOGO 📜\n\n"},
  };
  for (const auto& e : endings) {
    section->ending_type.assign(e.type);
    EXPECT_EQ(scene(nullptr), std::string(e.banner) + "Una sala.") << e.type;
  }
  section->ending_type.assign("defeat");
  EXPECT_EQ(scene(nullptr, 8), "💀 TU");
  offline_narrator_describe_scene(nullptr, nullptr, nullptr, 0);
}

}  // namespace
