#include "common/text_util.h"

#include <cstring>

void ascii_lower_in_place(char* text) {
  if (text == nullptr) return;
  for (char* p = text; *p != '\0'; ++p) *p = ascii_lower(*p);
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

bool ascii_icontains(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (ascii_iequals(haystack.substr(i, needle.size()), needle)) return true;
  }
  return false;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void trim(char* text) {
  if (text == nullptr) return;
  std::size_t start = 0;
  while (text[start] != '\0' && is_blank(text[start])) ++start;
  std::size_t len = std::strlen(text + start);
  if (start > 0) std::memmove(text, text + start, len + 1);
  while (len > 0 && is_blank(text[len - 1])) --len;
  text[len] = '\0';
}

std::string_view trim_view(std::string_view text) {
  std::size_t b = 0;
  while (b < text.size() && is_blank(text[b])) ++b;
  std::size_t e = text.size();
  while (e > b && is_blank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

bool command_word(std::string_view line, std::string_view word, std::string_view& argument) {
  if (!starts_with(line, word)) return false;
  if (line.size() > word.size() && !is_blank(line[word.size()])) return false;
  argument = trim_view(line.substr(word.size()));
  return true;
}

std::int32_t read_decimal_i32(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate in 64 bits and stop growing once past the 32-bit range, so
  // any number of digits is safe.
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(INT32_MAX) + 1;
  std::int64_t value = 0;
  for (; i < text.size() && is_ascii_digit(text[i]); ++i) {
    if (value <= kLimit) value = value * 10 + (text[i] - '0');
  }
  if (negative) {
    value = -value;
    return value < INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(value);
  }
  return value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
}

std::int32_t read_decimal_i32(const char* text) {
  return text == nullptr ? 0 : read_decimal_i32(std::string_view(text));
}

std::string text_printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
      out += '?';
    } else if (byte == 0xC2 &&
               (i + 1 == text.size() || (static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                                         static_cast<unsigned char>(text[i + 1]) <= 0x9F))) {
      // A lead byte left at the very end (a text cut short) could be
      // completed into a C1 control by whatever is written next.
      out += '?';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

void text_to_one_line(std::string& text) {
  for (char& c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
}

std::string text_printable_line(std::string_view text) {
  std::string shown = text_printable(text);
  text_to_one_line(shown);
  return shown;
}
