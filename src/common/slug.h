// File-name keys made from free text (a story path, a story title).
#pragma once

#include <cstddef>

// Writes the slug of `source` into `out` (`capacity` bytes, terminated): ASCII
// letters lower-cased and digits kept, each space, '-' and '_' written as '_',
// every other byte (each byte of a multi-byte character too) dropped. At most
// `max_length` bytes, and never more than capacity - 1, are written. When
// nothing is left, `fallback` is written instead (cut to fit). A null source
// counts as empty; a null `out` or a capacity of 0 writes nothing.
void make_slug(const char* source, char* out, std::size_t capacity, std::size_t max_length,
               const char* fallback);
