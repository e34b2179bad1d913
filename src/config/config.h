// The settings record and config.json.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/fixed_text.h"

inline constexpr const char* CONFIG_DEFAULT_BROKER = "test.mosquitto.org";
inline constexpr std::size_t CONFIG_MAX_FILE_BYTES = 65536;
// Slowest typewriter pause read from the file, in seconds per two bytes: twice
// the slowest speed the game offers. A larger value would stall every scene.
inline constexpr float CONFIG_MAX_TYPING_SPEED = 0.05f;
inline constexpr int CONFIG_MAX_WARNINGS = 16;            // one per key, with room to spare
inline constexpr std::size_t CONFIG_WARNING_BYTES = 256;  // one warning line

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

// What a load found at the path. Only a missing or empty file holds nothing
// worth keeping; the others must not be written over unasked.
enum class ConfigFileState : std::uint8_t {
  kLoaded,
  kMissing,
  kEmpty,  // 0 bytes, or only white space
  kNotRegular,
  kUnreadable,
  kTooLarge,
  kMalformed,
};

// The outcome of a load, for the caller to show: Spanish warning lines, the
// first one saying why the file was refused when it was.
struct ConfigReport {
  ConfigFileState state;
  FixedText<CONFIG_WARNING_BYTES> warnings[CONFIG_MAX_WARNINGS];
  std::int32_t warning_count;
};
static_assert(std::is_trivially_copyable_v<ConfigReport>);

void config_set_defaults(AppConfig& config);
// Sets the defaults, then reads `text` as a JSON object: known keys with a
// value of the right type are taken (the first occurrence of a key counts),
// unknown keys are ignored, a wrong type keeps that key's default with a
// warning, and typing_speed is clamped into 0..CONFIG_MAX_TYPING_SPEED. False,
// with every default in force, when the text is not a JSON object. `name` is
// the file named in the warnings.
bool config_parse(AppConfig& config, std::string_view text, const char* name, ConfigReport* report);
// Sets the defaults, then reads `path`. False (defaults in force) unless it is
// a readable regular file of 1 to 65,536 bytes holding a JSON object.
bool config_load(AppConfig& config, const char* path, ConfigReport* report = nullptr);
// What a save of the settings does to what stands at the settings path now.
enum class ConfigReplacement : std::uint8_t {
  kWrite,     // nothing there: the file is written
  kBackup,    // a regular file: config_keep_backup can keep it, then it is replaced
  kReadOnly,  // a regular file this process may not write: it is left alone
  kLink,      // a symbolic link: replaced by a file, its target left as it is
  kFolder,    // a folder: the save fails
  kOther,     // a FIFO, socket or device: replaced by a file, nothing kept
};
ConfigReplacement config_replacement(const char* path);

// The fixed 13-line layout of the settings file.
void config_format(const AppConfig& config, std::string& out);
// Writes the fixed 13-line layout atomically (mode 0600). False when any step fails,
// and without writing when `path` is a read-only file (errno EACCES): the
// previous file is then left as it was.
bool config_save(const AppConfig& config, const char* path);
// Keeps the regular file at `path` as `backup_path` (a hard link, or a copy
// where links are refused), replacing an older backup. True when the file was
// kept or there is no regular file at `path` to keep.
bool config_keep_backup(const char* path, const char* backup_path);
