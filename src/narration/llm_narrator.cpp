#include "narration/llm_narrator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/display_width.h"
#include "common/fixed_text.h"
#include "common/json_text.h"
#include "common/text_util.h"
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

// What curl writes after the reply: the status mark, the HTTP status and its
// own exit code, on a line of their own.
constexpr char kStatusWriteOut[] = "\n@quillhaven-curl@ %{http_code} %{exitcode}\n";
static_assert(std::string_view(kStatusWriteOut)
                  .substr(1, std::string_view(LLM_STATUS_MARK).size()) == LLM_STATUS_MARK);

// curl's exit codes for a request that never reached the service: a proxy or
// host that cannot be resolved, a refused connection, a failed TLS handshake or
// an unverifiable certificate. 28 is its own time limit.
constexpr std::int32_t kCurlUnreachable[] = {5, 6, 7, 35, 60};
constexpr std::int32_t kCurlTimedOut = 28;

// Length of `text` without a multi-byte character cut short at its end.
std::size_t without_cut_character(std::string_view text) {
  std::size_t n = text.size();
  for (std::size_t back = 1; back <= 4 && back <= n; ++back) {
    unsigned char c = static_cast<unsigned char>(text[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    std::size_t expected = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return back < expected ? n - back : n;
  }
  return n;
}

// The files of one request, in a folder of its own that only this user can
// enter: its name is random, so requests running at once (two adventures in one
// process, or two games) never share or replace a file, and nobody else can
// plant a link there or read the key.
constexpr char kRequestDirTemplate[] = "/tmp/quillhaven_llm_XXXXXX";

struct RequestFiles {
  char dir[sizeof kRequestDirTemplate];  // "" until the folder exists
  char body[LLM_PATH_CAPACITY];          // the request body
  char header[LLM_PATH_CAPACITY];        // the key's header line
};

bool write_private_file(const char* path, std::string_view content) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool written = platform_write_all(fd, content.data(), content.size());
  if (::close(fd) != 0) written = false;
  return written;
}

// Removes whatever request_files_create made.
void request_files_remove(RequestFiles& files) {
  if (files.dir[0] == '\0') return;
  ::unlink(files.body);
  ::unlink(files.header);
  ::rmdir(files.dir);
  files.dir[0] = '\0';
}

bool request_files_create(RequestFiles& files, std::string_view header, std::string_view body) {
  std::memcpy(files.dir, kRequestDirTemplate, sizeof kRequestDirTemplate);
  if (::mkdtemp(files.dir) == nullptr) {
    files.dir[0] = '\0';
    return false;
  }
  std::snprintf(files.body, sizeof files.body, "%s/request.json", files.dir);
  std::snprintf(files.header, sizeof files.header, "%s/headers", files.dir);
  if (write_private_file(files.body, body) && write_private_file(files.header, header)) return true;
  request_files_remove(files);
  return false;
}

// Runs one request and captures curl's output into `reply`. False, with the
// reason in `why`, when curl did not run to its end.
bool run_request(std::string_view base_url, const NarrationRequest& request,
                 const AppConfig& config, std::int32_t deadline_ms, char* reply,
                 std::size_t capacity, std::size_t* length, NarratorOutcome* why) {
  char header[LLM_HEADER_CAPACITY];
  if (!llm_build_key_header(config.gemini_api_key.view(), header, sizeof header)) {
    *why = NarratorOutcome::kRefused;
    return false;
  }
  char curl[LLM_PATH_CAPACITY];
  if (!platform_find_program("curl", curl, sizeof curl)) {
    *why = NarratorOutcome::kNoCurl;
    return false;
  }
  char prompt[LLM_PROMPT_CAPACITY];
  llm_build_prompt(request, prompt, sizeof(prompt));
  char body[LLM_BODY_CAPACITY];
  std::size_t body_length = llm_build_request_body(prompt, body, sizeof(body));
  RequestFiles files;
  if (!request_files_create(files, header, std::string_view(body, body_length))) {
    *why = NarratorOutcome::kNoRequest;
    return false;
  }

  char url[LLM_URL_CAPACITY];
  llm_build_url(base_url, config.model.view(), url, sizeof(url));
  char header_arg[LLM_PATH_CAPACITY + 1];
  char data_arg[LLM_PATH_CAPACITY + 1];
  std::snprintf(header_arg, sizeof(header_arg), "@%s", files.header);
  std::snprintf(data_arg, sizeof(data_arg), "@%s", files.body);
  const char* argv[LLM_CURL_ARGC + 1];
  llm_build_curl_argv(curl, url, header_arg, data_arg, argv);

  auto started = std::chrono::steady_clock::now();
  // False too when curl outlived its deadline and was killed: its reply is incomplete.
  bool finished = platform_run_capture(argv, reply, capacity, length, deadline_ms);
  request_files_remove(files);
  if (finished) return true;
  // A curl that could not even be started fails at once; one that was killed
  // had used up the whole wait.
  auto waited = std::chrono::steady_clock::now() - started;
  *why = waited >= std::chrono::milliseconds(deadline_ms) ? NarratorOutcome::kTimedOut
                                                          : NarratorOutcome::kNoCurl;
  return false;
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

void llm_build_url(std::string_view base_url, std::string_view model, char* out,
                   std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  if (model.empty()) model = LLM_FALLBACK_MODEL;
  text_copy(out, capacity, base_url);
  text_append(out, capacity, "/v1beta/models/");
  text_append(out, capacity, model);
  text_append(out, capacity, ":generateContent");
}

bool llm_build_key_header(std::string_view key, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = '\0';
  if (key.empty()) return false;
  for (char c : key) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  int length = std::snprintf(out, capacity, "%s: %.*s\n", LLM_KEY_HEADER,
                             static_cast<int>(key.size()), key.data());
  // A cut key would be a wrong key: refuse it rather than send part of it.
  if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
    out[0] = '\0';
    return false;
  }
  return true;
}

void llm_build_curl_argv(const char* program, const char* url, const char* header_arg,
                         const char* data_arg, const char* (&argv)[LLM_CURL_ARGC + 1]) {
  // Silent, at most 6 seconds (LLM_CURL_MAX_TIME_MS) for the whole transfer, a
  // JSON POST whose key header and body are read from the request's files, and
  // the status line after the reply.
  const char* fixed[LLM_CURL_ARGC + 1] = {
      program,  "-s",       "--max-time",
      "6",      "-H",       "Content-Type: application/json",
      "-H",     header_arg, "-X",
      "POST",   url,        "-d",
      data_arg, "-w",       kStatusWriteOut,
      nullptr,
  };
  for (int k = 0; k <= LLM_CURL_ARGC; ++k) argv[k] = fixed[k];
}

std::string_view llm_split_status(std::string_view output, std::int32_t* http_status,
                                  std::int32_t* curl_exit) {
  std::int32_t http = -1;
  std::int32_t exit_code = -1;
  std::string_view reply = output;
  const std::string_view mark = LLM_STATUS_MARK;
  std::size_t at = output.rfind(mark);
  // Only a whole line of its own at the very end: a reply cut by the read
  // limit has lost it.
  if (at != std::string_view::npos && at > 0 && output[at - 1] == '\n' && output.ends_with('\n')) {
    std::string_view line = output.substr(at + mark.size());
    line.remove_suffix(1);
    std::size_t space = line.find(' ');
    if (space != std::string_view::npos && space > 0 &&
        line.find_first_not_of("0123456789 ") == std::string_view::npos) {
      http = read_decimal_i32(line.substr(0, space));
      exit_code = space + 1 < line.size() ? read_decimal_i32(line.substr(space + 1)) : -1;
      reply = output.substr(0, at - 1);
    }
  }
  if (http_status != nullptr) *http_status = http;
  if (curl_exit != nullptr) *curl_exit = exit_code;
  return reply;
}

NarratorOutcome llm_classify_reply(std::int32_t http_status, std::int32_t curl_exit,
                                   bool has_text) {
  if (curl_exit == kCurlTimedOut) return NarratorOutcome::kTimedOut;
  for (std::int32_t code : kCurlUnreachable) {
    if (curl_exit == code) return NarratorOutcome::kUnreachable;
  }
  if (curl_exit > 0) return NarratorOutcome::kUnreadable;
  if (http_status >= 400 && http_status <= 499) return NarratorOutcome::kRefused;
  // Unknown (-1) counts as success: the text decides.
  bool success = http_status < 0 || (http_status >= 200 && http_status <= 299);
  return success && has_text ? NarratorOutcome::kModel : NarratorOutcome::kUnreadable;
}

bool llm_extract_text(std::string_view reply, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = '\0';
  std::size_t at = json_text_find_value(reply, "text");
  if (at >= reply.size() || reply[at] != '"') return false;
  std::size_t limit = (capacity < LLM_TEXT_CAPACITY ? capacity : LLM_TEXT_CAPACITY) - 1;
  std::string text;
  text.reserve(limit);
  json_text_decode_quoted(reply, at, limit, &text);
  // The limit may have split the last character; what an escape decodes to is
  // then filtered exactly like the raw bytes.
  std::size_t length = without_cut_character(text);
  std::memcpy(out, text.data(), length);
  return drop_control_bytes(out, length) > 0;
}

NarratorOutcome llm_planned_narrator(const AppConfig* config) {
  if (config == nullptr || config->offline_mode) return NarratorOutcome::kOffline;
  if (config->gemini_api_key.empty()) return NarratorOutcome::kNoKey;
  return NarratorOutcome::kModel;
}

const char* llm_failure_notice(NarratorHealth& health, NarratorOutcome outcome) {
  static_assert(LLM_TIMEOUT_PAUSE_TURNS == 5, "the timeout's notice names the turns");
  const char* line = nullptr;
  switch (outcome) {
    case NarratorOutcome::kModel:
    case NarratorOutcome::kOffline:
    case NarratorOutcome::kPaused:
      return nullptr;
    case NarratorOutcome::kNoKey:
      line =
          "⚠️ No hay clave de IA: narra el Narrador Clásico hasta que la configures en "
          "Ajustes.";
      break;
    case NarratorOutcome::kNoCurl:
      line = "⚠️ No se encontró curl: narra el Narrador Clásico en lugar del narrador IA.";
      break;
    case NarratorOutcome::kNoRequest:
      line = "⚠️ No se pudo preparar la petición al narrador IA; narra el Narrador Clásico.";
      break;
    case NarratorOutcome::kUnreachable:
      line = "⚠️ No se pudo conectar con el servicio de IA; narra el Narrador Clásico.";
      break;
    case NarratorOutcome::kRefused:
      line =
          "⚠️ El servicio de IA rechazó la petición (revisa la clave en Ajustes); narra el "
          "Narrador Clásico.";
      break;
    case NarratorOutcome::kTimedOut:
      line =
          "⚠️ El narrador IA no respondió a tiempo; narra el Narrador Clásico durante 5 "
          "turnos.";
      break;
    case NarratorOutcome::kUnreadable:
      line = "⚠️ No se entendió la respuesta del narrador IA; narra el Narrador Clásico.";
      break;
  }
  if (health.failure_shown) return nullptr;
  health.failure_shown = true;
  return line;
}

NarratorOutcome llm_narrate_action(const NarrationRequest& request, char* out,
                                   std::size_t capacity) {
  return llm_narrate_action_at(LLM_DEFAULT_BASE_URL, request, out, capacity);
}

NarratorOutcome llm_narrate_action_at(std::string_view base_url, const NarrationRequest& request,
                                      char* out, std::size_t capacity, std::int32_t deadline_ms) {
  const AppConfig* config = request.config;
  LlmTotals* totals = request.totals;
  TokenCounters* counters = request.counters;
  NarratorHealth* health = request.health;
  // A call that never reaches the model shows 0 for itself and the session
  // totals as they stand.
  if (counters != nullptr) {
    std::memset(counters, 0, sizeof(*counters));
    fill_counters(counters, totals, 0, 0);
  }
  auto offline = [&](NarratorOutcome why) {
    offline_narrator_describe_action(request.action, request.roll, request.result, request.lore,
                                     request.random, out, capacity);
    // A service that did not answer in time is left alone for a few turns.
    if (why == NarratorOutcome::kTimedOut && health != nullptr) {
      health->paused_turns = LLM_TIMEOUT_PAUSE_TURNS;
    }
    return why;
  };
  NarratorOutcome planned = llm_planned_narrator(config);
  if (planned != NarratorOutcome::kModel) return offline(planned);
  if (out == nullptr || capacity == 0) return offline(NarratorOutcome::kOffline);
  if (health != nullptr && health->paused_turns > 0) {
    --health->paused_turns;
    return offline(NarratorOutcome::kPaused);
  }

  char output[LLM_REPLY_CAPACITY];
  std::size_t output_length = 0;
  NarratorOutcome why = NarratorOutcome::kModel;
  if (!run_request(base_url, request, *config, deadline_ms, output, sizeof(output), &output_length,
                   &why)) {
    return offline(why);
  }
  if (output_length >= sizeof(output)) output_length = sizeof(output) - 1;

  std::int32_t http_status = -1;
  std::int32_t curl_exit = -1;
  std::string_view reply_text =
      llm_split_status(std::string_view(output, output_length), &http_status, &curl_exit);
  char text[LLM_TEXT_CAPACITY];
  bool has_text = llm_extract_text(reply_text, text, sizeof(text));
  NarratorOutcome outcome = llm_classify_reply(http_status, curl_exit, has_text);
  if (outcome != NarratorOutcome::kModel) return offline(outcome);
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
  return NarratorOutcome::kModel;
}
