// File-name keys made from free text: a story path names its save files, a
// story title names the file the wizard writes.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/fixed_text.h"

// A slug holds at most this many bytes.
inline constexpr std::size_t SLUG_MAX_LENGTH = 124;
using SlugText = FixedText<128>;

// The plain ASCII spelling of the accented or marked Latin letter (U+00C0 to
// U+017F, in UTF-8) at the start of `text`: "a" for "á" or "Á", "n" for "ñ",
// "u" for "ü", "ss" for "ß", "ae" for "Æ". `bytes` gets the letter's length in
// `text` (2). nullptr, `bytes` untouched, when anything else starts `text`.
const char* slug_latin_letter(std::string_view text, std::size_t& bytes);

// The slug of a name, as the wizard names a story's file after its title:
// ASCII letters lower-cased, digits kept, accented Latin letters written as
// their plain letters, each space, '-' and '_' written as '_', every other
// byte dropped, at most SLUG_MAX_LENGTH bytes. When nothing is left,
// `fallback` is written instead. A null source counts as empty.
void make_name_slug(const char* source, const char* fallback, SlugText& out);

// The key a story's saves are named with, from the story's path text. A pure
// function of that text, so a resumed adventure keeps writing the same files.
//  - A path whose file name is lower-case ASCII letters, digits and '_' with
//    ".md" (as every bundled story's) keeps the key it has always had: the
//    legacy slug below, "stories/la_cripta.md" giving "storiesla_criptamd".
//  - Any other path, whose legacy slug could be shared with another file
//    ("La-Cripta.md" and "la_cripta.md", "Épica.md" and "pica.md"), gets its
//    name slug cut to 107 bytes, then '_' and sixteen hexadecimal digits of a
//    hash of the whole path: distinct paths get distinct keys.
// An empty or null source gives `fallback`.
void make_slug(const char* source, const char* fallback, SlugText& out);

// The key saves were named with before accented letters were transliterated:
// ASCII letters lower-cased, digits kept, each space, '-' and '_' written as
// '_', every other byte dropped (each byte of a multi-byte character too), at
// most SLUG_MAX_LENGTH bytes; `fallback` when nothing is left. Only used to
// find the story of a save written under such a key.
void make_legacy_slug(const char* source, const char* fallback, SlugText& out);
