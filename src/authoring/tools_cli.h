// quillhaven-tools' commands: check, map, play and analyze, on a host whose
// output takes the reports and whose error stream takes the diagnostics.
#pragma once

#include "ui/host.h"

// Runs one command line (argv[0] is the program). Returns the exit status.
int tools_run(Host& host, int argc, char** argv);
