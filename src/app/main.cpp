// The game's entry point: allocate the long-lived records once and run the shell.
#include <cstdlib>

#include "app/app.h"

int main() {
  // calloc: the ~7 MB story is zero pages until a story is actually parsed.
  auto* app = static_cast<AppContext*>(std::calloc(1, sizeof(AppContext)));
  if (app == nullptr) return 1;
  int status = app_run(*app);
  std::free(app);
  return status;
}
