// The game's entry point: allocate the long-lived records once and run the shell.
#include <cstdio>

#include "app/app.h"
#include "platform/platform.h"

int main() {
  // Standard output is written in large blocks; the shell flushes it before
  // every read and every pause, so nothing waits unseen in the buffer.
  static char output_buffer[64 * 1024];
  std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
  // Zeroed and backed only where touched: the ~7 MB story costs nothing until
  // a story is actually parsed, and only the pages that story fills.
  auto* app = static_cast<AppContext*>(platform_alloc_large(sizeof(AppContext)));
  if (app == nullptr) return 1;
  int status = app_run(*app);
  platform_free_large(app, sizeof(AppContext));
  return status;
}
