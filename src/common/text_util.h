// Small text helpers shared by every parser: trimming, ASCII case, decimals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ASCII white space: space, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
// Folding is ASCII-only: bytes of UTF-8 sequences are never changed.
constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Lower-cases the ASCII letters of a terminated text in place.
void ascii_lower_in_place(char* text);
// Same length and equal byte for byte after ASCII lower-casing.
bool ascii_iequals(std::string_view a, std::string_view b);
// `needle` occurs in `haystack` ignoring ASCII case.
bool ascii_icontains(std::string_view haystack, std::string_view needle);
bool starts_with(std::string_view text, std::string_view prefix);

// Trims a writable terminated text in place: leading white space is removed by
// moving the rest (terminator included) to the front, trailing white space is cut.
void trim(char* text);
// The same on a view, without writing.
std::string_view trim_view(std::string_view text);
// True when `line` starts with the command `word` followed by nothing or a
// blank; `argument` is then the rest, trimmed ("/decir hola" gives "hola").
bool command_word(std::string_view line, std::string_view word, std::string_view& argument);

// Reads a decimal like the C library's conversion (leading white space, an
// optional sign, then digits; no digits gives 0) but saturates at the 32-bit
// limits instead of overflowing. Every number taken from a file or from the
// player goes through here.
std::int32_t read_decimal_i32(std::string_view text);
// Reads a terminated text; a null text gives 0.
std::int32_t read_decimal_i32(const char* text);

// The text as it may be shown on a terminal, the one rule for every text
// that comes from a story, a save, the settings, the model or the player:
// each control character (C0 other than line feed and tab, DEL, ESC, and the
// two-byte UTF-8 form of a C1 control, which some terminals obey as the start
// of an escape sequence) becomes one '?', and so does a first byte of such a
// form left at the end, so that no two safe texts written in a row can make
// one. Every other byte, ordinary UTF-8 included, is kept.
std::string text_printable(std::string_view text);
// The same for a text shown on one line (a name, a label, a panel row): line
// feeds and tabs become spaces as well.
std::string text_printable_line(std::string_view text);
// Turns the line feeds and tabs of a text into spaces, in place.
void text_to_one_line(std::string& text);
