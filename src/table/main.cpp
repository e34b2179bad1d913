// quillhaven-mesa: the shared table's program. The game's root is the working folder.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "table/table_cli.h"

int main(int argc, char** argv) {
  char cwd[4096];
  std::string root = getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
  return table_cli_run(argc, argv, root, stdin, stdout, stderr);
}
