#include "savegame/save_text.h"

std::string_view save_text_until_nul(std::string_view text) {
  std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::size_t save_find_key(std::string_view text, std::string_view key, std::size_t from) {
  std::string pattern;
  pattern.reserve(key.size() + 3);
  pattern += '"';
  pattern += key;
  pattern += "\":";
  std::size_t at = text.find(pattern, from);
  return at == std::string_view::npos ? at : at + pattern.size();
}

std::size_t save_decode_quoted(std::string_view text, std::size_t open, std::size_t limit,
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

bool save_read_text_value(std::string_view text, std::string_view key, std::size_t limit,
                          std::string& out) {
  std::size_t pos = save_find_key(text, key);
  if (pos == std::string_view::npos) return false;
  // Spaces, tabs and line ends may stand between the key and its value.
  while (pos < text.size() &&
         (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n')) {
    ++pos;
  }
  if (pos >= text.size() || text[pos] != '"') return false;
  out.clear();
  save_decode_quoted(text, pos, limit, &out);
  return true;
}

void save_append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
}
