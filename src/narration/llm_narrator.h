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
inline constexpr std::size_t LLM_PATH_CAPACITY = 256;     // a request file's name
inline constexpr std::size_t LLM_URL_CAPACITY = 1024;     // the request URL
inline constexpr std::size_t LLM_HEADER_CAPACITY = 512;   // the key's header line
inline constexpr std::size_t LLM_REPLY_CAPACITY = 8192;   // at most 8191 bytes of reply are read
inline constexpr std::size_t LLM_TEXT_CAPACITY = 2048;    // the extracted narration
inline constexpr int LLM_CURL_ARGC = 15;                  // curl arguments, program name included
// curl's own limit for the whole transfer (its --max-time), and how much longer
// the game waits before it kills a curl that has not ended by then.
inline constexpr std::int32_t LLM_CURL_MAX_TIME_MS = 6000;
inline constexpr std::int32_t LLM_DEADLINE_MARGIN_MS = 2000;
// Narrations answered by the offline narrator, without asking, after a request
// that got no answer in time: a service that hangs would cost every turn 8 s.
inline constexpr std::int32_t LLM_TIMEOUT_PAUSE_TURNS = 5;
// Tokens counted for a reply that reports no usage.
inline constexpr std::uint32_t LLM_DEFAULT_PROMPT_TOKENS = 35;
inline constexpr std::uint32_t LLM_DEFAULT_OUTPUT_TOKENS = 45;

inline constexpr const char* LLM_DEFAULT_BASE_URL = "https://generativelanguage.googleapis.com";
inline constexpr const char* LLM_FALLBACK_MODEL = "gemini-1.5-flash";  // when the model is empty
// The header that carries the key; curl reads it from a private file, so the
// key never shows in a process listing.
inline constexpr const char* LLM_KEY_HEADER = "x-goog-api-key";
// What curl writes after the reply: this mark, the HTTP status and its own exit
// code ("\n<mark>200 0\n"). The mark cannot occur in the service's JSON.
inline constexpr const char* LLM_STATUS_MARK = "@quillhaven-curl@ ";

// Who wrote a narration: the model, or the offline narrator and why.
enum class NarratorOutcome : std::uint8_t {
  kModel,        // the model answered
  kOffline,      // offline mode chosen (or no settings at all)
  kNoKey,        // no API key set
  kPaused,       // not asked: a recent request got no answer in time
  kNoCurl,       // curl is not installed (or could not be started)
  kNoRequest,    // the request could not be written
  kUnreachable,  // the service could not be reached (no network, no such host)
  kRefused,      // the service refused the request (HTTP 4xx: a wrong key, quota), or the key
                 // holds bytes no header can carry
  kTimedOut,     // no answer within curl's limit
  kUnreadable,   // an answer without narration (a server error, a reply of another shape)
};

// One adventure's record of the narrator's failures; all zero at the start.
struct NarratorHealth {
  bool failure_shown;         // the adventure's first failure has been told
  std::int32_t paused_turns;  // narrations left that skip the model after a timeout
};
static_assert(std::is_trivially_copyable_v<NarratorHealth>);

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
  NarratorHealth* health;       // the adventure's failures; without it no turn is skipped
};
static_assert(std::is_trivially_copyable_v<NarrationRequest>);

void llm_init(LlmTotals& totals);
// Writes the narration into `out` and says who wrote it: kModel, or why the
// offline narrator did. A request that timed out makes the next
// LLM_TIMEOUT_PAUSE_TURNS calls with the same health record skip the model.
NarratorOutcome llm_narrate_action(const NarrationRequest& request, char* out,
                                   std::size_t capacity);
// The same, sending the request to `base_url` (scheme and host, no trailing
// slash) instead of the hosted service, and killing curl when it has not ended
// within `deadline_ms`; tests point it at a local server and shorten the wait.
NarratorOutcome llm_narrate_action_at(std::string_view base_url, const NarrationRequest& request,
                                      char* out, std::size_t capacity,
                                      std::int32_t deadline_ms = LLM_CURL_MAX_TIME_MS +
                                                                 LLM_DEADLINE_MARGIN_MS);
// Who answers by the settings alone, before any request: kOffline, kNoKey, or
// kModel when the model is to be asked.
NarratorOutcome llm_planned_narrator(const AppConfig* config);
// The one line that tells the player why the offline narrator answers, for
// the first failure of an adventure (not for offline mode, which the player
// chose); null for the model, for a choice and for every later failure.
const char* llm_failure_notice(NarratorHealth& health, NarratorOutcome outcome);
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
// base_url + "/v1beta/models/<model>:generateContent"; an empty model means
// LLM_FALLBACK_MODEL. The key is not part of it.
void llm_build_url(std::string_view base_url, std::string_view model, char* out,
                   std::size_t capacity);
// The header line "x-goog-api-key: <key>\n" for curl's header file. False (and
// nothing written) when the key is empty, too long, or holds a control byte,
// which would end the header line early or add another one.
bool llm_build_key_header(std::string_view key, char* out, std::size_t capacity);
// The curl argument vector, null-terminated: `program` is curl's path,
// `header_arg` and `data_arg` are "@" and the header and body files' names.
void llm_build_curl_argv(const char* program, const char* url, const char* header_arg,
                         const char* data_arg, const char* (&argv)[LLM_CURL_ARGC + 1]);
// Splits curl's output into the reply and the status line it ends with. Without
// a whole status line (a stand-in, or a reply longer than what is read) the
// output is all reply and both codes are -1.
std::string_view llm_split_status(std::string_view output, std::int32_t* http_status,
                                  std::int32_t* curl_exit);
// What a finished request came to, from the HTTP status and curl's exit code
// (-1 when unknown) and whether the reply held a narration.
NarratorOutcome llm_classify_reply(std::int32_t http_status, std::int32_t curl_exit, bool has_text);
// The narration in the reply's first "text" field, with its JSON escapes
// decoded (\uXXXX and surrogate pairs included), at most LLM_TEXT_CAPACITY-1
// bytes and never ending inside a character, without control bytes other than
// line feed and tab. False when there is no such field or the text is empty.
bool llm_extract_text(std::string_view reply, char* out, std::size_t capacity);
