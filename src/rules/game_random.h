// The pseudo-random generator of one adventure: the dice, the offline
// narrator's flavour picks and the dice animation all draw from it.
#pragma once

#include <cstdint>
#include <type_traits>

// The additive feedback generator the C library's rand() uses (degree 31,
// separation 3), kept in a record of its own so every adventure has its own
// stream. Seeded with N it yields exactly what the C library's generator
// yields once seeded with N, so an adventure seeded with 1 rolls what the
// never-seeded generator always rolled.
inline constexpr int GAME_RANDOM_DEGREE = 31;
inline constexpr int GAME_RANDOM_SEPARATION = 3;
inline constexpr std::int32_t GAME_RANDOM_MAX = 2147483647;

struct GameRandom {
  std::int32_t state[GAME_RANDOM_DEGREE];
  std::int32_t front;  // index of the word the next draw updates
  std::int32_t rear;   // index of the word added to it
};
static_assert(std::is_trivially_copyable_v<GameRandom>);

// Seeds the generator; a seed of 0 counts as 1.
void rules_random_seed(GameRandom& random, std::uint32_t seed);
// The next value, from 0 to GAME_RANDOM_MAX.
std::int32_t rules_random_next(GameRandom& random);
// A value from 0 to `bound` - 1 as `rand() % bound` gives it; 0 when `bound` < 1.
std::int32_t rules_random_below(GameRandom& random, std::int32_t bound);
