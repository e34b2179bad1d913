// The property the save fuzz target and its replay check: whatever a save
// text reads as, writing that hero and section again and reading the result
// gives the same record, and the written text holds no raw control byte.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "savegame/save_file.h"

namespace save_roundtrip {

// nullptr when the property holds, else what broke it.
inline const char* check(std::string_view text) {
  static Character first, second;
  char id[32] = "";
  save_parse_text(text, id, sizeof id, first);
  const std::string written = save_build_text("s", "T", id, "", first, "AAAA-MM-DD HH:MM");
  for (char c : written) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n') || byte == 0x7F) return "a raw control byte was written";
  }
  char id_again[32] = "";
  save_parse_text(written, id_again, sizeof id_again, second);
  // A file without a section id is written with the start section, "1".
  if (std::string_view(id_again) != (id[0] != '\0' ? std::string_view(id) : "1")) {
    return "the section id changed";
  }
  if (std::memcmp(&first, &second, sizeof first) != 0) return "the hero changed";
  return nullptr;
}

}  // namespace save_roundtrip
