// A small strict JSON reader for files whose keys must match exactly (the
// settings file): the whole document is checked, the members of its top-level
// object are returned with their types, and nested values are checked but not
// kept, unless the whole tree is asked for (network messages). No exceptions;
// nesting is limited so that no input can exhaust the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int JSON_MAX_DEPTH = 32;  // objects and arrays nested deeper are refused

enum class JsonType : std::uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };

// One member of an object, or one element of an array (then `key` is empty).
// `text` holds a decoded string value (it may contain NUL bytes from \u0000);
// arrays and objects keep their members or elements in `children` only when
// read by json_parse_tree, and only their type otherwise.
struct JsonMember {
  std::string key;
  JsonType type = JsonType::kNull;
  bool boolean = false;
  double number = 0.0;
  std::string text;
  std::vector<JsonMember> children;
};

// Where and why a document was refused: 1-based line and column (in bytes),
// and a short Spanish reason.
struct JsonError {
  int line = 0;
  int column = 0;
  const char* reason = "";
};

// Parses `text` as one JSON object (a leading UTF-8 byte-order mark and
// surrounding white space allowed) into `members`, in file order, duplicates
// included. False, with `members` empty and `error` filled when given, for
// anything else. Raw control bytes inside strings are accepted (files written
// by earlier versions held them unescaped); a raw NUL byte is not.
bool json_parse_object(std::string_view text, std::vector<JsonMember>& members, JsonError* error);

// Parses `text` as one JSON object like json_parse_object, but keeps every
// nested member and element: `root` becomes an object whose `children` are the
// top-level members. False, with `root` reset and `error` filled when given,
// for anything else.
bool json_parse_tree(std::string_view text, JsonMember& root, JsonError* error);

// The first member named exactly `key`, or nullptr.
const JsonMember* json_find_member(const std::vector<JsonMember>& members, std::string_view key);
// The first member of the object `object` named exactly `key` with type
// `type`, or nullptr (also when `object` is not an object).
const JsonMember* json_find_typed(const JsonMember& object, std::string_view key, JsonType type);
