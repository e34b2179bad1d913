#include "common/slug.h"

#include "common/text_util.h"

void make_slug(const char* source, const char* fallback, SlugText& out) {
  out.clear();
  for (const char* p = source != nullptr ? source : ""; *p != '\0'; ++p) {
    if (out.size() >= SLUG_MAX_LENGTH) break;
    char c = *p;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_ascii_digit(c)) {
      out.append(ascii_lower(c));
    } else if (c == ' ' || c == '-' || c == '_') {
      out.append('_');  // each one, so runs stay as typed
    }
  }
  if (out.empty()) out.assign(fallback != nullptr ? fallback : "");
}
