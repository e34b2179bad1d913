#include "common/json_text.h"

#include <cstdio>

#include "common/text_util.h"

namespace {

bool is_line_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string_view json_text_until_nul(std::string_view text) {
  std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::size_t json_text_find_value(std::string_view text, std::string_view key, JsonKeyStyle style,
                                 std::size_t from) {
  std::string pattern;
  pattern.reserve(key.size() + 3);
  pattern += '"';
  pattern += key;
  pattern += style == JsonKeyStyle::kColon ? "\":" : "\"";
  std::size_t at = text.find(pattern, from);
  if (at == std::string_view::npos) return at;
  at += pattern.size();
  // The loose style also passes over colons, so `"key" :: value` still reads.
  while (at < text.size() &&
         (is_line_blank(text[at]) || (style == JsonKeyStyle::kLoose && text[at] == ':'))) {
    ++at;
  }
  return at;
}

std::size_t json_text_decode_quoted(std::string_view text, std::size_t open, std::size_t limit,
                                    std::string* out) {
  std::size_t i = open + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') return i;
    if (c == '\\' && i + 1 < text.size()) {
      c = text[i + 1];
      i += 2;
    } else {
      ++i;
    }
    if (out != nullptr && out->size() < limit) out->push_back(c);
  }
  return text.size();
}

bool json_text_read_quoted(std::string_view text, std::string_view key, JsonKeyStyle style,
                           std::size_t limit, std::string& out) {
  std::size_t at = json_text_find_value(text, key, style);
  if (at >= text.size() || text[at] != '"') return false;
  out.clear();
  json_text_decode_quoted(text, at, limit, &out);
  return true;
}

std::int32_t json_text_read_int(std::string_view text, const char* key, std::int32_t fallback) {
  if (key == nullptr) return fallback;
  std::size_t at = json_text_find_value(text, key, JsonKeyStyle::kColon);
  if (at == std::string_view::npos) return fallback;
  return read_decimal_i32(text.substr(at));
}

void json_text_append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void json_text_append_escaped(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}
