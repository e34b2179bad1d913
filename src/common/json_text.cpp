#include "common/json_text.h"

#include <cstdio>

#include "common/text_util.h"

namespace {

bool is_line_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The value of four hex digits at `at`, or -1 when they are not all there.
long hex4(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return -1;
  long value = 0;
  for (std::size_t k = at; k < at + 4; ++k) {
    char c = text[k];
    int digit = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// Decodes the escape whose backslash is at `at` into `bytes`; returns how many
// bytes of `text` it used. The JSON escapes give their character (\u0000
// gives nothing: a NUL would end the text); any other escaped character, and
// a \u without four hex digits, gives the character itself, as files written
// before control characters were escaped expect.
std::size_t decode_escape(std::string_view text, std::size_t at, std::string& bytes) {
  bytes.clear();
  char c = text[at + 1];
  if (c != 'u') {
    char plain = json_text_escaped_byte(c);
    bytes.assign(1, plain != 0 ? plain : c);
    return 2;
  }
  long cp = hex4(text, at + 2);
  if (cp < 0) {
    bytes.push_back('u');
    return 2;
  }
  std::size_t used = 6;
  if (cp >= 0xD800 && cp <= 0xDBFF && at + 7 < text.size() && text[at + 6] == '\\' &&
      text[at + 7] == 'u') {
    long low = hex4(text, at + 8);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      used = 12;
    }
  }
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate is no character
  if (cp != 0) json_text_append_utf8(bytes, static_cast<std::uint32_t>(cp));
  return used;
}

}  // namespace

char json_text_escaped_byte(char letter) {
  switch (letter) {
    case '"':
    case '\\':
    case '/':
      return letter;
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return 0;
  }
}

void json_text_append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string_view json_text_until_nul(std::string_view text) {
  std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::size_t json_text_find_value(std::string_view text, std::string_view key, std::size_t from) {
  std::string pattern;
  pattern.reserve(key.size() + 3);
  pattern += '"';
  pattern += key;
  pattern += "\":";
  std::size_t at = text.find(pattern, from);
  if (at == std::string_view::npos) return at;
  at += pattern.size();
  while (at < text.size() && is_line_blank(text[at])) ++at;
  return at;
}

std::size_t json_text_decode_quoted(std::string_view text, std::size_t open, std::size_t limit,
                                    std::string* out) {
  std::string bytes;
  std::size_t i = open + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') return i;
    if (c == '\\' && i + 1 < text.size()) {
      std::size_t used = decode_escape(text, i, bytes);
      i += used;
    } else {
      bytes.assign(1, c);
      ++i;
    }
    if (out != nullptr) {
      for (char b : bytes) {
        if (out->size() < limit) out->push_back(b);
      }
    }
  }
  return text.size();
}

bool json_text_read_quoted(std::string_view text, std::string_view key, std::size_t limit,
                           std::string& out) {
  std::size_t at = json_text_find_value(text, key);
  if (at >= text.size() || text[at] != '"') return false;
  out.clear();
  json_text_decode_quoted(text, at, limit, &out);
  return true;
}

std::int32_t json_text_read_int(std::string_view text, const char* key, std::int32_t fallback) {
  if (key == nullptr) return fallback;
  std::size_t at = json_text_find_value(text, key);
  if (at == std::string_view::npos) return fallback;
  return read_decimal_i32(text.substr(at));
}

void json_text_append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string json_text_quoted(std::string_view text) {
  std::string out;
  json_text_append_quoted(out, text);
  return out;
}
