#include "support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace qh_test {

TempDir::TempDir() {
  char name[] = "/tmp/qh_test_XXXXXX";
  const char* made = mkdtemp(name);
  path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions that a test may have removed, then delete.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec)) chmod(it->path().c_str(), 0755);
  }
  chmod(path_.c_str(), 0755);
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, std::string_view content) {
  std::filesystem::path p(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void make_executable_script(const std::string& path, std::string_view content) {
  write_file(path, content);
  chmod(path.c_str(), 0755);
}

void copy_file(const std::string& from, const std::string& to) { write_file(to, read_file(from)); }

void write_quiet_config(const std::string& dir) {
  copy_file(QH_TEST_DATA_DIR "/quiet_config.json", dir + "/config.json");
}

namespace {

// Starts a child that copies what arrives on a pipe into `path` until the pipe
// closes; the write end goes in `write_end`. Returns the child's pid, or -1.
pid_t start_relay(const std::string& path, int& write_end) {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    // Only the read end stays open, so no other relay's pipe is held open here.
    dup2(ends[0], 0);
    close_range(3, ~0U, 0);
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char buffer[4096];
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0 && write(out, buffer, static_cast<std::size_t>(n)) != n) _exit(1);
    }
    _exit(0);
  }
  close(ends[0]);
  write_end = ends[1];
  return pid;
}

}  // namespace

RunResult run_program(const RunOptions& options) {
  RunResult result;
  TempDir io;
  const std::string paths[3] = {io.file("stdin"), io.file("stdout"), io.file("stderr")};
  write_file(paths[0], options.input);

  std::string binary = options.binary.empty() ? std::string(QH_BINARY) : options.binary;
  std::vector<std::string> args{binary}, vars;
  args.insert(args.end(), options.args.begin(), options.args.end());
  // The inherited environment, with the overrides in place of the variables they name.
  std::map<std::string, std::string> env = options.env;
  if (options.fixed_seed && !env.count("QUILLHAVEN_SEED")) env["QUILLHAVEN_SEED"] = "1";
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq) continue;
    const std::string name(*e, static_cast<std::size_t>(eq - *e));
    if (!env.count(name) && !(name == "QUILLHAVEN_SEED" && !options.fixed_seed)) {
      vars.emplace_back(*e);
    }
  }
  for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
  auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
  };
  std::vector<char*> argv = pointers(args), envp = pointers(vars);

  std::fflush(nullptr);
  int relayed[3] = {-1, -1, -1};
  pid_t relays[3] = {-1, -1, -1};
  if (options.file_size_limit > 0) {
    for (int fd = 1; fd < 3; ++fd) relays[fd] = start_relay(paths[fd], relayed[fd]);
  }
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    setpgid(0, 0);
    for (int fd = 0; fd < 3; ++fd) {
      int opened = relayed[fd] >= 0 ? relayed[fd]
                                    : open(paths[fd].c_str(),
                                           fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (opened < 0 || dup2(opened, fd) < 0) _exit(127);
    }
    for (int fd = 1; fd < 3; ++fd)
      if (relayed[fd] >= 0) close(relayed[fd]);
    if (options.file_size_limit > 0) {
      rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                   static_cast<rlim_t>(options.file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);
  for (int fd = 1; fd < 3; ++fd)
    if (relayed[fd] >= 0) close(relayed[fd]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Anything left in the group (a music child, a stand-in player) goes too.
  kill(-pid, SIGKILL);
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  // The relays end once every writer of their pipe is gone.
  for (pid_t relay : relays)
    if (relay > 0) waitpid(relay, nullptr, 0);
  result.out = read_file(paths[1]);
  result.err = read_file(paths[2]);
  return result;
}

::testing::AssertionResult contains_in_order(const std::string& text,
                                             std::initializer_list<std::string_view> fragments) {
  std::size_t pos = 0;
  for (std::string_view f : fragments) {
    std::size_t found = text.find(f, pos);
    if (found == std::string::npos) {
      bool anywhere = text.find(f) != std::string::npos;
      return ::testing::AssertionFailure() << "fragment " << (anywhere ? "out of order" : "missing")
                                           << ": [" << f << "]\n--- output ---\n"
                                           << text;
    }
    pos = found + f.size();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult lacks(const std::string& text, std::string_view fragment) {
  if (text.find(fragment) == std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "unexpected fragment: [" << fragment << "]\n--- output ---\n"
         << text;
}

}  // namespace qh_test
