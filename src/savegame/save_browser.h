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

// Every regular file of the folder (a link to one counts) whose name holds
// ".json" is a save, newest first
// (by modification time, then by name). Fills at most `capacity` rows with the
// saves from position `first` (0-based) on and returns how many it filled;
// `total`, when given, receives how many saves the folder holds.
std::int32_t save_manager_list_page(const char* folder, std::int32_t first, SaveSummary* rows,
                                    std::int32_t capacity, std::int32_t* total);
// The first `capacity` saves, newest first.
std::int32_t save_manager_list_saves(const char* folder, SaveSummary* rows, std::int32_t capacity);
