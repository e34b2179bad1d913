// The game's entry point: build the host on the standard streams and the
// working directory, allocate the long-lived records once and run the shell.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "platform/platform.h"
#include "ui/host.h"

int main() {
  // Standard output is written in large blocks; the shell flushes it before
  // every read and every pause, so nothing waits unseen in the buffer.
  static char output_buffer[64 * 1024];
  std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
  // Zeroed and backed only where touched: the ~7 MB story costs nothing until
  // a story is actually parsed, and only the pages that story fills.
  auto* app = static_cast<AppContext*>(platform_alloc_large(sizeof(AppContext)));
  if (app == nullptr) return 1;
  AudioState audio{};
  Host host{};
  host.audio = &audio;
  host.ui.in = stdin;
  host.ui.out = stdout;
  host.ui.err = stderr;
  host.ui.is_terminal = isatty(STDOUT_FILENO) != 0;
  if (host.ui.is_terminal) host.ui.width = platform_get_terminal_size(nullptr, nullptr);
  // A player at a terminal can cut the typewriter short with Enter.
  host.ui.interactive = host.ui.is_terminal && isatty(STDIN_FILENO) != 0;
  host.root.assign(".");
  host.ui.stop = platform_stop_signal_flag();
  // QUILLHAVEN_SEED fixes the dice of every adventure; without it each one
  // draws its own seed.
  if (const char* seed = std::getenv("QUILLHAVEN_SEED")) {
    host.seed_fixed = host_parse_seed(seed, host.seed);
    if (!host.seed_fixed) {
      ui_error_write(host.ui, "QUILLHAVEN_SEED debe ser un número de 0 a 4294967295; se ignora.\n");
    }
  }
  int status = app_run(host, *app);
  platform_free_large(app, sizeof(AppContext));
  return status;
}
