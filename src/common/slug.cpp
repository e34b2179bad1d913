#include "common/slug.h"

#include <cstdint>
#include <cstdio>

#include "common/text_util.h"

namespace {

// Latin letters with accents or marks, by code point range, and how each is
// written in plain ASCII. Code points in no range (×, ÷) are no letters.
struct LatinRange {
  char16_t first, last;
  const char* ascii;
};
constexpr LatinRange LATIN_LETTERS[] = {
    {0xC0, 0xC5, "a"},   {0xC6, 0xC6, "ae"},   {0xC7, 0xC7, "c"},   {0xC8, 0xCB, "e"},
    {0xCC, 0xCF, "i"},   {0xD0, 0xD0, "d"},    {0xD1, 0xD1, "n"},   {0xD2, 0xD6, "o"},
    {0xD8, 0xD8, "o"},   {0xD9, 0xDC, "u"},    {0xDD, 0xDD, "y"},   {0xDE, 0xDE, "th"},
    {0xDF, 0xDF, "ss"},  {0xE0, 0xE5, "a"},    {0xE6, 0xE6, "ae"},  {0xE7, 0xE7, "c"},
    {0xE8, 0xEB, "e"},   {0xEC, 0xEF, "i"},    {0xF0, 0xF0, "d"},   {0xF1, 0xF1, "n"},
    {0xF2, 0xF6, "o"},   {0xF8, 0xF8, "o"},    {0xF9, 0xFC, "u"},   {0xFD, 0xFD, "y"},
    {0xFE, 0xFE, "th"},  {0xFF, 0xFF, "y"},    {0x100, 0x105, "a"}, {0x106, 0x10D, "c"},
    {0x10E, 0x111, "d"}, {0x112, 0x11B, "e"},  {0x11C, 0x123, "g"}, {0x124, 0x127, "h"},
    {0x128, 0x131, "i"}, {0x132, 0x133, "ij"}, {0x134, 0x135, "j"}, {0x136, 0x138, "k"},
    {0x139, 0x142, "l"}, {0x143, 0x14B, "n"},  {0x14C, 0x151, "o"}, {0x152, 0x153, "oe"},
    {0x154, 0x159, "r"}, {0x15A, 0x161, "s"},  {0x162, 0x167, "t"}, {0x168, 0x173, "u"},
    {0x174, 0x175, "w"}, {0x176, 0x178, "y"},  {0x179, 0x17E, "z"}, {0x17F, 0x17F, "s"},
};

bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_ascii_digit(c);
}

// The slug of `source` without its fallback; `transliterate` chooses between
// the name rule and the legacy rule, which drops every non-ASCII byte.
void slug_of(std::string_view source, bool transliterate, std::size_t limit, SlugText& out) {
  out.clear();
  for (std::size_t i = 0; i < source.size() && out.size() < limit;) {
    char c = source[i];
    std::size_t bytes = 1;
    if (is_ascii_alnum(c)) {
      out.append(ascii_lower(c));
    } else if (c == ' ' || c == '-' || c == '_') {
      out.append('_');  // each one, so runs stay as typed
    } else if (const char* plain =
                   transliterate ? slug_latin_letter(source.substr(i), bytes) : nullptr) {
      // "ß" gives two letters: cut at the limit like every other byte.
      out.append(std::string_view(plain).substr(0, limit - out.size()));
    }
    i += bytes;
  }
}

// Only a file name of [a-z0-9_] before ".md" keeps the legacy key: such a
// name is spelled back exactly by that key, so no other name of its folder
// can share it. Paths that differ only in where the folder ends would, but
// the game's story folders are fixed.
bool keeps_legacy_key(std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.size() <= 3 || !name.ends_with(".md")) return false;
  for (char c : name.substr(0, name.size() - 3)) {
    if (!((c >= 'a' && c <= 'z') || is_ascii_digit(c) || c == '_')) return false;
  }
  SlugText legacy;
  slug_of(path, false, SLUG_MAX_LENGTH + 1, legacy);
  return legacy.size() <= SLUG_MAX_LENGTH;  // a cut key could be another path's
}

// 64-bit FNV-1a: small, stable across builds and platforms, and saves depend
// on it never changing.
std::uint64_t path_hash(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

const char* slug_latin_letter(std::string_view text, std::size_t& bytes) {
  if (text.size() < 2) return nullptr;
  const auto lead = static_cast<unsigned char>(text[0]);
  const auto next = static_cast<unsigned char>(text[1]);
  if (lead < 0xC3 || lead > 0xC5 || (next & 0xC0) != 0x80) return nullptr;
  const auto code = static_cast<char16_t>(((lead & 0x1Fu) << 6) | (next & 0x3Fu));
  for (const LatinRange& range : LATIN_LETTERS) {
    if (code >= range.first && code <= range.last) {
      bytes = 2;
      return range.ascii;
    }
  }
  return nullptr;
}

void make_name_slug(const char* source, const char* fallback, SlugText& out) {
  slug_of(source != nullptr ? source : "", true, SLUG_MAX_LENGTH, out);
  if (out.empty()) out.assign(fallback != nullptr ? fallback : "");
}

void make_legacy_slug(const char* source, const char* fallback, SlugText& out) {
  slug_of(source != nullptr ? source : "", false, SLUG_MAX_LENGTH, out);
  if (out.empty()) out.assign(fallback != nullptr ? fallback : "");
}

void make_slug(const char* source, const char* fallback, SlugText& out) {
  std::string_view path = source != nullptr ? source : "";
  if (path.empty()) {
    out.assign(fallback != nullptr ? fallback : "");
    return;
  }
  if (keeps_legacy_key(path)) {
    slug_of(path, false, SLUG_MAX_LENGTH, out);
    return;
  }
  constexpr std::size_t kSuffix = 17;  // '_' and sixteen hexadecimal digits
  slug_of(path, true, SLUG_MAX_LENGTH - kSuffix, out);
  if (out.empty()) out.assign(fallback != nullptr ? fallback : "");
  out.assign(out.view().substr(0, SLUG_MAX_LENGTH - kSuffix));
  char suffix[kSuffix + 1];
  std::snprintf(suffix, sizeof suffix, "_%016llx",
                static_cast<unsigned long long>(path_hash(path)));
  out.append(suffix);
}
