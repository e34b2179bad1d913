#include "config/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/fixed_list.h"
#include "common/json_text.h"
#include "common/json_value.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace {

// config.json holds the language-model key: only its owner may read it.
constexpr mode_t CONFIG_FILE_MODE = 0600;
// Largest file config_keep_backup copies when it cannot link.
constexpr std::size_t CONFIG_MAX_BACKUP_BYTES = 64u * 1024 * 1024;

__attribute__((format(printf, 2, 3))) void warn(ConfigReport* report, const char* format, ...) {
  if (report == nullptr) return;
  FixedText<CONFIG_WARNING_BYTES>* line = list_append(report->warnings, report->warning_count);
  if (line == nullptr) return;
  char text[CONFIG_WARNING_BYTES];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  line->assign(text);
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

// Reads the members of one settings object into the record.
class KeyReader {
 public:
  KeyReader(const std::vector<JsonMember>& members, const char* name, ConfigReport* report)
      : members_(members), name_(name), report_(report) {}

  // The member when it has the expected type; otherwise nullptr, with a
  // warning when the key is there with another type.
  const JsonMember* find(const char* key, JsonType type, const char* expected) const {
    const JsonMember* m = json_find_member(members_, key);
    if (m == nullptr) return nullptr;
    if (m->type == type) return m;
    warn(report_, "⚠️ %s: \"%s\" debe ser %s; se usa el valor por defecto.", name_, key,
         expected);
    return nullptr;
  }

  // Texts longer than the field are cut at its capacity.
  template <std::size_t N>
  void text(const char* key, FixedText<N>& out) const {
    const JsonMember* m = find(key, JsonType::kString, "un texto");
    if (m == nullptr) return;
    if (m->text.find('\0') != std::string::npos) {
      warn(report_, "⚠️ %s: \"%s\" contiene un carácter nulo; se usa el valor por defecto.",
           name_, key);
      return;
    }
    out.assign(m->text);
  }
  void boolean(const char* key, bool& out) const {
    const JsonMember* m = find(key, JsonType::kBool, "true o false");
    if (m != nullptr) out = m->boolean;
  }
  // False when the key is absent or has another type.
  bool number(const char* key, double& out) const {
    const JsonMember* m = find(key, JsonType::kNumber, "un número");
    if (m == nullptr) return false;
    out = m->number;
    return true;
  }
  void warn_clamped(const char* key, double read, double used) const {
    warn(report_, "⚠️ %s: \"%s\" %g está fuera del rango de 0 a %g; se usa %g.", name_, key,
         read, static_cast<double>(CONFIG_MAX_TYPING_SPEED), used);
  }

 private:
  const std::vector<JsonMember>& members_;
  const char* name_;
  ConfigReport* report_;
};

void reset_report(ConfigReport* report) {
  if (report != nullptr) std::memset(static_cast<void*>(report), 0, sizeof *report);
}

// The file name shown in warnings: the last part of the path.
const char* display_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Why `path` could not be read, found after the read failed.
ConfigFileState classify_unreadable(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    // A dangling link is something the player made: it is not missing.
    if (errno == ENOENT && lstat(path, &st) != 0) return ConfigFileState::kMissing;
    return ConfigFileState::kUnreadable;
  }
  if (!S_ISREG(st.st_mode)) return ConfigFileState::kNotRegular;
  if (static_cast<unsigned long long>(st.st_size) > CONFIG_MAX_FILE_BYTES)
    return ConfigFileState::kTooLarge;
  return ConfigFileState::kUnreadable;
}

bool only_blanks(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
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

bool config_parse(AppConfig& config, std::string_view text, const char* name,
                  ConfigReport* report) {
  config_set_defaults(config);
  reset_report(report);
  if (name == nullptr) name = PATH_CONFIG;
  if (only_blanks(text)) {
    if (report != nullptr) report->state = ConfigFileState::kEmpty;
    return false;
  }
  std::vector<JsonMember> members;
  JsonError error;
  if (!json_parse_object(text, members, &error)) {
    if (report != nullptr) report->state = ConfigFileState::kMalformed;
    warn(report, "⚠️ %s no es un JSON válido (línea %d, columna %d: %s).", name, error.line,
         error.column, error.reason);
    return false;
  }

  KeyReader keys(members, name, report);
  keys.text("gemini_api_key", config.gemini_api_key);
  keys.text("model", config.model);
  keys.boolean("offline_mode", config.offline_mode);
  keys.text("language", config.language);
  keys.boolean("show_token_usage", config.show_token_usage);
  double value = 0.0;
  if (keys.number("typing_speed", value)) {
    // Beyond the slowest sensible speed a scene would take minutes to appear.
    double used = value;
    if (used < 0.0) used = 0.0;
    if (used > static_cast<double>(CONFIG_MAX_TYPING_SPEED))
      used = static_cast<double>(CONFIG_MAX_TYPING_SPEED);
    if (used != value) keys.warn_clamped("typing_speed", value, used);
    config.typing_speed = static_cast<float>(used);
  }
  keys.boolean("music_enabled", config.music_enabled);
  if (keys.number("music_volume", value)) config.music_volume = to_float(value);
  keys.text("mqtt_broker", config.mqtt_broker);
  if (keys.number("mqtt_port", value)) config.mqtt_port = to_int32(value);
  keys.text("community_vault_repo", config.community_vault_repo);
  if (report != nullptr) report->state = ConfigFileState::kLoaded;
  return true;
}

bool config_load(AppConfig& config, const char* path, ConfigReport* report) {
  reset_report(report);
  if (path == nullptr) return false;
  config_set_defaults(config);
  std::string content;
  if (!platform_read_regular_file(path, CONFIG_MAX_FILE_BYTES, content)) {
    ConfigFileState state = classify_unreadable(path);
    if (report == nullptr) return false;
    report->state = state;
    const char* name = display_name(path);
    switch (state) {
      case ConfigFileState::kNotRegular:
        warn(report, "⚠️ %s no es un archivo normal y no se ha leído.", name);
        break;
      case ConfigFileState::kTooLarge:
        warn(report, "⚠️ %s ocupa más de %zu KiB y no se ha leído.", name,
             CONFIG_MAX_FILE_BYTES / 1024);
        break;
      case ConfigFileState::kUnreadable:
        warn(report, "⚠️ No se pudo leer %s.", name);
        break;
      default:
        break;
    }
    return false;
  }
  return config_parse(config, content, display_name(path), report);
}

void config_format(const AppConfig& config, std::string& out) {
  out = "{\n  \"gemini_api_key\": ";
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
}

ConfigReplacement config_replacement(const char* path) {
  struct stat st;
  if (path == nullptr || lstat(path, &st) != 0) return ConfigReplacement::kWrite;
  if (S_ISLNK(st.st_mode)) return ConfigReplacement::kLink;
  if (S_ISDIR(st.st_mode)) return ConfigReplacement::kFolder;
  if (!S_ISREG(st.st_mode)) return ConfigReplacement::kOther;
  // The superuser may write anything: for it, a file without any write bit is
  // the owner's word that it stays as it is.
  bool read_only = geteuid() == 0 ? (st.st_mode & 0222) == 0
                                  : faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0 &&
                                        (errno == EACCES || errno == EROFS);
  return read_only ? ConfigReplacement::kReadOnly : ConfigReplacement::kBackup;
}

bool config_save(const AppConfig& config, const char* path) {
  if (path == nullptr) return false;
  // A rename would replace a read-only file all the same: it is refused here.
  if (config_replacement(path) == ConfigReplacement::kReadOnly) {
    errno = EACCES;
    return false;
  }
  std::string out;
  config_format(config, out);
  return platform_write_file_atomic(path, out, CONFIG_FILE_MODE);
}

bool config_keep_backup(const char* path, const char* backup_path) {
  if (path == nullptr || backup_path == nullptr) return false;
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT;
  // A folder or a link is not replaced by a save (the new file takes the
  // link's place, the target stays): nothing to keep.
  if (!S_ISREG(st.st_mode)) return true;
  if (unlink(backup_path) != 0 && errno != ENOENT) return false;
  if (link(path, backup_path) == 0) return true;
  // Some file systems refuse links: copy the bytes instead.
  std::string content;
  return platform_read_regular_file(path, CONFIG_MAX_BACKUP_BYTES, content) &&
         platform_write_file_atomic(backup_path, content, CONFIG_FILE_MODE);
}
