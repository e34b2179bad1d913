// What every settings text must satisfy, whatever its bytes: shared by the libFuzzer target and by
// the corpus replay test.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "config/config.h"
#include "fuzz_check.h"

namespace config_invariants {

using namespace fuzz_check;

// Parses `text`; a settings record it yields must be in range, and what the writer makes of it must
// read back as the same record and write the same bytes again. The two speeds are written with four
// and two decimals, so they are compared as written.
inline Failure check_round_trip(std::string_view text) {
  static AppConfig first, second;
  static ConfigReport report;
  if (!config_parse(first, text, "config.json", &report))
    return report.state == ConfigFileState::kLoaded ? "a refused text reported as loaded" : nullptr;
  if (report.warning_count < 0 || report.warning_count > CONFIG_MAX_WARNINGS)
    return "warning count out of range";
  if (!terminated(first.gemini_api_key, first.model, first.language, first.mqtt_broker,
                  first.community_vault_repo))
    return "unterminated text";
  if (!(first.typing_speed >= 0.0f && first.typing_speed <= CONFIG_MAX_TYPING_SPEED))
    return "typing speed out of range";
  std::string written, again;
  config_format(first, written);
  if (!config_parse(second, written, "config.json", &report)) return "written text refused";
  if (report.warning_count != 0) return "written text warned";
  config_format(second, again);
  if (again != written) return "second write differs";
  second.typing_speed = first.typing_speed;
  second.music_volume = first.music_volume;
  if (std::memcmp(&first, &second, sizeof first) != 0) return "record differs after a round trip";
  return nullptr;
}

}  // namespace config_invariants
