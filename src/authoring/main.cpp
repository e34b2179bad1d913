// quillhaven-tools: the story author's checker, map, playthrough runner and analyzer.
#include <unistd.h>

#include <cstdio>

#include "authoring/tools_cli.h"
#include "platform/platform.h"
#include "ui/host.h"

int main(int argc, char** argv) {
  platform_init();
  // Reports and maps written to a file or a pipe go out in large blocks. On a
  // terminal standard output stays line by line, so an error on standard error
  // still appears after the lines before it.
  static char output_buffer[64 * 1024];
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  if (!terminal) std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
  Host host{};
  host.ui.in = stdin;
  host.ui.out = stdout;
  host.ui.err = stderr;
  host.ui.is_terminal = terminal;
  if (terminal) host.ui.width = platform_get_terminal_size(nullptr, nullptr);
  host.root.assign(".");
  int status = tools_run(host, argc, argv);
  // A report cut short (a full disk, the file-size limit) is no success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    ui_error_write(host.ui, "No se pudo escribir la salida completa.\n");
    return 2;
  }
  return status;
}
