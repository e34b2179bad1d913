// Narration of an action by the hosted language model, through curl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "character/character.h"
#include "config/config.h"
#include "lore/lore_index.h"
#include "rules/dice.h"
#include "story/story.h"

// Capacities of one request. No text of a request lives on the heap.
inline constexpr std::size_t LLM_SUMMARY_CAPACITY = 128;  // "Vida %d/%d"
inline constexpr std::size_t LLM_PROMPT_CAPACITY = 2048;  // the prompt, 2047 bytes at most
inline constexpr std::size_t LLM_ESCAPED_MAX = 2047;      // bytes of the escaped prompt
inline constexpr std::size_t LLM_BODY_CAPACITY = 4096;    // the request body
inline constexpr std::size_t LLM_PATH_CAPACITY = 256;     // the request file's name
inline constexpr std::size_t LLM_URL_CAPACITY = 1024;     // the request URL
inline constexpr std::size_t LLM_REPLY_CAPACITY = 8192;   // at most 8191 bytes of reply are read
inline constexpr std::size_t LLM_TEXT_CAPACITY = 2048;    // the extracted narration
inline constexpr int LLM_CURL_ARGC = 11;                  // curl arguments, program name included
// curl's own limit for the whole transfer (its --max-time), and how much longer
// the game waits before it kills a curl that has not ended by then.
inline constexpr std::int32_t LLM_CURL_MAX_TIME_MS = 6000;
inline constexpr std::int32_t LLM_DEADLINE_MARGIN_MS = 2000;
// Tokens counted for a reply that reports no usage.
inline constexpr std::uint32_t LLM_DEFAULT_PROMPT_TOKENS = 35;
inline constexpr std::uint32_t LLM_DEFAULT_OUTPUT_TOKENS = 45;

inline constexpr const char* LLM_DEFAULT_BASE_URL = "https://generativelanguage.googleapis.com";
inline constexpr const char* LLM_FALLBACK_MODEL = "gemini-1.5-flash";  // when the model is empty

struct LlmTotals {
  std::uint32_t prompt_total;
  std::uint32_t output_total;
};
static_assert(std::is_trivially_copyable_v<LlmTotals>);

struct TokenCounters {
  std::uint32_t last_prompt;
  std::uint32_t last_output;
  std::uint32_t last_total;
  std::uint32_t session_prompt;
  std::uint32_t session_output;
  std::uint32_t session_total;
};
static_assert(std::is_trivially_copyable_v<TokenCounters>);

// One action to narrate, and the accounts its tokens are charged to. Every
// pointer may be null: the narrator then uses its defaults (no config means
// the offline narrator).
struct NarrationRequest {
  const AppConfig* config;
  const Character* hero;        // only the hit points are sent
  const StorySection* section;  // the scene's title names the place
  const char* action;           // the player's words
  const RollResult* roll;       // only when a check was rolled
  const char* result;           // the mechanical result
  const LoreHit* lore;          // background passage; an untitled one is not sent
  LlmTotals* totals;            // the session's running totals
  TokenCounters* counters;      // what the panels show for this call
  GameRandom* random;           // the adventure's generator, for the offline flavour texts
};
static_assert(std::is_trivially_copyable_v<NarrationRequest>);

void llm_init(LlmTotals& totals);
// Writes the narration into `out`; true when it came from the model, false
// when the offline narrator wrote it (offline mode, no key, any failure).
bool llm_narrate_action(const NarrationRequest& request, char* out, std::size_t capacity);
// The same, sending the request to `base_url` (scheme and host, no trailing
// slash) instead of the hosted service, and killing curl when it has not ended
// within `deadline_ms`; tests point it at a local server and shorten the wait.
bool llm_narrate_action_at(std::string_view base_url, const NarrationRequest& request, char* out,
                           std::size_t capacity,
                           std::int32_t deadline_ms = LLM_CURL_MAX_TIME_MS +
                                                      LLM_DEADLINE_MARGIN_MS);
// The signed value of the first `"field":` in `json`, or 0.
std::int32_t extract_int_field(std::string_view json, const char* field);

// The pure steps of one request, in the order they run.
// The prompt sent to the model, cut to capacity-1 bytes.
void llm_build_prompt(const NarrationRequest& request, char* out, std::size_t capacity);
// Escapes `text` as the content of a JSON string: tab, line feed, quote and
// backslash as escape pairs; other control bytes and every invalid or
// incomplete UTF-8 sequence dropped. Stops once LLM_ESCAPED_MAX - 1 bytes are
// written, never splitting a pair or a character. Returns the length written.
std::size_t llm_escape_json(std::string_view text, char* out, std::size_t capacity);
// The request body around the escaped prompt; returns its length.
std::size_t llm_build_request_body(std::string_view prompt, char* out, std::size_t capacity);
// base_url + "/v1beta/models/<model>:generateContent?key=<key>"; an empty
// model means LLM_FALLBACK_MODEL.
void llm_build_url(std::string_view base_url, std::string_view model, std::string_view key,
                   char* out, std::size_t capacity);
// The curl argument vector, null-terminated; `data_arg` is "@" and the file name.
void llm_build_curl_argv(const char* url, const char* data_arg,
                         const char* (&argv)[LLM_CURL_ARGC + 1]);
// The narration in the reply's first "text" field, unescaped, at most
// LLM_TEXT_CAPACITY-1 bytes, without control bytes other than line feed and
// tab. False when there is no such field or the text is empty.
bool llm_extract_text(std::string_view reply, char* out, std::size_t capacity);
