// The list of saved games shown by the resume flow.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/fixed_text.h"

struct SaveSummary {
  FixedText<256> file_name;  // room for the longest slug's file name
  FixedText<128> story_title;
  FixedText<128> story_slug;
  FixedText<32> saved_at;
  FixedText<32> current_section_id;
  FixedText<64> hero_name;
  std::int32_t hp;
  std::int32_t max_hp;
};
static_assert(std::is_trivially_copyable_v<SaveSummary>);

std::int32_t save_manager_list_saves(const char* folder, SaveSummary* rows, std::int32_t capacity);
