#include "narration/llm_narrator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fixed_text.h"
#include "common/json_text.h"
#include "narration/offline_narrator.h"
#include "platform/platform.h"

namespace {

constexpr const char* kBodyFormat =
    "{\n"
    "  \"contents\": [{\n"
    "    \"parts\": [{\"text\": \"%s\"}]\n"
    "  }],\n"
    "  \"generationConfig\": {\n"
    "    \"maxOutputTokens\": 120,\n"
    "    \"temperature\": 0.7\n"
    "  }\n"
    "}\n";

// Length of the well-formed UTF-8 sequence that starts `text`, or 0 when the
// first byte does not start one (a stray continuation byte, an overlong or
// surrogate form, or a sequence cut short).
std::size_t utf8_sequence_length(std::string_view text) {
  unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    low = 0xA0;
  } else if (lead == 0xED) {
    length = 3;
    high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
  } else if (lead == 0xF0) {
    length = 4;
    low = 0x90;
  } else if (lead == 0xF4) {
    length = 4;
    high = 0x8F;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  unsigned char second = static_cast<unsigned char>(text[1]);
  if (second < low || second > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// Removes, in place, the bytes that could drive a terminal: C0 controls other
// than line feed and tab, DEL, and C1 controls (encoded as 0xC2 0x80..0x9F).
std::size_t drop_control_bytes(char* text, std::size_t length) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) continue;
    if (c == 0xC2 && i + 1 < length) {
      unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        ++i;
        continue;
      }
    }
    text[kept++] = text[i];
  }
  text[kept] = '\0';
  return kept;
}

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

// Creates the request file for writing, readable by its owner only, and
// never through a link: a stale file of ours under the usual name is removed
// first; when the name is still taken (by a link, or by someone else) the
// file gets a randomly suffixed name in the same folder. Returns the
// descriptor, or -1.
int create_request_file(char* path, std::size_t capacity) {
  int pid = static_cast<int>(::getpid());
  std::snprintf(path, capacity, "/tmp/quillhaven_llm_req_%d.json", pid);
  struct stat st;
  if (::lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
    ::unlink(path);
  }
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::snprintf(path, capacity, "/tmp/quillhaven_llm_req_%d_XXXXXX.json", pid);
  fd = ::mkostemps(path, 5, O_CLOEXEC);
  if (fd < 0) path[0] = '\0';
  return fd;
}

void fill_counters(TokenCounters* counters, const LlmTotals* totals, std::uint32_t prompt,
                   std::uint32_t output) {
  if (counters == nullptr) return;
  counters->last_prompt = prompt;
  counters->last_output = output;
  counters->last_total = saturating_add(prompt, output);
  if (totals != nullptr) {
    counters->session_prompt = totals->prompt_total;
    counters->session_output = totals->output_total;
    counters->session_total = saturating_add(totals->prompt_total, totals->output_total);
  }
}

}  // namespace

void llm_init(LlmTotals& totals) {
  totals.prompt_total = 0;
  totals.output_total = 0;
}

std::int32_t extract_int_field(std::string_view json, const char* field) {
  return json_text_read_int(json, field, 0);
}

void llm_build_prompt(const NarrationRequest& request, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  const Character* hero = request.hero;
  const LoreHit* lore = request.lore;
  // The hero's name is not sent, only the hit points.
  char summary[LLM_SUMMARY_CAPACITY];
  std::snprintf(summary, sizeof(summary), "Vida %d/%d", hero != nullptr ? hero->hp : 10,
                hero != nullptr ? hero->max_hp : 10);
  bool with_lore = lore != nullptr && !lore->title.empty();
  std::snprintf(out, capacity,
                "Lugar: %s. Personaje: %s. Accion: %s. Resultado mecanico: %s.%s%s Narra el "
                "desenlace en 2 frases breves e inmersivas.",
                request.section != nullptr ? request.section->title.c_str() : "Aventura", summary,
                request.action != nullptr ? request.action : "avanzar",
                request.result != nullptr ? request.result : "Exito", with_lore ? " Lore: " : "",
                with_lore ? lore->text.c_str() : "");
}

std::size_t llm_escape_json(std::string_view text, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  std::size_t limit = capacity - 1 < LLM_ESCAPED_MAX ? capacity - 1 : LLM_ESCAPED_MAX;
  std::size_t used = 0;
  std::size_t i = 0;
  // Each step writes one whole unit (a byte, an escape pair or a character),
  // and only when all of it fits.
  while (i < text.size() && used + 1 < limit) {
    char c = text[i];
    const char* unit = &text[i];
    std::size_t unit_length = 1;
    std::size_t consumed = 1;
    if (c == '\t') {
      unit = "\\t";
      unit_length = 2;
    } else if (c == '\n') {
      unit = "\\n";
      unit_length = 2;
    } else if (c == '"') {
      unit = "\\\"";
      unit_length = 2;
    } else if (c == '\\') {
      unit = "\\\\";
      unit_length = 2;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      unit_length = 0;  // carriage return and the other control bytes
    } else {
      unit_length = utf8_sequence_length(text.substr(i));
      consumed = unit_length == 0 ? 1 : unit_length;  // a broken byte is dropped alone
    }
    if (used + unit_length > limit) break;
    if (unit_length > 0) std::memcpy(out + used, unit, unit_length);
    used += unit_length;
    i += consumed;
  }
  out[used] = '\0';
  return used;
}

std::size_t llm_build_request_body(std::string_view prompt, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  char escaped[LLM_ESCAPED_MAX + 1];
  llm_escape_json(prompt, escaped, sizeof(escaped));
  int length = std::snprintf(out, capacity, kBodyFormat, escaped);
  if (length < 0) {
    out[0] = '\0';
    return 0;
  }
  std::size_t written = static_cast<std::size_t>(length);
  return written < capacity ? written : capacity - 1;
}

void llm_build_url(std::string_view base_url, std::string_view model, std::string_view key,
                   char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  if (model.empty()) model = LLM_FALLBACK_MODEL;
  text_copy(out, capacity, base_url);
  text_append(out, capacity, "/v1beta/models/");
  text_append(out, capacity, model);
  text_append(out, capacity, ":generateContent?key=");
  text_append(out, capacity, key);
}

void llm_build_curl_argv(const char* url, const char* data_arg,
                         const char* (&argv)[LLM_CURL_ARGC + 1]) {
  // Silent, at most 6 seconds (LLM_CURL_MAX_TIME_MS) for the whole transfer, a
  // JSON POST whose body is read from the request file.
  const char* fixed[LLM_CURL_ARGC + 1] = {
      "curl", "-s",   "--max-time", "6",  "-H",     "Content-Type: application/json",
      "-X",   "POST", url,          "-d", data_arg, nullptr,
  };
  for (int k = 0; k <= LLM_CURL_ARGC; ++k) argv[k] = fixed[k];
}

bool llm_extract_text(std::string_view reply, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = '\0';
  constexpr std::string_view kKey = "\"text\":";
  std::size_t at = reply.find(kKey);
  if (at == std::string_view::npos) return false;
  std::size_t i = at + kKey.size();
  while (i < reply.size() &&
         (reply[i] == ' ' || reply[i] == '\t' || reply[i] == '\r' || reply[i] == '\n')) {
    ++i;
  }
  if (i >= reply.size() || reply[i] != '"') return false;
  ++i;

  std::size_t limit = (capacity < LLM_TEXT_CAPACITY ? capacity : LLM_TEXT_CAPACITY) - 1;
  std::size_t length = 0;
  while (i < reply.size() && length < limit) {
    char c = reply[i];
    if (c == '"') break;
    // Only \n and \t are decoded; any other escaped byte stands for itself
    // (so \" is a quote and \\ a backslash). \u sequences stay as text.
    if (c == '\\' && i + 1 < reply.size()) {
      char escaped = reply[i + 1];
      c = escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
      i += 2;
    } else {
      ++i;
    }
    out[length++] = c;
  }
  out[length] = '\0';
  return drop_control_bytes(out, length) > 0;
}

bool llm_narrate_action(const NarrationRequest& request, char* out, std::size_t capacity) {
  return llm_narrate_action_at(LLM_DEFAULT_BASE_URL, request, out, capacity);
}

bool llm_narrate_action_at(std::string_view base_url, const NarrationRequest& request, char* out,
                           std::size_t capacity, std::int32_t deadline_ms) {
  const AppConfig* config = request.config;
  LlmTotals* totals = request.totals;
  TokenCounters* counters = request.counters;
  // A call that never reaches the model shows 0 for itself and the session
  // totals as they stand.
  if (counters != nullptr) {
    std::memset(counters, 0, sizeof(*counters));
    fill_counters(counters, totals, 0, 0);
  }
  auto offline = [&]() {
    offline_narrator_describe_action(request.action, request.roll, request.result, request.lore,
                                     request.random, out, capacity);
    return false;
  };
  if (config == nullptr || config->offline_mode || config->gemini_api_key.empty() ||
      out == nullptr || capacity == 0) {
    return offline();
  }

  char prompt[LLM_PROMPT_CAPACITY];
  llm_build_prompt(request, prompt, sizeof(prompt));
  char body[LLM_BODY_CAPACITY];
  std::size_t body_length = llm_build_request_body(prompt, body, sizeof(body));

  char path[LLM_PATH_CAPACITY];
  int fd = create_request_file(path, sizeof(path));
  if (fd < 0) return offline();
  bool written = platform_write_all(fd, body, body_length);
  if (::close(fd) != 0) written = false;
  if (!written) {
    ::unlink(path);
    return offline();
  }

  char url[LLM_URL_CAPACITY];
  llm_build_url(base_url, config->model.view(), config->gemini_api_key.view(), url, sizeof(url));
  char data_arg[LLM_PATH_CAPACITY + 1];
  std::snprintf(data_arg, sizeof(data_arg), "@%s", path);
  const char* argv[LLM_CURL_ARGC + 1];
  llm_build_curl_argv(url, data_arg, argv);

  char reply[LLM_REPLY_CAPACITY];
  std::size_t reply_length = 0;
  // False too when curl outlived its deadline and was killed: its reply is incomplete.
  bool finished = platform_run_capture(argv, reply, sizeof(reply), &reply_length, deadline_ms);
  ::unlink(path);
  if (!finished) return offline();
  if (reply_length >= sizeof(reply)) reply_length = sizeof(reply) - 1;

  std::string_view reply_text(reply, reply_length);
  char text[LLM_TEXT_CAPACITY];
  if (!llm_extract_text(reply_text, text, sizeof(text))) return offline();
  text_copy(out, capacity, text);

  // Counts a service reports below zero are nonsense and count as none.
  std::int32_t prompt_found = extract_int_field(reply_text, "promptTokenCount");
  std::int32_t output_found = extract_int_field(reply_text, "candidatesTokenCount");
  std::uint32_t prompt_tokens = prompt_found > 0 ? static_cast<std::uint32_t>(prompt_found) : 0;
  std::uint32_t output_tokens = output_found > 0 ? static_cast<std::uint32_t>(output_found) : 0;
  if (prompt_tokens == 0 && output_tokens == 0) {
    prompt_tokens = LLM_DEFAULT_PROMPT_TOKENS;
    output_tokens = LLM_DEFAULT_OUTPUT_TOKENS;
  }
  if (totals != nullptr) {
    totals->prompt_total = saturating_add(totals->prompt_total, prompt_tokens);
    totals->output_total = saturating_add(totals->output_total, output_tokens);
  }
  fill_counters(counters, totals, prompt_tokens, output_tokens);
  return true;
}
