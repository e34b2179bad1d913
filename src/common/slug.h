// File-name keys made from free text: a story path names its save files, a
// story title names the file the wizard writes.
#pragma once

#include <cstddef>

#include "common/fixed_text.h"

// A slug holds at most this many bytes.
inline constexpr std::size_t SLUG_MAX_LENGTH = 124;
using SlugText = FixedText<128>;

// Writes the slug of `source` into `out`: ASCII letters lower-cased and digits
// kept, each space, '-' and '_' written as '_', every other byte (each byte of
// a multi-byte character too) dropped, at most SLUG_MAX_LENGTH bytes. When
// nothing is left, `fallback` is written instead. A null source counts as empty.
void make_slug(const char* source, const char* fallback, SlugText& out);
