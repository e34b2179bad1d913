/* peak_rss OUTPUT PROGRAM [ARGUMENT...]: runs PROGRAM with this process's
 * standard streams, writes its peak resident set in KiB to OUTPUT and exits
 * with its status. A child's peak counts the memory of the process it was
 * forked from, up to its exec: forked from this small program instead of a
 * benchmark holding large texts, the figure is the program's own. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs("usage: peak_rss OUTPUT PROGRAM [ARGUMENT...]\n", stderr);
    return 125;
  }
  pid_t pid = fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 125;
  FILE* out = fopen(argv[1], "w");
  if (out == NULL || fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || fclose(out) != 0) return 125;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
