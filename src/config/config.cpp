#include "config/config.h"

#include <sys/stat.h>

#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/json_text.h"
#include "platform/platform.h"

namespace {

// Longest number text handed to the decimal conversion.
constexpr std::size_t CONFIG_NUMBER_CHARS = 63;
// config.json holds the language-model key: only its owner may read it.
constexpr mode_t CONFIG_FILE_MODE = 0600;

// The first occurrence of the quoted key wins wherever it stands, even outside
// the JSON structure; blanks and colons after it are skipped. Null keys find nothing.
std::size_t find_value(std::string_view text, const char* key) {
  if (key == nullptr) return std::string_view::npos;
  return json_text_find_value(text, key, JsonKeyStyle::kLoose);
}

// Reads a quoted text value into `out`, at most `limit` characters; leaves
// `out` alone when the value is not a quoted text.
template <std::size_t N>
void extract_text(std::string_view text, const char* key, FixedText<N>& out, std::size_t limit) {
  std::string value;
  if (json_text_read_quoted(text, key, JsonKeyStyle::kLoose, limit, value)) out.assign(value);
}

float to_float(double value) {
  if (value > FLT_MAX) return FLT_MAX;
  if (value < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(value);
}

// Truncates toward zero, saturating at the 32-bit limits.
std::int32_t to_int32(double value) {
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace

void config_set_defaults(AppConfig& config) {
  std::memset(&config, 0, sizeof config);
  config.model.assign("gemini-flash-lite-latest");
  config.offline_mode = false;
  config.language.assign("es");
  config.show_token_usage = true;
  config.typing_speed = 0.012f;
  config.music_enabled = true;
  config.music_volume = 0.7f;
  config.mqtt_broker.assign(CONFIG_DEFAULT_BROKER);
  config.mqtt_port = 1883;
  config.community_vault_repo.assign("oskel/Quillhaven-Vault");
}

bool extract_json_bool(std::string_view text, const char* key, bool fallback) {
  std::size_t at = find_value(text, key);
  if (at >= text.size()) return fallback;
  std::string_view rest = text.substr(at);
  if (rest.substr(0, 4) == "true") return true;
  if (rest.substr(0, 5) == "false") return false;
  return fallback;
}

double extract_json_double(std::string_view text, const char* key, double fallback) {
  std::size_t at = find_value(text, key);
  if (at >= text.size()) return fallback;
  char number[CONFIG_NUMBER_CHARS + 1];
  std::size_t used = 0;
  while (at < text.size() && used < CONFIG_NUMBER_CHARS) {
    char c = text[at];
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')) break;
    number[used++] = c;
    ++at;
  }
  if (used == 0) return fallback;
  number[used] = '\0';
  // The longest valid leading part counts: "1.2.3" is 1.2, a lone "-" is 0.
  return std::strtod(number, nullptr);
}

bool config_load(AppConfig& config, const char* path) {
  if (path == nullptr) return false;
  config_set_defaults(config);
  std::string content;
  if (!platform_read_regular_file(path, CONFIG_MAX_FILE_BYTES, content)) return false;
  if (content.empty()) return false;

  // The file is read as one terminated text: a NUL byte ends it.
  std::string_view text = json_text_until_nul(content);
  extract_text(text, "gemini_api_key", config.gemini_api_key, 127);
  extract_text(text, "model", config.model, 63);
  config.offline_mode = extract_json_bool(text, "offline_mode", config.offline_mode);
  extract_text(text, "language", config.language, 15);
  config.show_token_usage = extract_json_bool(text, "show_token_usage", config.show_token_usage);
  config.typing_speed = to_float(extract_json_double(text, "typing_speed", config.typing_speed));
  config.music_enabled = extract_json_bool(text, "music_enabled", config.music_enabled);
  config.music_volume = to_float(extract_json_double(text, "music_volume", config.music_volume));
  extract_text(text, "mqtt_broker", config.mqtt_broker, 127);
  config.mqtt_port = to_int32(extract_json_double(text, "mqtt_port", config.mqtt_port));
  extract_text(text, "community_vault_repo", config.community_vault_repo, 127);
  return true;
}

bool config_save(const AppConfig& config, const char* path) {
  if (path == nullptr) return false;
  std::string out = "{\n  \"gemini_api_key\": ";
  json_text_append_quoted(out, config.gemini_api_key.view());
  out += ",\n  \"model\": ";
  json_text_append_quoted(out, config.model.view());
  out += ",\n  \"offline_mode\": ";
  out += config.offline_mode ? "true" : "false";
  out += ",\n  \"language\": ";
  json_text_append_quoted(out, config.language.view());
  out += ",\n  \"show_token_usage\": ";
  out += config.show_token_usage ? "true" : "false";

  char number[128];  // room for the widest float written with four decimals
  std::snprintf(number, sizeof number, ",\n  \"typing_speed\": %.4f", config.typing_speed);
  out += number;
  out += ",\n  \"music_enabled\": ";
  out += config.music_enabled ? "true" : "false";
  std::snprintf(number, sizeof number, ",\n  \"music_volume\": %.2f", config.music_volume);
  out += number;
  out += ",\n  \"mqtt_broker\": ";
  json_text_append_quoted(out, config.mqtt_broker.view());
  std::snprintf(number, sizeof number, ",\n  \"mqtt_port\": %d", config.mqtt_port);
  out += number;
  out += ",\n  \"community_vault_repo\": ";
  json_text_append_quoted(out, config.community_vault_repo.view());
  out += "\n}\n";
  return platform_write_file_atomic(path, out, CONFIG_FILE_MODE);
}
