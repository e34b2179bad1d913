// Key search in the small JSON-like texts the program writes itself (settings
// and saves), without a JSON parser: a value is found after the first quoted
// key, wherever that stands. Writers escape quotes, backslashes and control
// characters; readers undo the JSON escapes and take any other escaped
// character literally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The byte a one-letter JSON escape stands for ("n" gives a line feed; quote,
// backslash and slash give themselves); 0 for any other letter.
char json_text_escaped_byte(char letter);
// Appends the UTF-8 bytes of a Unicode code point (at most U+10FFFF).
void json_text_append_utf8(std::string& out, std::uint32_t cp);

// The text as C code would see it: it ends at the first NUL byte.
std::string_view json_text_until_nul(std::string_view text);

// Position of the value of the first `"key":` at or after `from` (blanks after
// the colon skipped), or npos. It may be text.size() when the text ends there.
std::size_t json_text_find_value(std::string_view text, std::string_view key, std::size_t from = 0);

// Decodes the quoted text whose opening quote is at `open`: appends at most
// `limit` decoded bytes to `out` (when given) and returns the index of the
// closing quote, or text.size() when the text ends first. A backslash at the
// very end is kept as a backslash. The limit may split a multi-byte character.
std::size_t json_text_decode_quoted(std::string_view text, std::size_t open, std::size_t limit,
                                    std::string* out);

// Replaces `out` with the quoted value of `key`, at most `limit` bytes. False
// (and `out` untouched) when the key is missing or its value is not quoted.
bool json_text_read_quoted(std::string_view text, std::string_view key, std::size_t limit,
                           std::string& out);

// The integer after the first "key": (saturating, C rules), or `fallback`
// when the key is absent or null.
std::int32_t json_text_read_int(std::string_view text, const char* key, std::int32_t fallback);

// Appends `text` between double quotes, with quotes, backslashes and control
// characters (below 0x20, and 0x7F) escaped, so any text makes a valid JSON
// string. Other bytes are written as they are.
void json_text_append_quoted(std::string& out, std::string_view text);
// The same, as a string of its own.
std::string json_text_quoted(std::string_view text);
