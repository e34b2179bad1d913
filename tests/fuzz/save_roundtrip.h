// The property the save fuzz target and its replay check: whatever a save text reads as, writing
// that hero, section and visited sections again and reading the result gives the same record, and
// the written text holds no raw control byte.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "savegame/save_file.h"

namespace save_roundtrip {

inline fuzz_check::Failure check(std::string_view text) {
  static Character first, second;
  static SaveVisited seen, seen_again;
  char id[32] = "";
  save_parse_text(text, id, sizeof id, first, &seen);
  // The visited sections are a list of distinct ids within its capacity.
  if (seen.count < 0 || seen.count > STORY_MAX_SECTIONS) return "the visited count left its list";
  for (int i = 0; i < seen.count; ++i)
    for (int j = 0; j < i; ++j)
      if (seen.ids[i] == seen.ids[j].view()) return "a visited section was kept twice";
  const std::string written = save_build_text("s", "T", id, "", first, "AAAA-MM-DD HH:MM", &seen);
  if (fuzz_check::holds_control(written, "\n")) return "a raw control byte was written";
  char id_again[32] = "";
  save_parse_text(written, id_again, sizeof id_again, second, &seen_again);
  // A file without a section id is written with the start section, "1".
  if (std::string_view(id_again) != (id[0] != '\0' ? std::string_view(id) : "1"))
    return "the section id changed";
  if (std::memcmp(&first, &second, sizeof first) != 0) return "the hero changed";
  // Written, the key is always there; its ids read back in the same order.
  if (!seen_again.present || seen_again.count != seen.count) return "the visited sections changed";
  for (int i = 0; i < seen.count; ++i)
    if (!(seen_again.ids[i] == seen.ids[i].view())) return "a visited section changed";
  return nullptr;
}

}  // namespace save_roundtrip
