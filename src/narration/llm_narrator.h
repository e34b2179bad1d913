// Narration of an action by the hosted language model, through curl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "character/character.h"
#include "config/config.h"
#include "lore/lore_index.h"
#include "rules/dice.h"
#include "story/story.h"

struct LlmTotals {
  std::uint32_t prompt_total;
  std::uint32_t output_total;
};

struct TokenCounters {
  std::uint32_t last_prompt;
  std::uint32_t last_output;
  std::uint32_t last_total;
  std::uint32_t session_prompt;
  std::uint32_t session_output;
  std::uint32_t session_total;
};
static_assert(std::is_trivially_copyable_v<TokenCounters>);

void llm_init(LlmTotals& totals);
// Writes the narration into `out`; true when it came from the model, false
// when the offline narrator wrote it (offline mode, no key, any failure).
bool llm_narrate_action(LlmTotals* totals, const AppConfig* config, const Character* hero,
                        const StorySection* section, const char* action, const RollResult* roll,
                        const char* result, const LoreHit* lore, char* out, std::size_t capacity,
                        TokenCounters* counters);
std::int32_t extract_int_field(std::string_view json, const char* field);
