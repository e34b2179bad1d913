#include "common/slug.h"

#include "common/fixed_text.h"
#include "common/text_util.h"

void make_slug(const char* source, char* out, std::size_t capacity, std::size_t max_length,
               const char* fallback) {
  if (out == nullptr || capacity == 0) return;
  std::size_t limit = capacity - 1 < max_length ? capacity - 1 : max_length;
  std::size_t n = 0;
  for (const char* p = source != nullptr ? source : ""; *p != '\0' && n < limit; ++p) {
    char c = *p;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_ascii_digit(c)) {
      out[n++] = ascii_lower(c);
    } else if (c == ' ' || c == '-' || c == '_') {
      out[n++] = '_';  // each one, so runs stay as typed
    }
  }
  out[n] = '\0';
  if (n == 0) text_copy(out, capacity, fallback != nullptr ? fallback : "");
}
