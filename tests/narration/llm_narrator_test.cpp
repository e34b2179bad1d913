// The narrators: offline sentences, the escaping of a model request, the reading of a reply, and
// llm_narrate_action with a stand-in curl first on PATH that records what it was given, or real
// curl against 127.0.0.1.
#include "narration/llm_narrator.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "narration/offline_narrator.h"
#include "support/test_support.h"

namespace {

using namespace qh_test;

constexpr const char* kOffline = "Sin efecto.";  // the result, which the offline narrator repeats
// What the offline narrator writes instead, with the fixture's lore passage.
const std::string kFallback = std::string(kOffline) + "\n\n[📖 Detalle descubierto: T]\n\"Huesos\"";
// The body for the action `A "q" b\c<tab>d<line feed>e<carriage return>f`.
const std::string kBody = read_file(QH_TEST_DATA_DIR "/narration/request_body.json");
constexpr const char* kKey = "clave-secreta-42";
// What curl adds after the reply: the status mark, the HTTP status and its exit code.
std::string status(const char* codes) { return std::string("\n@quillhaven-curl@ ") + codes + "\n"; }

std::string reply(std::string_view text, int prompt = INT_MIN, int output = INT_MIN) {
  std::string usage;
  if (prompt != INT_MIN) usage += "\"promptTokenCount\": " + std::to_string(prompt);
  if (output != INT_MIN) usage += ", \"candidatesTokenCount\": " + std::to_string(output);
  return "{\"candidates\": [{\"content\": {\"parts\": [{\"text\": " + std::string(text) +
         "}]}}],\n\"usageMetadata\": {" + usage + "}}\n";
}

// A call's counters: prompt, output and total of the call, then of the session.
using Counts = std::array<std::uint32_t, 6>;
Counts counts(const TokenCounters& c) { return std::bit_cast<Counts>(c); }

using Outcome = NarratorOutcome;

class LlmNarrator : public ::testing::Test {
 protected:
  void SetUp() override {
    app_config_.gemini_api_key.assign(kKey);
    app_config_.model.assign("modelo-x");
    hero_->name.assign("Aria");  // never sent
    hero_->hp = 7;
    hero_->max_hp = 12;
    section_->title.assign("Cripta");
    lore_.title.assign("T");
    lore_.text.assign("Huesos");
    write_file(dir_.file("reply"), reply(R"("Bien.")"));
    curl_from("curl_registra.sh");
    setenv("PATH", (dir_.file("bin") + ":" + path_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", path_.c_str(), 1); }
  // Puts a stand-in curl from tests/data/narration in the fixture's folder.
  void curl_from(const char* script) {
    make_executable_script(dir_.file("bin/curl"),
                           read_file(QH_TEST_DATA_DIR "/narration/" + std::string(script)));
  }

  // Narrates through `base`, with the counters (garbage first) when `counted`. When curl ran,
  // checks its arguments for the configured model, that the key came only through the private
  // header file, that the body was private too, and that the request's folder is gone; the
  // folder's name is kept.
  Outcome narrate(bool counted = false, std::string_view base = LLM_DEFAULT_BASE_URL) {
    unlink(dir_.file("log").c_str());
    std::memset(out_, 'X', sizeof(out_) - 1);
    std::memset(&counters_, 0xAB, sizeof(counters_));
    // Config, hero, section, action, roll, result, lore, totals, counters, random, health.
    const NarrationRequest request{
        config_,  hero_.get(), section_.get(), "A \"q\" b\\c\td\ne\rf",        nullptr,
        kOffline, &lore_,      &totals_,       counted ? &counters_ : nullptr, nullptr,
        health_};
    Outcome outcome = llm_narrate_action_at(base, request, out_, sizeof(out_), deadline_ms_);
    std::string log = read_file(dir_.file("log"));
    std::size_t at = log.find("\n@") + 2;
    folder_ = log.empty() ? "" : log.substr(at, log.find("/headers\n", at) - at);
    if (log.empty()) return outcome;
    const char* model = config_->model.empty() ? "gemini-1.5-flash" : config_->model.c_str();
    const std::string key = config_->gemini_api_key.c_str();
    EXPECT_EQ(log, "curl\n-s\n--max-time\n6\n-H\nContent-Type: application/json\n-H\n@" + folder_ +
                       "/headers\n-X\nPOST\n" + std::string(base) + "/v1beta/models/" + model +
                       ":generateContent\n-d\n@" + folder_ + "/request.json\n-w\n" +
                       status("%{http_code} %{exitcode}") +
                       "\n700 directory\n600 regular file\nx-goog-api-key: " + key +
                       "\n600 regular file\n" + kBody);
    // The key is in the header file only: neither an argument nor the environment shows it.
    EXPECT_EQ(log.find(key), log.find("x-goog-api-key: ") + 16);
    EXPECT_TRUE(lacks(read_file(dir_.file("env")), key));
    EXPECT_TRUE(folder_.starts_with("/tmp/quillhaven_llm_")) << folder_;
    EXPECT_FALSE(std::filesystem::exists(folder_));
    return outcome;
  }

  std::string path_ = std::getenv("PATH");
  TempDir dir_;
  AppConfig app_config_{};
  const AppConfig* config_ = &app_config_;
  NarratorHealth* health_ = nullptr;
  std::string folder_;  // the request folder curl was given last
  std::unique_ptr<Character> hero_ = std::make_unique<Character>();
  std::unique_ptr<StorySection> section_ = std::make_unique<StorySection>();
  LoreHit lore_{};
  LlmTotals totals_{};
  TokenCounters counters_{};
  std::int32_t deadline_ms_ = LLM_CURL_MAX_TIME_MS + LLM_DEADLINE_MARGIN_MS;
  char out_[4096] = {};
};

// What each reply shows, who answered and the tokens counted, call by call and for the
// session; then each reason the classic narrator answers, as curl reports it, and the one line
// the player reads about the adventure's first failure.
TEST_F(LlmNarrator, RepliesOutcomesCountersAndNotices) {
  using enum NarratorOutcome;
  const std::string big(20000, 'a');
  const std::string error = R"({"error": {"code": 400, "message": "API key not valid"}})";
  std::uint32_t prompt_total = 0, output_total = 0;
  // Who answers `text`, the narration shown (empty: the offline one), the tokens counted.
  auto check = [&](const std::string& text, Outcome outcome, const std::string& shown = "",
                   std::uint32_t prompt = 0, std::uint32_t output = 0) {
    SCOPED_TRACE(text.substr(0, 80));
    write_file(dir_.file("reply"), text);
    EXPECT_EQ(narrate(true), outcome);
    EXPECT_EQ(std::string(out_), shown.empty() ? kFallback : shown);
    prompt_total += prompt, output_total += output;
    EXPECT_EQ(counts(counters_), (Counts{prompt, output, prompt + output, prompt_total,
                                         output_total, prompt_total + output_total}));
  };
  // Only 8191 bytes are read: the usage after a long text is never seen. The status line curl
  // adds is not part of the reply, unless it is not the last line.
  const std::tuple<std::string, std::string, std::uint32_t, std::uint32_t> replies[] = {
      {reply(R"("Dijo \"hola\"\nAdiós")", 7, 8), "Dijo \"hola\"\nAdiós", 7, 8},
      {reply(R"("Sin cuenta.")"), "Sin cuenta.", 35, 45},
      {reply(R"("Doce.")", 12), "Doce.", 12, 0},
      {reply(R"("Raro.")", -5, 7), "Raro.", 0, 7},
      {reply("\"" + big + "\"", 3), big.substr(0, 2047), 35, 45},
      {R"({"text": "ok"})" + std::string(300000, ' ') + R"("promptTokenCount": 5)", "ok", 35, 45},
      {reply("\"Hola \x1b[31mrojo\x1b[0m\x1b]0;t\x07\r\x7F\xC2\x9B!\"", 5, 6),
       "Hola [31mrojo[0m]0;t!", 5, 6},
      {reply(R"("Con estado.")", 2, 3) + status("200 0"), "Con estado.", 2, 3},
      {reply(R"("Bien.")") + status("401 0") + "x", "Bien.", 35, 45}};
  for (const auto& [text, shown, prompt, output] : replies)
    check(text, kModel, shown, prompt, output);
  // What curl printed, and why the classic narrator answered.
  const std::pair<std::string, Outcome> failures[] = {
      {reply(R"("")", 3), kUnreadable},       {error, kUnreadable},
      {error + status("400 0"), kRefused},    {error + status("401 0"), kRefused},
      {error + status("403 0"), kRefused},    {reply(R"("Texto.")") + status("429 0"), kRefused},
      {error + status("500 0"), kUnreadable}, {reply(R"("Eco.")") + status("503 0"), kUnreadable},
      {status("000 28"), kTimedOut},          {status("000 7"), kUnreachable},
      {status("000 6"), kUnreachable},        {status("000 35"), kUnreachable},
      {status("000 52"), kUnreadable},        {"<html>502</html>" + status("200 0"), kUnreadable}};
  for (const auto& [text, outcome] : failures) check(text, outcome);

  // Each failure's line, told to an adventure with no failure yet.
  std::istringstream notices(read_file(QH_TEST_DATA_DIR "/narration/notices.txt"));
  std::string line;
  for (Outcome failure :
       {kNoKey, kNoCurl, kRefused, kUnreachable, kNoRequest, kUnreadable, kTimedOut}) {
    NarratorHealth fresh{};
    EXPECT_STREQ(llm_failure_notice(fresh, failure),
                 std::getline(notices, line) ? line.c_str() : "");
  }
  // The first failure of an adventure is told once, in one line; a choice, a success or a
  // pause is never told and does not use up that one line.
  NarratorHealth health{};
  for (Outcome quiet : {kModel, kOffline, kPaused})
    EXPECT_EQ(llm_failure_notice(health, quiet), nullptr);
  EXPECT_STREQ(llm_failure_notice(health, kTimedOut), line.c_str());
  for (Outcome later : {kTimedOut, kRefused, kNoKey})
    EXPECT_EQ(llm_failure_notice(health, later), nullptr);
}

TEST_F(LlmNarrator, ATimeoutLeavesTheModelAloneForFiveTurns) {
  NarratorHealth health{};
  health_ = &health;
  write_file(dir_.file("reply"), status("000 28"));
  EXPECT_EQ(narrate(), Outcome::kTimedOut);
  write_file(dir_.file("reply"), reply(R"("De vuelta.")"));
  for (int turn = 0; turn < LLM_TIMEOUT_PAUSE_TURNS; ++turn) {
    EXPECT_EQ(narrate(true), Outcome::kPaused) << turn;
    EXPECT_TRUE(folder_.empty()) << "curl ran in a paused turn";
    EXPECT_EQ(out_, kFallback);
    EXPECT_EQ(counts(counters_)[2], 0u);
  }
  EXPECT_EQ(narrate(), Outcome::kModel);
  EXPECT_STREQ(out_, "De vuelta.");
  // Offline mode answers as chosen and leaves a pause untouched.
  write_file(dir_.file("reply"), status("000 28"));
  EXPECT_EQ(narrate(), Outcome::kTimedOut);
  app_config_.offline_mode = true;
  EXPECT_EQ(narrate(), Outcome::kOffline);
  EXPECT_EQ(health.paused_turns, LLM_TIMEOUT_PAUSE_TURNS);
  // Other failures pause nothing.
  app_config_.offline_mode = false;
  health.paused_turns = 0;
  write_file(dir_.file("reply"), status("000 7"));
  EXPECT_EQ(narrate(), Outcome::kUnreachable);
  EXPECT_EQ(health.paused_turns, 0);
}

TEST_F(LlmNarrator, OfflineModeNoKeyOrNoCurlMakeNoRequest) {
  totals_ = {100, 200};
  const Outcome expected[] = {Outcome::kNoKey, Outcome::kOffline, Outcome::kOffline,
                              Outcome::kRefused, Outcome::kNoCurl};
  for (int variant = 0; variant < 5; ++variant) {
    // A key that would end its header line early and add another one is never sent.
    app_config_.gemini_api_key.assign(variant == 0 ? "" : variant == 3 ? "k\r\nHost: otro" : kKey);
    app_config_.offline_mode = variant == 1;
    config_ = variant == 2 ? nullptr : &app_config_;
    if (variant == 4) setenv("PATH", dir_.file("none").c_str(), 1);  // no curl at all
    EXPECT_EQ(narrate(true), expected[variant]) << variant;
    EXPECT_EQ(out_, kFallback);
    EXPECT_TRUE(folder_.empty());
    EXPECT_EQ(counts(counters_), (Counts{0, 0, 0, 100, 200, 300})) << variant;
  }
}

TEST_F(LlmNarrator, NeitherKeyNorModelCanRunAnythingAndRequestsNeverShareFiles) {
  app_config_.gemini_api_key.assign("k'\";touch PWN;\"");
  for (const char* model : {"m$(touch PWN)", ""}) {  // no model: the fallback one
    app_config_.model.assign(model);
    EXPECT_EQ(narrate(), Outcome::kModel);
  }
  EXPECT_FALSE(file_exists("PWN") || file_exists(dir_.file("PWN")));

  // Two adventures of one process asking at once: each request has a folder of its own.
  curl_from("curl_a_la_vez.sh");
  char out[2][64];
  Outcome got[2] = {Outcome::kOffline, Outcome::kOffline};
  auto ask = [&](int i) {
    NarrationRequest request{};
    request.config = &app_config_;
    request.action = "a";
    got[i] = llm_narrate_action(request, out[i], 64);
  };
  std::thread a(ask, 0), b(ask, 1);
  a.join(), b.join();
  for (int i : {0, 1})
    EXPECT_TRUE(got[i] == Outcome::kModel && out[i] == std::string("Bien.")) << i;
  std::istringstream folders(read_file(dir_.file("folders")));
  std::string x, y;
  ASSERT_TRUE(folders >> x >> y);
  EXPECT_NE(x, y);
  EXPECT_FALSE(std::filesystem::exists(x) || std::filesystem::exists(y));
}

// True once `pid` is gone or only a zombie waiting for someone else's wait.
bool ended(pid_t pid) {
  for (int tries = 0; tries < 200; ++tries) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t at = stat.rfind(')');
    if (at == std::string::npos || stat.compare(at, 4, ") Z ") == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST_F(LlmNarrator, ACurlThatNeverEndsIsKilledWithEverythingItStarted) {
  // Each stand-in ignores SIGTERM and leaves a child holding its output open; the first never
  // ends after half a reply, the second ends after a whole one.
  const std::pair<const char*, bool> cases[] = {{"curl_sin_fin.sh", false},
                                                {"curl_deja_un_hijo.sh", true}};
  deadline_ms_ = 300;
  totals_ = {100, 200};
  for (const auto& [script, answered] : cases) {
    curl_from(script);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(narrate(true), answered ? Outcome::kModel : Outcome::kTimedOut) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(out_, answered ? "Bien." : kFallback);
    // A reply without usage counts 35 + 45; the killed request counts nothing.
    EXPECT_EQ(counts(counters_),
              answered ? (Counts{35, 45, 80, 135, 245, 380}) : (Counts{0, 0, 0, 100, 200, 300}));
    // Nothing of curl's is left running, and nothing is left for the game to reap.
    std::istringstream pids(read_file(dir_.file("pids")));
    int found = 0;
    for (pid_t pid; pids >> pid; ++found) EXPECT_TRUE(ended(pid)) << pid;
    EXPECT_EQ(found, answered ? 2 : 3);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST_F(LlmNarrator, RealCurlAgainstALocalServer) {
  setenv("PATH", path_.c_str(), 1);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};  // any free port
  socklen_t len = sizeof(addr);
  auto* any = reinterpret_cast<sockaddr*>(&addr);
  ASSERT_TRUE(bind(fd, any, len) == 0 && listen(fd, 1) == 0 && getsockname(fd, any, &len) == 0);
  const std::string base = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  std::string body(kBody);
  std::erase(body, '\n');  // "-d @file" sends the file without its line breaks
  // Answers the first connection once its whole request has arrived.
  std::string request;
  std::thread server([&] {
    pollfd listening{fd, POLLIN, 0};  // never wait forever, should curl not connect
    int conn = poll(&listening, 1, 10000) > 0 ? accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    char buf[4096];
    for (ssize_t got; !request.ends_with(body) && (got = recv(conn, buf, 4096, 0)) > 0;)
      request.append(buf, static_cast<std::size_t>(got));
    const std::string text = reply(R"("El eco responde.")", 11, 22);
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) +
                               "\r\nConnection: close\r\n\r\n" + text;
    send(conn, answer.data(), answer.size(), MSG_NOSIGNAL);
    close(conn);
  });
  EXPECT_EQ(narrate(true, base), Outcome::kModel);
  server.join();
  EXPECT_STREQ(out_, "El eco responde.");
  EXPECT_EQ(counts(counters_), (Counts{11, 22, 33, 11, 22, 33}));
  EXPECT_TRUE(request.ends_with("\r\n\r\n" + body)) << request;
  // The key reached the service in its header, and nowhere in the request line.
  EXPECT_TRUE(request.starts_with("POST /v1beta/models/modelo-x:generateContent HTTP/1.1\r\n"))
      << request;
  EXPECT_TRUE(contains_in_order(request, {"\r\nx-goog-api-key: " + std::string(kKey) + "\r\n"}));
  EXPECT_EQ(request.find(kKey), request.find("x-goog-api-key: ") + 16);

  // The next connection is queued but never answered: curl gives up after 6 seconds.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(narrate(true, base), Outcome::kTimedOut);
  auto waited = std::chrono::steady_clock::now() - start;
  close(fd);
  EXPECT_TRUE(waited > std::chrono::seconds(5) && waited < std::chrono::seconds(8));
  EXPECT_EQ(out_, kFallback);
  EXPECT_EQ(counts(counters_), (Counts{0, 0, 0, 11, 22, 33}));
  // Nobody listens any more: the connection is refused at once.
  EXPECT_EQ(narrate(true, base), Outcome::kUnreachable);
}

GameRandom g_flavour;  // the generator the offline narrator draws from in these tests

std::string describe(std::int32_t outcome, const char* result, const LoreHit* lore = nullptr,
                     const char* action = "abrir") {
  RollResult roll{0, 0, 0, 0, 0, outcome, {}};
  char out[4096];
  offline_narrator_describe_action(action, &roll, result, lore, &g_flavour, out, sizeof(out));
  return out;
}

TEST(OfflineNarrator, ActionsDrawAFlavourSentenceByTierAndScenesShowTheirEnding) {
  // The first draw % 3 after seeds 1, 2 and 11 is 1, 0 and 2; the space after
  // the sentence stays without a result.
  const std::tuple<std::int32_t, std::string, unsigned, const char*> tiers[] = {
      {OUTCOME_CRIT_SUCCESS, CRIT_SUCCESS_FLAVOR[1], 1, "Pierdes 2 PV."},
      {OUTCOME_SUCCESS, SUCCESS_FLAVOR[0], 2, nullptr},
      {OUTCOME_COST, COST_FLAVOR[2], 11, "Pierdes 2 PV."},
      {OUTCOME_FAILURE, FAILURE_FLAVOR[2], 11, nullptr},
      {OUTCOME_CRIT_FAILURE, CRIT_FAILURE_FLAVOR[1], 1, "Pierdes 2 PV."},
      {6, FAILURE_FLAVOR[0], 2, "Pierdes 2 PV."}};  // any other value: a failure
  for (const auto& [outcome, sentence, seed, result] : tiers) {
    rules_random_seed(g_flavour, seed);
    EXPECT_EQ(describe(outcome, result), sentence + " " + (result ? result : "")) << outcome;
  }
  // Without a check the result, else the action, stands alone and nothing is drawn.
  rules_random_seed(g_flavour, 9);
  GameRandom before = g_flavour;
  EXPECT_EQ(describe(OUTCOME_NONE, "Investigación del entorno."), "Investigación del entorno.");
  EXPECT_EQ(describe(OUTCOME_NONE, nullptr), "abrir");
  EXPECT_EQ(describe(OUTCOME_NONE, nullptr, nullptr, nullptr), "");
  EXPECT_EQ(rules_random_next(g_flavour), rules_random_next(before));
  // The lore block is cut at 1023 bytes on its own.
  LoreHit lore{};
  lore.title.assign(std::string(127, 't'));
  lore.text.assign(std::string(1023, 'x'));
  EXPECT_EQ(describe(OUTCOME_NONE, "", &lore).size(), 1023u);

  // Scenes: an ending's banner, the text, and a warning while the hero has 1 to 3 hit points.
  auto section = std::make_unique<StorySection>();
  auto hero = std::make_unique<Character>();
  section->text.assign("Una sala.");
  const std::string hurt =
      "\n\n⚠️ Apenas te mantienes en pie; la sangre y el agotamiento nublan tu vista.";
  const std::tuple<int, const char*, std::string> cases[] = {
      {1, "", "Una sala." + hurt},
      {4, "defeat", "💀 TU AVENTURA LLEGA A SU FIN 💀\n\nUna sala."},
      {3, "victory", "🏆 ¡HAS ALCANZADO LA GLORIA! 🏆\n\nUna sala." + hurt},
      {0, "neutral", "📜 EPÍLOGO 📜\n\nUna sala."}};
  for (const auto& [hp, ending, text] : cases) {
    hero->hp = hp;
    section->is_ending = ending[0] != '\0';
    section->ending_type.assign(ending);
    char out[4096];
    offline_narrator_describe_scene(section.get(), hero.get(), out, sizeof(out));
    EXPECT_EQ(out, text) << hp << ending;
  }
}

// The prompt for `action` (with the result "b") and the request body built from it.
std::pair<std::string, std::string> request(const std::string& action, const LoreHit* lore) {
  char prompt[LLM_PROMPT_CAPACITY], body[LLM_BODY_CAPACITY];
  NarrationRequest what{};
  what.action = action.c_str();
  what.result = "b";
  what.lore = lore;
  llm_build_prompt(what, prompt, sizeof(prompt));
  return {prompt, std::string(body, llm_build_request_body(prompt, body, sizeof(body)))};
}

// A reply's text is decoded, and what its escapes decode to is filtered like raw bytes; a
// request's text is escaped. Either writes only whole valid characters.
TEST(LlmText, RepliesAreDecodedAndRequestsEscapedInWholeValidCharacters) {
  // Each line of the file: whether the text is a reply's or a request's, the text, and what it
  // gives ("\xNN" stands for a byte). Replies: a pair in the wrong order, controls however they
  // are written (line feed and tab stay), cuts that would leave half a character. Requests: a
  // character cut before a space or at the end, stray continuation bytes, overlong forms, a
  // surrogate, past the last code point, and the cuts: the last pair fits, the last character not.
  std::istringstream cases(read_file(QH_TEST_DATA_DIR "/narration/text_cases.txt"));
  int count = 0;
  for (std::string kind, in, expected; std::getline(cases, kind, '\t') &&
                                       std::getline(cases, in, '\t') &&
                                       std::getline(cases, expected);) {
    for (std::string* text : {&in, &expected})
      for (std::size_t at = 0; (at = text->find("\\x", at)) != std::string::npos; ++at)
        text->replace(at, 4, 1,
                      static_cast<char>(std::strtol(text->substr(at + 2, 2).c_str(), nullptr, 16)));
    SCOPED_TRACE(kind + " " + in.substr(0, 40));
    const bool reply = kind == "reply";
    std::vector<char> out(reply ? LLM_TEXT_CAPACITY : LLM_ESCAPED_MAX + 1);
    if (reply) {
      EXPECT_TRUE(llm_extract_text(R"({"text": ")" + in + "\"}", out.data(), out.size()));
    } else {
      EXPECT_EQ(llm_escape_json(in, out.data(), out.size()), expected.size());
    }
    EXPECT_EQ(std::string(out.data()), expected);
    ++count;
  }
  EXPECT_EQ(count, 18);
  char out[8];
  EXPECT_FALSE(llm_extract_text(R"({"text": "\u0000\u001b"})", out, sizeof out));
  EXPECT_FALSE(llm_extract_text(R"({"text": 5})", out, sizeof out));

  // The prompt's 2047-byte cut splits the "á" ending the action (the carriage returns before it
  // are dropped by the escaping, so that byte is reached); the body keeps the whole characters.
  const std::string head = "Lugar: Aventura. Personaje: Vida 10/10. Accion: ";
  const std::string a(2036 - head.size(), 'a');
  const auto [text, body] = request(std::string(10, '\r') + a + "á", nullptr);
  ASSERT_EQ(text.size(), 2047u);
  ASSERT_EQ(text.back(), '\xC3');
  EXPECT_NE(body.find("[{\"text\": \"" + head + a + "\"}]\n"), std::string::npos);
  // A lore passage cut inside a character when it was indexed; an untitled one is not sent.
  LoreHit lore{};
  lore.text.assign("Un jard\xC3");
  EXPECT_EQ(request("a", &lore).second.find("Lore"), std::string::npos);
  lore.title.assign("T");
  EXPECT_NE(request("a", &lore).second.find(". Lore: Un jard Narra el desenlace"),
            std::string::npos);
}

}  // namespace
