// Whole-process runs of the game for the benchmarks: a scratch folder with
// quiet settings, scripted standard input from a file, and the child's wall
// time and peak resident memory as wait4 reports them.
#pragma once

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
#include <string_view>
#include <system_error>
#include <vector>

namespace bench_process {

// Offline narrator, no typewriter delay, no music: nothing but the game's own work.
inline constexpr const char* kQuietConfig =
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

inline bool write_text(const std::string& path, std::string_view text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

inline std::string read_text(const std::string& path) {
  std::string text;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
  std::fclose(f);
  return text;
}

// A fresh folder under /tmp holding config.json, removed with its contents
// on destruction. `ok()` is false when it could not be set up.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag) {
    std::string pattern = std::string("/tmp/") + tag + "_XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return;
    path_ = name.data();
    ok_ = write_text(file("config.json"), kQuietConfig);
  }
  ~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  bool ok_ = false;
};

struct GameRun {
  double wall_ms = 0.0;  // fork to reaped exit
  double cpu_ms = 0.0;   // the child's user and system time
  // The child's peak resident set. The kernel counts the forked copy of this
  // process before the exec too; it stays near 1 MB here, under the game's own.
  long max_rss_kb = 0;
};

// One run of `argv` (argv[0] is the program's path) in `dir`, reading
// `input_path` and writing both output streams to `output_path` (truncated).
// False when it could not start or did not exit with status 0.
inline bool run_argv(const char* const argv[], const std::string& dir,
                     const std::string& input_path, const std::string& output_path, GameRun* run) {
  std::fflush(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int in = open(input_path.c_str(), O_RDONLY);
    int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0) _exit(125);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  auto end = std::chrono::steady_clock::now();
  run->wall_ms = std::chrono::duration<double, std::milli>(end - start).count();
  run->cpu_ms = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
  run->max_rss_kb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One run of `binary` without arguments.
inline bool run_program(const char* binary, const std::string& dir, const std::string& input_path,
                        const std::string& output_path, GameRun* run) {
  const char* argv[] = {binary, nullptr};
  return run_argv(argv, dir, input_path, output_path, run);
}

// One run of the game built with the benchmarks.
inline bool run_game(const std::string& dir, const std::string& input_path,
                     const std::string& output_path, GameRun* run) {
  return run_program(QH_BINARY, dir, input_path, output_path, run);
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace bench_process
