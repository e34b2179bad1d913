// The pure steps of a model request: prompt, escaping, body, URL, arguments,
// and reading the reply.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "narration/llm_narrator.h"

namespace {

// Valid UTF-8, checked by the C library's converter rather than by our code.
bool is_valid_utf8(std::string text) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> sink(text.size() * 4 + 8);
  char* in = text.data();
  std::size_t in_left = text.size();
  char* out = sink.data();
  std::size_t out_left = sink.size();
  std::size_t r = iconv(cd, &in, &in_left, &out, &out_left);
  iconv_close(cd);
  return r != static_cast<std::size_t>(-1) && in_left == 0;
}

// A JSON string body: no raw control bytes, every escape complete and known.
bool is_valid_json_string_content(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"') return false;
    if (c == '\\') {
      if (i + 1 >= s.size() || std::strchr("\"\\nt", s[i + 1]) == nullptr) return false;
      ++i;
    }
  }
  return true;
}

std::string escape(std::string_view text) {
  char out[LLM_ESCAPED_MAX + 1];
  std::size_t n = llm_escape_json(text, out, sizeof(out));
  EXPECT_EQ(n, std::strlen(out));
  return std::string(out, n);
}

std::string body_for(std::string_view prompt) {
  char out[LLM_BODY_CAPACITY];
  std::size_t n = llm_build_request_body(prompt, out, sizeof(out));
  return std::string(out, n);
}

std::string prompt_for(const Character* hero, const StorySection* section, const char* action,
                       const char* result, const LoreHit* lore) {
  char out[LLM_PROMPT_CAPACITY];
  llm_build_prompt(hero, section, action, result, lore, out, sizeof(out));
  return out;
}

// The escaped prompt inside a body built by llm_build_request_body.
std::string_view escaped_part(std::string_view body) {
  constexpr std::string_view open = "[{\"text\": \"";
  constexpr std::string_view close = "\"}]\n  }],";
  std::size_t b = body.find(open) + open.size();
  return body.substr(b, body.rfind(close) - b);
}

TEST(LlmRequest, PromptLayout) {
  auto hero = std::make_unique<Character>();
  std::memset(static_cast<void*>(hero.get()), 0, sizeof(Character));
  hero->name.assign("Aria");
  hero->hp = 7;
  hero->max_hp = 12;
  auto section = std::make_unique<StorySection>();
  std::memset(static_cast<void*>(section.get()), 0, sizeof(StorySection));
  section->title.assign("Cripta");
  LoreHit lore;
  std::memset(static_cast<void*>(&lore), 0, sizeof(lore));
  lore.title.assign("T");
  lore.text.assign("Huesos");

  EXPECT_EQ(prompt_for(hero.get(), section.get(), "abrir", "Éxito", &lore),
            "Lugar: Cripta. Personaje: Vida 7/12. Accion: abrir. Resultado mecanico: Éxito. "
            "Lore: Huesos Narra el desenlace en 2 frases breves e inmersivas.");
  EXPECT_EQ(prompt_for(nullptr, nullptr, nullptr, nullptr, nullptr),
            "Lugar: Aventura. Personaje: Vida 10/10. Accion: avanzar. Resultado mecanico: Exito. "
            "Narra el desenlace en 2 frases breves e inmersivas.");
  lore.title.clear();  // an untitled passage is not sent
  EXPECT_EQ(prompt_for(nullptr, nullptr, "a", "b", &lore),
            "Lugar: Aventura. Personaje: Vida 10/10. Accion: a. Resultado mecanico: b. "
            "Narra el desenlace en 2 frases breves e inmersivas.");
  EXPECT_EQ(prompt_for(nullptr, nullptr, std::string(3000, 'a').c_str(), nullptr, nullptr).size(),
            2047u);
}

TEST(LlmRequest, BodyLayoutByteForByte) {
  EXPECT_EQ(body_for("A \"q\" b\\c\td\ne\rf"), R"({
  "contents": [{
    "parts": [{"text": "A \"q\" b\\c\td\nef"}]
  }],
  "generationConfig": {
    "maxOutputTokens": 120,
    "temperature": 0.7
  }
}
)");
}

TEST(LlmRequest, EscapingDropsBrokenUtf8AndControls) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"a\xC3 b", "a b"},            // a character cut before a space
      {"fin\xC3", "fin"},            // cut at the very end
      {"\xE2\x82", ""},              // three-byte character missing its last byte
      {"\x80x\xBF", "x"},            // stray continuation bytes
      {"\xC0\xAF\xE0\x80\xAF", ""},  // overlong forms
      {"\xED\xA0\x80z", "z"},        // a surrogate
      {"\xF4\x90\x80\x80", ""},      // beyond the last code point
      {"😀 á € \x7F", "😀 á € \x7F"},  // whole characters pass unchanged
      {"a\x01\x1B[0m\r\x1F", "a[0m"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(escape(c.in), c.out);
  }
}

TEST(LlmRequest, EscapingStopsWithoutSplittingAPairOrACharacter) {
  const struct {
    std::string in;
    std::size_t length;
  } cases[] = {
      {std::string(3000, 'a'), 2046},
      {std::string(2047, '"'), 2046},        // 1023 whole pairs
      {"x" + std::string(2046, '"'), 2047},  // the last pair still fits
      {std::string(2044, 'a') + "€", 2047},
      {std::string(2045, 'a') + "€", 2045},  // the character would not fit
  };
  for (const auto& c : cases) {
    std::string escaped = escape(c.in);
    EXPECT_EQ(escaped.size(), c.length);
    EXPECT_TRUE(is_valid_json_string_content(escaped));
    EXPECT_TRUE(is_valid_utf8(escaped));
  }
}

TEST(LlmRequest, BodyStaysValidWhenACutFallsInsideACharacter) {
  // The prompt's 2047-byte cut splits the "á" at the end of the action; the
  // carriage returns are dropped by the escaping, so the cut byte is reached.
  const std::string prefix = "Lugar: Aventura. Personaje: Vida 10/10. Accion: ";
  std::string action = std::string(10, '\r') + std::string(2046 - prefix.size() - 10, 'a') + "á";
  std::string prompt = prompt_for(nullptr, nullptr, action.c_str(), nullptr, nullptr);
  ASSERT_EQ(prompt.size(), 2047u);
  ASSERT_EQ(prompt.back(), '\xC3');
  std::string body = body_for(prompt);
  EXPECT_TRUE(is_valid_utf8(body));
  EXPECT_TRUE(is_valid_json_string_content(escaped_part(body)));
  EXPECT_EQ(escaped_part(body), std::string(2046 - prefix.size() - 10, 'a').insert(0, prefix));

  // A lore passage cut inside a character at indexing time.
  LoreHit lore;
  std::memset(static_cast<void*>(&lore), 0, sizeof(lore));
  lore.title.assign("T");
  lore.text.assign("Un jard\xC3");
  body = body_for(prompt_for(nullptr, nullptr, "a", "b", &lore));
  EXPECT_TRUE(is_valid_utf8(body));
  EXPECT_NE(body.find("Lore: Un jard Narra el desenlace"), std::string::npos);
}

TEST(LlmRequest, UrlAndCurlArguments) {
  char url[LLM_URL_CAPACITY];
  llm_build_url("https://host.example", "", "K", url, sizeof(url));
  EXPECT_STREQ(url, "https://host.example/v1beta/models/gemini-1.5-flash:generateContent?key=K");
  llm_build_url("http://127.0.0.1:9", "m$(x)", "k'\";y;\"", url, sizeof(url));
  EXPECT_STREQ(url, "http://127.0.0.1:9/v1beta/models/m$(x):generateContent?key=k'\";y;\"");

  const char* argv[LLM_CURL_ARGC + 1];
  llm_build_curl_argv("U", "@F", argv);
  const char* expected[] = {
      "curl", "-s",   "--max-time", "6",  "-H", "Content-Type: application/json",
      "-X",   "POST", "U",          "-d", "@F"};
  for (int k = 0; k < LLM_CURL_ARGC; ++k) EXPECT_STREQ(argv[k], expected[k]) << k;
  EXPECT_EQ(argv[LLM_CURL_ARGC], nullptr);
}

TEST(LlmReply, ExtractsTheFirstText) {
  const struct {
    std::string reply;
    bool found;
    std::string text;
  } cases[] = {
      {R"({"parts": [{"text": "hola"}]})", true, "hola"},
      {"\"text\":\n\t \"a\\\"b\\\\c\\nd\\te\\/f\\u00e1\"", true, "a\"b\\c\nd\te/fu00e1"},
      {R"("text": "uno"}, {"text": "dos")", true, "uno"},
      {R"("text": "sin cierre)", true, "sin cierre"},
      {"\"text\": \"barra\\", true, "barra\\"},
      {"\"text\": \"\x1B[31mrojo\x07\r\x7F\"", true, "[31mrojo"},
      {"\"text\": \"a\xC2\x9B"
       "b \xC3\xA1\xC2\xA0\"",
       true, "ab \xC3\xA1\xC2\xA0"},
      {"\"text\": \"\x1B\x1B\"", false, ""},
      {R"("text": "")", false, ""},
      {R"("text": 5)", false, ""},
      {R"("text" : "x")", false, ""},
      {R"({"error": {"code": 400, "message": "API key not valid"}})", false, ""},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    char out[LLM_TEXT_CAPACITY];
    EXPECT_EQ(llm_extract_text(c.reply, out, sizeof(out)), c.found);
    EXPECT_EQ(std::string(out), c.text);
  }

  char out[LLM_TEXT_CAPACITY + 100];
  std::string long_reply = "\"text\": \"" + std::string(3000, 'a') + "\"";
  ASSERT_TRUE(llm_extract_text(long_reply, out, sizeof(out)));
  EXPECT_EQ(std::strlen(out), LLM_TEXT_CAPACITY - 1);
  ASSERT_TRUE(llm_extract_text(long_reply, out, 10));
  EXPECT_STREQ(out, "aaaaaaaaa");
}

TEST(LlmReply, ExtractIntField) {
  const struct {
    const char* json;
    std::int32_t value;
  } cases[] = {
      {R"({"promptTokenCount": 12})", 12},
      {"{\"promptTokenCount\":\n -5}", -5},
      {R"({"promptTokenCount": x})", 0},
      {R"({"other": 3})", 0},
      {R"({"promptTokenCount": 99999999999})", INT32_MAX},
      {R"({"promptTokenCount": 1, "promptTokenCount": 2})", 1},
      {R"({"promptTokenCountX": 3})", 0},
      {R"({"promptTokenCount" : 3})", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extract_int_field(c.json, "promptTokenCount"), c.value) << c.json;
  }
  EXPECT_EQ(extract_int_field("{\"a\": 1}", nullptr), 0);
}

}  // namespace
