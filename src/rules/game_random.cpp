#include "rules/game_random.h"

void rules_random_seed(GameRandom& random, std::uint32_t seed) {
  if (seed == 0) seed = 1;
  // The words are the Lehmer sequence 16807^i * seed mod (2^31 - 1), computed
  // in the split form that never overflows; the seed is read as a signed word,
  // as the C library reads it.
  std::int32_t word = static_cast<std::int32_t>(seed);
  random.state[0] = word;
  for (int i = 1; i < GAME_RANDOM_DEGREE; ++i) {
    std::int64_t hi = word / 127773;
    std::int64_t lo = word % 127773;
    std::int64_t next = 16807 * lo - 2836 * hi;
    if (next < 0) next += 2147483647;
    word = static_cast<std::int32_t>(next);
    random.state[i] = word;
  }
  random.front = GAME_RANDOM_SEPARATION;
  random.rear = 0;
  // The first ten rounds mix the linear start away; their values are thrown out.
  for (int i = 0; i < GAME_RANDOM_DEGREE * 10; ++i) (void)rules_random_next(random);
}

std::int32_t rules_random_next(GameRandom& random) {
  // Additions wrap modulo 2^32, as in the C library.
  std::uint32_t sum = static_cast<std::uint32_t>(random.state[random.front]) +
                      static_cast<std::uint32_t>(random.state[random.rear]);
  random.state[random.front] = static_cast<std::int32_t>(sum);
  if (++random.front >= GAME_RANDOM_DEGREE) random.front = 0;
  if (++random.rear >= GAME_RANDOM_DEGREE) random.rear = 0;
  return static_cast<std::int32_t>(sum >> 1);
}

std::int32_t rules_random_below(GameRandom& random, std::int32_t bound) {
  if (bound < 1) return 0;
  return rules_random_next(random) % bound;
}
