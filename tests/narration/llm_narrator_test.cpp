// llm_narrate_action end to end: a stand-in curl on PATH that records what it
// was given, and the real curl against a server on 127.0.0.1. Never the network.
#include "narration/llm_narrator.h"

#include <arpa/inet.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

using qh_test::file_exists;
using qh_test::read_file;
using qh_test::TempDir;
using qh_test::write_file;

constexpr const char* kOfflineText = "Sin efecto.";  // what the offline narrator writes here

std::string main_request_path() {
  return "/tmp/quillhaven_llm_req_" + std::to_string(getpid()) + ".json";
}

// Request files of this process still present (any name of ours).
std::vector<std::string> leftover_request_files() {
  std::vector<std::string> found;
  glob_t g;
  std::string pattern = "/tmp/quillhaven_llm_req_" + std::to_string(getpid()) + "*";
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
    for (std::size_t k = 0; k < g.gl_pathc; ++k) found.push_back(g.gl_pathv[k]);
  }
  globfree(&g);
  return found;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string expected_body(const char* action) {
  char prompt[LLM_PROMPT_CAPACITY];
  llm_build_prompt(nullptr, nullptr, action, kOfflineText, nullptr, prompt, sizeof(prompt));
  char body[LLM_BODY_CAPACITY];
  std::size_t n = llm_build_request_body(prompt, body, sizeof(body));
  return std::string(body, n);
}

class LlmNarratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
    config_ = std::make_unique<AppConfig>();
    std::memset(static_cast<void*>(config_.get()), 0, sizeof(AppConfig));
    config_->gemini_api_key.assign("KEY");
    config_->model.assign("modelo-x");
    llm_init(totals_);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    std::vector<std::string> left = leftover_request_files();
    for (const std::string& name : left) unlink(name.c_str());
    EXPECT_TRUE(left.empty()) << left.front();
  }

  // Puts a stand-in curl first on PATH. It writes its arguments one per line,
  // the mode and type of the file named after "-d @" and a copy of it, then
  // prints the file "reply".
  void use_fake_curl() {
    std::string bin = dir_.file("bin");
    std::string script =
        "#!/bin/sh\n"
        "log='" +
        dir_.path() +
        "'\n"
        "printf '%s\\n' \"${0##*/}\" > \"$log/args\"\n"
        "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$log/args\"; done\n"
        "prev=''\n"
        "for a in \"$@\"; do\n"
        "  if [ \"$prev\" = '-d' ]; then\n"
        "    f=\"${a#@}\"\n"
        "    stat -c '%a %F' \"$f\" > \"$log/reqstat\"\n"
        "    cp \"$f\" \"$log/req\"\n"
        "  fi\n"
        "  prev=\"$a\"\n"
        "done\n"
        "cat \"$log/reply\"\n";
    qh_test::make_executable_script(bin + "/curl", script);
    setenv("PATH", (bin + ":" + saved_path_).c_str(), 1);
  }
  void reply_with(std::string_view reply) { write_file(dir_.file("reply"), reply); }
  void forget_last_request() {
    unlink(dir_.file("args").c_str());
    unlink(dir_.file("req").c_str());
    unlink(dir_.file("reqstat").c_str());
  }
  std::vector<std::string> curl_args() { return split_lines(read_file(dir_.file("args"))); }

  bool narrate(const char* action = "abrir", TokenCounters* counters = nullptr,
               std::string_view base = {}) {
    std::memset(out_, 'X', sizeof(out_));
    out_[sizeof(out_) - 1] = '\0';
    if (base.empty()) {
      return llm_narrate_action(&totals_, config_.get(), nullptr, nullptr, action, nullptr,
                                kOfflineText, nullptr, out_, sizeof(out_), counters);
    }
    return llm_narrate_action_at(base, &totals_, config_.get(), nullptr, nullptr, action, nullptr,
                                 kOfflineText, nullptr, out_, sizeof(out_), counters);
  }

  TempDir dir_;
  std::string saved_path_;
  std::unique_ptr<AppConfig> config_;
  LlmTotals totals_;
  char out_[4096];
};

std::string reply_json(std::string_view text_field, std::string_view usage) {
  return "{\n  \"candidates\": [{\"content\": {\"parts\": [{" + std::string(text_field) +
         "}]}}],\n  \"usageMetadata\": {" + std::string(usage) + "}\n}\n";
}

TEST_F(LlmNarratorTest, RepliesCountersAndTotals) {
  use_fake_curl();
  const std::string big_text(20000, 'a');
  const std::string huge_reply =
      "{\"text\": \"ok\"}" + std::string(300000, ' ') + "\"promptTokenCount\": 5";
  const struct {
    const char* name;
    std::string reply;
    bool from_model;
    std::string text;
    std::uint32_t prompt;
    std::uint32_t output;
  } cases[] = {
      {"normal",
       reply_json(R"("text": "La puerta cede.")",
                  R"("promptTokenCount": 10, "candidatesTokenCount": 20)"),
       true, "La puerta cede.", 10, 20},
      {"escaped quote and newline",
       reply_json(R"("text": "Dijo \"hola\"\nAdiós")",
                  R"("promptTokenCount": 7, "candidatesTokenCount": 8)"),
       true, "Dijo \"hola\"\nAdiós", 7, 8},
      {"no usage", reply_json(R"("text": "Sin cuenta.")", ""), true, "Sin cuenta.", 35, 45},
      {"only prompt tokens", reply_json(R"("text": "Doce.")", R"("promptTokenCount": 12)"), true,
       "Doce.", 12, 0},
      {"negative counts",
       reply_json(R"("text": "Raro.")", R"("promptTokenCount": -5, "candidatesTokenCount": 7)"),
       true, "Raro.", 0, 7},
      {"error reply", R"({"error": {"code": 400, "message": "API key not valid"}})", false,
       kOfflineText, 0, 0},
      {"empty text", reply_json(R"("text": "")", R"("promptTokenCount": 3)"), false, kOfflineText,
       0, 0},
      // Only 8191 bytes are read: the usage after the long text is never seen.
      {"20 KB", reply_json("\"text\": \"" + big_text + "\"", R"("promptTokenCount": 3)"), true,
       std::string(2047, 'a'), 35, 45},
      {"300 KB", huge_reply, true, "ok", 35, 45},
      {"raw escape byte",
       reply_json("\"text\": \"Hola \x1b[31mrojo\x1b[0m\x1b]0;t\x07\"",
                  R"("promptTokenCount": 5, "candidatesTokenCount": 6)"),
       true, "Hola [31mrojo[0m]0;t", 5, 6},
  };

  std::uint32_t prompt_total = 0;
  std::uint32_t output_total = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reply_with(c.reply);
    forget_last_request();
    TokenCounters counters;
    std::memset(&counters, 0xAB, sizeof(counters));
    EXPECT_EQ(narrate("abrir", &counters), c.from_model);
    EXPECT_EQ(std::string(out_), c.text);
    prompt_total += c.prompt;
    output_total += c.output;
    EXPECT_EQ(totals_.prompt_total, prompt_total);
    EXPECT_EQ(totals_.output_total, output_total);
    EXPECT_EQ(counters.last_prompt, c.prompt);
    EXPECT_EQ(counters.last_output, c.output);
    EXPECT_EQ(counters.last_total, c.prompt + c.output);
    EXPECT_EQ(counters.session_prompt, prompt_total);
    EXPECT_EQ(counters.session_output, output_total);
    EXPECT_EQ(counters.session_total, prompt_total + output_total);

    // Every case made the same request, and the file is gone afterwards.
    std::vector<std::string> args = curl_args();
    const std::vector<std::string> expected_args = {
        "curl",
        "-s",
        "--max-time",
        "6",
        "-H",
        "Content-Type: application/json",
        "-X",
        "POST",
        "https://generativelanguage.googleapis.com/v1beta/models/modelo-x:generateContent?key=KEY",
        "-d",
        "@" + main_request_path()};
    EXPECT_EQ(args, expected_args);
    EXPECT_EQ(read_file(dir_.file("reqstat")), "600 regular file\n");
    EXPECT_EQ(read_file(dir_.file("req")), expected_body("abrir"));
    EXPECT_FALSE(file_exists(main_request_path()));
  }
}

TEST_F(LlmNarratorTest, NoRequestWithoutKeyOrInOfflineMode) {
  use_fake_curl();
  reply_with(reply_json(R"("text": "Nunca.")", ""));
  totals_.prompt_total = 100;
  totals_.output_total = 200;
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    config_->gemini_api_key.assign(variant == 0 ? "" : "KEY");
    config_->offline_mode = variant == 1;
    const AppConfig* config = variant == 2 ? nullptr : config_.get();
    TokenCounters counters;
    std::memset(&counters, 0xAB, sizeof(counters));
    EXPECT_FALSE(llm_narrate_action(&totals_, config, nullptr, nullptr, "abrir", nullptr,
                                    kOfflineText, nullptr, out_, sizeof(out_), &counters));
    EXPECT_STREQ(out_, kOfflineText);
    EXPECT_FALSE(file_exists(dir_.file("args")));  // curl never ran
    EXPECT_EQ(counters.last_prompt, 0u);
    EXPECT_EQ(counters.last_output, 0u);
    EXPECT_EQ(counters.last_total, 0u);
    EXPECT_EQ(counters.session_prompt, 100u);
    EXPECT_EQ(counters.session_output, 200u);
    EXPECT_EQ(counters.session_total, 300u);
  }
  EXPECT_EQ(totals_.prompt_total, 100u);
  EXPECT_EQ(totals_.output_total, 200u);
}

TEST_F(LlmNarratorTest, KeyAndModelReachCurlAsPlainText) {
  use_fake_curl();
  reply_with(reply_json(R"("text": "Bien.")", ""));
  config_->gemini_api_key.assign("k'\";touch PWN;\"");
  config_->model.assign("m$(touch PWN)");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  bool from_model = narrate();
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(from_model);
  std::vector<std::string> args = curl_args();
  ASSERT_EQ(args.size(), 11u);
  EXPECT_EQ(args[8],
            "https://generativelanguage.googleapis.com/v1beta/models/m$(touch PWN)"
            ":generateContent?key=k'\";touch PWN;\"");
  EXPECT_FALSE(file_exists(dir_.file("PWN")));
  EXPECT_FALSE(file_exists(dir_.file("bin/PWN")));
}

TEST_F(LlmNarratorTest, RequestFileIsNeverReachedThroughALink) {
  use_fake_curl();
  reply_with(reply_json(R"("text": "Bien.")", ""));
  const std::string name = main_request_path();
  const std::string target = dir_.file("target");
  const std::string absent = dir_.file("absent");
  write_file(target, "original");

  for (const std::string& link_to : {target, absent}) {
    SCOPED_TRACE(link_to);
    forget_last_request();
    ASSERT_EQ(symlink(link_to.c_str(), name.c_str()), 0);
    EXPECT_TRUE(narrate());
    EXPECT_EQ(read_file(target), "original");
    EXPECT_FALSE(file_exists(absent));
    // The request went through a file of its own beside the link.
    std::vector<std::string> args = curl_args();
    ASSERT_EQ(args.size(), 11u);
    std::string prefix = "@/tmp/quillhaven_llm_req_" + std::to_string(getpid()) + "_";
    EXPECT_EQ(args[10].compare(0, prefix.size(), prefix), 0) << args[10];
    EXPECT_EQ(args[10].substr(args[10].size() - 5), ".json");
    EXPECT_EQ(read_file(dir_.file("reqstat")), "600 regular file\n");
    EXPECT_EQ(read_file(dir_.file("req")), expected_body("abrir"));
    EXPECT_FALSE(file_exists(args[10].substr(1)));
    struct stat st;
    EXPECT_EQ(lstat(name.c_str(), &st), 0);  // someone else's link is left alone
    unlink(name.c_str());
  }

  // A stale request file of ours is replaced by a fresh one.
  write_file(name, "stale");
  chmod(name.c_str(), 0644);
  forget_last_request();
  EXPECT_TRUE(narrate());
  EXPECT_EQ(curl_args().back(), "@" + name);
  EXPECT_EQ(read_file(dir_.file("reqstat")), "600 regular file\n");
  EXPECT_EQ(read_file(dir_.file("req")), expected_body("abrir"));
}

TEST_F(LlmNarratorTest, MissingCurlFallsBackSilently) {
  TempDir empty;
  setenv("PATH", empty.path().c_str(), 1);
  TokenCounters counters;
  EXPECT_FALSE(narrate("abrir", &counters));
  EXPECT_STREQ(out_, kOfflineText);
  EXPECT_EQ(counters.last_total, 0u);
  EXPECT_EQ(totals_.prompt_total, 0u);
}

// A one-connection HTTP server on 127.0.0.1. It records the request and then
// either answers with `reply` or never answers until the client goes away.
class LocalHttpServer {
 public:
  LocalHttpServer(std::string reply, bool answers) : reply_(std::move(reply)), answers_(answers) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 4) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LocalHttpServer() {
    if (thread_.joinable()) thread_.join();
    close(listen_fd_);
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  // Valid once the narrator call has returned (the client has gone).
  std::string request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  static bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 15000) > 0;
  }
  void serve() {
    if (!wait_readable(listen_fd_)) return;
    int conn = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return;
    char buf[4096];
    std::size_t wanted = std::string::npos;
    bool continued = false;
    while (request_.size() < wanted && wait_readable(conn)) {
      ssize_t got = recv(conn, buf, sizeof(buf), 0);
      if (got <= 0) break;
      request_.append(buf, static_cast<std::size_t>(got));
      std::size_t end = request_.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      std::size_t cl = request_.find("Content-Length: ");
      wanted = end + 4 + (cl < end ? std::strtoul(request_.c_str() + cl + 16, nullptr, 10) : 0);
      if (!continued && request_.find("Expect: 100-continue") < end) {
        send_all(conn, "HTTP/1.1 100 Continue\r\n\r\n");
        continued = true;
      }
    }
    if (answers_) {
      send_all(conn, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(reply_.size()) + "\r\nConnection: close\r\n\r\n" + reply_);
    } else {
      while (wait_readable(conn) && recv(conn, buf, sizeof(buf), 0) > 0) {
      }
    }
    close(conn);
  }
  static void send_all(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  std::string reply_;
  bool answers_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string request_;
};

TEST_F(LlmNarratorTest, RealCurlAgainstLocalServer) {
  LocalHttpServer server(reply_json(R"("text": "El eco responde.")",
                                    R"("promptTokenCount": 11, "candidatesTokenCount": 22)"),
                         true);
  ASSERT_NE(server.port(), 0);
  TokenCounters counters;
  EXPECT_TRUE(narrate("gritar \"hola\"", &counters, server.base()));
  EXPECT_STREQ(out_, "El eco responde.");
  EXPECT_EQ(counters.last_total, 33u);
  EXPECT_EQ(counters.session_total, 33u);

  std::string request = server.request();
  EXPECT_EQ(request.rfind("POST /v1beta/models/modelo-x:generateContent?key=KEY HTTP/1.1\r\n", 0),
            0u)
      << request;
  EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
  // "-d @file" sends the file without its line breaks.
  std::string body = expected_body("gritar \"hola\"");
  std::erase(body, '\n');
  std::erase(body, '\r');
  EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), body);
}

TEST_F(LlmNarratorTest, ServerThatNeverAnswersFallsBackWithinTheLimit) {
  LocalHttpServer server("", false);
  ASSERT_NE(server.port(), 0);
  TokenCounters counters;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(narrate("esperar", &counters, server.base()));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 8.0);
  EXPECT_STREQ(out_, kOfflineText);
  EXPECT_EQ(counters.last_total, 0u);
  EXPECT_EQ(totals_.prompt_total + totals_.output_total, 0u);
  EXPECT_NE(server.request().find("POST /v1beta/models/"), std::string::npos);
}

}  // namespace
