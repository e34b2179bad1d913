#include "common/json_value.h"

#include <cstdlib>

#include "common/json_text.h"

namespace {

struct Parser {
  std::string_view text;
  std::size_t at = 0;
  const char* reason = nullptr;
  bool keep_nested = false;  // nested members and elements are kept, not only checked

  bool fail(const char* why) {
    if (reason == nullptr) reason = why;
    return false;
  }
  bool done() const { return at >= text.size(); }
  char peek() const { return done() ? '\0' : text[at]; }

  void skip_blanks() {
    while (!done() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
      ++at;
  }

  bool literal(std::string_view word) {
    if (text.substr(at, word.size()) != word) return fail("valor desconocido");
    at += word.size();
    return true;
  }

  // Four hex digits after \u.
  bool hex4(unsigned& out) {
    if (text.size() - at < 4) return fail("escape \\u incompleto");
    out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text[at++];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        --at;
        return fail("escape \\u con un dígito no hexadecimal");
      }
      out = out * 16 + digit;
    }
    return true;
  }

  // A string whose opening quote is at `at`; decoded into `out` when given.
  bool string(std::string* out) {
    ++at;
    while (!done()) {
      char c = text[at];
      if (c == '"') {
        ++at;
        return true;
      }
      if (c == '\0') return fail("byte nulo dentro de un texto");
      if (c != '\\') {
        if (out != nullptr) *out += c;
        ++at;
        continue;
      }
      ++at;
      if (done()) break;
      char e = text[at++];
      if (e != 'u') {
        char plain = json_text_escaped_byte(e);
        if (plain == 0) {
          --at;
          return fail("escape desconocido");
        }
        if (out != nullptr) *out += plain;
        continue;
      }
      unsigned cp;
      if (!hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("sustituto UTF-16 sin pareja");
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A high surrogate must be followed by \u and a low one.
        unsigned low;
        if (text.substr(at, 2) != "\\u") return fail("sustituto UTF-16 sin pareja");
        at += 2;
        if (!hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail("sustituto UTF-16 sin pareja");
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out != nullptr) json_text_append_utf8(*out, cp);
    }
    return fail("texto sin comillas de cierre");
  }

  bool number(double* out) {
    std::size_t start = at;
    if (peek() == '-') ++at;
    auto digits = [&] {
      std::size_t from = at;
      while (!done() && text[at] >= '0' && text[at] <= '9') ++at;
      return at > from;
    };
    if (peek() == '0') {
      ++at;
    } else if (!digits()) {
      return fail("número mal formado");
    }
    if (peek() == '.') {
      ++at;
      if (!digits()) return fail("número mal formado");
    }
    if (peek() == 'e' || peek() == 'E') {
      ++at;
      if (peek() == '+' || peek() == '-') ++at;
      if (!digits()) return fail("número mal formado");
    }
    if (out != nullptr) {
      // The grammar is checked: the conversion takes the whole text. Values
      // beyond the double range become infinities, which callers saturate.
      std::string copy(text.substr(start, at - start));
      *out = std::strtod(copy.c_str(), nullptr);
    }
    return true;
  }

  // Any value; nested members are checked and dropped. `member` (top level
  // only) receives the type and scalar value.
  bool value(int depth, JsonMember* member) {
    skip_blanks();
    if (done()) return fail("falta un valor");
    JsonType type;
    switch (peek()) {
      case '{':
      case '[': {
        bool object = peek() == '{';
        type = object ? JsonType::kObject : JsonType::kArray;
        if (depth >= JSON_MAX_DEPTH) return fail("demasiados niveles anidados");
        std::vector<JsonMember>* kept =
            (keep_nested && member != nullptr) ? &member->children : nullptr;
        if (!container(depth + 1, object, kept)) return false;
        break;
      }
      case '"':
        type = JsonType::kString;
        if (!string(member != nullptr ? &member->text : nullptr)) return false;
        break;
      case 't':
      case 'f': {
        type = JsonType::kBool;
        bool is_true = peek() == 't';
        if (!literal(is_true ? "true" : "false")) return false;
        if (member != nullptr) member->boolean = is_true;
        break;
      }
      case 'n':
        type = JsonType::kNull;
        if (!literal("null")) return false;
        break;
      default:
        type = JsonType::kNumber;
        if (!number(member != nullptr ? &member->number : nullptr)) return false;
        break;
    }
    if (member != nullptr) member->type = type;
    return true;
  }

  // An object or array whose opening bracket is at `at`. The top-level object
  // passes `members` to keep its members.
  bool container(int depth, bool object, std::vector<JsonMember>* members) {
    const char close = object ? '}' : ']';
    ++at;
    skip_blanks();
    if (peek() == close) {
      ++at;
      return true;
    }
    for (;;) {
      JsonMember* member = nullptr;
      if (members != nullptr && (object || keep_nested)) {
        members->emplace_back();
        member = &members->back();
      }
      if (object) {
        skip_blanks();
        if (peek() != '"') return fail("se esperaba una clave entre comillas");
        if (!string(member != nullptr ? &member->key : nullptr)) return false;
        skip_blanks();
        if (peek() != ':') return fail("se esperaban dos puntos tras la clave");
        ++at;
      }
      if (!value(depth, member)) return false;
      skip_blanks();
      if (peek() == ',') {
        ++at;
        continue;
      }
      if (peek() == close) {
        ++at;
        return true;
      }
      return fail(object ? "se esperaba ',' o '}'" : "se esperaba ',' o ']'");
    }
  }
};

}  // namespace

namespace {

bool parse_document(std::string_view text, std::vector<JsonMember>& members, JsonError* error,
                    bool keep_nested) {
  members.clear();
  Parser p{text};
  p.keep_nested = keep_nested;
  if (text.starts_with("\xEF\xBB\xBF")) p.at = 3;
  p.skip_blanks();
  bool ok = false;
  if (p.peek() != '{') {
    p.fail("el contenido no es un objeto JSON");
  } else if (p.container(1, true, &members)) {
    p.skip_blanks();
    ok = p.done() || p.fail("hay texto después del objeto");
  }
  if (ok) return true;
  members.clear();
  if (error != nullptr) {
    // Line and column of the place the reading stopped, counted in bytes.
    std::size_t stop = p.at < text.size() ? p.at : text.size();
    error->line = 1;
    error->column = 1;
    for (std::size_t i = 0; i < stop; ++i) {
      if (text[i] == '\n') {
        ++error->line;
        error->column = 1;
      } else {
        ++error->column;
      }
    }
    error->reason = p.reason;
  }
  return false;
}

}  // namespace

bool json_parse_object(std::string_view text, std::vector<JsonMember>& members, JsonError* error) {
  return parse_document(text, members, error, false);
}

bool json_parse_tree(std::string_view text, JsonMember& root, JsonError* error) {
  root = JsonMember{};
  bool ok = parse_document(text, root.children, error, true);
  if (ok) root.type = JsonType::kObject;
  return ok;
}

const JsonMember* json_find_member(const std::vector<JsonMember>& members, std::string_view key) {
  for (const JsonMember& m : members)
    if (m.key == key) return &m;
  return nullptr;
}

const JsonMember* json_find_typed(const JsonMember& object, std::string_view key, JsonType type) {
  if (object.type != JsonType::kObject) return nullptr;
  const JsonMember* m = json_find_member(object.children, key);
  return (m != nullptr && m->type == type) ? m : nullptr;
}
