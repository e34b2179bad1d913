#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "common/fixed_text.h"

namespace {

// The stop signal caught while an adventure runs, 0 when none. Written only by
// the handler, which does nothing else: all the saving happens outside it.
volatile std::sig_atomic_t g_stop_signal = 0;
// The descriptor the adventure reads its lines from, -1 when none.
volatile std::sig_atomic_t g_stop_input_fd = -1;

constexpr int STOP_SIGNALS[] = {SIGINT, SIGHUP, SIGTERM};

// Records the signal and ends the adventure's input. A read already blocked
// returns with EINTR; but a signal that lands between the reader's last look
// at the flag and its read() would interrupt nothing, so the input is also
// replaced by /dev/null: that read then sees the end of input at once. The
// program always exits after a stop signal, so the input is not needed again.
void record_stop_signal(int signal_number) {
  const int saved_errno = errno;
  g_stop_signal = signal_number;
  const int input = g_stop_input_fd;
  if (input >= 0) {
    const int empty = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (empty >= 0) {
      dup2(empty, input);
      close(empty);
    }
  }
  errno = saved_errno;
}

// Players tried in this order; the first one found on PATH plays the music.
constexpr const char* AUDIO_PLAYERS[] = {"afplay", "pw-play", "paplay", "aplay"};
// A directory path handed to platform_mkdir_p must be shorter than this.
constexpr std::size_t MKDIR_PATH_MAX = 1024;
// Longest stop of a music child before it is killed hard.
constexpr int STOP_GRACE_MS = 300;
// Longest wait of the loop child for its player after a stop.
constexpr int PLAYER_GRACE_MS = 100;
// A looped run shorter than this did not really play: the player ended at once
// (an empty or broken file, no sound device). The next run waits first, 100 ms
// after the first such run and twice as long after each further one in a row,
// and after LOOP_MAX_QUICK_RUNS of them the loop gives up: a player that cannot
// play is not started again and again for as long as the track is wanted.
constexpr int LOOP_QUICK_RUN_MS = 500;
constexpr int LOOP_FIRST_BACKOFF_MS = 100;
constexpr int LOOP_MAX_QUICK_RUNS = 5;
// Exit statuses of the loop child: its player failed, or it gave up. A stop
// ends it through SIGTERM with status 0.
constexpr int LOOP_EXIT_PLAYER_FAILED = 3;
constexpr int LOOP_EXIT_GAVE_UP = 4;

void sleep_exact_ms(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Polls for the end of `pid` for up to `grace_ms`, then kills it hard.
// Only ever waits for that pid: other children (curl) belong to other code.
// Async-signal-safe, so the loop child's handler uses it too.
void reap_or_kill(pid_t pid, int grace_ms) {
  int status = 0;
  for (int waited = 0; waited <= grace_ms; ++waited) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return;
    sleep_exact_ms(1);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool is_regular_executable(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

bool find_audio_player(char* out, std::size_t capacity) {
  for (const char* name : AUDIO_PLAYERS) {
    if (platform_find_program(name, out, capacity)) return true;
  }
  return false;
}

void unblock_all_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// State of the loop child: the player it is waiting for, for the SIGTERM handler.
volatile sig_atomic_t g_loop_player = 0;

// A stop of the loop child ends its player first, then the child itself.
void loop_child_on_term(int) {
  pid_t player = static_cast<pid_t>(g_loop_player);
  if (player > 0) {
    kill(player, SIGTERM);
    reap_or_kill(player, PLAYER_GRACE_MS);
  }
  _exit(0);
}

long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000L + ts.tv_nsec / 1000000L;
}

// How often a captured child is looked at when the kernel offers no pidfd.
constexpr int CAPTURE_POLL_MS = 10;

// A descriptor that becomes readable when `pid` ends, or -1 where the kernel
// has none.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

// True once `pid` has ended; it is left unreaped, so its id stays taken.
bool child_has_ended(pid_t pid) {
  siginfo_t info;
  memset(&info, 0, sizeof info);
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
    if (errno != EINTR) return true;  // nothing left to wait for
  }
  return info.si_pid != 0;
}

// Body of the loop child: run the player again and again while it ends with
// status 0, pausing longer and longer after runs that ended at once and giving
// up after a few of them in a row. SIGTERM stays blocked whenever the recorded
// player id could be stale, so the handler never signals a process that was
// already reaped.
[[noreturn]] void run_player_loop(char* const argv[]) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = loop_child_on_term;
  sigfillset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);

  pid_t self = getpid();
  int quick_runs = 0;
  while (true) {
    long started = now_ms();
    pid_t player = fork();
    if (player < 0) _exit(LOOP_EXIT_PLAYER_FAILED);
    if (player == 0) {
      signal(SIGTERM, SIG_DFL);
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != self) _exit(1);
      unblock_all_signals();
      execv(argv[0], argv);
      _exit(127);
    }
    g_loop_player = player;
    sigprocmask(SIG_UNBLOCK, &term, nullptr);

    // Wait without reaping, so the id stays valid until SIGTERM is blocked again.
    siginfo_t info;
    memset(&info, 0, sizeof info);
    while (waitid(P_PID, static_cast<id_t>(player), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    sigprocmask(SIG_BLOCK, &term, nullptr);
    g_loop_player = 0;
    int status = 0;
    while (waitpid(player, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) _exit(LOOP_EXIT_PLAYER_FAILED);

    if (now_ms() - started >= LOOP_QUICK_RUN_MS) {
      quick_runs = 0;
      continue;
    }
    if (++quick_runs >= LOOP_MAX_QUICK_RUNS) _exit(LOOP_EXIT_GAVE_UP);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
    sleep_exact_ms(LOOP_FIRST_BACKOFF_MS << (quick_runs - 1));
    sigprocmask(SIG_BLOCK, &term, nullptr);
  }
}

// One music child, shared by the calls that start, stop and query the music
// and by a thread of its own that waits for the child to end and reaps it at
// once, so an ended child never lingers as a zombie. Only that thread reaps,
// and only under `lock`; a stop signals the child under the same lock, so the
// id it signals can never have been reaped and handed to another process.
struct MusicChild {
  std::mutex lock;
  std::condition_variable reaped_now;
  pid_t pid;
  bool reaped;             // the child has been reaped; `status` holds its end
  int status;              // its wait status, once reaped
  bool waited;             // a waiter thread owns the reaping (else the stop reaps)
  std::atomic<int> users;  // the record is freed when the last user lets go
};

void music_child_release(MusicChild* child) {
  if (child != nullptr && child->users.fetch_sub(1) == 1) delete child;
}

void* music_child_wait(void* argument) {
  auto* child = static_cast<MusicChild*>(argument);
  // Block until it ends, without reaping: until the lock is held its id stays
  // taken, so a stop racing with the end still signals the right process.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  while (waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOWAIT) < 0 &&
         errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> guard(child->lock);
    int status = 0;
    while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
    }
    child->status = status;
    child->reaped = true;
  }
  child->reaped_now.notify_all();
  music_child_release(child);
  return nullptr;
}

// The recorded music child, null when none; guarded by g_music_lock.
std::mutex g_music_lock;
MusicChild* g_music = nullptr;

// Ends a child taken out of the record: SIGTERM, then SIGKILL after a grace,
// and returns once it is reaped.
void music_child_end(MusicChild* child) {
  if (!child->waited) {
    kill(child->pid, SIGTERM);
    reap_or_kill(child->pid, STOP_GRACE_MS);
    return;
  }
  std::unique_lock<std::mutex> held(child->lock);
  if (child->reaped) return;
  kill(child->pid, SIGTERM);
  if (child->reaped_now.wait_for(held, std::chrono::milliseconds(STOP_GRACE_MS),
                                 [child] { return child->reaped; })) {
    return;
  }
  kill(child->pid, SIGKILL);
  child->reaped_now.wait(held, [child] { return child->reaped; });
}

// Records a new child and starts the thread that will reap it. False when
// there is no memory for the record: the child is then ended at once rather
// than left playing with nobody to stop it.
bool music_child_record(pid_t pid) {
  auto* child = new (std::nothrow) MusicChild;
  if (child == nullptr) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  child->pid = pid;
  child->reaped = false;
  child->status = 0;
  child->users = 2;
  pthread_attr_t attr;
  pthread_t thread;
  bool started = pthread_attr_init(&attr) == 0;
  if (started) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    started = pthread_create(&thread, &attr, music_child_wait, child) == 0;
    pthread_attr_destroy(&attr);
  }
  child->waited = started;
  if (!started) child->users = 1;  // without a waiter the stop reaps it
  MusicChild* replaced = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_music_lock);
    replaced = g_music;
    g_music = child;
  }
  // Two tracks never play at once, even when two callers started one together.
  if (replaced != nullptr) {
    music_child_end(replaced);
    music_child_release(replaced);
  }
  return true;
}

// The huge-page size the kernel backs anonymous memory with (x86-64, and
// arm64 with 4 KiB pages); elsewhere the advice is simply ignored.
constexpr std::size_t HUGE_PAGE_BYTES = 2u * 1024u * 1024u;

// Under AddressSanitizer every block comes from the C heap, so that reads and
// writes past a record are still reported.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLargeBlocksFromHeap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kLargeBlocksFromHeap = true;
#else
constexpr bool kLargeBlocksFromHeap = false;
#endif
#else
constexpr bool kLargeBlocksFromHeap = false;
#endif

bool large_block_is_mapped(std::size_t size) {
  return !kLargeBlocksFromHeap && size >= PLATFORM_LARGE_BLOCK;
}

// `size` rounded up to whole pages; 0 when that overflows.
std::size_t whole_pages(std::size_t size) {
  std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (page == 0 || (page & (page - 1)) != 0) page = 4096;
  if (size > SIZE_MAX - (page - 1)) return 0;
  return (size + page - 1) & ~(page - 1);
}

// The length mapped for a block of `size` bytes: a block of up to one huge
// page takes a whole huge page (it fills at least half of it, and one fault
// costs far less than hundreds); a larger one, whole small pages.
std::size_t mapped_length(std::size_t size) {
  return size <= HUGE_PAGE_BYTES ? HUGE_PAGE_BYTES : whole_pages(size);
}

// A short name suffix from the pid, the clock and a counter. The process-wide
// rand() is deliberately left alone: the dice rely on its untouched sequence.
void temp_suffix(char out[7], unsigned attempt) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  unsigned long long x = static_cast<unsigned long long>(ts.tv_nsec) ^
                         (static_cast<unsigned long long>(getpid()) << 32) ^
                         (static_cast<unsigned long long>(attempt) * 0x9E3779B97F4A7C15ULL);
  for (int i = 0; i < 6; ++i) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 29;
    out[i] = kChars[x % (sizeof kChars - 1)];
  }
  out[6] = '\0';
}

// A temporary file is named "." + the target's name without ".json" or ".md"
// + ".tmp" + six letters or digits: hidden, and never taken for a save or a
// story by what lists those folders.
constexpr std::string_view TEMP_MARK = ".tmp";
constexpr std::size_t TEMP_SUFFIX_BYTES = 6;
// A temporary file untouched for this long belongs to a write that was cut
// short (the program killed meanwhile); a younger one may still be written.
constexpr time_t TEMP_STALE_SECONDS = 60;

std::string temp_stem(std::string_view base) {
  std::string stem(1, '.');
  stem.append(base);
  for (std::string_view ext : {std::string_view(".json"), std::string_view(".md")}) {
    for (std::size_t at; (at = stem.find(ext)) != std::string::npos;) stem.erase(at, ext.size());
  }
  return stem;
}

bool is_temp_name(std::string_view name, std::string_view stem) {
  const std::size_t tail = TEMP_MARK.size() + TEMP_SUFFIX_BYTES;
  // At least one byte of stem after the leading dot.
  if (name.size() < 2 + tail || name[0] != '.') return false;
  std::string_view own_stem = name.substr(1, name.size() - 1 - tail);
  if (!stem.empty() && own_stem != stem) return false;
  if (name.substr(name.size() - tail, TEMP_MARK.size()) != TEMP_MARK) return false;
  for (char c : name.substr(name.size() - TEMP_SUFFIX_BYTES)) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) return false;
  }
  return true;
}

// Gives `temp` the name `path` unless a file of that name exists already
// (errno EEXIST then). Where the file system cannot rename that way, a hard
// link makes the same promise; where it has no hard links either, the name is
// checked first and then taken by a plain rename.
bool move_without_replacing(const std::string& temp, const char* path) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(temp.c_str(), path) == 0) {
    unlink(temp.c_str());
    return true;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return false;
  struct stat st;
  if (lstat(path, &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(temp.c_str(), path) == 0;
}

}  // namespace

void platform_init() {
  // Past the file-size limit a write then fails with EFBIG, which every writer
  // reports, instead of the signal ending the program in the middle of a save.
  signal(SIGXFSZ, SIG_IGN);
}

void platform_cleanup() { platform_stop_audio(); }

void platform_catch_stop_signals(bool on, int input_fd) {
  g_stop_input_fd = on ? input_fd : -1;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read blocked on the terminal returns at once.
  action.sa_handler = on ? record_stop_signal : SIG_DFL;
  if (on) g_stop_signal = 0;
  for (int signal_number : STOP_SIGNALS) sigaction(signal_number, &action, nullptr);
}

int platform_stop_signal() { return g_stop_signal; }

const volatile std::sig_atomic_t* platform_stop_signal_flag() { return &g_stop_signal; }

void platform_stop_audio() {
  MusicChild* child = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_music_lock);
    child = g_music;
    g_music = nullptr;
  }
  if (child == nullptr) return;
  music_child_end(child);
  music_child_release(child);
}

void platform_sleep_ms(std::int32_t ms) {
  if (ms <= 0) return;
  // Whole seconds and the remaining milliseconds; a signal cuts the sleep short.
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int platform_get_terminal_size(int* columns, int* rows) {
  int cols = 80;
  int lines = 24;
  winsize ws;
  memset(&ws, 0, sizeof ws);
  if (ioctl(1, TIOCGWINSZ, &ws) == 0) {
    cols = ws.ws_col != 0 ? ws.ws_col : 80;
    lines = ws.ws_row != 0 ? ws.ws_row : 24;
  }
  if (columns != nullptr) *columns = cols;
  if (rows != nullptr) *rows = lines;
  return cols;
}

void platform_clear_screen(std::FILE* out) {
  if (out == nullptr) return;
  fputs("\x1b[2J\x1b[H", out);
  fflush(out);
}

int platform_open_regular(const char* path, int flags, struct stat* info) {
  if (path == nullptr || path[0] == '\0') return -1;
  int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  // Reads and writes on the file itself block as usual.
  int status = fcntl(fd, F_GETFL);
  if (status >= 0) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  if (info != nullptr) *info = st;
  return fd;
}

bool platform_write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool platform_file_exists(const char* path) {
  int fd = platform_open_regular(path, O_RDONLY | O_NOCTTY);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool platform_mkdir_p(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  std::size_t len = strnlen(path, MKDIR_PATH_MAX);
  if (len >= MKDIR_PATH_MAX) return false;
  char buffer[MKDIR_PATH_MAX];
  memcpy(buffer, path, len + 1);
  // Each prefix ending at a separator, then the whole path, is created in turn;
  // position 0 is skipped so an absolute path never tries an empty name.
  // Failures (the directory already exists) are expected and ignored.
  for (std::size_t p = 1; p <= len; ++p) {
    char c = buffer[p];
    if (c == '/' || c == '\\' || c == '\0') {
      buffer[p] = '\0';
      mkdir(buffer, 0755);
      buffer[p] = c;
    }
  }
  return true;
}

bool platform_find_program(const char* name, char* out, std::size_t capacity, const char* also_in) {
  if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr || out == nullptr ||
      capacity == 0) {
    return false;
  }
  const char* path_env = getenv("PATH");
  if (path_env == nullptr) path_env = "/usr/bin:/bin";
  const char* dir = path_env;
  while (true) {
    const char* end = strchr(dir, ':');
    std::size_t len = end ? static_cast<std::size_t>(end - dir) : strlen(dir);
    if (len > 0 && dir[0] == '/') {
      int n = snprintf(out, capacity, "%.*s/%s", static_cast<int>(len), dir, name);
      if (n > 0 && static_cast<std::size_t>(n) < capacity && is_regular_executable(out)) {
        return true;
      }
    }
    if (end == nullptr) break;
    dir = end + 1;
  }
  if (also_in != nullptr && also_in[0] == '/') {
    int n = snprintf(out, capacity, "%s/%s", also_in, name);
    if (n > 0 && static_cast<std::size_t>(n) < capacity && is_regular_executable(out)) return true;
  }
  out[0] = '\0';
  return false;
}

bool platform_audio_player_available() {
  char player[PATH_MAX];
  return find_audio_player(player, sizeof player);
}

void platform_prepare_child(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(0);  // the parent died before prctl took effect
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
  }
  close_range(3, ~0U, 0);
}

bool platform_play_audio_async(const char* path, bool loop) {
  if (!platform_file_exists(path)) return false;
  char player[PATH_MAX];
  if (!find_audio_player(player, sizeof player)) return false;

  // A relative path starting with '-' would be read as an option by the player.
  char argument[PATH_MAX + 2];
  int n = snprintf(argument, sizeof argument, "%s%s", path[0] == '-' ? "./" : "", path);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof argument) return false;
  char* argv[] = {player, argument, nullptr};

  platform_stop_audio();
  // Anything still buffered would otherwise be written again by the child.
  fflush(nullptr);
  pid_t parent = getpid();
  pid_t child = fork();
  if (child < 0) return false;
  if (child > 0) return music_child_record(child);
  platform_prepare_child(parent);
  if (!loop) {
    unblock_all_signals();
    execv(player, argv);
    _exit(1);
  }
  run_player_loop(argv);
}

pid_t platform_audio_child() {
  std::lock_guard<std::mutex> guard(g_music_lock);
  return g_music != nullptr ? g_music->pid : -1;
}

PlatformMusic platform_audio_music() {
  std::lock_guard<std::mutex> guard(g_music_lock);
  if (g_music == nullptr) return PlatformMusic::kNone;
  std::lock_guard<std::mutex> child_guard(g_music->lock);
  if (!g_music->waited || !g_music->reaped) return PlatformMusic::kPlaying;
  int status = g_music->status;
  // A single play that reached its end; anything else (a player that failed,
  // a loop that gave up, a child killed from outside) means the music failed.
  bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return clean ? PlatformMusic::kEnded : PlatformMusic::kFailed;
}

void platform_beep(std::FILE* out, int frequency_hz, int duration_ms) {
  (void)frequency_hz;
  (void)duration_ms;
  if (out == nullptr) return;
  fputc('\a', out);
  fflush(out);
}

std::uint32_t platform_entropy_seed() {
  std::uint32_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) == static_cast<ssize_t>(sizeof seed)) return seed;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec) ^
         (static_cast<std::uint32_t>(getpid()) << 16);
}

void platform_get_current_time_str(char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  time_t now = time(nullptr);
  tm local;
  char text[64];
  if (localtime_r(&now, &local) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local) == 0) {
    text_copy(buffer, capacity, "2026-09-17 12:00");
    return;
  }
  text_copy(buffer, capacity, text);
}

bool platform_read_regular_file(const char* path, std::size_t max_bytes, std::string& out) {
  out.clear();
  struct stat st;
  int fd = platform_open_regular(path, O_RDONLY | O_NOCTTY, &st);
  if (fd < 0) return false;
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_bytes) {
    close(fd);
    return false;
  }
  // Read to the end rather than trusting the size, which may change meanwhile;
  // one byte beyond the limit is enough to know the file grew too large.
  std::size_t limit = max_bytes < SIZE_MAX ? max_bytes + 1 : max_bytes;
  std::size_t expected = static_cast<std::size_t>(st.st_size) + 1;
  out.resize(expected < limit ? expected : limit);
  std::size_t used = 0;
  bool ok = true;
  while (true) {
    if (used == out.size()) {
      if (out.size() >= limit) break;
      std::size_t grown = out.size() * 2;
      out.resize(grown < limit ? grown : limit);
    }
    ssize_t r = read(fd, &out[used], out.size() - used);
    if (r < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (r == 0) break;
    used += static_cast<std::size_t>(r);
  }
  close(fd);
  if (!ok || used > max_bytes) {
    out.clear();
    return false;
  }
  out.resize(used);
  return true;
}

bool platform_write_file_atomic(const char* path, std::string_view content, mode_t mode,
                                bool replace) {
  if (path == nullptr || path[0] == '\0') return false;
  std::string_view target(path);
  std::size_t slash = target.rfind('/');
  // The folder as a prefix ("" or ending in '/') and as a name to sync.
  std::string folder(slash == std::string_view::npos ? std::string_view()
                                                     : target.substr(0, slash + 1));
  std::string dir = folder.empty() ? std::string(".") : folder;
  std::string base(target.substr(folder.size()));
  if (base.empty()) return false;

  std::string temp = folder + temp_stem(base) + std::string(TEMP_MARK);
  std::size_t suffix_at = temp.size();
  int fd = -1;
  for (unsigned attempt = 0; attempt < 64 && fd < 0; ++attempt) {
    char suffix[TEMP_SUFFIX_BYTES + 1];
    temp_suffix(suffix, attempt);
    temp.replace(suffix_at, std::string::npos, suffix);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = platform_write_all(fd, content.data(), content.size());
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && (replace ? rename(temp.c_str(), path) == 0 : move_without_replacing(temp, path));
  if (!ok) {
    int failure = errno;
    unlink(temp.c_str());
    errno = failure;
    return false;
  }
  // Make the rename itself durable; failing here leaves a complete file anyway.
  int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}

int platform_remove_stale_temps(const char* folder, std::string_view stem) {
  const char* dir = (folder != nullptr && folder[0] != '\0') ? folder : ".";
  DIR* handle = opendir(dir);
  if (handle == nullptr) return 0;
  int dir_fd = dirfd(handle);
  time_t now = time(nullptr);
  int removed = 0;
  while (const dirent* entry = readdir(handle)) {
    if (!is_temp_name(entry->d_name, stem)) continue;
    // Only a regular file that nobody has written to for a while: another
    // copy of the game in the same folder may be in the middle of its write.
    struct stat st;
    if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || now - st.st_mtime < TEMP_STALE_SECONDS) continue;
    if (unlinkat(dir_fd, entry->d_name, 0) == 0) ++removed;
  }
  closedir(handle);
  return removed;
}

void* platform_alloc_large(std::size_t size) {
  // No object may be larger than PTRDIFF_MAX; asking for one is refused here,
  // before a sanitizer's allocator would stop the program over it.
  if (size == 0 || size > static_cast<std::size_t>(PTRDIFF_MAX)) return nullptr;
  if (!large_block_is_mapped(size)) return calloc(1, size);
  std::size_t length = mapped_length(size);
  if (length == 0 || length > SIZE_MAX - HUGE_PAGE_BYTES) return nullptr;

  // Reserve one huge page more than needed, keep the stretch that ends on a
  // huge-page boundary and give the rest back.
  std::size_t reserved = length + HUGE_PAGE_BYTES;
  void* mapped =
      mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto base = reinterpret_cast<std::uintptr_t>(mapped);
  std::uintptr_t end = (base + reserved) & ~static_cast<std::uintptr_t>(HUGE_PAGE_BYTES - 1);
  std::uintptr_t start = end - length;
  if (start > base) munmap(mapped, start - base);
  if (base + reserved > end) munmap(reinterpret_cast<void*>(end), base + reserved - end);

  // In a larger block the first 2 MiB and more, up to the second huge-page
  // boundary, hold the header and the first entries that every use touches: a
  // huge page there would cost a small use 2 MiB at once.
  std::size_t small = length == HUGE_PAGE_BYTES ? 0 : length % HUGE_PAGE_BYTES + HUGE_PAGE_BYTES;
  if (length > small) {
    // Refused where the kernel has no transparent huge pages: small pages then.
    madvise(reinterpret_cast<void*>(start + small), length - small, MADV_HUGEPAGE);
  }
  return reinterpret_cast<void*>(start);
}

void platform_free_large(void* block, std::size_t size) {
  if (block == nullptr) return;
  if (!large_block_is_mapped(size)) {
    free(block);
    return;
  }
  munmap(block, mapped_length(size));
}

void platform_advise_fill(void* block, std::size_t size) {
  if (block == nullptr || !large_block_is_mapped(size)) return;
  // Whole pages inside the range only: the advice must not reach a neighbour.
  std::size_t page = whole_pages(1);
  auto begin = reinterpret_cast<std::uintptr_t>(block);
  std::uintptr_t first = (begin + page - 1) & ~static_cast<std::uintptr_t>(page - 1);
  std::uintptr_t last = (begin + size) & ~static_cast<std::uintptr_t>(page - 1);
  if (last <= first) return;
  void* pages = reinterpret_cast<void*>(first);
  madvise(pages, last - first, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
  // Older kernels refuse it: the pages are then faulted in as they are written.
  madvise(pages, last - first, MADV_POPULATE_WRITE);
#endif
}

bool platform_run_capture(const char* const argv[], char* out, std::size_t capacity,
                          std::size_t* length, std::int32_t deadline_ms) {
  if (length != nullptr) *length = 0;
  if (out != nullptr && capacity > 0) out[0] = '\0';
  if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') return false;
  long deadline = deadline_ms < 0 ? -1 : now_ms() + deadline_ms;

  int output[2];
  int report[2];  // carries errno from a failed exec; closed by a successful one
  if (pipe2(output, O_CLOEXEC) != 0) return false;
  if (pipe2(report, O_CLOEXEC) != 0) {
    close(output[0]);
    close(output[1]);
    return false;
  }
  fflush(nullptr);
  pid_t parent = getpid();
  pid_t child = fork();
  if (child < 0) {
    close(output[0]);
    close(output[1]);
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    // A group of its own, so that whatever the program starts can be ended with it.
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 2);
    }
    dup2(output[1], 1);  // dup2 clears close-on-exec on the copy
    // Descriptors the game opened without close-on-exec must not leak into the program.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    unblock_all_signals();
    execvp(argv[0], const_cast<char* const*>(argv));
    int err = errno;
    ssize_t w = write(report[1], &err, sizeof err);
    (void)w;
    _exit(127);
  }
  // Both sides set the group, so it exists whichever runs first.
  setpgid(child, child);
  close(output[1]);
  close(report[1]);

  int exec_errno = 0;
  ssize_t got;
  do {
    got = read(report[0], &exec_errno, sizeof exec_errno);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  bool started = got == 0;

  // Becomes readable when the child ends; without it the wait wakes up now and then to look.
  int pidfd = open_pidfd(child);

  // Keep at most capacity-1 bytes, but read to the end so the child never
  // blocks on a full pipe. The end is the child's exit with its output closed;
  // once the child has ended, only what is already in the pipe is taken, so a
  // process it left behind holding the pipe open cannot stall the game.
  std::size_t used = 0;
  bool reading = true;
  bool ended = false;
  bool killed = false;
  char sink[4096];
  while (true) {
    ended = ended || child_has_ended(child);
    bool full = out == nullptr || capacity == 0 || used >= capacity - 1;
    if (ended && (!reading || full)) break;
    int wait_ms = -1;
    if (deadline >= 0) {
      long left = deadline - now_ms();
      if (left <= 0) {
        killed = !ended;
        break;
      }
      wait_ms = left < INT_MAX ? static_cast<int>(left) : INT_MAX;
    }
    if (ended) {
      wait_ms = 0;
    } else if (pidfd < 0 && (wait_ms < 0 || wait_ms > CAPTURE_POLL_MS)) {
      wait_ms = CAPTURE_POLL_MS;
    }
    pollfd fds[2] = {{reading ? output[0] : -1, POLLIN, 0}, {ended ? -1 : pidfd, POLLIN, 0}};
    int ready = poll(fds, 2, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      killed = !ended;
      break;
    }
    if (ready == 0 && ended) break;  // the pipe holds nothing more
    if (fds[0].revents == 0) continue;
    char* dst = sink;
    std::size_t room = sizeof sink;
    if (!full) {
      dst = out + used;
      room = capacity - 1 - used;
    }
    ssize_t r = read(output[0], dst, room);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      reading = false;
      continue;
    }
    if (dst != sink) used += static_cast<std::size_t>(r);
  }
  close(output[0]);
  if (pidfd >= 0) close(pidfd);
  if (out != nullptr && capacity > 0) out[used] = '\0';
  if (length != nullptr) *length = used;

  // Nothing the child started outlives the call. The group is killed before the
  // child is reaped: until then its id cannot name any other group.
  kill(-child, SIGKILL);
  if (killed) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return started && !killed;
}

// Empty and relative PATH entries are skipped, so nothing is ever run from
// the game's working folder.
