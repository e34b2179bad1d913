// The settings record and config.json.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "common/fixed_text.h"

inline constexpr const char* CONFIG_DEFAULT_BROKER = "test.mosquitto.org";
inline constexpr std::size_t CONFIG_MAX_FILE_BYTES = 65536;

struct AppConfig {
  FixedText<128> gemini_api_key;
  FixedText<64> model;
  bool offline_mode;
  FixedText<16> language;
  bool show_token_usage;
  float typing_speed;
  bool music_enabled;
  float music_volume;
  FixedText<128> mqtt_broker;
  std::int32_t mqtt_port;
  FixedText<128> community_vault_repo;
};
static_assert(std::is_trivially_copyable_v<AppConfig>);

void config_set_defaults(AppConfig& config);
// Sets the defaults, then reads the keys found in `path`. False (defaults in
// force) when the file is not a readable regular file of 1 to 65,536 bytes.
bool config_load(AppConfig& config, const char* path);
// Writes the fixed 13-line layout atomically (mode 0600). False when any step fails;
// the previous file is then left as it was.
bool config_save(const AppConfig& config, const char* path);
bool extract_json_bool(std::string_view text, const char* key, bool fallback);
double extract_json_double(std::string_view text, const char* key, double fallback);
