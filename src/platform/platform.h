// Operating-system services: sleeps, terminal, files, the music child, time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

void platform_init();
// While on, SIGINT, SIGHUP and SIGTERM do not end the program: the handler
// only records which one came and ends the input read from `input_fd` (a
// blocked read returns, a later one sees the end), so the adventure can save
// and end in good order; the caller exits afterwards. Off: their usual
// effect again. `input_fd` -1: no descriptor to end.
void platform_catch_stop_signals(bool on, int input_fd = -1);
// The stop signal caught since it was switched on, or 0. Its address is what
// a terminal watches to end its reads.
int platform_stop_signal();
const volatile std::sig_atomic_t* platform_stop_signal_flag();
// Stops a music child still playing; registered with atexit at start-up.
void platform_cleanup();
// Ends the music child and its player (SIGTERM, then SIGKILL after a short
// grace) and returns once that child is reaped.
void platform_stop_audio();
// Sleeps for real; screens pause through their UiContext, which tests replace.
void platform_sleep_ms(std::int32_t ms);

// Set-up of a forked child before it runs another program: it dies with
// `parent` (and exits at once when the parent is already gone), takes the
// default action of the signals the game catches or ignores, has /dev/null as
// its standard input, output and error, and inherits no other descriptor.
void platform_prepare_child(pid_t parent);

int platform_get_terminal_size(int* columns, int* rows);
// Erases the screen of the terminal behind `out` and puts the cursor top left.
void platform_clear_screen(std::FILE* out);
// True when the path is a regular file that this process can open for reading.
bool platform_file_exists(const char* path);
bool platform_mkdir_p(const char* path);
// Starts the player for one audio file in a background child; loop repeats it
// while each run ends with status 0, waiting longer and longer after runs that
// end at once (under half a second), and gives up after five of those in a row.
// Any track already playing is stopped first. An unreadable file or no player
// found changes nothing. True when a child was started and recorded. The child
// is reaped as soon as it ends, by a thread that waits for it.
bool platform_play_audio_async(const char* path, bool loop);
// True when one of the supported players is found on PATH (afplay, pw-play,
// paplay, aplay, in this order); without one, music is silent.
bool platform_audio_player_available();
// The id of the recorded music child, or -1 (for tests).
pid_t platform_audio_child();
// What became of the recorded music child.
enum class PlatformMusic {
  kNone,     // none recorded (never started, or stopped)
  kPlaying,  // still running
  kEnded,    // a single play that reached its end
  kFailed,   // its player failed, or a loop gave up on a player that ended at once
};
PlatformMusic platform_audio_music();
// The first regular executable file called `name` in an absolute folder of
// PATH ("/usr/bin:/bin" when PATH is unset), into `out`. Empty and relative
// entries are skipped, so nothing is ever run from the game's working folder.
// Then, when given, the absolute folder `also_in` (a program that lives
// outside an ordinary user's PATH, such as /usr/sbin). False (and `out`
// empty) when there is none or the path does not fit.
bool platform_find_program(const char* name, char* out, std::size_t capacity,
                           const char* also_in = nullptr);
// Rings the bell of the terminal behind `out` (null: nothing). The pitch and
// length are wishes a terminal bell cannot keep.
void platform_beep(std::FILE* out, int frequency_hz, int duration_ms);
void platform_get_current_time_str(char* buffer, std::size_t capacity);
// A seed from the operating system's entropy (the clock and the process id
// only where the system offers none).
std::uint32_t platform_entropy_seed();

// Opens `path` with `flags` (O_NONBLOCK and O_CLOEXEC added) only when it is a
// regular file, then clears O_NONBLOCK again. The open itself never blocks, so
// a FIFO or a device named by mistake is refused instead of hanging the
// program. Returns the descriptor, or -1; `info` (when given) gets its fstat.
int platform_open_regular(const char* path, int flags, struct stat* info = nullptr);
// Writes all `size` bytes, resuming after short writes and interruptions.
// False when any write fails or writes nothing.
bool platform_write_all(int fd, const char* data, std::size_t size);

// Reads a whole regular file of at most `max_bytes` into `out`. False when the
// path is not a regular file, cannot be read, or is larger than `max_bytes`.
bool platform_read_regular_file(const char* path, std::size_t max_bytes, std::string& out);
// Writes `content` to a temporary file beside `path` (hidden, its name never
// contains ".json" or ".md"), checks every write, flushes and syncs it, then
// renames it over `path`; without `replace`, an existing `path` is kept and the
// call fails with errno EEXIST. On any failure the temporary file is removed,
// `path` is untouched and errno tells why.
bool platform_write_file_atomic(const char* path, std::string_view content, mode_t mode,
                                bool replace = true);
// Removes from `folder` the temporary files that platform_write_file_atomic
// left when the program was killed mid-write: those for a target whose name
// less ".json" or ".md" is `stem` (any target when empty), only regular files
// and only once they have gone untouched for a minute. Returns how many.
int platform_remove_stale_temps(const char* folder, std::string_view stem);

// Blocks from this size up are mapped from the system directly; smaller ones
// come from the C heap.
inline constexpr std::size_t PLATFORM_LARGE_BLOCK = 1024 * 1024;
// Zeroed memory for a large record (the story, a story file's text), as calloc
// gives it: pages are only backed once touched, and huge pages back what the
// kernel may where it offers them, so a block filled to its end takes a few
// faults instead of thousands. A block of up to 2 MiB takes one huge page. A
// larger one ends on a huge-page boundary, and only its whole huge pages from
// 2 MiB into it on are huge: a record is filled from its start, so a small
// use stays in small pages. nullptr for size 0 or when no memory is left.
// Release with platform_free_large and the same size.
void* platform_alloc_large(std::size_t size);
void platform_free_large(void* block, std::size_t size);
// Tells that nearly all of `size` bytes at `block` (a block from
// platform_alloc_large or a record inside one) is about to be written: all its
// whole huge pages are backed with huge pages and its pages are faulted in at
// once, which costs far less than page by page. Only a hint: nothing changes
// for sizes below PLATFORM_LARGE_BLOCK or where the kernel lacks the means.
void platform_advise_fill(void* block, std::size_t size);

// Runs argv[0] (looked up on PATH) with the argument vector, standard input and
// error on /dev/null, in a process group of its own, and captures at most
// capacity-1 bytes of its standard output into `out` (terminated); the rest is
// drained so the child never blocks. Waits at most `deadline_ms` (no limit when
// negative) for the child to end: past it the child and its whole group are
// killed. Once the child has ended, whatever it started and left running is
// killed too, and only what is already in the pipe is read. Reaps that child
// only. False when it could not be started or was killed at the deadline.
bool platform_run_capture(const char* const argv[], char* out, std::size_t capacity,
                          std::size_t* length, std::int32_t deadline_ms);
