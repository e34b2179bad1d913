// Key search in the fixed-layout save texts, shared by the loader and the list
// of saves. Values are found by the first "\"key\":" and read without a JSON
// parser; inside a quoted text a backslash makes the next character literal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The text as C code would see it: it ends at the first NUL byte.
std::string_view save_text_until_nul(std::string_view text);

// Position just past the first "\"key\":" at or after `from`, or npos.
std::size_t save_find_key(std::string_view text, std::string_view key, std::size_t from = 0);

// Decodes the quoted text whose opening quote is at `open`: appends at most
// `limit` decoded bytes to `out` (when given) and returns the index of the
// closing quote, or text.size() when the text ends first. A backslash at the
// very end is kept as a backslash.
std::size_t save_decode_quoted(std::string_view text, std::size_t open, std::size_t limit,
                               std::string* out);

// The quoted value of `key` (blanks before it skipped), at most `limit` bytes.
// False when the key is missing or its value is not a quoted text.
bool save_read_text_value(std::string_view text, std::string_view key, std::size_t limit,
                          std::string& out);

// Escapes double quotes and backslashes so the readers above get the text back.
void save_append_escaped(std::string& out, std::string_view text);
