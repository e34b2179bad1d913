// The narrators: offline sentences, the escaping of a model request, and llm_narrate_action with
// a stand-in curl first on PATH that records what it was given, or real curl against 127.0.0.1.
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
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "narration/offline_narrator.h"
#include "support/test_support.h"

namespace {

using namespace qh_test;

constexpr const char* kOffline = "Sin efecto.";  // the result, which the offline narrator repeats
// What the offline narrator writes instead, with the fixture's lore passage.
const std::string kFallback = std::string(kOffline) + "\n\n[📖 Detalle descubierto: T]\n\"Huesos\"";
const std::string kRequestFile = "/tmp/quillhaven_llm_req_" + std::to_string(getpid());
// The body for the action `A "q" b\c<tab>d<line feed>e<carriage return>f`.
const std::string kBody = read_file(QH_TEST_DATA_DIR "/narration/request_body.json");

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

class LlmNarrator : public ::testing::Test {
 protected:
  void SetUp() override {
    app_config_.gemini_api_key.assign("KEY");
    app_config_.model.assign("modelo-x");
    hero_->name.assign("Aria");  // never sent
    hero_->hp = 7;
    hero_->max_hp = 12;
    section_->title.assign("Cripta");
    lore_.title.assign("T");
    lore_.text.assign("Huesos");
    write_file(dir_.file("reply"), reply(R"("Bien.")"));
    // Logs its arguments and the request file's (tenth) mode, type and content; prints "reply".
    make_executable_script(dir_.file("bin/curl"),
                           "#!/bin/sh\ncd '" + dir_.path() +
                               "' || exit 1\n"
                               "{ printf '%s\\n' \"${0##*/}\" \"$@\"; stat -c '%a %F' \"${10#@}\"; "
                               "cat \"${10#@}\"; } > log\ncat reply\n");
    setenv("PATH", (dir_.file("bin") + ":" + path_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", path_.c_str(), 1); }

  // Narrates through `base`, with the counters (garbage first) when `counted`. When curl ran,
  // checks its arguments for the configured model and key, that the request file held the body
  // privately, and that the file is gone; the file's name is kept.
  bool narrate(bool counted = false, std::string_view base = LLM_DEFAULT_BASE_URL) {
    unlink(dir_.file("log").c_str());
    std::memset(out_, 'X', sizeof(out_) - 1);
    std::memset(&counters_, 0xAB, sizeof(counters_));
    const NarrationRequest request{.config = config_,
                                   .hero = hero_.get(),
                                   .section = section_.get(),
                                   .action = "A \"q\" b\\c\td\ne\rf",
                                   .roll = nullptr,
                                   .result = kOffline,
                                   .lore = &lore_,
                                   .totals = &totals_,
                                   .counters = counted ? &counters_ : nullptr,
                                   .random = nullptr};
    bool from_model = llm_narrate_action_at(base, request, out_, sizeof(out_), deadline_ms_);
    std::string log = read_file(dir_.file("log"));
    std::size_t at = log.find("\n@") + 2;
    file_ = log.empty() ? "" : log.substr(at, log.find('\n', at) - at);
    if (log.empty()) return from_model;
    const char* model = config_->model.empty() ? "gemini-1.5-flash" : config_->model.c_str();
    EXPECT_EQ(log,
              "curl\n-s\n--max-time\n6\n-H\nContent-Type: application/json\n-X\nPOST\n"
              "https://generativelanguage.googleapis.com/v1beta/models/" +
                  std::string(model) + ":generateContent?key=" + config_->gemini_api_key.c_str() +
                  "\n-d\n@" + file_ + "\n600 regular file\n" + kBody);
    EXPECT_FALSE(file_exists(file_));
    return from_model;
  }

  std::string path_ = std::getenv("PATH");
  TempDir dir_;
  AppConfig app_config_{};
  const AppConfig* config_ = &app_config_;
  std::string file_;  // the request file curl was given last
  std::unique_ptr<Character> hero_ = std::make_unique<Character>();
  std::unique_ptr<StorySection> section_ = std::make_unique<StorySection>();
  LoreHit lore_{};
  LlmTotals totals_{};
  TokenCounters counters_{};
  std::int32_t deadline_ms_ = LLM_CURL_MAX_TIME_MS + LLM_DEADLINE_MARGIN_MS;
  char out_[4096] = {};
};

TEST_F(LlmNarrator, RepliesCountersAndTotals) {
  const std::string big(20000, 'a');
  // The reply, the narration shown (empty: the offline one), the tokens counted.
  const std::tuple<std::string, std::string, std::uint32_t, std::uint32_t> cases[] = {
      {reply(R"("Dijo \"hola\"\nAdiós")", 7, 8), "Dijo \"hola\"\nAdiós", 7, 8},
      {reply(R"("Sin cuenta.")"), "Sin cuenta.", 35, 45},
      {reply(R"("Doce.")", 12), "Doce.", 12, 0},
      {reply(R"("Raro.")", -5, 7), "Raro.", 0, 7},
      {reply(R"("")", 3), "", 0, 0},
      {R"({"error": {"code": 400, "message": "API key not valid"}})", "", 0, 0},
      // Only 8191 bytes are read: the usage after a long text is never seen.
      {reply("\"" + big + "\"", 3), big.substr(0, 2047), 35, 45},
      {R"({"text": "ok"})" + std::string(300000, ' ') + R"("promptTokenCount": 5)", "ok", 35, 45},
      {reply("\"Hola \x1b[31mrojo\x1b[0m\x1b]0;t\x07\r\x7F\xC2\x9B!\"", 5, 6),
       "Hola [31mrojo[0m]0;t!", 5, 6},
      {R"("text": "sin cierre\)", "sin cierre\\", 35, 45},
  };
  std::uint32_t prompt_total = 0, output_total = 0;
  for (const auto& [text, shown, prompt, output] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    write_file(dir_.file("reply"), text);
    EXPECT_EQ(narrate(true), !shown.empty());
    EXPECT_EQ(std::string(out_), shown.empty() ? kFallback : shown);
    prompt_total += prompt;
    output_total += output;
    EXPECT_EQ(counts(counters_), (Counts{prompt, output, prompt + output, prompt_total,
                                         output_total, prompt_total + output_total}));
  }
}

TEST_F(LlmNarrator, OfflineModeNoKeyOrNoCurlMakeNoRequest) {
  totals_ = {100, 200};
  for (int variant = 0; variant < 4; ++variant) {
    app_config_.gemini_api_key.assign(variant == 0 ? "" : "KEY");
    app_config_.offline_mode = variant == 1;
    config_ = variant == 2 ? nullptr : &app_config_;
    if (variant == 3) setenv("PATH", dir_.file("none").c_str(), 1);  // no curl at all
    EXPECT_FALSE(narrate(true));
    EXPECT_EQ(out_, kFallback);
    EXPECT_TRUE(file_.empty() && !file_exists(kRequestFile + ".json"));
    EXPECT_EQ(counts(counters_), (Counts{0, 0, 0, 100, 200, 300})) << variant;
  }
}

TEST_F(LlmNarrator, NeitherKeyNorModelNorAPlantedLinkCanRunOrOverwriteAnything) {
  app_config_.gemini_api_key.assign("k'\";touch PWN;\"");
  for (const char* model : {"m$(touch PWN)", ""}) {  // no model: the fallback one
    app_config_.model.assign(model);
    EXPECT_TRUE(narrate());
  }
  EXPECT_FALSE(file_exists("PWN") || file_exists(dir_.file("PWN")));
  const std::string name = kRequestFile + ".json";
  write_file(dir_.file("target"), "original");
  for (const std::string& target : {dir_.file("target"), dir_.file("absent")}) {
    ASSERT_EQ(symlink(target.c_str(), name.c_str()), 0);
    EXPECT_TRUE(narrate());
    // A file of its own beside the link, which is left alone.
    EXPECT_TRUE(file_.starts_with(kRequestFile + "_") && file_.ends_with(".json")) << file_;
    EXPECT_EQ(read_file(dir_.file("target")), "original");
    EXPECT_FALSE(file_exists(dir_.file("absent")));
    EXPECT_EQ(unlink(name.c_str()), 0);
  }
  // A stale request file of ours is replaced by a fresh private one.
  write_file(name, "stale");
  chmod(name.c_str(), 0644);
  EXPECT_TRUE(narrate());
  EXPECT_EQ(file_, name);
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
  const std::pair<const char*, bool> cases[] = {
      {"printf '{\"text\": \"a medias'\nsleep 1000 & echo $! >> pids\nwait\n", false},
      {"cat reply\n", true}};
  deadline_ms_ = 300;
  totals_ = {100, 200};
  for (const auto& [tail, answered] : cases) {
    make_executable_script(dir_.file("bin/curl"), "#!/bin/sh\ntrap '' TERM\ncd '" + dir_.path() +
                                                      "' || exit 1\necho $$ > pids\n"
                                                      "sleep 1000 & echo $! >> pids\n" +
                                                      tail);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(narrate(true), answered) << tail;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(out_, answered ? "Bien." : kFallback);
    EXPECT_FALSE(file_exists(kRequestFile + ".json"));
    // A reply without usage counts 35 + 45; the killed request counts nothing.
    EXPECT_EQ(counts(counters_),
              answered ? (Counts{35, 45, 80, 135, 245, 380}) : (Counts{0, 0, 0, 100, 200, 300}));
    // Nothing of curl's is left running, and nothing is left for the game to reap.
    const std::string pids = read_file(dir_.file("pids"));
    const char* next = pids.c_str();
    char* end = nullptr;
    int found = 0;
    for (long pid; (pid = std::strtol(next, &end, 10)) > 0; next = end, ++found) {
      EXPECT_TRUE(ended(static_cast<pid_t>(pid))) << pid;
    }
    EXPECT_EQ(found, answered ? 2 : 3);
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
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
    ssize_t got = 0;
    while (!request.ends_with(body) && (got = recv(conn, buf, 4096, 0)) > 0)
      request.append(buf, static_cast<std::size_t>(got));
    std::string text = reply(R"("El eco responde.")", 11, 22);
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) +
                         "\r\nConnection: close\r\n\r\n" + text;
    send(conn, answer.data(), answer.size(), MSG_NOSIGNAL);
    close(conn);
  });
  EXPECT_TRUE(narrate(true, base));
  server.join();
  EXPECT_STREQ(out_, "El eco responde.");
  EXPECT_EQ(counts(counters_), (Counts{11, 22, 33, 11, 22, 33}));
  EXPECT_TRUE(request.ends_with("\r\n\r\n" + body)) << request;

  // The next connection is queued but never answered: curl gives up after 6 seconds.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(narrate(true, base));
  auto waited = std::chrono::steady_clock::now() - start;
  close(fd);
  EXPECT_TRUE(waited > std::chrono::seconds(5) && waited < std::chrono::seconds(8));
  EXPECT_EQ(out_, kFallback);
  EXPECT_EQ(counts(counters_), (Counts{0, 0, 0, 11, 22, 33}));
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
  const NarrationRequest what{.config = nullptr,
                              .hero = nullptr,
                              .section = nullptr,
                              .action = action.c_str(),
                              .roll = nullptr,
                              .result = "b",
                              .lore = lore,
                              .totals = nullptr,
                              .counters = nullptr,
                              .random = nullptr};
  llm_build_prompt(what, prompt, sizeof(prompt));
  return {prompt, std::string(body, llm_build_request_body(prompt, body, sizeof(body)))};
}

TEST(LlmRequest, EscapingWritesOnlyWholeValidUnits) {
  std::string pairs;
  for (int k = 0; k < 1023; ++k) pairs += "\\\"";
  const std::string a2044(2044, 'a');
  const std::pair<std::string, std::string> cases[] = {
      // A character cut before a space or missing its last byte (at the very end: below).
      {"a\xC3 b", "a b"},
      {"\xE2\x82", ""},
      // Stray continuation bytes, overlong forms, a surrogate, past the last code point.
      {"\x80x\xBF", "x"},
      {"\xC0\xAF\xE0\x80\xAF", ""},
      {"\xED\xA0\x80z", "z"},
      {"\xF4\x90\x80\x80", ""},
      {"😀 á € \x7F", "😀 á € \x7F"},
      // Cuts: the last pair still fits; the last character would not.
      {std::string(3000, 'a'), std::string(2046, 'a')},
      {std::string(2047, '"'), pairs},
      {"x" + std::string(2046, '"'), "x" + pairs},
      {a2044 + "€", a2044 + "€"},
      {a2044 + "a€", a2044 + "a"}};
  for (const auto& [in, expected] : cases) {
    char out[LLM_ESCAPED_MAX + 1];
    EXPECT_EQ(llm_escape_json(in, out, sizeof(out)), expected.size()) << in.substr(0, 16);
    EXPECT_EQ(std::string(out), expected) << in.substr(0, 16);
  }

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
