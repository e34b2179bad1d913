// Whole-process start-up: exec the game in a folder with quiet settings, let it
// draw the main menu, answer "6" and wait for it to exit. Reports the median
// wall time of one start and the child's peak resident memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr const char* kQuietConfig =
    "{\n"
    "  \"gemini_api_key\": \"\",\n"
    "  \"model\": \"gemini-flash-lite-latest\",\n"
    "  \"offline_mode\": true,\n"
    "  \"language\": \"es\",\n"
    "  \"show_token_usage\": true,\n"
    "  \"typing_speed\": 0.0000,\n"
    "  \"music_enabled\": false,\n"
    "  \"music_volume\": 0.70,\n"
    "  \"mqtt_broker\": \"test.mosquitto.org\",\n"
    "  \"mqtt_port\": 1883,\n"
    "  \"community_vault_repo\": \"oskel/Quillhaven-Vault\"\n"
    "}\n";

bool write_text(const std::string& path, const char* text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fputs(text, f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// One run of the game; false when it could not start or did not exit with 0.
bool run_once(const std::string& dir, int stdin_fd, int null_fd, long* max_rss_kb) {
  if (lseek(stdin_fd, 0, SEEK_SET) != 0) return false;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(stdin_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execl(QH_BINARY, QH_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  *max_rss_kb = std::max(*max_rss_kb, usage.ru_maxrss);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_StartupToMenuAndExit(benchmark::State& state) {
  char name[] = "/tmp/qh_startup_bench_XXXXXX";
  if (mkdtemp(name) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string dir = name;
  const std::string input = dir + "/stdin";
  if (!write_text(dir + "/config.json", kQuietConfig) || !write_text(input, "6\n")) {
    state.SkipWithError("cannot write the sandbox");
    return;
  }
  int stdin_fd = open(input.c_str(), O_RDONLY);
  int null_fd = open("/dev/null", O_WRONLY);

  std::vector<double> times_ms;
  long max_rss_kb = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (!run_once(dir, stdin_fd, null_fd, &max_rss_kb)) {
      state.SkipWithError("the game did not exit with status 0");
      break;
    }
    auto end = std::chrono::steady_clock::now();
    times_ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  close(stdin_fd);
  close(null_fd);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  if (!times_ms.empty()) {
    std::sort(times_ms.begin(), times_ms.end());
    state.counters["median_ms"] = times_ms[times_ms.size() / 2];
    state.counters["peak_rss_MB"] = static_cast<double>(max_rss_kb) / 1024.0;
  }
}

}  // namespace

BENCHMARK(BM_StartupToMenuAndExit)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
